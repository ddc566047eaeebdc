// Frame buffer, key-frame cache and key-frame index.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "FrameStore.h"

using namespace qov;

namespace {

// A record block: header with time, kind and length; payload bytes count up
// from seed.
TFrameRecordPtr MakeFrame(uint32_t time, int16_t kind, uint32_t length = 0, uint8_t seed = 0)
{
    TFrameRecordPtr r = AllocFrameRecord(length);
    FrameHeader h{};
    h.Time = time;
    h.Kind = kind;
    h.Length = length;
    h.Left = 3;
    h.Top = 4;
    std::memcpy(r.get(), &h, sizeof h);
    for (uint32_t i = 0; i < length; i++)
        r.get()[kFrameHeaderSize + i] = static_cast<uint8_t>(seed + i);
    return r;
}

void Fill(TFramesBuffer& fb, std::initializer_list<std::pair<uint32_t, int16_t>> frames)
{
    for (auto& f : frames)
        fb.AddFrame(MakeFrame(f.first, f.second));
}

uint32_t TimeAt(TFramesBuffer& fb, int32_t i)
{
    return RecordHeader(fb.Record(i)).Time;
}

// A decoded picture: a BMP file image of size bytes (size at byte 2).
std::vector<uint8_t> MakeImage(uint32_t size, uint8_t fill)
{
    std::vector<uint8_t> img(size, fill);
    img[0] = 'B';
    img[1] = 'M';
    std::memcpy(img.data() + 2, &size, 4);
    return img;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

} // namespace

// ---------------------------------------------------------------------------
// TFramesBuffer

TEST(FramesBuffer, AddCountsRecordsKeysAndBytes)
{
    TFramesBuffer fb;
    EXPECT_EQ(fb.CurrentIndex(), -1);
    EXPECT_EQ(fb.AddFrame(MakeFrame(0, fkKeyFrame, 100)), 0);
    EXPECT_EQ(fb.Count(), 1);
    EXPECT_EQ(fb.KeyCount(), 1);
    EXPECT_EQ(fb.Bytes(), 128);
    EXPECT_EQ(fb.AddFrame(MakeFrame(40, fkXorRect, 0)), 1);
    EXPECT_EQ(fb.AddFrame(MakeFrame(80, fkCursor, 2)), 2);
    EXPECT_EQ(fb.Count(), 3);
    EXPECT_EQ(fb.KeyCount(), 1);
    EXPECT_EQ(fb.Bytes(), 128 + 28 + 30);
}

TEST(FramesBuffer, SignalIsRaisedByEachRecordAndEndedReadUntilItsListenerIsRemoved)
{
    struct TCount : TFramesSignal {
        std::atomic<int> Raised{0};
        void FramesChanged() noexcept override { Raised.fetch_add(1); }
    } first, second;
    TFramesBuffer fb;
    fb.AddFrame(MakeFrame(0, fkKeyFrame));  // no listener yet
    fb.SetSignal(&first);
    fb.AddFrame(MakeFrame(40, fkXorRect));
    fb.SourceIdle();
    EXPECT_EQ(first.Raised.load(), 2);
    TFrameRecordPtr oversized = MakeFrame(80, fkXorRect);
    reinterpret_cast<FrameHeader*>(oversized.get())->Length = kMaxFramePayload + 1;
    EXPECT_THROW(fb.AddFrame(std::move(oversized)), ERangeError);
    EXPECT_EQ(first.Raised.load(), 2) << "a refused record adds nothing to wake for";

    // A listener that replaced another is not removed by the old one.
    fb.SetSignal(&second);
    fb.ResetSignal(&first);
    fb.AddFrame(MakeFrame(80, fkXorRect));
    EXPECT_EQ(first.Raised.load(), 2);
    EXPECT_EQ(second.Raised.load(), 1);
    fb.ResetSignal(&second);
    fb.SourceIdle();
    EXPECT_EQ(second.Raised.load(), 1);
    fb.Clear();
}

TEST(FramesBuffer, OversizedRecordIsRefusedAndBufferUnchanged)
{
    TFramesBuffer fb;
    fb.AddFrame(MakeFrame(0, fkKeyFrame, 4));
    TFrameRecordPtr r = MakeFrame(40, fkXorRect, 0);
    reinterpret_cast<FrameHeader*>(r.get())->Length = kMaxFramePayload + 1;
    EXPECT_THROW(fb.AddFrame(std::move(r)), ERangeError);
    EXPECT_EQ(fb.Count(), 1);
    EXPECT_EQ(fb.Bytes(), 32);
    EXPECT_THROW(AllocFrameRecord(0xFFFFFFFFu), ERangeError);
}

TEST(FramesBuffer, ByteSumDoesNotWrapPastTwoGigabytes)
{
    // Headers that announce the largest payload; the payload itself is never
    // read by adding, purging or clearing.
    TFramesBuffer fb;
    for (int i = 0; i < 3; i++) {
        TFrameRecordPtr r = MakeFrame(i * 40, fkKeyFrame, 0);
        reinterpret_cast<FrameHeader*>(r.get())->Length = kMaxFramePayload;
        fb.AddFrame(std::move(r));
    }
    EXPECT_EQ(fb.Bytes(), 3 * int64_t(0x7FFFFFFF));
    EXPECT_TRUE(fb.IsFull());
    fb.SetCurrentIndex(2);
    fb.Purge(false);
    EXPECT_EQ(fb.Bytes(), int64_t(0x7FFFFFFF));
    fb.Clear();
}

TEST(FramesBuffer, FullNeedsBothBytesAndThreeKeyFrames)
{
    TFramesBuffer large;
    for (int i = 0; i < 10; i++)
        large.AddFrame(MakeFrame(i * 40, fkCopyRect, 1 << 20));
    EXPECT_FALSE(large.IsFull());  // ten megabytes, no key frame

    TFramesBuffer twoKeys;
    twoKeys.AddFrame(MakeFrame(0, fkKeyFrame, 8 << 20));
    twoKeys.AddFrame(MakeFrame(40, fkKeyFrame, 8 << 20));
    EXPECT_FALSE(twoKeys.IsFull());
    twoKeys.AddFrame(MakeFrame(80, fkKeyFrame, 0));
    EXPECT_TRUE(twoKeys.IsFull());

    // Exactly 0x500000 bytes with three key frames is full, one byte less is not.
    TFramesBuffer edge;
    edge.AddFrame(MakeFrame(0, fkKeyFrame, 0));
    edge.AddFrame(MakeFrame(1, fkKeyFrame, 0));
    edge.AddFrame(MakeFrame(2, fkKeyFrame, 0x500000 - 3 * 28 - 1));
    EXPECT_EQ(edge.Bytes(), 0x500000 - 1);
    EXPECT_FALSE(edge.IsFull());
    edge.AddFrame(MakeFrame(3, fkXorRect, 0));
    EXPECT_TRUE(edge.IsFull());
}

TEST(FramesBuffer, PurgeKeepsTheKeyFrameTheCurrentRecordDependsOn)
{
    TFramesBuffer fb;
    fb.AddFrame(MakeFrame(0, fkKeyFrame, 10));
    fb.AddFrame(MakeFrame(40, fkXorRect, 20));
    fb.AddFrame(MakeFrame(80, fkKeyFrame, 30));
    fb.AddFrame(MakeFrame(120, fkXorRect, 40));
    fb.SetCurrentIndex(3);
    fb.Purge(false);
    ASSERT_EQ(fb.Count(), 2);
    EXPECT_EQ(fb.CurrentIndex(), 1);
    EXPECT_EQ(TimeAt(fb, 0), 80u);
    EXPECT_EQ(TimeAt(fb, 1), 120u);
    EXPECT_EQ(fb.KeyCount(), 1);
    EXPECT_EQ(fb.Bytes(), 58 + 68);
    EXPECT_EQ(fb.MinTimeStamp(), 80);
}

TEST(FramesBuffer, PurgeToEndKeepsTheLastKeyGroupAndResetsCurrentIndex)
{
    TFramesBuffer fb;
    Fill(fb, {{0, fkKeyFrame}, {40, fkXorRect}, {80, fkKeyFrame}, {120, fkXorRect}});
    fb.SetCurrentIndex(3);
    fb.Purge(true);
    ASSERT_EQ(fb.Count(), 2);
    EXPECT_EQ(TimeAt(fb, 0), 80u);
    EXPECT_EQ(fb.CurrentIndex(), -1);
}

TEST(FramesBuffer, PurgeRemovesNothingWithoutCurrentRecordOrEarlierKeyFrame)
{
    TFramesBuffer fb;
    Fill(fb, {{0, fkKeyFrame}, {40, fkXorRect}, {80, fkKeyFrame}, {120, fkXorRect}});
    fb.Purge(false);  // FCurrentIndex -1
    EXPECT_EQ(fb.Count(), 4);
    EXPECT_EQ(fb.CurrentIndex(), -1);

    TFramesBuffer noKey;
    Fill(noKey, {{0, fkXorRect}, {40, fkCopyRect}, {80, fkXorRect}});
    noKey.SetCurrentIndex(2);
    noKey.Purge(false);
    EXPECT_EQ(noKey.Count(), 3);
    EXPECT_EQ(noKey.CurrentIndex(), 2);
    noKey.Purge(true);
    EXPECT_EQ(noKey.Count(), 3);

    TFramesBuffer empty;
    empty.Purge(true);
    empty.Purge(false);
    EXPECT_EQ(empty.Count(), 0);
}

TEST(FramesBuffer, ClearResetsEverything)
{
    TFramesBuffer fb;
    fb.AddFrame(MakeFrame(0, fkKeyFrame, 10));
    fb.AddFrame(MakeFrame(40, fkXorRect, 10));
    fb.SetCurrentIndex(1);
    fb.Clear();
    EXPECT_EQ(fb.Count(), 0);
    EXPECT_EQ(fb.KeyCount(), 0);
    EXPECT_EQ(fb.Bytes(), 0);
    EXPECT_EQ(fb.CurrentIndex(), -1);
    EXPECT_EQ(fb.MaxTimeStamp(), 0);
    EXPECT_EQ(fb.AddFrame(MakeFrame(7, fkKeyFrame)), 0);
}

TEST(FramesBuffer, TimeStampsAreRangeCheckedWhenHandedOut)
{
    TFramesBuffer fb;
    EXPECT_EQ(fb.MinTimeStamp(), 0);
    EXPECT_EQ(fb.MaxTimeStamp(), 0);
    fb.AddFrame(MakeFrame(40, fkKeyFrame));
    fb.AddFrame(MakeFrame(0x7FFFFFFF, fkXorRect));
    EXPECT_EQ(fb.MinTimeStamp(), 40);
    EXPECT_EQ(fb.MaxTimeStamp(), 0x7FFFFFFF);
    fb.AddFrame(MakeFrame(0x80000000u, fkXorRect));
    EXPECT_THROW(fb.MaxTimeStamp(), ERangeError);
    EXPECT_EQ(fb.MinTimeStamp(), 40);
}

TEST(FramesBuffer, CopyNextFrameCopiesTheWholeRecordAndGrowsTheWorkBuffer)
{
    TFramesBuffer fb;
    fb.AddFrame(MakeFrame(0, fkKeyFrame, 300, 1));
    fb.AddFrame(MakeFrame(40, fkXorRect, 20, 9));
    std::vector<uint8_t> work(100, 0xEE);

    ASSERT_TRUE(fb.CopyNextFrame(work));  // FCurrentIndex -1: record 0
    ASSERT_EQ(work.size(), 328u);
    EXPECT_EQ(0, std::memcmp(work.data(), fb.Record(0), 328));
    EXPECT_EQ(fb.CurrentIndex(), -1);  // not moved

    EXPECT_EQ(fb.IncCurrentIndex(), 0);
    ASSERT_TRUE(fb.CopyNextFrame(work));  // smaller record: no shrinking
    EXPECT_EQ(work.size(), 328u);
    EXPECT_EQ(0, std::memcmp(work.data(), fb.Record(1), 48));
    EXPECT_EQ(work[48], 1 + 20);  // rest of the earlier copy stays

    fb.SetCurrentIndex(1);  // the last index
    std::vector<uint8_t> before = work;
    EXPECT_FALSE(fb.CopyNextFrame(work));
    EXPECT_EQ(work, before);

    TFramesBuffer empty;
    std::vector<uint8_t> none;
    EXPECT_FALSE(empty.CopyNextFrame(none));
    EXPECT_TRUE(none.empty());
}

TEST(FramesBuffer, FindFrameBetweenRecordsTakesTheEarlierUnlessExact)
{
    TFramesBuffer fb;
    Fill(fb, {{0, fkKeyFrame}, {40, fkXorRect}, {80, fkXorRect}});
    uint32_t t = 50;
    EXPECT_EQ(fb.FindFrame(t, false), 1);
    EXPECT_EQ(t, 40u);
    t = 50;
    EXPECT_EQ(fb.FindFrame(t, true), -1);
    EXPECT_EQ(t, 50u);
    t = 90;
    EXPECT_EQ(fb.FindFrame(t, false), -1);
    EXPECT_EQ(fb.FindFrame(t, true), -1);
    t = 0;
    EXPECT_EQ(fb.FindFrame(t, true), 0);
    EXPECT_EQ(fb.FindFrame(t, false), 0);
    t = 80;
    EXPECT_EQ(fb.FindFrame(t, true), 2);
}

TEST(FramesBuffer, FindFrameTiesAndSmallLists)
{
    TFramesBuffer fb;
    uint32_t t = 0;
    EXPECT_EQ(fb.FindFrame(t, false), -1);

    fb.AddFrame(MakeFrame(40, fkKeyFrame));
    t = 40;
    EXPECT_EQ(fb.FindFrame(t, true), 0);
    t = 50;
    EXPECT_EQ(fb.FindFrame(t, false), -1);  // one record: only an exact hit
    t = 30;
    EXPECT_EQ(fb.FindFrame(t, false), -1);

    TFramesBuffer ties;
    Fill(ties, {{0, fkKeyFrame}, {40, fkXorRect}, {40, fkXorRect}, {80, fkXorRect}});
    t = 40;
    EXPECT_EQ(ties.FindFrame(t, true), 1);

    // Record 1 shares record 0's time: the walk meets it at index 1 first.
    TFramesBuffer front;
    Fill(front, {{40, fkKeyFrame}, {40, fkXorRect}, {80, fkXorRect}});
    t = 40;
    EXPECT_EQ(front.FindFrame(t, true), 1);

    // Before the first record.
    TFramesBuffer later;
    Fill(later, {{100, fkKeyFrame}, {140, fkXorRect}});
    t = 60;
    EXPECT_EQ(later.FindFrame(t, false), -1);
    EXPECT_EQ(t, 60u);
}

TEST(FramesBuffer, FindFrameComparesTimesUnsigned)
{
    TFramesBuffer fb;
    Fill(fb, {{0x7FFFFFF0u, fkKeyFrame}, {0x80000010u, fkXorRect}});
    uint32_t t = 0x80000000u;
    EXPECT_EQ(fb.FindFrame(t, false), 0);
    EXPECT_EQ(t, 0x7FFFFFF0u);
    t = 0x80000010u;
    EXPECT_EQ(fb.FindFrame(t, true), 1);
    t = 0xFFFFFFFFu;
    EXPECT_EQ(fb.FindFrame(t, false), -1);
}

TEST(FramesBuffer, DumpWritesIndexTimeAndKeyLinesWithCrLf)
{
    TFramesBuffer fb;
    Fill(fb, {{0, fkKeyFrame}, {40, fkXorRect}, {4000000000u, fkKeyFrame}});
    const std::string path = "frame_store_dump.txt";
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(200, 'x');  // replaced, not overwritten in place
    }
    fb.DumpToFile(path);
    EXPECT_EQ(ReadFile(path), "0,0,Key\r\n1,40\r\n2,4000000000,Key\r\n");

