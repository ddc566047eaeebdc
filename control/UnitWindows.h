// What the control's own windows share: the module that holds their code and
// the registration of a window class whose procedure each window replaces
// with its own. The windows show the system's texts, so they are Unicode
// windows: each procedure is set with SetWindowLongPtrW and passes on to
// DefWindowProcW.
#pragma once

#include <windows.h>

#include <string>

#include "ScreenText.h"

namespace qov {

// The module holding this code: the control library, or a test program that
// hosts the units itself.
inline HINSTANCE CodeModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CodeModule), &module);
    return module;
}

// Registers the class once per module (a second registration fails harmlessly).
inline void RegisterPlainClass(const char* name, HBRUSH background, UINT style = 0)
{
    const std::wstring wideName = WideOfGbk(name);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = CodeModule();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.style = style;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = wideName.c_str();
    RegisterClassExW(&wc);
}

// A child control of parent showing text, with the given font (none: the
// system's).
inline HWND AddChildControl(HWND parent, const char* cls, const char* text, DWORD style, int x, int y, int w, int h,
                            int id, HFONT font)
{
    HWND control = CreateTextWindow(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), CodeModule());
    if (control && font)
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

} // namespace qov
