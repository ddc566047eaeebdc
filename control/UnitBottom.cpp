#include "UnitBottom.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "LocatorHelpers.h"
#include "QovFormat.h"
#include "ScreenText.h"
#include "SysUtils.h"
#include "UnitLog.h"
#include "UnitQovCore.h"
#include "UnitShare.h"

namespace qov {

const char kNailsFrameClass[] = "QovNailsFrame";
const char kNailsSplitterClass[] = "QovNailsSplitter";

namespace {

HINSTANCE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

void RegisterStripClasses()
{
    static bool registered = false;
    if (registered)
        return;
    WNDCLASSA wc{};
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = kNailsFrameClass;
    wc.lpfnWndProc = DefWindowProcA;
    // The strip draws each placement at once: a device context of its own
    // keeps its visible region from one to the next.
    wc.style = CS_OWNDC;
    RegisterClassA(&wc);
    wc.style = 0;
    wc.lpszClassName = kNailsSplitterClass;
    wc.hCursor = LoadCursor(nullptr, IDC_SIZENS);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    RegisterClassA(&wc);
    registered = true;
}

} // namespace

// ===========================================================================
// TNail

TNail::TNail(TNailsFrame* strip) : FStrip(strip) {}

TNail::~TNail()
{
    if (FPicture)
        DeleteObject(FPicture);
}

int TNail::Height() const
{
    return kNailSize + FStrip->LabelHeight();
}

RECT TNail::PictureRect() const
{
    const int top = FTop - FStrip->ScrollPos() + 2;
    return RECT{FLeft + 2, top, FLeft + 2 + kNailPictureSize, top + kNailPictureSize};
}

void TNail::SetSelected(bool selected)
{
    FSelected = selected;
    FLookStale = true;
    FStrip->ApplyLook(this);
}

void TNail::SetSeconds(int32_t seconds)
{
    FSeconds = seconds;
    FTimeText = SecondsToTimeText(seconds);
    FLookStale = true;
}

void TNail::SetLeft(int left)
{
    FStrip->InvalidateNail(this);
    FLeft = left;
    FStrip->InvalidateNail(this);
}

void TNail::SetTop(int top)
{
    FStrip->InvalidateNail(this);
    FTop = top;
    FStrip->InvalidateNail(this);
}

void TNail::LoadPicture(const std::string& fileName)
{
    FFileName = fileName;
    TakePicture(fileName, LoadNailPicture(fileName));
}

void TNail::TakePicture(const std::string& fileName, HBITMAP picture)
{
    FFileName = fileName;
    if (FPicture)
        DeleteObject(FPicture);
    FPicture = picture;
    FLookStale = true;
}

void TNail::Paint(HDC dc, int scroll, HDC source) const
{
    const int x = FLeft;
    const int y = FTop - scroll;
    if (FPicture) {
        HGDIOBJ old = SelectObject(source, FPicture);
        BitBlt(dc, x + 2, y + 2, kNailPictureSize, kNailPictureSize, source, 0, 0, SRCCOPY);
        SelectObject(source, old);
    }
    if (FSelected) {
        HGDIOBJ oldPen = SelectObject(dc, FStrip->FLimePen);
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Rectangle(dc, x, y, x + kNailSize, y + kNailSize);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
    }
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(dc, FSelected ? FStrip->FBoldFont : FStrip->FFont);
    SetTextColor(dc, FSelected ? kNailLime : kNailYellow);
    TextOutScreen(dc, x + 8, y + kNailSize, FTimeText);

    // The index label: yellow on a black box, its right edge on the picture's.
    SelectObject(dc, FStrip->FFont);
    const std::string number = std::to_string(FIndex + 1);
    const SIZE size = ScreenTextExtent(dc, number);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, RGB(0, 0, 0));
    SetTextColor(dc, kNailYellow);
    TextOutScreen(dc, x + 2 + kNailPictureSize - size.cx, y + 2, number);
    SelectObject(dc, oldFont);
}

