// The thumbnail strip hosted in a test window: filling it from a recording's
// folder, clicks, following the play position, relayout after a resize.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "NailsFixtures.h"
#include "NailsList.h"
#include "RecordingFixtures.h"
#include "UnitBottom.h"
#include "UnitLog.h"

using namespace qov;
using namespace qov::test;

namespace {

const int kScrollBar = GetSystemMetrics(SM_CXVSCROLL);

struct StripRig {
    // stripWidth: the strip's client width (its scroll bar comes on top).
    explicit StripRig(int stripWidth, int height = 300) : Host(stripWidth + kScrollBar, height)
    {
        Strip = std::make_unique<TNailsFrame>(Host.Handle());
        Strip->SetOnSkip([this](int32_t s) { Skips.push_back(s); });
        Strip->SetStripHeight(height - 20);
    }
    void Resize(int stripWidth)
    {
        RECT area{0, 0, stripWidth + kScrollBar, 300};
        Strip->AlignBottom(area);
    }
    bool Load(const std::string& folder, int expected)
    {
        Strip->LoadFromFolder(folder);
        return PumpUntil([&] { return Strip->Reader()->Finished() && Strip->Count() >= expected; }, 30000);
    }
    void Click(const TNail* nail)
    {
        const RECT r = nail->PictureRect();
        const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        SendMessageA(Strip->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageA(Strip->Handle(), WM_LBUTTONUP, 0, at);
    }
    std::string Folder(const std::string& name) { return FreshNailsFolder(ScratchDir(), name); }
    static std::string ScratchDir()
    {
        char dir[MAX_PATH];
        GetCurrentDirectoryA(sizeof dir, dir);
        return dir;
    }

    TStripHost Host;
    std::unique_ptr<TNailsFrame> Strip;
    std::vector<int32_t> Skips;
};

RECT WindowIn(HWND window, HWND parent)
{
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Today's daily log, as far as it is written.
std::string TodaysLog()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[32];
    wsprintfA(name, "\\%04d-%02d-%02d.log", now.wYear, now.wMonth, now.wDay);
    return FileText(Log().LogFolder() + name);
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(NailsStrip, TwoHundredLinesGiveTheChosenHundredAndTwentyNails)
{
    StripRig rig(450);
    const std::string folder = rig.Folder("n200");
    WriteNailsRecording(folder, 200, 1000, "nails\\");
    EXPECT_FALSE(rig.Strip->Visible());
    ASSERT_TRUE(rig.Load(folder, 120));
    PumpFor(100);
    ASSERT_EQ(rig.Strip->Count(), 120);
    EXPECT_TRUE(rig.Strip->Visible());
    ASSERT_NE(rig.Strip->SplitterHandle(), nullptr);
    EXPECT_TRUE(IsWindowVisible(rig.Strip->SplitterHandle()));
    EXPECT_EQ(rig.Strip->Nail(0)->Left(), 10);
    EXPECT_EQ(rig.Strip->Nail(0)->Top(), 10);
    EXPECT_EQ(rig.Strip->Columns(), 6);

    // Positions from the grid: 6 columns 74 apart, rows one nail + 10 apart.
    const int pitch = kNailSize + rig.Strip->LabelHeight() + kNailGap;
    const std::vector<int> lines = ChooseNailLines(200);
    for (int i = 0; i < 120; ++i) {
        const TNail* nail = rig.Strip->Nail(i);
        ASSERT_EQ(nail->Left(), 10 + (i % 6) * 74) << i;
        ASSERT_EQ(nail->Top(), 10 + (i / 6) * pitch) << i;
        rig.Click(nail);
    }
    ASSERT_EQ(rig.Skips.size(), 120u);
    for (int i = 0; i < 120; ++i)
        EXPECT_EQ(rig.Skips[i], lines[i]) << i;
    EXPECT_EQ(rig.Skips.front(), 0);
    EXPECT_EQ(rig.Skips.back(), 199);

    EXPECT_FALSE(rig.Strip->AddNail(folder + "nails\\p1.bmp", 1));
    EXPECT_EQ(rig.Strip->Count(), 120);
}

TEST(NailsStrip, ShortListsBadValuesAndBadPictures)
{
    StripRig rig(450);
    std::string folder = rig.Folder("n3");
    WriteNailsRecording(folder, 3, 60000, "nails\\", {}, "jpg");
    ASSERT_TRUE(rig.Load(folder, 3));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rig.Strip->Nail(i)->Seconds(), i * 60);
    EXPECT_EQ(rig.Strip->Nail(2)->TimeText(), "00:02:00");

    WriteWholeFile(folder + "nails.xml", "0=p0.jpg\r\n1500=p1.jpg\r\n\r\n3000=p2.jpg\r\n");
    ASSERT_TRUE(rig.Load(folder, 2));
    PumpFor(100);
    ASSERT_EQ(rig.Strip->Count(), 2);
    EXPECT_EQ(rig.Strip->Nail(1)->Seconds(), 1);
    EXPECT_EQ(rig.Strip->Nail(1)->FileName(), folder + "nails\\p1.jpg");

    // Missing, unknown kind, cut short, not a picture, outside the folder:
    // each skipped without a nail; the rest keep their order.
    const std::string bmp = FileText(folder + "nails\\p0.jpg");
    WriteWholeFile(folder + "nails\\cut.jpg", bmp.substr(0, bmp.size() / 3));
    WriteWholeFile(folder + "nails\\text.bmp", "not a picture at all");
    WriteWholeFile(folder + "nails\\x.png", bmp);
    WriteWholeFile(folder + "evil.jpg", bmp);
    WriteWholeFile(folder + "nails.xml", "0=p0.jpg\n1000=missing.jpg\n2000=x.png\n3000=cut.jpg\n4000=text.bmp\n"
                                         "5000=..\\evil.jpg\n6000=p2.jpg\n");
    rig.Strip->LoadFromFolder(folder);
    ASSERT_TRUE(PumpUntil([&] { return rig.Strip->Reader()->Finished(); }, 30000));
    PumpFor(200);
    ASSERT_EQ(rig.Strip->Count(), 2);
    EXPECT_EQ(rig.Strip->Nail(1)->Seconds(), 6);
    EXPECT_EQ(rig.Strip->Nail(1)->Index(), 1);

    // Records of an earlier load still queued are dropped.
    WriteNailsRecording(folder, 50, 1000, "nails\\", {}, "jpg");
    rig.Strip->LoadFromFolder(folder);
    while (!rig.Strip->Reader()->Finished())
        Sleep(10);
    WriteNailsRecording(folder, 4, 1000, "nails\\", {}, "jpg");
    ASSERT_TRUE(rig.Load(folder, 4));
    PumpFor(200);
    EXPECT_EQ(rig.Strip->Count(), 4);

    rig.Strip->Reset();
    EXPECT_FALSE(rig.Strip->Visible());
    EXPECT_EQ(rig.Strip->Count(), 0);
    // No list: nothing shows.
    const std::string empty = rig.Folder("none");
    rig.Strip->LoadFromFolder(empty);
    ASSERT_TRUE(PumpUntil([&] { return rig.Strip->Reader()->Finished(); }, 30000));
    PumpFor(100);
    EXPECT_FALSE(rig.Strip->Visible());
}

TEST(NailsStrip, FollowingThePositionSelectsAndScrollsItsRow)
{
    StripRig rig(100, 160);  // one column
    const std::string folder = rig.Folder("follow");
    WriteNailsRecording(folder, 4, 60000, "nails\\", {}, "jpg");
    ASSERT_TRUE(rig.Load(folder, 4));
    rig.Strip->FollowPosition(125);
    const TNail* nail = rig.Strip->Nail(2);
    ASSERT_EQ(rig.Strip->SelectedNail(), nail);
    EXPECT_EQ(nail->Top() - rig.Strip->ScrollPos(), 10);
    EXPECT_TRUE(rig.Skips.empty());

    UpdateWindow(rig.Strip->Handle());
    HDC dc = GetDC(rig.Strip->Handle());
    const COLORREF frame = GetPixel(dc, nail->Left(), 10 + 30);
    const COLORREF inside = GetPixel(dc, nail->Left() + 30, 10 + 30);
    ReleaseDC(rig.Strip->Handle(), dc);
    EXPECT_EQ(frame, kNailLime);
    EXPECT_NE(inside, kNailLime);

    // The same position again changes nothing; an earlier one moves back.
    rig.Strip->FollowPosition(179);
    EXPECT_EQ(rig.Strip->SelectedNail(), nail);
    rig.Strip->FollowPosition(0);
    EXPECT_EQ(rig.Strip->SelectedNail(), rig.Strip->Nail(0));
    EXPECT_EQ(rig.Strip->ScrollPos(), 0);
}

TEST(NailsStrip, SelectionColourAndPlacementRepaintOnlyWhatTheyTouch)
{
    StripRig rig(450);
    const std::string folder = rig.Folder("touch");
    WriteNailsRecording(folder, 12, 1000, "nails\\", {}, "jpg");
    ASSERT_TRUE(rig.Load(folder, 12));
    HWND strip = rig.Strip->Handle();
    UpdateWindow(strip);
    auto pixel = [&](int x, int y) {
        HDC dc = GetDC(strip);
        const COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(strip, dc);
        return c;
    };
    auto invalid = [&](int x, int y) {
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        const bool in = GetUpdateRgn(strip, region, FALSE) != NULLREGION && PtInRegion(region, x, y);
        DeleteObject(region);
        return in;
    };
    auto centre = [](const TNail* nail) {
        const RECT r = nail->PictureRect();
        return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    };
    const TNail* first = rig.Strip->Nail(1);
    const TNail* second = rig.Strip->Nail(3);
    // Records that arrive together set the scroll bar once, for all of them.
    SCROLLINFO bar{};
    bar.cbSize = sizeof bar;
    bar.fMask = SIF_RANGE;
    ASSERT_TRUE(GetScrollInfo(strip, SB_VERT, &bar));
    EXPECT_EQ(bar.nMax, rig.Strip->Nail(11)->Bottom() - 1);

    // A click repaints the nail clicked, not its neighbours.
    rig.Click(first);
    EXPECT_TRUE(invalid(centre(first).x, centre(first).y));
    EXPECT_FALSE(invalid(centre(second).x, centre(second).y));
    UpdateWindow(strip);
    EXPECT_EQ(pixel(first->Left(), first->Top() + 30), kNailLime);

    // The frame leaves the nail deselected; a new colour shows in every gap.
    rig.Click(second);
    rig.Strip->SetColor(RGB(0, 0, 255));
    UpdateWindow(strip);
    EXPECT_NE(pixel(first->Left(), first->Top() + 30), kNailLime);
    EXPECT_EQ(pixel(second->Left(), second->Top() + 30), kNailLime);
    EXPECT_EQ(pixel(first->Right() + 5, first->Top() + 30), RGB(0, 0, 255));
    EXPECT_EQ(pixel(rig.Strip->Nail(8)->Right() + 5, rig.Strip->Nail(8)->Top() + 30), RGB(0, 0, 255));

    // A narrower strip: each placement draws the move at once, leaving
    // nothing to repaint, and the strip then looks as a whole repaint draws it.
    rig.Resize(300);
    UpdateWindow(strip);
    auto capture = [&] {
        RECT client{};
        GetClientRect(strip, &client);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = client.right;
        info.bmiHeader.biHeight = -client.bottom;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC dc = GetDC(strip), memory = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
        GdiFlush();
        const auto* first = static_cast<const uint32_t*>(bits);
        std::vector<uint32_t> pixels(first, first + client.right * client.bottom);
        SelectObject(memory, old);
        DeleteDC(memory);
        ReleaseDC(strip, dc);
        DeleteObject(bitmap);
        return pixels;
    };
    const POINT was = centre(rig.Strip->Nail(6));
    for (int i = 1; i < 12; ++i)
        rig.Strip->PlaceNail(i);
    EXPECT_NE(centre(rig.Strip->Nail(6)).x, was.x);
    HRGN update = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(GetUpdateRgn(strip, update, FALSE), NULLREGION);
    DeleteObject(update);
    const std::vector<uint32_t> placed = capture();
    InvalidateRect(strip, nullptr, FALSE);
    UpdateWindow(strip);
    EXPECT_TRUE(capture() == placed);
}

TEST(NailsStrip, ANailAddedDuringARelayoutGoesIntoTheNewGrid)
{
    StripRig rig(450);
    const std::string folder = rig.Folder("during");
    WriteNailsRecording(folder, 12, 1000, "nails\\");
    ASSERT_TRUE(rig.Load(folder, 12));
    const int pitch = kNailSize + rig.Strip->LabelHeight() + kNailGap;
    // Three columns; the pass has not moved a nail yet when the 13th comes.
    rig.Resize(230);
    ASSERT_TRUE(rig.Strip->AddNail(folder + "nails\\p0.bmp", 12));
    const TNail* added = rig.Strip->Nail(12);
    EXPECT_EQ(added->Left(), 10);
    EXPECT_EQ(added->Top(), 10 + 4 * pitch);

    ASSERT_TRUE(PumpUntil([&] { return rig.Strip->Nail(11)->Top() == 10 + 3 * pitch; }, 10000));
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(rig.Strip->Nail(i)->Left(), 10 + (i % 3) * 74) << i;
        EXPECT_EQ(rig.Strip->Nail(i)->Top(), 10 + (i / 3) * pitch) << i;
    }
    // Every nail can be scrolled to.
    SCROLLINFO bar{};
    bar.cbSize = sizeof bar;
    bar.fMask = SIF_RANGE;
    ASSERT_TRUE(GetScrollInfo(rig.Strip->Handle(), SB_VERT, &bar));
    EXPECT_EQ(bar.nMax, added->Bottom() - 1);
}

TEST(NailsStrip, ResizeMovesNailsOnePerRoundTripAndRestarts)
{
    StripRig rig(450);
    std::vector<WPARAM> places;
    bool overlapped = false;
    bool resizedAgain = false;
    int loaded = 0;  // posts whose picture the reader has loaded
    rig.Strip->SetNotifyWindow(rig.Host.Handle());
    rig.Host.OnMessage = [&](UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NAIL_ADD) {
            loaded += reinterpret_cast<const TNailPost*>(wParam)->Picture != nullptr;
            rig.Strip->HandleNailAdd(wParam, lParam);
            return true;
        }
        if (msg != WM_NAIL_PLACE)
            return false;
        MSG next;
        overlapped = overlapped || PeekMessageA(&next, rig.Host.Handle(), WM_NAIL_PLACE, WM_NAIL_PLACE, PM_NOREMOVE);
        places.push_back(wParam);
        if (places.size() == 4 && !resizedAgain) {
            resizedAgain = true;
            rig.Resize(450);
        }
        rig.Strip->PlaceFromLayout(wParam);
        return true;
    };
    const std::string folder = rig.Folder("resize");
    WriteNailsRecording(folder, 20, 1000, "nails\\");
    ASSERT_TRUE(rig.Load(folder, 20));
    EXPECT_EQ(loaded, 20);
    const TNail* n5 = rig.Strip->Nail(5);
    EXPECT_EQ(rig.Strip->Nail(6)->Left(), 10);
    EXPECT_EQ(rig.Strip->Nail(6)->Top(), n5->Bottom() + 10);

