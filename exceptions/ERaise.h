// The raise record: what the library keeps of the latest raise on each thread,
// written by the raise hooks while the raising stack is still intact and read
// by the exception manager. It lives in a Win32 TLS slot (allocated by the
// module's first static initialiser) and is allocated with VirtualAlloc when a
// thread first needs it, so that a hook never calls the C++ heap for it. A
// thread's record is freed when the thread ends.
//
// The raise hooks themselves: every module that carries the library links
// with -Wl,--wrap for __cxa_throw and __cxa_rethrow (recording and notifying
// a raise: the registers at the call become the record's context, the
// decision runs and an exception nothing will catch is reported at once,
// with the raising stack intact) and for _Unwind_RaiseException and
// _Unwind_Resume_or_Rethrow (the safety net: an exception the unwinder
// found no catch for and that was not reported goes to the unhandled-
// exception procedure, which reports it and ends the thread with exit code 1).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "EHelpers.h"
#include "EManager.h"
#include "EThreads.h"

namespace qov::exceptions {

// Largest stack copy kept at a raise.
constexpr size_t RaiseStackCopyLimit = 102400;
// The flags word of a context the hooks keep: control, integer and segment
// registers (0x10007 on i686, 0x100007 on x86_64).
constexpr DWORD RaiseContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
// The part of a context that crosses modules: the 204 bytes without the
// extended registers on i686, the whole record on x86_64.
#ifdef _WIN64
constexpr size_t SharedContextSize = sizeof(CONTEXT);
#else
constexpr size_t SharedContextSize = offsetof(CONTEXT, ExtendedRegisters);
static_assert(SharedContextSize == 204, "the shared context is 204 bytes");
#endif

struct TRaiseRecord {
    // Stack position from which the manager captures the raiser's stack; 0 when none.
    uintptr_t CapturePosition = 0;
    // Stack position of the raise itself (the caller's stack pointer at the throw).
    uintptr_t RaisePosition = 0;
    // One saved register (ECX on i686, RCX on x86_64) of the raise hook's entry.
    uintptr_t SavedRegister = 0;
    // The context synthesised at the raise, or copied from a fault; ContextFlags
    // is RaiseContextFlags when one is present, 0 otherwise.
    CONTEXT Context{};
    // Recursion guard of the handling (set while this thread runs a report).
    uint8_t Handling = 0;
    // Set while the manager captures stacks (the resume hook then records nothing).
    uint8_t CaptureInProgress = 0;
    // Raise-hook guard, changed only by an atomic compare-exchange.
    volatile LONG RaiseGuard = 0;
    // The raise-time stack copy of this thread: the stack from RaisePosition
    // (or the current position) up to the stack top, at most
    // RaiseStackCopyLimit bytes, with the thread id and the exception address
    // (5 less when raised by the program). Size 0: none, or a fault while copying.
    uint8_t* StackCopy = nullptr;  // RaiseStackCopyLimit bytes, VirtualAlloc'ed with the record
    uint32_t StackCopySize = 0;
    uintptr_t StackCopyBase = 0;   // the stack address the copy starts at
    DWORD StackCopyThreadId = 0;
    const void* StackCopyAddress = nullptr;
    // The latest raise the hooks recorded on this thread: the thrown object
    // (its address, only compared) and the raise's address (the return
    // address of the raising call, or a fault's address).
    const void* RaisedObject = nullptr;
    const void* RaisedAddress = nullptr;
    // The latest exception of this thread handed to the manager by the hooks
    // (object and address), so that the unhandled path reports it only once.
    const void* ReportedObject = nullptr;
    const void* ReportedAddress = nullptr;
    // The descriptor that ZephraLog_CallExceptObject returned last on this
    // thread (owned by this module; valid until the thread's next call).
    TExceptionInfo* ExceptObject = nullptr;
    // The text this module's custom-data receiver gave back last on this
    // thread (the sender copies it before anything else runs on the thread).
    // Kept here rather than in a thread_local object: at a thread's end the
    // run-time's emulated thread storage is freed before the destructors of
    // thread_local objects run, so such a destructor works on freed memory
    // inside the system's thread-end callbacks.
    std::string CustomDataAnswer;
};

// The calling thread's record, made on first use (null only when the slot or
// the memory cannot be had). Safe inside hooks: no C++ heap, no locks.
TRaiseRecord* CurrentRaiseRecord() noexcept;
// The record if the calling thread has one already, else null.
TRaiseRecord* ExistingRaiseRecord() noexcept;
// Frees the calling thread's record (thread end).
void FreeRaiseRecord() noexcept;
// The end of a library module's library: frees the calling thread's record
// and the slot; no record is made afterwards. (The records of threads still
// running stay allocated.)
void EndRaiseRecords() noexcept;

// The raise hooks ------------------------------------------------------------------

// What a hook hands a raise that nothing will catch to: RunExceptionHandler,
// unless a test put its own in (null puts RunExceptionHandler back).
using TRaiseReporter = uint8_t (*)(const TExceptionRef& object, const void* address, bool raisedByProgram,
                                   uint8_t answer, HMODULE module, TRaiserKind kind, THandlingBlock* block,
                                   uintptr_t stackTop, uintptr_t stackPosition);
void SetRaiseReporter(TRaiseReporter reporter) noexcept;

// Records a raise (saved exception, raise-time stack copy) and, unless
// forced, asks the decision and reports the exception when nothing will catch
// it. Ignored while the thread is inside this step already (a raise inside
// the notification). The thread's last-error value is kept.
void NotifyRaise(const TExceptionRef& object, const void* address, bool raisedByProgram, bool force);

// The exception-object procedure: the descriptor (EExternal family) of a
// Windows exception, made by the previous procedure; the context's stack
// pointer becomes the raise record's capture position and the context is
// copied into the record. With notify, the raise is notified (forced: it is
// recorded but never reported from here).
TExceptionRef ExceptionObjectOf(const EXCEPTION_RECORD& record, const CONTEXT* context, bool notify);

// The unhandled-exception procedure: reports an exception that nothing
// caught, unless the hooks reported it already, then ends the thread with
// exit code 1 (the process, on the main thread). Never returns while the
// library is active. systemException: the EXCEPTION_POINTERS of a Windows
// exception; null: the C++ exception being handled in the calling catch block.
void UnhandledException(void* systemException);

// The module's top-level exception filter (installed by a module that does
// not defer); faults outside the modules that carry the library go to the
// filter it replaced.
LONG WINAPI UnhandledExceptionFilterOfLibrary(EXCEPTION_POINTERS* pointers);

// Installs the raise hooks of this module: the two run-time procedures, the
// terminate handler, the unhandled-exception filter (when not deferring), the
// import hooks for RaiseException, RtlUnwind and WriteFile in this module and
// in msvcrt.dll, and the HttpExtensionProc hook when this module exports one.
void InstallRaiseHooks();
// Puts back what InstallRaiseHooks replaced (the import and inline hooks go
// with the hooking unit's end).
void RemoveRaiseHooks();
// True between InstallRaiseHooks and RemoveRaiseHooks.
bool RaiseHooksInstalled() noexcept;

// What the web-server hooks captured: the page the program wrote last (to
// the standard output as a CGI program, or through the server's WriteClient
// in an extension), and the extension control block of the current request.
std::string LastHtmlPage();
void* CurrentExtensionControlBlock() noexcept;

} // namespace qov::exceptions
