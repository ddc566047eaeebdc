// bench_render: the play thread's rendering and seeking at 1920 x 1080.
//
//   bench_render [--file PATH] [--seeks N] [--no-throughput] [--no-seeks] [--idle-seconds N]
//
// Throughput: frames per second that the play thread renders (decode through
// QovPlayer.ocx, draw into the back buffer, report the rectangle) for whole
// key frames and for rectangles of a tenth of the screen, for each
// compression, against a baseline in the same run that only decodes the same
// payloads into the shared output buffer under the output lock.
// Seek latency: time from TPlayThread.Seek to the last WM_ENGINE_PAINT it
// causes, in a synthetic 3-hour recording (made once in build/bench) played
// from its file source, for targets inside the buffer and for targets that
// make the source reposition.
// "draw added" is what drawing adds to decoding on one thread, "added" what
// the play thread adds (drawing, its copy of each record, freeing played
// records, reporting the paint).
// Idle cost: wake-ups per second and processor time of the play thread while
// it plays, from its file source, a recording with one change a second.
// Goals: rendering adds under 20 % to decoding; every seek under 150 ms; at
// most 3 wake-ups a second and 0.2 % of a core while playing one change a
// second.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ConsoleText.h"
#include "FrameStore.h"
#include "PlayThread.h"
#include "QovFormat.h"
#include "QovWriter.h"
#include "SyntheticRecording.h"
#include "UnitQovCore.h"
#include "UnitShare.h"
#include "BenchArch.h"

using namespace qov;
using namespace qov::bench;
using writer::Bytes;
using writer::TPicture;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct TContextLists {
    TFramesBuffer Frames;
    TKeyFramesBuffer KeyFrames;
    TIndexTable Index;
    PlaybackContext Context;

    explicit TContextLists(HWND window)
    {
        Context.Frames = &Frames;
        Context.KeyFrames = &KeyFrames;
        Context.Index = &Index;
        Context.Window = window;
    }
    ~TContextLists()
    {
        Frames.Clear();
        KeyFrames.Clear();
        Index.Clear();
    }
};

const char* CompressionName(uint16_t c)
{
    switch (c) {
    case ctStored: return "stored";
    case ctJPEG: return "JPEG";
    case ctLZO1X: return "LZO1X";
    case ctZlib: return "zlib";
    default: return "?";
    }
}

// ---------------------------------------------------------------------------
// Throughput

struct TFrameSet {
    std::vector<Bytes> Pool;            // distinct payloads
    std::vector<FrameHeader> Headers;
    std::vector<size_t> Payload;        // per header, its payload in the pool
    const Bytes& PayloadOf(size_t i) const { return Pool[Payload[i]]; }
};

// Whole pictures (key frames) or rectangles of a tenth of the screen
// (alternately copied and combined by exclusive or), count of them.
TFrameSet MakeFrames(uint16_t compression, bool keyFrames, int count)
{
    constexpr int kPictures = 4;
    TFrameSet set;
    std::vector<Bytes>& pool = set.Pool;
    const int rectW = 608, rectH = 342;  // 10 % of 1920 x 1080
    for (int i = 0; i < kPictures; ++i) {
        const TPicture screen = writer::MakeScreenPicture(kWidth, kHeight, 100 + i);
        const TPicture picture = keyFrames ? screen : screen.Crop(200 + 97 * i, 100 + 61 * i, rectW, rectH);
        pool.push_back(writer::EncodePicture(picture, compression));
    }
    for (int i = 0; i < count; ++i) {
        const Bytes& payload = pool[size_t(i) % pool.size()];
        const int16_t kind = keyFrames ? fkKeyFrame : (i % 2 ? fkXorRect : fkCopyRect);
        const uint16_t left = keyFrames ? 0 : uint16_t(50 + (i * 131) % (kWidth - rectW - 100));
        const uint16_t top = keyFrames ? 0 : uint16_t(40 + (i * 71) % (kHeight - rectH - 80));
        set.Headers.push_back(writer::MakeFrameHeader(0, kind, compression, left, top, uint32_t(payload.size())));
        set.Payload.push_back(size_t(i) % pool.size());
    }
    return set;
}

