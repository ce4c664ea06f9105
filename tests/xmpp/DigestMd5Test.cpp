#include "DigestMd5.h"

#include <gtest/gtest.h>

namespace {

TEST(DigestMd5, MatchesTheRfc2831Example) {
    const TDigestParams p{
        "chris",    "elwood.innosoft.com",     "secret", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk",
        "00000001", "imap/elwood.innosoft.com"};
    EXPECT_EQ(DigestMd5Response(p), QStringLiteral("d388dad90d4bbd760a152321f2143af7"));
    EXPECT_EQ(DigestMd5RspAuth(p), QStringLiteral("ea40f60335c427b5527b84dbabcdfffd"));
}

TEST(DigestMd5, AnswerListsTheDirectivesInOrder) {
    const TDigestParams p{
        "420123456789", "localhost",     "tajne", "3462793041", "df747cbdbe69189d8062b06c2e98d160",
        "00000001",     "xmpp/localhost"};
    EXPECT_EQ(DigestMd5Answer(p),
              QByteArray("username=\"420123456789\",realm=\"localhost\",nonce=\"3462793041\","
                         "cnonce=\"df747cbdbe69189d8062b06c2e98d160\",nc=00000001,qop=auth,"
                         "digest-uri=\"xmpp/localhost\",charset=utf-8,"
                         "response=ef067e6065785ab77b9a9b45ad583cea"));
    EXPECT_EQ(DigestMd5RspAuth(p), QStringLiteral("418ad03f9f3daf5c70286cd75da1937b"));
}

TEST(DigestMd5, QuotedValuesAreEscapedAndHashedAsTheyAre) {
    const TDigestParams p{"a\"b\\c", "x", "p", "n\"1", "c", "00000001", "xmpp/x"};
    const QByteArray answer = DigestMd5Answer(p);
    EXPECT_TRUE(answer.startsWith("username=\"a\\\"b\\\\c\",realm=\"x\",nonce=\"n\\\"1\","))
        << answer.constData();
    // What the server reads back out of the answer is what was hashed.
    const TDirectiveList read = ParseChallenge(QString::fromLatin1(answer));
    EXPECT_EQ(read.Value(u"username"), p.UserName);
    EXPECT_EQ(read.Value(u"nonce"), p.Nonce);
}

TEST(DigestMd5, HashesNonAsciiAsTheCharsetRuleSays) {
    TDigestParams p{"anna",     "localhost",     "", "abc", "df747cbdbe69189d8062b06c2e98d160",
                    "00000001", "xmpp/localhost"};
    // Every character fits ISO 8859-1: hashed as ISO 8859-1.
    p.Password = QStringLiteral("pässwörd");
    EXPECT_EQ(DigestMd5Response(p), QStringLiteral("40746147e1b77c3079ed05be8f2e16cf"));
    // Characters beyond it: hashed as UTF-8.
    p.Password = QStringLiteral("žluťoučký");
    EXPECT_EQ(DigestMd5Response(p), QStringLiteral("7f98e8fe7327f1807405844980fd6a5c"));
    EXPECT_EQ(DigestCharsetBytes(QStringLiteral("ascii")), QByteArray("ascii"));
}

struct TChallengeCase {
    const char* Text;
    std::vector<std::pair<QString, QString>> Directives;
};

void PrintTo(const TChallengeCase& Case, std::ostream* Os) {
    *Os << Case.Text;
}

class ChallengeTable : public testing::TestWithParam<TChallengeCase> {};

TEST_P(ChallengeTable, ReadsDirectives) {
    const TDirectiveList list = ParseChallenge(QString::fromLatin1(GetParam().Text));
    std::vector<std::pair<QString, QString>> got;
    for (const TChallengeDirective& d : list.Items())
        got.emplace_back(d.Name, d.Value);
    EXPECT_EQ(got, GetParam().Directives);
}

using P = std::pair<QString, QString>;

INSTANTIATE_TEST_SUITE_P(
    DigestMd5, ChallengeTable,
    testing::Values(TChallengeCase{"realm=\"localhost\",nonce=\"3462\",qop=\"auth\",charset=utf-8,"
                                   "algorithm=md5-sess",
                                   {P{"realm", "localhost"}, P{"nonce", "3462"}, P{"qop", "auth"},
                                    P{"charset", "utf-8"}, P{"algorithm", "md5-sess"}}},
                    TChallengeCase{"qop=\"auth\",nonce=xyz", {P{"qop", "auth"}, P{"nonce", "xyz"}}},
                    TChallengeCase{"realm=\"a,b=c\",nonce=\"n\"",
                                   {P{"realm", "a,b=c"}, P{"nonce", "n"}}},
                    TChallengeCase{"rspauth=ea40f6", {P{"rspauth", "ea40f6"}}},
                    TChallengeCase{"nonce=\"\",x=a=b", {P{"nonce", ""}, P{"x", "a=b"}}},
                    TChallengeCase{" nonce=\"x\", qop=\"auth\",\r\n\tcharset=utf-8",
                                   {P{"nonce", "x"}, P{"qop", "auth"}, P{"charset", "utf-8"}}},
                    TChallengeCase{"realm=\"a\\\"b\\\\c\",nonce=\"n\"",
                                   {P{"realm", "a\"b\\c"}, P{"nonce", "n"}}},
                    TChallengeCase{"nonce=\"open", {P{"nonce", "open"}}},
                    TChallengeCase{"flag,,", {P{"flag", ""}}}, TChallengeCase{"", {}}));

TEST(DigestMd5, LookupTakesTheFirstNameWithoutRegardToCase) {
    const TDirectiveList list = ParseChallenge(QStringLiteral("NONCE=\"A\",nonce=\"B\""));
    EXPECT_EQ(list.Value(u"nonce"), QStringLiteral("A"));
    EXPECT_TRUE(list.Has(u"Nonce"));
    EXPECT_FALSE(list.Has(u"realm"));
    EXPECT_EQ(list.Value(u"realm"), QString());
}

} // namespace
