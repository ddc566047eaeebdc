// The multicast source and its receivers against the multicast sender peer
// (tests/peers/multicast_sender.py).
//
// Multicast datagrams must stay inside the test network namespace
// (scripts/netns.sh). Run normally, this program runs the tests that send
// nothing and then runs itself again inside the namespace (with a Wine
// prefix and wineserver of its own there) for the tests that receive a
// channel; inside, it runs only those.
#include <gtest/gtest.h>

#include "wtest_live_client_peers.h"

#include <mmsystem.h>

#include <cstdlib>
#include <cstring>

#include "NetnsRerun.h"
#include "OwnWindows.h"
#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "UnitLog.h"
#include "UnitMulticast.h"

using namespace qov;
using namespace qov::test;

namespace {

// Sending side and receiving side of the namespace's two networks.
const char* const kSendA = "10.77.0.1";
const char* const kRecvA = "10.77.0.2";
const char* const kSendB = "10.78.0.1";
const char* const kRecvB = "10.78.0.2";

// A play thread stand-in that notes the WM_ENGINE_SHOW indexes it is sent.
class TShowRecorder : public TThread {
public:
    TShowRecorder() { StartThread(); }
    ~TShowRecorder() override { EndThread(); }
    std::vector<int32_t> Shows()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FShows;
    }

protected:
    void Execute() override
    {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_ENGINE_SHOW) {
                std::lock_guard<std::mutex> l(FLock);
                FShows.push_back(int32_t(msg.wParam));
            }
        }
    }

private:
    std::mutex FLock;
    std::vector<int32_t> FShows;
};

std::string WriteChannelFile(const std::string& name, const std::string& body)
{
    const std::string path = ScratchPath(name);
    std::ofstream(path, std::ios::binary) << body;
    char full[MAX_PATH];
    GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

// Today's daily log of this program.
std::string TodaysLog()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d.log", now.wYear, now.wMonth, now.wDay);
    return ReadWholeFile(Log().LogFolder() + "\\" + name);
}

HWND FindErrorBox()
{
    return FindOwnWindow("#32770", kReceiveErrorCaption);
}

class MulticastSource : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        using namespace qov::writer;
        TRecordingWriter w(400, 300, kVersion0101);
        w.AddKeyFrame(0, MakeScreenPicture(400, 300, 21), ctZlib);          // several packets
        w.AddCopyRect(40, 16, 24, MakeScreenPicture(120, 60, 22), ctStored);  // several packets
        w.AddCursorMove(60, 50, 60);                                          // one packet
        w.AddXorRect(80, 100, 80, MakeScreenPicture(48, 48, 23), ctLZO1X);
        w.AddMarker(100);
        w.AddKeyFrame(120, MakeScreenPicture(400, 300, 24), ctJPEG);
        w.AddCopyRect(160, 0, 0, MakeScreenPicture(400, 20, 25), ctZlib);
        w.AddKeyFrame(200, MakeScreenPicture(400, 300, 26), ctLZO1X);
        w.AddCursorMove(240, 10, 10);
        s_frames = new std::vector<std::vector<uint8_t>>();
        for (const auto& f : w.Frames()) {
            auto rec = MakeFrameRecord(f.Header, f.Payload);
            s_frames->emplace_back(rec.begin(), rec.end());
        }
        w.Save(ScratchPath("cast_peer.qov"));
    }
    static void TearDownTestSuite()
    {
        delete s_frames;
        s_frames = nullptr;
    }

    void SetUp() override
    {
        if (!InNetworkNamespace())
            GTEST_SKIP() << "receives multicast: runs inside the test network namespace";
        // A port of its own per test: nothing of an earlier test arrives.
        static int serial = 0;
        FPort = 17000 + int(GetCurrentProcessId() % 500) * 8 + serial++ % 8;
        FChannel = WriteChannelFile("cast.sms", "[Address]\r\nip=238.1.2.3\r\nport=" + std::to_string(FPort) + "\r\n");
    }

    void StartSender(const std::string& options, const std::string& recording = "cast_peer.qov")
    {
        std::string why;
        const std::string args = "--group 238.1.2.3 --port " + std::to_string(FPort) + " --recording " +
                                 UnixPath(ScratchPath(recording)) + " " + options;
        ASSERT_TRUE(FSender.Start("multicast_sender.py", args, &why)) << why;
    }
    // Opens the channel, waits until every receiver has joined, sends.
    void OpenAndSend(TQovMulticastStream& stream)
    {
        stream.Open(FChannel);
        ASSERT_TRUE(FWindow.PumpUntil(
            [&] {
                for (size_t i = 0; i < stream.ReceiverCount(); ++i)
                    if (!stream.Receiver(i)->Receiving())
                        return false;
                return stream.ReceiverCount() > 0;
            },
            5000));
        FWindow.Pump(200);
        ASSERT_EQ(FSender.Ask("go"), "ok");
    }
    // Waits for the sender to finish and for as many records as expected
    // (the receiver may be far behind on a loaded machine), then a little
    // longer for any record too many; the records buffered must then equal
    // the given frames of the recording, in order.
    void ExpectFramesSent(TContextHolder& ctx, const std::vector<size_t>& which)
    {
        FSender.Ask("wait");
        FWindow.PumpUntil([&] { return ctx.Frames.Count() >= int32_t(which.size()); }, 15000);
        FWindow.Pump(300);
        ExpectFrames(ctx, which);
    }
    // The records buffered equal the given frames of the recording, in order.
    void ExpectFrames(TContextHolder& ctx, const std::vector<size_t>& which)
    {
        ASSERT_EQ(ctx.Frames.Count(), int32_t(which.size()));
        for (size_t i = 0; i < which.size(); ++i)
            EXPECT_EQ(ctx.Record(int32_t(i)), (*s_frames)[which[i]]) << "record " << i;
    }
    std::vector<size_t> AllBut(std::vector<size_t> dropped)
    {
        std::vector<size_t> out;
        for (size_t i = 0; i < s_frames->size(); ++i)
            if (std::find(dropped.begin(), dropped.end(), i) == dropped.end())
                out.push_back(i);
        return out;
    }

    static std::vector<std::vector<uint8_t>>* s_frames;
    TWinsock FWinsock;
    TDecoderReference FDecoder;
    TMessageWindow FWindow;
    TPeer FSender;
    int FPort = 0;
    std::string FChannel;
};

