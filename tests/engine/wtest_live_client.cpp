// The live broadcast client against the live service peer
// (tests/peers/live_server.py): login, streaming into the frame store,
// notifications, status codes, keep-alives, requests and stopping.
#include <gtest/gtest.h>

#include "wtest_live_client_peers.h"

#include <mmsystem.h>

#include "QovWriter.h"
#include "RecordingFixtures.h"

using namespace qov;
using namespace qov::test;

namespace {

// A peer's log: one entry per message a client sent it.
struct TPeerLine {
    int Ms;
    int Connection;
    int Type;
    std::string Text;
};

std::vector<TPeerLine> ReadPeerLog(const std::string& windowsPath)
{
    std::vector<TPeerLine> lines;
    std::istringstream in(ReadWholeFile(windowsPath));
    std::string line;
    while (std::getline(in, line)) {
        TPeerLine l{};
        std::istringstream fields(line);
        fields >> l.Ms >> l.Connection >> l.Type;
        std::string rest;
        std::getline(fields, rest);
        if (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
        for (size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) {
                const char c = rest[++i];
                l.Text += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
            } else {
                l.Text += rest[i];
            }
        }
        lines.push_back(l);
    }
    return lines;
}

class LiveClient : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // A small recording of every frame kind and compression.
        using namespace qov::writer;
        TRecordingWriter w(320, 240, kVersion0101);
        const TPicture screen = MakeScreenPicture(320, 240, 7);
        w.AddKeyFrame(0, screen, ctZlib, 10, 10);
        w.AddCopyRect(40, 16, 24, MakeScreenPicture(64, 32, 8), ctLZO1X, 20, 20);
        w.AddCursorShape(60, 30, 40, MakeArrowCursor(32));
        w.AddCursorMove(80, 50, 60);
        w.AddXorRect(120, 100, 80, MakeScreenPicture(48, 48, 9), ctStored);
        w.AddMarker(160);
        w.AddKeyFrame(200, MakeScreenPicture(320, 240, 10), ctJPEG);
        w.AddCopyRect(240, 0, 0, MakeScreenPicture(320, 16, 11), ctZlib);
        w.AddCursorHide(280);
        w.AddKeyFrame(320, MakeScreenPicture(320, 240, 12), ctStored);
        s_recording = new std::vector<std::vector<uint8_t>>();
        for (const auto& f : w.Frames()) {
            auto rec = MakeFrameRecord(f.Header, f.Payload);
            s_recording->emplace_back(rec.begin(), rec.end());
        }
        w.Save(ScratchPath("live_peer.qov"));
    }
    static void TearDownTestSuite()
    {
        delete s_recording;
        s_recording = nullptr;
    }

    void SetUp() override
    {
        FLogPath = ScratchPath("live_peer_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log");
        DeleteFileA(FLogPath.c_str());
    }

    // Starts the service with more options; the recording and the log are given.
    void StartPeer(const std::string& options)
    {
        std::string why;
        const std::string args = "--recording " + UnixPath(ScratchPath("live_peer.qov")) + " --log " +
                                 UnixPath(FLogPath) + " " + options;
        ASSERT_TRUE(FPeer.Start("live_server.py", args, &why)) << why;
    }
    std::string Locator(const std::string& channel = "ch1")
    {
        return "QOVS://127.0.0.1:" + std::to_string(FPeer.ServicePort()) + "/" + channel;
    }
    std::vector<TPeerLine> PeerLog() { return ReadPeerLog(FLogPath); }

    // Every buffered record equals the recording's, in order (the reserved
    // header bytes aside).
    void ExpectFramesExact(TContextHolder& ctx, const std::vector<std::vector<uint8_t>>& expected)
    {
        ASSERT_EQ(ctx.Frames.Count(), int32_t(expected.size()));
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(WithoutReserved(ctx.Record(int32_t(i))), WithoutReserved(expected[i])) << "frame " << i;
    }

    static std::vector<std::vector<uint8_t>>* s_recording;
    TWinsock FWinsock;
    TDecoderReference FDecoder;
    TMessageWindow FWindow;
    TPeer FPeer;
    std::string FLogPath;
};

