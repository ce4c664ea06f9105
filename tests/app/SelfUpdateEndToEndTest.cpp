// The whole self-update: a stand-in of the program, installed in a folder
// whose name holds a blank and started from another working directory, finds
// a newer version on the HTTP fixture, downloads it, starts the real update
// script through /bin/sh and ends; the script replaces the installed
// executable and starts the new one. The stand-in writes what its user is
// asked and told into a log (see SelfUpdateStandIn.cpp).
#include "HttpFixture.h"
#include "MinisignTestKey.h"
#include "SelfUpdate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Polls every 100 ms, at most for the given number of seconds.
bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (done())
            return true;
        QThread::msleep(100);
    }
    return done();
}

// Alive and not merely waiting to be reaped.
bool Running(qint64 pid) {
    const QByteArray stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype state = stat.lastIndexOf(')') + 2;
    return !stat.isEmpty() && state < stat.size() && stat[state] != 'Z';
}

const QString kBadSignature =
    QStringLiteral("Aktualizace nemá platný podpis, nebyla nainstalována.");
const QString kFolderNotWritable =
    QStringLiteral("Aktualizaci nelze nainstalovat: do složky programu nelze zapisovat.");

class SelfUpdateEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Http.Port(), 0);
        for (const char* name : {"velora install", "work dir", "temp", "config"})
            ASSERT_TRUE(QDir(Root.path()).mkdir(QLatin1String(name)));
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_EXE), Program));
        QFile ini(InInstall("data.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[pripojeni]\r\nport=0\r\njmeno=420123@velora.example\r\nweb=127.0.0.1:" +
                  QByteArray::number(Http.Port()) + "\r\n");
        ini.close();
        ASSERT_TRUE(QDir(Http.Root()).mkpath(QStringLiteral("ustredna/velora")));
        Http.Put(QStringLiteral("ustredna/velora/index.php"),
                 "<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n"
                 "<META NAME=\"wuVersion\" CONTENT=\"99.1\">\r\n"
                 "<META NAME=\"wuClientSideName\" CONTENT=\"setup.bin\">\r\n"
                 "<META NAME=\"wuDownload\" CONTENT=\"127.0.0.1:" +
                     QByteArray::number(Http.Port()) + "/velora.bin\">\r\n");
    }

    void TearDown() override {
        if (Old.state() != QProcess::NotRunning) {
            Old.kill();
            Old.waitForFinished(10000);
        }
        // A program the script started is nobody's child here.
        for (const qint64 pid : Started()) {
            if (pid != Old.processId() && Running(pid))
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }

    QString InRoot(const char* name) const {
        return QDir(Root.path()).filePath(QLatin1String(name));
    }
    QString InInstall(const char* name) const {
        return QDir(Install).filePath(QLatin1String(name));
    }
    QString InWork(const char* name) const { return QDir(Work).filePath(QLatin1String(name)); }

    // The update offered as velora.bin, with its signature.
    void Offer(const QByteArray& file, const QByteArray& signature) {
        Http.Put(QStringLiteral("velora.bin"), file);
        Http.Put(QStringLiteral("velora.bin.minisig"), signature);
    }

    // Starts the installed program from the working directory; with a
    // wrapper, through that command line with the program's path at its end.
    void StartOld(QStringList wrapper = {}) {
        Old.setWorkingDirectory(Work);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TMPDIR"), InRoot("temp"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), InRoot("config"));
        env.insert(QStringLiteral("VELORA_TEST_PUBLIC_KEY"),
                   QString::fromLatin1(Key.PublicKeyText()));
        env.insert(QStringLiteral("VELORA_STANDIN_LOG"), InRoot("standin.log"));
        Old.setProcessEnvironment(env);
        // Into a file: the script started by the program must not hold a pipe of ours.
        Old.setStandardOutputFile(InRoot("old.log"));
        Old.setStandardErrorFile(InRoot("old.log"), QIODevice::Append);
        wrapper << Program;
        Old.start(wrapper.takeFirst(), wrapper);
        ASSERT_TRUE(Old.waitForStarted(10000));
    }

    QStringList LogLines() const {
        return QString::fromUtf8(ReadAll(InRoot("standin.log"))).split(u'\n', Qt::SkipEmptyParts);
    }
    QStringList Logged(const QString& kind) const {
        QStringList found;
        for (const QString& line : LogLines()) {
            if (line.startsWith(kind + u' '))
                found << line.mid(kind.size() + 1);
        }
        return found;
    }
    QList<qint64> Started() const {
        QList<qint64> pids;
        for (const QString& pid : Logged(QStringLiteral("start")))
            pids << pid.toLongLong();
        return pids;
    }
    std::string OldLog() const { return ReadAll(InRoot("old.log")).toStdString(); }

    // Nothing of the update is left in the working directory.
    bool WorkDirEmpty() const {
        return QDir(Work)
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
            .isEmpty();
    }
    bool Downloaded() const {
        return !Http.RequestLines()
                    .filter(QRegularExpression(QStringLiteral("^GET /velora.bin ")))
                    .isEmpty();
    }

    QTemporaryDir Root;
    const QString Install = InRoot("velora install");
    const QString Work = InRoot("work dir");
    const QString Program = InInstall("velora");
    const QByteArray Installed = ReadAll(QStringLiteral(STANDIN_EXE));
    THttpFixture Http;
    const TMinisignTestKey Key;
    QProcess Old;
};

