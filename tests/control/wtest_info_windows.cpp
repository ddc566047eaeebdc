// The statistics window and the about box from the control's popup menu, in a
// test container.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "ControlHost.h"
#include "ControlWindows.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"

using namespace qov::test;

namespace {

constexpr UINT kStatus = 104, kAbout = 105;
constexpr int kLabFrames = 104, kLabDuration = 107, kLabSize = 108, kLabVersion = 201;

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
