#pragma once

// A small element tree of our own, a lenient one-pass parser and a writer that
// puts one element on each line. Every XMPP stanza is built and read with it, and
// the text it renders goes on the wire as it stands, so its quirks are kept on
// purpose: no indentation, CR LF after every line, attribute values escaped on
// output only, text values stored as they came.
//
// Nothing here recurses in proportion to the depth of a tree: writing and
// destroying walk the tree with an explicit stack, so a stanza of a million
// unclosed tags is as safe as a flat one. Nodes, lists and documents own what
// they hold and cannot be copied.

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>
#include <vector>

class QIODevice;
class TKvXmlNode;

// Base of the errors raised here; what() is the message in UTF-8.
class EKvXmlError : public std::runtime_error {
public:
    explicit EKvXmlError(const QString& Message);
};

// A value that is not a number of the asked kind; the value is left unchanged.
class EKvXmlConvertError : public EKvXmlError {
public:
    using EKvXmlError::EKvXmlError;
};

// An index outside 0 .. Count()-1.
class EKvXmlListError : public EKvXmlError {
public:
    using EKvXmlError::EKvXmlError;
};

// A file or stream that could not be opened, read or written.
class EKvXmlFileError : public EKvXmlError {
public:
    using EKvXmlError::EKvXmlError;
};

// The attributes of a node: an ordered list of "name=value" entries.
// An entry's name is its text before the first "=", its value everything after
// it; an entry without "=" has no name and is never found by name. Names are
// compared case-insensitively under the user's locale.
class TKvXmlParams {
public:
    TKvXmlParams() = default;
    explicit TKvXmlParams(const QStringList& Entries) : FList(Entries) {}

    int Count() const { return int(FList.size()); }
    // The whole "name=value" text of an entry; throws EKvXmlListError when out of range.
    QString Strings(int Index) const;
    // The name / value of an entry; throw EKvXmlListError when out of range.
    QString Names(int Index) const;
    QString ValueFromIndex(int Index) const;
    // Index of the first entry with that name, -1 when none.
    int IndexOfName(const QString& AName) const;

    // The value of the first entry with that name; empty when there is none.
    QString Values(const QString& AName) const;
    // A non-empty value replaces the first entry of that name (the name written as
    // given here) or is appended; an empty value deletes that entry, so an
    // attribute with an empty value cannot be held.
    void SetValues(const QString& AName, const QString& AValue);

    // Replaces every entry by a copy of the given ones.
    void Assign(const QStringList& Entries) { FList = Entries; }
    void Clear() { FList.clear(); }
    const QStringList& Entries() const { return FList; }

    bool operator==(const TKvXmlParams&) const = default;

private:
    QStringList FList;
};

// A name/value pair that every node carries; nothing in the program reads it.
class TKvXmlNodeAttribute {
public:
    const QString& Name() const { return FName; }
    // Stored trimmed (every character up to U+0020 removed at both ends).
    void SetName(const QString& AName);
    const QString& Value() const { return FValue; }
    // Stored trimmed and with every double quote removed.
    void SetValue(const QString& AValue);

private:
    QString FName;
    QString FValue;
};

// Called once for each direct child, with the enumerating node as Sender.
using TKvXmlEnumNodeEvent = std::function<void(TKvXmlNode* Sender, TKvXmlNode* ANode)>;

// A list of nodes that owns its items, with a building cursor. The cursor is the
// node under which AddOpenTag adds; null stands for the list itself. It may point
// at a node of another list: the cursor of a node's Children starts on the node.
class TKvXmlNodeList {
public:
    explicit TKvXmlNodeList(TKvXmlNode* AParent = nullptr) : FCurrentNode(AParent) {}
    // Destroys the items, the last first, with their whole subtrees.
    ~TKvXmlNodeList();
    TKvXmlNodeList(const TKvXmlNodeList&) = delete;
    TKvXmlNodeList& operator=(const TKvXmlNodeList&) = delete;

