// Ends its process with connections in every state still open: one released as the
// application object goes (idle), one whose worker waits for the GUI thread to take
// received data, one still connecting, one whose host-name lookup never returns (a
// dead name server), and one held in static storage beyond main.
// Prints "exiting" as main returns; the exit must be quick and clean.

#include "JabberSock.h"
#include "LoopbackServer.h"

#include <QCoreApplication>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::unique_ptr<TMySocket> Survivor;

// A name server that never answers for one name.
int32_t HangingLookup(const QString& Host, int* Error) {
    while (Host == QStringLiteral("hangs.example")) {
        std::this_thread::sleep_for(1h);
    }
    return TCustomSocket::ResolveHost(Host, Error);
}

std::unique_ptr<TMySocket> Connecting(uint16_t Port, bool& Connected) {
    auto socket = std::make_unique<TMySocket>();
    socket->SetHost("127.0.0.1");
    socket->SetPort(Port);
    socket->OnConnectProc = [&Connected](TObject*) {
        Connected = true;
    };
    socket->Connect();
    return socket;
}

} // namespace

int main(int argc, char** argv) {
    // Declared before the application object, so they are still open when it goes.
    TLoopbackServer full(0);
    std::vector<int> fillers;
    std::unique_ptr<TMySocket> pending;
    std::unique_ptr<TMySocket> connecting;
    std::unique_ptr<TLoopbackPeer> pendingPeer;
    std::unique_ptr<TMySocket> lookingUp;

    QCoreApplication app(argc, argv);
    TLoopbackServer server;
    bool connected[3] = {};
    auto idle = Connecting(server.Port(), connected[0]);
    auto idlePeer = server.Accept();
    pending = Connecting(server.Port(), connected[1]);
    pendingPeer = server.Accept();
    Survivor = Connecting(server.Port(), connected[2]);
    auto survivorPeer = server.Accept();
    if (!idlePeer || !pendingPeer || !survivorPeer ||
        !WaitUntil([&] { return connected[0] && connected[1] && connected[2]; })) {
        std::puts("no connection");
        return 1;
    }
    pending->OnReceiveProc = [](TObject*, int, const void*, uint32_t) {
    };
    pendingPeer->Send("never taken");
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(full.ConnectWithoutWaiting());
    }
    connecting = std::make_unique<TMySocket>();
    connecting->SetHost("127.0.0.1");
    connecting->SetPort(full.Port());
    connecting->Connect();
    TCustomSocket::SetResolver(&HangingLookup);
    lookingUp = std::make_unique<TMySocket>();
    lookingUp->SetHost("hangs.example");
    lookingUp->SetPort(server.Port());
    lookingUp->Connect();
    // Time for the pending data to arrive and its worker to block in the hand-off,
    // without running the event loop.
    std::this_thread::sleep_for(200ms);
    std::puts("exiting");
    std::fflush(stdout);
    for (const int filler : fillers) {
        close(filler);
    }
    return 0;
}
