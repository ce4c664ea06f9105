#include "Unit1.h"

#include "CallHistory.h"
#include "CallHistoryModel.h"
#include "RecordingDesktop.h"
#include "VersionInfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kHelp =
    QStringLiteral("http://www.velora.example/ustredna/help/index.php/Velora_help");
const QString kPrompt = QStringLiteral("Zadejte telefonni číslo včetně mezinárodní předvolby");

class Form1 : public testing::Test {
protected:
    void Put(const QString& name, const QByteArray& bytes) {
        QFile file(Dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray Get(const QString& name) {
        QFile file(Dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Without a data.ini of the test's own, the listener takes a free port so
    // that tests can run side by side.
    TForm1& Create(bool withoutIni = false) {
        if (!withoutIni && !QFile::exists(Dir.filePath(QStringLiteral("data.ini"))))
            Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\n");
        Form = std::make_unique<TForm1>(Desktop, Dir.path());
        return *Form;
    }

    QTemporaryDir Dir;
    TRecordingDesktop Desktop;
    std::unique_ptr<TForm1> Form;
};

TEST_F(Form1, FirstStartTakesDefaultsAndAsksForTheNumber) {
    Desktop.InputAnswers = {QStringLiteral("420777123456")};
    TForm1& form = Create(true);
    if (!Desktop.Errors.isEmpty() && Desktop.Errors[0].contains(QStringLiteral("1024")))
        GTEST_SKIP() << "port 1024 is taken: " << Desktop.Errors[0].toStdString();

    EXPECT_EQ(Desktop.Geometry, QRect(50, 50, 500, 500));
    EXPECT_EQ(form.listen_port, 1024);
    ASSERT_EQ(Desktop.Prompts.size(), 1u);
    EXPECT_EQ(Desktop.Prompts[0].Title, QStringLiteral("Telefonni cislo"));
    EXPECT_EQ(Desktop.Prompts[0].Text, kPrompt);
    EXPECT_EQ(Desktop.Prompts[0].Default, QStringLiteral("00420"));
    EXPECT_EQ(form.jabber_jmeno, QStringLiteral("420777123456@velora.example"));
    EXPECT_EQ(Desktop.Caption(TControl::Label2), form.jabber_jmeno);
    EXPECT_EQ(Desktop.Navigations, QStringList{kHelp});
    EXPECT_EQ(form.history_list.Count(), 0);
    EXPECT_TRUE(form.IdTCPServer1.IsListening());
    EXPECT_EQ(form.IdTCPServer1.Port(), 1024);
    EXPECT_TRUE(form.first_tick);
    EXPECT_EQ(form.running_version, FileVersionText());
    EXPECT_TRUE(form.last_new.isEmpty());
    EXPECT_TRUE(Desktop.Errors.isEmpty());
}

TEST_F(Form1, ComponentsStartAsDesigned) {
    Create();
    EXPECT_EQ(Desktop.TrayHint, QStringLiteral("Velora"));
    EXPECT_FALSE(Desktop.Enabled(TControl::Novakarta1));
    EXPECT_EQ(Desktop.TimerInterval, 5000);
    EXPECT_TRUE(Desktop.TimerEnabled());
}

TEST_F(Form1, CancelledPromptGivesTheDefaultNumberWithTheDomain) {
    Desktop.InputAnswers = {std::nullopt};
    EXPECT_EQ(Create().jabber_jmeno, QStringLiteral("00420@velora.example"));
}

TEST_F(Form1, StoredSettingsAreRestoredAndNoPromptIsShown) {
    Put(QStringLiteral("data.ini"), "[Rozmisteni]\r\nsirka=800\r\nvyska=$258\r\nzleva=0x10\r\n"
                                    "zhora=-4\r\n[pripojeni]\r\nport=0x401\r\njmeno=1@x.test\r\n");
    TForm1& form = Create();
    EXPECT_EQ(Desktop.Geometry, QRect(16, -4, 800, 600));
    EXPECT_EQ(form.listen_port, 1025);
    EXPECT_EQ(form.jabber_jmeno, QStringLiteral("1@x.test"));
    EXPECT_TRUE(Desktop.Prompts.empty());
}

TEST_F(Form1, NumberWithoutDomainGetsItOnceAcrossRestarts) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=420111\r\n");
    Create();
    EXPECT_EQ(Form->jabber_jmeno, QStringLiteral("420111@velora.example"));
    Form->FormClose();
    Form.reset();
    Create();
    EXPECT_EQ(Form->jabber_jmeno, QStringLiteral("420111@velora.example"));
}

TEST_F(Form1, PortThatIsNotANumberGivesTheDefault) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=tisic\r\njmeno=a@b\r\n");
    EXPECT_EQ(Create().listen_port, 1024);
}

TEST_F(Form1, DeploymentKeysOverrideTheDefaultsAndAreNeverAdded) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=777\r\nServer=xmpp.test\r\n"
                                    "domena=pbx.test\r\nweb=127.0.0.1:8080\r\n"
                                    "webmail=http://mail.test/new\r\n");
    TForm1& form = Create();
    EXPECT_EQ(form.Deployment().Server, QStringLiteral("xmpp.test"));
    EXPECT_EQ(form.Deployment().Webmail, QStringLiteral("http://mail.test/new"));
    EXPECT_EQ(form.jabber_jmeno, QStringLiteral("777@pbx.test"));
    EXPECT_EQ(
        Desktop.Navigations,
        QStringList{QStringLiteral("http://127.0.0.1:8080/ustredna/help/index.php/Velora_help")});