TEST_F(SelfUpdateEndToEnd, InstalledProgramIsReplacedAndTheNewOneRuns) {
    // The new version: it writes the path it was started as into the marker.
    const QString marker = InRoot("new one ran");
    const QByteArray newProgram = "#!/bin/sh\necho \"$0\" > " + ShellQuoted(marker).toUtf8() + "\n";
    Offer(newProgram, Key.Sign(newProgram));
    StartOld();
    // Its first tick comes after five seconds.
    ASSERT_TRUE(Old.waitForFinished(60000)) << OldLog();
    EXPECT_EQ(Old.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Old.exitCode(), 0) << OldLog();
    // It closed its window first: the settings were saved.
    EXPECT_TRUE(ReadAll(InInstall("data.ini")).contains("jmeno=420123@velora.example"));

    // The script waits until the old program has ended.
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(marker); }, 60));
    EXPECT_TRUE(WaitFor([&] { return ReadAll(marker) == Program.toUtf8() + "\n"; }, 5));
    EXPECT_EQ(ReadAll(Program), newProgram);
    EXPECT_TRUE(QFileInfo(Program).isExecutable());
    // The old program is kept beside it.
    EXPECT_EQ(ReadAll(InInstall("velora.bak")), Installed);
    // The script removes the download and itself from the working directory.
    EXPECT_TRUE(WaitFor([&] { return WorkDirEmpty(); }, 10));
}

TEST_F(SelfUpdateEndToEnd, TamperedUpdateIsRefusedAndTheProgramStaysAsItWas) {
    QByteArray newProgram = "#!/bin/sh\nexit 0\n";
    const QByteArray signature = Key.Sign(newProgram);
    newProgram[15] = '1'; // "exit 1", after signing
    Offer(newProgram, signature);
    StartOld();
    ASSERT_TRUE(WaitFor([&] { return !Logged(QStringLiteral("message")).isEmpty(); }, 60))
        << OldLog();
    EXPECT_EQ(Logged(QStringLiteral("message")), QStringList{kBadSignature});
    EXPECT_TRUE(Downloaded());
    // Told, with the download already gone; the program goes on.
    EXPECT_EQ(Logged(QStringLiteral("files")), QStringList{QString()});
    EXPECT_TRUE(WorkDirEmpty());
    EXPECT_EQ(Old.state(), QProcess::Running);
    EXPECT_EQ(ReadAll(Program), Installed);
    EXPECT_EQ(QDir(Install).entryList(QDir::Files), QStringList({"data.ini", "velora"}));
}

TEST_F(SelfUpdateEndToEnd, NewProgramThatDoesNotStartIsRolledBack) {
    const QByteArray broken = "#!/bin/sh\nexit 3\n";
    Offer(broken, Key.Sign(broken));
    StartOld();
    ASSERT_TRUE(Old.waitForFinished(60000)) << OldLog();
    EXPECT_EQ(Old.exitCode(), 0) << OldLog();
    // The script finds that "velora --version" fails, puts the old program
    // back and starts it: it runs a second time.
    ASSERT_TRUE(WaitFor([&] { return Started().size() == 2; }, 60)) << OldLog();
    EXPECT_EQ(ReadAll(Program), Installed);
    EXPECT_TRUE(QFileInfo(Program).isExecutable());
    EXPECT_EQ(ReadAll(InInstall("velora.bak")), Installed);
    EXPECT_FALSE(QFile::exists(InInstall("velora.new")));
    EXPECT_TRUE(WaitFor([&] { return WorkDirEmpty(); }, 10));
    EXPECT_TRUE(Running(Started()[1]));
}

TEST_F(SelfUpdateEndToEnd, UnwritableProgramFolderIsToldBeforeDownloadingAndOnlyOnce) {
    // A read-only mount of the install folder, in a mount namespace of the
    // program's own: no one, not even root, makes a file there.
    if (QProcess::execute(QStringLiteral("unshare"),
                          {"--user", "--map-root-user", "--mount", "true"}) != 0)
        GTEST_SKIP() << "no user and mount namespaces here";
    const QByteArray newProgram = "#!/bin/sh\nexit 0\n";
    Offer(newProgram, Key.Sign(newProgram));
    StartOld({"unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
              "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$1\"",
              Install});
    ASSERT_TRUE(WaitFor([&] { return LogLines().contains(QStringLiteral("checked again")); }, 60))
        << OldLog();
    EXPECT_EQ(Logged(QStringLiteral("message")), QStringList{kFolderNotWritable});
    // Asked once; the second check of this run finds the page and asks nothing.
    EXPECT_EQ(Logged(QStringLiteral("confirm")).size(), 1);
    EXPECT_EQ(Http.RequestLines().filter(QStringLiteral("/ustredna/velora/index.php")).size(), 2);
    EXPECT_FALSE(Downloaded());
    EXPECT_TRUE(WorkDirEmpty());
    EXPECT_EQ(Old.state(), QProcess::Running);
    EXPECT_EQ(ReadAll(Program), Installed);
}

} // namespace
