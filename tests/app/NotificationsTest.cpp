// Desktop notifications on a private session bus, served by a small
// notification service of the test's own: what is sent, the default action,
// and a bus without the service.
#include "DesktopNotifications.h"
#include "NotificationService.h"

namespace {

using Notifications = NotificationService;

TEST_F(Notifications, TitleTextAndADefaultActionThatOnlyTheLastOneAnswers) {
    TDesktopNotifications notifications(QDBusConnection::sessionBus());
    ASSERT_TRUE(notifications.Available());
    int activated = 0;
    notifications.OnActivated = [&] {
        ++activated;
    };

    notifications.Notify(QStringLiteral("111"), QStringLiteral("Novák & syn <s.r.o.>"), 10000);
    const QJsonObject first = NextNotification();
    EXPECT_EQ(first[QStringLiteral("summary")].toString(), QStringLiteral("111"));
    // The service reads markup, so the text arrives escaped.
    EXPECT_EQ(first[QStringLiteral("body")].toString(),
              QStringLiteral("Novák &amp; syn &lt;s.r.o.&gt;"));
    EXPECT_EQ(first[QStringLiteral("app")].toString(), QStringLiteral("Velora"));
    EXPECT_EQ(first[QStringLiteral("timeout")].toInt(), 10000);
    EXPECT_EQ(Strings(first[QStringLiteral("actions")]),
              QStringList({QStringLiteral("default"), QStringLiteral("Otevřít")}));

    const int id = first[QStringLiteral("id")].toInt();
    Invoke(id, "default");
    EXPECT_TRUE(Wait([&] { return activated == 1; }));

    // A new call replaces the notification shown before.
    notifications.Notify(QStringLiteral("222"), QStringLiteral("Jana"), 10000);
    const QJsonObject second = NextNotification();
    EXPECT_EQ(second[QStringLiteral("replaces")].toInt(), id);
    EXPECT_EQ(second[QStringLiteral("body")].toString(), QStringLiteral("Jana"));
}

TEST_F(Notifications, ABusWithoutTheServiceHasNone) {
    TPrivateBus empty;
    ASSERT_FALSE(empty.Start().isEmpty());
    QDBusConnection bus = QDBusConnection::connectToBus(empty.Address(), QStringLiteral("empty"));
    EXPECT_FALSE(TDesktopNotifications(bus).Available());
    QDBusConnection::disconnectFromBus(QStringLiteral("empty"));
}

} // namespace