std::vector<std::vector<uint8_t>>* LiveClient::s_recording = nullptr;

DWORD WINAPI StopThread(void* client)
{
    try {
        static_cast<TQovClient*>(client)->Stop();
    } catch (...) {
        return 1;
    }
    return 0;
}

// How many frames of the recording the client has buffered.
bool WaitFrames(TMessageWindow& window, TContextHolder& ctx, int32_t n, DWORD ms = 15000)
{
    return window.PumpUntil([&] { return ctx.Frames.Count() >= n; }, ms);
}

} // namespace

TEST_F(LiveClient, StreamsSplitMessagesIntoTheFrameStoreByteExact)
{
    StartPeer("--chunk split --texts");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator("ch1"));
    ASSERT_TRUE(WaitFrames(FWindow, ctx, int32_t(s_recording->size())));
    ExpectFramesExact(ctx, *s_recording);

    // The first key frame announced the picture size once and opened.
    EXPECT_EQ(client.Headers(), (std::vector<std::pair<int, int>>{{320, 240}}));
    EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 1u);
    EXPECT_EQ(ctx.Context.Header.Width, 320);
    EXPECT_EQ(ctx.Context.Header.Height, 240);
    EXPECT_EQ(client.StreamState(), lsStreaming);
    EXPECT_EQ(client.Kind(), skLiveTcp);
    // Texts by type, in order; type 5 skipped.
    EXPECT_EQ(client.Texts(), (std::vector<std::string>{"index:index-text", "script:script-text",
                                                        "string:string-text"}));
    // The reply's fields.
    EXPECT_EQ(client.Title(), "Live");
    EXPECT_EQ(client.Author(), "Peer");
    EXPECT_EQ(client.Copyright(), "");
    EXPECT_EQ(client.Channel(), "ch1");
    EXPECT_EQ(client.IP(), "127.0.0.1");
    EXPECT_TRUE(client.Errors().empty());

    // The key copy holds the last key frame.
    std::vector<uint8_t> key;
    ASSERT_TRUE(client.CopyKeyFrame(&key));
    EXPECT_EQ(key, s_recording->back());
    EXPECT_TRUE(client.LastFrameIsKey());

    // What the service received: the login text, then "Start".
    FWindow.Pump(100);
    const auto log = PeerLog();
    ASSERT_GE(log.size(), 2u);
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    EXPECT_EQ(log[0].Type, 2);
    EXPECT_EQ(log[0].Text, std::string("Login\r\nChannel=ch1\r\nComputerName=") + computer + "\r\n\r\n");
    EXPECT_EQ(log[1].Text, "Start");
    EXPECT_GT(client.GetBitRate(), 0u);
}

TEST_F(LiveClient, CoalescedAndBytewiseMessagesAreDispatchedInOrder)
{
    StartPeer("--chunk coalesce");
    {
        TContextHolder ctx(FWindow.Handle());
        TTestClient client(&ctx.Context);
        client.Open(Locator());
        ASSERT_TRUE(WaitFrames(FWindow, ctx, int32_t(s_recording->size())));
        ExpectFramesExact(ctx, *s_recording);
    }
    FPeer.Quit();
    StartPeer("--chunk bytes --frames 4");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 4, 60000));
    ExpectFramesExact(ctx, std::vector<std::vector<uint8_t>>(s_recording->begin(), s_recording->begin() + 4));
}

TEST_F(LiveClient, FramesBeforeTheFirstKeyFrameAreSampledWithoutHeader)
{
    StartPeer("--lead-delta");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, int32_t(s_recording->size())));
    EXPECT_EQ(client.SamplesBeforeHeader(), 1);
    EXPECT_EQ(client.Headers().size(), 1u);  // later key frames announce nothing
    EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 1u);
    EXPECT_EQ(WithoutReserved(ctx.Record(0)), WithoutReserved((*s_recording)[1]));
}

