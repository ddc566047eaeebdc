// The exception library end to end, in a program that carries it with its
// own debug data, so that the library starts itself with the program and
// hooks what it hooks in a shipped module. Its options (end_to_end.options)
// show no dialog; an exception-notify handler keeps what each report gives
// it, and the checks read that record: uncaught exceptions of the three kinds
// of thread, a window procedure's failure handed to the application handler,
// caught exceptions, a fault, a raise inside a report, 20 threads with their
// stacks, EAbort and the filter. A child program carries the library too,
// with a library module of its own (end_to_end_child.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BoxWatcher.h"
#include "ChildProgram.h"
#include "EEvents.h"
#include "ELogFiles.h"
#include "EManager.h"
#include "ESafeCall.h"
#include "EStack.h"
#include "EThreadHooks.h"
#include "NoticeRecord.h"
#include "SysUtils.h"
#include "UnitQovCore.h"
#include "WorkerThread.h"

using namespace qov::exceptions;
using qovtest::TNotice;
using qovtest::TNoticeEntry;

// Classes of the checks (their reports name them without namespaces).
struct EEndToEnd : ::qov::Exception {
    explicit EEndToEnd(const std::string& message) : Exception(message) {}
};
// Listed in the options' filter, with a message and without one.
struct EFiltered : ::qov::Exception {
    EFiltered() : Exception("filtered") {}
};
struct EFilteredQuietly : ::qov::Exception {
    EFilteredQuietly() : Exception("filtered quietly") {}
};
struct EQuietAbort : ::qov::EAbort {
    EQuietAbort() : EAbort("aborted") {}
};

// The functions whose names and lines the call stacks show.
namespace e2e {

#define NOINLINE __attribute__((noinline, noipa))

volatile int Sink;
int ThrowLine, CallLine, FaultLine, FaultCallLine, DescendLine;

NOINLINE void Raise(const char* message)
{
    Sink = 1;
    ThrowLine = __LINE__ + 1;
    throw EEndToEnd(message);
}

NOINLINE void CallRaise(const char* message)
{
    CallLine = __LINE__ + 1;
    Raise(message);
    Sink = 2;
}

// Writes 0x5A5A5A5A to address 16 from the register that names it.
#ifdef _WIN64
#define QOV_WRITE_TO_16() \
    asm volatile("movq $16, %%rcx\n\tmovq $0x5A5A5A5A, %%rdx\n\tmovl %%edx, (%%rcx)" ::: "rcx", "rdx", "memory")
#else
#define QOV_WRITE_TO_16() \
    asm volatile("movl $16, %%ecx\n\tmovl $0x5A5A5A5A, %%edx\n\tmovl %%edx, (%%ecx)" ::: "ecx", "edx", "memory")
#endif

NOINLINE void Fault()
{
    FaultLine = __LINE__ + 1;
    QOV_WRITE_TO_16();
    Sink = 3;
}

NOINLINE void CallFault()
{
    FaultCallLine = __LINE__ + 1;
    Fault();
    Sink = 4;
}

template <class E>
NOINLINE void Throw()
{
    throw E();
}

NOINLINE void ThrowAbort()
{
    throw ::qov::EAbort("");
}

HANDLE Release = nullptr;
std::atomic<int> Waiting{0};

NOINLINE int Descend(int depth)
{
    if (depth == 0) {
        ++Waiting;
        WaitForSingleObject(Release, INFINITE);
        return 0;
    }
    DescendLine = __LINE__ + 1;
    const int below = Descend(depth - 1);
    asm volatile("" ::: "memory");
    return below + 1;
}

NOINLINE DWORD WINAPI DeepThread(void*)
{
    // Not a tail call: the routine stays on the stack.
    const int depth = Descend(30);
    asm volatile("" ::: "memory");
    return static_cast<DWORD>(depth);
}

} // namespace e2e

