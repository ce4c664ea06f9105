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
    QStringDecoder decode(Converter(file.Encoding), QStringConverter::Flag::Stateless);
    const QString text = decode(QByteArrayView(bytes).sliced(skip));
    file.Lines = SplitLines(text);
    return file;
}

QByteArray EncodeTextFile(const QStringList& lines, TTextEncoding encoding) {
    QString text;
    qsizetype size = 0;
    for (const QString& line : lines)
        size += line.size() + 2;
    text.reserve(size);
    for (const QString& line : lines) {
        text += line;
        text += u"\r\n";
    }
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
    bytes += encode(text);
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