    rig.Resize(230);
    EXPECT_EQ(rig.Strip->Columns(), 3);
    // The second resize (at the 4th placement) goes back to 6 columns and
    // restarts from index 1.
    ASSERT_TRUE(PumpUntil([&] { return places.size() >= 4 + 19; }, 20000)) << places.size();
    PumpFor(200);
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(places.size(), 23u);
    EXPECT_EQ(places[3], 4u);
    EXPECT_EQ(places[4], 1u);
    EXPECT_EQ(places.back(), 19u);
    EXPECT_EQ(rig.Strip->Columns(), 6);
    const int pitch = kNailSize + rig.Strip->LabelHeight() + kNailGap;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(rig.Strip->Nail(i)->Left(), 10 + (i % 6) * 74) << i;
        EXPECT_EQ(rig.Strip->Nail(i)->Top(), 10 + (i / 6) * pitch) << i;
    }
    // Too narrow for one nail: one column.
    places.clear();
    rig.Resize(50);
    ASSERT_TRUE(PumpUntil([&] { return places.size() >= 19; }, 20000));
    EXPECT_EQ(rig.Strip->Columns(), 1);
    EXPECT_EQ(rig.Strip->Nail(19)->Left(), 10);
    EXPECT_EQ(rig.Strip->Nail(19)->Top(), 10 + 19 * pitch);
    // Clicked twice: two skips of the same moment.
    rig.Click(rig.Strip->Nail(1));
    rig.Click(rig.Strip->Nail(1));
    EXPECT_EQ(rig.Skips, (std::vector<int32_t>{1, 1}));
}