std::vector<std::vector<uint8_t>>* MulticastSource::s_frames = nullptr;

} // namespace

// ---------------------------------------------------------------------------
// Outside the namespace: the tests that send nothing, and the namespace run.

TEST(MulticastNamespace, ChannelReceptionRunsInsideTheNetworkNamespace)
{
    if (InNetworkNamespace())
        GTEST_SKIP() << "already inside";
    const TNamespaceRun run = RunSelfInNetworkNamespace("MulticastSource.*");
    if (run.Code == kNamespaceUnavailable)
        GTEST_SKIP() << "multicast reception not tested: " << run.Log;
    std::printf("---- inside the network namespace ----\n%s---- end ----\n", run.Log.c_str());
    EXPECT_EQ(run.Code, 0);
    EXPECT_NE(run.Log.find("[  PASSED  ]"), std::string::npos);
    EXPECT_EQ(run.Log.find("SKIPPED"), std::string::npos);
}

TEST(MulticastNamespace, SenderRefusesToRunOutsideTheNamespace)
{
    if (InNetworkNamespace())
        GTEST_SKIP() << "inside";
    TWinsock winsock;
    TPeer sender;
    std::string why;
    EXPECT_FALSE(sender.Start("multicast_sender.py", "--group 238.1.2.3 --port 17000", &why));
    EXPECT_NE(why.find("refused: not inside a test network namespace"), std::string::npos) << why;
}

TEST(MulticastChannelFile, InvalidFilesReportCode9)
{
    TWinsock winsock;
    TMessageWindow window;
    TContextHolder ctx(window.Handle());
    TQovMulticastStream stream(&ctx.Context, std::vector<std::string>{});
    const std::vector<std::string> files = {
        WriteChannelFile("bad1.sms", "[Address]\r\nip=238.0.0.1\r\nport=0\r\n"),
        WriteChannelFile("bad2.sms", "[Other]\r\nip=238.0.0.1\r\nport=6000\r\n"),
        WriteChannelFile("bad3.sms", "[Address]\r\nip=\r\nport=6000\r\n"),
        WriteChannelFile("bad4.sms", "[Address]\r\nip=238.0.0.1\r\nport=six\r\n"),
        ScratchPath("missing.sms"),
    };
    for (const auto& f : files) {
        window.Clear();
        stream.Open(f);
        ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_ENGINE_STATUS) == 1; }, 5000)) << f;
        EXPECT_EQ(window.Messages(WM_ENGINE_STATUS)[0].WParam, WPARAM(ecInvalidMulticastFile)) << f;
        EXPECT_EQ(window.Count(WM_ENGINE_OPENED), 0u);
        EXPECT_EQ(stream.Kind(), skMulticast);
    }
}

