// The password store against a real Secret Service: gnome-keyring on a
// private session bus, with a keyring unlocked for the test.
#include "KeychainPasswordStore.h"
#include "PrivateBus.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>
#include <optional>

namespace {

class Keychain : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Bus = new TPrivateBus;
        Keyring = new QProcess;
        Home = new QTemporaryDir;
        if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty() ||
            Bus->Start().isEmpty())
            return;
        qputenv("DBUS_SESSION_BUS_ADDRESS", Bus->Address().toUtf8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), Bus->Address());
        env.insert(QStringLiteral("HOME"), Home->path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), Home->filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), Home->path());
        Keyring->setProcessEnvironment(env);
        Keyring->start(QStringLiteral("gnome-keyring-daemon"),
                       {QStringLiteral("--foreground"), QStringLiteral("--components=secrets"),
                        QStringLiteral("--unlock")});
        // --unlock reads the keyring's password from standard input.
        Keyring->waitForStarted(10000);
        Keyring->write("heslo-klicenky");
        Keyring->waitForBytesWritten(10000);
        Keyring->closeWriteChannel();
        Ready = Bus->WaitForName(QStringLiteral("org.freedesktop.secrets"));
    }
    static void TearDownTestSuite() {
        Keyring->terminate();
        if (!Keyring->waitForFinished(5000))
            Keyring->kill();
        Keyring->waitForFinished(5000);
        delete Keyring;
        delete Bus;
        delete Home;
    }
    void SetUp() override {
        ASSERT_TRUE(Ready) << "gnome-keyring did not come up on a private bus (scripts/setup "
                              "installs gnome-keyring, libsecret-1-0 and dbus): "
                           << Keyring->readAllStandardError().toStdString();
    }

    // Runs one operation to its end, within about thirty seconds.
    template <typename Start> TPasswordStore::TResult Run(Start start) {
        std::optional<TPasswordStore::TResult> result;
        start([&](const TPasswordStore::TResult& r) { result = r; });
        (void)QTest::qWaitFor([&] { return result.has_value(); }, 30000);
        return result.value_or(TPasswordStore::TResult{
            TPasswordStore::TStatus::Failed, {}, QStringLiteral("no answer")});
    }

    static inline TPrivateBus* Bus = nullptr;
    static inline QProcess* Keyring = nullptr;
    static inline QTemporaryDir* Home = nullptr;
    static inline bool Ready = false;
};

TEST_F(Keychain, StoresReadsAndRemovesAPasswordPerAddress) {
    using S = TPasswordStore::TStatus;
    TKeychainPasswordStore store;
    const QString me = QStringLiteral("420111222@velora.example");
    const QString password = QStringLiteral("tajné heslo €");

    const auto write = Run([&](auto done) { store.Write(me, password, done); });
    ASSERT_EQ(write.Status, S::Done) << write.Error.toStdString();
    const auto read = Run([&](auto done) { store.Read(me, done); });
    EXPECT_EQ(read.Status, S::Done) << read.Error.toStdString();
    EXPECT_EQ(read.Password, password);
    EXPECT_EQ(
        Run([&](auto done) { store.Read(QStringLiteral("jiny@velora.example"), done); }).Status,
        S::NotFound);

    EXPECT_EQ(Run([&](auto done) { store.Remove(me, done); }).Status, S::Done);
    EXPECT_EQ(Run([&](auto done) { store.Read(me, done); }).Status, S::NotFound);
    EXPECT_EQ(Run([&](auto done) { store.Remove(me, done); }).Status, S::Done);
}

} // namespace
