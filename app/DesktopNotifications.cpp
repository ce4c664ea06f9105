#include "DesktopNotifications.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

TDesktopNotifications::TDesktopNotifications(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), FBus(bus) {
    FBus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(ActionInvoked(uint, QString)));
    FBus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(NotificationClosed(uint, uint)));
}

bool TDesktopNotifications::Available() const {
    if (!FBus.isConnected())
        return false;
    QDBusConnectionInterface* bus = FBus.interface();
    if (bus->isServiceRegistered(kService))
        return true;
    const QDBusReply<QStringList> activatable = bus->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

bool TDesktopNotifications::ReadsMarkup() {
    if (FMarkup < 0) {
        // A service that hangs must not hold the window for long.
        const QDBusReply<QStringList> capabilities =
            FBus.call(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                     QStringLiteral("GetCapabilities")),
                      QDBus::Block, 1000);
        // Asked again next time when the service did not answer.
        if (!capabilities.isValid())
            return false;
        FMarkup = capabilities.value().contains(QStringLiteral("body-markup")) ? 1 : 0;
    }
    return FMarkup == 1;
}

void TDesktopNotifications::Notify(const QString& title, const QString& text, int timeoutMs) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("velora")}};
    call << QStringLiteral("Velora") << FShown << QStringLiteral("velora") << title
         << (ReadsMarkup() ? text.toHtmlEscaped() : text)
         << QStringList{QStringLiteral("default"), QStringLiteral("Otevřít")} << hints << timeoutMs;
    // The answer, the new notification's id, comes later: the GUI never waits
    // for the service.
    ++FAwaited;
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isValid())
                    FShown = reply.value();
                const bool early = FShown != 0 && FEarly.contains(FShown);
                if (--FAwaited == 0)
                    FEarly.clear();
                if (early && OnActivated)
                    OnActivated();
            });
}

void TDesktopNotifications::ActionInvoked(uint id, const QString& action) {
    if (action != u"default")
        return;
    // A quick click may come before the id of its notification: it is kept
    // until the id is known.
    if (FAwaited > 0 && id != FShown)
        FEarly << id;
    else if (id == FShown && id != 0 && OnActivated)
        OnActivated();
}

void TDesktopNotifications::NotificationClosed(uint id, uint) {
    if (id == FShown)
        FShown = 0;
}