// Milliseconds per frame of decoding alone.
double DecodeOnly(const TFrameSet& set)
{
    const double start = NowMs();
    for (size_t i = 0; i < set.Headers.size(); ++i) {
        TOutputLock lock;
        void* out = nullptr;
        const int n = DecodePayloadEx(set.PayloadOf(i).data(), set.Headers[i].Length, set.Headers[i].Compression, &out,
                                      kDecodeOutputSize);
        if (n <= 0)
            throw Exception("a payload did not decode");
    }
    return (NowMs() - start) / double(set.Headers.size());
}

// Milliseconds per frame of decoding and drawing straight into a back buffer
// on this thread (what the play thread adds on top shows against it).
double DecodeAndDraw(const TFrameSet& set, const Bytes& leadingKey)
{
    TBackBuffer picture;
    picture.SetSize(kWidth, kHeight);
    auto draw = [&](const FrameHeader& header, const Bytes& payload) {
        TOutputLock lock;
        void* out = nullptr;
        const int n = DecodePayloadEx(payload.data(), header.Length, header.Compression, &out, kDecodeOutputSize);
        if (n <= 0)
            throw Exception("a payload did not decode");
        picture.Lock();
        picture.DrawFrame(&header, out, uint32_t(n));
        picture.Unlock();
        RECT dirty;
        picture.GetDirtyRect(dirty, true);
        GdiFlush();
    };
    draw(writer::MakeFrameHeader(0, fkKeyFrame, ctZlib, 0, 0, uint32_t(leadingKey.size())), leadingKey);
    const double start = NowMs();
    for (size_t i = 0; i < set.Headers.size(); ++i)
        draw(set.Headers[i], set.PayloadOf(i));
    return (NowMs() - start) / double(set.Headers.size());
}

// Milliseconds per frame of the play thread rendering the set (after a
// leading key frame that is not counted).
double Render(const TFrameSet& set, const Bytes& leadingKey)
{
    TBenchWindow window;
    TContextLists lists(window.Handle());
    lists.Context.Header.Width = kWidth;
    lists.Context.Header.Height = kHeight;
    auto add = [&](const FrameHeader& header, const Bytes& payload) {
        TFrameRecordPtr block = AllocFrameRecord(header.Length);
        std::memcpy(block.get(), &header, sizeof header);
        std::memcpy(block.get() + kFrameHeaderSize, payload.data(), payload.size());
        lists.Frames.AddFrame(std::move(block));
    };
    add(writer::MakeFrameHeader(0, fkKeyFrame, ctZlib, 0, 0, uint32_t(leadingKey.size())), leadingKey);
    lists.Index.AddEntry(0, false, 0);
    for (size_t i = 0; i < set.Headers.size(); ++i)
        add(set.Headers[i], set.PayloadOf(i));

    TPlayThread player(&lists.Context);
    lists.Context.Player = &player;
    player.SetKeyCacheOn(false);
    player.Play();  // every record is due at once
    const size_t n = set.Headers.size();
    if (!window.Messages.WaitCount(0, WM_ENGINE_PAINT, n + 1, 120000))
        throw Exception("the play thread did not render every frame");
    const auto paints = window.Messages.Since(0, WM_ENGINE_PAINT);
    player.Pause();
    lists.Context.Player = nullptr;
    return (paints[n].When - paints[0].When) / double(n);
}