namespace {

using namespace e2e;

// The record of the checks: every notice the handler received, in order.
SRWLOCK NoticesLock = SRWLOCK_INIT;
std::vector<TNotice> Notices;
// Runs inside the handler after the notice was taken.
std::function<void()> DuringNotify;

std::vector<TNotice> Received()
{
    AcquireSRWLockShared(&NoticesLock);
    std::vector<TNotice> copy = Notices;
    ReleaseSRWLockShared(&NoticesLock);
    return copy;
}

class TNoticeEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qovtest::NoteReports();
        RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord& record, bool&) {
            TNotice notice = qovtest::NoticeOf(record);
            AcquireSRWLockExclusive(&NoticesLock);
            Notices.push_back(std::move(notice));
            ReleaseSRWLockExclusive(&NoticesLock);
            if (DuringNotify)
                DuringNotify();
        }});
    }
};
[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new TNoticeEnvironment);

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        AcquireSRWLockExclusive(&NoticesLock);
        Notices.clear();
        ReleaseSRWLockExclusive(&NoticesLock);
        DuringNotify = nullptr;
    }
    void TearDown() override
    {
        DuringNotify = nullptr;
        // However a check went, the library is ready for the next one.
        EXPECT_FALSE(ReportInProgress());
        EXPECT_TRUE(LibraryState().HandlingEnabled);
    }
};

bool Inside(uintptr_t address, const void* function, uintptr_t size = 256)
{
    const auto begin = reinterpret_cast<uintptr_t>(function);
    return address > begin && address < begin + size;
}

template <class F>
const void* Code(F* function)
{
    return reinterpret_cast<const void*>(function);
}

// The notice names its raising place first (procedure, line, an address
// inside it), on the raising thread, then its caller.
void ExpectRaisedAt(const TNotice& notice, DWORD thread, const void* raising, const char* procedure, int line,
                    const char* caller, int callerLine)
{
    SCOPED_TRACE(qovtest::NoticeText("notice", notice));
    EXPECT_EQ(notice.ThreadId, thread);
    EXPECT_TRUE(Inside(notice.Address, raising));
    ASSERT_FALSE(notice.Stack.empty());
    const TNoticeEntry& first = notice.Stack[0];
    EXPECT_EQ(first.ThreadId, thread);
    EXPECT_EQ(first.Flag, 1);
    EXPECT_EQ(first.Address, notice.Address);
    EXPECT_EQ(first.Procedure, procedure);
    EXPECT_EQ(first.Line, line);
    // Then its caller, at the line of the call. The scan of the raw stack
    // also finds stale return addresses (of the run-time's, the system's and
    // this program's code); a real call is known by the entry of the routine
    // it called (a relative call names it first) right before it.
    const std::vector<TNoticeEntry> entries = notice.Of(thread);
    bool called = false;
    for (size_t i = 2; i < entries.size() && !called; ++i)
        called = entries[i].Procedure == caller && entries[i].Line == callerLine &&
                 entries[i - 1].Procedure == procedure;
    EXPECT_TRUE(called);
}

DWORD WorkerId = 0;

// Runs body on a thread made with CreateThread; its exit code.
DWORD RunWorker(void (*body)())
{
    return qovtest::RunWorkerThread(body, &WorkerId);
}

// The one notice of the checks' raise with the message, on the thread, from
// the raiser kind.
void ExpectOneRaise(DWORD thread, const char* message, int raiserKind)
{
    const std::vector<TNotice> notices = Received();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].ClassName, "EEndToEnd");
    EXPECT_EQ(notices[0].Message, message);
    EXPECT_EQ(notices[0].RaiserKind, raiserKind);
    EXPECT_EQ(notices[0].HandlerThread, thread);
    EXPECT_EQ(notices[0].OptionsModule, "exceptions_wtest_end_to_end.exe");
    ExpectRaisedAt(notices[0], thread, Code(&Raise), "Raise", ThrowLine, "CallRaise", CallLine);
}

} // namespace

TEST(EndToEndStart, TheLibraryStartedItselfWithTheModulesOptions)
{
    const TLibraryState& state = LibraryState();
    EXPECT_TRUE(state.Active);
    EXPECT_TRUE(state.HandlingEnabled);
    EXPECT_TRUE(state.Hooks);
    EXPECT_FALSE(state.DefersToMain);
    // The module's current options are those of its debug data.
    const TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    EXPECT_EQ(options.DialogFlags(), 0x1E);
    EXPECT_EQ(options.BehaviourFlags(), 0x38);
    EXPECT_EQ(options.MailTitle(), "End-to-end program");
    EXPECT_EQ(options.FilterClasses().Items(), (std::vector<std::string>{"EFiltered", "EFilteredQuietly"}));
    EXPECT_TRUE(options.HandlerActive());
}

