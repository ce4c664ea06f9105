// Arbitrary bytes as historie.dat: read as the program reads the file, the lines put into a
// call history, entries set on it as the window does, and everything written back.
//
// Checked: every line of the bytes, cut at CR, LF and CR LF, is one line read; a line of
// valid UTF-8 is read as such and written back byte for byte, any other line is read as
// Windows-1250 on its own; a UTF-16 file gives the lines of its whole text; reading what was
// written gives the same lines and the same encoding, and writing them again the same bytes.
// The history keeps its key rules against a plain list searched from the start, a unique
// call key is free under all four suffixes, and its lines come back whole through the file.

#include "CallHistory.h"
#include "TextFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The lines of a text, CR LF, CR and LF each ending one, a last line without an ending
// counted: every ending made a LF, one trailing LF dropped, the rest split at LF.
template <typename Text> auto PlainLines(Text text) {
    const bool empty = text.isEmpty();
    text.replace("\r\n", "\n").replace('\r', '\n');
    if (text.endsWith('\n'))
        text.chop(1);
    return empty ? decltype(text.split('\n')){} : text.split('\n');
}

QByteArray Mark(TTextEncoding encoding) {
    switch (encoding) {
    case TTextEncoding::Utf8Bom:
        return "\xEF\xBB\xBF";
    case TTextEncoding::Utf16LE:
        return "\xFF\xFE";
    case TTextEncoding::Utf16BE:
        return "\xFE\xFF";
    case TTextEncoding::Locale:
        break;
    }
    return {};
}

// The bytes of the file read in, checked line by line against decoders that see only that
// line; returns what writing the lines back must give, where the bytes say it.
std::optional<QByteArray> CheckLines(const QByteArray& bytes, const TTextFile& file) {
    const QByteArray mark = Mark(file.Encoding);
    Require(bytes.startsWith(mark));
    const QByteArray body = bytes.sliced(mark.size());
    if (file.Encoding == TTextEncoding::Utf16LE || file.Encoding == TTextEncoding::Utf16BE) {
        QStringDecoder decode(file.Encoding == TTextEncoding::Utf16LE ? QStringConverter::Utf16LE
                                                                      : QStringConverter::Utf16BE,
                              QStringConverter::Flag::Stateless |
                                  QStringConverter::Flag::ConvertInitialBom);
        Require(file.Lines == PlainLines(QString(decode(body))));
        return std::nullopt;
    }
    const QList<QByteArray> raw = PlainLines(body);
    Require(file.Lines.size() == raw.size());
    QByteArray written = mark;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (QByteArrayView(raw[i]).isValidUtf8()) {
            // A mark inside the text is a character like any other.
            QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
            Require(file.Lines[i] == QString(utf8(raw[i])));
            written += raw[i];
        } else {
            QStringDecoder windows1250("windows-1250");
            Require(file.Lines[i] == QString(windows1250(raw[i])));
            written += file.Lines[i].toUtf8();
        }
        written += "\r\n";
    }
    return written;
}

// Writing the lines and reading them back keeps lines and encoding, and writing those again
// gives the same bytes. A file without a mark leaves out a mark that would begin it.
QByteArray CheckRoundTrip(const QStringList& lines, TTextEncoding encoding) {
    const QByteArray written = EncodeTextFile(lines, encoding);
    const TTextFile reread = DecodeTextFile(written);
    Require(reread.Encoding == encoding);
    QStringList expected = lines;
    if (encoding == TTextEncoding::Locale && !expected.isEmpty() &&
        expected[0].startsWith(QChar::ByteOrderMark))
        expected[0].remove(0, 1);
    Require(reread.Lines == expected);
    Require(EncodeTextFile(reread.Lines, encoding) == written);
    return written;
}

QString KeyOf(const QString& line, bool& hasKey) {
    const qsizetype equals = line.indexOf(u'=');
    hasKey = equals >= 0;
    return hasKey ? line.left(equals) : QString();
}

// Whether two keys are the same case-folded. Folding keeps the length of a text, so texts of
// different lengths are not folded; it also makes a lone surrogate U+FFFD, which a comparison
// without regard to case would not.
bool SameFolded(QStringView a, const QString& b) {
    return a.size() == b.size() && a.toString().toCaseFolded() == b.toCaseFolded();
}

// SetEntry written out plainly: control characters in the value blanked, then the first line
// whose key matches without regard to case is replaced or deleted, or the entry appended.
void PlainSetEntry(QStringList& lines, const QString& key, QString value) {
    for (QChar& c : value)
        if (c.unicode() < 0x20)
            c = u' ';
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype equals = lines[i].indexOf(u'=');
        if (equals >= 0 && SameFolded(QStringView(lines[i]).left(equals), key)) {
            if (value.isEmpty())
                lines.removeAt(i);
            else
                lines[i] = key + u'=' + value;
            return;
        }
    }
    if (!value.isEmpty())
        lines << key + u'=' + value;
}

// The entries the window would set, made from the file's own lines so that they meet its
// keys: each key in upper case set to the next line's text or, every third one, deleted, and
// a new call under the unique key for the key's stem.
void CheckHistory(const QStringList& lines, TTextEncoding encoding) {
    CallHistory history(lines);
    QStringList plain = lines;
    Require(history.Lines() == plain);
    for (const QString& line : lines) {
        bool hasKey = false;
        const QString key = KeyOf(line, hasKey);
        Require(!hasKey || (history.HasKey(key) && history.HasKey(key.toCaseFolded())));
    }
    constexpr qsizetype kMaxEntries = 16;
    for (qsizetype i = 0; i < lines.size() && i < kMaxEntries; ++i) {
        bool hasKey = false;
        const QString key = KeyOf(lines[i], hasKey).toUpper();
        const QString value = i % 3 == 2 ? QString() : lines[(i + 1) % lines.size()];
        history.SetEntry(key, value);
        PlainSetEntry(plain, key, value);
        Require(history.Lines() == plain);

        const QString stem = history.UniqueCallKey(key.section(u'_', 0, 0));
        for (const char* suffix : {"_kdo", "_nazev", "_odkaz", "_cas"})
            Require(!history.HasKey(stem + QLatin1String(suffix)));
        history.SetEntry(stem + QStringLiteral("_kdo"), value);
        PlainSetEntry(plain, stem + QStringLiteral("_kdo"), value);
        Require(history.Lines() == plain);
        Require(history.HasKey(stem + QStringLiteral("_KDO")) == !value.isEmpty());
    }
    Require(history.Count() == plain.size());
    CheckRoundTrip(history.Lines(), encoding);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const QByteArray bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    const TTextFile file = DecodeTextFile(bytes);
    for (const QString& line : file.Lines)
        Require(!line.contains(u'\r') && !line.contains(u'\n'));
    const std::optional<QByteArray> expected = CheckLines(bytes, file);
    const QByteArray written = CheckRoundTrip(file.Lines, file.Encoding);
    Require(!expected || written == *expected);
    CheckHistory(file.Lines, file.Encoding);
    return 0;
}