    TFramesBuffer empty;
    empty.DumpToFile(path);
    EXPECT_EQ(ReadFile(path), "");
    std::remove(path.c_str());

    EXPECT_THROW(fb.DumpToFile("no_such_folder_qov/x/dump.txt"), EStreamError);
}

TEST(FramesBuffer, ListLockIsRecursiveAndHoldsOffOtherThreads)
{
    TFramesBuffer fb;
    Fill(fb, {{0, fkKeyFrame}, {40, fkXorRect}});
    const TFramesBuffer::TFrameList& list = fb.LockList();
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(fb.Count(), 2);  // same thread: no deadlock
    uint32_t t = 40;
    EXPECT_EQ(fb.FindFrame(t, true), 1);

    std::atomic<bool> added{false};
    std::thread writer([&] {
        fb.AddFrame(MakeFrame(80, fkXorRect));
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(added.load());
    EXPECT_EQ(list.size(), 2u);
    fb.UnlockList();
    writer.join();
    EXPECT_TRUE(added.load());
    EXPECT_EQ(fb.Count(), 3);
}

TEST(FramesBuffer, WriterAndReadersRunConcurrently)
{
    TFramesBuffer fb;
    constexpr int kFrames = 5000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kFrames; i++)
            fb.AddFrame(MakeFrame(uint32_t(i) * 10, i % 50 == 0 ? fkKeyFrame : fkXorRect,
                                  uint32_t(i % 64), uint8_t(i)));
        done = true;
    });
    bool ordered = true, copiesOk = true;
    std::vector<uint8_t> work;
    std::thread reader([&] {
        while (!done.load()) {
            const auto& list = fb.LockList();
            for (size_t i = list.size() > 64 ? list.size() - 64 : 1; i < list.size(); i++)
                if (RecordHeader(list[i].get()).Time <= RecordHeader(list[i - 1].get()).Time)
                    ordered = false;
            fb.UnlockList();
            // With two records the probe time n/2*10+5 lies past the last one.
            int32_t n = fb.Count();
            if (n > 2) {
                uint32_t t = uint32_t(n / 2) * 10 + 5;
                if (fb.FindFrame(t, false) != n / 2 || t != uint32_t(n / 2) * 10)
                    ordered = false;
            }
            if (fb.CopyNextFrame(work)) {
                const FrameHeader& h = RecordHeader(work.data());
                if (h.Time != 0 || h.Length != 0)
                    copiesOk = false;
            }
        }
    });
    for (int i = 0; i < 2000 && !done.load(); i++) {
        (void)fb.MaxTimeStamp();
        (void)fb.IsFull();
    }
    writer.join();
    reader.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(copiesOk);
    EXPECT_EQ(fb.Count(), kFrames);
    EXPECT_EQ(fb.KeyCount(), kFrames / 50);
    EXPECT_EQ(fb.MaxTimeStamp(), (kFrames - 1) * 10);
}

