// TPlayThread with a real file source, pixel by pixel against the reference
// renderer: playing recordings of every frame kind and compression to the
// end, pausing and resuming, each kind of seek (within a key group forward
// and backward, to a buffered key frame, past the duration, to a group that
// is not buffered), frames that cannot be decoded, and the paints that tell
// the control about every change.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <thread>

#include "PayloadCodecs.h"
#include "PlaybackHarness.h"
#include "PlayThread.h"
#include "QovWriter.h"
#include "SampleRecording.h"
#include "SourceTestSupport.h"
#include "UnitShare.h"

using namespace qov;
using namespace qov::test;
using writer::Bytes;
using writer::TPicture;

namespace {

std::string Save(const std::string& name, const Bytes& file)
{
    const std::string path = ScratchPath(name);
    writer::SaveBytes(path, file);
    return path;
}

// A file source whose repositions can be held back (Gate reset) or lost
// (Drop), counting them.
class TGatedFileThread : public TFileThread {
public:
    explicit TGatedFileThread(PlaybackContext* context) : TFileThread(context) {}
    ~TGatedFileThread() override
    {
        SetEvent(Gate);
        EndThread();
        CloseHandle(Gate);
    }
    HANDLE Gate = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    std::atomic<int> Seeks{0};
    std::atomic<bool> Drop{false};

protected:
    void HandleSeek(int32_t ms) override
    {
        ++Seeks;
        WaitForSingleObject(Gate, 20000);
        if (!Drop)
            TFileThread::HandleSeek(ms);
    }
};

struct RenderTest : ::testing::Test {
    TPlaybackRig Rig;
    TPlayThread& Player() { return *Rig.Player; }
    size_t Count(UINT msg) { return Rig.Window.Messages().Count(msg); }
    void Settle()
    {
        WaitUntil([&] { return Player().State() == psPlaying; }, 3000);
        Sleep(30);
    }
    // Waits for the n-th WM_ENGINE_POSITION since the window's record was
    // cleared, then for the paints posted before it.
    bool Positioned(size_t n)
    {
        const bool ok = Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, n, 5000);
        Rig.Window.Sync();
        return ok;
    }
    // Plays from the first record by the fake clock (set by the caller) for
    // ms, then pauses; at: the last record played.
    bool PlayAndPauseAt(const TReferencePlayer& ref, uint32_t ms, size_t& at)
    {
        Player().Play();
        if (!Rig.WaitCurrentIndex(int32_t(ref.LastAtOrBefore(0)), 5000))
            return false;
        Settle();
        AdvanceFakeTime(ms);
        at = ref.LastAtOrBefore(ms);
        const bool reached = Rig.WaitCurrentIndex(int32_t(at), 5000);
        Player().Pause();
        return reached;
    }
    // Waits until the source has buffered the whole recording (it reads on
    // while the thread plays; on a busy machine it may not be done yet).
    bool AllBuffered(const TReferencePlayer& ref)
    {
        return WaitUntil([&] { return Rig.Frames.Count() == int32_t(ref.Count()); }, 5000);
    }
    // Waits until the seek's range ended at the record with this time.
    bool ShownAt(uint32_t time)
    {
        const bool ok = WaitUntil([&] { return Player().LastSampleTime() == time; }, 5000) && Rig.WaitQuiet(100, 5000);
        Rig.Window.Sync();
        return ok;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Playing to the end

class PlayToTheEnd : public RenderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PlayToTheEnd, EveryKindAndCompressionMatchesTheReferenceAndEveryChangeIsPainted)
{
    const bool keyCache = GetParam();
    for (const auto& [name, recording] : {std::pair{"allkinds.qov", AllKindsRecording()},
                                          std::pair{"sample.qov", writer::BuildSampleRecording()}}) {
        SCOPED_TRACE(name);
        const Bytes file = recording.Build();
        ASSERT_EQ(0, Rig.Open(Save(name, file), nullptr, keyCache));
        Rig.PlayFastest();
        ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 20000));
        Rig.Window.Sync();