// An exception nothing catches in a worker made with CreateThread: reported
// on the raising thread with the raising place and its caller; the thread
// ends with exit code 1 and the program goes on.
TEST_F(EndToEnd, UncaughtInACreateThreadWorker)
{
    EXPECT_EQ(RunWorker([] { CallRaise("raised in a worker"); }), 1u);
    ExpectOneRaise(WorkerId, "raised in a worker", rkThread);
}

namespace {

class TRaisingThread : public ::qov::TThread {
public:
    TRaisingThread() { StartThread(); }
    ~TRaisingThread() override { EndThread(); }

protected:
    void Execute() override { CallRaise("raised in a thread object"); }
};

} // namespace

// The class library's thread routine catches what Execute lets out and hands
// it on: reported from there with the raise's place.
TEST_F(EndToEnd, UncaughtInAThreadObject)
{
    TRaisingThread thread;
    HANDLE handle = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.Handle(), GetCurrentProcess(), &handle, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(thread.Post(WM_USER));
    EXPECT_EQ(qovtest::ExitCodeOf(handle), 1u);
    ExpectOneRaise(thread.ThreadID(), "raised in a thread object", rkThread);
}

TEST_F(EndToEnd, UncaughtInAStdThread)
{
    HANDLE handle = nullptr;
    DWORD id = 0;
    std::thread thread([&] {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        id = GetCurrentThreadId();
        CallRaise("raised in a std::thread");
    });
    thread.join();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(qovtest::ExitCodeOf(handle), 1u);
    ExpectOneRaise(id, "raised in a std::thread", rkThread);
}

namespace {

bool HandedOver = false;

// A window procedure that catches its failure into the application's
// handler, as the control's window procedures do.
LRESULT CALLBACK FailingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) {
        try {
            CallRaise("raised in a window procedure");
        } catch (...) {
            HandedOver = HandleApplicationException(GetModuleHandleA(nullptr));
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

// Handed to the application handler after the catch: reported with raiser
// kind 1, the stack taken from the thread's raise-time copy (the raising
// frames are gone by then).
TEST_F(EndToEnd, WindowProcedureFailureGoesToTheApplicationHandler)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = FailingWindowProc;
    windowClass.lpszClassName = L"EndToEndFailing";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"EndToEndFailing", L"", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
    ASSERT_NE(window, nullptr);
    HandedOver = false;
    PostMessageW(window, WM_APP, 0, 0);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    DestroyWindow(window);
    EXPECT_TRUE(HandedOver);
    ExpectOneRaise(GetCurrentThreadId(), "raised in a window procedure", rkApplication);
}

// Caught exceptions are never reported: a catch-all, a catch of a base class
// (also of the run-time's own throw), and a catch further out behind frames
// that run destructors.
TEST_F(EndToEnd, CaughtExceptionsAreNotReported)
{
    EXPECT_EQ(RunWorker([] {
                  try {
                      CallRaise("caught by a catch-all");
                  } catch (...) {
                  }
                  try {
                      CallRaise("caught as its base class");
                  } catch (const ::qov::Exception&) {
                  }
                  try {
                      std::vector<int> empty;
                      Sink = empty.at(3);
                  } catch (const std::exception&) {
                  }
                  struct TCleanup {
                      ~TCleanup() { Sink = 5; }
                  };
                  try {
                      [] {
                          TCleanup outer;
                          [] {
                              TCleanup inner;
                              CallRaise("caught further out");
                          }();
                      }();
                  } catch (const EEndToEnd&) {
                  }
              }),
              0u);
    try {
        CallRaise("caught on the main thread");
    } catch (const std::exception&) {
    }
    const std::vector<TNotice> notices = Received();
    EXPECT_TRUE(notices.empty()) << (notices.empty() ? "" : qovtest::NoticeText("notice", notices[0]));
}

// An access violation in a worker: EAccessViolation, with the registers of
// the fault's context.
TEST_F(EndToEnd, AccessViolationInAWorker)
{
    static uintptr_t workerStackTop = 0;
    EXPECT_EQ(RunWorker([] {
                  workerStackTop = StackTop();
                  CallFault();
              }),
              1u);
    const std::vector<TNotice> notices = Received();
    ASSERT_EQ(notices.size(), 1u);
    const TNotice& notice = notices[0];
    EXPECT_EQ(notice.ClassName, "EAccessViolation");
    ASSERT_TRUE(notice.System);
    EXPECT_EQ(notice.Ip, notice.Address);
    EXPECT_EQ(notice.Cx, 16u);
    EXPECT_EQ(notice.Dx, 0x5A5A5A5Au);
    EXPECT_EQ(notice.Touched, 16u);
    EXPECT_LT(notice.Sp, workerStackTop);
    EXPECT_GT(notice.Sp, workerStackTop - 65536);
    ExpectRaisedAt(notice, WorkerId, Code(&Fault), "Fault", FaultLine, "CallFault", FaultCallLine);
}

// A raise inside the handling of another one on the same thread, handed to
// the manager from the notify handler: answered 0 at once, with nothing shown
// (its class would show the filter's message) and nothing reported.
TEST_F(EndToEnd, RaiseInsideTheHandlingAnswersZeroAtOnce)
{
    int answer = -1;
    DWORD took = 0;
    DuringNotify = [&] {
        DuringNotify = nullptr;
        const DWORD start = GetTickCount();
        try {
            Throw<EFiltered>();
        } catch (...) {
            const TExceptionInfo inner = TExceptionInfo::Current();
            answer = ExceptionManager(&inner, Code(&Throw<EFiltered>), rkThread, GetModuleHandleA(nullptr));
        }
        took = GetTickCount() - start;
    };
    qovtest::TBoxWatcher watcher("Information.", IDOK, 2000);
    EXPECT_EQ(RunWorker([] { CallRaise("the first"); }), 1u);
    watcher.Join();
    EXPECT_EQ(answer, 0);
    EXPECT_LT(took, 1000u);
    EXPECT_FALSE(watcher.Seen());
    const std::vector<TNotice> notices = Received();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].Message, "the first");
}

