#include "FallbackSave.h"

#include <QDir>
#include <QFileInfo>
#include <stdexcept>

namespace {

bool SameFolder(const QString& a, const QString& b) {
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return QDir::cleanPath(a) == QDir::cleanPath(b) ||
           (!canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath());
}

} // namespace

TSaveResult SaveToFolderOrFallback(const QString& name, const QString& folder,
                                   const QString& fallbackFolder,
                                   const std::function<void(const QString& path)>& write) {
    TSaveResult result;
    result.Target = QDir(folder).filePath(name);
    try {
        write(result.Target);
        result.SavedTo = result.Target;
        return result;
    } catch (const std::exception& e) {
        result.Reason = QString::fromUtf8(e.what());
    }
    if (fallbackFolder.isEmpty() || SameFolder(folder, fallbackFolder))
        return result;
    const QString fallback = QDir(fallbackFolder).filePath(name);
    try {
        if (!QDir().mkpath(fallbackFolder))
            throw std::runtime_error(
                QStringLiteral("Nelze vytvořit složku \"%1\"").arg(fallbackFolder).toStdString());
        write(fallback);
        result.SavedTo = fallback;
    } catch (const std::exception& e) {
        result.Reason += u'\n' + QString::fromUtf8(e.what());
    }
    return result;
}

QString NewestCopy(const QString& name, const QString& folder, const QString& fallbackFolder) {
    const QFileInfo own(QDir(folder).filePath(name));
    if (fallbackFolder.isEmpty() || SameFolder(folder, fallbackFolder))
        return own.filePath();
    const QFileInfo fallback(QDir(fallbackFolder).filePath(name));
    if (fallback.isFile() && (!own.exists() || fallback.lastModified() > own.lastModified()))
        return fallback.filePath();
    return own.filePath();
}

QString SaveMessage(const TSaveResult& result, const QString& what) {
    if (result.SavedTo == result.Target)
        return {};
    const QString target = QDir::toNativeSeparators(result.Target);
    if (result.Saved())
        return QStringLiteral("%1 se nepodařilo uložit do souboru %2. Uloženo je místo toho "
                              "v souboru %3.\n%4")
            .arg(what, target, QDir::toNativeSeparators(result.SavedTo), result.Reason);
    return QStringLiteral("%1 se nepodařilo uložit do souboru %2 ani nikam jinam.\n%3")
        .arg(what, target, result.Reason);
}
