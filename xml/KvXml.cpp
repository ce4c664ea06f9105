#include "KvXml.h"

#include <QFile>
#include <QIODevice>
#include <QLocale>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <utility>

namespace {

bool IsBlank(QChar C) {
    return C.unicode() <= 0x20;
}

QStringView Trimmed(QStringView S) {
    qsizetype Start = 0;
    qsizetype End = S.size();
    while (Start < End && IsBlank(S[Start]))
        ++Start;
    while (End > Start && IsBlank(S[End - 1]))
        --End;
    return S.sliced(Start, End - Start);
}

QStringView LeftTrimmed(QStringView S) {
    qsizetype Start = 0;
    while (Start < S.size() && IsBlank(S[Start]))
        ++Start;
    return S.sliced(Start);
}

bool IsAscii(QStringView S) {
    for (QChar C : S)
        if (C.unicode() >= 0x80)
            return false;
    return true;
}

// Only Turkish and Azerbaijani lower an ASCII letter to something else than its
// ASCII lower case (the dotless i).
bool LowersAsciiSpecially(const QLocale& Locale) {
    return Locale.language() == QLocale::Turkish || Locale.language() == QLocale::Azerbaijani;
}

bool AsciiEqualIgnoringCase(QStringView A, QStringView B) {
    auto Lower = [](char16_t C) {
        return C >= u'A' && C <= u'Z' ? char16_t(C + 0x20) : C;
    };
    for (qsizetype I = 0; I < A.size(); ++I)
        if (Lower(A[I].unicode()) != Lower(B[I].unicode()))
            return false;
    return true;
}

// Case-insensitive equality under the user's locale. Attribute names are nearly
// always ASCII, so that case is settled without asking the locale when it can be.
bool SameName(QStringView A, QStringView B) {
    if (A == B)
        return true;
    if (IsAscii(A) && IsAscii(B)) {
        if (A.size() != B.size() || !AsciiEqualIgnoringCase(A, B))
            return false;
        const QLocale Locale = QLocale::system();
        if (!LowersAsciiSpecially(Locale))
            return true;
        return Locale.toLower(A.toString()) == Locale.toLower(B.toString());
    }
    const QLocale Locale = QLocale::system();
    return Locale.toLower(A.toString()) == Locale.toLower(B.toString());
}

QStringView Escape(QChar C) {
    switch (C.unicode()) {
    case '&':
        return u"&amp;";
    case '<':
        return u"&lt;";
    case '>':
        return u"&gt;";
    case '\'':
        return u"&apos;";
    case '"':
        return u"&quot;";
    default:
        return {};
    }
}

// One pass does what the five replacements in turn do, because only the first
// of them ("&") could match inside what another one inserts, and it runs first.
void AppendEscaped(QString& Out, QStringView Value) {
    qsizetype Plain = 0;
    for (qsizetype I = 0; I < Value.size(); ++I) {
        const QStringView Entity = Escape(Value[I]);
        if (Entity.isEmpty())
            continue;
        Out += Value.sliced(Plain, I - Plain);
        Out += Entity;
        Plain = I + 1;
    }
    Out += Value.sliced(Plain);
}

// Sinks for the tree writer: one fills a list of lines, the other one text with
// CR LF after every line.
class TLineListSink {
public:
    explicit TLineListSink(QStringList& Lines) : FLines(Lines) {}
    QString& Line() { return FLine; }
    void EndLine() {
        FLines.append(std::move(FLine));
        FLine = QString();
    }

private:
    QStringList& FLines;
    QString FLine;
};

class TTextSink {
public:
    explicit TTextSink(QString& Text) : FText(Text) {}
    QString& Line() { return FText; }
    void EndLine() { FText += u"\r\n"; }

private:
    QString& FText;
};

// The name of a "name=value" entry, empty when it has no "=".
QStringView EntryName(QStringView Entry) {
    const qsizetype Eq = Entry.indexOf(u'=');
    return Eq < 0 ? QStringView() : Entry.left(Eq);
}

QStringView EntryValue(QStringView Entry) {
    const qsizetype Eq = Entry.indexOf(u'=');
    return Eq < 0 ? QStringView() : Entry.sliced(Eq + 1);
}

int FindName(const QStringList& Entries, QStringView AName) {
    for (int I = 0; I < int(Entries.size()); ++I) {
        const QStringView Entry = Entries.at(I);
        const qsizetype Eq = Entry.indexOf(u'=');
        if (Eq >= 0 && SameName(Entry.left(Eq), AName))
            return I;
    }
    return -1;
}

// The open-tag text without its final ">".
void AppendOpenTagStart(QString& Out, const TKvXmlNode& Node) {
    Out += u'<';
    Out += Node.Name();
    const QStringList& Entries = Node.Params().Entries();
    if (Entries.isEmpty())
        return;
    Out += u' ';
    for (qsizetype I = 0; I < Entries.size(); ++I) {
        const QStringView Name = EntryName(Entries.at(I));
        // The attribute text is trimmed as a whole: at its start only the first
        // name can hold blanks, at its end only the space after the last quote.
        Out += I == 0 ? LeftTrimmed(Name) : Name;
        Out += u"=\"";
        // the value is looked up by name, so of two entries whose names differ
        // only in case both show the first one's value
        const int Found = FindName(Entries, Name);
        if (Found >= 0)
            AppendEscaped(Out, EntryValue(Entries.at(Found)));
        Out += u"\" ";
    }
    Out.chop(1);
}

template <typename Sink> void WriteOneLeaf(const TKvXmlNode& Node, bool DisplayMode, Sink& Out) {
    const QString Value = DisplayMode ? Node.AsDisplayString() : Node.AsString();
    QString& Line = Out.Line();
    AppendOpenTagStart(Line, Node);
    if (Value.isEmpty()) {
        Line += u"/>";
    } else {
        Line += u'>';
        Line += Value;
        Line += u"</";
        Line += Node.Name();
        Line += u'>';
    }
    Out.EndLine();
}

// Depth-first with an explicit stack, so deep trees cannot overflow the call stack.
template <typename Sink> void WriteTree(const TKvXmlNode* Top, bool DisplayMode, Sink& Out) {
    struct TFrame {
        const TKvXmlNode* Node;
        int NextChild;
    };
    std::vector<TFrame> Stack;
    auto Open = [&](const TKvXmlNode* Node) {
        if (Node->IsLeafNode()) {
            WriteOneLeaf(*Node, DisplayMode, Out);
            return;
        }
        AppendOpenTagStart(Out.Line(), *Node);
        Out.Line() += u'>';
        Out.EndLine();
        Stack.push_back({Node, 0});
    };
    if (Top)
        Open(Top);
    while (!Stack.empty()) {
        TFrame& Frame = Stack.back();
        const TKvXmlNodeList& Children = Frame.Node->Children();
        if (Frame.NextChild < Children.Count()) {
            Open(Children.Node(Frame.NextChild++));
            continue;
        }
        QString& Line = Out.Line();
        Line += u"</";
        Line += Frame.Node->Name();
        Line += u'>';
        Out.EndLine();
        Stack.pop_back();
    }
}

// Integer text: an optional sign, then decimal digits or hexadecimal digits after
// "$" or "0x". Hexadecimal may use all 32 bits ("$FFFFFFFF" is -1).
bool ParseInteger(QStringView S, int& Result) {
    qsizetype I = 0;
    bool Negative = false;
    if (I < S.size() && (S[I] == u'-' || S[I] == u'+')) {
        Negative = S[I] == u'-';
        ++I;
    }
    int Base = 10;
    if (I < S.size() && S[I] == u'$') {
        Base = 16;
        ++I;
    } else if (I + 1 < S.size() && S[I] == u'0' && (S[I + 1] == u'x' || S[I + 1] == u'X')) {
        Base = 16;
        I += 2;
    }
    if (I == S.size())
        return false;
    const quint64 Limit = Base == 16 ? 0xFFFFFFFFull : (Negative ? 0x80000000ull : 0x7FFFFFFFull);
    quint64 Value = 0;
    for (; I < S.size(); ++I) {
        const char16_t C = S[I].unicode();
        int Digit = -1;
        if (C >= u'0' && C <= u'9')
            Digit = C - u'0';
        else if (Base == 16 && C >= u'a' && C <= u'f')
            Digit = C - u'a' + 10;
        else if (Base == 16 && C >= u'A' && C <= u'F')
            Digit = C - u'A' + 10;
        if (Digit < 0)
            return false;
        Value = Value * Base + Digit;
        if (Value > Limit)
            return false;
    }
    const auto Bits = static_cast<quint32>(Value);
    Result = static_cast<int>(Negative ? 0u - Bits : Bits);
    return true;
}

// One line break of any kind (CR LF, LF, CR) after every line, the last one too.
QString WithCrLfLines(QStringView S) {
    QString Out;
    Out.reserve(S.size() + S.size() / 16 + 2);
    qsizetype I = 0;
    while (I < S.size()) {
        qsizetype End = I;
        while (End < S.size() && S[End] != u'\r' && S[End] != u'\n')
            ++End;
        Out += S.sliced(I, End - I);
        Out += u"\r\n";
        if (End < S.size() && S[End] == u'\r' && End + 1 < S.size() && S[End + 1] == u'\n')
            ++End;
        I = End + 1;
    }
    return Out;
}

} // namespace

