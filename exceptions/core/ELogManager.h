// The stored report log as text: the reports of a log file (oldest first,
// each followed by three CR LF pairs, four CR LF pairs between two reports),
// the search for an item of the general section, the duplicate search, the
// parts of a report and the XML export of the log. The file itself is the
// Windows side's (ELogFiles.h); this is the part that works on the text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ECoreText.h"
#include "EXMLBuilder.h"

namespace qov::exceptions {

// The line break that ends each stored report three times.
inline constexpr std::string_view ReportTrailer = "\r\n\r\n\r\n";

// The header divider of the call-stack table: a line ending with a dash
// followed by a line beginning with a vertical bar. Every stored report has it.
inline constexpr std::string_view CallStackMarker = "-\r\n|";

// The value of an item as the report writes it after its name (two blanks,
// number, name, ": "): ": " becomes ":_", an empty or blank line a full stop,
// and every line after the first starts with column blanks (the column where
// the value starts). A value without CR LF stays as it is.
std::string EncodeItemValue(std::string_view value, size_t column);
// The value as reading it back from a stored report gives it: line breaks made
// CR LF; for more than one line the leading blanks of the lines after the
// first removed, a line that holds only a full stop emptied and ":_" made
// ": "; the whole trimmed. Two values are the same item value when these match.
std::string ItemValueAsRead(std::string_view value);

// The pieces of a list such as "a.txt; b.txt;;": trimmed, split at every
// semicolon, each piece trimmed, empty pieces left out.
std::vector<std::string> SplitFileList(std::string_view text);

// The name under which a file is attached: its file-name part, with stamp an
// underscore and time as "yyyymmddhhnnss" before the extension
// (report_20261207101502.zpf).
std::string AttachmentName(const std::string& path, bool stamp, TDateTime time);

// The files a report is sent with, in order: the extra files, the log copy
// (left out when skipLogCopy is set and appendToLog is set or the copy has no
// name), then the screenshot, the last HTML page and the XML copy, each when
// it has a path.
struct TAttachmentFiles {
    std::string ExtraFiles;
    bool AppendToLog = false;
    std::string LogCopy, Screenshot, LastHtmlPage, XmlCopy;
};
std::vector<std::string> AttachmentList(bool skipLogCopy, const TAttachmentFiles& files);

class TLogReports {
public:
    virtual ~TLogReports() = default;

    // Replaces the reports with those of a log file's text: every CR alone and
    // LF alone made CR LF, the text cut at runs of four CR LF pairs, and every
    // piece holding the call-stack marker kept as a report (the last one also
    // when the text does not end with the separator). Fewer than 6 bytes hold
    // no report.
    void LoadText(std::string_view text);

    size_t Count() const { return FReports.size(); }
    // Report i with its three closing CR LF pairs.
    const std::string& Report(size_t index) const { return FReports[index]; }
    void Clear() { FReports.clear(); }

    // Deletes the oldest reports until keep - 1 remain (keep below 1 counts as
    // 1, so the new report always stays), then adds text as the newest (its
    // closing line breaks replaced by the three of a stored report).
    void AddReport(std::string_view text, int keep);

    // Every report followed by CR LF.
    std::string Text() const;
    // What a log file holds: Text less its last CR LF (empty for no report).
    std::string SaveText() const;

    // The value of item number (such as "2.5") in report index, decoded as
    // ItemValueAsRead does; empty for an index outside the list or an item
    // not in the report.
    std::string GetReportField(size_t index, std::string_view number) const;
    // True when one report holds, for every pair, the item with exactly that
    // value (compared as ItemValueAsRead gives both).
    bool FindReport(const std::vector<std::string>& numbers, const std::vector<std::string>& values) const;

    // The parts of report index (empty for an index outside the list or a
    // part the report does not have).
    std::string GetGeneralPart(size_t index) const;
    std::string GetCallStackPart(size_t index) const;
    std::string GetModulesPart(size_t index) const;
    std::string GetCpuPart(size_t index) const;
    std::string GetRequestPart(size_t index) const;
    // The library version the report was written by (its first line from the
    // eleventh character on: "5.1.10").
    std::string GetReportVersion(size_t index) const;

    // Extra text for the call-stack export (the event data of the report).
    const std::string& ExtraText() const { return FExtraText; }
    void SetExtraText(std::string text) { FExtraText = std::move(text); }

    // "<Doc>", the "Log" element of every report, "</Doc>" (no CR LF after
    // it). Attribute texts are decoded with decoder.
    std::string ExportXml(const TTextDecoder& decoder = {}) const;
    // The "Log" element of report index.
    std::string ReportXml(size_t index, const TTextDecoder& decoder = {}) const;

private:
    // Where the value of item number starts in report, and where it ends
    // (before the CR LF that ends its last line); false when not found.
    bool FindItem(const std::string& report, std::string_view number, size_t& begin, size_t& end) const;
    void BuildReportXml(size_t index, TXMLItem& log, const TTextDecoder& decoder) const;

    std::vector<std::string> FReports;
    std::string FExtraText;
};

} // namespace qov::exceptions