// ---------------------------------------------------------------------------
// TKeyFramesBuffer

namespace {

FrameHeader KeyHeader(uint32_t time)
{
    FrameHeader h{};
    h.Time = time;
    h.Kind = fkKeyFrame;
    return h;
}

std::vector<uint32_t> CachedTimes(TKeyFramesBuffer& kb)
{
    std::vector<uint32_t> times;
    auto& list = kb.LockList();
    for (auto& e : list)
        times.push_back(e->Header.Time);
    kb.UnlockList();
    return times;
}

} // namespace

TEST(KeyFramesBuffer, CachesUpToThreeThenReplacesTheOldest)
{
    TKeyFramesBuffer kb;
    kb.LockList();
    for (uint32_t t : {0u, 1000u, 2000u}) {
        auto img = MakeImage(100, uint8_t(t / 1000 + 1));
        const uint8_t* cached = kb.Store(KeyHeader(t), img.data(), true);
        ASSERT_NE(cached, nullptr);
        EXPECT_NE(cached, img.data());
        EXPECT_EQ(0, std::memcmp(cached, img.data(), 100));
    }
    kb.UnlockList();
    EXPECT_EQ(kb.Count(), 3);
    EXPECT_EQ(kb.FindImage(1000)[60], 2);
    EXPECT_EQ(kb.FindImage(500), nullptr);

    // A fourth, larger picture reuses the oldest entry, whose block grows.
    auto big = MakeImage(5000, 9);
    const uint8_t* cached = kb.Store(KeyHeader(3000), big.data(), true);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(0, std::memcmp(cached, big.data(), 5000));
    EXPECT_EQ(CachedTimes(kb), (std::vector<uint32_t>{1000, 2000, 3000}));
    EXPECT_EQ(kb.FindImage(0), nullptr);
    EXPECT_EQ(kb.FindImage(3000), cached);
    {
        auto& list = kb.LockList();
        EXPECT_EQ(list.back()->ImageCapacity, 5000u);
        kb.UnlockList();
    }

    kb.Clear();
    EXPECT_EQ(kb.Count(), 0);
}

