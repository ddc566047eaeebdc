#include "EManager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "ECore.h"
#include "EDecision.h"
#include "EEvents.h"
#include "EModules.h"
#include "ERaise.h"
#include "EReportSteps.h"
#include "EStack.h"
#include "EThreadHooks.h"
#include "EThreads.h"
#include "RuruvarodIre.h"
#include "SysUtils.h"

namespace qov::exceptions {

const char* const SafeCallPrefix = "[SafeCall Exception]: ";

namespace {


// The manager lock: one critical section held for a whole report. It is
// made on first use and never deleted, so that a late caller during the
// module's end still finds it.
CRITICAL_SECTION& ManagerLock()
{
    struct THolder {
        CRITICAL_SECTION Section;
        THolder() { InitializeCriticalSection(&Section); }
    };
    static THolder* holder = new THolder;
    return holder->Section;
}

class TManagerGuard {
public:
    TManagerGuard() { EnterCriticalSection(&ManagerLock()); }
    ~TManagerGuard() { LeaveCriticalSection(&ManagerLock()); }
    TManagerGuard(const TManagerGuard&) = delete;
    TManagerGuard& operator=(const TManagerGuard&) = delete;
};

// Plain storage, valid before any static initialiser ran and never destroyed.
TZephraModuleOptionsEx* ModuleOptions = nullptr;
std::atomic<uint32_t> Section{0};
std::atomic<bool> InProgress{false};
std::atomic<DWORD> ReportThread{0};
std::atomic<const void*> LastAddress{nullptr};
std::atomic<uint32_t> Reports{0};
std::atomic<bool> DialogShown{false};
std::atomic<bool> OptionsChangedInReport{false};
HWND FocusWindow = nullptr;
CURSORINFO Cursor{};

// The descriptors of exceptions that the safecall boundary reported; held,
// so that no other descriptor can take their address meanwhile.
SRWLOCK SafeCallLock = SRWLOCK_INIT;
size_t SafeCallNext = 0;
const void* SafeCallMarks[8] = {};

// What the reports keep between and during their steps; made once, never freed.
struct TManagerState {
    TZephraModulesList Modules;
    // The options in use of the report in progress.
    std::unique_ptr<TZephraModuleOptionsEx> Options;
    // Set from step 704 on: the option setter then changes the report's options.
    bool OptionsVisible = false;
    TReportState Report;
    TReportSteps Steps;
    SRWLOCK CrashLock = SRWLOCK_INIT;
    std::vector<TDateTime> Crashes;
    TExceptionRef SafeCallReports[8];
};

TManagerState& Manager()
{
    static TManagerState* state = new TManagerState;
    return *state;
}

void SetSection(uint32_t code)
{
    Section = code;
}

// Everything one run of the handling procedure is handed.
struct THandling {
    TExceptionRef Object;
    const void* Address = nullptr;
    bool RaisedByProgram = false;
    uint8_t Answer = daOrdinary;
    HMODULE Module = nullptr;
    TRaiserKind Kind = rkThread;
    THandlingBlock Block;
    // The raising thread's record: its flags are set while the report runs.
    TRaiseRecord* Raise = nullptr;
    // What the raise record held when the handling began (a raise made while
    // the waiting thread pumps messages must not change the report's data).
    uintptr_t CapturePosition = 0;
    bool HasContext = false;
    CONTEXT Context{};
    std::vector<uint8_t> StackCopy;
    DWORD StackCopyThreadId = 0;
    const void* StackCopyAddress = nullptr;
};

bool IsMainThread(DWORD threadId)
{
    return threadId && threadId == LibraryState().MainThreadId;
}

bool IsConsoleProgram()
{
    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!IsReadableRange(dos, sizeof *dos))
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return IsReadableRange(nt, sizeof *nt) && nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

bool IsWebServerProgram()
{
    const TReportSteps& steps = Manager().Steps;
    return steps.IsWebServerProgram && steps.IsWebServerProgram();
}

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const wchar_t* text, size_t length)
{
    if (!length)
        return std::string();
    const int n = WideCharToMultiByte(936, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(936, 0, text, static_cast<int>(length), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Focus ---------------------------------------------------------------------------

// The class and text of the window that has the keyboard focus in the
// thread; the text is asked for with a time limit, so that a hung window
// cannot stop the report, and a password edit's text shows as '*'.
void TakeFocus(THandlingBlock& block, DWORD threadId)
{
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    HWND focus = GetGUIThreadInfo(threadId, &gui) ? gui.hwndFocus : nullptr;
    FocusWindow = focus;
    CURSORINFO cursor{};
    cursor.cbSize = sizeof cursor;
    Cursor = GetCursorInfo(&cursor) ? cursor : CURSORINFO{};
    block.FocusClass.clear();
    block.FocusText.clear();
    if (!focus)
        return;
    char className[256] = {};
    const int classLength = GetClassNameA(focus, className, sizeof className);
    block.FocusClass.assign(className, classLength > 0 ? static_cast<size_t>(classLength) : 0);
    wchar_t text[256] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(focus, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 200,
                             &copied))
        return;
    const size_t length = std::min<size_t>(copied, 255);
    std::string upper = Trim(block.FocusClass);
    CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    if (upper.find("EDIT") != std::string::npos && (GetWindowLongA(focus, GWL_STYLE) & ES_PASSWORD))
        block.FocusText.assign(length, '*');
    else
        block.FocusText = Narrow(text, length);
}

// Messages ------------------------------------------------------------------------------

bool IsInputMessage(UINT message)
{
    return (message >= WM_KEYDOWN && message <= WM_DEADCHAR) ||
           (message >= WM_SYSKEYDOWN && message <= WM_SYSDEADCHAR) ||
           (message >= WM_LBUTTONDOWN && message <= WM_MBUTTONDBLCLK) ||
           (message >= WM_NCLBUTTONDOWN && message <= WM_NCMBUTTONDBLCLK);
}

// Threads ---------------------------------------------------------------------------------

// The heap of the C run-time library (the process heap for a run-time that
// has none of its own).
HANDLE RuntimeHeap()
{
    using TGetHeapHandle = intptr_t(__cdecl*)();
    for (const char* name : {"msvcrt.dll", "ucrtbase.dll"})
        if (HMODULE runtime = GetModuleHandleA(name))
            if (const auto get = reinterpret_cast<TGetHeapHandle>(
                    reinterpret_cast<void*>(GetProcAddress(runtime, "_get_heap_handle"))))
                if (const intptr_t heap = get())
                    return reinterpret_cast<HANDLE>(heap);
    return GetProcessHeap();
}

// Holds the process heap's and the run-time heap's locks: a thread suspended
// meanwhile is not inside either heap.
class THeapLocks {
public:
    THeapLocks() : FProcess(GetProcessHeap()), FRuntime(RuntimeHeap())
    {
        FProcessLocked = HeapLock(FProcess) != 0;
        FRuntimeLocked = FRuntime != FProcess && HeapLock(FRuntime) != 0;
    }
    ~THeapLocks()
    {
        if (FRuntimeLocked)
            HeapUnlock(FRuntime);
        if (FProcessLocked)
            HeapUnlock(FProcess);
    }
    THeapLocks(const THeapLocks&) = delete;
    THeapLocks& operator=(const THeapLocks&) = delete;

private:
    HANDLE FProcess, FRuntime;
    bool FProcessLocked = false, FRuntimeLocked = false;
};

// A class-library thread: the main thread or one that runs a thread object.
bool IsClassLibraryThread(const TZephraThreadRecord& record)
{
    return IsMainThread(record.ThreadId) || record.ThreadObject;
}

// The threads of the snapshot other than the raiser, the calling thread and
// the library's own.
bool IsOtherThread(const TZephraThreadRecord& record, DWORD raiser)
{
    return record.ThreadId && record.Handle && record.ThreadId != raiser &&
           record.ThreadId != GetCurrentThreadId() && !IsLibraryThread(record.ThreadId);
}

void ScanStackCopy(TZephraStackList& list, TZephraModulesList& modules, const TZephraThreadRecord& record)
{
    if (!record.StackCopy || record.StackCopy->empty())
        return;
    TStackScanSettings settings;
    settings.AddCalledRoutine = true;
    settings.Tag = 0;
    settings.ThreadId = record.ResumerThreadId;
    const auto start = reinterpret_cast<uintptr_t>(record.StackCopy->data());
    CaptureStack(list, modules, nullptr, start, start + record.StackCopy->size(), settings);
}

// One other thread in step 4: its context and a copy of its stack, taken
// while it is suspended into memory made before.
struct TThreadCapture {
    const TZephraThreadRecord* Record = nullptr;
    uintptr_t StackTop = 0;
    std::vector<uint8_t> Copy;
    size_t Copied = 0;
    uintptr_t Ip = 0;
    bool Suspended = false;
};

void CaptureOtherThreads(TZephraStackList& list, TZephraModulesList& modules, TZephraThreadsList& snapshot,
                         DWORD raiser, uint8_t stackFlags)
{
    std::vector<TThreadCapture> threads;
    for (size_t i = 0; i < snapshot.Count(); ++i) {
        const TZephraThreadRecord& record = snapshot.Item(i);
        if (!IsOtherThread(record, raiser))
            continue;
        if (!(IsClassLibraryThread(record) ? (stackFlags & 0x04) : (stackFlags & 0x08)))
            continue;
        TThreadCapture capture;
        capture.Record = &record;
        capture.StackTop = record.StackTop ? record.StackTop : ThreadStackTop(record.Handle);
        capture.Copy.resize(StackScanLimit);
        threads.push_back(std::move(capture));
    }
    if (threads.empty())
        return;
    // From the first suspension to the last resumption nothing is allocated.
    for (TThreadCapture& thread : threads)
        thread.Suspended = SuspendThread(thread.Record->Handle) != static_cast<DWORD>(-1);
    for (TThreadCapture& thread : threads) {
        if (!thread.Suspended)
            continue;
        CONTEXT context;
        std::memset(&context, 0, sizeof context);
        context.ContextFlags = CONTEXT_FULL;
        if (!GetThreadContext(thread.Record->Handle, &context))
            continue;
#ifdef _WIN64
        const uintptr_t ip = context.Rip, sp = context.Rsp;
#else
        const uintptr_t ip = context.Eip, sp = context.Esp;
#endif
        if (!ip || !sp)
            continue;
        thread.Ip = ip;
        thread.Copied = CopyStack(thread.Copy.data(), thread.Copy.size(), sp, thread.StackTop);
    }
    for (TThreadCapture& thread : threads)
        if (thread.Suspended)
            ResumeThread(thread.Record->Handle);
    for (TThreadCapture& thread : threads) {
        if (!thread.Ip)
            continue;
        TStackScanSettings settings;
        settings.AddCalledRoutine = true;
        settings.Tag = 1;
        settings.ThreadId = thread.Record->ThreadId;
        const auto start = reinterpret_cast<uintptr_t>(thread.Copy.data());
        CaptureStack(list, modules, reinterpret_cast<const void*>(thread.Ip), start, start + thread.Copied,
                     settings);
        ScanStackCopy(list, modules, *thread.Record);
    }
}

// What stays to be undone whichever way the handling procedure ends: the
// threads suspended for the report, the snapshot, the capture flags.
class TProcessCleanup {
public:
    explicit TProcessCleanup(TRaiseRecord* raiser) : FRaiser(raiser), FOwn(CurrentRaiseRecord()) {}
    ~TProcessCleanup()
    {
        ResumeSuspended();
        Snapshot.reset();
        if (FOwn)
            FOwn->CaptureInProgress = 0;
        if (FRaiser)
            FRaiser->CaptureInProgress = 0;
    }
    TProcessCleanup(const TProcessCleanup&) = delete;
    TProcessCleanup& operator=(const TProcessCleanup&) = delete;

    void BeginCapture()
    {
        if (FOwn)
            FOwn->CaptureInProgress = 1;
        if (FRaiser)
            FRaiser->CaptureInProgress = 1;
    }
    // Step 5: every thread of the snapshot that the flags select, other than
    // the calling and the raising thread, stays suspended until the resume step.
    void SuspendForReport(DWORD raiser, uint8_t behaviourFlags)
    {
        if (!Snapshot)
            return;
        std::vector<HANDLE> selected;
        for (size_t i = 0; i < Snapshot->Count(); ++i) {
            const TZephraThreadRecord& record = Snapshot->Item(i);
            if (!IsOtherThread(record, raiser))
                continue;
            const bool select = IsClassLibraryThread(record)
                                    ? (behaviourFlags & 0x02) &&
                                          !((behaviourFlags & 0x04) && IsMainThread(record.ThreadId))
                                    : (behaviourFlags & 0x08) != 0;
            if (select)
                selected.push_back(record.Handle);
        }
        FSuspended.reserve(FSuspended.size() + selected.size());
        THeapLocks locks;
        for (HANDLE thread : selected)
            if (SuspendThread(thread) != static_cast<DWORD>(-1))
                FSuspended.push_back(thread);
    }
    void ResumeSuspended()
    {
        for (auto it = FSuspended.rbegin(); it != FSuspended.rend(); ++it)
            ResumeThread(*it);
        FSuspended.clear();
    }

    std::unique_ptr<TZephraThreadsList> Snapshot;

private:
    TRaiseRecord* FRaiser;
    TRaiseRecord* FOwn;
    std::vector<HANDLE> FSuspended;
};

// Steps ---------------------------------------------------------------------------------

bool CarriesOptions(const TZephraModuleRef& record)
{
    if (!record)
        return false;
    if (record->Handle == OwnModule())
        return ModuleOptions != nullptr;
    return record->Options && HasZpdata(record->Handle);
}

// The options in use, copied from the chosen record; this module's own
// record stands for the module's current options.
void TakeOptions(std::unique_ptr<TZephraModuleOptionsEx>& options, const TZephraModuleRef& record)
{
    const TZephraModuleOptions* source = nullptr;
    if (record && record->Handle == OwnModule())
        source = ModuleOptions;
    else if (record)
        source = record->Options.get();
    if (!source)
        source = ModuleOptions;
    options = std::make_unique<TZephraModuleOptionsEx>(record ? record->FileName : ModuleFileName(OwnModule()),
                                                       false);
    if (source)
        options->CopyOptions(source);
}

void ShowInformationBox(const std::string& text, const std::string& caption, UINT style)
{
    MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), style);
}

// The events run on the raising thread.
void NotifyAction(int action, bool& flag)
{
    CallInMainThread([&] { SendExceptionActionNotify(action, flag); });
}

TDateTime LocalNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return EncodeDateTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

bool ToBeSent(const TReportState& report, const TZephraModuleOptions& options)
{
    return (options.MailMode() != 0 || options.UploadMode() != 0) && !report.Duplicate &&
           (report.SendChecked || !(options.DialogFlags() & 0x01));
}

bool RequestTest(const TReportState& report, const TZephraModuleOptions& options)
{
    const bool asked = report.Request == 1 || (report.Request == 0 && IsWebServerProgram());
    return asked &&
           ((ToBeSent(report, options) && (options.SendFlags() & 0x11)) || (options.DialogFlags() & 0x01));
}

void WriteConsoleLine(const std::string& text)
{
    if (text.empty())
        return;
    const std::string line = text + "\r\n";
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (!output || output == INVALID_HANDLE_VALUE ||
        !WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        throw Exception("The report could not be written to the console.");
}

// Step 13: the report's output; false when it failed.
bool ShowOutput(TReportState& report)
{
    const TReportSteps& steps = Manager().Steps;
    const bool web = IsWebServerProgram();
    if (report.RaiserKind == rkWebServer || (report.RaiserKind == rkThread && web))
        return steps.WriteHtmlPage ? steps.WriteHtmlPage(report) : true;
    if ((report.RaiserKind == rkThread || report.RaiserKind == rkApplication) && IsConsoleProgram()) {
        try {
            WriteConsoleLine(report.PlainText);
            return true;
        } catch (...) {
            RecordWarningFromException(eeShowError, "Console");
            return false;
        }
    }
    try {
        if (!steps.ShowDialog || steps.ShowDialog(report))
            return true;
        throw Exception("The report dialog could not be shown.");
    } catch (...) {
        RecordWarningFromException(eeShowError, "GUI");
        return false;
    }
}

void SaveLog(TReportState& report, const TZephraModuleOptions& options)
{
    TLogSaving saving;
    saving.SaveLog = options.SaveLog() != 0;
    saving.KeepForSending = (options.SendFlags() & 0x04) != 0;
    saving.Duplicate = report.Duplicate;
    saving.NotifyAction = NotifyAction;
    saving.AddReport = [] {};
    saving.KeepLogText = [] {};
    saving.WriteLog = [] {};
    saving.LogError = [](bool& retry) { CallInMainThread([&] { SendExceptionErrorNotify(3, retry); }); };
    if (Manager().Steps.PrepareLogSaving)
        Manager().Steps.PrepareLogSaving(report, saving);
    SaveReportLog(saving);
}

void AddCrash(int32_t crashCount)
{
    TManagerState& manager = Manager();
    const TDateTime time = LocalNow();
    AcquireSRWLockExclusive(&manager.CrashLock);
    try {
        manager.Crashes.push_back(time);
        const size_t limit = crashCount > 0 ? static_cast<size_t>(crashCount) : 0;
        if (manager.Crashes.size() > limit)
            manager.Crashes.erase(manager.Crashes.begin(), manager.Crashes.end() - static_cast<std::ptrdiff_t>(limit));
    } catch (...) {
        ReleaseSRWLockExclusive(&manager.CrashLock);
        throw;
    }
    ReleaseSRWLockExclusive(&manager.CrashLock);
}

// The raiser's call stack (step 4): from the raise-time copy of its stack
// when the copy belongs to this exception, else from its live stack (it waits
// in the handler, so the part above the capture position does not change).
std::shared_ptr<TZephraStackList> CaptureRaiser(const THandling& handling, const void* address, DWORD raiser,
                                                TZephraModulesList& modules)
{
    auto list = std::make_shared<TZephraStackList>();
    TStackScanSettings settings;
    settings.AddCalledRoutine = true;
    settings.Tag = 1;
    settings.ThreadId = raiser;
    uintptr_t position = handling.Block.StackPosition, top = handling.Block.StackTop;
    if (!handling.StackCopy.empty() && handling.StackCopyThreadId == raiser &&
        (handling.StackCopyAddress == address || handling.StackCopyAddress == handling.Address)) {
        position = reinterpret_cast<uintptr_t>(handling.StackCopy.data());
        top = position + handling.StackCopy.size();
    }
    if (position >= top)
        position = top = 0;
    CaptureStack(*list, modules, address, position, top, settings);
    return list;
}

// The numbered handling procedure. 1 when nothing was done, else 0.
uint8_t ProcessException(THandling& handling)
{
    TManagerState& manager = Manager();
    TReportState& report = manager.Report;
    TZephraExceptionRecord& record = CurrentExceptionRecord();
    uint8_t result = 0;
    TProcessCleanup cleanup(handling.Raise);
    bool sent = false;
    try {
        // A web-server program of the kind with a server object does not
        // exist in this build: nothing returns early here.
        report.Time = LocalNow();
        report.Exception = handling.Object;
        report.ReportText.clear();
        report.PlainText.clear();
        report.CustomData.clear();
        report.Duplicate = report.SendChecked = report.CopyChecked = report.TerminateChosen = false;
        report.Request = 0;
        report.Sending = false;
        report.RaiserKind = handling.Kind;
        report.Answer = handling.Answer;
        manager.OptionsVisible = false;
        OptionsChangedInReport = false;

        SetSection(1);
        cleanup.BeginCapture();
        if (TZephraThreadsList* threads = ProcessThreads())
            cleanup.Snapshot = TZephraThreadsList::Snapshot(*threads);
        LastAddress = handling.Address;
        const void* address = handling.RaisedByProgram && handling.Address
                                  ? reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(handling.Address) - 5)
                                  : handling.Address;
        report.Address = address;
        manager.Modules.Refresh();
        const HMODULE fallback = handling.Module == OwnModule() ? GetModuleHandleA(nullptr) : OwnModule();
        record = TZephraExceptionRecord{};
        record.ExceptionObject = handling.Object.get();
        record.ExceptionAddress = address;
        record.ThreadId = handling.Block.ThreadId;

        SetSection(101);
        TZephraModuleRef module = manager.Modules.ByAddress(address);
        SetSection(102);
        if (!CarriesOptions(module))
            module = manager.Modules.ByHandle(handling.Module);
        SetSection(103);
        if (!module || (!CarriesOptions(module) && fallback))
            module = manager.Modules.ByHandle(fallback);
        TakeOptions(manager.Options, module);
        if (manager.Options->BehaviourFlags() & 0x10) {
            TZephraModuleRef fallbackModule = manager.Modules.ByHandle(fallback);
            if (CarriesOptions(fallbackModule)) {
                TakeOptions(manager.Options, fallbackModule);
                module = fallbackModule;
            }
        }
        TZephraModuleOptionsEx& options = *manager.Options;
        report.Options = &options;
        SetSection(104);
        if (HostIsDevelopmentEnvironment())
            options.SetDialogFlags(options.DialogFlags() & ~0x80);
        if (module)
            options.SetModuleFile(module->FileName);

        SetSection(2);
        int filter = -1;
        if (handling.Answer != daSynchronized && options.HandleSwitch() && handling.Object)
            filter = FilterIndex(*handling.Object, options.FilterClasses().Items());
        if (filter != -1) {
            SetSection(201);
            // The filter's message alone is shown; the report stops.
            if (filter < options.FilterMessages().Count() && !options.FilterMessages()[filter].empty())
                ShowInformationBox(options.FilterMessages()[filter], options.GetCustomText(0), 0x242040);
            result = 1;
        } else {
            SetSection(3);
            THandlingBlock& block = handling.Block;
            const DWORD raiser = block.ThreadId;
            if (!block.StackTop && cleanup.Snapshot) {
                const int index = cleanup.Snapshot->FindByThreadId(raiser);
                if (index >= 0)
                    block.StackTop = cleanup.Snapshot->Item(static_cast<size_t>(index)).StackTop;
            }
            if (!block.StackPosition)
                block.StackPosition = handling.CapturePosition;
            if (!block.Context && handling.HasContext)
                block.Context = &handling.Context;
            if (!block.Context && handling.Object && handling.Object->SystemContext())
                block.Context = handling.Object->SystemContext();
            if (block.Context && !IsReadableRange(block.Context, sizeof(CONTEXT)))
                block.Context = nullptr;
            report.ThreadId = raiser;
            report.Block = block;

            SetSection(4);
            // Every exception gets a call stack of its own: no class-library
            // re-raise of another thread's exception exists in this build.
            report.CallStack = CaptureRaiser(handling, address, raiser, manager.Modules);
            if (cleanup.Snapshot) {
                const int index = cleanup.Snapshot->FindByThreadId(raiser);
                if (index >= 0)
                    ScanStackCopy(*report.CallStack, manager.Modules,
                                  cleanup.Snapshot->Item(static_cast<size_t>(index)));
                CaptureOtherThreads(*report.CallStack, manager.Modules, *cleanup.Snapshot, raiser,
                                    options.StackFlags());
            }

            SetSection(5);
            if (handling.Answer != daSynchronized)
                cleanup.SuspendForReport(raiser, options.BehaviourFlags());

            SetSection(6);
            bool handle = true;
            if ((options.LogFlags() & 0x10) && manager.Steps.BuildLists)
                manager.Steps.BuildLists(report);

            SetSection(7);
            record.CallStack = report.CallStack.get();
            record.Options = &options;

            SetSection(702);
            report.Threads = cleanup.Snapshot.get();
            if (manager.Steps.BuildReportText)
                manager.Steps.BuildReportText(report);
            report.Threads = nullptr;
            record.ReportText = report.ReportText.c_str();

            SetSection(703);
            record.ModulesList = &manager.Modules;

            SetSection(704);
            manager.OptionsVisible = true;
            if ((options.LogFlags() & 0x01) && manager.Steps.IsLoggedAlready)
                report.Duplicate = manager.Steps.IsLoggedAlready(report);

            SetSection(705);
            ClearWarning();

            SetSection(706);
            if (manager.Steps.TakeScreenshot)
                manager.Steps.TakeScreenshot(report);
            if (IsWebServerProgram() && manager.Steps.SaveLastHtmlPage)
                manager.Steps.SaveLastHtmlPage(report);
            CallInMainThread([&] { SendExceptionNotify(handle); });

            SetSection(8);
            if (handle) {
                if (options.BehaviourFlags() & 0x01)
                    AddCrash(options.CrashCount());
                std::string customData;
                CallInMainThread([&] { SendCustomDataRequest(customData); });
                if (!customData.empty()) {
                    report.CustomData = customData;
                    if (manager.Steps.AddCustomData)
                        manager.Steps.AddCustomData(report);
                }

                SetSection(9);
                ++Reports;

                SetSection(10);
                SetLastExceptionMessage(manager.Steps.ExceptionMessage ? manager.Steps.ExceptionMessage(report)
                                        : handling.Object                ? handling.Object->Message()
                                                                         : std::string());

                SetSection(11);
                if (options.DialogFlags() & 0x01) {
                    SetSection(12);
                    bool action = true;
                    ClearWarning();
                    NotifyAction(0, action);
                    if (RequestTest(report, options))
                        BringToFront();

                    SetSection(13);
                    if (action && !ShowOutput(report))
                        action = false;

                    SetSection(14);
                    NotifyAction(1, action);
                } else if (IsWebServerProgram() && manager.Steps.WriteHtmlMessage) {
                    manager.Steps.WriteHtmlMessage(report);
                }
                if (RequestTest(report, options) && manager.Steps.ShowRequestDialog)
                    manager.Steps.ShowRequestDialog(report);
                if (ToBeSent(report, options) && manager.Steps.WriteScreenshotFile)
                    manager.Steps.WriteScreenshotFile(report);
                if (manager.Steps.FreeScreenshot)
                    manager.Steps.FreeScreenshot(report);

                SetSection(15);
                if ((options.LogFlags() & 0x04) && manager.Steps.CheckLogVersion)
                    manager.Steps.CheckLogVersion(report);
                const bool toBeSent = ToBeSent(report, options);
                SaveLog(report, options);
                if (report.CopyChecked)
                    CopyToClipboard(report.ReportText);

                SetSection(16);
                if (toBeSent && manager.Steps.StartSending)
                    sent = report.Sending = manager.Steps.StartSending(report);
                if ((!sent || !(options.SendFlags() & 0x80)) && manager.Steps.RepeatedErrorsRule)
                    manager.Steps.RepeatedErrorsRule(report);
            } else {
                result = 1;
            }

            cleanup.ResumeSuspended();

            SetSection(17);
            if (!sent || !(options.SendFlags() & 0x80)) {
                report.CallStack.reset();
                record.CallStack = nullptr;
            }
        }

        SetSection(18);
        if (handling.Answer != daSynchronized && (!sent || !(options.SendFlags() & 0x80)) && report.TerminateChosen)
            TerminateApplication(options.TerminateMode() == 1);
    } catch (...) {
        HandleInternalError(std::to_string(Section.load()));
    }
    manager.OptionsVisible = false;
    SetSection(0);
    return result;
}

// The worker that runs one report at the highest priority while the raising
// thread waits.
class TExceptionThread {
public:
    explicit TExceptionThread(THandling& handling) : FHandling(handling) {}
    ~TExceptionThread()
    {
        if (FHandle)
            CloseHandle(FHandle);
    }
    TExceptionThread(const TExceptionThread&) = delete;
    TExceptionThread& operator=(const TExceptionThread&) = delete;

