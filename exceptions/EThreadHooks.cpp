#include "EThreadHooks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "ECore.h"
#include "EHook.h"
#include "EManager.h"
#include "ERaise.h"
#include "ESafeRead.h"
#include "EStack.h"
#include "SysUtils.h"

// The exports by their undecorated names (the register convention's symbols
// carry no @n on 32-bit Windows: see the header).
__asm__(".section .drectve\n\t"
        ".ascii \" -export:ZephraLog_CallCreateThread\"\n\t"
        ".ascii \" -export:ZephraLog_CallResumeThread\"\n\t"
        ".ascii \" -export:ZephraLog_CallExitThread\"\n\t"
        ".text");

namespace qov::exceptions {

namespace {

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
using TResumeThread = DWORD(WINAPI*)(HANDLE);
using TExitThread = void(WINAPI*)(DWORD);
using TCallCreateThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)(const TZephraThreadData*);
using TCallResumeThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)(HANDLE, const TZephraThreadData*);
using TCallExitThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)();

// Plain data: valid before any static initialiser of the module has run,
// since a hook may run before the library's start.
std::atomic<TZephraThreadsList*> Threads{nullptr};
constexpr size_t LibraryThreadSlots = 32;
volatile LONG LibraryThreads[LibraryThreadSlots];

template <typename T>
T Kernel32Procedure(const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// The hooked functions themselves, found by name on first use.
TCreateThread RealCreateThread()
{
    static const auto procedure = Kernel32Procedure<TCreateThread>("CreateThread");
    return procedure;
}

TResumeThread RealResumeThread()
{
    static const auto procedure = Kernel32Procedure<TResumeThread>("ResumeThread");
    return procedure;
}

TExitThread RealExitThread()
{
    static const auto procedure = Kernel32Procedure<TExitThread>("ExitThread");
    return procedure;
}

// The main module's export name when this module defers to it, else null.
template <typename T>
T MainModuleExport(const char* name)
{
    const TLibraryState& state = LibraryState();
    if (!state.DefersToMain || !state.MainModule || state.MainModule == OwnModule())
        return nullptr;
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(state.MainModule, name)));
}

// The list's write (or read) lock for a scope.
template <bool Write>
class TListLock {
public:
    explicit TListLock(TZephraThreadsList& list) : FList(list)
    {
        if (Write)
            FList.BeginWrite();
        else
            FList.BeginRead();
    }
    ~TListLock()
    {
        if (Write)
            FList.EndWrite();
        else
            FList.EndRead();
    }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;

private:
    TZephraThreadsList& FList;
};
using TWriteLock = TListLock<true>;
using TReadLock = TListLock<false>;

// The list holds its own handle of every thread, so a creator closing its
// handle neither drops a running thread nor leaves a stale value behind.
HANDLE DuplicateThreadHandle(HANDLE thread)
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Deletes the record at index, with its handle; the caller holds the write lock.
void DeleteRecord(TZephraThreadsList& list, size_t index)
{
    if (list.Item(index).Handle)
        CloseHandle(list.Item(index).Handle);
    list.Delete(index);
}

bool RemoveRecord(TZephraThreadsList& list, DWORD threadId) noexcept
{
    TWriteLock lock(list);
    const int index = list.FindByThreadId(threadId);
    if (index < 0)
        return false;
    DeleteRecord(list, static_cast<size_t>(index));
    return true;
}

// Drops the records of ended threads.
void PruneRecords(TZephraThreadsList& list)
{
    TWriteLock lock(list);
    for (size_t i = list.Count(); i-- > 0;)
        if (!ThreadIsRunning(list.Item(i).Handle))
            DeleteRecord(list, i);
}

// Appends record (its handle now owned by the list), replacing a record of
// the same thread id: an id names one running thread at a time.
void AppendRecord(TZephraThreadsList& list, const TZephraThreadRecord& record)
{
    TWriteLock lock(list);
    const int old = list.FindByThreadId(record.ThreadId);
    if (old >= 0)
        DeleteRecord(list, static_cast<size_t>(old));
    list.NewRecord(true) = record;
}

