// bench_live: what the live client and the multicast source sustain from the
// test peers (tests/peers/live_server.py, multicast_sender.py), and how long
// a frame takes from the peer's send to the frame store:
//   - frames and megabytes per second into TFramesBuffer, peer sending flat out;
//   - latency from the peer's send (its clock, stamped into the frame
//     header's reserved bytes) to the frame being buffered, and to the play
//     thread's WM_ENGINE_PAINT for it reaching the window, peer paced;
//   - processor use of the live client's thread while the stream idles.
// The multicast part runs inside the test network namespace (scripts/netns.sh):
// run outside it, the program runs itself again in there for that part.
//
// Usage (under Wine, from the build's bin folder): bench_live.exe [seconds]
#include "wtest_live_client_peers.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "ConsoleText.h"
#include "PlayThread.h"
#include "SyntheticRecording.h"
#include "UnitMulticast.h"
#include "BenchArch.h"

using namespace qov;
using namespace qov::test;

namespace {

// Microseconds since 1970 on this machine's clock (as the peers stamp them).
uint64_t NowMicros()
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    const uint64_t t = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t / 10 - 11644473600ull * 1000000ull;
}

uint64_t Stamp(const uint8_t* record)
{
    uint64_t s;
    std::memcpy(&s, record + 20, sizeof s);
    return s;
}

struct TLatency {
    std::mutex Lock;
    std::vector<double> Ms;
    void Add(double ms)
    {
        std::lock_guard<std::mutex> l(Lock);
        Ms.push_back(ms);
    }
    void Print(const char* what)
    {
        std::lock_guard<std::mutex> l(Lock);
        if (Ms.empty()) {
            std::printf("%-44s no samples\n", what);
            return;
        }
        std::sort(Ms.begin(), Ms.end());
        std::printf("%-44s median %.2f ms, p95 %.2f ms, max %.2f ms (%zu frames)\n", what, Ms[Ms.size() / 2],
                    Ms[Ms.size() * 95 / 100], Ms.back(), Ms.size());
    }
};

// Send stamps of the records in the order they entered the frame store. The
// play loop takes the records in that order and posts one WM_ENGINE_PAINT per
// record it renders, so the n-th paint is for the n-th stamp.
struct TStoredStamps {
    std::mutex Lock;
    std::vector<uint64_t> Stamps;
    size_t Paints = 0;
    void Add(uint64_t stamp)
    {
        std::lock_guard<std::mutex> l(Lock);
        Stamps.push_back(stamp);
    }
    // On a paint: now minus the send stamp of the record it is for.
    void Painted(TLatency& latency)
    {
        const uint64_t now = NowMicros();
        std::lock_guard<std::mutex> l(Lock);
        if (Paints < Stamps.size())
            latency.Add((now - Stamps[Paints]) / 1000.0);
        ++Paints;
    }
    size_t PaintCount()
    {
        std::lock_guard<std::mutex> l(Lock);
        return Paints;
    }
};

// Calls onPaint for every WM_ENGINE_PAINT the window receives, on the
// window's thread as it dispatches the message, then hands the message on.
class TPaintHook {
public:
    TPaintHook(HWND window, std::function<void()> onPaint) : FWindow(window), FOnPaint(std::move(onPaint))
    {
        SetPropA(FWindow, kProp, this);
        FOld = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TPaintHook::Proc)));
    }
    ~TPaintHook()
    {
        SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FOld));
        RemovePropA(FWindow, kProp);
    }
    TPaintHook(const TPaintHook&) = delete;
    TPaintHook& operator=(const TPaintHook&) = delete;

private:
    static constexpr const char* kProp = "QovBenchPaintHook";
    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* self = static_cast<TPaintHook*>(GetPropA(w, kProp));
        if (!self)
            return DefWindowProcA(w, msg, wp, lp);
        try {
            if (msg == WM_ENGINE_PAINT)
                self->FOnPaint();
        } catch (...) {
        }
        return CallWindowProcA(self->FOld, w, msg, wp, lp);
    }

    HWND FWindow;
    std::function<void()> FOnPaint;
    WNDPROC FOld = nullptr;
};

// The play thread as the control creates it once the source has opened: on
// the context as it stands, key-frame cache off, playing.
std::unique_ptr<TPlayThread> StartPlaying(PlaybackContext& context)
{
    auto player = std::make_unique<TPlayThread>(&context);
    player->SetKeyCacheOn(false);
    context.Player = player.get();
    player->Play();
    return player;
}

void EndPlaying(PlaybackContext& context, std::unique_ptr<TPlayThread>& player)
{
    context.Player = nullptr;
    player.reset();
}

std::string g_recording;  // Windows path of the benchmark recording

