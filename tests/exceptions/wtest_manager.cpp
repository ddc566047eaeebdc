// The exception manager called straight from test code: the notify event
// with the report's record, the recursion answer, the safecall rule, filters,
// the synchronized answer, the focus text of password edits, the waiting
// main thread's pump, garbage objects, and other threads' stacks taken while
// they allocate.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BoxWatcher.h"
#include "ECore.h"
#include "EDecision.h"
#include "EManager.h"
#include "ERaise.h"
#include "EReportSteps.h"
#include "EStack.h"
#include "EThreadHooks.h"
#include "SysUtils.h"
#include "EEvents.h"

using namespace qov::exceptions;

namespace {

// What the notify event saw.
struct TNotified {
    int Count = 0;
    std::string ClassName;
    const void* Address = nullptr;
    uintptr_t ThreadId = 0;
    DWORD HandlerThread = 0;
    size_t StackEntries = 0;
    bool HasOptions = false;
    uint32_t Section = 0;
};

TNotified Notified;
// Runs inside the notify event, on the raising thread.
std::function<void(bool& handle)> DuringNotify;

void OnNotify(const TZephraExceptionRecord& record, bool& handle)
{
    ++Notified.Count;
    Notified.ClassName = record.ExceptionObject ? record.ExceptionObject->ClassName() : std::string();
    Notified.Address = record.ExceptionAddress;
    Notified.ThreadId = record.ThreadId;
    Notified.HandlerThread = GetCurrentThreadId();
    Notified.StackEntries = record.CallStack ? record.CallStack->Count() : 0;
    Notified.HasOptions = record.Options != nullptr;
    Notified.Section = SectionCode();
    if (DuringNotify)
        DuringNotify(handle);
}

template <typename E>
TExceptionRef Caught(E exception)
{
    try {
        throw exception;
    } catch (...) {
        return std::make_shared<const TExceptionInfo>(TExceptionInfo::Current());
    }
}

__attribute__((noinline)) void RaisingPlace()
{
    asm volatile("");
}

const void* RaiseAddress()
{
    return reinterpret_cast<const void*>(&RaisingPlace);
}

HMODULE Own()
{
    return GetModuleHandleA(nullptr);
}

uint8_t Report(const TExceptionRef& exception, uint8_t answer = 0, TRaiserKind kind = rkThread)
{
    return RunExceptionHandler(exception, RaiseAddress(), false, answer, Own(), kind, nullptr, 0, 0);
}

// A thread of the test that the report may suspend and capture; listed in
// the process's thread list like a thread the tracking saw start.
class TWorker {
public:
    explicit TWorker(LPTHREAD_START_ROUTINE routine)
    {
        FHandle = CreateThread(nullptr, 0, routine, &FStop, 0, &FId);
        TZephraThreadsList& threads = *ProcessThreads();
        if (threads.FindByThreadId(FId) < 0) {
            TZephraThreadRecord& record = threads.NewRecord();
            record.ThreadId = FId;
            DuplicateHandle(GetCurrentProcess(), FHandle, GetCurrentProcess(), &record.Handle, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            record.StackTop = ThreadStackTop(FHandle);
        }
    }
    ~TWorker()
    {
        FStop = true;
        WaitForSingleObject(FHandle, INFINITE);
        TZephraThreadsList& threads = *ProcessThreads();
        const int index = threads.FindByThreadId(FId);
        if (index >= 0) {
            CloseHandle(threads.Item(static_cast<size_t>(index)).Handle);
            threads.Delete(static_cast<size_t>(index));
        }
        CloseHandle(FHandle);
    }
    DWORD Id() const { return FId; }
    // The thread's suspend count as it stands.
    DWORD SuspendCount() const
    {
        const DWORD previous = SuspendThread(FHandle);
        ResumeThread(FHandle);
        return previous;
    }

private:
    HANDLE FHandle = nullptr;
    DWORD FId = 0;
    std::atomic<bool> FStop{false};
};

DWORD WINAPI Idler(void* stop)
{
    while (!*static_cast<std::atomic<bool>*>(stop))
        Sleep(1);
    return 0;
}

// Allocates and frees without a pause, from both heaps.
DWORD WINAPI Allocator(void* stop)
{
    while (!*static_cast<std::atomic<bool>*>(stop)) {
        std::vector<std::string> texts;
        for (int i = 0; i < 50; ++i)
            texts.emplace_back(static_cast<size_t>(100 + i * 37), 'x');
        void* block = HeapAlloc(GetProcessHeap(), 0, 4000);
        HeapFree(GetProcessHeap(), 0, block);
    }
    return 0;
}

struct TRun {
    int Reports = 0;
    int Failed = 0;
};

DWORD WINAPI RunReports(void* data)
{
    auto* run = static_cast<TRun*>(data);
    for (int i = 0; i < 40; ++i, ++run->Reports)
        run->Failed += Report(Caught(qov::Exception("while allocating"))) != 0;
    return 0;
}

class ManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        TLibraryState& state = LibraryState();
        state.Active = true;
        state.HandlingEnabled = true;
        state.MainThreadId = GetCurrentThreadId();
        char file[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, file, MAX_PATH);
        SetModuleOptions(std::make_unique<TZephraModuleOptionsEx>(file, false));
        StartThreadTracking();
        RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = OnNotify});
    }

    void SetUp() override
    {
        Notified = TNotified{};
        DuringNotify = nullptr;
        ReportSteps() = TReportSteps{};
        TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
        options.ResetToDefaults();
        options.FilterClasses().Clear();
        options.FilterMessages().Clear();
        // No thread of the test is suspended unless a test asks for it.
        options.SetBehaviourFlags(0);
    }
};

