// Live and multicast sources played through the play thread into the back
// buffer, pixel by pixel against the reference renderer fed the same records
// in the order they arrived.
//
// The live source streams from the live service peer (live_server.py) into a
// client subclass that does what the control's live stream does: every frame
// into the frame store, an index entry (ring mode, offset 0) for each key
// frame, and on the stream header the picture's size into the context's
// header and WM_ENGINE_OPENED to the control window. The multicast source
// fills the store itself; its channel is sent by multicast_sender.py inside
// the test network namespace (scripts/netns.sh), so those tests run in a
// second run of this program there.
//
// Frames that precede the first key frame: the live client hands them on and
// they are stored, so the play thread draws them first, onto the picture the
// back buffer starts with (black, the same as the reference's), and the key
// frame then replaces the whole picture. The multicast source never stores
// them.
#include <gtest/gtest.h>

#include "wtest_live_client_peers.h"

#include <mmsystem.h>

#include "EngineResources.h"
#include "NetnsRerun.h"
#include "PlaybackHarness.h"
#include "PlayThread.h"
#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "SourceTestSupport.h"
#include "UnitMulticast.h"

using namespace qov;
using namespace qov::test;
using writer::Bytes;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
// Frames before the first key frame in the live recording.
constexpr size_t kLeadFrames = 3;
// The frame store's size beyond which the live stream asks for a purge.
constexpr int64_t kLivePurgeBytes = 0xF00000;

// The live client as the control's live stream uses it.
class TLiveStream : public TQovClient {
public:
    using TQovClient::TQovClient;
    ~TLiveStream() override
    {
        Stop();
        EndThread();
    }

protected:
    void DoStreamHeader(int width, int height) override
    {
        TQovClient::DoStreamHeader(width, height);
        if (width >= 65536 || height >= 65536)
            throw ERangeError("Range check error");
        FContext->Header.Width = uint16_t(width);
        FContext->Header.Height = uint16_t(height);
        PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
    }
    void DoError(int code) override { PostMessageA(FContext->Window, WM_ENGINE_STATUS, WPARAM(code), 0); }
    void DoSample(const uint8_t* record) override
    {
        const FrameHeader& header = RecordHeader(record);
        const size_t length = kFrameHeaderSize + size_t(header.Length);
        TFrameRecordPtr copy(static_cast<uint8_t*>(std::malloc(length)));
        if (!copy)
            throw std::bad_alloc();
        std::memcpy(copy.get(), record, length);
        FContext->Frames->AddFrame(std::move(copy));
        if (header.Kind == fkKeyFrame)
            FContext->Index->AddEntry(header.Time, true, 0);
        if (FContext->Frames->Bytes() > kLivePurgeBytes && FContext->Player)
            FContext->Player->Post(WM_ENGINE_PURGE, 0);
    }
};

// Records 0..count-1 of the frame store, as bytes.
std::vector<Bytes> StoredRecords(TFramesBuffer& frames, int32_t count)
{
    std::vector<Bytes> out;
    frames.LockList();
    for (int32_t i = 0; i < count; ++i)
        if (const uint8_t* r = frames.Record(i))
            out.emplace_back(r, r + kFrameHeaderSize + RecordHeader(r).Length);
    frames.UnlockList();
    return out;
}

// "" when the back buffer shows what the reference draws from these records,
// in order (as the play loop renders them: markers draw nothing, payloads
// decoded without the engine's decoder).
std::string CompareWithReference(TBackBuffer& buffer, const std::vector<Bytes>& records)
{
    ReferenceRenderer ref(buffer.Width(), buffer.Height(), LoadDefaultCursor());
    for (const Bytes& r : records) {
        const FrameHeader& h = RecordHeader(r.data());
        if (h.Kind != fkXorRect && h.Kind != fkKeyFrame && h.Kind != fkCopyRect && h.Kind != fkCursor)
            continue;
        const Bytes image = ReferenceImage(h, h.Length ? r.data() + kFrameHeaderSize : nullptr);
        ref.DrawFrame(h, image.empty() ? nullptr : image.data(), image.size());
    }
    buffer.Lock();
    const std::string diff = ref.Compare(buffer.Bits(), buffer.Stride());
    buffer.Unlock();
    return diff;
}

