// TPlayThread's clock, states and messages, on lists the tests fill as a
// source would: speeds, timer wrap-around, the end of a recording, queued
// seeks, purges, the stop and pause hand-shakes, seeks before the first key
// frame, a source clearing the buffer under a waiting frame, stale durations
// and the buffer dump.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "EngineResources.h"
#include "PlaybackHarness.h"
#include "PlayThread.h"
#include "QovWriter.h"
#include "SourceTestSupport.h"

using namespace qov;
using namespace qov::test;
using writer::Bytes;

namespace {

constexpr int W = 64;
constexpr int H = 48;

Bytes Solid(int width, int height, uint32_t rgb)
{
    return writer::MakeBmp(width, height, 24, [rgb](int x, int y) { return rgb ^ uint32_t(x * 3 + y * 5); });
}

// The lists of a context filled as a source fills them.
struct ManualTest : ::testing::Test {
    TPlaybackRig Rig;
    ReferenceRenderer Ref{W, H, LoadDefaultCursor()};
    std::vector<Bytes> Records;  // as added, for the reference

    void SetUp() override
    {
        Rig.Context.Header.Width = W;
        Rig.Context.Header.Height = H;
        SetFakeTime(100000);
    }

    int32_t Add(uint32_t time, int16_t kind, uint16_t left, uint16_t top, const Bytes& payload,
                uint16_t cursorX = 0, uint16_t cursorY = 0)
    {
        const FrameHeader h = writer::MakeFrameHeader(time, kind, ctStored, left, top, uint32_t(payload.size()),
                                                      cursorX, cursorY);
        Records.push_back(writer::MakeFrameRecord(h, payload));
        TFrameRecordPtr block = AllocFrameRecord(h.Length);
        std::memcpy(block.get(), Records.back().data(), Records.back().size());
        if (kind == fkKeyFrame)
            Rig.Index.AddEntry(time, false, 0);
        return Rig.Frames.AddFrame(std::move(block));
    }
    int32_t AddKey(uint32_t time, uint32_t rgb) { return Add(time, fkKeyFrame, 0, 0, Solid(W, H, rgb)); }
    int32_t AddRect(uint32_t time, uint32_t rgb, int kind = fkCopyRect)
    {
        return Add(time, int16_t(kind), uint16_t(time / 100 % 5 * 8), 4, Solid(16, 12, rgb));
    }

    // Draws the records added, numbers from..to, into the reference.
    void RefDraw(size_t from, size_t to)
    {
        for (size_t i = from; i <= to; ++i) {
            const Bytes& r = Records.at(i);
            FrameHeader h;
            std::memcpy(&h, r.data(), sizeof h);
            if (h.Kind == fkMarker)
                continue;
            Ref.DrawFrame(h, h.Length ? r.data() + kFrameHeaderSize : nullptr, h.Length);
        }
    }
    std::string Compare()
    {
        TBackBuffer& bb = Rig.Player->BackBuffer();
        bb.Lock();
        std::string diff = Ref.Compare(bb.Bits(), bb.Stride());
        bb.Unlock();
        return diff;
    }
    TPlayThread& Player() { return *Rig.Player; }
    // Lets a play loop that was just (re)started read its starting time
    // before the fake timer moves.
    // Waits until the play loop runs at speed: the speed is stored before
    // the loop reads its start time, so a wake-up counted after the speed is
    // seen comes from the loop that started at it. A fixed sleep alone let a
    // busy machine advance the test's clock before that start was read.
    void Settle(int speed = 1)
    {
        WaitUntil([&] { return Player().State() == psPlaying && Player().Speed() == speed; }, 3000);
        const uint32_t wakeups = Player().Wakeups();
        WaitUntil([&] { return Player().Wakeups() > wakeups; }, 3000);
        Sleep(10);
    }
    size_t Count(UINT msg) { return Rig.Window.Messages().Count(msg); }
};

// A source whose stream has no duration (a live or multicast reader) and
// that serves nothing.
class TLiveStub : public TReadThread {
public:
    explicit TLiveStub(PlaybackContext* context) : TReadThread(context) { SetKind(skLiveTcp); }
    ~TLiveStub() override { EndThread(); }

protected:
    void HandleOpen() override {}
    void HandleRead(int32_t) override {}
    void HandleSeek(int32_t) override {}
    void HandleStop() override {}
};

uint64_t ThreadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME& t) { return ((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

} // namespace

// ---------------------------------------------------------------------------
// Clock

TEST_F(ManualTest, AtSpeedFourA400MsStepIsRenderedAfter100MsOfTimer)
{
    AddKey(0, 0x203040);
    AddRect(400, 0xFF0000);
    AddRect(800, 0x00FF00);
    Rig.CreatePlayer(FakeClock);

    Player().Play();
    Player().Faster();
    Player().Faster();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000)) << "the first frame is shown at once";
    Settle(4);
    EXPECT_EQ(0u, Player().CurrentTime());

    AdvanceFakeTime(99);
    ASSERT_TRUE(WaitUntil([&] { return Player().CurrentTime() == 396; }, 3000)) << Player().CurrentTime();
    Sleep(50);
    EXPECT_EQ(0, Rig.Frames.CurrentIndex()) << "not due before 400";
    AdvanceFakeTime(1);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    EXPECT_EQ(400u, Player().LastSampleTime());
    EXPECT_EQ(400u, Player().CurrentTime());
    AdvanceFakeTime(100);
    ASSERT_TRUE(Rig.WaitCurrentIndex(2, 3000));
    EXPECT_EQ(800u, Player().CurrentTime());
    EXPECT_TRUE(WaitUntil([&] { return Player().Rendered() == 3; }, 3000)) << Player().Rendered();
}