    QTemporaryDir other;
    TRecordingDesktop desktop;
    QFile ini(QDir(other.path()).filePath(QStringLiteral("data.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[pripojeni]\r\nport=0\r\n");
    ini.close();
    TForm1 plain(desktop, other.path());
    plain.FormClose();
    QFile written(QDir(other.path()).filePath(QStringLiteral("data.ini")));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray text = written.readAll();
    for (const char* key : {"server", "domena", "web", "webmail"})
        EXPECT_FALSE(text.contains(QByteArray("\n") + key + "=")) << key;
}

TEST_F(Form1, HistoryIsLoadedAndSavedInItsEncoding) {
    Put(QStringLiteral("historie.dat"), "\xEF\xBB\xBF"
                                        "a_kdo=111\r\nb_nazev=\xC5\xA0imon\nc=3\r");
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=a@b\r\n");
    TForm1& form = Create();
    EXPECT_EQ(form.history_list.Lines(),
              (QStringList{QStringLiteral("a_kdo=111"), QStringLiteral("b_nazev=Šimon"),
                           QStringLiteral("c=3")}));
    form.FormClose();
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "\xEF\xBB\xBF"
                                                   "a_kdo=111\r\nb_nazev=\xC5\xA0imon\r\nc=3\r\n");
}

TEST_F(Form1, HistoryLoadErrorEndsStartUpAtThatStep) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=1500\r\n");
    QDir(Dir.path()).mkdir(QStringLiteral("historie.dat")); // exists but cannot be read
    TForm1& form = Create();
    ASSERT_EQ(Desktop.Errors.size(), 1);
    EXPECT_TRUE(Desktop.Errors[0].contains(QStringLiteral("historie.dat")))
        << Desktop.Errors[0].toStdString();
    EXPECT_EQ(form.listen_port, 1500); // step 5 ran
    EXPECT_TRUE(Desktop.Navigations.isEmpty());
    EXPECT_TRUE(Desktop.Prompts.empty());
    EXPECT_FALSE(Desktop.Captions.contains(TControl::Label2));
    EXPECT_TRUE(Desktop.TimerEnabled());
}

TEST_F(Form1, CloseWritesSettingsInOrderAndKeepsOtherKeys) {
    Put(QStringLiteral("data.ini"), "[jine]\r\nklic=hodnota\r\n[pripojeni]\r\nport=1500\r\n"
                                    "jmeno=9@x.test\r\nweb=127.0.0.1:1\r\n");
    TForm1& form = Create();
    Desktop.Geometry = QRect(10, 20, 640, 480);
    form.history_list = CallHistory({QStringLiteral("k=v")});
    Desktop.CloseWindow();
    EXPECT_EQ(Get(QStringLiteral("data.ini")), "[jine]\r\nklic=hodnota\r\n[pripojeni]\r\n"
                                               "port=1500\r\njmeno=9@x.test\r\nweb=127.0.0.1:1\r\n"
                                               "\r\n[Rozmisteni]\r\nsirka=640\r\nvyska=480\r\n"
                                               "zleva=10\r\nzhora=20\r\n");
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "k=v\r\n");
}

