#include "UnitStatus.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "FrameStore.h"
#include "LocatorHelpers.h"
#include "PlayThread.h"
#include "StatusTexts.h"
#include "SysUtils.h"
#include "UnitQovCore.h"
#include "UnitWindows.h"

namespace qov {

const char* const kStatusWindowClass = "TfrmStatus";

namespace {

constexpr UINT_PTR kRefreshTimer = 1;  // timRefresh
constexpr UINT kRefreshMs = 1000;
constexpr int kClientWidth = 381;
constexpr int kClientHeight = 312;
constexpr int kLabelWidth = 250;
constexpr int kLabelHeight = 14;
constexpr int kCaptionGap = 2;  // at least between a caption and its value

} // namespace

TfrmStatus::TfrmStatus(HWND parent)
{
    RegisterPlainClass(kStatusWindowClass, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    const bool chinese = GetSystemDefaultLangID() == 2052;
    const DWORD style = WS_CHILD | WS_CAPTION | WS_SYSMENU | WS_BORDER | WS_CLIPSIBLINGS;
    RECT r{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    FWindow = CreateTextWindow(0, kStatusWindowClass, chinese ? "统计信息" : "Statistic", style, 0, 0,
                               r.right - r.left, r.bottom - r.top, parent, nullptr, CodeModule());
    if (!FWindow)
        throw std::runtime_error("Cannot create the statistics window");
    SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
    LOGFONTA lf{};
    lf.lfHeight = -12;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(lf.lfFaceName, "Arial", LF_FACESIZE);
    FFont = CreateFontIndirectA(&lf);

    // Each caption is as wide as its text. Where a caption in the Chinese
    // texts (or in a font wider than the form's) needs more room than the
    // form leaves before its value, the values of that box move right
    // together, so that no caption covers its value.
    struct TRow {
        int CaptionX, ValueX, Y;
        const char* Chinese;
        const char* English;  // nullptr: the same in every language
        const char* Value;
        int Id;
    };
    const auto box = [&](int gx, int gy, int width, int height, const char* caption,
                         std::initializer_list<TRow> rows) {
        AddChildControl(FWindow, "BUTTON", caption, BS_GROUPBOX, gx, gy, width, height, -1, FFont);
        HDC dc = GetDC(FWindow);
        HGDIOBJ old = SelectObject(dc, FFont);
        std::vector<SIZE> sizes;
        int shift = 0;
        for (const TRow& row : rows) {
            sizes.push_back(ScreenTextExtent(dc, chinese || !row.English ? row.Chinese : row.English));
            shift = std::max<int>(shift, row.CaptionX + sizes.back().cx + kCaptionGap - row.ValueX);
        }
        SelectObject(dc, old);
        ReleaseDC(FWindow, dc);
        const SIZE* size = sizes.data();
        for (const TRow& row : rows) {
            const int rowHeight = std::max<int>(kLabelHeight, size->cy);
            AddChildControl(FWindow, "STATIC", chinese || !row.English ? row.Chinese : row.English,
                            SS_LEFT | SS_NOPREFIX, gx + row.CaptionX, gy + row.Y, size->cx, rowHeight, -1, FFont);
            AddChildControl(FWindow, "STATIC", row.Value, SS_LEFT | SS_NOPREFIX, gx + row.ValueX + shift,
                            gy + row.Y, kLabelWidth - shift, rowHeight, row.Id, FFont);
            ++size;
        }
    };
    box(16, 12, 345, 165, chinese ? "缓冲状态" : "Buffer status",
        {{21, 85, 22, "开始时间：", "Start:", "00:00:00", idLabFrom},
         {20, 84, 46, "当前时间：", nullptr, "00:00:00", idLabCurrentPosition},
         {21, 85, 69, "结束时间：", "Stop:", "00:00:00", idLabTo},
         {21, 85, 92, "帧        数：", "Frames:", "0", idLabFrames},
         {21, 85, 115, "字        节：", "Bytes:", "0K", idLabBytes},
         {21, 85, 136, "当前速度：", "Speed:", "0 kbps", idLabBPS}});
    // Media information (the box's caption is the same in every language).
    box(16, 183, 345, 80, "媒体信息",
        {{21, 84, 22, "长        度：", "Length:", "00:00:00", idLabDuration},
         {21, 84, 45, "屏幕大小：", "Size:", "0 x 0", idLabSize}});
    AddChildControl(FWindow, "BUTTON", chinese ? "关闭" : "Close", BS_DEFPUSHBUTTON | WS_TABSTOP, 156, 278, 75, 20,
                    idBtnClose, FFont);
}

TfrmStatus::~TfrmStatus()
{
    if (FWindow) {
        KillTimer(FWindow, kRefreshTimer);
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
    }
    if (FFont)
        DeleteObject(FFont);
}

void TfrmStatus::SetText(int id, const std::string& text)
{
    SetScreenText(GetDlgItem(FWindow, id), text);
}

void TfrmStatus::ShowCentred()
{
    HWND parent = GetParent(FWindow);
    RECT pc{}, wr{};
    GetClientRect(parent, &pc);
    GetWindowRect(FWindow, &wr);
    const int w = wr.right - wr.left, h = wr.bottom - wr.top;
    SetWindowPos(FWindow, HWND_TOP, (pc.right - w) / 2, (pc.bottom - h) / 2, 0, 0, SWP_NOSIZE);
    if (!IsWindowVisible(FWindow)) {
        ShowWindow(FWindow, SW_SHOW);
        FormShow();
    }
}

void TfrmStatus::FormShow()
{
    // The rate meter restarts here, so the first figure covers one interval
    // and not everything since the meter was last read.
    if (FContext && FContext->Reader)
        FContext->Reader->GetBitRate();
    SetTimer(FWindow, kRefreshTimer, kRefreshMs, nullptr);
}

void TfrmStatus::FormClose()
{
    KillTimer(FWindow, kRefreshTimer);
    ShowWindow(FWindow, SW_HIDE);
}

void TfrmStatus::Refresh()
{
    if (!FContext)
        return;
    auto* player = static_cast<TPlayThread*>(FContext->Player);
    if (FContext->Frames && FContext->Reader && player) {
        TFramesBuffer& frames = *FContext->Frames;
        SetText(idLabFrom, FormatMilliseconds(static_cast<uint32_t>(frames.MinTimeStamp())));
        SetText(idLabTo, FormatMilliseconds(static_cast<uint32_t>(frames.MaxTimeStamp())));
        SetText(idLabCurrentPosition, FormatMilliseconds(player->CurrentTime()));
        SetText(idLabFrames, std::to_string(frames.Count()));
        SetText(idLabBytes, BufferedBytesText(static_cast<uint32_t>(frames.Bytes()), FContext->Reader->Waiting()));
        SetText(idLabBPS, BitRateText(FContext->Reader->GetBitRate()));
    }
    const RecordingHeader& header = FContext->Header;
    SetText(idLabDuration, SecondsToTimeText(static_cast<int32_t>(header.Duration / 1000)));
    SetText(idLabSize, Format("%d x %d", header.Width, header.Height));
}

LRESULT CALLBACK TfrmStatus::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    auto* self = reinterpret_cast<TfrmStatus*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(window, msg, wp, lp);
    try {
        return self->Message(msg, wp, lp);
    } catch (...) {
        return 0;  // a failing refresh costs that one tick
    }
}

LRESULT TfrmStatus::Message(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_TIMER:
        if (wp == kRefreshTimer)
            Refresh();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == idBtnClose && HIWORD(wp) == BN_CLICKED)
            FormClose();
        return 0;
    case WM_CLOSE:
        FormClose();
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    default:
        break;
    }
    return DefWindowProcW(FWindow, msg, wp, lp);
}

} // namespace qov
