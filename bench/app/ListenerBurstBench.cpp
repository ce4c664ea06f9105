// Call records from another program through the window's own path: its local
// listener and its record handler (the split, a time stamp formatted for each
// record, four history entries and the balloon), measured per record from the
// moment the sender wrote it to the moment its balloon was shown. Beside each
// figure, in the same run: one way of a bare loopback echo (half its round trip)
// for the latency, and plain reader threads taking the same lines off loopback
// for the rate.
#include "BenchRatios.h"
#include "RecordingDesktop.h"
#include "Unit1.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
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

// Draws nothing; reports the title of each balloon as it is shown.
class TBalloonClock : public TRecordingDesktop {
public:
    std::function<void(const QString& title)> OnBalloon;
    void SetBalloonTitle(const QString& title) override { FTitle = title; }
    void ShowBalloonHint() override {
        if (OnBalloon)
            OnBalloon(FTitle);
    }

private:
    QString FTitle;
};

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

// A listening socket on 127.0.0.1 with an ephemeral port.
int ListenLoopback(quint16& port) {
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(server, 64) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port = ntohs(address.sin_port);
    return server;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(fraction * (values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// Half the median round trip of one record-sized message over a bare loopback echo, in µs.
double EchoOneWayMicros(int roundTrips) {
    quint16 port = 0;
    const int server = ListenLoopback(port);
    const QByteArray message = "420111222333:420444555666:1:3:Jan:http://crm.example/x\n";
    std::thread echo([server] {
        const int peer = accept(server, nullptr, nullptr);
        const int on = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::array<char, 4096> buffer;
        for (;;) {
            const ssize_t received = recv(peer, buffer.data(), buffer.size(), 0);
            if (received <= 0)
                break;
            send(peer, buffer.data(), received, MSG_NOSIGNAL);
        }
        close(peer);
    });
    const int client = ConnectLoopback(port);
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
        trips.push_back(Micros(Clock::now() - start));
    }
    close(client);
    echo.join();
    close(server);
    return Median(trips) / 2;
}

// The lines one connection sends: record i of connection c has the caller "c-i".
std::vector<QByteArray> Lines(int c, int count) {
    std::vector<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines.push_back(QByteArray::number(c) + '-' + QByteArray::number(i) +
                        ":420444555666:1:3:Jan Nov\xC3\xA1k:http://crm.example/index.php?"
                        "action=DetailView&record=" +
                        QByteArray::number(i) + '\n');
    return lines;
}

// Sends each connection's lines from a thread of its own, one every `gap` (back to back
// when zero), noting the time each one was written.
class TSenders {
public:
    TSenders(const std::vector<int>& fds, int perConnection, std::chrono::microseconds gap)
        : Sent(fds.size(), std::vector<Clock::time_point>(size_t(perConnection))),
          FReady(std::ptrdiff_t(fds.size()) + 1) {
        for (size_t c = 0; c < fds.size(); ++c) {
            FThreads.emplace_back([this, &fds, c, perConnection, gap] {
                const std::vector<QByteArray> lines = Lines(int(c), perConnection);
                FReady.arrive_and_wait();
                const auto begin = Clock::now();
                for (int i = 0; i < perConnection; ++i) {
                    if (gap.count() > 0)
                        std::this_thread::sleep_until(begin + i * gap);
                    Sent[c][size_t(i)] = Clock::now();
                    send(fds[c], lines[size_t(i)].constData(), lines[size_t(i)].size(),
                         MSG_NOSIGNAL);
                }
            });
        }
    }
    void Go() { FReady.arrive_and_wait(); }
    void Join() {
        for (std::thread& thread : FThreads)
            thread.join();
    }

    std::vector<std::vector<Clock::time_point>> Sent;

private:
    std::latch FReady;
    std::vector<std::thread> FThreads;
};

// Records per second that plain reader threads take off loopback, one per connection,
// counting line ends: the same lines, sent the same way.
double PlainReaderRate(int connections, int perConnection, std::chrono::microseconds gap) {
    quint16 port = 0;
    const int server = ListenLoopback(port);
    std::vector<int> fds, peers;
    for (int c = 0; c < connections; ++c) {
        fds.push_back(ConnectLoopback(port));
        peers.push_back(accept(server, nullptr, nullptr));
    }
    std::vector<std::thread> readers;
    std::vector<Clock::time_point> done(static_cast<size_t>(connections));
    for (int c = 0; c < connections; ++c) {
        readers.emplace_back([&, c] {
            std::array<char, 65536> buffer;
            for (int lines = 0; lines < perConnection;) {
                const ssize_t received = recv(peers[size_t(c)], buffer.data(), buffer.size(), 0);
                if (received <= 0)
                    break;
                lines += int(std::count(buffer.begin(), buffer.begin() + received, '\n'));
            }
            done[size_t(c)] = Clock::now();
        });
    }
    TSenders senders(fds, perConnection, gap);
    const auto start = Clock::now();
    senders.Go();
    senders.Join();
    for (std::thread& reader : readers)
        reader.join();
    const auto end = *std::max_element(done.begin(), done.end());
    for (int fd : fds)
        close(fd);
    for (int fd : peers)
        close(fd);
    close(server);
    return connections * perConnection / std::chrono::duration<double>(end - start).count();
}

// 10,000 records over state.range(0) connections at once. With a gap of 0 each connection
// sends its records back to back (a burst); otherwise one record every state.range(1) µs,
// which shows the latency of the hand-over without a queue behind it.
void BM_ListenerBurst(benchmark::State& state) {
    constexpr int Records = 10000;
    const int connections = static_cast<int>(state.range(0));
    const std::chrono::microseconds gap(state.range(1));
    const int perConnection = Records / connections;
    const int total = perConnection * connections;

    double echoOneWay = 0, median = 0, p99 = 0, rate = 0, plainRate = 0;
    int lost = 0, outOfOrder = 0;
    for (auto _ : state) {
        echoOneWay = EchoOneWayMicros(2000);
        plainRate = PlainReaderRate(connections, perConnection, gap);

        QTemporaryDir dir;
        QFile ini(QDir(dir.path()).filePath(QStringLiteral("data.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("[pripojeni]\r\nport=0\r\njmeno=1@velora.example\r\n");
        ini.close();
        TBalloonClock desktop;
        TForm1 form(desktop, dir.path());

        std::vector<std::vector<Clock::time_point>> shown(
            connections, std::vector<Clock::time_point>(perConnection));
        std::vector<int> next(connections, 0);
        int count = 0;
        QEventLoop loop;
        desktop.OnBalloon = [&](const QString& title) {
            const auto now = Clock::now();
            const int c = title.section(u'-', 0, 0).toInt();
            const int i = title.section(u'-', 1, 1).toInt();
            if (c < 0 || c >= connections || i < 0 || i >= perConnection)
                return;
            shown[c][i] = now;
            if (i != next[c])
                ++outOfOrder;
            next[c] = i + 1;
            if (++count == total)
                loop.quit();
        };

        std::vector<int> fds;
        for (int c = 0; c < connections; ++c)
            fds.push_back(ConnectLoopback(form.IdTCPServer1.Port()));
        TSenders senders(fds, perConnection, gap);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        const auto start = Clock::now();
        senders.Go();
        loop.exec();
        const auto end = Clock::now();
        senders.Join();
        for (int fd : fds)
            close(fd);

        lost = total - count;
        std::vector<double> latencies;
        for (int c = 0; c < connections; ++c) {
            for (int i = 0; i < perConnection; ++i) {
                if (shown[c][i] != Clock::time_point{})
                    latencies.push_back(Micros(shown[c][i] - senders.Sent[c][i]));
            }
        }
        median = Percentile(latencies, 0.5);
        p99 = Percentile(latencies, 0.99);
        rate = count / std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["records_per_s"] = rate;
    state.counters["plain_records_per_s"] = plainRate;
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    state.counters["echo_one_way_us"] = echoOneWay;
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
    QApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        for (const char* args : {"connections:1/gap_us:0", "connections:8/gap_us:0",
                                 "connections:1/gap_us:200", "connections:8/gap_us:200"}) {
            const std::string name = std::string("BM_ListenerBurst/") + args;
            r.Compare(std::string(args) + ", one-way median, us (ref: echo one-way)",
                      {name, "median_us"}, {name, "echo_one_way_us"});
            r.Compare(std::string(args) + ", records/s (ref: plain readers)",
                      {name, "records_per_s"}, {name, "plain_records_per_s"});
        }
    });
}
