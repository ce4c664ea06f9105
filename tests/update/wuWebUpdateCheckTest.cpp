#include "HttpFixture.h"
#include "MinisignTestKey.h"
#include "RecordingDesktop.h"
#include "TestWebUpdate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray Meta(const char* name, const QString& content) {
    return QStringLiteral("<META NAME=\"%1\" CONTENT=\"%2\">\r\n")
        .arg(QLatin1String(name), content)
        .toUtf8();
}

// An information page offering version 2.0, with its update file at download.
QByteArray InfoPage(const QString& download, const QString& version = QStringLiteral("2.0")) {
    return "<html><head>\r\n" + Meta("wuProduct", "Velora") + Meta("wuVersion", version) +
           Meta("wuDownload", download) + Meta("wuClientSideName", "velora_new.bin") +
           Meta("wuRunParameters", "--update now") + "</head><body>Velora</body></html>\r\n";
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray kUpdateFile = QByteArray(5000, 'u') + "end";

class WebUpdateCheckTest : public testing::Test {
protected:
    static void SetUpTestSuite() { Server = new THttpFixture; }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(Server->Port(), 0) << "the fixture server did not start";
        Server->ClearLog();
        FOldTemp = qgetenv("TMPDIR");
        qputenv("TMPDIR", Temp.path().toLocal8Bit());
        Server->Put("update.bin", kUpdateFile);
        Server->Put("update.bin.minisig", Key.Sign(kUpdateFile));
        Server->Put("info.html", InfoPage("/update.bin"));
        Update.SetPublicKey(Key.PublicKeyText());
        Update.SetHTTPPort(Server->Port());
        Update.ProductInfo().SetURL("http://127.0.0.1/info.html");
    }
    void TearDown() override { qputenv("TMPDIR", FOldTemp); }

    QString TempFile(const QString& name = QStringLiteral("velora_new.bin")) const {
        return Temp.filePath(name);
    }

    static THttpFixture* Server;
    TMinisignTestKey Key;
    QTemporaryDir Temp;
    TRecordingDesktop Desktop;
    TTestWebUpdate Update{&Desktop};
    TEventLog Log{Update};

private:
    QByteArray FOldTemp;
};

THttpFixture* WebUpdateCheckTest::Server = nullptr;

// --- the page ---

TEST_F(WebUpdateCheckTest, PageRequestHasItsFixedLineAndHeadersAndIsReadInSmallChunks) {
    QByteArray page = InfoPage("/update.bin");
    page += QByteArray(4000, ' ') + "\r\n" + Meta("wuAuthor", "Velora team");
    Server->Put("info.html", page);
    Update.ProductInfo().SetURL("127.0.0.1/info.html?lang=cs&x=/1");
    Update.GetInfo();

    ASSERT_TRUE(Update.DownloadResult());
    const QString log = Server->Log();
    EXPECT_TRUE(log.startsWith("GET /info.html?lang=cs&x=/1 HTTP/1.0\n")) << qPrintable(log);
    EXPECT_TRUE(log.contains(QStringLiteral("Host: 127.0.0.1:%1\n").arg(Server->Port())));
    EXPECT_TRUE(log.contains("User-Agent: TwuWebUpdate\n"));
    EXPECT_TRUE(log.contains("Accept: */*\n"));
    EXPECT_TRUE(log.contains("Pragma: no-cache\n"));
    EXPECT_FALSE(log.contains("Authorization"));
    EXPECT_FALSE(log.contains("Cookie"));

    EXPECT_EQ(Update.ProductName(), "Velora");
    EXPECT_EQ(Update.ProductVersion(), "2.0");
    EXPECT_EQ(Update.Author(), "Velora team");
    EXPECT_EQ(Update.Info().last(), "<META NAME=\"wuAuthor\" CONTENT=\"Velora team\">");

    ASSERT_FALSE(Log.Counts.isEmpty());
    EXPECT_EQ(Log.Counts.last(), page.size());
    for (qsizetype i = 0; i < Log.Counts.size(); ++i) {
        const int chunk = Log.Counts[i] - (i ? Log.Counts[i - 1] : 0);
        EXPECT_TRUE(chunk > 0 && chunk <= 1025) << "chunk " << i << ": " << chunk;
        EXPECT_EQ(Log.Totals[i], page.size());
    }
    EXPECT_EQ(Desktop.MessagesProcessed, Log.Counts.size());
}