// The recording's frame records as sent, the 8 reserved bytes cleared.
std::vector<Bytes> SentRecords(const writer::TRecordingWriter& w)
{
    std::vector<Bytes> out;
    for (const auto& f : w.Frames()) {
        Bytes r = writer::MakeFrameRecord(f.Header, f.Payload);
        std::fill(r.begin() + 20, r.begin() + 28, 0);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<Bytes> WithoutReservedBytes(std::vector<Bytes> records)
{
    for (Bytes& r : records)
        std::fill(r.begin() + 20, r.begin() + 28, 0);
    return records;
}

size_t CountKind(const std::vector<Bytes>& records, int16_t kind)
{
    return size_t(std::count_if(records.begin(), records.end(),
                                [&](const Bytes& r) { return RecordHeader(r.data()).Kind == kind; }));
}

// The recording of every kind and compression (cursor shapes, moves, a hidden
// cursor, markers), its times moved on by shift ms, behind the given lead.
writer::TRecordingWriter Broadcast(uint32_t shift, bool lead)
{
    using namespace qov::writer;
    TRecordingWriter w(kWidth, kHeight, kVersion0101);
    if (lead) {
        // Joined during a broadcast: what comes before the first key frame.
        w.AddCopyRect(shift, 40, 30, MakeScreenPicture(80, 60, 31), ctZlib);
        w.AddXorRect(shift, 100, 100, MakeScreenPicture(64, 48, 32), ctLZO1X);
        w.AddCursorMove(shift, 20, 20);
    }
    const TRecordingWriter all = AllKindsRecording();
    for (const auto& f : all.Frames()) {
        FrameHeader h = f.Header;
        h.Time += shift + (lead ? 100 : 0);
        w.AddFrame(h, f.Payload);
    }
    return w;
}

// Waits until the play loop has taken record index and no paint came for a
// while, then until the window has served what was posted.
bool RenderedThrough(TPlaybackRig& rig, int32_t index, DWORD timeoutMs = 20000)
{
    if (!rig.WaitCurrentIndex(index, timeoutMs))
        return false;
    const bool quiet = rig.WaitQuiet(300, 10000);
    rig.Window.Sync();
    return quiet;
}

// After a whole stream was stored and rendered: the records arrived byte-exact,
// the picture matches the reference, every change was painted, each record
// was rendered once, markers were reported, a broadcast has no end and no
// failure, and the index holds every key frame.
void ExpectPlayedEverything(TPlaybackRig& rig, const std::vector<Bytes>& sent)
{
    const auto all = StoredRecords(rig.Frames, rig.Frames.Count());
    ASSERT_EQ(WithoutReservedBytes(all), sent);
    EXPECT_EQ("", CompareWithReference(rig.Player->BackBuffer(), all));
    EXPECT_EQ("", rig.Window.CompareScreen());
    EXPECT_EQ(rig.Player->Rendered(), uint32_t(sent.size()));
    EXPECT_EQ(rig.Window.Messages().Count(WM_ENGINE_MARKER), CountKind(sent, fkMarker));
    EXPECT_EQ(rig.Window.Messages().Count(WM_ENGINE_END), 0u);
    EXPECT_EQ(rig.Window.Messages().Count(WM_ENGINE_STATUS), 0u);
    EXPECT_EQ(rig.Index.Count(), int32_t(CountKind(sent, fkKeyFrame)));
}

// Where the play thread stands, for failure messages.
std::string Progress(TPlaybackRig& rig)
{
    return Format("current index %d of %d, rendered %u, clock %u, last sample %u, state %d, speed %d",
                  rig.Frames.CurrentIndex(), rig.Frames.Count(), rig.Player->Rendered(), rig.Player->CurrentTime(),
                  rig.Player->LastSampleTime(), int(rig.Player->State()), rig.Player->Speed());
}

} // namespace

// ---------------------------------------------------------------------------
// Live broadcast

class LivePlayback : public ::testing::Test {
protected:
    void StartPeer(const writer::TRecordingWriter& w, const std::string& name, const std::string& options = "")
    {
        w.Save(ScratchPath(name));
        std::string why;
        ASSERT_TRUE(FPeer.Start("live_server.py", "--recording " + UnixPath(ScratchPath(name)) + " " + options, &why))
            << why;
    }
    std::string Locator() { return "QOVS://127.0.0.1:" + std::to_string(FPeer.ServicePort()) + "/live"; }
    // Opens the live source and, on WM_ENGINE_OPENED, creates the play thread
    // as the control does.
    void OpenLive(TPlayThread::TClock clock)
    {
        Rig.Source = std::make_unique<TLiveStream>(&Rig.Context);
        Rig.Context.Reader = Rig.Source.get();
        Rig.Source->Open(Locator());
        const auto opened = Rig.Window.Messages().WaitFor(WM_ENGINE_OPENED, 15000);
        ASSERT_TRUE(opened.has_value());
        ASSERT_EQ(opened->WParam, 0u);
        ASSERT_EQ(Rig.Context.Header.Width, kWidth);
        ASSERT_EQ(Rig.Context.Header.Height, kHeight);
        Rig.CreatePlayer(clock, false);
    }

    TWinsock FWinsock;
    TPeer FPeer;
    TPlaybackRig Rig;
};

TEST_F(LivePlayback, EveryKindPlaysPixelExactAndEveryChangeIsPainted)
{
    const writer::TRecordingWriter w = Broadcast(0, true);
    const std::vector<Bytes> sent = SentRecords(w);
    ASSERT_NO_FATAL_FAILURE(StartPeer(w, "live_play.qov", "--chunk split"));
    SetFakeTime(0);
    ASSERT_NO_FATAL_FAILURE(OpenLive(FakeClock));
    Rig.Player->Play();

    // The clock stands at 0: the frames that came before the key frame (all
    // at time 0) are drawn, onto the black picture the back buffer starts
    // with; the key frame (100 ms) is not due.
    ASSERT_TRUE(RenderedThrough(Rig, int32_t(kLeadFrames - 1))) << Progress(Rig);
    EXPECT_EQ(Rig.Player->Rendered(), kLeadFrames);
    const auto lead = StoredRecords(Rig.Frames, int32_t(kLeadFrames));
    EXPECT_EQ(WithoutReservedBytes(lead), std::vector<Bytes>(sent.begin(), sent.begin() + kLeadFrames));
    EXPECT_EQ("", CompareWithReference(Rig.Player->BackBuffer(), lead));
    EXPECT_EQ("", Rig.Window.CompareScreen());

    // Everything arrived: the clock runs on past the last frame.
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == int32_t(sent.size()); }, 20000));
    AdvanceFakeTime(100000);
    ASSERT_TRUE(RenderedThrough(Rig, int32_t(sent.size() - 1))) << Progress(Rig);
    ASSERT_NO_FATAL_FAILURE(ExpectPlayedEverything(Rig, sent));
    // A broadcast has no end: the thread keeps playing, waiting for more.
    EXPECT_EQ(Rig.Player->State(), psPlaying);
    const auto all = StoredRecords(Rig.Frames, Rig.Frames.Count());

    // Seeks while paused. Past the newest frame (its key frame buffered): the
    // key groups before the one shown go, nothing is redrawn, the clock moves
    // to the target and the position reported is the frame shown.
    Rig.Player->Pause();
    const uint32_t last = RecordHeader(sent.back().data()).Time;
    Rig.Window.Messages().Clear();
    Rig.Player->Seek(int32_t(last + 5000));
    const auto position = Rig.Window.Messages().WaitFor(WM_ENGINE_POSITION, 10000);
    ASSERT_TRUE(position.has_value());
    EXPECT_EQ(position->WParam, WPARAM(last));
    EXPECT_EQ(Rig.Player->CurrentTime(), last + 5000);
    size_t lastKey = sent.size() - 1;
    while (RecordHeader(sent[lastKey].data()).Kind != fkKeyFrame)
        --lastKey;
    const int32_t group = int32_t(sent.size() - lastKey);
    ASSERT_EQ(Rig.Frames.Count(), group);
    EXPECT_EQ(Rig.Frames.CurrentIndex(), group - 1);
    EXPECT_EQ(WithoutReservedBytes(StoredRecords(Rig.Frames, group)),
              std::vector<Bytes>(sent.begin() + std::ptrdiff_t(lastKey), sent.end()));
    // Into a key group whose frames are gone (only the index remembers it):
    // a live source cannot reposition, so only the clock moves.
    const uint32_t earlier = RecordHeader(sent[kLeadFrames].data()).Time + 1050;
    Rig.Player->Seek(int32_t(earlier));
    ASSERT_TRUE(WaitUntil([&] { return Rig.Player->CurrentTime() == earlier; }, 10000)) << Progress(Rig);
    Rig.Window.Sync();
    EXPECT_EQ(Rig.Window.Messages().Count(WM_ENGINE_POSITION), 1u);
    EXPECT_EQ(Rig.Frames.Count(), group);
    EXPECT_EQ(Rig.Player->State(), psPaused);
    EXPECT_EQ("", CompareWithReference(Rig.Player->BackBuffer(), all));
    EXPECT_EQ("", Rig.Window.CompareScreen());
}