namespace {

DWORD WINAPI Note(void* flag)
{
    static_cast<std::atomic<int>*>(flag)->store(1);
    return 0;
}

} // namespace

// 20 other threads, each 30 frames deep, appear in the report with their own
// stacks; the library's threads never do; a thread created suspended stays so.
TEST_F(EndToEnd, OtherThreadsAppearWithTheirOwnStacks)
{
    Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Waiting = 0;
    std::vector<HANDLE> deep;
    for (int i = 0; i < 20; ++i)
        deep.push_back(CreateThread(nullptr, 0, DeepThread, nullptr, 0, nullptr));
    std::atomic<int> ran{0};
    HANDLE suspended = CreateThread(nullptr, 0, Note, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(suspended, nullptr);
    for (int i = 0; i < 1000 && Waiting < 20; ++i)
        Sleep(5);
    ASSERT_EQ(Waiting.load(), 20);
    // While the report runs: its own thread is the library's, and neither it
    // nor another thread of the library is listed or in the call stack.
    bool reportThreadOfLibrary = false, reportThreadListed = true;
    std::vector<DWORD> libraryThreadsInStack;
    DuringNotify = [&] {
        const TNotice notice = Received().back();
        const DWORD worker = notice.ReportThread;
        reportThreadOfLibrary = IsLibraryThread(worker);
        TZephraThreadsList* list = ProcessThreads();
        list->BeginRead();
        reportThreadListed = list->FindByThreadId(worker) >= 0;
        list->EndRead();
        for (const TNoticeEntry& entry : notice.Stack)
            if (IsLibraryThread(entry.ThreadId) || entry.ThreadId == worker)
                libraryThreadsInStack.push_back(entry.ThreadId);
    };
    EXPECT_EQ(RunWorker([] { CallRaise("with 20 threads"); }), 1u);
    const std::vector<TNotice> notices = Received();
    ASSERT_EQ(notices.size(), 1u);
    const TNotice& notice = notices[0];
    for (size_t i = 0; i < deep.size(); ++i) {
        // Every frame of the thread: the 30 calls of the recursion and the
        // thread's routine (repeats of one call are kept, marked as such).
        const std::vector<TNoticeEntry> entries = notice.Of(GetThreadId(deep[i]));
        const auto descents = std::count_if(entries.begin(), entries.end(), [](const TNoticeEntry& e) {
            return e.Procedure == "Descend" && e.Line == DescendLine && e.Flag == 1;
        });
        EXPECT_GE(descents, 30) << "thread " << i;
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                [](const TNoticeEntry& e) { return e.Procedure == "DeepThread"; }))
            << "thread " << i;
    }
    EXPECT_NE(notice.ReportThread, 0u);
    EXPECT_TRUE(reportThreadOfLibrary);
    EXPECT_FALSE(reportThreadListed);
    EXPECT_TRUE(libraryThreadsInStack.empty());

    // Still suspended once: it never ran.
    Sleep(100);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(SuspendThread(suspended), 1u);
    EXPECT_EQ(ResumeThread(suspended), 2u);
    EXPECT_EQ(ResumeThread(suspended), 1u);
    EXPECT_EQ(WaitForSingleObject(suspended, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    CloseHandle(suspended);
    SetEvent(Release);
    for (HANDLE thread : deep) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(Release);
}

// EAbort and its descendants are never reported: not when nothing catches
// them (the thread still ends), not when the application's handler gets one.
TEST_F(EndToEnd, AbortIsNeverReported)
{
    EXPECT_EQ(RunWorker(ThrowAbort), 1u);
    EXPECT_EQ(RunWorker(Throw<EQuietAbort>), 1u);
    try {
        Throw<EQuietAbort>();
    } catch (...) {
        EXPECT_FALSE(HandleApplicationException(GetModuleHandleA(nullptr)));
    }
    EXPECT_TRUE(Received().empty());
}

// A class of the options' filter shows the filter's message in a box (closed
// here) and nothing else; one with an empty message shows nothing at all.
TEST_F(EndToEnd, FilteredClassShowsItsMessageOnly)
{
    {
        qovtest::TBoxWatcher watcher("Information.", IDOK, 20000);
        EXPECT_EQ(RunWorker(Throw<EFiltered>), 1u);
        watcher.Join();
        EXPECT_TRUE(watcher.Seen());
        EXPECT_EQ(watcher.Text(), "Filtered for the end-to-end checks.");
    }
    {
        qovtest::TBoxWatcher watcher("Information.", IDOK, 1000);
        EXPECT_EQ(RunWorker(Throw<EFilteredQuietly>), 1u);
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
    }
    EXPECT_TRUE(Received().empty());
}

namespace {

// The values of the child's output lines that start with the word.
std::vector<std::string> Line(const std::string& output, const std::string& word)
{
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first != word)
            continue;
        std::vector<std::string> values;
        for (std::string value; words >> value;)
            values.push_back(value);
        return values;
    }
    return {};
}

