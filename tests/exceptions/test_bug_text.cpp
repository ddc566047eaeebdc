// Texts of the library's warnings and internal errors.
#include <gtest/gtest.h>

#include <string>

#include "EBugText.h"

using namespace qov::exceptions;

TEST(BugText, WarningAndErrorLines)
{
    EXPECT_EQ(WarningLine(eeLogError, "0040A000", "[Log] Disk full"),
              "[WARNING] - Code: eeLogError - Address: 0040A000 - Message: \"[Log] Disk full\"");
    EXPECT_STREQ(LogErrorCodeName(eeNone), "eeNone");
    EXPECT_STREQ(LogErrorCodeName(eeEmailSMTPError), "eeEmailSMTPError");
    EXPECT_STREQ(LogErrorCodeName(eeWebFTPError), "eeWebFTPError");
    EXPECT_STREQ(LogErrorCodeName(static_cast<TZephraLogErrorCode>(9)), "");
    EXPECT_EQ(ErrorLine("12", "00000000", "General internal error."),
              "[ERROR] - Section: 12 - Address: 00000000 - Message: \"General internal error.\"");
}

TEST(BugText, DumpAndDate)
{
    const uint8_t bytes[] = {0x00, 0x8B, 0xFF};
    EXPECT_EQ(DumpText(bytes, 3), "$00 $8B $FF ");
    EXPECT_EQ(DumpText(bytes, 0), "");
    EXPECT_EQ(BugDateText(3, 9, 12, 2026, 13, 5, 7, 60), "Wed, 9 Dec 2026 13:05:07 +0100");
    EXPECT_EQ(BugDateText(0, 1, 1, 2027, 0, 0, 0, -300), "Sun, 1 Jan 2027 00:00:00 -0500");
    EXPECT_EQ(BugDateText(6, 31, 7, 2027, 23, 59, 59, 0), "Sat, 31 Jul 2027 23:59:59 +0000");
}

TEST(BugText, WholeTextAndStackLines)
{
    TBugTextValues v;
    v.Date = "D";
    v.System = "Windows 7";
    v.Dump = "$C3 ";
    v.Section = "7";
    v.Address = "00401000";
    v.Exception = "EJPEG";
    v.Message = "bad";
    v.CallStack = "S";
    EXPECT_EQ(BugText(v), "Version   : 5.1.10\r\nDate      : D\r\nOS        : Windows 7\r\n"
                          "RAD       : GCC (MinGW-w64)\r\nDump      : $C3 \r\nSection   : 7\r\n"
                          "LastExcept: \r\nAddress   : $00401000\r\nException : EJPEG\r\nMessage   : bad\r\n"
                          "Call Stack: S");

    TBugStackLine line;
    line.Index = 0x1A;
    line.Address = 0x401234;
    line.Module = 0x400000;
    line.FileName = "QovPlayer.exe";
    EXPECT_EQ(BugStackLine(line, 8), "1A $00401234 - [00400000] QovPlayer.exe \r\n");
    line.Unit = "UnitMain.cpp";
    line.Class = "TMain";
    line.Procedure = "Open";
    line.Line = 42;
    EXPECT_EQ(BugStackLine(line, 8), "1A $00401234 - [00400000] QovPlayer.exe  - UnitMain.cpp - TMain - Open - 42\r\n");
    line.Address = 0x00007FF612341000ull;
    line.Line = 0;
    EXPECT_EQ(BugStackLine(line, 16), "1A $00007ff612341000 - [0000000000400000] QovPlayer.exe \r\n");

    const std::string lines[] = {"a\r\n", "b\r\n", "c\r\n"};
    EXPECT_EQ(BugStackText(lines, 3), "a\r\n            b\r\n            c\r\n");
    EXPECT_EQ(BugStackText(lines, 0), "");
}