TEST_F(ManagerTest, NotifyEventGetsTheRecordOnTheRaisingThread)
{
    const TExceptionRef exception = Caught(qov::ERangeError("out of range"));
    EXPECT_EQ(Report(exception), 0);
    EXPECT_EQ(Notified.Count, 1);
    EXPECT_EQ(Notified.ClassName, "ERangeError");
    EXPECT_EQ(Notified.Address, RaiseAddress());
    EXPECT_EQ(Notified.ThreadId, GetCurrentThreadId());
    // The event is handed over to the thread that raised, which waits.
    EXPECT_EQ(Notified.HandlerThread, GetCurrentThreadId());
    EXPECT_GT(Notified.StackEntries, 0u);
    EXPECT_TRUE(Notified.HasOptions);
    EXPECT_EQ(Notified.Section, 706u);
    // After the report nothing is left current.
    EXPECT_EQ(SectionCode(), 0u);
    EXPECT_FALSE(ReportInProgress());
    EXPECT_EQ(CurrentExceptionRecord().ExceptionObject, nullptr);
    EXPECT_EQ(LastReportedAddress(), RaiseAddress());

    // Raised by the program: the address is moved back to the call.
    RunExceptionHandler(exception, RaiseAddress(), true, 0, Own(), rkThread, nullptr, 0, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Notified.Address), reinterpret_cast<uintptr_t>(RaiseAddress()) - 5);
}

TEST_F(ManagerTest, HandlerThatClearsTheHandleFlagLeavesTheException)
{
    const uint32_t before = ReportCount();
    DuringNotify = [](bool& handle) { handle = false; };
    EXPECT_EQ(Report(Caught(qov::Exception("left to the caller"))), 1);
    EXPECT_EQ(ReportCount(), before);
    DuringNotify = nullptr;
    EXPECT_EQ(Report(Caught(qov::Exception("reported"))), 0);
    EXPECT_EQ(ReportCount(), before + 1);
}

TEST_F(ManagerTest, RaiseInsideTheHandlingAnswersZeroAtOnce)
{
    int inner = -1;
    DuringNotify = [&](bool&) {
        DuringNotify = nullptr;
        inner = Report(Caught(qov::Exception("second")));
    };
    EXPECT_EQ(Report(Caught(qov::Exception("first"))), 0);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(Notified.Count, 1);
    // The guard is gone once the report ended.
    EXPECT_EQ(Report(Caught(qov::Exception("third"))), 0);
    EXPECT_EQ(Notified.Count, 2);
}

