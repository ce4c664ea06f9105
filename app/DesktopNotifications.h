#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>

// Notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), for desktops that have
// one but no system tray. Each notification replaces the one shown before
// and carries a default action: clicking it raises OnActivated.
class TDesktopNotifications : public QObject {
    Q_OBJECT

public:
    explicit TDesktopNotifications(const QDBusConnection& bus, QObject* parent = nullptr);

    // The service runs on the bus or the bus can start it.
    bool Available() const;

    // Shows title and text for timeoutMs (the service may shorten or keep it).
    // Text is escaped where the service reads markup.
    void Notify(const QString& title, const QString& text, int timeoutMs);

    // The default action of the notification shown last was invoked.
    std::function<void()> OnActivated;

private Q_SLOTS:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    bool ReadsMarkup();

    QDBusConnection FBus;
    uint FShown = 0;    // id of the notification shown last; 0 for none
    int FAwaited = 0;   // Notify calls whose id has not come back yet
    QList<uint> FEarly; // default actions invoked before their id came back
    int FMarkup = -1;   // -1: not asked yet
};
