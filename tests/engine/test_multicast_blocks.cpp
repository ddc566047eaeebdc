// Multicast packets: reassembly into frame records, the bounded block queue,
// repeats across interfaces and the channel file's values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MulticastBlocks.h"
#include "QovWriter.h"

using namespace qov;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(uint32_t time, int16_t kind, size_t payload, uint8_t fill = 0x5A)
{
    Bytes data(payload);
    for (size_t i = 0; i < payload; ++i)
        data[i] = uint8_t(fill + i * 7);
    return writer::MakeFrameRecord(writer::MakeFrameHeader(time, kind, ctStored, 0, 0, uint32_t(payload)),
                                   data.data(), data.size());
}

Bytes Packet(uint32_t id, uint32_t length, uint16_t count, const uint8_t* part, size_t size)
{
    const CastPacketHead h{id, length, 0x1234, count};
    Bytes p(sizeof h + size);
    std::memcpy(p.data(), &h, sizeof h);
    if (size > 0)
        std::memcpy(p.data() + sizeof h, part, size);
    return p;
}

// Splits a block into packets of at most chunk payload bytes.
std::vector<Bytes> Split(uint32_t id, const Bytes& block, size_t chunk)
{
    const uint16_t count = uint16_t((block.size() + chunk - 1) / chunk);
    std::vector<Bytes> packets;
    for (size_t at = 0; at < block.size(); at += chunk)
        packets.push_back(Packet(id, uint32_t(block.size()), count, block.data() + at,
                                 std::min(chunk, block.size() - at)));
    return packets;
}

TBlockAssembler::Result Add(TBlockAssembler& a, const Bytes& p, TCastBlock* out, uint32_t now = 1000)
{
    return a.AddPacket(p.data(), p.size(), now, out);
}

Bytes Contents(const TCastBlock& b)
{
    return Bytes(b.Data.get(), b.Data.get() + b.Length);
}

} // namespace

TEST(CastAssembly, BlockOfThreePacketsIsCompleteAfterTheThird)
{
    TBlockAssembler a;
    const Bytes block = Record(40, fkKeyFrame, 3000);
    const auto packets = Split(7, block, 1400);
    ASSERT_EQ(packets.size(), 3u);
    TCastBlock out;
    EXPECT_EQ(Add(a, packets[0], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, packets[1], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, packets[2], &out), TBlockAssembler::arComplete);
    EXPECT_EQ(out.Id, 7u);
    EXPECT_EQ(Contents(out), block);  // byte-exact
    EXPECT_FALSE(a.HasPartial());
    EXPECT_EQ(a.TakeDropped(), 0u);

    // A one-packet block of an empty record (cursor move).
    const Bytes empty = Record(80, fkCursor, 0);
    EXPECT_EQ(Add(a, Split(8, empty, 1400)[0], &out), TBlockAssembler::arComplete);
    EXPECT_EQ(Contents(out), empty);
}

TEST(CastAssembly, InterleavedBlockIsDroppedWithOneBeepEach)
{
    TBlockAssembler a;
    const auto first = Split(1, Record(0, fkKeyFrame, 3000), 1400);
    const Bytes secondBlock = Record(40, fkCopyRect, 100);
    const auto second = Split(2, secondBlock, 1400);
    TCastBlock out;
    EXPECT_EQ(Add(a, first[0], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, second[0], &out), TBlockAssembler::arComplete);  // drops block 1
    EXPECT_EQ(Contents(out), secondBlock);
    EXPECT_EQ(a.TakeDropped(), 1u);
    EXPECT_EQ(a.TakeDropped(), 0u);
    // Block 1's later packets are ignored: it can never complete, and they
    // must not drop the next block or beep again.
    EXPECT_EQ(Add(a, first[1], &out), TBlockAssembler::arRepeat);
    const auto third = Split(3, Record(80, fkCopyRect, 3000), 1400);
    EXPECT_EQ(Add(a, third[0], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, first[2], &out), TBlockAssembler::arRepeat);
    EXPECT_EQ(Add(a, third[1], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, third[2], &out), TBlockAssembler::arComplete);
    EXPECT_EQ(a.TakeDropped(), 0u);
}

