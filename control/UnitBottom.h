// The thumbnail strip: a band at the bottom of the control with up to 120
// small pictures of moments in the recording, each with its time, laid out
// in a grid. The nails are elements the strip paints itself; the strip is a
// child window of the control (class "QovNailsFrame"), with a 2-pixel
// splitter above it once it shows.
//
// Messages of the strip (WM_NAIL_ADD, WM_NAIL_PLACE, WM_NAILS_LOAD_FOLDER)
// go to its notify window: the strip itself unless SetNotifyWindow names
// another window of the same thread, whose procedure then hands them to
// HandleNailAdd, PlaceFromLayout and HandleLoadFolder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "NailsList.h"
#include "UnitDownload.h"
#include "UnitLayout.h"
#include "UnitNails.h"

namespace qov {

constexpr UINT WM_NAILS_LOAD_FOLDER = kWmNailsLoadFolder;
extern const char kNailsFrameClass[];     // "QovNailsFrame"
extern const char kNailsSplitterClass[];  // "QovNailsSplitter"

constexpr int kNailSize = 64;         // frame shape
constexpr int kNailGap = 10;
constexpr int kNailsFrameHeight = 63;
constexpr int kLookColumns = 12;  // cells per row of the strip's bitmap of nail looks
constexpr int kNailsSplitterHeight = 2;
// The picture area above the strip keeps at least this height: the strip
// (dragged or not) takes no more than the rest of the control.
constexpr int kPictureMinHeight = 30;
constexpr COLORREF kNailLime = RGB(0, 255, 0);
constexpr COLORREF kNailYellow = RGB(255, 255, 0);

class TNailsFrame;

// One thumbnail. Positions are those of its frame shape in the strip's
// content (scroll position 0); the picture stands 2 pixels inside it, the
// time label right under it.
class TNail {
public:
    explicit TNail(TNailsFrame* strip);
    ~TNail();
    TNail(const TNail&) = delete;
    TNail& operator=(const TNail&) = delete;

    void SetSelected(bool selected);
    // Loads a .bmp, .dib, .jpg or .jpeg file through the engine's still
    // picture decoding, stretched to 60 x 60. Raises when it cannot.
    void LoadPicture(const std::string& fileName);
    // Takes a picture LoadNailPicture made from fileName.
    void TakePicture(const std::string& fileName, HBITMAP picture);
    void SetSeconds(int32_t seconds);
    void SetLeft(int left);
    void SetTop(int top);

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return kNailSize; }
    int Height() const;
    int Right() const { return Left() + Width(); }
    int Bottom() const { return Top() + Height(); }
    int Index() const { return FIndex; }
    bool Selected() const { return FSelected; }
    int32_t Seconds() const { return FSeconds; }
    const std::string& FileName() const { return FFileName; }
    const std::string& TimeText() const { return FTimeText; }
    // The picture's rectangle in the strip's client (scrolled) coordinates.
    RECT PictureRect() const;

private:
    friend class TNailsFrame;
    // Draws the nail into dc; source is a memory DC to select its picture into.
    void Paint(HDC dc, int scroll, HDC source) const;

    TNailsFrame* FStrip;
    int FIndex = 0;
    bool FSelected = false;
    std::string FFileName;
    int32_t FSeconds = 0;
    std::string FTimeText = "00:00:00";
    HBITMAP FPicture = nullptr;
    mutable bool FLookStale = true;  // its look is to be drawn again before it is copied
    int FLeft = 10;
    int FTop = 10;
};

class TNailsFrame {
public:
    using TSkipHandler = std::function<void(int32_t seconds)>;
    using TLayoutHandler = std::function<void()>;

    // Creates the strip, hidden, as a child of parent (the control).
    explicit TNailsFrame(HWND parent);
    // Frees the list reader, the downloader, the nails, the layout thread,
    // then the windows and every record still queued for them.
    ~TNailsFrame();
    TNailsFrame(const TNailsFrame&) = delete;
    TNailsFrame& operator=(const TNailsFrame&) = delete;

    HWND Handle() const { return FHandle; }
    HWND Parent() const { return FParent; }
    HWND SplitterHandle() const { return FSplitter; }
    void SetNotifyWindow(HWND window) { FNotify = window ? window : FHandle; }
    // OnSkip(seconds) of the host's event sink.
    void SetOnSkip(TSkipHandler handler) { FOnSkip = std::move(handler); }
    // Called when the strip shows, hides or its height changes by the
    // splitter: the control lays itself out again (AlignBottom).
    void SetOnLayoutChanged(TLayoutHandler handler) { FOnLayout = std::move(handler); }
    void SetColor(COLORREF color);
    COLORREF Color() const { return FColor; }

    // Places the strip at the bottom of area (and the splitter right above
    // it) when it is visible; returns what is left of area for the picture.
    // The strip gives way so that the picture keeps kPictureMinHeight where
    // area has room for it; its own height comes back in a larger area.
    RECT AlignBottom(const RECT& area);
    int StripHeight() const { return FHeight; }
    void SetStripHeight(int height);
    // The strip's own visibility, whatever its parents' (a control on a page
    // in a background tab is hidden with its parents).
    bool Visible() const
    {
        return FHandle && (GetWindowLongPtrA(FHandle, GWL_STYLE) & WS_VISIBLE) != 0;
    }