bool StartPeer(TPeer& peer, const char* script, const std::string& args)
{
    std::string why;
    if (!peer.Start(script, args, &why)) {
        std::printf("peer failed: %s\n", why.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Live

void LiveThroughput(DWORD seconds)
{
    TPeer peer;
    if (!StartPeer(peer, "live_server.py", "--recording " + UnixPath(g_recording) + " --loop"))
        return;
    TMessageWindow window;
    TContextHolder ctx(window.Handle());
    TTestClient client(&ctx.Context);
    std::atomic<uint64_t> frames{0}, bytes{0};
    client.OnSample = [&](const uint8_t* r) {
        frames.fetch_add(1);
        bytes.fetch_add(kFrameHeaderSize + RecordHeader(r).Length);
    };
    client.Open("QOVS://127.0.0.1:" + std::to_string(peer.ServicePort()) + "/bench");
    window.PumpUntil([&] { return frames.load() > 0; }, 10000);
    const uint64_t f0 = frames.load(), b0 = bytes.load();
    FILETIME c, e, k0, u0, k1, u1;
    GetThreadTimes(client.Handle(), &c, &e, &k0, &u0);
    const DWORD start = timeGetTime();
    while (timeGetTime() - start < seconds * 1000) {
        window.Pump(200);
        ctx.Frames.Clear();  // bounded memory: the store is not what is measured
    }
    const double s = (timeGetTime() - start) / 1000.0;
    GetThreadTimes(client.Handle(), &c, &e, &k1, &u1);
    auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    const double cpu = (ticks(k1) - ticks(k0) + ticks(u1) - ticks(u0)) / 10000.0;
    std::printf("%-44s %.0f frames/s, %.1f MB/s, client thread %.0f %% of a core\n", "live client, peer flat out:",
                (frames.load() - f0) / s, (bytes.load() - b0) / s / 1e6, cpu / (s * 10.0));
    client.Stop();
}

void LiveLatencyAndIdle(DWORD seconds)
{
    TPeer peer;
    if (!StartPeer(peer, "live_server.py", "--recording " + UnixPath(g_recording) + " --stamp --pace-ms 20 --frames " +
                                               std::to_string(seconds * 50)))
        return;
    TMessageWindow window;
    TContextHolder ctx(window.Handle());
    TTestClient client(&ctx.Context);
    ctx.Context.Reader = &client;
    TLatency latency, painted;
    TStoredStamps stamps;
    std::atomic<uint64_t> frames{0};
    client.OnSample = [&](const uint8_t* r) {
        const uint64_t stamp = Stamp(r);
        latency.Add((NowMicros() - stamp) / 1000.0);
        stamps.Add(stamp);  // stored right after this
        frames.fetch_add(1);
    };
    TPaintHook hook(window.Handle(), [&] { stamps.Painted(painted); });
    client.Open("QOVS://127.0.0.1:" + std::to_string(peer.ServicePort()) + "/bench");
    std::unique_ptr<TPlayThread> player;
    if (window.PumpUntil([&] { return window.Count(WM_ENGINE_OPENED) > 0; }, 10000))
        player = StartPlaying(ctx.Context);
    const uint64_t want = uint64_t(seconds) * 50;
    window.PumpUntil([&] { return frames.load() >= want; }, (seconds + 20) * 1000);
    // The last frames painted too.
    window.PumpUntil([&] { return stamps.PaintCount() >= frames.load(); }, 5000);
    latency.Print("live send -> frame buffered (20 ms pacing):");
    painted.Print("live send -> WM_ENGINE_PAINT (20 ms pacing):");
    // The play thread asks the client to read on while nothing comes: gone
    // before the idle client is measured.
    EndPlaying(ctx.Context, player);

    // The stream now idles: keep-alives only.
    window.Pump(500);
    FILETIME c, e, k0, u0, k1, u1;
    GetThreadTimes(client.Handle(), &c, &e, &k0, &u0);
    const DWORD start = timeGetTime();
    window.Pump(5000);
    GetThreadTimes(client.Handle(), &c, &e, &k1, &u1);
    auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    const double cpu = (ticks(k1) - ticks(k0) + ticks(u1) - ticks(u0)) / 10000.0;
    std::printf("%-44s %.2f %% of one core (%.1f ms in %lu ms)\n", "live client idle:", 100.0 * cpu / (timeGetTime() - start),
                cpu, timeGetTime() - start);
    client.Stop();
}

// ---------------------------------------------------------------------------
// Multicast (inside the namespace)

// Waits at most 1 ms for a message and dispatches what came. (The tests'
// pumps wait in 10 ms steps: records buffered meanwhile would be seen only at
// the next paint or the end of the step, and counted as that late.)
void PumpOneMillisecond()
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// paceMs 20: latency; otherwise throughput with that pause between blocks.
void MulticastRun(DWORD seconds, const char* paceMs)
{
    const bool paced = std::string(paceMs) == "20";
    TPeer sender;
    const std::string args = "--group 238.9.9.9 --port 17999 --interface 10.77.0.1 --loop --recording " +
                             UnixPath(g_recording) + (paced ? " --stamp" : "") + " --pace-ms " + paceMs;
    if (!StartPeer(sender, "multicast_sender.py", args))
        return;
    char full[MAX_PATH];
    std::ofstream("bench_live.sms") << "[Address]\r\nip=238.9.9.9\r\nport=17999\r\n";
    GetFullPathNameA("bench_live.sms", MAX_PATH, full, nullptr);
    TMessageWindow window;
    TContextHolder ctx(window.Handle());
    TQovMulticastStream stream(&ctx.Context, {"10.77.0.2"});
    ctx.Context.Reader = &stream;
    stream.Open(full);
    window.PumpUntil([&] { return stream.Receiver(0)->Receiving(); }, 5000);
    window.Pump(200);
    sender.Ask("go");
    const bool opened = window.PumpUntil([&] { return window.Count(WM_ENGINE_OPENED) > 0; }, 10000);
    TLatency latency, painted;
    TStoredStamps stamps;
    uint64_t frames = 0, bytes = 0;
    int32_t seen = 0;
    const uint8_t* last = nullptr;  // the last record looked at
    bool lost = false;
    // New records since the last look. The play thread's purges take records
    // off the front: the last record looked at is found again first.
    auto look = [&] {
        ctx.Frames.LockList();
        const int32_t count = ctx.Frames.Count();
        const uint64_t now = NowMicros();
        if (seen > 0) {
            int32_t i = std::min(seen, count) - 1;
            while (i >= 0 && ctx.Frames.Record(i) != last)
                --i;
            if (i < 0)
                lost = true;  // purged before it was looked at: the paints no longer pair up
            seen = i + 1;
        }
        for (int32_t i = seen; i < count; ++i) {
            const uint8_t* r = ctx.Frames.Record(i);
            ++frames;
            bytes += kFrameHeaderSize + RecordHeader(r).Length;
            if (paced) {
                latency.Add((now - Stamp(r)) / 1000.0);
                stamps.Add(Stamp(r));
            }
            last = r;
        }
        seen = count;
        if (!paced && count > 5000) {
            ctx.Frames.Clear();
            seen = 0;
        }
        ctx.Frames.UnlockList();
    };
    std::unique_ptr<TPlayThread> player;
    std::unique_ptr<TPaintHook> hook;
    if (paced && opened) {
        // A paint's record may not have been looked at yet: look first.
        hook = std::make_unique<TPaintHook>(window.Handle(), [&] {
            look();
            stamps.Painted(painted);
        });
        player = StartPlaying(ctx.Context);
    }
    const DWORD start = timeGetTime();
    while (timeGetTime() - start < seconds * 1000) {
        look();  // every millisecond
        PumpOneMillisecond();
    }
    const double s = (timeGetTime() - start) / 1000.0;
    hook.reset();
    EndPlaying(ctx.Context, player);
    sender.Ask("stop");
    const std::string done = sender.Ask("wait");  // "done <blocks> <datagrams>"
    if (paced) {
        latency.Print("multicast send -> frame buffered (20 ms):");
        painted.Print("multicast send -> WM_ENGINE_PAINT (20 ms):");
        if (lost)
            std::printf("%-44s records purged before they were looked at\n", "multicast paint figures unreliable:");
    } else {
        char what[64];
        std::snprintf(what, sizeof what, "multicast source, sender pause %s ms:", paceMs);
        std::printf("%-44s %.0f frames/s, %.1f MB/s (sender: %s; %u blocks lost)\n", what, frames / s,
                    bytes / s / 1e6, done.c_str(), stream.Receiver(0)->DroppedBlocks());
    }
    stream.Stop();
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_live");
    try {
        const DWORD seconds = argc > 1 ? DWORD(std::atoi(argv[1])) : 5;
        TWinsock winsock;
        TDecoderReference decoder;
        timeBeginPeriod(1);
        writer::TSyntheticOptions o;
        o.Width = 1280;
        o.Height = 720;
        o.DurationMs = 60000;
        o.KeyFrameIntervalMs = 5000;
        o.RectIntervalMs = 40;
        o.CursorIntervalMs = 40;
        o.MarkerIntervalMs = 0;
        g_recording = "bench_live.qov";
        if (!FileExists(g_recording))
            writer::WriteSyntheticRecording(g_recording, o);

        if (std::getenv("QOV_NETNS")) {
            MulticastRun(seconds, "0");
            MulticastRun(seconds, "1");
            MulticastRun(seconds, "20");
            return 0;
        }
        std::printf("recording: 1280 x 720, key frame every 5 s, a rectangle and a cursor move every 40 ms\n");
        LiveThroughput(seconds);
        LiveLatencyAndIdle(seconds);

        // The multicast part, inside the network namespace.
        char exe[MAX_PATH];
        GetModuleFileNameA(nullptr, exe, MAX_PATH);
        DeleteFileA("bench_live_netns.rc");
        std::string cmd = "Z:\\bin\\bash " + PeersFolder().substr(0, PeersFolder().rfind("/tests/")) +
                          "/scripts/netns.sh wine " + UnixPath("bench_live_netns") + " " + UnixPath(exe) + " " +
                          std::to_string(seconds);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back(0);
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            for (int i = 0; i < 3000 && !FileExists("bench_live_netns.rc"); ++i)
                Sleep(100);
            std::printf("%s", ReadWholeFile("bench_live_netns.log").c_str());
        }
        timeEndPeriod(1);
        return 0;
    } catch (const std::exception& e) {
        std::printf("bench_live failed: %s\n", qov::tools::Utf8FromGbk(e.what()).c_str());
        return 1;
    }
}