TEST(CastAssembly, MorePayloadThanAnnouncedIsNeverWrittenPastTheBlock)
{
    TBlockAssembler a;
    const Bytes block = Record(0, fkKeyFrame, 3000);  // 3028 bytes: 1400 + 1400 + 228
    const auto packets = Split(4, block, 1400);
    TCastBlock out;
    EXPECT_EQ(Add(a, packets[0], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, packets[1], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, packets[1], &out), TBlockAssembler::arMalformed);  // duplicate: 4200 > 3028
    EXPECT_FALSE(a.HasPartial());
    EXPECT_EQ(Add(a, packets[2], &out), TBlockAssembler::arRepeat);  // the rest is ignored
    EXPECT_FALSE(a.HasPartial());
    EXPECT_EQ(a.TakeDropped(), 0u);

    // A single packet carrying more than its block announces.
    const Bytes small = Record(0, fkCursor, 4);
    Bytes p = Packet(5, uint32_t(small.size()), 1, small.data(), small.size());
    p.push_back(0xFF);
    EXPECT_EQ(Add(a, p, &out), TBlockAssembler::arMalformed);
}

TEST(CastAssembly, BlocksThatAreNotOneWholeRecordAreDropped)
{
    TBlockAssembler a;
    TCastBlock out;
    const Bytes block = Record(0, fkKeyFrame, 100);
    // All packets in but fewer bytes than the block length: never queued
    // (its header would promise bytes that are not there).
    auto packets = Split(9, block, 100);  // 2 packets
    Bytes shortLast = packets[1];
    shortLast.erase(shortLast.end() - 3, shortLast.end());
    EXPECT_EQ(Add(a, packets[0], &out), TBlockAssembler::arPartial);
    EXPECT_EQ(Add(a, shortLast, &out), TBlockAssembler::arMalformed);

    // The record's own length runs past the block.
    Bytes lying = block;
    lying[12] = 101;  // FrameHeader.Length 100 -> 101
    EXPECT_EQ(Add(a, Packet(10, uint32_t(lying.size()), 1, lying.data(), lying.size()), &out),
              TBlockAssembler::arMalformed);

    // A block shorter than a frame header, an id or length of 2^31 or more,
    // a length beyond the cap.
    EXPECT_EQ(Add(a, Packet(11, 20, 1, block.data(), 20), &out), TBlockAssembler::arMalformed);
    EXPECT_EQ(Add(a, Packet(0x80000000u, uint32_t(block.size()), 1, block.data(), block.size()), &out),
              TBlockAssembler::arMalformed);
    EXPECT_EQ(Add(a, Packet(12, 0x80000000u, 1, block.data(), 28), &out), TBlockAssembler::arMalformed);
    EXPECT_EQ(Add(a, Packet(13, 0xA00000 + 29, 1, block.data(), 28), &out), TBlockAssembler::arMalformed);
    EXPECT_FALSE(a.HasPartial());
    EXPECT_EQ(a.TakeDropped(), 0u);
    EXPECT_GE(a.MalformedCount(), 6u);
}

TEST(CastAssembly, EmptyAndShortDatagramsAreSkipped)
{
    TBlockAssembler a;
    TCastBlock out;
    const Bytes block = Record(0, fkKeyFrame, 10);
    EXPECT_EQ(Add(a, Bytes(11, 0), &out), TBlockAssembler::arSkipped);
    EXPECT_EQ(Add(a, Packet(1, uint32_t(block.size()), 0, block.data(), block.size()), &out),
              TBlockAssembler::arSkipped);
    EXPECT_EQ(Add(a, Packet(1, 0, 1, block.data(), block.size()), &out), TBlockAssembler::arSkipped);
    EXPECT_FALSE(a.HasPartial());
}

TEST(CastAssembly, BlocksReusingAnIdAreTakenAndMayCarryBytesAfterTheirRecord)
{
    TBlockAssembler a;
    TCastBlock out;
    // A sender that numbers every block alike; bytes after a record are the block's.
    for (uint32_t t = 0; t < 3; ++t) {
        Bytes block = Record(40 * t, t == 1 ? fkMarker : fkCursor, 0);
        block.resize(block.size() + 16 * t, 0xEE);
        EXPECT_EQ(Add(a, Split(20, block, 1400)[0], &out, 100 + t), TBlockAssembler::arComplete) << t;
        EXPECT_EQ(Contents(out), block);
    }
}

TEST(CastQueue, FullQueueFreesTheOldestFirst)
{
    TBlockQueue q;
    uint32_t freed = 0;
    for (uint32_t i = 0; i < 2005; ++i) {
        TCastBlock b;
        b.Id = i;
        b.Length = 28;
        b.Data.reset(static_cast<uint8_t*>(std::malloc(28)));
        freed += q.Push(std::move(b));
    }
    EXPECT_EQ(freed, 5u);
    EXPECT_EQ(q.Count(), 2000u);
    TCastBlock b;
    ASSERT_TRUE(q.Pop(&b));
    EXPECT_EQ(b.Id, 5u);
    q.Clear();
    EXPECT_FALSE(q.Pop(&b));
}

