// What TLS costs the socket transport, next to the plain transport in the same run:
// throughput from SendData to a reading peer, and the CPU an idle TLS connection
// burns. The peer is an OpenSSL server thread with a certificate from a private CA
// made by tests/certs/make.

#include "BenchRatios.h"
#include "JabberSock.h"
#include "SocketWorkers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

QTemporaryDir* Certs = nullptr;

constexpr qsizetype TransferBytes = 512 * 65535;

QString Cert(const char* Name) {
    return Certs->filePath(QString::fromLatin1(Name));
}

struct TListener {
    int Handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t Port = 0;
    TListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(Handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(Handle, 4);
        socklen_t length = sizeof address;
        getsockname(Handle, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
    }
    ~TListener() { close(Handle); }
};

// Runs the event loop until Done holds or Timeout passes, checking after every event,
// so that a wake-up from another thread ends the wait at once.
bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = 60s) {
    QTimer timeout;
    timeout.setSingleShot(true);
    timeout.start(Timeout);
    while (!Done() && timeout.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return Done();
}

// Wakes the GUI thread's event loop from another thread.
void WakeGuiThread() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
}

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The server end: accepts one connection and, with Tls, runs the TLS server on it;
// then counts what it reads until Total bytes (or the end) have come.
class TPeer {
public:
    TPeer(const TListener& Listener, bool Tls, qsizetype Total) {
        FThread = std::thread([this, &Listener, Tls, Total] {
            const int handle = accept4(Listener.Handle, nullptr, nullptr, SOCK_CLOEXEC);
            SSL_CTX* context = nullptr;
            SSL* ssl = nullptr;
            if (Tls) {
                context = SSL_CTX_new(TLS_server_method());
                SSL_CTX_use_certificate_chain_file(context, Cert("server.pem").toLocal8Bit());
                SSL_CTX_use_PrivateKey_file(context, Cert("server.key").toLocal8Bit(),
                                            SSL_FILETYPE_PEM);
                // Reads what has arrived in large pieces, as the plain peer does, not a
                // record header and then its record.
                SSL_CTX_set_read_ahead(context, 1);
                SSL_CTX_set_default_read_buffer_len(context, 1 << 17);
                ssl = SSL_new(context);
                SSL_set_fd(ssl, handle);
                if (SSL_accept(ssl) == 1)
                    Ready = true;
            }
            std::vector<char> buffer(1 << 17);
            while (Received < Total) {
                const int n = ssl ? SSL_read(ssl, buffer.data(), int(buffer.size()))
                                  : int(recv(handle, buffer.data(), buffer.size(), 0));
                if (n <= 0)
                    break;
                Received += n;
            }
            WakeGuiThread();
            // Stay until told, so that an idle connection stays open.
            while (!Stop)
                std::this_thread::sleep_for(10ms);
            SSL_free(ssl);
            SSL_CTX_free(context);
            close(handle);
        });
    }
    ~TPeer() {
        Stop = true;
        FThread.join();
    }
    std::atomic<qsizetype> Received{0};
    std::atomic<bool> Ready{false};
    std::atomic<bool> Stop{false};

private:
    std::thread FThread;
};

// A facade connected to Listener, over TLS when asked; waits until it is ready.
std::unique_ptr<TMySocket> Connect(const TListener& Listener, bool Tls) {
    auto socket = std::make_unique<TMySocket>();
    socket->SetHost(QStringLiteral("127.0.0.1"));
    socket->SetPort(Listener.Port);
    bool connected = false;
    bool secured = false;
    socket->OnConnectProc = [&](TObject*) {
        connected = true;
    };
    socket->OnTlsReady = [&](TObject*) {
        secured = true;
    };
    socket->Connect();
    RunUntil([&] { return connected; });
    if (Tls) {
        socket->StartTls({QStringLiteral("localhost"), Cert("ca.pem"), {}});
        RunUntil([&] { return secured; });
    }
    socket->OnConnectProc = nullptr;
    socket->OnTlsReady = nullptr;
    return socket;
}

// Seconds to move the bytes from SendData to the peer.
double Transfer(bool Tls) {
    constexpr qsizetype Chunk = 65535;
    constexpr qsizetype Total = TransferBytes;
    const QByteArray chunk(Chunk, 'x');
    TListener listener;
    TPeer peer(listener, Tls, Total);
    auto socket = Connect(listener, Tls);
    qsizetype queued = 0;
    const auto queueBatch = [&] {
        for (int i = 0; i < 8 && queued < Total; ++i, queued += Chunk)
            socket->SendData(chunk.constData(), Chunk);
    };
    socket->OnDataSent = [&](TObject*) {
        queueBatch();
    };
    const auto start = Clock::now();
    queueBatch();
    RunUntil([&] { return peer.Received >= Total; });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    socket.reset();
    WaitForSocketWorkersToEnd();
    return seconds;
}

// The same bytes through the same facade to the same kind of peer, with and without
// TLS; goal: TLS at least half the plain throughput.
void BM_TlsThroughput(benchmark::State& state) {
    double tls = 0;
    double plain = 0;
    for (auto _ : state) {
        plain += Transfer(false);
        tls += Transfer(true);
    }
    const double megabytes = double(TransferBytes) * double(state.iterations()) / 1e6;
    state.counters["tls_MBps"] = megabytes / tls;
    state.counters["plain_MBps"] = megabytes / plain;
}
// The machine is shared, so the medians of several repetitions are the figures to read.
BENCHMARK(BM_TlsThroughput)->Iterations(3)->Repetitions(9)->Unit(benchmark::kMillisecond);

// One silent TLS connection for 10 s with the event loop idle; goal below 1 %.
void BM_TlsIdleConnection(benchmark::State& state) {
    for (auto _ : state) {
        TListener listener;
        TPeer peer(listener, true, 1);
        auto socket = Connect(listener, true);
        QEventLoop settle;
        QTimer::singleShot(200ms, &settle, &QEventLoop::quit);
        settle.exec();
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        QEventLoop idle;
        QTimer::singleShot(10s, &idle, &QEventLoop::quit);
        idle.exec();
        const double used = CpuSeconds() - cpu;
        state.counters["tls_idle_cpu_pct"] =
            100.0 * used / std::chrono::duration<double>(Clock::now() - start).count();
        socket.reset();
    }
}
BENCHMARK(BM_TlsIdleConnection)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir certs;
    Certs = &certs;
    if (QProcess::execute(QStringLiteral(VELORA_MAKE_CERTS), {certs.path()}) != 0)
        return 1;
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("TLS throughput, MB/s (ref: the same transport without TLS)",
                  {"BM_TlsThroughput", "tls_MBps"}, {"BM_TlsThroughput", "plain_MBps"});
    });
}
