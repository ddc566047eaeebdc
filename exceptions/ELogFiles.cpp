#include "ELogFiles.h"

#include <atomic>
#include <climits>
#include <memory>

#include "ECore.h"
#include "EManager.h"
#include "ERaise.h"
#include "EReportSteps.h"
#include "SysUtils.h"

namespace qov::exceptions {

namespace {

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string SystemErrorText(const char* what, const std::string& fileName)
{
    return Format("%s \"%s\" (system error %lu).", what, fileName.c_str(), static_cast<unsigned long>(GetLastError()));
}

// Reads from the file's current position to its end.
bool ReadToEnd(HANDLE file, std::string& text)
{
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr))
            return false;
        if (read == 0)
            return true;
        text.append(buffer, read);
    }
}

bool WriteAll(HANDLE file, const std::string& text)
{
    size_t pos = 0;
    while (pos < text.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - pos, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(file, text.data() + pos, chunk, &written, nullptr) || written == 0)
            return false;
        pos += written;
    }
    return true;
}

bool WriteWholeFile(const std::string& fileName, const std::string& text)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, text);
    CloseHandle(file);
    return ok;
}

bool FileExists(const std::string& fileName)
{
    DWORD attributes = GetFileAttributesA(fileName.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The module's open log and the name it was opened for.
std::unique_ptr<TLogFile> OpenedLog;
std::string OpenedLogName;
bool ScreenshotTaken = false;
bool LastPageKept = false;
std::atomic<const TExceptionInfo*> StoredObject{nullptr};

const TZephraModuleOptions& OptionsOf(const TReportState& report)
{
    if (report.Options)
        return *report.Options;
    return *CurrentZephraLogOptions();
}

} // namespace

std::u32string DecodeSystemCodePage(std::string_view text)
{
    return DecodeCodePage(text, CP_ACP);
}

std::u32string DecodeCodePage(std::string_view text, UINT codePage)
{
    std::u32string codes;
    if (text.empty())
        return codes;
    if (text.size() > static_cast<size_t>(INT_MAX))
        text = text.substr(0, INT_MAX);
    int length = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (wide <= 0)
        return DecodeLatin1(text);
    std::wstring units(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), length, units.data(), wide);
    codes.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t unit = static_cast<char16_t>(units[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size()) {
            char32_t low = static_cast<char16_t>(units[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                codes.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        codes.push_back(unit);
    }
    return codes;
}

// Log file ---------------------------------------------------------------------------

TLogFile::TLogFile(const std::string& fileName, bool readOnly) : FFileName(fileName)
{
    ReportFolderFallback(FFileName, false, readOnly);
    if (!FileExists(FFileName))
        return;
    FFile = CreateFileA(FFileName.c_str(), readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (FFile == INVALID_HANDLE_VALUE)
        throw EFOpenError(SystemErrorText("Cannot open file", FFileName));
    std::string text;
    if (!ReadToEnd(FFile, text)) {
        std::string message = SystemErrorText("Cannot read file", FFileName);
        CloseHandle(FFile);
        FFile = INVALID_HANDLE_VALUE;
        throw EReadError(message);
    }
    LoadText(text);
}

TLogFile::~TLogFile()
{
    if (FFile != INVALID_HANDLE_VALUE)
        CloseHandle(FFile);
}

void TLogFile::Save()
{
    if (FFile == INVALID_HANDLE_VALUE) {
        FFile = CreateFileA(FFileName.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FFile == INVALID_HANDLE_VALUE)
            throw EFCreateError(SystemErrorText("Cannot create file", FFileName));
    }
    std::string text = SaveText();
    if (SetFilePointer(FFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !WriteAll(FFile, text) ||
        !SetEndOfFile(FFile))
        throw EWriteError(SystemErrorText("Cannot write file", FFileName));
}

std::string TLogFile::ExportXml() const
{
    return TLogReports::ExportXml(DecodeSystemCodePage);
}

void TLogFile::SaveXml(const std::string& fileName) const
{
    if (!WriteWholeFile(fileName, ExportXml() + "\r\n"))
        throw EWriteError(SystemErrorText("Cannot write file", fileName));
}

// The module's log ------------------------------------------------------------------------

TLogFile* CurrentLog()
{
    return OpenedLog.get();
}

TLogFile& OpenLog(const TZephraModuleOptions& options)
{
    std::string name = options.ComposeLogFileName(std::string());
    if (OpenedLog && name != OpenedLogName)
        OpenedLog.reset();
    if (!OpenedLog) {
        OpenedLogName = name;
        OpenedLog = std::make_unique<TLogFile>(name, false);
    }
    return *OpenedLog;
}

void CloseLog()
{
    OpenedLog.reset();
}

bool CheckDuplicate(const TReportState& report, const TZephraModuleOptions& options)
{
    if (!(options.LogFlags() & 0x01))
        return false;
    bool duplicate = false;
    try {
        duplicate = OpenLog(options).FindReport({"2.2", "2.3", "2.4", "2.5"},
                                                {report.KeyAddress, report.KeyModule, report.KeyType, report.KeyMessage});
    } catch (...) {
        CloseLog();
        throw;
    }
    CloseLog();
    return duplicate;
}

void PrepareLogSaving(TReportState& report, TLogSaving& saving)
{
    const TZephraModuleOptions* options = &OptionsOf(report);
    TReportState* state = &report;
    saving.AddReport = [options, state] { OpenLog(*options).AddReport(state->ReportText, options->KeepReports()); };
    saving.KeepLogText = [options, state] { state->SendText = OpenLog(*options).SaveText(); };
    saving.WriteLog = [options] { OpenLog(*options).Save(); };
    saving.ReleaseLog = [] { CloseLog(); };
}

// Work files ---------------------------------------------------------------------------

std::string LogCopyPath(const TZephraModuleOptions& options)
{
    return TempFolder() + ExtractFileName(options.ComposeLogFileName(std::string()));
}

std::string XmlCopyPath(const TZephraModuleOptions& options)
{
    if (!(options.SendFlags() & 0x08))
        return std::string();
    return TempFolder() + ChangeFileExt(ExtractFileName(options.ComposeLogFileName(std::string())), ".xml");
}

std::string ScreenshotPath(const TZephraModuleOptions& options)
{
    if (!(options.SendFlags() & 0x10) || !ScreenshotTaken)
        return std::string();
    return TempFolder() + "Screenshot.png";
}

std::string ArchivePath()
{
    return TempFolder() + "CompressFiles.tgz";
}

std::string LastHtmlPagePath(const TZephraModuleOptions& options)
{
    if (!(options.SendFlags() & 0x40) || !LastPageKept)
        return std::string();
    return TempFolder() + "LastHTMLPage.html";
}

void SetScreenshotTaken(bool taken)
{
    ScreenshotTaken = taken;
}

std::string AttachmentName(const std::string& path, const TZephraModuleOptions& options, TDateTime time)
{
    return AttachmentName(path, (options.SendFlags() & 0x100) != 0, time);
}

void SaveLastHtmlPage(const std::string& text, const TZephraModuleOptions& options)
{
    if (!(options.SendFlags() & 0x40))
        return;
    try {
        if (WriteWholeFile(TempFolder() + "LastHTMLPage.html", text))
            LastPageKept = true;
    } catch (...) {
    }
}

void SaveXmlCopy(const std::string& logCopy, const std::string& sendText, const std::string& extraText,
                 const TZephraModuleOptions& options)
{
    if (!(options.SendFlags() & 0x08))
        return;
    std::unique_ptr<TLogFile> log;
    if (!logCopy.empty()) {
        log = std::make_unique<TLogFile>(logCopy, true);
    } else {
        log = std::make_unique<TLogFile>(std::string(), true);
        log->AddReport(sendText, 1);
    }
    log->SetExtraText(extraText);
    log->SaveXml(XmlCopyPath(options));
}

std::string ReadTextFile(const std::string& path)
{
    try {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::string();
        std::string text;
        bool ok = ReadToEnd(file, text);
        CloseHandle(file);
        return ok ? text : std::string();
    } catch (...) {
        return std::string();
    }
}

std::vector<std::string> BuildAttachmentList(bool skipLogCopy, const TZephraModuleOptions& options)
{
    TAttachmentFiles files;
    files.ExtraFiles = options.ExtraFiles();
    files.AppendToLog = options.AppendToLog() != 0;
    files.LogCopy = LogCopyPath(options);
    files.Screenshot = ScreenshotPath(options);
    files.LastHtmlPage = LastHtmlPagePath(options);
    files.XmlCopy = XmlCopyPath(options);
    return AttachmentList(skipLogCopy, files);
}

// Stored exception object -------------------------------------------------------------------

const TExceptionInfo* StoredExceptionObject() noexcept
{
    const TExceptionInfo* object = StoredObject.load();
    return object && IsValidExceptionObject(object) ? object : nullptr;
}

void SetStoredExceptionObject(const TExceptionInfo* object) noexcept
{
    StoredObject.store(object);
}

// Unit start ---------------------------------------------------------------------------------

void ELogFilesInit()
{
    TReportSteps& steps = ReportSteps();
    steps.IsLoggedAlready = [](TReportState& report) { return CheckDuplicate(report, OptionsOf(report)); };
    steps.PrepareLogSaving = [](TReportState& report, TLogSaving& saving) { PrepareLogSaving(report, saving); };
    steps.SaveLastHtmlPage = [](TReportState& report) { SaveLastHtmlPage(LastHtmlPage(), OptionsOf(report)); };
}

void ELogFilesDone()
{
    TReportSteps& steps = ReportSteps();
    steps.IsLoggedAlready = nullptr;
    steps.PrepareLogSaving = nullptr;
    steps.SaveLastHtmlPage = nullptr;
    CloseLog();
}

} // namespace qov::exceptions
