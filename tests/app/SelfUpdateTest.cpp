// The window's self-update, headless: the recording desktop answers the
// prompt and records what the window did; the update page and the new
// executable come from the HTTP fixture on 127.0.0.1.
#include "SelfUpdate.h"

#include "HttpFixture.h"
#include "MinisignTestKey.h"
#include "RecordingDesktop.h"
#include "Unit1.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Records the progress bar as it stood at each pending-events call.
class TProgressDesktop : public TRecordingDesktop {
public:
    struct Bar {
        int Max;
        int Position;
    };
    std::vector<Bar> Bars;
    bool FailClose = false;
    // Where the bar's position is written at each report, for a fixture that
    // paces its pieces by it.
    QString ProgressFile;

    // Only while the bar is shown: the component's own transfers handle
    // pending events too.
    void ProcessMessages() override {
        TRecordingDesktop::ProcessMessages();
        if (!ProgressVisible)
            return;
        Bars.push_back({ProgressMax, ProgressPosition});
        QSaveFile file(ProgressFile);
        if (!ProgressFile.isEmpty() && file.open(QIODevice::WriteOnly)) {
            file.write(QByteArray::number(ProgressPosition));
            file.commit();
        }
    }
};

class SelfUpdate : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Http.Port(), 0);
        ASSERT_TRUE(QDir(Root.path()).mkpath(QStringLiteral("data dir")));
        ASSERT_TRUE(QDir(Root.path()).mkpath(QStringLiteral("work dir")));
        ASSERT_TRUE(QDir(Root.path()).mkpath(QStringLiteral("temp")));
        ASSERT_TRUE(QDir(Http.Root()).mkpath(QStringLiteral("ustredna/velora")));
        FOldCurrent = QDir::currentPath();
        FOldTemp = qgetenv("TMPDIR");
        // The working directory holds a blank, as install folders often do.
        QDir::setCurrent(WorkDir());
        qputenv("TMPDIR", TempDir().toLocal8Bit());
        Http.Put(QStringLiteral("velora.bin"), Program);
        Http.Put(QStringLiteral("velora.bin.minisig"), Key.Sign(Program, "Velora 1.10"));
    }
    void TearDown() override {
        Form.reset();
        QDir::setCurrent(FOldCurrent);
        qputenv("TMPDIR", FOldTemp);
    }

    QString DataDir() const { return Root.filePath(QStringLiteral("data dir")); }
    QString WorkDir() const { return Root.filePath(QStringLiteral("work dir")); }
    QString TempDir() const { return Root.filePath(QStringLiteral("temp")); }
    QString InWork(const char* name) const { return QDir(WorkDir()).filePath(QLatin1String(name)); }

    // The information page: the product, the offered version (none when
    // empty) and the download location ("{port}" stands for the fixture's).
    void ServePage(const QString& version,
                   QString download = QStringLiteral("127.0.0.1:{port}/velora.bin")) {
        download.replace(QStringLiteral("{port}"), QString::number(Http.Port()));
        QByteArray page = "<html><head>\r\n<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n";
        if (!version.isEmpty())
            page += "<META NAME=\"wuVersion\" CONTENT=\"" + version.toUtf8() + "\">\r\n";
        page += "<META NAME=\"wuDownload\" CONTENT=\"" + download.toUtf8() + "\">\r\n";
        page += "<META NAME=\"wuClientSideName\" CONTENT=\"setup.bin\">\r\n</head></html>\r\n";
        Http.Put(QStringLiteral("ustredna/velora/index.php"), page);
    }

    // A window whose data.ini points the product web server at the fixture;
    // more keys of "pripojeni" may follow.
    void Create(const QString& runningVersion = QStringLiteral("1.3"),
                const QByteArray& moreKeys = {}) {
        QFile ini(QDir(DataDir()).filePath(QStringLiteral("data.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[pripojeni]\r\nport=0\r\njmeno=420123@velora.example\r\nweb=127.0.0.1:" +
                  QByteArray::number(Http.Port()) + "\r\n" + moreKeys);
        ini.close();
        Form = std::make_unique<TForm1>(Desktop, DataDir());
        Form->running_version = runningVersion;
        Form->wuWebUpdate1->SetPublicKey(Key.PublicKeyText());
    }

    QString Prompt(const QString& running, const QString& offered) const {
        return QStringLiteral("Mate nainstalovanou verzi ") + running +
               QStringLiteral(", \r\nna webu je dostupna verze ") + offered +
               QStringLiteral(", \r\naktualizovat?") + QStringLiteral("\r\n\r\nVelora 1.10");
    }

    const QByteArray Program = QByteArray(100000, 'v') + "#end";
    TMinisignTestKey Key;
    QTemporaryDir Root;
    THttpFixture Http;
    TProgressDesktop Desktop;
    std::unique_ptr<TForm1> Form;

private:
    QString FOldCurrent;
    QByteArray FOldTemp;
};

TEST_F(SelfUpdate, ComponentIsSetUpForTheProductPage) {
    ServePage(QStringLiteral("1.3"));
    Create();
    Form->Timer1Timer();
    TwuWebUpdate& update = *Form->wuWebUpdate1;
    EXPECT_EQ(update.ProductInfo().URL(),
              QStringLiteral("http://127.0.0.1:%1/ustredna/velora/index.php").arg(Http.Port()));
    EXPECT_EQ(update.ProductInfo().Version(), QStringLiteral("1.3"));
    TwuTagInfo& tags = update.TagInfo();
    EXPECT_EQ(
        QStringList({tags.Author(), tags.Email(), tags.ClientFileName(), tags.Download(),
                     tags.ProductName(), tags.Redirection(), tags.RunParameters(), tags.Version()}),
        QStringList({"wuAuthor", "wuEmail", "wuClientSideName", "wuDownload", "wuProduct",
                     "wuRedirection", "wuRunParameters", "wuVersion"}));
    EXPECT_EQ(update.InfoCaption().OkButton(), QStringLiteral("&OK"));
    EXPECT_EQ(update.InfoCaption().CancelButton(), QStringLiteral("&Cancel"));
    EXPECT_EQ(update.InfoCaption().CheckForUpdate(),
              QStringLiteral("Kontrolovat nadále aktualizace"));
    EXPECT_EQ(update.Options(), TwuUpdateOptions());
    EXPECT_EQ(update.HTTPPort(), 80u);
    // No prompt for the same version, and the component fetches nothing more.
    EXPECT_EQ(Http.RequestLines(), QStringList({"GET /ustredna/velora/index.php HTTP/1.0"}));

    bool show = true, check = true;
    update.OnBeforeShowInfo(&update, show, check);
    EXPECT_FALSE(show);
    EXPECT_TRUE(check);
}

// Versions are compared part by part as numbers; text parts as text.
TEST_F(SelfUpdate, PromptOnlyForANewerVersion) {
    struct Case {
        const char* Running;
        const char* Offered;
        bool Prompt;
    } cases[] = {
        {"1.3", "1.4", true},  {"1.3", "1.10", true},   {"1.3", "1.3.1", true},
        {"1.3", "1.3", false}, {"1.3", "1.3.0", false}, {"1.3", "1.2.9", false},
        {"1.3", "", false},    {"", "1.0", true},       {"", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Running) + " against " + c.Offered);
        Desktop.Confirmations.clear();
        ServePage(QLatin1String(c.Offered));
        Create(QLatin1String(c.Running));
        Form->Timer1Timer();
        EXPECT_EQ(Desktop.Confirmations,
                  c.Prompt ? QStringList{Prompt(QLatin1String(c.Running), QLatin1String(c.Offered))}
                           : QStringList());
        EXPECT_FALSE(QFile::exists(InWork("update.sh")));
        Form.reset();
    }
}