TEST_F(Form1, PasswordIsNeverWritten) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=9@x.test\r\n");
    TForm1& form = Create();
    form.jabber_heslo = QStringLiteral("tajne-heslo");
    form.FormClose();
    EXPECT_FALSE(Get(QStringLiteral("data.ini")).contains("tajne-heslo"));
}

// Closing with files that cannot be written where they belong.
class Closing : public Form1 {
protected:
    void SetUp() override {
        Put(QStringLiteral("data.ini"), "[jine]\r\nklic=1\r\n[pripojeni]\r\nport=0\r\n"
                                        "jmeno=9@x.test\r\n");
        Form = std::make_unique<TForm1>(Desktop, Dir.path(), nullptr, UserFolder());
        Form->history_list = CallHistory({QStringLiteral("k=v")});
    }
    QString UserFolder() const { return User.filePath(QStringLiteral("velora")); }
    QByteArray UserFile(const QString& name) const {
        QFile file(QDir(UserFolder()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // A folder where the file should be makes it impossible to write, also for root.
    void Block(const QString& name) {
        QFile::remove(Dir.filePath(name));
        ASSERT_TRUE(QDir(Dir.path()).mkdir(name));
    }

    QTemporaryDir User;
};

TEST_F(Closing, EachFileThatCannotBeWrittenGoesToTheUserFolderAndTheUserIsTold) {
    for (const char* blocked : {"data.ini", "historie.dat"}) {
        SCOPED_TRACE(blocked);
        Desktop.Messages.clear();
        QDir(UserFolder()).removeRecursively();
        QDir(Dir.path()).rmdir(QStringLiteral("data.ini"));
        QDir(Dir.path()).rmdir(QStringLiteral("historie.dat"));
        Block(QString::fromLatin1(blocked));
        Desktop.CloseWindow();
        const bool settings = QByteArray(blocked) == "data.ini";
        // The other file was written where it belongs.
        EXPECT_EQ(Get(QStringLiteral("historie.dat")), settings ? "k=v\r\n" : "");
        EXPECT_EQ(Get(QStringLiteral("data.ini")).contains("sirka="), !settings);
        if (settings)
            EXPECT_TRUE(UserFile(QStringLiteral("data.ini")).contains("jmeno=9@x.test\r\n"));
        else
            EXPECT_EQ(UserFile(QStringLiteral("historie.dat")), "k=v\r\n");
        ASSERT_EQ(Desktop.Messages.size(), 1);
        const QString message = Desktop.Messages[0];
        EXPECT_TRUE(message.startsWith(settings ? QStringLiteral("Nastavení se nepodařilo uložit")
                                                : QStringLiteral("Historii hovorů se nepodařilo")))
            << message.toStdString();
        EXPECT_TRUE(message.contains(QDir(UserFolder()).filePath(QString::fromLatin1(blocked))))
            << message.toStdString();
        EXPECT_TRUE(Desktop.Confirmations.isEmpty());
        EXPECT_FALSE(Form->IdTCPServer1.IsListening());
    }
}

TEST_F(Closing, WhatWentToTheUserFolderIsReadAtTheNextStartAndNotLost) {
    Block(QStringLiteral("historie.dat"));
    Form->history_list = CallHistory({QStringLiteral("prvni=1")});
    Desktop.CloseWindow();
    ASSERT_EQ(UserFile(QStringLiteral("historie.dat")), "prvni=1\r\n");

    // The next run reads the newer copy, adds to it and, still blocked, writes it there.
    Form.reset();
    Form = std::make_unique<TForm1>(Desktop, Dir.path(), nullptr, UserFolder());
    EXPECT_EQ(Form->history_list.Lines(), QStringList{"prvni=1"});
    Form->history_list.SetEntry(QStringLiteral("druhy"), QStringLiteral("2"));
    Desktop.CloseWindow();
    EXPECT_EQ(UserFile(QStringLiteral("historie.dat")), "prvni=1\r\ndruhy=2\r\n");

    // Once the data folder can be written again, everything goes there and is read from there.
    QDir(Dir.path()).rmdir(QStringLiteral("historie.dat"));
    Form.reset();
    Form = std::make_unique<TForm1>(Desktop, Dir.path(), nullptr, UserFolder());
    Desktop.CloseWindow();
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "prvni=1\r\ndruhy=2\r\n");
    Form.reset();
    Form = std::make_unique<TForm1>(Desktop, Dir.path(), nullptr, UserFolder());
    EXPECT_EQ(Form->history_list.Count(), 2);
}

TEST_F(Closing, WhenNothingCanBeSavedTheUserDecidesWhetherToEnd) {
    Block(QStringLiteral("data.ini"));
    Block(QStringLiteral("historie.dat"));
    QFile user(UserFolder()); // a file where the user folder should be
    ASSERT_TRUE(user.open(QIODevice::WriteOnly));
    user.close();

    Desktop.ConfirmAnswers = {false};
    EXPECT_THROW(Desktop.CloseWindow(), TCloseCancelled);
    ASSERT_EQ(Desktop.Confirmations.size(), 1);
    EXPECT_TRUE(Desktop.Confirmations[0].contains(QStringLiteral("Nastavení se nepodařilo")));
    EXPECT_TRUE(Desktop.Confirmations[0].contains(QStringLiteral("Historii hovorů se")));
    EXPECT_TRUE(Desktop.Confirmations[0].endsWith(
        QStringLiteral("Ukončit program i tak? Neuložené údaje se ztratí.")));
    EXPECT_TRUE(Form->IdTCPServer1.IsListening()); // the window stays open and working

    Desktop.ConfirmAnswers = {true};
    EXPECT_NO_THROW(Desktop.CloseWindow());
    EXPECT_FALSE(Form->IdTCPServer1.IsListening());
}

TEST_F(Closing, TerminationNeverWaitsOnADialog) {
    Block(QStringLiteral("data.ini"));
    Desktop.OnTerminate();
    EXPECT_TRUE(Desktop.ProcessEnded);
    EXPECT_EQ(Desktop.ExitStatus, 0);
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "k=v\r\n");
    EXPECT_TRUE(UserFile(QStringLiteral("data.ini")).contains("jmeno=9@x.test\r\n"));
    ASSERT_EQ(Desktop.StandardError.size(), 1);
    EXPECT_TRUE(Desktop.StandardError[0].contains(UserFolder()));
    EXPECT_TRUE(Desktop.Messages.isEmpty());
    EXPECT_TRUE(Desktop.Confirmations.isEmpty());

    Form.reset();
    Desktop = TRecordingDesktop();
    Form = std::make_unique<TForm1>(Desktop, Dir.path()); // no user folder to fall back to
    Block(QStringLiteral("historie.dat"));
    Desktop.OnTerminate();
    EXPECT_EQ(Desktop.ExitStatus, 1);
    ASSERT_EQ(Desktop.StandardError.size(), 2);
    EXPECT_TRUE(Desktop.StandardError[1].startsWith(
        QStringLiteral("Historii hovorů se nepodařilo uložit do souboru %1 ani nikam jinam.\n")
            .arg(Dir.filePath(QStringLiteral("historie.dat")))))
        << Desktop.StandardError[1].toStdString();
}

TEST_F(Form1, TerminationDuringTheFirstStartPromptEndsTheProgram) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\n");
    Put(QStringLiteral("historie.dat"), "a=1\r\n");
    Desktop.WhileInputBoxOpen = [this] {
        ASSERT_TRUE(Desktop.OnTerminate);
        Desktop.OnTerminate();
    };
    Create();
    EXPECT_TRUE(Desktop.ProcessEnded);
    EXPECT_EQ(Desktop.ExitStatus, 0);
    EXPECT_TRUE(Get(QStringLiteral("data.ini")).contains("sirka=500"));
}