uintptr_t ValueOf(const std::vector<std::string>& values, size_t index)
{
    return index < values.size() ? qovtest::Number(values[index]) : 0;
}

} // namespace

// An exception nothing catches on the main thread: reported there, then the
// program ends with exit code 1.
TEST(EndToEndChild, UncaughtOnTheMainThreadEndsTheProgram)
{
    std::string output;
    EXPECT_EQ(qovtest::RunChildProgram("end_to_end_child.exe", "main", output), 1u);
    SCOPED_TRACE(output);
    const std::vector<std::string> main = Line(output, "main"), lines = Line(output, "lines");
    const std::vector<TNotice> notices = qovtest::NoticesIn(output, "program");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].ClassName, "EEndToEnd");
    EXPECT_EQ(notices[0].Message, "raised on the main thread");
    EXPECT_EQ(notices[0].HandlerThread, ValueOf(main, 0));
    ExpectRaisedAt(notices[0], static_cast<DWORD>(ValueOf(main, 0)), reinterpret_cast<const void*>(ValueOf(main, 1)),
                   "RaiseOnMain", static_cast<int>(ValueOf(lines, 0)), "CallRaiseOnMain",
                   static_cast<int>(ValueOf(lines, 1)));
    EXPECT_EQ(output.find("not ended"), std::string::npos);
}