TEST_F(LiveClient, UndecodableFirstKeyFrameIsSkippedUntilAGoodOne)
{
    using namespace qov::writer;
    TRecordingWriter w(320, 240, kVersion0101);
    w.AddFrame(0, fkKeyFrame, ctZlib, 0, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8});  // not zlib
    w.AddCursorMove(40, 5, 5);
    w.AddKeyFrame(80, MakeScreenPicture(200, 100, 3), ctLZO1X);
    w.Save(ScratchPath("live_badkey.qov"));
    std::string why;
    ASSERT_TRUE(FPeer.Start("live_server.py", "--recording " + UnixPath(ScratchPath("live_badkey.qov")), &why)) << why;
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 2));
    FWindow.Pump(200);
    EXPECT_EQ(ctx.Frames.Count(), 2);  // the cursor move and the good key frame
    EXPECT_EQ(client.Headers(), (std::vector<std::pair<int, int>>{{200, 100}}));
    EXPECT_EQ(RecordHeader(ctx.Record(1).data()).Time, 80u);
    EXPECT_TRUE(client.Errors().empty());
    EXPECT_EQ(client.StreamState(), lsStreaming);
}

TEST_F(LiveClient, RefusedLoginReportsCode4AndLowerCaseFalseIsAccepted)
{
    StartPeer("--mode refuse");
    {
        TContextHolder ctx(FWindow.Handle());
        TTestClient client(&ctx.Context);
        client.Open(Locator());
        ASSERT_TRUE(FWindow.PumpUntil([&] { return !client.Errors().empty(); }, 10000));
        EXPECT_EQ(client.Errors(), std::vector<int>{ecServiceRefused});
        // The notification is noted before its message is posted.
        EXPECT_TRUE(FWindow.PumpUntil([&] { return FWindow.Count(WM_ENGINE_STATUS) >= 1; }, 10000));
        ASSERT_EQ(FWindow.Count(WM_ENGINE_STATUS), 1u);
        EXPECT_EQ(FWindow.Messages(WM_ENGINE_STATUS)[0].WParam, WPARAM(4));
        EXPECT_EQ(client.StreamState(), lsNone);
        EXPECT_EQ(ctx.Frames.Count(), 0);
    }
    FPeer.Quit();
    FWindow.Clear();
    StartPeer("--reply \"Title=T\\r\\nPermission=false\\r\\n\" --frames 1");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 1));
    EXPECT_TRUE(client.Errors().empty());
    EXPECT_EQ(client.Title(), "T");
}

TEST_F(LiveClient, LoginToAnotherChannelIsRefused)
{
    StartPeer("--channel only");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator("other"));
    ASSERT_TRUE(FWindow.PumpUntil([&] { return !client.Errors().empty(); }, 10000));
    EXPECT_EQ(client.Errors(), std::vector<int>{ecServiceRefused});
}

TEST_F(LiveClient, LocatorFailuresReportCodes8_12_3)
{
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    // No host.
    client.Open("QOVS:///ch");
    ASSERT_TRUE(FWindow.PumpUntil([&] { return client.Errors().size() == 1; }, 10000));
    EXPECT_EQ(client.Errors().back(), ecInvalidURL);
    // A name that does not resolve.
    client.Open("QOVS://no-such-host.invalid/ch");
    ASSERT_TRUE(FWindow.PumpUntil([&] { return client.Errors().size() == 2; }, 30000));
    EXPECT_EQ(client.Errors().back(), ecResolveFailed);
    // Nobody listens: a port just released.
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    client.Open("QOVS://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/%63h");
    ASSERT_TRUE(FWindow.PumpUntil([&] { return client.Errors().size() == 3; }, 30000));
    EXPECT_EQ(client.Errors().back(), ecConnectFailed);
    EXPECT_EQ(client.Port(), ntohs(addr.sin_port));
    EXPECT_EQ(client.Channel(), "ch");  // escapes decoded
    // The notification is noted before its message is posted: wait for the third.
    EXPECT_TRUE(FWindow.PumpUntil([&] { return FWindow.Count(WM_ENGINE_STATUS) >= 3; }, 10000));
    EXPECT_EQ(FWindow.Count(WM_ENGINE_STATUS), 3u);
    EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 0u);
}

