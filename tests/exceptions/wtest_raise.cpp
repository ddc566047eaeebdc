// The raise hooks in a program that carries the library (its own debug
// data): what a throw that nothing catches hands to the manager at the raise
// (the registers of the raising code, the decision's answer, the thread),
// that caught throws are left alone, the run-time's own throws, rethrows,
// faults, the unhandled path that ends the thread, and a raise inside the
// notification. The manager itself is replaced by a recorder.
#include <gtest/gtest.h>

#include <windows.h>

#include <httpext.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "EHandled.h"
#include "ERaise.h"
#include "SysUtils.h"
#include "UnitQovCore.h"
#include "WorkerThread.h"

using namespace qov::exceptions;
using qovtest::ProgramFolder;
using qovtest::RunChildProgram;

// Reports name classes without the program's own namespaces.
struct ETest : ::qov::Exception {
    ETest() : Exception("raised for the test") {}
};

namespace {

#define NOINLINE __attribute__((noinline))

// Whether the library was still in the module's static initialisation when
// a static object of the program was made.
const bool InInitialisationAtStatics = LibraryState().InInitialisation;

// What the manager was handed.
struct TReport {
    std::string ClassName, Message;
    const void* Address = nullptr;
    HMODULE Module = nullptr;
    bool RaisedByProgram = false;
    uint8_t Answer = 9;
    DWORD ThreadId = 0;
    CONTEXT Context{};
    uintptr_t CapturePosition = 0;
    uint32_t StackCopySize = 0;
    bool System = false;
    EXCEPTION_RECORD SystemRecord{};
};
std::vector<TReport> Reports;
SRWLOCK ReportsLock = SRWLOCK_INIT;
// Raised inside the recorder on the raising thread (a raise inside the notification).
bool RaiseInsideRecorder = false;
std::atomic<int> InnerCaught{0};

uint8_t Recorder(const TExceptionRef& object, const void* address, bool raisedByProgram, uint8_t answer,
                 HMODULE module, TRaiserKind, THandlingBlock*, uintptr_t, uintptr_t)
{
    if (RaiseInsideRecorder) {
        try {
            throw ETest();
        } catch (const ETest&) {
            ++InnerCaught;
        }
    }
    TReport report;
    report.ClassName = object->ClassName();
    report.Message = object->Message();
    report.Address = address;
    report.Module = module;
    report.RaisedByProgram = raisedByProgram;
    report.Answer = answer;
    report.ThreadId = GetCurrentThreadId();
    TRaiseRecord* record = CurrentRaiseRecord();
    report.Context = record->Context;
    report.CapturePosition = record->CapturePosition;
    report.StackCopySize = record->StackCopySize;
    if (object->SystemRecord()) {
        report.SystemRecord = *object->SystemRecord();
        report.System = true;
    }
    AcquireSRWLockExclusive(&ReportsLock);
    Reports.push_back(report);
    ReleaseSRWLockExclusive(&ReportsLock);
    return 1;
}

class Raise : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reports.clear();
        RaiseInsideRecorder = false;
        InnerCaught = 0;
        SetRaiseReporter(Recorder);
    }
    void TearDown() override { SetRaiseReporter(nullptr); }
};

// The instruction and stack pointers of a context.
#ifdef _WIN64
#define QOV_IP Rip
#define QOV_SP Rsp
#else
#define QOV_IP Eip
#define QOV_SP Esp
#endif

volatile int Sink;

// The throwing function, and its extent: it is short, so everything it does
// lies within the next 256 bytes.
NOINLINE void ThrowTest()
{
    Sink = 1;
    throw ETest();
}
bool InsideThrowTest(uintptr_t address)
{
    auto begin = reinterpret_cast<uintptr_t>(&ThrowTest);
    return address > begin && address < begin + 256;
}

NOINLINE void NestedThrow()
{
    ThrowTest();
    Sink = 2;
}

DWORD WorkerId;

// Runs body on a thread made with CreateThread; its exit code.
DWORD RunWorker(void (*body)())
{
    return qovtest::RunWorkerThread(body, &WorkerId);
}