TEST(NailsStrip, AStripInAHiddenHostIsSizedOnceAndShowsWithIt)
{
    // A page in a background tab: the host is hidden while the nails come.
    StripRig rig(450, 200);
    rig.Strip->SetStripHeight(100);
    ShowWindow(rig.Host.Handle(), SW_HIDE);
    const std::string folder = rig.Folder("hidden");
    WriteNailsRecording(folder, 1, 1000, "nails\\");
    ASSERT_TRUE(rig.Load(folder, 1));
    HWND splitter = rig.Strip->SplitterHandle();
    ASSERT_NE(splitter, nullptr);
    EXPECT_TRUE(rig.Strip->Visible());
    EXPECT_FALSE(IsWindowVisible(rig.Strip->Handle()));
    // Further nails keep the strip and its splitter as they are.
    ASSERT_TRUE(rig.Strip->AddNail(folder + "nails\\p0.bmp", 5));
    ASSERT_TRUE(rig.Strip->AddNail(folder + "nails\\p0.bmp", 6));
    EXPECT_EQ(rig.Strip->SplitterHandle(), splitter);
    const RECT strip = WindowIn(rig.Strip->Handle(), rig.Host.Handle());
    EXPECT_EQ(strip.bottom, 200);
    EXPECT_EQ(strip.bottom - strip.top, 100);
    EXPECT_EQ(strip.right - strip.left, 450 + kScrollBar);
    EXPECT_EQ(WindowIn(splitter, rig.Host.Handle()).bottom, strip.top);

    ShowWindow(rig.Host.Handle(), SW_SHOWNOACTIVATE);
    PumpFor(100);
    EXPECT_TRUE(IsWindowVisible(rig.Strip->Handle()));
    EXPECT_TRUE(IsWindowVisible(splitter));
    const RECT shown = WindowIn(rig.Strip->Handle(), rig.Host.Handle());
    EXPECT_TRUE(EqualRect(&shown, &strip));
    EXPECT_EQ(rig.Strip->Count(), 3);
}