    int Count() const { return int(FList.size()); }
    // The item at a 0-based index; throws EKvXmlListError when out of range.
    TKvXmlNode* Node(int Index) const;
    // The first item, null when the list is empty.
    TKvXmlNode* Root() const { return FList.empty() ? nullptr : FList.front(); }
    // The first item whose name is exactly AName (case-sensitive), null when none.
    // Only the list's own items are searched, never their children.
    TKvXmlNode* NodeByName(const QString& AName) const;

    TKvXmlNode* CurrentNode() const { return FCurrentNode; }
    void SetCurrentNode(TKvXmlNode* ANode) { FCurrentNode = ANode; }

    // Makes a node under the cursor (or in this list when the cursor is null),
    // sets its name from the tag text AName ("<message to=\"x\">" works), moves
    // the cursor onto it and returns it.
    TKvXmlNode* AddOpenTag(const QString& AName);
    // Moves the cursor to the cursor's parent; does nothing when the cursor is null.
    void AddCloseTag();
    // AddOpenTag followed by AddCloseTag; returns the new node.
    TKvXmlNode* AddLeaf(const QString& AName);
    // Appends a node and takes ownership of it; neither the cursor nor the node's
    // Parent changes. A null node is ignored.
    void AddNode(TKvXmlNode* ANode);
    // Destroys every item, empties the list and sets the cursor to null.
    void Clear();

    std::vector<TKvXmlNode*>::const_iterator begin() const { return FList.begin(); }
    std::vector<TKvXmlNode*>::const_iterator end() const { return FList.end(); }

private:
    TKvXmlNode* FCurrentNode = nullptr;
    std::vector<TKvXmlNode*> FList;
};

// One element: a name, a text value, attributes and children. A node is destroyed
// only through the list that holds it; it does not unlink itself from a list.
class TKvXmlNode {
public:
    // An empty node whose parent is AParentNode; it is not added to any list.
    explicit TKvXmlNode(TKvXmlNode* AParentNode = nullptr);
    virtual ~TKvXmlNode();
    TKvXmlNode(const TKvXmlNode&) = delete;
    TKvXmlNode& operator=(const TKvXmlNode&) = delete;

    const QString& Name() const { return FName; }
    // Reads a tag text: strips a leading "<" and a trailing "/>" or ">", trims,
    // and when the text holds "=" splits it at its first space into the name and
    // attributes name="value" that are set in Params (raw, entities as written).
    // Without "=" the whole trimmed text is the name, spaces included. Attribute
    // text without a complete double-quoted value ends the reading; the rest is
    // dropped.
    virtual void SetName(const QString& AName);

    // The value exactly as stored.
    const QString& AsString() const { return FValue; }
    void SetAsString(const QString& AValue) { FValue = AValue; }
    // The value with &amp; &lt; &gt; &apos; &quot; resolved on read and applied on write.
    QString AsDisplayString() const;
    void SetAsDisplayString(const QString& AValue);
    // Decimal with an optional sign, or hexadecimal after "$" or "0x"; no blanks.
    // Throws EKvXmlConvertError for anything else or a value outside 32 bits.
    int AsInteger() const;
    void SetAsInteger(int AValue);
    // True when the lowest 8 bits of the integer value are not all zero ("256" is
    // false); writes "1" or "0". Throws EKvXmlConvertError like AsInteger.
    bool AsBoolean() const;
    void SetAsBoolean(bool AValue);
    // A number in the user's locale format; written with up to 15 significant
    // digits. Throws EKvXmlConvertError when the value is not such a number.
    double AsFloat() const;
    void SetAsFloat(double AValue);

    TKvXmlParams& Params() { return FParams; }
    const TKvXmlParams& Params() const { return FParams; }
    void SetParams(const TKvXmlParams& AParams) { FParams = AParams; }
    void SetParams(const QStringList& AParams) { FParams.Assign(AParams); }

