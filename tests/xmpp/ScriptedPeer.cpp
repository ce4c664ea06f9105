#include "ScriptedPeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int StepTimeoutMs = 10000;
const QByteArray IdMark = "{id}";

// Waits up to Ms for the descriptor to become readable; false on time-out.
bool WaitReadable(int Fd, int Ms) {
    pollfd p{Fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, Ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// The literal parts of an Expect pattern around its "{id}" marks.
QList<QByteArray> SplitAtIds(const QByteArray& Pattern) {
    QList<QByteArray> parts;
    qsizetype from = 0;
    for (qsizetype at = Pattern.indexOf(IdMark); at >= 0; at = Pattern.indexOf(IdMark, from)) {
        parts << Pattern.mid(from, at - from);
        from = at + IdMark.size();
    }
    parts << Pattern.mid(from);
    return parts;
}

QString Printable(const QByteArray& Bytes) {
    QString s = QString::fromUtf8(Bytes.left(400));
    if (Bytes.size() > 400)
        s += QStringLiteral("... (%1 bytes)").arg(Bytes.size());
    s.replace(u'\r', QStringLiteral("\\r")).replace(u'\n', QStringLiteral("\\n"));
    return s;
}

} // namespace

TScriptedPeer::TScriptedPeer() {
    FListen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(FListen, 4);
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
}

TScriptedPeer::~TScriptedPeer() {
    FStop = true;
    if (FThread.joinable())
        FThread.join();
    if (FConn >= 0)
        ::close(FConn);
    ::close(FListen);
}

TScriptedPeer& TScriptedPeer::Send(const QByteArray& Text) {
    FSteps.push_back({TStep::Send, Text});
    return *this;
}
TScriptedPeer& TScriptedPeer::Expect(const QByteArray& Pattern) {
    FSteps.push_back({TStep::Expect, Pattern});
    return *this;
}
TScriptedPeer& TScriptedPeer::ExpectNothing(int Ms) {
    FSteps.push_back({TStep::Nothing, {}, Ms});
    return *this;
}
TScriptedPeer& TScriptedPeer::ExpectClosed() {
    FSteps.push_back({TStep::Closed});
    return *this;
}
TScriptedPeer& TScriptedPeer::Pause(int Ms) {
    FSteps.push_back({TStep::Pause, {}, Ms});
    return *this;
}
TScriptedPeer& TScriptedPeer::Do(std::function<void()> Step) {
    FSteps.push_back({TStep::Do, {}, 0, std::move(Step)});
    return *this;
}
TScriptedPeer& TScriptedPeer::Close() {
    FSteps.push_back({TStep::Close});
    return *this;
}

void TScriptedPeer::Start() {
    FThread = std::thread([this] { Run(); });
}

QString TScriptedPeer::Error() const {
    std::lock_guard lock(FLock);
    return FError;
}

QStringList TScriptedPeer::Ids() const {
    std::lock_guard lock(FLock);
    return FIds;
}

void TScriptedPeer::Fail(const QString& Message) {
    std::lock_guard lock(FLock);
    if (FError.isEmpty())
        FError = Message;
}

void TScriptedPeer::Run() {
    if (!WaitReadable(FListen, StepTimeoutMs)) {
        Fail(QStringLiteral("no connection"));
    } else {
        FConn = ::accept(FListen, nullptr, nullptr);
        for (const TStep& step : FSteps)
            if (FStop || !RunStep(step))
                break;
    }
    FDone = true;
}

bool TScriptedPeer::ReadExactly(qsizetype Count, QByteArray& Out) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(StepTimeoutMs);
    while (Out.size() < Count) {
        if (FStop || std::chrono::steady_clock::now() > deadline)
            return false;
        if (!WaitReadable(FConn, 50))
            continue;
        char buf[65536];
        const ssize_t n =
            ::recv(FConn, buf, std::min<qsizetype>(sizeof buf, Count - Out.size()), 0);
        if (n <= 0)
            return false;
        Out.append(buf, n);
    }
    return true;
}

bool TScriptedPeer::RunStep(const TStep& Step) {
    switch (Step.Kind) {
    case TStep::Send: {
        QByteArray data = Step.Data;
        const QStringList ids = Ids();
        if (!ids.isEmpty())
            data.replace(IdMark, ids.last().toLatin1());
        qsizetype sent = 0;
        while (sent < data.size()) {
            const ssize_t n =
                ::send(FConn, data.constData() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                Fail(QStringLiteral("send failed"));
                return false;
            }
            sent += n;
        }
        return true;
    }
    case TStep::Expect: {
        const QList<QByteArray> literals = SplitAtIds(Step.Data);
        const qsizetype length = Step.Data.size() + (literals.size() - 1) * (10 - IdMark.size());
        QByteArray got;
        const bool complete = ReadExactly(length, got);
        QStringList ids;
        bool same = complete;
        qsizetype at = 0;
        for (qsizetype i = 0; same && i < literals.size(); ++i) {
            same = got.mid(at, literals[i].size()) == literals[i];
            at += literals[i].size();
            if (same && i + 1 < literals.size()) {
                const QByteArray id = got.mid(at, 10);
                same = id.size() == 10 && std::all_of(id.begin(), id.end(), [](char c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
                ids << QString::fromLatin1(id);
                at += 10;
            }
        }
        if (!same) {
            Fail(QStringLiteral("expected\n  %1\ngot\n  %2")
                     .arg(Printable(Step.Data), Printable(got)));
            return false;
        }
        std::lock_guard lock(FLock);
        FIds += ids;
        return true;
    }
    case TStep::Nothing:
        if (WaitReadable(FConn, Step.Ms)) {
            char buf[4096];
            const ssize_t n = ::recv(FConn, buf, sizeof buf, MSG_DONTWAIT);
            Fail(n > 0 ? QStringLiteral("unexpected bytes: ") + Printable(QByteArray(buf, n))
                       : QStringLiteral("unexpected close"));
            return false;
        }
        return true;
    case TStep::Closed: {
        if (!WaitReadable(FConn, StepTimeoutMs)) {
            Fail(QStringLiteral("the client did not close the connection"));
            return false;
        }
        char buf[4096];
        const ssize_t n = ::recv(FConn, buf, sizeof buf, 0);
        if (n > 0) {
            Fail(QStringLiteral("bytes instead of close: ") + Printable(QByteArray(buf, n)));
            return false;
        }
        return true;
    }
    case TStep::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(Step.Ms));
        return true;
    case TStep::Do:
        Step.Fn();
        return true;
    case TStep::Close:
        ::shutdown(FConn, SHUT_RDWR);
        return true;
    }
    return false;
}

bool RunUntil(const std::function<bool()>& Condition, int TimeoutMs) {
    QDeadlineTimer deadline(TimeoutMs);
    while (!Condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RunFor(int Ms) {
    QDeadlineTimer deadline(Ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
