#include "EHelpers.h"

#include <vector>

#include "ECore.h"
#include "SysUtils.h"

namespace qov::exceptions {

const char* const SupportAddress = "support@zephralog.example";

namespace {

// The process-wide state of this unit, under one lock.
class TGuard {
public:
    TGuard() { AcquireSRWLockExclusive(&Lock); }
    ~TGuard() { ReleaseSRWLockExclusive(&Lock); }
    TGuard(const TGuard&) = delete;
    TGuard& operator=(const TGuard&) = delete;

private:
    static SRWLOCK Lock;
};
SRWLOCK TGuard::Lock = SRWLOCK_INIT;

TSavedException Saved;
std::string CustomMessage, LastMessage;
TZephraLogErrorCode WarningCode = eeNone;
std::string WarningText;
HWND SendProgressWindow = nullptr;

std::string AddressText(const void* address)
{
    return Format("%0*llX", AddressDigits, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
}

std::string BugLogFileName()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return ChangeFileExt(path, ".log");
}

bool SaveText(const std::string& fileName, const std::string& text)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    CloseHandle(file);
    return ok;
}

std::string BugDate()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return BugDateText(now.wDayOfWeek, now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute, now.wSecond,
                       UtcOffsetMinutes());
}

} // namespace

bool DebuggerPresent()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    using TIsDebuggerPresent = BOOL(WINAPI*)();
    if (const auto query = reinterpret_cast<TIsDebuggerPresent>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "IsDebuggerPresent"))))
        return query() != FALSE;
    // A debugger moves GetProcAddress below kernel32 on the old systems that lack the query.
    return reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcAddress"))) <
           reinterpret_cast<uintptr_t>(kernel);
}

void RecordSavedException(const TExceptionRef& object, const void* address, bool raisedByProgram)
{
    TGuard guard;
    if (address)
        Saved.LastAddress = address;
    if (object)
        Saved.LastObject = object;
    Saved.Address = address;
    Saved.Object = object;
    Saved.RaisedByProgram = raisedByProgram;
}

TSavedException SavedException()
{
    TGuard guard;
    return Saved;
}

void SetCustomExceptionMessage(const std::string& text)
{
    TGuard guard;
    CustomMessage = text;
}

void SetLastExceptionMessage(const std::string& text)
{
    TGuard guard;
    LastMessage = text;
}

std::string CurrentExceptionMessage()
{
    TGuard guard;
    return CustomMessage.empty() ? LastMessage : CustomMessage;
}

void PumpOneMessage()
{
    try {
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            return;
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    } catch (...) {
    }
}

void BringToFront()
{
    HWND window = MainWindowOfProcess(GetCurrentProcessId());
    if (!window)
        return;
    if (IsIconic(window)) {
        PostMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
        PumpOneMessage();
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        return;
    }
    HWND popup = GetLastActivePopup(window);
    if (popup && GetForegroundWindow() != popup)
        SetForegroundWindow(popup);
}

void ClearWarning()
{
    TGuard guard;
    WarningCode = eeNone;
    WarningText.clear();
}

void RecordWarning(TZephraLogErrorCode code, const std::string& text)
{
    HWND progress;
    {
        TGuard guard;
        WarningCode = code;
        WarningText = text;
        progress = SendProgressWindow;
    }
    OutputDebugStringA(WarningLine(code, AddressText(SavedException().LastAddress), text).c_str());
    if (code >= eeEmailSMTPError && code <= eeWebFTPError && progress && IsWindow(progress))
        MessageBoxA(nullptr, text.c_str(), "Error.", 0x242010);
}

TZephraLogErrorCode LastWarningCode()
{
    TGuard guard;
    return WarningCode;
}

std::string LastWarningText()
{
    TGuard guard;
    return WarningText;
}

void RecordWarningFromException(TZephraLogErrorCode code, const std::string& word,
                                const TExceptionInfo& exception)
{
    RecordWarning(code, exception.InheritsFrom("Exception")
                            ? Format("[%s] %s", word.c_str(), exception.Message().c_str())
                            : Format("General '%s' error.", word.c_str()));
}

void SetSendProgressWindow(HWND window)
{
    TGuard guard;
    SendProgressWindow = window;
}

