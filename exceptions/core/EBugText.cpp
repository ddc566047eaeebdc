#include "EBugText.h"

#include "SysUtils.h"

namespace qov::exceptions {

const char* const LibraryVersionText = "5.1.10";

namespace {

const char* const CodeNames[] = {
    "eeNone", "eeShowError", "eeLogError", "eeEmailMAPIError", "eeEmailShellError",
    "eeEmailSMTPError", "eeWebHTTPError", "eeWebHTTPSError", "eeWebFTPError",
};
const char* const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const BuildToolText = "GCC (MinGW-w64)";

} // namespace

const char* LogErrorCodeName(TZephraLogErrorCode code)
{
    return code <= eeWebFTPError ? CodeNames[code] : "";
}

std::string WarningLine(TZephraLogErrorCode code, const std::string& address, const std::string& text)
{
    return Format("[WARNING] - Code: %s - Address: %s - Message: \"%s\"", LogErrorCodeName(code), address.c_str(),
                  text.c_str());
}

std::string ErrorLine(const std::string& section, const std::string& address, const std::string& message)
{
    return Format("[ERROR] - Section: %s - Address: %s - Message: \"%s\"", section.c_str(), address.c_str(),
                  message.c_str());
}

std::string DumpText(const uint8_t* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += Format("$%02X ", bytes[i]);
    return text;
}

std::string BugDateText(int dayOfWeek, int day, int month, int year, int hour, int minute, int second,
                        int biasMinutes)
{
    const int hours = (biasMinutes < 0 ? -biasMinutes : biasMinutes) / 60;
    const std::string zone = Format("%s%02d00", biasMinutes < 0 ? "-" : "+", hours);
    return Format("%s, %d %s %d %02d:%02d:%02d %s", DayNames[((dayOfWeek % 7) + 7) % 7], day,
                  month >= 1 && month <= 12 ? MonthNames[month - 1] : "", year, hour, minute, second, zone.c_str());
}

std::string BugText(const TBugTextValues& v)
{
    return Format("Version   : %s\r\nDate      : %s\r\nOS        : %s\r\nRAD       : %s\r\nDump      : %s\r\n"
                  "Section   : %s\r\nLastExcept: %s\r\nAddress   : $%s\r\nException : %s\r\nMessage   : %s\r\n"
                  "Call Stack: %s",
                  LibraryVersionText, v.Date.c_str(), v.System.c_str(), BuildToolText, v.Dump.c_str(),
                  v.Section.c_str(), v.LastExcept.c_str(), v.Address.c_str(), v.Exception.c_str(),
                  v.Message.c_str(), v.CallStack.c_str());
}

std::string BugStackLine(const TBugStackLine& line, int addressDigits)
{
    std::string where;
    if (line.Line > 0)
        where = Format(" - %s - %s - %s - %d", line.Unit.c_str(), line.Class.c_str(), line.Procedure.c_str(),
                       line.Line);
    return Format("%02X $%0*llx - [%0*llx] %s %s\r\n", static_cast<unsigned>(line.Index & 0xFF), addressDigits,
                  static_cast<unsigned long long>(line.Address), addressDigits,
                  static_cast<unsigned long long>(line.Module), line.FileName.c_str(), where.c_str());
}

std::string BugStackText(const std::string* lines, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += (i ? std::string(12, ' ') : std::string()) + lines[i];
    return text;
}

} // namespace qov::exceptions