    bool Start()
    {
        DWORD id = 0;
        FHandle = CreateThread(nullptr, 0, Execute, this, CREATE_SUSPENDED, &id);
        if (!FHandle)
            return false;
        RegisterLibraryThread(id);
        SetThreadPriority(FHandle, THREAD_PRIORITY_HIGHEST);
        ResumeThread(FHandle);
        return true;
    }
    HANDLE Handle() const { return FHandle; }
    uint8_t Result() const { return FResult; }

private:
    static DWORD WINAPI Execute(void* parameter)
    {
        auto* self = static_cast<TExceptionThread*>(parameter);
        try {
            self->FResult = ProcessException(self->FHandling);
        } catch (...) {
        }
        UnregisterLibraryThread(GetCurrentThreadId());
        FreeRaiseRecord();
        return 0;
    }

    THandling& FHandling;
    HANDLE FHandle = nullptr;
    uint8_t FResult = 1;
};

// Runs the handling procedure on its worker; meanwhile the main thread pumps
// the dialog's messages and every raising thread runs the steps handed over to it.
uint8_t RunOnWorker(THandling& handling, bool pumpingAllowed)
{
    TExceptionThread worker(handling);
    if (!worker.Start())
        return ProcessException(handling);
    TReportPump pump;
    const bool mainThread = IsMainThread(GetCurrentThreadId());
    while (WaitForSingleObject(worker.Handle(), 0) == WAIT_TIMEOUT) {
        if (mainThread && pumpingAllowed && ReportDialogShown() && !pump.Failed)
            pump.PumpOnce();
        RunHandedOverStep();
        WaitForSingleObject(worker.Handle(), 10);
    }
    pump.Finish();
    return worker.Result();
}

void MarkSafeCallReport(const TExceptionRef& exception)
{
    TManagerState& manager = Manager();
    AcquireSRWLockExclusive(&SafeCallLock);
    manager.SafeCallReports[SafeCallNext] = exception;
    // The thrown object's address, until the boundary's failure routine asks
    // for it (TakeSafeCallMark): a later object at that address is new.
    SafeCallMarks[SafeCallNext] = exception->Object();
    SafeCallNext = (SafeCallNext + 1) % (sizeof manager.SafeCallReports / sizeof manager.SafeCallReports[0]);
    ReleaseSRWLockExclusive(&SafeCallLock);
}

bool StringReadable(const std::string& text)
{
    if (!IsReadableRange(&text, sizeof text))
        return false;
    const size_t size = text.size();
    return size < (1u << 20) && text.data() && IsReadableRange(text.data(), size + 1);
}

} // namespace