void Throughput()
{
    std::printf("render throughput at %d x %d (frames per second; play thread = decode + draw + paint)\n", kWidth,
                kHeight);
    std::printf("  %-22s %10s %12s %10s %11s %10s\n", "frames", "decode", "decode+draw", "render", "draw added",
                "added");
    const Bytes leadingKey = writer::EncodePicture(writer::MakeScreenPicture(kWidth, kHeight, 99), ctZlib);
    for (const bool keyFrames : {true, false}) {
        for (const uint16_t compression : {ctStored, ctJPEG, ctLZO1X, ctZlib}) {
            const int count = keyFrames ? 30 : 300;
            const TFrameSet set = MakeFrames(compression, keyFrames, count);
            // Each measured twice, the better run counts (a busy machine only
            // slows a run down).
            double decode = 1e9, direct = 1e9, render = 1e9;
            for (int round = 0; round < 2; ++round) {
                decode = std::min(decode, DecodeOnly(set));
                direct = std::min(direct, DecodeAndDraw(set, leadingKey));
                render = std::min(render, Render(set, leadingKey));
            }
            const std::string name =
                std::string(keyFrames ? "key frame " : "10 % rect ") + CompressionName(compression);
            std::printf("  %-22s %10.1f %12.1f %10.1f %9.1f %% %8.1f %%%s\n", name.c_str(), 1000.0 / decode,
                        1000.0 / direct, 1000.0 / render, (direct / decode - 1.0) * 100.0,
                        (render / decode - 1.0) * 100.0, render / decode - 1.0 < 0.20 ? "" : "  (goal: < 20 %)");
            std::fflush(stdout);
        }
    }
}

// ---------------------------------------------------------------------------
// Seek latency

struct TLatency {
    std::vector<double> List;
    void Print(const char* name) const
    {
        if (List.empty()) {
            std::printf("  %-11s no seeks measured\n", name);
            return;
        }
        std::vector<double> s = List;
        std::sort(s.begin(), s.end());
        const double worst = s.back();
        std::printf("  %-11s %3u seeks: median %6.1f ms, 90th %6.1f ms, worst %6.1f ms%s\n", name, unsigned(s.size()),
                    s[s.size() / 2], s[std::min(s.size() - 1, s.size() * 9 / 10)], worst,
                    worst < 150.0 ? "" : "  (goal: every seek < 150 ms)");
    }
};

// Opens file on source as the control does; raises when it does not open.
void OpenRecording(TBenchWindow& window, TContextLists& lists, TFileThread& source, const std::string& file)
{
    lists.Context.Reader = &source;
    source.Open(file);
    if (!window.Messages.WaitCount(0, WM_ENGINE_OPENED, 1, 30000))
        throw Exception("the recording did not open");
}

void SeekLatency(const std::string& file, int seeks)
{
    TBenchWindow window;
    TContextLists lists(window.Handle());
    TFileThread source(&lists.Context);
    OpenRecording(window, lists, source, file);
    const uint32_t duration = lists.Context.Header.Duration;
    TPlayThread player(&lists.Context);
    lists.Context.Player = &player;
    player.SetKeyCacheOn(false);

    // Start playing so that the source fills the buffer, then pause.
    player.Play();
    const double fillUntil = NowMs() + 20000;
    while (!lists.Frames.IsFull() && NowMs() < fillUntil)
        Sleep(5);
    player.Pause();

    // Each seek: from the call to the last paint it causes.
    auto seek = [&](uint32_t target) {
        const size_t from = window.Messages.Size();
        const double start = NowMs();
        player.Seek(int32_t(target));
        const double last = window.Messages.LastOfBurst(from, WM_ENGINE_PAINT, 250.0, 10000);
        if (last < 0)
            return -1.0;
        return last - start;
    };

    uint32_t seed = 11;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };

    TLatency buffered, unbuffered;
    for (int i = 0; i < seeks; ++i) {
        // Inside what is buffered now (after the first buffered record).
        const uint32_t low = uint32_t(lists.Frames.MinTimeStamp());
        const uint32_t high = uint32_t(lists.Frames.MaxTimeStamp());
        if (high > low + 20) {
            uint32_t t = low + 10 + next() % (high - low - 10);
            int32_t f = lists.Frames.FindFrame(t, false);
            if (f != -1 && f != lists.Frames.CurrentIndex()) {
                const double ms = seek(t);
                if (ms >= 0)
                    buffered.List.push_back(ms);
            }
        }
        // Anywhere in the three hours: mostly a group that is not buffered.
        uint32_t target = next() % duration;
        uint32_t probe = target;
        const bool inBuffer = lists.Frames.FindFrame(probe, false) != -1;
        const double ms = seek(target);
        if (ms >= 0)
            (inBuffer ? buffered : unbuffered).List.push_back(ms);
    }
    std::printf("seek latency in %s (%.1f MB, %u ms), seek to last paint, paused:\n", file.c_str(),
                double(FileSize(file)) / 1e6, duration);
    buffered.Print("buffered");
    unbuffered.Print("unbuffered");
    player.Stop();
    lists.Context.Player = nullptr;
    lists.Context.Reader = nullptr;
}

