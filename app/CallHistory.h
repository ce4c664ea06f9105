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
// the first line holding it keeps SetEntry as cheap with a million lines as with none.
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
    using LineId = std::uint64_t;

    qsizetype Position(LineId id) const;

    QStringList FLines;
    // Stable id of each line, ascending in line order; ids survive deletions of other lines.
    std::vector<LineId> FIds;
    LineId FNextId = 0;
    // Case-folded key -> id of the first line with that key.
    QHash<QString, LineId> FFirst;
    // Id of a line -> id of the next line with the same key, for keys held by several lines.
    QHash<LineId, LineId> FNextSame;
};
