#include "NetBuffer.h"

#include <QByteArray>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

QByteArray Pattern(int Size, char Seed) {
    QByteArray data(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i) {
        data[i] = static_cast<char>(Seed + i * 7);
    }
    return data;
}

// The unsent bytes of the head packet, as the worker copies them out.
QByteArray Head(const TNetBuffer& Queue) {
    QByteArray buffer(65535, '\0');
    buffer.resize(Queue.GetPacket(buffer.data()));
    return buffer;
}

TEST(NetBufferTest, EmptyQueueHasNothingToGiveAndIgnoresRemovals) {
    TNetBuffer queue;
    EXPECT_EQ(Head(queue), QByteArray());
    EXPECT_TRUE(queue.SkipData(5));
    queue.DelPacket();
    queue.Clear();
    EXPECT_EQ(Head(queue), QByteArray());
}

TEST(NetBufferTest, PacketsLeaveInOrderOnlyAfterTheHeadIsRemoved) {
    TNetBuffer queue;
    const QByteArray first = Pattern(25, 'a');
    const QByteArray second = Pattern(40, 'x');
    queue.AddPacket(first.constData(), first.size());
    queue.AddPacket(second.constData(), second.size());

    EXPECT_EQ(Head(queue), first);
    EXPECT_EQ(Head(queue), first) << "GetPacket must not consume";
    queue.DelPacket();
    EXPECT_EQ(Head(queue), second);
    queue.DelPacket();
    EXPECT_EQ(Head(queue), QByteArray());
}

TEST(NetBufferTest, SkipDataMarksPartOfTheHeadAsSent) {
    TNetBuffer queue;
    const QByteArray data = Pattern(25, 'k');
    queue.AddPacket(data.constData(), data.size());

    EXPECT_FALSE(queue.SkipData(10));
    EXPECT_EQ(Head(queue), data.mid(10));
    EXPECT_TRUE(queue.SkipData(15));
    EXPECT_EQ(Head(queue), QByteArray()) << "a used-up head gives nothing until removed";
}

// Size follows what is queued and not yet sent, through partial sends and removals;
// many small packets keep their order (the tail is appended to directly).
TEST(NetBufferTest, SizeCountsTheUnsentBytes) {
    TNetBuffer queue;
    EXPECT_EQ(queue.Size(), 0u);
    for (int i = 0; i < 10000; ++i) {
        const QByteArray data = Pattern(1 + i % 7, static_cast<char>(i));
        queue.AddPacket(data.constData(), data.size());
    }
    uint64_t expected = 0;
    for (int i = 0; i < 10000; ++i)
        expected += 1 + i % 7;
    EXPECT_EQ(queue.Size(), expected);
    EXPECT_FALSE(queue.SkipData(0));
    EXPECT_TRUE(queue.SkipData(1));
    EXPECT_EQ(queue.Size(), expected - 1);
    queue.DelPacket();
    EXPECT_EQ(Head(queue), Pattern(2, static_cast<char>(1)));
    EXPECT_FALSE(queue.SkipData(1));
    queue.DelPacket(); // one byte of it was never sent
    EXPECT_EQ(queue.Size(), expected - 3);
    queue.Clear();
    EXPECT_EQ(queue.Size(), 0u);
    const QByteArray last = Pattern(3, 'z');
    queue.AddPacket(last.constData(), last.size());
    EXPECT_EQ(Head(queue), last) << "the tail is reset with the head";
}

TEST(NetBufferTest, OneAddKeepsAtMost65535Bytes) {
    struct TCase {
        int Size;
        int Kept;
    };
    for (const TCase& c :
         {TCase{65534, 65534}, TCase{65535, 65535}, TCase{65536, 65535}, TCase{70000, 65535}}) {
        SCOPED_TRACE(c.Size);
        TNetBuffer queue;
        const QByteArray data = Pattern(c.Size, 'q');
        queue.AddPacket(data.constData(), c.Size);
        EXPECT_EQ(Head(queue), data.left(c.Kept));
        queue.DelPacket();
        EXPECT_EQ(Head(queue), QByteArray()) << "the rest must not become a second packet";
    }
}

