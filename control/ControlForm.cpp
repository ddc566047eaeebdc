// The form of TQovPlayerCtrl: its window with the picture frame (frmDetail)
// and the thumbnail frame (frmNails), the timers, the popup menu pmQov and
// the form's events. Every window procedure and timer handler catches what
// it raises into HandlerFailure.
#include <windows.h>
#include <windowsx.h>

#include <mutex>

#include "ComSupport.h"
#include "QovPlayerCtrl.h"
#include "QovStream.h"
#include "ScreenText.h"

namespace qov {

const char* const kFormWindowClass = "TQovPlayerCtrl";
const char* const kDetailWindowClass = "TDetailFrame";

namespace {

constexpr UINT_PTR kTimerActiveNails = 1;  // timActiveNails, 1000 ms, enabled
constexpr UINT_PTR kTimerAutoConnect = kAutoConnectTimerId;  // timerAutoConnect, 3000 ms, started by the play logic

void RegisterWindowClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.hInstance = ModuleInstance();
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = kFormWindowClass;
        RegisterClassExA(&wc);
        wc.lpszClassName = kDetailWindowClass;
        RegisterClassExA(&wc);
    });
}

HCURSOR CursorOf(int16_t number)
{
    LPCSTR id = IDC_ARROW;
    switch (number) {
    case -3: id = IDC_CROSS; break;
    case -4: id = IDC_IBEAM; break;
    case -11: id = IDC_WAIT; break;
    case -21: id = IDC_HAND; break;
    default: break;
    }
    return LoadCursorA(nullptr, id);
}

TQovPlayerCtrl* ControlOf(HWND window)
{
    return reinterpret_cast<TQovPlayerCtrl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

} // namespace

void TQovPlayerCtrl::CreateForm()
{
    RegisterWindowClasses();
    // Parked: a hidden window of its own until a container activates the
    // control in place and the window becomes the container's child.
    FForm = CreateWindowExA(0, kFormWindowClass, FProps.Caption.c_str(), WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                            FProps.Width, FProps.Height, nullptr, nullptr, ModuleInstance(), nullptr);
    if (!FForm)
        throw EOleError(HRESULT_FROM_WIN32(GetLastError()), "Cannot create the control window");
    SetWindowLongPtrA(FForm, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(FForm, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FormProc));
    FDetail = CreateWindowExA(0, kDetailWindowClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0, FForm,
                              nullptr, ModuleInstance(), nullptr);
    if (!FDetail)
        throw EOleError(HRESULT_FROM_WIN32(GetLastError()), "Cannot create the control window");
    SetWindowLongPtrA(FDetail, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(FDetail, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrameProc));
    FDetailColor = RGB(255, 255, 255);
    FNailsColor = RGB(255, 255, 255);
    CreateNails();
    ApplyFormStyle();
    ApplyFormFont();
    LayoutForm();
    BuildPopupMenu();
    SetTimer(FForm, kTimerActiveNails, 1000, nullptr);
}

void TQovPlayerCtrl::DestroyForm() noexcept
{
    FreePictureArea();
    FreeInfoWindows();
    // The strip's threads end and its windows go before the form's.
    FNails.reset();
    if (FForm) {
        KillTimer(FForm, kTimerActiveNails);
        KillTimer(FForm, kTimerAutoConnect);
        SetWindowLongPtrA(FForm, GWLP_USERDATA, 0);
        if (FDetail)
            SetWindowLongPtrA(FDetail, GWLP_USERDATA, 0);
        DestroyWindow(FForm);
    }
    FForm = FDetail = nullptr;
    if (FMenu)
        DestroyMenu(FMenu);
    FMenu = nullptr;
    if (FFormBrush)
        DeleteObject(FFormBrush);
    FFormBrush = nullptr;
    if (FFont)
        DeleteObject(FFont);
    FFont = nullptr;
}

void TQovPlayerCtrl::BuildPopupMenu()
{
    // English captions on a system whose default language is not Chinese
    // (PRC); the form's own captions otherwise.
    const bool chinese = GetSystemDefaultLangID() == 2052;
    HMENU modes = ::CreatePopupMenu();
    AppendMenuText(modes, MF_STRING, cmdFull, chinese ? "全屏幕(双击鼠标左键)" : "Full screen (Double Click)");
    AppendMenuText(modes, MF_STRING, cmdOriginal, chinese ? "实际大小" : "Original size");
    AppendMenuText(modes, MF_STRING, cmdAdaptive, chinese ? "自适应" : "Full of window");
    FMenu = ::CreatePopupMenu();
    AppendMenuText(FMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(modes), chinese ? "显示模式" : "Display Mode");
    AppendMenuText(FMenu, MF_SEPARATOR, 0, {});
    AppendMenuText(FMenu, MF_STRING, cmdStatus, chinese ? "统计信息" : "Statistic");
    AppendMenuText(FMenu, MF_SEPARATOR, 0, {});
    AppendMenuText(FMenu, MF_STRING, cmdAbout, chinese ? "关于" : "About");
}

