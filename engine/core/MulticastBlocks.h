// Multicast channel data: the UDP packet, reassembly of packets into blocks
// (each block one frame record), the bounded queue of complete blocks that a
// receiver hands to the multicast source, and the channel file's values.
//
// Packet (one datagram, at most 20480 bytes; little-endian):
//   0  4  block id
//   4  4  block length
//   8  2  not read
//   10 2  number of packets that make up the block
//   12 .. the next part of the block, in arrival order
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "FrameStore.h"
#include "QovFormat.h"

namespace qov {

#pragma pack(push, 1)
struct CastPacketHead {
    uint32_t BlockId;
    uint32_t BlockLength;
    uint16_t Unused;
    uint16_t PacketCount;
};
#pragma pack(pop)
static_assert(sizeof(CastPacketHead) == 12, "CastPacketHead is 12 bytes");
static_assert(offsetof(CastPacketHead, BlockLength) == 4 && offsetof(CastPacketHead, Unused) == 8 &&
                  offsetof(CastPacketHead, PacketCount) == 10,
              "CastPacketHead field offsets");

constexpr uint32_t kCastPacketHeadSize = sizeof(CastPacketHead);
constexpr uint32_t kCastMaxPacket = 20480;       // bytes read per datagram
constexpr uint32_t kCastMaxQueuedBlocks = 2000;  // per receiver
// A block is one frame record whose picture fits the decoder's output buffer.
constexpr uint32_t kCastMaxBlockLength = kPictureBlockSize + kFrameHeaderSize;
// How long a completed block's id is remembered to recognise repeats.
constexpr uint32_t kCastRepeatWindowMs = 2000;

constexpr const char* kCastDefaultGroup = "238.0.0.1";
constexpr uint16_t kCastDefaultPort = 6000;

// A complete block: one frame record of Length bytes in a malloc'd block,
// ready to be handed to TFramesBuffer.AddFrame.
struct TCastBlock {
    uint32_t Id = 0;
    uint32_t Length = 0;
    TFrameRecordPtr Data;
};

// The block holds a whole frame record: at least 28 bytes and at least 28 +
// the FrameHeader's length. Bytes after the record are not part of it.
bool IsWholeFrameBlock(const uint8_t* data, uint32_t length);

// Reassembles the datagrams of one receiver. At most one block is being
// reassembled at a time: a packet of another block drops it (the receiver
// sounds a beep for each such drop). The packets still to come of a block
// dropped moments ago are ignored, as many as it lacked (they must not
// start a block that can never complete, nor drop the next one); a new
// block that reuses an id is taken like any other.
class TBlockAssembler {
public:
    enum Result {
        arSkipped,    // nothing to take: too short, packet count 0 or block length 0
        arMalformed,  // a packet or block that breaks the format was dropped
        arRepeat,     // a late packet of a block dropped moments ago
        arPartial,    // taken; the block is not complete yet
        arComplete,   // *block holds the complete block
    };

    TBlockAssembler() = default;
    TBlockAssembler(const TBlockAssembler&) = delete;
    TBlockAssembler& operator=(const TBlockAssembler&) = delete;

    // Takes one datagram of size bytes, received at nowMs (a millisecond
    // clock; only differences are used).
    Result AddPacket(const uint8_t* packet, size_t size, uint32_t nowMs, TCastBlock* block);

    // Partial blocks dropped because a packet of another block arrived,
    // since the last call (each one a beep).
    uint32_t TakeDropped();

    // Forgets the block being reassembled (and the dropped ones).
    void DropAll();

    bool HasPartial() const { return FPartial.Data != nullptr; }
    uint32_t PartialId() const { return FPartial.Id; }
    uint32_t MalformedCount() const { return FMalformed; }

private:
    struct PartialBlock {
        uint32_t Id = 0;
        uint32_t Length = 0;
        uint32_t PacketsReceived = 0;
        uint32_t PacketsExpected = 0;
        uint32_t BytesReceived = 0;
        TFrameRecordPtr Data;
    };
    // A block dropped before all its packets came.
    struct Dropped {
        uint32_t Id;
        uint32_t Length;
        uint32_t PacketCount;
        uint32_t Missing;  // its packets still to come
        uint32_t Time;
    };

    void DropPartial();
    // True (and one packet fewer is awaited) for a late packet of a dropped block.
    bool IsLatePacket(const CastPacketHead& head, uint32_t nowMs);
    // Drops the partial block, remembering the packets it still lacks.
    void AbandonPartial(uint32_t nowMs);

    PartialBlock FPartial;
    uint32_t FDropped = 0;
    uint32_t FMalformed = 0;
    std::vector<Dropped> FRecent;  // ring of the last dropped blocks
    size_t FRecentNext = 0;
};

// The queue of complete blocks between one receiver thread and the source
// thread, guarded by its own lock. Holds at most 2000 blocks: pushing onto a
// full queue first frees the oldest.
class TBlockQueue {
public:
    // Returns how many old blocks were freed to make room.
    uint32_t Push(TCastBlock block);
    // Removes the oldest block; false when the queue is empty.
    bool Pop(TCastBlock* block);
    void Clear();
    size_t Count();

private:
    std::mutex FLock;
    std::deque<TCastBlock> FQueue;
};

// Recognises a block that arrives again within a short time. On another
// receiver (the same datagrams received on two interfaces) a block is the
// same when its id, length, frame time and kind are; on the receiver that
// took it first only a byte-for-byte copy is (a sender may reuse its ids for
// other blocks). Memory is bounded.
class TBlockDeduper {
public:
    explicit TBlockDeduper(size_t capacity = 512) : FCapacity(capacity) {}
    // True when another receiver delivered the block within
    // kCastRepeatWindowMs; otherwise remembers it and returns false.
    bool Seen(size_t receiver, uint32_t id, const uint8_t* data, uint32_t length, uint32_t nowMs);
    void Clear();

private:
    struct Entry {
        uint32_t Id, Length, FrameTime, Seen, Hash;
        int16_t Kind;
        size_t Receiver;
    };
    size_t FCapacity;
    std::vector<Entry> FEntries;
    size_t FNext = 0;
};

// One row of the machine's IPv4 address table: the address as the table
// stores it (first octet in the lowest byte) and its interface index.
struct TAddressRow {
    uint32_t Address;
    uint32_t InterfaceIndex;
};

// Most receivers a multicast source runs.
constexpr size_t kCastMaxInterfaces = 4;

// The local addresses a multicast source receives on, in table order:
// "127.0.0.1" and "0.0.0.0" are skipped, so is a row whose interface index
// was already taken, and at most 4 are listed.
std::vector<std::string> SelectInterfaces(const std::vector<TAddressRow>& rows);

// Dotted text of an address stored first octet lowest.
std::string DottedAddress(uint32_t address);

// Checks the "ip" and "port" values of a channel file's "Address" section:
// the group must not be empty, the port must be a decimal number from 1 to
// 65535 (blanks around it allowed). Returns false for an invalid file.
bool ParseChannelValues(const std::string& ip, const std::string& port, std::string* group,
                        uint16_t* portNumber);

} // namespace qov
