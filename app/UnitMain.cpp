#include "UnitMain.h"

#include <commdlg.h>

#include "CommandLine.h"
#include "ESafeCall.h"
#include "MenuIcons.h"
#include "MiscHead.h"
#include "ScreenText.h"

namespace qov::app {

const char AppTitle[] = "Corvane QovPlayer";

namespace {

const char MainClass[] = "TfrmMain";
const char PanelClass[] = "TPanel";
constexpr UINT_PTR RefreshTimer = 1;
constexpr int PanelHeight = 16;

TExceptionHandler& ExceptionHandler()
{
    static TExceptionHandler handler;
    return handler;
}

// Recent-file names are kept in the system's code page, as the system's file
// functions give them.
std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::wstring FromAnsi(const std::string& text)
{
    if (text.empty())
        return {};
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

// A local path by its full name, so that the name the control keeps (and the
// recent-files list stores) opens the same file from any working folder.
// URLs, "FILE://" locators among them, and blank names stay as they are.
std::wstring FullLocator(const std::wstring& name)
{
    if (name.find_first_not_of(L" \t") == std::wstring::npos || IsURLLocator(name))
        return name;
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return name;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return name;
    full.resize(length);
    return full;
}

std::string TimeLabel(int32_t leftSeconds, int32_t rightSeconds)
{
    return "  " + IntToTime(leftSeconds) + " / " + IntToTime(rightSeconds) + "  ";
}

} // namespace

void SetApplicationExceptionHandler(TExceptionHandler handler)
{
    ExceptionHandler() = std::move(handler);
}

void ApplicationHandleException(const std::string& message)
{
    // Inside a catch block the exception goes to the exception-reporting
    // library first; what the library took care of is not shown again.
    if (qov::exceptions::HandleApplicationException(GetModuleHandleW(nullptr)))
        return;
    try {
        if (ExceptionHandler())
            ExceptionHandler()(message);
        else
            ShowMessageBox(GetActiveWindow(), message, AppTitle, MB_OK | MB_ICONERROR);
    } catch (...) {
        // Nothing may leave the handler.
    }
}

void ApplicationHandleException(const std::exception& error)
{
    ApplicationHandleException(std::string(error.what()));
}

TfrmMain::TfrmMain(TPlayerControlFactory factory, std::vector<std::wstring> parameters, bool quitOnClose)
    : FMru(std::make_unique<TMRUFileList>()), FParameters(std::move(parameters)),
      FQuitOnClose(quitOnClose)
{
    // Unicode windows: the caption shows any name (and the URL dialog's
    // texts are Chinese).
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.hInstance = instance;
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    cls.lpfnWndProc = WindowProc;
    const std::wstring mainClass = WideOfGbk(MainClass), panelClass = WideOfGbk(PanelClass);
    cls.lpszClassName = mainClass.c_str();
    RegisterClassExW(&cls);
    cls.lpfnWndProc = PanelProc;
    cls.hIcon = nullptr;
    cls.lpszClassName = panelClass.c_str();
    RegisterClassExW(&cls);

    FFont = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
    CreateMenus();
    FWindow = CreateTextWindow(0, MainClass, AppTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 190, 105, 722, 562,
                               nullptr, FMenu, instance, this);
    if (!FWindow)
        throw EControlError("Cannot create the main window");
    FPanel = CreateTextWindow(WS_EX_STATICEDGE, PanelClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0,
                              0, FWindow, nullptr, instance);
    FLabel = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_RIGHT, 0, 0, 0, 0, FPanel,
                             nullptr, instance, nullptr);
    SendMessageA(FLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    FBar = CreateWindowExA(0, "SCROLLBAR", "", WS_CHILD | WS_VISIBLE | SBS_HORZ, 0, 0, 0, 0, FPanel,
                           nullptr, instance, nullptr);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = 100;
    SetScrollInfo(FBar, SB_CTL, &info, TRUE);
    SetLabel(TimeLabel(0, 0));

    // Everything the window shows is in place before the control can fire.
    try {
        FControl = factory(FWindow, [this](int state) {
            try {
                QovPlayerPlayStateChanged(state);
            } catch (const std::exception& e) {
                ApplicationHandleException(e);
            }
        });
        if (!FControl)
            throw EControlError("Cannot create the player control");
    } catch (...) {
        DestroyWindow(FWindow);
        FWindow = nullptr;
        throw;
    }
    Layout();

    FMru->SetMaximum(10);
    FMru->SetRemoveOnClick(false);
    FMru->SetSubmenuName("Reopen");
    FMru->SetAutoSaveName("\\Software\\Corvane QovPlayer");
    FMru->SetAutoSaveKey("MRU Items");
    FMru->SetAutoSaveRootKey(rkLocalMachine);
    FMru->SetMaxCaptionWidth(300);
    FMru->SetOnMRUItemClick([this](TMRUMenuItem*, const std::string& name) { OpenLocator(FromAnsi(name)); });
    FMru->SetFileMenu(TMenuHost{FMenu, FFileMenu, 0});
    FMru->Loaded();

    SetTimer(FWindow, RefreshTimer, 100, nullptr);
    FMade = true;
}

TfrmMain::~TfrmMain()
{
    if (FWindow)
        DestroyWindow(FWindow);
    FMru.reset();  // stores the list
    if (FAccelerators)
        DestroyAcceleratorTable(FAccelerators);
    for (auto& icon : FIcons)
        DeleteObject(icon.second);
    if (FFont)
        DeleteObject(FFont);
}

void TfrmMain::CreateMenus()
{
    FMenu = CreateMenu();
    FFileMenu = CreatePopupMenu();
    FControlMenu = CreatePopupMenu();
    struct TItem {
        HMENU Menu;
        UINT Id;  // 0: separator
        const char* Caption;
        int Icon;
        bool Radio;
    };
    const TItem items[] = {
        {FFileMenu, cmOpenFile, "打开文件...\tCtrl+O", iconOpen, false},
        {FFileMenu, cmOpenURL, "打开 URL...", -1, false},
        {FFileMenu, 0, nullptr, -1, false},
        {FFileMenu, cmClose, "关闭...\tCtrl+C", -1, false},
        {FFileMenu, 0, nullptr, -1, false},
        {FFileMenu, cmExit, "退出\tCtrl+X", -1, false},
        {FControlMenu, cmPlay, "播放\tCtrl+P", iconPlay, true},
        {FControlMenu, cmPause, "暂停\tCtrl+Z", iconPause, true},
        {FControlMenu, cmStop, "停止\tCtrl+S", iconStop, true},
        {FControlMenu, 0, nullptr, -1, false},
        {FControlMenu, cmScanForward, "快进\tCtrl+F", iconForward, true},
        // The hidden "自动切换" item and the separator before it show nothing.
    };
    for (const auto& item : items) {
        MENUITEMINFOW info{};
        if (!item.Id) {
            info.fMask = MIIM_FTYPE;
            info.fType = MFT_SEPARATOR;
        } else {
            info.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_ID;
            info.fType = item.Radio ? MFT_RADIOCHECK : MFT_STRING;
            info.wID = item.Id;
            if (item.Icon >= 0) {
                HBITMAP& icon = FIcons[item.Icon];
                if (!icon)
                    icon = CreateMenuIcon(item.Icon);
                info.fMask |= MIIM_BITMAP;
                info.hbmpItem = icon;
            }
        }
        InsertMenuText(item.Menu, static_cast<UINT>(GetMenuItemCount(item.Menu)), info,
                       item.Caption ? item.Caption : "");
    }
    AppendMenuText(FMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(FFileMenu), "文件");
    AppendMenuText(FMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(FControlMenu), "控制");

    ACCEL keys[] = {
        {FVIRTKEY | FCONTROL, 'O', cmOpenFile}, {FVIRTKEY | FCONTROL, 'C', cmClose},
        {FVIRTKEY | FCONTROL, 'X', cmExit},     {FVIRTKEY | FCONTROL, 'P', cmPlay},
        {FVIRTKEY | FCONTROL, 'Z', cmPause},    {FVIRTKEY | FCONTROL, 'S', cmStop},
        {FVIRTKEY | FCONTROL, 'F', cmScanForward},
    };
    FAccelerators = CreateAcceleratorTableA(keys, sizeof keys / sizeof keys[0]);
}

void TfrmMain::Show(int command)
{
    ShowWindow(FWindow, command);
    UpdateWindow(FWindow);
}

void TfrmMain::Layout()
{
    if (!FWindow)
        return;
    RECT client;
    GetClientRect(FWindow, &client);
    int panelTop = client.bottom > PanelHeight ? client.bottom - PanelHeight : 0;
    MoveWindow(FPanel, 0, panelTop, client.right, client.bottom - panelTop, TRUE);
    if (FControl)
        FControl->SetBounds(RECT{0, 0, client.right, panelTop});
    RECT inside;
    GetClientRect(FPanel, &inside);
    char text[128];
    int length = GetWindowTextA(FLabel, text, sizeof text);
    HDC dc = GetDC(FLabel);
    HGDIOBJ old = SelectObject(dc, FFont);
    SIZE size{};
    GetTextExtentPoint32A(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(FLabel, dc);
    int labelWidth = size.cx < inside.right ? size.cx : inside.right;
    MoveWindow(FLabel, inside.right - labelWidth, 0, labelWidth, inside.bottom, TRUE);
    MoveWindow(FBar, 0, 0, inside.right - labelWidth, inside.bottom, TRUE);
}

void TfrmMain::SetLabel(const std::string& text)
{
    char current[128];
    int length = GetWindowTextA(FLabel, current, sizeof current);
    if (std::string(current, static_cast<size_t>(length)) == text)
        return;
    bool resize = static_cast<size_t>(length) != text.size();
    SetWindowTextA(FLabel, text.c_str());
    if (resize)
        Layout();
}

void TfrmMain::SetBar(int position)
{
    position = position < 0 ? 0 : position > 100 ? 100 : position;
    if (GetScrollPos(FBar, SB_CTL) != position)  // no repaint for every tick
        SetScrollPos(FBar, SB_CTL, position, TRUE);
}

void TfrmMain::OpenLocator(const std::wstring& name)
{
    FControl->Open(FullLocator(name));
}

void TfrmMain::miOpenFileClick()
{
    wchar_t file[MAX_PATH * 4] = L"";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = FWindow;
    dialog.lpstrFilter = L"Corvane QovPlayer(*.qov)\0*.qov\0Corvane Channel File(*.sms)\0*.sms\0"
                         L"BMP File(*.bmp)\0*.bmp\0JPEG File(*.jpg;*.jpeg)\0*.jpg;*.jpeg\0"
                         L"All Files(*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file / sizeof file[0];
    if (GetOpenFileNameW(&dialog))
        OpenLocator(file);
}

void TfrmMain::miOpenURLClick()
{
    if (FURLDialog && FURLDialog->ShowModal() == IDOK)
        OpenLocator(FURLDialog->Text());
}

void TfrmMain::CheckControlItem(UINT id)
{
    for (UINT item : {cmPlay, cmPause, cmStop, cmScanForward})
        CheckMenuItem(FControlMenu, item, MF_BYCOMMAND | (item == id ? MF_CHECKED : MF_UNCHECKED));
}

void TfrmMain::miControlClick()
{
    switch (FControl->Status()) {
    case vpPlaying: CheckControlItem(cmPlay); break;
    case vpPaused: CheckControlItem(cmPause); break;
    case vpStopped: CheckControlItem(cmStop); break;
    case vpScanForward: CheckControlItem(cmScanForward); break;
    default: break;  // opening, seeking ...: the marks stay
    }
}

void TfrmMain::FormShow()
{
    // Only the first showing opens the command line; a later one must not
    // restart the recording.
    if (FShown)
        return;
    FShown = true;
    std::wstring locator = JoinParameters(FParameters);
    if (!locator.empty())
        OpenLocator(locator);
}

void TfrmMain::timerRefreshTimer()
{
    // A message box of the failure report pumps messages: the timer must not
    // come back in meanwhile.
    if (FTracking || FInTick)
        return;
    FInTick = true;
    try {
        int32_t position = FControl->CurrentPosition();
        int32_t duration = FControl->Duration();
        SetBar(MulDivRound(position, 100, duration));
        SetLabel(TimeLabel(position / 1000, duration / 1000));
        FTickFailing = false;
    } catch (const std::exception& e) {
        // Bar and label stay; a failure that repeats is reported once until
        // a read succeeds again.
        if (!FTickFailing) {
            FTickFailing = true;
            ApplicationHandleException(e);
        }
    }
    FInTick = false;
}

void TfrmMain::sbScroll(int code, int position)
{
    int current = GetScrollPos(FBar, SB_CTL);
    switch (code) {
    case SB_LINELEFT:
    case SB_PAGELEFT:
        SetBar(current - 1);
        break;
    case SB_LINERIGHT:
    case SB_PAGERIGHT:
        SetBar(current + 1);
        break;
    case SB_THUMBPOSITION:
        SetBar(position);
        break;
    case SB_THUMBTRACK: {
        FTracking = true;
        SetBar(position);
        int32_t duration = FControl->Duration();
        SetLabel(TimeLabel(MulDivRound(position, duration, 100000), duration / 1000));
        break;
    }
    case SB_ENDSCROLL: {
        // Tracking ends even when the seek fails, so the timer goes on.
        FTracking = false;
        int32_t target = MulDivRound(GetScrollPos(FBar, SB_CTL), FControl->Duration(), 100);
        FControl->SetCurrentPosition(target);
        break;
    }
    default:
        break;
    }
}

void TfrmMain::QovPlayerPlayStateChanged(int state)
{
    if (state == vpClosed) {
        SetScreenText(FWindow, AppTitle);
    } else if (state == vpOpened) {
        std::wstring url = FControl->URL();
        SetWindowTextW(FWindow, (L"Corvane QovPlayer - " + url).c_str());
        FMru->AddMRUItem(ToAnsi(url));
    }
}

void TfrmMain::Command(UINT id)
{
    if (FMru->HandleCommand(id))
        return;
    switch (id) {
    case cmOpenFile: miOpenFileClick(); break;
    case cmOpenURL: miOpenURLClick(); break;
    case cmClose: FControl->Close(); break;
    case cmExit: PostMessageA(FWindow, WM_CLOSE, 0, 0); break;
    case cmPlay: FControl->Play(); break;
    case cmPause: FControl->Pause(); break;
    case cmStop: FControl->Stop(); break;
    case cmScanForward: FControl->FastForward(); break;
    default: break;
    }
}

LRESULT CALLBACK TfrmMain::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<TfrmMain*>(create->lpCreateParams);
        self->FWindow = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TfrmMain*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(window, msg, wParam, lParam);
    try {
        return self->Handle(msg, wParam, lParam);
    } catch (const std::exception& e) {
        ApplicationHandleException(e);
    } catch (...) {
        ApplicationHandleException(std::string("Unknown failure"));
    }
    return 0;
}

// The panel passes its scroll bar's messages on to the main window.
LRESULT CALLBACK TfrmMain::PanelProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_HSCROLL || msg == WM_COMMAND)
        return SendMessageW(GetParent(window), msg, wParam, lParam);
    return DefWindowProcW(window, msg, wParam, lParam);
}

