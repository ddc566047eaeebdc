// Text utilities of the exception-reporting library: splitting, replacing,
// escapes, the report and CPU texts as RTF, dates and zones, system names.
#include <gtest/gtest.h>

#include "ECoreText.h"

using namespace qov::exceptions;

TEST(ECoreText, SplitKeepsInnerEmptyPartsAndDropsEmptyTail)
{
    std::vector<std::string> list;
    Split(",", ",a,,b,", list);
    EXPECT_EQ(list, (std::vector<std::string>{"a", "", "b"}));

    list.assign({"kept"});
    Split(";,", ";; x ; y,z  ", list);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "x", "y", "z"}));

    list.clear();
    Split(",", ",,,", list);
    EXPECT_TRUE(list.empty());
}

TEST(ECoreText, ReplaceAllDoesNotRescanInsertedText)
{
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("abab", "a", "aa"), "aabaab");
    EXPECT_EQ(ReplaceAll("Aa", "a", "x"), "Ax");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

TEST(ECoreText, SmallTextUtilities)
{
    EXPECT_EQ(PosFrom("b", "abcb", 1), 2u);
    EXPECT_EQ(PosFrom("b", "abcb", 3), 4u);
    EXPECT_EQ(PosFrom("b", "abcb", 5), 0u);
    EXPECT_EQ(PosFrom("B", "abcb", 1), 0u);
    EXPECT_EQ(Flatten("a\r\n\tb\x01"), "a b ");
    EXPECT_EQ(PadRight("ab", 4), "ab  ");
    EXPECT_EQ(PadRight("abcde", 4), "abcde");
    EXPECT_EQ(Trim(" \t x y \r\n"), "x y");
}

TEST(ECoreText, EscapesApplyInOrder)
{
    EXPECT_EQ(HtmlEscape("<a href=\"x\">Tom's & co</a>  \r\n"),
              "&lt;a href=&quot;x&quot;&gt;Tom&#039;s &amp; co&lt;/a&gt;&nbsp;&nbsp;<br>\r\n");
    EXPECT_EQ(RtfEscape("C:\\{x}\r\ny"), "C:\\\\\\{x\\}\\par\r\ny");
}

TEST(ECoreText, ReportRtfColoursHeadingsSeparatorsAndFields)
{
    TRtfFont font{"Courier New", 9, 140};
    std::string rtf = ReportToRtf("Title {1}\r\nGeneral:\r\n--------\r\nModule: C:\\a.dll\r\nplain\r\n",
                                  134, font);
    EXPECT_EQ(rtf,
              "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset134 "
              "Courier New;}}\r\n"
              "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;"
              "\\red0\\green0\\blue160;}\r\n"
              "\\f0\\fs18\r\n"
              "\\cf1\\b Title \\{1\\}\\par\\b0\r\n"
              "\\cf3\\b General:\\par\\b0\r\n"
              "\\cf3 --------\\par\r\n"
              "\\cf2 Module:\\cf4  C:\\\\a.dll\\par\r\n"
              "plain\\par\r\n"
              "}");
}

TEST(ECoreText, CpuRtfMarksRegisterValuesAndStackColumns)
{
    std::string cpu = "Registers:\r\n"
                      "----------\r\n"
                      "EAX: 0012FF8C   EDI: 0012FF90\r\n"
                      "EBX: 00000001   ESI: 00000002\r\n"
                      "ECX: 00000003   ESP: 00000004\r\n"
                      "EDX: 00000005   EIP: 00000006\r\n"
                      "\r\n"
                      "Stack:               Memory Dump:\r\n"
                      "------------------   ---------------------\r\n"
                      "0012FF8C: 00401000   00401000: 55 8B EC 83 C4 F0 53 56 57 00 01 02 03 04 05 06  "
                      "U.....SVW.......\r\n";
    std::vector<std::string> lines = SplitLines(CpuReportToRtf(cpu, 0, TRtfFont{"Fixedsys", 8, 100}));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[3], "\\cf3\\b Registers:\\par\\cf2\\b0");
    EXPECT_EQ(lines[4], "\\cf3 ----------\\par\\cf2");
    EXPECT_EQ(lines[5], "EAX: \\cf4 0012FF8C\\cf2    EDI: \\cf4 0012FF90\\cf2 \\par");
    EXPECT_EQ(lines[8], "EDX: \\cf4 00000005\\cf2    EIP: \\cf4 00000006\\cf2 \\par");
    EXPECT_EQ(lines[9], "\\par");
    EXPECT_EQ(lines[10], "\\pard\\tx1500\\cf3\\b Stack:\\tab Memory Dump:\\par\\cf2\\b0");
    EXPECT_EQ(lines[11], "\\cf3 ------------------\\tab ---------------------\\par\\cf2");
    EXPECT_EQ(lines[12], "0012FF8C: \\cf4 00401000\\cf2 \\tab 00401000: \\cf4 55 8B EC 83 C4 F0 53 56 57 00 01 "
                         "02 03 04 05 06\\cf2   U.....SVW.......\\par");
    EXPECT_EQ(lines[13], "}");
}