TEST_F(Form1, MenuShowsTheHelpPageAndTheVersion) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=9@x.test\r\n");
    Create();
    Desktop.OnClick(TControl::Npovda1);
    EXPECT_EQ(Desktop.Navigations, (QStringList{kHelp, kHelp}));
    Desktop.OnClick(TControl::Verze1);
    EXPECT_EQ(Desktop.Messages, QStringList{QStringLiteral("Verze ") + FileVersionText()});
}

TEST_F(Form1, FirstTickConsumesFirstTick) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=9@x.test\r\n");
    TForm1& form = Create();
    Desktop.OnTimer();
    EXPECT_FALSE(form.first_tick);
}

// Call records, through a form that has started with a user and a free port.
class Records : public Form1 {
protected:
    void SetUp() override {
        Put(QStringLiteral("data.ini"), "[pripojeni]\r\nport=0\r\njmeno=9@x.test\r\n");
        Create();
        Form->Now = [this] {
            return Clock;
        };
        Desktop.Navigations.clear();
    }
    QStringList History() const { return Form->history_list.Lines(); }

    QDateTime Clock{QDate(2026, 12, 10), QTime(9, 5, 1)};
    const QString T = CallTimeStamp(Clock, QLocale::system());
};

TEST_F(Records, TypeThreeRecordIsHandledWhole) {
    Form->nacti(QStringLiteral(
        "111:222:1:3:Účetní oddělení:http://server/index.php?action=DetailView&record=15"));
    const QString link = QStringLiteral("http://server/index.php?action=DetailView&record=15");
    EXPECT_EQ(History(), (QStringList{T + "_kdo=111", T + "_nazev=Účetní oddělení",
                                      T + "_odkaz=" + link, T + "_cas=" + T}));
    EXPECT_EQ(Form->last_kdo, QStringLiteral("111"));
    EXPECT_EQ(Form->last_kam, QStringLiteral("222"));
    EXPECT_EQ(Form->last_typ, QStringLiteral("3"));
    EXPECT_EQ(Form->last_odkaz, link);
    EXPECT_EQ(Form->last_new, QStringLiteral("http://server/index.php?action=EditView"));
    EXPECT_TRUE(Desktop.Enabled(TControl::Novakarta1));
    ASSERT_EQ(Desktop.Balloons.size(), 1u);
    EXPECT_EQ(Desktop.Balloons[0].Title, QStringLiteral("111"));
    EXPECT_EQ(Desktop.Balloons[0].Text, QStringLiteral("Účetní oddělení"));
    EXPECT_EQ(Desktop.Balloons[0].Timeout, 10000);
}

