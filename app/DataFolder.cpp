#include "DataFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryFile>

bool IsWritableFolder(const QString& folder) {
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".velora-XXXXXX")));
    return probe.open();
}

QString ChooseDataFolder(const QString& exeFolder, const QString& userFolder,
                         bool exeFolderWritable) {
    if (exeFolderWritable)
        return exeFolder;
    QDir().mkpath(userFolder);
    for (const char* name : {"data.ini", "historie.dat"}) {
        const QString source = QDir(exeFolder).filePath(QLatin1String(name));
        const QString target = QDir(userFolder).filePath(QLatin1String(name));
        if (QFile::exists(source) && !QFile::exists(target))
            QFile::copy(source, target);
    }
    return userFolder;
}

QString UserDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString DataFolder() {
    const QString exeFolder = QCoreApplication::applicationDirPath();
    // An installed program's folder belongs to the package manager, even
    // where it could be written (as root).
    return ChooseDataFolder(exeFolder, UserDataFolder(),
                            !VELORA_PER_USER_DATA && IsWritableFolder(exeFolder));
}
