#include "LineListener.h"

#include <QSocketNotifier>
#include <QStringDecoder>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// The pause after accept failed for lack of descriptors or memory.
constexpr int RetryMs = 10;

} // namespace

bool LineFramer::Feed(QByteArrayView bytes, std::vector<QByteArray>& lines) {
    FBuffer.append(bytes);
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = FBuffer.indexOf('\n', std::max(start, FScanned));
        if (lf < 0)
            break;
        qsizetype end = lf;
        if (end > start && FBuffer[end - 1] == '\r')
            --end;
        if (end - start > MaxLineLength)
            return false;
        lines.emplace_back(FBuffer.sliced(start, end - start));
        start = lf + 1;
    }
    FBuffer.remove(0, start);
    FScanned = FBuffer.size();
    // Without its LF the pending line is already too long, unless its last byte is the CR of
    // a CR LF still to come.
    const qsizetype pending = FBuffer.endsWith('\r') ? FBuffer.size() - 1 : FBuffer.size();
    return pending <= MaxLineLength;
}

QString DecodeListenerLine(QByteArrayView bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    text.resize(bytes.size());
    QChar* out = text.data();
    for (const char byte : bytes)
        *out++ = static_cast<unsigned char>(byte) > 127 ? QChar(u'?') : QChar(QLatin1Char(byte));
    return text;
}

// The queue between the workers and the GUI thread. An eventfd, watched by a socket notifier
// in the GUI thread, says that the queue has become non-empty; the workers never wait for the
// GUI thread.
struct LineListener::Inbox {
    int wakeFd = -1;
    std::mutex mutex;
    std::deque<QString> lines; // guarded by mutex

    void Wake() const { eventfd_write(wakeFd, 1); }

    void Push(std::vector<QString>& batch) {
        bool wasEmpty;
        {
            const std::lock_guard lock(mutex);
            wasEmpty = lines.empty();
            std::move(batch.begin(), batch.end(), std::back_inserter(lines));
        }
        batch.clear();
        if (wasEmpty)
            Wake();
    }

    bool Pop(QString& line) {
        const std::lock_guard lock(mutex);
        if (lines.empty())
            return false;
        line = std::move(lines.front());
        lines.pop_front();
        return true;
    }

    void Clear() {
        const std::lock_guard lock(mutex);
        lines.clear();
    }
};

namespace {

struct Connection {
    // Closed only after the worker has been joined, so that the number is never reused while
    // another thread may still shut it down.
    int fd = -1;
    std::atomic<bool> done{false};
    std::thread worker;
};

} // namespace

struct LineListener::Run {
    int listenFd = -1;
    // Signalled once by Stop and never drained: every thread waiting in poll wakes.
    int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Signalled by a worker that ended, so that the acceptor joins it.
    int reapFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    quint16 port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> active{0}; // connections whose worker is still reading
    // Touched by the acceptor thread, and by Stop only after the acceptor has been joined.
    std::list<Connection> connections;
    std::thread acceptor;

    ~Run() {
        close(stopFd);
        close(reapFd);
    }
    void Accept(Inbox& inbox);
    void Read(Connection& connection, Inbox& inbox);
    void Reap();
};