TEST_F(WebUpdateCheckTest, ServedPageIsReadByTheMetaRules) {
    Server->Put("rules.html", "<html><head>\r\n" + Meta("wuProduct", "Velora") +
                                  "<meta name=\"wuAuthor\" content=\"lower case\">\n"
                                  "content=\"x@velora.example\" <META NAME=\"wuEmail\">\r" +
                                  Meta("wuRunParameters", QString(254, 'p')) +
                                  Meta("wuDownload", QString(255, 'd')) + Meta("wuVersion", "1.0") +
                                  Meta("wuVersion", "2.5") + "</head></html>");
    Update.ProductInfo().SetURL("http://127.0.0.1/rules.html");
    Update.GetInfo();
    ASSERT_TRUE(Update.DownloadResult());
    EXPECT_EQ(Update.ProductName(), "Velora");
    EXPECT_TRUE(Update.Author().isEmpty());
    EXPECT_EQ(Update.EMail(), "x@velora.example");
    EXPECT_EQ(Update.RunParameters(), QString(254, 'p'));
    EXPECT_TRUE(Update.UpdateURL().isEmpty());
    EXPECT_EQ(Update.ProductVersion(), "2.5");
}

TEST_F(WebUpdateCheckTest, CredentialsAreOfferedWhenSet) {
    Update.SetUserName("user");
    Update.SetPassword("secret");
    Update.GetInfo();
    EXPECT_TRUE(Server->Log().contains("Authorization: Basic dXNlcjpzZWNyZXQ=\n"));
}

TEST_F(WebUpdateCheckTest, PageWithoutLengthIsReadWholeAndReportsTheLastAnnouncedTotal) {
    const QByteArray page = InfoPage("/update.bin") + QByteArray(3000, '.');
    Server->Put("info.html", page);
    Update.ProductInfo().SetURL("http://127.0.0.1/info.html?length=none");
    Update.GetInfo();
    ASSERT_TRUE(Update.DownloadResult());
    EXPECT_EQ(Update.ProductVersion(), "2.0");
    EXPECT_EQ(Log.Counts.last(), page.size());
    EXPECT_EQ(Log.Totals.first(), 0) << "a new component has announced nothing yet";

    Server->Put("short.html", "12345");
    Update.ProductInfo().SetURL("http://127.0.0.1/short.html");
    Update.GetInfo();
    Update.ProductInfo().SetURL("http://127.0.0.1/info.html?length=none");
    Log.Totals.clear();
    Update.GetInfo();
    EXPECT_EQ(Log.Totals.last(), 5);
}

TEST_F(WebUpdateCheckTest, ErrorStatusPageIsADownloadError) {
    for (const char* status : {"500", "404", "302"}) {
        Log.Events.clear();
        Update.ProductInfo().SetURL(QStringLiteral("http://127.0.0.1/info.html?status=") + status);
        Update.GetInfo();
        EXPECT_FALSE(Update.DownloadResult()) << status;
        EXPECT_TRUE(Update.ProductVersion().isEmpty());
        EXPECT_EQ(Log.Events, QStringList{"DownloadError"});
    }
}

TEST_F(WebUpdateCheckTest, ServerRedirectionAndAPortInTheAddressAreFollowed) {
    Update.SetHTTPPort(9);
    Update.ProductInfo().SetURL(
        QStringLiteral("127.0.0.1:%1/old.html?location=%2")
            .arg(Server->Port())
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(Server->Url("/info.html")))));
    Update.GetInfo();
    EXPECT_EQ(Server->RequestLines().size(), 2);
    EXPECT_EQ(Update.ProductVersion(), "2.0");
}

