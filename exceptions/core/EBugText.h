// Texts of the library's own warnings and internal errors: the debugger
// output lines, the bug text saved to the bug log, and the call-stack lines
// in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qov::exceptions {

// Warning codes of the library.
enum TZephraLogErrorCode : uint8_t {
    eeNone = 0, eeShowError, eeLogError, eeEmailMAPIError, eeEmailShellError,
    eeEmailSMTPError, eeWebHTTPError, eeWebHTTPSError, eeWebFTPError,
};
// The code's enumeration name ("eeLogError"); "" for an unknown code.
const char* LogErrorCodeName(TZephraLogErrorCode code);

// The library's version, as the bug text and the bug mail name it.
extern const char* const LibraryVersionText;

// "[WARNING] - Code: ... - Address: ... - Message: \"...\"".
std::string WarningLine(TZephraLogErrorCode code, const std::string& address, const std::string& text);
// "[ERROR] - Section: ... - Address: ... - Message: \"...\"".
std::string ErrorLine(const std::string& section, const std::string& address, const std::string& message);

// Each byte as "$" and two hexadecimal digits and a blank.
std::string DumpText(const uint8_t* bytes, size_t count);

// "Tue, 9 Dec 2026 13:05:07 +0100": dayOfWeek 0 = Sunday, month 1 to 12,
// biasMinutes the local time minus UTC (whole hours shown, then "00").
std::string BugDateText(int dayOfWeek, int day, int month, int year, int hour, int minute, int second,
                        int biasMinutes);

struct TBugTextValues {
    std::string Date, System, Dump, Section, LastExcept, Address, Exception, Message, CallStack;
};
// The bug text with the library's version and the build tool.
std::string BugText(const TBugTextValues& values);

// One call-stack line of the bug text: index, address and module handle in
// hexadecimal (addressDigits digits for the last two), the module's file
// name, and " - unit - class - procedure - line" when there is a line.
struct TBugStackLine {
    size_t Index = 0;
    uint64_t Address = 0, Module = 0;
    std::string FileName, Unit, Class, Procedure;
    int Line = 0;
};
std::string BugStackLine(const TBugStackLine& line, int addressDigits);
// Lines joined, every line after the first behind 12 blanks.
std::string BugStackText(const std::string* lines, size_t count);

} // namespace qov::exceptions