TEST_F(ManualTest, FiveFastersReachThirtyTwoASixthKeepsItAndPlayGoesBackToOne)
{
    AddKey(0, 0x102030);
    Rig.CreatePlayer(FakeClock);
    Player().Play();
    for (int expected : {2, 4, 8, 16, 32, 32}) {
        Player().Faster();
        Player().Pause();  // served after the FASTER
        EXPECT_EQ(expected, Player().Speed());
    }
    Player().Play();
    Player().Pause();
    EXPECT_EQ(1, Player().Speed());
    EXPECT_EQ(psPaused, Player().State());
}

TEST_F(ManualTest, ClockStaysRightAcrossSpeedChangesPausesAndTimerWrapAround)
{
    AddKey(0, 0x102030);
    AddRect(1000, 0xFFFFFF);
    SetFakeTime(0xFFFFFF00u);
    Rig.CreatePlayer(FakeClock);
    auto reads = [&](uint32_t t) { return WaitUntil([&] { return Player().CurrentTime() == t; }, 3000); };

    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    Settle();
    AdvanceFakeTime(100);
    ASSERT_TRUE(reads(100)) << Player().CurrentTime();
    Player().Faster();  // speed 2
    Settle(2);
    AdvanceFakeTime(200);  // the timer wraps past 2^32 here
    ASSERT_TRUE(reads(500)) << Player().CurrentTime();
    Player().Faster();  // speed 4
    Settle(4);
    AdvanceFakeTime(100);
    ASSERT_TRUE(reads(900)) << Player().CurrentTime();

    Player().Pause();
    AdvanceFakeTime(5000);
    Sleep(30);
    EXPECT_EQ(900u, Player().CurrentTime()) << "a paused clock stands";
    EXPECT_EQ(1u, Player().Rendered());

    Player().Play();  // speed 1 again, from 900
    Settle();
    AdvanceFakeTime(99);
    ASSERT_TRUE(reads(999)) << Player().CurrentTime();
    EXPECT_EQ(0, Rig.Frames.CurrentIndex());
    AdvanceFakeTime(1);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    EXPECT_EQ(1000u, Player().LastSampleTime());
}

// ---------------------------------------------------------------------------
// The end of a recording

TEST_F(ManualTest, EndIsPostedOnceAfterEveryRecordOfTheLastTime)
{
    Rig.Context.Header.Duration = 800;
    AddKey(0, 0x112233);
    AddRect(400, 0x00FF00);
    AddRect(800, 0xFF00FF);
    Add(800, fkMarker, 0, 0, {});
    Add(800, fkCopyRect, 30, 20, Solid(20, 20, 0x0000FF));  // shares the last time
    Rig.CreatePlayer(FakeClock);

    Rig.PlayFastest();
    AdvanceFakeTime(100);  // 3200 ms of media time
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 3000));
    EXPECT_EQ(5u, Player().Rendered()) << "the end comes after every record at 800";
    EXPECT_EQ(4, Rig.Frames.CurrentIndex());
    EXPECT_EQ(psStopped, Player().State());
    EXPECT_EQ(1u, Count(WM_ENGINE_MARKER));
    // The END is the last message: the picture was painted before it.
    const auto all = Rig.Window.Messages().All();
    EXPECT_EQ(UINT(WM_ENGINE_END), all.back().Msg);
    RefDraw(0, 4);
    EXPECT_EQ("", Compare());
    EXPECT_EQ("", Rig.Window.CompareScreen());

    AdvanceFakeTime(5000);
    Sleep(100);
    Player().Play();  // nothing is left to play
    AdvanceFakeTime(5000);
    Sleep(100);
    EXPECT_EQ(1u, Count(WM_ENGINE_END));
}