        TReferencePlayer ref(file);
        ref.Play(0, ref.Count() - 1);
        EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
        EXPECT_EQ("", Rig.Window.CompareScreen());
        EXPECT_EQ(recording.Duration(), Player().LastSampleTime());
        EXPECT_EQ(psStopped, Player().State());
        size_t markers = 0;
        for (size_t i = 0; i < ref.Count(); ++i)
            markers += ref.Header(i).Kind == fkMarker;
        EXPECT_EQ(markers, Count(WM_ENGINE_MARKER));
        EXPECT_EQ(1u, Count(WM_ENGINE_END));
        EXPECT_EQ(keyCache ? 3 : 0, Rig.KeyFrames.Count());
        Rig.Close();
    }
}

INSTANTIATE_TEST_SUITE_P(KeyCache, PlayToTheEnd, ::testing::Values(false, true));

TEST_F(RenderTest, PauseAndResumeGoOnWhereThePictureStopped)
{
    const Bytes file = AllKindsRecording().Build();
    ASSERT_EQ(0, Rig.Open(Save("pause.qov", file), FakeClock));
    TReferencePlayer ref(file);
    SetFakeTime(5000);
    size_t paused = 0;
    ASSERT_TRUE(PlayAndPauseAt(ref, 1250, paused));
    EXPECT_EQ(1250u, Player().CurrentTime());
    ref.Play(0, paused);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());

    AdvanceFakeTime(10000);
    Sleep(50);
    EXPECT_EQ(int32_t(paused), Rig.Frames.CurrentIndex()) << "nothing plays while paused";
    EXPECT_EQ(1250u, Player().CurrentTime());

    Player().Play();
    Settle();
    AdvanceFakeTime(2249);
    ASSERT_TRUE(WaitUntil([&] { return Player().CurrentTime() == 3499; }, 5000));
    Sleep(30);
    EXPECT_EQ(0u, Count(WM_ENGINE_END));
    AdvanceFakeTime(1);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 5000));
    Rig.Window.Sync();
    ref.Play(paused + 1, ref.Count() - 1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());
}

// ---------------------------------------------------------------------------
// Seeking in what is buffered

class SeekBuffered : public RenderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SeekBuffered, EachKindOfSeekDrawsTheReferencePicture)
{
    const Bytes file = AllKindsRecording().Build();
    ASSERT_EQ(0, Rig.Open(Save("seeks.qov", file), FakeClock, GetParam()));
    TReferencePlayer ref(file);
    SetFakeTime(0);
    size_t at = 0;
    ASSERT_TRUE(PlayAndPauseAt(ref, 200, at));
    ASSERT_TRUE(AllBuffered(ref)) << Rig.Frames.Count();
    ref.Play(0, at);
    ASSERT_EQ("", ref.Compare(Player().BackBuffer()));
    Rig.Window.Messages().Clear();

    // Forward within the key group: only the records after the shown one.
    Player().Seek(500);
    ASSERT_TRUE(Positioned(1));
    ref.Show(at + 1, ref.LastAtOrBefore(500));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "forward within the group";
    EXPECT_EQ(500u, Player().LastSampleTime());
    EXPECT_EQ(500u, Player().CurrentTime()) << "a paused seek moves the clock to its target";
    EXPECT_EQ(500u, Rig.Window.Messages().Of(WM_ENGINE_POSITION).back().WParam);

    // Backward within the group: from the key frame again (a cursor record
    // shares the key frame's time and must not be taken for it).
    Player().Seek(300);
    ASSERT_TRUE(Positioned(2));
    ref.Show(0, ref.LastAtOrBefore(300));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "backward within the group";

    // Into another group whose key frame is buffered; the target lies
    // between two records and goes to the earlier.
    Player().Seek(2250);
    ASSERT_TRUE(Positioned(3));
    ref.Show(ref.Find(2000, fkKeyFrame), ref.LastAtOrBefore(2250));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "to a buffered key frame";
    EXPECT_EQ(2200u, Player().LastSampleTime());

    // The record shown now: nothing is drawn, only the clock moves.
    const size_t paints = Count(WM_ENGINE_PAINT);
    Player().Seek(2299);
    Player().Pause();
    Rig.Window.Sync();
    EXPECT_EQ(paints, Count(WM_ENGINE_PAINT));
    EXPECT_EQ(3u, Count(WM_ENGINE_POSITION));
    EXPECT_EQ(2299u, Player().CurrentTime());