TEST(NailsStrip, AShrinkGivesThePictureItsRoomBack)
{
    StripRig rig(450, 300);
    const std::string folder = rig.Folder("shrink");
    WriteNailsRecording(folder, 2, 1000, "nails\\");
    ASSERT_TRUE(rig.Load(folder, 2));
    const int width = 450 + kScrollBar;
    // Dragged as high as it goes: the picture keeps its least height.
    rig.Strip->SetStripHeight(1000);
    RECT rest = rig.Strip->AlignBottom(RECT{0, 0, width, 300});
    EXPECT_EQ(rest.bottom - rest.top, kPictureMinHeight);
    // Smaller: the strip gives way, the picture keeps its room.
    rig.Strip->SetStripHeight(250);
    rest = rig.Strip->AlignBottom(RECT{0, 0, width, 100});
    EXPECT_EQ(rest.bottom, kPictureMinHeight);
    RECT strip = WindowIn(rig.Strip->Handle(), rig.Host.Handle());
    EXPECT_EQ(strip.top, kPictureMinHeight + kNailsSplitterHeight);
    EXPECT_EQ(strip.bottom, 100);
    rest = rig.Strip->AlignBottom(RECT{0, 0, width, 20});
    EXPECT_EQ(rest.bottom, 20 - kNailsSplitterHeight);
    EXPECT_EQ(WindowIn(rig.Strip->Handle(), rig.Host.Handle()).top, 20);
    // Larger again: the dragged height comes back.
    rest = rig.Strip->AlignBottom(RECT{0, 0, width, 300});
    EXPECT_EQ(rest.bottom, 300 - 250 - kNailsSplitterHeight);
    strip = WindowIn(rig.Strip->Handle(), rig.Host.Handle());
    EXPECT_EQ(strip.bottom - strip.top, 250);
    // A drag far past the top stops at the picture's least height too.
    HWND splitter = rig.Strip->SplitterHandle();
    ASSERT_NE(splitter, nullptr);
    SendMessageA(splitter, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 1));
    SendMessageA(splitter, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(5, static_cast<WORD>(-500)));
    SendMessageA(splitter, WM_LBUTTONUP, 0, MAKELPARAM(5, static_cast<WORD>(-500)));
    EXPECT_EQ(rig.Strip->StripHeight(), 300 - kNailsSplitterHeight - kPictureMinHeight);
}