TEST(ECoreText, DateValuesAndDosForm)
{
    EXPECT_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0), 0.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1, 12, 0, 0), 36526.5);
    TDateParts p = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 58, 999));
    EXPECT_EQ(p.Year * 10000 + p.Month * 100 + p.Day, 20240229);
    EXPECT_EQ(p.Hour * 10000 + p.Minute * 100 + p.Second, 235958);
    EXPECT_EQ(p.Millisecond, 999);
    EXPECT_EQ(p.DayOfWeek, 4); // Thursday
    TDateParts before = DecodeDateTime(-1.25); // 29 December 1899, 06:00
    EXPECT_EQ(before.Day * 100 + before.Hour, 2906);
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0), -1.25);

    uint16_t date = static_cast<uint16_t>((2026 - 1980) << 9 | 12 << 5 | 9);
    uint16_t time = static_cast<uint16_t>(4 << 11 | 5 << 5 | 3);
    EXPECT_EQ(DosDateTimeToDateTime(date, time), EncodeDateTime(2026, 12, 9, 4, 5, 6));
    EXPECT_EQ(DosDateTimeToDateTime(static_cast<uint16_t>(45 << 9 | 2 << 5 | 29), 0), 0.0); // 2025-02-29
    EXPECT_EQ(DosDateTimeToDateTime(0, 0), 0.0);
}

TEST(ECoreText, ZonesKeepTheirMinutes)
{
    EXPECT_EQ(ZoneText(8 * 60), "+0800");
    EXPECT_EQ(ZoneText(-5 * 60), "-0500");
    EXPECT_EQ(ZoneText(10 * 60), "+1000");
    EXPECT_EQ(ZoneText(0), "+0000");
    EXPECT_EQ(ZoneText(330), "+0530");
    EXPECT_EQ(ZoneText(345), "+0545");
    EXPECT_EQ(ZoneText(-570), "-0930");
    EXPECT_EQ(LongDateText(EncodeDateTime(2026, 12, 9, 4, 5, 6), 570), "Wed, 9 Dec 2026 04:05:06 +0930");
    EXPECT_EQ(LongDateText(EncodeDateTime(2027, 1, 31, 23, 0, 0), -60), "Sun, 31 Jan 2027 23:00:00 -0100");
}

TEST(ECoreText, OperatingSystemNames)
{
    struct {
        uint32_t Platform, Major, Minor;
        const char* Service;
        const char* Name;
    } cases[] = {
        {1, 4, 0, " B ", "95 OSR 2"}, {1, 4, 0, "", "95"}, {1, 4, 10, "A", "98 SE"},
        {1, 4, 10, "", "98"},         {1, 4, 90, "", "ME"}, {1, 4, 95, "", ""},
        {2, 4, 0, "", "NT 4.0"},      {2, 5, 0, "", "2000"}, {2, 5, 1, "", "XP"},
        {2, 5, 2, "", "2003"},        {2, 6, 0, "", "Vista"}, {2, 6, 1, "", "7"},
        {2, 6, 2, "", "8"},           {2, 6, 3, "", "8.1"}, {2, 10, 0, "", "10"},
        {2, 11, 0, "", ""},           {2, 3, 51, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OperatingSystemName(c.Platform, c.Major, c.Minor, c.Service),
                  std::string("Microsoft Windows ") + c.Name)
            << c.Platform << " " << c.Major << "." << c.Minor;
}

TEST(ECoreText, ModuleNamesAndAreaNames)
{
    EXPECT_EQ(DropNtPathPrefix("\\??\\C:\\x\\y.dll"), "C:\\x\\y.dll");
    EXPECT_EQ(DropNtPathPrefix("C:\\x\\y.dll"), "C:\\x\\y.dll");
    EXPECT_EQ(DropNtPathPrefix("\\\\?\\UNC\\server\\y.dll"), "\\\\?\\UNC\\server\\y.dll");
    EXPECT_EQ(SharedAreaName(0x1A2B, 0x10000000, "MODULE"), "00001A2B10000000MODULE");
}
