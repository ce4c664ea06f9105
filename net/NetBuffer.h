#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

// One queued piece of outgoing data. Its bytes follow the header in the same block,
// which has room for them and, when it is a reused block, at most a quarter more.
struct TNetPacket {
    uint16_t BufLen;   // data bytes, at most 65,535
    uint16_t Offset;   // bytes at the front already taken out and sent
    uint32_t Capacity; // data bytes the block has room for
    TNetPacket* Next;

    uint8_t* Buf() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* Buf() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};
using PNetPacket = TNetPacket*;

// The send queue of a socket: a first-in, first-out list of packets. The GUI thread
// appends at the tail, the socket's worker consumes at the head; both ends take
// constant time.
//
// None of the list operations locks by itself: callers bracket every use with
// Enter and Leave. The lock is recursive and is created on the first Enter.
//
// Removed large packets are kept for reuse, up to MaxSpareBytes besides the queued
// data: freeing 64 KiB blocks one by one lets the allocator hand the top of its heap
// back to the system, and taking it again faults every page in anew, which costs
// more than copying the data. A stream keeps reusing the blocks of its last bursts.
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
    // Points Data at the unsent bytes of the head packet and returns their number (0
    // when there are none), without copying. The bytes stay valid until the head is
    // removed: only the consumer may use this.
    uint32_t PeekPacket(const uint8_t*& Data) const;
    // Marks Len more bytes of the head packet as sent; true when the head packet is
    // used up, and also when the queue is empty.
    bool SkipData(uint16_t Len);
    // Removes the head packet, if there is one.
    void DelPacket();

    // Bytes queued and not yet marked as sent.
    uint64_t Size() const { return FSize; }

    // 0 while the lock has not been created, 1 once it has been (or is being) created.
    int32_t Shared() const { return FShared.load(); }

private:
    // Blocks from this size on are worth keeping.
    static constexpr uint32_t SpareFrom = 16 * 1024;
    static constexpr uint64_t MaxSpareBytes = 512 * 1024;

    PNetPacket NewPacket(uint32_t Len);
    void FreePacket(PNetPacket Packet);

    PNetPacket FPkt = nullptr;  // the head, the oldest packet
    PNetPacket FTail = nullptr; // the last packet; meaningful only while FPkt is set
    uint64_t FSize = 0;
    PNetPacket FSpare = nullptr; // removed blocks kept for reuse, linked through Next
    uint64_t FSpareBytes = 0;
    std::atomic<int32_t> FShared{0};
    std::atomic<bool> FLockReady{false};
    std::optional<std::recursive_mutex> CS;
};
