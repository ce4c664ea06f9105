// The desktop integration's own units: the autostart entry, the built-in
// help page, Qt's Czech translations and the single-instance guard.
#include "Autostart.h"
#include "BuiltInHelp.h"
#include "SingleInstance.h"
#include "Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

QString ExecLine(const QString& program) {
    const QStringList lines = TAutostart::EntryText(program).split(u'\n');
    for (const QString& line : lines)
        if (line.startsWith(QStringLiteral("Exec=")))
            return line.mid(5);
    return {};
}

TEST(Autostart, ExecKeyQuotesThePathAsTheDesktopEntrySpecAsks) {
    const struct {
        const char* Program;
        const char* Exec;
    } cases[] = {
        {"/usr/bin/velora", "/usr/bin/velora"},
        {"/home/jan/Velora 2/velora", "\"/home/jan/Velora 2/velora\""},
        {"/opt/$HOME/velora", "\"/opt/\\\\$HOME/velora\""},
        {"/opt/a\"b/velora", "\"/opt/a\\\\\"b/velora\""},
        {"/opt/back\\slash/velora", "\"/opt/back\\\\\\\\slash/velora\""},
        {"/opt/100%/velora", "/opt/100%%/velora"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExecLine(QString::fromUtf8(c.Program)), QString::fromUtf8(c.Exec)) << c.Program;
}

TEST(Autostart, HiddenEntryCountsAsOff) {
    QTemporaryDir folder;
    const TAutostart autostart(folder.path(), QStringLiteral("/usr/bin/velora"));
    EXPECT_FALSE(autostart.Enabled());
    autostart.SetEnabled(true);
    EXPECT_TRUE(autostart.Enabled());
    QFile entry(autostart.EntryPath());
    ASSERT_TRUE(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    EXPECT_FALSE(autostart.Enabled());
    autostart.SetEnabled(false);
    EXPECT_FALSE(QFile::exists(autostart.EntryPath()));
    autostart.SetEnabled(false); // nothing there: nothing to do
}

TEST(BuiltInHelp, CzechPageNamesTheDataFolderEscaped) {
    const QString page = BuiltInHelpPage(QStringLiteral("/home/<jan>&co/.config/velora"));
    EXPECT_TRUE(page.contains(QStringLiteral("lang=\"cs\"")));
    EXPECT_TRUE(page.contains(QStringLiteral("/home/&lt;jan&gt;&amp;co/.config/velora")));
    for (const char* text : {"data.ini", "historie.dat", "online", "offline", "Přihlásit se",
                             "Zapamatovat heslo", "Uživatel"})
        EXPECT_TRUE(page.contains(QString::fromUtf8(text))) << text;
}

TEST(Translations, StandardButtonsReadCzech) {
    ASSERT_TRUE(InstallCzechTranslations(*QCoreApplication::instance()))
        << "qt6-translations-l10n is installed by scripts/setup";
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    const auto text = [&](QMessageBox::StandardButton button) {
        return box.button(button)->text().remove(u'&');
    };
    EXPECT_EQ(text(QMessageBox::Yes), QStringLiteral("Ano"));
    EXPECT_EQ(text(QMessageBox::No), QStringLiteral("Ne"));
    EXPECT_EQ(text(QMessageBox::Cancel), QStringLiteral("Zrušit"));
}

TEST(SingleInstance, ALaterStartFindsTheLockAndHandsOver) {
    QTemporaryDir folder;
    TSingleInstance first(folder.path());
    ASSERT_TRUE(first.TryLock());
    int activated = 0;
    first.OnActivate = [&] {
        ++activated;
    };

    TSingleInstance second(folder.path());
    EXPECT_FALSE(second.TryLock());
    // Nobody listens yet: the hand-over gives up after its time.
    EXPECT_FALSE(second.HandOver(200));

    ASSERT_TRUE(first.Listen());
    // The hand-over blocks; the first one answers from the event loop.
    std::atomic<int> handedOver{-1};
    std::thread later([&] { handedOver = second.HandOver(30000) ? 1 : 0; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return handedOver >= 0; }, 10000));
    later.join();
    EXPECT_EQ(handedOver, 1);
    EXPECT_EQ(activated, 1);
}

TEST(SingleInstance, ASocketLeftBehindIsReplaced) {
    QTemporaryDir folder;
    QFile stale(QDir(folder.path()).filePath(QStringLiteral("velora.socket")));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    TSingleInstance first(folder.path());
    ASSERT_TRUE(first.TryLock());
    EXPECT_TRUE(first.Listen());
}

} // namespace