TEST(SelfUpdateVersions, PartsThatAreNotNumbersCompareAsText) {
    struct Case {
        const char* Running;
        const char* Offered;
        bool Older;
    } cases[] = {
        {"1.3", "1.03", false},   {"1.3", "1.004", true},
        {"1.3b", "1.3c", true},   {"1.3", "1.3.a", true},
        {"1.10", "1.9b", true},   {"1.3", "1.3.", false},
        {"2", "10", true},        {"99999999999999999999.1", "100000000000000000000", true},
        {"1.4", "1.3.99", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsOlderVersion(QLatin1String(c.Running), QLatin1String(c.Offered)), c.Older)
            << c.Running << " against " << c.Offered;
}

TEST_F(SelfUpdate, NoLeavesTheProgramRunning) {
    ServePage(QStringLiteral("1.4"));
    Create();
    Desktop.ConfirmAnswers = {false};
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Confirmations, QStringList{Prompt("1.3", "1.4")});
    EXPECT_FALSE(QFile::exists(InWork("update.sh")));
    EXPECT_FALSE(QFile::exists(InWork("velora_new")));
    EXPECT_TRUE(Desktop.Opened.isEmpty());
    EXPECT_FALSE(Desktop.ProcessEnded);
    EXPECT_FALSE(Desktop.TimerEnabled()); // on to Idle, as after every first tick
    EXPECT_NE(Form->IdHTTP1, nullptr);
    // Nor does the component download anything by itself.
    EXPECT_EQ(QDir(TempDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    EXPECT_EQ(Http.RequestLines(), QStringList({"GET /ustredna/velora/index.php HTTP/1.0",
                                                "GET /velora.bin.minisig HTTP/1.0"}));
}

TEST_F(SelfUpdate, YesDownloadsStartsTheScriptAndEnds) {
    // The location on the page may already carry its scheme, in any case. The
    // paced download sends each piece once the previous one was reported.
    const int piece = 7000;
    for (const char* location : {"127.0.0.1:{port}/velora.bin?piece=7000&gate=progress",
                                 "HTTP://127.0.0.1:{port}/velora.bin"}) {
        SCOPED_TRACE(location);
        const bool paced = QString::fromLatin1(location).contains(u'?');
        Http.ClearLog();
        QFile::remove(QDir(Http.Root()).filePath(QStringLiteral("progress")));
        Desktop = TProgressDesktop();
        Desktop.ProgressFile = QDir(Http.Root()).filePath(QStringLiteral("progress"));
        Desktop.ConfirmAnswers = {true};
        QFile::remove(InWork("velora_new"));
        ServePage(QStringLiteral("1.10"), QLatin1String(location));
        Create();
        Form->Timer1Timer();

        // The trusted comment of the signature comes with the prompt.
        EXPECT_EQ(Desktop.Confirmations, QStringList{Prompt("1.3", "1.10")});
        EXPECT_EQ(ReadAll(InWork("update.sh")),
                  LinuxUpdateScript(WorkDir(), QCoreApplication::applicationFilePath(),
                                    QCoreApplication::applicationPid())
                      .toUtf8());
        EXPECT_EQ(ReadAll(InWork("velora_new")), Program);
        EXPECT_TRUE(QFileInfo(InWork("velora_new")).isExecutable());
        EXPECT_EQ(Desktop.Opened, QStringList{InWork("update.sh")});
        EXPECT_TRUE(Desktop.ProcessEnded);
        EXPECT_EQ(Form->IdHTTP1, nullptr);
        EXPECT_TRUE(Desktop.Messages.isEmpty());
        // The window closed: FormClose saved the settings.
        EXPECT_TRUE(ReadAll(QDir(DataDir()).filePath(QStringLiteral("data.ini")))
                        .contains("jmeno=420123@velora.example"));

        // The bar followed the download, with the pending events handled at
        // each report (every piece that arrived on its own), and is hidden again.
        ASSERT_FALSE(Desktop.Bars.empty());
        std::vector<int> reported;
        for (const TProgressDesktop::Bar& bar : Desktop.Bars)
            reported.push_back(bar.Position);
        for (int end = piece; paced && end < Program.size(); end += piece)
            EXPECT_NE(std::find(reported.begin(), reported.end(), end), reported.end())
                << "no report after " << end << " bytes";
        for (const TProgressDesktop::Bar& bar : Desktop.Bars)
            EXPECT_EQ(bar.Max, Program.size());
        EXPECT_EQ(Desktop.Bars.back().Position, Program.size());
        EXPECT_FALSE(Desktop.ProgressVisible);

        const QString log = Http.Log();
        const qsizetype download = log.indexOf(QStringLiteral("GET /velora.bin"));
        ASSERT_GE(download, 0);
        const QString request = log.mid(download);
        EXPECT_TRUE(request.contains(
            QStringLiteral("User-Agent: Mozilla/3.0 (compatible; Indy Library)\n")));
        EXPECT_TRUE(request.contains(QStringLiteral(
            "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\n")));
        EXPECT_FALSE(request.contains(QStringLiteral("Cookie"), Qt::CaseInsensitive));
        EXPECT_FALSE(request.contains(QStringLiteral("Authorization"), Qt::CaseInsensitive));
        Form.reset();
    }
}

// Errors in writing the script or in the download reach the first tick,
// whose caller reports them; the timer keeps running and nothing is started.
TEST_F(SelfUpdate, FailedDownloadOrScriptReachesTheTick) {
    struct Case {
        const char* Name;
        const char* Location;
        bool ScriptBlocked;
    } cases[] = {
        {"HTTP error status", "127.0.0.1:{port}/missing.bin", false},
        {"broken connection", "127.0.0.1:{port}/velora.bin?length=200000", false},
        {"no server", "127.0.0.1:1/velora.bin", false},
        {"script cannot be written", "127.0.0.1:{port}/velora.bin", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Desktop = TProgressDesktop();
        Desktop.ConfirmAnswers = {true};
        QFile::remove(InWork("update.sh"));
        QDir(InWork("update.sh")).removeRecursively();
        if (c.ScriptBlocked) {
            ASSERT_TRUE(QDir(WorkDir()).mkdir(QStringLiteral("update.sh")));
        }
        ServePage(QStringLiteral("1.4"), QLatin1String(c.Location));
        Create();
        EXPECT_THROW(Form->Timer1Timer(), std::runtime_error);
        EXPECT_TRUE(Desktop.TimerEnabled());
        EXPECT_FALSE(Form->first_tick);
        EXPECT_FALSE(QFile::exists(InWork("velora_new")));
        EXPECT_TRUE(Desktop.Opened.isEmpty());
        EXPECT_FALSE(Desktop.ProcessEnded);
        EXPECT_FALSE(Desktop.ProgressVisible);
        // Nothing of a failed update is left behind.
        EXPECT_FALSE(QFileInfo(InWork("update.sh")).isFile());
        EXPECT_EQ(QDir(WorkDir()).entryList(QDir::Files | QDir::Hidden), QStringList());
        EXPECT_EQ(Form->IdHTTP1, nullptr);
        // Later ticks are ordinary ticks.
        Form->Timer1Timer();
        EXPECT_EQ(Desktop.Status[0], QStringLiteral("offline"));
        Form.reset();
    }
    QDir(InWork("update.sh")).removeRecursively();
}

TEST_F(SelfUpdate, WindowThatCannotCloseKeepsTheProgramRunning) {
    ServePage(QStringLiteral("1.4"));
    Create();
    Desktop.ConfirmAnswers = {true};
    // historie.dat cannot be replaced by a file, so FormClose fails.
    ASSERT_TRUE(QDir(DataDir()).mkdir(QStringLiteral("historie.dat")));
    Form->Timer1Timer();
    // The script is started only after the window has closed.
    EXPECT_TRUE(Desktop.Opened.isEmpty());
    EXPECT_EQ(Desktop.Messages, QStringList{"Nepodarilo se spustit aktualizaci"});
    EXPECT_EQ(QDir(WorkDir()).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_FALSE(Desktop.ProcessEnded);
    EXPECT_TRUE(Desktop.Errors.isEmpty());
    EXPECT_EQ(Form->IdHTTP1, nullptr);
    EXPECT_FALSE(Desktop.TimerEnabled());
}

TEST(SelfUpdateLocation, SchemeIsAddedOnlyWhenMissing) {
    const std::pair<const char*, const char*> cases[] = {
        {"www.velora.example/velora", "http://www.velora.example/velora"},
        {"http://www.velora.example/velora", "http://www.velora.example/velora"},
        {"HTTPS://www.velora.example/velora", "HTTPS://www.velora.example/velora"},
        {"Http://x", "Http://x"},
        {"httpx://x", "http://httpx://x"},
        {"http:/x", "http://http:/x"},
        {"", "http://"},
    };
    for (const auto& [location, address] : cases)
        EXPECT_EQ(DownloadLocation(QLatin1String(location)), QLatin1String(address)) << location;
}

TEST(SelfUpdateScripts, PathsAreQuotedAndTheRunningExecutableIsReplaced) {
    const QString script = LinuxUpdateScript(QStringLiteral("/home/jan/my work"),
                                             QStringLiteral("/opt/Velora 2/it's/velora"), 4242);
    EXPECT_TRUE(script.startsWith(QStringLiteral("#!/bin/sh\n")));
    for (const char* part : {
             "while kill -0 4242 2>/dev/null",
             "cp -p '/opt/Velora 2/it'\\''s/velora' '/opt/Velora 2/it'\\''s/velora.bak'",
             "cp '/home/jan/my work/velora_new' '/opt/Velora 2/it'\\''s/velora.new'",
             "timeout 20 '/opt/Velora 2/it'\\''s/velora' --version",
             "rm -f '/home/jan/my work/velora_new'\nrm -f '/home/jan/my work/update.sh'\n",
         })
        EXPECT_TRUE(script.contains(QLatin1String(part))) << part << "\n" << script.toStdString();
    EXPECT_EQ(WindowsUpdateScript(QStringLiteral("C:/Users/Jan Novak/Desktop"),
                                  QStringLiteral("C:\\Program Files\\Velora 100%\\velora.exe")),
              QStringLiteral("ping 127.0.0.1 -n 10 -w 1000 > NUL\r\n"
                             "copy \"C:\\Users\\Jan Novak\\Desktop\\velora_new.exe\" "
                             "\"C:\\Program Files\\Velora 100%%\\velora.exe\"\r\n"
                             "\"C:\\Program Files\\Velora 100%%\\velora.exe\"\r\n"
                             "del \"C:\\Users\\Jan Novak\\Desktop\\velora_new.exe\"\r\n"
                             "del \"C:\\Users\\Jan Novak\\Desktop\\update.bat\"\r\n"
                             "ping 127.0.0.1 -n 20 -w 1000 > NUL\r\n"));
    EXPECT_EQ(WindowsUpdateScript(QStringLiteral("C:\\"), QStringLiteral("C:\\velora.exe"))
                  .section(QStringLiteral("\r\n"), 1, 1),
              QStringLiteral("copy \"C:\\velora_new.exe\" \"C:\\velora.exe\""));
}

// Only what the publisher signed is installed; nothing else stays behind.
TEST_F(SelfUpdate, UnsignedUpdateIsRefusedAndNothingIsLeft) {
    TMinisignTestKey other;
    QByteArray tampered = Program;
    tampered[10] = 'x';
    const std::pair<const char*, QByteArray> cases[] = {
        {"tampered", Key.Sign(tampered)},
        {"another key", other.Sign(Program)},
        {"malformed", "untrusted comment: x\nnot base64\n"},
    };
    for (const auto& [name, signature] : cases) {
        SCOPED_TRACE(name);
        Desktop = TProgressDesktop();
        Desktop.ConfirmAnswers = {true};
        Http.Put(QStringLiteral("velora.bin.minisig"), signature);
        ServePage(QStringLiteral("1.4"));
        Create();
        Form->Timer1Timer();
        EXPECT_EQ(Desktop.Confirmations.size(), 1);
        EXPECT_EQ(Desktop.Messages, QStringList{QStringLiteral(
                                        "Aktualizace nemá platný podpis, nebyla nainstalována.")});
        EXPECT_EQ(QDir(WorkDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList());
        EXPECT_TRUE(Desktop.Opened.isEmpty());
        EXPECT_FALSE(Desktop.ProcessEnded);
        Form.reset();
    }
}

// The file and its signature come over https from a server whose issuer
// the deployment's "ca" names.
TEST_F(SelfUpdate, SignedUpdateIsInstalledOverHttpsWithTheDeploymentsCa) {
    const THttpFixture tls(WU_CERTS_MAKE);
    ASSERT_NE(tls.Port(), 0);
    tls.Put(QStringLiteral("velora.bin"), Program);
    tls.Put(QStringLiteral("velora.bin.minisig"), Key.Sign(Program, "Velora 1.10"));
    ServePage(QStringLiteral("1.4"), tls.Url(QStringLiteral("/velora.bin")));
    Create(QStringLiteral("1.3"), "ca=" + tls.CaFile().toUtf8() + "\r\n");
    Desktop.ConfirmAnswers = {true};
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Confirmations, QStringList{Prompt("1.3", "1.4")});
    EXPECT_EQ(ReadAll(InWork("velora_new")), Program);
    EXPECT_EQ(Desktop.Opened, QStringList{InWork("update.sh")});
    EXPECT_EQ(tls.RequestLines(),
              QStringList({"GET /velora.bin.minisig HTTP/1.0", "GET /velora.bin HTTP/1.1"}));
}

TEST_F(SelfUpdate, BuildWithoutAPublicKeySaysSoOnceAndDownloadsNothing) {
    ServePage(QStringLiteral("1.4"));
    Create();
    Form->wuWebUpdate1->SetPublicKey({});
    Form->Timer1Timer();
    EXPECT_TRUE(Desktop.Confirmations.isEmpty());
    ASSERT_EQ(Desktop.Messages.size(), 1);
    EXPECT_TRUE(Desktop.Messages[0].contains(QStringLiteral("nelze nainstalovat")));
    EXPECT_EQ(Http.RequestLines(), QStringList({"GET /ustredna/velora/index.php HTTP/1.0"}));
    // A later check in this run does not say it again.
    Form->wuWebUpdate1->CheckForAnUpdate();
    EXPECT_EQ(Desktop.Messages.size(), 1);
}

} // namespace