TEST_F(ManualTest, DurationZeroNeverEnds)
{
    Rig.Context.Header.Duration = 0;
    AddKey(0, 0x112233);
    AddRect(400, 0x00FF00);
    Rig.CreatePlayer(FakeClock);
    Rig.PlayFastest();
    AdvanceFakeTime(1000);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    Sleep(150);
    EXPECT_EQ(0u, Count(WM_ENGINE_END));
    EXPECT_EQ(psPlaying, Player().State());
}

TEST_F(ManualTest, ALiveSourceIgnoresADurationLeftInTheHeader)
{
    // A duration an earlier recording left behind must neither end a live
    // stream nor clamp its seeks.
    Rig.Context.Header.Duration = 300;
    auto live = std::make_unique<TLiveStub>(&Rig.Context);
    Rig.Context.Reader = live.get();
    Rig.Source = std::move(live);
    for (uint32_t t = 0; t <= 600; t += 100)
        t == 0 ? AddKey(t, 0x445566) : AddRect(t, 0x010203 * t);
    Rig.CreatePlayer(FakeClock);
    Rig.PlayFastest();
    AdvanceFakeTime(1000);
    ASSERT_TRUE(Rig.WaitCurrentIndex(6, 3000));
    Sleep(100);
    EXPECT_EQ(0u, Count(WM_ENGINE_END));

    Player().Pause();
    Player().Seek(500);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 1, 3000));
    EXPECT_EQ(500u, Player().LastSampleTime()) << "not clamped to 300";
    RefDraw(0, 6);
    RefDraw(0, 5);  // redrawn from the key frame
    EXPECT_EQ("", Compare());
}

// ---------------------------------------------------------------------------
// Messages

TEST_F(ManualTest, SeeksQueuedWhileTheThreadIsBusyCollapseIntoTheLast)
{
    AddKey(0, 0x303030);
    for (uint32_t t = 100; t <= 900; t += 100)
        AddRect(t, 0x0F0F0F * (t / 100));
    Rig.CreatePlayer(FakeClock);
    Player().Pause();

    Rig.Frames.LockList();  // the first seek waits for the list
    Player().Seek(100);
    Sleep(200);
    Player().Seek(300);
    Player().Seek(700);
    Sleep(50);
    Rig.Frames.UnlockList();
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 2, 3000));
    Sleep(100);

    EXPECT_EQ(700u, Player().LastSampleTime());
    EXPECT_EQ(7, Rig.Frames.CurrentIndex());
    EXPECT_EQ(2u, Count(WM_ENGINE_POSITION)) << "the seek to 100, then one to 700";
    EXPECT_EQ(2u, Count(WM_ENGINE_PAINT));
    RefDraw(0, 1);
    RefDraw(2, 7);
    EXPECT_EQ("", Compare());
}

TEST_F(ManualTest, PurgeIsIgnoredWhilePausedAndServedWhilePlaying)
{
    AddKey(0, 0x101010);
    AddRect(100, 0x222222);
    AddRect(200, 0x333333);
    AddKey(300, 0x404040);
    AddRect(400, 0x555555);
    AddKey(600, 0x606060);
    AddRect(700, 0x777777);
    Rig.CreatePlayer(FakeClock);
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));

    Player().Pause();
    Player().Purge(1);
    Player().Pause();
    EXPECT_EQ(7, Rig.Frames.Count());
    EXPECT_EQ(0, Rig.Frames.CurrentIndex());

    Player().Play();
    Settle();
    Player().Purge(1);  // inside the play loop: everything before the last key frame goes
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == 2; }, 3000)) << Rig.Frames.Count();
    EXPECT_EQ(-1, Rig.Frames.CurrentIndex());
    EXPECT_EQ(psPlaying, Player().State());
    AdvanceFakeTime(650);
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    EXPECT_EQ(600u, Player().LastSampleTime()) << "the next frame taken is that key frame";
}