EKvXmlError::EKvXmlError(const QString& Message) : std::runtime_error(Message.toStdString()) {}

// ---- TKvXmlParams ----

QString TKvXmlParams::Strings(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EKvXmlListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    return FList.at(Index);
}

QString TKvXmlParams::Names(int Index) const {
    const QString Entry = Strings(Index);
    const qsizetype Eq = Entry.indexOf(u'=');
    return Eq < 0 ? QString() : Entry.left(Eq);
}

QString TKvXmlParams::ValueFromIndex(int Index) const {
    const QString Entry = Strings(Index);
    const qsizetype Eq = Entry.indexOf(u'=');
    return Eq < 0 ? QString() : Entry.mid(Eq + 1);
}

int TKvXmlParams::IndexOfName(const QString& AName) const {
    return FindName(FList, AName);
}

QString TKvXmlParams::Values(const QString& AName) const {
    const int Index = IndexOfName(AName);
    return Index < 0 ? QString() : ValueFromIndex(Index);
}

void TKvXmlParams::SetValues(const QString& AName, const QString& AValue) {
    const int Index = IndexOfName(AName);
    if (AValue.isEmpty()) {
        if (Index >= 0)
            FList.removeAt(Index);
        return;
    }
    QString Entry = AName + u'=' + AValue;
    if (Index >= 0)
        FList[Index] = std::move(Entry);
    else
        FList.append(std::move(Entry));
}

