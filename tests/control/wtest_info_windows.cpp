// The statistics window and the about box from the control's popup menu, in a
// test container.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ControlHost.h"
#include "ControlWindows.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"
#include "TestServices.h"
#include "TextPixels.h"

using namespace qov;
using namespace qov::test;

namespace {

constexpr UINT kStatus = 104, kAbout = 105;
constexpr int kLabFrames = 104, kLabBytes = 105, kLabBPS = 106, kLabDuration = 107, kLabSize = 108,
              kLabVersion = 201;

std::string Text(HWND window, int id)
{
    char text[256] = {};
    GetDlgItemTextA(window, id, text, sizeof text);
    return text;
}

// Offset of child's centre from its parent's client centre.
POINT CentreOffset(HWND child)
{
    RECT c{}, p{};
    GetWindowRect(child, &c);
    GetClientRect(GetParent(child), &p);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&c), 2);
    return POINT{(c.left + c.right) / 2 - p.right / 2, (c.top + c.bottom) / 2 - p.bottom / 2};
}

// The rate a "<n> Kbps" or "<x.xx> Mbps" text shows, in kilobits per second;
// -1 for any other text.
double KilobitsPerSecond(const std::string& text)
{
    double value = 0;
    char unit[8] = {};
    if (std::sscanf(text.c_str(), "%lf %7s", &value, unit) != 2)
        return -1;
    return std::string(unit) == "Kbps" ? value : std::string(unit) == "Mbps" ? value * 1024 : -1;
}

} // namespace

TEST(InfoWindows, StatisticsWindowInsideTheControl)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate(false));
    IQovPlayer* p = host.Player();
    HWND form = FormOf(p);
    SendMessageA(form, WM_COMMAND, kStatus, 0);
    HWND status = FindWindowExA(form, nullptr, "TfrmStatus", nullptr);
    ASSERT_TRUE(status);
    EXPECT_TRUE(IsWindowVisible(status));
    char caption[64] = {};
    GetWindowTextA(status, caption, sizeof caption);
    const bool chinese = GetSystemDefaultLangID() == 2052;
    std::printf("window language 0x%04x\n", GetSystemDefaultLangID());
    EXPECT_STREQ(caption, chinese ? "统计信息" : "Statistic");
    EXPECT_EQ(Text(status, IDOK), chinese ? "关闭" : "Close");
    EXPECT_LE(std::abs(CentreOffset(status).x), 1);
    EXPECT_LE(std::abs(CentreOffset(status).y), 1);
    // Before the first recording only length and size change.
    ASSERT_TRUE(WaitUntil([&] { return Text(status, kLabSize) == "0 x 0"; }, 3000));
    EXPECT_EQ(Text(status, kLabDuration), "00:00:00");

    // A second choice keeps the one window and centres it again.
    SetWindowPos(status, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageA(form, WM_COMMAND, kStatus, 0);
    EXPECT_EQ(FindWindowExA(form, status, "TfrmStatus", nullptr), nullptr);
    EXPECT_LE(std::abs(CentreOffset(status).x), 1);

    // A recording's figures come with the next refresh.
    const std::string path = ScratchPath("info_windows_sample.qov");
    qov::writer::BuildSampleRecording().Save(path);
    const std::wstring wide(path.begin(), path.end());
    BSTR b = SysAllocString(wide.c_str());
    ASSERT_HRESULT_SUCCEEDED(p->Open(b));
    SysFreeString(b);
    ASSERT_TRUE(WaitUntil([&] { return Text(status, kLabSize) == "800 x 600"; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Text(status, kLabFrames) != "0"; }, 3000));

    // Closed, the window no longer refreshes.
    SendMessageA(status, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(status));
    SetDlgItemTextA(status, kLabSize, "-");
    TControlHost::Pump(1500);
    EXPECT_EQ(Text(status, kLabSize), "-");
    p->Close();
}