void LineListener::Run::Read(Connection& connection, Inbox& inbox) {
    LineFramer framer;
    std::array<char, 16384> chunk;
    std::vector<QByteArray> lines;
    std::vector<QString> batch;
    while (!stopping.load()) {
        pollfd ready[2] = {{connection.fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int polled = poll(ready, 2, -1);
        if (polled == 0 || (polled < 0 && errno == EINTR))
            continue;
        if (polled < 0 || ready[1].revents)
            break;
        const ssize_t received = recv(connection.fd, chunk.data(), chunk.size(), 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (received <= 0)
            break; // closed by the peer or broken; a last line without LF is dropped
        const bool usable = framer.Feed(QByteArrayView(chunk.data(), received), lines);
        for (const QByteArray& line : lines) {
            if (!line.isEmpty())
                batch.push_back(DecodeListenerLine(line));
        }
        lines.clear();
        if (!batch.empty())
            inbox.Push(batch);
        if (!usable)
            break; // over-long line
    }
    shutdown(connection.fd, SHUT_RDWR);
    active.fetch_sub(1);
    connection.done.store(true);
    eventfd_write(reapFd, 1);
}

void LineListener::Run::Reap() {
    for (auto it = connections.begin(); it != connections.end();) {
        if (!it->done.load()) {
            ++it;
            continue;
        }
        it->worker.join();
        close(it->fd);
        it = connections.erase(it);
    }
}

void LineListener::Run::Accept(Inbox& inbox) {
    while (!stopping.load()) {
        pollfd ready[3] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}, {reapFd, POLLIN, 0}};
        const int polled = poll(ready, 3, -1);
        if (polled > 0 && ready[2].revents) {
            eventfd_t ended;
            eventfd_read(reapFd, &ended);
        }
        Reap();
        if (polled <= 0 || ready[1].revents || !(ready[0].revents & POLLIN))
            continue;
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the pending connection stays readable, so wait a
            // cycle instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(RetryMs));
            continue;
        }
        // Only this thread adds connections, so the count cannot grow between test and add.
        if (active.load() >= MaxConnections) {
            close(fd);
            continue;
        }
        Connection& connection = connections.emplace_back();
        connection.fd = fd;
        active.fetch_add(1);
        try {
            connection.worker =
                std::thread([this, &connection, &inbox] { Read(connection, inbox); });
        } catch (const std::system_error&) {
            active.fetch_sub(1);
            close(fd);
            connections.pop_back();
        }
    }
}

LineListener::LineListener(QObject* parent) : QObject(parent), FInbox(std::make_unique<Inbox>()) {
    FInbox->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FInbox->wakeFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    FWakeNotifier = new QSocketNotifier(FInbox->wakeFd, QSocketNotifier::Read, this);
    connect(FWakeNotifier, &QSocketNotifier::activated, this, &LineListener::Deliver);
}

LineListener::~LineListener() {
    Stop();
    delete FWakeNotifier;
    close(FInbox->wakeFd);
}

void LineListener::Start(quint16 port) {
    Stop();
    auto run = std::make_unique<Run>();
    const auto fail = [&](const char* reason, int error) {
        if (run->listenFd >= 0)
            close(run->listenFd);
        throw std::runtime_error(
            QStringLiteral("Nelze naslouchat na portu TCP %1: %2 (%3)")
                .arg(port)
                .arg(QString::fromLocal8Bit(std::strerror(error)), QString::fromLatin1(reason))
                .toStdString());
    };
    run->listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (run->listenFd < 0)
        fail("socket", errno);
    // Lets a restarted program listen again while old connections linger in TIME_WAIT; on
    // Linux it does not let two listeners share the port.
    const int on = 1;
    setsockopt(run->listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(run->listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        fail("bind", errno);
    if (listen(run->listenFd, SOMAXCONN) < 0)
        fail("listen", errno);
    socklen_t length = sizeof address;
    if (getsockname(run->listenFd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        fail("getsockname", errno);
    run->port = ntohs(address.sin_port);
    try {
        run->acceptor =
            std::thread([state = run.get(), inbox = FInbox.get()] { state->Accept(*inbox); });
    } catch (const std::system_error& error) {
        fail("thread", error.code().value());
    }
    FRun = std::move(run);
}

void LineListener::Stop() {
    if (!FRun)
        return;
    const std::unique_ptr<Run> run = std::move(FRun);
    run->stopping.store(true);
    eventfd_write(run->stopFd, 1);
    run->acceptor.join();
    close(run->listenFd);
    for (Connection& connection : run->connections)
        shutdown(connection.fd, SHUT_RDWR);
    for (Connection& connection : run->connections) {
        connection.worker.join();
        close(connection.fd);
    }
    FInbox->Clear();
}

bool LineListener::IsListening() const {
    return FRun != nullptr;
}

quint16 LineListener::Port() const {
    return FRun ? FRun->port : 0;
}

void LineListener::Deliver() {
    eventfd_t pending;
    eventfd_read(FInbox->wakeFd, &pending);
    QString line;
    while (FInbox->Pop(line)) {
        if (!OnLine)
            continue;
        try {
            OnLine(line);
        } catch (...) {
            // The lines behind this one are still queued; have them raised on the next turn.
            FInbox->Wake();
            throw;
        }
    }
}
