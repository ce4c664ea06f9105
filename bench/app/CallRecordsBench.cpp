#include "CallHistory.h"
#include "CallRecord.h"
#include "LineListener.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QLocale>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <benchmark/benchmark.h>
#include <chrono>
#include <latch>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What the window does to the history for one handled record: four entries keyed by the time
// stamp taken once.
void AddEntries(CallHistory& history, const QString& stamp, const CallRecord& record) {
    history.SetEntry(stamp + QStringLiteral("_kdo"), record.kdo);
    history.SetEntry(stamp + QStringLiteral("_nazev"), record.nazev);
    history.SetEntry(stamp + QStringLiteral("_odkaz"), record.odkaz);
    history.SetEntry(stamp + QStringLiteral("_cas"), stamp);
}

QString Stamp(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(when.time(), QLocale::LongFormat);
}

// The time stamp of the current second. Formatting a local time asks the platform for the
// time zone, which costs a file look-up per call here, so it is formatted once a second.
class SecondStamp {
public:
    const QString& Now() {
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        if (second != FSecond) {
            FSecond = second;
            FText = Stamp(QDateTime::fromSecsSinceEpoch(second));
        }
        return FText;
    }

private:
    qint64 FSecond = -1;
    QString FText;
};

// The time stamp formatted afresh for every record.
void BM_TimeStamp(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(Stamp(QDateTime::currentDateTime()));
}
BENCHMARK(BM_TimeStamp);

const CallRecord SampleRecord{"420111222333",
                              "420444555666",
                              "1",
                              "3",
                              QString::fromUtf8("Účetní oddělení"),
                              "http://crm.example/index.php?action=DetailView&record=15"};

// A history of `lines` lines, four per record, one record per second.
QStringList MakeHistory(int lines) {
    QStringList history;
    history.reserve(lines);
    const QDateTime start(QDate(2020, 1, 1), QTime(8, 0));
    for (int second = 0; history.size() < lines; ++second) {
        const QString stamp = Stamp(start.addSecs(second));
        history << stamp + QStringLiteral("_kdo=") + SampleRecord.kdo
                << stamp + QStringLiteral("_nazev=") + SampleRecord.nazev
                << stamp + QStringLiteral("_odkaz=") + SampleRecord.odkaz
                << stamp + QStringLiteral("_cas=") + stamp;
    }
    history.resize(lines);
    return history;
}

// Time stamps of records yet to come, none of them in the history made above.
std::vector<QString> FreshStamps(int count) {
    std::vector<QString> stamps;
    const QDateTime start(QDate(2031, 6, 1), QTime(8, 0));
    for (int i = 0; i < count; ++i)
        stamps.push_back(Stamp(start.addSecs(i)));
    return stamps;
}

// Cost of one record's four entries on a history of state.range(0) lines. Mode 0: each record
// falls in a new second (four lines appended); mode 1: each record falls in the same second as
// the one before (that record's four lines replaced in place).
void BM_HistoryEntries(benchmark::State& state) {
    constexpr int Batch = 1024;
    CallHistory history(MakeHistory(static_cast<int>(state.range(0))));
    const std::vector<QString> stamps = FreshStamps(Batch);
    const bool sameSecond = state.range(1) == 1;
    if (sameSecond)
        AddEntries(history, stamps.front(), SampleRecord);
    int next = 0;
    for (auto _ : state) {
        AddEntries(history, stamps[sameSecond ? 0 : next], SampleRecord);
        if (sameSecond || ++next < Batch)
            continue;
        next = 0;
        // Back to the starting size, so that the size measured is the one asked for.
        state.PauseTiming();
        for (auto stamp = stamps.rbegin(); stamp != stamps.rend(); ++stamp) {
            for (const char* field : {"_cas", "_odkaz", "_nazev", "_kdo"})
                history.SetEntry(*stamp + field, QString());
        }
        state.ResumeTiming();
    }
    state.counters["lines"] = history.Count();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistoryEntries)
    ->ArgNames({"lines", "same_second"})
    ->ArgsProduct({{0, 10000, 1000000}, {0, 1}});