// ---- TKvXmlNodeAttribute ----

void TKvXmlNodeAttribute::SetName(const QString& AName) {
    FName = Trimmed(AName).toString();
}

void TKvXmlNodeAttribute::SetValue(const QString& AValue) {
    FValue = Trimmed(AValue).toString();
    FValue.remove(u'"');
}

// ---- TKvXmlNodeList ----

TKvXmlNodeList::~TKvXmlNodeList() {
    Clear();
}

TKvXmlNode* TKvXmlNodeList::Node(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EKvXmlListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    return FList[size_t(Index)];
}

TKvXmlNode* TKvXmlNodeList::NodeByName(const QString& AName) const {
    for (TKvXmlNode* Node : FList)
        if (Node->Name() == AName)
            return Node;
    return nullptr;
}

TKvXmlNode* TKvXmlNodeList::AddOpenTag(const QString& AName) {
    TKvXmlNode* Parent = FCurrentNode;
    auto* Node = new TKvXmlNode(Parent);
    Node->SetName(AName);
    (Parent ? Parent->Children().FList : FList).push_back(Node);
    FCurrentNode = Node;
    return Node;
}

void TKvXmlNodeList::AddCloseTag() {
    if (FCurrentNode)
        FCurrentNode = FCurrentNode->Parent();
}

TKvXmlNode* TKvXmlNodeList::AddLeaf(const QString& AName) {
    TKvXmlNode* Node = AddOpenTag(AName);
    AddCloseTag();
    return Node;
}

void TKvXmlNodeList::AddNode(TKvXmlNode* ANode) {
    if (ANode)
        FList.push_back(ANode);
}

void TKvXmlNodeList::Clear() {
    // Each node's children are taken out before the node is deleted, so no
    // destructor ever finds a subtree to release: the depth costs heap, not stack.
    std::vector<TKvXmlNode*> Pending(FList.rbegin(), FList.rend());
    FList.clear();
    FCurrentNode = nullptr;
    while (!Pending.empty()) {
        TKvXmlNode* Node = Pending.back();
        Pending.pop_back();
        std::vector<TKvXmlNode*>& Children = Node->Children().FList;
        Pending.insert(Pending.end(), Children.rbegin(), Children.rend());
        Children.clear();
        delete Node;
    }
}

