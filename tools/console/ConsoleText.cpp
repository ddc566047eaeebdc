#include "ConsoleText.h"

#include <windows.h>

#include <climits>
#include <string_view>

#include "ScreenText.h"

namespace qov::tools {

std::string Utf8FromGbk(const std::string& text)
{
    // Each byte becomes at most one UTF-16 unit and that at most 3 UTF-8
    // bytes, so the sizes of this cut stay within int (the tools' texts are
    // far shorter).
    const std::wstring wide = WideOfGbk(std::string_view(text).substr(0, size_t(INT_MAX / 3)));
    if (wide.empty())
        return std::string();
    const int wideLength = int(wide.size());
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0)
        return std::string();
    std::string utf8(size_t(utf8Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), utf8Length, nullptr, nullptr);
    return utf8;
}

std::string Utf8FromGbk(const char* text)
{
    return text ? Utf8FromGbk(std::string(text)) : std::string();
}

} // namespace qov::tools
