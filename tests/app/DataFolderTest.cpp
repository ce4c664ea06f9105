#include "DataFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void Put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray Get(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(DataFolder, WritableExecutableFolderIsUsedAsItIs) {
    QTemporaryDir exe, user;
    EXPECT_EQ(ChooseDataFolder(exe.path(), user.filePath(QStringLiteral("cfg")), true), exe.path());
    EXPECT_FALSE(QDir(user.filePath(QStringLiteral("cfg"))).exists());
}

TEST(DataFolder, ReadOnlyInstallIsSeededIntoTheUserFolderOnce) {
    QTemporaryDir exe, user;
    const QString cfg = user.filePath(QStringLiteral("velora"));
    Put(exe.filePath(QStringLiteral("data.ini")), "[pripojeni]\r\nport=2000\r\n");
    Put(exe.filePath(QStringLiteral("historie.dat")), "a=1\r\n");

    EXPECT_EQ(ChooseDataFolder(exe.path(), cfg, false), cfg);
    EXPECT_EQ(Get(QDir(cfg).filePath(QStringLiteral("data.ini"))), "[pripojeni]\r\nport=2000\r\n");
    EXPECT_EQ(Get(QDir(cfg).filePath(QStringLiteral("historie.dat"))), "a=1\r\n");

    // Later starts keep the user's own files.
    Put(QDir(cfg).filePath(QStringLiteral("historie.dat")), "a=1\r\nb=2\r\n");
    EXPECT_EQ(ChooseDataFolder(exe.path(), cfg, false), cfg);
    EXPECT_EQ(Get(QDir(cfg).filePath(QStringLiteral("historie.dat"))), "a=1\r\nb=2\r\n");
}

TEST(DataFolder, WritabilityIsProbedByCreatingAFile) {
    QTemporaryDir dir;
    EXPECT_TRUE(IsWritableFolder(dir.path()));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    // Folders no one can create a file in, root included, whatever the
    // permission bits say to root.
    Put(dir.filePath(QStringLiteral("file")), "x");
    for (const QString& folder :
         {dir.filePath(QStringLiteral("missing")), dir.filePath(QStringLiteral("file")),
          dir.filePath(QStringLiteral("file/below")), QStringLiteral("/proc"),
          QStringLiteral("/proc/self")})
        EXPECT_FALSE(IsWritableFolder(folder)) << folder.toStdString();
}

} // namespace
