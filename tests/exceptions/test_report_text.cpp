// The report text: numbered sections and their alignment, the general
// section's item mask, the call-stack, modules and processor sections, the
// whole report and the sections inserted after the general one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "ECoreText.h"
#include "EReportText.h"

using namespace qov::exceptions;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
        lines.push_back(text.substr(start, p - start));
    if (start < text.size())
        lines.push_back(text.substr(start) + "<no line break>");
    return lines;
}

TSectionMask AllItems()
{
    return {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}

void ClearBits(TSectionMask& mask, std::initializer_list<int> bits)
{
    for (int bit : bits)
        mask[static_cast<size_t>(bit / 8)] &= static_cast<uint8_t>(~(1u << (bit % 8)));
}

struct TFixture {
    TZephraModuleOptions Options{"", false};
    TReportInput Input;
    std::vector<TReportStackEntry> Stack;
    TFixture()
    {
        Input.Options = &Options;
        for (size_t i = 0; i < Input.Values.size(); ++i)
            Input.Values[i] = "v" + std::to_string(i);
    }
};

TReportStackEntry Entry(uint32_t thread, uint8_t tag, uint64_t address, const std::string& procedure,
                        uint32_t line = 0, uint8_t kind = 4)
{
    TReportStackEntry e;
    e.Kind = kind;
    e.Tag = tag;
    e.ThreadId = thread;
    e.Address = address;
    e.ModuleFile = "C:\\Program Files\\App\\App.exe";
    e.UnitName = "Main.cpp";
    e.ClassName = "TForm";
    e.ProcedureName = procedure;
    e.Line = line;
    e.LineOffset = 3;
    return e;
}

} // namespace

// Numbered sections ------------------------------------------------------------------

TEST(LogItem, OneLineValueStaysAndSeveralLinesAreRewrittenUnderTheValueColumn)
{
    TLogItem log(0);
    log.AddHeader("Values");
    log.AddItem("One", "a: b", true);
    log.AddItem("Several", "a: b\r\n\r\nc", true);
    EXPECT_EQ(log.GetText(), "Values:\r\n"
                             "-------------------\r\n"
                             "  1.1 One    : a: b\r\n"
                             "  1.2 Several: a:_b\r\n"
                             "               .\r\n"
                             "               c\r\n");
}

TEST(LogItem, BlankLinesLoneBreaksAndTrailingBreakKeepTheSectionWhole)
{
    TLogItem log(0);
    log.AddHeader("S");
    log.AddItem("N", "x\n   \ry\r\n", true);
    log.AddHeader("T");
    log.AddItem("M", "z", true);
    EXPECT_EQ(log.GetText(), "S:\r\n"
                             "----------\r\n"
                             "  1.1 N: x\r\n"
                             "         .\r\n"
                             "         y\r\n"
                             "\r\n"
                             "T:\r\n"
                             "----------\r\n"
                             "  2.1 M: z\r\n");
}

TEST(LogItem, RuleFollowsTheLongestLineOrTheTitle)
{
    TLogItem log(0);
    log.AddHeader("A title longer than its only item");
    log.AddItem("X", "1", true);
    log.AddHeader("B");
    log.AddItem("Short", "1", true);
    log.AddItem("Much longer name", "a value that is long", true);
    const auto lines = Lines(log.GetText());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[1], std::string(34, '-'));
    EXPECT_EQ(lines[5], std::string(lines[7].size(), '-'));
    EXPECT_EQ(lines[6], "  2.1 Short           : 1");
    EXPECT_EQ(lines[7], "  2.2 Much longer name: a value that is long");
}

TEST(LogItem, HiddenItemsKeepTheirNumbersAndEmptySectionsGo)
{
    TLogItem log(3);
    log.AddHeader("First");
    log.AddItem("a", "1", false);
    log.AddItem("b", "2", true);
    log.AddHeader("Empty");
    log.AddItem("c", "3", false);
    log.AddHeader("Last");
    log.AddItem("d", "4", true);
    EXPECT_EQ(log.GetText(), "First:\r\n"
                             "----------\r\n"
                             "  4.2 b: 2\r\n"
                             "\r\n"
                             "Last:\r\n"
                             "----------\r\n"
                             "  6.1 d: 4\r\n");
    TLogItem none(0);
    none.AddHeader("Nothing");
    none.AddItem("x", "y", false);
    EXPECT_EQ(none.GetText(), "");
    none.Clear();
    none.AddHeader("Again");
    EXPECT_EQ(none.CurrentSection(), 1);
}