// A copy of the calling thread's stack from position up to its top, at most
// ResumeStackCopyLimit bytes.
TStackCopy CopyOwnStack(uintptr_t position)
{
    const uintptr_t top = StackTop();
    if (position == 0 || position >= top)
        return nullptr;
    const size_t size = std::min<size_t>(top - position, ResumeStackCopyLimit);
    const auto* bytes = reinterpret_cast<const uint8_t*>(position);
    return std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
}

// What a tracked thread starts with: the thread's own routine and parameter.
// Allocated by the creating hook, freed by the thread as it starts.
struct TStartBlock {
    LPTHREAD_START_ROUTINE Routine;
    void* Parameter;
};

TStartBlock* NewStartBlock(LPTHREAD_START_ROUTINE routine, void* parameter)
{
    auto* block = static_cast<TStartBlock*>(HeapAlloc(GetProcessHeap(), 0, sizeof(TStartBlock)));
    if (block)
        *block = {routine, parameter};
    return block;
}

TStartBlock TakeStartBlock(void* parameter)
{
    const TStartBlock block = *static_cast<TStartBlock*>(parameter);
    HeapFree(GetProcessHeap(), 0, parameter);
    return block;
}

// The started thread's record gets its stack top; when deferring, the main
// module's record is replaced by the completed one.
void NoteThreadStart() noexcept
{
    TZephraThreadsList* list = Threads.load();
    if (!list)
        return;
    try {
        TStackCopy copy;  // holds the bytes the passed record points to
        TZephraThreadData data;
        {
            TWriteLock lock(*list);
            const int index = list->FindByThreadId(GetCurrentThreadId());
            if (index < 0)
                return;
            TZephraThreadRecord& record = list->Item(static_cast<size_t>(index));
            record.StackTop = StackTop();
            copy = record.StackCopy;
            data = record.ToData();
        }
        if (const auto create = MainModuleExport<TCallCreateThread>("ZephraLog_CallCreateThread"))
            create(&data);
    } catch (...) {
    }
}

// The calling thread ends: its record leaves the list (and the main module's).
void NoteThreadEnd() noexcept
{
    const DWORD id = GetCurrentThreadId();
    UnregisterLibraryThread(id);
    TZephraThreadsList* list = Threads.load();
    if (LibraryState().Active && list) {
        RemoveRecord(*list, id);
        if (const auto exit = MainModuleExport<TCallExitThread>("ZephraLog_CallExitThread"))
            exit();
    }
    FreeRaiseRecord();
}

// The tracking start routine: runs the thread's routine whether or not the
// list knows the thread (it may have been dropped since its creation). The
// routine is called with nothing of this frame to clean up, so an exception
// that escapes it passes this frame as it would pass the system's.
DWORD WINAPI TrackingStart(void* parameter)
{
    const TStartBlock start = TakeStartBlock(parameter);
    NoteThreadStart();
    const DWORD result = start.Routine(start.Parameter);
    NoteThreadEnd();
    return result;
}

DWORD WINAPI LibraryThreadStart(void* parameter)
{
    const TStartBlock start = TakeStartBlock(parameter);
    const DWORD result = start.Routine(start.Parameter);
    UnregisterLibraryThread(GetCurrentThreadId());
    return result;
}

// The record of a thread just created (suspended) by the hook; when
// deferring, passed to the main module too.
void NoteNewThread(TZephraThreadsList& list, HANDLE thread, DWORD id, LPTHREAD_START_ROUTINE start,
                   void* parameter, bool runtimeWrapper) noexcept
{
    HANDLE own = nullptr;
    try {
        if (IsLibraryThread(id) || !(own = DuplicateThreadHandle(thread)))
            return;
        TZephraThreadRecord record;
        record.ThreadId = id;
        record.Handle = own;
        // Known once the system has the thread's information block, which
        // Wine fills only as the new thread starts; the thread stores it then.
        record.StackTop = ThreadStackTop(own);
        record.StartAddress = reinterpret_cast<void*>(start);
        record.ThreadRoutine = reinterpret_cast<void*>(start);
        record.Parameter = parameter;
        // A thread object thread of the class library; the runtime's wrapper
        // (runtimeWrapper) keeps its routine and its block as they are.
        if (!runtimeWrapper && ThreadClassProcedure && reinterpret_cast<void*>(start) == ThreadClassProcedure)
            record.ThreadObject = parameter;
        AppendRecord(list, record);
        own = nullptr;
        if (const auto create = MainModuleExport<TCallCreateThread>("ZephraLog_CallCreateThread")) {
            const TZephraThreadData data = record.ToData();
            create(&data);
        }
    } catch (...) {
        // Out of memory: the thread runs untracked.
        if (own)
            CloseHandle(own);
    }
}

