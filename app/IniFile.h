#pragma once

#include "TextFile.h"

#include <QString>
#include <QStringList>

// An INI file kept as its lines, so that sections, keys and comments the
// program does not know survive a rewrite untouched. Section and key names
// match without regard to case; values are trimmed when read.
class TIniFile {
public:
    // Reads the file; a missing file gives an empty one. Throws
    // std::runtime_error when an existing file cannot be read.
    explicit TIniFile(QString path);

    const QString& Path() const { return FPath; }

    // The value, or the default when the key is missing.
    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // Decimal, or hexadecimal after "0x" or "$", with an optional sign; a
    // missing key or any other text gives the default.
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;

    // Replaces the value of the key where it stands, or adds the key at the end
    // of its section, or the section at the end of the file.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);

    // Writes the whole file through a temporary file renamed over the old one.
    // Throws std::runtime_error when that fails; the old file is then intact.
    void Save() const;
    // Writes the whole file to another path the same way.
    void SaveAs(const QString& path) const;

    const QStringList& Lines() const { return FLines; }

private:
    // Index of the line holding the key, or -1.
    int FindKey(const QString& section, const QString& key) const;
    // Index of the section header, or -1.
    int FindSection(const QString& section) const;

    QString FPath;
    QStringList FLines;
    TTextEncoding FEncoding = TTextEncoding::Locale;
};

// Parses an integer as ReadInteger does; false when the text is not one.
bool ParseIniInteger(const QString& text, int& value);