// General section --------------------------------------------------------------------

TEST(GeneralSection, TheStartOfAReportWithHiddenItemsComesOutExactly)
{
    TFixture f;
    TSectionMask mask{};
    for (int bit : {0, 1, 2, 6, 9})
        mask[static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
    f.Options.SetSectionMask(mask);
    f.Input.Values[0] = "Mon, 7 Dec 2026 10:15:02 +0100";
    f.Input.Values[1] = "App.exe";
    f.Input.Values[2] = "5.0.0.26";
    f.Input.Values[6] = "004B1C2F";
    f.Input.Values[9] = "First line\r\nsecond: line";
    EXPECT_EQ(BuildGeneralSection(f.Input), "ZephraLog 5.1.10\r\n"
                                            "\r\n"
                                            "Application:\r\n"
                                            "------------------------------------------------------\r\n"
                                            "  1.1 Start Date      : Mon, 7 Dec 2026 10:15:02 +0100\r\n"
                                            "  1.2 Name/Description: App.exe\r\n"
                                            "  1.3 Version Number  : 5.0.0.26\r\n"
                                            "\r\n"
                                            "Exception:\r\n"
                                            "---------------------------\r\n"
                                            "  2.2 Address: 004B1C2F\r\n"
                                            "  2.5 Message: First line\r\n"
                                            "               second:_line\r\n");
}

TEST(GeneralSection, MaskBitsHideItemsAndWholeSections)
{
    TFixture f;
    TSectionMask mask = AllItems();
    ClearBits(mask, {1, 10, 11, 12, 13});
    f.Options.SetSectionMask(mask);
    const std::string text = BuildGeneralSection(f.Input);
    EXPECT_NE(text.find("  1.1 Start Date      : v0\r\n  1.3 Version Number  : v2\r\n"
                        "  1.4 Parameters      : v3\r\n  1.5 Compilation Date: v4\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Active Controls"), std::string::npos);
    EXPECT_EQ(text.find("  3."), std::string::npos);
    EXPECT_NE(text.find("Computer:\r\n"), std::string::npos);
    EXPECT_NE(text.find("  4.1 Name          : v14\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  6.6 DHCP      : v32\r\n"), std::string::npos) << text;

    // Every item shown, but a console or web-server program has no active controls.
    f.Options.SetSectionMask(AllItems());
    f.Input.HideActiveControls = true;
    const std::string console = BuildGeneralSection(f.Input);
    EXPECT_EQ(console.find("Active Controls"), std::string::npos);
    EXPECT_NE(console.find("  4.9 Display Mode  : v22\r\n"), std::string::npos) << console;
}

TEST(GeneralSection, EveryItemHiddenLeavesTheFirstLineAndAnEmptyLine)
{
    TFixture f;
    // Bits 33 to 39 are not items.
    f.Options.SetSectionMask({0, 0, 0, 0, 0xFE});
    EXPECT_EQ(BuildGeneralSection(f.Input), "ZephraLog 5.1.10\r\n\r\n");
}

TEST(GeneralSection, ProgressMarkersRiseThroughTheBuild)
{
    TFixture f;
    std::vector<uint32_t> marks;
    f.Input.Progress = [&](uint32_t step) { marks.push_back(step); };
    TReportTexts texts;
    BuildReportText(f.Input, texts);
    ASSERT_GE(marks.size(), 10u);
    EXPECT_EQ(marks[0], 7021u);
    EXPECT_EQ(marks[1], 7022u);
    EXPECT_EQ(marks[2], 702200u);
    EXPECT_EQ(marks[4], 7022000u);
    EXPECT_EQ(marks.back(), 7040u);
    auto at = [&](uint32_t v) { return std::find(marks.begin(), marks.end(), v) - marks.begin(); };
    EXPECT_LT(at(7022000), at(7022091));
    EXPECT_LT(at(7022091), at(702232));
    EXPECT_EQ(at(702232) + 1, at(702233));
    EXPECT_LT(at(702233), at(7027));
    for (auto v : {702231u, 7028u, 7031u, 7039u})
        EXPECT_LT(at(v), static_cast<long>(marks.size())) << v;
}

// Call-stack section -----------------------------------------------------------------

TEST(CallStack, OneThreadOfThreeEntries)
{
    TFixture f;
    f.Stack = {Entry(20, 0, 0x401000, "Run", 12), Entry(20, 0, 0x402000, "Step"), Entry(20, 0, 0x403000, "Go", 7)};
    f.Input.Stack = &f.Stack;
    f.Input.Threads = {{20, "0", "TWorker"}};
    f.Input.MainThreadId = 10;
    const std::string text = BuildCallStackSection(f.Input);
    // Widths 8, 7, 8, 5, 16 and 4: S = 48; a row is S + 7 characters and its line break.
    const std::string divider(55, '-');
    const std::string frame = "|" + std::string(53, '-') + "|";
    const std::string caption = " Exception Thread: ID=20; Priority=0; Class=TWorker";
    EXPECT_EQ(text, "Call Stack Information:\r\n" + divider + "\r\n" +
                        "|Address |Module |Unit    |Class|Procedure/Method|Line|\r\n" + divider + "\r\n" + "|" +
                        caption + std::string(53 - caption.size(), ' ') + "|\r\n" + frame + "\r\n" +
                        "|00401000|App.exe|Main.cpp|TForm|Run             |12  |\r\n"
                        "|00402000|App.exe|Main.cpp|TForm|Step            |    |\r\n"
                        "|00403000|App.exe|Main.cpp|TForm|Go              |7   |\r\n" +
                        divider + "\r\n\r\n");
}

TEST(CallStack, LineOffsetsKindsAndSixteenDigitAddresses)
{
    TFixture f;
    f.Options.SetStackFlags(0x10 | 0x01);
    f.Stack = {Entry(5, 0, 0x1234, "A", 12), Entry(5, 0, 0x1, "B", 0), Entry(5, 0, 0x2, "Plain", 0, 2),
               Entry(5, 0, 0x3, "Qualified", 0, 3), Entry(5, 0, 0x4, "Repeat", 0, 0),
               Entry(5, 0, 0x5, "Module", 0, 1), Entry(5, 0, 0x6, "Odd", 0, 200)};
    f.Input.Stack = &f.Stack;
    f.Input.AddressDigits = 16;
    const auto lines = Lines(BuildCallStackSection(f.Input));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[2].substr(0, 19), "|Address         |M");
    EXPECT_EQ(lines[6].substr(0, 18), "|0000000000001234|");
    EXPECT_EQ(lines[6].substr(lines[6].size() - 7), "|12[3]|");
    EXPECT_EQ(lines[7].substr(lines[7].size() - 7), "|     |");
    EXPECT_NE(lines[8].find("|Plain"), std::string::npos);
    for (const auto& line : lines)
        EXPECT_EQ(line.find("Qualified"), std::string::npos);
    // Every row, framed line and divider of the table is as long as the header.
    for (size_t i = 1; i < 10; ++i)
        EXPECT_EQ(lines[i].size(), lines[2].size()) << i;
}

