#include "ECoreText.h"

#include <cmath>
#include <cstdlib>

#include "SysUtils.h"

namespace qov::exceptions {

namespace {

const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

const char* const RtfColourTable =
    "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;"
    "\\red0\\green0\\blue160;}\r\n";

// Inserts piece before position pos (from 1) of text; behind the end when the
// text is shorter.
void InsertAt(std::string& text, const std::string& piece, size_t pos)
{
    size_t at = pos == 0 ? 0 : pos - 1;
    text.insert(at < text.size() ? at : text.size(), piece);
}

// Removes count characters from position pos (from 1), as far as there are.
void DeleteAt(std::string& text, size_t pos, size_t count)
{
    size_t at = pos == 0 ? 0 : pos - 1;
    if (at < text.size())
        text.erase(at, count);
}

std::string RtfDocument(const std::string& body, int charset, const TRtfFont& font)
{
    std::string header = Format("{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern"
                                "\\fprq1\\fcharset%d %s;}}\r\n",
                                charset, font.Name.c_str());
    return header + RtfColourTable + Format("\\f0\\fs%d\r\n", font.PointSize * 2) + body + "}";
}

// Days from 1 January of year 1 (proleptic Gregorian) to the given date.
long long DaysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468; // days since 1970-01-01
}

const long long UnixDayOfDateZero = -25569; // 1899-12-30 relative to 1970-01-01

} // namespace

namespace {

const char* const PathSeparators = "\\/:";

// Position of the extension's dot, npos when the name part has none.
size_t ExtensionDot(const std::string& path)
{
    const size_t p = path.find_last_of(".\\/:");
    return p != std::string::npos && path[p] == '.' ? p : std::string::npos;
}

} // namespace

std::string ExtractFileName(const std::string& path)
{
    const size_t p = path.find_last_of(PathSeparators);
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ExtractFilePath(const std::string& path)
{
    const size_t p = path.find_last_of(PathSeparators);
    return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileExt(const std::string& path)
{
    const size_t dot = ExtensionDot(path);
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext)
{
    return path.substr(0, ExtensionDot(path)) + ext;
}

size_t PosFrom(const std::string& needle, const std::string& text, size_t start)
{
    if (needle.empty() || start == 0 || start > text.size())
        return 0;
    size_t found = text.find(needle, start - 1);
    return found == std::string::npos ? 0 : found + 1;
}

std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText)
{
    if (oldText.empty())
        return text;
    std::string result;
    size_t from = 0;
    for (size_t at; (at = text.find(oldText, from)) != std::string::npos; from = at + oldText.size())
        result.append(text, from, at - from).append(newText);
    return result.append(text, from, std::string::npos);
}

void Split(const std::string& separators, const std::string& text, std::vector<std::string>& list)
{
    size_t i = 0;
    while (i < text.size() && separators.find(text[i]) != std::string::npos)
        ++i;
    size_t partStart = i;
    for (; i < text.size(); ++i) {
        if (separators.find(text[i]) == std::string::npos)
            continue;
        list.push_back(Trim(text.substr(partStart, i - partStart)));
        partStart = i + 1;
    }
    std::string rest = Trim(text.substr(partStart < text.size() ? partStart : text.size()));
    if (!rest.empty())
        list.push_back(rest);
}

std::string Flatten(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    bool inRun = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 32) {
            result += c;
            inRun = false;
        } else if (!inRun) {
            result += ' ';
            inRun = true;
        }
    }
    return result;
}

std::string PadRight(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string HtmlEscape(const std::string& text)
{
    std::string s = ReplaceAll(text, "&", "&amp;");
    s = ReplaceAll(s, "\"", "&quot;");
    s = ReplaceAll(s, "'", "&#039;");
    s = ReplaceAll(s, "<", "&lt;");
    s = ReplaceAll(s, ">", "&gt;");
    s = ReplaceAll(s, "  ", "&nbsp;&nbsp;");
    return ReplaceAll(s, "\r\n", "<br>\r\n");
}

std::string RtfEscape(const std::string& text)
{
    std::string s = ReplaceAll(text, "\\", "\\\\");
    s = ReplaceAll(s, "{", "\\{");
    s = ReplaceAll(s, "}", "\\}");
    return ReplaceAll(s, "\r\n", "\\par\r\n");
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string result;
    for (const std::string& line : lines)
        result.append(line).append("\r\n");
    return result;
}

std::string ReportToRtf(const std::string& report, int charset, const TRtfFont& font)
{
    std::vector<std::string> lines = SplitLines(RtfEscape(report));
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        if (i == 0) {
            line = "\\cf1\\b " + line + "\\b0";
            continue;
        }
        size_t colon = line.find(':');
        size_t colonPos = colon == std::string::npos ? 0 : colon + 1;
        size_t pair = line.find(": ");
        if (line.size() == colonPos + 4)
            line = "\\cf3\\b " + line + "\\b0";
        else if (!line.empty() && line[0] == '-')
            line = "\\cf3 " + line;
        else if (pair != std::string::npos)
            line = "\\cf2 " + line.substr(0, pair + 1) + "\\cf4 " + line.substr(pair + 1);
    }
    return RtfDocument(JoinLines(lines), charset, font);
}