LRESULT TfrmMain::Handle(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND:
        if (HIWORD(wParam) == 0 || HIWORD(wParam) == 1)  // menu or accelerator
            Command(LOWORD(wParam));
        return 0;
    case WM_INITMENUPOPUP:
        if (reinterpret_cast<HMENU>(wParam) == FControlMenu && FControl)
            miControlClick();
        return 0;
    case WM_TIMER:
        if (wParam == RefreshTimer && FControl)
            timerRefreshTimer();
        return 0;
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == FBar && FControl)
            sbScroll(LOWORD(wParam), static_cast<short>(HIWORD(wParam)));
        return 0;
    case WM_WINDOWPOSCHANGED:
        // Every way of showing the window comes here (a window shown
        // maximised gets no WM_SHOWWINDOW); the command line is opened once
        // the window is on the screen.
        if ((reinterpret_cast<WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW) && FControl)
            PostMessageA(FWindow, WM_APP, 0, 0);
        break;
    case WM_APP:
        FormShow();
        return 0;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_CLOSE:
        // The recording is closed even when the control reports a failure.
        try {
            if (FControl)
                FControl->Close();
        } catch (const std::exception& e) {
            ApplicationHandleException(e);
        }
        DestroyWindow(FWindow);
        return 0;
    case WM_DESTROY:
        KillTimer(FWindow, RefreshTimer);
        FMru->ForgetFileMenu();
        FControl.reset();
        // A window that failed in its making ends nothing: its failure is
        // still to be shown.
        if (FQuitOnClose && FMade)
            PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
        FWindow = nullptr;
        break;
    }
    return DefWindowProcW(FWindow, msg, wParam, lParam);
}

} // namespace qov::app