TEST(CallStack, GroupsCaptionsAndFraming)
{
    TFixture f;
    f.Stack = {Entry(7, 0, 1, "Raise"), Entry(7, 0, 2, "Caller"), Entry(1, 1, 3, "MainLoop"),
               Entry(9, 0, 4, "Calling"), Entry(7, 1, 5, "Again")};
    f.Input.Stack = &f.Stack;
    f.Input.MainThreadId = 1;
    f.Input.Threads = {{1, "0", ""}, {7, "2", "TOld"}, {7, "-1", "TReader"}};
    const auto lines = Lines(BuildCallStackSection(f.Input));
    std::vector<std::string> cells;
    for (const auto& line : lines)
        cells.push_back(line.size() > 2 ? line.substr(1, line.size() - 2) : line);
    auto trimmed = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(trimmed(cells[4]), " Exception Thread: ID=7; Priority=-1; Class=TReader");
    EXPECT_EQ(cells[5].find_first_not_of('-'), std::string::npos);
    EXPECT_EQ(cells[8].find_first_not_of('-'), std::string::npos);
    EXPECT_EQ(trimmed(cells[9]), "");
    EXPECT_EQ(trimmed(cells[10]), " Running Thread: ID=1; Priority=0; Class=; [Main]");
    EXPECT_EQ(cells[13].find_first_not_of('-'), std::string::npos);
    EXPECT_EQ(trimmed(cells[14]), " Calling Thread: ID=9; Priority=??; Class=");
    EXPECT_EQ(cells[17].find_first_not_of('-'), std::string::npos);
    EXPECT_EQ(trimmed(cells[18]), "");
    EXPECT_EQ(trimmed(cells[19]), " Running Thread: ID=7; Priority=-1; Class=TReader");
    EXPECT_EQ(lines[21].substr(0, 10), "|00000005|");
    EXPECT_EQ(lines[22], std::string(lines[2].size(), '-'));
    EXPECT_EQ(lines[23], "");
}

