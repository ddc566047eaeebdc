// Arbitrary text as a stored log: loading, every part of every report, the
// item search, the duplicate search and the XML export. Reading a value twice
// gives the same value, a value read from a report finds that report again,
// and a log saved and loaded again holds the same reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ELogManager.h"

using namespace qov::exceptions;

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    TLogReports log;
    log.LoadText(text);
    for (size_t i = 0; i < log.Count(); ++i) {
        const std::string& report = log.Report(i);
        Require(report.size() >= 6 && report.compare(report.size() - 6, 6, "\r\n\r\n\r\n") == 0);
        Require(report.find(CallStackMarker) != std::string::npos);
        log.GetGeneralPart(i);
        log.GetCallStackPart(i);
        log.GetModulesPart(i);
        log.GetCpuPart(i);
        log.GetRequestPart(i);
        log.GetReportVersion(i);
        for (const char* number : {"1.1", "1.3", "2.2", "2.5", "7.1"}) {
            std::string value = log.GetReportField(i, number);
            Require(ItemValueAsRead(value) == value);
            if (!value.empty())
                Require(log.FindReport({number}, {value}));
        }
    }
    // Items named by the input's first bytes.
    if (size >= 3 && log.Count() != 0) {
        std::string number(text.substr(0, 3));
        std::string value = log.GetReportField(0, number);
        if (!value.empty())
            Require(log.FindReport({number}, {value}));
    }
    Require(ItemValueAsRead(ItemValueAsRead(text)) == ItemValueAsRead(text));
    std::string xml = log.ExportXml();
    Require(xml.compare(0, 7, "<Doc>\r\n") == 0);
    for (char c : xml)
        Require(c == '\r' || c == '\n' || (c >= ' ' && c <= '~'));

    TLogReports again;
    again.LoadText(log.SaveText());
    Require(again.Count() == log.Count());
    for (size_t i = 0; i < log.Count(); ++i)
        Require(again.Report(i) == log.Report(i));
    log.AddReport(text, static_cast<int>(size % 5) - 2);
    Require(log.Count() >= 1);
    return 0;
}