TEST(NailsStrip, AHundredMegabyteListIsReadToItsFirstMebibyteWithOneLogLine)
{
    StripRig rig(450);
    const std::string folder = rig.Folder("huge");
    WriteNailsRecording(folder, 1, 1000, "nails\\");
    // 100 MB of lines of 100 bytes: "<ms, zero-padded>=p0.bmp".
    const int lineBytes = 100;
    const int lines = 100 * 1000 * 1000 / lineBytes;
    HANDLE file = CreateFileA((folder + "nails.xml").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string block;
    for (int i = 0; i < lines; ++i) {
        char ms[16];
        wsprintfA(ms, "%d", i * 1000);
        std::string line = std::string(lineBytes - 9 - lstrlenA(ms), '0') + ms + "=p0.bmp\r\n";
        block += line;
        if (block.size() >= (1u << 20) || i == lines - 1) {
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
            block.clear();
        }
    }
    CloseHandle(file);
    const size_t logged = Occurrences(TodaysLog(), "is cut to its first");
    ASSERT_TRUE(rig.Load(folder, 120));
    PumpFor(200);
    ASSERT_EQ(rig.Strip->Count(), 120);
    // Whole lines of the first mebibyte: the last of them is the last nail.
    const int kept = static_cast<int>(kMaxNailsListBytes / lineBytes);
    EXPECT_EQ(rig.Strip->Nail(119)->Seconds(), kept - 1);
    EXPECT_EQ(Occurrences(TodaysLog(), "is cut to its first"), logged + 1);
    DeleteFileA((folder + "nails.xml").c_str());
}
