// QovPlayer.exe as a user starts it: the window with its menus, label and bar
// read from outside, and closing it ends the program.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "OwnWindows.h"
#include "SampleRecording.h"
#include "TestServices.h"


namespace {

struct TFound {
    DWORD Process;
    HWND Main = nullptr;
    HWND Box = nullptr;
    int Boxes = 0;  // visible message boxes
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
        else if (!strcmp(cls, "#32770")) {
            found->Box = window;
            ++found->Boxes;
        }
    }
    return TRUE;
}

// The text as the window itself gives it (an edit control keeps its own).
std::string Text(HWND window)
{
    char text[256] = "";
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    return text;
}

// QovPlayer.exe started with a command line; a program left waiting (on a
// message box, say) does not outlive the test.
struct TProgram {
    PROCESS_INFORMATION Info{};
    TFound Found{};

    explicit TProgram(const std::string& parameters)
    {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string line = "QovPlayer.exe" + (parameters.empty() ? "" : " " + parameters);
        if (!CreateProcessA("QovPlayer.exe", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &Info))
            return;
        Found.Process = Info.dwProcessId;
        for (int i = 0; i < 1200 && !Found.Main; ++i) {
            Sleep(50);
            Look();
        }
    }
    ~TProgram()
    {
        if (!Info.hProcess)
            return;
        if (WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(Info.hProcess, 99);
        CloseHandle(Info.hThread);
        CloseHandle(Info.hProcess);
    }
    void Look()
    {
        Found.Box = nullptr;
        Found.Boxes = 0;
        EnumWindows(FindWindows, reinterpret_cast<LPARAM>(&Found));
    }
    HWND Child(const char* cls)
    {
        HWND panel = FindWindowExA(Found.Main, nullptr, "TPanel", nullptr);
        return FindWindowExA(panel, nullptr, cls, nullptr);
    }
    // Waits until test holds (up to ms), looking at the windows again each time.
    template <class F> bool WaitFor(F test, int ms = 30000)
    {
        for (int waited = 0; waited < ms; waited += 50) {
            Look();
            if (test())
                return true;
            Sleep(50);
        }
        Look();
        return test();
    }
    // Closes the window; the exit code, or 99 when the program does not end.
    DWORD Close()
    {
        PostMessageA(Found.Main, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(Info.hProcess, 10000) != WAIT_OBJECT_0)
            return 99;
        DWORD code = 99;
        GetExitCodeProcess(Info.hProcess, &code);
        return code;
    }
};

std::string SavedRecording(const std::string& name)
{
    qov::writer::BuildSampleRecording().Save(name);
    char full[MAX_PATH];
    GetFullPathNameA(name.c_str(), MAX_PATH, full, nullptr);
    return full;
}

// Name i of the recent-files list kept by the program (0: the newest).
std::string RecentFile(int i)
{
    char value[1024] = "";
    DWORD size = sizeof value;
    const std::string name = "F" + std::to_string(i);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Corvane QovPlayer\\MRU Items", name.c_str(), RRF_RT_REG_SZ,
                     nullptr, value, &size) != ERROR_SUCCESS)
        return "(none)";
    return value;
}

} // namespace

TEST(Program, StartsWithNothingOpenAndEndsOnClose)
{
    TProgram program("");
    ASSERT_NE(program.Found.Main, nullptr);
    Sleep(300);  // a few ticks of the refresh timer
    program.Look();
    EXPECT_EQ(program.Found.Box, nullptr) << Text(program.Found.Box);
    EXPECT_EQ(Text(program.Found.Main), "Corvane QovPlayer");
    EXPECT_TRUE(IsZoomed(program.Found.Main));
    EXPECT_EQ(Text(program.Child("Static")), "  00:00:00 / 00:00:00  ");
    EXPECT_EQ(GetScrollPos(program.Child("ScrollBar"), SB_CTL), 0);
    EXPECT_NE(GetMenu(program.Found.Main), nullptr);
    // The control's window fills the client area above the panel.
    HWND panel = FindWindowExA(program.Found.Main, nullptr, "TPanel", nullptr);
    HWND control = GetWindow(program.Found.Main, GW_CHILD);
    while (control == panel)
        control = GetWindow(control, GW_HWNDNEXT);
    ASSERT_NE(control, nullptr);
    RECT controlRect, panelRect;
    GetWindowRect(control, &controlRect);
    GetWindowRect(panel, &panelRect);
    EXPECT_EQ(controlRect.bottom, panelRect.top);
    EXPECT_EQ(program.Close(), 0u);
}

