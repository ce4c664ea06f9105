#pragma once

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

// The server end of one accepted loopback connection. A reader thread collects every
// byte the client sends until the client closes; a writer thread carries out Send,
// Close and Reset in the order they were asked for, so the test thread never blocks
// on the socket while the client waits for the GUI thread.
class TLoopbackPeer {
public:
    explicit TLoopbackPeer(int Handle);
    ~TLoopbackPeer();
    TLoopbackPeer(const TLoopbackPeer&) = delete;
    TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

    void Send(QByteArray Data);
    // An orderly close: the client reads end of stream.
    void Close();
    // An abortive close: the client's next read fails with "connection reset".
    void Reset();

    QByteArray Received() const;
    // The client closed (or reset) its end.
    bool ClientClosed() const { return FClientClosed.load(); }
    // Everything handed to Send so far has been written.
    bool AllSent() const;
    // Notes when the received bytes first contain Needle (FirstSeen; max() until then).
    void WatchFor(const QByteArray& Needle);
    std::chrono::steady_clock::time_point FirstSeen(const QByteArray& Needle) const;
    // When the writer last finished an action.
    std::chrono::steady_clock::time_point LastSendDone() const;

private:
    enum class TAction { Send, Close, Reset };
    void ReadLoop();
    void WriteLoop();

    int FHandle;
    mutable std::mutex FLock;
    std::condition_variable FWork;
    std::deque<std::pair<TAction, QByteArray>> FActions;
    bool FStopping = false;
    bool FResetRequested = false;
    int FPendingActions = 0;
    QByteArray FReceived;
    std::map<QByteArray, std::chrono::steady_clock::time_point> FSeen;
    std::chrono::steady_clock::time_point FLastSendDone;
    std::atomic<bool> FClientClosed{false};
    std::thread FReader;
    std::thread FWriter;
};

// A TCP listener on 127.0.0.1 with an ephemeral port.
class TLoopbackServer {
public:
    explicit TLoopbackServer(int Backlog = 64);
    ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    uint16_t Port() const { return FPort; }
    // The next connection, or null when none came within the time-out.
    std::unique_ptr<TLoopbackPeer>
    Accept(std::chrono::milliseconds Timeout = std::chrono::seconds(5));
    // The same as a bare descriptor for the caller to close, or -1.
    int AcceptHandle(std::chrono::milliseconds Timeout = std::chrono::seconds(5));

    // Starts a connection to this server without waiting for it; the caller closes it.
    int ConnectWithoutWaiting() const;

    // A port on 127.0.0.1 where nothing listens, so a connect there is refused.
    static uint16_t RefusingPort();

private:
    int FHandle = -1;
    uint16_t FPort = 0;
};

// Runs the GUI thread's event loop until Done holds or Timeout passes; returns Done().
bool WaitUntil(const std::function<bool()>& Done,
               std::chrono::milliseconds Timeout = std::chrono::seconds(10));
// Runs the event loop for a while, for checking that something does not happen.
void ProcessEventsFor(std::chrono::milliseconds Duration);
// Open descriptors of this process, and its running socket worker threads.
int OpenDescriptorCount();
int SocketThreadCount();
