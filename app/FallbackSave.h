#pragma once

#include <QString>
#include <functional>

// Where a file that is saved on closing ended up.
struct TSaveResult {
    QString Target;  // where the file belongs
    QString SavedTo; // where it was written: Target, the fallback, or empty when nowhere
    QString Reason;  // why it could not be written where it belongs (and to the fallback)

    bool Saved() const { return !SavedTo.isEmpty(); }
    bool Moved() const { return Saved() && SavedTo != Target; }
};

// Writes the file `name` into `folder` through `write`, which throws std::runtime_error with
// the reason when it cannot. When that fails, it is written into `fallbackFolder` (created
// when needed) instead, unless that is empty or the same folder.
TSaveResult SaveToFolderOrFallback(const QString& name, const QString& folder,
                                   const QString& fallbackFolder,
                                   const std::function<void(const QString& path)>& write);

// The copy of the file `name` to read: the one in `fallbackFolder` when an earlier closing
// left it there and it is newer than the one in `folder` (or that one is missing), so that
// what went to the fallback is not lost at the next closing; else the one in `folder`.
QString NewestCopy(const QString& name, const QString& folder, const QString& fallbackFolder);

// What the user is told in Czech about a file that did not land where it belongs, with the
// system's reason after it; empty when it did. `what` names the content as the object of
// the sentence, capitalised ("Nastavení", "Historii hovorů").
QString SaveMessage(const TSaveResult& result, const QString& what);