TEST(KeyFramesBuffer, CacheOffStoresNothingUntilThreeAreCached)
{
    TKeyFramesBuffer kb;
    auto img = MakeImage(64, 1);
    EXPECT_EQ(kb.Store(KeyHeader(0), img.data(), false), nullptr);
    EXPECT_EQ(kb.Count(), 0);

    for (uint32_t t : {0u, 40u, 80u})
        kb.Store(KeyHeader(t), img.data(), true);
    // With three cached the oldest is replaced whatever the switch says.
    EXPECT_NE(kb.Store(KeyHeader(120), img.data(), false), nullptr);
    EXPECT_EQ(CachedTimes(kb), (std::vector<uint32_t>{40, 80, 120}));
}

TEST(KeyFramesBuffer, MissingOrMalformedPictureIsRefused)
{
    TKeyFramesBuffer kb;
    EXPECT_THROW(kb.Store(KeyHeader(0), nullptr, true), EAssertionFailed);
    auto tiny = MakeImage(20, 0);
    EXPECT_THROW(kb.Store(KeyHeader(0), tiny.data(), true), EAssertionFailed);
    EXPECT_EQ(kb.Count(), 0);
}

// ---------------------------------------------------------------------------
// TIndexTable

TEST(IndexTable, SameTimeTwiceKeepsOneEntry)
{
    TIndexTable it;
    EXPECT_TRUE(it.IsEmpty());
    EXPECT_EQ(it.FirstKeyTime(), -1);
    it.AddEntry(100, false, 5000);
    it.AddEntry(100, false, 6000);
    EXPECT_EQ(it.Count(), 1);
    EXPECT_EQ(it.FindOffset(100), 5000u);
    it.AddEntry(200, false, 7000);
    it.AddEntry(100, false, 8000);  // only the last entry is compared
    EXPECT_EQ(it.Count(), 3);
    EXPECT_FALSE(it.IsEmpty());
    it.Clear();
    EXPECT_TRUE(it.IsEmpty());
    EXPECT_EQ(it.FindKeyTime(1000), -1);
}