std::string CpuReportToRtf(const std::string& cpuText, int charset, const TRtfFont& font)
{
    std::vector<std::string> lines = SplitLines(RtfEscape(cpuText));
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        if (i == 0) {
            line = "\\cf3\\b " + line + "\\cf2\\b0";
        } else if (i == 1) {
            line = "\\cf3 " + line + "\\cf2";
        } else if (i >= 2 && i <= 5) {
            InsertAt(line, "\\cf4 ", 6);
            InsertAt(line, "\\cf2 ", 19);
            InsertAt(line, "\\cf4 ", 32);
            InsertAt(line, "\\cf2 ", 45);
        } else if (i == 7) {
            std::string left = Trim(line.substr(0, line.size() < 21 ? line.size() : 21));
            std::string right = Trim(line.size() > 21 ? line.substr(21) : std::string());
            line = Format("\\pard\\tx%d", font.DashesWidth * 15) + "\\cf3\\b " + left + "\\tab " +
                   right + "\\cf2\\b0";
        } else if (i == 8) {
            DeleteAt(line, 19, 3);
            InsertAt(line, "\\tab ", 19);
            line = "\\cf3 " + line + "\\cf2";
        } else if (i >= 9) {
            InsertAt(line, "\\cf4 ", 11);
            InsertAt(line, "\\cf2 ", 24);
            DeleteAt(line, 29, 3);
            InsertAt(line, "\\tab ", 29);
            InsertAt(line, "\\cf4 ", 44);
            InsertAt(line, "\\cf2 ", 96);
        }
    }
    return RtfDocument(JoinLines(lines), charset, font);
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond)
{
    double days = static_cast<double>(DaysFromCivil(year, month, day) - UnixDayOfDateZero);
    double time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / 86400000.0;
    // Before date zero the time of day counts away from zero too.
    return days < 0 ? days - time : days + time;
}

TDateParts DecodeDateTime(TDateTime value)
{
    TDateParts p;
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
        return p;
    // The whole days are the date and the fraction's size the time of day,
    // also before date zero (-1.25 is 29 December 1899, 06:00).
    long long ms = std::llround(std::fabs(value) * 86400000.0);
    long long day = ms / 86400000;
    long long msOfDay = ms % 86400000;
    if (value < 0)
        day = -day;
    long long z = day + UnixDayOfDateZero + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    p.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    p.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    p.Year = static_cast<int>(yoe + era * 400 + (p.Month <= 2));
    p.Hour = static_cast<int>(msOfDay / 3600000);
    p.Minute = static_cast<int>(msOfDay / 60000 % 60);
    p.Second = static_cast<int>(msOfDay / 1000 % 60);
    p.Millisecond = static_cast<int>(msOfDay % 1000);
    // 1899-12-30 was a Saturday.
    p.DayOfWeek = static_cast<int>(((day + 6) % 7 + 7) % 7);
    return p;
}

TDateTime DosDateTimeToDateTime(uint16_t dosDate, uint16_t dosTime)
{
    int year = 1980 + (dosDate >> 9), month = (dosDate >> 5) & 15, day = dosDate & 31;
    int hour = dosTime >> 11, minute = (dosTime >> 5) & 63, second = (dosTime & 31) * 2;
    static const int monthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || hour > 23 ||
        minute > 59 || second > 59)
        return 0;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap)
        return 0;
    return EncodeDateTime(year, month, day, hour, minute, second);
}

std::string ZoneText(int offsetMinutes)
{
    int magnitude = std::abs(offsetMinutes);
    return Format("%c%02d%02d", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

std::string LongDateText(TDateTime value, int zoneOffsetMinutes)
{
    TDateParts p = DecodeDateTime(value);
    const char* month = p.Month >= 1 && p.Month <= 12 ? MonthNames[p.Month - 1] : "";
    return Format("%s, %d %s %d %02d:%02d:%02d %s", DayNames[p.DayOfWeek], p.Day, month, p.Year,
                  p.Hour, p.Minute, p.Second, ZoneText(zoneOffsetMinutes).c_str());
}

std::string OperatingSystemName(uint32_t platform, uint32_t major, uint32_t minor,
                                const std::string& serviceText)
{
    std::string name = "Microsoft Windows ";
    if (platform == 1) { // the 9x family
        std::string service = Trim(serviceText);
        if (minor < 10)
            name += service == "B" ? "95 OSR 2" : "95";
        else if (minor < 90)
            name += service == "A" ? "98 SE" : "98";
        else if (minor == 90)
            name += "ME";
    } else if (platform == 2) { // the NT family
        if (major == 4) {
            name += "NT 4.0";
        } else if (major == 5) {
            static const char* const names[3] = {"2000", "XP", "2003"};
            if (minor <= 2)
                name += names[minor];
        } else if (major == 6) {
            static const char* const names[4] = {"Vista", "7", "8", "8.1"};
            name += minor <= 3 ? names[minor] : "Vista";
        } else if (major == 10 && minor == 0) {
            name += "10";
        }
    }
    return name;
}

std::string DropNtPathPrefix(const std::string& name)
{
    size_t question = name.find('?');
    if (question == std::string::npos)
        return name;
    size_t colon = name.find(':', question);
    return colon == std::string::npos || colon == 0 ? name : name.substr(colon - 1);
}

std::string SharedAreaName(uint32_t processId, uintptr_t moduleHandle, const std::string& prefix)
{
    return Format("%08X%08llX", processId, static_cast<unsigned long long>(moduleHandle)) + prefix;
}

} // namespace qov::exceptions
