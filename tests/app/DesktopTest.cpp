// The window's desktop integration, headless: the tray menu, the close
// button with and without a system tray, the remembered password, autostart
// and the built-in help, through the recording desktop and password store.
#include "Jabber.h"
#include "RecordingDesktop.h"
#include "RecordingPasswordStore.h"
#include "Unit1.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QString kJid = QStringLiteral("420111222@velora.example");
const QString kHelp = QStringLiteral("http://127.0.0.1:1/ustredna/help/index.php/Velora_help");

class Desktop : public testing::Test {
protected:
    void SetUp() override {
        QFile ini(QDir(Dir.path()).filePath(QStringLiteral("data.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        // The update check of the first tick finds a closed local port.
        ini.write("[pripojeni]\r\nport=0\r\nweb=127.0.0.1:1\r\njmeno=" + kJid.toUtf8() + "\r\n");
    }
    TForm1& Create(TPasswordStore* passwords = nullptr, const QString& autostart = {}) {
        Form = std::make_unique<TForm1>(
            Screen, Dir.path(), nullptr, QString(),
            TDesktopServices{passwords, autostart, QStringLiteral("/usr/bin/velora")});
        return *Form;
    }
    bool Saved() const {
        return QFile::exists(QDir(Dir.path()).filePath(QStringLiteral("historie.dat")));
    }
    // The first tick, which belongs to the update check; the test deployment's
    // web host does not exist, so the check ends at once.
    void FirstTick() { Form->Timer1Timer(); }
    bool LoggingIn() const {
        return Form->JabberClient1->Password() == QStringLiteral("tajne") && Screen.Timer;
    }

    QTemporaryDir Dir;
    TRecordingDesktop Screen;
    std::unique_ptr<TForm1> Form;
};

TEST_F(Desktop, WithATrayTheCloseButtonHidesAndOnlyTheFirstTimeSaysSo) {
    Create();
    EXPECT_FALSE(Screen.UserClose());
    EXPECT_FALSE(Screen.UserClose());
    EXPECT_FALSE(Screen.Shown);
    EXPECT_FALSE(Saved());
    EXPECT_EQ(Screen.Notices, QStringList{QStringLiteral("Velora běží dál v oznamovací oblasti.")});

    // A tray click brings the hidden window back, and "Konec" closes for good.
    Screen.OnTrayClick();
    EXPECT_TRUE(Screen.Shown);
    Screen.OnClick(TControl::Konec1);
    EXPECT_TRUE(Saved());
}

TEST_F(Desktop, WithoutATrayTheCloseButtonCloses) {
    Screen.Tray = false;
    Create();
    EXPECT_TRUE(Screen.UserClose());
    EXPECT_TRUE(Saved());
    EXPECT_TRUE(Screen.Notices.isEmpty());
}

TEST_F(Desktop, AWindowHiddenByADoubleClickStaysHiddenOnATrayClick) {
    Create();
    Screen.OnTrayDblClick();
    Screen.OnTrayClick();
    EXPECT_FALSE(Screen.Shown);
}

TEST_F(Desktop, ShowBringsTheWindowBackToTheFront) {
    Create();
    Screen.UserClose();
    Screen.Calls.clear();
    Screen.OnClick(TControl::Zobrazit1);
    EXPECT_EQ(Screen.Calls, QStringList({"show", "normal", "front", "top"}));
}

TEST_F(Desktop, TheTrayLoginEntryFollowsTheLoginButton) {
    Create();
    Screen.OnTrayMenu();
    EXPECT_EQ(Screen.Caption(TControl::Prihlasit1), QStringLiteral("Přihlásit se"));
    Form->JabberClient1Connect(Form->JabberClient1);
    Screen.OnTrayMenu();
    EXPECT_EQ(Screen.Caption(TControl::Prihlasit1), QStringLiteral("Odhlásit"));
    Form->JabberClient1Disconnect(Form->JabberClient1);
    Screen.OnTrayMenu();
    EXPECT_EQ(Screen.Caption(TControl::Prihlasit1), QStringLiteral("Přihlásit se"));
}

TEST_F(Desktop, TheTrayLoginEntryShowsTheWindowWhenThereIsNoPassword) {
    Create();
    FirstTick();
    Screen.UserClose();
    Screen.OnClick(TControl::Prihlasit1);
    EXPECT_TRUE(Screen.Shown);
    EXPECT_FALSE(Screen.Timer);

    Screen.Captions[TControl::Edit1] = QStringLiteral("tajne");
    Screen.OnClick(TControl::Prihlasit1);
    EXPECT_TRUE(LoggingIn());
}

TEST_F(Desktop, ARememberedPasswordLogsInRightAfterTheUpdateCheck) {
    TRecordingPasswordStore store;
    store.Stored[kJid] = QStringLiteral("tajne");
    Create(&store);
    EXPECT_EQ(store.Asked, QStringList{QStringLiteral("read ") + kJid});
    EXPECT_EQ(Screen.Caption(TControl::Edit1), QStringLiteral("tajne"));
    EXPECT_TRUE(Screen.Checked(TControl::CheckBox1));
    EXPECT_TRUE(Screen.Enabled(TControl::CheckBox1));
    EXPECT_TRUE(Form->JabberClient1->Password().isEmpty()) << "no login before the first tick";

    FirstTick();
    EXPECT_TRUE(LoggingIn());
    EXPECT_EQ(Form->JabberClient1->JID(), kJid);
}

TEST_F(Desktop, APasswordThatArrivesAfterTheFirstTickLogsInThen) {
    TRecordingPasswordStore store;
    store.Stored[kJid] = QStringLiteral("tajne");
    store.Hold = true;
    Create(&store);
    FirstTick();
    EXPECT_FALSE(LoggingIn());
    store.Release();
    EXPECT_TRUE(LoggingIn());
}

TEST_F(Desktop, WithoutARememberedPasswordNothingLogsIn) {
    TRecordingPasswordStore store;
    Create(&store);
    FirstTick();
    EXPECT_FALSE(Screen.Checked(TControl::CheckBox1));
    EXPECT_TRUE(Screen.Enabled(TControl::CheckBox1));
    EXPECT_TRUE(Form->JabberClient1->Password().isEmpty());
    EXPECT_FALSE(Screen.Timer);
}

TEST_F(Desktop, WithoutASecretStoreTheBoxIsDisabledAndSaysWhy) {
    TRecordingPasswordStore store;
    store.Available = false;
    Create(&store);
    EXPECT_FALSE(Screen.Enabled(TControl::CheckBox1));
    EXPECT_EQ(Screen.Hints[TControl::CheckBox1],
              QStringLiteral("Heslo nelze zapamatovat, úložiště hesel systému (Secret Service) "
                             "není dostupné: No backend"));

    TRecordingDesktop other;
    TForm1 none(other, Dir.path());
    EXPECT_FALSE(other.Enabled(TControl::CheckBox1));
    EXPECT_FALSE(other.Hints[TControl::CheckBox1].isEmpty());
}

TEST_F(Desktop, TheTickedBoxStoresThePasswordOfASuccessfulLoginAndUntickingRemovesIt) {
    TRecordingPasswordStore store;
    Create(&store);
    FirstTick();
    Screen.Toggle(TControl::CheckBox1);
    EXPECT_EQ(store.Asked.size(), 1) << "nothing is stored before a login succeeded";

    Screen.Captions[TControl::Edit1] = QStringLiteral("tajne");
    Screen.OnClick(TControl::Button1);
    Form->JabberClient1->OnJabberOnline(Form->JabberClient1);
    EXPECT_EQ(store.Stored.value(kJid), QStringLiteral("tajne"));
    Form->JabberClient1->OnJabberOnline(Form->JabberClient1);
    EXPECT_EQ(store.Asked.size(), 2) << "the same password is not stored twice";

    Screen.Toggle(TControl::CheckBox1);
    EXPECT_FALSE(store.Stored.contains(kJid));
    EXPECT_EQ(store.Asked.last(), QStringLiteral("remove ") + kJid);
}

TEST_F(Desktop, AFailedStoreUnticksTheBoxAndSaysWhyInCzech) {
    TRecordingPasswordStore store;
    store.FailWrites = QStringLiteral("Locked");
    Create(&store);
    Screen.Toggle(TControl::CheckBox1);
    Screen.Captions[TControl::Edit1] = QStringLiteral("tajne");
    Screen.OnClick(TControl::Button1);
    Form->JabberClient1->OnJabberOnline(Form->JabberClient1);
    EXPECT_FALSE(Screen.Checked(TControl::CheckBox1));
    EXPECT_EQ(Screen.Messages,
              QStringList{QStringLiteral("Heslo se nepodařilo uložit do úložiště hesel: Locked")});
}

TEST_F(Desktop, AutostartEntryIsWrittenAndRemovedFromTheMenu) {
    QTemporaryDir config;
    const QString folder = QDir(config.path()).filePath(QStringLiteral("autostart"));
    const QString entry = QDir(folder).filePath(QStringLiteral("velora.desktop"));
    Create(nullptr, folder);
    EXPECT_TRUE(Screen.Enabled(TControl::Spoustet1));
    EXPECT_FALSE(Screen.Checked(TControl::Spoustet1));

    Screen.Toggle(TControl::Spoustet1);
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\nExec=/usr/bin/velora\n"));
    file.close();

    // A new start finds the entry ticked.
    TRecordingDesktop later;
    TForm1 again(later, Dir.path(), nullptr, QString(),
                 {nullptr, folder, QStringLiteral("/usr/bin/velora")});
    EXPECT_TRUE(later.Checked(TControl::Spoustet1));

    Screen.Toggle(TControl::Spoustet1);
    EXPECT_FALSE(QFile::exists(entry));
}

TEST_F(Desktop, AnAutostartEntryThatCannotBeWrittenIsReportedAndStaysUnticked) {
    QTemporaryDir config;
    // A file where the folder should be.
    const QString folder = QDir(config.path()).filePath(QStringLiteral("autostart"));
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Create(nullptr, folder);
    Screen.Toggle(TControl::Spoustet1);
    EXPECT_FALSE(Screen.Checked(TControl::Spoustet1));
    ASSERT_EQ(Screen.Messages.size(), 1);
    EXPECT_TRUE(Screen.Messages[0].startsWith(QStringLiteral("Nelze vytvořit složku ")));
}

TEST_F(Desktop, WithoutAnAutostartFolderTheEntryIsDisabled) {
    Create();
    EXPECT_FALSE(Screen.Enabled(TControl::Spoustet1));
}

TEST_F(Desktop, TheBuiltInHelpStandsInOnlyForTheHelpPage) {
    Create();
    ASSERT_EQ(Screen.Navigations, QStringList{kHelp});
    Screen.OnLoadFailed(QStringLiteral("http://crm.example/x"));
    EXPECT_TRUE(Screen.Pages.isEmpty());
    Screen.OnLoadFailed(kHelp);
    ASSERT_EQ(Screen.Pages.size(), 1);
    EXPECT_TRUE(Screen.Pages[0].contains(QDir::toNativeSeparators(Dir.path())));
}

} // namespace