void TQovPlayerCtrl::LayoutForm()
{
    RECT r;
    GetClientRect(FForm, &r);
    const RECT rest = FNails ? FNails->AlignBottom(r) : r;
    MoveWindow(FDetail, rest.left, rest.top, rest.right - rest.left, rest.bottom - rest.top, TRUE);
}

void TQovPlayerCtrl::ApplyFormStyle()
{
    COLORREF rgb = 0;
    OleTranslateColor(static_cast<OLE_COLOR>(FProps.Color), nullptr, &rgb);
    if (FFormBrush)
        DeleteObject(FFormBrush);
    FFormBrush = CreateSolidBrush(rgb);
    LONG_PTR style = GetWindowLongPtrA(FForm, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_BORDER);
    LONG_PTR ex = GetWindowLongPtrA(FForm, GWL_EXSTYLE) &
                  ~static_cast<LONG_PTR>(WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME);
    switch (FProps.AxBorderStyle) {
    case afbSingle: style |= WS_BORDER; break;
    case afbSunken: ex |= WS_EX_CLIENTEDGE; break;
    case afbRaised: ex |= WS_EX_DLGMODALFRAME; break;
    default: break;
    }
    SetWindowLongPtrA(FForm, GWL_STYLE, style);
    SetWindowLongPtrA(FForm, GWL_EXSTYLE, ex);
    SetWindowPos(FForm, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    InvalidateRect(FForm, nullptr, TRUE);
}

void TQovPlayerCtrl::ApplyFormFont()
{
    LOGFONTA lf{};
    lf.lfHeight = FProps.Font.Height;
    lf.lfWeight = (FProps.Font.Style & fsBold) ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = (FProps.Font.Style & fsItalic) != 0;
    lf.lfUnderline = (FProps.Font.Style & fsUnderline) != 0;
    lf.lfStrikeOut = (FProps.Font.Style & fsStrikeOut) != 0;
    lf.lfCharSet = FProps.Font.Charset;
    lstrcpynA(lf.lfFaceName, FProps.Font.Name.c_str(), LF_FACESIZE);
    HFONT font = CreateScreenFont(lf);  // the stored face name is GBK
    SendMessageA(FForm, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (FFont)
        DeleteObject(FFont);
    FFont = font;
}

void TQovPlayerCtrl::SetFrameColor(HWND frame, COLORREF color, COLORREF& field)
{
    field = color & 0xFFFFFF;
    if (frame)
        InvalidateRect(frame, nullptr, TRUE);
}

bool TQovPlayerCtrl::SetFormCursor(LPARAM lp)
{
    if (LOWORD(lp) != HTCLIENT)
        return false;
    SetCursor(CursorOf(FProps.Cursor));
    return true;
}

void TQovPlayerCtrl::OnTimer(UINT_PTR id)
{
    // timActiveNails has the thumbnail strip follow the play position and
    // timerAutoConnect reconnects a live source.
    if (id == kTimerActiveNails)
        timActiveNailsTimer();
    else if (id == kTimerAutoConnect)
        timerAutoConnectTimer();
}

void TQovPlayerCtrl::OnMenuCommand(UINT id)
{
    switch (id) {
    case cmdFull: miFullClick(); break;
    case cmdOriginal: miOriginalClick(); break;
    case cmdAdaptive: miAdaptiveClick(); break;
    case cmdStatus: miStatusClick(); break;
    case cmdAbout: miAboutClick(); break;
    default: break;
    }
}

LRESULT CALLBACK TQovPlayerCtrl::FormProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    TQovPlayerCtrl* self = ControlOf(window);
    if (!self)
        return DefWindowProcA(window, msg, wp, lp);
    // A handler of an event fired here may let go of the control: it is
    // freed when the message is done.
    const TFired held(self);
    try {
        return self->FormMessage(msg, wp, lp);
    } catch (...) {
        HandlerFailure(msg == WM_TIMER ? "TQovPlayerCtrl.OnTimer" : "TQovPlayerCtrl.WndProc");
        return 0;
    }
}

LRESULT CALLBACK TQovPlayerCtrl::FrameProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    TQovPlayerCtrl* self = ControlOf(window);
    if (!self)
        return DefWindowProcA(window, msg, wp, lp);
    // A handler of an event fired here may let go of the control: it is
    // freed when the message is done.
    const TFired held(self);
    try {
        return self->FrameMessage(window, msg, wp, lp);
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.FrameProc");
        return 0;
    }
}

