// The main window with the real control playing recordings from the writer:
// the position bar's preview and seeks, menu commands and their check marks.
// The control is registered in the test prefix.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include "ControlWindows.h"
#include "MiscHead.h"
#include "NailsFixtures.h"
#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"
#include "ScreenPictures.h"
#include "TestServices.h"
#include "UnitMain.h"

using namespace qov::app;

namespace {

std::string Text(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// A small recording of `duration` ms with a key frame every second.
std::wstring SaveRecording(const std::string& name, uint32_t duration, uint32_t lastFrame)
{
    qov::writer::TRecordingWriter writer(64, 48);
    for (uint32_t t = 0; t <= lastFrame; t += 1000)
        writer.AddKeyFrame(t, qov::writer::MakeScreenPicture(64, 48, t / 1000 + 1), qov::ctZlib);
    writer.SetDuration(duration);
    std::string path = qov::test::ScratchPath(name);
    writer.Save(path);
    char full[MAX_PATH];
    GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    std::string text(full);
    return std::wstring(text.begin(), text.end());
}

BOOL CALLBACK MatchClass(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<qov::test::TWindowSearch*>(param);
    char cls[32] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (!strcmp(cls, search->ClassName))
        search->Found = window;
    return TRUE;
}

// A window of this class among parent's descendants (the last one found).
HWND FindChildOfClass(HWND parent, const char* className)
{
    qov::test::TWindowSearch search{className, nullptr};
    EnumChildWindows(parent, MatchClass, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

class WindowPlaying : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(OleInitialize(nullptr));
        SetApplicationExceptionHandler([this](const std::string& message) { Reports.push_back(message); });
        Form = std::make_unique<TfrmMain>(CreateQovPlayerControl, std::vector<std::wstring>{}, false);
        Form->mru().SetAutoSave(false);
        Form->Show(SW_SHOW);
    }
    void TearDown() override
    {
        if (Form)
            SendMessageA(Form->Handle(), WM_CLOSE, 0, 0);
        Form.reset();
        SetApplicationExceptionHandler(nullptr);
        OleUninitialize();
    }
    // Pumps messages until done() holds or `ms` have passed.
    template <class F> bool WaitFor(F done, int ms = 5000)
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < DWORD(ms); Sleep(10)) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
            if (done())
                return true;
        }
        return done();
    }
    IPlayerControl& Player() { return *Form->QovPlayer(); }
    int Bar() { return GetScrollPos(Form->sb(), SB_CTL); }
    void Scroll(int code, int position = 0)
    {
        SendMessageA(Form->Handle(), WM_HSCROLL, MAKEWPARAM(code, position),
                     reinterpret_cast<LPARAM>(Form->sb()));
    }
    void Command(UINT id) { SendMessageA(Form->Handle(), WM_COMMAND, id, 0); }
    // Opens and waits until it plays.
    void OpenPlaying(const std::wstring& file)
    {
        Form->OpenLocator(file);
        ASSERT_TRUE(WaitFor([&] { return Player().Status() == vpPlaying; })) << Player().Status();
    }
    // Waits until the position is in [from, from + 1500).
    bool PlaysFrom(int32_t from)
    {
        return WaitFor([&] {
            int32_t at = Player().CurrentPosition();
            return at >= from && at < from + 1500;
        });
    }
    bool Checked(UINT id) { return GetMenuState(Form->miControl(), id, MF_BYCOMMAND) & MF_CHECKED; }
    void OpenControlMenu()
    {
        SendMessageA(Form->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(Form->miControl()), 1);
    }

    std::unique_ptr<TfrmMain> Form;
    std::vector<std::string> Reports;
};

} // namespace

TEST_F(WindowPlaying, ThumbPreviewsWithoutSeekingAndReleaseSeeks)
{
    OpenPlaying(SaveRecording("thumb.qov", 90000, 90000));
    ASSERT_EQ(Player().Duration(), 90000);
    Scroll(SB_THUMBTRACK, 50);
    EXPECT_EQ(Text(Form->labTime()), "  " + IntToTime(45) + " / " + IntToTime(90) + "  ");
    // The picture does not move while the thumb is held, and the timer
    // leaves the preview alone.
    WaitFor([] { return false; }, 400);
    EXPECT_LT(Player().CurrentPosition(), 10000);
    EXPECT_EQ(Bar(), 50);
    EXPECT_EQ(Text(Form->labTime()).substr(0, 10), "  " + IntToTime(45));
    Scroll(SB_THUMBPOSITION, 50);
    Scroll(SB_ENDSCROLL);
    EXPECT_TRUE(PlaysFrom(45000)) << Player().CurrentPosition();
    EXPECT_TRUE(WaitFor([&] { return Text(Form->labTime()).substr(0, 10) == "  " + IntToTime(45); }));
    EXPECT_TRUE(Reports.empty()) << Reports.front();
}

TEST_F(WindowPlaying, ArrowStepsTheBarAndThenSeeks)
{
    // Long enough that playing has not reached the bar's 11 % when the arrow
    // is clicked, however slowly the test gets there.
    OpenPlaying(SaveRecording("arrow.qov", 100000, 100000));
    // The bar at 10; the scroll bar's arrow click and the end of scrolling
    // come before the timer's next tick.
    SetScrollPos(Form->sb(), SB_CTL, 10, TRUE);
    Scroll(SB_LINERIGHT);
    EXPECT_EQ(Bar(), 11);
    EXPECT_LT(Player().CurrentPosition(), 11000);
    Scroll(SB_ENDSCROLL);
    EXPECT_TRUE(PlaysFrom(11000)) << Player().CurrentPosition();
    EXPECT_TRUE(Reports.empty()) << Reports.front();
}

