#include "StanzaFramer.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

QStringList Drain(TStanzaFramer& Framer) {
    QStringList out;
    for (QString s = Framer.Next(); !s.isEmpty(); s = Framer.Next())
        out << s;
    return out;
}

// One chunk, the stanzas that come off after it, and what stays in the buffer.
struct TStep {
    QString Chunk;
    QStringList Stanzas;
    QString Pending;
};

struct TFramingCase {
    const char* Name;
    std::vector<TStep> Steps;
};

void PrintTo(const TFramingCase& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class FramingTable : public testing::TestWithParam<TFramingCase> {};

TEST_P(FramingTable, CutsStanzasChunkByChunk) {
    TStanzaFramer framer;
    int step = 0;
    for (const TStep& s : GetParam().Steps) {
        framer.Append(s.Chunk);
        EXPECT_EQ(Drain(framer), s.Stanzas) << "after chunk " << step;
        EXPECT_EQ(framer.Pending(), s.Pending) << "after chunk " << step;
        ++step;
    }
}

const QString kHeader = QStringLiteral(
    "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='4711' from='localhost' version='1.0' xml:lang='en'>");
const QString kHeaderClosed = QString(kHeader).chopped(1) + QStringLiteral("/>");

INSTANTIATE_TEST_SUITE_P(
    Framer, FramingTable,
    testing::Values(
        TFramingCase{"two elements in one chunk",
                     {{"<iq><query/></iq><presence/>", {"<iq><query/></iq>", "<presence/>"}, ""}}},
        TFramingCase{
            "closing bracket in the next chunk",
            {{"<iq><query/></iq", {}, "<iq><query/></iq"}, {">", {"<iq><query/></iq>"}, ""}}},
        TFramingCase{"white space only", {{" \r\n\t  ", {}, ""}}},
        TFramingCase{"white space between elements",
                     {{"\r\n <a/>\n\n<b>x</b>  ", {"<a/>", "<b>x</b>"}, ""}}},
        TFramingCase{"declaration, stream header and features in one chunk",
                     {{"<?xml version='1.0'?>" + kHeader +
                           "<stream:features><mechanisms/></stream:features>",
                       {kHeaderClosed, "<stream:features><mechanisms/></stream:features>"},
                       ""}}},
        TFramingCase{"second-to-last character is an opening bracket",
                     {{"<presence/><m", {}, "<presence/><m"},
                      {"essage/>", {"<presence/>", "<message/>"}, ""}}},
        TFramingCase{"element held back while the buffer is compacted",
                     {{"<!-- a comment longer than the rest --><presence/><m", {}, "<presence/><m"},
                      {"essage/>", {"<presence/>", "<message/>"}, ""}}},
        TFramingCase{"stream header split over chunks",
                     {{"<?xml version='1.0'?><stream:str", {}, "<stream:str"},
                      {kHeader.mid(11), {kHeaderClosed}, ""},
                      {"<iq type='result'/>", {"<iq type='result'/>"}, ""}}},
        TFramingCase{"stream header without declaration",
                     {{kHeader + "<stream:features/>", {kHeaderClosed, "<stream:features/>"}, ""}}},
        TFramingCase{"declaration split over chunks",
                     {{"<?xml vers", {}, "<?xml vers"}, {"ion='1.0'?>", {}, ""}}},
        TFramingCase{
            "restarted stream after a stanza in the same chunk",
            {{"<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/><?xml version='1.0'?>" + kHeader,
              {"<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>", kHeaderClosed},
              ""}}},
        TFramingCase{"apostrophe in character data",
                     {{"<message><body>it's</body></message><presence/>",
                       {"<message><body>it's</body></message>", "<presence/>"},
                       ""}}},
        TFramingCase{"double quote in character data",
                     {{"<message><body>say \"hi</body></message><a/>",
                       {"<message><body>say \"hi</body></message>", "<a/>"},
                       ""}}},
        TFramingCase{"comment inside an element",
                     {{"<m><!-- <b> </m> --><body>x</body></m>",
                       {"<m><!-- <b> </m> --><body>x</body></m>"},
                       ""}}},
        TFramingCase{"comments and instructions between elements are dropped",
                     {{"<!-- hi --> <?pi x?><iq/>", {"<iq/>"}, ""}}},
        TFramingCase{"CDATA section",
                     {{"<m><body><![CDATA[a</body> <x>]]></body></m>",
                       {"<m><body><![CDATA[a</body> <x>]]></body></m>"},
                       ""}}},
        TFramingCase{"processing instruction inside an element",
                     {{"<m><?pi <x>?><body/></m>", {"<m><?pi <x>?><body/></m>"}, ""}}},
        TFramingCase{
            "closing bracket and slash inside attribute values",
            {{"<iq id='a>b' to=\"c/>\"><x/></iq>", {"<iq id='a>b' to=\"c/>\"><x/></iq>"}, ""}}},
        TFramingCase{"slash and bracket in character data",
                     {{"<m><body>a/>b</body></m>", {"<m><body>a/>b</body></m>"}, ""}}},
        TFramingCase{"text that does not begin with an opening bracket",
                     {{"abc", {}, "abc"}, {">def<iq/>", {"abc>", "def<iq/>"}, ""}}},
        TFramingCase{
            "stream end stays in the buffer",
            {{"</stream:stream>", {}, "</stream:stream>"}, {"<iq/>", {}, "</stream:stream><iq/>"}}},
        TFramingCase{
            "white space at a chunk boundary inside an element is kept",
            {{"<message><body>Jan ", {}, "<message><body>Jan "},
             {"Novák</body></message>", {"<message><body>Jan Novák</body></message>"}, ""}}},
        TFramingCase{"white space inside a tag at a chunk boundary",
                     {{"<message ", {}, "<message "}, {"to='x'/>", {"<message to='x'/>"}, ""}}}));

// Wherever the stream is split, the same stanzas come out.
TEST(Framer, AnySplitGivesTheSameStanzas) {
    const QString stream =
        "<?xml version='1.0'?>" + kHeader +
        "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
        "<mechanism>DIGEST-MD5</mechanism></mechanisms></stream:features>\r\n"
        "<message from='a@b' type=\"chat\"><body>O'Brien: \"Nováková\" &amp; 1/>2</body>"
        "<!-- '<x>' --></message>  <presence from='x'/><iq type='result' id='1'>"
        "<query xmlns='jabber:iq:roster'><item jid='y'/></query></iq>";
    TStanzaFramer whole;
    whole.Append(stream);
    const QStringList expected = Drain(whole);
    ASSERT_EQ(expected.size(), 5);

    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        TStanzaFramer framer;
        framer.Append(stream.left(cut));
        QStringList got = Drain(framer);
        framer.Append(stream.mid(cut));
        got += Drain(framer);
        ASSERT_EQ(got, expected) << "split at " << cut;
        EXPECT_TRUE(framer.IsEmpty());
    }

    TStanzaFramer single;
    QStringList got;
    for (const QChar c : stream) {
        single.Append(QStringView(&c, 1));
        got += Drain(single);
    }
    EXPECT_EQ(got, expected);
}