HANDLE TrackedCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId, bool runtimeWrapper)
{
    const TCreateThread create = RealCreateThread();
    TZephraThreadsList* list = Threads.load();
    TStartBlock* block = nullptr;
    if (!LibraryState().Active || !list || !start || !(block = NewStartBlock(start, parameter)))
        return create(attributes, stackSize, start, parameter, flags, threadId);
    try {
        PruneRecords(*list);
    } catch (...) {
    }
    DWORD id = 0;
    HANDLE thread = create(attributes, stackSize, TrackingStart, block, flags | CREATE_SUSPENDED, &id);
    const DWORD error = GetLastError();
    if (!thread) {
        HeapFree(GetProcessHeap(), 0, block);
        SetLastError(error);
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    NoteNewThread(*list, thread, id, start, parameter, runtimeWrapper);
    if (!(flags & CREATE_SUSPENDED))
        RealResumeThread()(thread);
    SetLastError(error);
    return thread;
}

// The hooks. CreateThread has one entry for the module's imports and one for
// the runtime's: every call through the latter starts the runtime's wrapper.
HANDLE WINAPI CreateThreadHook(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    return TrackedCreateThread(attributes, stackSize, start, parameter, flags, threadId, false);
}

HANDLE WINAPI RuntimeCreateThreadHook(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                      LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    return TrackedCreateThread(attributes, stackSize, start, parameter, flags, threadId, true);
}

// A tracked thread's record gets the resumer's id and a copy of its stack
// from position on.
void NoteResume(HANDLE thread, uintptr_t position) noexcept
{
    try {
        TZephraThreadsList* list = Threads.load();
        if (!LibraryState().Active || !list)
            return;
        // The manager resumes the threads it captured: nothing to note.
        const TRaiseRecord* raise = ExistingRaiseRecord();
        if (raise && raise->CaptureInProgress)
            return;
        const DWORD id = GetThreadId(thread);
        if (id == 0 || IsLibraryThread(id))
            return;
        {
            TReadLock lock(*list);
            if (list->FindByThreadId(id) < 0)
                return;
        }
        // Copied outside the lock; the record holds it from here on.
        TStackCopy copy = CopyOwnStack(position);
        TZephraThreadData data;
        {
            TWriteLock lock(*list);
            const int index = list->FindByThreadId(id);
            if (index < 0)
                return;
            TZephraThreadRecord& record = list->Item(static_cast<size_t>(index));
            record.ResumerThreadId = GetCurrentThreadId();
            record.StackCopy = copy;
            data = record.ToData();
        }
        if (const auto resume = MainModuleExport<TCallResumeThread>("ZephraLog_CallResumeThread"))
            resume(thread, &data);
    } catch (...) {
        // Out of memory: the resume is not noted.
    }
}

DWORD WINAPI ResumeThreadHook(HANDLE thread)
{
    volatile uint8_t frame = 0;
    NoteResume(thread, reinterpret_cast<uintptr_t>(&frame));
    return RealResumeThread()(thread);
}

void WINAPI ExitThreadHook(DWORD exitCode)
{
    NoteThreadEnd();
    RealExitThread()(exitCode);
}

// The import entries the hooks replaced, to put back.
struct TThreadHook {
    HMODULE Module;
    const char* DllName;
    const char* Name;
    void* Previous;
    void* Hook;
};
TThreadHook InstalledHooks[12];
size_t InstalledHookCount;
bool HooksInstalled;

void Install(HMODULE module, const char* dllName, HMODULE provider, const char* name, void* hook)
{
    if (!module || !provider || InstalledHookCount == sizeof InstalledHooks / sizeof InstalledHooks[0])
        return;
    void* previous = reinterpret_cast<void*>(GetProcAddress(provider, name));
    if (!previous)
        return;
    try {
        if (PatchImport(module, dllName, previous, false, true, name, hook))
            InstalledHooks[InstalledHookCount++] = {module, dllName, name, previous, hook};
    } catch (const EHookError&) {
        // Not hookable here: the hook is left out.
    }
}

void InstallAll(HMODULE module, const char* dllName, HMODULE provider, void* createHook)
{
    Install(module, dllName, provider, "CreateThread", createHook);
    Install(module, dllName, provider, "ResumeThread", reinterpret_cast<void*>(&ResumeThreadHook));
    Install(module, dllName, provider, "ExitThread", reinterpret_cast<void*>(&ExitThreadHook));
}

// Checks another module's record and copies what it refers to: null when it
// cannot be taken. The handle is not duplicated.
std::unique_ptr<TZephraThreadRecord> TakeForeignRecord(const TZephraThreadData* given)
{
    if (!given || !IsReadableRange(given, sizeof *given))
        return nullptr;
    TZephraThreadData data;
    std::memcpy(&data, given, sizeof data);
    if (data.ThreadId == 0 || data.Handle == 0)
        return nullptr;
    std::vector<uint8_t> bytes;
    if (data.StackCopySize != 0) {
        const auto* from = reinterpret_cast<const void*>(data.StackCopy);
        if (!from || data.StackCopySize > ResumeStackCopyLimit || !IsReadableRange(from, data.StackCopySize))
            return nullptr;
        bytes.resize(data.StackCopySize);
        if (!SafeCopy(bytes.data(), from, bytes.size()))
            return nullptr;
    }
    data.StackCopy = 0;
    data.StackCopySize = 0;
    auto record = std::make_unique<TZephraThreadRecord>(TZephraThreadRecord::FromData(data));
    if (!bytes.empty())
        record->StackCopy = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    return record;
}

// True when thread is a thread of this process with that id.
bool NamesThread(HANDLE thread, DWORD threadId)
{
    return thread && GetThreadId(thread) == threadId && GetProcessIdOfThread(thread) == GetCurrentProcessId();
}

} // namespace