    // Past the duration: to the duration, the last record.
    Player().Seek(99999);
    ASSERT_TRUE(Positioned(4));
    ref.Show(ref.Find(3000, fkKeyFrame), ref.Count() - 1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "past the duration";
    EXPECT_EQ(3500u, Player().LastSampleTime());
    EXPECT_EQ(0u, Count(WM_ENGINE_END)) << "a seek does not end the recording";

    // To a key frame exactly, then play on from there to the end.
    Player().Seek(1000);
    ASSERT_TRUE(Positioned(5));
    const size_t key1 = ref.Find(1000, fkKeyFrame);
    ref.Show(key1, key1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "to a key frame";
    EXPECT_EQ("", Rig.Window.CompareScreen());

    Player().Play();
    Settle();
    AdvanceFakeTime(5000);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 5000));
    Rig.Window.Sync();
    ref.Play(key1 + 1, ref.Count() - 1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "played on after the seeks";
    EXPECT_EQ("", Rig.Window.CompareScreen());
    EXPECT_EQ(GetParam() ? 3 : 0, Rig.KeyFrames.Count());
}

INSTANTIATE_TEST_SUITE_P(KeyCache, SeekBuffered, ::testing::Values(false, true));

TEST_F(RenderTest, ASeekWhilePlayingRestartsTheClockAtTheTargetAtSpeedOne)
{
    const Bytes file = AllKindsRecording().Build();
    ASSERT_EQ(0, Rig.Open(Save("seek-playing.qov", file), FakeClock));
    TReferencePlayer ref(file);
    SetFakeTime(0);
    Rig.PlayFastest();
    AdvanceFakeTime(10);  // 320 ms of media time
    const size_t at = ref.LastAtOrBefore(320);
    ASSERT_TRUE(Rig.WaitCurrentIndex(int32_t(at), 5000));

    Player().Seek(1300);
    ASSERT_TRUE(Positioned(1));
    EXPECT_EQ(1300u, Rig.Window.Messages().Of(WM_ENGINE_POSITION).back().WParam);
    ASSERT_TRUE(WaitUntil([&] { return Player().Speed() == 1 && Player().State() == psPlaying; }, 3000));
    Sleep(30);
    EXPECT_EQ(1300u, Player().CurrentTime());
    Player().Pause();
    ref.Play(0, at);
    ref.Show(ref.Find(1000, fkKeyFrame), ref.LastAtOrBefore(1300));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());
}

// A seek while paused or stopped puts the clock at its target as one while
// playing does: the position reads the target, and playing goes on from it
// at once instead of waiting for the old clock to catch up.
TEST_F(RenderTest, ASeekWhilePausedOrStoppedStartsTheClockAtTheTarget)
{
    const Bytes file = AllKindsRecording().Build();
    ASSERT_EQ(0, Rig.Open(Save("seek-paused.qov", file), FakeClock));
    TReferencePlayer ref(file);
    // Seeks to target, a buffered record of the group led by the key frame
    // at key; checks the clock and the picture, then plays for ms from there.
    auto seekAndPlayOn = [&](uint32_t target, uint32_t key, uint32_t ms, size_t positions) {
        Player().Seek(int32_t(target));
        ASSERT_TRUE(Positioned(positions));
        EXPECT_EQ(target, Player().CurrentTime());
        EXPECT_EQ(target, Rig.Window.Messages().Of(WM_ENGINE_POSITION).back().WParam);
        const size_t seeked = ref.LastAtOrBefore(target);
        ref.Show(ref.Find(key, fkKeyFrame), seeked);
        EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "the frame drawn by the seek";
        Player().Play();
        Settle();
        AdvanceFakeTime(ms);
        // By time: after a reposition the buffer starts at that key frame.
        const size_t played = ref.LastAtOrBefore(target + ms);
        ASSERT_TRUE(WaitUntil([&] { return Player().LastSampleTime() == ref.Header(played).Time; }, 5000))
            << "plays on from the target";
        Player().Pause();
        EXPECT_EQ(target + ms, Player().CurrentTime());
        Rig.Window.Sync();
        ref.Play(seeked + 1, played);
        EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "played on after the seek";
        EXPECT_EQ("", Rig.Window.CompareScreen());
    };
    SetFakeTime(0);
    size_t at = 0;
    ASSERT_TRUE(PlayAndPauseAt(ref, 300, at));
    ASSERT_TRUE(AllBuffered(ref)) << Rig.Frames.Count();
    ref.Play(0, at);
    Rig.Window.Messages().Clear();
    // Paused, into a buffered group.
    ASSERT_NO_FATAL_FAILURE(seekAndPlayOn(2150, 2000, 250, 1));

    // Stopped: a reposition, then a seek back within the group it read.
    Player().Stop();
    ASSERT_EQ(0u, Player().CurrentTime());
    Rig.Window.Messages().Clear();
    Player().Seek(1350);
    ASSERT_TRUE(ShownAt(1300));
    EXPECT_EQ(1350u, Player().CurrentTime());
    ref.Show(ref.Find(1000, fkKeyFrame), ref.LastAtOrBefore(1350));
    ASSERT_NO_FATAL_FAILURE(seekAndPlayOn(1150, 1000, 350, 2));
}

