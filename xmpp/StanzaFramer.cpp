#include "StanzaFramer.h"

#include <algorithm>

namespace {

bool IsBlank(QChar c) {
    return c.unicode() <= 0x20;
}

// "<stream:stream" followed by the end of the name.
bool IsStreamHeader(const QString& Buffer, qsizetype From) {
    static const QString open = QStringLiteral("<stream:stream");
    if (!QStringView(Buffer).mid(From).startsWith(open))
        return false;
    const qsizetype next = From + open.size();
    return next < Buffer.size() &&
           (IsBlank(Buffer[next]) || Buffer[next] == u'>' || Buffer[next] == u'/');
}

} // namespace

QString ReplaceText(const QString& Text, const QString& Pattern, const QString& Replacement,
                    TReplaceFlags Flags) {
    if (Text.isEmpty() || Pattern.isEmpty())
        return Text;
    const Qt::CaseSensitivity cs =
        Flags.testFlag(rfIgnoreCase) ? Qt::CaseInsensitive : Qt::CaseSensitive;
    QString result;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = Text.indexOf(Pattern, from, cs);
        if (at < 0)
            break;
        result += QStringView(Text).mid(from, at - from);
        result += Replacement;
        from = at + Pattern.size();
        if (!Flags.testFlag(rfReplaceAll))
            break;
    }
    result += QStringView(Text).mid(from);
    return result;
}

QString DoubleQuoteAttributes(const QString& Stanza) {
    if (!Stanza.contains(u'\''))
        return Stanza;
    // Edited in place: the quotes are swapped one for one, and only a double quote
    // inside an apostrophe-quoted value makes the text longer.
    QString out = Stanza;
    qsizetype shift = 0; // characters that out has gained before the current position
    TXmlLexer lexer;
    qsizetype valueStart = -1; // inside an apostrophe-quoted value
    const QStringView text(Stanza);
    for (qsizetype i = lexer.Skip(text, 0); i < text.size(); i = lexer.Skip(text, i + 1)) {
        const QChar c = text[i];
        const TXmlLexer::TEvent event = lexer.Feed(c);
        if (event == TXmlLexer::evQuoteOpened && c == u'\'') {
            valueStart = i + 1;
            out[i + shift] = u'"';
        } else if (event == TXmlLexer::evQuoteClosed && valueStart >= 0) {
            const QStringView value = text.mid(valueStart, i - valueStart);
            if (value.contains(u'"')) {
                const QString escaped = ReplaceText(value.toString(), QStringLiteral("\""),
                                                    QStringLiteral("&quot;"), rfReplaceAll);
                out.replace(valueStart + shift, value.size(), escaped);
                shift += escaped.size() - value.size();
            }
            out[i + shift] = u'"';
            valueStart = -1;
        }
    }
    // A value left open keeps its text as received.
    if (valueStart >= 0)
        out[valueStart - 1 + shift] = u'\'';
    return out;
}

qsizetype TXmlLexer::Skip(QStringView Text, qsizetype From) const {
    QChar target;
    switch (FState) {
    case stText:
        target = u'<';
        break;
    case stQuoted:
        target = FQuote;
        break;
    case stEndTag:
        target = u'>';
        break;
    default:
        return From;
    }
    const qsizetype at = Text.indexOf(target, From);
    return at < 0 ? Text.size() : at;
}

TXmlLexer::TEvent TXmlLexer::Feed(QChar c) {
    switch (FState) {
    case stText:
        if (c == u'<')
            FState = stLess;
        return evNone;
    case stLess:
        if (c == u'/') {
            FState = stEndTag;
            return evEndTagOpened;
        }
        if (c == u'?') {
            FState = stPi;
            FPrev = QChar();
            return evNone;
        }
        if (c == u'!') {
            FState = stBang;
            return evNone;
        }
        FState = stStartTag;
        FPrev = QChar();
        return Feed(c);
    case stStartTag:
        if (c == u'\'' || c == u'"') {
            FQuote = c;
            FState = stQuoted;
            return evQuoteOpened;
        }
        if (c == u'>') {
            FState = stText;
            return FPrev == u'/' ? evEmptyTagClosed : evStartTagClosed;
        }
        FPrev = c;
        return evNone;
    case stQuoted:
        if (c == FQuote) {
            FState = stStartTag;
            FPrev = c;
            return evQuoteClosed;
        }
        return evNone;
    case stEndTag:
        if (c == u'>') {
            FState = stText;
            return evEndTagClosed;
        }
        return evNone;
    case stPi:
        if (c == u'>' && FPrev == u'?') {
            FState = stText;
            return evOtherClosed;
        }
        FPrev = c;
        return evNone;
    case stBang:
        FRun = 0;
        if (c == u'-') {
            FState = stBangDash;
        } else if (c == u'[') {
            FState = stCData;
        } else if (c == u'>') {
            FState = stText;
            return evOtherClosed;
        } else {
            FState = stDecl;
        }
        return evNone;
    case stBangDash:
        if (c == u'-') {
            FState = stComment;
        } else if (c == u'>') {
            FState = stText;
            return evOtherClosed;
        } else {
            FState = stDecl;
        }
        return evNone;
    case stComment:
    case stCData: {
        const QChar closer = FState == stComment ? u'-' : u']';
        if (c == closer) {
            ++FRun;
            return evNone;
        }
        if (c == u'>' && FRun >= 2) {
            FState = stText;
            return evOtherClosed;
        }
        FRun = 0;
        return evNone;
    }
    case stDecl:
        if (c == u'>') {
            FState = stText;
            return evOtherClosed;
        }
        return evNone;
    }
    return evNone;
}