// ===========================================================================
// TNailsFrame

TNailsFrame::TNailsFrame(HWND parent) : FParent(parent)
{
    RegisterStripClasses();
    FPlaced = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FHandle = CreateWindowExA(0, kNailsFrameClass, "", WS_CHILD | WS_CLIPSIBLINGS | WS_VSCROLL, 0, 0, 0, 0,
                              parent, nullptr, ThisModule(), nullptr);
    if (!FHandle || !FPlaced) {
        if (FPlaced)
            CloseHandle(FPlaced);
        throw Exception("Cannot create the thumbnail strip");
    }
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(FHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TNailsFrame::WndProc));
    ShowScrollBar(FHandle, SB_VERT, FALSE);
    FNotify = FHandle;
    ReadFonts();
}

TNailsFrame::~TNailsFrame()
{
    FReader.reset();
    FDownload.reset();
    FSelected = nullptr;
    ClearNails();
    FLayout.reset();
    if (FSplitter)
        DestroyWindow(FSplitter);
    DropQueuedNails(FNotify);
    if (FNotify != FHandle)
        DropQueuedNails(FHandle);
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, 0);
    DestroyWindow(FHandle);
    CloseHandle(FPlaced);
    if (FBoldFont)
        DeleteObject(FBoldFont);
    FreePaintObjects();
}

void TNailsFrame::FreePaintObjects()
{
    // A memory DC gives its own bitmap back before both are freed.
    auto freeBitmapDC = [](HDC& dc, HGDIOBJ old, auto& bitmap) {
        if (dc) {
            SelectObject(dc, old);
            DeleteDC(dc);
            dc = nullptr;
        }
        if (bitmap)
            DeleteObject(bitmap);
        bitmap = nullptr;
    };
    freeBitmapDC(FSource, FSourceOld, FLooks);
    freeBitmapDC(FBuffer, FBufferOld, FBufferBitmap);
    FBufferSize = SIZE{};
    if (FPictureSource)
        DeleteDC(FPictureSource);
    FPictureSource = nullptr;
    if (FLimePen)
        DeleteObject(FLimePen);
    FLimePen = nullptr;
}

bool TNailsFrame::MakePaintObjects(HDC dc, int width, int height)
{
    // Kept from paint to paint: making a bitmap of the strip's size and two
    // device contexts each time costs more than drawing a placement.
    if (!FLooks) {
        FLooks = CreateCompatibleBitmap(dc, kLookColumns * (kNailSize + kNailGap),
                                        (kMaxNails + kLookColumns - 1) / kLookColumns * (kNailSize + FLabelHeight));
        for (int i = 0; i < FCount; ++i)
            FNails[i]->FLookStale = true;
    }
    if (!FSource && FLooks) {
        FSource = CreateCompatibleDC(dc);
        if (FSource)
            FSourceOld = SelectObject(FSource, FLooks);
    }
    if (!FPictureSource)
        FPictureSource = CreateCompatibleDC(dc);
    if (!FLimePen)
        FLimePen = CreatePen(PS_INSIDEFRAME, 2, kNailLime);
    if (!FBuffer) {
        FBuffer = CreateCompatibleDC(dc);
        if (FBuffer)
            FBufferOld = GetCurrentObject(FBuffer, OBJ_BITMAP);
    }
    if (FBuffer && (width > FBufferSize.cx || height > FBufferSize.cy)) {
        const SIZE size{std::max<LONG>(width, FBufferSize.cx), std::max<LONG>(height, FBufferSize.cy)};
        HBITMAP bitmap = CreateCompatibleBitmap(dc, size.cx, size.cy);
        if (bitmap) {
            SelectObject(FBuffer, bitmap);
            if (FBufferBitmap)
                DeleteObject(FBufferBitmap);
            FBufferBitmap = bitmap;
            FBufferSize = size;
        }
    }
    return FSource && FPictureSource && FLimePen && FBuffer && width <= FBufferSize.cx && height <= FBufferSize.cy;
}

