// The real program as a desktop citizen on a private Xvfb: one instance per
// user, the close button with and without a system tray (trayer), and the
// tray menu's "Konec".
#include "RealProgram.h"
#include "XWindows.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

class Citizen : public RealProgramTest {
protected:
    void SetUp() override {
        RealProgramTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Put(QStringLiteral("data.ini"),
            QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=420111@velora.example\r\n"
                           "web=127.0.0.1:%2\r\n")
                .arg(FreePort())
                .arg(FreePort())
                .toUtf8());
    }
    void TearDown() override {
        if (Trayer.state() != QProcess::NotRunning) {
            Trayer.kill();
            Trayer.waitForFinished(5000);
        }
        RealProgramTest::TearDown();
    }

    // A system tray on the display, ready before the program starts.
    void StartTray() {
        if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
            GTEST_SKIP() << "trayer is installed by scripts/setup";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), Display);
        Trayer.setProcessEnvironment(env);
        Trayer.start(QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                      QStringLiteral("right"), QStringLiteral("--widthtype"),
                      QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("200"),
                      QStringLiteral("--height"), QStringLiteral("24")});
        ASSERT_TRUE(Trayer.waitForStarted(10000));
        ASSERT_TRUE(PollDisplay([&] {
            return !Visible(QStringLiteral("--class"), QStringLiteral("trayer")).isEmpty();
        }));
    }

    // Ids of the visible windows that match.
    QStringList Visible(const QString& by, const QString& what) {
        return Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), by, what})
            .split(u'\n', Qt::SkipEmptyParts);
    }
    int Width(const QString& window) {
        const QString geometry = Xdotool({QStringLiteral("getwindowgeometry"), window});
        const qsizetype at = geometry.indexOf(QStringLiteral("Geometry: "));
        return at < 0 ? 0 : geometry.mid(at + 10).section(u'x', 0, 0).toInt();
    }
    // The program's windows by size: the main window is wide, the tray icon small.
    QString ProgramWindow(bool main) {
        for (const QString& id : Visible(QStringLiteral("--class"), QStringLiteral("velora"))) {
            const int width = Width(id);
            if (main ? width >= 300 : (width > 0 && width <= 64))
                return id;
        }
        return {};
    }
    // The program's visible windows with their sizes, for failure messages.
    std::string Windows() {
        QStringList all;
        for (const QString& id : Visible(QStringLiteral("--class"), QStringLiteral("velora")))
            all << id + u'@' + Xdotool({QStringLiteral("getwindowgeometry"), id}).simplified();
        return all.join(QStringLiteral(" | ")).toStdString();
    }

    // Starts the program once more and returns its exit code once it ended
    // (within 30 s; -1 when it did not).
    int StartAgain(qint64* ms = nullptr) {
        QProcess again;
        again.setProcessEnvironment(Environment);
        again.setWorkingDirectory(Folder.path());
        QElapsedTimer clock;
        clock.start();
        again.start(Exe, {});
        if (!again.waitForFinished(30000)) {
            again.kill();
            again.waitForFinished(5000);
            return -1;
        }
        if (ms)
            *ms = clock.elapsed();
        return again.exitStatus() == QProcess::NormalExit ? again.exitCode() : -1;
    }

    QProcess Trayer;
};

TEST_F(Citizen, ASecondStartHandsOverAndTouchesNothing) {
    StartTray();
    Start();
    ASSERT_TRUE(PollDisplay([&] { return !ProgramWindow(true).isEmpty(); }));
    // Closed to the tray: the second start must bring it back.
    ASSERT_TRUE(AskWindowToClose(Display, ProgramWindow(true)));
    ASSERT_TRUE(PollDisplay([&] { return ProgramWindow(true).isEmpty(); })) << Windows();

    const QString ini = QDir(Folder.path()).filePath(QStringLiteral("data.ini"));
    const QByteArray before = Get(QStringLiteral("data.ini"));
    const QDateTime modified = QFileInfo(ini).lastModified();
    qint64 ms = 0;
    EXPECT_EQ(StartAgain(&ms), 0);
    std::printf("second start handed over in %lld ms\n", static_cast<long long>(ms));
    EXPECT_TRUE(PollDisplay([&] { return !ProgramWindow(true).isEmpty(); }))
        << "the running program's window did not come back";
    EXPECT_EQ(Get(QStringLiteral("data.ini")), before);
    EXPECT_EQ(QFileInfo(ini).lastModified(), modified);
    EXPECT_FALSE(QFile::exists(QDir(Folder.path()).filePath(QStringLiteral("historie.dat"))));
    EXPECT_EQ(Velora.state(), QProcess::Running);
    Terminate();
}

TEST_F(Citizen, AfterACrashTheNextStartRuns) {
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty());
    Velora.kill(); // SIGKILL: the lock and the socket stay behind
    ASSERT_TRUE(Velora.waitForFinished(30000));
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the lock of the dead process was not taken over";
    EXPECT_EQ(StartAgain(), 0);
    EXPECT_EQ(Velora.state(), QProcess::Running);
    Terminate();
}

TEST_F(Citizen, WithATrayCloseHidesAndKonecQuitsAndSaves) {
    StartTray();
    Start();
    ASSERT_TRUE(PollDisplay([&] { return !ProgramWindow(true).isEmpty(); }));
    ASSERT_TRUE(AskWindowToClose(Display, ProgramWindow(true)));
    ASSERT_TRUE(PollDisplay([&] { return ProgramWindow(true).isEmpty(); })) << Windows();
    EXPECT_EQ(Velora.state(), QProcess::Running);
    EXPECT_FALSE(Get(QStringLiteral("data.ini")).contains("Rozmisteni"));

    // The tray menu by its icon; "Konec" is its last entry.
    const QString icon = ProgramWindow(false);
    ASSERT_FALSE(icon.isEmpty()) << "no tray icon";
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QStringLiteral("8"),
             QStringLiteral("8"), QStringLiteral("click"), QStringLiteral("3")});
    ASSERT_TRUE(PollDisplay([&] {
        return Visible(QStringLiteral("--class"), QStringLiteral("velora")).size() >= 2;
    })) << "the tray menu did not open";
    Xdotool({QStringLiteral("key"), QStringLiteral("Up"), QStringLiteral("Return")});
    ASSERT_TRUE(Velora.waitForFinished(30000));
    EXPECT_EQ(Velora.exitCode(), 0);
    EXPECT_TRUE(Get(QStringLiteral("data.ini")).contains("[Rozmisteni]"));
    EXPECT_TRUE(QFile::exists(QDir(Folder.path()).filePath(QStringLiteral("historie.dat"))));
}

TEST_F(Citizen, WithoutATrayCloseQuits) {
    Start();
    const QString window = WaitForWindow();
    ASSERT_FALSE(window.isEmpty());
    ASSERT_TRUE(AskWindowToClose(Display, window));
    ASSERT_TRUE(Velora.waitForFinished(30000));
    EXPECT_EQ(Velora.exitCode(), 0);
    EXPECT_TRUE(Get(QStringLiteral("data.ini")).contains("[Rozmisteni]"));
}

} // namespace
