#include "JabberSock.h"
#include "LoopbackServer.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Many connections made, used and released in every way the owner can release one:
// before the connection is up, while data is in flight, after it drained, and (every
// fifth cycle) from inside a handler. Nothing may hang, crash, or leave a thread or a
// descriptor behind.
TEST(JabberSockStressTest, ThousandConnectSendReleaseCycles) {
    constexpr int Cycles = 1000;
    TLoopbackServer server;
    const int descriptors = OpenDescriptorCount();
    const auto deadline = std::chrono::steady_clock::now() + 240s;
    int connected = 0;

    for (int cycle = 0; cycle < Cycles && std::chrono::steady_clock::now() < deadline; ++cycle) {
        SCOPED_TRACE(cycle);
        auto* socket = new TMySocket;
        socket->SetHost("127.0.0.1");
        socket->SetPort(server.Port());
        const int way = cycle % 5;
        bool released = false;
        bool sent = false;
        const auto release = [&] {
            if (!released) {
                released = true;
                delete socket;
            }
        };
        socket->OnConnectProc = [&](TObject*) {
            ++connected;
            socket->SendData("<presence/>", 11);
        };
        socket->OnDataSent = [&](TObject*) {
            sent = true;
            if (way == 0) {
                release(); // from inside a handler
            }
        };
        socket->Connect();
        auto peer = server.Accept();
        ASSERT_TRUE(peer);
        switch (way) {
        case 1:
            release(); // before or while connecting
            break;
        case 2:
            ASSERT_TRUE(WaitUntil([&] { return connected > 0 && !peer->Received().isEmpty(); }));
            release(); // with the worker possibly waiting for the GUI thread
            break;
        default:
            ASSERT_TRUE(WaitUntil([&] { return sent || released; }));
            release();
            break;
        }
        ASSERT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the cycles took too long";

    EXPECT_TRUE(WaitUntil([&] { return SocketThreadCount() == 0; }, 10s))
        << SocketThreadCount() << " socket threads still running";
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_GT(connected, Cycles / 2);
}

} // namespace
