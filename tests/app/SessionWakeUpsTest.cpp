// The wake-up signals of the session against a D-Bus daemon of the test's own: a fake
// logind announces suspend and resume on it.
#include "SessionWakeUps.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QtCore/qtestsupport_core.h>
#include <functional>
#include <gtest/gtest.h>

namespace {

bool Eventually(const std::function<bool()>& Condition) {
    return QTest::qWaitFor(Condition, 10000);
}

class SessionWakeUps : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            GTEST_SKIP() << "dbus-daemon is installed by scripts/setup";
        Daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address=1")});
        ASSERT_TRUE(Daemon.waitForStarted(10000));
        ASSERT_TRUE(Eventually([&] {
            Daemon.waitForReadyRead(50);
            Address += QString::fromUtf8(Daemon.readAllStandardOutput());
            return Address.contains(u'\n');
        }));
        Address = Address.trimmed();
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
        QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
        if (Daemon.state() != QProcess::NotRunning) {
            Daemon.terminate();
            Daemon.waitForFinished(5000);
        }
    }

    void Announce(QDBusConnection& Logind, bool Start) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"));
        signal << Start;
        ASSERT_TRUE(Logind.send(signal));
    }

    QProcess Daemon;
    QString Address;
};

TEST_F(SessionWakeUps, ResumeFromSuspendWakesTheSession) {
    QDBusConnection bus = QDBusConnection::connectToBus(Address, QStringLiteral("listener"));
    QDBusConnection logind = QDBusConnection::connectToBus(Address, QStringLiteral("logind"));
    ASSERT_TRUE(bus.isConnected());
    ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
    int wakes = 0;
    TSessionWakeUps wakeUps(bus, [&] { ++wakes; });

    // Going to sleep is not a wake-up; coming back is, once per resume.
    Announce(logind, true);
    Announce(logind, false);
    ASSERT_TRUE(Eventually([&] { return wakes == 1; }));
    Announce(logind, true);
    Announce(logind, false);
    ASSERT_TRUE(Eventually([&] { return wakes == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(wakes, 2);
}

// In a bare container there is neither a system bus nor a network service: the
// object is made all the same and simply never calls.
TEST(SessionWakeUpsWithoutServices, NeverCalls) {
    int wakes = 0;
    TSessionWakeUps wakeUps(QDBusConnection(QStringLiteral("none")), [&] { ++wakes; });
    QCoreApplication::processEvents();
    EXPECT_EQ(wakes, 0);
}

} // namespace