// ---- TKvXmlNode ----

TKvXmlNode::TKvXmlNode(TKvXmlNode* AParentNode) : FChildren(this), FParent(AParentNode) {}

TKvXmlNode::~TKvXmlNode() = default;

void TKvXmlNode::SetName(const QString& AName) {
    ReadTag(AName);
}

void TKvXmlNode::ReadTag(QStringView ATag) {
    QStringView Name = ATag;
    if (Name.startsWith(u'<'))
        Name = Name.sliced(1);
    if (Name.endsWith(u"/>"))
        Name.chop(2);
    else if (Name.endsWith(u'>'))
        Name.chop(1);
    Name = Trimmed(Name);
    if (!Name.contains(u'=')) {
        FName = Name.toString();
        return;
    }
    QStringView Attributes;
    const qsizetype Space = Name.indexOf(u' ');
    if (Space < 0) {
        Attributes = Name;
        Name = QStringView();
    } else {
        Attributes = Trimmed(Name.sliced(Space));
        Name = Name.left(Space);
    }
    FName = Name.toString();
    while (!Attributes.isEmpty()) {
        // An attribute needs a name before "=" and a value in double quotes;
        // text that has neither ends the reading.
        const qsizetype Eq = Attributes.indexOf(u'=');
        const qsizetype Open = Attributes.indexOf(u'"');
        if (Eq < 0 || Open < 0)
            break;
        const qsizetype Close = Attributes.indexOf(u'"', Open + 1);
        if (Close < 0)
            break;
        const QString AttrName = Trimmed(Attributes.left(Eq)).toString();
        FParams.SetValues(AttrName, Attributes.sliced(Open + 1, Close - Open - 1).toString());
        Attributes = Trimmed(Attributes.sliced(Close + 1));
    }
}

QString TKvXmlNode::AsDisplayString() const {
    if (!FValue.contains(u'&'))
        return FValue;
    QString Result = FValue;
    Result.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    Result.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    Result.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    Result.replace(QStringLiteral("&apos;"), QStringLiteral("'"));
    Result.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    return Result;
}

void TKvXmlNode::SetAsDisplayString(const QString& AValue) {
    QString Escaped;
    Escaped.reserve(AValue.size());
    AppendEscaped(Escaped, AValue);
    FValue = std::move(Escaped);
}

int TKvXmlNode::AsInteger() const {
    int Result = 0;
    if (!ParseInteger(FValue, Result))
        throw EKvXmlConvertError(QStringLiteral("'%1' is not a valid integer value").arg(FValue));
    return Result;
}

void TKvXmlNode::SetAsInteger(int AValue) {
    FValue = QString::number(AValue);
}

bool TKvXmlNode::AsBoolean() const {
    return (AsInteger() & 0xFF) != 0;
}

void TKvXmlNode::SetAsBoolean(bool AValue) {
    FValue = AValue ? QStringLiteral("1") : QStringLiteral("0");
}

double TKvXmlNode::AsFloat() const {
    bool Ok = false;
    const double Result = QLocale::system().toDouble(FValue, &Ok);
    if (!Ok)
        throw EKvXmlConvertError(
            QStringLiteral("'%1' is not a valid floating point value").arg(FValue));
    return Result;
}

void TKvXmlNode::SetAsFloat(double AValue) {
    QLocale Locale = QLocale::system();
    Locale.setNumberOptions(QLocale::OmitGroupSeparator);
    FValue = Locale.toString(AValue, 'g', 15);
}

int TKvXmlNode::Level() const {
    int Result = 0;
    for (const TKvXmlNode* Node = FParent; Node; Node = Node->FParent)
        ++Result;
    return Result;
}

void TKvXmlNode::EnumerateNodes(const TKvXmlEnumNodeEvent& ACallback) {
    if (!ACallback)
        return;
    for (TKvXmlNode* Child : FChildren)
        ACallback(this, Child);
}

void WriteNode(const TKvXmlNode* ANode, bool DisplayMode, QStringList& Lines) {
    TLineListSink Sink(Lines);
    WriteTree(ANode, DisplayMode, Sink);
}

// ---- TKvXML ----

