#include "CallHistory.h"

#include <QSet>
#include <gtest/gtest.h>
#include <random>
#include <utility>
#include <vector>

namespace {

QStringList Utf8Lines(std::initializer_list<const char*> lines) {
    QStringList result;
    for (const char* line : lines)
        result << QString::fromUtf8(line);
    return result;
}

struct EntryCase {
    const char* name;
    QStringList before;
    std::vector<std::pair<const char*, const char*>> entries; // key, value (UTF-8)
    QStringList after;
};

void PrintTo(const EntryCase& c, std::ostream* out) {
    *out << c.name;
}

class SetEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(SetEntryTest, ChangesTheLines) {
    CallHistory history(GetParam().before);
    for (const auto& [key, value] : GetParam().entries)
        history.SetEntry(QString::fromUtf8(key), QString::fromUtf8(value));
    EXPECT_EQ(history.Lines(), GetParam().after);
    EXPECT_EQ(history.Count(), GetParam().after.size());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SetEntryTest,
    ::testing::Values(
        EntryCase{"AppendsToEmpty", {}, {{"k", "v"}}, {"k=v"}},
        EntryCase{"AppendsAsLastLine", {"a=1", "b=2"}, {{"c", "3"}}, {"a=1", "b=2", "c=3"}},
        EntryCase{"ReplacesInPlaceWithTheGivenKey",
                  {"x=1", "KEY=old", "y=2"},
                  {{"key", "new"}},
                  {"x=1", "key=new", "y=2"}},
        EntryCase{"AccentedKeyWithoutRegardToCase",
                  Utf8Lines({"ÚČET=1"}),
                  {{"účet", "2"}},
                  Utf8Lines({"účet=2"})},
        EntryCase{"ReplacesOnlyTheFirstOfDuplicates",
                  {"k=1", "a=0", "k=2"},
                  {{"K", "3"}},
                  {"K=3", "a=0", "k=2"}},
        EntryCase{"DeletingTheFirstMakesTheNextDuplicateFirst",
                  {"k=1", "a=0", "k=2", "K=3"},
                  {{"k", ""}, {"k", "x"}, {"k", ""}, {"k", "y"}},
                  {"a=0", "k=y"}},
        EntryCase{"EmptyValueOnMissingKeyAddsNothing", {"a=1"}, {{"b", ""}}, {"a=1"}},
        EntryCase{"DeletesUntilNoneIsLeft", {"k=1", "k=2"}, {{"k", ""}, {"k", ""}, {"k", ""}}, {}},
        EntryCase{"LinesWithoutEqualsNeverMatch",
                  {"k", "k:v", ""},
                  {{"k", "1"}, {"", "2"}},
                  {"k", "k:v", "", "k=1", "=2"}},
        EntryCase{
            "EmptyKeyMatchesALineStartingWithEquals", {"=v", "a=1"}, {{"", "w"}}, {"=w", "a=1"}},
        EntryCase{"OnlyTheTextBeforeTheFirstEqualsIsTheKey",
                  {"k=a=b"},
                  {{"k=a", "x"}, {"k", ""}, {"k", "y"}, {"k", ""}, {"k", ""}},
                  {}},
        EntryCase{"KeyWithEqualsAppendsBehindItsKeysDuplicates",
                  {"k=1", "k=2"},
                  {{"k=z", "3"}, {"k", ""}, {"k", ""}, {"K", "4"}},
                  {"K=4"}},
        EntryCase{"DeleteInTheMiddleKeepsLaterLinesFound",
                  {"a=1", "b=2", "c=3", "d=4"},
                  {{"b", ""}, {"d", "x"}, {"c", ""}, {"d", "y"}, {"a", "z"}},
                  {"a=z", "d=y"}},
        // Two records within the same second share their time stamp: the second one's entries
        // replace the first one's lines, and its empty name deletes the first one's name.
        EntryCase{"SecondRecordInTheSameSecond",
                  {"old=1"},
                  {{"T_kdo", "111"},
                   {"T_nazev", "Jan"},
                   {"T_odkaz", "http://a"},
                   {"T_cas", "T"},
                   {"T_kdo", "222"},
                   {"T_nazev", ""},
                   {"T_odkaz", "http://b"},
                   {"T_cas", "T"}},
                  {"old=1", "T_kdo=222", "T_odkaz=http://b", "T_cas=T"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The history rules written out plainly: a linear search for the first line whose text before
// its first "=" equals the key without regard to case.
class PlainHistory {
public:
    explicit PlainHistory(QStringList lines) : FLines(std::move(lines)) {}
    const QStringList& Lines() const { return FLines; }

    void SetEntry(const QString& key, const QString& value) {
        qsizetype found = -1;
        for (qsizetype i = 0; i < FLines.size() && found < 0; ++i) {
            const qsizetype equals = FLines[i].indexOf(u'=');
            if (equals >= 0 && FLines[i].left(equals).toCaseFolded() == key.toCaseFolded())
                found = i;
        }
        if (!value.isEmpty() && found >= 0)
            FLines[found] = key + u'=' + value;
        else if (!value.isEmpty())
            FLines << key + u'=' + value;
        else if (found >= 0)
            FLines.removeAt(found);
    }

private:
    QStringList FLines;
};

// Random loads and entries over a few keys, in varied case, with "=" inside keys, duplicates
// and lines without "=", must leave exactly the lines the plain rules leave.
TEST(CallHistory, AgreesWithThePlainRulesOverRandomEntries) {
    const QStringList keys = {"a", "A", "b", "B", "ab", "a=b", "A=", "", "č", "Č"};
    const QStringList values = {"", "", "1", "2", "x=y"};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        const auto pick = [&](const QStringList& from) {
            return from[std::uniform_int_distribution<qsizetype>(0, from.size() - 1)(random)];
        };
        QStringList loaded;
        const int loadedCount = std::uniform_int_distribution(0, 12)(random);
        for (int i = 0; i < loadedCount; ++i)
            loaded << (random() % 5 == 0 ? pick(keys) : pick(keys) + u'=' + pick(values));

        CallHistory history(loaded);
        PlainHistory plain(loaded);
        for (int step = 0; step < 300; ++step) {
            const QString key = pick(keys);
            const QString value = pick(values);
            history.SetEntry(key, value);
            plain.SetEntry(key, value);
            ASSERT_EQ(history.Lines(), plain.Lines())
                << "seed " << seed << " step " << step << " key " << key.toStdString() << " value "
                << value.toStdString();
        }
    }
}

// Thousands of deletions in scattered order, of lines with duplicates further on, must keep
// every later line found.
TEST(CallHistory, KeepsFindingLinesAcrossThousandsOfDeletions) {
    constexpr int Keys = 5000;
    QStringList loaded;
    for (int copy = 0; copy < 2; ++copy) {
        for (int i = 0; i < Keys; ++i)
            loaded << QString("k%1=%2").arg(i).arg(copy);
    }
    CallHistory history(loaded);
    const auto scattered = [](int i) {
        return i * 7919 % Keys;
    };
    for (int i = 0; i < Keys; ++i)
        history.SetEntry(QString("K%1").arg(scattered(i)), QString());
    for (int i = 0; i < Keys; ++i)
        history.SetEntry(QString("K%1").arg(scattered(i)), "w");
    history.SetEntry("new", "1");

    QStringList expected;
    for (int i = 0; i < Keys; ++i)
        expected << QString("K%1=w").arg(i);
    expected << "new=1";
    EXPECT_EQ(history.Lines(), expected);

    for (int i = 0; i < Keys; i += 2)
        history.SetEntry(QString("k%1").arg(scattered(i)), QString());
    history.SetEntry("NEW", "2");
    expected.clear();
    QSet<int> deleted;
    for (int i = 0; i < Keys; i += 2)
        deleted.insert(scattered(i));
    for (int i = 0; i < Keys; ++i) {
        if (!deleted.contains(i))
            expected << QString("K%1=w").arg(i);
    }
    expected << "NEW=2";
    EXPECT_EQ(history.Lines(), expected);
}

} // namespace

namespace {

struct UniqueKeyCase {
    const char* name;
    QStringList lines;
    const char* expected;
};

void PrintTo(const UniqueKeyCase& c, std::ostream* out) {
    *out << c.name;
}

class UniqueCallKeyTest : public ::testing::TestWithParam<UniqueKeyCase> {};

TEST_P(UniqueCallKeyTest, GivesTheFirstFreeStem) {
    EXPECT_EQ(CallHistory(GetParam().lines).UniqueCallKey(QStringLiteral("10.12.2026 3:28:55")),
              QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, UniqueCallKeyTest,
    ::testing::Values(
        UniqueKeyCase{"EmptyHistory", {}, "10.12.2026 3:28:55"},
        UniqueKeyCase{"OtherSecond", {"10.12.2026 3:28:54_kdo=1"}, "10.12.2026 3:28:55"},
        UniqueKeyCase{"TakenByCas", {"10.12.2026 3:28:55_cas=x"}, "10.12.2026 3:28:55 #2"},
        UniqueKeyCase{"TakenByAnyOfTheFour",
                      {"10.12.2026 3:28:55_odkaz=x", "10.12.2026 3:28:55 #2_nazev=y"},
                      "10.12.2026 3:28:55 #3"},
        UniqueKeyCase{"CaseDoesNotCount", {"10.12.2026 3:28:55_KDO=x"}, "10.12.2026 3:28:55 #2"},
        UniqueKeyCase{"GapIsReused",
                      {"10.12.2026 3:28:55_kdo=1", "10.12.2026 3:28:55 #3_kdo=3"},
                      "10.12.2026 3:28:55 #2"},
        UniqueKeyCase{"OtherKeysOfTheStampDoNotCount",
                      {"10.12.2026 3:28:55_jine=1", "10.12.2026 3:28:55=2"},
                      "10.12.2026 3:28:55"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetEntry, ControlCharactersInTheValueBecomeBlanks) {
    CallHistory history;
    history.SetEntry(QStringLiteral("k"),
                     QString::fromUtf8("a\rb\nc\r\nd\te\x01\x1f|\x7f|\xc2\x85"));
    history.SetEntry(QStringLiteral("only"), QStringLiteral("\r\n"));
    EXPECT_EQ(history.Lines(),
              (QStringList{QString::fromUtf8("k=a b c  d e  |\x7f|\xc2\x85"), "only=  "}));
}

struct StampCase {
    const char* locale;
    const char* expected;
};

class CallTimeStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(CallTimeStampTest, ShortDateAndLongTimeWithoutZone) {
    const QDateTime when(QDate(2026, 12, 10), QTime(3, 28, 55), Qt::UTC);
    EXPECT_EQ(CallTimeStamp(when, QLocale(QString::fromLatin1(GetParam().locale))),
              QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Locales, CallTimeStampTest,
                         ::testing::Values(StampCase{"cs_CZ", "10.12.2026 3:28:55"},
                                           StampCase{"C", "10 Dec 2026 03:28:55"},
                                           StampCase{"en_US", "12/10/2026 3:28:55 AM"},
                                           StampCase{"de_DE", "10.12.2026 03:28:55"},
                                           StampCase{"en_GB", "10/12/2026 03:28:55"}));

// The program takes the system's locale: the one the tests run under, C.UTF-8.
TEST(CallTimeStamp, SystemLocaleOfTheTests) {
    const QDateTime when(QDate(2026, 12, 10), QTime(3, 28, 55));
    EXPECT_EQ(CallTimeStamp(when, QLocale::system()), QStringLiteral("10 Dec 2026 03:28:55"));
}

} // namespace
