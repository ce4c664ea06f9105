#include "Unit1.h"

#include "RecordingDesktop.h"
#include "VersionInfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

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
    TForm1& Create() {
        Form = std::make_unique<TForm1>(Desktop, Dir.path());
        return *Form;
    }

    QTemporaryDir Dir;
    TRecordingDesktop Desktop;
    std::unique_ptr<TForm1> Form;
};

TEST_F(Form1, FirstStartTakesDefaultsAndAsksForTheNumber) {
    Desktop.InputAnswers = {QStringLiteral("420777123456")};
    TForm1& form = Create();

    EXPECT_EQ(Desktop.Geometry, QRect(50, 50, 500, 500));
    EXPECT_EQ(form.listen_port, 1024);
    ASSERT_EQ(Desktop.Prompts.size(), 1u);
    EXPECT_EQ(Desktop.Prompts[0].Title, QStringLiteral("Telefonni cislo"));
    EXPECT_EQ(Desktop.Prompts[0].Text, kPrompt);
    EXPECT_EQ(Desktop.Prompts[0].Default, QStringLiteral("00420"));
    EXPECT_EQ(form.jabber_jmeno, QStringLiteral("420777123456@velora.example"));
    EXPECT_EQ(Desktop.Caption(TControl::Label2), form.jabber_jmeno);
    EXPECT_EQ(Desktop.Navigations, QStringList{kHelp});
    EXPECT_TRUE(form.history_list.isEmpty());
    EXPECT_TRUE(form.first_tick);
    EXPECT_EQ(form.running_version, VersionMajorMinor());
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
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=420111\r\n");
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
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=777\r\nServer=xmpp.test\r\n"
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
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=a@b\r\n");
    TForm1& form = Create();
    EXPECT_EQ(form.history_list,
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
    form.history_list = {QStringLiteral("k=v")};
    Desktop.CloseWindow();
    EXPECT_EQ(Get(QStringLiteral("data.ini")), "[jine]\r\nklic=hodnota\r\n[pripojeni]\r\n"
                                               "port=1500\r\njmeno=9@x.test\r\nweb=127.0.0.1:1\r\n"
                                               "\r\n[Rozmisteni]\r\nsirka=640\r\nvyska=480\r\n"
                                               "zleva=10\r\nzhora=20\r\n");
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "k=v\r\n");
}

TEST_F(Form1, PasswordIsNeverWritten) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=9@x.test\r\n");
    TForm1& form = Create();
    form.jabber_heslo = QStringLiteral("tajne-heslo");
    form.FormClose();
    EXPECT_FALSE(Get(QStringLiteral("data.ini")).contains("tajne-heslo"));
}

TEST_F(Form1, FailedSaveThrowsSoTheWindowStaysOpen) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=9@x.test\r\n");
    TForm1& form = Create();
    QDir(Dir.path()).mkdir(QStringLiteral("historie.dat"));
    EXPECT_THROW(Desktop.CloseWindow(), std::runtime_error);
    // The settings went out before the history failed.
    EXPECT_TRUE(Get(QStringLiteral("data.ini")).contains("sirka="));
    EXPECT_EQ(form.jabber_jmeno, QStringLiteral("9@x.test"));
}

TEST_F(Form1, MenuShowsTheHelpPageAndTheVersion) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=9@x.test\r\n");
    Create();
    Desktop.OnClick(TControl::Npovda1);
    EXPECT_EQ(Desktop.Navigations, (QStringList{kHelp, kHelp}));
    Desktop.OnClick(TControl::Verze1);
    EXPECT_EQ(Desktop.Messages, QStringList{QStringLiteral("Verze ") + FileVersionText()});
}

TEST_F(Form1, FirstTickConsumesFirstTick) {
    Put(QStringLiteral("data.ini"), "[pripojeni]\r\njmeno=9@x.test\r\n");
    TForm1& form = Create();
    Desktop.OnTimer();
    EXPECT_FALSE(form.first_tick);
}

} // namespace
