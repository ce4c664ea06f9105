// Login time from Connect to online against the same ejabberd in its two set-ups,
// both started here by the test fixture: TLS + SCRAM-SHA-256 (as Debian ships it)
// next to the old exchange's plain DIGEST-MD5. Goal: TLS at most twice as long.

#include "Jabber.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct TServer {
    QTemporaryDir Dir;
    QHash<QString, QString> Endpoint;
    bool Ok = false;

    explicit TServer(const QStringList& Mode) {
        const QString script = QStringLiteral(VELORA_FIXTURES "/ejabberd/start");
        Ok = QProcess::execute(script, QStringList{Dir.path()} + Mode) == 0;
        QFile file(Dir.filePath(QStringLiteral("endpoint")));
        if (!Ok || !file.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                Endpoint.insert(QString::fromUtf8(line.left(eq)),
                                QString::fromUtf8(line.mid(eq + 1)));
        }
    }
    ~TServer() {
        QProcess::execute(QStringLiteral(VELORA_FIXTURES "/ejabberd/stop"), {Dir.path()});
    }

    // One login to online, in milliseconds; negative when it did not get there.
    double Login() const {
        TJabberClient client;
        client.SetJabberServer(QStringLiteral("127.0.0.1"));
        client.SetJabberPort(Endpoint.value(QStringLiteral("port")).toUShort());
        client.SetJID(Endpoint.value(QStringLiteral("user1")) + u'@' +
                      Endpoint.value(QStringLiteral("domain")));
        client.SetPassword(Endpoint.value(QStringLiteral("password1")));
        client.SetCaFile(Endpoint.value(QStringLiteral("ca")));
        bool done = false;
        client.OnJabberOnline = [&](TJabberClient*) {
            done = true;
        };
        const auto start = Clock::now();
        client.Connect(1);
        const auto deadline = start + 30s;
        while (!done && Clock::now() < deadline) {
            QEventLoop loop;
            QTimer::singleShot(1ms, &loop, &QEventLoop::quit);
            loop.exec(QEventLoop::WaitForMoreEvents);
        }
        return done ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
    }
};

double Median(std::vector<double> Samples) {
    std::sort(Samples.begin(), Samples.end());
    return Samples.empty() ? -1 : Samples[Samples.size() / 2];
}

void BM_LoginTime(benchmark::State& state) {
    TServer plain({});
    TServer tls({QStringLiteral("tls")});
    if (!plain.Ok || !tls.Ok) {
        state.SkipWithError("the ejabberd fixture did not start");
        return;
    }
    std::vector<double> plainMs;
    std::vector<double> tlsMs;
    for (auto _ : state) {
        for (int i = 0; i < 15; ++i) {
            plainMs.push_back(plain.Login());
            tlsMs.push_back(tls.Login());
        }
    }
    state.counters["digest_plain_ms"] = Median(plainMs);
    state.counters["tls_scram256_ms"] = Median(tlsMs);
    state.counters["ratio"] = Median(tlsMs) / Median(plainMs); // goal: at most 2
}
BENCHMARK(BM_LoginTime)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