// Paused, the bar moved to 50: the position stays there (the bar does not
// spring back on the next ticks), and Play goes on from it at once.
TEST_F(WindowPlaying, BarSeekWhilePausedMovesThePositionAndPlayGoesOnFromIt)
{
    OpenPlaying(SaveRecording("paused_bar.qov", 90000, 90000));
    ASSERT_TRUE(WaitFor([&] { return Player().CurrentPosition() >= 1000; }));
    Command(cmPause);
    ASSERT_TRUE(WaitFor([&] { return Player().Status() == vpPaused; }));
    HWND frame = FindChildOfClass(Form->Handle(), "TDetailFrame");
    ASSERT_NE(frame, nullptr);
    RECT area;
    GetClientRect(frame, &area);
    auto picture = [&] { return qov::test::ReadWindowPixels(frame, 0, 0, area.right, area.bottom); };
    const auto before = picture();

    Scroll(SB_THUMBPOSITION, 50);
    Scroll(SB_ENDSCROLL);
    EXPECT_TRUE(WaitFor([&] { return Player().CurrentPosition() == 45000; })) << Player().CurrentPosition();
    WaitFor([] { return false; }, 600);  // several ticks of the refresh timer
    EXPECT_EQ(Player().CurrentPosition(), 45000);
    EXPECT_EQ(Bar(), 50);
    EXPECT_EQ(Text(Form->labTime()), "  " + IntToTime(45) + " / " + IntToTime(90) + "  ");
    const auto seeked = picture();
    EXPECT_NE(seeked, before) << "the seek drew the target's frame";

    Command(cmPlay);
    ASSERT_TRUE(WaitFor([&] { return Player().Status() == vpPlaying; }));
    EXPECT_TRUE(PlaysFrom(45000)) << Player().CurrentPosition();
    ASSERT_TRUE(WaitFor([&] { return Player().CurrentPosition() >= 46300; })) << Player().CurrentPosition();
    WaitFor([] { return false; }, 200);
    EXPECT_NE(picture(), seeked) << "the picture moved on with the clock";
    EXPECT_TRUE(Reports.empty()) << Reports.front();
}

TEST_F(WindowPlaying, MenuCommandsDriveTheControlAndMarksFollowItsState)
{
    Form->OpenLocator(SaveRecording("menu.qov", 10000, 10000));
    ASSERT_TRUE(WaitFor([&] { return Player().Status() == vpPlaying; }));
    struct {
        UINT Command;
        int State;
    } steps[] = {{cmPause, vpPaused}, {cmPlay, vpPlaying}, {cmStop, vpStopped}, {cmScanForward, vpScanForward}};
    for (const auto& step : steps) {
        Command(step.Command);
        ASSERT_TRUE(WaitFor([&] { return Player().Status() == step.State; })) << step.Command;
        OpenControlMenu();
        for (UINT item : {cmPlay, cmPause, cmStop, cmScanForward})
            EXPECT_EQ(Checked(item), item == step.Command) << step.Command << " " << item;
    }
    EXPECT_TRUE(Reports.empty()) << Reports.front();

    // While a web server keeps the control opening, the marks stay.
    qov::test::TTestServices services;
    QOV_NEED_SERVICES(services);
    std::string url = "http://127.0.0.1:" + std::to_string(services.FaultPort) + "/silent/stalled.qov";
    Form->OpenLocator(std::wstring(url.begin(), url.end()));
    ASSERT_EQ(Player().Status(), vpOpening);
    OpenControlMenu();
    EXPECT_TRUE(Checked(cmScanForward));
    EXPECT_FALSE(Checked(cmPlay) || Checked(cmPause) || Checked(cmStop));
    Command(cmClose);
}

// The control reports a thumbnail click as OnSkip, which the program does not
// act on: the recording plays on.
TEST_F(WindowPlaying, ThumbnailClickMovesNothing)
{
    char dir[MAX_PATH];
    GetCurrentDirectoryA(sizeof dir, dir);
    const std::string folder = qov::test::FreshNailsFolder(dir, "app_nails");
    qov::test::WriteNailsRecording(folder, 5, 1000, "nails\\");
    qov::writer::BuildSampleRecording().Save(folder + "rec.qov");
    OpenPlaying(std::wstring(folder.begin(), folder.end()) + L"rec.qov");
    HWND strip = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        strip = FindChildOfClass(Form->Handle(), "QovNailsFrame");
        return strip && IsWindowVisible(strip);
    }));
    ASSERT_TRUE(WaitFor([&] { return Player().CurrentPosition() > 3000; }, 20000));
    // The first nail (0 s) stands at (10, 10), 64 pixels square.
    const int32_t before = Player().CurrentPosition();
    SendMessageA(strip, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(42, 42));
    SendMessageA(strip, WM_LBUTTONUP, 0, MAKELPARAM(42, 42));
    WaitFor([] { return false; }, 500);
    EXPECT_GE(Player().CurrentPosition(), before);
    EXPECT_EQ(Player().Status(), vpPlaying);
    EXPECT_TRUE(Reports.empty()) << Reports.front();
}