TEST(IndexTable, RingModeDropsTheOldestAtTheLimit)
{
    TIndexTable it;
    for (uint32_t i = 0; i < 1024; i++)
        it.AddEntry(i * 40, true, 0);
    EXPECT_EQ(it.Count(), 1024);
    EXPECT_EQ(it.FirstKeyTime(), 0);
    it.AddEntry(1024 * 40, true, 0);
    EXPECT_EQ(it.Count(), 1024);
    EXPECT_EQ(it.FirstKeyTime(), 40);  // the second time ever added
    EXPECT_EQ(it.FindKeyTime(0xFFFFFFF0u), 1024 * 40);

    TIndexTable file;
    for (uint32_t i = 0; i < 1500; i++)
        file.AddEntry(i, false, i * 100);
    EXPECT_EQ(file.Count(), 1500);
    EXPECT_EQ(file.FirstKeyTime(), 0);
}

TEST(IndexTable, FindKeyTimeTakesTheLastEntryAtOrBefore)
{
    TIndexTable it;
    it.AddEntry(0, false, 0);
    it.AddEntry(40, false, 1);
    EXPECT_EQ(it.FindKeyTime(39), 0);
    EXPECT_EQ(it.FindKeyTime(40), 40);
    EXPECT_EQ(it.FindKeyTime(100000), 40);

    TIndexTable later;
    later.AddEntry(500, false, 0);
    later.AddEntry(900, false, 0);
    EXPECT_EQ(later.FindKeyTime(499), -1);
    EXPECT_EQ(later.FindKeyTime(0), -1);
    EXPECT_EQ(later.FirstKeyTime(), 500);
}

