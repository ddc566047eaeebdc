// The control's stored form: the binary component record ("TPF0") that the
// control writes through IPersistStreamInit and IPersistStorage (stream
// "CONTROLSAVESTREAM") and reads back when a container or document restores
// it, the published form properties that record carries, and the identifier
// tables of the values written by name.
//
// Record layout (little-endian):
//   "TPF0"
//   class name, component name         short strings (length byte + bytes)
//   property entries                   short-string name, tag byte, value
//   0                                  end of the properties
//   child components                   each laid out like the root (ignored)
//   0                                  end of the children
// Tags: 0 end, 1 list, 2 8-bit integer, 3 16-bit integer, 4 32-bit integer,
// 5 extended float, 6 short string, 7 identifier, 8 false, 9 true,
// 10 binary (32-bit length first), 11 set (names until an empty name),
// 12 long string (32-bit length first), 13 nil, 14 collection, 15 single,
// 16 currency, 17 date, 18 wide string (32-bit count of UTF-16 units),
// 19 64-bit integer, 20 UTF-8 string (32-bit length first), 21 double.
//
// The record comes from whatever container or document holds the control, so
// nothing in it is trusted: every length and tag is checked against the end of
// the bytes, and a refused record leaves the properties as they were.
//
// Pure logic: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SysUtils.h"