void TNailsFrame::ReadFonts()
{
    FFont = reinterpret_cast<HFONT>(SendMessageA(FParent, WM_GETFONT, 0, 0));
    if (!FFont)
        FFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW font{};
    GetObjectW(FFont, sizeof font, &font);
    font.lfWeight = FW_BOLD;
    if (FBoldFont)
        DeleteObject(FBoldFont);
    FBoldFont = CreateFontIndirectW(&font);
    HDC dc = GetDC(FHandle);
    HGDIOBJ old = SelectObject(dc, FFont);
    TEXTMETRICA metrics{};
    if (GetTextMetricsA(dc, &metrics))
        FLabelHeight = metrics.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(FHandle, dc);
}

void TNailsFrame::SetColor(COLORREF color)
{
    FColor = color;
    for (int i = 0; i < FCount; ++i)
        FNails[i]->FLookStale = true;
    InvalidateRect(FHandle, nullptr, TRUE);
}

void TNailsFrame::Realign()
{
    RECT area = FArea;
    if (!FAreaSet)
        GetClientRect(FParent, &area);
    AlignBottom(area);
}

RECT TNailsFrame::AlignBottom(const RECT& area)
{
    FArea = area;
    FAreaSet = true;
    RECT rest = area;
    if (!Visible())
        return rest;
    const int height = std::min<int>(FHeight, MaxStripHeight(area));
    rest.bottom = area.bottom - height;
    MoveWindow(FHandle, area.left, rest.bottom, area.right - area.left, height, TRUE);
    // The strip's repaint at its new size (its scroll bar above all) belongs
    // to the resize, not to the first placement of the relayout it starts.
    RedrawWindow(FHandle, nullptr, nullptr, RDW_UPDATENOW | RDW_NOCHILDREN);
    // The strip's own device context takes its new visible region here, not
    // in the first placement that draws through it.
    ReleaseDC(FHandle, GetDC(FHandle));
    if (FSplitter) {
        rest.bottom = std::max<int>(area.top, rest.bottom - kNailsSplitterHeight);
        MoveWindow(FSplitter, area.left, rest.bottom, area.right - area.left, kNailsSplitterHeight, TRUE);
    }
    return rest;
}

int TNailsFrame::MaxStripHeight(const RECT& area) const
{
    const int splitter = FSplitter ? kNailsSplitterHeight : 0;
    return std::max<int>(0, area.bottom - area.top - splitter - kPictureMinHeight);
}

void TNailsFrame::SetStripHeight(int height)
{
    FHeight = std::max(1, height);
    Realign();
    if (FOnLayout)
        FOnLayout();
}

void TNailsFrame::ShowStrip()
{
    if (FSplitter)
        DestroyWindow(FSplitter);
    FSplitter = CreateWindowExA(0, kNailsSplitterClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                                FParent, nullptr, ThisModule(), nullptr);
    if (FSplitter) {
        SetWindowLongPtrA(FSplitter, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrA(FSplitter, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TNailsFrame::SplitterProc));
    }
    ShowWindow(FHandle, SW_SHOWNA);
    Realign();
    if (FOnLayout)
        FOnLayout();
}

int TNailsFrame::ClientColumns() const
{
    RECT client{};
    GetClientRect(FHandle, &client);
    return std::max(1, static_cast<int>(client.right / (kNailSize + kNailGap)));
}

void TNailsFrame::ApplyLook(TNail* nail)
{
    InvalidateNail(nail);
}

RECT TNailsFrame::NailArea(const TNail* nail) const
{
    // The bold time label may reach past the frame's right edge by a little.
    return RECT{nail->Left() - 1, nail->Top() - FScroll - 1, nail->Right() + kNailGap, nail->Bottom() - FScroll + 1};
}

