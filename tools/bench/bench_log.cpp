// bench_log: the stored report log with 32 reports of about 200 KiB each
// (6.4 MiB): loading the text, searching it for a report that is not there
// (every report read) and for the newest one's message, and the XML export in
// MB/s of log text. The best of several rounds counts. Pure code: built for
// Windows (run under Wine) and natively.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ELogManager.h"
#include "LogSample.h"

using namespace qov::exceptions;

namespace {

double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// A report of about 200 KiB: 20 threads of 50 entries, 60 modules and a
// message of a few lines, made longer by further threads until it is big
// enough.
std::string BigReport(int index)
{
    using namespace logsample;
    std::vector<StackRow> stack;
    char text[64];
    for (int t = 0; stack.size() < 2400; ++t) {
        std::snprintf(text, sizeof text, "%d", 1000 + t);
        StackRow caption;
        caption.Caption = std::string(t == 0 ? " Exception Thread" : " Running Thread") + ": ID=" + text +
                          "; Priority=0; Class=TWorkerThread" + (t == 1 ? "; [Main]" : "");
        caption.DividerBefore = t != 0;
        caption.EmptyFrameBefore = t != 0;
        stack.push_back(caption);
        for (int e = 0; e < 50; ++e) {
            std::snprintf(text, sizeof text, "%08X", 0x00401000 + 16 * e + t);
            StackRow row;
            row.Cells = {text, "Application.exe", "SourceUnit" + std::to_string(e % 7) + ".cpp",
                         "TClass" + std::to_string(e % 5), "ProcedureName" + std::to_string(e),
                         std::to_string(100 + e) + "[" + std::to_string(e % 9) + "]"};
            stack.push_back(row);
        }
    }
    std::vector<Row> modules;
    for (int m = 0; m < 60; ++m) {
        std::snprintf(text, sizeof text, "%08X", 0x10000000 + m * 0x10000);
        modules.push_back({text, "Module" + std::to_string(m) + ".dll", "A module of the program", "1.2.3.4",
                           "123456", "2026-12-01 09:00:00", "C:\\Program Files\\App"});
    }
    std::string message = "Report " + std::to_string(index) + " failed.\r\nSecond line: details\r\n\r\nlast";
    std::vector<Section> general = {
        {"Application", {{"1.1", "Start Date", "Mon, 7 Dec 2026 10:15:02 +0100"}, {"1.2", "Name/Description", "App.exe"}}},
        {"Exception",
         {{"2.2", "Address", "004B1C2F"}, {"2.3", "Module", "App.exe"}, {"2.4", "Type", "EAccessViolation"},
          {"2.5", "Message", message}}},
    };
    return General(general) + "\r\n" + CallStack(stack) + Modules(modules) +
           Cpu({"1", "2", "3", "4", "5", "6", "7", "8"}, 16);
}

template <typename F> double Best(int rounds, F f)
{
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        double start = NowMs();
        f();
        double ms = NowMs() - start;
        if (ms < best)
            best = ms;
    }
    return best;
}

} // namespace

int main()
{
    TLogReports source;
    for (int i = 0; i < 32; ++i)
        source.AddReport(BigReport(i), 32);
    const std::string text = source.SaveText();
    const std::vector<std::string> numbers = {"2.2", "2.3", "2.4", "2.5"};
    TLogReports log;
    size_t found = 0;
    double load = Best(5, [&] { log.LoadText(text); });
    double missing = Best(5, [&] {
        found += log.FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation", "Report 99 failed."});
    });
    double newest = Best(5, [&] {
        found += log.FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation",
                                          "Report 31 failed.\r\nSecond line: details\r\n\r\nlast"});
    });
    std::string xml;
    double exportMs = Best(3, [&] { xml = log.ExportXml(); });
    double mb = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    std::printf("log: %zu reports, %.2f MiB (%.0f KiB each)\n", log.Count(), mb, mb * 1024.0 / 32.0);
    std::printf("load: %.1f ms\n", load);
    std::printf("search, no match (all reports): %.2f ms\n", missing);
    std::printf("search, newest report matches: %.2f ms\n", newest);
    std::printf("load + search: %.1f ms\n", load + missing);
    std::printf("ExportXml: %.1f ms, %.1f MB/s of log text (%.2f MiB of XML)\n", exportMs, mb / (exportMs / 1000.0),
                static_cast<double>(xml.size()) / (1024.0 * 1024.0));
    // Every round of the search for the newest report matched.
    return log.Count() == 32 && found == 5 ? 0 : 1;
}
