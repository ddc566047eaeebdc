// QovPlayer.exe as a user starts it: the window with its menus, label and bar
// read from outside, and closing it ends the program.
#include <gtest/gtest.h>

#include <windows.h>


namespace {

struct TFound {
    DWORD Process;
    HWND Main = nullptr;
    HWND Box = nullptr;
};

BOOL CALLBACK FindWindows(HWND window, LPARAM param)
{
    auto* found = reinterpret_cast<TFound*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (process == found->Process && IsWindowVisible(window)) {
        if (!strcmp(cls, "TfrmMain"))
            found->Main = window;
        else if (!strcmp(cls, "#32770"))
            found->Box = window;
    }
    return TRUE;
}

std::string Text(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Registers the QovPlayer.ocx beside the test program (what regsvr32 does).
void RegisterControl()
{
    HMODULE library = LoadLibraryA("QovPlayer.ocx");
    ASSERT_NE(library, nullptr);
    auto registerServer = reinterpret_cast<HRESULT(__stdcall*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_HRESULT_SUCCEEDED(registerServer());
}

} // namespace

TEST(Program, StartsWithNothingOpenAndEndsOnClose)
{
    RegisterControl();
    if (HasFatalFailure())
        return;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    char line[] = "QovPlayer.exe";
    ASSERT_TRUE(CreateProcessA("QovPlayer.exe", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    // A program left waiting (on a message box, say) does not outlive the test.
    struct TEnd {
        PROCESS_INFORMATION& Info;
        ~TEnd()
        {
            if (WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(Info.hProcess, 99);
            CloseHandle(Info.hThread);
            CloseHandle(Info.hProcess);
        }
    } end{process};
    TFound found{process.dwProcessId};
    for (int i = 0; i < 200 && !found.Main; ++i) {
        Sleep(50);
        EnumWindows(FindWindows, reinterpret_cast<LPARAM>(&found));
    }
    ASSERT_NE(found.Main, nullptr);
    Sleep(300);  // a few ticks of the refresh timer
    EnumWindows(FindWindows, reinterpret_cast<LPARAM>(&found));
    EXPECT_EQ(found.Box, nullptr) << Text(found.Box);
    EXPECT_EQ(Text(found.Main), "Corvane QovPlayer");
    EXPECT_TRUE(IsZoomed(found.Main));
    HWND panel = FindWindowExA(found.Main, nullptr, "TPanel", nullptr);
    HWND label = FindWindowExA(panel, nullptr, "Static", nullptr);
    HWND bar = FindWindowExA(panel, nullptr, "ScrollBar", nullptr);
    EXPECT_EQ(Text(label), "  00:00:00 / 00:00:00  ");
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 0);
    EXPECT_NE(GetMenu(found.Main), nullptr);
    // The control's window fills the client area above the panel.
    HWND control = GetWindow(found.Main, GW_CHILD);
    while (control == panel)
        control = GetWindow(control, GW_HWNDNEXT);
    ASSERT_NE(control, nullptr);
    RECT controlRect, panelRect;
    GetWindowRect(control, &controlRect);
    GetWindowRect(panel, &panelRect);
    EXPECT_EQ(controlRect.bottom, panelRect.top);

    PostMessageA(found.Main, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
}