uint32_t SectionCode() noexcept
{
    return Section;
}

void SetSectionCode(uint32_t code) noexcept
{
    SetSection(code);
}

bool ConsoleProgram()
{
    return IsConsoleProgram();
}

bool ReportInProgress() noexcept
{
    return InProgress;
}

bool WaitForRunningReport(DWORD ms) noexcept
{
    if (InProgress && ReportThread == GetCurrentThreadId())
        return false;
    // A bounded wait, not EnterCriticalSection: the module's end runs under
    // the loader's lock, which a running report may be waiting for.
    const DWORD start = GetTickCount();
    for (;;) {
        if (TryEnterCriticalSection(&ManagerLock())) {
            const bool mine = ManagerLock().RecursionCount > 1;
            LeaveCriticalSection(&ManagerLock());
            if (!mine)
                return true;
            return false;
        }
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(1);
    }
}

DWORD ReportThreadId() noexcept
{
    return ReportThread;
}

bool IsValidExceptionObject(const TExceptionInfo* object) noexcept
{
    if (!object || !IsReadableRange(object, sizeof *object))
        return false;
    const std::type_info* type = object->Type();
    if (!type || !IsReadableRange(type, 2 * sizeof(void*)))
        return false;
    const void* const* words = reinterpret_cast<const void* const*>(type);
    if (!IsReadableRange(words[0], sizeof(void*)))
        return false;
    const auto* name = static_cast<const char*>(words[1]);
    const size_t span = ReadableSpan(name, 4096);
    if (!span || !std::memchr(name, 0, span))
        return false;
    if (!StringReadable(object->ClassName()) || !StringReadable(object->Message()))
        return false;
    const std::vector<std::string>& ancestry = object->Ancestry();
    const size_t count = ancestry.size();
    if (count > 256 || (count && !IsReadableRange(ancestry.data(), count * sizeof(std::string))))
        return false;
    for (const std::string& name : ancestry)
        if (!StringReadable(name))
            return false;
    if (object->SystemRecord() && !IsReadableRange(object->SystemRecord(), sizeof(EXCEPTION_RECORD)))
        return false;
    return !object->SystemContext() || IsReadableRange(object->SystemContext(), sizeof(CONTEXT));
}