TEST_F(Records, OnlyEventCodeOneIsHandled) {
    for (const char* record : {"111:222:2:3:Jana:http://server/x&record=1", "111:222::3:Jana:",
                               "111:222:01:3:Jana:", "111:222: 1:3:Jana:", "", "111"}) {
        Form->nacti(QString::fromUtf8(record));
        EXPECT_EQ(History(), QStringList()) << record;
        EXPECT_TRUE(Form->last_kdo.isEmpty()) << record;
        EXPECT_TRUE(Desktop.Balloons.empty()) << record;
        EXPECT_FALSE(Desktop.Enabled(TControl::Novakarta1)) << record;
    }
}

TEST_F(Records, LinkWithAPortIsKeptWhole) {
    Form->nacti(QStringLiteral(
        "111:222:1:3:Jana:http://crm.example:8080/index.php?action=DetailView&record=15"));
    EXPECT_EQ(Form->last_odkaz,
              QStringLiteral("http://crm.example:8080/index.php?action=DetailView&record=15"));
    EXPECT_EQ(Form->last_new, QStringLiteral("http://crm.example:8080/index.php?action=EditView"));
}

struct NewCardCase {
    const char* Record;
    const char* LastNew;
    bool Enabled;
};

class NewCard : public Records, public testing::WithParamInterface<NewCardCase> {};