namespace qov {

// The class library's colour: 0x00BBGGRR, or 0x80000000 | a system colour
// index (COLOR_xxx), or one of the special values clNone / clDefault.
using TColor = int32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clMoneyGreen = 0xC0DCC0;
constexpr TColor clSkyBlue = 0xF0CAA6;
constexpr TColor clCream = 0xF0FBFF;
constexpr TColor clMedGray = 0xA4A0A0;
constexpr TColor clSystemColor = static_cast<TColor>(0x80000000u);
constexpr TColor clScrollBar = clSystemColor | 0;
constexpr TColor clBackground = clSystemColor | 1;
constexpr TColor clActiveCaption = clSystemColor | 2;
constexpr TColor clInactiveCaption = clSystemColor | 3;
constexpr TColor clMenu = clSystemColor | 4;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowFrame = clSystemColor | 6;
constexpr TColor clMenuText = clSystemColor | 7;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clCaptionText = clSystemColor | 9;
constexpr TColor clActiveBorder = clSystemColor | 10;
constexpr TColor clInactiveBorder = clSystemColor | 11;
constexpr TColor clAppWorkSpace = clSystemColor | 12;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clHighlightText = clSystemColor | 14;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clBtnShadow = clSystemColor | 16;
constexpr TColor clGrayText = clSystemColor | 17;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr TColor clInactiveCaptionText = clSystemColor | 19;
constexpr TColor clBtnHighlight = clSystemColor | 20;
constexpr TColor cl3DDkShadow = clSystemColor | 21;
constexpr TColor cl3DLight = clSystemColor | 22;
constexpr TColor clInfoText = clSystemColor | 23;
constexpr TColor clInfoBk = clSystemColor | 24;
constexpr TColor clHotLight = clSystemColor | 26;
constexpr TColor clGradientActiveCaption = clSystemColor | 27;
constexpr TColor clGradientInactiveCaption = clSystemColor | 28;
constexpr TColor clMenuHighlight = clSystemColor | 29;
constexpr TColor clMenuBar = clSystemColor | 30;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;

// Font character sets (the GDI values).
constexpr uint8_t ANSI_CHARSET_VALUE = 0;
constexpr uint8_t DEFAULT_CHARSET_VALUE = 1;
constexpr uint8_t GB2312_CHARSET_VALUE = 134;

enum TxActiveFormBorderStyle : int32_t { afbNone = 0, afbSingle = 1, afbSunken = 2, afbRaised = 3 };
enum TxPrintScale : int32_t { poNone = 0, poProportional = 1, poPrintToFit = 2 };

// Font style set members, as bits of TFormFont::Style.
enum TFontStyleBit : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

// Cursor numbers.
constexpr int16_t crDefault = 0;

struct TFormFont {
    uint8_t Charset = DEFAULT_CHARSET_VALUE;
    TColor Color = clWindowText;
    int32_t Height = -11;
    std::string Name = "MS Sans Serif";  // ANSI bytes
    uint8_t Style = 0;                   // TFontStyleBit set
    bool operator==(const TFormFont&) const = default;
};

// The control form's published properties, initialised to the form
// resource's values. Texts are ANSI (GBK) bytes as the form holds them.
struct TFormProperties {
    // Carried by the stored record.
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Width = 495;
    int32_t Height = 410;
    std::string ActiveControl = "frmDetail";  // component name; empty: none
    TxActiveFormBorderStyle AxBorderStyle = afbNone;
    std::string Caption = "Corvane QovPlayer";
    TColor Color = clBtnFace;
    TFormFont Font;
    bool KeyPreview = true;
    bool OldCreateOrder = false;
    std::string PopupMenu = "pmQov";          // component name; empty: none
    std::string OnKeyUp = "ActiveFormKeyUp";  // handler name; empty: none
    int32_t PixelsPerInch = 96;
    int32_t TextHeight = 13;
    // Reached through the automation interface; written to the record only
    // when they differ from these values.
    bool Visible = true;
    bool AutoScroll = true;
    bool AutoSize = false;
    TxPrintScale PrintScale = poProportional;
    bool Scaled = true;
    bool DropTarget = false;
    std::string HelpFile;
    bool DoubleBuffered = false;
    bool Enabled = true;
    int16_t Cursor = crDefault;
    bool operator==(const TFormProperties&) const = default;
};

// Class and component name the control writes.
constexpr const char* kFormClassName = "TQovPlayerCtrl";
constexpr const char* kFormComponentName = "QovPlayerCtrl";

// Largest record the reader accepts (form records are a few hundred bytes).
constexpr size_t kFormRecordMaxSize = 1u << 20;

// Parses the record at data[0..size) completely and only then applies the
// properties it carries to out; properties it lacks keep their values, and
// properties this control does not know are skipped. Bytes after the record
// are not looked at. Returns the record's length. A refused record (short,
// malformed, an unknown tag, a value of the wrong kind or out of range)
// raises EStreamError and leaves out unchanged.
size_t ReadFormRecord(const uint8_t* data, size_t size, TFormProperties& out);

// Writes the record of props: names where a value has one, else the smallest
// integer tag that holds it.
std::vector<uint8_t> WriteFormRecord(const TFormProperties& props);

// Walks the record at data[0..size): its whole length when complete, 0 when
// the bytes so far are a well-formed beginning that goes on past size (read
// more). Raises EStreamError when the bytes cannot begin a record, or the
// record would be longer than kFormRecordMaxSize.
size_t FormRecordLength(const uint8_t* data, size_t size);

// Identifier tables: the name of a value (nullptr when it has none) and the
// value of a name (false when the name is unknown).
const char* ColorToIdent(TColor value);
bool IdentToColor(std::string_view name, TColor& value);
const char* CharsetToIdent(uint8_t value);
bool IdentToCharset(std::string_view name, uint8_t& value);
const char* CursorToIdent(int16_t value);
bool IdentToCursor(std::string_view name, int16_t& value);
const char* BorderStyleToIdent(TxActiveFormBorderStyle value);
bool IdentToBorderStyle(std::string_view name, TxActiveFormBorderStyle& value);
const char* PrintScaleToIdent(TxPrintScale value);
bool IdentToPrintScale(std::string_view name, TxPrintScale& value);
const char* FontStyleToIdent(TFontStyleBit bit);
bool IdentToFontStyle(std::string_view name, TFontStyleBit& bit);
// Names compare without regard to ASCII letter case, as the class library's.
bool SameIdent(std::string_view a, std::string_view b);

// Property names loaded from and saved to a property bag (a web page's
// parameters), in the order they are loaded and saved.
constexpr size_t kPropertyBagNameCount = 27;
extern const wchar_t* const kPropertyBagNames[kPropertyBagNameCount];

// Swaps the red and blue bytes of a 0xRRGGBB / 0xBBGGRR colour; the highest
// byte is dropped.
constexpr uint32_t SwapRedBlue(uint32_t c)
{
    return ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
}

} // namespace qov
