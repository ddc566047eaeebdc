#include "MulticastBlocks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qov {

namespace {

constexpr size_t kRecentBlocks = 64;

} // namespace

bool IsWholeFrameBlock(const uint8_t* data, uint32_t length)
{
    if (data == nullptr || length < kFrameHeaderSize)
        return false;
    FrameHeader header;
    std::memcpy(&header, data, sizeof header);
    return FrameRecordSize(header) <= length;
}

void TBlockAssembler::DropPartial()
{
    FPartial = PartialBlock();
}

bool TBlockAssembler::IsLatePacket(const CastPacketHead& head, uint32_t nowMs)
{
    for (Dropped& d : FRecent) {
        if (d.Missing > 0 && d.Id == head.BlockId && d.Length == head.BlockLength &&
            d.PacketCount == head.PacketCount && nowMs - d.Time < kCastRepeatWindowMs) {
            --d.Missing;
            return true;
        }
    }
    return false;
}

void TBlockAssembler::AbandonPartial(uint32_t nowMs)
{
    const uint32_t came = FPartial.PacketsReceived;
    const Dropped entry{FPartial.Id, FPartial.Length, FPartial.PacketsExpected,
                        FPartial.PacketsExpected > came ? FPartial.PacketsExpected - came : 0, nowMs};
    DropPartial();
    if (entry.Missing == 0)
        return;
    if (FRecent.size() < kRecentBlocks) {
        FRecent.push_back(entry);
        return;
    }
    FRecent[FRecentNext] = entry;
    FRecentNext = (FRecentNext + 1) % kRecentBlocks;
}

TBlockAssembler::Result TBlockAssembler::AddPacket(const uint8_t* packet, size_t size,
                                                   uint32_t nowMs, TCastBlock* block)
{
    if (packet == nullptr || size < kCastPacketHeadSize)
        return arSkipped;
    if (size > kCastMaxPacket)
        size = kCastMaxPacket;
    CastPacketHead head;
    std::memcpy(&head, packet, sizeof head);
    if (head.PacketCount == 0 || head.BlockLength == 0)
        return arSkipped;
    // Ids and lengths are below 2^31; a block is one whole frame record.
    if (head.BlockId >= 0x80000000u || head.BlockLength < kFrameHeaderSize ||
        head.BlockLength > kCastMaxBlockLength) {
        ++FMalformed;
        return arMalformed;
    }
    if ((FPartial.Data == nullptr || FPartial.Id != head.BlockId) && IsLatePacket(head, nowMs))
        return arRepeat;

    if (FPartial.Data != nullptr && FPartial.Id == head.BlockId &&
        (FPartial.Length != head.BlockLength || FPartial.PacketsExpected != head.PacketCount)) {
        // The same id announcing another block: what was gathered is not
        // one block.
        DropPartial();
        ++FMalformed;
    }
    if (FPartial.Data == nullptr || FPartial.Id != head.BlockId) {
        if (FPartial.Data != nullptr) {
            // The rest of the dropped block is ignored when it comes.
            AbandonPartial(nowMs);
            ++FDropped;
        }
        void* data = std::malloc(head.BlockLength);
        if (data == nullptr) {
            ++FMalformed;
            return arMalformed;
        }
        FPartial.Id = head.BlockId;
        FPartial.Length = head.BlockLength;
        FPartial.PacketsReceived = 0;
        FPartial.PacketsExpected = head.PacketCount;
        FPartial.BytesReceived = 0;
        FPartial.Data.reset(static_cast<uint8_t*>(data));
    }

    const uint32_t payload = static_cast<uint32_t>(size - kCastPacketHeadSize);
    if (payload > FPartial.Length - FPartial.BytesReceived) {
        // More bytes than the block announces: never written past it, and
        // the rest of it is ignored.
        AbandonPartial(nowMs);
        ++FMalformed;
        return arMalformed;
    }
    std::memcpy(FPartial.Data.get() + FPartial.BytesReceived, packet + kCastPacketHeadSize, payload);
    FPartial.BytesReceived += payload;
    FPartial.PacketsReceived += 1;
    if (FPartial.PacketsReceived < FPartial.PacketsExpected)
        return arPartial;

    // All packets are in: the block must hold one whole frame record.
    const bool whole = FPartial.BytesReceived == FPartial.Length &&
                       IsWholeFrameBlock(FPartial.Data.get(), FPartial.Length);
    if (!whole) {
        DropPartial();
        ++FMalformed;
        return arMalformed;
    }
    block->Id = FPartial.Id;
    block->Length = FPartial.Length;
    block->Data = std::move(FPartial.Data);
    DropPartial();
    return arComplete;
}