TEST_P(NewCard, TypeDecidesTheNewCardLink) {
    Form->nacti(QString::fromUtf8(GetParam().Record));
    EXPECT_EQ(Form->last_new, QString::fromUtf8(GetParam().LastNew));
    EXPECT_EQ(Desktop.Enabled(TControl::Novakarta1), GetParam().Enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NewCard,
    testing::Values(NewCardCase{"1:2:1:3:N:http://s/i.php?a=1", "", true},
                    NewCardCase{"1:2:1:3:N:http://s/i.php?action=detailview&record=2",
                                "http://s/i.php?action=detailview", true},
                    NewCardCase{"1:2:1:3:N:http://s/DetailView/DetailView&record=2&record=3",
                                "http://s/EditView/EditView", true},
                    NewCardCase{"1:2:1:2:N:http://s/i.php?record=2",
                                "http://mail.velora.example/contacts/new", false},
                    NewCardCase{"1:2:1:3:N:", "", false}, NewCardCase{"1:2:1:2:N:", "", false},
                    NewCardCase{"1:2:1:4:N:http://s/x&record=1", "", false}));

TEST_F(Records, TypeTwoKeepsAnEarlierEnabledEntryAndEmptyLinkKeepsTheOldOne) {
    Form->nacti(QStringLiteral("1:2:1:3:N:http://s/DetailView&record=1"));
    Form->nacti(QStringLiteral("1:2:1:2:N:http://s/x"));
    EXPECT_EQ(Form->last_new, QStringLiteral("http://mail.velora.example/contacts/new"));
    EXPECT_TRUE(Desktop.Enabled(TControl::Novakarta1));
    Form->nacti(QStringLiteral("1:2:1:3:N:"));
    EXPECT_EQ(Form->last_new, QStringLiteral("http://mail.velora.example/contacts/new"));
    EXPECT_TRUE(Form->last_odkaz.isEmpty());
}

struct BalloonCase {
    const char* Record;
    const char* Title;
    const char* Text;
};

class Balloons : public Records, public testing::WithParamInterface<BalloonCase> {};

TEST_P(Balloons, TitleAndTextFollowTheTildeAndTrimRules) {
    Form->nacti(QString::fromUtf8(GetParam().Record));
    ASSERT_EQ(Desktop.Balloons.size(), 1u);
    EXPECT_EQ(Desktop.Balloons[0].Title, QString::fromUtf8(GetParam().Title));
    EXPECT_EQ(Desktop.Balloons[0].Text, QString::fromUtf8(GetParam().Text));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Balloons,
    testing::Values(BalloonCase{"111:2:1:1:Jana Nová:http://s", "111", "Jana Nová"},
                    BalloonCase{"111:2:1:1:\t Jana \r:http://s", "111", "Jana"},
                    BalloonCase{"111:2:1:1::http://s", "111", "Neznámý volající"},
                    BalloonCase{"111:2:1:1:   :http://s", "111", "Neznámý volající"},
                    BalloonCase{"a~b:2:1:1: Jana:", "a", "b~Jana"},
                    BalloonCase{":2:1:1:Jana:", "", "Jana"}));

TEST_F(Records, EmptyValuesWriteNoEntry) {
    Form->nacti(QStringLiteral("111:2:1:1::"));
    EXPECT_EQ(History(), (QStringList{T + "_kdo=111", T + "_cas=" + T}));
    Form->history_list = CallHistory();
    Form->nacti(QStringLiteral("111:2:1:1:   :"));
    EXPECT_EQ(History(), (QStringList{T + "_kdo=111", T + "_nazev=   ", T + "_cas=" + T}));
}

TEST_F(Records, EveryCallOfTheSameSecondKeepsItsFourLines) {
    Form->history_list = CallHistory({QStringLiteral("older=1")});
    Form->nacti(QStringLiteral("111:2:1:1:Jana:http://s/1"));
    Form->nacti(QStringLiteral("222:2:1:1::http://s/2"));
    Form->nacti(QStringLiteral("222:2:1:1::http://s/2")); // the same record again
    const QString t2 = T + " #2", t3 = T + " #3";
    EXPECT_EQ(History(), (QStringList{"older=1", T + "_kdo=111", T + "_nazev=Jana",
                                      T + "_odkaz=http://s/1", T + "_cas=" + T, t2 + "_kdo=222",
                                      t2 + "_odkaz=http://s/2", t2 + "_cas=" + T, t3 + "_kdo=222",
                                      t3 + "_odkaz=http://s/2", t3 + "_cas=" + T}));
    Clock = Clock.addSecs(1);
    const QString later = CallTimeStamp(Clock, QLocale::system());
    ASSERT_NE(later, T);
    Form->nacti(QStringLiteral("333:2:1:1:Petr:"));
    EXPECT_EQ(History().mid(11),
              (QStringList{later + "_kdo=333", later + "_nazev=Petr", later + "_cas=" + later}));
}

TEST_F(Records, ControlCharactersInValuesBecomeBlanks) {
    Form->nacti(QStringLiteral("1\r\n11:2:1:1:Jana\rT_kdo=666\n\x01:http://s/1\t"));
    EXPECT_EQ(History(), (QStringList{T + "_kdo=1  11", T + "_nazev=Jana T_kdo=666  ",
                                      T + "_odkaz=http://s/1 ", T + "_cas=" + T}));
}

TEST_F(Records, ClicksOpenTheLastLinkAndBringTheWindowForward) {
    Form->nacti(QStringLiteral("111:2:1:1:Jana:http://s/1"));
    Desktop.OnTrayClick();
    Desktop.OnBalloonClick();
    EXPECT_EQ(Desktop.Navigations,
              (QStringList{QStringLiteral("http://s/1"), QStringLiteral("http://s/1")}));
    EXPECT_EQ(Desktop.Calls, (QStringList{"normal", "front", "top", "normal", "front", "top"}));

    Desktop.Calls.clear();
    Desktop.OnTrayDblClick();
    EXPECT_FALSE(Desktop.Visible());
    Desktop.OnBalloonClick(); // a hidden window stays hidden
    EXPECT_FALSE(Desktop.Visible());
    Desktop.OnTrayDblClick();
    EXPECT_TRUE(Desktop.Visible());
    EXPECT_EQ(Desktop.Calls, (QStringList{"hide", "normal", "front", "top", "show"}));
}

TEST_F(Records, HistoryWindowListsCallsAndOpensTheChosenLink) {
    Form->nacti(QStringLiteral("111:2:1:3:Účetní oddělení:http://crm/1"));
    Clock = Clock.addSecs(1);
    Form->nacti(QStringLiteral("222:2:1:1:Petr:javascript:alert(1)"));
    Desktop.OnClick(TControl::Historiehovor1);
    ASSERT_NE(Desktop.HistoryShown, nullptr);
    TCallHistoryModel& model = *Desktop.HistoryShown;
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.Caller(0), QStringLiteral("222"));

    model.SetFilter(QStringLiteral("ucetni"));
    ASSERT_EQ(model.rowCount(), 1);
    Desktop.OnTrayDblClick(); // the main window hides in the tray
    Desktop.Calls.clear();
    Desktop.OnHistoryOpen(0);
    EXPECT_EQ(Desktop.Navigations, QStringList{QStringLiteral("http://crm/1")});
    EXPECT_EQ(Desktop.Calls, (QStringList{"show", "normal", "front", "top"}));

    // Only http and https links reach the web view, as from the tray.
    model.SetFilter(QString());
    Desktop.OnHistoryOpen(0);
    EXPECT_EQ(Desktop.Navigations.last(), QStringLiteral("about:blank"));

    // A call that comes while the window is open is at the top at once.
    Clock = Clock.addSecs(1);
    Form->nacti(QStringLiteral("333:2:1:1:Jana:http://crm/3"));
    EXPECT_EQ(model.Caller(0), QStringLiteral("333"));
    Desktop.OnClick(TControl::Historiehovor1);
    EXPECT_EQ(Desktop.HistoryShown, &model);
}

