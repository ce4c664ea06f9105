#pragma once

#include <QDateTime>
#include <QHash>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The call history: ordered lines of text, normally key=value entries, kept exactly as loaded
// and as changed by SetEntry. Lines may hold any text, duplicate keys or no "=" at all.
//
// A line's key is its text before its first "="; a line without "=" has no key and is never
// matched. Keys are compared without regard to case (case-folded). An index from each key to
// the first line holding it keeps SetEntry as cheap with a million lines as with none; only
// deleting a line moves the lines behind it.
class CallHistory {
public:
    explicit CallHistory(QStringList lines = {});

    const QStringList& Lines() const { return FLines; }
    int Count() const { return static_cast<int>(FLines.size()); }

    // Finds the first line whose key equals `key` without regard to case. A non-empty value
    // replaces that line in place by key=value, or appends key=value when there is none. An
    // empty value deletes that line when it exists; a later line with the same key then
    // becomes the first one. CR, LF and every other control character below U+0020 in the
    // value become blanks first, so that a value never breaks its line.
    void SetEntry(const QString& key, const QString& value);

    // Whether a line has this key, compared without regard to case.
    bool HasKey(const QString& key) const;

    // The key stem for a call handled at `stamp`: the stamp itself, or when a call in the
    // history already has it (one of its "_kdo", "_nazev", "_odkaz" or "_cas" keys), the
    // stamp followed by " #2", " #3", … whichever is first free.
    QString UniqueCallKey(const QString& stamp) const;

private:
    // A line's id is its position at the last renumbering, or at its appending; deleting a
    // line leaves the ids of the others as they are.
    using LineId = std::uint64_t;

    // A case-folded key with its hash, so that probing the index compares hashes rather than
    // reaching for the text of every key it passes.
    struct IndexKey {
        explicit IndexKey(QString key);
        QString folded;
        size_t hash;
        friend bool operator==(const IndexKey& a, const IndexKey& b) {
            return a.hash == b.hash && a.folded == b.folded;
        }
        friend size_t qHash(const IndexKey& key, size_t seed) { return key.hash ^ seed; }
    };

    qsizetype Position(LineId id) const;
    void Delete(QHash<IndexKey, LineId>::iterator first);
    void Append(IndexKey key, QString line);
    void Renumber();

    QStringList FLines;
    // Ids deleted since the last renumbering, ascending.
    std::vector<LineId> FDeleted;
    // Key -> id of the first line with that key.
    QHash<IndexKey, LineId> FFirst;
    // Id of a line -> id of the next line with the same key, for keys held by several lines.
    QHash<LineId, LineId> FNextSame;
};

// A call's time stamp as the user reads it: the locale's short date, a blank and its long time
// without a time-zone name. A two-digit year is written with four digits, since the history is
// kept for years: "10.12.2026 3:28:55" in Czech, "10 Dec 2026 03:28:55" in the C locale.
QString CallTimeStamp(const QDateTime& when, const QLocale& locale);
