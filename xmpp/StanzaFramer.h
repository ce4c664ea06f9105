#pragma once

// Framing of the incoming XMPP stream: decoded text goes in at the back, complete
// top-level elements (stanzas) come off the front. No XML is parsed here; the framer
// only tells tags, quoted attribute values, character data, comments, processing
// instructions and CDATA sections apart, so that it can count nesting.

#include <QFlags>
#include <QString>

enum TReplaceFlag {
    rfReplaceAll = 0x1,
    rfIgnoreCase = 0x2,
};
Q_DECLARE_FLAGS(TReplaceFlags, TReplaceFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TReplaceFlags)

// Replaces the first occurrence of Pattern in Text by Replacement, or every occurrence
// with rfReplaceAll; rfIgnoreCase compares without regard to case. Replaced text is
// never searched again. An empty Text or Pattern gives Text unchanged.
QString ReplaceText(const QString& Text, const QString& Pattern, const QString& Replacement,
                    TReplaceFlags Flags);

// Returns Stanza with every apostrophe that delimits an attribute value inside a tag
// turned into a double quote; a double quote inside such a value becomes "&quot;".
// Character data, comments and CDATA sections are left as they are.
QString DoubleQuoteAttributes(const QString& Stanza);

// Per-character classifier of XML text: where tags, quoted values and the special
// constructs begin and end. Shared by the framer and DoubleQuoteAttributes.
class TXmlLexer {
public:
    enum TEvent {
        evNone,
        evStartTagClosed, // ">" of a start tag
        evEmptyTagClosed, // ">" of "/>"
        evEndTagOpened,   // "/" of "</"
        evEndTagClosed,   // ">" of an end tag
        evOtherClosed,    // end of a comment, processing instruction, CDATA or "<!...>"
        evQuoteOpened,    // quote that opens an attribute value
        evQuoteClosed,    // quote that closes it
    };

    TEvent Feed(QChar c);
    // The first position from From on whose character Feed must see: in character
    // data only a "<" counts, inside a quoted value only its quote, in an end tag only
    // its ">"; everything between changes nothing and may be skipped.
    qsizetype Skip(QStringView Text, qsizetype From) const;
    bool InText() const { return FState == stText; }
    void Reset() { *this = TXmlLexer(); }

private:
    enum TState {
        stText,
        stLess,
        stStartTag,
        stEndTag,
        stQuoted,
        stPi,
        stBang,
        stBangDash,
        stComment,
        stCData,
        stDecl,
    };
    TState FState = stText;
    QChar FQuote;
    QChar FPrev;
    int FRun = 0; // consecutive "-" in a comment or "]" in CDATA
};

class TStanzaFramer {
public:
    // Adds decoded text at the end of the buffer.
    void Append(QStringView Text);

    // Cuts the next complete top-level element off the front of the buffer and returns
    // its text, or returns empty when no complete element is at the front yet.
    // White space between elements is dropped, and so are an XML declaration, other
    // processing instructions and comments between elements. A stream opening tag
    // (<stream:stream ...>) comes out on its own as a self-closed element. Text that
    // does not begin with "<" comes out up to and including its first ">". An end tag
    // with no open element (the stream's end) stays in the buffer and nothing more is
    // returned until Clear.
    // The cost of cutting all elements of a buffer is linear in its length, also when
    // they arrive over many Append calls.
    QString Next();

    // The text not yet cut off.
    QString Pending() const { return FBuffer.mid(FStart); }
    qsizetype PendingLength() const { return FBuffer.size() - FStart; }
    bool IsEmpty() const { return FStart == FBuffer.size(); }
    void Clear();

private:
    // Classifies characters from FScan on; true when an element is complete (FReady)
    // or a construct between elements was dropped, false when more text is needed.
    bool Scan();
    // Marks the element that ends with the ">" at Gt as complete; SelfClose writes
    // "/>" in that ">"'s place when it is cut.
    bool Complete(qsizetype Gt, bool SelfClose);
    void Restart(qsizetype From);

    QString FBuffer;
    qsizetype FStart = 0;      // first character not yet cut off
    qsizetype FScan = 0;       // next character to classify
    qsizetype FTrimmedEnd = 0; // end of the buffer without trailing white space
    qsizetype FReady = -1;     // the ">" of a complete element at the front, or -1
    bool FReadySelfClose = false;
    int FDepth = 0;
    bool FJunk = false;    // the element does not begin with "<"
    bool FStalled = false; // an end tag with no open element
    TXmlLexer FLexer;
};