// The statistics window's Chinese texts read as Chinese whatever the system's
// code page ("当前时间：" and "媒体信息" stay Chinese among the English texts),
// and no caption covers the value beside it, in the texts of either language.
TEST(InfoWindows, StatisticsCaptionsReadAsChineseAndLeaveTheirValuesFree)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate(false));
    HWND form = FormOf(host.Player());
    SendMessageA(form, WM_COMMAND, kStatus, 0);
    HWND status = FindWindowExA(form, nullptr, "TfrmStatus", nullptr);
    ASSERT_TRUE(status);
    RedrawWindow(status, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);

    struct TLabel {
        HWND Window;
        RECT Place;
        std::wstring Text;
        bool Value;
    };
    std::vector<TLabel> labels;
    std::wstring mediaBox;
    for (HWND child = GetWindow(status, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16] = {}, text[64] = {};
        GetClassNameW(child, cls, 16);
        GetWindowTextW(child, text, 64);
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, status, reinterpret_cast<POINT*>(&r), 2);
        const int id = GetDlgCtrlID(child);
        if (!lstrcmpiW(cls, L"Static"))
            labels.push_back({child, r, text, id >= 101 && id <= 108});
        else if (r.top > 150 && (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX)
            mediaBox = text;
    }
    EXPECT_EQ(mediaBox, L"媒体信息");
    ASSERT_EQ(labels.size(), 16u);
    int values = 0;
    for (const TLabel& caption : labels) {
        if (caption.Value)
            continue;
        // The caption holds its whole text ...
        HDC dc = GetDC(caption.Window);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(caption.Window, WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(dc, caption.Text.c_str(), static_cast<int>(caption.Text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(caption.Window, dc);
        EXPECT_LE(size.cx, caption.Place.right - caption.Place.left) << caption.Place.left << "," << caption.Place.top;
        // ... and ends before the value of its row begins.
        for (const TLabel& value : labels)
            if (value.Value && value.Place.top == caption.Place.top) {
                ++values;
                EXPECT_LE(caption.Place.right, value.Place.left) << caption.Place.left << "," << caption.Place.top;
            }
    }
    EXPECT_EQ(values, 8);

    const auto current = std::find_if(labels.begin(), labels.end(),
                                      [](const TLabel& l) { return l.Text == L"当前时间："; });
    ASSERT_NE(current, labels.end());
    HDC dc = GetDC(current->Window);
    RECT inside{};
    GetClientRect(current->Window, &inside);
    const TPixels shown = ReadPixels(dc, inside);
    ReleaseDC(current->Window, dc);
    const COLORREF back = Background(shown);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(current->Window, WM_GETFONT, 0, 0));
    EXPECT_TRUE(DistinctGlyphs(font, L"当前时间媒体信息"));
    const TPixels drawn = DrawWideText(font, current->Text, shown.Width, shown.Height, back,
                                       GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(InkBlock(shown, back), InkBlock(drawn, back))
        << Picture(InkBlock(shown, back), back) << Picture(InkBlock(drawn, back), back);
}

TEST(InfoWindows, AboutBoxIsModalToTheHostWindow)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate(false));
    HWND form = FormOf(host.Player());
    HWND top = GetAncestor(form, GA_ROOT);
    for (int round = 0; round < 2; ++round) {
        std::atomic<bool> hostDisabled{false};
        std::string version, captions;
        int offset = 99;
        std::thread user([&] {
            HWND box = nullptr;
            for (int i = 0; i < 300 && !(box = qov::test::FindOwnWindow("TfrmAbout")); ++i)
                Sleep(10);
            if (!box)
                return;
            Sleep(100);
            hostDisabled = !IsWindowEnabled(top);
            HWND label = GetDlgItem(box, kLabVersion);
            version = Text(box, kLabVersion);
            char text[32] = {};
            GetWindowTextA(box, text, sizeof text);
            captions = std::string(text) + "|" + Text(box, IDOK);
            RECT b{}, l{};
            GetWindowRect(box, &b);
            GetWindowRect(label, &l);
            MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&l), 2);
            offset = l.left - ((b.right - b.left) - (l.right - l.left)) / 2;  // left in the client area
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        });
        SendMessageA(form, WM_COMMAND, kAbout, 0);  // returns when the box closes
        user.join();
        EXPECT_TRUE(hostDisabled);
        EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;
        EXPECT_EQ(offset, 0);
        EXPECT_EQ(captions, GetSystemDefaultLangID() == 2052 ? "关于|确定" : "About|OK");
        EXPECT_TRUE(IsWindowEnabled(top));
        EXPECT_EQ(qov::test::FindOwnWindow("TfrmAbout"), nullptr);
    }
}