TEST(CastDedupe, SameBlockFromTwoInterfacesCountsOnce)
{
    TBlockDeduper d(4);
    const Bytes a = Record(40, fkKeyFrame, 10);
    const Bytes b = Record(80, fkCopyRect, 10);
    Bytes b2 = b;
    b2.back() ^= 1;
    EXPECT_FALSE(d.Seen(0, 1, a.data(), uint32_t(a.size()), 0));
    EXPECT_TRUE(d.Seen(1, 1, a.data(), uint32_t(a.size()), 5));
    // On the receiver that took it: only a byte-for-byte copy is a repeat.
    EXPECT_TRUE(d.Seen(0, 1, a.data(), uint32_t(a.size()), 5));
    EXPECT_FALSE(d.Seen(0, 2, b.data(), uint32_t(b.size()), 6));
    EXPECT_FALSE(d.Seen(0, 2, b2.data(), uint32_t(b2.size()), 6));
    EXPECT_TRUE(d.Seen(1, 2, b.data(), uint32_t(b.size()), 6));
    // Same id but another frame: a restarted sender, not a repeat.
    EXPECT_FALSE(d.Seen(1, 1, b.data(), uint32_t(b.size()), 6));
    // Memory is bounded: after capacity newer blocks the first is forgotten.
    for (uint32_t id = 3; id < 7; ++id)
        EXPECT_FALSE(d.Seen(0, id, b.data(), uint32_t(b.size()), 8));
    EXPECT_FALSE(d.Seen(1, 1, a.data(), uint32_t(a.size()), 9));
    // And entries expire.
    EXPECT_FALSE(d.Seen(1, 6, b.data(), uint32_t(b.size()), 8 + kCastRepeatWindowMs));
}

TEST(CastChannel, ChannelValuesAreValidated)
{
    std::string group;
    uint16_t port = 0;
    EXPECT_TRUE(ParseChannelValues("238.0.0.1", "6000", &group, &port));
    EXPECT_EQ(group, "238.0.0.1");
    EXPECT_EQ(port, 6000);
    EXPECT_TRUE(ParseChannelValues(" 239.1.2.3 ", " 65535 ", &group, &port));
    EXPECT_EQ(group, "239.1.2.3");
    EXPECT_EQ(port, 65535);
    EXPECT_FALSE(ParseChannelValues("238.0.0.1", "0", &group, &port));
    EXPECT_FALSE(ParseChannelValues("238.0.0.1", "", &group, &port));
    EXPECT_FALSE(ParseChannelValues("238.0.0.1", "60x", &group, &port));
    EXPECT_FALSE(ParseChannelValues("238.0.0.1", "-5", &group, &port));
    EXPECT_FALSE(ParseChannelValues("238.0.0.1", "65536", &group, &port));
    EXPECT_FALSE(ParseChannelValues("", "6000", &group, &port));
    EXPECT_FALSE(ParseChannelValues("  ", "6000", &group, &port));
}

namespace {

uint32_t Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}

} // namespace

TEST(CastInterfaces, LoopbackSkippedOnePerInterfaceAtMostFour)
{
    // Loopback and two adapters: two receivers.
    EXPECT_EQ(SelectInterfaces({{Addr(127, 0, 0, 1), 1}, {Addr(10, 0, 0, 5), 2}, {Addr(192, 168, 1, 9), 3}}),
              (std::vector<std::string>{"10.0.0.5", "192.168.1.9"}));
    // Two addresses on one interface index: one receiver; 0.0.0.0 skipped.
    EXPECT_EQ(SelectInterfaces({{Addr(0, 0, 0, 0), 7}, {Addr(10, 0, 0, 5), 2}, {Addr(10, 0, 0, 6), 2}}),
              (std::vector<std::string>{"10.0.0.5"}));
    // Six adapters: the first four in table order.
    std::vector<TAddressRow> six;
    for (uint8_t i = 1; i <= 6; ++i)
        six.push_back({Addr(10, 0, i, 1), i});
    EXPECT_EQ(SelectInterfaces(six),
              (std::vector<std::string>{"10.0.1.1", "10.0.2.1", "10.0.3.1", "10.0.4.1"}));
    EXPECT_TRUE(SelectInterfaces({{Addr(127, 0, 0, 1), 1}}).empty());
}
