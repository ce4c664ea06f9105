#pragma once

// Tells its owner when a session that may have died unnoticed should be looked at
// again: the machine resumed from suspend (logind's PrepareForSleep(false) on the
// system bus) or the network became reachable again (QNetworkInformation). Where
// neither service exists, it simply never calls.

#include <QDBusConnection>
#include <QObject>
#include <functional>

class TSessionWakeUps : public QObject {
    Q_OBJECT
public:
    // Listens on Bus (the system bus in the program; a private bus in tests).
    TSessionWakeUps(const QDBusConnection& Bus, std::function<void()> OnWake,
                    QObject* Parent = nullptr);

private slots:
    void PrepareForSleep(bool Start);

private:
    std::function<void()> FOnWake;
    bool FReachable = true;
};
