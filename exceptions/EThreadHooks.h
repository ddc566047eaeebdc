// Thread tracking: the process's thread list, kept up to date by import
// hooks of CreateThread, ResumeThread and ExitThread in the module and in the
// C runtime (msvcrt.dll, whose _beginthreadex starts std::thread and the
// runtime's own threads).
//
// A thread created through the hooks is created suspended, gets its record
// (id, a handle of the list's own, stack top, what it runs) and is resumed
// unless its creator asked for a suspended thread. It starts at a tracking
// start routine that stores its stack top and always runs the thread's
// routine; the record leaves the list when the routine returns or the thread
// calls ExitThread. A resume of a tracked thread stores a copy of the
// resumer's stack in the thread's record. Three kinds of start:
//  - the class library's thread class (TThread): the record names the thread
//    object (the routine's parameter);
//  - the C runtime's thread wrapper (CreateThread called by msvcrt.dll): the
//    record keeps the wrapper's routine and parameter;
//  - any other start address: the record keeps it.
// The library's own threads are never listed.
//
// A module that defers to the main module also passes every record it adds,
// resumes or removes to the main module's exports ZephraLog_CallCreateThread,
// ZephraLog_CallResumeThread and ZephraLog_CallExitThread.
#pragma once

#include <windows.h>

#include <cstdint>

#include "EThreads.h"

namespace qov::exceptions {

// The process's thread list; null before StartThreadTracking and after
// EndThreadTracking. Every record of it owns its handle (a duplicate).
TZephraThreadsList* ProcessThreads() noexcept;
// Makes the list with the main thread's record (id, handle, stack top). Once.
void StartThreadTracking();
// Hooks the CreateThread, ResumeThread and ExitThread imports of module and
// of msvcrt.dll (unless another module's hooks are there already). Once
// until RemoveThreadHooks; the hooks record nothing while the library is not
// active (LibraryState().Active). A library module whose hooks took the
// runtime's imports pins itself: the runtime's threads of every module start
// in its code.
void InstallThreadHooks(HMODULE module);
// Puts the imports back.
void RemoveThreadHooks();
// Frees the list (closing the handles of its records).
void EndThreadTracking();

// The library's own threads: never listed. Registering a thread also drops
// a record the list may have of it.
bool IsLibraryThread(DWORD threadId) noexcept;
void RegisterLibraryThread(DWORD threadId) noexcept;
void UnregisterLibraryThread(DWORD threadId) noexcept;
// Creates a thread of the library: never listed (it is registered before it
// runs and unregistered when its routine returns), not seen by the hooks.
// The arguments and result are CreateThread's.
HANDLE CreateLibraryThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD creationFlags,
                           DWORD* threadId);

// The largest resumer's stack copy a record carries: the stack capture reads
// no more above a stack position either.
constexpr uint32_t ResumeStackCopyLimit = 102400;

} // namespace qov::exceptions

// The thread exports every module carrying the library has; a module that
// defers calls those of the main module. Each checks the record it is given
// and refuses (result 0) a record it cannot take: null or unreadable, a
// thread id or handle of 0, a handle that names no thread of that id, a stack
// copy that is missing, unreadable or larger than ResumeStackCopyLimit.
// Result 1 when the record was taken. On 32-bit Windows the convention is the
// register one of the library's exports (first three arguments in EAX, EDX,
// ECX, the callee removes the rest from the stack).
// Their symbols carry no decoration: the exported names are the same on both
// architectures.
#ifdef _WIN64
#define ZEPHRA_THREAD_EXPORT_CC
#define ZEPHRA_THREAD_EXPORT_SYMBOL(name)
#else
#define ZEPHRA_THREAD_EXPORT_CC __attribute__((regparm(3), stdcall))
#define ZEPHRA_THREAD_EXPORT_SYMBOL(name) __asm__("_" #name)
#endif
extern "C" {
// Appends a copy of the record (a record of that thread id is replaced);
// the stack top is the system's whenever the system can tell it.
ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallCreateThread(const qov::exceptions::TZephraThreadData* data)
    ZEPHRA_THREAD_EXPORT_SYMBOL(ZephraLog_CallCreateThread);
// Copies the record over the listed record of thread: resumer and stack copy.
ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallResumeThread(HANDLE thread,
                                                           const qov::exceptions::TZephraThreadData* data)
    ZEPHRA_THREAD_EXPORT_SYMBOL(ZephraLog_CallResumeThread);
// Removes the calling thread's record.
ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallExitThread() ZEPHRA_THREAD_EXPORT_SYMBOL(ZephraLog_CallExitThread);
}
