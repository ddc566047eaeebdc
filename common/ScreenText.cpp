#include "ScreenText.h"

#include <climits>
#include <cstddef>
#include <cstring>

namespace qov {

namespace {

int Length(size_t size)
{
    return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

} // namespace

std::wstring WideOfGbk(std::string_view text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(kTextCodePage, 0, text.data(), Length(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(kTextCodePage, 0, text.data(), Length(text.size()), wide.data(), n);
    return wide;
}

std::string GbkOfWide(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(kTextCodePage, 0, text.data(), Length(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    if (n <= 0)
        return {};
    std::string gbk(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(kTextCodePage, 0, text.data(), Length(text.size()), gbk.data(), n, nullptr, nullptr);
    return gbk;
}

HWND CreateTextWindow(DWORD exStyle, const char* cls, std::string_view text, DWORD style, int x, int y, int width,
                      int height, HWND parent, HMENU menu, HINSTANCE instance, void* param)
{
    return CreateWindowExW(exStyle, WideOfGbk(cls).c_str(), WideOfGbk(text).c_str(), style, x, y, width, height,
                           parent, menu, instance, param);
}

bool SetScreenText(HWND window, std::string_view text)
{
    return SetWindowTextW(window, WideOfGbk(text).c_str()) != FALSE;
}

std::string ScreenTextOf(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), Length(text.size()))));
    return GbkOfWide(text);
}

bool AppendMenuText(HMENU menu, UINT flags, UINT_PTR id, std::string_view text)
{
    if (flags & (MF_SEPARATOR | MF_BITMAP | MF_OWNERDRAW))
        return AppendMenuW(menu, flags, id, nullptr) != FALSE;
    return AppendMenuW(menu, flags, id, WideOfGbk(text).c_str()) != FALSE;
}

bool InsertMenuText(HMENU menu, UINT position, MENUITEMINFOW info, std::string_view text)
{
    std::wstring wide;
    if (info.fMask & MIIM_STRING) {
        wide = WideOfGbk(text);
        info.dwTypeData = wide.data();
    }
    info.cbSize = sizeof info;
    return InsertMenuItemW(menu, position, TRUE, &info) != FALSE;
}

int ShowMessageBox(HWND owner, std::string_view text, std::string_view caption, UINT type)
{
    return MessageBoxW(owner, WideOfGbk(text).c_str(), WideOfGbk(caption).c_str(), type);
}

bool TextOutScreen(HDC dc, int x, int y, std::string_view text)
{
    const std::wstring wide = WideOfGbk(text);
    return TextOutW(dc, x, y, wide.c_str(), Length(wide.size())) != FALSE;
}

SIZE ScreenTextExtent(HDC dc, std::string_view text)
{
    const std::wstring wide = WideOfGbk(text);
    SIZE size{};
    if (!GetTextExtentPoint32W(dc, wide.c_str(), Length(wide.size()), &size))
        size = SIZE{};
    return size;
}

HFONT CreateScreenFont(const LOGFONTA& font)
{
    LOGFONTW wide{};
    static_assert(offsetof(LOGFONTA, lfFaceName) == offsetof(LOGFONTW, lfFaceName), "same head");
    std::memcpy(&wide, &font, offsetof(LOGFONTA, lfFaceName));
    const std::string_view face(font.lfFaceName, strnlen(font.lfFaceName, LF_FACESIZE));
    const std::wstring name = WideOfGbk(face);
    name.copy(wide.lfFaceName, LF_FACESIZE - 1);
    return CreateFontIndirectW(&wide);
}

} // namespace qov
