// Display modes of the control without a source: the sub-menu's check mark
// follows the mode, a double click's request enters full screen (stored until
// a source opens), and exit requests of no current full-screen window change
// nothing.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include "ControlHost.h"
#include "ControlWindows.h"
#include "QovPlayerTLB.h"

using qov::test::FormOf;
using qov::test::TControlHost;

namespace {

constexpr UINT kPopupMenuMessage = WM_APP + 0x101;
constexpr UINT kFullScreenExit = WM_USER + 105;
constexpr UINT kFullScreenToggle = WM_USER + 108;
constexpr UINT kFull = 101, kOriginal = 102, kAdaptive = 103;

// The command checked when the display-mode sub-menu opens (0: none).
UINT CheckedMode(HWND form)
{
    HMENU menu = reinterpret_cast<HMENU>(SendMessageA(form, kPopupMenuMessage, 0, 0));
    HMENU modes = GetSubMenu(menu, 0);
    SendMessageA(form, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(modes), 0);
    UINT checked = 0;
    for (UINT id : {kFull, kOriginal, kAdaptive})
        if (GetMenuState(modes, id, MF_BYCOMMAND) & MF_CHECKED)
            checked = checked ? ~0u : id;
    return checked;
}

} // namespace

TEST(DisplayModes, CheckMarksAndFullScreenRequests)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IQovPlayer* p = host.Player();
    HWND form = FormOf(p);
    EXPECT_EQ(CheckedMode(form), kAdaptive);
    EXPECT_HRESULT_SUCCEEDED(p->put_DisplayMode(dmOriginal));
    EXPECT_EQ(CheckedMode(form), kOriginal);
    EXPECT_HRESULT_SUCCEEDED(p->put_DisplayMode(static_cast<TDisplayMode>(7)));
    EXPECT_EQ(CheckedMode(form), kOriginal);

    host.ClearEvents();
    PostMessageA(form, kFullScreenToggle, 0, 0);
    ASSERT_TRUE(host.WaitEvent(203, 2000));
    TDisplayMode mode = dmAdaptive;
    p->get_DisplayMode(&mode);
    EXPECT_EQ(mode, dmFull);
    EXPECT_EQ(CheckedMode(form), kFull);
    // No full-screen window is up: stale requests leave the mode alone.
    PostMessageA(form, kFullScreenExit, 0, 0);
    PostMessageA(form, kFullScreenExit, 0, 1);
    PostMessageA(form, kFullScreenToggle, 0, 0);  // already in full screen
    TControlHost::Pump(200);
    p->get_DisplayMode(&mode);
    EXPECT_EQ(mode, dmFull);
    EXPECT_EQ(host.EventsOf(203).size(), 1u);
}
