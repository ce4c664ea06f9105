// The whole self-update: a stand-in of the program, installed in a folder
// whose name holds a blank and started from another working directory, finds
// a newer version on the HTTP fixture, downloads it, starts the real update
// script through /bin/sh and ends; the script replaces the installed
// executable and starts the new one, which leaves a marker file.
#include "HttpFixture.h"
#include "MinisignTestKey.h"
#include "SelfUpdate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Polls every 200 ms, at most for the given number of seconds.
bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 5; ++i) {
        if (done())
            return true;
        QThread::msleep(200);
    }
    return done();
}

TEST(SelfUpdateEndToEnd, InstalledProgramIsReplacedAndTheNewOneRuns) {
    THttpFixture http;
    ASSERT_NE(http.Port(), 0);
    QTemporaryDir root;
    QDir dir(root.path());
    for (const char* name : {"velora install", "work dir", "temp"})
        ASSERT_TRUE(dir.mkdir(QLatin1String(name)));
    const QString install = dir.filePath(QStringLiteral("velora install"));
    const QString work = dir.filePath(QStringLiteral("work dir"));
    const QString program = QDir(install).filePath(QStringLiteral("velora"));
    const QString marker = dir.filePath(QStringLiteral("new one ran"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_EXE), program));

    QFile ini(QDir(install).filePath(QStringLiteral("data.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[pripojeni]\r\nport=0\r\njmeno=420123@velora.example\r\nweb=127.0.0.1:" +
              QByteArray::number(http.Port()) + "\r\n");
    ini.close();

    // The new version: it writes the path it was started as into the marker.
    const QByteArray newProgram = "#!/bin/sh\necho \"$0\" > " + ShellQuoted(marker).toUtf8() + "\n";
    http.Put(QStringLiteral("velora.bin"), newProgram);
    const TMinisignTestKey key;
    http.Put(QStringLiteral("velora.bin.minisig"), key.Sign(newProgram));
    ASSERT_TRUE(QDir(http.Root()).mkpath(QStringLiteral("ustredna/velora")));
    http.Put(QStringLiteral("ustredna/velora/index.php"),
             "<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n"
             "<META NAME=\"wuVersion\" CONTENT=\"99.1\">\r\n"
             "<META NAME=\"wuClientSideName\" CONTENT=\"setup.bin\">\r\n"
             "<META NAME=\"wuDownload\" CONTENT=\"127.0.0.1:" +
                 QByteArray::number(http.Port()) + "/velora.bin\">\r\n");

    QProcess old;
    old.setWorkingDirectory(work);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("temp")));
    env.insert(QStringLiteral("VELORA_TEST_PUBLIC_KEY"), QString::fromLatin1(key.PublicKeyText()));
    old.setProcessEnvironment(env);
    // Into a file: the script started by the program must not hold a pipe of ours.
    old.setStandardOutputFile(dir.filePath(QStringLiteral("old.log")));
    old.setStandardErrorFile(dir.filePath(QStringLiteral("old.log")), QIODevice::Append);
    old.start(program, {});
    ASSERT_TRUE(old.waitForStarted(10000));
    // Its first tick comes after five seconds.
    const bool ended = old.waitForFinished(60000);
    if (!ended)
        old.kill();
    ASSERT_TRUE(ended) << ReadAll(dir.filePath(QStringLiteral("old.log"))).toStdString();
    EXPECT_EQ(old.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(old.exitCode(), 0) << ReadAll(dir.filePath(QStringLiteral("old.log"))).toStdString();
    // It closed its window first: the settings were saved.
    EXPECT_TRUE(ReadAll(ini.fileName()).contains("jmeno=420123@velora.example"));

    // The script waits until the old program has ended.
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(marker); }, 60));
    EXPECT_TRUE(WaitFor([&] { return ReadAll(marker) == program.toUtf8() + "\n"; }, 5));
    EXPECT_EQ(ReadAll(program), newProgram);
    EXPECT_TRUE(QFileInfo(program).isExecutable());
    // The old program is kept beside it.
    EXPECT_EQ(ReadAll(QDir(install).filePath(QStringLiteral("velora.bak"))),
              ReadAll(QStringLiteral(STANDIN_EXE)));
    // The script removes the download and itself from the working directory.
    EXPECT_TRUE(WaitFor(
        [&] {
            return !QFile::exists(QDir(work).filePath(QStringLiteral("velora_new"))) &&
                   !QFile::exists(QDir(work).filePath(QStringLiteral("update.sh")));
        },
        10));
}

} // namespace
