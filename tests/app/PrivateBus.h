#pragma once

// A D-Bus session bus of the test's own: dbus-daemon with a configuration
// that starts no service by itself, so only what the test runs is on it.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

class TPrivateBus {
public:
    TPrivateBus() = default;
    TPrivateBus(const TPrivateBus&) = delete;
    TPrivateBus& operator=(const TPrivateBus&) = delete;
    ~TPrivateBus() {
        if (FDaemon.state() != QProcess::NotRunning) {
            FDaemon.terminate();
            if (!FDaemon.waitForFinished(5000))
                FDaemon.kill();
            FDaemon.waitForFinished(5000);
        }
    }

    // Starts the daemon; the address is empty when it did not come up.
    QString Start() {
        QFile config(FDir.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return {};
        config.write(QStringLiteral(
                         "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                         "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                         "busconfig.dtd\">\n<busconfig><type>session</type>"
                         "<listen>unix:path=%1</listen><policy context=\"default\">"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(FDir.filePath(QStringLiteral("bus")))
                         .toUtf8());
        config.close();
        FDaemon.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=") + config.fileName(),
                       QStringLiteral("--print-address=1"), QStringLiteral("--nofork"),
                       QStringLiteral("--nopidfile")});
        for (int i = 0; i < 100 && FAddress.isEmpty() && FDaemon.state() != QProcess::NotRunning;
             ++i) {
            FDaemon.waitForReadyRead(100);
            FAddress = QString::fromUtf8(FDaemon.readLine()).trimmed();
        }
        return FAddress;
    }

    QString Address() const { return FAddress; }

    // Waits at most ten seconds for the name to appear on the bus.
    bool WaitForName(const QString& name) const {
        QDBusConnection bus = QDBusConnection::connectToBus(FAddress, QStringLiteral("probe"));
        const bool there = QTest::qWaitFor(
            [&] { return bus.interface()->isServiceRegistered(name).value(); }, 10000);
        QDBusConnection::disconnectFromBus(QStringLiteral("probe"));
        return there;
    }

private:
    QTemporaryDir FDir;
    QProcess FDaemon;
    QString FAddress;
};