TEST_F(ManagerTest, SafeCallReportsAreNotRepeated)
{
    EXPECT_EQ(Report(Caught(qov::Exception(std::string(SafeCallPrefix) + "reported inside"))), 0);
    EXPECT_EQ(Notified.Count, 0);
    // Only an Exception's message counts.
    EXPECT_EQ(Report(Caught(std::string(SafeCallPrefix))), 0);
    EXPECT_EQ(Notified.Count, 1);

    const TExceptionRef exception = Caught(qov::Exception("member failed"));
    EXPECT_EQ(Report(exception, daSafeCall), 0);
    EXPECT_EQ(Notified.Count, 2);
    // Its message stays bare; the descriptor is known as reported and is
    // passed over when it comes again, say as the saved exception.
    EXPECT_EQ(exception->Message(), "member failed");
    EXPECT_TRUE(ReportedInSafeCall(exception.get()));
    EXPECT_EQ(Report(exception), 0);
    RecordSavedException(exception, RaiseAddress(), false);
    EXPECT_EQ(ExceptionManager(nullptr, RaiseAddress(), rkApplication, Own()), 0);
    EXPECT_EQ(Notified.Count, 2);
    // The next failure of the same member is reported again.
    EXPECT_EQ(Report(Caught(qov::Exception("member failed"))), 0);
    EXPECT_EQ(Notified.Count, 3);
}

TEST_F(ManagerTest, FilterShowsItsMessageOnlyAndStopsTheReport)
{
    TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    options.FilterClasses().Add("EStreamError");
    options.FilterMessages().Add("The file could not be read.");
    options.FilterClasses().Add("EConvertError");
    options.FilterMessages().Add("");
    bool texted = false;
    ReportSteps().BuildReportText = [&](TReportState&) { texted = true; };
    {
        qovtest::TBoxWatcher watcher("Information.", IDOK, 10000);
        EXPECT_EQ(Report(Caught(qov::EReadError("short read"))), 1);
        watcher.Join();
        EXPECT_TRUE(watcher.Seen());
        EXPECT_EQ(watcher.Text(), "The file could not be read.");
    }
    EXPECT_EQ(Notified.Count, 0);
    EXPECT_FALSE(texted);
    {
        // An empty message: nothing shown, nothing reported.
        qovtest::TBoxWatcher watcher("Information.", IDOK, 500);
        EXPECT_EQ(Report(Caught(qov::EConvertError("bad number"))), 1);
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
    }
    EXPECT_EQ(Notified.Count, 0);
    // A synchronized call's exception is never filtered.
    EXPECT_EQ(Report(Caught(qov::EConvertError("bad number")), daSynchronized), 0);
    EXPECT_EQ(Notified.Count, 1);
}

TEST_F(ManagerTest, SynchronizedAnswerNeverSuspendsNorTerminates)
{
    TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    options.SetBehaviourFlags(0x0A);
    TWorker worker(Idler);
    DWORD during = 99;
    DuringNotify = [&](bool&) { during = worker.SuspendCount(); };
    // The user chose to end the program in the dialog.
    ReportSteps().BuildReportText = [](TReportState& report) { report.TerminateChosen = true; };
    EXPECT_EQ(Report(Caught(qov::Exception("synchronized")), daSynchronized), 0);
    EXPECT_EQ(during, 0u);

    // An ordinary answer keeps the foreign thread suspended for the report.
    ReportSteps().BuildReportText = nullptr;
    EXPECT_EQ(Report(Caught(qov::Exception("ordinary"))), 0);
    EXPECT_EQ(during, 1u);
    EXPECT_EQ(worker.SuspendCount(), 0u);
}

