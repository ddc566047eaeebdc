#include "UnitFull.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "RemoteInput.h"
#include "UnitQovCore.h"
#include "UnitWindows.h"

namespace qov {

const char* const kFullScreenWindowClass = "TfrmFullScreen";

namespace {

constexpr UINT_PTR kFrontTimer = 1;
constexpr UINT kFrontTimerMs = 100;
constexpr WPARAM kKeyEscape = 27;
constexpr WPARAM kKeyF7 = 118;

LPARAM NextWindowId()
{
    static std::atomic<LONG> last{0};
    LONG id = ++last;
    if (id <= 0) {  // after 2^31 windows: never 0, never negative
        last = 1;
        id = 1;
    }
    return id;
}

} // namespace

TfrmFullScreen::TfrmFullScreen()
{
    RegisterPlainClass(kFullScreenWindowClass, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)), CS_DBLCLKS);
    FWindow = CreateTextWindow(0, kFullScreenWindowClass, "全屏幕", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 0, 0, nullptr,
                               nullptr, CodeModule());
    if (!FWindow)
        throw std::runtime_error("Cannot create the full-screen window");
    FId = NextWindowId();
    SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
    SetTimer(FWindow, kFrontTimer, kFrontTimerMs, nullptr);
}

TfrmFullScreen::~TfrmFullScreen()
{
    if (FWindow) {
        KillTimer(FWindow, kFrontTimer);
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
    }
}

void TfrmFullScreen::SetFullScreenSource(const PlaybackContext& context, HWND control)
{
    SetPictureSize(context.Header.Width, context.Header.Height, control);
}

void TfrmFullScreen::SetPictureSize(int32_t width, int32_t height, HWND control)
{
    FControl = control;
    FPictureWidth = width;
    FPictureHeight = height;
    FitFullScreen();
}

void TfrmFullScreen::FitFullScreen()
{
    if (FPictureWidth <= 0 || FPictureHeight <= 0)
        return;
    TPixelRect bounds{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (HMONITOR monitor = MonitorFromWindow(FControl, MONITOR_DEFAULTTONEAREST)) {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        if (GetMonitorInfoA(monitor, &info))
            bounds = {info.rcMonitor.left, info.rcMonitor.top, info.rcMonitor.right, info.rcMonitor.bottom};
    }
    TFullScreenLayout layout;
    if (!qov::FitFullScreen(bounds, FPictureWidth, FPictureHeight, layout))
        return;
    SetWindowPos(FWindow, nullptr, layout.Window.Left, layout.Window.Top, layout.Window.Width(),
                 layout.Window.Height(), SWP_NOZORDER | SWP_NOACTIVATE);
    FZoom = layout.Image.Zoom;
    imgPic.Left = layout.Image.Left;
    imgPic.Top = layout.Image.Top;
    imgPic.Make(layout.Image.Width, layout.Image.Height);
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TfrmFullScreen::Show()
{
    ShowWindow(FWindow, SW_SHOW);
    SetForegroundWindow(FWindow);
    SetFocus(FWindow);
}

void TfrmFullScreen::LeaveFullScreen()
{
    if (FControl)
        PostMessageA(FControl, WM_FULLSCREEN_EXIT, 0, FId);
}

void TfrmFullScreen::FrontTimerTimer()
{
    // The rule counts from the first time the window had the focus, so a
    // window that is still being shown does not leave at once.
    if (GetFocus() == FWindow)
        FHadFocus = true;
    else if (FHadFocus)
        LeaveFullScreen();
}

void TfrmFullScreen::SendRequest(const std::string& text)
{
    if (FReader)
        FReader->SendText(text);
}

void TfrmFullScreen::KeyEvent(WPARAM key, bool up)
{
    SendRequest(KeyRequestText(static_cast<int32_t>(key), up));
    if (up && (key == kKeyEscape || key == kKeyF7))
        LeaveFullScreen();
}

void TfrmFullScreen::MouseEvent(UINT msg, LPARAM lp)
{
    const int x = static_cast<short>(LOWORD(lp)) - imgPic.Left;
    const int y = static_cast<short>(HIWORD(lp)) - imgPic.Top;
    const bool onImage = x >= 0 && y >= 0 && x < imgPic.Width() && y < imgPic.Height();
    int32_t flags = 0;
    switch (msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: flags = MouseButtonFlags(TMouseButton::Left, false); break;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK: flags = MouseButtonFlags(TMouseButton::Right, false); break;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK: flags = MouseButtonFlags(TMouseButton::Middle, false); break;
    case WM_LBUTTONUP: flags = MouseButtonFlags(TMouseButton::Left, true); break;
    case WM_RBUTTONUP: flags = MouseButtonFlags(TMouseButton::Right, true); break;
    case WM_MBUTTONUP: flags = MouseButtonFlags(TMouseButton::Middle, true); break;
    default: flags = remote::kMouseMoveAbsolute; break;
    }
    const bool down = flags == 2 || flags == 8 || flags == 0x20;
    const bool up = flags == 4 || flags == 0x10 || flags == 0x40;
    // Like any control, the image keeps the mouse from a press on it until
    // the last button is released.
    if (!onImage && FButtonsDown == 0)
        return;
    if (down) {
        if (FButtonsDown++ == 0)
            SetCapture(FWindow);
    } else if (up && FButtonsDown > 0 && --FButtonsDown == 0) {
        ReleaseCapture();
    }
    // Positions in recording pixels: the image may be shown scaled down.
    SendRequest(MouseRequestText(flags, ImageToRecording(x, FZoom), ImageToRecording(y, FZoom)));
    if (msg == WM_LBUTTONDBLCLK && onImage)
        LeaveFullScreen();
}

LRESULT CALLBACK TfrmFullScreen::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    auto* self = reinterpret_cast<TfrmFullScreen*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(window, msg, wp, lp);
    try {
        return self->Message(msg, wp, lp);
    } catch (...) {
        return 0;  // a failing request or paint costs that one message only
    }
}

LRESULT TfrmFullScreen::Message(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_CLOSE:
        return 0;  // the window goes only when the control frees it
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(FWindow, &ps);
        imgPic.Draw(dc);
        EndPaint(FWindow, &ps);
        return 0;
    }
    case WM_TIMER:
        if (wp == kFrontTimer)
            FrontTimerTimer();
        return 0;
    case WM_SETFOCUS:
        FHadFocus = true;
        break;
    case WM_KEYDOWN:
    case WM_KEYUP:
        KeyEvent(wp, msg == WM_KEYUP);
        return 0;
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        KeyEvent(wp, msg == WM_SYSKEYUP);
        break;  // Alt+F4 still becomes a close, which is refused
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MBUTTONDBLCLK:
    case WM_MOUSEMOVE:
        MouseEvent(msg, lp);
        return 0;
    case WM_CAPTURECHANGED:
        FButtonsDown = 0;
        break;
    default:
        break;
    }
    return DefWindowProcW(FWindow, msg, wp, lp);
}

} // namespace qov