TEST_F(WebUpdateCheckTest, RedirectionChainIsFollowedToItsEnd) {
    Server->Put("a.html", Meta("wuProduct", "A") + Meta("wuRedirection", "127.0.0.1/b.html"));
    Server->Put("b.html", Meta("wuVersion", "9.9") +
                              Meta("wuRedirection", "http://127.0.0.1/info.html?from=b"));
    Update.ProductInfo().SetURL("http://127.0.0.1/a.html");
    Update.GetInfo();
    EXPECT_EQ(Server->RequestLines(), QStringList({"GET /a.html HTTP/1.0", "GET /b.html HTTP/1.0",
                                                   "GET /info.html?from=b HTTP/1.0"}));
    EXPECT_EQ(Update.ProductName(), "Velora");
    EXPECT_EQ(Update.ProductVersion(), "2.0");
    EXPECT_TRUE(Update.RedirectionURL().isEmpty());
}

TEST_F(WebUpdateCheckTest, RedirectionLoopEndsAsAFailedFetch) {
    Server->Put("loop.html",
                InfoPage("/update.bin") + Meta("wuRedirection", "http://127.0.0.1/loop.html"));
    Update.ProductInfo().SetURL("http://127.0.0.1/loop.html");
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Server->RequestLines().size(), 11) << "the page and ten redirections";
    EXPECT_EQ(Log.Events, QStringList({"BeforeGetInfo", "Download", "DownloadError", "AfterGetInfo",
                                       "DownloadError"}));
    EXPECT_FALSE(Update.Active());
}

TEST_F(WebUpdateCheckTest, PageOverFourMebibytesFailsAndIsNotRead) {
    const qsizetype limit = 4 * 1024 * 1024;
    QByteArray page = InfoPage("/update.bin", "3.0");
    page += QByteArray(limit - page.size(), 'x');
    Server->Put("big.html", page);
    Update.ProductInfo().SetURL("http://127.0.0.1/big.html");
    Update.GetInfo();
    ASSERT_TRUE(Update.DownloadResult()) << "exactly 4 MiB is still a page";
    EXPECT_EQ(Update.ProductVersion(), "3.0");
    const QStringList before = Update.Info();

    Server->Put("big.html", page + "x");
    Log.Events.clear();
    Update.GetInfo();
    EXPECT_FALSE(Update.DownloadResult());
    EXPECT_EQ(Log.Events, QStringList({"Download", "DownloadError"}));
    EXPECT_TRUE(Update.ProductVersion().isEmpty());
    EXPECT_EQ(Update.Info(), before);
}

TEST_F(WebUpdateCheckTest, UnreachableServerFailsTheCheck) {
    quint16 closedPort = 0;
    {
        THttpFixture gone;
        closedPort = gone.Port();
    }
    Update.SetHTTPPort(closedPort);
    Update.InfoLines() = {"kept"};
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events,
              QStringList({"BeforeGetInfo", "DownloadError", "AfterGetInfo", "DownloadError"}));
    EXPECT_EQ(Update.Info(), QStringList({"kept"}));
}

TEST_F(WebUpdateCheckTest, PageWithoutProductOrVersionFailsAfterReadingIt) {
    Server->Put("noname.html", Meta("wuVersion", "2.0"));
    Update.ProductInfo().SetURL("http://127.0.0.1/noname.html");
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events,
              QStringList({"BeforeGetInfo", "Download", "AfterGetInfo", "DownloadError"}));
}

TEST_F(WebUpdateCheckTest, SecureAddressIsFetchedOverTls) {
    // The fixture speaks plain HTTP: a TLS handshake fails there, and no
    // mangled "http://https://…" request may reach it either.
    Update.ProductInfo().SetURL(
        QStringLiteral("https://127.0.0.1:%1/info.html").arg(Server->Port()));
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_TRUE(Server->RequestLines().isEmpty()) << qPrintable(Server->Log());
    EXPECT_EQ(Log.Events,
              QStringList({"BeforeGetInfo", "DownloadError", "AfterGetInfo", "DownloadError"}));
}

