// What the socket transport costs, each next to a plain socket doing the same in the
// same run: the CPU an idle connection burns, the throughput from SendData to
// OnReceiveProc, and the time from bytes arriving to the owner's handler running.

#include "BenchRatios.h"
#include "JabberSock.h"
#include "SocketWorkers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

sockaddr_in Loopback(uint16_t Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listener on 127.0.0.1 with an ephemeral port.
struct TListener {
    int Handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t Port = 0;

    TListener() {
        const sockaddr_in address = Loopback(0);
        bind(Handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(Handle, 16);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(Handle, reinterpret_cast<sockaddr*>(&bound), &length);
        Port = ntohs(bound.sin_port);
    }
    ~TListener() { close(Handle); }
    int Accept() const { return accept4(Handle, nullptr, nullptr, SOCK_CLOEXEC); }
    int ConnectPlain() const {
        const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = Loopback(Port);
        connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        return handle;
    }
};

void WriteAll(int Handle, const char* Data, size_t Size) {
    while (Size > 0) {
        const ssize_t n = send(Handle, Data, Size, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        Data += n;
        Size -= static_cast<size_t>(n);
    }
}

// Runs the event loop until Done holds or Timeout passes.
bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = 30s) {
    const auto deadline = Clock::now() + Timeout;
    while (!Done() && Clock::now() < deadline) {
        QEventLoop loop;
        QTimer::singleShot(1ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return Done();
}

// Runs the event loop for Duration, sleeping until events or the end arrive.
void IdleFor(std::chrono::milliseconds Duration) {
    QEventLoop loop;
    QTimer::singleShot(Duration, &loop, &QEventLoop::quit);
    loop.exec();
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Seconds(Clock::duration Duration) {
    return std::chrono::duration<double>(Duration).count();
}

double Median(std::vector<double> Samples) {
    std::sort(Samples.begin(), Samples.end());
    return Samples.empty() ? 0 : Samples[Samples.size() / 2];
}

// A facade connected to Listener; the server end is returned through Peer.
std::unique_ptr<TMySocket> ConnectFacade(const TListener& Listener, int& Peer) {
    auto socket = std::make_unique<TMySocket>();
    socket->SetHost("127.0.0.1");
    socket->SetPort(Listener.Port);
    bool connected = false;
    socket->OnConnectProc = [&connected](TObject*) {
        connected = true;
    };
    socket->Connect();
    Peer = Listener.Accept();
    RunUntil([&] { return connected; });
    socket->OnConnectProc = nullptr;
    return socket;
}

// CPU used by the whole process, in percent of one core, while Idle runs.
double CpuPercent(const std::function<void()>& Idle) {
    const double cpu = ProcessCpuSeconds();
    const auto start = Clock::now();
    Idle();
    return 100.0 * (ProcessCpuSeconds() - cpu) / Seconds(Clock::now() - start);
}

// One connected, silent socket for 10 s, with the event loop idle, next to a worker
// that polls instead (a 10 µs select in a loop) on another silent socket.
void BM_IdleConnection(benchmark::State& state) {
    for (auto _ : state) {
        TListener listener;
        int peer = -1;
        auto socket = ConnectFacade(listener, peer);
        IdleFor(200ms); // let the first flush pass settle
        const double transport = CpuPercent([] { IdleFor(10s); });
        socket.reset();
        close(peer);

        const int plain = listener.ConnectPlain();
        const int plainPeer = listener.Accept();
        std::atomic<bool> stop{false};
        const double selectLoop = CpuPercent([&] {
            std::thread poller([&] {
                while (!stop.load()) {
                    fd_set read;
                    FD_ZERO(&read);
                    FD_SET(plain, &read);
                    timeval wait{0, 10};
                    select(plain + 1, &read, nullptr, nullptr, &wait);
                }
            });
            std::this_thread::sleep_for(10s);
            stop = true;
            poller.join();
        });
        close(plain);
        close(plainPeer);
        state.counters["transport_cpu_pct"] = transport;
        state.counters["select10us_cpu_pct"] = selectLoop;
    }
}
BENCHMARK(BM_IdleConnection)->Iterations(1)->Unit(benchmark::kSecond);

// Bytes from one facade's SendData to another facade's OnReceiveProc (the second
// facade adopts the server end of the first one's connection), next to a plain
// blocking writer thread and reader moving the same bytes over a loopback connection.
// The sender queues a batch each time its queue has drained, as a client that keeps
// its queue short does; a batch stays well below the queue's bound.
void BM_Throughput(benchmark::State& state) {
    constexpr qsizetype Chunk = 65535;
    constexpr qsizetype Total = 512 * Chunk;
    const QByteArray chunk(Chunk, 'x');
    double transport = 0;
    double plain = 0;
    double transportCpu = 0;
    double plainCpu = 0;
    int64_t receives = 0;
    for (auto _ : state) {
        TListener listener;
        {
            int peer = -1;
            auto sender = ConnectFacade(listener, peer);
            TMySocket receiver;
            qsizetype received = 0;
            // Ends the moment the last byte is handled, not at the next check.
            QEventLoop transfer;
            receiver.OnReceiveProc = [&](TObject*, int, const void*, uint32_t Len) {
                received += Len;
                ++receives;
                if (received >= Total) {
                    transfer.quit();
                }
            };
            receiver.SetClientSocket(peer); // the receiving worker closes it
            qsizetype queued = 0;
            const auto queueBatch = [&] {
                for (int i = 0; i < 8 && queued < Total; ++i, queued += Chunk) {
                    sender->SendData(chunk.constData(), Chunk);
                }
            };
            sender->OnDataSent = [&](TObject*) {
                queueBatch();
            };
            QTimer::singleShot(60s, &transfer, &QEventLoop::quit);
            const double cpu = ProcessCpuSeconds();
            const auto start = Clock::now();
            queueBatch();
            transfer.exec();
            transport += Seconds(Clock::now() - start);
            transportCpu += ProcessCpuSeconds() - cpu;
        }
        WaitForSocketWorkersToEnd();
        {
            const int writer = listener.ConnectPlain();
            const int reader = listener.Accept();
            const double cpu = ProcessCpuSeconds();
            const auto start = Clock::now();
            std::thread write([&] {
                for (qsizetype sent = 0; sent < Total; sent += Chunk) {
                    WriteAll(writer, chunk.constData(), Chunk);
                }
            });
            std::vector<char> buffer(TCustomSocket::ReceiveBufferSize);
            for (qsizetype received = 0; received < Total;) {
                const ssize_t n = recv(reader, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    break;
                }
                received += n;
            }
            plain += Seconds(Clock::now() - start);
            write.join();
            plainCpu += ProcessCpuSeconds() - cpu;
            close(writer);
            close(reader);
        }
    }
    const double megabytes = static_cast<double>(Total) * state.iterations() / 1e6;
    state.counters["transport_MBps"] = megabytes / transport;
    state.counters["plain_MBps"] = megabytes / plain;
    // CPU time of the whole process per megabyte: what the machine's other load
    // disturbs least.
    state.counters["transport_cpu_us_per_MB"] = transportCpu * 1e6 / megabytes;
    state.counters["plain_cpu_us_per_MB"] = plainCpu * 1e6 / megabytes;
    // Fewer, fuller hand-offs to the GUI thread are what keeps the transport close to
    // the plain socket.
    state.counters["KB_per_receive"] =
        static_cast<double>(Total) * state.iterations() / 1e3 / static_cast<double>(receives);
}
// The machine is shared, so the medians of several repetitions are the figures to read.
BENCHMARK(BM_Throughput)->Iterations(3)->Repetitions(15)->Unit(benchmark::kMillisecond);

// The time from a byte leaving the peer to the owner's handler running on the GUI
// thread, next to one way of a bare loopback echo (half the round trip of a byte out
// and echoed back by a thread), both one-way.
void BM_HandOffLatency(benchmark::State& state) {
    constexpr int Samples = 2000;
    TListener listener;
    int peer = -1;
    auto socket = ConnectFacade(listener, peer);
    const int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Clock::time_point handled;
    QEventLoop* waiting = nullptr;
    socket->OnReceiveProc = [&](TObject*, int, const void*, uint32_t) {
        handled = Clock::now();
        if (waiting) {
            waiting->quit();
        }
    };

    const int echo = listener.ConnectPlain();
    const int echoPeer = listener.Accept();
    for (const int handle : {echo, echoPeer}) {
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::thread echoer([echo] {
        char byte;
        while (recv(echo, &byte, 1, 0) == 1) {
            WriteAll(echo, &byte, 1);
        }
    });

    std::vector<double> handOff;
    std::vector<double> roundTrip;
    for (auto _ : state) {
        for (int i = 0; i < Samples; ++i) {
            QEventLoop loop;
            waiting = &loop;
            handled = {};
            const auto start = Clock::now();
            WriteAll(peer, "b", 1);
            QTimer::singleShot(1s, &loop, &QEventLoop::quit);
            loop.exec();
            waiting = nullptr;
            if (handled != Clock::time_point{}) {
                handOff.push_back(Seconds(handled - start) * 1e6);
            }

            char byte = 'r';
            const auto sent = Clock::now();
            WriteAll(echoPeer, &byte, 1);
            recv(echoPeer, &byte, 1, 0);
            roundTrip.push_back(Seconds(Clock::now() - sent) * 1e6);
        }
    }
    shutdown(echoPeer, SHUT_RDWR);
    echoer.join();
    close(echo);
    close(echoPeer);
    socket.reset();
    close(peer);
    state.counters["handoff_median_us"] = Median(handOff);
    state.counters["echo_one_way_median_us"] = Median(roundTrip) / 2;
}
BENCHMARK(BM_HandOffLatency)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("idle connection, CPU % (ref: 10 us select loop)",
                  {"BM_IdleConnection", "transport_cpu_pct"},
                  {"BM_IdleConnection", "select10us_cpu_pct"});
        r.Compare("throughput, MB/s (ref: plain blocking socket)",
                  {"BM_Throughput", "transport_MBps"}, {"BM_Throughput", "plain_MBps"});
        r.Compare("throughput, CPU us per MB (ref: plain blocking socket)",
                  {"BM_Throughput", "transport_cpu_us_per_MB"},
                  {"BM_Throughput", "plain_cpu_us_per_MB"});
        r.Compare("hand-off latency one-way, us (ref: echo one-way)",
                  {"BM_HandOffLatency", "handoff_median_us"},
                  {"BM_HandOffLatency", "echo_one_way_median_us"});
    });
}
