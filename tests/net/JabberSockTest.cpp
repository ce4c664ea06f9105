#include "JabberSock.h"

#include "LoopbackServer.h"
#include "NetTestMain.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Everything a facade reported, in order.
struct TEventLog {
    QStringList Events;
    QByteArray Received;
    std::vector<uint32_t> Chunks;
    std::vector<int> Sockets;
    std::vector<TObject*> Senders;
    std::vector<TErrorType> ErrorTypes;
    QStringList ErrorMessages;

    void Attach(TMySocket& Socket) {
        Socket.OnConnectProc = [this](TObject* Sender) {
            Note(Sender, "connect");
        };
        Socket.OnConnectError = [this](TObject* Sender) {
            Note(Sender, "connect-error");
        };
        Socket.OnDisconnect = [this](TObject* Sender) {
            Note(Sender, "disconnect");
        };
        Socket.OnDataSent = [this](TObject* Sender) {
            Note(Sender, "data-sent");
        };
        Socket.OnError = [this](TObject* Sender, TErrorType Type, const QString& Message) {
            Note(Sender, "error");
            ErrorTypes.push_back(Type);
            ErrorMessages << Message;
        };
        Socket.OnReceiveProc = [this](TObject* Sender, int Handle, const void* Buffer,
                                      uint32_t BufLen) {
            Note(Sender, "receive");
            Sockets.push_back(Handle);
            Chunks.push_back(BufLen);
            Received.append(static_cast<const char*>(Buffer), BufLen);
        };
    }
    void Note(TObject* Sender, const QString& Event) {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread())
            << "every event runs on the GUI thread";
        Senders.push_back(Sender);
        Events << Event;
    }
    int Count(const QString& Event) const { return Events.count(Event); }
};

class JabberSockTest : public testing::Test {
protected:
    void SetUp() override { TakeEscapedErrors(); }

    // A facade aimed at the loopback server, with every event logged.
    std::unique_ptr<TMySocket> NewSocket(const QString& Host = "127.0.0.1", int Port = -1) {
        auto socket = std::make_unique<TMySocket>();
        socket->SetHost(Host);
        socket->SetPort(static_cast<uint16_t>(Port < 0 ? Server.Port() : Port));
        Log.Attach(*socket);
        return socket;
    }

    // Connects Socket and waits until the connection is reported and the first flush
    // has found the queue empty.
    std::unique_ptr<TLoopbackPeer> ConnectToServer(TMySocket& Socket) {
        Socket.Connect();
        auto peer = Server.Accept();
        EXPECT_TRUE(peer);
        EXPECT_TRUE(WaitUntil([&] { return Log.Count("data-sent") == 1; }));
        return peer;
    }

    // Waits until every socket worker thread has ended.
    static bool WorkersEnded() {
        return WaitUntil([&] { return SocketThreadCount() == 0; });
    }

    TLoopbackServer Server;
    TEventLog Log;
};

TEST_F(JabberSockTest, ConnectReportsConnectionThenEmptyQueueOnce) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);

    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Events, QStringList({"connect", "data-sent"}));
    EXPECT_EQ(Log.Senders, std::vector<TObject*>(2, socket.get()));
    EXPECT_TRUE(socket->Connected());
    EXPECT_GE(socket->ClientSocket(), 0);
}

TEST_F(JabberSockTest, QueuedDataLeavesInOrderAndEachDrainIsReportedOnce) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);

    socket->SendData("first,", 6);
    ASSERT_TRUE(WaitUntil([&] { return Log.Count("data-sent") == 2; }));
    const QByteArray big(70000, 'b');
    socket->SendData(big.constData(), big.size());
    socket->SendData("last", 4);

    const QByteArray expected = "first," + big.left(65535) + "last";
    ASSERT_TRUE(WaitUntil([&] { return peer->Received().size() >= expected.size(); }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(peer->Received(), expected) << "one send keeps at most 65,535 bytes";
    // The two last sends drain once or twice, depending on whether the worker caught
    // up between them.
    EXPECT_GE(Log.Count("data-sent"), 3);
    EXPECT_LE(Log.Count("data-sent"), 4);
}

// A zero-length send queues nothing and does not re-arm the drained report: a later
// flush pass (after a receive) must stay silent.
TEST_F(JabberSockTest, ZeroLengthSendChangesNothing) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);

    socket->SendData("ignored", 0);
    peer->Send("ping");
    ASSERT_TRUE(WaitUntil([&] { return Log.Received == "ping"; }));
    ProcessEventsFor(100ms);
    EXPECT_EQ(Log.Count("data-sent"), 1);
    EXPECT_TRUE(peer->Received().isEmpty());
}