TEST_F(WebUpdateCheckTest, ProxyFromTheEnvironmentIsUsed) {
    const QByteArray oldProxy = qgetenv("http_proxy");
    const QByteArray oldNoProxy = qgetenv("no_proxy");
    const QByteArray oldNoProxyUpper = qgetenv("NO_PROXY");
    qputenv("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(Server->Port()).toLatin1());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    Update.SetHTTPPort(80);
    Update.ProductInfo().SetURL("http://www.velora.example/info.html");
    Update.GetInfo();
    qputenv("http_proxy", oldProxy);
    qputenv("no_proxy", oldNoProxy);
    qputenv("NO_PROXY", oldNoProxyUpper);
    EXPECT_EQ(Server->RequestLines(),
              QStringList({"GET http://www.velora.example/info.html HTTP/1.0"}));
    EXPECT_EQ(Update.ProductVersion(), "2.0");
}

// --- the whole check ---

TEST_F(WebUpdateCheckTest, DefaultCheckShowsTheDialogDownloadsRunsAndTerminates) {
    bool activeInside = false;
    Update.OnBeforeDownload = [&](TwuWebUpdate*, const QString&) {
        activeInside = Update.Active();
    };
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_FALSE(Update.Active());
    EXPECT_TRUE(activeInside);

    EXPECT_EQ(Log.Events,
              QStringList({"BeforeGetInfo", "Download", "AfterGetInfo", "UpdateAvailable 1.0 2.0",
                           "BeforeShowInfo", "AfterShowInfo checked", "GetClientFileName",
                           "Download", "AfterDownload"}))
        << "OnBeforeDownload was replaced above";
    EXPECT_EQ(Desktop.Dialog.Shown, 1);
    EXPECT_EQ(Desktop.Dialog.Url, "http://127.0.0.1/info.html");
    EXPECT_EQ(Desktop.Dialog.Captions,
              QStringList({"&OK", "&Cancel", "C&heck for updates in the future"}));
    EXPECT_TRUE(Desktop.Dialog.InitialCheck);
    EXPECT_EQ(ReadFile(TempFile()), kUpdateFile);
    EXPECT_EQ(Desktop.Started, QStringList({TempFile() + "|--update now"}));
    EXPECT_EQ(Desktop.TerminateRequests, 1);
    EXPECT_EQ(Server->RequestLines(),
              QStringList({"GET /info.html HTTP/1.0", "GET /update.bin HTTP/1.0",
                           "GET /update.bin.minisig HTTP/1.0"}));
}

TEST_F(WebUpdateCheckTest, NoNewerVersionEndsTheCheck) {
    Update.ProductInfo().SetVersion("2.0");
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events,
              QStringList({"BeforeGetInfo", "Download", "AfterGetInfo", "NoUpdateFound"}));
}

TEST_F(WebUpdateCheckTest, SkippedDialogCountsAsConsent) {
    Update.OnBeforeShowInfo = [](TwuWebUpdate*, bool& showInfo, bool&) {
        showInfo = false;
    };
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(Desktop.DialogsCreated, 0);
    EXPECT_FALSE(Log.Events.join(',').contains("AfterShowInfo"));
    EXPECT_EQ(ReadFile(TempFile()), kUpdateFile);
}

TEST_F(WebUpdateCheckTest, DialogStartsWithTheOwnersCheckBoxStateAndReportsTheUsersChoice) {
    Update.OnBeforeShowInfo = [](TwuWebUpdate*, bool&, bool& check) {
        check = false;
    };
    Update.InfoCaption().SetCheckForUpdate("Kontrolovat nadále aktualizace");
    Desktop.Dialog.UserTouchesCheck = true;
    Desktop.Dialog.UserCheck = true;
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_FALSE(Desktop.Dialog.InitialCheck);
    EXPECT_EQ(Desktop.Dialog.Captions.last(), "Kontrolovat nadále aktualizace");
    EXPECT_TRUE(Log.Events.contains("AfterShowInfo checked"));

    // The dialog is kept for the next check and shown again.
    Update.OnBeforeShowInfo = nullptr;
    Desktop.Dialog.UserCheck = false;
    Update.SetOptions(uoOverwrite);
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_TRUE(Desktop.Dialog.InitialCheck);
    EXPECT_TRUE(Log.Events.contains("AfterShowInfo cleared"));
    EXPECT_EQ(Desktop.DialogsCreated, 1);
    EXPECT_EQ(Desktop.Dialog.Shown, 2);
}