TZephraThreadsList* ProcessThreads() noexcept
{
    return Threads.load();
}

void StartThreadTracking()
{
    if (Threads.load())
        return;
    auto list = std::make_unique<TZephraThreadsList>();
    const DWORD current = GetCurrentThreadId();
    const DWORD mainId = LibraryState().MainThreadId ? LibraryState().MainThreadId : current;
    HANDLE main = mainId == current ? DuplicateThreadHandle(GetCurrentThread())
                                    : OpenThread(THREAD_ALL_ACCESS, FALSE, mainId);
    if (main) {
        TZephraThreadRecord& record = list->NewRecord(true);
        record.ThreadId = mainId;
        record.Handle = main;
        record.StackTop = mainId == current ? StackTop() : ThreadStackTop(main);
    }
    TZephraThreadsList* expected = nullptr;
    if (Threads.compare_exchange_strong(expected, list.get()))
        list.release();
    else if (main)
        CloseHandle(main);
}

void InstallThreadHooks(HMODULE module)
{
    if (HooksInstalled)
        return;
    HooksInstalled = true;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    InstallAll(module, "kernel32.dll", kernel, reinterpret_cast<void*>(&CreateThreadHook));
    // The runtime's _beginthreadex and _endthreadex call these; newer systems'
    // msvcrt.dll imports them through the processthreads API set (kernelbase).
    HMODULE runtime = GetModuleHandleA("msvcrt.dll");
    if (runtime && runtime != module) {
        const size_t ownHooks = InstalledHookCount;
        const auto hook = reinterpret_cast<void*>(&RuntimeCreateThreadHook);
        InstallAll(runtime, "kernel32.dll", kernel, hook);
        InstallAll(runtime, "api-ms-win-core-processthreads-l1-1-0.dll", GetModuleHandleA("kernelbase.dll"), hook);
        // The runtime's threads of every module now start in this module's
        // code, and may run on after its end: a library module stays loaded.
        HMODULE pinned;
        if (InstalledHookCount != ownHooks && OwnModule() != GetModuleHandleA(nullptr))
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCSTR>(&Threads), &pinned);
    }
}

void RemoveThreadHooks()
{
    for (size_t i = InstalledHookCount; i-- > 0;) {
        const TThreadHook& hook = InstalledHooks[i];
        try {
            PatchImport(hook.Module, hook.DllName, hook.Hook, true, true, hook.Name, hook.Previous);
        } catch (const EHookError&) {
        }
    }
    InstalledHookCount = 0;
    HooksInstalled = false;
}

