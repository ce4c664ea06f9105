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
    throw std::runtime_error(QStringLiteral("%1 \"%2\". %3").arg(what, path, reason).toStdString());
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
    QStringDecoder decode(Converter(file.Encoding), QStringConverter::Flag::Stateless);
    if (file.Encoding == TTextEncoding::Utf16LE || file.Encoding == TTextEncoding::Utf16BE) {
        file.Lines = SplitLines(QString(decode(body)));
        return file;
    }
    // In 8-bit encodings CR and LF are single bytes, so the lines are cut
    // before decoding: a million lines then cost no text of the whole file.
    const char* data = body.data();
    const qsizetype n = body.size();
    qsizetype start = 0;
    const auto take = [&](qsizetype end) {
        const QByteArrayView line(data + start, end - start);
        QString text(decode.requiredSpace(line.size()), Qt::Uninitialized);
        text.truncate(decode.appendToBuffer(text.data(), line) - text.constData());
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
    for (const QString& line : lines) {
        out = encode.appendToBuffer(out, line);
        out = encode.appendToBuffer(out, u"\r\n");
    }
    bytes.truncate(out - bytes.constData());
    return bytes;
}

TTextFile ReadTextFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("Cannot open file"), path, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        Fail(QStringLiteral("Cannot read file"), path, file.errorString());
    return DecodeTextFile(bytes);
}

void WriteTextFile(const QString& path, const QStringList& lines, TTextEncoding encoding) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        Fail(QStringLiteral("Cannot create file"), path, file.errorString());
    const QByteArray bytes = EncodeTextFile(lines, encoding);
    if (file.write(bytes) != bytes.size() || !file.commit())
        Fail(QStringLiteral("Cannot write file"), path, file.errorString());
}
