// The stored report log on disk and the work files of a report: the log file
// object (its text side is TLogReports), the module's open log, the duplicate
// check and the log saving of the report steps, the work files in the
// temporary folder that senders attach, and the stored exception object of
// the event dispatch.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "ECoreText.h"
#include "ELogManager.h"

namespace qov::exceptions {

class TExceptionInfo;
class TZephraModuleOptions;
struct TReportState;
struct TLogSaving;

// A text of the system's ANSI code page as Unicode code points.
std::u32string DecodeSystemCodePage(std::string_view text);
// The same for a given code page (936 for GBK).
std::u32string DecodeCodePage(std::string_view text, UINT codePage);

// A log file. The name goes through ReportFolderFallback first; an existing
// file is held open (for reading only, or for reading and writing), shared
// with everyone, and its reports are loaded. Opening errors raise EFOpenError.
class TLogFile : public TLogReports {
public:
    TLogFile(const std::string& fileName, bool readOnly);
    ~TLogFile() override;
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    const std::string& FileName() const { return FFileName; }
    // True while the file is open (it existed, or Save created it).
    bool HasFile() const { return FFile != INVALID_HANDLE_VALUE; }

    // Writes the reports (SaveText) from the file's start and cuts the file
    // there; creates the file when it does not exist. Raises EFCreateError or
    // EWriteError.
    void Save();
    // ExportXml with the system code page.
    std::string ExportXml() const;
    // The XML with a CR LF after its last line; raises EFCreateError or
    // EWriteError.
    void SaveXml(const std::string& fileName) const;

private:
    std::string FFileName;
    HANDLE FFile = INVALID_HANDLE_VALUE;
};

// The module's log: OpenLog re-creates it whenever the options' log file name
// differs from the one it was opened for; CloseLog frees it.
TLogFile* CurrentLog();
TLogFile& OpenLog(const TZephraModuleOptions& options);
void CloseLog();

// Step 704: with LogFlags bit 0, whether the log holds a report with the same
// items 2.2 to 2.5 as the report's keys (the log is closed again, also on
// failure); false without opening the log when the bit is clear.
bool CheckDuplicate(const TReportState& report, const TZephraModuleOptions& options);
// Step 15: adds the report to the log (keeping KeepReports reports), keeps
// the log's text as the report's send text, writes the log, releases it.
void PrepareLogSaving(TReportState& report, TLogSaving& saving);

// Work files in the temporary folder (empty when their send flag is clear).
std::string LogCopyPath(const TZephraModuleOptions& options);
std::string XmlCopyPath(const TZephraModuleOptions& options);
std::string ScreenshotPath(const TZephraModuleOptions& options);
std::string ArchivePath();
std::string LastHtmlPagePath(const TZephraModuleOptions& options);
// The screenshot unit marks the report that has a screenshot file.
void SetScreenshotTaken(bool taken);

// The name a file is attached under (SendFlags bit 8: stamped with time).
std::string AttachmentName(const std::string& path, const TZephraModuleOptions& options, TDateTime time);

// With SendFlags bit 6, the page to the last-HTML-page file; errors ignored.
void SaveLastHtmlPage(const std::string& text, const TZephraModuleOptions& options);
// With SendFlags bit 3, the XML copy: of the log copy at logCopy (read only),
// or, when logCopy is empty, of sendText as the only report.
void SaveXmlCopy(const std::string& logCopy, const std::string& sendText, const std::string& extraText,
                 const TZephraModuleOptions& options);
// The whole text of a file; empty when it is missing or cannot be read.
std::string ReadTextFile(const std::string& path);
// The files to attach (AttachmentList with the options' files).
std::vector<std::string> BuildAttachmentList(bool skipLogCopy, const TZephraModuleOptions& options);

// The exception object of the event dispatch: null unless it is still a
// valid exception object.
const TExceptionInfo* StoredExceptionObject() noexcept;
void SetStoredExceptionObject(const TExceptionInfo* object) noexcept;

// Installs the duplicate check, the log saving and the last-page saving into
// the report steps (unit start), and takes them out again with the log closed.
void ELogFilesInit();
void ELogFilesDone();

} // namespace qov::exceptions