uint32_t TBlockAssembler::TakeDropped()
{
    const uint32_t n = FDropped;
    FDropped = 0;
    return n;
}

void TBlockAssembler::DropAll()
{
    DropPartial();
    FRecent.clear();
    FRecentNext = 0;
}

uint32_t TBlockQueue::Push(TCastBlock block)
{
    std::lock_guard<std::mutex> guard(FLock);
    uint32_t freed = 0;
    while (FQueue.size() >= kCastMaxQueuedBlocks) {
        FQueue.pop_front();
        ++freed;
    }
    FQueue.push_back(std::move(block));
    return freed;
}

bool TBlockQueue::Pop(TCastBlock* block)
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FQueue.empty())
        return false;
    *block = std::move(FQueue.front());
    FQueue.pop_front();
    return true;
}

void TBlockQueue::Clear()
{
    std::deque<TCastBlock> old;
    {
        std::lock_guard<std::mutex> guard(FLock);
        old.swap(FQueue);
    }
}

size_t TBlockQueue::Count()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FQueue.size();
}

bool TBlockDeduper::Seen(size_t receiver, uint32_t id, const uint8_t* data, uint32_t length, uint32_t nowMs)
{
    FrameHeader header{};
    if (data != nullptr && length >= kFrameHeaderSize)
        std::memcpy(&header, data, sizeof header);
    // FNV-1a over the block's bytes.
    uint32_t hash = 2166136261u;
    for (uint32_t i = 0; data != nullptr && i < length; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    for (Entry& e : FEntries) {
        if (e.Id == id && e.Length == length && e.FrameTime == header.Time && e.Kind == header.Kind &&
            nowMs - e.Seen < kCastRepeatWindowMs) {
            if (e.Receiver != receiver || e.Hash == hash)
                return true;
            // Another block under a reused id, on the same receiver.
            e.Seen = nowMs;
            e.Hash = hash;
            return false;
        }
    }
    const Entry entry{id, length, header.Time, nowMs, hash, header.Kind, receiver};
    if (FEntries.size() < FCapacity) {
        FEntries.push_back(entry);
    } else if (FCapacity > 0) {
        FEntries[FNext] = entry;
        FNext = (FNext + 1) % FCapacity;
    }
    return false;
}

void TBlockDeduper::Clear()
{
    FEntries.clear();
    FNext = 0;
}

std::string DottedAddress(uint32_t address)
{
    return Format("%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 24) & 0xFF);
}

std::vector<std::string> SelectInterfaces(const std::vector<TAddressRow>& rows)
{
    std::vector<std::string> list;
    std::vector<uint32_t> taken;
    for (const TAddressRow& row : rows) {
        const std::string dotted = DottedAddress(row.Address);
        if (dotted == "127.0.0.1" || dotted == "0.0.0.0")
            continue;
        if (std::find(taken.begin(), taken.end(), row.InterfaceIndex) != taken.end())
            continue;
        if (list.size() >= kCastMaxInterfaces)
            continue;
        list.push_back(dotted);
        taken.push_back(row.InterfaceIndex);
    }
    return list;
}

bool ParseChannelValues(const std::string& ip, const std::string& port, std::string* group,
                        uint16_t* portNumber)
{
    size_t b = 0, e = ip.size();
    while (b < e && (ip[b] == ' ' || ip[b] == '\t'))
        ++b;
    while (e > b && (ip[e - 1] == ' ' || ip[e - 1] == '\t'))
        --e;
    if (b == e)
        return false;
    size_t pb = 0, pe = port.size();
    while (pb < pe && (port[pb] == ' ' || port[pb] == '\t'))
        ++pb;
    while (pe > pb && (port[pe - 1] == ' ' || port[pe - 1] == '\t'))
        --pe;
    if (pb < pe && port[pb] == '+')
        ++pb;
    if (pb == pe)
        return false;
    uint32_t value = 0;
    for (size_t i = pb; i < pe; ++i) {
        if (port[i] < '0' || port[i] > '9')
            return false;
        value = value * 10 + uint32_t(port[i] - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *group = ip.substr(b, e - b);
    *portNumber = static_cast<uint16_t>(value);
    return true;
}

} // namespace qov