TEST_F(LivePlayback, PacedBroadcastPlaysOnTheRealClock)
{
    // A broadcast joined after ten minutes: its times start at 600000. Frames
    // come 20 ms apart and the play thread plays them on the wall clock from
    // the first one on (not ten minutes later).
    const writer::TRecordingWriter w = Broadcast(600000, false);
    const std::vector<Bytes> sent = SentRecords(w);
    ASSERT_NO_FATAL_FAILURE(StartPeer(w, "live_paced.qov", "--pace-ms 20"));
    ASSERT_NO_FATAL_FAILURE(OpenLive(nullptr));
    Rig.Player->Play();
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == int32_t(sent.size()); }, 20000));
    // The recording lasts 3.5 s of media time.
    ASSERT_TRUE(RenderedThrough(Rig, int32_t(sent.size() - 1), 30000)) << Progress(Rig);
    const auto all = StoredRecords(Rig.Frames, Rig.Frames.Count());
    ASSERT_EQ(WithoutReservedBytes(all), sent);
    EXPECT_EQ("", CompareWithReference(Rig.Player->BackBuffer(), all));
    EXPECT_EQ("", Rig.Window.CompareScreen());
    EXPECT_GE(Rig.Player->CurrentTime(), RecordHeader(sent.back().data()).Time);
}