uint8_t ExceptionManager(const TExceptionInfo* object, const void* address, TRaiserKind kind, HMODULE module)
{
    try {
        TManagerGuard guard;
        if (LibraryState().DefersToMain && LibraryState().MainModule && LibraryState().MainModule != OwnModule()) {
            if (const auto main = reinterpret_cast<TExceptionManagerExport>(
                    reinterpret_cast<void*>(GetProcAddress(LibraryState().MainModule, "ExceptionManager"))))
                return main(object, address, kind, OwnModule());
        }
        if (!LibraryState().HandlingEnabled)
            return 1;
        const TSavedException saved = SavedException();
        TExceptionRef exception;
        if (IsValidExceptionObject(object)) {
            // EAbort and its descendants are never reported, whatever was saved.
            if (!object->IsManageable())
                return 1;
            exception = std::make_shared<const TExceptionInfo>(*object);
        } else {
            if (!saved.LastObject || !saved.LastObject->IsManageable())
                return 1;
            exception = saved.LastObject;
            address = saved.LastAddress;
        }
        if (TRaiseRecord* raise = CurrentRaiseRecord())
            if (!raise->CapturePosition)
                raise->CapturePosition = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        return RunExceptionHandler(exception, address, saved.RaisedByProgram, daOrdinary, module, kind, nullptr, 0,
                                   0);
    } catch (...) {
        return 1;
    }
}