TEST(RaiseStart, StateOfAProgramThatCarriesTheLibrary)
{
    const TLibraryState& state = LibraryState();
    EXPECT_TRUE(state.Active);
    EXPECT_TRUE(state.HandlingEnabled);
    EXPECT_TRUE(state.Hooks);
    EXPECT_FALSE(state.DefersToMain);
    EXPECT_TRUE(InInitialisationAtStatics);
    EXPECT_FALSE(state.InInitialisation);
    EXPECT_FALSE(state.InFinalisation);
    EXPECT_EQ(GetCurrentThreadId(), state.MainThreadId);
    EXPECT_TRUE(RaiseHooksInstalled());
    EXPECT_EQ(UnhandledException, ::qov::ExceptProc);
    // The last-resort filter is the library's.
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    EXPECT_EQ(UnhandledExceptionFilterOfLibrary, current);
    for (const char* name : {"ExceptionManager", "ZephraLog_CallGeneralRaise", "ZephraLog_CallExceptObject"})
        EXPECT_NE(nullptr, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name))) << name;
}

TEST_F(Raise, UncaughtThrowInAWorkerIsReportedAtTheRaise)
{
    EXPECT_EQ(1u, RunWorker(NestedThrow));
    ASSERT_EQ(1u, Reports.size());
    const TReport& report = Reports[0];
    EXPECT_EQ("ETest", report.ClassName);
    EXPECT_EQ("raised for the test", report.Message);
    EXPECT_EQ(WorkerId, report.ThreadId);
    EXPECT_TRUE(report.RaisedByProgram);
    EXPECT_EQ(daOrdinary, report.Answer);
    EXPECT_TRUE(InsideThrowTest(reinterpret_cast<uintptr_t>(report.Address)));
    // The registers of the raising code: at the call, with its stack.
    EXPECT_EQ(RaiseContextFlags, report.Context.ContextFlags);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(report.Address) - 5, report.Context.QOV_IP);
    EXPECT_TRUE(InsideThrowTest(report.Context.QOV_IP));
    EXPECT_EQ(report.Context.QOV_SP, report.CapturePosition);
    EXPECT_GT(report.StackCopySize, 0u);
}

TEST_F(Raise, CaughtThrowsAreNotReported)
{
    EXPECT_EQ(0u, RunWorker([] {
        try {
            NestedThrow();
        } catch (...) {
        }
        try {
            NestedThrow();
        } catch (const ::qov::Exception&) {
        }
        struct TCleanup {
            ~TCleanup() { Sink = 3; }
        };
        try {
            [] {
                TCleanup cleanup;
                [] {
                    TCleanup inner;
                    NestedThrow();
                }();
            }();
        } catch (const ETest&) {
        }
    }));
    EXPECT_TRUE(Reports.empty());
}

TEST_F(Raise, ThrowsOfTheRunTimeAreSeen)
{
    EXPECT_EQ(1u, RunWorker([] {
        std::vector<int> empty;
        Sink = empty.at(3);
    }));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ("std::out_of_range", Reports[0].ClassName);
    // Raised inside the run-time, which is linked into the program.
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(Reports[0].Address), &module);
    EXPECT_EQ(GetModuleHandleA(nullptr), module);
}

NOINLINE void Rethrow()
{
    try {
        NestedThrow();
    } catch (const ETest&) {
        Sink = 4;
        throw;
    }
}

TEST_F(Raise, RethrowThatNothingCatchesIsReportedAtTheRethrow)
{
    EXPECT_EQ(1u, RunWorker(Rethrow));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ("ETest", Reports[0].ClassName);
    auto at = reinterpret_cast<uintptr_t>(Reports[0].Address);
    auto begin = reinterpret_cast<uintptr_t>(&Rethrow);
    EXPECT_TRUE(at > begin && at < begin + 512);
    // Caught again further out: nothing.
    Reports.clear();
    EXPECT_EQ(0u, RunWorker([] {
        try {
            Rethrow();
        } catch (...) {
        }
    }));
    EXPECT_TRUE(Reports.empty());
}

NOINLINE void Fault()
{
    int* volatile target = reinterpret_cast<int*>(16);
    *target = 1;
}

TEST_F(Raise, AccessViolationInAWorker)
{
    EXPECT_EQ(1u, RunWorker(Fault));
    ASSERT_EQ(1u, Reports.size());
    const TReport& report = Reports[0];
    EXPECT_EQ("EAccessViolation", report.ClassName);
    EXPECT_FALSE(report.RaisedByProgram);
    ASSERT_TRUE(report.System);
    EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, report.SystemRecord.ExceptionCode);
    EXPECT_EQ(report.SystemRecord.ExceptionAddress, report.Address);
    // The registers are those of the fault.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(report.Address), report.Context.QOV_IP);
    auto begin = reinterpret_cast<uintptr_t>(&Fault);
    EXPECT_TRUE(report.Context.QOV_IP >= begin && report.Context.QOV_IP < begin + 64);
    EXPECT_EQ(report.Context.QOV_SP, report.CapturePosition);
    EXPECT_EQ(WorkerId, report.ThreadId);
}