TEST_F(ManualTest, PauseWaitsForItsOwnThreadNotForAStraySignal)
{
    AddKey(0, 0x101010);
    AddRect(100, 0x202020);
    Rig.CreatePlayer(FakeClock);
    // A second player on the machine, stopped and paused meanwhile.
    TPlaybackRig other;
    other.Context.Header.Width = 8;
    other.Context.Header.Height = 8;
    other.CreatePlayer(FakeClock);

    TBackBuffer& bb = Player().BackBuffer();
    bb.Lock();  // the control copying pixels: the seek's drawing waits
    Player().Seek(100);
    // The range has begun: its first record waits for the picture.
    if (!WaitUntil([&] { return Rig.Frames.CurrentIndex() == 0; }, 5000)) {
        bb.Unlock();
        FAIL() << "the seek never began its range";
    }
    Sleep(50);
    std::atomic<bool> returned{false};
    std::thread pauser([&] {
        Player().Pause();
        returned = true;
    });
    HANDLE shared = CreateEventA(nullptr, FALSE, FALSE, "Synchronize Command");
    for (int i = 0; i < 5; ++i) {
        SetEvent(shared);
        other.Player->Pause();
        other.Player->Stop();
        Sleep(40);
    }
    EXPECT_FALSE(returned.load()) << "Pause returned before its thread handled it";
    bb.Unlock();
    pauser.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(psPaused, Player().State());
    // The seek's range stopped at the message that came meanwhile.
    EXPECT_EQ(0, Rig.Frames.CurrentIndex());
    CloseHandle(shared);
}

// Seeks that come one after another while the thread draws: a seek that
// plays on does so without posting anything that the next request would
// have to wait behind or that the next seek's drawing would give way to.
struct SeekQueueTest : ManualTest {
    // A key frame at 0 and a rectangle every 100 ms up to 900, the end.
    void MakeRecording()
    {
        Rig.Context.Header.Duration = 900;
        AddKey(0, 0x303030);
        for (uint32_t t = 100; t <= 900; t += 100)
            AddRect(t, 0x0F0F0F * (t / 100));
        Rig.CreatePlayer(FakeClock);
    }
    // Starts a seek whose drawing then waits for the picture (held by the
    // caller) at record index; true once it does.
    bool SeekHeldAt(int32_t ms, int32_t index)
    {
        Player().Seek(ms);
        return WaitUntil([&] { return Rig.Frames.CurrentIndex() == index; }, 5000);
    }
    void Post(UINT msg) { PostThreadMessageA(Player().ThreadID(), msg, 0, 0); }
};

TEST_F(SeekQueueTest, ASeekBackQueuedBehindASeekToTheEndWhilePlayingIsDrawnAndPlaysToTheEnd)
{
    MakeRecording();
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    Settle();

    TBackBuffer& bb = Player().BackBuffer();
    bb.Lock();
    const bool held = SeekHeldAt(900, 1);
    Player().Seek(500);  // queued behind the drawing to the end
    bb.Unlock();
    ASSERT_TRUE(held) << "the seek to the end never began its range";
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 2, 5000));
    EXPECT_EQ(5, Rig.Frames.CurrentIndex()) << "the seek back gave way before drawing anything";
    EXPECT_EQ(500u, Player().LastSampleTime());
    RefDraw(0, 9);
    RefDraw(0, 5);
    EXPECT_EQ("", Compare());

    // Played on from 500, the recording ends.
    EXPECT_TRUE(WaitUntil(
        [&] {
            AdvanceFakeTime(50);
            return Count(WM_ENGINE_END) > 0;
        },
        10000));
    EXPECT_EQ(9, Rig.Frames.CurrentIndex());
    EXPECT_EQ(psStopped, Player().State());
}

