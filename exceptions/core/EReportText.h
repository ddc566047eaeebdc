// The report text: the numbered general section, the call-stack and modules
// tables and the processor section, built from plain values so that the same
// code serves the library and its tests. All texts are ANSI byte strings with
// CR LF line breaks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "ECoreText.h"

namespace qov::exceptions {

// The first line of every report.
extern const char* const ReportFirstLine;

// Builder of numbered sections: "Title:", a rule, then one line per shown
// item ("  2.3 Name: value"), the values of a section aligned in one column.
class TLogItem {
public:
    // The first section written gets number firstSection + 1.
    explicit TLogItem(int firstSection) : FFirstSection(firstSection) { Clear(); }
    void Clear();
    void AddHeader(const std::string& title);
    // Item number current section.next item; a hidden item uses its number
    // up. A value of several lines is written with ": " as ":_", blank lines
    // as a lone full stop, and its further lines under the first.
    void AddItem(const std::string& name, const std::string& value, bool show);
    // The sections with their values aligned and their rules as wide as their
    // longest line; a section without a shown item is left out.
    std::string GetText() const;
    int CurrentSection() const { return FSection; }
    int CurrentItem() const { return FItem; }

private:
    struct TSection {
        bool Titled = false;
        std::string Title;
        std::vector<std::string> Lines;
    };
    std::vector<TSection> FSections;
    int FFirstSection;
    int FSection = 0;
    int FItem = 0;
};

// Item values 1.1 to 6.6 in item order.
using TReportValues = std::array<std::string, 33>;

// One entry of a captured call stack.
struct TReportStackEntry {
    uint8_t Kind = 0;
    // 1 for a thread that was running when the stacks were captured.
    uint8_t Tag = 0;
    uint32_t ThreadId = 0;
    uint64_t Address = 0;
    // The full file name of the entry's module (empty: none).
    std::string ModuleFile;
    std::string UnitName, ClassName, ProcedureName;
    uint32_t Line = 0;
    uint32_t LineOffset = 0;
};

// What the thread captions tell of a thread the library knows.
struct TReportThread {
    uint32_t ThreadId = 0;
    std::string Priority;
    std::string ClassName;
};

struct TReportModule {
    uint64_t Handle = 0;
    std::string FileName, Description, Version;
    uint64_t Size = 0;
    TDateTime Modified = 0;
};

// The registers of a machine: hex digits of a value (also of every address
// of the report) and the names shown, line by line, in context order.
struct TRegisterLayout {
    int Digits = 8;
    std::vector<std::vector<const char*>> Lines;
    size_t Count() const;
};
const TRegisterLayout& RegistersX86();
const TRegisterLayout& RegistersX64();

struct TCpuData {
    const TRegisterLayout* Layout = nullptr;
    // The register values in the layout's order; none when empty.
    std::vector<uint64_t> Registers;
    // The words above the stack position and the bytes at the exception
    // address; the dump is shown when both are complete.
    bool HasDump = false;
    uint64_t StackPosition = 0;
    std::vector<uint8_t> Stack;
    uint64_t MemoryAddress = 0;
    std::vector<uint8_t> Memory;
};

struct TReportInput {
    const TZephraModuleOptions* Options = nullptr;
    // Hex digits of an address (8 or 16); also the least width of the
    // Address and Handle columns.
    int AddressDigits = 8;
    TReportValues Values;
    // Web-server and console programs leave out the active-control items.
    bool HideActiveControls = false;
    // The call stack of every captured thread, or null when there is none.
    const std::vector<TReportStackEntry>* Stack = nullptr;
    std::vector<TReportThread> Threads;
    uint32_t MainThreadId = 0;
    std::vector<TReportModule> Modules;
    TCpuData Cpu;
    // Records each step of the build (the handling's progress marker).
    std::function<void(uint32_t)> Progress;
};

struct TReportTexts {
    std::string LeadText, GeneralSectionText, CpuSectionText, ReportText, SendText;
    std::string KeyAddress, KeyModule, KeyType, KeyMessage;
};

// Bit n of the general section's item mask.
bool SectionMaskBit(const TSectionMask& mask, int bit);
// Bit n set for each stack entry kind the report lists.
uint32_t ReportedKinds(uint8_t stackFlags);

// Upper-case hex with at least digits digits.
std::string HexText(uint64_t value, int digits);
// The folder of a file name without its closing backslash ("C:\" keeps it).
std::string FolderOf(const std::string& fileName);

std::string BuildGeneralSection(const TReportInput& input);
std::string BuildCallStackSection(const TReportInput& input);
std::string BuildModulesSection(const TReportInput& input);
std::string BuildCpuSection(const TReportInput& input);
// Every text of the report, in the order each depends on the other.
void BuildReportText(const TReportInput& input, TReportTexts& texts);

// Adds numbered section sectionBefore + 1 (title and one item holding value)
// after the general section and the sections inserted before it; nothing
// for an empty value. The send text becomes the new report.
void InsertReportSection(TReportTexts& texts, int sectionBefore, const std::string& title,
                         const std::string& value);

// The web page of a report with the button that leads back, unless the page
// holds that markup already (in any letter case).
extern const char* const HtmlOkButton;
std::string AppendOkButton(const std::string& page);

// Writes "|cell|cell|...|" CR LF at position into buffer, whose unwritten
// part holds blanks; the cells are cut to their widths. The buffer grows (by
// blanks) when the row does not fit. Position moves past the row.
void WriteTableRow(std::string& buffer, size_t& position, const std::string* cells, const size_t* widths,
                   size_t count);

} // namespace qov::exceptions
