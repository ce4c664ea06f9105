#include "SessionWakeUps.h"

#include <QNetworkInformation>

TSessionWakeUps::TSessionWakeUps(const QDBusConnection& Bus, std::function<void()> OnWake,
                                 QObject* Parent)
    : QObject(Parent), FOnWake(std::move(OnWake)) {
    if (Bus.isConnected()) {
        QDBusConnection(Bus).connect(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
            this, SLOT(PrepareForSleep(bool)));
    }
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        QNetworkInformation* network = QNetworkInformation::instance();
        FReachable = network->reachability() == QNetworkInformation::Reachability::Online;
        connect(network, &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability Reachability) {
                    const bool reachable =
                        Reachability == QNetworkInformation::Reachability::Online;
                    const bool back = reachable && !FReachable;
                    FReachable = reachable;
                    if (back && FOnWake)
                        FOnWake();
                });
    }
}

void TSessionWakeUps::PrepareForSleep(bool Start) {
    if (!Start && FOnWake)
        FOnWake();
}