TEST_F(SeekQueueTest, APauseThatComesWhileASeekDrawsStaysPaused)
{
    MakeRecording();
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    Settle();
    Rig.Window.Messages().Clear();

    TBackBuffer& bb = Player().BackBuffer();
    bb.Lock();
    const bool held = SeekHeldAt(500, 1);
    Post(WM_ENGINE_PAUSE);  // as TPlayThread::Pause posts it, queued behind the seek
    Post(WM_ENGINE_REFRESH);
    bb.Unlock();
    ASSERT_TRUE(held) << "the seek never began its range";
    // The refresh's paint of the whole picture: the pause before it was served.
    const LPARAM whole = LPARAM((DWORD(W) << 16) + H);
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& m : Rig.Window.Messages().Of(WM_ENGINE_PAINT))
                if (m.WParam == 0 && m.LParam == whole)
                    return true;
            return false;
        },
        5000));
    EXPECT_FALSE(WaitUntil([&] { return Player().State() != psPaused; }, 500))
        << "the seek played on after the pause that came meanwhile";
    EXPECT_EQ(psPaused, Player().State());
}

TEST_F(SeekQueueTest, ASeekBackWhoseDrawingGivesWayAtOnceLeavesTheClockWithThePicture)
{
    MakeRecording();
    Player().Pause();
    Player().Seek(800);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 1, 5000));
    ASSERT_EQ(8, Rig.Frames.CurrentIndex());

    TBackBuffer& bb = Player().BackBuffer();
    bb.Lock();
    const bool held = SeekHeldAt(900, 9);
    Player().Seek(500);  // finds a refresh waiting before it draws its first record
    Post(WM_ENGINE_REFRESH);
    bb.Unlock();
    ASSERT_TRUE(held) << "the seek to the end never began its range";
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 3, 5000));
    EXPECT_EQ(9, Rig.Frames.CurrentIndex());
    EXPECT_EQ(900u, Player().LastSampleTime());
    EXPECT_EQ(900u, Player().CurrentTime()) << "the clock went back while the picture stayed at the end";
    EXPECT_EQ(900u, Rig.Window.Messages().Of(WM_ENGINE_POSITION).back().WParam);
}

TEST_F(ManualTest, StopResetsTheClockAndKeepsTheSpeedUntilTheNextPlay)
{
    AddKey(0, 0x101010);
    AddRect(100, 0x202020);
    Rig.CreatePlayer(FakeClock);
    Rig.PlayFastest();
    AdvanceFakeTime(10);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    Player().Stop();
    EXPECT_EQ(psStopped, Player().State());
    EXPECT_EQ(0u, Player().CurrentTime());
    EXPECT_EQ(0u, Player().LastSampleTime());
    EXPECT_EQ(32, Player().Speed());
}

// ---------------------------------------------------------------------------
// Seeks the index cannot place, and a source clearing the buffer

TEST_F(ManualTest, ASeekClampedBeforeTheFirstKeyFrameShowsItInsteadOfSeekingForever)
{
    // The header's duration (300) ends before the first key frame (500).
    Rig.Context.Header.Duration = 300;
    Add(0, fkCursor, 10, 10, {});
    Add(300, fkCursor, 20, 20, {});
    AddKey(500, 0x336699);
    AddRect(600, 0xFFFFFF);
    Rig.CreatePlayer(FakeClock);
    Player().Pause();

    Player().Seek(1000);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_PAINT, 1, 3000));
    Player().Pause();
    EXPECT_EQ(500u, Player().LastSampleTime());
    EXPECT_EQ(2, Rig.Frames.CurrentIndex());
    RefDraw(2, 2);
    EXPECT_EQ("", Compare());

    // The thread is idle afterwards: no seek keeps going round.
    const uint64_t before = ThreadCpuMs(Player().Handle());
    Sleep(300);
    EXPECT_LT(ThreadCpuMs(Player().Handle()) - before, 60u);
    EXPECT_LE(Count(WM_ENGINE_POSITION), 1u);
}

TEST_F(ManualTest, ASourceClearingTheBufferNeverPairsAWaitingFrameWithTheNewKeyFrame)
{
    AddKey(0, 0x808080);
    AddRect(100, 0x00FFFF, fkXorRect);
    AddRect(200, 0xFF00FF, fkXorRect);  // waits, not yet due
    Rig.CreatePlayer(FakeClock);
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    Settle();
    AdvanceFakeTime(150);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    Sleep(30);

    // The source repositions: a new key group replaces everything.
    Rig.Frames.Clear();
    const size_t before = Records.size();
    AddKey(160, 0x204060);
    AddRect(170, 0xFFFF00, fkXorRect);
    AdvanceFakeTime(100);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    Sleep(30);
    Player().Pause();

    RefDraw(0, 1);
    RefDraw(before, before + 1);
    EXPECT_EQ("", Compare()) << "an exclusive-or frame met the wrong key frame";
    EXPECT_EQ(170u, Player().LastSampleTime());
    EXPECT_EQ(4u, Player().Rendered());
}