// Three unquoted words, two blanks between the last two: the platform splits
// them and the program joins them with single blanks.
TEST(Program, CommandLineWordsOpenPlayAndAreRemembered)
{
    std::string file = SavedRecording("program one two.qov");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Corvane QovPlayer\\MRU Items");
    std::string words = file;  // ...\program one  two.qov
    words.insert(words.rfind(' '), " ");
    TProgram program(words);
    ASSERT_NE(program.Found.Main, nullptr);
    std::string caption = "Corvane QovPlayer - " + file;
    EXPECT_TRUE(program.WaitFor([&] { return Text(program.Found.Main) == caption; }))
        << Text(program.Found.Main);
    // It plays: the label's left time moves on and the bar follows.
    auto played = [&] {
        int hours = 0, minutes = 0, seconds = 0;
        const std::string label = Text(program.Child("Static"));
        return std::sscanf(label.c_str(), " %d:%d:%d", &hours, &minutes, &seconds) == 3
                   ? hours * 3600 + minutes * 60 + seconds
                   : -1;
    };
    EXPECT_TRUE(program.WaitFor([&] { return played() >= 2; })) << Text(program.Child("Static"));
    EXPECT_EQ(Text(program.Child("Static")).substr(10), " / 00:00:20  ");
    EXPECT_GE(GetScrollPos(program.Child("ScrollBar"), SB_CTL), 9);
    EXPECT_EQ(program.Found.Box, nullptr) << Text(program.Found.Box);
    EXPECT_EQ(program.Close(), 0u);
    EXPECT_EQ(RecentFile(0), file);
}

// A name relative to the working folder is stored by its full name, so the
// entry still opens after the open-file dialog has changed the folder.
TEST(Program, ARelativeNameIsRememberedByItsFullName)
{
    const std::string file = SavedRecording("program relative.qov");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Corvane QovPlayer\\MRU Items");
    TProgram program("\"program relative.qov\"");
    ASSERT_NE(program.Found.Main, nullptr);
    const std::string caption = "Corvane QovPlayer - " + file;
    EXPECT_TRUE(program.WaitFor([&] { return Text(program.Found.Main) == caption; })) << Text(program.Found.Main);
    EXPECT_EQ(program.Found.Box, nullptr) << Text(program.Found.Box);
    EXPECT_EQ(program.Close(), 0u);
    EXPECT_EQ(RecentFile(0), file);
    EXPECT_NE(file.find(":\\"), std::string::npos);
}

// The URL dialog from the menu, found and filled from outside; its edit keeps
// the last text. A channel file the web server does not have gives one box.
TEST(Program, UrlDialogOpensCancelsAndReportsAMissingChannelFile)
{
    qov::test::TTestServices services;
    QOV_NEED_SERVICES(services);
    std::string file = SavedRecording("program_url.qov");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Corvane QovPlayer\\MRU Items");
    TProgram program("");
    ASSERT_NE(program.Found.Main, nullptr);
    auto showDialog = [&] {
        PostMessageA(program.Found.Main, WM_COMMAND, 102, 0);  // File, Open URL...
        HWND dialog = nullptr;
        program.WaitFor([&] {
            dialog = qov::test::FindProcessWindow(program.Found.Process, "TfrmURL", nullptr, true);
            return dialog != nullptr;
        });
        return dialog;
    };
    auto edit = [](HWND dialog) { return FindWindowExA(dialog, nullptr, "Edit", nullptr); };
    auto press = [](HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, id, 0); };

    HWND dialog = showDialog();
    ASSERT_NE(dialog, nullptr);
    SetWindowTextA(edit(dialog), file.c_str());
    press(dialog, IDOK);
    std::string caption = "Corvane QovPlayer - " + file;
    EXPECT_TRUE(program.WaitFor([&] { return Text(program.Found.Main) == caption; })) << Text(program.Found.Main);

    dialog = showDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Text(edit(dialog)), file);
    SetWindowTextA(edit(dialog), "Z:\\nothing here.qov");
    press(dialog, IDCANCEL);
    Sleep(500);
    program.Look();
    EXPECT_EQ(program.Found.Box, nullptr) << Text(program.Found.Box);
    EXPECT_EQ(Text(program.Found.Main), caption);

    // The same recording again: one entry in the recent files.
    dialog = showDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Text(edit(dialog)), "Z:\\nothing here.qov");
    SetWindowTextA(edit(dialog), file.c_str());
    press(dialog, IDOK);
    Sleep(1000);
    EXPECT_EQ(Text(program.Found.Main), caption);

    std::string url = "http://127.0.0.1:" + std::to_string(services.HttpPort) + "/missing_channel.sms";
    dialog = showDialog();
    ASSERT_NE(dialog, nullptr);
    SetWindowTextA(edit(dialog), url.c_str());
    press(dialog, IDOK);
    ASSERT_TRUE(program.WaitFor([&] { return program.Found.Box != nullptr; }));
    Sleep(1000);  // ten ticks of the refresh timer: no second box
    program.Look();
    EXPECT_EQ(program.Found.Boxes, 1);
    HWND box = program.Found.Box;
    EXPECT_EQ(Text(box), "Corvane QovPlayer");
    std::string message;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (Text(child).find("Fail to download file: ") != std::string::npos)
            message = Text(child);
    EXPECT_NE(message.find("Fail to download file: " + url), std::string::npos) << message;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(program.WaitFor([&] { return program.Found.Box == nullptr; }));
    EXPECT_EQ(program.Close(), 0u);
    EXPECT_EQ(RecentFile(0), file);
    EXPECT_EQ(RecentFile(1), "(none)");
}
