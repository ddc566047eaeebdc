// IsExceptionHandled in the running process: descriptors of C++ and Windows
// exceptions, the safecall boundary, the flags of the library's start and
// end, and what the run-time really does with an access violation inside
// catch (...) and with a C++ exception that crosses system frames (window
// procedures), which the decision must agree with.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "EHandled.h"
#include "UnwinderRaise.h"

using namespace qov::exceptions;

namespace {

#define NOINLINE __attribute__((noinline))

struct ETest : ::qov::Exception {
    ETest() : Exception("test") {}
};

TDecision Decided;
bool ForceFlag;

// Takes the decision for a raise in the calling frame, through the descriptor.
template <typename T>
NOINLINE void DecideHere(T& object)
{
    TExceptionInfo info(&typeid(T), &object);
    Decided = DecideException(&info, __builtin_return_address(0), ForceFlag);
}

NOINLINE void RaiseTest()
{
    ETest error;
    DecideHere(error);
    throw error;
}

void (*ThreadBody)();
DWORD WINAPI ThreadMain(LPVOID)
{
    ThreadBody();
    return 0;
}
// On a thread of its own, whose start catches nothing.
TDecision DecideOnOwnThread(void (*body)())
{
    ResetDecisions();
    Decided = TDecision();
    ThreadBody = body;
    HANDLE thread = CreateThread(nullptr, 1 << 20, ThreadMain, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return Decided;
}

TEST(Handled, DescriptorsOfLanguageExceptions)
{
    TDecision d = DecideOnOwnThread([] {
        try {
            RaiseTest();
        } catch (const ::qov::Exception&) {
        }
    });
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(hkTyped, d.FirstKind);
    EXPECT_TRUE(FirstDecisionTaken());
    EXPECT_EQ(1, DecisionCacheCount());
    EXPECT_EQ(static_cast<const void*>(&typeid(ETest)), DecisionCacheKey(0).Class);
    d = DecideOnOwnThread([] {
        try {
            RaiseTest();
        } catch (const std::bad_alloc&) {
        } catch (...) {
        }
    });
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(hkCatchAll, d.FirstKind);
}

TEST(Handled, SafecallMembersAreReportedByTheirBoundary)
{
    ForceFlag = true;
    TDecision d = DecideOnOwnThread([] {
        try {
            RunSafeCall([](void*) { RaiseTest(); }, nullptr, nullptr);
        } catch (...) {
        }
    });
    ForceFlag = false;
    EXPECT_FALSE(d.Handled);
    EXPECT_EQ(daSafeCall, d.Answer);
    // The same through the Part's interface and its answer byte.
    ResetDecisions();
    ETest error;
    uint8_t answer = 9;
    EXPECT_FALSE(IsExceptionHandled(nullptr, nullptr, false, answer));
    EXPECT_EQ(daOrdinary, answer);
    EXPECT_TRUE(IsExceptionHandled(nullptr, nullptr, true, answer));
}

NOINLINE void DecideForUnknownClass()
{
    // A thrown object whose type description is garbage.
    static const char garbage[64] = {};
    ETest error;
    TExceptionInfo info(reinterpret_cast<const std::type_info*>(garbage + 8), &error);
    Decided = DecideException(&info, __builtin_return_address(0), false);
}

volatile int Sink;

// The raising frame (kept a frame of its own: no tail call).
NOINLINE void RaiseOfUnknownClass()
{
    DecideForUnknownClass();
    Sink = Sink + 1;
}

TEST(Handled, UnknownClassesBypassTheCache)
{
    TDecision d = DecideOnOwnThread([] {
        try {
            RaiseOfUnknownClass();
        } catch (...) {
        }
    });
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(hkCatchAll, d.FirstKind);
    EXPECT_EQ(0, DecisionCacheCount());
}

TEST(Handled, StartAndEndFlags)
{
    SetDecisionUnitPhase(true, false);
    TDecision d = DecideOnOwnThread([] {
        try {
            RaiseTest();
        } catch (...) {
        }
    });
    SetDecisionUnitPhase(false, true);
    TDecision inEnd = DecideOnOwnThread([] {
        try {
            RaiseTest();
        } catch (...) {
        }
    });
    SetDecisionUnitPhase(false, false);
    EXPECT_FALSE(d.Handled);
    EXPECT_FALSE(inEnd.Handled);
    SetDecisionDefersToMain(true);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    TExceptionInfo av(record, nullptr);
    uint8_t answer;
    EXPECT_TRUE(IsExceptionHandled(&av, nullptr, false, answer));
    SetDecisionDefersToMain(false);
    EXPECT_FALSE(IsExceptionHandled(&av, nullptr, false, answer));
    ResetDecisions();
    EXPECT_FALSE(FirstDecisionTaken());
    EXPECT_EQ(0, DecisionCacheCount());
}

std::string ModuleFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

TEST(Handled, AccessViolationInsideCatchAllAgreesWithTheRunTime)
{
    std::string child = ModuleFolder() + "handled_av_child.exe";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(child.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 60000));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // catch (...) leaves the violation to the unhandled-exception filter, and
    // the decision said so at the fault.
    EXPECT_EQ(2u, code);
}

// A C++ exception raised in a window procedure, under a catch of the caller
// of SendMessage: whether the system's frames in between let it through is
// the run-time's answer; the decision taken in the window procedure must be
// the same.
bool RaiseReturned;

NOINLINE void RaiseInProcedure()
{
    ETest error;
    DecideHere(error);
    qov::test::RaiseOrReturn(error);
    RaiseReturned = true;
}

LRESULT CALLBACK RaisingProcedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_USER + 1) {
        RaiseInProcedure();
        return 1;
    }
    return DefWindowProcA(window, message, w, l);
}