TEST_F(Raise, UnhandledPathReportsOnceAndEndsTheThread)
{
    // A thread routine's catch-all hands its exception on: reported from
    // there with the raise's address, the thread ends with exit code 1.
    EXPECT_EQ(1u, RunWorker([] {
        try {
            NestedThrow();
        } catch (...) {
            if (::qov::ExceptProc)
                ::qov::ExceptProc(nullptr);
        }
    }));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_TRUE(InsideThrowTest(reinterpret_cast<uintptr_t>(Reports[0].Address)));
    // Reported at the raise already (a throw out of a noexcept function ends
    // the program): the terminate path does not report it again.
    Reports.clear();
    EXPECT_EQ(1u, RunWorker([]() noexcept { NestedThrow(); }));
    EXPECT_EQ(1u, Reports.size());
}

TEST_F(Raise, UncaughtThrowOfAStdThread)
{
    std::thread thread([] { NestedThrow(); });
    thread.join();
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ("ETest", Reports[0].ClassName);
}

// A thread of the class library whose Execute lets an exception out.
class TThrowingThread : public ::qov::TThread {
public:
    TThrowingThread() { StartThread(); }
    ~TThrowingThread() override { EndThread(); }

protected:
    void Execute() override { NestedThrow(); }
};

TEST_F(Raise, ClassLibraryThreadsHandTheirEscapingExceptionsOn)
{
    TThrowingThread thread;
    HANDLE handle = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.Handle(), GetCurrentProcess(), &handle, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(thread.Post(WM_USER));
    EXPECT_EQ(1u, qovtest::ExitCodeOf(handle));
    // The routine's catch-all caught it (nothing was reported at the raise);
    // reported from there, with the raise's address and registers.
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ("ETest", Reports[0].ClassName);
    EXPECT_EQ(thread.ThreadID(), Reports[0].ThreadId);
    EXPECT_TRUE(InsideThrowTest(reinterpret_cast<uintptr_t>(Reports[0].Address)));
    EXPECT_TRUE(InsideThrowTest(Reports[0].Context.QOV_IP));
    EXPECT_EQ(Reports[0].Context.QOV_SP, Reports[0].CapturePosition);
}

TEST_F(Raise, SavedExceptionOutlivesItsObject)
{
    EXPECT_EQ(0u, RunWorker([] {
        try {
            NestedThrow();
        } catch (const ETest&) {
        }
        // The object is freed; what reuses its memory changes nothing.
        std::vector<std::string> reuse(64, std::string(40, 'x'));
    }));
    TSavedException saved = SavedException();
    ASSERT_TRUE(saved.LastObject);
    EXPECT_EQ("ETest", saved.LastObject->ClassName());
    EXPECT_EQ("raised for the test", saved.LastObject->Message());
    EXPECT_TRUE(InsideThrowTest(reinterpret_cast<uintptr_t>(saved.LastAddress)));
    EXPECT_TRUE(saved.RaisedByProgram);
}

// Two threads raise while the first one's report is in progress: each keeps
// its own raise-time stack copy.
HANDLE SecondReported;
std::atomic<int> Calls{0};
std::atomic<DWORD> FirstCopyThread{0};
const void* FirstCopyAddress;

uint8_t HoldingRecorder(const TExceptionRef&, const void*, bool, uint8_t, HMODULE, TRaiserKind, THandlingBlock*,
                        uintptr_t, uintptr_t)
{
    if (Calls++ == 0) {
        WaitForSingleObject(SecondReported, 30000);
        TRaiseRecord* record = CurrentRaiseRecord();
        FirstCopyAddress = record->StackCopyAddress;
        FirstCopyThread = record->StackCopyThreadId;
    } else {
        SetEvent(SecondReported);
    }
    return 1;
}

NOINLINE void OtherThrow()
{
    Sink = 5;
    throw std::runtime_error("the other thread");
}

DWORD WINAPI OtherWorker(LPVOID)
{
    OtherThrow();
    return 0;
}