uint8_t RunExceptionHandler(const TExceptionRef& object, const void* address, bool raisedByProgram,
                            uint8_t answer, HMODULE module, TRaiserKind kind, THandlingBlock* block,
                            uintptr_t stackTop, uintptr_t stackPosition)
{
    if (!LibraryState().Active)
        return 1;
    try {
        const bool pumpingAllowed = !(object && object->InheritsFrom("EStackOverflow"));
        TManagerGuard guard;
        TRaiseRecord* raise = CurrentRaiseRecord();
        if (!raise)
            return 1;
        if (raise->Handling)
            return 0;
        raise->Handling = 1;
        struct THandlingFlag {
            TRaiseRecord* Raise;
            ~THandlingFlag() { Raise->Handling = 0; }
        } handlingFlag{raise};

        if (object && ((object->InheritsFrom("Exception") && StartsWith(object->Message(), SafeCallPrefix)) ||
                       ReportedInSafeCall(object.get())))
            return 0;
        const TZephraModuleOptionsEx* moduleOptions = ModuleOptions;
        if (!moduleOptions || !moduleOptions->HandlerActive())
            return 1;

        THandling handling;
        handling.Object = object;
        handling.Address = address;
        handling.RaisedByProgram = raisedByProgram;
        handling.Answer = answer;
        handling.Module = module;
        handling.Kind = kind;
        THandlingBlock& parameters = block ? *block : handling.Block;
        parameters.StackTop = stackTop;
        parameters.StackPosition = stackPosition;
        if (!parameters.ThreadId)
            parameters.ThreadId = GetCurrentThreadId();
        if (!parameters.StackTop && parameters.ThreadId == GetCurrentThreadId())
            parameters.StackTop = StackTop();
        TakeFocus(parameters, parameters.ThreadId);
        if (block)
            handling.Block = *block;
        handling.Raise = raise;
        handling.CapturePosition = raise->CapturePosition;
        if (raise->Context.ContextFlags) {
            handling.HasContext = true;
            handling.Context = raise->Context;
        }
        if (raise->StackCopy && raise->StackCopySize && raise->StackCopySize <= RaiseStackCopyLimit) {
            handling.StackCopy.assign(raise->StackCopy, raise->StackCopy + raise->StackCopySize);
            handling.StackCopyThreadId = raise->StackCopyThreadId;
            handling.StackCopyAddress = raise->StackCopyAddress;
        }

        uint8_t result;
        ReportThread = GetCurrentThreadId();
        InProgress = true;
        try {
            if (IsDll(OwnModule()) && (LibraryState().InInitialisation || LibraryState().InFinalisation))
                result = ProcessException(handling);
            else
                result = RunOnWorker(handling, pumpingAllowed);
        } catch (...) {
            result = 1;
        }
        InProgress = false;
        ReportThread = 0;
        CurrentExceptionRecord() = TZephraExceptionRecord{};
        raise->CapturePosition = 0;
        raise->Context.ContextFlags = 0;
        if (answer == daSafeCall && object)
            MarkSafeCallReport(object);
        return result;
    } catch (...) {
        return 1;
    }
}