void EndThreadTracking()
{
    TZephraThreadsList* list = Threads.exchange(nullptr);
    if (!list)
        return;
    {
        TWriteLock lock(*list);
        for (size_t i = list->Count(); i-- > 0;)
            DeleteRecord(*list, i);
    }
    delete list;
}

bool IsLibraryThread(DWORD threadId) noexcept
{
    if (threadId == 0)
        return false;
    for (volatile LONG& slot : LibraryThreads)
        if (static_cast<DWORD>(slot) == threadId)
            return true;
    return false;
}

void RegisterLibraryThread(DWORD threadId) noexcept
{
    if (threadId == 0)
        return;
    if (!IsLibraryThread(threadId))
        for (volatile LONG& slot : LibraryThreads)
            if (InterlockedCompareExchange(&slot, static_cast<LONG>(threadId), 0) == 0)
                break;
    if (TZephraThreadsList* list = Threads.load())
        RemoveRecord(*list, threadId);
}

void UnregisterLibraryThread(DWORD threadId) noexcept
{
    if (threadId == 0)
        return;
    for (volatile LONG& slot : LibraryThreads)
        InterlockedCompareExchange(&slot, 0, static_cast<LONG>(threadId));
}

HANDLE CreateLibraryThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD creationFlags, DWORD* threadId)
{
    TStartBlock* block = NewStartBlock(routine, parameter);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD id = 0;
    HANDLE thread = RealCreateThread()(nullptr, 0, LibraryThreadStart, block, creationFlags | CREATE_SUSPENDED, &id);
    if (!thread) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, block);
        SetLastError(error);
        return nullptr;
    }
    RegisterLibraryThread(id);
    if (threadId)
        *threadId = id;
    if (!(creationFlags & CREATE_SUSPENDED))
        RealResumeThread()(thread);
    return thread;
}

} // namespace qov::exceptions

using namespace qov::exceptions;

ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallCreateThread(const TZephraThreadData* data)
{
    try {
        TZephraThreadsList* list = Threads.load();
        if (!LibraryState().Active || !list)
            return 0;
        std::unique_ptr<TZephraThreadRecord> record = TakeForeignRecord(data);
        if (!record || IsLibraryThread(record->ThreadId))
            return 0;
        HANDLE own = DuplicateThreadHandle(record->Handle);
        if (!own)
            return 0;
        if (!NamesThread(own, record->ThreadId)) {
            CloseHandle(own);
            return 0;
        }
        record->Handle = own;
        // The system's word on the stack, where it has one, over the record's.
        if (const uintptr_t top = ThreadStackTop(own))
            record->StackTop = top;
        PruneRecords(*list);
        try {
            AppendRecord(*list, *record);
        } catch (...) {
            CloseHandle(own);
            throw;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallResumeThread(HANDLE thread, const TZephraThreadData* data)
{
    try {
        TZephraThreadsList* list = Threads.load();
        if (!LibraryState().Active || !list)
            return 0;
        const TRaiseRecord* raise = ExistingRaiseRecord();
        if (raise && raise->CaptureInProgress)
            return 0;
        std::unique_ptr<TZephraThreadRecord> record = TakeForeignRecord(data);
        if (!record || !NamesThread(thread, record->ThreadId))
            return 0;
        TWriteLock lock(*list);
        const int index = list->FindByThreadId(record->ThreadId);
        if (index < 0)
            return 0;
        // Everything but the handle, which stays the list's own.
        TZephraThreadRecord& listed = list->Item(static_cast<size_t>(index));
        record->Handle = listed.Handle;
        if (const uintptr_t top = ThreadStackTop(listed.Handle))
            record->StackTop = top;
        else if (record->StackTop == 0)
            record->StackTop = listed.StackTop;
        listed = *record;
        return 1;
    } catch (...) {
        return 0;
    }
}

ZEPHRA_THREAD_EXPORT_CC uint8_t ZephraLog_CallExitThread()
{
    TZephraThreadsList* list = Threads.load();
    if (!LibraryState().Active || !list)
        return 0;
    return RemoveRecord(*list, GetCurrentThreadId()) ? 1 : 0;
}