TEST(MulticastChannelFile, NoInterfaceOrNoWorkingReceiverIsCode1WithALogLine)
{
    TWinsock winsock;
    TMessageWindow window;
    TContextHolder ctx(window.Handle());
    TQovMulticastStream stream(&ctx.Context, std::vector<std::string>{});
    EXPECT_EQ(stream.ReceiverCount(), 0u);
    stream.Open(WriteChannelFile("good.sms", "[Address]\r\nip=238.0.0.1\r\nport=6000\r\n"));
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_ENGINE_STATUS) == 1; }, 5000));
    EXPECT_EQ(window.Messages(WM_ENGINE_STATUS)[0].WParam, WPARAM(ecFileDamaged));
    EXPECT_NE(TodaysLog().find(std::string(kMulticastReadFailure) + "No network interface"), std::string::npos);
    // The source still answers.
    stream.Stop();

    // Its only receiver fails (an address not of this machine cannot be bound).
    TContextHolder failing(window.Handle());
    TQovMulticastStream alone(&failing.Context, {"192.0.2.1"});
    window.Clear();
    alone.Open(WriteChannelFile("good.sms", "[Address]\r\nip=238.0.0.1\r\nport=6000\r\n"));
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_ENGINE_STATUS) == 1; }, 10000));
    EXPECT_EQ(window.Messages(WM_ENGINE_STATUS)[0].WParam, WPARAM(ecFileDamaged));
    EXPECT_NE(TodaysLog().find(std::string(kMulticastReadFailure) + "No receiver is left"), std::string::npos);
    window.PumpUntil([] { return FindErrorBox() != nullptr; }, 10000);
    if (HWND box = FindErrorBox())
        PostMessageA(box, WM_CLOSE, 0, 0);
}

TEST(MulticastReceiver, SocketFailureIsShownWithoutBlockingTheHandShake)
{
    TWinsock winsock;
    TReceiveThread receiver;
    receiver.SetInterface("10.99.0.1");  // not an address of this machine: bind fails
    receiver.SetPort(6000);
    receiver.StartReceiving();
    TMessageWindow window;
    // The warning box comes from a thread of its own...
    ASSERT_TRUE(window.PumpUntil([] { return FindErrorBox() != nullptr; }, 30000));
    // ...while the receiver goes on answering (a box on its own thread would
    // hold these hand-shakes until it is closed).
    EXPECT_TRUE(receiver.Receiving());
    const DWORD start = timeGetTime();
    receiver.StartReceiving();  // already receiving: answered at once
    receiver.StopReceiving();
    EXPECT_LT(timeGetTime() - start, 10000u);
    EXPECT_FALSE(receiver.Receiving());
    const std::string log = TodaysLog();
    EXPECT_TRUE(log.find("UnitRecieve -> 绑定失败 ：") != std::string::npos ||
                log.find("UnitRecieve -> 加入多播组失败：") != std::string::npos);
    if (HWND box = FindErrorBox())
        PostMessageA(box, WM_CLOSE, 0, 0);
}

// ---------------------------------------------------------------------------
// Inside the namespace.

TEST_F(MulticastSource, FirstKeyFrameOpensAndBlocksArriveByteExact)
{
    StartSender("--interface " + std::string(kSendA) + " --lead-delta");
    TContextHolder ctx(FWindow.Handle());
    ctx.Context.Header.Duration = 12345;  // left from an earlier recording
    TQovMulticastStream stream(&ctx.Context, {kRecvA});
    OpenAndSend(stream);
    // The delta sent first was dropped; everything from the key frame on came.
    std::vector<size_t> expected = {0};
    for (size_t i = 2; i < s_frames->size(); ++i)
        expected.push_back(i);
    ExpectFramesSent(ctx, expected);
    ASSERT_EQ(FWindow.Count(WM_ENGINE_OPENED), 1u);
    EXPECT_EQ(FWindow.Messages(WM_ENGINE_OPENED)[0].WParam, 0u);
    EXPECT_EQ(FWindow.Count(WM_ENGINE_STATUS), 0u);
    EXPECT_EQ(ctx.Context.Header.Width, 400);
    EXPECT_EQ(ctx.Context.Header.Height, 300);
    EXPECT_EQ(ctx.Context.Header.Duration, 0u);
    EXPECT_EQ(ctx.Index.Count(), 3);
    EXPECT_EQ(ctx.Index.FirstKeyTime(), 0);
    EXPECT_EQ(ctx.Index.FindKeyTime(199), 120);
    EXPECT_EQ(stream.Kind(), skMulticast);
    EXPECT_EQ(stream.StreamState(), 2);
    EXPECT_GT(stream.GetBitRate(), 0u);
    EXPECT_EQ(stream.Receiver(0)->DroppedBlocks(), 0u);
}