TEST_F(WebUpdateCheckTest, CancelInTheDialogDownloadsNothing) {
    Desktop.Dialog.Answer = false;
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events.last(), "AfterShowInfo checked");
    EXPECT_FALSE(QFileInfo::exists(TempFile()));
    EXPECT_EQ(Server->RequestLines().size(), 1);
}

TEST_F(WebUpdateCheckTest, OwnerRefusingTheUpdateEndsTheCheck) {
    Update.OnUpdateAvailable = [](TwuWebUpdate*, const QString&, const QString&, bool& canUpdate) {
        canUpdate = false;
    };
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Desktop.Dialog.Shown, 0);
    EXPECT_FALSE(QFileInfo::exists(TempFile()));
}

TEST_F(WebUpdateCheckTest, TargetFolderIsUsedOnlyWhenItExists) {
    QTemporaryDir target;
    Update.SetOptions({});
    Update.SetTargetFolder(target.path() + "/missing");
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(ReadFile(TempFile()), kUpdateFile);

    QString used;
    Update.OnAfterDownload = [&](TwuWebUpdate*, const QString& name) {
        used = name;
    };
    Update.SetTargetFolder(target.path());
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(used, target.path() + "/velora_new.bin");
    EXPECT_EQ(ReadFile(used), kUpdateFile);
}

TEST_F(WebUpdateCheckTest, ReplacedFileNameIsTestedAndUsed) {
    QFile existing(TempFile());
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    Update.OnGetClientFileName = [this](TwuWebUpdate*, QString& name) {
        EXPECT_EQ(name, TempFile());
        name = TempFile("renamed.bin");
    };
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_FALSE(Log.Events.contains("ClientFileExists"));
    EXPECT_EQ(ReadFile(TempFile("renamed.bin")), kUpdateFile);
    EXPECT_TRUE(ReadFile(TempFile()).isEmpty());
}

TEST_F(WebUpdateCheckTest, ExistingFileIsKeptUnlessOverwriteIsAllowed) {
    QFile existing(TempFile());
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old");
    existing.close();
    Update.OnClientFileExists = nullptr;
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events.mid(Log.Events.indexOf("GetClientFileName")),
              QStringList({"GetClientFileName", "DownloadError"}));
    EXPECT_EQ(ReadFile(TempFile()), "old");

    Update.SetOptions(TwuUpdateOptions(uoRunUpdate) | uoOverwrite);
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(ReadFile(TempFile()), kUpdateFile);

    // The owner's answer wins over the option, and its new name is not tested again.
    Update.OnClientFileExists = [this](TwuWebUpdate*, QString& name, bool& overwrite) {
        EXPECT_TRUE(overwrite);
        overwrite = false;
        name = TempFile("other.bin");
    };
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_FALSE(QFileInfo::exists(TempFile("other.bin")));
}

