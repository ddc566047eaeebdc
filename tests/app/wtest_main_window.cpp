// The main window with a stand-in for the player control: label and bar as
// real controls, scrolling, menu commands, state events, the command line,
// the URL dialog and the refresh timer's failures.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <thread>

#include "OwnWindows.h"
#include "TextPixels.h"
#include "UnitMain.h"

using namespace qov::app;
using namespace qov::test;

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
    wchar_t caption[64] = L"";
    GetMenuStringW(bar, 1, caption, 64, MF_BYPOSITION);
    EXPECT_STREQ(caption, L"控制");
    GetMenuStringW(Form->miControl(), cmPlay, caption, 64, MF_BYCOMMAND);
    EXPECT_STREQ(caption, L"播放\tCtrl+P");
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

// A relative name would open nothing once the working folder changed (the
// open-file dialog changes it): local paths open by their full names, URLs
// as they were given.
TEST_F(MainWindow, LocalPathsOpenByTheirFullNamesAndURLsAsGiven)
{
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, folder), 0u);
    std::wstring here(folder);
    if (here.back() != L'\\')
        here += L'\\';
    int count = 0;
    wchar_t** split = CommandLineToArgvW(L"QovPlayer.exe rec  one.qov", &count);
    Make({split + 1, split + count});
    LocalFree(split);
    Form->Show(SW_SHOWNORMAL);
    Pump();
    const std::vector<std::wstring> urls = {L"http://host/a.qov", L"FILE://C:/rec/a.qov", L"ftp://host/b.qov",
                                            L"QOVS://127.0.0.1:8000/live"};
    for (const auto& url : urls)
        Form->OpenLocator(url);
    Form->OpenLocator(L"..\\up.qov");
    Form->OpenLocator(L"C:\\rec\\sub\\..\\b.qov");
    std::vector<std::wstring> expected = {here + L"rec one.qov"};
    expected.insert(expected.end(), urls.begin(), urls.end());
    wchar_t up[MAX_PATH];
    GetFullPathNameW(L"..\\up.qov", MAX_PATH, up, nullptr);
    expected.push_back(up);
    expected.push_back(L"C:\\rec\\b.qov");
    EXPECT_EQ(Control->Opened, expected);
    EXPECT_NE(std::wstring(up).find(L":\\"), std::wstring::npos);

    // A recent-files entry stored relative by an earlier version opens by
    // its full name too.
    Control->FURL = L"old.qov";
    Control->Fire(vpOpened);
    SendMessageA(Form->Handle(), WM_COMMAND, TMRUFileList::DefaultFirstCommandId, 0);
    EXPECT_EQ(Control->Opened.back(), here + L"old.qov");
}

TEST_F(MainWindow, UrlDialogIsReusedAndCancelOpensNothing)
{
    Make();
    TfrmURL dialog(Form->Handle());
    Form->SetURLDialog(&dialog);
    // Answers the dialog from another thread once it shows, and keeps its caption.
    std::wstring caption;
    auto answer = [&caption](const char* text, UINT button) {
        return std::thread([=, &caption] {
            HWND found = nullptr;
            for (int i = 0; i < 3000 && !(found && IsWindowVisible(found)); ++i) {
                Sleep(10);
                found = FindOwnWindow("TfrmURL");
            }
            wchar_t title[32] = L"";
            GetWindowTextW(found, title, 32);
            caption = title;
            if (text)
                SetWindowTextA(GetDlgItem(found, 100), text);
            PostMessageA(found, WM_COMMAND, button, 0);
        });
    };
    auto thread = answer("http://host/a.qov", IDOK);
    SendMessageA(Form->Handle(), WM_COMMAND, cmOpenURL, 0);
    thread.join();
    EXPECT_EQ(caption, L"打开");
    thread = answer(nullptr, IDCANCEL);
    SendMessageA(Form->Handle(), WM_COMMAND, cmOpenURL, 0);
    thread.join();
    EXPECT_EQ(Control->Opened, std::vector<std::wstring>{L"http://host/a.qov"});
    EXPECT_EQ(dialog.Text(), L"http://host/a.qov");
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
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\My Application");
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
    // The recent-files list never loaded, so nothing was stored for it.
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\My Application", 0, KEY_READ, &key), ERROR_SUCCESS);
    if (key)
        RegCloseKey(key);
}

// The menu bar and the URL dialog show their Chinese texts as a wide call
// draws them in the same font, whatever the system's code page (the tests'
// Wine has a Western one): 文件, 控制 and 确定, not their GBK bytes read as
// Latin letters, and not boxes for want of a Chinese font.
TEST_F(MainWindow, ChineseTextsReadAsChineseOnTheScreen)
{
    Make();
    Form->Show(SW_SHOWNORMAL);
    Pump();
    HWND window = Form->Handle();
    RedrawWindow(window, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    HFONT menuFont = CreateFontIndirectW(&metrics.lfMenuFont);
    EXPECT_TRUE(DistinctGlyphs(menuFont, L"文件控制确定"))
        << "no font with Chinese glyphs behind the menu font: scripts/wine-prefix.sh links one";

    RECT frame{};
    GetWindowRect(window, &frame);
    HDC dc = GetWindowDC(window);
    const wchar_t* const captions[] = {L"文件", L"控制"};
    for (int i = 0; i < 2; ++i) {
        RECT item{};
        ASSERT_TRUE(GetMenuItemRect(window, GetMenu(window), static_cast<UINT>(i), &item));
        OffsetRect(&item, -frame.left, -frame.top);
        const TPixels shown = ReadPixels(dc, item);
        const COLORREF back = Background(shown);
        const TPixels drawn = DrawWideText(menuFont, captions[i], shown.Width, shown.Height, back,
                                           GetSysColor(COLOR_MENUTEXT));
        EXPECT_EQ(InkBlock(shown, back), InkBlock(drawn, back))
            << "menu " << i << Picture(InkBlock(shown, back), back) << Picture(InkBlock(drawn, back), back);
    }
    ReleaseDC(window, dc);
    DeleteObject(menuFont);

    TfrmURL dialog(window);
    ShowWindow(dialog.Handle(), SW_SHOWNA);
    UpdateWindow(dialog.Handle());
    HWND ok = GetDlgItem(dialog.Handle(), IDOK);
    RECT inside{};
    GetClientRect(ok, &inside);
    InflateRect(&inside, -3, -3);  // the default button's frame and edges
    dc = GetDC(ok);
    const TPixels shown = ReadPixels(dc, inside);
    ReleaseDC(ok, dc);
    const COLORREF back = Background(shown);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(ok, WM_GETFONT, 0, 0));
    const TPixels drawn = DrawWideText(font, L"确定", shown.Width, shown.Height, back, GetSysColor(COLOR_BTNTEXT));
    EXPECT_EQ(InkBlock(shown, back), InkBlock(drawn, back))
        << Picture(InkBlock(shown, back), back) << Picture(InkBlock(drawn, back), back);
    EXPECT_TRUE(DistinctGlyphs(font, L"确定取消"));
}