TEST(Framer, ClearForgetsPartialAndStalledText) {
    TStanzaFramer framer;
    framer.Append(QStringLiteral("</stream:stream><iq"));
    EXPECT_TRUE(framer.Next().isEmpty());
    framer.Clear();
    EXPECT_TRUE(framer.IsEmpty());
    framer.Append(QStringLiteral("<iq/>"));
    EXPECT_EQ(framer.Next(), QStringLiteral("<iq/>"));
}

struct TQuoteCase {
    const char* Received;
    const char* Parsed;
};

void PrintTo(const TQuoteCase& Case, std::ostream* Os) {
    *Os << Case.Received;
}

class QuoteTable : public testing::TestWithParam<TQuoteCase> {};

TEST_P(QuoteTable, OnlyAttributeDelimitersBecomeDoubleQuotes) {
    EXPECT_EQ(DoubleQuoteAttributes(QString::fromUtf8(GetParam().Received)),
              QString::fromUtf8(GetParam().Parsed));
}

INSTANTIATE_TEST_SUITE_P(
    Framer, QuoteTable,
    testing::Values(
        TQuoteCase{"<message type='chat'><body>hi</body></message>",
                   "<message type=\"chat\"><body>hi</body></message>"},
        TQuoteCase{"<message from='a'><body>O'Brien \"x\"</body></message>",
                   "<message from=\"a\"><body>O'Brien \"x\"</body></message>"},
        TQuoteCase{"<x a='say \"hi\"' b=\"it's\"/>", "<x a=\"say &quot;hi&quot;\" b=\"it's\"/>"},
        TQuoteCase{"<x><![CDATA[<y a='1'>]]><!-- 'c' --></x>",
                   "<x><![CDATA[<y a='1'>]]><!-- 'c' --></x>"},
        TQuoteCase{"<stream:stream to='x' id='1'/>", "<stream:stream to=\"x\" id=\"1\"/>"},
        TQuoteCase{"<x a='open", "<x a='open"},
        TQuoteCase{"<body>Novák's</body>", "<body>Novák's</body>"}));

struct TReplaceCase {
    const char* Text;
    const char* Pattern;
    const char* Replacement;
    TReplaceFlags Flags;
    const char* Result;
};

void PrintTo(const TReplaceCase& Case, std::ostream* Os) {
    *Os << Case.Text << " / " << Case.Pattern << " / " << int(Case.Flags);
}

class ReplaceTable : public testing::TestWithParam<TReplaceCase> {};

TEST_P(ReplaceTable, Replaces) {
    const TReplaceCase& c = GetParam();
    EXPECT_EQ(ReplaceText(QString::fromUtf8(c.Text), QString::fromUtf8(c.Pattern),
                          QString::fromUtf8(c.Replacement), c.Flags),
              QString::fromUtf8(c.Result));
}

INSTANTIATE_TEST_SUITE_P(
    Framer, ReplaceTable,
    testing::Values(TReplaceCase{"iq>query>body", ">", "/>", {}, "iq/>query>body"},
                    TReplaceCase{"iq>query>body", ">", "/>", rfReplaceAll, "iq/>query/>body"},
                    TReplaceCase{"Auth:auth", "auth", "set", rfReplaceAll | rfIgnoreCase,
                                 "set:set"},
                    TReplaceCase{"Auth:auth", "auth", "set", rfReplaceAll, "Auth:set"},
                    TReplaceCase{"Auth:auth", "AUTH", "set", rfIgnoreCase, "set:auth"},
                    TReplaceCase{"Čau čau", "ČAU", "x", rfReplaceAll | rfIgnoreCase, "x x"},
                    TReplaceCase{"aaa", "a", "aa", rfReplaceAll, "aaaaaa"},
                    TReplaceCase{"abc", "", "x", rfReplaceAll, "abc"},
                    TReplaceCase{"", "a", "b", rfReplaceAll, ""},
                    TReplaceCase{"abc", "x", "y", rfReplaceAll, "abc"}));

} // namespace