TEST_F(ManagerTest, FailingStepIsAnInternalErrorAndEverythingIsUndone)
{
    CurrentZephraLogOptions()->SetBehaviourFlags(0x08);
    TWorker worker(Idler);
    ReportSteps().BuildReportText = [](TReportState&) { throw qov::Exception("report text failed"); };
    EXPECT_EQ(Report(Caught(qov::Exception("first"))), 0);
    EXPECT_EQ(Notified.Count, 0);
    EXPECT_EQ(worker.SuspendCount(), 0u);
    EXPECT_EQ(SectionCode(), 0u);
    TRaiseRecord* raise = CurrentRaiseRecord();
    ASSERT_NE(raise, nullptr);
    EXPECT_EQ(raise->CaptureInProgress, 0);
    EXPECT_EQ(raise->Handling, 0);
    EXPECT_EQ(raise->CapturePosition, 0u);
}

TEST_F(ManagerTest, PasswordEditShowsStarsOfTheSameLength)
{
    HWND frame = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(frame, nullptr);
    HWND password = CreateWindowExW(0, L"EDIT", L"\u5bc6\u7801ab", WS_CHILD | WS_VISIBLE | ES_PASSWORD, 0, 0, 200,
                                    20, frame, nullptr, nullptr, nullptr);
    HWND plain = CreateWindowExW(0, L"EDIT", L"\u4e2d\u6587", WS_CHILD | WS_VISIBLE, 0, 30, 200, 20, frame,
                                 nullptr, nullptr, nullptr);
    SetForegroundWindow(frame);
    THandlingBlock seen;
    ReportSteps().BuildReportText = [&](TReportState& report) { seen = report.Block; };

    SetFocus(password);
    ASSERT_EQ(GetFocus(), password);
    Report(Caught(qov::Exception("with a password")));
    EXPECT_EQ(seen.FocusText, "****");
    EXPECT_STRCASEEQ(seen.FocusClass.c_str(), "Edit");
    EXPECT_EQ(FocusWindowAtRaise(), password);

    SetFocus(plain);
    Report(Caught(qov::Exception("with a text")));
    EXPECT_EQ(seen.FocusText, "中文");
    DestroyWindow(frame);
}

// Counts the messages its window receives.
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* counts = reinterpret_cast<int*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (counts && message == WM_KEYDOWN)
        ++counts[0];
    if (counts && message == WM_APP)
        ++counts[1];
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(ManagerTest, WaitingMainThreadPumpsAndKeepsTheQuitMessage)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.lpszClassName = L"ManagerTestCounting";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"ManagerTestCounting", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                  nullptr);
    int counts[2] = {};
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(counts));
    const DWORD main = GetCurrentThreadId();
    // The dialog is up while the worker posts to the waiting main thread.
    ReportSteps().BuildReportText = [&](TReportState&) {
        SetReportDialogShown(true);
        PostThreadMessageW(main, WM_QUIT, 7, 0);
        PostMessageW(window, WM_KEYDOWN, VK_SPACE, 0);
        PostMessageW(window, WM_APP, 0, 0);
        for (int i = 0; i < 200 && counts[1] == 0; ++i)
            Sleep(10);
        Sleep(50);
        SetReportDialogShown(false);
    };
    EXPECT_EQ(Report(Caught(qov::Exception("while a dialog is up"))), 0);
    EXPECT_EQ(counts[1], 1);
    EXPECT_EQ(counts[0], 0);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);

    // A stack overflow is handled without pumping.
    ReportSteps().BuildReportText = [&](TReportState&) {
        SetReportDialogShown(true);
        PostMessageW(window, WM_APP, 0, 0);
        Sleep(100);
        SetReportDialogShown(false);
    };
    EXCEPTION_RECORD overflow{};
    overflow.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
    Report(std::make_shared<const TExceptionInfo>(overflow, nullptr));
    EXPECT_EQ(counts[1], 1);
    DestroyWindow(window);
}

