// bench_nails: the thumbnail strip's fill and relayout (Windows; run under
// Wine; the web part needs scripts/services.sh started).
//
//   fill:     from the moment the control starts loading a recording's
//             thumbnails (its OPENED handler calls LoadFromFolder or
//             StartDownload) to the 120th nail on screen, from a local folder
//             and from the test web server, against loading the same 120
//             pictures one after another in a plain loop in the same run
//             (goal: local at most 1.5 times the loop);
//   relayout: while a resize moves 120 nails into a new grid, the longest
//             single message handled on the strip's thread against one
//             placement that moves a nail in view as the pass makes it (its
//             PlaceNail with the drawing, and the acknowledgement), in six
//             passes (goal: at most 2). Placements of nails out of view
//             draw nothing; their mean is printed beside it.
//
// It hosts the strip's units directly, as their tests do.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchArch.h"
#include "BenchSupport.h"
#include "QovWriter.h"
#include "UnitBottom.h"
#include "UnitDownload.h"

using namespace qov;
using qov::bench::NowMs;

namespace {

constexpr int kNails = 120;
const int kScrollBar = GetSystemMetrics(SM_CXVSCROLL);

void WriteBytes(const std::string& path, const writer::Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// "nails.xml" of 120 lines and 160 x 120 JPEG thumbnails in folder + pictures.
void WriteList(const std::string& folder, const std::string& pictures)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + pictures).c_str(), nullptr);
    std::string list;
    for (int i = 0; i < kNails; ++i) {
        const std::string name = "p" + std::to_string(i) + ".jpg";
        list += std::to_string(i * 10000) + "=" + name + "\r\n";
        WriteBytes(folder + pictures + name, writer::MakeStillJpeg(160, 120, static_cast<uint64_t>(i) + 1));
    }
    WriteBytes(folder + "nails.xml", writer::Bytes(list.begin(), list.end()));
}

