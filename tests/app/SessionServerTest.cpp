// Keeping the session alive against a real ejabberd of the test's own: the server
// is killed, stopped and started again, the link is black-holed by a relay, and a
// second program takes the login over. The window runs headless with the recording
// desktop; its client talks to the server through the real socket transport.
#include "ApplicationTestMain.h"
#include "Jabber.h"
#include "LoopbackServer.h"
#include "PrivateEjabberd.h"
#include "RecordingDesktop.h"
#include "Unit1.h"
#include "VersionInfo.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QString kOnline = QStringLiteral("online");

// A TCP relay on 127.0.0.1 in front of the server. Stalled, it forwards nothing and
// closes nothing, as a link that died without a reset (Wi-Fi gone, a NAT that forgot
// the connection); new connections are taken but go nowhere either.
class TStallingRelay {
public:
    explicit TStallingRelay(quint16 Target) : FTarget(Target) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        ::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(FListen, 16);
        socklen_t length = sizeof address;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~TStallingRelay() {
        FStop = true;
        FThread.join();
        for (auto& pair : FPairs) {
            ::close(pair.first);
            ::close(pair.second);
        }
        ::close(FListen);
    }
    quint16 Port() const { return FPort; }
    void Stall(bool Value) { FStalled = Value; }
    int Connections() const { return FConnections.load(); }

private:
    static sockaddr_in Loopback(quint16 Port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void Run() {
        char buffer[65536];
        while (!FStop) {
            const bool stalled = FStalled;
            std::vector<pollfd> fds{{FListen, POLLIN, 0}};
            if (!stalled)
                for (const auto& pair : FPairs) {
                    fds.push_back({pair.first, POLLIN, 0});
                    fds.push_back({pair.second, POLLIN, 0});
                }
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in target = Loopback(FTarget);
                if (::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) ==
                    0) {
                    FPairs.emplace_back(client, server);
                    ++FConnections;
                } else {
                    ::close(client);
                    ::close(server);
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                auto& pair = FPairs[(i - 1) / 2];
                const int from = fds[i].fd;
                const int to = from == pair.first ? pair.second : pair.first;
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n <= 0 || ::send(to, buffer, size_t(n), MSG_NOSIGNAL) != n) {
                    ::shutdown(pair.first, SHUT_RDWR);
                    ::shutdown(pair.second, SHUT_RDWR);
                }
            }
        }
    }

    quint16 FTarget;
    int FListen = -1;
    quint16 FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FStalled{false};
    std::atomic<int> FConnections{0};
    std::vector<std::pair<int, int>> FPairs; // the relay thread's own
    std::thread FThread;
};

class SessionServer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = new TPrivateEjabberd;
        if (!Server->Start())
            ADD_FAILURE() << "the private ejabberd did not start: " << Server->Log().toStdString();
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(Server->TakesConnections()) << "no server"; }

    // A window for account 1 aimed at Port (the server's own by default), with a
    // short backoff, logged in by a click and a tick.
    std::unique_ptr<TForm1> LoggedIn(TRecordingDesktop& Desktop, QTemporaryDir& Dir,
                                     quint16 Port = 0) {
        QFile ini(QDir(Dir.path()).filePath(QStringLiteral("data.ini")));
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[pripojeni]\r\nport=0\r\njmeno=%1\r\nserver=127.0.0.1\r\n"
                                 "domena=%2\r\nserverport=%3\r\n")
                      .arg(Server->Jid(1), Server->Domain())
                      .arg(Port ? Port : Server->Port())
                      .toUtf8());
        ini.close();
        auto form = std::make_unique<TForm1>(Desktop, Dir.path());
        form->Reconnect.SetSteps(200ms, 1s);
        form->Timer1Timer(); // the first tick belongs to the update check
        Desktop.Captions[TControl::Edit1] = Server->Password(1);
        Desktop.OnClick(TControl::Button1);
        form->Timer1Timer();
        EXPECT_TRUE(WaitUntil([&] { return Desktop.Status[0] == kOnline; }, 60s))
            << Desktop.Status[0].toStdString();
        return form;
    }

    QString Session() const {
        return Server->Jid(1) + u'/' + LocalComputerName() + QStringLiteral(" velora");
    }

    static TPrivateEjabberd* Server;
};

