#pragma once

// A private session bus with a small notification service of the test's own
// (notification_server.py), shared by the tests of one binary: the program's
// session bus is fixed once it is first used.
#include "PrivateBus.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

// Runs the event loop until done() or twenty seconds have passed.
template <typename Done> bool Wait(Done done) {
    return QTest::qWaitFor(done, 20000);
}

class NotificationService : public testing::Test {
protected:
    // One bus and one service for the whole binary: the program's session bus
    // is fixed once it is first used.
    static void SetUpTestSuite() {
        Bus = new TPrivateBus;
        Service = new QProcess;
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            Bus->Start().isEmpty())
            return;
        qputenv("DBUS_SESSION_BUS_ADDRESS", Bus->Address().toUtf8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), Bus->Address());
        Service->setProcessEnvironment(env);
        // The system's Python, which has python3-dbus and python3-gi.
        Service->start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(NOTIFICATION_SERVER)});
        for (int i = 0; i < 200 && !Service->canReadLine(); ++i)
            Service->waitForReadyRead(100);
        Ready = Service->readLine().trimmed() == "ready";
    }
    static void TearDownTestSuite() {
        Service->write("quit\n");
        if (!Service->waitForFinished(5000))
            Service->kill();
        Service->waitForFinished(5000);
        delete Service;
        delete Bus;
    }
    void SetUp() override {
        ASSERT_TRUE(Ready) << "the private bus or the notification service did not start "
                              "(dbus, python3-dbus and python3-gi come with scripts/setup)";
        Service->readAll();
    }

    // The next Notify the service saw, within about twenty seconds. The
    // program's calls go out from its event loop, which runs meanwhile.
    static QJsonObject NextNotification() {
        QByteArray line;
        // Python may hand a line's end over on its own: blank lines are skipped.
        Wait([&] {
            Service->waitForReadyRead(10);
            while (line.trimmed().isEmpty() && Service->canReadLine())
                line = Service->readLine();
            return !line.trimmed().isEmpty();
        });
        return QJsonDocument::fromJson(line).object();
    }
    static QStringList Strings(const QJsonValue& array) {
        QStringList strings;
        for (const QJsonValue& value : array.toArray())
            strings << value.toString();
        return strings;
    }
    static void Invoke(int id, const char* action) {
        Service->write(QByteArray("invoke ") + QByteArray::number(id) + ' ' + action + '\n');
        Service->waitForBytesWritten(5000);
    }

    static inline TPrivateBus* Bus = nullptr;
    static inline QProcess* Service = nullptr;
    static inline bool Ready = false;
};
