#include "NetBuffer.h"

#include <algorithm>
#include <cstring>

TNetBuffer::~TNetBuffer() {
    Clear();
    while (PNetPacket spare = FSpare) {
        FSpare = spare->Next;
        delete spare;
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
    PNetPacket* link = &FPkt;
    while (*link) {
        link = &(*link)->Next;
    }
    PNetPacket packet = FSpare;
    if (packet) {
        FSpare = packet->Next;
        --FSpareCount;
    } else {
        packet = new TNetPacket;
    }
    packet->BufLen = len;
    packet->Offset = 0;
    packet->Next = nullptr;
    if (len > 0) {
        std::memcpy(packet->Buf, Buffer, len);
    }
    *link = packet;
}

uint32_t TNetBuffer::GetPacket(void* Buffer) const {
    if (!FPkt || FPkt->Offset >= FPkt->BufLen) {
        return 0;
    }
    const uint32_t n = FPkt->BufLen - FPkt->Offset;
    std::memcpy(Buffer, FPkt->Buf + FPkt->Offset, n);
    return n;
}

bool TNetBuffer::SkipData(uint16_t Len) {
    if (!FPkt) {
        return true;
    }
    FPkt->Offset = static_cast<uint16_t>(FPkt->Offset + Len);
    return FPkt->Offset >= FPkt->BufLen;
}

void TNetBuffer::DelPacket() {
    if (PNetPacket head = FPkt) {
        FPkt = head->Next;
        if (FSpareCount < MaxSpare) {
            head->Next = FSpare;
            FSpare = head;
            ++FSpareCount;
        } else {
            delete head;
        }
    }
}