TPrivateEjabberd* SessionServer::Server = nullptr;

// The server goes away (killed, or stopped in order) and comes back: the window
// shows the loss and logs in again by itself.
TEST_F(SessionServer, ServerKilledOrStoppedIsFollowedByALoginOnceItIsBack) {
    for (const bool kill : {true, false}) {
        SCOPED_TRACE(kill ? "killed" : "stopped");
        TRecordingDesktop desktop;
        QTemporaryDir dir;
        auto form = LoggedIn(desktop, dir);
        ASSERT_EQ(desktop.Status[0], kOnline);

        QElapsedTimer clock;
        clock.start();
        kill ? Server->Kill() : Server->Stop();
        ASSERT_TRUE(WaitUntil([&] { return desktop.Status[0] != kOnline; }, 60s));
        const qint64 offlineMs = clock.elapsed();
        EXPECT_FALSE(form->jabber_online);

        ASSERT_TRUE(Server->Restart()) << "the server did not come back";
        clock.restart();
        ASSERT_TRUE(WaitUntil([&] { return desktop.Status[0] == kOnline; }, 60s))
            << desktop.Status[0].toStdString();
        const qint64 backMs = clock.elapsed();
        EXPECT_TRUE(WaitUntil([&] { return Server->ConnectedUsers().contains(Session()); }, 30s));
        EXPECT_TRUE(desktop.Messages.isEmpty());
        std::printf("[ figure ] %s: offline shown %lld ms after the server went, online %lld ms "
                    "after it took connections again\n",
                    kill ? "killed" : "stopped", static_cast<long long>(offlineMs),
                    static_cast<long long>(backMs));
    }
}

// A link that stops carrying anything, without a reset: the ping finds it, and the
// window logs in again through the relay once it forwards again.
TEST_F(SessionServer, BlackHoledLinkIsFoundAndRecovered) {
    TStallingRelay relay(Server->Port());
    TRecordingDesktop desktop;
    QTemporaryDir dir;
    auto form = LoggedIn(desktop, dir, relay.Port());
    ASSERT_EQ(desktop.Status[0], kOnline);
    form->JabberClient1->SetPingInterval(1s);
    form->JabberClient1->SetPingTimeout(2s);
    form->JabberClient1->SetAttemptTimeout(3s);
    form->Timer1Timer(); // presence: some traffic, then quiet

    QElapsedTimer clock;
    clock.start();
    relay.Stall(true);
    ASSERT_TRUE(WaitUntil([&] { return desktop.Status[0] != kOnline; }, 60s));
    const qint64 foundMs = clock.elapsed();
    // Attempts through the stalled relay fail by their time-out and are tried again.
    const int connections = relay.Connections();
    ASSERT_TRUE(WaitUntil([&] { return relay.Connections() > connections; }, 60s));
    EXPECT_NE(desktop.Status[0], kOnline);

    relay.Stall(false);
    ASSERT_TRUE(WaitUntil([&] { return desktop.Status[0] == kOnline; }, 60s))
        << desktop.Status[0].toStdString();
    std::printf("[ figure ] black-holed link found after %lld ms (ping every 1 s of quiet, "
                "2 s time-out)\n",
                static_cast<long long>(foundMs));
}

// The same account and resource logged in by a second program: the first is told
// "conflict" and stays offline, instead of taking the login back for ever.
TEST_F(SessionServer, LoginTakenOverElsewhereDoesNotPingPong) {
    TRecordingDesktop firstDesktop;
    QTemporaryDir firstDir;
    auto first = LoggedIn(firstDesktop, firstDir);
    TRecordingDesktop secondDesktop;
    QTemporaryDir secondDir;
    auto second = LoggedIn(secondDesktop, secondDir);

    ASSERT_TRUE(WaitUntil(
        [&] {
            return firstDesktop.Status[0] ==
                   QStringLiteral("Přihlášení bylo převzato jiným připojením");
        },
        30s))
        << firstDesktop.Status[0].toStdString();
    // Long enough for several rounds of the short backoff, had there been one.
    ProcessEventsFor(5s);
    EXPECT_EQ(secondDesktop.Status[0], kOnline);
    EXPECT_FALSE(first->ReconnectPending());
    EXPECT_EQ(Server->ConnectedUsers().count(Session()), 1);
}

} // namespace
