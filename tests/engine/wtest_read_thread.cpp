// The source thread framework: message dispatch, the stop protocol, sent
// texts, failures escaping a handler, the rate meter.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "FrameStore.h"
#include "SourceTestSupport.h"
#include "TestWindow.h"
#include "UnitQovCore.h"

using namespace qov;
using namespace qov::test;

namespace {

constexpr int32_t kBlockingRead = 4242;  // a read that runs until a message waits
constexpr int32_t kStalledRead = 4343;   // a read held up until the test lets it go

// A source whose handlers only record what they were asked.
class TProbeThread : public TReadThread {
public:
    explicit TProbeThread(PlaybackContext* context) : TReadThread(context) {}
    ~TProbeThread() override { EndThread(); }

    std::atomic<int> Opens{0};
    std::atomic<int> Stops{0};
    std::atomic<DWORD> StopDelay{0};
    std::atomic<bool> FailRead{false};
    std::atomic<bool> BlockingReadReturned{false};
    std::atomic<bool> Stall{false};

    std::vector<int32_t> Reads() const { std::lock_guard<std::mutex> l(FLock); return FReads; }
    std::vector<int32_t> Seeks() const { std::lock_guard<std::mutex> l(FLock); return FSeeks; }
    std::vector<std::string> Texts() const { std::lock_guard<std::mutex> l(FLock); return FTexts; }

    bool WaitReads(size_t n, DWORD ms) const
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(2))
            if (Reads().size() >= n)
                return true;
        return Reads().size() >= n;
    }

protected:
    void HandleOpen() override { ++Opens; }
    void HandleRead(int32_t target) override
    {
        {
            std::lock_guard<std::mutex> l(FLock);
            FReads.push_back(target);
        }
        if (FailRead)
            throw Exception("probe read failure");
        if (target == kBlockingRead) {
            while (!MessageWaiting())
                Sleep(1);
            BlockingReadReturned = true;
        }
        while (target == kStalledRead && Stall)
            Sleep(1);
    }
    void HandleSeek(int32_t ms) override
    {
        std::lock_guard<std::mutex> l(FLock);
        FSeeks.push_back(ms);
    }
    void HandleStop() override
    {
        Sleep(StopDelay);
        ++Stops;
    }
    void HandleSendText(const MSG& msg) override
    {
        std::lock_guard<std::mutex> l(FLock);
        FTexts.emplace_back(reinterpret_cast<const char*>(msg.wParam), static_cast<size_t>(msg.lParam));
    }

private:
    mutable std::mutex FLock;
    std::vector<int32_t> FReads;
    std::vector<int32_t> FSeeks;
    std::vector<std::string> FTexts;
};

class ReadThreadTest : public ::testing::Test {
protected:
    ReadThreadTest()
    {
        FContext.Frames = &FFrames;
        FContext.KeyFrames = &FKeys;
        FContext.Index = &FIndex;
        FContext.Window = FWindow.Handle();
    }

    TTestWindow FWindow;
    TFramesBuffer FFrames;
    TKeyFramesBuffer FKeys;
    TIndexTable FIndex;
    PlaybackContext FContext;
};

bool WaitTrue(const std::function<bool()>& f, DWORD ms)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(2))
        if (f())
            return true;
    return f();
}

} // namespace

TEST_F(ReadThreadTest, EachMessageReachesItsHandlerInOrder)
{
    TProbeThread probe(&FContext);
    probe.Open("c:\\a.qov", "line 1\r\nline 2");
    probe.Read(1234);
    probe.Seek(500);
    probe.Read(-1);
    ASSERT_TRUE(probe.WaitReads(2, 2000));
    EXPECT_EQ(probe.Opens.load(), 1);
    EXPECT_EQ(probe.Reads(), (std::vector<int32_t>{1234, -1}));
    EXPECT_EQ(probe.Seeks(), (std::vector<int32_t>{500}));
    EXPECT_EQ(probe.Locator(), "c:\\a.qov");
    EXPECT_EQ(probe.ExtraText(), "line 1\r\nline 2");
    EXPECT_EQ(probe.Kind(), skNone);
    EXPECT_EQ(probe.StreamState(), 0);
    EXPECT_EQ(probe.Capacity(), kReceiveBufferSize);
    EXPECT_EQ(FWindow.Messages().All().size(), 0u);
}

