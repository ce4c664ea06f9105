#include "JabberSock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int32_t NoAddress = -1;
constexpr uint32_t MaxPacket = 65535;

std::atomic<TCustomSocket::TResolver> gResolver{nullptr};

// The outcome of one lookup, shared by the worker and the thread that runs it; the
// worker may give up and leave, the lookup thread then frees it when done.
struct TLookup {
    std::mutex Lock;
    int32_t Ip = NoAddress;
    int Error = 0;
    int Done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    ~TLookup() {
        if (Done != -1) {
            ::close(Done);
        }
    }
};

void SetKeepAlive(int Socket) {
    const int on = 1;
    const int idle = TCustomSocket::KeepAliveIdleSeconds;
    const int interval = TCustomSocket::KeepAliveIntervalSeconds;
    const int probes = TCustomSocket::KeepAliveProbes;
    const unsigned timeout = TCustomSocket::UserTimeoutMs;
    ::setsockopt(Socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(Socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

// Every packet is a whole stanza (or a whole piece of one) and leaves in one send;
// holding a packet's short tail back until the peer acknowledges the previous one
// (Nagle) only meets the peer's delayed acknowledgement.
void SetNoDelay(int Socket) {
    const int on = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetNonBlocking(int Socket) {
    ::fcntl(Socket, F_SETFL, ::fcntl(Socket, F_GETFL) | O_NONBLOCK);
}

} // namespace

// ---- TCustomSocket -------------------------------------------------------------

TCustomSocket::TCustomSocket()
    : FWakeUp(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), FReceiveBuffer(ReceiveBufferSize) {}

TCustomSocket::~TCustomSocket() {
    // The worker holds a reference while it runs, so it has ended by now.
    Close();
    if (FWorkerSocket != -1) {
        ::close(FWorkerSocket);
    }
    if (FWakeUp != -1) {
        ::close(FWakeUp);
    }
    delete FTlsRequest.load();
}

void TCustomSocket::Connect() {
    if (Working() || Started()) {
        return;
    }
    FWorking = true;
    FDoConnect = true;
    FConnected = false;
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle == -1) {
        FLastError = static_cast<uint16_t>(errno);
        DoError();
        return;
    }
    {
        std::lock_guard lock(FHandleLock);
        FSocket = handle;
        FWorkerSocket = handle;
    }
    Resume();
}

void TCustomSocket::StartWork(int Socket) {
    if (Working() || Started()) {
        return;
    }
    FWorking = true;
    FDoConnect = false;
    FConnected = false;
    {
        std::lock_guard lock(FHandleLock);
        FSocket = Socket;
        FWorkerSocket = Socket;
    }
    Resume();
}

void TCustomSocket::SendData(const void* Buffer, uint32_t Len) {
    if (Len == 0 || FEnded || Terminated() || FCloseWhenSent || FOverflow) {
        return;
    }
    FBuffer.Enter();
    // With data already waiting the worker is sending, or waits for the socket to take
    // more, and goes on to this packet by itself: only the first one needs a wake-up.
    bool wake = FBuffer.Size() == 0;
    if (FBuffer.Size() + std::min(Len, MaxPacket) > MaxQueuedBytes) {
        FOverflow = true;
        wake = true;
    } else {
        FDataSentEvent = false;
        FBuffer.AddPacket(Buffer, Len);
    }
    FBuffer.Leave();
    if (wake) {
        WakeWorker();
    }
}

uint64_t TCustomSocket::Queued() {
    FBuffer.Enter();
    const uint64_t size = FBuffer.Size();
    FBuffer.Leave();
    return size;
}

void TCustomSocket::Close() {
    Terminate();
    {
        // Only shut down here: the worker may be blocked on the handle, and closing it
        // under the worker would let the number be reused. The worker closes it.
        std::lock_guard lock(FHandleLock);
        const int handle = FSocket.exchange(-1);
        if (handle != -1) {
            ::shutdown(handle, SHUT_RDWR);
        }
    }
    WakeWorker();
    FWorking = false;
}

void TCustomSocket::CloseWhenSent() {
    if (!Started() || FEnded || Terminated()) {
        Close();
        return;
    }
    FCloseWhenSent = true;
    WakeWorker();
}

QString TCustomSocket::Host() const {
    std::lock_guard lock(FHandleLock);
    return FHost;
}

void TCustomSocket::SetHost(const QString& Value) {
    std::lock_guard lock(FHandleLock);
    FHost = Value;
}

int32_t TCustomSocket::ResolveHost(const QString& Host, int* Error) {
    const QByteArray name = Host.toLocal8Bit();
    if (name.contains('\0')) {
        // The C calls would see only the text before the NUL.
        if (Error) {
            *Error = -EAI_NONAME;
        }
        return NoAddress;
    }
    in_addr address{};
    if (inet_pton(AF_INET, name.constData(), &address) == 1) {
        return static_cast<int32_t>(address.s_addr);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = getaddrinfo(name.constData(), nullptr, &hints, &result);
    if (rc != 0 || !result) {
        if (Error) {
            *Error = rc == EAI_SYSTEM ? errno : -rc;
        }
        return NoAddress;
    }
    const auto* first = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const auto ip = static_cast<int32_t>(first->sin_addr.s_addr);
    freeaddrinfo(result);
    return ip;
}

void TCustomSocket::SetResolver(TResolver Resolver) {
    gResolver = Resolver;
}

void TCustomSocket::Execute() {
    const int handle = FWorkerSocket;
    Work(handle);
    std::lock_guard lock(FHandleLock);
    FEnded = true;
    FSocket = -1;
    ::close(handle);
    FWorkerSocket = -1;
}

int32_t TCustomSocket::LookUp(int* Error) {
    const QString host = Host();
    const TResolver resolver = gResolver.load() ? gResolver.load() : &ResolveHost;
    in_addr address{};
    if (inet_pton(AF_INET, host.toLocal8Bit().constData(), &address) == 1 &&
        resolver == &ResolveHost) {
        return static_cast<int32_t>(address.s_addr);
    }
    auto lookup = std::make_shared<TLookup>();
    if (lookup->Done == -1) {
        return resolver(host, Error);
    }
    std::thread([lookup, host, resolver] {
        int error = 0;
        const int32_t ip = resolver(host, &error);
        {
            std::lock_guard lock(lookup->Lock);
            lookup->Ip = ip;
            lookup->Error = error;
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(lookup->Done, &one, sizeof one);
    }).detach();
    for (;;) {
        pollfd fds[2] = {{lookup->Done, POLLIN, 0}, {FWakeUp, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (Terminated()) {
            *Error = EINTR;
            return NoAddress;
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            DrainWakeUp();
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            std::lock_guard lock(lookup->Lock);
            *Error = lookup->Error;
            return lookup->Ip;
        }
    }
}

void TCustomSocket::Work(int Socket) {
    if (FDoConnect && !Terminated()) {
        int error = 0;
        const int32_t ip = LookUp(&error);
        FIp = ip;
        if (ip == NoAddress) {
            if (!Terminated()) {
                FLastError = static_cast<uint16_t>(error);
                Synchronize([this] { DoError(); });
            }
            return;
        }
        if (!ConnectSocket(Socket, ip)) {
            if (!Terminated()) {
                Synchronize([this] { DoConnectError(); });
            }
            return;
        }
    }
    // Termination before the worker got here (also before it started) ends it quietly:
    // there is no connection to report.
    if (Terminated()) {
        return;
    }
    SetKeepAlive(Socket);
    SetNoDelay(Socket);
    SetNonBlocking(Socket);
    FConnected = true;
    Synchronize([this] { DoConnect(); });

    // The worker sleeps in one poll on the socket and the wake-up descriptor, so an
    // idle connection costs nothing. Each pass sends what the socket takes without
    // blocking and then takes one receive, so that neither direction holds the other
    // up. After a receive, which let the worker wait for its handler, more data is
    // likely there: the next pass reads at once and only an empty socket is polled.
    bool readable = false;
    while (!Terminated()) {
        if (FOverflow) {
            Lost(ENOBUFS);
            return;
        }
        const bool plain = !FTls;
        if (!RunPendingTls(Socket)) {
            return;
        }
        if (plain && FTls) {
            // The handshake's last read may have brought records after it, which are
            // in the engine now and will not make the socket readable.
            readable = true;
        }
        if (!FlushSendQueue(Socket)) {
            return;
        }
        const bool pending = Queued() > 0 || TlsOutputPending();
        if (FCloseWhenSent && !pending) {
            Linger(Socket);
            return;
        }
        if (!readable) {
            pollfd fds[2] = {{Socket, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0},
                             {FWakeUp, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents & POLLIN) {
                DrainWakeUp();
            }
            if (Terminated()) {
                return;
            }
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
        }
        switch (ReceiveOnce(Socket)) {
        case TReceived::Data:
            readable = true;
            break;
        case TReceived::Nothing:
            readable = false;
            break;
        case TReceived::End:
            return;
        }
    }
}

bool TCustomSocket::ConnectSocket(int Socket, int32_t Ip) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(TCustomSocket::Port());
    address.sin_addr.s_addr = static_cast<in_addr_t>(Ip);
    // Connect without blocking and wait in poll, so that Close interrupts the attempt.
    SetNonBlocking(Socket);
    int error = 0;
    if (::connect(Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
    }
    while (error == EINPROGRESS || error == EINTR) {
        pollfd fds[2] = {{Socket, POLLOUT, 0}, {FWakeUp, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno != EINTR) {
                error = errno;
            }
            continue;
        }
        if (fds[1].revents & POLLIN) {
            DrainWakeUp();
        }
        if (Terminated()) {
            error = EINTR;
            break;
        }
        if (fds[0].revents) {
            socklen_t length = sizeof error;
            if (::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        FLastError = static_cast<uint16_t>(error);
        return false;
    }
    return true;
}

TCustomSocket::TReceived TCustomSocket::ReceiveOnce(int Socket) {
    ssize_t received;
    do {
        received = TransportRecv(Socket, FReceiveBuffer.data(), ReceiveBufferSize);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return TReceived::Nothing;
    }
    if (received <= 0) {
        // Whatever the error (reset, time-out, unreachable network, a broken TLS
        // record), the connection is gone; a closing peer is no different.
        Lost(received == 0 ? 0 : errno);
        return TReceived::End;
    }
    if (FCloseWhenSent) {
        return TReceived::Data; // nobody listens any more
    }
    Buffer = FReceiveBuffer.data();
    BufLen = static_cast<uint32_t>(received);
    Synchronize([this] { DoReceive(); });
    return TReceived::Data;
}

bool TCustomSocket::FlushSendQueue(int Socket) {
    if (FSocket.load() == -1) {
        return true;
    }
    if (FTls && !SendTlsOutput(Socket, false)) {
        Lost(errno);
        return false;
    }
    for (;;) {
        FBuffer.Enter();
        // Sent straight from the head packet: only this thread removes packets, and
        // appending never moves one, so the bytes stay put while the lock is free.
        const uint8_t* data = nullptr;
        const uint32_t length = FBuffer.PeekPacket(data);
        // Checked and set under the lock that SendData clears it under, so that data
        // queued from inside the handler is reported when it drains in turn.
        const bool drained = length == 0 && !FDataSentEvent;
        if (length == 0) {
            FDataSentEvent = true;
            // An empty packet (never queued by SendData) must not stop the queue.
            FBuffer.DelPacket();
        }
        FBuffer.Leave();
        if (length == 0) {
            if (drained) {
                Synchronize([this] { DoDataSent(); });
            }
            return true;
        }
        ssize_t sent;
        do {
            sent = TransportSend(Socket, reinterpret_cast<const char*>(data), length);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true; // the rest leaves when poll says the socket takes more
        }
        if (sent < 0) {
            Lost(errno);
            return false;
        }
        // A short send leaves the rest at the head of the queue for the next pass.
        FBuffer.Enter();
        if (FBuffer.SkipData(static_cast<uint16_t>(sent))) {
            FBuffer.DelPacket();
        }
        FBuffer.Leave();
    }
}

void TCustomSocket::Linger(int Socket) {
    ::shutdown(Socket, SHUT_WR);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(CloseLingerMs);
    while (!Terminated()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return;
        }
        pollfd fds[2] = {{Socket, POLLIN, 0}, {FWakeUp, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left)) <= 0) {
            continue;
        }
        if (fds[1].revents & POLLIN) {
            DrainWakeUp();
        }
        if (fds[0].revents) {
            const ssize_t received = ::recv(Socket, FReceiveBuffer.data(), ReceiveBufferSize, 0);
            if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR)) {
                return;
            }
        }
    }
}

void TCustomSocket::Lost(int Error) {
    if (Terminated() || FCloseWhenSent) {
        return;
    }
    FLastError = static_cast<uint16_t>(Error);
    Synchronize([this] { DoDisconnect(); });
}

void TCustomSocket::WakeWorker() {
    const uint64_t one = 1;
    if (FWakeUp != -1) {
        [[maybe_unused]] const ssize_t written = ::write(FWakeUp, &one, sizeof one);
    }
}

void TCustomSocket::DrainWakeUp() {
    uint64_t count;
    [[maybe_unused]] const ssize_t read = ::read(FWakeUp, &count, sizeof count);
}

void TCustomSocket::Stop() {
    Close();
}

void TCustomSocket::DoError() {
    Close();
}
void TCustomSocket::DoConnect() {}
void TCustomSocket::DoConnectError() {
    Close();
}
void TCustomSocket::DoDisconnect() {
    Close();
}
void TCustomSocket::DoReceive() {}
void TCustomSocket::DoDataSent() {}

// ---- TProxySocket --------------------------------------------------------------

QString TProxySocket::Host() const {
    std::lock_guard lock(FDestLock);
    return FDestHost;
}

void TProxySocket::SetHost(const QString& Value) {
    std::lock_guard lock(FDestLock);
    FDestHost = Value;
}

void TProxySocket::Execute() {
    if (ProxyResolve()) {
        FDestIp = ResolveHost(Host());
    }
    TCustomSocket::Execute();
}

// ---- TEventSocket --------------------------------------------------------------
// Each handler is copied before the call: the owner may release itself, and with it
// the handler, while the handler runs.

void TEventSocket::DoError() {
    TProxySocket::DoError();
    if (const TOnError handler = OnError) {
        handler(this, ERR_SOCKET, FLastErrMsg);
    }
}

void TEventSocket::DoConnect() {
    if (const TNotifyEvent handler = OnConnect; handler && ProxyReady()) {
        handler(this);
    }
}

void TEventSocket::DoConnectError() {
    TProxySocket::DoConnectError();
    if (const TNotifyEvent handler = OnConnectError) {
        handler(this);
    }
}

void TEventSocket::DoDisconnect() {
    TProxySocket::DoDisconnect();
    if (const TNotifyEvent handler = OnDisconnect) {
        handler(this);
    }
}

void TEventSocket::DoReceive() {
    if (const TOnReceive handler = OnReceive; handler && ProxyReady()) {
        handler(this, Buffer, BufLen);
    }
}

void TEventSocket::DoDataSent() {
    if (const TNotifyEvent handler = OnDataSent) {
        handler(this);
    }
}

// ---- TMySocket -----------------------------------------------------------------

TMySocket::TMySocket() : FEventSocket(std::make_shared<TEventSocket>()) {
    FEventSocket->OnError = [this](TObject*, TErrorType ErrorType, const QString& ErrorMsg) {
        if (const TOnError handler = OnError) {
            handler(this, ErrorType, ErrorMsg);
        }
    };
    FEventSocket->OnConnect = [this](TObject*) {
        if (const TNotifyEvent handler = OnConnectProc) {
            handler(this);
        }
    };
    FEventSocket->OnConnectError = [this](TObject*) {
        if (const TNotifyEvent handler = OnConnectError) {
            handler(this);
        }
    };
    FEventSocket->OnDisconnect = [this](TObject*) {
        const std::weak_ptr<int> alive = FAlive;
        if (const TNotifyEvent handler = OnDisconnect) {
            handler(this);
        }
        if (!alive.expired()) {
            FEventSocket->Close();
        }
    };
    FEventSocket->OnReceive = [this](TObject*, const void* Buffer, uint32_t BufLen) {
        if (const TOnRecv handler = OnReceiveProc) {
            handler(this, ClientSocket(), Buffer, BufLen);
        }
    };
    FEventSocket->OnDataSent = [this](TObject*) {
        if (const TNotifyEvent handler = OnDataSent) {
            handler(this);
        }
    };
    FEventSocket->OnTlsReady = [this](TObject*) {
        if (const TNotifyEvent handler = OnTlsReady) {
            handler(this);
        }
    };
    FEventSocket->OnTlsError = [this](TObject*, const QString& Reason) {
        if (const TOnTlsError handler = OnTlsError) {
            handler(this, Reason);
        }
    };
}

TMySocket::~TMySocket() {
    // The worker object may outlive this one until its thread has ended; make sure
    // nothing of it can call back here.
    FEventSocket->OnError = nullptr;
    FEventSocket->OnConnect = nullptr;
    FEventSocket->OnConnectError = nullptr;
    FEventSocket->OnDisconnect = nullptr;
    FEventSocket->OnReceive = nullptr;
    FEventSocket->OnDataSent = nullptr;
    FEventSocket->OnTlsReady = nullptr;
    FEventSocket->OnTlsError = nullptr;
    if (!FEventSocket->ClosingWhenSent()) {
        FEventSocket->Close();
    }
}

void TMySocket::Connect() {
    if (FEventSocket->Connected()) {
        return;
    }
    FEventSocket->SetHost(FHost);
    FEventSocket->SetPort(fPort);
    FEventSocket->SetProxyHost(FHost);
    FEventSocket->SetProxyPort(fPort);
    FEventSocket->SetProxyReady(true);
    FEventSocket->Connect();
}

void TMySocket::Disconnect() {
    if (!FEventSocket->Connected()) {
        return;
    }
    const std::weak_ptr<int> alive = FAlive;
    if (const TNotifyEvent handler = OnDisconnect) {
        handler(this);
    }
    if (!alive.expired()) {
        FEventSocket->Close();
    }
}

void TMySocket::SendData(const void* Buf, uint32_t BufLen) {
    FEventSocket->SendData(Buf, BufLen);
}

void TMySocket::CloseAfterSending() {
    FEventSocket->CloseWhenSent();
}

int TMySocket::ClientSocket() const {
    return FSocket != -1 ? FSocket : FEventSocket->Socket();
}

void TMySocket::SetClientSocket(int Value) {
    FSocket = Value;
    FEventSocket->SetProxyReady(true);
    FEventSocket->StartWork(Value);
}

bool TMySocket::Connected() const {
    return FEventSocket->Connected();
}

QString TMySocket::ProxyHost() const {
    return FEventSocket->ProxyHost();
}
void TMySocket::SetProxyHost(const QString& Value) {
    FEventSocket->SetProxyHost(Value);
}
uint16_t TMySocket::ProxyPort() const {
    return FEventSocket->ProxyPort();
}
void TMySocket::SetProxyPort(uint16_t Value) {
    FEventSocket->SetProxyPort(Value);
}
QString TMySocket::ProxyUser() const {
    return FEventSocket->ProxyUser();
}
void TMySocket::SetProxyUser(const QString& Value) {
    FEventSocket->SetProxyUser(Value);
}
QString TMySocket::ProxyPass() const {
    return FEventSocket->ProxyPass();
}
void TMySocket::SetProxyPass(const QString& Value) {
    FEventSocket->SetProxyPass(Value);
}
bool TMySocket::ProxyAuth() const {
    return FEventSocket->ProxyAuth();
}
void TMySocket::SetProxyAuth(bool Value) {
    FEventSocket->SetProxyAuth(Value);
}
bool TMySocket::ProxyResolve() const {
    return FEventSocket->ProxyResolve();
}
void TMySocket::SetProxyResolve(bool Value) {
    FEventSocket->SetProxyResolve(Value);
}