void TNailsFrame::InvalidateNail(const TNail* nail)
{
    const RECT r = NailArea(nail);
    InvalidateRect(FHandle, &r, FALSE);
}

void TNailsFrame::UpdateScroll(const TNail* changed, bool all)
{
    const int scroll = FScroll;
    // The extent of the grid the nails stand or are moving in: a resize that
    // changes the columns sets the bar once, in its own handler, and the
    // relayout pass that follows never touches it.
    int range = 0;
    if (FCount > 0 && FColumns > 0) {
        const TNail* first = FNails[0].get();
        const int rows = (FCount + FColumns - 1) / FColumns;
        range = first->Top() + (rows - 1) * (first->Height() + kNailGap) + first->Height();
    }
    RECT client{};
    GetClientRect(FHandle, &client);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = std::max(0, range - 1);
    info.nPage = static_cast<UINT>(std::max<LONG>(0, client.bottom));
    FScroll = std::clamp(FScroll, 0, std::max(0, range - static_cast<int>(client.bottom)));
    info.nPos = FScroll;
    // Setting the bar costs milliseconds with its redraw: only a change is
    // set, and only the bar (not the nails) is redrawn with the strip's
    // next paint. While further nails wait in the queue the last one sets it.
    FScrollPending = FAdding;
    if (!FAdding &&
        (info.nMax != FScrollShown.nMax || info.nPage != FScrollShown.nPage || info.nPos != FScrollShown.nPos)) {
        SetScrollInfo(FHandle, SB_VERT, &info, FALSE);
        FScrollShown = info;
        const RECT bar{client.right, 0, client.right + GetSystemMetrics(SM_CXVSCROLL), client.bottom};
        RedrawWindow(FHandle, &bar, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOERASE);
    }
    if (FScroll != scroll || (all && !changed))
        InvalidateRect(FHandle, nullptr, FALSE);
    else if (changed)
        InvalidateNail(changed);
}

void TNailsFrame::SetScroll(int position)
{
    const int old = FScroll;
    FScroll = position;
    UpdateScroll(nullptr, false);
    if (FScroll != old)
        InvalidateRect(FHandle, nullptr, FALSE);
}

bool TNailsFrame::AddNail(const std::string& fileName, int32_t seconds, HBITMAP picture)
{
    // The nail owns the picture from here on, and frees it if not added.
    auto nail = std::make_unique<TNail>(this);
    if (picture)
        nail->TakePicture(fileName, picture);
    if (!Visible())
        ShowStrip();
    // Showing a shown scroll bar again recalculates the frame every time.
    if (!(GetWindowLongPtrA(FHandle, GWL_STYLE) & WS_VSCROLL))
        ShowScrollBar(FHandle, SB_VERT, TRUE);
    if (FCount >= kMaxNails)
        return false;
    if (!picture) {
        try {
            nail->LoadPicture(fileName);
        } catch (const std::exception& e) {
            // One line per picture that cannot be shown; the nail is not made.
            Log().AddLine(std::string("TNailsFrame.AddNail -> ") + e.what());
            return false;
        }
    }
    nail->SetSeconds(seconds);
    FColumns = ClientColumns();
    if (FCount > 0)
        PlaceInGrid(nail.get(), FCount);
    nail->FIndex = FCount;
    nail->FLookStale = true;
    FNails[FCount] = std::move(nail);
    UpdateScroll(FNails[FCount++].get());
    return true;
}

void TNailsFrame::ClearNails()
{
    FSelected = nullptr;
    FPressed = nullptr;
    for (int i = FCount - 1; i >= 0; --i)
        FNails[i].reset();
    FCount = 0;
    FScroll = 0;
    if (FHandle)
        UpdateScroll();
}

void TNailsFrame::LoadFromFolder(const std::string& folder)
{
    FReader.reset();
    ++FGeneration;
    ClearNails();
    FReader = std::make_unique<TNailsCreator>(FNotify, folder, FGeneration);
}