LRESULT TQovPlayerCtrl::FormMessage(UINT msg, WPARAM wp, LPARAM lp)
{
    if (LRESULT result = 0; PictureMessage(msg, wp, lp, result))
        return result;
    switch (msg) {
    case WM_SIZE:
        LayoutForm();
        return 0;
    case WM_WINDOWPOSCHANGED:
        // Shown again (by ShowWindow or a placement that shows it): what
        // changed while it was hidden is laid out now.
        if (reinterpret_cast<const WINDOWPOS*>(lp)->flags & SWP_SHOWWINDOW)
            LayoutForm();
        break;
    case WM_ERASEBKGND: {
        RECT r;
        GetClientRect(FForm, &r);
        FillRect(reinterpret_cast<HDC>(wp), &r, FFormBrush);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(FForm, &ps);
        EndPaint(FForm, &ps);
        FireEvent0(16);  // OnPaint
        return 0;
    }
    case WM_TIMER:
        OnTimer(wp);
        return 0;
    case WM_ENGINE_OPENED:
        OnEngineOpened(wp);
        return 0;
    case WM_ENGINE_STATUS:
        OnEngineStatus(wp);
        return 0;
    case WM_ENGINE_END:
        OnEngineEnd();
        return 0;
    case WM_ENGINE_MARKER:
        OnEngineMarker();
        return 0;
    case WM_QOV_LIVE_NOTE:
        OnLiveNote();
        return 0;
    case WM_CONTEXTMENU: {
        // (-1, -1): from the keyboard. LPARAM is 64 bits wide on x86_64, so
        // the two coordinates are compared, not the whole value.
        POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        if (pt.x == -1 && pt.y == -1) {
            pt = POINT{0, 0};
            ClientToScreen(FForm, &pt);
        }
        UINT id = TrackPopupMenu(FMenu, TPM_RETURNCMD | TPM_RIGHTBUTTON, pt.x, pt.y, 0, FForm, nullptr);
        if (id)
            OnMenuCommand(id);
        return 0;
    }
    case WM_COMMAND:
        if (HIWORD(wp) == 0 && lp == 0)
            OnMenuCommand(LOWORD(wp));
        return 0;
    case WM_CHAR:
        // The host sees the key first and may change it; the result is the
        // key as the handlers left it.
        return DoKeyPress(static_cast<WORD>(wp));
    case WM_LBUTTONDOWN:
        FMouseDown = true;
        return 0;
    case WM_LBUTTONUP:
        if (FMouseDown) {
            FMouseDown = false;
            FireEvent0(2);  // OnClick
        }
        return 0;
    case WM_LBUTTONDBLCLK:
        FireEvent0(5);  // OnDblClick
        return 0;
    case WM_SETCURSOR:
        if (SetFormCursor(lp))
            return TRUE;
        break;
    case WM_MOUSEACTIVATE:
        if (FInPlaceActive && !FUIActive)
            ActivateInPlace(true, nullptr);
        return MA_ACTIVATE;
    case WM_QOV_POPUP_MENU:
        return reinterpret_cast<LRESULT>(FMenu);
    default:
        break;
    }
    return DefWindowProcA(FForm, msg, wp, lp);
}

LRESULT TQovPlayerCtrl::FrameMessage(HWND frame, UINT msg, WPARAM wp, LPARAM lp)
{
    if (LRESULT result = 0; frame == FDetail && DetailMessage(msg, wp, lp, result))
        return result;
    switch (msg) {
    case WM_ERASEBKGND: {
        RECT r;
        GetClientRect(frame, &r);
        HBRUSH brush = CreateSolidBrush(FDetailColor);
        FillRect(reinterpret_cast<HDC>(wp), &r, brush);
        DeleteObject(brush);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(frame, &ps);
        EndPaint(frame, &ps);
        return 0;
    }
    case WM_LBUTTONDOWN:
        FMouseDown = frame == FDetail;
        return 0;
    case WM_LBUTTONUP:
        if (FMouseDown && frame == FDetail) {
            FMouseDown = false;
            FireEvent0(2);  // frmDetailClick: OnClick
        }
        return 0;
    case WM_CHAR:
        return FormMessage(msg, wp, lp);
    case WM_SETCURSOR:
        if (SetFormCursor(lp))
            return TRUE;
        break;
    case WM_MOUSEACTIVATE:
        return FormMessage(msg, wp, lp);
    default:
        break;
    }
    return DefWindowProcA(frame, msg, wp, lp);
}

} // namespace qov
