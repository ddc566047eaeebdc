// Text utilities of the exception-reporting library (units ECore and ELang):
// searching, replacing and splitting, HTML and RTF escapes, the report text
// turned into RTF for the report dialog, date-time values and date texts,
// zones, system names and the shared area's name. Pure logic: no Windows
// headers, built natively too.
//
// Texts are byte strings of the system ANSI code page; positions that the
// callers count follow the library's convention of counting from 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace qov::exceptions {

// A date and time as a count of days since 30 December 1899, the fraction
// being the time of day (0 stands for "no date").
using TDateTime = double;

// Trim of the class library: the characters of code 32 or below at both ends go.
using ::qov::Trim;

// Parts of a file name; a folder ends at "\", "/" or ":".
std::string ExtractFileName(const std::string& path);
// The folder part with its closing separator; empty when there is none.
std::string ExtractFilePath(const std::string& path);
// The extension with its dot; empty when the name part has none.
std::string ExtractFileExt(const std::string& path);
// The path with its extension (if any) replaced by ext ("" drops it).
std::string ChangeFileExt(const std::string& path, const std::string& ext);

// The first position (from 1) at or after start where needle matches exactly
// (case-sensitive); 0 when none, when needle is empty or start is out of range.
size_t PosFrom(const std::string& needle, const std::string& text, size_t start);

// Every occurrence of oldText, case-sensitive, left to right, without looking
// into inserted text again. An empty oldText leaves the text unchanged.
std::string ReplaceAll(const std::string& text, const std::string& oldText,
                       const std::string& newText);

// Adds the parts of text to list: leading separators are skipped; at every
// separator the trimmed text since the last one is added, even when empty;
// after the last separator the trimmed rest is added only when not empty.
// separators is a set of single characters.
void Split(const std::string& separators, const std::string& text, std::vector<std::string>& list);

// a when flag is set, else b.
inline std::string Choose(bool flag, const std::string& a, const std::string& b = std::string())
{
    return flag ? a : b;
}

// Keeps every character of code 32 or above; each run of characters below 32
// becomes one blank.
std::string Flatten(const std::string& text);

// Appends blanks up to width; a longer text stays as it is.
std::string PadRight(const std::string& text, size_t width);

// & " ' < > two blanks and CR LF as HTML.
std::string HtmlEscape(const std::string& text);
// Backslash, braces and CR LF as RTF.
std::string RtfEscape(const std::string& text);

// The lines of a text broken at CR LF, LF or CR (no empty last line for a
// text that ends with a break), and lines joined with CR LF after each.
std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);

// The dialog font as the RTF output needs it.
struct TRtfFont {
    std::string Name;
    int PointSize = 8;
    // Width in pixels of 21 "-" characters in the font.
    int DashesWidth = 0;
};

// RTF of the report text for the general tab and of the CPU text for the CPU
// tab, in the report colours; charset is the system's character set number.
std::string ReportToRtf(const std::string& report, int charset, const TRtfFont& font);
std::string CpuReportToRtf(const std::string& cpuText, int charset, const TRtfFont& font);

// Date-time values.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond = 0);
struct TDateParts {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
    int DayOfWeek = 0; // 0 Sunday .. 6 Saturday
};
TDateParts DecodeDateTime(TDateTime value);
// The DOS date and time words (2-second resolution); 0 for invalid fields.
TDateTime DosDateTimeToDateTime(uint16_t dosDate, uint16_t dosTime);

// A zone offset in minutes east of UTC as "+HHMM" / "-HHMM".
std::string ZoneText(int offsetMinutes);
// "Sun, 9 Dec 2026 04:05:06 +0800" style text for mail headers and reports.
std::string LongDateText(TDateTime value, int zoneOffsetMinutes);

// Operating-system name from the version facts ("Microsoft Windows XP" ...);
// platform 1 is the 9x family, 2 the NT family.
std::string OperatingSystemName(uint32_t platform, uint32_t major, uint32_t minor,
                                const std::string& serviceText);

// A module name with "?" in it loses everything before the character in
// front of the first ":" behind it ("\??\C:\x\y.dll" gives "C:\x\y.dll").
std::string DropNtPathPrefix(const std::string& name);

// Name of a module's shared memory area: process id and module handle in
// upper-case hexadecimal (at least 8 digits each), then the prefix.
std::string SharedAreaName(uint32_t processId, uintptr_t moduleHandle, const std::string& prefix);

} // namespace qov::exceptions