// Options --------------------------------------------------------------------------------

TZephraModuleOptionsEx::TZephraModuleOptionsEx(const std::string& moduleFile, bool saveShared)
    : TZephraModuleOptions(moduleFile, saveShared)
{
    NotifyChange();
}

void TZephraModuleOptionsEx::OptionsChanged()
{
    PublishModuleOptions(*this);
}

void SetModuleOptions(std::unique_ptr<TZephraModuleOptionsEx> options)
{
    delete ModuleOptions;
    ModuleOptions = options.release();
}

TZephraModuleOptionsEx* CurrentZephraLogOptions()
{
    if (!LibraryState().Active || !ModuleOptions)
        throw EAssertionFailed("\r\nCannot use 'CurrentZephraLogOptions' function without activate ZephraLog.\r\n"
                               "To activate ZephraLog use the new IDE \"Project/ZephraLog Options...\" menu. "
                               "(RuruvarodIre)");
    return ModuleOptions;
}

bool SetZephraLogOption(const std::function<void(TZephraModuleOptions& options)>& assign)
{
    if (!LibraryState().Active)
        return false;
    TManagerState& manager = Manager();
    const bool report = ReportInProgress() && manager.OptionsVisible && manager.Options;
    TZephraModuleOptions* options = report ? manager.Options.get() : ModuleOptions;
    if (!options)
        return false;
    options->BeginChange();
    try {
        assign(*options);
    } catch (...) {
        options->EndChange();
        throw;
    }
    options->EndChange();
    options->NotifyChange();
    if (report)
        OptionsChangedInReport = true;
    return true;
}