TEST(CallStack, LongCaptionIsCutAndManyShortGroupsOutgrowTheTableSize)
{
    TFixture f;
    for (uint32_t t = 0; t < 200; ++t)
        f.Stack.push_back(Entry(100 + t, static_cast<uint8_t>(t & 1), t, "P"));
    f.Input.Stack = &f.Stack;
    f.Input.Threads = {{100, "0", std::string(255, 'C')}};
    const std::string text = BuildCallStackSection(f.Input);
    const auto lines = Lines(text);
    const size_t width = lines[2].size();
    // Per group: up to four framing lines and the entry's row.
    ASSERT_EQ(lines.size(), 4 + 200 * 3 + 199 + 100 + 2u);
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        ASSERT_EQ(lines[i].size(), width) << i << ": " << lines[i];
    EXPECT_EQ(lines[4].substr(lines[4].size() - 3), "CC|");
}

TEST(CallStack, NoStackOrNothingListedGivesTheHeaderAndTwoDividers)
{
    TFixture f;
    const std::string empty = BuildCallStackSection(f.Input);
    f.Stack = {Entry(1, 0, 1, "Repeat", 0, 0), Entry(1, 0, 2, "Module", 0, 1)};
    f.Input.Stack = &f.Stack;
    EXPECT_EQ(BuildCallStackSection(f.Input), empty);
    const auto lines = Lines(empty);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], lines[1]);
    EXPECT_EQ(lines[5], "");
}

// Modules and processor sections ---------------------------------------------------

TEST(ModulesSection, TableOfModulesAndTitleBlocksWhenOff)
{
    TFixture f;
    f.Options.SetLogFlags(0x00);
    EXPECT_EQ(BuildModulesSection(f.Input), "Modules Information:\r\n" + std::string(20, '-') + "\r\n\r\n");
    EXPECT_EQ(BuildCpuSection(f.Input), "Registers:\r\n" + std::string(10, '-') + "\r\n\r\n");

    f.Options.SetLogFlags(0x10);
    TReportModule app{0x400000, "C:\\App.exe", "The program", "1.2.3.4", 123456,
                      EncodeDateTime(2026, 3, 4, 5, 6, 7, 0)};
    TReportModule dll{0x7C800000, "C:\\Windows\\System32\\kernel32.dll", "", "", 9, 0};
    f.Input.Modules = {app, dll};
    auto lines = Lines(BuildModulesSection(f.Input));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "Modules Information:");
    EXPECT_EQ(lines[2], "|Handle  |Name        |Description|Version|Size  |Modified           |Path               |");
    EXPECT_EQ(lines[4], "|00400000|App.exe     |The program|1.2.3.4|123456|2026-03-04 05:06:07|C:\\                |");
    EXPECT_EQ(lines[5], "|7C800000|kernel32.dll|           |       |9     |1899-12-30 00:00:00|C:\\Windows\\System32|");
    EXPECT_EQ(lines[6], std::string(lines[2].size(), '-'));
    EXPECT_EQ(lines[7], "");

    f.Input.AddressDigits = 16;
    lines = Lines(BuildModulesSection(f.Input));
    EXPECT_EQ(lines[4].substr(0, 18), "|0000000000400000|");
}