TEST_F(MulticastSource, UndecodableFirstKeyFrameIsSkippedAndTheNextOneOpens)
{
    using namespace qov::writer;
    TRecordingWriter w(320, 240, kVersion0101);
    w.AddFrame(0, fkKeyFrame, ctZlib, 0, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8});  // not zlib
    w.AddKeyFrame(40, MakeScreenPicture(320, 240, 3), ctZlib);
    w.Save(ScratchPath("cast_badkey.qov"));
    StartSender("--interface " + std::string(kSendA), "cast_badkey.qov");
    TContextHolder ctx(FWindow.Handle());
    TQovMulticastStream stream(&ctx.Context, {kRecvA});
    OpenAndSend(stream);
    ASSERT_TRUE(FWindow.PumpUntil([&] { return FWindow.Count(WM_ENGINE_OPENED) == 1; }, 5000));
    EXPECT_EQ(FWindow.Count(WM_ENGINE_STATUS), 0u);
    EXPECT_NE(TodaysLog().find(kMulticastReadFailure), std::string::npos);
    ASSERT_EQ(ctx.Frames.Count(), 1);
    EXPECT_EQ(RecordHeader(ctx.Record(0).data()).Time, 40u);
    EXPECT_EQ(ctx.Context.Header.Width, 320);
}

TEST_F(MulticastSource, InterleavedOrLostPacketsLoseOnlyThatBlock)
{
    for (const char* mode : {"interleave", "lose", "dup-packet"}) {
        FSender.Quit();
        FWindow.Clear();
        StartSender("--interface " + std::string(kSendA) + " --mode " + mode);
        TContextHolder ctx(FWindow.Handle());
        TQovMulticastStream stream(&ctx.Context, {kRecvA});
        OpenAndSend(stream);
        ExpectFramesSent(ctx, AllBut({1}));
        if (std::string(mode) == "dup-packet") {
            // More bytes than the block holds: dropped, nothing written past it.
            EXPECT_EQ(stream.Receiver(0)->DroppedBlocks(), 0u) << mode;
            EXPECT_EQ(stream.Receiver(0)->MalformedBlocks(), 1u) << mode;
        } else {
            EXPECT_EQ(stream.Receiver(0)->DroppedBlocks(), 1u) << mode;  // one beep
        }
        EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 1u) << mode;
        stream.Stop();
    }
}

TEST_F(MulticastSource, RepeatedBlocksStrayDatagramsReusedIdsAndTrailingBytesLoseNothing)
{
    for (const char* mode : {"repeat", "stray", "reuse-ids", "trailing"}) {
        FSender.Quit();
        StartSender("--interface " + std::string(kSendA) + " --mode " + mode);
        TContextHolder ctx(FWindow.Handle());
        TQovMulticastStream stream(&ctx.Context, {kRecvA});
        OpenAndSend(stream);
        ExpectFramesSent(ctx, AllBut({}));
        EXPECT_EQ(stream.Receiver(0)->DroppedBlocks(), 0u) << mode;
        EXPECT_TRUE(stream.Receiver(0)->Receiving()) << mode;
    }
}

TEST_F(MulticastSource, SameBlockOnTwoInterfacesIsAppliedOnce)
{
    StartSender("--interface " + std::string(kSendA) + " --interface " + kSendB);
    TContextHolder ctx(FWindow.Handle());
    TQovMulticastStream stream(&ctx.Context, {kRecvA, kRecvB});
    ASSERT_EQ(stream.ReceiverCount(), 2u);
    OpenAndSend(stream);
    ExpectFramesSent(ctx, AllBut({}));
    // The copies from the other interface are counted as they come.
    EXPECT_TRUE(FWindow.PumpUntil([&] { return stream.RepeatedBlocks() >= uint32_t(s_frames->size() - 1); }, 5000))
        << stream.RepeatedBlocks();
}

