// The thumbnail strip through the control in a test container: a recording's
// "nails.xml" beside it or on nginx fills the strip once the recording is
// open, clicks reach the host as OnSkip, the strip follows the play position,
// moves its nails when the control is resized, and a stalled picture
// download never holds up Close or the control's end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControlHost.h"
#include "ControlWindows.h"
#include "NailsFixtures.h"
#include "NailsList.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"
#include "TestServices.h"

using namespace qov;
using namespace qov::test;

namespace {

constexpr DISPID kOnSkip = 4;
constexpr int kStep = 64 + 10;  // a nail's width and the gap after it
const int kScrollBar = GetSystemMetrics(SM_CXVSCROLL);

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

TStatus StatusOf(IQovPlayer* p)
{
    TStatus s = vpSeeking;
    p->get_Status(&s);
    return s;
}

std::string ScratchDir()
{
    char dir[MAX_PATH];
    GetCurrentDirectoryA(sizeof dir, dir);
    return dir;
}

// A folder with the sample recording, "nails.xml" of lines pictures and
// the pictures in folder + pictures.
std::string RecordingFolder(const std::string& base, const std::string& name, int lines,
                            const std::string& pictures, const std::vector<int>& skip = {})
{
    const std::string folder = FreshNailsFolder(base, name);
    WriteNailsRecording(folder, lines, 1000, pictures, skip);
    qov::writer::BuildSampleRecording().Save(folder + "rec.qov");
    return folder;
}

// The name of a folder right under the served root.
std::string ServedName(const std::string& root, const std::string& folder)
{
    return folder.substr(root.size() + 1, folder.size() - root.size() - 2);
}

class NailsControl : public testing::Test {
protected:
    // stripWidth: the strip's client width (the control is as wide plus the
    // strip's scroll bar); 0 keeps the container's size.
    void Make(bool autoStart, int stripWidth = 450)
    {
        ASSERT_HRESULT_SUCCEEDED(Host.Create());
        ASSERT_HRESULT_SUCCEEDED(Host.Activate(false));
        P = Host.Player();
        P->put_AutoStart(autoStart ? VARIANT_TRUE : VARIANT_FALSE);
        Form = FormOf(P);
        Resize(stripWidth);
    }
    void Resize(int stripWidth)
    {
        Host.Ole().Move(RECT{0, 0, stripWidth + kScrollBar, 400});
        TControlHost::Pump(50);
    }
    void Open(const std::string& locator, TStatus until)
    {
        BSTR b = SysAllocString(Wide(locator).c_str());
        ASSERT_HRESULT_SUCCEEDED(P->Open(b));
        SysFreeString(b);
        ASSERT_TRUE(WaitUntil([&] { return StatusOf(P) == until; }, 15000)) << StatusOf(P);
    }
    HWND Strip() const { return FindWindowExA(Form, nullptr, "QovNailsFrame", nullptr); }
    HWND Splitter() const { return FindWindowExA(Form, nullptr, "QovNailsSplitter", nullptr); }
    bool Shown() const { return Strip() && IsWindowVisible(Strip()); }
    int Columns() const
    {
        RECT r{};
        GetClientRect(Strip(), &r);
        return std::max(1, static_cast<int>(r.right / kStep));
    }
    // Row pitch: a nail, its time label in the strip's inherited font, a gap.
    int Pitch() const
    {
        HFONT font = reinterpret_cast<HFONT>(SendMessageA(Form, WM_GETFONT, 0, 0));
        if (!font)
            font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        HDC dc = GetDC(Strip());
        HGDIOBJ old = SelectObject(dc, font);
        TEXTMETRICA metrics{};
        GetTextMetricsA(dc, &metrics);
        SelectObject(dc, old);
        ReleaseDC(Strip(), dc);
        return 64 + metrics.tmHeight + 10;
    }
    // The centre of nail index's picture in a grid of columns, in the strip.
    POINT Centre(int index, int columns) const
    {
        const int scroll = GetScrollPos(Strip(), SB_VERT);
        return POINT{10 + (index % columns) * kStep + 32, 10 + (index / columns) * Pitch() + 32 - scroll};
    }
    // Clicks where nail index stands; the seconds OnSkip reported, or -1.
    LONG Click(int index, int columns = 0)
    {
        const POINT at = Centre(index, columns ? columns : Columns());
        const size_t before = Host.EventsOf(kOnSkip).size();
        SendMessageA(Strip(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
        SendMessageA(Strip(), WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
        const auto skips = Host.EventsOf(kOnSkip);
        return skips.size() > before ? skips.back().Args[0].lVal : -1;
    }
    // Waits until nail index answers a click (the list reader posts nails
    // one by one).
    bool WaitNails(int index, DWORD ms = 15000)
    {
        return WaitUntil([&] { return Shown() && Click(index) >= 0; }, ms);
    }
    std::vector<LONG> ClickAll(int count, int columns = 0)
    {
        std::vector<LONG> out;
        for (int i = 0; i < count; ++i)
            out.push_back(Click(i, columns));
        return out;
    }

    TControlHost Host;
    IQovPlayer* P = nullptr;
    HWND Form = nullptr;
};

// The control's own download folders of this process ("<temp>QovPlayer\<pid>_<n>\").
std::vector<std::string> DownloadFolders()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string base = std::string(temp) + "QovPlayer\\";
    std::vector<std::string> out;
    WIN32_FIND_DATAA found;
    HANDLE search =
        FindFirstFileA((base + std::to_string(GetCurrentProcessId()) + "_*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return out;
    do
        out.push_back(base + found.cFileName + "\\");
    while (FindNextFileA(search, &found));
    FindClose(search);
    return out;
}

} // namespace

TEST_F(NailsControl, LocalListOfTwoHundredLinesGivesTheChosenHundredAndTwenty)
{
    const std::string folder = RecordingFolder(ScratchDir(), "ctl200", 200, "nails\\");
    ASSERT_NO_FATAL_FAILURE(Make(false));
    LONG color = -1;
    EXPECT_HRESULT_SUCCEEDED(P->get_NailBackgroundColor(&color));
    EXPECT_EQ(color, 0);
    ASSERT_HRESULT_SUCCEEDED(P->put_NailBackgroundColor(0x0000FF));
    EXPECT_FALSE(Shown());

    ASSERT_NO_FATAL_FAILURE(Open(folder + "rec.qov", vpOpened));
    ASSERT_TRUE(WaitNails(119));
    EXPECT_EQ(Columns(), 6);
    EXPECT_EQ(Click(120), -1);
    Host.ClearEvents();
    const std::vector<int> lines = ChooseNailLines(200);
    EXPECT_EQ(ClickAll(120), std::vector<LONG>(lines.begin(), lines.end()));
    EXPECT_EQ(Click(0), 0);  // the first nail stands at (10, 10)

    // The strip at the bottom, its splitter right above, the picture above that.
    RECT form{}, strip{}, splitter{}, detail{};
    GetClientRect(Form, &form);
    GetWindowRect(Strip(), &strip);
    ASSERT_TRUE(Splitter() && IsWindowVisible(Splitter()));
    GetWindowRect(Splitter(), &splitter);
    GetWindowRect(FindWindowExA(Form, nullptr, "TDetailFrame", nullptr), &detail);
    EXPECT_EQ(strip.bottom - strip.top, 63);
    EXPECT_EQ(splitter.bottom, strip.top);
    EXPECT_EQ(detail.bottom, splitter.top);
    // The strip's colour is the host's (0x0000FF: blue), read back as given.
    const std::vector<uint8_t> px = ReadWindowPixels(Strip(), 3, 3, 1, 1);
    EXPECT_EQ(px, (std::vector<uint8_t>{255, 0, 0}));
    EXPECT_HRESULT_SUCCEEDED(P->get_NailBackgroundColor(&color));
    EXPECT_EQ(color, 0x0000FF);

    // Close empties and hides the strip.
    ASSERT_HRESULT_SUCCEEDED(P->Close());
    EXPECT_FALSE(Shown());
    EXPECT_FALSE(Splitter() && IsWindowVisible(Splitter()));
}

TEST_F(NailsControl, ShortListsBlankLinesAndRecordingsWithoutAList)
{
    ASSERT_NO_FATAL_FAILURE(Make(false));
    const std::string three = RecordingFolder(ScratchDir(), "ctl3", 3, "nails\\");
    ASSERT_NO_FATAL_FAILURE(Open(three + "rec.qov", vpOpened));
    ASSERT_TRUE(WaitNails(2));
    EXPECT_EQ(ClickAll(4), (std::vector<LONG>{0, 1, 2, -1}));

    // Another recording empties the strip first; its blank third line ends
    // the list; a name of 1500 ms is second 1.
    const std::string blank = RecordingFolder(ScratchDir(), "ctlblank", 4, "nails\\");
    WriteWholeFile(blank + "nails.xml", "0=p0.bmp\r\n1500=p1.bmp\r\n \r\n3000=p3.bmp\r\n");
    ASSERT_NO_FATAL_FAILURE(Open(blank + "rec.qov", vpOpened));
    ASSERT_TRUE(WaitNails(1));
    TControlHost::Pump(300);
    EXPECT_EQ(ClickAll(3), (std::vector<LONG>{0, 1, -1}));

    // No list beside the recording: no strip.
    const std::string none = FreshNailsFolder(ScratchDir(), "ctlnone");
    qov::writer::BuildSampleRecording().Save(none + "rec.qov");
    ASSERT_NO_FATAL_FAILURE(Open(none + "rec.qov", vpOpened));
    TControlHost::Pump(1000);
    EXPECT_FALSE(Shown());
}

TEST_F(NailsControl, ListAndPicturesFromNginxLandInTheControlsOwnFolder)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    // On a server the pictures lie beside the list; p3 is missing (404).
    const std::string served = RecordingFolder(services.Root, "ctlnails", 6, "", {3});
    const std::string dir = ServedName(services.Root, served);
    ASSERT_NO_FATAL_FAILURE(Make(false));
    const std::string url = "http://127.0.0.1:" + std::to_string(services.HttpPort) + "/" + dir + "/rec.qov";
    ASSERT_NO_FATAL_FAILURE(Open(url, vpOpened));
    ASSERT_TRUE(WaitNails(4, 20000));
    TControlHost::Pump(300);
    EXPECT_EQ(ClickAll(6), (std::vector<LONG>{0, 1, 2, 4, 5, -1}));

    std::string mine;
    for (const std::string& folder : DownloadFolders())
        if (FileExists(folder + "nails.xml"))
            mine = folder;
    ASSERT_FALSE(mine.empty());
    EXPECT_EQ(FileText(mine + "nails.xml"), FileText(served + "nails.xml"));
    EXPECT_TRUE(FileExists(mine + "nails\\p5.bmp"));
    EXPECT_FALSE(FileExists(mine + "nails\\p3.bmp"));
    // The folder goes with its control.
    Host.Destroy();
    EXPECT_FALSE(FileExists(mine + "nails.xml"));
    EXPECT_FALSE(FileExists(mine));
}

TEST_F(NailsControl, PlayingSelectsTheNailOfThePositionAndScrollsItsRowUp)
{
    // Seven nails at second 0, the eighth (second row, second column) at 2 s.
    const std::string folder = RecordingFolder(ScratchDir(), "ctlfollow", 8, "nails\\");
    std::string list;
    for (int i = 0; i < 7; ++i)
        list += std::to_string(i) + "=p" + std::to_string(i) + ".bmp\r\n";
    WriteWholeFile(folder + "nails.xml", list + "2000=p7.bmp\r\n");
    ASSERT_NO_FATAL_FAILURE(Make(true));
    ASSERT_NO_FATAL_FAILURE(Open(folder + "rec.qov", vpPlaying));
    ASSERT_TRUE(WaitUntil([&] { return Shown(); }, 10000));
    const int pitch = Pitch();
    // Once the play position passes 2 s the eighth nail's row is at the top
    // and its frame is lime on screen.
    auto lime = [&] {
        const std::vector<uint8_t> px = ReadWindowPixels(Strip(), 10 + kStep, 10 + 30, 1, 1);
        return px == std::vector<uint8_t>{0, 255, 0};
    };
    ASSERT_TRUE(WaitUntil([&] { return GetScrollPos(Strip(), SB_VERT) == pitch && lime(); }, 8000))
        << GetScrollPos(Strip(), SB_VERT);
    const std::vector<uint8_t> inside = ReadWindowPixels(Strip(), 10 + kStep + 30, 10 + 30, 1, 1);
    EXPECT_NE(inside, (std::vector<uint8_t>{0, 255, 0}));
    Host.ClearEvents();
    EXPECT_EQ(Click(7), 2);
}

TEST_F(NailsControl, ResizingTheControlMovesTheNailsIntoTheNewGrid)
{
    const std::string folder = RecordingFolder(ScratchDir(), "ctlresize", 12, "nails\\");
    ASSERT_NO_FATAL_FAILURE(Make(false));
    ASSERT_NO_FATAL_FAILURE(Open(folder + "rec.qov", vpOpened));
    ASSERT_TRUE(WaitNails(11));
    ASSERT_EQ(Columns(), 6);
    std::vector<LONG> all;
    for (LONG i = 0; i < 12; ++i)
        all.push_back(i);

    // 230 pixels: three columns, one nail moved per round trip.
    Resize(230);
    ASSERT_EQ(Columns(), 3);
    ASSERT_TRUE(WaitUntil([&] { return Click(11, 3) == 11; }, 10000));
    EXPECT_EQ(ClickAll(12, 3), all);
    // Narrower than one nail and its gap: one column.
    Resize(60);
    ASSERT_TRUE(WaitUntil([&] { return Click(11, 1) == 11; }, 10000));
    EXPECT_EQ(ClickAll(12, 1), all);

    // The same nail twice: two skips of the same moment.
    Host.ClearEvents();
    Click(5, 1);
    Click(5, 1);
    const auto skips = Host.EventsOf(kOnSkip);
    ASSERT_EQ(skips.size(), 2u);
    EXPECT_EQ(skips[0].Args[0].lVal, 5);
    EXPECT_EQ(skips[1].Args[0].lVal, 5);
}

TEST_F(NailsControl, ClosingOrDestroyingDuringAStalledPictureReturnsAtOnce)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    const std::string dir = ServedName(services.Root, RecordingFolder(services.Root, "ctlstall", 4, ""));
    // The recording and its list are served; every picture stalls.
    const std::string url =
        "http://127.0.0.1:" + std::to_string(services.FaultPort) + "/silentpics/" + dir + "/rec.qov";
    ASSERT_NO_FATAL_FAILURE(Make(false));
    ASSERT_NO_FATAL_FAILURE(Open(url, vpOpened));
    TControlHost::Pump(1000);
    DWORD start = GetTickCount();
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_FALSE(Shown());

    ASSERT_NO_FATAL_FAILURE(Open(url, vpOpened));
    TControlHost::Pump(1000);
    start = GetTickCount();
    Host.Destroy();
    EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST_F(NailsControl, AHiddenControlLaysItsStripOutAndAShrinkKeepsThePicturesRoom)
{
    const std::string folder = RecordingFolder(ScratchDir(), "ctlhidden", 3, "nails\\");
    ASSERT_NO_FATAL_FAILURE(Make(false));
    // A page in a background tab: the container is hidden while the nails come.
    HWND container = Host.Window();
    ShowWindow(container, SW_HIDE);
    ASSERT_NO_FATAL_FAILURE(Open(folder + "rec.qov", vpOpened));
    ASSERT_TRUE(WaitUntil([&] { return Strip() && Click(2) == 2; }, 15000));
    HWND splitter = Splitter();
    ASSERT_NE(splitter, nullptr);
    TControlHost::Pump(300);
    EXPECT_EQ(Splitter(), splitter);
    ShowWindow(container, SW_SHOWNOACTIVATE);
    TControlHost::Pump(100);
    ASSERT_TRUE(Shown());
    auto heights = [&](int* strip, int* detail) {
        RECT s{}, d{}, p{};
        GetWindowRect(Strip(), &s);
        GetWindowRect(FindWindowExA(Form, nullptr, "TDetailFrame", nullptr), &d);
        GetWindowRect(Splitter(), &p);
        *strip = s.bottom - s.top;
        *detail = d.bottom - d.top;
        EXPECT_EQ(p.bottom, s.top);
        EXPECT_EQ(d.bottom, p.top);
    };
    int strip = 0, detail = 0;
    heights(&strip, &detail);
    EXPECT_EQ(strip, 63);
    EXPECT_EQ(detail, 400 - 63 - 2);

    // 60 pixels high: the picture keeps 30 of them, the strip takes the rest.
    Host.Ole().Move(RECT{0, 0, 450 + kScrollBar, 60});
    TControlHost::Pump(100);
    heights(&strip, &detail);
    EXPECT_EQ(detail, 30);
    EXPECT_EQ(strip, 60 - 30 - 2);
    // Back to 400: the strip is as high as before.
    Host.Ole().Move(RECT{0, 0, 450 + kScrollBar, 400});
    TControlHost::Pump(100);
    heights(&strip, &detail);
    EXPECT_EQ(strip, 63);
}

// A sink that re-enters the control from OnSkip: it closes it, opens another
// recording (the strip is emptied under the click) or lets go of it (the
// strip goes with the control). The host survives each, and the control says
// what is open.
TEST_F(NailsControl, ASinkThatReentersFromOnSkipLeavesTheHostAlive)
{
    const std::string folder = RecordingFolder(ScratchDir(), "ctlskipreenter", 3, "nails\\");
    const std::string other = RecordingFolder(ScratchDir(), "ctlskipother", 2, "nails\\");
    for (int act = 0; act < 3; ++act) {
        SCOPED_TRACE(act);
        ASSERT_NO_FATAL_FAILURE(Make(false));
        ASSERT_NO_FATAL_FAILURE(Open(folder + "rec.qov", vpOpened));
        ASSERT_TRUE(WaitNails(2));
        const HWND strip = Strip();
        bool acted = false;
        Host.SetHook([&](DISPID id, DISPPARAMS*) {
            if (id != kOnSkip || acted)
                return;
            acted = true;
            if (act == 0) {
                EXPECT_HRESULT_SUCCEEDED(P->Close());
            } else if (act == 1) {
                BSTR b = SysAllocString(Wide(other + "rec.qov").c_str());
                EXPECT_HRESULT_SUCCEEDED(P->Open(b));
                SysFreeString(b);
            } else {
                Host.Destroy();
            }
        });
        const POINT at = Centre(1, Columns());
        SendMessageA(strip, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
        SendMessageA(strip, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
        ASSERT_TRUE(acted);
        TControlHost::Pump(200);
        Host.SetHook(nullptr);
        if (act == 2) {
            EXPECT_FALSE(IsWindow(strip));
            EXPECT_FALSE(IsWindow(Form));
            continue;
        }
        EXPECT_EQ(StatusOf(P), act == 0 ? vpClosed : vpOpened);
        if (act == 1) {
            EXPECT_TRUE(WaitNails(1));
        }
        Host.Destroy();
    }
}