TEST_F(WebUpdateCheckTest, RunAndTerminateFollowTheOptions) {
    struct TCase {
        TwuUpdateOptions Options;
        bool StartSucceeds;
        int Started;
        int Terminated;
        bool CannotExecute;
    };
    const TCase cases[] = {
        {uoTerminate | uoOverwrite, true, 0, 0, false},
        {uoRunUpdate | uoOverwrite, true, 1, 0, false},
        {uoRunUpdate | uoTerminate | uoOverwrite, false, 1, 1, true},
        {uoOverwrite, true, 0, 0, false},
    };
    for (const TCase& c : cases) {
        Desktop.Started.clear();
        Desktop.TerminateRequests = 0;
        Desktop.StartSucceeds = c.StartSucceeds;
        Log.Events.clear();
        Update.SetOptions(c.Options);
        EXPECT_TRUE(Update.CheckForAnUpdate()) << c.Options.toInt();
        EXPECT_EQ(Desktop.Started.size(), c.Started) << c.Options.toInt();
        EXPECT_EQ(Desktop.TerminateRequests, c.Terminated) << c.Options.toInt();
        EXPECT_EQ(Log.Events.last() == "CannotExecute", c.CannotExecute) << c.Options.toInt();
    }
}

TEST_F(WebUpdateCheckTest, NestedCheckDuringATransferIsTurnedAway) {
    int nested = 0;
    Desktop.DuringMessages = [&] {
        const qsizetype before = Log.Events.size();
        EXPECT_FALSE(Update.CheckForAnUpdate());
        EXPECT_EQ(Log.Events.size(), before);
        ++nested;
    };
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_GT(nested, 1);
}

struct TFileCase {
    const char* Name;
    const char* Query;
};

class WebUpdateFileTest : public WebUpdateCheckTest,
                          public testing::WithParamInterface<TFileCase> {};

