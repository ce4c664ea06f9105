// The socket worker's TLS: STARTTLS hands it the settings, the worker runs the handshake
// in a poll of its own (so Close still interrupts it), and from then on every read
// and write of the worker goes through the engine.

#include "JabberSock.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

void TCustomSocket::StartTls(const TTlsSettings& Settings) {
    {
        std::lock_guard lock(FTlsLock);
        FTlsRequest = std::make_unique<TTlsSettings>(Settings);
    }
    WakeWorker();
}

bool TCustomSocket::RunPendingTls(int Socket) {
    std::unique_ptr<TTlsSettings> settings;
    {
        std::lock_guard lock(FTlsLock);
        if (!FTlsRequest) {
            return true;
        }
        settings = std::move(FTlsRequest);
    }
    // Made here, not on the GUI thread: loading the trust store takes a moment.
    FTls = std::make_unique<TTlsEngine>(*settings);
    FTlsInput.resize(ReceiveBufferSize);
    // The handshake and every record after it leave as whole writes; waiting to
    // coalesce them with the next one (Nagle) only meets the peer's delayed ACK.
    const int on = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (;;) {
        const TTlsEngine::TState state = FTls->Handshake();
        if (!SendTlsOutput(Socket)) {
            return false;
        }
        if (Terminated()) {
            return false;
        }
        if (state == TTlsEngine::TState::Ready) {
            Synchronize([this] { DoTlsReady(); });
            return !Terminated();
        }
        if (state != TTlsEngine::TState::Handshaking) {
            FTlsFailure = FTls->FailureReason();
            Synchronize([this] { DoTlsFailed(); });
            return false;
        }
        pollfd fds[2] = {{Socket, POLLIN, 0}, {FWakeUp, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents & POLLIN) {
            DrainWakeUp();
        }
        if (Terminated()) {
            return false;
        }
        if (!fds[0].revents) {
            continue;
        }
        const ssize_t received = ::recv(Socket, FTlsInput.data(), FTlsInput.size(), 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (received <= 0) {
            FTlsFailure = QStringLiteral("Server ukončil spojení během navazování šifrování.");
            Synchronize([this] { DoTlsFailed(); });
            return false;
        }
        FTls->Feed(FTlsInput.data(), size_t(received));
    }
}

bool TCustomSocket::SendTlsOutput(int Socket) {
    const QByteArray out = FTls->TakeOutput();
    qsizetype done = 0;
    while (done < out.size()) {
        const ssize_t sent =
            ::send(Socket, out.constData() + done, size_t(out.size() - done), MSG_NOSIGNAL);
        if (sent >= 0) {
            done += sent;
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        // A non-blocking socket that is full: wait until it takes more, or for Close.
        pollfd fds[2] = {{Socket, POLLOUT, 0}, {FWakeUp, POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[1].revents & POLLIN) {
            DrainWakeUp();
        }
        if (Terminated()) {
            return false;
        }
    }
    return true;
}

ssize_t TCustomSocket::TransportRecv(int Socket, char* Data, size_t Size) {
    if (!FTls) {
        return ::recv(Socket, Data, Size, 0);
    }
    const ssize_t received = ::recv(Socket, FTlsInput.data(), FTlsInput.size(), 0);
    if (received <= 0) {
        return received;
    }
    FTls->Feed(FTlsInput.data(), size_t(received));
    const QByteArray plain = FTls->ReadPlain();
    if (!SendTlsOutput(Socket)) {
        return -1;
    }
    if (FTls->State() == TTlsEngine::TState::Closed && plain.isEmpty()) {
        return 0;
    }
    if (FTls->State() == TTlsEngine::TState::Failed) {
        errno = EPROTO;
        return -1;
    }
    if (plain.isEmpty()) {
        errno = EAGAIN;
        return -1;
    }
    // Records never decrypt to more than their own size.
    const size_t length = std::min(Size, size_t(plain.size()));
    std::copy_n(plain.constData(), length, Data);
    return ssize_t(length);
}

ssize_t TCustomSocket::TransportSend(int Socket, const char* Data, size_t Size) {
    if (!FTls) {
        return ::send(Socket, Data, Size, MSG_NOSIGNAL);
    }
    FTls->WritePlain(Data, Size);
    if (FTls->State() != TTlsEngine::TState::Ready) {
        errno = EPROTO;
        return -1;
    }
    return SendTlsOutput(Socket) ? ssize_t(Size) : -1;
}

void TCustomSocket::DoTlsReady() {}

void TCustomSocket::DoTlsFailed() {
    Close();
}

void TEventSocket::DoTlsReady() {
    if (const TNotifyEvent handler = OnTlsReady) {
        handler(this);
    }
}

void TEventSocket::DoTlsFailed() {
    TProxySocket::DoTlsFailed();
    if (const TOnTlsError handler = OnTlsError) {
        handler(this, FTlsFailure);
    }
}

void TMySocket::StartTls(const TTlsSettings& Settings) {
    FEventSocket->StartTls(Settings);
}
