// bench_report: the report text of an exception with 20 threads of 50 call
// stack entries each and 60 modules (every section on, the x64 register set
// on the x86_64 build), in milliseconds per report; and the call-stack
// table's 1000 rows copied in place into a text of blanks beside the same
// rows built by padding and joining their cells (the ratio of the two).
// Windows build (run under Wine).
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchArch.h"
#include "ECoreOptions.h"
#include "EReportText.h"

using namespace qov::exceptions;

namespace {

double NowMs()
{
    return qov::bench::CounterMs();
}

volatile size_t Sink;

std::string Padded(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

int main()
{
    qov::bench::PrintArchitecture("bench_report");
    TZephraModuleOptions options("", false);
    options.SetLogFlags(0x30);
    options.SetStackFlags(0x13);
    TReportInput input;
    input.Options = &options;
    input.AddressDigits = static_cast<int>(sizeof(void*) * 2);
    for (size_t i = 0; i < input.Values.size(); ++i)
        input.Values[i] = "Value of item " + std::to_string(i);
    input.Values[9] = "Access violation at address 00401000.\r\nSecond line: of the message";
    std::vector<TReportStackEntry> stack;
    for (uint32_t t = 0; t < 20; ++t) {
        input.Threads.push_back({1000 + t, "0", t % 2 ? "TReadThread" : ""});
        for (uint32_t e = 0; e < 50; ++e) {
            TReportStackEntry entry;
            entry.Kind = e % 5 == 0 ? 2 : 4;
            entry.Tag = t ? 1 : 0;
            entry.ThreadId = 1000 + t;
            entry.Address = 0x140001000ull + 0x37 * (t * 50 + e);
            entry.ModuleFile = "C:\\Program Files\\Qov\\QovPlayer.ocx";
            entry.UnitName = "UnitQovCore" + std::to_string(e % 7) + ".cpp";
            entry.ClassName = "qov::engine::TReadThread";
            entry.ProcedureName = "Procedure" + std::to_string(e);
            entry.Line = 100 + e;
            entry.LineOffset = e % 9;
            stack.push_back(entry);
        }
    }
    input.Stack = &stack;
    input.MainThreadId = 1000;
    for (uint32_t m = 0; m < 60; ++m)
        input.Modules.push_back({0x7FF000000000ull + 0x100000ull * m, "C:\\Windows\\System32\\module" +
                                 std::to_string(m) + ".dll", "Module number " + std::to_string(m), "10.0.19041." +
                                 std::to_string(m), 123456u + m, 46000.5 + m});
    input.Cpu.Layout = sizeof(void*) == 8 ? &RegistersX64() : &RegistersX86();
    input.Cpu.Registers.assign(input.Cpu.Layout->Count(), 0x1234);
    input.Cpu.HasDump = true;
    input.Cpu.Stack.assign(128, 0x41);
    input.Cpu.Memory.assign(256, 0x90);

    TReportTexts texts;
    BuildReportText(input, texts);
    const int rounds = 200;
    double start = NowMs();
    for (int r = 0; r < rounds; ++r) {
        BuildReportText(input, texts);
        Sink = texts.ReportText.size();
    }
    const double reportMs = (NowMs() - start) / rounds;
    std::printf("report text (20 threads x 50 entries, 60 modules, %zu bytes): %.3f ms\n", texts.ReportText.size(),
                reportMs);

    // The table's rows alone: in place against padding and joining.
    std::vector<std::array<std::string, 6>> rows;
    for (const auto& e : stack)
        rows.push_back({HexText(e.Address, input.AddressDigits), "QovPlayer.ocx", e.UnitName, e.ClassName,
                        e.ProcedureName, std::to_string(e.Line) + "[" + std::to_string(e.LineOffset) + "]"});
    const size_t widths[6] = {16, 13, 16, 24, 16, 8};
    size_t rowLength = 9;
    for (size_t w : widths)
        rowLength += w;
    const int tableRounds = 500;
    start = NowMs();
    for (int r = 0; r < tableRounds; ++r) {
        std::string buffer(rowLength * rows.size(), ' ');
        size_t position = 0;
        for (const auto& row : rows)
            WriteTableRow(buffer, position, row.data(), widths, 6);
        buffer.resize(position);
        Sink = buffer.size();
    }
    const double inPlaceMs = (NowMs() - start) / tableRounds;
    start = NowMs();
    for (int r = 0; r < tableRounds; ++r) {
        std::string text;
        for (const auto& row : rows) {
            std::string line = "|";
            for (size_t c = 0; c < 6; ++c) {
                line += Padded(row[c], widths[c]);
                line += '|';
            }
            text += line;
            text += "\r\n";
        }
        Sink = text.size();
    }
    const double joinedMs = (NowMs() - start) / tableRounds;
    std::printf("table of %zu rows: in place %.4f ms, padded and joined %.4f ms, ratio %.1f\n", rows.size(),
                inPlaceMs, joinedMs, inPlaceMs > 0 ? joinedMs / inPlaceMs : 0.0);
    return 0;
}
