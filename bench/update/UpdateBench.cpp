// The update transfers as the GUI thread feels them, against a loopback HTTP
// server of the bench's own:
//  - the largest gap of a 10 ms timer on the GUI thread during an update
//    check against a server that accepts and never answers, and during a
//    50 MB download (the window's self-update client, and the component's
//    own download into a file with its signature check), next to the same
//    timer in an idle event loop (goal: at most 50 ms);
//  - the self-update client's throughput next to the curl command line on
//    the same file and server (goal: at least 0.8 of it);
//  - the signature check of a 50 MB file next to "minisign -V" (goal: at
//    most twice its time).
#include "BenchRatios.h"
#include "IdHTTP.h"
#include "MinisignTestKey.h"
#include "wuMinisign.h"
#include "wuWebUpdate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype kBigSize = 50 * 1000 * 1000;

// Answers each GET with the file of that path and closes; a silent server
// takes connections and never answers. One connection at a time.
class TLoopbackServer {
public:
    explicit TLoopbackServer(bool silent = false) : FSilent(silent) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(FListen, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(FListen, 16);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &size);
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~TLoopbackServer() {
        FStop = true;
        ::shutdown(FListen, SHUT_RDWR);
        FThread.join();
        ::close(FListen);
    }

    void Put(const std::string& path, QByteArray content) { FFiles[path] = std::move(content); }
    QString Url(const char* path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(FPort).arg(QLatin1String(path));
    }

private:
    bool Readable(int fd) const {
        while (!FStop) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, 50) > 0)
                return true;
        }
        return false;
    }

    void Run() {
        std::vector<int> held;
        while (Readable(FListen)) {
            const int peer = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0)
                break;
            if (FSilent) {
                held.push_back(peer);
                continue;
            }
            Serve(peer);
            ::close(peer);
        }
        for (const int fd : held)
            ::close(fd);
    }

    void Serve(int peer) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && Readable(peer)) {
            const ssize_t got = ::recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t start = request.find(' ') + 1;
        const auto found = FFiles.find(request.substr(start, request.find(' ', start) - start));
        const QByteArray body = found == FFiles.end() ? QByteArray() : found->second;
        const QByteArray head =
            (found == FFiles.end() ? "HTTP/1.0 404 Not Found\r\n" : "HTTP/1.0 200 OK\r\n") +
            QByteArray("Content-Length: ") + QByteArray::number(body.size()) + "\r\n\r\n";
        if (SendAll(peer, head.constData(), head.size()))
            SendAll(peer, body.constData(), body.size());
    }

    bool SendAll(int peer, const char* data, qsizetype size) const {
        while (size > 0 && !FStop) {
            const ssize_t sent = ::send(peer, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            size -= sent;
        }
        return size == 0;
    }

    bool FSilent;
    int FListen = -1;
    quint16 FPort = 0;
    std::atomic<bool> FStop{false};
    std::map<std::string, QByteArray> FFiles;
    std::thread FThread;
};

// The largest gap between two timeouts of a 10 ms timer on this thread.
class TGapMeter {
public:
    TGapMeter() {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(10);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            const qint64 now = FClock.nsecsElapsed();
            FLargest = std::max(FLargest, now - FLast);
            FLast = now;
        });
        FClock.start();
        FLast = FClock.nsecsElapsed();
        FTimer.start();
    }
    // Including the time since the last timeout.
    double LargestMs() const { return std::max(FLargest, FClock.nsecsElapsed() - FLast) / 1e6; }

private:
    QTimer FTimer;
    QElapsedTimer FClock;
    qint64 FLast = 0;
    qint64 FLargest = 0;
};

void RunIdle(int ms) {
    QEventLoop idle;
    QTimer::singleShot(ms, &idle, &QEventLoop::quit);
    idle.exec();
}

QByteArray BigFile() {
    QByteArray content(kBigSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 7919) >> 8);
    return content;
}

