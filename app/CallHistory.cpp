#include "CallHistory.h"

#include <algorithm>
#include <numeric>
#include <optional>

namespace {

// The case-folded text before the first "=" of a line; none when the line holds no "=".
std::optional<QString> FoldedKeyOf(const QString& line) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
        return std::nullopt;
    return line.left(equals).toCaseFolded();
}

} // namespace

CallHistory::CallHistory(QStringList lines) : FLines(std::move(lines)) {
    FIds.resize(FLines.size());
    std::iota(FIds.begin(), FIds.end(), LineId{0});
    FNextId = FIds.size();

    // Last line seen so far for each key held by more than one line.
    QHash<QString, LineId> lastOfDuplicate;
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        std::optional<QString> found = FoldedKeyOf(FLines[i]);
        if (!found)
            continue;
        QString& key = *found;
        const auto first = FFirst.constFind(key);
        if (first == FFirst.cend()) {
            FFirst.insert(std::move(key), i);
            continue;
        }
        auto last = lastOfDuplicate.find(key);
        if (last == lastOfDuplicate.end())
            last = lastOfDuplicate.insert(key, *first);
        FNextSame.insert(*last, i);
        *last = i;
    }
}

void CallHistory::SetEntry(const QString& key, const QString& value) {
    QString folded = key.toCaseFolded();
    const auto found = FFirst.find(folded);
    if (value.isEmpty()) {
        if (found == FFirst.end())
            return;
        const LineId id = *found;
        const qsizetype position = Position(id);
        FLines.removeAt(position);
        FIds.erase(FIds.begin() + position);
        const auto next = FNextSame.constFind(id);
        if (next == FNextSame.cend()) {
            FFirst.erase(found);
        } else {
            *found = *next;
            FNextSame.erase(next);
        }
        return;
    }

    QString line = key + u'=' + value;
    if (found != FFirst.end()) {
        FLines[Position(*found)] = std::move(line);
        return;
    }
    // No line matches, so the new last line is the first with its key, unless `key` holds a
    // "=": only the text before the first "=" is the line's key, and earlier lines may share it.
    const LineId id = FNextId++;
    if (folded.contains(u'='))
        folded = *FoldedKeyOf(line);
    const auto first = FFirst.constFind(folded);
    if (first == FFirst.cend()) {
        FFirst.insert(std::move(folded), id);
    } else {
        LineId last = *first;
        for (auto next = FNextSame.constFind(last); next != FNextSame.cend();
             next = FNextSame.constFind(last))
            last = *next;
        FNextSame.insert(last, id);
    }
    FLines.append(std::move(line));
    FIds.push_back(id);
}

qsizetype CallHistory::Position(LineId id) const {
    return std::lower_bound(FIds.begin(), FIds.end(), id) - FIds.begin();
}
