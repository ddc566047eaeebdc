// Texts on the screen. The system's own texts, and the names it keeps, are
// GBK bytes whatever the machine's ANSI code page is. They reach the screen
// converted from code page 936 and through the wide window functions, so that
// they read as Chinese on every system; the ANSI functions would draw the same
// bytes in the machine's own code page. Texts kept in files, the registry,
// stored records or handed across an interface stay GBK bytes.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace qov {

constexpr UINT kTextCodePage = 936;  // GBK

// GBK bytes as UTF-16 and back (a character GBK lacks becomes "?").
std::wstring WideOfGbk(std::string_view text);
std::string GbkOfWide(std::wstring_view text);

// The wide window functions with GBK texts. Windows that show such texts are
// Unicode windows: their class is registered with RegisterClassExW and their
// procedure passes on to DefWindowProcW (an ANSI window would turn the text
// back into the machine's code page). Class names are plain ASCII.
HWND CreateTextWindow(DWORD exStyle, const char* cls, std::string_view text, DWORD style, int x, int y, int width,
                      int height, HWND parent, HMENU menu, HINSTANCE instance, void* param = nullptr);
bool SetScreenText(HWND window, std::string_view text);
std::string ScreenTextOf(HWND window);
bool AppendMenuText(HMENU menu, UINT flags, UINT_PTR id, std::string_view text);
// Inserts info (its MIIM_STRING text, when it has the flag, is text) at a
// position.
bool InsertMenuText(HMENU menu, UINT position, MENUITEMINFOW info, std::string_view text);
int ShowMessageBox(HWND owner, std::string_view text, std::string_view caption, UINT type);
bool TextOutScreen(HDC dc, int x, int y, std::string_view text);
SIZE ScreenTextExtent(HDC dc, std::string_view text);
// A font whose face name is GBK bytes ("宋体").
HFONT CreateScreenFont(const LOGFONTA& font);

} // namespace qov