TEST_F(ReadThreadTest, AbstractHandlerFailsLoudlyAndEndsTheLoop)
{
    const uint64_t mark = LogMark();
    TReadThread bare(&FContext);
    bare.Open("c:\\a.qov");
    auto status = FWindow.Messages().WaitFor(WM_ENGINE_STATUS, kAfterLogMs);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->WParam, WPARAM(6));
    EXPECT_TRUE(WaitLogLines(mark, "TReadThread.HandleOpen -> Abstract Error", 1, kAfterLogMs));
    EXPECT_EQ(WaitForSingleObject(bare.Handle(), kAfterLogMs), WAIT_OBJECT_0) << "the loop ends after the failure";

    // Later requests find the thread gone: a stop returns at once, a text
    // is freed by the sender.
    const DWORD start = GetTickCount();
    bare.Stop();
    EXPECT_LT(GetTickCount() - start, 200u);
    bare.SendText("after the end");
    bare.Read(-1);
}

TEST_F(ReadThreadTest, FailingReadReportsCodeSixUnlessStopping)
{
    {
        const uint64_t mark = LogMark();
        TProbeThread probe(&FContext);
        probe.FailRead = true;
        probe.Read(7);
        auto status = FWindow.Messages().WaitFor(WM_ENGINE_STATUS, kAfterLogMs);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->WParam, WPARAM(kHandlerFailureStatus));
        EXPECT_TRUE(WaitLogLines(mark, "TReadThread.HandleRead -> probe read failure", 1, kAfterLogMs));
        EXPECT_EQ(WaitForSingleObject(probe.Handle(), kAfterLogMs), WAIT_OBJECT_0);
    }
    FWindow.Messages().Clear();
    {
        const uint64_t mark = LogMark();
        TProbeThread probe(&FContext);
        probe.Stop();
        EXPECT_TRUE(probe.Stopping());
        probe.FailRead = true;
        probe.Read(8);
        EXPECT_TRUE(WaitLogLines(mark, "TReadThread.HandleRead -> probe read failure", 1, kAfterLogMs))
            << "logged even while stopping";
        EXPECT_EQ(WaitForSingleObject(probe.Handle(), kAfterLogMs), WAIT_OBJECT_0);
        Sleep(100);
        EXPECT_EQ(FWindow.Messages().Count(WM_ENGINE_STATUS), 0u) << "nothing reported while stopping";
        probe.Open("x.qov");
        EXPECT_FALSE(probe.Stopping()) << "Open clears stopping";
    }
}

TEST_F(ReadThreadTest, NegativeSeekIsARangeError)
{
    const uint64_t mark = LogMark();
    TProbeThread probe(&FContext);
    EXPECT_THROW(probe.Seek(-1), ERangeError);
    probe.Post(WM_ENGINE_SEEK, static_cast<WPARAM>(-5));
    auto status = FWindow.Messages().WaitFor(WM_ENGINE_STATUS, kAfterLogMs);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->WParam, WPARAM(6));
    EXPECT_TRUE(WaitLogLines(mark, "TReadThread.HandleSeek -> Range check error", 1, kAfterLogMs));
    EXPECT_TRUE(probe.Seeks().empty());
}

TEST_F(ReadThreadTest, StopReturnsOnlyAfterItsOwnThreadHandledIt)
{
    TProbeThread slow(&FContext);
    TProbeThread other(&FContext);
    slow.StopDelay = 300;
    std::atomic<bool> done{false};
    // Another source being stopped over and over must not release the wait.
    std::thread noise([&] {
        while (!done)
            other.Stop();
    });
    const DWORD start = GetTickCount();
    slow.Stop();
    const DWORD spent = GetTickCount() - start;
    done = true;
    noise.join();
    EXPECT_GE(spent, 280u);
    EXPECT_EQ(slow.Stops.load(), 1);
    EXPECT_GT(other.Stops.load(), 1);
    // Nothing machine-wide is involved.
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "TReadThread"), nullptr);
}

TEST_F(ReadThreadTest, SentTextIsHandledOnceAndDoesNotReleaseTheNextStop)
{
    TProbeThread probe(&FContext);
    probe.SendText(std::string("A\0B\xB0\xA1", 5));
    ASSERT_EQ(WaitForSingleObject(probe.TextEvent(), 3000), WAIT_OBJECT_0);
    ASSERT_TRUE(probe.WaitReads(1, 2000)) << "a read on follows a sent text";
    EXPECT_EQ(probe.Texts(), (std::vector<std::string>{std::string("A\0B\xB0\xA1", 5)}));
    EXPECT_EQ(probe.Reads(), (std::vector<int32_t>{-1}));

    // A second text's acknowledgement is never waited for...
    probe.SendText("second");
    ASSERT_TRUE(WaitTrue([&] { return probe.Texts().size() == 2; }, 2000));
    Sleep(50);
    // ...and must not make this stop return before its handler ran.
    probe.StopDelay = 300;
    const DWORD start = GetTickCount();
    probe.Stop();
    EXPECT_GE(GetTickCount() - start, 280u);
    EXPECT_EQ(probe.Stops.load(), 1);
}