TEST_P(WebUpdateFileTest, MismatchedLengthFailsTheDownload) {
    Server->Put("info.html", InfoPage(QStringLiteral("/update.bin?") + GetParam().Query));
    EXPECT_FALSE(Update.CheckForAnUpdate());
    const QStringList tail = Log.Events.mid(Log.Events.indexOf("BeforeDownload") + 1);
    ASSERT_GE(tail.size(), 2) << qPrintable(Log.Events.join(','));
    EXPECT_EQ(tail.last(2), QStringList({"DownloadError", "AfterDownload"}));
    // Nothing of a failed download is left.
    EXPECT_FALSE(QFileInfo::exists(TempFile()));
    EXPECT_EQ(QDir(Temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList());
    EXPECT_TRUE(Desktop.Started.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Cases, WebUpdateFileTest,
                         testing::Values(TFileCase{"NoLength", "length=none"},
                                         TFileCase{"LongerAnnounced", "length=6000"},
                                         TFileCase{"ShorterAnnounced", "length=4000"},
                                         TFileCase{"OverTheLimit", "length=536870913"},
                                         TFileCase{"Empty", "length=0"},
                                         TFileCase{"ErrorStatus", "status=404"}),
                         [](const auto& info) { return info.param.Name; });

TEST_F(WebUpdateCheckTest, UnreadableLengthEndsTheTransferWithoutAnEvent) {
    for (const char* length : {"length=12x", "length=9999999999999999999999"}) {
        Log.Events.clear();
        Server->Put("info.html", InfoPage(QStringLiteral("/update.bin?") + length));
        EXPECT_FALSE(Update.CheckForAnUpdate());
        ASSERT_GE(Log.Events.size(), 2);
        EXPECT_EQ(Log.Events.last(2), QStringList({"BeforeDownload", "AfterDownload"}));
    }
}

TEST_F(WebUpdateCheckTest, AbortFromOnDownloadStopsBeforeTheNextRead) {
    // The fixture sends the next piece only once the report of the one before
    // has aborted the transfer.
    Server->Put("info.html", InfoPage("/update.bin?piece=1000&gate=progress"));
    bool downloading = false;
    Update.OnBeforeDownload = [&](TwuWebUpdate*, const QString&) {
        downloading = true;
    };
    int reportsAfterAbort = 0;
    std::int32_t written = 0;
    Update.OnDownload = [&](TwuWebUpdate* sender, std::int32_t, std::int32_t downloaded) {
        if (!downloading)
            return;
        ++reportsAfterAbort;
        written = downloaded;
        sender->Abort();
        Server->Put("progress", QByteArray::number(downloaded));
    };
    Log.Events.clear();
    Update.OnDownloadError = [&](TwuWebUpdate*) {
        Log.Add("DownloadError");
    };
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(reportsAfterAbort, 1);
    EXPECT_FALSE(Log.Events.contains("DownloadError"));
    EXPECT_EQ(Log.Events.last(), "AfterDownload");
    EXPECT_GT(written, 0);
    EXPECT_LT(written, kUpdateFile.size());
    EXPECT_FALSE(QFileInfo::exists(TempFile())) << "nothing of an aborted download stays";

    // An abort while nothing is transferred does not touch the next transfer.
    Update.Abort();
    Server->Put("info.html", InfoPage("/update.bin"));
    Update.OnDownload = nullptr;
    Update.SetOptions(uoOverwrite);
    EXPECT_TRUE(Update.CheckForAnUpdate());
}

TEST_F(WebUpdateCheckTest, FileThatCannotBeCreatedFailsWithoutAnError) {
    Server->Put("info.html", InfoPage("/update.bin").replace("velora_new.bin", ""));
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events.last(2), QStringList({"BeforeDownload", "AfterDownload"}));
}

TEST_F(WebUpdateCheckTest, PageCannotPlaceTheFileOutsideTheFolder) {
    QTemporaryDir target;
    ASSERT_TRUE(QDir(target.path()).mkdir("inner"));
    Update.SetTargetFolder(target.path() + "/inner/");
    Server->Put("info.html", InfoPage("/update.bin").replace("velora_new.bin", "../escaped.bin"));
    QString used;
    Update.OnGetClientFileName = [&](TwuWebUpdate*, QString& name) {
        used = name;
    };
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(used, target.path() + "/inner/escaped.bin");
    EXPECT_FALSE(QFileInfo::exists(target.path() + "/escaped.bin"));
}

TEST_F(WebUpdateCheckTest, HandlerErrorInsideATransferFailsItQuietly) {
    Update.OnDownload = [](TwuWebUpdate*, std::int32_t, std::int32_t) {
        throw std::runtime_error("handler failed");
    };
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_EQ(Log.Events, QStringList({"BeforeGetInfo", "AfterGetInfo", "DownloadError"}));
    EXPECT_EQ(Desktop.MessagesProcessed, 0);
}

TEST_F(WebUpdateCheckTest, HandlerErrorOutsideATransferReachesTheCaller) {
    Update.OnAfterGetInfo = [](TwuWebUpdate*) {
        throw std::runtime_error("owner failed");
    };
    EXPECT_THROW(Update.CheckForAnUpdate(), std::runtime_error);
    EXPECT_FALSE(Update.Active());
    Update.OnAfterGetInfo = nullptr;
    Update.SetOptions({});
    EXPECT_TRUE(Update.CheckForAnUpdate());
}

// --- signatures ---

TEST_F(WebUpdateCheckTest, OnlyAFileSignedByThePublishersKeyIsPutInPlace) {
    TMinisignTestKey other;
    QByteArray tampered = kUpdateFile;
    tampered[100] = 'x';
    const QByteArray good = Key.Sign(kUpdateFile, "release 2.0");
    struct Case {
        const char* Name;
        QByteArray File;
        std::optional<QByteArray> Signature; // nullopt: none on the server
        bool Installed;
    } cases[] = {
        {"signed", kUpdateFile, good, true},
        {"legacy form", kUpdateFile, Key.Sign(kUpdateFile, "c", true), true},
        {"unsigned", kUpdateFile, std::nullopt, false},
        {"tampered", tampered, good, false},
        {"another key", kUpdateFile, other.Sign(kUpdateFile), false},
        {"truncated signature", kUpdateFile, good.left(good.size() - 20), false},
        {"changed trusted comment", kUpdateFile, QByteArray(good).replace("release", "RELEASE"),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile::remove(TempFile());
        Log.Events.clear();
        Server->Put("update.bin", c.File);
        QFile::remove(QDir(Server->Root()).filePath("update.bin.minisig"));
        if (c.Signature)
            Server->Put("update.bin.minisig", *c.Signature);
        EXPECT_EQ(Update.CheckForAnUpdate(), c.Installed);
        EXPECT_EQ(ReadFile(TempFile()), c.Installed ? c.File : QByteArray());
        EXPECT_EQ(Desktop.Started.size(), c.Installed ? 1 : 0);
        EXPECT_EQ(Log.Events.contains("DownloadError"), !c.Installed);
        EXPECT_EQ(
            QDir(Temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
            c.Installed ? QStringList{"velora_new.bin"} : QStringList());
        Desktop.Started.clear();
    }
}

TEST_F(WebUpdateCheckTest, SignatureNamedOnThePageIsUsedAndItsCommentRead) {
    Server->Put("sig.txt", Key.Sign(kUpdateFile, "Velora 2.0 podepsala firma"));
    Server->Put("update.bin.minisig", "not a signature");
    Server->Put("info.html", InfoPage("/update.bin") + Meta("wuSignature", "/sig.txt"));
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(Update.SignatureURL(), "/sig.txt");
    EXPECT_EQ(Update.TrustedComment(), "Velora 2.0 podepsala firma");
}

TEST_F(WebUpdateCheckTest, WithoutAPublicKeyNothingIsAccepted) {
    for (const QByteArray& key : {QByteArray(), QByteArray("RWQ-not-a-key")}) {
        Update.SetPublicKey(key);
        EXPECT_FALSE(Update.HasPublicKey());
        EXPECT_FALSE(Update.CheckForAnUpdate());
        EXPECT_FALSE(QFileInfo::exists(TempFile()));
    }
}

// --- answers that are not what was asked for ---

TEST_F(WebUpdateCheckTest, MissingDownloadAddressIsAnErrorAndFetchesNothing) {
    Server->Put("info.html",
                InfoPage("").replace("<META NAME=\"wuDownload\" CONTENT=\"\">\r\n", ""));
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_TRUE(Log.Events.contains("DownloadError"));
    EXPECT_FALSE(Log.Events.join(',').contains("BeforeDownload"));
    EXPECT_EQ(Server->RequestLines(), QStringList{"GET /info.html HTTP/1.0"});
}

TEST_F(WebUpdateCheckTest, BodyLongerThanAnnouncedIsNeverWrittenBeyondTheLength) {
    const QByteArray big(200000, 'b');
    Server->Put("big.bin", big);
    Server->Put("big.bin.minisig", Key.Sign(big.left(10)));
    Server->Put("info.html", InfoPage("/big.bin?length=10"));
    qint64 largest = 0;
    bool file = false;
    Update.OnBeforeDownload = [&](TwuWebUpdate*, const QString&) {
        file = true;
    };
    Update.OnDownload = [&](TwuWebUpdate*, std::int32_t, std::int32_t downloaded) {
        if (file)
            largest = std::max<qint64>(largest, downloaded);
    };
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_LE(largest, 10);
    EXPECT_FALSE(QFileInfo::exists(TempFile()));
}

// --- the window stays alive ---

// A server that takes connections and never answers.
class TSilentServer {
public:
    TSilentServer() {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(FSocket, 8);
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &size);
        FPort = ntohs(address.sin_port);
    }
    ~TSilentServer() { ::close(FSocket); }
    quint16 Port() const { return FPort; }

private:
    int FSocket = -1;
    quint16 FPort = 0;
};

TEST_F(WebUpdateCheckTest, TimersRunWhileTheServerIsSilentAndAbortEndsTheCheck) {
    TSilentServer silent;
    Update.SetHTTPPort(silent.Port());
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        // The check waits for the page meanwhile; after a few ticks the user gives up.
        if (++ticks == 20)
            Update.Abort();
    });
    timer.start();
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_GE(ticks, 20);
    EXPECT_FALSE(Log.Events.join(',').contains("Download,"));
    EXPECT_EQ(Log.Events.first(), "BeforeGetInfo");
    EXPECT_TRUE(Log.Events.contains("AfterGetInfo"));
}

} // namespace