void TStanzaFramer::Append(QStringView Text) {
    if (Text.isEmpty())
        return;
    // Drop what was cut off once it is at least half the buffer, so that moving the
    // rest costs no more than the text already handed out.
    if (FStart > 0 && FStart >= FBuffer.size() / 2) {
        FBuffer.remove(0, FStart);
        FScan -= FStart;
        if (FReady >= 0)
            FReady -= FStart;
        FTrimmedEnd = std::max<qsizetype>(0, FTrimmedEnd - FStart);
        FStart = 0;
    }
    const qsizetype old = FBuffer.size();
    FBuffer += Text;
    qsizetype end = FBuffer.size();
    while (end > old && IsBlank(FBuffer[end - 1]))
        --end;
    if (end > old)
        FTrimmedEnd = end;
}

QString TStanzaFramer::Next() {
    while (!FStalled && FReady < 0) {
        if (FScan == FStart) {
            while (FStart < FBuffer.size() && IsBlank(FBuffer[FStart]))
                ++FStart;
            if (FStart == FBuffer.size()) {
                Clear();
                return {};
            }
            Restart(FStart);
            FJunk = FBuffer[FStart] != u'<';
        }
        if (!Scan())
            return {};
    }
    // A buffer that ends (white space aside) in "<" and one more character waits for
    // more data, even when a complete element stands before it.
    if (FStalled || (FTrimmedEnd - FStart >= 2 && FBuffer[FTrimmedEnd - 2] == u'<'))
        return {};
    // Build the text first: if that fails, the buffer is left as it was.
    QString stanza = FReadySelfClose ? FBuffer.mid(FStart, FReady - FStart) + QStringLiteral("/>")
                                     : FBuffer.mid(FStart, FReady + 1 - FStart);
    Restart(FReady + 1);
    return stanza;
}

bool TStanzaFramer::Scan() {
    if (FJunk) {
        const qsizetype gt = FBuffer.indexOf(u'>', FScan);
        if (gt < 0) {
            FScan = FBuffer.size();
            return false;
        }
        return Complete(gt, false);
    }
    const QStringView buffer(FBuffer);
    while ((FScan = FLexer.Skip(buffer, FScan)) < FBuffer.size()) {
        const qsizetype i = FScan++;
        switch (FLexer.Feed(FBuffer[i])) {
        case TXmlLexer::evStartTagClosed:
            // The stream's opening tag stays open for the whole connection; it is
            // handed out as an element of its own.
            if (FDepth == 0 && IsStreamHeader(FBuffer, FStart))
                return Complete(i, true);
            ++FDepth;
            break;
        case TXmlLexer::evEmptyTagClosed:
            if (FDepth == 0)
                return Complete(i, false);
            break;
        case TXmlLexer::evEndTagOpened:
            if (FDepth == 0) {
                FStalled = true;
                return false;
            }
            break;
        case TXmlLexer::evEndTagClosed:
            if (--FDepth == 0)
                return Complete(i, false);
            break;
        case TXmlLexer::evOtherClosed:
            // A comment or declaration between elements is dropped.
            if (FDepth == 0) {
                Restart(i + 1);
                return true;
            }
            break;
        default:
            break;
        }
    }
    return false;
}

bool TStanzaFramer::Complete(qsizetype Gt, bool SelfClose) {
    FReady = Gt;
    FReadySelfClose = SelfClose;
    return true;
}

void TStanzaFramer::Clear() {
    FBuffer.clear();
    FTrimmedEnd = 0;
    FStalled = false;
    Restart(0);
}

void TStanzaFramer::Restart(qsizetype From) {
    FReady = -1;
    FStart = From;
    FScan = From;
    FDepth = 0;
    FJunk = false;
    FLexer.Reset();
}
