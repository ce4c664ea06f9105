#include "KvXml.h"

#include <QBuffer>
#include <QPointer>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <random>

void PrintTo(const QString& S, std::ostream* Os) {
    *Os << '"' << S.toStdString() << '"';
}

namespace {

QString Crlf(const QStringList& Lines) {
    QString Result;
    for (const QString& Line : Lines)
        Result += Line + QStringLiteral("\r\n");
    return Result;
}

// ---- Reading a tag text into a name and attributes ----

struct TTagCase {
    const char* Tag;
    const char* Name;
    QStringList Params;
};

void PrintTo(const TTagCase& Case, std::ostream* Os) {
    *Os << Case.Tag;
}

class TagGrammar : public testing::TestWithParam<TTagCase> {};

TEST_P(TagGrammar, SplitsNameAndAttributes) {
    TKvXmlNode Node;
    Node.SetName(QString::fromUtf8(GetParam().Tag));
    EXPECT_EQ(Node.Name(), QString::fromUtf8(GetParam().Name));
    EXPECT_EQ(Node.Params().Entries(), GetParam().Params);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, TagGrammar,
    testing::Values(
        TTagCase{"<presence />", "presence", {}}, TTagCase{"<presence/>", "presence", {}},
        TTagCase{"<message to=\"x\" type=\"chat\">", "message", {"to=x", "type=chat"}},
        TTagCase{"foo bar", "foo bar", {}}, TTagCase{"<a b=\"\">", "a", {}},
        TTagCase{"<a x=\"&amp;\">", "a", {"x=&amp;"}},
        TTagCase{"<a x=\"a=b\" y = \"2\" >", "a", {"x=a=b", "y=2"}},
        TTagCase{"<a x=\"1\"y=\"2\">", "a", {"x=1", "y=2"}},
        // "=" without a space: the whole text is attributes and the name is empty
        TTagCase{"a=\"1\"", "", {"a=1"}},
        // only the space character separates the name
        TTagCase{"<a\tb=\"1\" c=\"2\">", "a\tb=\"1\"", {"c=2"}},
        // the same name in another case replaces the entry; an empty value removes it
        TTagCase{"<a X=\"1\" x=\"2\">", "a", {"x=2"}}, TTagCase{"<a x=\"1\" X=\"\">", "a", {}},
        // single quotes, a missing closing quote and a bare name end the reading
        TTagCase{"<a x='1'>", "a", {}}, TTagCase{"<a x=\"1\" y=\"2>", "a", {"x=1"}},
        TTagCase{"<a x=\"1\" bare>", "a", {"x=1"}}, TTagCase{"<a x=\"1\" \"2\">", "a", {"x=1"}},
        TTagCase{"<>", "", {}}, TTagCase{"< \t\r\n>", "", {}},
        TTagCase{"<!-- a comment -->", "!-- a comment --", {}},
        TTagCase{"<ü x=\"ř\">", "ü", {"x=ř"}}));

TEST(TagGrammar, KeepsAttributesSetBeforeAndEmptyNameIsHarmless) {
    TKvXmlNode Node;
    Node.SetName(QStringLiteral("<a x=\"1\" y=\"2\">"));
    Node.SetName(QStringLiteral("<b y=\"3\" z=\"4\">"));
    EXPECT_EQ(Node.Name(), QStringLiteral("b"));
    EXPECT_EQ(Node.Params().Entries(), (QStringList{"x=1", "y=3", "z=4"}));
    Node.SetName(QString());
    EXPECT_EQ(Node.Name(), QString());
    EXPECT_EQ(Node.Params().Count(), 3);
}

// ---- Attributes ----

TEST(Params, LooksUpSetsAndDeletesByName) {
    TKvXmlParams Params;
    Params.SetValues(QStringLiteral("xmlns"), QStringLiteral("jabber:client"));
    Params.SetValues(QStringLiteral("id"), QStringLiteral("a=b"));
    EXPECT_EQ(Params.Values(QStringLiteral("XMLNS")), QStringLiteral("jabber:client"));
    EXPECT_EQ(Params.Values(QStringLiteral("Id")), QStringLiteral("a=b"));
    EXPECT_EQ(Params.Values(QStringLiteral("missing")), QString());

    // replacing keeps the place and takes the name as the caller wrote it
    Params.SetValues(QStringLiteral("XmlNs"), QStringLiteral("x"));
    EXPECT_EQ(Params.Entries(), (QStringList{"XmlNs=x", "id=a=b"}));
    EXPECT_EQ(Params.Names(1), QStringLiteral("id"));
    EXPECT_EQ(Params.ValueFromIndex(1), QStringLiteral("a=b"));

    Params.SetValues(QStringLiteral("missing"), QString());
    Params.SetValues(QStringLiteral("xmlns"), QString());
    EXPECT_EQ(Params.Entries(), (QStringList{"id=a=b"}));
}

TEST(Params, AssignCopiesAndEntriesWithoutEqualsHaveNoName) {
    TKvXmlNode Node;
    QStringList Source{"a=1", "plain", "=2"};
    Node.SetParams(Source);
    Source.clear();
    EXPECT_EQ(Node.Params().Count(), 3);
    EXPECT_EQ(Node.Params().IndexOfName(QStringLiteral("plain")), -1);
    EXPECT_EQ(Node.Params().Names(1), QString());
    EXPECT_EQ(Node.Params().Values(QString()), QStringLiteral("2"));
}

TEST(Params, BadIndexThrowsWithMessage) {
    TKvXmlParams Params(QStringList{"a=1"});
    for (int Index : {-1, 1})
        EXPECT_THROW(Params.Strings(Index), EKvXmlListError);
    try {
        Params.Names(7);
        FAIL() << "no exception";
    } catch (const EKvXmlError& Error) {
        EXPECT_NE(std::string(Error.what()).find('7'), std::string::npos);
    }
}

TEST(NodeAttribute, TrimsAndDropsDoubleQuotes) {
    TKvXmlNode Node;
    Node.Attribute().SetName(QStringLiteral(" \tname\r\n"));
    Node.Attribute().SetValue(QStringLiteral("  \"a\" b\"  "));
    EXPECT_EQ(Node.Attribute().Name(), QStringLiteral("name"));
    EXPECT_EQ(Node.Attribute().Value(), QStringLiteral("a b"));
}

// ---- Values ----

struct TEscapeCase {
    const char* Plain;
    const char* Stored;
};

void PrintTo(const TEscapeCase& Case, std::ostream* Os) {
    *Os << Case.Plain;
}

class DisplayString : public testing::TestWithParam<TEscapeCase> {};

TEST_P(DisplayString, EscapesOnWriteAndResolvesOnRead) {
    TKvXmlNode Node;
    Node.SetAsDisplayString(QString::fromUtf8(GetParam().Plain));
    EXPECT_EQ(Node.AsString(), QString::fromUtf8(GetParam().Stored));
    EXPECT_EQ(Node.AsDisplayString(), QString::fromUtf8(GetParam().Plain));
}

INSTANTIATE_TEST_SUITE_P(Values, DisplayString,
                         testing::Values(TEscapeCase{"a < b", "a &lt; b"},
                                         TEscapeCase{"&<>'\"", "&amp;&lt;&gt;&apos;&quot;"},
                                         TEscapeCase{"&amp;", "&amp;amp;"},
                                         TEscapeCase{"plain ř \r\n", "plain ř \r\n"},
                                         TEscapeCase{"", ""}));

TEST(DisplayString, ResolvesAmpersandFirst) {
    TKvXmlNode Node;
    Node.SetAsString(QStringLiteral("&amp;lt; &unknown; &"));
    EXPECT_EQ(Node.AsDisplayString(), QStringLiteral("< &unknown; &"));
}

struct TIntegerCase {
    const char* Text;
    bool Valid;
    int Value;
};

void PrintTo(const TIntegerCase& Case, std::ostream* Os) {
    *Os << Case.Text;
}

class IntegerValue : public testing::TestWithParam<TIntegerCase> {};

TEST_P(IntegerValue, ConvertsOrThrowsLeavingTheValue) {
    TKvXmlNode Node;
    const QString Text = QString::fromUtf8(GetParam().Text);
    Node.SetAsString(Text);
    if (GetParam().Valid) {
        EXPECT_EQ(Node.AsInteger(), GetParam().Value);
    } else {
        EXPECT_THROW(Node.AsInteger(), EKvXmlConvertError);
        EXPECT_THROW(Node.AsBoolean(), EKvXmlConvertError);
    }
    EXPECT_EQ(Node.AsString(), Text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntegerValue,
    testing::Values(
        TIntegerCase{"0", true, 0}, TIntegerCase{"-17", true, -17}, TIntegerCase{"+5", true, 5},
        TIntegerCase{"007", true, 7}, TIntegerCase{"2147483647", true, 2147483647},
        TIntegerCase{"-2147483648", true, -2147483647 - 1}, TIntegerCase{"$ff", true, 255},
        TIntegerCase{"0x1A", true, 26}, TIntegerCase{"-$10", true, -16},
        TIntegerCase{"$FFFFFFFF", true, -1}, TIntegerCase{"2147483648", false, 0},
        TIntegerCase{"-2147483649", false, 0}, TIntegerCase{"$100000000", false, 0},
        TIntegerCase{"", false, 0}, TIntegerCase{"-", false, 0}, TIntegerCase{"$", false, 0},
        TIntegerCase{"0x", false, 0}, TIntegerCase{" 1", false, 0}, TIntegerCase{"1 ", false, 0},
        TIntegerCase{"1.0", false, 0}, TIntegerCase{"12a", false, 0}, TIntegerCase{"٣", false, 0}));

TEST(IntegerValue, ErrorMessageNamesTheText) {
    TKvXmlNode Node;
    Node.SetAsString(QStringLiteral("abc"));
    try {
        Node.AsInteger();
        FAIL() << "no exception";
    } catch (const EKvXmlConvertError& Error) {
        EXPECT_NE(std::string(Error.what()).find("abc"), std::string::npos);
    }
}

TEST(BooleanValue, LooksAtTheLowestEightBits) {
    TKvXmlNode Node;
    const std::pair<const char*, bool> Cases[] = {{"0", false},   {"1", true},   {"2", true},
                                                  {"256", false}, {"257", true}, {"-256", false}};
    for (const auto& [Text, Expected] : Cases) {
        Node.SetAsString(QString::fromLatin1(Text));
        EXPECT_EQ(Node.AsBoolean(), Expected) << Text;
    }
    Node.SetAsBoolean(true);
    EXPECT_EQ(Node.AsString(), QStringLiteral("1"));
    Node.SetAsBoolean(false);
    EXPECT_EQ(Node.AsString(), QStringLiteral("0"));
    Node.SetAsInteger(-42);
    EXPECT_EQ(Node.AsString(), QStringLiteral("-42"));
}

TEST(FloatValue, WritesFifteenDigitsInTheLocaleAndReadsThemBack) {
    const QLocale Locale = QLocale::system();
    TKvXmlNode Node;
    Node.SetAsFloat(1.0 / 3.0);
    EXPECT_EQ(Node.AsString(),
              QStringLiteral("0") + Locale.decimalPoint() + QStringLiteral("333333333333333"));
    EXPECT_NEAR(Node.AsFloat(), 1.0 / 3.0, 1e-15);
    for (double Value : {0.0, -2.5, 1e20, 123456789012.0, 1e-7}) {
        Node.SetAsFloat(Value);
        EXPECT_DOUBLE_EQ(Node.AsFloat(), Value) << Node.AsString().toStdString();
    }
    for (const char* Bad : {"", "abc", "1.2.3", "1,5x"}) {
        Node.SetAsString(QString::fromLatin1(Bad));
        EXPECT_THROW(Node.AsFloat(), EKvXmlConvertError) << Bad;
        EXPECT_EQ(Node.AsString(), QString::fromLatin1(Bad));
    }
}

// ---- Nodes and lists ----

TEST(Node, LevelLeafAndEnumeration) {
    TKvXmlNodeList List;
    TKvXmlNode* Top = List.AddOpenTag(QStringLiteral("top"));
    TKvXmlNode* A = List.AddLeaf(QStringLiteral("a"));
    TKvXmlNode* B = List.AddOpenTag(QStringLiteral("b"));
    TKvXmlNode* Grandchild = List.AddLeaf(QStringLiteral("c"));
    EXPECT_EQ(Top->Level(), 0);
    EXPECT_EQ(A->Level(), 1);
    EXPECT_EQ(Grandchild->Level(), 2);
    EXPECT_EQ(Grandchild->Parent(), B);
    EXPECT_FALSE(Top->IsLeafNode());
    EXPECT_TRUE(A->IsLeafNode());

    std::vector<std::pair<TKvXmlNode*, TKvXmlNode*>> Calls;
    const TKvXmlEnumNodeEvent Record = [&](TKvXmlNode* Sender, TKvXmlNode* Child) {
        Calls.emplace_back(Sender, Child);
    };
    Top->EnumerateNodes(Record);
    EXPECT_EQ(Calls, (decltype(Calls){{Top, A}, {Top, B}}));
    Calls.clear();
    A->EnumerateNodes(Record);
    EXPECT_TRUE(Calls.empty());
    Top->EnumerateNodes(nullptr);
}

TEST(NodeList, CursorBuildsSiblingsThroughAChildList) {
    // How a query with a user name and a digest is built: the close tag on the
    // user name's own list moves that list's cursor up to the query.
    TKvXML Doc;
    TKvXmlNode* Iq = Doc.Nodes().AddOpenTag(QStringLiteral("<iq type=\"set\" id=\"auth\">"));
    TKvXmlNode* Query = Iq->Children().AddOpenTag(QStringLiteral("query xmlns=\"jabber:iq:auth\""));
    EXPECT_EQ(Query->Parent(), Iq);
    TKvXmlNode* User = Query->Children().AddOpenTag(QStringLiteral("username"));
    User->SetAsString(QStringLiteral("420123"));
    User->Children().AddCloseTag();
    EXPECT_EQ(User->Children().CurrentNode(), Query);
    TKvXmlNode* Digest = User->Children().AddOpenTag(QStringLiteral("digest"));
    Digest->SetAsString(QStringLiteral("abc"));
    EXPECT_EQ(Digest->Parent(), Query);
    EXPECT_EQ(User->Children().Count(), 0);
    EXPECT_EQ(Doc.Text(),
              Crlf({"<iq type=\"set\" id=\"auth\">", "<query xmlns=\"jabber:iq:auth\">",
                    "<username>420123</username>", "<digest>abc</digest>", "</query>", "</iq>"}));
}

TEST(NodeList, LookupsAndBadIndex) {
    TKvXmlNodeList List;
    EXPECT_EQ(List.Root(), nullptr);
    TKvXmlNode* Body = List.AddOpenTag(QStringLiteral("body"));
    List.AddLeaf(QStringLiteral("inner"));
    List.AddCloseTag();
    TKvXmlNode* Second = List.AddLeaf(QStringLiteral("body"));
    EXPECT_EQ(List.Root(), Body);
    EXPECT_EQ(List.Count(), 2);
    EXPECT_EQ(List.Node(1), Second);
    EXPECT_EQ(List.NodeByName(QStringLiteral("body")), Body);
    EXPECT_EQ(List.NodeByName(QStringLiteral("Body")), nullptr);
    EXPECT_EQ(List.NodeByName(QStringLiteral("inner")), nullptr);
    for (int Index : {-1, 2, 1000})
        EXPECT_THROW(List.Node(Index), EKvXmlListError) << Index;
}

TEST(NodeList, CloseWithoutCursorClearAndAddNode) {
    TKvXmlNodeList List;
    List.AddCloseTag();
    List.AddCloseTag();
    EXPECT_EQ(List.CurrentNode(), nullptr);
    EXPECT_EQ(List.Count(), 0);

    TKvXmlNode* A = List.AddOpenTag(QStringLiteral("a"));
    List.AddLeaf(QStringLiteral("b"));
    A->Children().Clear();
    EXPECT_EQ(A->Children().CurrentNode(), nullptr);
    // with the cursor cleared, the child list takes parentless items itself
    TKvXmlNode* Loose = A->Children().AddOpenTag(QStringLiteral("loose"));
    EXPECT_EQ(Loose->Parent(), nullptr);
    EXPECT_EQ(A->Children().Root(), Loose);

    auto* Extra = new TKvXmlNode(A);
    Extra->SetName(QStringLiteral("extra"));
    List.AddNode(Extra);
    List.AddNode(nullptr);
    EXPECT_EQ(List.Count(), 2);
    EXPECT_EQ(List.CurrentNode(), A);
    EXPECT_EQ(Extra->Parent(), A);

    List.Clear();
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.CurrentNode(), nullptr);
}

// ---- Writing ----

TEST(WriteNode, LinesOfOneNode) {
    TKvXmlNodeList List;
    TKvXmlNode* Item = List.AddLeaf(QStringLiteral("item"));
    QStringList Lines;
    WriteNode(Item, false, Lines);
    Item->Params().SetValues(QStringLiteral("jid"), QStringLiteral("x"));
    WriteNode(Item, false, Lines);
    // attribute values are escaped on output, "&" first
    Item->Params().SetValues(QStringLiteral("name"), QStringLiteral("<&amp;\"'>"));
    WriteNode(Item, false, Lines);
    EXPECT_EQ(Lines, (QStringList{"<item/>", "<item jid=\"x\"/>",
                                  "<item jid=\"x\" name=\"&lt;&amp;amp;&quot;&apos;&gt;\"/>"}));

    // a node with children is written without its own value and without indentation
    TKvXmlNode* Query = List.AddOpenTag(QStringLiteral("query"));
    Query->SetAsString(QStringLiteral("lost"));
    List.AddOpenTag(QStringLiteral("group"));
    List.AddLeaf(QStringLiteral("name"))->SetAsDisplayString(QStringLiteral("a&b"));
    Lines.clear();
    WriteNode(Query, false, Lines);
    EXPECT_EQ(Lines,
              (QStringList{"<query>", "<group>", "<name>a&amp;b</name>", "</group>", "</query>"}));
    Lines.clear();
    WriteNode(Query, true, Lines);
    EXPECT_EQ(Lines.at(2), QStringLiteral("<name>a&b</name>"));
}

// ---- The document ----

struct TParseCase {
    const char* Name;
    const char* Input;
    const char* Rendered; // lines separated by "|"
};

void PrintTo(const TParseCase& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class Parse : public testing::TestWithParam<TParseCase> {};

TEST_P(Parse, RendersAsExpected) {
    TKvXML Doc;
    Doc.SetText(QString::fromUtf8(GetParam().Input));
    const QString Expected = QString::fromUtf8(GetParam().Rendered);
    EXPECT_EQ(Doc.Text(), Expected.isEmpty() ? QString() : Crlf(Expected.split(u'|')));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Parse,
    testing::Values(
        TParseCase{"Message", "<message from=\"x\" to=\"y\"><body>hi</body></message>",
                   "<message from=\"x\" to=\"y\">|<body>hi</body>|</message>"},
        TParseCase{"Declaration", "<?xml version=\"1.0\"?>\r\n<a>1</a>", "<a>1</a>"},
        TParseCase{"OneCharacter", "<", ""}, TParseCase{"Empty", "", ""},
        TParseCase{"TwoCharacters", "<>", "</>"},
        TParseCase{"LastCharacterLost", "<a>xyz", "<a>xy</a>"},
        TParseCase{"SelfClosingWithSpace", "<presence />", "<presence/>"},
        TParseCase{"TextOutsideDropped", "before<a>in</a>after", "<a>in</a>"},
        TParseCase{"LastRunWins", "<a>one<b/>two</a>", "<a>|<b/>|</a>"},
        TParseCase{"RunKeptRaw", "<a> x &amp; y&#33; </a>", "<a> x &amp; y&#33; </a>"},
        TParseCase{"CloseNamesNotCompared", "<a><b>1</c><d/></e>", "<a>|<b>1</b>|<d/>|</a>"},
        TParseCase{"StrayCloseTag", "</stream:stream><a/>", "<a/>"},
        TParseCase{"SeveralTopLevel", "<a/><b>2</b>", "<a/>|<b>2</b>"},
        TParseCase{"CommentNeverClosed", "<a><!-- c --><b/></a>",
                   "<a>|<!-- c -->|<b/>|</!-- c -->|</a>"},
        TParseCase{"CdataIsAnOpenTag", "<a><![CDATA[x]]></a>", "<a>|<![CDATA[x]]/>|</a>"},
        TParseCase{"GreaterThanInAttribute", "<a x=\"1>2\">v</a>", "<a>2\">v</a>"},
        TParseCase{"UnterminatedTagAtEnd", "<a>1</a><b x=\"", "<a>1</a>"},
        TParseCase{"UnterminatedInsideElement", "<a><b", "<a/>"},
        TParseCase{"EntitiesInAttributeEscapedAgain", "<a x=\"&amp;\"/>", "<a x=\"&amp;amp;\"/>"},
        TParseCase{"AttributeEmptyValue", "<a x=\"\" y=\"1\"/>", "<a y=\"1\"/>"}),
    [](const testing::TestParamInfo<TParseCase>& Info) { return Info.param.Name; });

TEST(Document, DisplayTextResolvesLeafValues) {
    TKvXML Doc;
    Doc.SetText(QStringLiteral("<message><body>a &amp; b</body></message>"));
    TKvXmlNode* Body = Doc.Nodes().Root()->Children().Root();
    EXPECT_EQ(Body->AsString(), QStringLiteral("a &amp; b"));
    EXPECT_EQ(Doc.Text(), Crlf({"<message>", "<body>a &amp; b</body>", "</message>"}));
    EXPECT_EQ(Doc.DisplayText(), Crlf({"<message>", "<body>a & b</body>", "</message>"}));
}

TEST(Document, SecondTextAddsAtTheCursor) {
    TKvXML Doc;
    Doc.SetText(QStringLiteral("<a/>"));
    Doc.SetText(QStringLiteral("<b>"));
    Doc.SetText(QStringLiteral("<c/><d/>"));
    EXPECT_EQ(Doc.Text(), Crlf({"<a/>", "<b>", "<c/>", "<d/>", "</b>"}));
}

TEST(Document, HeaderEncodingAndAutoIndent) {
    TKvXML Doc;
    EXPECT_TRUE(Doc.AutoIndent());
    EXPECT_FALSE(Doc.IncludeHeader());
    EXPECT_EQ(Doc.Encoding(), QString());
    Doc.SetIncludeHeader(true);
    EXPECT_EQ(Doc.Text(), QString());
    EXPECT_EQ(Doc.DisplayText(), QString());

    Doc.SetText(QStringLiteral("<a><b>1</b></a>"));
    const QString Body = QStringLiteral("<a>\r\n<b>1</b>\r\n</a>\r\n");
    EXPECT_EQ(Doc.Text(), QStringLiteral("<?xml version=\"1.0\"?>\r\n") + Body);
    Doc.SetEncoding(QStringLiteral("UTF-8"));
    EXPECT_EQ(Doc.Text(), QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n") + Body);
    const QString Indented = Doc.Text();
    Doc.SetAutoIndent(false);
    EXPECT_FALSE(Doc.AutoIndent());
    EXPECT_EQ(Doc.Text(), Indented);
}

TEST(Document, ReleasedWithItsOwner) {
    auto* Owner = new QObject;
    QPointer<TKvXML> Doc = new TKvXML(Owner);
    Doc->SetText(QStringLiteral("<a><b/></a>"));
    delete Owner;
    EXPECT_TRUE(Doc.isNull());
}

// Every prefix of a stanza parses without failing into a tree whose rendering
// reads back as itself.
TEST(Document, EveryPrefixOfAStanza) {
    const QString Stanza = QStringLiteral(
        "<?xml version='1.0'?><message to=\"a@b.example\" type=\"chat\" id=\"7\">"
        "<body>1:420:1:2:Jan</body><!-- x --><x xmlns=\"jabber:x:data\"/></message>");
    for (qsizetype Length = 0; Length <= Stanza.size(); ++Length) {
        TKvXML First;
        First.SetText(Stanza.left(Length));
        TKvXML Second;
        Second.SetText(First.Text());
        ASSERT_EQ(Second.Text(), First.Text()) << Length;
    }
}

// ---- Loading and saving ----

struct TLoadCase {
    const char* Name;
    QByteArray Bytes;
};

void PrintTo(const TLoadCase& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class Load : public testing::TestWithParam<TLoadCase> {};

TEST_P(Load, DecodesAndEndsEveryLineWithCrLf) {
    QBuffer Buffer;
    Buffer.setData(GetParam().Bytes);
    Buffer.open(QIODevice::ReadOnly);
    Buffer.seek(Buffer.size()); // loading starts from the beginning anyway
    TKvXML Doc;
    Doc.LoadFromStream(Buffer);
    EXPECT_EQ(Doc.Text(), Crlf({"<a>", "<b>ř\r\nx</b>", "</a>"}));
}

QByteArray Utf16(const QString& Text, QStringConverter::Encoding Encoding) {
    return QStringEncoder(Encoding, QStringConverter::Flag::WriteBom).encode(Text);
}

const QString LoadSample = QStringLiteral("<a>\n<b>ř\rx</b>\r\n</a>");

INSTANTIATE_TEST_SUITE_P(
    Encodings, Load,
    testing::Values(TLoadCase{"LocaleNoMark", LoadSample.toUtf8()},
                    TLoadCase{"Utf8Mark", "\xEF\xBB\xBF" + LoadSample.toUtf8()},
                    TLoadCase{"Utf16LE", Utf16(LoadSample, QStringConverter::Utf16LE)},
                    TLoadCase{"Utf16BE", Utf16(LoadSample, QStringConverter::Utf16BE)}),
    [](const testing::TestParamInfo<TLoadCase>& Info) { return Info.param.Name; });

TEST(Load, TextAtTheEndKeepsItsLastCharacterThroughTheAddedLineBreak) {
    QBuffer Buffer;
    Buffer.setData("<a/><b>xyz");
    Buffer.open(QIODevice::ReadOnly);
    TKvXML Doc;
    Doc.LoadFromStream(Buffer);
    EXPECT_EQ(Doc.Nodes().Node(1)->AsString(), QStringLiteral("xyz\r"));
}

TEST(Load, EmptyStreamAddsNothingAndLoadingAdds) {
    TKvXML Doc;
    Doc.SetText(QStringLiteral("<a>"));
    QBuffer Empty;
    Empty.open(QIODevice::ReadOnly);
    Doc.LoadFromStream(Empty);
    EXPECT_EQ(Doc.Text(), QStringLiteral("<a/>\r\n"));
    QBuffer More;
    More.setData("<b/>");
    More.open(QIODevice::ReadOnly);
    Doc.LoadFromStream(More);
    EXPECT_EQ(Doc.Text(), Crlf({"<a>", "<b/>", "</a>"}));
}

TEST(Save, StreamAtItsPositionWithoutMarkAndFileRoundTrip) {
    TKvXML Doc;
    Doc.SetText(QStringLiteral("<a x=\"ř\"><b>č</b></a>"));
    QBuffer Buffer;
    Buffer.open(QIODevice::ReadWrite);
    Buffer.write("head");
    Doc.SaveToStream(Buffer);
    EXPECT_EQ(Buffer.data(), "head" + Doc.Text().toUtf8());

    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Path = Dir.filePath(QStringLiteral("doc.xml"));
    Doc.SaveToFile(Path);
    Doc.SaveToFile(Path); // replaces, does not append
    TKvXML Loaded;
    Loaded.LoadFromFile(Path);
    EXPECT_EQ(Loaded.Text(), Doc.Text());
}

TEST(Save, FileFailuresThrow) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    TKvXML Doc;
    Doc.SetText(QStringLiteral("<a/>"));
    EXPECT_THROW(Doc.LoadFromFile(Dir.filePath(QStringLiteral("missing.xml"))), EKvXmlFileError);
    EXPECT_THROW(Doc.SaveToFile(Dir.filePath(QStringLiteral("no/such/dir.xml"))), EKvXmlFileError);
    QBuffer ReadOnly;
    ReadOnly.open(QIODevice::ReadOnly);
    EXPECT_THROW(Doc.SaveToStream(ReadOnly), EKvXmlFileError);
}

} // namespace

namespace {

// ---- Round trip ----

// Names and values drawn from awkward characters: a tree built through the API
// renders to a text that, parsed into a fresh document, renders the same.
TEST(RoundTrip, BuiltTreeRendersIdenticallyAfterParsing) {
    const QStringList NamePieces{"a",          "x:y", "ř", "\u00e9", "_", "-", ".",  "9",
                                 "\U0001F600", "\"",  "'", "&",      "?", "!", "/x", "ns:q"};
    const QStringList TextPieces{"&",    "<",    ">",          "'", "\"", " ",     "\t",
                                 "\r\n", "ř",    "\U0001F600", "=", "/",  "&amp;", "&lt;",
                                 "]]>",  "<!--", "?>",         "x", "0"};
    // attribute values are escaped on output only, so none of the five escaped
    // characters may appear in them for the text to read back the same; an
    // attribute name holds neither "=" nor a double quote
    const QStringList AttributeNamePieces{"a",          "x:y", "ř", "_", "-", ".", "9",
                                          "\U0001F600", "'",   "&", "?", "!", "/x"};
    const QStringList AttributePieces{" ", "\t", "ř", "=", "/", "?", "x", "\U0001F600", ";", "0"};

    std::mt19937 Random(20261210);
    auto Pick = [&](const QStringList& Pieces) {
        return Pieces.at(std::uniform_int_distribution<int>(0, int(Pieces.size()) - 1)(Random));
    };
    auto Draw = [&](const QStringList& Pieces, int MaxPieces) {
        QString Result;
        const int Count = std::uniform_int_distribution<int>(0, MaxPieces)(Random);
        for (int I = 0; I < Count; ++I)
            Result += Pick(Pieces);
        return Result;
    };
    // a name must start with something the parser takes for an open tag
    auto DrawName = [&] {
        return QStringLiteral("n") + Draw(NamePieces, 3);
    };

    for (int Round = 0; Round < 300; ++Round) {
        TKvXML Built;
        const int Steps = std::uniform_int_distribution<int>(1, 40)(Random);
        for (int Step = 0; Step < Steps; ++Step) {
            switch (std::uniform_int_distribution<int>(0, 3)(Random)) {
            case 0:
            case 1: {
                TKvXmlNode* Node = Built.Nodes().AddOpenTag(DrawName());
                const int Attributes = std::uniform_int_distribution<int>(0, 3)(Random);
                for (int I = 0; I < Attributes; ++I)
                    Node->Params().SetValues(QStringLiteral("a") + Draw(AttributeNamePieces, 2),
                                             Draw(AttributePieces, 4));
                Node->SetAsDisplayString(Draw(TextPieces, 5));
                break;
            }
            case 2:
                Built.Nodes().AddCloseTag();
                break;
            default:
                Built.Nodes().AddLeaf(DrawName())->SetAsDisplayString(Draw(TextPieces, 5));
            }
        }
        const QString Text = Built.Text();
        TKvXML Parsed;
        Parsed.SetText(Text);
        ASSERT_EQ(Parsed.Text(), Text) << "round " << Round;
        ASSERT_EQ(Parsed.DisplayText(), Built.DisplayText()) << "round " << Round;
    }
}

// ---- Depth ----

// Runs Work on a thread with a 1 MiB stack and reports whether it finished.
bool RunOnSmallStack(const std::function<void()>& Work) {
    pthread_attr_t Attributes;
    pthread_attr_init(&Attributes);
    pthread_attr_setstacksize(&Attributes, 1024 * 1024);
    auto Call = [](void* Argument) -> void* {
        (*static_cast<const std::function<void()>*>(Argument))();
        return nullptr;
    };
    pthread_t Thread;
    const bool Started =
        pthread_create(&Thread, &Attributes, Call, const_cast<std::function<void()>*>(&Work)) == 0;
    pthread_attr_destroy(&Attributes);
    if (Started)
        pthread_join(Thread, nullptr);
    return Started;
}

TEST(Depth, MillionNestedElementsOnASmallStack) {
    constexpr int Depth = 1'000'000;
    qsizetype TextSize = 0;
    QString FirstLines;
    QString LastLine;
    qsizetype WrittenLines = 0;
    int DeepestLevel = 0;
    bool CopySame = false;
    const bool Ran = RunOnSmallStack([&] {
        QString Text;
        {
            TKvXML Doc;
            Doc.SetText(QStringLiteral("<a>").repeated(Depth) + QStringLiteral("<!-- x -->"));
            DeepestLevel = Doc.Nodes().CurrentNode()->Level();
            Text = Doc.Text();
            QStringList Lines;
            WriteNode(Doc.Nodes().Root(), true, Lines);
            WrittenLines = Lines.size();
        }
        TextSize = Text.size();
        FirstLines = Text.left(10);
        LastLine = Text.right(6);
        {
            // copied through its text into a fresh document
            TKvXML Copy;
            Copy.SetText(Text);
            CopySame = Copy.Text() == Text;
        }
        // a deep document built through the API and released
        TKvXML Built;
        for (int I = 0; I < Depth; ++I)
            Built.Nodes().AddOpenTag(QStringLiteral("b"));
        Built.Nodes().Clear();
        Built.Nodes().AddLeaf(QStringLiteral("c"));
        FirstLines += Built.Text();
    });
    ASSERT_TRUE(Ran);
    EXPECT_EQ(DeepestLevel, Depth);
    // Depth open tags, the comment as a leaf, Depth close tags
    EXPECT_EQ(TextSize, qsizetype(Depth) * (5 + 6) + 13);
    EXPECT_EQ(FirstLines, QStringLiteral("<a>\r\n<a>\r\n<c/>\r\n"));
    EXPECT_EQ(LastLine, QStringLiteral("</a>\r\n"));
    EXPECT_EQ(WrittenLines, 2 * Depth + 1);
    EXPECT_TRUE(CopySame);
}

} // namespace
