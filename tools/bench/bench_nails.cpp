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
//             PlaceNail with the repaint it causes (goal: at most 2).
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

// The longest WM_NAIL_PLACE handler seen by Pump while measuring.
double gLongestPlace = 0;

// Dispatches this thread's messages until done() (true) or timeoutMs; the
// longest single dispatch from the first message from on goes to *longest
// when given.
bool Pump(const std::function<bool()>& done, DWORD timeoutMs, double* longest = nullptr, UINT* longestMsg = nullptr,
          UINT from = 0)
{
    bool measuring = from == 0;
    const double end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end)
            return false;
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            continue;
        }
        const double start = NowMs();
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        const double took = NowMs() - start;
        measuring = measuring || msg.message == from;
        if (measuring && msg.message == WM_NAIL_PLACE)
            gLongestPlace = std::max(gLongestPlace, took);
        if (longest && measuring && took > *longest) {
            *longest = took;
            if (longestMsg)
                *longestMsg = msg.message;
        }
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

struct TRelayout {
    double Longest = 0;
    UINT LongestMsg = 0;
    double PlaceMean = 0;  // PlaceNail and the repaint it causes, of nails that move
    double Pass = 0;
};

TRelayout Relayout(HWND host, const std::string& folder)
{
    TRelayout r;
    TNailsFrame strip(host);
    RECT wide{0, 0, 450 + kScrollBar, 300}, narrow{0, 0, 230 + kScrollBar, 300};
    strip.SetStripHeight(280);
    strip.AlignBottom(wide);
    strip.LoadFromFolder(folder);
    if (!Pump([&] { return strip.Count() == kNails; }, 60000))
        return r;
    Pump([] { return false; }, 200);
    const int pitch = kNailSize + strip.LabelHeight() + kNailGap;
    auto placed = [&](int columns) {
        const TNail* last = strip.Nail(kNails - 1);
        return last->Left() == 10 + ((kNails - 1) % columns) * (kNailSize + kNailGap) &&
               last->Top() == 10 + ((kNails - 1) / columns) * pitch;
    };
    // The strip's repaint at its new size is the resize's; the pass starts
    // with the first placement.
    const double t0 = NowMs();
    strip.AlignBottom(narrow);
    Pump([&] { return placed(3); }, 60000, &r.Longest, &r.LongestMsg, WM_NAIL_PLACE);
    r.Pass = NowMs() - t0;

    // One placement as the layout pass makes it, with its repaint: the
    // strip is widened again and each nail moved by hand.
    strip.AlignBottom(wide);
    Pump([] { return false; }, 50);
    double total = 0;
    for (int i = 1; i < kNails; ++i) {
        const double s = NowMs();
        strip.PlaceNail(i);
        UpdateWindow(strip.Handle());
        total += NowMs() - s;
    }
    r.PlaceMean = total / (kNails - 1);
    return r;
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

    const TRelayout r = Relayout(host, local);
    std::printf("relayout of 120 nails, 6 to 3 columns: %.1f ms\n", r.Pass);
    std::printf("  longest handler on the strip's thread: %.3f ms (message 0x%04X)\n", r.Longest, r.LongestMsg);
    std::printf("  longest placement handler:              %.3f ms\n", gLongestPlace);
    std::printf("  one PlaceNail with its repaint:        %.3f ms  ratio %.2f (goal <= 2)\n", r.PlaceMean,
                r.PlaceMean > 0 ? r.Longest / r.PlaceMean : 0.0);
    DestroyWindow(host);
    return 0;
}