    // (Re)fills the strip from folder (ending in a backslash) + "nails.xml".
    void LoadFromFolder(const std::string& folder);
    // Downloads a network recording's list and pictures into folder, then
    // loads the strip from it.
    void StartDownload(const std::string& directoryUrl, const std::string& folder);
    // Another recording or none: stops the reader and the downloader, frees
    // the nails, hides the strip and drops every record still on its way.
    void Reset();

    // Appends a nail; false when it is not added (120 nails already, or its
    // picture cannot be loaded: one daily-log line, no nail). A picture
    // already loaded from fileName (LoadNailPicture) is taken, and freed when
    // the nail is not added; without one the file is loaded here.
    bool AddNail(const std::string& fileName, int32_t seconds, HBITMAP picture = nullptr);
    void ClearNails();
    void NailClick(TNail* nail);
    void FollowPosition(int32_t seconds);
    void PlaceNail(int index);
    void FrameResize();

    // The handlers of the strip's messages.
    void HandleNailAdd(WPARAM wParam, LPARAM lParam);
    void PlaceFromLayout(WPARAM wParam);
    void HandleLoadFolder(LPARAM lParam);
    // Frees the posts of WM_NAIL_ADD messages still queued for window
    // (a window of the calling thread).
    static void DropQueuedNails(HWND window);
    bool MoreNailsQueued() const;

    int Count() const { return FCount; }
    TNail* Nail(int index) const { return index >= 0 && index < FCount ? FNails[index].get() : nullptr; }
    TNail* SelectedNail() const { return FSelected; }
    int Columns() const { return FColumns; }
    int ScrollPos() const { return FScroll; }
    int LabelHeight() const { return FLabelHeight; }
    LPARAM Generation() const { return FGeneration; }
    HANDLE PlacedEvent() const { return FPlaced; }
    TNailsCreator* Reader() const { return FReader.get(); }
    TDownload* Downloader() const { return FDownload.get(); }

private:
    friend class TNail;
    static LRESULT CALLBACK WndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SplitterProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    void Paint();
    // Draws area (client coordinates) through the back buffer.
    void PaintArea(HDC dc, const RECT& area);
    // The back buffer (at least width x height), the pictures' source DC and
    // the selection pen; false when one cannot be made.
    bool MakePaintObjects(HDC dc, int width, int height);
    void FreePaintObjects();
    // Copies nail's look into buffer, drawing it first when it has changed.
    void PaintNail(HDC buffer, const TNail* nail);
    void ShowStrip();
    void Realign();
    // The most the strip may take of area: its height less the splitter's
    // and the picture area's least.
    int MaxStripHeight(const RECT& area) const;
    // Sets the scroll bar for the nails' extent. Repaints the whole strip
    // when the scroll position moves; otherwise only the nail changed
    // (InvalidateNail), or, with no nail given, the whole strip when all.
    void UpdateScroll(const TNail* changed = nullptr, bool all = true);
    // Repaints where nail stands (its frame, picture and labels).
    void InvalidateNail(const TNail* nail);
    // Where nail stands in client coordinates, labels included.
    RECT NailArea(const TNail* nail) const;
    void SetScroll(int position);
    int ClientColumns() const;
    TNail* NailAt(int x, int y) const;
    // Puts nail (to be or being at index >= 1) into the grid of FColumns.
    void PlaceInGrid(TNail* nail, int index);
    void ApplyLook(TNail* nail);
    void ReadFonts();

    HWND FParent;
    HWND FHandle = nullptr;
    HWND FSplitter = nullptr;
    HWND FNotify = nullptr;
    HANDLE FPlaced = nullptr;  // one unnamed event per strip
    std::unique_ptr<TNail> FNails[kMaxNails];
    int FCount = 0;
    TNail* FSelected = nullptr;
    TNail* FPressed = nullptr;
    int FColumns = 0;
    int FScroll = 0;
    SCROLLINFO FScrollShown{};  // what the bar was last given
    bool FAdding = false;        // a nail is added while further ones wait
    bool FScrollPending = false;  // the bar is still to be set for the nails added
    int FHeight = kNailsFrameHeight;
    RECT FArea{};
    bool FAreaSet = false;
    bool FDragging = false;
    COLORREF FColor = RGB(0, 0, 0);
    HFONT FFont = nullptr;      // inherited, not owned
    HFONT FBoldFont = nullptr;  // owned
    HDC FBuffer = nullptr;      // back buffer of the paints
    HGDIOBJ FBufferOld = nullptr;
    HBITMAP FBufferBitmap = nullptr;
    SIZE FBufferSize{};
    HBITMAP FLooks = nullptr;      // every nail as painted, in cells of (width + gap) x height
    HDC FSource = nullptr;         // with FLooks selected
    HGDIOBJ FSourceOld = nullptr;
    HDC FPictureSource = nullptr;  // and each picture to be drawn into its look
    HPEN FLimePen = nullptr;
    int FLabelHeight = 13;
    LPARAM FGeneration = 1;
    std::string FDownloadFolder;
    std::unique_ptr<TNailsCreator> FReader;
    std::unique_ptr<TDownload> FDownload;
    std::unique_ptr<TNailsLayout> FLayout;
    TSkipHandler FOnSkip;
    TLayoutHandler FOnLayout;
};

} // namespace qov
