// The road of a call on a desktop with a notification service but no tray,
// through the real window: the call's notification, and its default action
// opening the call's page in the web view.
#include "MainWindow.h"
#include "NotificationService.h"
#include "QtDesktop.h"
#include "Unit1.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebEngineView>

namespace {

using Notifications = NotificationService;

TEST_F(Notifications, WithoutATrayACallIsANotificationThatOpensTheCallsPage) {
    QTemporaryDir folder;
    QFile ini(QDir(folder.path()).filePath(QStringLiteral("data.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[pripojeni]\r\nport=0\r\njmeno=1@velora.example\r\nweb=127.0.0.1:1\r\n");
    ini.close();
    TQtDesktop desktop;
    ASSERT_FALSE(desktop.HasSystemTray());
    TForm1 form(desktop, folder.path());

    const QString link = QStringLiteral("http://127.0.0.1:1/index.php?action=DetailView&record=15");
    form.nacti(QStringLiteral("111:222:1:3:Účetní oddělení:") + link);
    const QJsonObject shown = NextNotification();
    EXPECT_EQ(shown[QStringLiteral("summary")].toString(), QStringLiteral("111"));
    EXPECT_EQ(shown[QStringLiteral("body")].toString(), QStringLiteral("Účetní oddělení"));

    Invoke(shown[QStringLiteral("id")].toInt(), "default");
    EXPECT_TRUE(Wait([&] { return desktop.Window().WebBrowser1->url() == QUrl(link); }))
        << desktop.Window().WebBrowser1->url().toString().toStdString();
}

} // namespace
