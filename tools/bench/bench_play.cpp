// bench_play: opening and playing through the player control against the
// engine driven directly, in the same run:
//   - Open to the first WM_ENGINE_PAINT handled (pixels in the picture) for
//     the built-in sample from a local path and from nginx, against a reader
//     and play thread on a stand-in window (goal: ratio at most 1.10);
//   - live frames per second: OnStreamSample events on the control's thread
//     against the frames the live client stores on its own, the peer paced
//     as a broadcast (goal: at least 0.95) and flat out;
//   - 200 Open/Close cycles: handles, threads, GDI objects and private bytes
//     after against before (goal: 1.00).
//
// Usage (under Wine, from the build's bin folder, QovPlayer.ocx registered,
// the test web servers running for the nginx figure): bench_play.exe [cycles]
#include "wtest_live_client_peers.h"

#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchArch.h"
#include "BenchSupport.h"
#include "ConsoleText.h"
#include "OleHost.h"
#include "PlayThread.h"
#include "QovPlayerTLB.h"
#include "SampleRecording.h"

using namespace qov;
using namespace qov::test;
using qov::bench::HandleCount;
using qov::bench::NowMs;
using qov::bench::PrivateBytes;
using qov::bench::ThreadCount;

namespace {

constexpr int kRuns = 15;

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

template <class F>
bool PumpUntil(F done, DWORD timeoutMs)
{
    const double end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end)
            return false;
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    return true;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The control in a window of this thread, with the time its form window
// finished handling the first WM_ENGINE_PAINT since Arm.
class TControl {
public:
    TControl() : FWindow(CreateWindowExA(0, "STATIC", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 820, 620, nullptr,
                                         nullptr, nullptr, nullptr)),
                 FHost(FWindow)
    {
        FHost.SetEventHandler([this](DISPID id, DISPPARAMS*) {
            if (id == 206)
                ++Samples;
        });
        if (FAILED(FHost.Create(CLSID_QovPlayerCtrl)) || FAILED(FHost.Activate(RECT{0, 0, 800, 600}, false)))
            throw std::runtime_error("cannot create the control (is QovPlayer.ocx registered?)");
        FHost.Control()->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&FPlayer));
        s_self = this;
        FOldProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(FHost.ControlWindow(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
    }
    ~TControl()
    {
        SetWindowLongPtrA(FHost.ControlWindow(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FOldProc));
        FPlayer->Close();
        FPlayer->Release();
        FHost.Destroy();
        DestroyWindow(FWindow);
    }
    IQovPlayer* Player() { return FPlayer; }
    void Arm() { FirstPaint = -1; }
    bool Open(const std::string& locator)
    {
        std::wstring w(locator.begin(), locator.end());
        BSTR b = SysAllocString(w.c_str());
        const HRESULT hr = FPlayer->Open(b);
        SysFreeString(b);
        return SUCCEEDED(hr);
    }
    TStatus Status()
    {
        TStatus s = vpClosed;
        FPlayer->get_Status(&s);
        return s;
    }

    double FirstPaint = -1;
    size_t Samples = 0;

private:
    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        const LRESULT r = CallWindowProcA(s_self->FOldProc, w, msg, wp, lp);
        if (msg == WM_ENGINE_PAINT && s_self->FirstPaint < 0)
            s_self->FirstPaint = NowMs();
        return r;
    }

    static TControl* s_self;
    HWND FWindow;
    host::TOleHost FHost;
    IQovPlayer* FPlayer = nullptr;
    WNDPROC FOldProc = nullptr;
};
TControl* TControl::s_self = nullptr;

// Open to first paint through the control; -1 when none came.
double ControlFirstPaint(TControl& control, const std::string& locator)
{
    control.Arm();
    const double start = NowMs();
    if (!control.Open(locator) || !PumpUntil([&] { return control.FirstPaint >= 0; }, 15000))
        return -1;
    const double took = control.FirstPaint - start;
    control.Player()->Close();
    return took;
}