// ---------------------------------------------------------------------------
// A buffer whose target has no buffered key frame

TEST_F(ManualTest, AnAbnormalBufferIsLoggedAndDumpedAndAFailedDumpIsNotFatal)
{
    Rig.Index.AddEntry(50, false, 0);  // the key frame at 50 is not buffered
    AddRect(100, 0x111111);
    AddRect(200, 0x222222);
    Rig.CreatePlayer(FakeClock);
    Player().Pause();
    DeleteFileA(kDumpPath);

    uint64_t mark = LogMark();
    Player().Seek(150);
    Player().Pause();
    EXPECT_TRUE(WaitLogLines(mark, "Abnormal buffer：MinTimeStamp=100, DestKeyTime=50, msTime=150, "
                                   "MaxTimeStamp=200, FCurrentIndex=-1, FLastSampleTime=0",
                             1, kAfterLogMs));
    std::ifstream dump(kDumpPath, std::ios::binary);
    std::stringstream text;
    text << dump.rdbuf();
    EXPECT_EQ("0,100\r\n1,200\r\n", text.str());
    dump.close();
    Rig.Window.Sync();
    EXPECT_EQ(0u, Count(WM_ENGINE_PAINT)) << "nothing is drawn";
    EXPECT_EQ(1u, Count(WM_ENGINE_POSITION));

    // The dump cannot be written: logged, and the thread goes on.
    DeleteFileA(kDumpPath);
    ASSERT_TRUE(CreateDirectoryA(kDumpPath, nullptr));
    mark = LogMark();
    Player().Seek(120);
    Player().Pause();
    EXPECT_TRUE(WaitLogLines(mark, "DumpToFile", 1, kAfterLogMs));
    RemoveDirectoryA(kDumpPath);
    EXPECT_FALSE(Player().Finished());
    Player().Refresh();
    EXPECT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_PAINT, 1, 2000)) << "the thread still answers";
}

// ---------------------------------------------------------------------------
// Waiting: for records, for the next due frame (on the multimedia timer)

namespace {

// A source that counts the reads it is asked for and runs onRead on its own
// thread for each, as a source adds what it read.
class TCountingSource : public TReadThread {
public:
    explicit TCountingSource(PlaybackContext* context, std::function<void(int)> onRead = nullptr)
        : TReadThread(context), FOnRead(std::move(onRead))
    {
    }
    ~TCountingSource() override { EndThread(); }
    int Reads() const { return FReads.load(); }

protected:
    void HandleOpen() override {}
    void HandleRead(int32_t) override
    {
        const int n = FReads.fetch_add(1) + 1;
        if (FOnRead)
            FOnRead(n);
    }
    void HandleSeek(int32_t) override {}
    void HandleStop() override {}

private:
    std::function<void(int)> FOnRead;
    std::atomic<int> FReads{0};
};

} // namespace

struct WaitTest : ManualTest {
    TCountingSource* Source = nullptr;

    void UseSource(std::function<void(int)> onRead = nullptr)
    {
        auto source = std::make_unique<TCountingSource>(&Rig.Context, std::move(onRead));
        Source = source.get();
        Rig.Source = std::move(source);
        Rig.Context.Reader = Source;
    }
    // Plays a recording of duration from its key frame at 0; the source adds
    // one rectangle at time on its first read and then has nothing more.
    void PlayWithOneMoreRecord(uint32_t duration, uint32_t time)
    {
        Rig.Context.Header.Duration = duration;
        AddKey(0, 0x445566);
        UseSource([this, time](int n) {
            if (n == 1)
                AddRect(time, 0x0000FF);
        });
        Rig.CreatePlayer();
        Player().Play();
    }
    // Wake-ups of the play loop during ms of wall time.
    uint32_t WakeupsDuring(DWORD ms)
    {
        const uint32_t before = Player().Wakeups();
        Sleep(ms);
        return Player().Wakeups() - before;
    }
};