struct LinkCase {
    const char* Link;
    bool Opened;
};

class Links : public Records, public testing::WithParamInterface<LinkCase> {};

TEST_P(Links, OnlyHttpAndHttpsReachTheWebView) {
    const QString link = QString::fromUtf8(GetParam().Link);
    Form->nacti(QStringLiteral("1:2:1:3:N:") + link);
    Desktop.OnTrayClick();
    Desktop.OnClick(TControl::Novakarta1);
    const QString blank = QStringLiteral("about:blank");
    const QString expected = GetParam().Opened ? link : blank;
    ASSERT_EQ(Desktop.Navigations.size(), 2);
    EXPECT_EQ(Desktop.Navigations[0], expected);
    // The "Nova karta" link is cut at "&record=", so it is checked alike.
    EXPECT_EQ(Desktop.Navigations[1] == blank, !GetParam().Opened || Form->last_new.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, Links,
                         testing::Values(LinkCase{"http://s/DetailView&record=1", true},
                                         LinkCase{"HTTPS://s/DetailView&record=1", true},
                                         LinkCase{"Http://s:8080/a", true}, LinkCase{"", false},
                                         LinkCase{"javascript:alert(1)//&record=1", false},
                                         LinkCase{"JavaScript:alert(1)", false},
                                         LinkCase{"file:///etc/passwd&record=1", false},
                                         LinkCase{"data:text/html,<script>alert(1)</script>",
                                                  false},
                                         LinkCase{"ftp://s/x", false}, LinkCase{"//s/x", false},
                                         LinkCase{" javascript:alert(1)", false}));

struct MessageCase {
    const char* Xml;
    const char* Kdo; // caller recorded, or nullptr when the message fails
};

class Messages : public Records, public testing::WithParamInterface<MessageCase> {};

TEST_P(Messages, RecordIsTheTextOfTheRootsFirstChild) {
    const QString xml = QString::fromUtf8(GetParam().Xml);
    if (!GetParam().Kdo) {
        EXPECT_THROW(Form->JabberClient1Message(nullptr, xml), std::runtime_error)
            << GetParam().Xml;
        EXPECT_TRUE(Desktop.Balloons.empty());
        EXPECT_EQ(Form->history_list.Count(), 0);
        return;
    }
    Form->JabberClient1Message(nullptr, xml);
    EXPECT_EQ(Form->last_kdo, QString::fromUtf8(GetParam().Kdo)) << GetParam().Xml;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Messages,
    testing::Values(
        MessageCase{"<message from=\"a@b\" to=\"c@d\" "
                    "type=\"chat\">\r\n<body>111:2:1:1:Jana:</body>\r\n</message>\r\n",
                    "111"},
        MessageCase{"<message>\n  <body>A&amp;B&#x10D;:2:1:1:&lt;Jana&gt;:</body></message>",
                    "A&Bč"},
        MessageCase{"<message><body><![CDATA[<111>:2:1:1:Jana:]]></body></message>", "<111>"},
        MessageCase{"<message><subject>555:2:1:1:S:</subject><body>111:2:1:1:B:</body></message>",
                    "555"},
        MessageCase{"<message>777:2:1:1:Jana:<body>x</body></message>", "777"},
        MessageCase{"<message><body/><body>111:2:1:1:B:</body></message>", ""},
        MessageCase{"<message><body>111:2:1:1:B:", nullptr},
        MessageCase{"<message></message>", nullptr}, MessageCase{"<message>  </message>", nullptr},
        MessageCase{"<message><body><b>111</b></body></message>", nullptr},
        MessageCase{"<message><body>111<b/>:2:1:1:B:</body></message>", nullptr},
        MessageCase{"<message><!-- c --><body>111:2:1:1:B:</body></message>", nullptr},
        MessageCase{"not xml", nullptr}, MessageCase{"", nullptr}));

TEST_F(Records, ListenerLinesReachTheRecordHandler) {
    ASSERT_TRUE(Form->IdTCPServer1.IsListening());
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Form->IdTCPServer1.Port());
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QByteArray lines =
        "\r\n111:2:1:3:\xC3\x9A\xC4\x8Dtn\xC3\xAD:http://s/DetailView&record=5\r\n"
        "222:2:1:1:Petr:\n";
    ASSERT_EQ(::send(s, lines.constData(), lines.size(), MSG_NOSIGNAL), lines.size());
    const QDeadlineTimer deadline(30000);
    while (Desktop.Balloons.size() < 2 && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    ::close(s);
    ASSERT_EQ(Desktop.Balloons.size(), 2u);
    EXPECT_EQ(Desktop.Balloons[0].Text, QStringLiteral("Účtní"));
    EXPECT_EQ(Desktop.Balloons[1].Title, QStringLiteral("222"));
    EXPECT_TRUE(Desktop.Enabled(TControl::Novakarta1));

    Form->FormClose();
    EXPECT_FALSE(Form->IdTCPServer1.IsListening());
}

TEST_F(Form1, ListenerThatCannotStartEndsStartUpAtThatStep) {
    for (const char* port : {"70000", "-1"}) {
        Desktop = TRecordingDesktop();
        Put(QStringLiteral("data.ini"), QByteArray("[pripojeni]\r\nport=") + port + "\r\n");
        TForm1& form = Create();
        EXPECT_EQ(Desktop.Errors.size(), 1) << port;
        EXPECT_FALSE(form.IdTCPServer1.IsListening());
        EXPECT_TRUE(Desktop.Navigations.isEmpty()) << port;
        EXPECT_TRUE(Desktop.Prompts.empty()) << port;
    }
}

} // namespace
