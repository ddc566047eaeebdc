// Names of the values the stored form record writes as identifiers, in the
// order the class library keeps them: the first name of a value is the one
// written; later names of the same value are only read.
#include <iterator>

#include "FormRecord.h"

namespace qov {
namespace {

struct TIdentEntry {
    int32_t Value;
    const char* Name;
};

constexpr TIdentEntry kColors[] = {
    {clBlack, "clBlack"},
    {clMaroon, "clMaroon"},
    {clGreen, "clGreen"},
    {clOlive, "clOlive"},
    {clNavy, "clNavy"},
    {clPurple, "clPurple"},
    {clTeal, "clTeal"},
    {clGray, "clGray"},
    {clSilver, "clSilver"},
    {clRed, "clRed"},
    {clLime, "clLime"},
    {clYellow, "clYellow"},
    {clBlue, "clBlue"},
    {clFuchsia, "clFuchsia"},
    {clAqua, "clAqua"},
    {clWhite, "clWhite"},
    {clMoneyGreen, "clMoneyGreen"},
    {clSkyBlue, "clSkyBlue"},
    {clCream, "clCream"},
    {clMedGray, "clMedGray"},
    {clActiveBorder, "clActiveBorder"},
    {clActiveCaption, "clActiveCaption"},
    {clAppWorkSpace, "clAppWorkSpace"},
    {clBackground, "clBackground"},
    {clBtnFace, "clBtnFace"},
    {clBtnHighlight, "clBtnHighlight"},
    {clBtnShadow, "clBtnShadow"},
    {clBtnText, "clBtnText"},
    {clCaptionText, "clCaptionText"},
    {clDefault, "clDefault"},
    {clGradientActiveCaption, "clGradientActiveCaption"},
    {clGradientInactiveCaption, "clGradientInactiveCaption"},
    {clGrayText, "clGrayText"},
    {clHighlight, "clHighlight"},
    {clHighlightText, "clHighlightText"},
    {clHotLight, "clHotLight"},
    {clInactiveBorder, "clInactiveBorder"},
    {clInactiveCaption, "clInactiveCaption"},
    {clInactiveCaptionText, "clInactiveCaptionText"},
    {clInfoBk, "clInfoBk"},
    {clInfoText, "clInfoText"},
    {clMenu, "clMenu"},
    {clMenuBar, "clMenuBar"},
    {clMenuHighlight, "clMenuHighlight"},
    {clMenuText, "clMenuText"},
    {clNone, "clNone"},
    {clScrollBar, "clScrollBar"},
    {cl3DDkShadow, "cl3DDkShadow"},
    {cl3DLight, "cl3DLight"},
    {clWindow, "clWindow"},
    {clWindowFrame, "clWindowFrame"},
    {clWindowText, "clWindowText"},
    {clSilver, "clLtGray"},
    {clGray, "clDkGray"},
};

constexpr TIdentEntry kCharsets[] = {
    {0, "ANSI_CHARSET"},
    {1, "DEFAULT_CHARSET"},
    {2, "SYMBOL_CHARSET"},
    {77, "MAC_CHARSET"},
    {128, "SHIFTJIS_CHARSET"},
    {129, "HANGEUL_CHARSET"},
    {130, "JOHAB_CHARSET"},
    {134, "GB2312_CHARSET"},
    {136, "CHINESEBIG5_CHARSET"},
    {161, "GREEK_CHARSET"},
    {162, "TURKISH_CHARSET"},
    {163, "VIETNAMESE_CHARSET"},
    {177, "HEBREW_CHARSET"},
    {178, "ARABIC_CHARSET"},
    {186, "BALTIC_CHARSET"},
    {204, "RUSSIAN_CHARSET"},
    {222, "THAI_CHARSET"},
    {238, "EASTEUROPE_CHARSET"},
    {255, "OEM_CHARSET"},
};

constexpr TIdentEntry kCursors[] = {
    {0, "crDefault"},
    {-1, "crNone"},
    {-2, "crArrow"},
    {-3, "crCross"},
    {-4, "crIBeam"},
    {-6, "crSizeNESW"},
    {-7, "crSizeNS"},
    {-8, "crSizeNWSE"},
    {-9, "crSizeWE"},
    {-10, "crUpArrow"},
    {-11, "crHourGlass"},
    {-12, "crDrag"},
    {-13, "crNoDrop"},
    {-14, "crHSplit"},
    {-15, "crVSplit"},
    {-16, "crMultiDrag"},
    {-17, "crSQLWait"},
    {-18, "crNo"},
    {-19, "crAppStart"},
    {-20, "crHelp"},
    {-21, "crHandPoint"},
    {-22, "crSizeAll"},
    {-22, "crSize"},
};

constexpr TIdentEntry kBorderStyles[] = {
    {afbNone, "afbNone"},
    {afbSingle, "afbSingle"},
    {afbSunken, "afbSunken"},
    {afbRaised, "afbRaised"},
};

constexpr TIdentEntry kPrintScales[] = {
    {poNone, "poNone"},
    {poProportional, "poProportional"},
    {poPrintToFit, "poPrintToFit"},
};

constexpr TIdentEntry kFontStyles[] = {
    {fsBold, "fsBold"},
    {fsItalic, "fsItalic"},
    {fsUnderline, "fsUnderline"},
    {fsStrikeOut, "fsStrikeOut"},
};

template <size_t N>
const char* ToIdent(const TIdentEntry (&table)[N], int32_t value)
{
    for (const TIdentEntry& e : table)
        if (e.Value == value)
            return e.Name;
    return nullptr;
}

template <size_t N>
bool FromIdent(const TIdentEntry (&table)[N], std::string_view name, int32_t& value)
{
    for (const TIdentEntry& e : table)
        if (SameIdent(name, e.Name)) {
            value = e.Value;
            return true;
        }
    return false;
}

template <typename T, size_t N>
bool FromIdentAs(const TIdentEntry (&table)[N], std::string_view name, T& value)
{
    int32_t v = 0;
    if (!FromIdent(table, name, v))
        return false;
    value = static_cast<T>(v);
    return true;
}

} // namespace

bool SameIdent(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

const char* ColorToIdent(TColor value) { return ToIdent(kColors, value); }
bool IdentToColor(std::string_view name, TColor& value) { return FromIdentAs(kColors, name, value); }
const char* CharsetToIdent(uint8_t value) { return ToIdent(kCharsets, value); }
bool IdentToCharset(std::string_view name, uint8_t& value) { return FromIdentAs(kCharsets, name, value); }
const char* CursorToIdent(int16_t value) { return ToIdent(kCursors, value); }
bool IdentToCursor(std::string_view name, int16_t& value) { return FromIdentAs(kCursors, name, value); }
const char* BorderStyleToIdent(TxActiveFormBorderStyle value) { return ToIdent(kBorderStyles, value); }
bool IdentToBorderStyle(std::string_view name, TxActiveFormBorderStyle& value)
{
    return FromIdentAs(kBorderStyles, name, value);
}
const char* PrintScaleToIdent(TxPrintScale value) { return ToIdent(kPrintScales, value); }
bool IdentToPrintScale(std::string_view name, TxPrintScale& value) { return FromIdentAs(kPrintScales, name, value); }
const char* FontStyleToIdent(TFontStyleBit bit) { return ToIdent(kFontStyles, bit); }
bool IdentToFontStyle(std::string_view name, TFontStyleBit& bit) { return FromIdentAs(kFontStyles, name, bit); }

const wchar_t* const kPropertyBagNames[kPropertyBagNameCount] = {
    L"Visible",       L"AutoScroll",     L"AutoSize",        L"AxBorderStyle",
    L"Caption",       L"Color",          L"Font",            L"KeyPreview",
    L"PixelsPerInch", L"PrintScale",     L"Scaled",          L"DropTarget",
    L"HelpFile",      L"DoubleBuffered", L"Enabled",         L"Cursor",
    L"DisplayMode",   L"CurrentPosition", L"ScreenBackgroundColor", L"NailBackgroundColor",
    L"LocalIP",       L"FullScreen",     L"URL",             L"AutoStart",
    L"InitialColor",  L"AutoConnect",    L"EnableCache",
};

} // namespace qov
