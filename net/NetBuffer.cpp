#include "NetBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

TNetBuffer::~TNetBuffer() {
    Clear();
    while (PNetPacket spare = FSpare) {
        FSpare = spare->Next;
        ::operator delete(spare);
    }
}

void TNetBuffer::Enter() {
    if (FShared.exchange(1) == 0) {
        CS.emplace();
        FLockReady.store(true);
        FLockReady.notify_all();
    } else {
        // Another thread won the exchange and may still be creating the lock.
        FLockReady.wait(false);
    }
    CS->lock();
}

void TNetBuffer::Leave() {
    CS->unlock();
}

void TNetBuffer::Clear() {
    while (FPkt) {
        DelPacket();
    }
}

void TNetBuffer::AddPacket(const void* Buffer, uint32_t BufLen) {
    const uint16_t len = static_cast<uint16_t>(std::min<uint32_t>(BufLen, 65535));
    PNetPacket packet = NewPacket(len);
    packet->BufLen = len;
    packet->Offset = 0;
    packet->Next = nullptr;
    if (len > 0) {
        std::memcpy(packet->Buf(), Buffer, len);
    }
    if (FPkt) {
        FTail->Next = packet;
    } else {
        FPkt = packet;
    }
    FTail = packet;
    FSize += len;
}

uint32_t TNetBuffer::GetPacket(void* Buffer) const {
    if (!FPkt || FPkt->Offset >= FPkt->BufLen) {
        return 0;
    }
    const uint32_t n = FPkt->BufLen - FPkt->Offset;
    std::memcpy(Buffer, FPkt->Buf() + FPkt->Offset, n);
    return n;
}

uint32_t TNetBuffer::PeekPacket(const uint8_t*& Data) const {
    if (!FPkt || FPkt->Offset >= FPkt->BufLen) {
        Data = nullptr;
        return 0;
    }
    Data = FPkt->Buf() + FPkt->Offset;
    return FPkt->BufLen - FPkt->Offset;
}

bool TNetBuffer::SkipData(uint16_t Len) {
    if (!FPkt) {
        return true;
    }
    const uint16_t left = FPkt->BufLen > FPkt->Offset ? FPkt->BufLen - FPkt->Offset : 0;
    FSize -= std::min(Len, left);
    FPkt->Offset = static_cast<uint16_t>(FPkt->Offset + Len);
    return FPkt->Offset >= FPkt->BufLen;
}

void TNetBuffer::DelPacket() {
    if (PNetPacket head = FPkt) {
        if (head->Offset < head->BufLen) {
            FSize -= head->BufLen - head->Offset;
        }
        FPkt = head->Next;
        FreePacket(head);
    }
}

PNetPacket TNetBuffer::NewPacket(uint32_t Len) {
    if (Len >= SpareFrom) {
        for (PNetPacket* link = &FSpare; *link; link = &(*link)->Next) {
            PNetPacket spare = *link;
            if (spare->Capacity >= Len && spare->Capacity - Len <= Len / 4) {
                *link = spare->Next;
                FSpareBytes -= spare->Capacity;
                return spare;
            }
        }
    }
    auto* packet = static_cast<PNetPacket>(::operator new(sizeof(TNetPacket) + Len));
    packet->Capacity = Len;
    return packet;
}

void TNetBuffer::FreePacket(PNetPacket Packet) {
    if (Packet->Capacity < SpareFrom || FSpareBytes + Packet->Capacity > MaxSpareBytes) {
        ::operator delete(Packet);
        return;
    }
    Packet->Next = FSpare;
    FSpare = Packet;
    FSpareBytes += Packet->Capacity;
}