    TKvXmlNodeAttribute& Attribute() { return FElement; }
    const TKvXmlNodeAttribute& Attribute() const { return FElement; }
    void SetAttribute(const TKvXmlNodeAttribute& AAttribute) { FElement = AAttribute; }

    TKvXmlNodeList& Children() { return FChildren; }
    const TKvXmlNodeList& Children() const { return FChildren; }
    TKvXmlNode* Parent() const { return FParent; }
    // The number of ancestors: 0 for a top-level node.
    int Level() const;
    bool IsLeafNode() const { return FChildren.Count() == 0; }
    // Calls ACallback for each direct child in order; grandchildren are not visited.
    void EnumerateNodes(const TKvXmlEnumNodeEvent& ACallback);

private:
    void ReadTag(QStringView ATag);

    TKvXmlNodeList FChildren;
    TKvXmlNodeAttribute FElement;
    QString FName;
    TKvXmlNode* FParent = nullptr;
    QString FValue;
    TKvXmlParams FParams;
};

// Appends the lines of ANode and its subtree to Lines: a childless node as one
// line (open tag, value, close tag, or "<name .../>" when the value is empty), any
// other node as its open tag, its children's lines and its close tag, its own
// value left out. DisplayMode writes leaf values through AsDisplayString.
void WriteNode(const TKvXmlNode* ANode, bool DisplayMode, QStringList& Lines);

// A document: the top-level nodes of a tree, parsed from and rendered to text.
// It is released with its owner unless it was deleted before.
class TKvXML : public QObject {
public:
    explicit TKvXML(QObject* AOwner = nullptr);
    ~TKvXML() override;

    TKvXmlNodeList& Nodes() { return FNodes; }
    const TKvXmlNodeList& Nodes() const { return FNodes; }

    // The tree rendered with values as stored: one element per line, each line
    // followed by CR LF. An empty tree renders as the empty text.
    QString Text() const;
    // Parses AText and adds what it holds at the cursor of Nodes; nothing is
    // removed first and nothing is ever rejected. Text runs replace the value of
    // the element open at that point; a run at the very end of the text loses its
    // last character; close tags move up one level without comparing names;
    // "<?...>" is skipped; comments and CDATA are taken as open tags; an
    // unfinished "<" at the end adds nothing.
    void SetText(const QString& AText);
    // The tree rendered with leaf values through AsDisplayString.
    QString DisplayText() const;

    // Stored only; the output is never indented.
    bool AutoIndent() const { return FAutoIndent; }
    void SetAutoIndent(bool AValue) { FAutoIndent = AValue; }
    // The name written into the declaration line; the text is not encoded by it.
    QString Encoding() const { return FEncoding; }
    void SetEncoding(const QString& AValue) { FEncoding = AValue; }
    // Whether a non-empty rendering begins with the <?xml ...?> line.
    bool IncludeHeader() const { return FIncludeHeader; }
    void SetIncludeHeader(bool AValue) { FIncludeHeader = AValue; }

    // Reads the whole file, then as LoadFromStream. Throws EKvXmlFileError.
    void LoadFromFile(const QString& AFileName);
    // Decodes the whole device from its start (a UTF-8 or UTF-16 byte-order mark
    // selects that encoding, otherwise the locale's encoding), ends every line
    // with CR LF and parses the result as SetText does. An empty device adds
    // nothing. Throws EKvXmlFileError when the device cannot be read.
    void LoadFromStream(QIODevice& Stream);
    // Writes the rendering as SaveToStream does, creating or replacing the file.
    // Throws EKvXmlFileError.
    void SaveToFile(const QString& AFilename);
    // Writes Text() at the device's current position in the locale's encoding,
    // without a byte-order mark. Throws EKvXmlFileError when writing fails.
    void SaveToStream(QIODevice& Stream);

private:
    QString Render(bool DisplayMode) const;

    bool FAutoIndent = true;
    QString FEncoding;
    bool FIncludeHeader = false;
    TKvXmlNodeList FNodes;
};