bool CaughtOutside;

void SendToRaisingWindow()
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RaisingProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QovDecisionRaising";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("QovDecisionRaising", "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    try {
        SendMessageA(window, WM_USER + 1, 0, 0);
    } catch (...) {
        CaughtOutside = true;
    }
    DestroyWindow(window);
}

TEST(Handled, ExceptionThroughSystemFramesAgreesWithTheRunTime)
{
    TDecision d = DecideOnOwnThread(SendToRaisingWindow);
    std::printf("window procedure: caught outside %d, raise returned %d; decision handled %d (count %d)\n",
                CaughtOutside, RaiseReturned, d.Handled, static_cast<int>(d.Count));
    EXPECT_TRUE(CaughtOutside || RaiseReturned);
    EXPECT_EQ(CaughtOutside, d.Handled);
}

// A C++ exception raised under a catch of another module, which has its own
// run-time: the run-time's answer (does that catch take it?) and the
// decision's must be the same. On i686 the other module's frames are not
// even seen by this module's unwinder; on x86_64 its run-time takes this
// module's std::exception by the class's name.
int CaughtInOtherModule;

void RaiseUnderOtherModule()
{
    using TCallCaught = int (*)(void (*)());
    HMODULE module = LoadLibraryA((ModuleFolder() + "handled_frames_dll.dll").c_str());
    auto callCaught = reinterpret_cast<TCallCaught>(reinterpret_cast<void*>(GetProcAddress(module, "CallCaught")));
    RaiseReturned = false;
    CaughtInOtherModule = callCaught ? callCaught(RaiseInProcedure) : -1;
    if (CaughtInOtherModule == 1)
        qov::test::ForgetCaughtElsewhere();
}

TEST(Handled, ExceptionUnderAnotherModulesCatchAgreesWithTheRunTime)
{
    TDecision d = DecideOnOwnThread(RaiseUnderOtherModule);
    std::printf("other module: its catch returned %d, raise returned %d; decision handled %d (count %d)\n",
                CaughtInOtherModule, RaiseReturned, d.Handled, static_cast<int>(d.Count));
    ASSERT_NE(-1, CaughtInOtherModule);
    EXPECT_TRUE(CaughtInOtherModule == 1 || RaiseReturned);
    EXPECT_EQ(CaughtInOtherModule == 1, d.Handled);
}

#if defined(__i386__)
// Calls body through EAX from code that has no unwind tables, followed by the
// bytes "cmp $1, %eax" (what the 32-bit unwinder takes for the system's
// exception dispatcher when it meets a frame it has no tables of), with a
// zero word where it would then look for the dispatcher's context.
extern "C" void QovCallLikeDispatcher(void (*body)());
asm(R"(
    .text
    .globl _QovCallLikeDispatcher
_QovCallLikeDispatcher:
    pushl $0
    movl 8(%esp), %eax
    call *%eax
    cmpl $1, %eax
    addl $4, %esp
    ret
)");

NOINLINE void RaiseUnderTypedCatch()
{
    try {
        RaiseTest();
    } catch (const ::qov::Exception&) {
    }
}

// The walk ends below a frame without unwind tables of this module (another
// module's or the system's, here one whose bytes look like the dispatcher's)
// instead of reading a context from the words of its stack: the catch met
// before it counts, and nothing faults.
LONG WINAPI FaultEndsTheTest(EXCEPTION_POINTERS* pointers)
{
    std::fprintf(stderr, "fault %08lX at %p during the walk\n", pointers->ExceptionRecord->ExceptionCode,
                 pointers->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST(Handled, WalkEndsBelowAFrameWithoutTables)
{
    // A fault would end the process through the system's debugger, whose
    // exit code cannot be relied on: the test ends it with a failure instead.
    LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(FaultEndsTheTest);
    TDecision d = DecideOnOwnThread([] { QovCallLikeDispatcher(RaiseUnderTypedCatch); });
    SetUnhandledExceptionFilter(previous);
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(hkTyped, d.FirstKind);
    EXPECT_EQ(1, static_cast<int>(d.Count));
}
#endif

} // namespace