void TNailsFrame::StartDownload(const std::string& directoryUrl, const std::string& folder)
{
    FDownload.reset();
    ++FGeneration;
    FDownloadFolder = folder;
    FDownload = std::make_unique<TDownload>(directoryUrl, folder, FNotify, WM_NAILS_LOAD_FOLDER, FGeneration);
}

void TNailsFrame::Reset()
{
    FReader.reset();
    FDownload.reset();
    ++FGeneration;
    ClearNails();
    DropQueuedNails(FNotify);
    const bool wasVisible = Visible();
    ShowWindow(FHandle, SW_HIDE);
    ShowScrollBar(FHandle, SB_VERT, FALSE);
    if (FSplitter) {
        DestroyWindow(FSplitter);
        FSplitter = nullptr;
    }
    if (wasVisible && FOnLayout)
        FOnLayout();
}

void TNailsFrame::NailClick(TNail* nail)
{
    if (!nail)
        return;
    if (FSelected)
        FSelected->SetSelected(false);
    FSelected = nail;
    nail->SetSelected(true);
    if (FOnSkip)
        FOnSkip(nail->Seconds());
}

void TNailsFrame::FollowPosition(int32_t seconds)
{
    TNail* found = nullptr;
    for (int i = FCount - 1; i >= 0; --i) {
        if (FNails[i]->Seconds() <= seconds) {
            found = FNails[i].get();
            break;
        }
    }
    if (!found || found == FSelected)
        return;
    if (FSelected)
        FSelected->SetSelected(false);
    FSelected = found;
    found->SetSelected(true);
    if (found->Top() - FScroll != kNailGap)
        SetScroll(found->Top() - kNailGap);
}

void TNailsFrame::PlaceInGrid(TNail* nail, int index)
{
    // Right of the nail before it, or the first of a new row under it, once
    // that one stands in the grid; counted from the first nail, so that a
    // nail added while a relayout pass still moves the others goes into the
    // new grid too (the pass only moves the nails there were when it began).
    const TNail* first = FNails[0].get();
    nail->FLeft = first->Left() + (index % FColumns) * (kNailSize + kNailGap);
    nail->FTop = first->Top() + (index / FColumns) * (first->Height() + kNailGap);
}

void TNailsFrame::PlaceNail(int index)
{
    if (index < 1 || index >= kMaxNails || index >= FCount || FColumns < 1)
        return;
    TNail* nail = FNails[index].get();
    const RECT from = NailArea(nail);
    PlaceInGrid(nail, index);
    const int scroll = FScroll;
    UpdateScroll(nullptr, false);
    const RECT to = NailArea(nail);
    if (FScroll != scroll || EqualRect(&from, &to))
        return;
    // The move is drawn at once, where the nail was and where it goes, from
    // the nails' looks; PaintArea draws nothing out of view.
    HDC dc = GetDC(FHandle);
    if (!dc) {
        InvalidateRect(FHandle, &from, FALSE);
        InvalidateRect(FHandle, &to, FALSE);
        return;
    }
    PaintArea(dc, from);
    PaintArea(dc, to);
    ReleaseDC(FHandle, dc);
}

void TNailsFrame::FrameResize()
{
    if (FCount == 0)
        return;
    const int columns = ClientColumns();
    if (columns == FColumns)
        return;
    FColumns = columns;
    if (!FLayout)
        FLayout = std::make_unique<TNailsLayout>(FNotify, FPlaced);
    FLayout->Relayout(FCount);
}

bool TNailsFrame::MoreNailsQueued() const
{
    MSG next;
    return PeekMessageA(&next, FNotify, WM_NAIL_ADD, WM_NAIL_ADD, PM_NOREMOVE | PM_NOYIELD) != FALSE;
}