namespace {

// Six key groups at 1000 .. 6000 ms, each starting with a cursor move, a
// marker and the key frame sharing one time, in each of their six orders.
// The cursor stays at (50, 50) throughout, so the picture at a time is the
// same however it was reached.
Bytes SharedTimeRecording()
{
    constexpr int W = 160, H = 120;
    writer::TRecordingWriter w(W, H, kVersion0101);
    w.AddKeyFrame(0, writer::MakeScreenPicture(W, H, 1), ctZlib, 50, 50);
    w.AddCopyRect(200, 10, 10, writer::MakeScreenPicture(W, H, 9).Crop(0, 0, 40, 30), ctStored);
    const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (uint32_t g = 0; g < 6; ++g) {
        const uint32_t t = 1000 * (g + 1);
        const TPicture screen = writer::MakeScreenPicture(W, H, 2 + g);
        for (int kind : orders[g]) {
            if (kind == 0)
                w.AddCursorMove(t, 50, 50);
            else if (kind == 1)
                w.AddMarker(t);
            else
                w.AddKeyFrame(t, screen, g % 2 ? ctLZO1X : ctZlib, 50, 50);
        }
        w.AddCopyRect(t + 100, 20, 20, screen.Crop(60, 40, 50, 40), ctZlib);
        w.AddXorRect(t + 200, 70, 50, screen.Crop(0, 0, 30, 30), ctStored);
    }
    return w.Build();
}

} // namespace

TEST_F(RenderTest, ASeekToATimeSharedByTheKeyFrameDrawsEveryRecordOfThatTime)
{
    const Bytes file = SharedTimeRecording();
    ASSERT_EQ(0, Rig.Open(Save("shared-time.qov", file), FakeClock));
    SetFakeTime(0);
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 5000));
    Player().Pause();
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.Count() == 2 + 6 * 5; }, 5000));
    size_t positions = 0;
    for (bool playing : {false, true}) {
        if (playing) {
            Player().Play();
            Settle();
        }
        for (uint32_t t = 1000; t <= 6000; t += 1000) {
            // From the group before, from later in the same group, from a later group.
            for (uint32_t from : {t - 800, t + 200, t + 1200}) {
                SCOPED_TRACE(::testing::Message() << "to " << t << " from " << from << (playing ? " playing" : ""));
                Player().Seek(from);
                ASSERT_TRUE(Positioned(++positions));
                Player().Seek(t);
                ASSERT_TRUE(Positioned(++positions));
                ASSERT_TRUE(Rig.WaitQuiet(50, 5000));
                Rig.Window.Sync();
                TReferencePlayer ref(file);
                ref.Play(0, ref.LastAtOrBefore(t));
                EXPECT_EQ(int32_t(ref.LastAtOrBefore(t)), Rig.Frames.CurrentIndex());
                EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
                EXPECT_EQ("", Rig.Window.CompareScreen());
            }
        }
    }
    EXPECT_EQ(psPlaying, Player().State());
}

// ---------------------------------------------------------------------------
// Seeking where nothing is buffered: the file source repositions

namespace {

// 640 x 480, twelve key groups of one second, each led by a stored key frame
// (900 KB): the source stops reading ahead after about six of them.
Bytes LargeRecording()
{
    writer::TRecordingWriter w(640, 480, kVersion0101);
    for (uint32_t g = 0; g < 12; ++g) {
        const uint32_t t = g * 1000;
        const TPicture screen = writer::MakeScreenPicture(640, 480, 10 + g);
        w.AddKeyFrame(t, screen, ctStored, uint16_t(100 + g * 10), 100);
        w.AddCopyRect(t + 100, 20, 20, screen.Crop(300, 200, 90, 60), ctZlib);
        w.AddXorRect(t + 200, 200, 150, screen.Crop(0, 0, 64, 64), ctLZO1X);
        w.AddCursorMove(t + 300, uint16_t(300 + g), 240);
        w.AddCopyRect(t + 400, 400, 300, screen.Crop(10, 10, 80, 48), ctJPEG, 50, 60);
    }
    return w.Build();
}

} // namespace

