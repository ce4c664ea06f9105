#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

// How a text file is encoded. A file without a byte-order mark is in the
// locale's 8-bit encoding (UTF-8 on our machines); a file with a UTF-8 or
// UTF-16 mark is read in that encoding and written back in it, mark included.
// In a UTF-8 file a line that is not valid UTF-8 is read as Windows-1250, the
// Czech Windows code page older files were written in, and so is written back
// as UTF-8; valid lines come back byte for byte.
enum class TTextEncoding { Locale, Utf8Bom, Utf16LE, Utf16BE };

struct TTextFile {
    QStringList Lines;
    TTextEncoding Encoding = TTextEncoding::Locale;
};

// Reads a whole file as lines; CR, LF and CR LF each end a line, and a last
// line without an ending counts. Throws std::runtime_error with the reason when
// the file cannot be read.
TTextFile ReadTextFile(const QString& path);

// Writes every line followed by CR LF. The text goes to a temporary file
// beside the target that is renamed over it only when complete, so a crash or
// a full disk leaves the old file intact. Throws std::runtime_error on failure.
void WriteTextFile(const QString& path, const QStringList& lines, TTextEncoding encoding);

// Decodes file bytes (a mark picks the encoding) into lines.
TTextFile DecodeTextFile(const QByteArray& bytes);
// Encodes lines with CR LF endings, the mark first where the encoding has one. Without a
// mark, a U+FEFF that begins the first line is left out, since it would read as the mark.
QByteArray EncodeTextFile(const QStringList& lines, TTextEncoding encoding);

QStringList SplitLines(QStringView text);
