#include "CallRecord.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

struct SplitCase {
    const char* name;
    const char* text; // UTF-8
    CallRecord expected;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

class SplitCallRecordTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCallRecordTest, GivesTheFields) {
    const CallRecord record = SplitCallRecord(QString::fromUtf8(GetParam().text));
    const CallRecord& expected = GetParam().expected;
    EXPECT_EQ(record.kdo, expected.kdo);
    EXPECT_EQ(record.kam, expected.kam);
    EXPECT_EQ(record.kod, expected.kod);
    EXPECT_EQ(record.typ, expected.typ);
    EXPECT_EQ(record.nazev, expected.nazev);
    EXPECT_EQ(record.odkaz, expected.odkaz);
}

CallRecord Fields(const char* kdo, const char* kam, const char* kod, const char* typ,
                  const char* nazev, const char* odkaz) {
    return {QString::fromUtf8(kdo), QString::fromUtf8(kam),   QString::fromUtf8(kod),
            QString::fromUtf8(typ), QString::fromUtf8(nazev), QString::fromUtf8(odkaz)};
}

INSTANTIATE_TEST_SUITE_P(
    Records, SplitCallRecordTest,
    ::testing::Values(
        SplitCase{"HttpLinkJoinedBack",
                  "111:222:1:3:Účetní oddělení:http://server/index.php?action=DetailView&record=15",
                  Fields("111", "222", "1", "3", "Účetní oddělení",
                         "http://server/index.php?action=DetailView&record=15")},
        SplitCase{"LinkWithPortKeptWhole",
                  "111:222:1:3:Jan:http://crm.example:8080/index.php?action=DetailView&record=15",
                  Fields("111", "222", "1", "3", "Jan",
                         "http://crm.example:8080/index.php?action=DetailView&record=15")},
        SplitCase{"FurtherColonsDropped", "a:b:1:3:n:http://x/y:extra:more",
                  Fields("a", "b", "1", "3", "n", "http://x/y")},
        SplitCase{"TrailingColonAfterSchemeLinkDropped",
                  "a:b:1:3:n:http://x/y:", Fields("a", "b", "1", "3", "n", "http://x/y")},
        SplitCase{"TextAfterThePortDropped", "a:b:1:3:n:http://crm:8080/a:extra",
                  Fields("a", "b", "1", "3", "n", "http://crm:8080/a")},
        SplitCase{"PortAtTheEnd", "a:b:1:3:n:http://crm:8080",
                  Fields("a", "b", "1", "3", "n", "http://crm:8080")},
        SplitCase{"PortBeforeQuery", "a:b:1:3:n:http://crm:81?a=1:b",
                  Fields("a", "b", "1", "3", "n", "http://crm:81?a=1")},
        SplitCase{"PortBeforeFragment", "a:b:1:3:n:https://crm:443#top",
                  Fields("a", "b", "1", "3", "n", "https://crm:443#top")},
        SplitCase{"DigitsThenOtherTextIsNoPort", "a:b:1:3:n:http://crm:80x/a",
                  Fields("a", "b", "1", "3", "n", "http://crm")},
        SplitCase{"EmptyEighthFieldIsNoPort", "a:b:1:3:n:http://crm::8080",
                  Fields("a", "b", "1", "3", "n", "http://crm")},
        SplitCase{"NonAsciiDigitsAreNoPort", "a:b:1:3:n:http://crm:Ù¡Ù¢/a",
                  Fields("a", "b", "1", "3", "n", "http://crm")},
        SplitCase{"EmptySeventhFieldJoinsNothing", "a:b:1:3:n:http::8080/a",
                  Fields("a", "b", "1", "3", "n", "http")},
        SplitCase{"SixColonsNothingAfterSixth",
                  "a:b:1:3:n:link:", Fields("a", "b", "1", "3", "n", "link")},
        SplitCase{"LinkWithoutColon", "a:b:1:3:n:plain", Fields("a", "b", "1", "3", "n", "plain")},
        SplitCase{"OtherSchemeWithOneColon", "a:b:1:3:n:mailto:x@example.com",
                  Fields("a", "b", "1", "3", "n", "mailto:x@example.com")},
        SplitCase{"EmptyLink", "a:b:1:3:n:", Fields("a", "b", "1", "3", "n", "")},
        SplitCase{"EmptyLinkTrailingColon", "a:b:1:3:n::", Fields("a", "b", "1", "3", "n", "")},
        SplitCase{"NoLinkField", "a:b:1:3:n", Fields("a", "b", "1", "3", "n", "")},
        SplitCase{"TwoFields", "a:b", Fields("a", "b", "", "", "", "")},
        SplitCase{"NoColon", "abc", Fields("abc", "", "", "", "", "")},
        SplitCase{"Empty", "", Fields("", "", "", "", "", "")},
        SplitCase{"EmptyFieldsKeepPositions", "::1:::", Fields("", "", "1", "", "", "")},
        SplitCase{"BlanksAndTildeUntouched",
                  " 1~2 :x: 1 :3:  ", Fields(" 1~2 ", "x", " 1 ", "3", "  ", "")}),
    [](const auto& info) { return std::string(info.param.name); });

// The seven-field split, step by step: six fields cut at the first colon of the record with
// one colon appended, a seventh up to the next colon, joined back onto the sixth.
CallRecord SplitSevenFields(const QString& text) {
    QString w = text + u':';
    QStringList fields;
    for (int i = 0; i < 6; ++i) {
        const qsizetype colon = w.indexOf(u':');
        if (colon < 0) {
            fields << QString();
            continue;
        }
        fields << w.left(colon);
        w = w.mid(colon + 1);
    }
    const QString seventh = w.left(w.indexOf(u':'));
    if (!seventh.isEmpty())
        fields[5] += u':' + seventh;
    return {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}

// Every record over a small alphabet without a port splits exactly as the seven-field rule does.
TEST(SplitCallRecord, MatchesTheSevenFieldSplitWithoutAPort) {
    constexpr int MaxLength = 11;
    int compared = 0;
    for (int length = 0; length <= MaxLength; ++length) {
        for (int bits = 0; bits < (1 << length); ++bits) {
            QString text;
            for (int i = 0; i < length; ++i)
                text += (bits >> i & 1) ? u':' : u'a';
            ++compared;
            const CallRecord split = SplitCallRecord(text);
            const CallRecord sevenField = SplitSevenFields(text);
            ASSERT_EQ(split.kdo, sevenField.kdo) << text.toStdString();
            ASSERT_EQ(split.kam, sevenField.kam) << text.toStdString();
            ASSERT_EQ(split.kod, sevenField.kod) << text.toStdString();
            ASSERT_EQ(split.typ, sevenField.typ) << text.toStdString();
            ASSERT_EQ(split.nazev, sevenField.nazev) << text.toStdString();
            ASSERT_EQ(split.odkaz, sevenField.odkaz) << text.toStdString();
        }
    }
    EXPECT_GT(compared, 1000);
}

} // namespace