void TNailsFrame::HandleNailAdd(WPARAM wParam, LPARAM lParam)
{
    std::unique_ptr<TNailPost> post(reinterpret_cast<TNailPost*>(wParam));
    // While further records wait, the scroll bar is left to the last one.
    FAdding = MoreNailsQueued();
    struct TEndAdding {
        TNailsFrame* Strip;
        ~TEndAdding()
        {
            Strip->FAdding = false;
            if (Strip->FScrollPending && !Strip->MoreNailsQueued())
                Strip->UpdateScroll(nullptr, false);
        }
    } endAdding{this};
    if (!post || lParam != FGeneration)
        return;
    const uint32_t length = std::min<uint32_t>(post->Record.Length, kNailPathChars);
    AddNail(std::string(post->Record.Path, length), post->Record.Seconds, std::exchange(post->Picture, nullptr));
}

void TNailsFrame::PlaceFromLayout(WPARAM wParam)
{
    // The layout thread waits for this event whatever the placement did.
    struct TSetOnExit {
        HANDLE Event;
        ~TSetOnExit() { SetEvent(Event); }
    } acknowledge{FPlaced};
    PlaceNail(static_cast<int>(wParam));
}

void TNailsFrame::HandleLoadFolder(LPARAM lParam)
{
    if (lParam == FGeneration && !FDownloadFolder.empty())
        LoadFromFolder(FDownloadFolder);
}

void TNailsFrame::DropQueuedNails(HWND window)
{
    if (!window)
        return;
    MSG msg;
    while (PeekMessageA(&msg, window, WM_NAIL_ADD, WM_NAIL_ADD, PM_REMOVE | PM_NOYIELD))
        delete reinterpret_cast<TNailPost*>(msg.wParam);
}

TNail* TNailsFrame::NailAt(int x, int y) const
{
    const POINT point{x, y};
    for (int i = 0; i < FCount; ++i) {
        const RECT r = FNails[i]->PictureRect();
        if (PtInRect(&r, point))
            return FNails[i].get();
    }
    return nullptr;
}

