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
    delete FTlsRequest.exchange(new TTlsSettings(Settings));
    WakeWorker();
}

bool TCustomSocket::RunPendingTls(int Socket) {
    const std::unique_ptr<TTlsSettings> settings(FTlsRequest.exchange(nullptr));
    if (!settings) {
        return true;
    }
    // Made here, not on the GUI thread: loading the trust store takes a moment.
    FTls = std::make_unique<TTlsEngine>(*settings);
    // The handshake and every record after it leave as whole writes; waiting to
    // coalesce them with the next one (Nagle) only meets the peer's delayed ACK.
    const int on = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (;;) {
        const TTlsEngine::TState state = FTls->Handshake();
        if (!SendTlsOutput(Socket, true)) {
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
        const ssize_t received = ReceiveIntoTls(Socket);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (received <= 0) {
            FTlsFailure = QStringLiteral("Server ukončil spojení během navazování šifrování.");
            Synchronize([this] { DoTlsFailed(); });
            return false;
        }
    }
}

ssize_t TCustomSocket::ReceiveIntoTls(int Socket) {
    const ssize_t received =
        ::recv(Socket, FTls->FeedSpace(ReceiveBufferSize), ReceiveBufferSize, 0);
    FTls->Fed(received > 0 ? size_t(received) : 0);
    return received;
}

bool TCustomSocket::SendTlsOutput(int Socket, bool Wait) {
    for (;;) {
        size_t length = 0;
        const char* out = FTls->Output(length);
        if (length == 0) {
            return true;
        }
        const ssize_t sent = ::send(Socket, out, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            FTls->Sent(size_t(sent));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (!Wait) {
            return true; // the rest leaves when poll says the socket takes more
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
}

bool TCustomSocket::TlsOutputPending() const {
    return FTls && FTls->HasOutput();
}

ssize_t TCustomSocket::TransportRecv(int Socket, char* Data, size_t Size) {
    if (!FTls) {
        return ::recv(Socket, Data, Size, 0);
    }
    // Decrypted straight into Data. What an earlier receive held beyond Size comes
    // first; only when that gives nothing is the socket read.
    size_t plain = FTls->ReadPlain(Data, Size);
    if (plain == 0 && FTls->State() == TTlsEngine::TState::Ready) {
        const ssize_t received = ReceiveIntoTls(Socket);
        if (received <= 0) {
            return received;
        }
        plain = FTls->ReadPlain(Data, Size);
    }
    // Reading may have produced records of its own (an alert, a key update).
    if (!SendTlsOutput(Socket, false)) {
        return -1;
    }
    if (plain > 0) {
        return ssize_t(plain);
    }
    if (FTls->State() == TTlsEngine::TState::Closed) {
        return 0;
    }
    errno = FTls->State() == TTlsEngine::TState::Failed ? EPROTO : EAGAIN;
    return -1;
}

ssize_t TCustomSocket::TransportSend(int Socket, const char* Data, size_t Size) {
    if (!FTls) {
        return ::send(Socket, Data, Size, MSG_NOSIGNAL);
    }
    // The records of the previous packet leave first; until they have, this one waits
    // in the queue, so at most one packet's records are held here.
    if (!SendTlsOutput(Socket, false)) {
        return -1;
    }
    if (FTls->HasOutput()) {
        errno = EAGAIN;
        return -1;
    }
    FTls->WritePlain(Data, Size);
    if (FTls->State() != TTlsEngine::TState::Ready) {
        errno = EPROTO;
        return -1;
    }
    return SendTlsOutput(Socket, false) ? ssize_t(Size) : -1;
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