TKvXML::TKvXML(QObject* AOwner) : QObject(AOwner) {}

TKvXML::~TKvXML() = default;

QString TKvXML::Text() const {
    return Render(false);
}

QString TKvXML::DisplayText() const {
    return Render(true);
}

QString TKvXML::Render(bool DisplayMode) const {
    QString Result;
    if (FNodes.Count() == 0)
        return Result;
    // Room for a typical stanza at once; longer texts grow as usual.
    Result.reserve(512);
    TTextSink Sink(Result);
    if (FIncludeHeader) {
        Result += u"<?xml version=\"1.0\"";
        if (!FEncoding.isEmpty())
            Result += QStringLiteral(" encoding=\"%1\"").arg(FEncoding);
        Result += u"?>";
        Sink.EndLine();
    }
    for (const TKvXmlNode* Node : FNodes)
        WriteTree(Node, DisplayMode, Sink);
    return Result;
}

void TKvXML::SetText(const QString& AText) {
    const QStringView S = AText;
    const qsizetype Last = S.size() - 1;
    qsizetype Pos = 0;
    while (Pos < Last) {
        if (S[Pos] == u'<') {
            const qsizetype End = S.indexOf(u'>', Pos + 1);
            if (End < 0)
                break; // an unfinished tag at the end adds nothing
            const QStringView Tag = S.sliced(Pos, End - Pos + 1);
            if (Tag[1] == u'/') {
                FNodes.AddCloseTag();
            } else if (Tag[1] == u'?') {
                // a declaration or processing instruction
            } else if (Tag[Tag.size() - 2] == u'/') {
                FNodes.AddOpenTag(Tag.toString());
                FNodes.AddCloseTag();
            } else {
                FNodes.AddOpenTag(Tag.toString());
            }
            Pos = End + 1;
        } else {
            // A run stops at "<" or, without taking it, at the last character.
            qsizetype End = S.indexOf(u'<', Pos);
            if (End < 0 || End > Last)
                End = Last;
            if (TKvXmlNode* Open = FNodes.CurrentNode())
                Open->SetAsString(S.sliced(Pos, End - Pos).toString());
            Pos = End;
        }
    }
}

void TKvXML::LoadFromFile(const QString& AFileName) {
    QFile File(AFileName);
    if (!File.open(QIODevice::ReadOnly))
        throw EKvXmlFileError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(AFileName, File.errorString()));
    LoadFromStream(File);
}

void TKvXML::LoadFromStream(QIODevice& Stream) {
    if (!Stream.isSequential() && !Stream.seek(0))
        throw EKvXmlFileError(QStringLiteral("Stream read error. %1").arg(Stream.errorString()));
    const QByteArray Bytes = Stream.readAll();
    if (Bytes.isEmpty())
        return;
    QStringConverter::Encoding Encoding = QStringConverter::System;
    qsizetype Skip = 0;
    if (Bytes.startsWith("\xEF\xBB\xBF")) {
        Encoding = QStringConverter::Utf8;
        Skip = 3;
    } else if (Bytes.startsWith("\xFF\xFE")) {
        Encoding = QStringConverter::Utf16LE;
        Skip = 2;
    } else if (Bytes.startsWith("\xFE\xFF")) {
        Encoding = QStringConverter::Utf16BE;
        Skip = 2;
    }
    QStringDecoder Decoder(Encoding, QStringConverter::Flag::Stateless |
                                         QStringConverter::Flag::ConvertInitialBom);
    const QString Decoded = Decoder.decode(QByteArrayView(Bytes).sliced(Skip));
    SetText(WithCrLfLines(Decoded));
}

void TKvXML::SaveToFile(const QString& AFilename) {
    // Written aside and renamed over the old file, so a failed save leaves it whole.
    QSaveFile File(AFilename);
    if (!File.open(QIODevice::WriteOnly))
        throw EKvXmlFileError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(AFilename, File.errorString()));
    SaveToStream(File);
    if (!File.commit())
        throw EKvXmlFileError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(AFilename, File.errorString()));
}

void TKvXML::SaveToStream(QIODevice& Stream) {
    QStringEncoder Encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
    const QByteArray Bytes = Encoder.encode(Text());
    if (Stream.write(Bytes) != Bytes.size())
        throw EKvXmlFileError(QStringLiteral("Stream write error. %1").arg(Stream.errorString()));
}