bool ReportOptionsChanged() noexcept
{
    return OptionsChangedInReport;
}

// Report state -----------------------------------------------------------------------------

TZephraModulesList& LibraryModules()
{
    return Manager().Modules;
}

TReportSteps& ReportSteps()
{
    return Manager().Steps;
}

std::vector<TDateTime> CrashHistory()
{
    TManagerState& manager = Manager();
    AcquireSRWLockShared(&manager.CrashLock);
    std::vector<TDateTime> copy;
    try {
        copy = manager.Crashes;
    } catch (...) {
    }
    ReleaseSRWLockShared(&manager.CrashLock);
    return copy;
}

const void* LastReportedAddress() noexcept
{
    return LastAddress;
}

uint32_t ReportCount() noexcept
{
    return Reports;
}

void SetReportDialogShown(bool shown) noexcept
{
    DialogShown = shown;
}

bool ReportDialogShown() noexcept
{
    return DialogShown;
}

HWND FocusWindowAtRaise() noexcept
{
    return FocusWindow;
}

CURSORINFO CursorAtRaise() noexcept
{
    return Cursor;
}

bool ReportedInSafeCall(const TExceptionInfo* exception) noexcept
{
    if (!exception)
        return false;
    TManagerState& manager = Manager();
    AcquireSRWLockShared(&SafeCallLock);
    bool found = false;
    for (const TExceptionRef& reported : manager.SafeCallReports)
        found |= reported.get() == exception;
    ReleaseSRWLockShared(&SafeCallLock);
    return found;
}

bool TakeSafeCallMark(const void* thrownObject) noexcept
{
    if (!thrownObject)
        return false;
    AcquireSRWLockExclusive(&SafeCallLock);
    bool found = false;
    for (const void*& mark : SafeCallMarks)
        if (mark == thrownObject) {
            mark = nullptr;
            found = true;
        }
    ReleaseSRWLockExclusive(&SafeCallLock);
    return found;
}

// The pump ------------------------------------------------------------------------------------

bool TReportPump::PumpOnce()
{
    for (int i = 0; i < 11 && !Failed; ++i) {
        MSG message;
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            break;
        if (message.message == WM_QUIT) {
            // Kept for the thread's own loop, which must still end.
            QuitSeen = true;
            QuitCode = message.wParam;
            continue;
        }
        if (IsInputMessage(message.message)) {
            MessageBeep(0);
            continue;
        }
        try {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        } catch (...) {
            Failed = true;
        }
    }
    return !Failed;
}

void TReportPump::Finish()
{
    if (QuitSeen)
        PostQuitMessage(static_cast<int>(QuitCode));
    QuitSeen = false;
}

} // namespace qov::exceptions