TEST_F(JabberSockTest, ReceivedBytesReachTheOwnerWithTheSocketHandle) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);

    peer->Send("<stream>hello</stream>");
    ASSERT_TRUE(WaitUntil([&] { return Log.Received == "<stream>hello</stream>"; }));
    for (size_t i = 0; i < Log.Sockets.size(); ++i) {
        EXPECT_EQ(Log.Sockets[i], socket->ClientSocket());
    }
    EXPECT_EQ(Log.Senders.back(), socket.get());
}

// A burst larger than the receive buffer arrives in order, in calls of at most
// 131,070 bytes; once more than one 65,535-byte packet waits in the socket, a
// single call takes more than that.
TEST_F(JabberSockTest, BurstArrivesInOrderInBoundedChunks) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    // Room in the kernel for a full receive buffer, whatever the machine's default.
    const int room = 4 * TCustomSocket::ReceiveBufferSize;
    ASSERT_EQ(::setsockopt(socket->ClientSocket(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
    QByteArray burst(3 * 131070 + 17, Qt::Uninitialized);
    for (int i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<char>(i % 251);
    }
    auto log = socket->OnReceiveProc;
    bool waited = false;
    bool piledUp = false;
    socket->OnReceiveProc = [&](TObject* Sender, int Handle, const void* Buffer, uint32_t Len) {
        log(Sender, Handle, Buffer, Len);
        if (!waited) {
            // The worker waits for this call: let the burst pile up in the socket.
            waited = true;
            piledUp = WaitUntil([&] {
                int waiting = 0;
                return ::ioctl(Handle, FIONREAD, &waiting) == 0 && waiting > 65535;
            });
        }
    };

    peer->Send(burst);
    ASSERT_TRUE(WaitUntil([&] { return Log.Received.size() >= burst.size(); }));
    EXPECT_EQ(Log.Received, burst);
    ASSERT_TRUE(piledUp);
    EXPECT_GE(Log.Chunks.size(), 4u);
    const uint32_t largest = *std::max_element(Log.Chunks.begin(), Log.Chunks.end());
    EXPECT_LE(largest, TCustomSocket::ReceiveBufferSize);
    EXPECT_GT(largest, 65535u);
}

// The worker does not wait for a quiet socket before it sends: data queued
// while the peer keeps streaming leaves long before the stream ends.
TEST_F(JabberSockTest, QueuedDataLeavesWhileDataKeepsArriving) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    peer->WatchFor("pong");
    qsizetype received = 0;
    socket->OnReceiveProc = [&](TObject*, int, const void*, uint32_t Len) {
        if (received == 0) {
            socket->SendData("pong", 4);
        }
        received += Len;
    };

    const QByteArray chunk(1 << 20, 's');
    for (int i = 0; i < 32; ++i) {
        peer->Send(chunk);
    }
    ASSERT_TRUE(WaitUntil([&] { return received == 32 * chunk.size(); }, 60s));
    ASSERT_TRUE(WaitUntil([&] { return peer->AllSent(); }));
    EXPECT_LT(peer->FirstSeen("pong"), peer->LastSendDone());
}

TEST_F(JabberSockTest, PeerCloseOrResetIsOneDisconnect) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        Log = {};
        auto socket = NewSocket();
        auto peer = ConnectToServer(*socket);
        peer->Send("bye");
        ASSERT_TRUE(WaitUntil([&] { return Log.Received == "bye"; }));
        if (reset) {
            peer->Reset();
        } else {
            peer->Close();
        }

        ASSERT_TRUE(WaitUntil([&] { return Log.Count("disconnect") == 1; }));
        ProcessEventsFor(50ms);
        EXPECT_EQ(Log.Events, QStringList({"connect", "data-sent", "receive", "disconnect"}));
        EXPECT_TRUE(socket->Connected()) << "nothing clears Connected";
        EXPECT_EQ(socket->ClientSocket(), -1);
        EXPECT_TRUE(WorkersEnded());
    }
}