TEST(IndexTable, TimesAreUnsignedAndRangeCheckedWhenHandedOut)
{
    TIndexTable it;
    it.AddEntry(10, false, 1);
    it.AddEntry(0x90000000u, false, 2);
    EXPECT_EQ(it.FindKeyTime(0x7FFFFFFFu), 10);
    EXPECT_THROW(it.FindKeyTime(0xFFFFFFFFu), ERangeError);
    EXPECT_EQ(it.FindOffset(0x90000000u), 2u);

    TIndexTable big;
    big.AddEntry(0x80000000u, false, 0);
    EXPECT_THROW(big.FirstKeyTime(), ERangeError);
}

TEST(IndexTable, FindOffsetFindsExactTimesOnly)
{
    TIndexTable it;
    EXPECT_EQ(it.FindOffset(0), 0u);
    for (uint32_t i = 0; i < 1000; i++)
        it.AddEntry(i * 3 + 1, false, 0x100000000ull + i);
    for (uint32_t i = 0; i < 1000; i++) {
        ASSERT_EQ(it.FindOffset(i * 3 + 1), 0x100000000ull + i) << i;
        ASSERT_EQ(it.FindOffset(i * 3 + 2), 0u) << i;
    }
    EXPECT_EQ(it.FindOffset(0), 0u);
    EXPECT_EQ(it.FindOffset(0xFFFFFFFFu), 0u);
}
