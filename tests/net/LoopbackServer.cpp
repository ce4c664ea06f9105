#include "LoopbackServer.h"

#include "SocketThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

sockaddr_in LoopbackAddress(uint16_t Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t BoundPort(int Handle) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(Handle, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int CountEntries(const char* Directory) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Directory)) {
        ++count;
    }
    return count;
}

QByteArray ReadFile(const std::filesystem::path& Path) {
    QByteArray text;
    if (FILE* file = fopen(Path.c_str(), "r")) {
        char buffer[64];
        text = QByteArray(buffer, static_cast<qsizetype>(fread(buffer, 1, sizeof buffer, file)));
        fclose(file);
    }
    return text.trimmed();
}

} // namespace

TLoopbackPeer::TLoopbackPeer(int Handle)
    : FHandle(Handle), FReader([this] { ReadLoop(); }), FWriter([this] { WriteLoop(); }) {}

TLoopbackPeer::~TLoopbackPeer() {
    {
        std::lock_guard lock(FLock);
        FStopping = true;
        if (FHandle != -1) {
            // Unblocks a writer stuck on a client that does not read.
            shutdown(FHandle, SHUT_RDWR);
        }
    }
    FWork.notify_all();
    FWriter.join();
    FReader.join();
    if (FHandle != -1) {
        close(FHandle);
    }
}

void TLoopbackPeer::Send(QByteArray Data) {
    {
        std::lock_guard lock(FLock);
        FActions.emplace_back(TAction::Send, std::move(Data));
        ++FPendingActions;
    }
    FWork.notify_all();
}

void TLoopbackPeer::Close() {
    {
        std::lock_guard lock(FLock);
        FActions.emplace_back(TAction::Close, QByteArray());
        ++FPendingActions;
    }
    FWork.notify_all();
}

void TLoopbackPeer::Reset() {
    {
        std::lock_guard lock(FLock);
        FActions.emplace_back(TAction::Reset, QByteArray());
        ++FPendingActions;
    }
    FWork.notify_all();
}

QByteArray TLoopbackPeer::Received() const {
    std::lock_guard lock(FLock);
    // A deep copy: a shared one would be released on this thread while the reader
    // grows the original, through reference counting that thread checkers cannot see.
    return QByteArray(FReceived.constData(), FReceived.size());
}

bool TLoopbackPeer::AllSent() const {
    std::lock_guard lock(FLock);
    return FPendingActions == 0;
}

std::chrono::steady_clock::time_point TLoopbackPeer::LastSendDone() const {
    std::lock_guard lock(FLock);
    return FLastSendDone;
}

std::chrono::steady_clock::time_point TLoopbackPeer::FirstSeen(const QByteArray& Needle) const {
    std::lock_guard lock(FLock);
    const auto it = FSeen.find(Needle);
    return it == FSeen.end() ? std::chrono::steady_clock::time_point::max() : it->second;
}

void TLoopbackPeer::WatchFor(const QByteArray& Needle) {
    std::lock_guard lock(FLock);
    FSeen.emplace(Needle, std::chrono::steady_clock::time_point::max());
}

void TLoopbackPeer::ReadLoop() {
    char buffer[65536];
    for (;;) {
        int handle;
        {
            std::lock_guard lock(FLock);
            if (FStopping || FHandle == -1) {
                return;
            }
            if (FResetRequested) {
                // Closing with a zero linger time sends a reset instead of a FIN. The
                // reader closes the handle itself, so nothing else is still using it.
                const linger abortive{1, 0};
                setsockopt(FHandle, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                close(FHandle);
                FHandle = -1;
                return;
            }
            handle = FHandle;
        }
        pollfd fd{handle, POLLIN, 0};
        if (poll(&fd, 1, 20) <= 0) {
            continue;
        }
        const ssize_t received = recv(handle, buffer, sizeof buffer, 0);
        if (received <= 0) {
            FClientClosed = true;
            // Stay until told to stop, so that a requested reset still happens.
            std::unique_lock lock(FLock);
            FWork.wait(lock, [this] { return FStopping || FResetRequested; });
            continue;
        }
        std::lock_guard lock(FLock);
        FReceived.append(buffer, received);
        const auto now = std::chrono::steady_clock::now();
        for (auto& [needle, seen] : FSeen) {
            if (seen == std::chrono::steady_clock::time_point::max() &&
                FReceived.contains(needle)) {
                seen = now;
            }
        }
    }
}

void TLoopbackPeer::WriteLoop() {
    for (;;) {
        std::pair<TAction, QByteArray> action;
        int handle;
        {
            std::unique_lock lock(FLock);
            FWork.wait(lock, [this] { return FStopping || !FActions.empty(); });
            if (FStopping) {
                return;
            }
            action = std::move(FActions.front());
            FActions.pop_front();
            handle = FHandle;
        }
        bool last = false;
        switch (action.first) {
        case TAction::Send: {
            const char* data = action.second.constData();
            qsizetype left = action.second.size();
            while (left > 0) {
                const ssize_t sent = send(handle, data, left, MSG_NOSIGNAL);
                if (sent <= 0) {
                    break;
                }
                data += sent;
                left -= sent;
            }
            break;
        }
        case TAction::Close:
            shutdown(handle, SHUT_WR);
            break;
        case TAction::Reset:
            last = true;
            break;
        }
        {
            std::lock_guard lock(FLock);
            --FPendingActions;
            FLastSendDone = std::chrono::steady_clock::now();
            if (last) {
                FResetRequested = true;
            }
        }
        FWork.notify_all();
        if (last) {
            return;
        }
    }
}

TLoopbackServer::TLoopbackServer(int Backlog) {
    FHandle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress(0);
    bind(FHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(FHandle, Backlog);
    FPort = BoundPort(FHandle);
}

TLoopbackServer::~TLoopbackServer() {
    close(FHandle);
}

std::unique_ptr<TLoopbackPeer> TLoopbackServer::Accept(std::chrono::milliseconds Timeout) {
    const int handle = AcceptHandle(Timeout);
    return handle == -1 ? nullptr : std::make_unique<TLoopbackPeer>(handle);
}

int TLoopbackServer::AcceptHandle(std::chrono::milliseconds Timeout) {
    pollfd fd{FHandle, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(Timeout.count())) <= 0)
        return -1;
    return accept4(FHandle, nullptr, nullptr, SOCK_CLOEXEC);
}

int TLoopbackServer::ConnectWithoutWaiting() const {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in address = LoopbackAddress(FPort);
    connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return handle;
}

uint16_t TLoopbackServer::RefusingPort() {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress(0);
    bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const uint16_t port = BoundPort(handle);
    close(handle);
    return port;
}

bool WaitUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Done() && std::chrono::steady_clock::now() < deadline) {
        // Blocks until an event arrives or a millisecond has passed.
        QEventLoop loop;
        QTimer::singleShot(1ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return Done();
}

void ProcessEventsFor(std::chrono::milliseconds Duration) {
    WaitUntil([] { return false; }, Duration);
}

int OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

int SocketThreadCount() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (ReadFile(task.path() / "comm") == TSocketThread::ThreadName) {
            ++count;
        }
    }
    return count;
}