TEST_F(JabberSockTest, RefusedConnectionIsOneConnectError) {
    auto socket = NewSocket("127.0.0.1", TLoopbackServer::RefusingPort());
    socket->Connect();

    ASSERT_TRUE(WaitUntil([&] { return Log.Count("connect-error") == 1; }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Events, QStringList({"connect-error"}));
    EXPECT_EQ(Log.Senders.front(), socket.get());
    EXPECT_FALSE(socket->Connected());
    EXPECT_EQ(socket->ClientSocket(), -1);
    EXPECT_TRUE(WorkersEnded());
}

// A name that cannot be resolved is an error, not a refused connection. The names are
// malformed, so the resolver rejects them without asking any name server.
TEST_F(JabberSockTest, UnresolvableHostIsAnErrorNotAConnectError) {
    for (const QString host : {"bad..host", ""}) {
        SCOPED_TRACE(host.toStdString());
        Log = {};
        auto socket = NewSocket(host);
        socket->Connect();

        ASSERT_TRUE(WaitUntil([&] { return Log.Count("error") == 1; }));
        ProcessEventsFor(50ms);
        EXPECT_EQ(Log.Events, QStringList({"error"}));
        EXPECT_EQ(Log.ErrorTypes, std::vector<TErrorType>{ERR_SOCKET});
        EXPECT_EQ(Log.ErrorMessages, QStringList({""}));
        EXPECT_FALSE(socket->Connected());
    }
    EXPECT_FALSE(Server.Accept(50ms));
}

TEST_F(JabberSockTest, HostNameIsLookedUp) {
    auto socket = NewSocket("localhost");
    auto peer = ConnectToServer(*socket);
    EXPECT_TRUE(peer);
    EXPECT_TRUE(socket->Connected());
}

TEST(ResolveHostTest, AddressesAndNames) {
    const auto loopback = static_cast<int32_t>(htonl(INADDR_LOOPBACK));
    struct TCase {
        QString Host;
        int32_t Ip;
        bool LookupFails;
    };
    const TCase cases[] = {
        {"127.0.0.1", loopback, false},
        {"127.0.0.2", static_cast<int32_t>(htonl(0x7f000002)), false},
        {"localhost", loopback, false},
        {"bad..host", -1, true},
        {"", -1, true},
        // All bits set is the "no address" value itself.
        {"255.255.255.255", -1, false},
        // The C calls would stop at the NUL and look up a different host.
        {QString::fromUtf8("127.0.0.1\0.bad", 14), -1, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Host.toStdString());
        int error = 0;
        EXPECT_EQ(TCustomSocket::ResolveHost(c.Host, &error), c.Ip);
        EXPECT_EQ(error != 0, c.LookupFails) << error;
    }
}

TEST_F(JabberSockTest, DisconnectBeforeConnectingDoesNothing) {
    auto socket = NewSocket();
    socket->Disconnect();
    ProcessEventsFor(20ms);
    EXPECT_TRUE(Log.Events.isEmpty());
    EXPECT_FALSE(Server.Accept(20ms));
}

TEST_F(JabberSockTest, DisconnectReportsOnceAndClosesTheConnection) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);

    socket->Disconnect();
    EXPECT_EQ(Log.Events, QStringList({"connect", "data-sent", "disconnect"}));
    EXPECT_EQ(Log.Senders.back(), socket.get());
    ASSERT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Count("disconnect"), 1) << "the worker itself stays quiet";
    EXPECT_TRUE(socket->Connected());
    EXPECT_TRUE(WorkersEnded());
}

TEST_F(JabberSockTest, SecondConnectOnAConnectedSocketDoesNothing) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    const int handle = socket->ClientSocket();

    socket->SetPort(TLoopbackServer::RefusingPort());
    socket->Connect();
    ProcessEventsFor(50ms);
    EXPECT_FALSE(Server.Accept(50ms));
    EXPECT_EQ(socket->ClientSocket(), handle);
    EXPECT_EQ(Log.Events, QStringList({"connect", "data-sent"}));
}

