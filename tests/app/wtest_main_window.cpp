// The main window with a stand-in for the player control: label and bar as
// real controls, scrolling, menu commands, state events, the command line,
// the URL dialog and the refresh timer's failures.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <thread>

#include "UnitMain.h"

using namespace qov::app;

namespace {

// Records what the window asks of the control.
struct TFakeControl : IPlayerControl {
    std::vector<std::string> Calls;
    std::vector<std::wstring> Opened;
    std::vector<int32_t> Seeks;
    int32_t FDuration = 0;
    int32_t FPosition = 0;
    int FStatus = 0;
    std::wstring FURL;
    bool FailReads = false;
    std::function<void()> DuringRead;
    TPlayStateHandler Fire;

    void Open(const std::wstring& locator) override { Opened.push_back(locator); }
    void Play() override { Calls.push_back("Play"); }
    void Pause() override { Calls.push_back("Pause"); }
    void Stop() override { Calls.push_back("Stop"); }
    void Close() override { Calls.push_back("Close"); }
    void FastForward() override { Calls.push_back("FastForward"); }
    void FastReverse() override { Calls.push_back("FastReverse"); }
    int32_t Duration() override { return Read(FDuration); }
    int32_t CurrentPosition() override { return Read(FPosition); }
    void SetCurrentPosition(int32_t ms) override { Seeks.push_back(ms); }
    std::wstring URL() override { return FURL; }
    int Status() override { return FStatus; }
    void SetBounds(const RECT&) override {}

    int32_t Read(int32_t value)
    {
        if (DuringRead)
            DuringRead();
        if (FailReads)
            throw EControlError("Range check error");
        return value;
    }
};

std::string Text(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

class MainWindow : public testing::Test {
protected:
    void Make(std::vector<std::wstring> parameters = {})
    {
        SetApplicationExceptionHandler([this](const std::string& message) { Reports.push_back(message); });
        Form = std::make_unique<TfrmMain>(
            [this](HWND, TPlayStateHandler fire) {
                auto control = std::make_unique<TFakeControl>();
                control->Fire = std::move(fire);
                Control = control.get();
                return std::unique_ptr<IPlayerControl>(std::move(control));
            },
            std::move(parameters), false);
        Form->mru().SetAutoSave(false);
        while (Form->mru().List().Count())  // whatever the prefix kept
            Form->mru().SetMaximum(0);
        Form->mru().SetMaximum(10);
    }
    void TearDown() override
    {
        Form.reset();
        SetApplicationExceptionHandler(nullptr);
    }
    void Pump()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    bool Checked(UINT id) { return GetMenuState(Form->miControl(), id, MF_BYCOMMAND) & MF_CHECKED; }

    std::unique_ptr<TfrmMain> Form;
    TFakeControl* Control = nullptr;
    std::vector<std::string> Reports;
};

} // namespace

TEST_F(MainWindow, LabelAndBarFollowTheRecording)
{
    Make();
    Form->timerRefreshTimer();  // nothing open: duration 0
    EXPECT_EQ(Text(Form->labTime()), "  00:00:00 / 00:00:00  ");
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 0);
    Control->FDuration = 10000;
    Control->FPosition = 25000;  // beyond the end
    Form->timerRefreshTimer();
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 100);
    EXPECT_EQ(Text(Form->labTime()), "  00:00:25 / 00:00:10  ");

    // Dragging previews the time and seeks only when the thumb is released.
    Control->FDuration = 90000;
    Control->FPosition = 0;
    SendMessageA(Form->Handle(), WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 50),
                 reinterpret_cast<LPARAM>(Form->sb()));
    EXPECT_EQ(Text(Form->labTime()), "  00:00:45 / 00:01:30  ");
    Form->timerRefreshTimer();  // leaves the bar alone while tracking
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 50);
    EXPECT_TRUE(Control->Seeks.empty());
    SendMessageA(Form->Handle(), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 50),
                 reinterpret_cast<LPARAM>(Form->sb()));
    SendMessageA(Form->Handle(), WM_HSCROLL, SB_ENDSCROLL, reinterpret_cast<LPARAM>(Form->sb()));
    EXPECT_EQ(Control->Seeks, std::vector<int32_t>{45000});

    // An arrow click moves the bar one step, the end of scrolling seeks.
    Control->FDuration = 10000;
    Control->FPosition = 1000;
    Form->timerRefreshTimer();
    ASSERT_EQ(GetScrollPos(Form->sb(), SB_CTL), 10);
    SendMessageA(Form->Handle(), WM_HSCROLL, SB_LINERIGHT, reinterpret_cast<LPARAM>(Form->sb()));
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 11);
    SendMessageA(Form->Handle(), WM_HSCROLL, SB_ENDSCROLL, reinterpret_cast<LPARAM>(Form->sb()));
    EXPECT_EQ(Control->Seeks.back(), 1100);
    EXPECT_TRUE(Reports.empty());
}