// A recording from a web server that sends at a fixed rate: the window shows
// that rate, and once the server has stopped sending, the frames and bytes the
// source has received; length and size come from the header.
TEST(InfoWindows, StatisticsOfARateLimitedRecording)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    // Over 1 s the source counts whole 32 KB reads, so the rate must take a
    // dozen of them for the figure to be within 15 %: 400 KB/s, 3.2 Mbit/s.
    constexpr uint32_t kRate = 409600;
    // About 6 MB, more than the test reads at that rate, slower to play than
    // to read: a key frame, then a stored 64 x 64 copy every 1.5 s.
    qov::writer::TRecordingWriter recording(720, 540);
    recording.SetDuration(754000);
    recording.AddKeyFrame(0, TPicture(720, 540, 0x336699), ctZlib);
    recording.AddCopyRect(1500, 0, 0, TPicture(64, 64, [](int x, int y) { return uint32_t(x << 10 | y << 2); }),
                          ctStored);
    const qov::writer::Bytes tile = recording.Frames().back().Payload;
    for (uint32_t i = 2; recording.FrameBytes() < 6000000; ++i)
        recording.AddFrame(i * 1500, fkCopyRect, ctStored, uint16_t(i % 10 * 64), uint16_t(i / 10 % 8 * 64), tile);
    const std::string name = "info_windows_rate_" + std::to_string(GetCurrentProcessId()) + ".qov";
    const std::string file = services.Root + "\\" + name;
    recording.Save(file);
    struct TRemove {
        std::string Path;
        ~TRemove() { DeleteFileA(Path.c_str()); }
    } remove{file};

    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate(false));
    IQovPlayer* p = host.Player();
    p->put_AutoStart(VARIANT_TRUE);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(services.FaultPort) + "/rate/" + std::to_string(kRate) + "/" + name;
    BSTR b = SysAllocString(std::wstring(url.begin(), url.end()).c_str());
    ASSERT_HRESULT_SUCCEEDED(p->Open(b));
    SysFreeString(b);
    ASSERT_TRUE(WaitUntil([&] {
        TStatus s = vpSeeking;
        return SUCCEEDED(p->get_Status(&s)) && s == vpPlaying;
    }, 20000));

    HWND form = FormOf(p);
    SendMessageA(form, WM_COMMAND, kStatus, 0);
    HWND status = FindWindowExA(form, nullptr, "TfrmStatus", nullptr);
    ASSERT_TRUE(status);
    // Every refresh writes all the labels: one has come when a mark is gone.
    const auto refreshed = [&] {
        SetDlgItemTextA(status, kLabSize, "-");
        return WaitUntil([&] { return Text(status, kLabSize) != "-"; }, 5000);
    };
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(refreshed());
    const std::string rate = Text(status, kLabBPS);
    const std::string sent = FaultServerText(services, "/_paced/" + name);
    EXPECT_EQ(Text(status, kLabDuration), "00:12:34");
    EXPECT_EQ(Text(status, kLabSize), "720 x 540");
    // The window counts kilobits (bits per millisecond).
    const double expected = kRate * 8 / 1000.0;
    EXPECT_NEAR(KilobitsPerSecond(rate), expected, expected * 0.15) << rate;
    unsigned busy = 0;
    unsigned long long end = 0;
    ASSERT_EQ(std::sscanf(sent.c_str(), "%u %llu", &busy, &end), 2) << sent;
    EXPECT_LT(end, kDataStart + uint64_t(recording.IndexOffset())) << "read to the end: the rate was not kept";

    // Paused, the server answers no more reads; once nothing is under way the
    // source has every byte up to the end of the last body and stays there.
    ASSERT_FALSE(FaultServerText(services, "/_pause/" + name).empty());
    std::string paced;
    ASSERT_TRUE(WaitUntil([&] {
        paced = FaultServerText(services, "/_paced/" + name);
        return std::sscanf(paced.c_str(), "%u %llu", &busy, &end) == 2 && busy == 0;
    }, 5000)) << paced;
    // The first refresh may come before the source has taken in that body, the
    // second may still count it as received: the third receives nothing.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(refreshed());
    const uint64_t received = end - kDataStart;
    size_t complete = 0;
    for (const auto& frame : recording.Frames())
        complete += frame.Offset + kFrameHeaderSize + frame.Header.Length <= received;
    EXPECT_EQ(Text(status, kLabFrames), std::to_string(complete));
    EXPECT_EQ(Text(status, kLabBytes), std::to_string(received >> 10) + "K");
    EXPECT_EQ(Text(status, kLabBPS), "0 Kbps");
    std::printf("at %u bytes/s the window read %s; %llu bytes received\n", kRate, rate.c_str(),
                static_cast<unsigned long long>(received));

    p->Close();
    FaultServerText(services, "/_resume/" + name);
}
