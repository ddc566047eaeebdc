#include "UnitStatus.h"

#include <stdexcept>

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

} // namespace

TfrmStatus::TfrmStatus(HWND parent)
{
    RegisterPlainClass(kStatusWindowClass, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    const bool chinese = GetSystemDefaultLangID() == 2052;
    const DWORD style = WS_CHILD | WS_CAPTION | WS_SYSMENU | WS_BORDER | WS_CLIPSIBLINGS;
    RECT r{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    FWindow = CreateWindowExA(0, kStatusWindowClass, chinese ? "统计信息" : "Statistic", style, 0, 0,
                              r.right - r.left, r.bottom - r.top, parent, nullptr, CodeModule(), nullptr);
    if (!FWindow)
        throw std::runtime_error("Cannot create the statistics window");
    SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
    LOGFONTA lf{};
    lf.lfHeight = -12;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(lf.lfFaceName, "Arial", LF_FACESIZE);
    FFont = CreateFontIndirectA(&lf);

    const auto label = [&](int gx, int gy, int x, int y, const char* zh, const char* en, int id = -1) {
        AddChildControl(FWindow, "STATIC", chinese || !en ? zh : en, SS_LEFT | SS_NOPREFIX, gx + x, gy + y,
                        kLabelWidth, kLabelHeight, id, FFont);
    };
    // Buffer status.
    AddChildControl(FWindow, "BUTTON", chinese ? "缓冲状态" : "Buffer status", BS_GROUPBOX, 16, 12, 345, 165, -1,
                    FFont);
    label(16, 12, 21, 22, "开始时间：", "Start:");
    label(16, 12, 85, 22, "00:00:00", nullptr, idLabFrom);
    label(16, 12, 20, 46, "当前时间：", nullptr);  // the same in every language
    label(16, 12, 84, 46, "00:00:00", nullptr, idLabCurrentPosition);
    label(16, 12, 21, 69, "结束时间：", "Stop:");
    label(16, 12, 85, 69, "00:00:00", nullptr, idLabTo);
    label(16, 12, 21, 92, "帧        数：", "Frames:");
    label(16, 12, 85, 92, "0", nullptr, idLabFrames);
    label(16, 12, 21, 115, "字        节：", "Bytes:");
    label(16, 12, 85, 115, "0K", nullptr, idLabBytes);
    label(16, 12, 21, 136, "当前速度：", "Speed:");
    label(16, 12, 85, 136, "0 kbps", nullptr, idLabBPS);
    // Media information (the box's caption is the same in every language).
    AddChildControl(FWindow, "BUTTON", "媒体信息", BS_GROUPBOX, 16, 183, 345, 80, -1, FFont);
    label(16, 183, 21, 22, "长        度：", "Length:");
    label(16, 183, 84, 22, "00:00:00", nullptr, idLabDuration);
    label(16, 183, 21, 45, "屏幕大小：", "Size:");
    label(16, 183, 84, 45, "0 x 0", nullptr, idLabSize);
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
    SetDlgItemTextA(FWindow, id, text.c_str());
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
        return DefWindowProcA(window, msg, wp, lp);
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
    return DefWindowProcA(FWindow, msg, wp, lp);
}

} // namespace qov