TEST_F(MulticastSource, ReopenTakesNothingFromTheEarlierOpen)
{
    StartSender("--interface " + std::string(kSendA));
    // The second run is ready before the first ends, so that its blocks (whose
    // ids start at 1 again) come well within the repeat window.
    TPeer again;
    std::string why;
    ASSERT_TRUE(again.Start("multicast_sender.py",
                            "--group 238.1.2.3 --port " + std::to_string(FPort) + " --recording " +
                                UnixPath(ScratchPath("cast_peer.qov")) + " --interface " + kSendA,
                            &why))
        << why;
    TContextHolder ctx(FWindow.Handle());
    TQovMulticastStream stream(&ctx.Context, {kRecvA});
    OpenAndSend(stream);
    FSender.Ask("wait");
    const int32_t all = int32_t(s_frames->size());
    ASSERT_TRUE(FWindow.PumpUntil([&] { return ctx.Frames.Count() == all; }, 5000));
    stream.Stop();
    ctx.Frames.Clear();
    ctx.Index.Clear();

    // A key frame of another picture size left queued after the stop.
    using namespace qov::writer;
    TRecordingWriter other(200, 100, kVersion0101);
    other.AddKeyFrame(0, MakeScreenPicture(200, 100, 5), ctStored);
    const auto record = MakeFrameRecord(other.Frames()[0].Header, other.Frames()[0].Payload);
    TCastBlock stale;
    stale.Id = 1;
    stale.Length = uint32_t(record.size());
    stale.Data = TFrameRecordPtr(static_cast<uint8_t*>(std::malloc(record.size())));
    std::memcpy(stale.Data.get(), record.data(), record.size());
    stream.Receiver(0)->PushBlock(std::move(stale));

    FWindow.Clear();
    stream.Open(FChannel);
    ASSERT_TRUE(FWindow.PumpUntil([&] { return stream.Receiver(0)->Receiving(); }, 5000));
    FWindow.Pump(200);
    ASSERT_EQ(again.Ask("go"), "ok");
    again.Ask("wait");
    ASSERT_TRUE(FWindow.PumpUntil([&] { return ctx.Frames.Count() == all; }, 5000)) << ctx.Frames.Count();
    FWindow.Pump(200);
    ExpectFrames(ctx, AllBut({}));
    EXPECT_EQ(ctx.Context.Header.Width, 400);
    EXPECT_EQ(ctx.Context.Header.Height, 300);
    EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 1u);
    EXPECT_EQ(stream.RepeatedBlocks(), 0u);
}

TEST_F(MulticastSource, MachineInterfacesGetOneReceiverEach)
{
    StartSender("--interface " + std::string(kSendA) + " --interface " + kSendB);
    TContextHolder ctx(FWindow.Handle());
    TQovMulticastStream stream(&ctx.Context);
    // Loopback skipped; the namespace's four addresses are four interfaces.
    const auto& list = stream.Interfaces();
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(std::count(list.begin(), list.end(), "127.0.0.1"), 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), kRecvA), 1);
    EXPECT_EQ(std::count(list.begin(), list.end(), kRecvB), 1);
    EXPECT_EQ(stream.ReceiverCount(), list.size());
    OpenAndSend(stream);
    ExpectFramesSent(ctx, AllBut({}));
}

TEST_F(MulticastSource, SeekTargetIsShownWhenItsFrameArrives)
{
    StartSender("--interface " + std::string(kSendA) + " --loop --pace-ms 5");
    TContextHolder ctx(FWindow.Handle());
    TShowRecorder player;
    ctx.Context.Player = &player;
    TQovMulticastStream stream(&ctx.Context, {kRecvA});
    OpenAndSend(stream);
    ASSERT_TRUE(FWindow.PumpUntil([&] { return FWindow.Count(WM_ENGINE_OPENED) == 1; }, 5000));
    const uint32_t target = uint32_t(ctx.Frames.MaxTimeStamp()) + 1000;
    stream.Seek(int32_t(target));
    ASSERT_TRUE(FWindow.PumpUntil([&] { return !player.Shows().empty(); }, 10000));
    FWindow.Pump(300);
    const auto shows = player.Shows();
    ASSERT_EQ(shows.size(), 1u);  // once per read
    const auto shown = ctx.Record(shows[0]);
    const auto before = ctx.Record(shows[0] - 1);
    EXPECT_GE(RecordHeader(shown.data()).Time, target);
    EXPECT_LT(RecordHeader(before.data()).Time, target);
    // A stop answers while the channel keeps sending (a receiver that waited
    // for its datagrams to pause would never answer).
    const DWORD start = timeGetTime();
    stream.Stop();
    EXPECT_LT(timeGetTime() - start, 5000u);
    EXPECT_FALSE(stream.Receiver(0)->Receiving());
    FSender.Ask("stop");
}