// A visible window that hosts the strip.
HWND MakeHost(int clientWidth, int clientHeight)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "BenchNailsHost";
    RegisterClassA(&wc);
    RECT r{0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    HWND window = CreateWindowA("BenchNailsHost", "bench_nails", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
    UpdateWindow(window);
    return window;
}

// Dispatches this thread's messages until done() (true) or timeoutMs.
bool Pump(const std::function<bool()>& done, DWORD timeoutMs)
{
    const double end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end)
            return false;
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

// From the call that starts loading to 120 nails painted.
double Fill(HWND host, const std::function<void(TNailsFrame&)>& start)
{
    TNailsFrame strip(host);
    RECT area{0, 0, 450 + kScrollBar, 300};
    strip.SetStripHeight(280);
    strip.AlignBottom(area);
    const double t0 = NowMs();
    start(strip);
    if (!Pump([&] { return strip.Count() == kNails; }, 60000))
        return -1;
    UpdateWindow(strip.Handle());
    return NowMs() - t0;
}

// The same 120 pictures loaded one after another.
double PlainLoop(HWND host, const std::string& pictures)
{
    TNailsFrame strip(host);
    const double t0 = NowMs();
    for (int i = 0; i < kNails; ++i) {
        TNail nail(&strip);
        nail.LoadPicture(pictures + "p" + std::to_string(i) + ".jpg");
    }
    return NowMs() - t0;
}

// One relayout pass: every message handled on the strip's thread from the
// first placement to the last nail in its place, and the short tail after.
struct TPass {
    double Time = 0;
    double Longest = 0;
    UINT LongestMsg = 0;
    double OnScreen = 0;  // mean placement handler that moves a nail in view
    int OnScreenCount = 0;
    double All = 0;  // mean placement handler
    double Ratio() const { return OnScreen > 0 ? Longest / OnScreen : 0.0; }
};

RECT InView(const TNailsFrame& strip, const TNail* nail)
{
    return RECT{nail->Left() - 1, nail->Top() - strip.ScrollPos() - 1, nail->Right() + kNailGap,
                nail->Bottom() - strip.ScrollPos() + 1};
}

TPass Pass(TNailsFrame& strip, const RECT& area, int columns)
{
    TPass pass;
    const int pitch = kNailSize + strip.LabelHeight() + kNailGap;
    const TNail* last = strip.Nail(kNails - 1);
    auto placed = [&] {
        return last->Left() == 10 + ((kNails - 1) % columns) * (kNailSize + kNailGap) &&
               last->Top() == 10 + ((kNails - 1) / columns) * pitch;
    };
    // The resize and what it leaves to repaint (the strip, its splitter, the
    // host) are not the pass's.
    strip.AlignBottom(area);
    RedrawWindow(strip.Parent(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT client{};
    GetClientRect(strip.Handle(), &client);
    const double t0 = NowMs();
    double tailEnd = 0, all = 0, onScreen = 0;
    int places = 0;
    bool started = false;
    while (tailEnd == 0 || NowMs() < tailEnd) {
        if (NowMs() - t0 > 60000)
            break;
        if (tailEnd == 0 && placed()) {
            pass.Time = NowMs() - t0;
            tailEnd = NowMs() + 50;
        }
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            continue;
        }
        const TNail* nail = msg.message == WM_NAIL_PLACE ? strip.Nail(static_cast<int>(msg.wParam)) : nullptr;
        const RECT from = nail ? InView(strip, nail) : RECT{};
        const double start = NowMs();
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        const double took = NowMs() - start;
        started = started || msg.message == WM_NAIL_PLACE;
        if (!started)
            continue;
        if (took > pass.Longest) {
            pass.Longest = took;
            pass.LongestMsg = msg.message;
        }
        if (!nail)
            continue;
        ++places;
        all += took;
        const RECT to = InView(strip, nail);
        RECT seen{};
        if (!EqualRect(&from, &to) &&
            (IntersectRect(&seen, &from, &client) || IntersectRect(&seen, &to, &client))) {
            onScreen += took;
            ++pass.OnScreenCount;
        }
    }
    pass.All = places > 0 ? all / places : 0;
    pass.OnScreen = pass.OnScreenCount > 0 ? onScreen / pass.OnScreenCount : 0;
    return pass;
}

// Passes between 6 and 3 columns, back and forth.
std::vector<TPass> Relayouts(HWND host, const std::string& folder, int count)
{
    std::vector<TPass> passes;
    TNailsFrame strip(host);
    const RECT wide{0, 0, 450 + kScrollBar, 300}, narrow{0, 0, 230 + kScrollBar, 300};
    strip.SetStripHeight(280);
    strip.AlignBottom(wide);
    strip.LoadFromFolder(folder);
    if (!Pump([&] { return strip.Count() == kNails; }, 60000))
        return passes;
    Pump([] { return false; }, 200);
    for (int i = 0; i < count; ++i)
        passes.push_back(i % 2 == 0 ? Pass(strip, narrow, 3) : Pass(strip, wide, 6));
    return passes;
}

} // namespace

int main()
{
    bench::PrintArchitecture("bench_nails");
    HWND host = MakeHost(450 + kScrollBar, 300);
    const std::string local = bench::BenchFolder() + "nails_local\\";
    WriteList(local, "nails\\");

    // Warm the file cache and the decoder once.
    PlainLoop(host, local + "nails\\");
    std::vector<double> loops, fills;
    for (int run = 0; run < 5; ++run) {
        loops.push_back(PlainLoop(host, local + "nails\\"));
        fills.push_back(Fill(host, [&](TNailsFrame& s) { s.LoadFromFolder(local); }));
    }
    std::sort(loops.begin(), loops.end());
    std::sort(fills.begin(), fills.end());
    const double loop = loops[loops.size() / 2], fill = fills[fills.size() / 2];
    std::printf("plain loop, 120 pictures:          %8.1f ms (median of 5)\n", loop);
    std::printf("local folder, start to 120 shown:  %8.1f ms (median of 5)  ratio %.2f (goal <= 1.5)\n", fill,
                fill / loop);

    int port = 0;
    std::string root;
    if (bench::FindWebServer(&port, &root)) {
        const std::string dir = "bench_nails_" + std::to_string(GetCurrentProcessId());
        WriteList(root + "\\" + dir + "\\", "");
        std::vector<double> webs;
        for (int run = 0; run < 3; ++run) {
            const std::string temp = MakeControlTempFolder();
            webs.push_back(Fill(host, [&](TNailsFrame& s) {
                s.StartDownload("http://127.0.0.1:" + std::to_string(port) + "/" + dir + "/", temp);
            }));
            RemoveControlTempFolder(temp);
        }
        std::sort(webs.begin(), webs.end());
        const double web = webs[webs.size() / 2];
        std::printf("web server, start to 120 shown:    %8.1f ms (median of 3)  ratio %.2f\n", web, web / loop);
    } else {
        std::printf("web server: not running (scripts/services.sh start)\n");
    }

    // A placement that moves a nail in view draws it where it was and where
    // it goes; the others have nothing to draw. No handler of the pass may
    // take more than twice such a move.
    std::vector<TPass> passes = Relayouts(host, local, 6);
    std::vector<double> ratios;
    for (const TPass& p : passes) {
        std::printf("relayout %s: %5.1f ms; longest handler %.3f ms (message 0x%04X); placement in view %.3f ms "
                    "(%d), any placement %.3f ms; longest / in view %.2f, / any %.2f\n",
                    (&p - &passes.front()) % 2 == 0 ? "6 to 3" : "3 to 6", p.Time,
                    p.Longest, p.LongestMsg, p.OnScreen, p.OnScreenCount, p.All, p.Ratio(),
                    p.All > 0 ? p.Longest / p.All : 0.0);
        ratios.push_back(p.Ratio());
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("longest handler against one placement in view: median %.2f, worst %.2f of %zu passes "
                    "(goal <= 2)\n",
                    ratios[ratios.size() / 2], ratios.back(), ratios.size());
    }
    DestroyWindow(host);
    return 0;
}