// A library module carrying the library in a program that carries it: the
// module's uncaught worker exception is reported once, by the program's
// instance, with the module's options; the module's exported receiver runs
// before the program's handlers; the module leaves the last-resort filter to
// the program, whose filter reports the module's fault.
TEST(EndToEndChild, LibraryModuleDefersToTheProgram)
{
    std::string output;
    EXPECT_EQ(qovtest::RunChildProgram("end_to_end_child.exe", "library", output), 0u);
    SCOPED_TRACE(output);
    // Active, deferring, hooked, handling.
    EXPECT_EQ(Line(output, "state"), std::vector<std::string>{"15"});
    EXPECT_EQ(Line(output, "filter"), std::vector<std::string>{"program"});
    const std::vector<std::string> raised = Line(output, "worker"), places = Line(output, "places");
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(raised[2], "1");
    const DWORD worker = static_cast<DWORD>(ValueOf(raised, 1));

    // Each notice of the program follows the module's own, in one order.
    std::istringstream in(output);
    std::vector<std::string> order;
    for (std::string line; std::getline(in, line);)
        if (line.find(" notice\t") != std::string::npos)
            order.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(order, (std::vector<std::string>{"library", "program", "library", "program"}));

    const std::vector<TNotice> program = qovtest::NoticesIn(output, "program");
    const std::vector<TNotice> library = qovtest::NoticesIn(output, "library");
    ASSERT_EQ(program.size(), 2u);
    ASSERT_EQ(library.size(), 2u);
    const TNotice& notice = program[0];
    EXPECT_EQ(notice.ClassName, "std::runtime_error");
    EXPECT_EQ(notice.Message, "raised in the library module");
    EXPECT_EQ(notice.RaiserKind, rkThread);
    // Reported with the module's options.
    EXPECT_EQ(notice.OptionsModule, "end_to_end_dll.dll");
    EXPECT_EQ(notice.OptionsTitle, "End-to-end library");
    ExpectRaisedAt(notice, worker, reinterpret_cast<const void*>(ValueOf(places, 2)), "RaiseInLibrary",
                   static_cast<int>(ValueOf(places, 0)), "CallRaiseInLibrary", static_cast<int>(ValueOf(places, 1)));
    EXPECT_EQ(notice.Stack[0].Module, "end_to_end_dll.dll");
    // The module's receiver got the same report, without options of its own.
    EXPECT_EQ(library[0].ClassName, notice.ClassName);
    EXPECT_EQ(library[0].ThreadId, worker);
    EXPECT_EQ(library[0].Address, notice.Address);
    EXPECT_FALSE(library[0].HasOptions);
    EXPECT_EQ(library[0].Stack.size(), notice.Stack.size());

    // The module's fault: the program's filter reports it with the module's place.
    const std::vector<std::string> faulted = Line(output.substr(output.find("worker 1")), "worker");
    ASSERT_EQ(faulted.size(), 3u);
    EXPECT_EQ(faulted[2], "1");
    EXPECT_EQ(program[1].ClassName, "EAccessViolation");
    EXPECT_EQ(program[1].ThreadId, ValueOf(faulted, 1));
    EXPECT_TRUE(Inside(program[1].Address, reinterpret_cast<const void*>(ValueOf(places, 3))));
    EXPECT_EQ(program[1].OptionsModule, "end_to_end_dll.dll");
    EXPECT_EQ(library[1].ClassName, "EAccessViolation");
}

namespace {

// The log's options for the stored-log checks, put back afterwards: the log
// in a file of the temporary folder, the duplicate search on, keep.
class TLogOptions {
public:
    explicit TLogOptions(int keep)
    {
        char folder[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, folder);
        FFile = std::string(folder) + "qov_end_to_end_" + std::to_string(GetCurrentProcessId()) + ".zpf";
        DeleteFileA(FFile.c_str());
        const TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
        FSaveLog = options.SaveLog();
        FLogFlags = options.LogFlags();
        FKeep = options.KeepReports();
        FFolder = options.LogFolder();
        SetZephraLogOption([&](TZephraModuleOptions& o) {
            o.SetSaveLog(1);
            o.SetLogFlags(static_cast<uint8_t>(o.LogFlags() | 0x01));
            o.SetKeepReports(keep);
            o.SetLogFolder(FFile);
        });
    }
    ~TLogOptions()
    {
        SetZephraLogOption([&](TZephraModuleOptions& o) {
            o.SetSaveLog(FSaveLog);
            o.SetLogFlags(FLogFlags);
            o.SetKeepReports(FKeep);
            o.SetLogFolder(FFolder);
        });
        DeleteFileA(FFile.c_str());
    }
    const std::string& File() const { return FFile; }
    // The log as it is on disk now.
    std::unique_ptr<TLogFile> Read() const { return std::make_unique<TLogFile>(FFile, true); }

private:
    std::string FFile, FFolder;
    uint8_t FSaveLog = 0, FLogFlags = 0;
    int32_t FKeep = 0;
};

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", int(2 * sizeof(void*)), static_cast<unsigned long long>(value));
    return text;
}

// The Windows name of a Unix path given by the test's runner (Wine maps / to Z:).
std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

} // namespace