// Times the play loop woke from a wait.
uint32_t WakeupsOf(const TPlayThread& player)
{
    return player.Wakeups();
}

void IdleCost(int seconds)
{
    const std::string file = BenchFolder() + "\\bench-one-change-a-second.qov";
    if (FileSize(file) == 0) {
        writer::TSyntheticOptions o;
        o.Width = 640;
        o.Height = 480;
        o.DurationMs = 600000;
        o.KeyFrameIntervalMs = 60000;
        o.RectIntervalMs = 1000;
        o.CursorIntervalMs = 0;
        o.MarkerIntervalMs = 0;
        writer::WriteSyntheticRecording(file, o);
    }
    TBenchWindow window;
    TContextLists lists(window.Handle());
    TFileThread source(&lists.Context);
    OpenRecording(window, lists, source, file);
    TPlayThread player(&lists.Context);
    lists.Context.Player = &player;
    player.SetKeyCacheOn(false);
    player.Play();
    Sleep(1500);  // the first frames and the source's reading ahead
    auto cpuMs = [&] {
        FILETIME c, e, k, u;
        GetThreadTimes(player.Handle(), &c, &e, &k, &u);
        auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
        return (ticks(k) + ticks(u)) / 10000.0;
    };
    const uint32_t w0 = WakeupsOf(player), r0 = player.Rendered();
    const double c0 = cpuMs(), t0 = NowMs();
    Sleep(DWORD(seconds) * 1000);
    const double s = (NowMs() - t0) / 1000.0;
    const uint32_t wakeups = WakeupsOf(player) - w0, rendered = player.Rendered() - r0;
    const double cpu = cpuMs() - c0;
    std::printf("%-44s %.1f wake-ups/s, play thread %.3f %% of a core (%u frames in %.1f s)\n",
                "one change a second, playing:", wakeups / s, cpu / (s * 10.0), rendered, s);
    player.Stop();
    lists.Context.Player = nullptr;
    lists.Context.Reader = nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_render");
    std::string file;
    int seeks = 40;
    bool throughput = true, latency = true;
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--file" && i + 1 < argc)
            file = argv[++i];
        else if (a == "--seeks" && i + 1 < argc)
            seeks = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-throughput")
            throughput = false;
        else if (a == "--no-seeks")
            latency = false;
        else if (a == "--idle-seconds" && i + 1 < argc)
            idleSeconds = std::max(0, std::atoi(argv[++i]));
    }
    if (!InitDecoder()) {
        std::fprintf(stderr, "bench_render: the frame decoder cannot start\n");
        return 1;
    }
    int result = 0;
    try {
        if (throughput)
            Throughput();
        if (latency) {
            if (file.empty())
                file = BenchFolder() + "\\bench-3h-1080p.qov";
            EnsureThreeHourRecording(file);
            SeekLatency(file, seeks);
        }
        if (idleSeconds > 0)
            IdleCost(idleSeconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_render: %s\n", qov::tools::Utf8FromGbk(e.what()).c_str());
        result = 1;
    }
    UninitDecoder();
    return result;
}