TEST_F(MainWindow, MenuCommandsAndCheckMarks)
{
    Make();
    HMENU bar = GetMenu(Form->Handle());
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    EXPECT_EQ(GetMenuItemCount(Form->miFile()), 6);
    EXPECT_EQ(GetMenuItemCount(Form->miControl()), 5);  // the hidden item is left out
    char caption[64] = "";
    GetMenuStringA(bar, 1, caption, sizeof caption, MF_BYPOSITION);
    EXPECT_STREQ(caption, "控制");
    GetMenuStringA(Form->miControl(), cmPlay, caption, sizeof caption, MF_BYCOMMAND);
    EXPECT_STREQ(caption, "播放\tCtrl+P");
    for (UINT id : {cmPlay, cmPause, cmStop, cmScanForward, cmClose})
        SendMessageA(Form->Handle(), WM_COMMAND, id, 0);
    EXPECT_EQ(Control->Calls,
              (std::vector<std::string>{"Play", "Pause", "Stop", "FastForward", "Close"}));

    const std::pair<int, UINT> states[] = {{2, cmPlay}, {3, cmPause}, {4, cmStop}, {5, cmScanForward}};
    for (auto [state, item] : states) {
        Control->FStatus = state;
        SendMessageA(Form->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(Form->miControl()), 1);
        for (UINT other : {cmPlay, cmPause, cmStop, cmScanForward})
            EXPECT_EQ(Checked(other), other == item) << state;
    }
    Control->FStatus = 7;  // opening: the marks stay
    SendMessageA(Form->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(Form->miControl()), 1);
    EXPECT_TRUE(Checked(cmScanForward));
}

TEST_F(MainWindow, StateEventsSetCaptionAndRecentFiles)
{
    Make();
    Control->FURL = L"C:\\rec\\one.qov";
    Control->Fire(vpOpened);
    Control->Fire(vpPlaying);
    EXPECT_EQ(Text(Form->Handle()), "Corvane QovPlayer - C:\\rec\\one.qov");
    Control->FURL = L"C:\\rec\\two.qov";
    Control->Fire(vpOpened);
    Control->FURL = L"C:\\rec\\one.qov";
    Control->Fire(vpOpened);  // the same URL again: one entry, on top
    EXPECT_EQ(Form->mru().List().Names(), (std::vector<std::string>{"C:\\rec\\one.qov", "C:\\rec\\two.qov"}));
    Control->Fire(vpClosed);
    EXPECT_EQ(Text(Form->Handle()), "Corvane QovPlayer");

    // A recent-files entry opens its name.
    SendMessageA(Form->Handle(), WM_COMMAND, TMRUFileList::DefaultFirstCommandId + 1, 0);
    EXPECT_EQ(Control->Opened, std::vector<std::wstring>{L"C:\\rec\\two.qov"});
}