// ---------------------------------------------------------------------------
// Multicast (inside the test network namespace)

namespace {

const char* const kSendA = "10.77.0.1";
const char* const kRecvA = "10.77.0.2";

} // namespace

class MulticastPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!InNetworkNamespace())
            GTEST_SKIP() << "receives multicast: runs inside the test network namespace";
        static int serial = 0;
        FPort = 19000 + int(GetCurrentProcessId() % 500) * 4 + serial++ % 4;
        const std::string path = ScratchPath("cast_play.sms");
        std::ofstream(path, std::ios::binary) << "[Address]\r\nip=238.1.2.4\r\nport=" << FPort << "\r\n";
        char full[MAX_PATH];
        GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
        FChannel = full;
    }
    void StartSender(const writer::TRecordingWriter& w, const std::string& name)
    {
        w.Save(ScratchPath(name));
        std::string why;
        const std::string args = "--group 238.1.2.4 --port " + std::to_string(FPort) + " --recording " +
                                 UnixPath(ScratchPath(name)) + " --interface " + kSendA + " --lead-delta";
        ASSERT_TRUE(FSender.Start("multicast_sender.py", args, &why)) << why;
    }
    // Opens the channel, sends it once, creates the play thread on
    // WM_ENGINE_OPENED and waits until the sender is done.
    void OpenAndSend(TPlayThread::TClock clock)
    {
        auto stream = std::make_unique<TQovMulticastStream>(&Rig.Context, std::vector<std::string>{kRecvA});
        TQovMulticastStream& s = *stream;
        Rig.Source = std::move(stream);
        Rig.Context.Reader = Rig.Source.get();
        s.Open(FChannel);
        ASSERT_TRUE(WaitUntil([&] { return s.ReceiverCount() == 1 && s.Receiver(0)->Receiving(); }, 5000));
        Sleep(200);
        ASSERT_EQ(FSender.Ask("go"), "ok");
        const auto opened = Rig.Window.Messages().WaitFor(WM_ENGINE_OPENED, 15000);
        ASSERT_TRUE(opened.has_value());
        ASSERT_EQ(opened->WParam, 0u);
        ASSERT_EQ(Rig.Context.Header.Width, kWidth);
        ASSERT_EQ(Rig.Context.Header.Height, kHeight);
        Rig.CreatePlayer(clock, false);
        FSender.Ask("wait");
    }

    TWinsock FWinsock;
    TPeer FSender;
    TPlaybackRig Rig;
    int FPort = 0;
    std::string FChannel;
};

