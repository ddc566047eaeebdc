// Report building from arbitrary values: item values with any line breaks,
// custom texts (captions up to 255 characters and empty ones), stacks of any
// kinds, tags and threads, modules, either register set, a dump or none. The
// report is the general section, an empty line, the tables and the processor
// section; every row of a table is as wide as its header; two inserted
// sections land after the general section and leave the rest untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "EReportText.h"

using namespace qov::exceptions;

namespace {

class TReader {
public:
    TReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
    uint32_t Word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | Byte();
        return v;
    }
    // A text of up to max bytes (its length from one byte).
    std::string Text(size_t max = 255)
    {
        size_t n = Byte();
        if (n > max)
            n = max;
        std::string s;
        for (size_t i = 0; i < n && FPos < FSize; ++i)
            s += static_cast<char>(FData[FPos++]);
        return s;
    }
    bool More() const { return FPos < FSize; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

bool HasBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != std::string::npos;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TReader in(data, size);
    TZephraModuleOptions options("", false);
    options.SetSectionMask({in.Byte(), in.Byte(), in.Byte(), in.Byte(), in.Byte()});
    options.SetLogFlags(in.Byte());
    options.SetStackFlags(in.Byte());
    const uint8_t shape = in.Byte();
    // Some texts of the tables changed (a table's texts with breaks are left
    // alone: its rows are then checked by their widths).
    const int textCount = in.Byte() % 8;
    for (int i = 0; i < textCount; ++i)
        options.SetCustomText(in.Byte() % 96, in.Text());

    TReportInput input;
    input.Options = &options;
    input.AddressDigits = (shape & 1) ? 16 : 8;
    input.HideActiveControls = shape & 2;
    for (auto& value : input.Values)
        value = in.Text(40);
    std::vector<TReportStackEntry> stack;
    const size_t entries = in.Byte() % 64;
    for (size_t i = 0; i < entries; ++i) {
        TReportStackEntry e;
        e.Kind = in.Byte() % 10;
        e.Tag = in.Byte() % 3;
        e.ThreadId = in.Byte() % 4;
        e.Address = static_cast<uint64_t>(in.Word()) << (shape & 4 ? 32 : 0) | in.Word();
        e.ModuleFile = in.Text(30);
        e.UnitName = in.Text(20);
        e.ProcedureName = in.Text(20);
        e.Line = in.Byte() % 3 ? in.Word() : 0;
        e.LineOffset = in.Word();
        stack.push_back(std::move(e));
    }
    if (shape & 8)
        input.Stack = &stack;
    const size_t threads = in.Byte() % 6;
    for (size_t i = 0; i < threads; ++i)
        input.Threads.push_back({in.Byte() % 4u, in.Text(8), in.Text()});
    input.MainThreadId = in.Byte() % 4;
    const size_t modules = in.Byte() % 8;
    for (size_t i = 0; i < modules; ++i)
        input.Modules.push_back({in.Word(), in.Text(30), in.Text(20), in.Text(10), in.Word(),
                                 static_cast<double>(in.Word() % 100000) / 3.0});
    input.Cpu.Layout = (shape & 16) ? &RegistersX64() : &RegistersX86();
    if (shape & 32)
        for (size_t i = 0; i < input.Cpu.Layout->Count(); ++i)
            input.Cpu.Registers.push_back(in.Word());
    if (shape & 64) {
        input.Cpu.HasDump = true;
        input.Cpu.StackPosition = in.Word();
        input.Cpu.MemoryAddress = in.Word();
        for (size_t i = 0; i < 128; ++i)
            input.Cpu.Stack.push_back(in.Byte());
        for (size_t i = 0; i < 256 && in.More(); ++i)
            input.Cpu.Memory.push_back(in.Byte());
    }

    TReportTexts texts;
    BuildReportText(input, texts);
    Check(texts.ReportText.compare(0, 20, "ZephraLog 5.1.10\r\n\r\n") == 0);
    Check(texts.ReportText.compare(0, texts.GeneralSectionText.size(), texts.GeneralSectionText) == 0);
    Check(texts.SendText == texts.ReportText);
    const std::string tables = texts.ReportText.substr(texts.GeneralSectionText.size() + 2);
    Check(tables.size() >= texts.CpuSectionText.size() &&
          tables.compare(tables.size() - texts.CpuSectionText.size(), std::string::npos, texts.CpuSectionText) == 0);

    // Rows of the call-stack table: as wide as its header.
    bool plainTexts = true;
    for (int t : {7, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74})
        plainTexts = plainTexts && !HasBreak(options.GetCustomText(t));
    for (const auto& e : stack)
        plainTexts = plainTexts && !HasBreak(e.ModuleFile) && !HasBreak(e.UnitName) && !HasBreak(e.ProcedureName);
    for (const auto& t : input.Threads)
        plainTexts = plainTexts && !HasBreak(t.Priority) && !HasBreak(t.ClassName);
    if (plainTexts) {
        const std::string section = BuildCallStackSection(input);
        size_t start = section.find("\r\n") + 2;
        const size_t header = section.find("\r\n", start);
        const size_t width = header - start;
        while (start < section.size()) {
            const size_t end = section.find("\r\n", start);
            Check(end != std::string::npos);
            if (end == start)
                break;
            Check(end - start == width);
            start = end + 2;
        }
        Check(start + 2 == section.size());
    }

    // Two inserted sections follow the general section in order.
    const std::string rest = tables;
    const std::string first = in.Text(), second = in.Text();
    InsertReportSection(texts, 6, options.GetCustomText(13), first);
    InsertReportSection(texts, 7, options.GetCustomText(81), second);
    Check(texts.SendText == texts.ReportText);
    Check(texts.ReportText.compare(0, texts.GeneralSectionText.size(), texts.GeneralSectionText) == 0);
    Check(texts.ReportText.size() >= rest.size() &&
          texts.ReportText.compare(texts.ReportText.size() - rest.size(), std::string::npos, rest) == 0);
    Check(texts.ReportText.compare(texts.GeneralSectionText.size(), 2, "\r\n") == 0);
    return 0;
}