TEST_F(MainWindow, CommandLineOpensOnceAtTheFirstShowing)
{
    int count = 0;
    wchar_t** split = CommandLineToArgvW(L"QovPlayer.exe C:\\My Rec  one.qov", &count);
    ASSERT_EQ(count, 4);
    Make({split + 1, split + count});
    LocalFree(split);
    Form->Show(SW_SHOWNORMAL);
    Pump();
    SendMessageA(Form->Handle(), WM_SHOWWINDOW, TRUE, 0);  // shown again
    Pump();
    EXPECT_EQ(Control->Opened, std::vector<std::wstring>{L"C:\\My Rec one.qov"});
    Form.reset();

    for (const wchar_t* line : {L"QovPlayer.exe    ", L"QovPlayer.exe \"\" \"  \""}) {
        split = CommandLineToArgvW(line, &count);
        Make({split + 1, split + count});
        LocalFree(split);
        SendMessageA(Form->Handle(), WM_SHOWWINDOW, TRUE, 0);
        Pump();
        EXPECT_TRUE(Control->Opened.empty());
        Form.reset();
    }
}

TEST_F(MainWindow, UrlDialogIsReusedAndCancelOpensNothing)
{
    Make();
    TfrmURL dialog(Form->Handle());
    Form->SetURLDialog(&dialog);
    // Answers the dialog from another thread once it shows.
    auto answer = [](const char* text, UINT button) {
        return std::thread([=] {
            HWND found = nullptr;
            for (int i = 0; i < 500 && !(found && IsWindowVisible(found)); ++i) {
                Sleep(10);
                found = FindWindowA("TfrmURL", "打开");
            }
            if (text)
                SetWindowTextA(GetDlgItem(found, 100), text);
            PostMessageA(found, WM_COMMAND, button, 0);
        });
    };
    auto thread = answer("http://host/a.qov", IDOK);
    SendMessageA(Form->Handle(), WM_COMMAND, cmOpenURL, 0);
    thread.join();
    thread = answer(nullptr, IDCANCEL);
    SendMessageA(Form->Handle(), WM_COMMAND, cmOpenURL, 0);
    thread.join();
    EXPECT_EQ(Control->Opened, std::vector<std::wstring>{L"http://host/a.qov"});
    EXPECT_EQ(dialog.Text(), "http://host/a.qov");
    EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
    Form->SetURLDialog(nullptr);
}

TEST_F(MainWindow, FailingReadsAreReportedOnceAndDoNotReenter)
{
    Make();
    Control->FDuration = 10000;
    Control->FPosition = 5000;
    Form->timerRefreshTimer();
    Control->FailReads = true;
    // The report pumps messages: a tick arriving meanwhile does nothing.
    int nested = 0;
    SetApplicationExceptionHandler([&](const std::string& message) {
        Reports.push_back(message);
        Control->DuringRead = [&] { ++nested; };
        Form->timerRefreshTimer();
        Control->DuringRead = nullptr;
    });
    for (int i = 0; i < 10; ++i)
        SendMessageA(Form->Handle(), WM_TIMER, 1, 0);
    EXPECT_EQ(Reports, std::vector<std::string>{"Range check error"});
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 50);
    EXPECT_EQ(Text(Form->labTime()), "  00:00:05 / 00:00:10  ");

    Control->FailReads = false;
    Form->timerRefreshTimer();
    Control->FailReads = true;
    Form->timerRefreshTimer();  // failing again after a good read: reported again
    EXPECT_EQ(Reports.size(), 2u);

    // A failing command reaches the same handler and the window goes on.
    Control->FailReads = true;
    SendMessageA(Form->Handle(), WM_HSCROLL, SB_ENDSCROLL, reinterpret_cast<LPARAM>(Form->sb()));
    EXPECT_EQ(Reports.size(), 3u);
    Control->FailReads = false;
    Control->FPosition = 9000;
    Form->timerRefreshTimer();  // tracking did not stay on
    EXPECT_EQ(GetScrollPos(Form->sb(), SB_CTL), 90);
}

TEST_F(MainWindow, ControlThatCannotBeMadeFailsTheWindow)
{
    EXPECT_THROW(TfrmMain([](HWND, TPlayStateHandler) -> std::unique_ptr<IPlayerControl> {
                     throw EControlError("Class not registered");
                 },
                          {}, false),
                 EControlError);
    // No main window of this process is left (other test programs may show theirs).
    for (HWND w = FindWindowExA(nullptr, nullptr, "TfrmMain", nullptr); w;
         w = FindWindowExA(nullptr, w, "TfrmMain", nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        EXPECT_NE(process, GetCurrentProcessId());
    }
}