TEST_F(JabberSockTest, ConnectAfterAFailedAttemptOpensNoSecondSocket) {
    auto socket = NewSocket("127.0.0.1", TLoopbackServer::RefusingPort());
    socket->Connect();
    ASSERT_TRUE(WaitUntil([&] { return Log.Count("connect-error") == 1; }));
    ASSERT_TRUE(WorkersEnded());
    const int descriptors = OpenDescriptorCount();

    socket->SetPort(Server.Port());
    socket->Connect();
    ProcessEventsFor(50ms);
    EXPECT_FALSE(Server.Accept(50ms)) << "an object connects at most once";
    EXPECT_EQ(Log.Events, QStringList({"connect-error"}));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// Writing to a connection whose sending side is already shut down raises SIGPIPE
// unless the send asks not to; the owner hears of a lost connection and the process
// lives on. This also covers adopting a connected socket.
TEST_F(JabberSockTest, SendOnABrokenConnectionIsALostConnectionNotASignal) {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Server.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto peer = Server.Accept();
    shutdown(handle, SHUT_WR);

    auto socket = NewSocket();
    socket->SetClientSocket(handle);
    ASSERT_TRUE(WaitUntil([&] { return Log.Count("data-sent") == 1; }));
    EXPECT_EQ(socket->ClientSocket(), handle);
    socket->SendData("lost", 4);

    ASSERT_TRUE(WaitUntil([&] { return Log.Count("disconnect") == 1; }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Events, QStringList({"connect", "data-sent", "disconnect"}));
    EXPECT_TRUE(WorkersEnded());
    // The worker has ended: nothing more is queued.
    socket->SendData("more", 4);
    EXPECT_EQ(Log.Count("disconnect"), 1);
}

// A peer that asks for more than it takes: past 1 MiB waiting, the connection is lost
// and nothing more is queued. The data is queued inside the connect handler, while
// the worker waits for it to return and so cannot send.
TEST_F(JabberSockTest, QueueBeyondItsBoundIsALostConnection) {
    auto socket = NewSocket();
    const QByteArray chunk(60000, 'q');
    socket->OnConnectProc = [&](TObject*) {
        Log.Events << "connect";
        for (int64_t queued = 0; queued <= int64_t(TCustomSocket::MaxQueuedBytes) + chunk.size();
             queued += chunk.size())
            socket->SendData(chunk.constData(), chunk.size());
    };
    socket->Connect();
    auto peer = Server.Accept();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(WaitUntil([&] { return Log.Count("disconnect") == 1; }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Count("disconnect"), 1);
    EXPECT_EQ(Log.Count("error"), 0);
    EXPECT_TRUE(WorkersEnded());
}

// Releasing after CloseAfterSending: what was queued reaches the peer before the close.
TEST_F(JabberSockTest, CloseAfterSendingDeliversTheQueueThenCloses) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    const QByteArray tail = "</stream:stream>";
    socket->SendData(tail.constData(), tail.size());
    socket->CloseAfterSending();
    socket.reset();
    ASSERT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
    EXPECT_EQ(peer->Received(), tail);
    EXPECT_TRUE(Log.Events == QStringList({"connect", "data-sent"}));
    EXPECT_TRUE(WorkersEnded());
}

TEST(ProxySettingsTest, OnlyStoredAndNeverATypeButNone) {
    TMySocket socket;
    socket.SetProxyType(P_SOCKS5);
    socket.SetProxyUser("user");
    socket.SetProxyPass("secret");
    socket.SetProxyAuth(true);
    socket.SetProxyResolve(true);
    socket.SetProxyHost("127.0.0.9");
    socket.SetProxyPort(1080);
    EXPECT_EQ(socket.ProxyType(), P_NONE);
    EXPECT_EQ(socket.ProxyUser(), "user");
    EXPECT_EQ(socket.ProxyPass(), "secret");
    EXPECT_TRUE(socket.ProxyAuth());
    EXPECT_TRUE(socket.ProxyResolve());
    EXPECT_EQ(socket.ProxyHost(), "127.0.0.9");
    EXPECT_EQ(socket.ProxyPort(), 1080);
}

// Proxy host and port written before Connect have no effect: the facade connects to
// its own target and nothing but that target's bytes go on the wire.
TEST_F(JabberSockTest, ProxyTargetIsOverwrittenByConnect) {
    TLoopbackServer proxy;
    auto socket = NewSocket();
    socket->SetProxyHost("127.0.0.1");
    socket->SetProxyPort(proxy.Port());
    socket->SetProxyUser("user");
    socket->SetProxyAuth(true);
    auto peer = ConnectToServer(*socket);
    socket->SendData("<x/>", 4);

    ASSERT_TRUE(WaitUntil([&] { return peer->Received() == "<x/>"; }));
    EXPECT_FALSE(proxy.Accept(50ms));
    EXPECT_EQ(socket->ProxyHost(), "127.0.0.1");
    EXPECT_EQ(socket->ProxyPort(), Server.Port());
}

TEST_F(JabberSockTest, ProxyResolveWithAnUnresolvableHostEndsInTheOrdinaryError) {
    auto socket = NewSocket("bad..host");
    socket->SetProxyResolve(true);
    socket->Connect();
    ASSERT_TRUE(WaitUntil([&] { return Log.Count("error") == 1; }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Events, QStringList({"error"}));
}

// On the worker itself: a failed destination lookup is neither stored as an error nor
// reported, and the connection to the proxy target goes on.
TEST_F(JabberSockTest, FailedDestinationLookupIsNotReported) {
    auto worker = std::make_shared<TEventSocket>();
    QStringList events;
    worker->OnConnect = [&](TObject*) {
        events << "connect";
    };
    worker->OnError = [&](TObject*, TErrorType, const QString&) {
        events << "error";
    };
    worker->SetHost("bad..host");
    worker->SetProxyHost("127.0.0.1");
    worker->SetProxyPort(Server.Port());
    worker->SetProxyResolve(true);
    worker->SetProxyReady(true);
    worker->Connect();

    auto peer = Server.Accept();
    ASSERT_TRUE(WaitUntil([&] { return events.contains("connect"); }));
    EXPECT_EQ(worker->DestIp(), -1);
    EXPECT_EQ(worker->LastError(), 0);
    EXPECT_EQ(events, QStringList({"connect"}));
    worker->Close();
}

// While ProxyReady is false the connect and receive events stay with the worker; the
// other events still reach the owner.
TEST_F(JabberSockTest, ProxyReadyGatesConnectAndReceive) {
    auto worker = std::make_shared<TEventSocket>();
    QStringList events;
    worker->OnConnect = [&](TObject*) {
        events << "connect";
    };
    worker->OnReceive = [&](TObject*, const void*, uint32_t) {
        events << "receive";
    };
    worker->OnDataSent = [&](TObject*) {
        events << "data-sent";
    };
    worker->OnDisconnect = [&](TObject*) {
        events << "disconnect";
    };
    worker->SetProxyHost("127.0.0.1");
    worker->SetProxyPort(Server.Port());
    worker->Connect();

    auto peer = Server.Accept();
    ASSERT_TRUE(WaitUntil([&] { return events.contains("data-sent"); }));
    peer->Send("unseen");
    peer->Close();
    ASSERT_TRUE(WaitUntil([&] { return events.contains("disconnect"); }));
    EXPECT_EQ(events, QStringList({"data-sent", "disconnect"}));
    EXPECT_TRUE(worker->Connected());
}

// ---- Release ------------------------------------------------------------------

// The owner releases the facade from inside each kind of handler; the connection
// closes, no further event is raised and the worker ends.
TEST_F(JabberSockTest, ReleaseFromInsideEveryHandler) {
    const QStringList handlers = {"connect", "data-sent", "receive", "disconnect"};
    for (const QString& handler : handlers) {
        SCOPED_TRACE(handler.toStdString());
        Log = {};
        const int descriptors = OpenDescriptorCount();
        auto socket = NewSocket().release();
        const auto release = [&, handler](const QString& Event) {
            if (Event == handler && socket) {
                delete std::exchange(socket, nullptr);
            }
        };
        socket->OnConnectProc = [&](TObject* Sender) {
            Log.Note(Sender, "connect");
            release("connect");
        };
        socket->OnDataSent = [&](TObject* Sender) {
            Log.Note(Sender, "data-sent");
            release("data-sent");
        };
        socket->OnReceiveProc = [&](TObject* Sender, int, const void*, uint32_t) {
            Log.Note(Sender, "receive");
            release("receive");
        };
        socket->OnDisconnect = [&](TObject* Sender) {
            Log.Note(Sender, "disconnect");
            release("disconnect");
        };

        socket->Connect();
        auto peer = Server.Accept();
        ASSERT_TRUE(peer);
        peer->Send("one");
        ASSERT_TRUE(WaitUntil([&] { return !socket || Log.Events.contains("receive"); }));
        if (handler == "disconnect") {
            peer->Close();
        }
        ASSERT_TRUE(WaitUntil([&] { return !socket; }));
        peer->Send("two");
        ASSERT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
        ProcessEventsFor(50ms);
        EXPECT_EQ(Log.Events.back(), handler) << Log.Events.join(",").toStdString();
        EXPECT_EQ(Log.Count(handler), 1);
        EXPECT_TRUE(WorkersEnded());
        peer.reset();
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
}

// The handler opens a nested event loop (a modal message box does) and the facade is
// released from within it while the worker still waits for the handler: the worker
// must end at once, without a deadlock and without touching the released object.
TEST_F(JabberSockTest, ReleaseDuringANestedEventLoopInsideAHandler) {
    auto* socket = NewSocket().release();
    bool closedWhileInside = false;
    bool workerEndedWhileInside = false;
    int receives = 0;
    std::unique_ptr<TLoopbackPeer> peer;
    socket->OnReceiveProc = [&](TObject*, int, const void*, uint32_t) {
        ++receives;
        QTimer::singleShot(0, [&] { delete std::exchange(socket, nullptr); });
        closedWhileInside = WaitUntil([&] { return peer->ClientClosed(); });
        workerEndedWhileInside = WaitUntil([&] { return SocketThreadCount() == 0; });
    };
    socket->Connect();
    peer = Server.Accept();
    ASSERT_TRUE(peer);
    peer->Send("first");
    ASSERT_TRUE(WaitUntil([&] { return receives == 1; }));
    peer->Send("second");
    ProcessEventsFor(50ms);

    EXPECT_EQ(socket, nullptr);
    EXPECT_TRUE(closedWhileInside);
    EXPECT_TRUE(workerEndedWhileInside);
    EXPECT_EQ(receives, 1);
}

// Released while its worker is blocked handing an event to the GUI thread, and the GUI
// thread has not run that event yet: the event is dropped and the worker ends.
TEST_F(JabberSockTest, ReleaseWhileTheWorkerWaitsForTheGuiThread) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    peer->Send("pending");
    // The worker receives and waits in its hand-off, which the GUI thread does not run.
    ASSERT_EQ(TSocketThread::WaitForHandOffs(10s), 1);
    socket.reset();

    EXPECT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(Log.Count("receive"), 0);
    EXPECT_TRUE(WorkersEnded());
}

// A listener whose backlog is full drops further connection attempts, so the connect
// blocks; releasing the facade must still end the worker at once.
TEST_F(JabberSockTest, ReleaseWhileTheConnectIsPending) {
    TLoopbackServer full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(full.ConnectWithoutWaiting());
    }
    auto socket = NewSocket("127.0.0.1", full.Port());
    socket->Connect();
    ProcessEventsFor(200ms);
    const bool pending = Log.Events.isEmpty();
    socket.reset();

    EXPECT_TRUE(WorkersEnded());
    ProcessEventsFor(50ms);
    for (const int filler : fillers) {
        close(filler);
    }
    if (!pending) {
        GTEST_SKIP() << "this network stack did not keep the connect pending";
    }
    EXPECT_TRUE(Log.Events.isEmpty());
}

// An exception that escapes a handler leaves through the event loop to the
// application object; the worker is released all the same and goes on.
TEST_F(JabberSockTest, ThrowingHandlerDoesNotStallTheWorker) {
    auto socket = NewSocket();
    auto peer = ConnectToServer(*socket);
    QByteArrayList chunks;
    socket->OnReceiveProc = [&](TObject*, int, const void* Buffer, uint32_t Len) {
        chunks << QByteArray(static_cast<const char*>(Buffer), Len);
        if (chunks.size() == 1) {
            throw std::runtime_error("handler failed");
        }
    };

    peer->Send("one");
    ASSERT_TRUE(WaitUntil([&] { return chunks.size() == 1; }));
    ProcessEventsFor(20ms);
    peer->Send("two");
    ASSERT_TRUE(WaitUntil([&] { return chunks.size() == 2; }));
    EXPECT_EQ(chunks, QByteArrayList({"one", "two"}));
    EXPECT_EQ(TakeEscapedErrors(), QStringList({"handler failed"}));
}

// The process ends with connections open in every state, one of them held beyond
// main: the remaining workers are stopped and joined as the application object goes,
// quickly and without a crash, a hang or a sanitizer report.
TEST(ProcessExitTest, EndsCleanlyWithConnectionsOpen) {
    QProcess probe;
    probe.start(NET_EXIT_PROBE, {});
    ASSERT_TRUE(probe.waitForStarted(10000));
    const bool finished = probe.waitForFinished(60000);
    if (!finished) {
        probe.kill();
        probe.waitForFinished(5000);
    }
    ASSERT_TRUE(finished) << "the process hung at exit";
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    const QString err = QString::fromUtf8(probe.readAllStandardError());
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0) << err.toStdString();
    EXPECT_EQ(out.trimmed(), "exiting");
    EXPECT_FALSE(err.contains("Sanitizer")) << err.toStdString();
}

} // namespace