TEST_F(LiveClient, LocatorWithoutPortUses1804)
{
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open("qovs:// 127.0.0.1 /chan ");
    ASSERT_TRUE(FWindow.PumpUntil([&] { return !client.Errors().empty(); }, 30000));
    EXPECT_EQ(client.Port(), 1804);
    EXPECT_EQ(client.Host(), "127.0.0.1");
    EXPECT_EQ(client.Channel(), "chan");
}

TEST_F(LiveClient, DroppedConnectionReportsCode7AndReadReconnects)
{
    StartPeer("--frames 3 --end close");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(FWindow.PumpUntil([&] { return !client.Errors().empty(); }, 10000));
    EXPECT_EQ(client.Errors(), std::vector<int>{ecNetworkError});
    EXPECT_EQ(ctx.Frames.Count(), 3);
    EXPECT_EQ(client.StreamState(), lsNone);
    // Asked to read on, the client connects anew (and is dropped again).
    client.Read(-1);
    ASSERT_TRUE(FWindow.PumpUntil([&] { return client.Errors().size() == 2; }, 10000));
    EXPECT_EQ(FPeer.Ask("connections"), "2");
    EXPECT_EQ(ctx.Frames.Count(), 6);
    EXPECT_TRUE(FWindow.PumpUntil([&] { return FWindow.Count(WM_ENGINE_OPENED) >= 2; }, 10000));
    EXPECT_EQ(FWindow.Count(WM_ENGINE_OPENED), 2u);
}

TEST_F(LiveClient, LengthsThatCannotBeHeldAreNetworkErrorsLongTextsAndTrailingBytesAreNot)
{
    for (const char* end : {"oversized", "badframe"}) {
        FPeer.Quit();
        StartPeer(std::string("--frames 2 --end ") + end);
        TContextHolder ctx(FWindow.Handle());
        TTestClient client(&ctx.Context);
        client.Open(Locator());
        ASSERT_TRUE(FWindow.PumpUntil([&] { return !client.Errors().empty(); }, 10000)) << end;
        EXPECT_EQ(client.Errors(), std::vector<int>{ecNetworkError}) << end;
        EXPECT_EQ(ctx.Frames.Count(), 2) << end;
        // Never grown for the announced length.
        EXPECT_LE(client.Capacity(), kLiveMaxMessage + 8) << end;
    }

    // A text longer than the client sends, and a frame message with bytes
    // after its record, are taken: the record alone, the stream goes on.
    FPeer.Quit();
    StartPeer("--frames 2 --end lenient");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 3));
    FWindow.Pump(300);
    EXPECT_TRUE(client.Errors().empty());
    EXPECT_EQ(ctx.Frames.Count(), 3);
    EXPECT_EQ(client.Texts(), std::vector<std::string>{"string:" + std::string(40000, 't')});
    EXPECT_EQ(ctx.Record(2).size(), ctx.Record(0).size()) << "the record alone";
}

TEST_F(LiveClient, KeepAliveEvery200msWhileIdleAndRequestsGoOut)
{
    StartPeer("--frames 2");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 2));
    FWindow.Pump(1500);
    client.SendText("KeyDown=65");
    client.SendText("");                        // nothing
    client.SendText(std::string(32769, 'x'));   // too long: dropped, not an error
    client.SendText(std::string(32768, 'y'));   // the longest that goes
    FWindow.Pump(300);
    const auto log = PeerLog();
    std::vector<int> noops;
    int requests = 0;
    int started = -1;
    for (const auto& l : log) {
        if (l.Text == "Start")
            started = l.Ms;
        if (l.Text == "NOOP")
            noops.push_back(l.Ms);
        if (l.Text == "KeyDown=65" || l.Text == std::string(32768, 'y'))
            ++requests;
        EXPECT_NE(l.Text.size(), 32769u);
        EXPECT_EQ(l.Type, 2);
        EXPECT_FALSE(l.Text.empty());
    }
    EXPECT_EQ(requests, 2);
    // About 1.8 s idle: keep-alives flow, the first only after 200 ms without
    // data, and never two within 200 ms. The peer notes when each arrives: one
    // that arrives late (a loaded machine) brings the next closer, so single
    // gaps get a wide slack and their mean a narrow one.
    ASSERT_GE(noops.size(), 3u);
    ASSERT_GE(started, 0);
    EXPECT_GE(noops[0] - started, 180) << "keep-alive before 200 ms had passed";
    for (size_t i = 1; i < noops.size(); ++i)
        EXPECT_GE(noops[i] - noops[i - 1], 100) << "keep-alives closer than 200 ms";
    EXPECT_GE((noops.back() - noops.front()) / int(noops.size() - 1), 190) << "keep-alives closer than 200 ms";
    EXPECT_TRUE(client.Errors().empty());
}