std::string InternalStackText(TZephraModulesList& modules, uintptr_t stackPosition)
{
    volatile uintptr_t here = 0;
    if (!stackPosition)
        stackPosition = reinterpret_cast<uintptr_t>(&here);
    TZephraStackList stack;
    TStackScanSettings settings;
    settings.ThreadId = GetCurrentThreadId();
    try {
        CaptureStack(stack, modules, nullptr, stackPosition, StackTop(), settings);
    } catch (...) {
        stack.Clear();
        settings.UseDebugInfo = false;
        CaptureStack(stack, modules, nullptr, stackPosition, StackTop(), settings);
    }
    std::vector<std::string> lines;
    for (size_t i = 0; i < stack.Count(); ++i) {
        const TZephraStackEntry& entry = stack[i];
        TBugStackLine line;
        line.Index = i;
        line.Address = entry.Address;
        if (entry.Module) {
            line.Module = reinterpret_cast<uintptr_t>(entry.Module->Handle);
            line.FileName = ExtractFileName(entry.Module->FileName);
        }
        line.Unit = entry.UnitName;
        line.Class = entry.ClassName;
        line.Procedure = entry.ProcedureName;
        line.Line = static_cast<int>(entry.Line);
        lines.push_back(BugStackLine(line, AddressDigits));
    }
    return BugStackText(lines.data(), lines.size());
}

void HandleInternalError(const std::string& section)
{
    try {
        const TExceptionInfo exception = TExceptionInfo::Current();
        if (exception.InheritsFrom("EAbort") || exception.InheritsFrom("EZephraSocketError"))
            return;
        if (!HostIsDevelopmentEnvironment() && !DebuggerPresent())
            return;
        std::string message = "General internal error.", className;
        if (exception.InheritsFrom("Exception")) {
            message = exception.Message();
            className = exception.ClassName();
        }
        const TSavedException saved = SavedException();
        const void* address = saved.LastAddress;
        OutputDebugStringA(ErrorLine(section, AddressText(address), message).c_str());
        TBugTextValues values;
        if (address && IsReadableRange(address, 32))
            values.Dump = DumpText(static_cast<const uint8_t*>(address), 32);
        values.Date = BugDate();
        values.System = OperatingSystemName();
        values.Section = section;
        if (saved.LastObject)
            values.LastExcept = saved.LastObject->ClassName();
        values.Address = AddressText(address);
        values.Exception = className;
        values.Message = message;
        TZephraModulesList modules;
        values.CallStack = InternalStackText(modules, 0);
        std::string logName = BugLogFileName();
        if (!ReportFolderFallback(logName, false, false) || !SaveText(logName, BugText(values)))
            return;
        const std::string question = Format("Error: '%s'\r\n\r\nThis is an internal ZephraLog bug.\r\n"
                                            "Do you want to send the bug information to ZephraLog author?",
                                            message.c_str());
        if (MessageBoxA(nullptr, question.c_str(), "Probably internal bug", 0x242014) != IDYES)
            return;
        // No mail client call is made yet: the user sends the file.
        const std::string manual = Format("Cannot connect with your email client.\r\nSend manually the \"%s\" file "
                                          "to the %s email address, after click on OK button to close this box.",
                                          logName.c_str(), SupportAddress);
        MessageBoxA(nullptr, manual.c_str(), "Information", 0x242030);
    } catch (...) {
    }
}

int FilterIndex(const TExceptionInfo& exception, const std::vector<std::string>& filterClasses)
{
    for (size_t i = 0; i < filterClasses.size(); ++i)
        if (exception.InheritsFrom(filterClasses[i]))
            return static_cast<int>(i);
    return -1;
}

bool SaveReportLog(const TLogSaving& saving)
{
    bool action = true;
    ClearWarning();
    if (saving.SaveLog && saving.NotifyAction)
        saving.NotifyAction(2, action);
    bool added = false, retry;
    do {
        ClearWarning();
        try {
            if (!saving.Duplicate && !added) {
                saving.AddReport();
                added = true;
            }
            if (saving.KeepForSending)
                saving.KeepLogText();
            if (action && saving.SaveLog)
                saving.WriteLog();
        } catch (...) {
            RecordWarningFromException(eeLogError, "Log");
            action = false;
        }
        retry = false;
        if (saving.SaveLog && !action && saving.LogError) {
            saving.LogError(retry);
            // Another try writes again.
            if (retry)
                action = true;
        }
    } while (retry);
    if (saving.ReleaseLog)
        saving.ReleaseLog();
    if (saving.SaveLog && saving.NotifyAction)
        saving.NotifyAction(3, action);
    return action;
}

} // namespace qov::exceptions
