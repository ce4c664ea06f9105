// The socket worker's TLS against an OpenSSL server thread on loopback: both
// directions at once, in bulk, with the receive bounds of the plain connection.

#include "JabberSock.h"
#include "LoopbackServer.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray Pattern(qsizetype Size, int Seed) {
    QByteArray data(Size, Qt::Uninitialized);
    for (qsizetype i = 0; i < Size; ++i)
        data[i] = static_cast<char>((i + Seed) % 251);
    return data;
}

// A private CA and a server certificate for localhost, made by a child started with
// fork. QProcess starts its children in a way that lets the child run in the parent's
// memory for a while, which leaves the thread checker blind to the synchronisation
// that follows in the parent.
class TCertificates {
public:
    TCertificates() {
        const QByteArray dir = FDir.path().toLocal8Bit();
        const pid_t child = fork();
        if (child == 0) {
            execl(NET_MAKE_CERTS, NET_MAKE_CERTS, dir.constData(), "localhost", nullptr);
            _exit(127);
        }
        int status = 0;
        FOk = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0;
    }
    bool Ok() const { return FDir.isValid() && FOk; }
    QString Path(const char* File) const { return FDir.filePath(QString::fromLatin1(File)); }

private:
    QTemporaryDir FDir;
    bool FOk = false;
};

// Accepts one connection, runs the TLS server on it, writes Burst in one go, then
// reads until Expected bytes have come and closes with a close alert. Every blocking
// call is bounded by the socket's time-outs.
class TTlsPeer {
public:
    TTlsPeer(const TCertificates& Certs, QByteArray Burst, qsizetype Expected)
        : FListener(1), FBurst(std::move(Burst)) {
        FThread = std::thread([this, &Certs, Expected] { Serve(Certs, Expected); });
    }
    ~TTlsPeer() { FThread.join(); }

    uint16_t Port() const { return FListener.Port(); }
    bool Done() const { return FDone.load(); }
    // Valid once Done.
    const QByteArray& Received() const { return FReceived; }

private:
    void Serve(const TCertificates& Certs, qsizetype Expected) {
        const int handle = FListener.AcceptHandle(std::chrono::seconds(10));
        if (handle != -1) {
            const timeval limit{30, 0};
            setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            SSL_CTX* context = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_chain_file(context, Certs.Path("server.pem").toLocal8Bit());
            SSL_CTX_use_PrivateKey_file(context, Certs.Path("server.key").toLocal8Bit(),
                                        SSL_FILETYPE_PEM);
            SSL* ssl = SSL_new(context);
            SSL_set_fd(ssl, handle);
            if (SSL_accept(ssl) == 1 &&
                SSL_write(ssl, FBurst.constData(), int(FBurst.size())) == FBurst.size()) {
                std::vector<char> buffer(1 << 16);
                while (FReceived.size() < Expected) {
                    const int n = SSL_read(ssl, buffer.data(), int(buffer.size()));
                    if (n <= 0)
                        break;
                    FReceived.append(buffer.data(), n);
                }
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            SSL_CTX_free(context);
            close(handle);
        }
        FDone = true;
    }

    TLoopbackServer FListener;
    QByteArray FBurst;
    QByteArray FReceived;
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

// The server writes megabytes while the client sends megabytes of its own, which
// neither side reads until its own writing is done on the server's part: a worker that
// blocked on a full socket while it had records to send would never read again. The
// first receive handler waits until more than a full receive buffer of records has
// piled up, so that one read decrypts to more than one event may carry.
TEST(JabberSockTlsTest, BulkBothWaysArrivesWholeInBoundedEvents) {
    const TCertificates certs;
    ASSERT_TRUE(certs.Ok());
    const QByteArray down = Pattern(4 * 1024 * 1024 + 17, 1);
    const QByteArray up = Pattern(4 * 1024 * 1024 + 33, 2);
    TTlsPeer peer(certs, down, up.size());

    TMySocket socket;
    socket.SetHost(QStringLiteral("127.0.0.1"));
    socket.SetPort(peer.Port());
    QStringList events;
    QByteArray received;
    uint32_t largest = 0;
    bool piledUp = false;
    qsizetype queued = 0;
    const auto queueSome = [&] {
        // A few packets at a time, so that the queue keeps draining and refilling.
        for (int i = 0; i < 4 && queued < up.size(); ++i) {
            const qsizetype length = std::min<qsizetype>(65535, up.size() - queued);
            socket.SendData(up.constData() + queued, uint32_t(length));
            queued += length;
        }
    };
    socket.OnConnectProc = [&](TObject*) {
        events << "connect";
        // Room in the kernel for more than a full receive buffer, whatever the default.
        const int room = 4 * TCustomSocket::ReceiveBufferSize;
        setsockopt(socket.ClientSocket(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        socket.StartTls({QStringLiteral("localhost"), certs.Path("ca.pem"), {}});
    };
    socket.OnTlsReady = [&](TObject*) {
        events << "tls-ready";
        queueSome();
    };
    socket.OnDataSent = [&](TObject*) {
        if (events.contains("tls-ready"))
            queueSome();
    };
    socket.OnTlsError = [&](TObject*, const QString& Reason) {
        events << "tls-error: " + Reason;
    };
    socket.OnDisconnect = [&](TObject*) {
        events << "disconnect";
    };
    socket.OnReceiveProc = [&](TObject*, int Handle, const void* Buffer, uint32_t Len) {
        largest = std::max(largest, Len);
        received.append(static_cast<const char*>(Buffer), Len);
        if (!piledUp) {
            piledUp = WaitUntil([&] {
                int waiting = 0;
                return ioctl(Handle, FIONREAD, &waiting) == 0 &&
                       uint32_t(waiting) > TCustomSocket::ReceiveBufferSize;
            });
        }
    };
    socket.Connect();

    ASSERT_TRUE(WaitUntil([&] { return peer.Done() && events.contains("disconnect"); }, 60s))
        << events.join(", ").toStdString();
    EXPECT_EQ(events, QStringList({"connect", "tls-ready", "disconnect"}));
    EXPECT_TRUE(received == down) << received.size() << " of " << down.size();
    EXPECT_TRUE(peer.Received() == up) << peer.Received().size() << " of " << up.size();
    EXPECT_TRUE(piledUp);
    EXPECT_LE(largest, TCustomSocket::ReceiveBufferSize);
}

} // namespace
