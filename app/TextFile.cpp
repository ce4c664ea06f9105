#include "TextFile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <stdexcept>

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr char kUtf16LEBom[] = "\xFF\xFE";
constexpr char kUtf16BEBom[] = "\xFE\xFF";

QStringConverter::Encoding Converter(TTextEncoding encoding) {
    switch (encoding) {
    case TTextEncoding::Utf8Bom:
        return QStringConverter::Utf8;
    case TTextEncoding::Utf16LE:
        return QStringConverter::Utf16LE;
    case TTextEncoding::Utf16BE:
        return QStringConverter::Utf16BE;
    case TTextEncoding::Locale:
        break;
    }
    return QStringConverter::System;
}

[[noreturn]] void Fail(const QString& what, const QString& path, const QString& reason) {
    throw std::runtime_error(QStringLiteral("%1 \"%2\": %3").arg(what, path, reason).toStdString());
}

// Whether `bytes` was valid UTF-8, given `decoded`, the text the UTF-8 decoder made of it: the
// decoder puts a replacement character for every invalid sequence, so the text then holds
// more of them than the bytes did.
bool IsUtf8(QByteArrayView bytes, const QString& decoded) {
    const qsizetype replaced = decoded.count(QChar::ReplacementCharacter);
    if (replaced == 0)
        return true;
    return replaced == QByteArrayView(bytes).count(QByteArrayView("\xEF\xBF\xBD"));
}

} // namespace

QStringList SplitLines(QStringView text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    const QChar* data = text.data();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = data[i];
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start).toString());
        if (c == u'\r' && i + 1 < n && data[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(text.mid(start).toString());
    return lines;
}

TTextFile DecodeTextFile(const QByteArray& bytes) {
    TTextFile file;
    qsizetype skip = 0;
    if (bytes.startsWith(kUtf8Bom)) {
        file.Encoding = TTextEncoding::Utf8Bom;
        skip = 3;
    } else if (bytes.startsWith(kUtf16LEBom)) {
        file.Encoding = TTextEncoding::Utf16LE;
        skip = 2;
    } else if (bytes.startsWith(kUtf16BEBom)) {
        file.Encoding = TTextEncoding::Utf16BE;
        skip = 2;
    }
    const QByteArrayView body = QByteArrayView(bytes).sliced(skip);
    // A mark inside the text is a character like any other.
    const auto flags =
        QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom;
    QStringDecoder decode(Converter(file.Encoding), flags);
    if (file.Encoding == TTextEncoding::Utf16LE || file.Encoding == TTextEncoding::Utf16BE) {
        file.Lines = SplitLines(QString(decode(body)));
        return file;
    }
    // Files written by the program on Windows are in its code page; a line that is not valid
    // UTF-8 is read as such and so gets written back as UTF-8.
    // (Qt takes the system encoding for UTF-8 on every Unix.)
#ifdef Q_OS_WIN
    const bool utf8 = file.Encoding == TTextEncoding::Utf8Bom;
#else
    const bool utf8 = true;
#endif
    QStringDecoder windows1250(utf8 ? "windows-1250" : "", flags);
    // In 8-bit encodings CR and LF are single bytes, so the lines are cut
    // before decoding: a million lines then cost no text of the whole file.
    const char* data = body.data();
    const qsizetype n = body.size();
    qsizetype start = 0;
    const auto decodeInto = [](QStringDecoder& decoder, QByteArrayView line) {
        QString text(decoder.requiredSpace(line.size()), Qt::Uninitialized);
        text.truncate(decoder.appendToBuffer(text.data(), line) - text.constData());
        return text;
    };
    const auto take = [&](qsizetype end) {
        const QByteArrayView line(data + start, end - start);
        QString text = decodeInto(decode, line);
        if (windows1250.isValid() && !IsUtf8(line, text))
            text = decodeInto(windows1250, line);
        file.Lines.append(std::move(text));
    };
    for (qsizetype i = 0; i < n; ++i) {
        const char c = data[i];
        if (c != '\r' && c != '\n')
            continue;
        take(i);
        if (c == '\r' && i + 1 < n && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        take(n);
    return file;
}

QByteArray EncodeTextFile(const QStringList& lines, TTextEncoding encoding) {
    QStringEncoder encode(Converter(encoding), QStringConverter::Flag::Stateless);
    QByteArray bytes;
    switch (encoding) {
    case TTextEncoding::Utf8Bom:
        bytes = kUtf8Bom;
        break;
    case TTextEncoding::Utf16LE:
        bytes = kUtf16LEBom;
        break;
    case TTextEncoding::Utf16BE:
        bytes = kUtf16BEBom;
        break;
    case TTextEncoding::Locale:
        break;
    }
    const qsizetype mark = bytes.size();
    qsizetype space = mark;
    for (const QString& line : lines)
        space += encode.requiredSpace(line.size() + 2);
    bytes.resize(space);
    char* out = bytes.data() + mark;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QStringView line = lines[i];
        // Without a mark of its own the file must not begin with one: reading would take it
        // for the mark, and the file for one in another encoding.
        if (i == 0 && mark == 0 && line.startsWith(QChar::ByteOrderMark))
            line = line.sliced(1);
        out = encode.appendToBuffer(out, line);
        out = encode.appendToBuffer(out, u"\r\n");
    }
    bytes.truncate(out - bytes.constData());
    return bytes;
}

TTextFile ReadTextFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("Nelze otevřít soubor"), path, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        Fail(QStringLiteral("Nelze číst soubor"), path, file.errorString());
    return DecodeTextFile(bytes);
}

void WriteTextFile(const QString& path, const QStringList& lines, TTextEncoding encoding) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        Fail(QStringLiteral("Nelze vytvořit soubor"), path, file.errorString());
    const QByteArray bytes = EncodeTextFile(lines, encoding);
    if (file.write(bytes) != bytes.size() || !file.commit())
        Fail(QStringLiteral("Nelze zapsat soubor"), path, file.errorString());
}