TEST_F(WaitTest, ARecordAddedToAnEmptyBufferIsPlayedWithoutAPoll)
{
    UseSource();
    AddKey(0, 0x203040);
    Rig.CreatePlayer();  // the multimedia timer
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    ASSERT_TRUE(WaitUntil([&] { return Source->Reads() == 1; }, 3000)) << "asked to read on once";

    // Nothing buffered: the thread sleeps, and the source is not asked again.
    EXPECT_LE(WakeupsDuring(300), 1u);
    EXPECT_EQ(1, Source->Reads());

    const uint32_t before = Player().Wakeups();
    AddRect(100, 0xFF0000);  // long due: the clock has run on meanwhile
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_PAINT, 2, 3000));
    EXPECT_LE(Player().Wakeups() - before, 2u) << "woken by the record, not by a timer";
    EXPECT_EQ(2u, Player().Rendered());
    RefDraw(0, 1);
    EXPECT_EQ("", Compare());

    // Dry again: the source is asked once more, and once only.
    ASSERT_TRUE(WaitUntil([&] { return Source->Reads() == 2; }, 3000));
    EXPECT_LE(WakeupsDuring(300), 1u);
    EXPECT_EQ(2, Source->Reads());
}

TEST_F(WaitTest, PauseSeekSpeedAndStopDuringALongWaitForADueFrameAreServedAtOnce)
{
    UseSource();
    AddKey(0, 0x102030);
    AddRect(60000, 0x00FF00);
    Rig.CreatePlayer();
    auto quick = [](const std::function<void()>& f) {
        const DWORD start = GetTickCount();
        f();
        return GetTickCount() - start;
    };

    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 3000));
    EXPECT_LE(WakeupsDuring(300), 1u) << "one wait until the frame at 60 s is due";
    const uint32_t during = Player().CurrentTime();
    EXPECT_GE(during, 250u) << "the position follows the timer while the thread waits";
    EXPECT_LT(during, 30000u);

    Player().Faster();
    EXPECT_TRUE(WaitUntil([&] { return Player().Speed() == 2; }, 500));
    EXPECT_LT(quick([&] { Player().Pause(); }), 500u);
    EXPECT_EQ(psPaused, Player().State());
    const uint32_t paused = Player().CurrentTime();
    EXPECT_GE(paused, during);
    Sleep(100);
    EXPECT_EQ(paused, Player().CurrentTime()) << "a paused clock stands";
    EXPECT_EQ(0, Rig.Frames.CurrentIndex());

    Player().Seek(60000);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 1000)) << "the seek draws the frame at once";

    // Playing on from the seek, the buffer is dry: a stop is served at once.
    Player().Play();
    Sleep(50);
    EXPECT_LT(quick([&] { Player().Stop(); }), 500u);
    EXPECT_EQ(psStopped, Player().State());
    EXPECT_EQ(0u, Player().CurrentTime());
    EXPECT_EQ(0u, Count(WM_ENGINE_END));
}

TEST_F(WaitTest, TheEndOfASourceWhileThePlayThreadWaitsEndsPlaybackAsBefore)
{
    // The source delivers the last record on the first read and then has no
    // more: the recording ends once that record is played.
    PlayWithOneMoreRecord(300, 300);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 3000));
    EXPECT_EQ(2u, Player().Rendered());
    EXPECT_EQ(psStopped, Player().State());
    EXPECT_EQ(300u, Player().LastSampleTime());
    Sleep(200);
    EXPECT_EQ(1u, Count(WM_ENGINE_END));
    EXPECT_EQ(1, Source->Reads());
    RefDraw(0, 1);
    EXPECT_EQ("", Compare());
}

TEST_F(WaitTest, ASourceThatEndsWithoutTheLastFrameLeavesThePlayThreadAsleep)
{
    // A stream without a duration, or a recording cut short: no END, and
    // the thread neither spins nor keeps asking the ended source.
    PlayWithOneMoreRecord(400, 50);
    ASSERT_TRUE(Rig.WaitCurrentIndex(1, 3000));
    ASSERT_TRUE(WaitUntil([&] { return Source->Reads() == 2; }, 3000));
    EXPECT_LE(WakeupsDuring(300), 1u);
    EXPECT_EQ(2, Source->Reads());
    EXPECT_EQ(psPlaying, Player().State());
    EXPECT_EQ(0u, Count(WM_ENGINE_END));
    // A record that comes later still plays.
    AddRect(400, 0xFF00FF);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 3000));
    EXPECT_EQ(3u, Player().Rendered());
}