const QByteArray& Big() {
    static const QByteArray content = BigFile();
    return content;
}

const TMinisignTestKey& Key() {
    static const TMinisignTestKey key;
    return key;
}

// The information page of a product at version 2.0, its file at /big.bin.
QByteArray Page() {
    return "<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n"
           "<META NAME=\"wuVersion\" CONTENT=\"2.0\">\r\n"
           "<META NAME=\"wuClientSideName\" CONTENT=\"big.bin\">\r\n"
           "<META NAME=\"wuDownload\" CONTENT=\"/big.bin\">\r\n";
}

// A component set up as the window does, checking against the given page.
void SetUp(TwuWebUpdate& update, const QString& page) {
    update.ProductInfo().SetURL(page);
    update.SetOptions({});
    update.SetPublicKey(Key().PublicKeyText());
    update.OnBeforeShowInfo = [](TwuWebUpdate*, bool& ShowInfo, bool&) {
        ShowInfo = false;
    };
}

void BM_IdleLoop(benchmark::State& state) {
    for (auto _ : state) {
        TGapMeter meter;
        RunIdle(2000);
        state.counters["gap_ms"] = meter.LargestMs();
    }
}
BENCHMARK(BM_IdleLoop)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

void BM_CheckAgainstSilentServer(benchmark::State& state) {
    TLoopbackServer silent(true);
    for (auto _ : state) {
        TwuWebUpdate update;
        SetUp(update, silent.Url("/info.html"));
        TGapMeter meter;
        QTimer::singleShot(2000, [&update] { update.Abort(); });
        update.CheckForAnUpdate();
        state.counters["gap_ms"] = meter.LargestMs();
    }
}
BENCHMARK(BM_CheckAgainstSilentServer)
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

// The window's client as the window drives it: the bar moves and pending
// events are handled at every report.
void BM_SelfUpdateDownload(benchmark::State& state) {
    TLoopbackServer server;
    server.Put("/big.bin", Big());
    for (auto _ : state) {
        TIdHTTP http;
        int position = 0;
        http.OnWork = [&position](TIdHTTP*, TWorkMode, std::int64_t count) {
            position = static_cast<int>(count);
            QApplication::processEvents();
        };
        TGapMeter meter;
        QElapsedTimer clock;
        clock.start();
        const QByteArray body = http.Get(server.Url("/big.bin"));
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (body.size() != kBigSize || position != kBigSize) {
            state.SkipWithError("incomplete download");
            return;
        }
        state.counters["gap_ms"] = meter.LargestMs();
        state.counters["MBps"] = kBigSize / 1e6 / seconds;
    }
}
BENCHMARK(BM_SelfUpdateDownload)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

void BM_CurlCommandLine(benchmark::State& state) {
    TLoopbackServer server;
    server.Put("/big.bin", Big());
    for (auto _ : state) {
        QProcess curl;
        QElapsedTimer clock;
        clock.start();
        curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("-o"),
                                            QStringLiteral("/dev/null"), server.Url("/big.bin")});
        if (!curl.waitForFinished(60000) || curl.exitCode() != 0) {
            state.SkipWithError("curl failed");
            return;
        }
        state.counters["MBps"] = kBigSize / 1e6 / (clock.nsecsElapsed() / 1e9);
    }
}
BENCHMARK(BM_CurlCommandLine)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

// The component's whole check: the page, the file into the temporary folder
// with a report and pending events at every chunk, its signature checked.
void BM_ComponentDownload(benchmark::State& state) {
    TLoopbackServer server;
    server.Put("/info.html", Page());
    server.Put("/big.bin", Big());
    server.Put("/big.bin.minisig", Key().Sign(Big()));
    for (auto _ : state) {
        QTemporaryDir temp;
        qputenv("TMPDIR", temp.path().toLocal8Bit());
        TwuWebUpdate update;
        SetUp(update, server.Url("/info.html"));
        update.OnDownload = [](TwuWebUpdate*, std::int32_t, std::int32_t) {
            QApplication::processEvents();
        };
        TGapMeter meter;
        QElapsedTimer clock;
        clock.start();
        const bool done = update.CheckForAnUpdate();
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (!done || QFileInfo(QDir(temp.path()).filePath("big.bin")).size() != kBigSize) {
            state.SkipWithError("check failed");
            return;
        }
        state.counters["gap_ms"] = meter.LargestMs();
        state.counters["MBps"] = kBigSize / 1e6 / seconds;
    }
}
BENCHMARK(BM_ComponentDownload)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