TEST_F(Raise, EveryThreadKeepsItsOwnStackCopy)
{
    SecondReported = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Calls = 0;
    SetRaiseReporter(HoldingRecorder);
    HANDLE first =
        CreateThread(nullptr, 0, qovtest::BodyRoutine, reinterpret_cast<void*>(&NestedThrow), 0, nullptr);
    while (Calls.load() == 0)
        Sleep(1);
    HANDLE second = CreateThread(nullptr, 0, OtherWorker, nullptr, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 30000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 30000));
    EXPECT_EQ(GetThreadId(first), FirstCopyThread.load());
    EXPECT_TRUE(InsideThrowTest(reinterpret_cast<uintptr_t>(FirstCopyAddress)));
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(SecondReported);
}

TEST_F(Raise, RaiseInsideTheNotificationIsIgnored)
{
    RaiseInsideRecorder = true;
    EXPECT_EQ(1u, RunWorker(NestedThrow));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ(1, InnerCaught.load());
    // The record still holds the first raise.
    EXPECT_TRUE(InsideThrowTest(Reports[0].Context.QOV_IP));
}

} // namespace

namespace {

// The exports by name, called as another module calls them.
#ifdef _WIN64
#define QOV_REGISTER_CALL
#else
#define QOV_REGISTER_CALL __attribute__((regparm(3), stdcall))
#endif
typedef const TExceptionInfo* QOV_REGISTER_CALL (*TCallExceptObject)(const EXCEPTION_RECORD*, const CONTEXT*,
                                                                      uint8_t);
#ifdef _WIN64
typedef void (*TCallGeneralRaise)(DWORD, DWORD, DWORD, uintptr_t, const ULONG_PTR*);
#else
typedef void QOV_REGISTER_CALL (*TCallGeneralRaise)(DWORD, DWORD, DWORD, const ULONG_PTR*, uintptr_t);
#endif

template <typename T>
T Export(const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name)));
}

TEST(RaiseExports, ExceptObjectTakesTheFaultsRecordAndContext)
{
    auto call = Export<TCallExceptObject>("ZephraLog_CallExceptObject");
    ASSERT_NE(nullptr, call);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(0x401234);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0x20;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    context.QOV_IP = 0x401234;
    context.QOV_SP = 0x12FF00;
    const TExceptionInfo* object = call(&record, &context, 0);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ("EAccessViolation", object->ClassName());
    ASSERT_NE(nullptr, object->SystemRecord());
    EXPECT_EQ(0x20u, object->SystemRecord()->ExceptionInformation[1]);
    TRaiseRecord* raise = CurrentRaiseRecord();
    EXPECT_EQ(0x12FF00u, raise->CapturePosition);
    EXPECT_EQ(0x401234u, raise->Context.QOV_IP);
    EXPECT_EQ(RaiseContextFlags, raise->Context.ContextFlags);
    // Records that cannot be read are refused, a context that cannot be read is left out.
    EXPECT_EQ(nullptr, call(nullptr, &context, 0));
    EXPECT_EQ(nullptr, call(reinterpret_cast<const EXCEPTION_RECORD*>(16), &context, 0));
    object = call(&record, reinterpret_cast<const CONTEXT*>(16), 0);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(nullptr, object->SystemContext());
    // A parameter count beyond the record's room is not followed.
    record.NumberParameters = 0x7FFFFFFF;
    object = call(&record, nullptr, 0);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(0u, object->SystemRecord()->NumberParameters);
}

TEST(RaiseExports, GeneralRaiseKeepsTheStackPosition)
{
    auto call = Export<TCallGeneralRaise>("ZephraLog_CallGeneralRaise");
    ASSERT_NE(nullptr, call);
    ULONG_PTR arguments[7] = {};
#ifdef _WIN64
    call(0xE0000001, 0, 7, 0x12F000, arguments);
#else
    call(0xE0000001, 0, 7, arguments, 0x12F000);
#endif
    EXPECT_EQ(0x12F000u, CurrentRaiseRecord()->RaisePosition);
}

// Runs the child program with the argument; its exit code and output.
DWORD RunChild(const char* argument, std::string& output)
{
    return RunChildProgram("raise_child.exe", argument, output);
}

TEST(RaiseChild, MainThreadEndsTheProgramWithExitCode1)
{
    std::string output;
    EXPECT_EQ(1u, RunChild("throw", output));
    EXPECT_EQ("reported ETest\n", output);
    output.clear();
    EXPECT_EQ(1u, RunChild("fault", output));
    EXPECT_EQ("reported EAccessViolation\n", output);
}

TEST(RaiseChild, StaticDestructorsRunInFinalisation)
{
    std::string output;
    EXPECT_EQ(0u, RunChild("end", output));
    EXPECT_EQ("in finalisation\n", output);
}

} // namespace

