#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

// One queued piece of outgoing data. Allocated whole, with its full buffer, however
// few bytes it holds.
struct TNetPacket {
    uint8_t Buf[65536];
    uint16_t BufLen; // data bytes in Buf, at most 65,535
    uint16_t Offset; // bytes at the front of Buf already taken out and sent
    TNetPacket* Next;
};
using PNetPacket = TNetPacket*;

// The send queue of a socket: a first-in, first-out list of packets. The GUI thread
// appends at the tail, the socket's worker consumes at the head.
//
// None of the list operations locks by itself: callers bracket every use with
// Enter and Leave. The lock is recursive and is created on the first Enter.
//
// A few removed packets are kept for reuse until the queue is destroyed: freeing
// 64 KiB blocks one by one lets the allocator hand the top of its heap back to the
// system, and taking it again faults every page in anew, which made a busy queue
// several times slower than the socket.
class TNetBuffer {
public:
    TNetBuffer() = default;
    ~TNetBuffer();
    TNetBuffer(const TNetBuffer&) = delete;
    TNetBuffer& operator=(const TNetBuffer&) = delete;

    // Creates the lock on first use, then acquires it.
    void Enter();
    void Leave();

    // Removes every packet; the queue is empty afterwards.
    void Clear();
    // Appends a copy of the first BufLen bytes at Buffer, at most 65,535 of them; the
    // bytes beyond are dropped. A length of 0 appends an empty packet, which GetPacket
    // reports as 0, like an empty queue.
    void AddPacket(const void* Buffer, uint32_t BufLen);
    // Copies the unsent bytes of the head packet to Buffer (which must hold 65,535
    // bytes) and returns their number, without consuming them; 0 when there are none.
    uint32_t GetPacket(void* Buffer) const;
    // Marks Len more bytes of the head packet as sent; true when the head packet is
    // used up, and also when the queue is empty.
    bool SkipData(uint16_t Len);
    // Removes the head packet, if there is one.
    void DelPacket();

    // 0 while the lock has not been created, 1 once it has been (or is being) created.
    int32_t Shared() const { return FShared.load(); }

private:
    static constexpr int MaxSpare = 16;

    PNetPacket FPkt = nullptr;
    PNetPacket FSpare = nullptr; // removed packets kept for reuse, linked through Next
    int FSpareCount = 0;
    std::atomic<int32_t> FShared{0};
    std::atomic<bool> FLockReady{false};
    std::optional<std::recursive_mutex> CS;
};