TEST_F(RenderTest, AnUnbufferedGroupIsRepositionedOnceAndAStopForgetsThePendingReposition)
{
    const Bytes file = LargeRecording();
    auto owned = std::make_unique<TGatedFileThread>(&Rig.Context);
    TGatedFileThread& source = *owned;
    ASSERT_EQ(0, Rig.Open(Save("large.qov", file), FakeClock, false, std::move(owned)));
    TReferencePlayer ref(file);
    SetFakeTime(0);
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.IsFull(); }, 5000));
    Player().Pause();
    uint32_t target = 9300;
    ASSERT_EQ(-1, Rig.Frames.FindFrame(target, false)) << "9300 is not buffered";
    ref.Play(0, 0);
    Rig.Window.Messages().Clear();

    // A group that is not buffered: one reposition, then the source's SHOW.
    Player().Seek(9300);
    ASSERT_TRUE(ShownAt(9300));
    EXPECT_EQ(1, source.Seeks.load());
    EXPECT_EQ(9000, Rig.Frames.MinTimeStamp()) << "read again from the key frame";
    EXPECT_EQ(-1, Player().PendingKey());
    ref.Show(ref.Find(9000, fkKeyFrame), ref.LastAtOrBefore(9300));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());
    EXPECT_EQ(1u, Count(WM_ENGINE_POSITION));

    // The same group asked for again before its data came: nothing more.
    ResetEvent(source.Gate);
    Player().Seek(5300);
    Player().Pause();
    Player().Seek(5400);
    Player().Pause();
    Player().Seek(5300);
    Player().Pause();
    Sleep(100);
    Rig.Window.Sync();
    EXPECT_EQ(2, source.Seeks.load());
    EXPECT_EQ(5000, Player().PendingKey());
    EXPECT_EQ(2u, Count(WM_ENGINE_POSITION));
    SetEvent(source.Gate);
    ASSERT_TRUE(ShownAt(5300));
    ref.Show(ref.Find(5000, fkKeyFrame), ref.LastAtOrBefore(5300));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ(2, source.Seeks.load());

    // A reposition that never delivers, then a stop: the next seek to that
    // group repositions again.
    target = 2300;
    ASSERT_EQ(-1, Rig.Frames.FindFrame(target, false)) << "2300 is not buffered";
    ResetEvent(source.Gate);
    source.Drop = true;
    Player().Seek(2300);
    Player().Pause();
    EXPECT_EQ(2000, Player().PendingKey());
    SetEvent(source.Gate);
    Player().Stop();
    EXPECT_EQ(-1, Player().PendingKey());
    EXPECT_EQ(0, Rig.Frames.Count()) << "the source rewound";
    EXPECT_EQ(0u, Player().CurrentTime());
    source.Drop = false;
    Player().Seek(2300);
    ASSERT_TRUE(ShownAt(2300));
    EXPECT_EQ(4, source.Seeks.load());
    EXPECT_EQ(2300u, Player().CurrentTime());
    ref.Show(ref.Find(2000, fkKeyFrame), ref.LastAtOrBefore(2300));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());
}

TEST_F(RenderTest, ATargetAfterTheBufferInABufferedGroupReadsOnToIt)
{
    const Bytes file = LargeRecording();
    ASSERT_EQ(0, Rig.Open(Save("large-read.qov", file), FakeClock));
    TReferencePlayer ref(file);
    SetFakeTime(0);
    Player().Play();
    ASSERT_TRUE(Rig.WaitCurrentIndex(0, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.IsFull(); }, 5000));
    Player().Pause();
    ref.Play(0, 0);

    // A target after the last buffered record, in the last buffered group.
    const int32_t last = Rig.Frames.Count() - 1;
    const uint32_t key = uint32_t(Rig.Frames.MaxTimeStamp()) / 1000 * 1000;
    const uint32_t goal = key + 450;
    Rig.Window.Messages().Clear();

    Player().Seek(int32_t(goal));
    ASSERT_TRUE(WaitUntil([&] { return uint32_t(Rig.Frames.MaxTimeStamp()) > goal; }, 5000));
    ASSERT_TRUE(Rig.WaitQuiet(200, 5000));
    Rig.Window.Sync();
    EXPECT_EQ(key + 400, Player().LastSampleTime());
    // Drawn: the buffered rest of the group at once, then, when the source
    // has read to the target, the group from its key frame to the target.
    ref.Show(ref.Find(key, fkKeyFrame), size_t(last));
    ref.Show(ref.Find(key, fkKeyFrame), ref.LastAtOrBefore(goal));
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
    EXPECT_EQ("", Rig.Window.CompareScreen());
    EXPECT_EQ(uint32_t(key), uint32_t(Rig.Frames.MinTimeStamp())) << "earlier groups were dropped";
}