TEST_F(ReadThreadTest, EmptyTextPostsNothing)
{
    TProbeThread probe(&FContext);
    probe.SendText("");
    probe.Seek(1);  // a marker behind anything SendText might have posted
    ASSERT_TRUE(WaitTrue([&] { return probe.Seeks().size() == 1; }, 2000));
    Sleep(50);
    EXPECT_TRUE(probe.Texts().empty());
    EXPECT_TRUE(probe.Reads().empty()) << "no read on after an empty text";
    EXPECT_EQ(WaitForSingleObject(probe.TextEvent(), 0), DWORD(WAIT_TIMEOUT));
}

TEST_F(ReadThreadTest, StopsFromTwoCallersAreBothServed)
{
    TProbeThread probe(&FContext);
    probe.StopDelay = 100;
    std::atomic<int> seenAtReturn1{0}, seenAtReturn2{0};
    std::thread a([&] { probe.Stop(); seenAtReturn1 = probe.Stops.load(); });
    std::thread b([&] { probe.Stop(); seenAtReturn2 = probe.Stops.load(); });
    a.join();
    b.join();
    EXPECT_EQ(probe.Stops.load(), 2);
    EXPECT_GE(seenAtReturn1.load(), 1);
    EXPECT_GE(seenAtReturn2.load(), 1);
    EXPECT_EQ(std::max(seenAtReturn1.load(), seenAtReturn2.load()), 2);
}

TEST_F(ReadThreadTest, QueuedReadMakesTheRunningReadReturn)
{
    TProbeThread probe(&FContext);
    probe.Read(kBlockingRead);
    ASSERT_TRUE(probe.WaitReads(1, 2000));
    Sleep(50);
    EXPECT_FALSE(probe.BlockingReadReturned.load());
    probe.Read(77);
    ASSERT_TRUE(probe.WaitReads(2, 2000));
    EXPECT_TRUE(probe.BlockingReadReturned.load());
    EXPECT_EQ(probe.Reads(), (std::vector<int32_t>{kBlockingRead, 77}));
}

TEST_F(ReadThreadTest, ReadOnRequestsWaitOnlyOnceWhileTheSourceIsHeldUp)
{
    TProbeThread probe(&FContext);
    probe.Stall = true;
    probe.Read(kStalledRead);
    ASSERT_TRUE(probe.WaitReads(1, 2000));
    // The play thread asks for more every 10 ms while its buffer is empty: a
    // source held up in one read must not collect more requests than a
    // queue holds (the asker would then wait inside its post).
    for (int i = 0; i < 12000; ++i)
        probe.Read(-1);
    probe.Stall = false;
    ASSERT_TRUE(probe.WaitReads(2, 5000));
    probe.Read(-1);  // served, so asked again
    ASSERT_TRUE(probe.WaitReads(3, 5000));
    probe.Stop();
    EXPECT_EQ(probe.Reads(), (std::vector<int32_t>{kStalledRead, -1, -1}));
}

namespace {
std::atomic<DWORD> gMeterNow{0};
DWORD MeterClock() { return gMeterNow.load(); }
} // namespace

TEST_F(ReadThreadTest, BitRateIsKilobitsPerSecondSinceTheLastCall)
{
    TProbeThread probe(&FContext);
    gMeterNow = 10000;
    probe.SetMeterClock(&MeterClock);
    probe.Seek(0);  // starts the loop, which starts the meter at 10000
    ASSERT_TRUE(WaitTrue([&] { return probe.Seeks().size() == 1; }, 2000));

    probe.AddToMeter(125000);
    gMeterNow = 11000;
    EXPECT_EQ(probe.GetBitRate(), 1000u);

    // Within the same millisecond: 0, and the meter keeps its bytes.
    probe.AddToMeter(1000);
    EXPECT_EQ(probe.GetBitRate(), 0u);
    gMeterNow = 11002;
    EXPECT_EQ(probe.GetBitRate(), 4000u);  // 1000 bytes x 8 over 2 ms
    gMeterNow = 11003;
    EXPECT_EQ(probe.GetBitRate(), 0u);  // restarted: no bytes since
}