void TNailsFrame::PaintNail(HDC buffer, const TNail* nail)
{
    // Each nail's look (picture, frame and labels on the strip's colour) is
    // drawn once into its cell of the looks bitmap and copied from there
    // until it changes: moving a nail repaints it by one copy.
    const int width = kNailSize + kNailGap, height = nail->Height();
    const int cellLeft = (nail->Index() % kLookColumns) * width, cellTop = (nail->Index() / kLookColumns) * height;
    if (nail->FLookStale) {
        SetDCBrushColor(FSource, FColor);
        const RECT cell{cellLeft, cellTop, cellLeft + width, cellTop + height};
        FillRect(FSource, &cell, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        HRGN clip = CreateRectRgnIndirect(&cell);
        SelectClipRgn(FSource, clip);
        DeleteObject(clip);
        SetViewportOrgEx(FSource, cellLeft - nail->Left(), cellTop - nail->Top(), nullptr);
        nail->Paint(FSource, 0, FPictureSource);
        SetViewportOrgEx(FSource, 0, 0, nullptr);
        SelectClipRgn(FSource, nullptr);
        nail->FLookStale = false;
    }
    BitBlt(buffer, nail->Left(), nail->Top() - FScroll, width, height, FSource, cellLeft, cellTop, SRCCOPY);
}

void TNailsFrame::PaintArea(HDC dc, const RECT& area)
{
    RECT client{}, part{};
    GetClientRect(FHandle, &client);
    if (!IntersectRect(&part, &area, &client))
        return;
    const int width = part.right - part.left, height = part.bottom - part.top;
    if (!MakePaintObjects(dc, width, height))
        return;
    // Nails that reach out of the part are drawn whole into the buffer; only
    // the part is copied to the window.
    HDC buffer = FBuffer;
    SetViewportOrgEx(buffer, -part.left, -part.top, nullptr);
    SetDCBrushColor(buffer, FColor);
    FillRect(buffer, &part, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    for (int i = 0; i < FCount; ++i) {
        const TNail* nail = FNails[i].get();
        const int top = nail->Top() - FScroll;
        if (top < part.bottom && top + nail->Height() > part.top && nail->Left() < part.right &&
            nail->Right() + kNailGap > part.left)
            PaintNail(buffer, nail);
    }
    BitBlt(dc, part.left, part.top, width, height, buffer, part.left, part.top, SRCCOPY);
}

void TNailsFrame::Paint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(FHandle, &ps);
    PaintArea(dc, ps.rcPaint);
    EndPaint(FHandle, &ps);
}

LRESULT TNailsFrame::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NAIL_ADD:
        HandleNailAdd(wParam, lParam);
        return 0;
    case WM_NAIL_PLACE:
        PlaceFromLayout(wParam);
        return 0;
    case WM_NAILS_LOAD_FOLDER:
        HandleLoadFolder(lParam);
        return 0;
    case WM_SIZE:
        FrameResize();
        // What the new size uncovers is repainted by the system; the rest
        // stands as it was unless the scroll position has to move.
        UpdateScroll(nullptr, false);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_VSCROLL: {
        RECT client{};
        GetClientRect(FHandle, &client);
        int position = FScroll;
        switch (LOWORD(wParam)) {
        case SB_LINEUP: position -= kNailGap; break;
        case SB_LINEDOWN: position += kNailGap; break;
        case SB_PAGEUP: position -= client.bottom; break;
        case SB_PAGEDOWN: position += client.bottom; break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_TRACKPOS;
            GetScrollInfo(FHandle, SB_VERT, &info);
            position = info.nTrackPos;
            break;
        }
        default: break;
        }
        SetScroll(position);
        return 0;
    }
    case WM_LBUTTONDOWN:
        FPressed = NailAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
        return 0;
    case WM_LBUTTONUP: {
        TNail* nail = NailAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
        const bool click = nail && nail == FPressed;
        FPressed = nullptr;
        if (click)
            NailClick(nail);
        return 0;
    }
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT) {
            POINT point;
            GetCursorPos(&point);
            ScreenToClient(FHandle, &point);
            if (NailAt(point.x, point.y)) {
                SetCursor(LoadCursor(nullptr, IDC_HAND));
                return TRUE;
            }
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(FHandle, msg, wParam, lParam);
}

LRESULT CALLBACK TNailsFrame::WndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TNailsFrame*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    try {
        if (self)
            return self->Dispatch(msg, wParam, lParam);
        if (msg == WM_NAIL_ADD) {
            delete reinterpret_cast<TNailPost*>(wParam);
            return 0;
        }
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TNailsFrame.WndProc -> ") + e.what());
        return 0;
    } catch (...) {
        Log().AddLine("TNailsFrame.WndProc -> Unknown exception");
        return 0;
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

LRESULT CALLBACK TNailsFrame::SplitterProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TNailsFrame*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    try {
        if (self) {
            switch (msg) {
            case WM_LBUTTONDOWN:
                SetCapture(window);
                self->FDragging = true;
                return 0;
            case WM_MOUSEMOVE:
                if (self->FDragging) {
                    POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
                    MapWindowPoints(window, self->FParent, &point, 1);
                    const RECT area = self->FArea;
                    const int height = area.bottom - point.y - kNailsSplitterHeight / 2;
                    self->SetStripHeight(std::clamp<int>(height, 1, std::max<int>(1, self->MaxStripHeight(area))));
                }
                return 0;
            case WM_LBUTTONUP:
            case WM_CAPTURECHANGED:
                if (self->FDragging) {
                    self->FDragging = false;
                    if (msg == WM_LBUTTONUP)
                        ReleaseCapture();
                }
                return 0;
            default:
                break;
            }
        }
    } catch (...) {
        Log().AddLine("TNailsFrame.SplitterProc -> Unknown exception");
        return 0;
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

} // namespace qov