// The engine on its own: a reader and, once it has opened, a play thread
// (key-frame cache off) on the stand-in window.
struct TEngine {
    TEngine()
    {
        Context.Frames = &Frames;
        Context.KeyFrames = &KeyFrames;
        Context.Index = &Index;
        Context.Window = Window.Handle();
    }
    ~TEngine() { Close(); }
    void Close()
    {
        if (Player)
            Player->Stop();
        if (Reader)
            Reader->Stop();
        Player.reset();
        Reader.reset();
        Context.Player = nullptr;
        Context.Reader = nullptr;
        Frames.Clear();
        KeyFrames.Clear();
        Index.Clear();
    }
    // Waits for the reader's open and starts playing.
    bool StartPlaying(size_t& from)
    {
        double when = 0;
        WPARAM code = 1;
        if (!Window.Messages.Wait(WM_ENGINE_OPENED, from, when, code, 15000) || code != 0)
            return false;
        Player = std::make_unique<TPlayThread>(&Context);
        Player->SetKeyCacheOn(false);
        Context.Player = Player.get();
        Player->Play();
        return true;
    }

    bench::TBenchWindow Window;
    TFramesBuffer Frames;
    TKeyFramesBuffer KeyFrames;
    TIndexTable Index;
    PlaybackContext Context;
    std::unique_ptr<TReadThread> Reader;
    std::unique_ptr<TPlayThread> Player;
};

double EngineFirstPaint(const std::string& locator)
{
    TEngine engine;
    size_t from = engine.Window.Messages.Size();
    const double start = NowMs();
    engine.Reader = std::make_unique<TFileThread>(&engine.Context);
    engine.Context.Reader = engine.Reader.get();
    engine.Reader->Open(locator);
    if (!engine.StartPlaying(from))
        return -1;
    double when = 0;
    WPARAM wp = 0;
    if (!engine.Window.Messages.Wait(WM_ENGINE_PAINT, from, when, wp, 15000))
        return -1;
    return when - start;
}

void FirstPaintFigures(TControl& control, const char* what, const std::string& locator)
{
    std::vector<double> viaControl, viaEngine;
    for (int i = 0; i < kRuns; ++i) {
        viaEngine.push_back(EngineFirstPaint(locator));
        viaControl.push_back(ControlFirstPaint(control, locator));
    }
    const double c = Median(viaControl), e = Median(viaEngine);
    std::printf("%-36s control %.1f ms, engine %.1f ms, ratio %.3f (goal <= 1.10)\n", what, c, e,
                e > 0 ? c / e : -1.0);
}

// The live peer flat out, for seconds: frames per second.
double EngineLiveRate(TPeer& peer, double seconds)
{
    struct TCounting : TQovClient {
        using TQovClient::TQovClient;
        ~TCounting() override
        {
            Stop();
            EndThread();
        }
        void DoStreamHeader(int width, int height) override
        {
            TQovClient::DoStreamHeader(width, height);
            FContext->Header.Width = uint16_t(width);
            FContext->Header.Height = uint16_t(height);
            PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
        }
        void DoSample(const uint8_t* record) override
        {
            const size_t length = kFrameHeaderSize + RecordHeader(record).Length;
            TFrameRecordPtr copy = AllocFrameRecord(RecordHeader(record).Length);
            std::memcpy(copy.get(), record, length);
            FContext->Frames->AddFrame(std::move(copy));
            if (RecordHeader(record).Kind == fkKeyFrame)
                FContext->Index->AddEntry(RecordHeader(record).Time, true, 0);
            if (FContext->Frames->Bytes() > 0xF00000 && FContext->Player)
                FContext->Player->Post(WM_ENGINE_PURGE, 0);
            ++Count;
        }
        std::atomic<size_t> Count{0};
    };
    TEngine engine;
    size_t from = engine.Window.Messages.Size();
    auto* client = new TCounting(&engine.Context);
    engine.Reader.reset(client);
    engine.Context.Reader = client;
    client->Open("QOVS://127.0.0.1:" + std::to_string(peer.ServicePort()) + "/live");
    if (!engine.StartPlaying(from))
        return -1;
    const size_t first = client->Count.load();
    const double start = NowMs();
    Sleep(DWORD(seconds * 1000));
    const double rate = double(client->Count.load() - first) / ((NowMs() - start) / 1000);
    engine.Close();
    return rate;
}