// An uncaught exception of a worker is stored in the log: one report with
// the program, the exception's address, module, class and message, and the
// call stacks of the raising worker (its raising place) and the main thread.
// The same raise again is a duplicate and not stored; one whose message
// differs in its last word is. The log's XML is left for the python check
// when its runner names a file (QOV_END_TO_END_XML).
TEST_F(EndToEnd, UncaughtExceptionsAreStoredInTheLogOnceEach)
{
    TLogOptions log(10);
    EXPECT_EQ(RunWorker([] { CallRaise("stored in the log"); }), 1u);
    const std::vector<TNotice> notices = Received();
    ASSERT_EQ(notices.size(), 1u);
    const DWORD worker = WorkerId;

    std::unique_ptr<TLogFile> stored = log.Read();
    ASSERT_EQ(stored->Count(), 1u) << log.File();
    const std::string& report = stored->Report(0);
    EXPECT_EQ(report.rfind("ZephraLog 5.1.10\r\n\r\n", 0), 0u);
    EXPECT_EQ(stored->GetReportField(0, "1.2"), "exceptions_wtest_end_to_end.exe");
    EXPECT_EQ(stored->GetReportField(0, "2.2"), Hex(notices[0].Address));
    EXPECT_EQ(stored->GetReportField(0, "2.3"), "exceptions_wtest_end_to_end.exe");
    EXPECT_EQ(stored->GetReportField(0, "2.4"), "EEndToEnd");
    EXPECT_EQ(stored->GetReportField(0, "2.5"), "stored in the log.");

    // The worker's group comes first, with the raising function and the
    // line of its throw; the main thread's group says so.
    const std::string stack = stored->GetCallStackPart(0);
    const size_t exceptionGroup = stack.find("Exception Thread: ID=" + std::to_string(worker) + ";");
    const size_t running = stack.find("Running Thread: ID=" + std::to_string(GetCurrentThreadId()) + ";");
    ASSERT_NE(exceptionGroup, std::string::npos) << stack;
    ASSERT_NE(running, std::string::npos) << stack;
    EXPECT_LT(exceptionGroup, running);
    EXPECT_NE(stack.find("[Main]", running), std::string::npos);
    bool raiseRow = false;
    std::istringstream rows(stack.substr(exceptionGroup, running - exceptionGroup));
    for (std::string row; std::getline(rows, row);)
        raiseRow = raiseRow || (row.find("|wtest_end_to_end.cpp") != std::string::npos &&
                                row.find("|Raise") != std::string::npos &&
                                row.find("|" + std::to_string(ThrowLine)) != std::string::npos);
    EXPECT_TRUE(raiseRow) << stack;

    // The same raise from the same place: found in the log, not stored.
    EXPECT_EQ(RunWorker([] { CallRaise("stored in the log"); }), 1u);
    EXPECT_EQ(log.Read()->Count(), 1u);
    // Another last word: stored.
    EXPECT_EQ(RunWorker([] { CallRaise("stored in the book"); }), 1u);
    stored = log.Read();
    ASSERT_EQ(stored->Count(), 2u);
    EXPECT_EQ(stored->GetReportField(1, "2.5"), "stored in the book.");

    if (const char* xml = std::getenv("QOV_END_TO_END_XML")) {
        stored->SaveXml(WindowsPath(xml));
        std::FILE* facts = std::fopen(WindowsPath(std::string(xml) + ".facts").c_str(), "w");
        ASSERT_NE(facts, nullptr);
        std::fprintf(facts, "%lu %lu %d %s\n", static_cast<unsigned long>(worker),
                     static_cast<unsigned long>(GetCurrentThreadId()), ThrowLine, Hex(notices[0].Address).c_str());
        std::fclose(facts);
    }
}

// KeepReports 3: ten different raises leave the newest three in the log.
TEST_F(EndToEnd, TheLogKeepsTheNewestReports)
{
    TLogOptions log(3);
    static int round = 0;
    for (round = 0; round < 10; ++round)
        EXPECT_EQ(RunWorker([] { CallRaise(("raise number " + std::to_string(round)).c_str()); }), 1u);
    const std::unique_ptr<TLogFile> stored = log.Read();
    ASSERT_EQ(stored->Count(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(stored->GetReportField(i, "2.5"), "raise number " + std::to_string(7 + i) + ".");
}