namespace {

// A library module that carries the library too: it defers to this program.
class RaiseDll : public Raise {
protected:
    void SetUp() override
    {
        Raise::SetUp();
        Library = LoadLibraryA((ProgramFolder() + "raise_dll.dll").c_str());
        ASSERT_NE(nullptr, Library);
    }
    void TearDown() override
    {
        if (Library)
            FreeLibrary(Library);
        Raise::TearDown();
    }
    template <typename T>
    T Procedure(const char* name)
    {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(Library, name)));
    }
    HMODULE Library = nullptr;
};

TEST_F(RaiseDll, DefersToTheProgramAndLeavesItsFilter)
{
    auto state = Procedure<int (*)()>("RaiseDllState");
    ASSERT_NE(nullptr, state);
    // Active, deferring, hooked, handling; its static initialisation is over.
    EXPECT_EQ(1 | 2 | 4 | 8, state());
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    EXPECT_EQ(UnhandledExceptionFilterOfLibrary, current);
}

TEST_F(RaiseDll, ItsUncaughtExceptionsEndTheirThreads)
{
    auto worker = Procedure<DWORD (*)(int)>("RaiseDllWorker");
    ASSERT_NE(nullptr, worker);
    // Handed to the program's manager by the library module's own hooks, not
    // to this program's raise hooks.
    EXPECT_EQ(1u, worker(0));
    EXPECT_TRUE(Reports.empty());
    // A fault goes to the program's last-resort filter, which reports it
    // with the library module as the module.
    EXPECT_EQ(1u, worker(1));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ("EAccessViolation", Reports[0].ClassName);
    EXPECT_EQ(Library, Reports[0].Module);
}

BOOL WINAPI ServerWriteClient(HCONN, LPVOID, LPDWORD count, DWORD)
{
    return count && *count > 0;
}

TEST_F(RaiseDll, ExtensionPagesAreRemembered)
{
    auto extension = Procedure<DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*)>("HttpExtensionProc");
    auto lastPage = Procedure<int (*)(char*, int)>("RaiseDllLastPage");
    ASSERT_NE(nullptr, extension);
    ASSERT_NE(nullptr, lastPage);
    EXTENSION_CONTROL_BLOCK block{};
    block.cbSize = sizeof block;
    block.WriteClient = ServerWriteClient;
    EXPECT_EQ(static_cast<DWORD>(HSE_STATUS_SUCCESS), extension(&block));
    char page[256];
    ASSERT_GT(lastPage(page, sizeof page), 0);
    EXPECT_STREQ("<html>page of the extension</html>", page);
}

} // namespace

namespace {

LONG CALLBACK ContinueOurCode(EXCEPTION_POINTERS* pointers)
{
    return pointers->ExceptionRecord->ExceptionCode == 0xE0000001 ? EXCEPTION_CONTINUE_EXECUTION
                                                                   : EXCEPTION_CONTINUE_SEARCH;
}

NOINLINE uintptr_t RaiseSystemException()
{
    RaiseException(0xE0000001, 0, 0, nullptr);
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

TEST(RaiseImports, RaiseExceptionKeepsTheRaisingStackPosition)
{
    // The module's import of RaiseException leads to the hook.
    PVOID handler = AddVectoredExceptionHandler(1, ContinueOurCode);
    CurrentRaiseRecord()->RaisePosition = 0;
    uintptr_t frame = RaiseSystemException();
    RemoveVectoredExceptionHandler(handler);
    uintptr_t position = CurrentRaiseRecord()->RaisePosition;
    EXPECT_LT(position, frame);
    EXPECT_GT(position + 256, frame);
    // A C++ throw (a system exception on x86_64) keeps its own position.
    uintptr_t thrownAt = 0;
    try {
        NestedThrow();
    } catch (const ETest&) {
        thrownAt = CurrentRaiseRecord()->RaisePosition;
    }
    EXPECT_EQ(thrownAt, CurrentRaiseRecord()->Context.QOV_SP);
}

TEST(RaiseImports, CgiProgramsPageIsRemembered)
{
    SetEnvironmentVariableA("REQUEST_METHOD", "GET");
    std::string output;
    DWORD code = RunChild("cgi", output);
    SetEnvironmentVariableA("REQUEST_METHOD", nullptr);
    EXPECT_EQ(0u, code);
    EXPECT_EQ("Content-Type: text/html\n\n<html>cgi</html>", output);
}

} // namespace