TEST(CpuSection, RegistersUnknownOrFromTheContextAndTheDump)
{
    TFixture f;
    f.Options.SetLogFlags(0x20);
    f.Input.Cpu.Layout = &RegistersX86();
    EXPECT_EQ(BuildCpuSection(f.Input), "Registers:\r\n"
                                        "-----------------------------\r\n"
                                        "EAX: ????       EDI: ????    \r\n"
                                        "EBX: ????       ESI: ????    \r\n"
                                        "ECX: ????       ESP: ????    \r\n"
                                        "EDX: ????       EIP: ????    \r\n"
                                        "\r\n"
                                        "Stack:               Memory Dump:\r\n"
                                        "------------------   "
                                        "---------------------------------------------------------------------------\r\n");

    f.Input.Cpu.Registers = {0xA, 0xD1, 0xB, 0x51, 0xC, 0x12FF00, 0xD, 0x401000};
    f.Input.Cpu.HasDump = true;
    f.Input.Cpu.StackPosition = 0x12FF00;
    f.Input.Cpu.MemoryAddress = 0x401000;
    for (int i = 0; i < 64; ++i)
        f.Input.Cpu.Stack.push_back(static_cast<uint8_t>(i));
    for (int i = 0; i < 256; ++i)
        f.Input.Cpu.Memory.push_back(static_cast<uint8_t>(i));
    auto lines = Lines(BuildCpuSection(f.Input));
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[2], "EAX: 0000000A   EDI: 000000D1");
    EXPECT_EQ(lines[5], "EDX: 0000000D   EIP: 00401000");
    EXPECT_EQ(lines[9], "0012FF00: 03020100   00401000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  "
                        "................");
    EXPECT_EQ(lines[12], "0012FF0C: 0F0E0D0C   00401030: 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F  "
                         "0123456789:;<=>?");
    EXPECT_EQ(lines[24].substr(lines[24].size() - 17), " ................");
    EXPECT_EQ(lines[16].substr(lines[16].size() - 16), "pqrstuvwxyz{|}~.");

    // A dump whose memory is not complete is left out.
    f.Input.Cpu.Memory.resize(255);
    EXPECT_EQ(Lines(BuildCpuSection(f.Input)).size(), 9u);
}

TEST(CpuSection, SixtyFourBitRegistersAndWords)
{
    TFixture f;
    f.Options.SetLogFlags(0x20);
    f.Input.Cpu.Layout = &RegistersX64();
    auto lines = Lines(BuildCpuSection(f.Input));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[1], std::string(45, '-'));
    EXPECT_EQ(lines[2], "RAX: ????               RDI: ????            ");
    EXPECT_EQ(lines[10], "R15: ????            ");
    EXPECT_EQ(lines[12], "Stack:                               Memory Dump:");
    EXPECT_EQ(lines[13], std::string(34, '-') + "   " + std::string(83, '-'));

    f.Input.Cpu.Registers.assign(17, 0);
    f.Input.Cpu.Registers[3] = 0x1122334455667788ull;
    f.Input.Cpu.HasDump = true;
    f.Input.Cpu.StackPosition = 0x22FE00;
    f.Input.Cpu.MemoryAddress = 0x140001000;
    f.Input.Cpu.Stack.assign(128, 0);
    f.Input.Cpu.Stack[8] = 0x88;
    f.Input.Cpu.Stack[15] = 0x11;
    f.Input.Cpu.Memory.assign(256, 'A');
    lines = Lines(BuildCpuSection(f.Input));
    ASSERT_EQ(lines.size(), 30u);
    EXPECT_EQ(lines[3], "RBX: 0000000000000000   RSI: 1122334455667788");
    EXPECT_EQ(lines[6], "RBP: 0000000000000000   R8 : 0000000000000000");
    EXPECT_EQ(lines[15].substr(0, 57), "000000000022FE08: 1100000000000088   0000000140001010: 41");
    EXPECT_EQ(lines[15].size(), 34 + 3 + 83u);
}

// The whole report and inserted sections ---------------------------------------------