int ConnectLoopback(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to 127.0.0.1");
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(fraction * (values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// Median round trip of one record-sized message over a bare loopback TCP echo, in µs.
double EchoMedianMicros(int roundTrips) {
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(server, 1) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot set up the echo server");

    const QByteArray message = "420111222333:420444555666:1:3:Jan:http://crm.example/x\n";
    std::thread echo([server] {
        const int peer = accept(server, nullptr, nullptr);
        std::array<char, 4096> buffer;
        for (;;) {
            const ssize_t received = recv(peer, buffer.data(), buffer.size(), 0);
            if (received <= 0)
                break;
            send(peer, buffer.data(), received, MSG_NOSIGNAL);
        }
        close(peer);
    });
    const int client = ConnectLoopback(ntohs(address.sin_port));
    std::vector<double> trips;
    std::array<char, 4096> buffer;
    for (int i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        send(client, message.constData(), message.size(), MSG_NOSIGNAL);
        for (qsizetype got = 0; got < message.size();) {
            const ssize_t received = recv(client, buffer.data(), buffer.size(), 0);
            if (received <= 0)
                throw std::runtime_error("echo broke off");
            got += received;
        }
        trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(client);
    echo.join();
    close(server);
    return Percentile(trips, 0.5);
}

// 10,000 records over state.range(0) connections at once, through the listener to a handler on
// the GUI thread that splits each record and adds its four history entries. With a gap of 0
// each connection sends its records back to back (a burst); otherwise it sends one record
// every state.range(1) µs, which shows the latency of the hand-over without a queue behind it.
void BM_ListenerBurst(benchmark::State& state) {
    constexpr int Records = 10000;
    const int connections = static_cast<int>(state.range(0));
    const std::chrono::microseconds gap(state.range(1));
    const int perConnection = Records / connections;
    const int total = perConnection * connections;

    double echoMedian = 0, median = 0, p99 = 0, rate = 0, handlerMicros = 0;
    int lost = 0, outOfOrder = 0;
    for (auto _ : state) {
        echoMedian = EchoMedianMicros(2000);

        CallHistory history;
        LineListener listener;
        std::vector<std::vector<Clock::time_point>> sent(
            connections, std::vector<Clock::time_point>(perConnection));
        std::vector<std::vector<Clock::time_point>> handled(
            connections, std::vector<Clock::time_point>(perConnection));
        std::vector<int> next(connections, 0);
        int count = 0;
        SecondStamp stamp;
        Clock::duration inHandler{};
        QEventLoop loop;
        listener.OnLine = [&](const QString& line) {
            const auto start = Clock::now();
            const CallRecord record = SplitCallRecord(line);
            AddEntries(history, stamp.Now(), record);
            inHandler += Clock::now() - start;
            const int c = record.kam.toInt();
            const int i = record.typ.toInt();
            if (c < 0 || c >= connections || i < 0 || i >= perConnection)
                return;
            handled[c][i] = Clock::now();
            if (i != next[c])
                ++outOfOrder;
            next[c] = i + 1;
            if (++count == total)
                loop.quit();
        };
        listener.Start(0);

        std::vector<int> fds;
        for (int c = 0; c < connections; ++c)
            fds.push_back(ConnectLoopback(listener.Port()));
        std::latch ready(connections + 1);
        std::vector<std::thread> senders;
        for (int c = 0; c < connections; ++c) {
            senders.emplace_back([&, c] {
                std::vector<QByteArray> lines;
                for (int i = 0; i < perConnection; ++i)
                    lines.push_back("420111222333:" + QByteArray::number(c) +
                                    ":1:" + QByteArray::number(i) +
                                    ":Jan Nov\xC3\xA1k:http://crm.example/index.php?action="
                                    "DetailView&record=" +
                                    QByteArray::number(i) + '\n');
                ready.arrive_and_wait();
                const auto begin = Clock::now();
                for (int i = 0; i < perConnection; ++i) {
                    if (gap.count() > 0)
                        std::this_thread::sleep_until(begin + i * gap);
                    sent[c][i] = Clock::now();
                    send(fds[c], lines[i].constData(), lines[i].size(), MSG_NOSIGNAL);
                }
            });
        }
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        const auto start = Clock::now();
        ready.arrive_and_wait();
        loop.exec();
        const auto end = Clock::now();
        for (std::thread& sender : senders)
            sender.join();
        for (int fd : fds)
            close(fd);

        lost = total - count;
        std::vector<double> latencies;
        for (int c = 0; c < connections; ++c) {
            for (int i = 0; i < perConnection; ++i) {
                if (handled[c][i] != Clock::time_point{})
                    latencies.push_back(
                        std::chrono::duration<double, std::micro>(handled[c][i] - sent[c][i])
                            .count());
            }
        }
        median = Percentile(latencies, 0.5);
        p99 = Percentile(latencies, 0.99);
        rate = count / std::chrono::duration<double>(end - start).count();
        handlerMicros = std::chrono::duration<double, std::micro>(inHandler).count() / count;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["records_per_s"] = rate;
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    state.counters["echo_median_us"] = echoMedian;
    state.counters["median_over_echo"] = median / echoMedian;
    state.counters["handler_us"] = handlerMicros;
    state.counters["lost"] = lost;
    state.counters["out_of_order"] = outOfOrder;
}
BENCHMARK(BM_ListenerBurst)
    ->ArgNames({"connections", "gap_us"})
    ->ArgsProduct({{1, 8}, {0, 200}})
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
