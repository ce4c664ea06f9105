#include "IniFile.h"

#include "TextFile.h"

#include <QFile>
#include <limits>
#include <stdexcept>

namespace {

bool IsSectionHeader(const QString& line, QString* name = nullptr) {
    const QString t = line.trimmed();
    if (!t.startsWith(u'[') || !t.endsWith(u']'))
        return false;
    if (name)
        *name = t.mid(1, t.size() - 2).trimmed();
    return true;
}

// Splits "key=value"; false for comments, headers and lines without "=".
bool SplitEntry(const QString& line, QString& key, QString& value) {
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(u';') || t.startsWith(u'#') || t.startsWith(u'['))
        return false;
    const qsizetype eq = t.indexOf(u'=');
    if (eq < 0)
        return false;
    key = t.left(eq).trimmed();
    value = t.mid(eq + 1).trimmed();
    return true;
}

} // namespace

bool ParseIniInteger(const QString& text, int& value) {
    QStringView t = QStringView(text).trimmed();
    bool negative = false;
    if (!t.isEmpty() && (t.front() == u'-' || t.front() == u'+')) {
        negative = t.front() == u'-';
        t = t.mid(1);
    }
    int base = 10;
    if (t.startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        t = t.mid(2);
    } else if (t.startsWith(u'$')) {
        base = 16;
        t = t.mid(1);
    }
    if (t.isEmpty())
        return false;
    qint64 magnitude = 0;
    for (QChar c : t) {
        const int digit = c.isDigit() ? c.digitValue() : -1;
        int d = digit;
        if (base == 16 && d < 0) {
            const char16_t u = c.toLower().unicode();
            if (u >= u'a' && u <= u'f')
                d = u - u'a' + 10;
        }
        if (d < 0 || d >= base || c.unicode() > 127)
            return false;
        magnitude = magnitude * base + d;
        if (magnitude > 0xFFFFFFFFLL)
            return false;
    }
    if (base == 16) {
        // Eight hexadecimal digits fill the 32 bits, as in "$FFFFFFFF" = -1.
        const auto bits = static_cast<qint32>(static_cast<quint32>(magnitude));
        value = negative ? -bits : bits;
        return true;
    }
    const qint64 signedValue = negative ? -magnitude : magnitude;
    if (signedValue < std::numeric_limits<int>::min() ||
        signedValue > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(signedValue);
    return true;
}

TIniFile::TIniFile(QString path) : FPath(std::move(path)) {
    if (!QFile::exists(FPath))
        return;
    const TTextFile text = ReadTextFile(FPath);
    FLines = text.Lines;
    FEncoding = text.Encoding;
}

int TIniFile::FindSection(const QString& section) const {
    QString name;
    for (qsizetype i = 0; i < FLines.size(); ++i)
        if (IsSectionHeader(FLines[i], &name) && name.compare(section, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

int TIniFile::FindKey(const QString& section, const QString& key) const {
    const int header = FindSection(section);
    if (header < 0)
        return -1;
    QString k, v;
    for (qsizetype i = header + 1; i < FLines.size() && !IsSectionHeader(FLines[i]); ++i)
        if (SplitEntry(FLines[i], k, v) && k.compare(key, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

QString TIniFile::ReadString(const QString& section, const QString& key,
                             const QString& defaultValue) const {
    const int line = FindKey(section, key);
    QString k, v;
    if (line < 0 || !SplitEntry(FLines[line], k, v))
        return defaultValue;
    return v;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
    int value = 0;
    return ParseIniInteger(ReadString(section, key, QString()), value) ? value : defaultValue;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    const int line = FindKey(section, key);
    if (line >= 0) {
        // Keep the key as the file spells it.
        QString k, v;
        SplitEntry(FLines[line], k, v);
        FLines[line] = k + u'=' + value;
        return;
    }
    const QString entry = key + u'=' + value;
    const int header = FindSection(section);
    if (header < 0) {
        if (!FLines.isEmpty() && !FLines.last().trimmed().isEmpty())
            FLines.append(QString());
        FLines.append(u'[' + section + u']');
        FLines.append(entry);
        return;
    }
    // After the section's last non-blank line, so a blank line before the
    // next section stays where it is.
    qsizetype insertAt = header + 1;
    for (qsizetype i = header + 1; i < FLines.size() && !IsSectionHeader(FLines[i]); ++i)
        if (!FLines[i].trimmed().isEmpty())
            insertAt = i + 1;
    FLines.insert(insertAt, entry);
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void TIniFile::Save() const {
    SaveAs(FPath);
}

void TIniFile::SaveAs(const QString& path) const {
    WriteTextFile(path, FLines, FEncoding);
}