TEST(ReportText, AssemblyOrderKeysAndLead)
{
    TFixture f;
    f.Options.SetLogFlags(0x30);
    f.Stack = {Entry(2, 0, 0x401000, "Run", 3)};
    f.Input.Stack = &f.Stack;
    TReportTexts texts;
    BuildReportText(f.Input, texts);
    EXPECT_EQ(texts.ReportText.substr(0, 18), "ZephraLog 5.1.10\r\n");
    EXPECT_EQ(texts.LeadText, f.Options.GetCustomText(3) + "\r\n\r\n");
    EXPECT_EQ(texts.ReportText, texts.GeneralSectionText + "\r\n" + BuildCallStackSection(f.Input) +
                                    BuildModulesSection(f.Input) + texts.CpuSectionText);
    EXPECT_EQ(texts.SendText, texts.ReportText);
    EXPECT_EQ(texts.CpuSectionText, BuildCpuSection(f.Input));
    EXPECT_EQ(texts.KeyAddress, "v6");
    EXPECT_EQ(texts.KeyModule, "v7");
    EXPECT_EQ(texts.KeyType, "v8");
    EXPECT_EQ(texts.KeyMessage, "v9");
    // The keys do not depend on the items shown.
    f.Options.SetSectionMask({0, 0, 0, 0, 0});
    BuildReportText(f.Input, texts);
    EXPECT_EQ(texts.KeyMessage, "v9");
    EXPECT_EQ(texts.ReportText.substr(0, 38), "ZephraLog 5.1.10\r\n\r\n\r\nCall Stack Infor");
}

TEST(ReportText, InsertedSectionsFollowTheGeneralSectionInOrder)
{
    TFixture f;
    f.Options.SetSectionMask({0x01, 0, 0, 0, 0});
    TReportTexts texts;
    BuildReportText(f.Input, texts);
    const std::string before = texts.ReportText;
    InsertReportSection(texts, 6, "Other Information", "");
    EXPECT_EQ(texts.ReportText, before);

    InsertReportSection(texts, 6, "Other Information", "key: value\r\nsecond");
    InsertReportSection(texts, 7, "Request", "Clicked twice");
    const std::string expected = "ZephraLog 5.1.10\r\n"
                                 "\r\n"
                                 "Application:\r\n"
                                 "--------------------\r\n"
                                 "  1.1 Start Date: v0\r\n"
                                 "\r\n"
                                 "Other Information:\r\n"
                                 "------------------\r\n"
                                 "  7.1 : key:_value\r\n"
                                 "        second\r\n"
                                 "\r\n"
                                 "Request:\r\n"
                                 "---------------------\r\n"
                                 "  8.1 : Clicked twice\r\n"
                                 "\r\n"
                                 "Call Stack Information:\r\n";
    EXPECT_EQ(texts.ReportText.substr(0, expected.size()), expected);
    EXPECT_EQ(texts.GeneralSectionText, expected.substr(0, expected.size() - 27));
    EXPECT_EQ(texts.SendText, texts.ReportText);
    EXPECT_EQ(texts.ReportText.substr(expected.size() - 25), before.substr(before.find("Call Stack")));
}

TEST(ReportText, TableRowsWrittenInPlaceGrowTheirBuffer)
{
    std::string buffer(4, ' ');
    size_t position = 0;
    const std::string cells[2] = {"abc", "toolong"};
    const size_t widths[2] = {5, 4};
    WriteTableRow(buffer, position, cells, widths, 2);
    WriteTableRow(buffer, position, cells, widths, 2);
    buffer.resize(position);
    EXPECT_EQ(buffer, "|abc  |tool|\r\n|abc  |tool|\r\n");
    EXPECT_EQ(FolderOf("C:\\a.exe"), "C:\\");
    EXPECT_EQ(FolderOf("C:\\W\\b.dll"), "C:\\W");
    EXPECT_EQ(FolderOf("b.dll"), "");
}

TEST(ReportText, WebPageGetsTheBackButtonOnce)
{
    const std::string page = AppendOkButton("<html>report</html>");
    EXPECT_EQ(page, std::string("<html>report</html>") + HtmlOkButton);
    EXPECT_EQ(AppendOkButton(page), page);
    std::string upper = HtmlOkButton;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(AppendOkButton("x" + upper), "x" + upper);
}