TEST_F(MulticastPlayback, EveryKindPlaysPixelExactFromTheFirstKeyFrame)
{
    // The sender sends the recording's second frame first: the source drops
    // it, and the store starts at the key frame.
    const writer::TRecordingWriter w = Broadcast(0, false);
    std::vector<Bytes> sent = SentRecords(w);
    sent.erase(sent.begin() + 1);
    ASSERT_NO_FATAL_FAILURE(StartSender(w, "cast_play.qov"));
    SetFakeTime(0);
    ASSERT_NO_FATAL_FAILURE(OpenAndSend(FakeClock));
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == int32_t(sent.size()); }, 20000));
    Rig.Player->Play();
    // The first record is shown at once; the clock (standing) starts now.
    ASSERT_TRUE(WaitUntil([&] { return Rig.Player->Rendered() == 1; }, 10000)) << Progress(Rig);
    AdvanceFakeTime(100000);
    ASSERT_TRUE(RenderedThrough(Rig, int32_t(sent.size() - 1))) << Progress(Rig);
    ASSERT_NO_FATAL_FAILURE(ExpectPlayedEverything(Rig, sent));
}

TEST_F(MulticastPlayback, ChannelJoinedLateIsPlayedOnTheRealClock)
{
    // A channel that has run for ten minutes: its times start at 600000. The
    // play thread must not wait ten minutes of wall time before the frame
    // after the first.
    const writer::TRecordingWriter w = Broadcast(600000, false);
    std::vector<Bytes> sent = SentRecords(w);
    sent.erase(sent.begin() + 1);
    ASSERT_NO_FATAL_FAILURE(StartSender(w, "cast_late.qov"));
    ASSERT_NO_FATAL_FAILURE(OpenAndSend(nullptr));
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == int32_t(sent.size()); }, 20000));
    Rig.Player->Play();
    ASSERT_TRUE(RenderedThrough(Rig, int32_t(sent.size() - 1), 30000)) << Progress(Rig);
    const auto all = StoredRecords(Rig.Frames, Rig.Frames.Count());
    EXPECT_EQ("", CompareWithReference(Rig.Player->BackBuffer(), all));
    EXPECT_EQ("", Rig.Window.CompareScreen());
}

// Outside the namespace: runs the multicast tests inside it.
TEST(MulticastPlaybackNamespace, RunsInsideTheNetworkNamespace)
{
    if (InNetworkNamespace())
        GTEST_SKIP() << "already inside";
    const TNamespaceRun run = RunSelfInNetworkNamespace("MulticastPlayback.*");
    if (run.Code == kNamespaceUnavailable)
        GTEST_SKIP() << "multicast playback not tested: " << run.Log;
    std::printf("---- inside the network namespace ----\n%s---- end ----\n", run.Log.c_str());
    EXPECT_EQ(run.Code, 0);
    EXPECT_NE(run.Log.find("[  PASSED  ]"), std::string::npos);
    EXPECT_EQ(run.Log.find("SKIPPED"), std::string::npos);
}
