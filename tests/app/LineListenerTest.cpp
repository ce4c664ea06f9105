#include "LineListener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// --- Framing and decoding, fed directly --------------------------------------------------------

struct FramingCase {
    const char* name;
    std::vector<QByteArray> chunks;
    std::vector<QByteArray> lines;
    bool usable;
};

void PrintTo(const FramingCase& c, std::ostream* out) {
    *out << c.name;
}

class LineFramerTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(LineFramerTest, CutsLines) {
    LineFramer framer;
    std::vector<QByteArray> lines;
    bool usable = true;
    for (const QByteArray& chunk : GetParam().chunks)
        usable = framer.Feed(chunk, lines);
    EXPECT_EQ(lines, GetParam().lines);
    EXPECT_EQ(usable, GetParam().usable);
}

const QByteArray Longest(LineFramer::MaxLineLength, 'x');
const QByteArray TooLong(LineFramer::MaxLineLength + 1, 'x');

INSTANTIATE_TEST_SUITE_P(
    Chunks, LineFramerTest,
    ::testing::Values(
        FramingCase{"LfLines", {"a\nb\n"}, {"a", "b"}, true},
        FramingCase{"CrBeforeLfDropped", {"a\r\nb\r\n"}, {"a", "b"}, true},
        FramingCase{"EmptyAndCrOnlyLinesGiveEmptyLines", {"\n\r\n"}, {"", ""}, true},
        FramingCase{"OnlyOneCrDropped", {"a\r\r\n"}, {"a\r"}, true},
        FramingCase{"CrInsideKept", {"a\rb\n"}, {"a\rb"}, true},
        FramingCase{"UnfinishedLineWaits", {"a\nb"}, {"a"}, true},
        FramingCase{"LineAcrossChunks", {"a", "b\r", "\nc", "\n"}, {"ab", "c"}, true},
        FramingCase{"LongestLine", {Longest + "\n"}, {Longest}, true},
        FramingCase{"LongestLineWithCrLfAcrossChunks", {Longest, "\r", "\n"}, {Longest}, true},
        FramingCase{"TooLongWithLf", {"ok\n" + TooLong + "\nafter\n"}, {"ok"}, false},
        FramingCase{"TooLongRefusedBeforeItsLf", {"ok\n", TooLong}, {"ok"}, false},
        FramingCase{"TooLongOnceTheCrIsNotFollowedByLf", {Longest + "\r", "y"}, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecodeCase {
    const char* name;
    QByteArray bytes;
    QString text;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

class DecodeListenerLineTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeListenerLineTest, GivesText) {
    EXPECT_EQ(DecodeListenerLine(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DecodeListenerLineTest,
    ::testing::Values(DecodeCase{"Ascii", "111:222:1:3:Jan:http://x", "111:222:1:3:Jan:http://x"},
                      DecodeCase{"ValidUtf8",
                                 "\xC3\x9A\xC4\x8D"
                                 "etn\xC3\xAD odd\xC4\x9Blen\xC3\xAD",
                                 QString::fromUtf8("Účetní oddělení")},
                      DecodeCase{"ByteOrderMarkKept", "\xEF\xBB\xBFx", QStringLiteral(u"\uFEFFx")},
                      DecodeCase{"EightBitCodePage",
                                 "\xDA\xE8"
                                 "etn\xED",
                                 "??etn?"},
                      DecodeCase{"ValidSequencesInAnInvalidLineToo", "\xC3\xA9\xFF", "???"},
                      DecodeCase{"TruncatedSequence", "ab\xC3", "ab?"},
                      DecodeCase{"Overlong", "\xC0\xAF", "??"},
                      DecodeCase{"Surrogate", "\xED\xA0\x80", "???"},
                      DecodeCase{"AboveUnicode", "\xF4\x90\x80\x80", "????"},
                      DecodeCase{"ControlBytesKept", QByteArray("a\0\x1F", 3),
                                 QString(QByteArray("a\0\x1F", 3))}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The listener on real sockets ---------------------------------------------------------------

// A TCP client on 127.0.0.1.
class Peer {
public:
    explicit Peer(quint16 port) : FFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        FConnected = connect(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Peer() { close(FFd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Connected() const { return FConnected; }

    void Send(const QByteArray& bytes) {
        ASSERT_EQ(send(FFd, bytes.constData(), bytes.size(), MSG_NOSIGNAL), bytes.size());
    }

    // True when the listener closes the connection within `ms`.
    bool WaitClosed(int ms = 5000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int left = ms - static_cast<int>(timer.elapsed());
            if (left <= 0)
                return false;
            pollfd ready{FFd, POLLIN, 0};
            if (poll(&ready, 1, left) <= 0)
                continue;
            char byte;
            const ssize_t received = recv(FFd, &byte, 1, MSG_DONTWAIT);
            if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR))
                return true;
        }
    }

private:
    int FFd;
    bool FConnected = false;
};

// Runs the GUI thread's event loop until `done` holds or `ms` have passed.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Pump(int ms) {
    PumpUntil([] { return false; }, ms);
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener.OnLine = [this](const QString& line) {
            received << line;
        };
        listener.Start(0);
        ASSERT_TRUE(listener.IsListening());
        ASSERT_NE(listener.Port(), 0);
    }

    bool WaitForLines(qsizetype count) {
        return PumpUntil([&] { return received.size() >= count; });
    }

    LineListener listener;
    QStringList received;
};

TEST_F(ListenerTest, RaisesEachNonEmptyLineInOrder) {
    Peer peer(listener.Port());
    ASSERT_TRUE(peer.Connected());
    peer.Send("fir");
    peer.Send("st\r");
    peer.Send("\n\n\r\nsecond\n");
    peer.Send("\xC3\x9A\xC4\x8D"
              "etn\xC3\xAD\n"
              "\xDA\xE8"
              "etn\xED\r\n");
    peer.Send("\r\r\nlast\n");
    ASSERT_TRUE(WaitForLines(6));
    EXPECT_THAT(received, ElementsAre("first", "second", QString::fromUtf8("Účetní"), "??etn?",
                                      "\r", "last"));
}

TEST_F(ListenerTest, DropsALastLineWithoutLf) {
    {
        Peer peer(listener.Port());
        peer.Send("one\nunfinished");
        ASSERT_TRUE(WaitForLines(1));
    }
    Peer next(listener.Port());
    next.Send("two\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_THAT(received, ElementsAre("one", "two"));
}

TEST_F(ListenerTest, KeepsTheOrderOfEachOfParallelConnections) {
    constexpr int Connections = 8;
    constexpr int LinesEach = 500;
    std::vector<std::thread> senders;
    for (int c = 0; c < Connections; ++c) {
        senders.emplace_back([port = listener.Port(), c] {
            Peer peer(port);
            for (int i = 0; i < LinesEach; ++i)
                peer.Send(QByteArray::number(c) + ':' + QByteArray::number(i) + '\n');
        });
    }
    const bool all = WaitForLines(Connections * LinesEach);
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_TRUE(all) << received.size();

    std::vector<int> next(Connections, 0);
    for (const QString& line : received) {
        const int c = line.section(u':', 0, 0).toInt();
        ASSERT_EQ(line.section(u':', 1).toInt(), next[c]) << "connection " << c;
        ++next[c];
    }
    EXPECT_EQ(received.size(), Connections * LinesEach);
}

TEST_F(ListenerTest, OverLongLineEndsOnlyItsConnection) {
    Peer other(listener.Port());
    Peer peer(listener.Port());
    peer.Send("before\n" + TooLong + "\nafter\n");
    EXPECT_TRUE(peer.WaitClosed());

    other.Send(Longest + "\r\n");
    ASSERT_TRUE(WaitForLines(2));
    Pump(50);
    EXPECT_THAT(received, ElementsAre("before", QString::fromLatin1(Longest)));
}

TEST_F(ListenerTest, ServesAtMostSixtyFourConnectionsAtOnce) {
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < LineListener::MaxConnections; ++i) {
        peers.push_back(std::make_unique<Peer>(listener.Port()));
        peers.back()->Send("p" + QByteArray::number(i) + '\n');
    }
    // Every line arriving shows that all of them are being served.
    ASSERT_TRUE(WaitForLines(LineListener::MaxConnections));

    Peer refused(listener.Port());
    refused.Send("refused\n");
    EXPECT_TRUE(refused.WaitClosed());

    peers.front()->Send("still served\n");
    ASSERT_TRUE(WaitForLines(LineListener::MaxConnections + 1));
    EXPECT_EQ(received.back(), "still served");

    // A closed connection frees its place once its worker has seen the end.
    peers.pop_back();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        Peer again(listener.Port());
        again.Send("again\n");
        served = PumpUntil([&] { return received.back() == "again"; }, 200);
    }
    EXPECT_TRUE(served);
    EXPECT_FALSE(received.contains("refused"));
}

TEST_F(ListenerTest, StartFailsOnAPortInUse) {
    LineListener second;
    try {
        second.Start(listener.Port());
        FAIL() << "listened twice on one port";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr(std::to_string(listener.Port())));
    }
    EXPECT_FALSE(second.IsListening());
    EXPECT_EQ(second.Port(), 0);

    Peer peer(listener.Port());
    peer.Send("first listener\n");
    EXPECT_TRUE(WaitForLines(1));
}

TEST_F(ListenerTest, StopClosesConnectionsAndDropsLinesNotYetRaised) {
    const quint16 port = listener.Port();
    Peer peer(port);
    peer.Send("raised\n");
    ASSERT_TRUE(WaitForLines(1));
    // The worker queues this line while the GUI thread is busy; Stop must drop it.
    peer.Send("queued\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    listener.Stop();
    EXPECT_FALSE(listener.IsListening());
    EXPECT_EQ(listener.Port(), 0);
    EXPECT_TRUE(peer.WaitClosed());
    Pump(50);
    EXPECT_THAT(received, ElementsAre("raised"));
    EXPECT_FALSE(Peer(port).Connected());
    listener.Stop();
}

TEST_F(ListenerTest, StartsAgainOnTheSamePortAfterStop) {
    const quint16 port = listener.Port();
    {
        Peer peer(port);
        peer.Send("before\n");
        ASSERT_TRUE(WaitForLines(1));
        listener.Stop();
    }
    listener.Start(port);
    EXPECT_EQ(listener.Port(), port);
    Peer peer(port);
    peer.Send("after\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_THAT(received, ElementsAre("before", "after"));
}

TEST_F(ListenerTest, StartWhileListeningClosesTheOldConnections) {
    Peer old(listener.Port());
    old.Send("old\n");
    ASSERT_TRUE(WaitForLines(1));
    listener.Start(0);
    EXPECT_TRUE(old.WaitClosed());
    Peer peer(listener.Port());
    peer.Send("new\n");
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_THAT(received, ElementsAre("old", "new"));
}

TEST_F(ListenerTest, HandlerMayStopTheListener) {
    listener.OnLine = [this](const QString& line) {
        received << line;
        listener.Stop();
    };
    Peer peer(listener.Port());
    peer.Send("a\nb\nc\n");
    ASSERT_TRUE(WaitForLines(1));
    EXPECT_TRUE(peer.WaitClosed());
    Pump(50);
    EXPECT_THAT(received, ElementsAre("a"));
    EXPECT_FALSE(listener.IsListening());
}

TEST_F(ListenerTest, LinesBehindAThrowingHandlerAreRaisedLater) {
    listener.OnLine = [this](const QString& line) {
        received << line;
        if (line == "bad")
            throw std::runtime_error("handler failed");
    };
    auto* notifier = listener.findChild<QSocketNotifier*>();
    ASSERT_NE(notifier, nullptr);
    Peer peer(listener.Port());
    peer.Send("bad\nnext\n");
    // Wait for the hand-over without running the event loop, then raise it by hand so that
    // the exception comes back here instead of crossing the event loop.
    pollfd ready{static_cast<int>(notifier->socket()), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    QEvent activated(QEvent::SockAct);
    EXPECT_THROW(QCoreApplication::sendEvent(notifier, &activated), std::runtime_error);
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_THAT(received, ElementsAre("bad", "next"));
}

TEST(LineListener, DestroyingItClosesItsConnections) {
    auto listener = std::make_unique<LineListener>();
    listener->Start(0);
    Peer first(listener->Port());
    Peer second(listener->Port());
    first.Send("unread\n");
    listener.reset();
    EXPECT_TRUE(first.WaitClosed());
    EXPECT_TRUE(second.WaitClosed());
}

} // namespace