TEST_F(LiveClient, IdleStreamUsesAlmostNoProcessor)
{
    StartPeer("--frames 2");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 2));
    FWindow.Pump(300);
    FILETIME c, e, k0, u0, k1, u1;
    ASSERT_TRUE(GetThreadTimes(client.Handle(), &c, &e, &k0, &u0));
    const DWORD start = timeGetTime();
    FWindow.Pump(3000);
    ASSERT_TRUE(GetThreadTimes(client.Handle(), &c, &e, &k1, &u1));
    const DWORD wall = timeGetTime() - start;
    auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    const double cpuMs = double(ticks(k1) - ticks(k0) + ticks(u1) - ticks(u0)) / 10000.0;
    RecordProperty("idle_cpu_percent", std::to_string(100.0 * cpuMs / wall));
    EXPECT_LT(cpuMs, 0.02 * wall) << "client thread used " << cpuMs << " ms in " << wall << " ms";
}

TEST_F(LiveClient, StopDuringStalledConnectOrLoginReturnsPromptly)
{
    for (const char* mode : {"stall", "noreply"}) {
        FPeer.Quit();
        StartPeer(std::string("--mode ") + mode);
        TContextHolder ctx(FWindow.Handle());
        TTestClient client(&ctx.Context);
        client.Open(Locator());
        FWindow.Pump(700);  // the connect or the login reply is under way
        // Neither the connect nor the reply ever ends by itself: only a stop
        // that interrupts them returns.
        const DWORD start = timeGetTime();
        client.Stop();
        EXPECT_LT(timeGetTime() - start, 5000u) << mode;
        FWindow.Pump(100);
        EXPECT_TRUE(client.Errors().empty()) << mode;
        EXPECT_EQ(FWindow.Count(WM_ENGINE_STATUS), 0u) << mode;
        EXPECT_EQ(client.StreamState(), lsNone) << mode;
    }
}

TEST_F(LiveClient, StopFromAnotherThreadWhileStreamingClosesQuietly)
{
    StartPeer("--loop --pace-ms 5");
    TContextHolder ctx(FWindow.Handle());
    TTestClient client(&ctx.Context);
    client.Open(Locator());
    ASSERT_TRUE(WaitFrames(FWindow, ctx, 20));
    DWORD took = 0;
    HANDLE stopper = CreateThread(nullptr, 0, &StopThread, &client, 0, nullptr);
    const DWORD start = timeGetTime();
    ASSERT_EQ(WaitForSingleObject(stopper, 20000), WAIT_OBJECT_0);
    took = timeGetTime() - start;
    DWORD stopped = 1;
    GetExitCodeThread(stopper, &stopped);
    CloseHandle(stopper);
    EXPECT_EQ(stopped, 0u);
    EXPECT_LT(took, 5000u);
    const int32_t count = ctx.Frames.Count();
    FWindow.Pump(300);
    EXPECT_EQ(ctx.Frames.Count(), count);  // nothing after the stop
    EXPECT_TRUE(client.Errors().empty());
    EXPECT_EQ(client.StreamState(), lsNone);
    // Frames kept coming until then, byte-exact, times running on.
    for (int32_t i = 1; i < count; ++i)
        EXPECT_GE(RecordHeader(ctx.Record(i).data()).Time, RecordHeader(ctx.Record(i - 1).data()).Time);
}