TEST_F(ManagerTest, GarbageObjectTakesTheSavedException)
{
    const TExceptionRef saved = Caught(qov::EStreamError("saved one"));
    const void* savedAddress = reinterpret_cast<const void*>(&Idler);
    RecordSavedException(saved, savedAddress, false);
    std::vector<uint8_t> filled(sizeof(TExceptionInfo) + 64, 0xCC);
    std::vector<uintptr_t> pointers(64, reinterpret_cast<uintptr_t>(filled.data()));
    const TExceptionInfo* garbage[] = {
        nullptr,
        reinterpret_cast<const TExceptionInfo*>(16),
        reinterpret_cast<const TExceptionInfo*>(filled.data()),
        reinterpret_cast<const TExceptionInfo*>(pointers.data()),
    };
    int expected = 0;
    for (const TExceptionInfo* object : garbage) {
        EXPECT_FALSE(IsValidExceptionObject(object));
        Notified.ClassName.clear();
        EXPECT_EQ(ExceptionManager(object, RaiseAddress(), rkApplication, Own()), 0);
        EXPECT_EQ(Notified.Count, ++expected);
        EXPECT_EQ(Notified.ClassName, "EStreamError");
        EXPECT_EQ(Notified.Address, savedAddress);
    }
    // A valid object is reported as it is.
    const TExceptionInfo own = *Caught(qov::ERangeError("own"));
    EXPECT_TRUE(IsValidExceptionObject(&own));
    EXPECT_EQ(ExceptionManager(&own, RaiseAddress(), rkApplication, Own()), 0);
    EXPECT_EQ(Notified.ClassName, "ERangeError");
    // EAbort is never reported, and nothing is when the saved one is none to report.
    const TExceptionInfo abort = *Caught(qov::EAbort(""));
    EXPECT_EQ(ExceptionManager(&abort, RaiseAddress(), rkApplication, Own()), 1);
    RecordSavedException(Caught(qov::EAbort("")), savedAddress, false);
    EXPECT_EQ(ExceptionManager(nullptr, RaiseAddress(), rkApplication, Own()), 1);
    EXPECT_EQ(Notified.Count, expected + 1);
}

TEST_F(ManagerTest, OtherThreadsStacksAreTakenWhileTheyAllocate)
{
    TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    options.SetStackFlags(0x0C);
    // Foreign threads stay suspended for the report, which then allocates.
    options.SetBehaviourFlags(0x08);
    std::vector<std::unique_ptr<TWorker>> workers;
    for (int i = 0; i < 4; ++i)
        workers.push_back(std::make_unique<TWorker>(Allocator));
    std::vector<DWORD> missing;
    DuringNotify = [&](bool&) {
        const TZephraStackList& stack = *CurrentExceptionRecord().CallStack;
        for (const auto& worker : workers) {
            bool found = false;
            for (size_t i = 0; i < stack.Count(); ++i)
                found |= stack[i].ThreadId == worker->Id() && stack[i].Flag == 1;
            if (!found)
                missing.push_back(worker->Id());
        }
    };
    TRun run;
    // The reports run on a thread of their own, so that a hang fails the test.
    HANDLE runner = CreateThread(nullptr, 0, RunReports, &run, 0, nullptr);
    // The runner waits for its own reports, with no main-thread steps: the
    // notify event is handed over to it.
    if (WaitForSingleObject(runner, 60000) != WAIT_OBJECT_0) {
        // The workers may stay suspended: the test cannot end in order.
        std::fprintf(stderr, "reports hung after %d\n", run.Reports);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    CloseHandle(runner);
    EXPECT_EQ(run.Failed, 0);
    EXPECT_TRUE(missing.empty());
    EXPECT_EQ(Notified.Count, 40);
    for (const auto& worker : workers)
        EXPECT_EQ(worker->SuspendCount(), 0u);
}

TEST_F(ManagerTest, CrashHistoryKeepsTheLastCrashCount)
{
    TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    options.SetBehaviourFlags(0x01);
    options.SetCrashCount(3);
    for (int i = 0; i < 5; ++i)
        Report(Caught(qov::Exception("crash")));
    const std::vector<TDateTime> history = CrashHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_LE(history[0], history[1]);
    EXPECT_LE(history[1], history[2]);
}

TEST_F(ManagerTest, OptionSetterChangesTheReportsOptionsDuringAReport)
{
    TZephraModuleOptionsEx& module = *CurrentZephraLogOptions();
    module.SetMailTo("module@example.com");
    std::string inReport;
    DuringNotify = [&](bool&) {
        EXPECT_TRUE(SetZephraLogOption([](TZephraModuleOptions& options) { options.SetMailTo("report@example.com"); }));
        inReport = CurrentExceptionRecord().Options->MailTo();
    };
    Report(Caught(qov::Exception("option")));
    EXPECT_EQ(inReport, "report@example.com");
    EXPECT_EQ(module.MailTo(), "module@example.com");
    EXPECT_TRUE(ReportOptionsChanged());
    EXPECT_TRUE(SetZephraLogOption([](TZephraModuleOptions& options) { options.SetMailTo("later@example.com"); }));
    EXPECT_EQ(module.MailTo(), "later@example.com");
}

TEST_F(ManagerTest, InactiveLibraryHasNoOptions)
{
    LibraryState().Active = false;
    try {
        CurrentZephraLogOptions();
        ADD_FAILURE() << "no assertion";
    } catch (const qov::EAssertionFailed& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot use 'CurrentZephraLogOptions' function without activate "
                                             "ZephraLog."),
                  std::string::npos);
    }
    EXPECT_FALSE(SetZephraLogOption([](TZephraModuleOptions&) {}));
    EXPECT_EQ(Report(Caught(qov::Exception("inactive"))), 1);
    LibraryState().Active = true;
    EXPECT_EQ(Notified.Count, 0);
}

} // namespace

