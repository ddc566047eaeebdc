#include "ELang.h"

#include <richedit.h>

#include <cstdlib>
#include <cstring>

namespace qov::exceptions {

namespace {

struct TRtfReader {
    const std::string* Text;
    size_t Position;
};

// EM_STREAMIN callback: hands out the next piece of the RTF text.
DWORD CALLBACK ReadRtf(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* delivered)
{
    auto* reader = reinterpret_cast<TRtfReader*>(cookie);
    if (!reader || !buffer || !delivered || wanted < 0)
        return 1;
    size_t left = reader->Text->size() - reader->Position;
    size_t n = left < static_cast<size_t>(wanted) ? left : static_cast<size_t>(wanted);
    std::memcpy(buffer, reader->Text->data() + reader->Position, n);
    reader->Position += n;
    *delivered = static_cast<LONG>(n);
    return 0;
}

} // namespace

int CharsetOfCodePage(unsigned codePage)
{
    CHARSETINFO info;
    if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<ULONG_PTR>(codePage)), &info,
                              TCI_SRCCODEPAGE))
        return DEFAULT_CHARSET;
    return static_cast<int>(info.ciCharset);
}

int SystemCharset()
{
    char text[16] = {};
    unsigned codePage = 0;
    if (GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text) > 0) {
        char* end = nullptr;
        unsigned long value = std::strtoul(text, &end, 10);
        if (end != text && *end == '\0')
            codePage = static_cast<unsigned>(value);
    }
    if (codePage == 0)
        codePage = GetACP();
    return CharsetOfCodePage(codePage);
}

TRtfFont RtfFontOf(HFONT font)
{
    TRtfFont result;
    LOGFONTA logFont;
    if (!font || GetObjectA(font, sizeof logFont, &logFont) != sizeof logFont)
        return result;
    result.Name = logFont.lfFaceName;
    HDC dc = GetDC(nullptr);
    if (!dc)
        return result;
    result.PointSize = MulDiv(std::abs(static_cast<int>(logFont.lfHeight)), 72, GetDeviceCaps(dc, LOGPIXELSY));
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    if (GetTextExtentPoint32A(dc, "---------------------", 21, &size))
        result.DashesWidth = size.cx;
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return result;
}

bool StreamRtfIntoRichEdit(HWND richEdit, const std::string& rtf)
{
    TRtfReader reader{&rtf, 0};
    EDITSTREAM stream{};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&reader);
    stream.pfnCallback = ReadRtf;
    SendMessageA(richEdit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
    return stream.dwError == 0;
}

void SetRichEditBackground(HWND richEdit, int colour)
{
    COLORREF value = colour < 0 ? GetSysColor(colour & 0xFF) : static_cast<COLORREF>(colour);
    SendMessageA(richEdit, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(value));
}

} // namespace qov::exceptions
