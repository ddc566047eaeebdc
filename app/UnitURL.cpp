#include "UnitURL.h"

#include "ScreenText.h"

namespace qov::app {

namespace {

const char ClassName[] = "TfrmURL";

HWND Child(HWND parent, const char* cls, const char* text, DWORD style, int x, int y, int w, int h,
           int id, HFONT font)
{
    HWND child = CreateTextWindow(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr));
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

} // namespace

TfrmURL::TfrmURL(HWND owner) : FOwner(owner)
{
    // A Unicode window, as its texts are Chinese.
    const std::wstring className = WideOfGbk(ClassName);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = className.c_str();
    RegisterClassExW(&cls);

    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_BORDER;
    RECT rect{0, 0, 430, 114};
    AdjustWindowRectEx(&rect, style, FALSE, WS_EX_DLGMODALFRAME);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    FWindow = CreateTextWindow(WS_EX_DLGMODALFRAME, ClassName, "打开", style,
                               (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, owner, nullptr,
                               GetModuleHandleA(nullptr), this);
    FFont = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Arial");
    Child(FWindow, "STATIC", "输入URL：", 0, 16, 15, 120, 16, -1, FFont);
    FEdit = Child(FWindow, "EDIT", "http://", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 16, 42, 401, 23,
                  100, FFont);
    Child(FWindow, "BUTTON", "确定", BS_DEFPUSHBUTTON | WS_TABSTOP, 135, 80, 75, 20, IDOK, FFont);
    Child(FWindow, "BUTTON", "取消", BS_PUSHBUTTON | WS_TABSTOP, 230, 80, 75, 20, IDCANCEL, FFont);
}

TfrmURL::~TfrmURL()
{
    if (FWindow)
        DestroyWindow(FWindow);
    if (FFont)
        DeleteObject(FFont);
}

std::wstring TfrmURL::Text() const
{
    int length = GetWindowTextLengthW(FEdit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(FEdit, text.data(), length + 1)));
    return text;
}

int TfrmURL::ShowModal()
{
    FModalResult = 0;
    if (FOwner)
        EnableWindow(FOwner, FALSE);
    ShowWindow(FWindow, SW_SHOW);
    SetForegroundWindow(FWindow);
    SetFocus(FEdit);
    SendMessageW(FEdit, EM_SETSEL, 0, -1);
    MSG msg;
    bool quit = false;
    while (FModalResult == 0) {
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
            quit = true;
            FModalResult = IDCANCEL;
            break;
        }
        if (!IsDialogMessageW(FWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (FOwner)
        EnableWindow(FOwner, TRUE);
    ShowWindow(FWindow, SW_HIDE);
    if (FOwner)
        SetActiveWindow(FOwner);
    if (quit)
        PostQuitMessage(static_cast<int>(msg.wParam));
    return FModalResult;
}

LRESULT CALLBACK TfrmURL::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TfrmURL*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && self->FWindow == window)
        return self->Handle(msg, wParam, lParam);
    return DefWindowProcW(window, msg, wParam, lParam);
}

LRESULT TfrmURL::Handle(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            FModalResult = LOWORD(wParam);
            return 0;
        }
        break;
    case WM_CLOSE:
        FModalResult = IDCANCEL;
        return 0;
    }
    return DefWindowProcW(FWindow, msg, wParam, lParam);
}

} // namespace qov::app
