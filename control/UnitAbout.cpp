#include "UnitAbout.h"

#include <stdexcept>
#include <string>

#include "UnitWindows.h"
#include "VersInfo.h"

namespace qov {

const char* const kAboutWindowClass = "TfrmAbout";

namespace {

constexpr int kClientWidth = 323;
constexpr int kClientHeight = 126;
constexpr DWORD kBoxStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME | WS_CLIPCHILDREN;
constexpr DWORD kBoxExStyle = WS_EX_DLGMODALFRAME;

HFONT MakeFont(const char* face, int height, bool bold, BYTE charset)
{
    LOGFONTA lf{};
    lf.lfHeight = height;
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = charset;
    lstrcpynA(lf.lfFaceName, face, LF_FACESIZE);
    return CreateScreenFont(lf);
}

} // namespace

TfrmAbout::TfrmAbout(HWND owner) : FOwner(owner)
{
    RegisterPlainClass(kAboutWindowClass, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
    const bool chinese = GetSystemDefaultLangID() == 2052;
    RECT r{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&r, kBoxStyle, FALSE, kBoxExStyle);
    FWindow = CreateTextWindow(kBoxExStyle, kAboutWindowClass, chinese ? "关于" : "About", kBoxStyle, 0, 0,
                               r.right - r.left, r.bottom - r.top, owner, nullptr, CodeModule());
    if (!FWindow)
        throw std::runtime_error("Cannot create the about box");
    SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
    FFont = MakeFont("MS Sans Serif", -11, false, DEFAULT_CHARSET);
    FTitleFont = MakeFont("MS Sans Serif", -13, true, DEFAULT_CHARSET);
    FVersionFont = MakeFont("宋体", -12, true, GB2312_CHARSET);
    AddChildControl(FWindow, "STATIC", "Corvane QovPlayer ", SS_LEFT | SS_NOPREFIX, 72, 24, 200, 16, -1,
                    FTitleFont);
    AddChildControl(FWindow, "STATIC", "3.0.0", SS_LEFT | SS_NOPREFIX, 141, 52, 60, 14, idLabVersion,
                    FVersionFont);
    AddChildControl(FWindow, "BUTTON", chinese ? "确定" : "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 123, 93, 75, 20,
                    idBtnOK, FFont);
}

TfrmAbout::~TfrmAbout()
{
    if (FWindow && IsWindow(FWindow)) {
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
    }
    for (HFONT font : {FFont, FTitleFont, FVersionFont})
        if (font)
            DeleteObject(font);
}

void TfrmAbout::FormShow()
{
    TVersionInfoResource vi;
    const std::string version = vi.FileVersion().Text();
    HWND label = GetDlgItem(FWindow, idLabVersion);
    SetScreenText(label, version);
    // The label takes the size of its text and stands centred in the box.
    SIZE size{};
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, FVersionFont);
    size = ScreenTextExtent(dc, version);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    RECT box{};
    GetWindowRect(FWindow, &box);
    RECT place{};
    GetWindowRect(label, &place);
    MapWindowPoints(nullptr, FWindow, reinterpret_cast<POINT*>(&place), 2);
    SetWindowPos(label, nullptr, (box.right - box.left - size.cx) / 2, place.top, size.cx, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmAbout::ShowModal(const std::function<bool()>& keepGoing)
{
    FormShow();
    // Centred over the owner, or on the screen without one.
    RECT owner{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (FOwner)
        GetWindowRect(FOwner, &owner);
    RECT box{};
    GetWindowRect(FWindow, &box);
    const int w = box.right - box.left, h = box.bottom - box.top;
    SetWindowPos(FWindow, HWND_TOP, owner.left + (owner.right - owner.left - w) / 2,
                 owner.top + (owner.bottom - owner.top - h) / 2, 0, 0, SWP_NOSIZE);
    const bool ownerWasEnabled = FOwner && IsWindowEnabled(FOwner);
    if (ownerWasEnabled)
        EnableWindow(FOwner, FALSE);
    ShowWindow(FWindow, SW_SHOW);
    SetForegroundWindow(FWindow);
    SetFocus(GetDlgItem(FWindow, idBtnOK));
    MSG msg;
    while (!FClosed && IsWindow(FWindow) && keepGoing()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // the caller's loop ends too
            break;
        }
        if (!IsDialogMessageW(FWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // The owner is enabled before the box hides, so the activation returns
    // to it and not to another program.
    if (ownerWasEnabled && IsWindow(FOwner))
        EnableWindow(FOwner, TRUE);
    if (IsWindow(FWindow))
        ShowWindow(FWindow, SW_HIDE);
}

LRESULT CALLBACK TfrmAbout::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    auto* self = reinterpret_cast<TfrmAbout*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(window, msg, wp, lp);
    try {
        return self->Message(msg, wp, lp);
    } catch (...) {
        return 0;
    }
}

LRESULT TfrmAbout::Message(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wp) == idBtnOK || LOWORD(wp) == IDCANCEL)
            FClosed = true;
        return 0;
    case WM_CLOSE:
        FClosed = true;
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_MENU));
    }
    case WM_DESTROY:
        FClosed = true;
        break;
    default:
        break;
    }
    return DefWindowProcW(FWindow, msg, wp, lp);
}

} // namespace qov