// ---------------------------------------------------------------------------
// Frames that cannot be decoded

TEST_F(RenderTest, FramesThatCannotBeDecodedAreSkippedLoggedAndLeaveNoLockHeld)
{
    constexpr int W = 160, H = 120;
    writer::TRecordingWriter w(W, H, kVersion0100);
    const TPicture screen = writer::MakeScreenPicture(W, H, 7);
    const TPicture other = writer::MakeScreenPicture(W, H, 8);
    const TPicture patch = other.Crop(0, 0, 40, 30);
    w.AddKeyFrame(0, screen, ctZlib, 60, 60);
    w.AddXorRect(100, 10, 10, patch, ctLZO1X);
    // The same rectangle again, its block followed by one more byte.
    Bytes lzo = writer::EncodePicture(patch, ctLZO1X);
    lzo.push_back(0);
    w.AddFrame(200, fkXorRect, ctLZO1X, 10, 10, lzo);
    Bytes jpeg = writer::EncodePicture(patch, ctJPEG);
    jpeg[0] = jpeg[1] = 0;  // no JPEG start marker
    w.AddFrame(300, fkCopyRect, ctJPEG, 50, 50, jpeg);
    Bytes stored = writer::EncodePicture(patch, ctStored);
    stored[28] = 7;  // seven bits per pixel
    w.AddFrame(400, fkCopyRect, ctStored, 70, 20, stored);
    Bytes zlib = writer::EncodePicture(other, ctZlib);
    for (size_t i = zlib.size() / 2; i < zlib.size() / 2 + 16; ++i)
        zlib[i] ^= 0x5A;
    w.AddFrame(500, fkKeyFrame, ctZlib, 0, 0, zlib);
    w.AddFrame(600, fkCopyRect, 7, 0, 0, writer::EncodePicture(patch, ctStored));
    w.AddFrame(650, fkCopyRect, ctStored, 5, 5, Bytes{});
    w.AddFrame(700, fkCursor, ctLZO1X, 30, 30, lzo);
    w.AddCopyRect(800, 90, 70, patch, ctStored);
    w.AddMarker(900);
    const Bytes file = w.Build();
    ASSERT_EQ(0, Rig.Open(Save("damaged.qov", file)));
    const uint64_t mark = LogMark();
    Rig.PlayFastest();
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_END, 1, 10000));
    Rig.Window.Sync();

    TReferencePlayer ref(file);
    ref.Play(0, ref.Count() - 1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer())) << "a damaged frame drew something";
    EXPECT_EQ("", Rig.Window.CompareScreen());
    EXPECT_TRUE(WaitLogLines(mark, "skipped", 7, kAfterLogMs)) << LogSince(mark);
    EXPECT_EQ(1u, Count(WM_ENGINE_MARKER));

    // Every lock the thread takes is free again.
    std::atomic<bool> locked{false};
    std::thread prober([&] {
        TOutputLock output;
        Rig.Frames.LockList();
        Rig.KeyFrames.LockList();
        Player().BackBuffer().Lock();
        Player().BackBuffer().Unlock();
        Rig.KeyFrames.UnlockList();
        Rig.Frames.UnlockList();
        locked = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return locked.load(); }, 3000));
    prober.join();

    // The thread goes on serving.
    Player().Seek(100);
    ASSERT_TRUE(Rig.Window.Messages().WaitCount(WM_ENGINE_POSITION, 1, 3000));
    Rig.Window.Sync();
    ref.Show(0, 1);
    EXPECT_EQ("", ref.Compare(Player().BackBuffer()));
}