// The signed 50 MB file and its signature on disk, with the public key.
struct TSignedFile {
    QTemporaryDir Dir;
    QString File = Dir.filePath(QStringLiteral("big.bin"));
    QString Signature = File + QStringLiteral(".minisig");
    QString PublicKey = Dir.filePath(QStringLiteral("key.pub"));

    TSignedFile() {
        const auto write = [](const QString& path, const QByteArray& content) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
        write(File, Big());
        write(Signature, Key().Sign(Big()));
        write(PublicKey, Key().PublicKeyText());
    }
};

void BM_VerifySignature(benchmark::State& state) {
    const TSignedFile file;
    const auto key = TwuMinisignPublicKey::Parse(Key().PublicKeyText());
    const auto signature = TwuMinisignSignature::Parse(Key().Sign(Big()));
    for (auto _ : state) {
        if (!wuMinisignVerifyFile(*key, *signature, file.File))
            state.SkipWithError("not verified");
    }
}
BENCHMARK(BM_VerifySignature)->Iterations(3)->Repetitions(5)->Unit(benchmark::kMillisecond);

void BM_MinisignCommandLine(benchmark::State& state) {
    const TSignedFile file;
    for (auto _ : state) {
        QProcess minisign;
        minisign.start(QStringLiteral("minisign"),
                       {QStringLiteral("-Vq"), QStringLiteral("-p"), file.PublicKey,
                        QStringLiteral("-x"), file.Signature, QStringLiteral("-m"), file.File});
        if (!minisign.waitForFinished(60000) || minisign.exitCode() != 0)
            state.SkipWithError("minisign failed");
    }
}
BENCHMARK(BM_MinisignCommandLine)->Iterations(3)->Repetitions(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // No proxy of the machine's may come between the bench and its server.
    qputenv("no_proxy", "127.0.0.1");
    // Figures and references take turns, so that a load that comes and goes
    // on this shared machine falls on both alike.
    std::vector<char*> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    return RunBenchmarksWithRatios(count, arguments.data(), [](TRatioReporter& r) {
        r.Compare("largest GUI gap, check vs silent server, ms (ref: idle loop; goal <= 50)",
                  {"BM_CheckAgainstSilentServer", "gap_ms"}, {"BM_IdleLoop", "gap_ms"});
        r.Compare("largest GUI gap, 50 MB self-update download, ms (ref: idle; goal <= 50)",
                  {"BM_SelfUpdateDownload", "gap_ms"}, {"BM_IdleLoop", "gap_ms"});
        r.Compare("largest GUI gap, 50 MB component check, ms (ref: idle; goal <= 50)",
                  {"BM_ComponentDownload", "gap_ms"}, {"BM_IdleLoop", "gap_ms"});
        r.Compare("self-update download, MB/s (ref: curl command line; goal >= 0.8)",
                  {"BM_SelfUpdateDownload", "MBps"}, {"BM_CurlCommandLine", "MBps"});
        r.Compare("component check with 50 MB file, MB/s (ref: curl command line)",
                  {"BM_ComponentDownload", "MBps"}, {"BM_CurlCommandLine", "MBps"});
        r.Compare("signature check of 50 MB, s (ref: minisign -V; goal <= 2)",
                  {"BM_VerifySignature", ""}, {"BM_MinisignCommandLine", ""});
    });
}