// Removed large blocks are taken again for later packets: whatever block a packet
// lands in, it gives exactly its own bytes, and its size and offset start afresh.
TEST(NetBufferTest, ReusedBlocksHoldOnlyTheNewPacket) {
    TNetBuffer queue;
    for (const int size : {65535, 65535, 60000, 70000, 20000, 16384, 100, 65535}) {
        queue.AddPacket(Pattern(65535, 'o').constData(), 65535);
        EXPECT_FALSE(queue.SkipData(7));
        queue.DelPacket();
        SCOPED_TRACE(size);
        const QByteArray data = Pattern(size, static_cast<char>(size));
        queue.AddPacket(data.constData(), size);
        EXPECT_EQ(queue.Size(), uint64_t(std::min(size, 65535)));
        EXPECT_EQ(Head(queue), data.left(65535));
        EXPECT_EQ(queue.SkipData(static_cast<uint16_t>(std::min(size, 65535))), true);
        queue.DelPacket();
        EXPECT_EQ(queue.Size(), 0u);
    }
}

TEST(NetBufferTest, ClearEmptiesTheQueue) {
    TNetBuffer queue;
    for (int i = 0; i < 3; ++i) {
        const QByteArray data = Pattern(100, static_cast<char>('a' + i));
        queue.AddPacket(data.constData(), data.size());
    }
    queue.Clear();
    EXPECT_EQ(Head(queue), QByteArray());
    const QByteArray after = Pattern(3, 'z');
    queue.AddPacket(after.constData(), after.size());
    EXPECT_EQ(Head(queue), after);
}

TEST(NetBufferTest, LockIsCreatedOnFirstEnterAndIsRecursive) {
    TNetBuffer queue;
    EXPECT_EQ(queue.Shared(), 0);
    queue.Enter();
    queue.Enter();
    queue.Leave();
    queue.Leave();
    EXPECT_EQ(queue.Shared(), 1);
}

// Threads racing for the first Enter must all end up on one lock: a thread that loses
// the exchange waits until the winner has created it.
TEST(NetBufferTest, ConcurrentFirstEntersShareOneLock) {
    for (int round = 0; round < 50; ++round) {
        TNetBuffer queue;
        int counter = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    queue.Enter();
                    ++counter;
                    queue.Leave();
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(counter, 800);
    }
}

// One thread appends while another drains as the socket worker does; every byte
// arrives once and in order.
TEST(NetBufferTest, AppendAndDrainOnTwoThreads) {
    TNetBuffer queue;
    constexpr int Packets = 2000;
    QByteArray expected;
    std::thread producer([&] {
        for (int i = 0; i < Packets; ++i) {
            const QByteArray data = Pattern(1 + i % 300, static_cast<char>(i));
            queue.Enter();
            queue.AddPacket(data.constData(), data.size());
            queue.Leave();
        }
    });
    for (int i = 0; i < Packets; ++i) {
        expected += Pattern(1 + i % 300, static_cast<char>(i));
    }
    QByteArray drained;
    std::vector<char> buffer(65535);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (drained.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        queue.Enter();
        const uint32_t n = queue.GetPacket(buffer.data());
        queue.Leave();
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        // Take it out in two steps, as a short send would.
        const uint16_t part = static_cast<uint16_t>((n + 1) / 2);
        drained.append(buffer.data(), part);
        queue.Enter();
        EXPECT_EQ(queue.SkipData(part), part == n);
        queue.Leave();
        if (part < n) {
            queue.Enter();
            const uint32_t rest = queue.GetPacket(buffer.data());
            EXPECT_EQ(rest, n - part);
            drained.append(buffer.data(), rest);
            EXPECT_TRUE(queue.SkipData(static_cast<uint16_t>(rest)));
            queue.Leave();
        }
        queue.Enter();
        queue.DelPacket();
        queue.Leave();
    }
    producer.join();
    EXPECT_EQ(drained, expected);
}

} // namespace