namespace {

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

DWORD WINAPI LoadInitDll(void* module)
{
    *static_cast<HMODULE*>(module) = LoadLibraryA((ProgramFolder() + "manager_init_dll.dll").c_str());
    return 0;
}

TEST_F(ManagerTest, LibraryInItsInitialisationHandlesOnTheRaisingThread)
{
    HMODULE dll = nullptr;
    DWORD loader = 0;
    HANDLE thread = CreateThread(nullptr, 0, LoadInitDll, &dll, 0, &loader);
    // A worker thread could not start under the loader's lock: waiting for it would hang.
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_NE(dll, nullptr);
    using TReport = void(__cdecl*)(int*, int*, DWORD*);
    const auto report = reinterpret_cast<TReport>(reinterpret_cast<void*>(GetProcAddress(dll, "ManagerInitReport")));
    ASSERT_NE(report, nullptr);
    int result = -1, notified = 0;
    DWORD notifyThread = 0;
    report(&result, &notified, &notifyThread);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(notifyThread, loader);
    FreeLibrary(dll);
}

// Owns an edit with the focus (its input joined with the test thread's),
// then stops answering messages for a while.
struct THungFocus {
    DWORD Partner = 0;
    HANDLE Ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD HangMs = 3000;
    bool Joined = false;
};

DWORD WINAPI HangWithFocus(void* data)
{
    auto* hung = static_cast<THungFocus*>(data);
    HWND frame = CreateWindowExW(0, L"STATIC", L"hung", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    HWND edit = CreateWindowExW(0, L"EDIT", L"never read", WS_CHILD | WS_VISIBLE, 0, 0, 150, 20, frame, nullptr,
                                nullptr, nullptr);
    hung->Joined = AttachThreadInput(hung->Partner, GetCurrentThreadId(), TRUE) != FALSE;
    SetForegroundWindow(frame);
    SetFocus(edit);
    SetEvent(hung->Ready);
    Sleep(hung->HangMs);
    AttachThreadInput(hung->Partner, GetCurrentThreadId(), FALSE);
    DestroyWindow(frame);
    return 0;
}

TEST_F(ManagerTest, HungFocusWindowDoesNotHoldTheReport)
{
    // Input can only be joined with a thread that has a message queue.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    THungFocus hung;
    hung.Partner = GetCurrentThreadId();
    HANDLE thread = CreateThread(nullptr, 0, HangWithFocus, &hung, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(hung.Ready, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(hung.Joined);
    THandlingBlock seen;
    ReportSteps().BuildReportText = [&](TReportState& report) { seen = report.Block; };
    const DWORD start = GetTickCount();
    EXPECT_EQ(Report(Caught(qov::Exception("focus elsewhere"))), 0);
    const DWORD took = GetTickCount() - start;
    EXPECT_STRCASEEQ(seen.FocusClass.c_str(), "Edit");
    EXPECT_EQ(seen.FocusText, "");
    EXPECT_LT(took, 1500u);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(hung.Ready);
}

// Returns its own return address: right behind a call in its caller.
__attribute__((noinline)) uintptr_t ReturnAddress()
{
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

TEST_F(ManagerTest, StackAndContextComeFromTheRaiseRecord)
{
    const uintptr_t returnAddress = ReturnAddress();
    TRaiseRecord& raise = *CurrentRaiseRecord();
    // The raise-time copy of a stack that is gone by the time of the report.
    std::vector<uintptr_t> words(64, 0);
    words[10] = returnAddress;
    std::memcpy(raise.StackCopy, words.data(), words.size() * sizeof(uintptr_t));
    raise.StackCopySize = static_cast<uint32_t>(words.size() * sizeof(uintptr_t));
    raise.StackCopyThreadId = GetCurrentThreadId();
    raise.StackCopyAddress = RaiseAddress();
    raise.Context.ContextFlags = CONTEXT_FULL;
#ifdef _WIN64
    raise.Context.Rip = 0x1234;
#else
    raise.Context.Eip = 0x1234;
#endif
    std::vector<uintptr_t> addresses;
    std::vector<uint8_t> tags;
    uintptr_t ip = 0;
    const DWORD raiser = GetCurrentThreadId();
    ReportSteps().BuildReportText = [&](TReportState& report) {
        const TZephraStackList& stack = *report.CallStack;
        for (size_t i = 0; i < stack.Count(); ++i)
            if (stack[i].ThreadId == raiser) {
                addresses.push_back(stack[i].Address);
                tags.push_back(stack[i].Flag);
            }
#ifdef _WIN64
        ip = report.Block.Context ? report.Block.Context->Rip : 0;
#else
        ip = report.Block.Context ? report.Block.Context->Eip : 0;
#endif
    };
    EXPECT_EQ(ExceptionManager(Caught(qov::Exception("caught, then handed on")).get(), RaiseAddress(),
                               rkApplication, Own()),
              0);
    ASSERT_GE(addresses.size(), 2u);
    // The exception's address first, then the call found in the copy.
    EXPECT_EQ(addresses[0], reinterpret_cast<uintptr_t>(RaiseAddress()));
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), returnAddress - 5), addresses.end());
    EXPECT_EQ(tags[0], 1);
    EXPECT_EQ(ip, 0x1234u);
    // The report leaves the raise record without a context or capture position.
    EXPECT_EQ(raise.Context.ContextFlags, 0u);
    EXPECT_EQ(raise.CapturePosition, 0u);
    raise.StackCopySize = 0;
}

} // namespace

TEST_F(ManagerTest, TheEndWaitsForAReportOnAnotherThreadAndNotForItsOwn)
{
    EXPECT_TRUE(WaitForRunningReport(0)) << "no report: nothing to wait for";
    bool onWorker = true;
    bool onRaiser = true;
    DWORD waited = 0;
    const DWORD raiser = GetCurrentThreadId();
    // The steps run on the library's worker while the raising thread holds
    // the manager; the raiser's own report is never waited for.
    ReportSteps().BuildReportText = [&](TReportState&) {
        const DWORD start = GetTickCount();
        onWorker = WaitForRunningReport(100);
        waited = GetTickCount() - start;
    };
    // The notify event runs on the raising thread.
    DWORD notifiedOn = 0;
    DuringNotify = [&](bool&) {
        notifiedOn = GetCurrentThreadId();
        onRaiser = WaitForRunningReport(100);
    };
    EXPECT_EQ(Report(Caught(qov::Exception("held"))), 0);
    DuringNotify = nullptr;
    EXPECT_EQ(notifiedOn, raiser);
    EXPECT_FALSE(onWorker) << "another thread's report holds the manager";
    EXPECT_GE(waited, 90u);
    EXPECT_FALSE(onRaiser);
    EXPECT_TRUE(WaitForRunningReport(0)) << "the report is over";
}