double ControlLiveRate(TControl& control, TPeer& peer, double seconds)
{
    if (!control.Open("QOVS://127.0.0.1:" + std::to_string(peer.ServicePort()) + "/live") ||
        !PumpUntil([&] { return control.Status() == vpPlaying; }, 15000))
        return -1;
    const size_t first = control.Samples;
    const double start = NowMs();
    PumpUntil([] { return false; }, DWORD(seconds * 1000));
    const double rate = double(control.Samples - first) / ((NowMs() - start) / 1000);
    control.Player()->Close();
    return rate;
}

void CycleFigures(TControl& control, const std::string& locator, int cycles)
{
    auto cycle = [&] {
        control.Open(locator);
        PumpUntil([&] { return control.Status() == vpPlaying; }, 15000);
        control.Player()->Close();
        Pump();
    };
    cycle();
    const DWORD handles = HandleCount(), threads = ThreadCount();
    const DWORD gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const SIZE_T bytes = PrivateBytes();
    const double start = NowMs();
    for (int i = 0; i < cycles; ++i)
        cycle();
    const double each = (NowMs() - start) / cycles;
    std::printf("%d Open/Close cycles (%.1f ms each), after / before (goal 1.00):\n", cycles, each);
    std::printf("  handles %lu / %lu = %.2f, threads %lu / %lu = %.2f, GDI %lu / %lu = %.2f, private bytes %.2f\n",
                HandleCount(), handles, double(HandleCount()) / handles, ThreadCount(), threads,
                double(ThreadCount()) / threads, GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), gdi,
                gdi ? double(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) / gdi : 1.0,
                double(PrivateBytes()) / double(bytes));
}

// The nginx port and served folder from the environment or the services'
// ports file beside the build.
bool FindNginx(int* port, std::string* root)
{
    const char* p = std::getenv("QOV_HTTP_PORT");
    const char* r = std::getenv("QOV_HTTP_ROOT");
    if (p && r) {
        *port = std::atoi(p);
        *root = r;
        return *port > 0;
    }
    const std::string text = ReadWholeFile("..\\..\\services\\ports.txt");
    const size_t a = text.find("http_port="), b = text.find("http_root=");
    if (a == std::string::npos || b == std::string::npos)
        return false;
    *port = std::atoi(text.c_str() + a + 10);
    *root = WindowsPath(text.substr(b + 10, text.find_first_of("\r\n", b) - b - 10));
    return *port > 0;
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_play");
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    OleInitialize(nullptr);
    try {
        TWinsock winsock;
        TDecoderReference decoder;
        const std::string sample = "bench_play_sample.qov";
        writer::BuildSampleRecording().Save(sample);
        char full[MAX_PATH];
        GetFullPathNameA(sample.c_str(), MAX_PATH, full, nullptr);
        auto control = std::make_unique<TControl>();

        FirstPaintFigures(*control, "first paint, local sample:", full);
        int port = 0;
        std::string root;
        if (FindNginx(&port, &root) && CopyFileA(full, (root + "\\bench_play_sample.qov").c_str(), FALSE))
            FirstPaintFigures(*control, "first paint, sample from nginx:",
                              "http://127.0.0.1:" + std::to_string(port) + "/bench_play_sample.qov");
        else
            std::printf("first paint from nginx: skipped (scripts/services.sh start)\n");

        // Paced as a broadcast sends (the goal), then flat out (what the
        // second copy of each frame for the host costs).
        const std::string live = "bench_play_live.qov";
        writer::BuildSampleRecording().Save(live);
        for (const char* pace : {"--pace-ms 1", ""}) {
            TPeer peer;
            std::string why;
            if (!peer.Start("live_server.py", "--recording " + UnixPath(live) + " --loop " + pace, &why)) {
                std::printf("live: skipped (%s)\n", why.c_str());
                break;
            }
            const double engine = EngineLiveRate(peer, 3);
            const double viaControl = ControlLiveRate(*control, peer, 3);
            std::printf("%-36s control %.0f frames/s, engine %.0f frames/s, ratio %.3f (goal >= 0.95)\n",
                        *pace ? "live OnStreamSample, paced 1 ms:" : "live OnStreamSample, flat out:", viaControl,
                        engine, engine > 0 ? viaControl / engine : -1.0);
        }

        CycleFigures(*control, full, cycles);
        control.reset();
    } catch (const std::exception& e) {
        std::printf("bench_play failed: %s\n", qov::tools::Utf8FromGbk(e.what()).c_str());
        OleUninitialize();
        return 1;
    }
    OleUninitialize();
    return 0;
}
