#pragma once

#include <QHash>
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
    // becomes the first one.
    void SetEntry(const QString& key, const QString& value);

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
