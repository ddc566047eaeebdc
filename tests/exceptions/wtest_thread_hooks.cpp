// Thread tracking through the CreateThread, ResumeThread and ExitThread
// hooks: threads of every kind of start appear with their stack tops and
// leave when they end, creation flags are kept, a resume stores the
// resumer's stack, the library's own threads never appear, and the thread
// exports take good records from other modules and refuse bad ones.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "EManager.h"
#include "ERaise.h"
#include "EStack.h"
#include "EThreadHooks.h"
#include "SysUtils.h"
#include "UnitQovCore.h"

using namespace qov::exceptions;

namespace {

// The library is active in this program (it carries its ZPDATA) with the
// hooks in its own imports and in the runtime's.
class TTrackingEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        LibraryState().Active = true;
        StartThreadTracking();
        InstallThreadHooks(GetModuleHandleA(nullptr));
    }
};
[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new TTrackingEnvironment);

// The listed record of a thread (a copy), or nothing.
std::unique_ptr<TZephraThreadRecord> Listed(DWORD id)
{
    TZephraThreadsList* list = ProcessThreads();
    if (!list)
        return nullptr;
    list->BeginRead();
    const int index = list->FindByThreadId(id);
    std::unique_ptr<TZephraThreadRecord> record;
    if (index >= 0)
        record = std::make_unique<TZephraThreadRecord>(list->Item(static_cast<size_t>(index)));
    list->EndRead();
    return record;
}

size_t ListedCount()
{
    TZephraThreadsList* list = ProcessThreads();
    list->BeginRead();
    const size_t count = list->Count();
    list->EndRead();
    return count;
}

HMODULE ModuleOfAddress(const void* address)
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(address), &module);
    return module;
}

// What a thread saw of itself, and the event that lets it end.
struct TThreadSeen {
    std::atomic<DWORD> Id{0};
    std::atomic<uintptr_t> Top{0};
};

struct TStartShared {
    HANDLE Release;
    std::atomic<int> Started{0};
};

void NoteSelf(TThreadSeen& seen, TStartShared& shared)
{
    seen.Top = StackTop();
    seen.Id = GetCurrentThreadId();
    ++shared.Started;
    WaitForSingleObject(shared.Release, INFINITE);
}

struct TRoutineArgument {
    TThreadSeen* Seen;
    TStartShared* Shared;
    bool Exit;  // ends with ExitThread instead of returning
};

DWORD WINAPI SeenRoutine(void* parameter)
{
    auto* argument = static_cast<TRoutineArgument*>(parameter);
    NoteSelf(*argument->Seen, *argument->Shared);
    if (argument->Exit)
        ExitThread(3);
    return 3;
}

// A thread of the class library's thread class.
class TProbeThread : public qov::TThread {
public:
    TProbeThread(TThreadSeen& seen, TStartShared& shared) : FSeen(seen), FShared(shared)
    {
        StartThread();
        Post(WM_USER);
    }
    ~TProbeThread() override { EndThread(); }

protected:
    void Execute() override { NoteSelf(FSeen, FShared); }

private:
    TThreadSeen& FSeen;
    TStartShared& FShared;
};

bool WaitFor(const std::atomic<int>& counter, int value)
{
    for (int i = 0; i < 1000 && counter.load() < value; ++i)
        Sleep(5);
    return counter.load() >= value;
}

DWORD WINAPI SetFlag(void* flag)
{
    static_cast<std::atomic<int>*>(flag)->store(1);
    return 1234;
}

DWORD WINAPI WaitOnEvent(void* event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

// Resumes thread from a frame holding a known pattern.
__attribute__((noinline)) DWORD ResumeFromMarkedFrame(HANDLE thread, const char* pattern)
{
    volatile char marker[16];
    for (size_t i = 0; i < sizeof marker; ++i)
        marker[i] = pattern[i];
    const DWORD count = ResumeThread(thread);
    return count + (marker[0] == 0 ? 1 : 0);
}

bool CopyHolds(const TStackCopy& copy, const char* pattern)
{
    if (!copy)
        return false;
    const auto* bytes = copy->data();
    for (size_t i = 0; i + 16 <= copy->size(); ++i)
        if (std::memcmp(bytes + i, pattern, 16) == 0)
            return true;
    return false;
}

} // namespace

TEST(ThreadHooks, TwentyThreadsOfEveryStartAppearAndLeave)
{
    ASSERT_NE(ProcessThreads(), nullptr);
    // The main thread's record is made at the start.
    std::unique_ptr<TZephraThreadRecord> main = Listed(GetCurrentThreadId());
    ASSERT_TRUE(main);
    EXPECT_EQ(main->StackTop, StackTop());

    TStartShared shared;
    shared.Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<TThreadSeen> seen(20);
    std::vector<TRoutineArgument> arguments;
    for (size_t i = 0; i < 7; ++i)
        arguments.push_back({&seen[i], &shared, i % 2 == 1});
    std::vector<HANDLE> handles;
    for (TRoutineArgument& argument : arguments) {
        // Half the creators close their handle at once: the list keeps its own.
        HANDLE thread = CreateThread(nullptr, 0, SeenRoutine, &argument, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        handles.push_back(thread);
    }
    std::vector<std::thread> runtimeThreads;
    for (size_t i = 7; i < 14; ++i)
        runtimeThreads.emplace_back([&, i] { NoteSelf(seen[i], shared); });
    std::vector<std::unique_ptr<TProbeThread>> objects;
    for (size_t i = 14; i < 20; ++i)
        objects.push_back(std::make_unique<TProbeThread>(seen[i], shared));
    for (size_t i = 0; i < handles.size(); i += 2)
        CloseHandle(handles[i]);
    // Every thread ends however the checks go.
    struct TEnd {
        HANDLE Release;
        std::vector<std::thread>& Threads;
        ~TEnd()
        {
            SetEvent(Release);
            for (std::thread& thread : Threads)
                if (thread.joinable())
                    thread.join();
            CloseHandle(Release);
        }
    } end{shared.Release, runtimeThreads};
    ASSERT_TRUE(WaitFor(shared.Started, 20));

    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        std::unique_ptr<TZephraThreadRecord> record = Listed(seen[i].Id);
        if (!record) {
            ADD_FAILURE() << "not listed";
            continue;
        }
        EXPECT_EQ(record->StackTop, seen[i].Top.load());
        EXPECT_EQ(GetThreadId(record->Handle), seen[i].Id.load());
        if (i < 7) {
            EXPECT_EQ(record->StartAddress, reinterpret_cast<void*>(&SeenRoutine));
            EXPECT_EQ(record->Parameter, &arguments[i]);
            EXPECT_EQ(record->ThreadObject, nullptr);
        } else if (i < 14) {
            // Started by the runtime's wrapper in msvcrt.dll.
            EXPECT_EQ(ModuleOfAddress(record->StartAddress), GetModuleHandleA("msvcrt.dll"));
            EXPECT_EQ(record->ThreadObject, nullptr);
        } else {
            EXPECT_EQ(record->ThreadObject, static_cast<qov::TThread*>(objects[i - 14].get()));
            EXPECT_EQ(record->StartAddress, qov::ThreadClassProcedure);
        }
    }

    SetEvent(shared.Release);
    for (size_t i = 1; i < handles.size(); i += 2) {
        WaitForSingleObject(handles[i], INFINITE);
        CloseHandle(handles[i]);
    }
    for (std::thread& thread : runtimeThreads)
        thread.join();
    objects.clear();
    // The closed handles' threads end on their own.
    for (size_t i = 0; i < 7; i += 2)
        for (int wait = 0; wait < 400 && Listed(seen[i].Id); ++wait)
            Sleep(5);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_FALSE(Listed(seen[i].Id)) << i;
}

TEST(ThreadHooks, CreationFlagsAreKept)
{
    // Created suspended: stays so until resumed, suspended exactly once.
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(200);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    CloseHandle(thread);

    // Created with flags 0: runs at once, not left suspended.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread = CreateThread(nullptr, 0, WaitOnEvent, event, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(ResumeThread(thread), 0u);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(ThreadHooks, ResumeStoresTheResumersStack)
{
    const char pattern[17] = "resumer-frame-01";
    std::atomic<int> ran{0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    std::unique_ptr<TZephraThreadRecord> record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ResumerThreadId, 0u);
    EXPECT_FALSE(record->StackCopy);

    // The record is read right after the resume, before the thread can end.
    SuspendThread(thread);
    EXPECT_EQ(ResumeFromMarkedFrame(thread, pattern), 2u);
    record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ResumerThreadId, GetCurrentThreadId());
    ASSERT_TRUE(record->StackCopy);
    EXPECT_LE(record->StackCopy->size(), ResumeStackCopyLimit);
    EXPECT_TRUE(CopyHolds(record->StackCopy, pattern));
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    // While the manager captures stacks, its resumes are not noted.
    TRaiseRecord* raise = CurrentRaiseRecord();
    ASSERT_NE(raise, nullptr);
    thread = CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, &id);
    raise->CaptureInProgress = 1;
    SuspendThread(thread);
    ResumeFromMarkedFrame(thread, pattern);
    raise->CaptureInProgress = 0;
    record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ResumerThreadId, 0u);
    EXPECT_FALSE(record->StackCopy);
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(ThreadHooks, LibraryThreadsAreNeverListed)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const size_t before = ListedCount();
    DWORD id = 0;
    HANDLE thread = CreateLibraryThread(WaitOnEvent, event, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(IsLibraryThread(id));
    EXPECT_FALSE(Listed(id));
    EXPECT_EQ(ListedCount(), before);
    // Its resumes are not noted either.
    SuspendThread(thread);
    ResumeThread(thread);
    EXPECT_FALSE(Listed(id));
    SetEvent(event);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_FALSE(IsLibraryThread(id));
    CloseHandle(thread);

    // A thread registered after its creation leaves the list at once; its
    // routine still runs when it starts without a record.
    std::atomic<int> ran{0};
    thread = CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, &id);
    ASSERT_TRUE(Listed(id));
    RegisterLibraryThread(id);
    EXPECT_FALSE(Listed(id));
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(code, 1234u);
    UnregisterLibraryThread(id);
    EXPECT_FALSE(IsLibraryThread(id));
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(ThreadHooks, StartRoutineRunsWhenTheListIsGone)
{
    // The list ends while a tracked thread waits to start: the thread runs
    // its routine all the same.
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EndThreadTracking();
    ResumeThread(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(code, 1234u);
    CloseHandle(thread);
    StartThreadTracking();
    EXPECT_TRUE(Listed(GetCurrentThreadId()));
}

namespace {

using TCallCreateThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)(const TZephraThreadData*);
using TCallResumeThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)(HANDLE, const TZephraThreadData*);
using TCallExitThread = uint8_t(ZEPHRA_THREAD_EXPORT_CC*)();

template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A running thread the hooks did not see.
HANDLE UntrackedThread(HANDLE event, DWORD& id)
{
    LibraryState().Active = false;
    HANDLE thread = CreateThread(nullptr, 0, WaitOnEvent, event, 0, &id);
    LibraryState().Active = true;
    // The system knows a thread's stack once the thread has started.
    for (int i = 0; i < 500 && thread && ThreadStackTop(thread) == 0; ++i)
        Sleep(10);
    return thread;
}

struct TExitProbe {
    TCallExitThread Exit;
    HANDLE Go;
    uint8_t First = 0, Second = 0;
};

DWORD WINAPI CallExitExport(void* parameter)
{
    auto* probe = static_cast<TExitProbe*>(parameter);
    WaitForSingleObject(probe->Go, INFINITE);
    probe->First = probe->Exit();
    probe->Second = probe->Exit();
    return 0;
}

} // namespace

TEST(ThreadExports, TakeGoodRecordsAndRefuseBadOnes)
{
    HMODULE self = GetModuleHandleA(nullptr);
    const auto create = Export<TCallCreateThread>(self, "ZephraLog_CallCreateThread");
    const auto resume = Export<TCallResumeThread>(self, "ZephraLog_CallResumeThread");
    const auto exit = Export<TCallExitThread>(self, "ZephraLog_CallExitThread");
    ASSERT_TRUE(create && resume && exit);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0, otherId = 0;
    HANDLE thread = UntrackedThread(event, id);
    HANDLE other = UntrackedThread(event, otherId);
    ASSERT_FALSE(Listed(id));

    std::vector<uint8_t> stack(256, 0x5A);
    TZephraThreadData good{};
    good.ThreadId = id;
    good.Handle = reinterpret_cast<uintptr_t>(thread);
    good.StackTop = 0x123450;  // not the thread's: the system's is taken
    good.StackCopySize = static_cast<uint32_t>(stack.size());
    good.StackCopy = reinterpret_cast<uintptr_t>(stack.data());
    good.Borrowed = 1;

    // Bad records: nothing is listed.
    const size_t before = ListedCount();
    auto* noAccess = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS));
    // One readable page in front of reserved memory.
    auto* edge = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(VirtualAlloc(edge, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    std::vector<uint8_t> large(ResumeStackCopyLimit + 4, 1);
    std::vector<TZephraThreadData> bad(9, good);
    bad[0].ThreadId = 0;
    bad[1].Handle = 0;
    bad[2].Handle = reinterpret_cast<uintptr_t>(event);   // no thread
    bad[3].Handle = reinterpret_cast<uintptr_t>(other);   // another thread
    bad[4].StackCopy = 0;                                 // size without a copy
    bad[5].StackCopy = reinterpret_cast<uintptr_t>(noAccess);
    bad[6].StackCopy = reinterpret_cast<uintptr_t>(large.data());
    bad[6].StackCopySize = static_cast<uint32_t>(large.size());  // larger than any stack copy
    bad[7].StackCopy = reinterpret_cast<uintptr_t>(edge);
    bad[7].StackCopySize = 2 * 4096;                              // beyond its memory
    bad[8].Handle = 0x7FFFFFF0;                                   // no handle at all
    EXPECT_EQ(create(nullptr), 0);
    EXPECT_EQ(create(reinterpret_cast<const TZephraThreadData*>(noAccess)), 0);
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(create(&bad[i]), 0) << i;
    EXPECT_EQ(ListedCount(), before);
    EXPECT_FALSE(Listed(id));

    // A good record: copied, with the list's own handle and its own bytes.
    ASSERT_EQ(create(&good), 1);
    std::fill(stack.begin(), stack.end(), 0);
    std::unique_ptr<TZephraThreadRecord> record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_NE(record->Handle, thread);
    EXPECT_EQ(GetThreadId(record->Handle), id);
    EXPECT_EQ(record->StackTop, ThreadStackTop(thread));
    EXPECT_NE(record->StackTop, 0u);
    ASSERT_TRUE(record->StackCopy);
    EXPECT_EQ(*record->StackCopy, std::vector<uint8_t>(256, 0x5A));
    HANDLE listedHandle = record->Handle;

    // The resume record: a handle that is not the record's thread, or a bad
    // copy, is refused; a good one replaces resumer and copy.
    TZephraThreadData resumed = good;
    std::vector<uint8_t> resumerStack(64, 0x3C);
    resumed.ResumerThreadId = GetCurrentThreadId();
    resumed.StackCopy = reinterpret_cast<uintptr_t>(resumerStack.data());
    resumed.StackCopySize = static_cast<uint32_t>(resumerStack.size());
    EXPECT_EQ(resume(other, &resumed), 0);
    EXPECT_EQ(resume(thread, nullptr), 0);
    EXPECT_EQ(resume(thread, &bad[6]), 0);
    EXPECT_EQ(resume(nullptr, &resumed), 0);
    EXPECT_EQ(Listed(id)->ResumerThreadId, 0u);
    ASSERT_EQ(resume(thread, &resumed), 1);
    record = Listed(id);
    EXPECT_EQ(record->ResumerThreadId, GetCurrentThreadId());
    EXPECT_EQ(*record->StackCopy, resumerStack);
    EXPECT_EQ(record->Handle, listedHandle);
    // A record of a thread that is not listed.
    TZephraThreadData unlisted = good;
    unlisted.ThreadId = otherId;
    unlisted.Handle = reinterpret_cast<uintptr_t>(other);
    EXPECT_EQ(resume(other, &unlisted), 0);

    // The thread removes its own record; a second call finds none.
    TExitProbe probe{exit, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    DWORD probeId = 0;
    HANDLE prober = CreateThread(nullptr, 0, CallExitExport, &probe, CREATE_SUSPENDED, &probeId);
    ASSERT_TRUE(Listed(probeId));
    ResumeThread(prober);
    SetEvent(probe.Go);
    WaitForSingleObject(prober, INFINITE);
    EXPECT_EQ(probe.First, 1);
    EXPECT_EQ(probe.Second, 0);
    EXPECT_FALSE(Listed(probeId));

    SetEvent(event);
    for (HANDLE h : {thread, other, prober}) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    CloseHandle(probe.Go);
    CloseHandle(event);
    VirtualFree(noAccess, 0, MEM_RELEASE);
    VirtualFree(edge, 0, MEM_RELEASE);
    // The taken record's thread has ended: the next creation prunes it.
    std::atomic<int> ran{0};
    HANDLE last = CreateThread(nullptr, 0, SetFlag, &ran, 0, nullptr);
    EXPECT_FALSE(Listed(id));
    WaitForSingleObject(last, INFINITE);
    CloseHandle(last);
}

TEST(ThreadHooks, ADeferringModulePassesItsThreadsToTheMainModule)
{
    HMODULE dll = LoadLibraryA("thread_hooks_dll.dll");
    ASSERT_NE(dll, nullptr);
    const auto deferTo = Export<void (*)(HMODULE)>(dll, "ThreadDllDeferTo");
    const auto create = Export<HANDLE (*)(HANDLE, DWORD*)>(dll, "ThreadDllCreate");
    const auto resume = Export<DWORD (*)(HANDLE)>(dll, "ThreadDllResume");
    const auto lists = Export<BOOL (*)(DWORD)>(dll, "ThreadDllLists");
    ASSERT_TRUE(deferTo && create && resume && lists);
    deferTo(GetModuleHandleA(nullptr));

    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = create(release, &id);
    ASSERT_NE(thread, nullptr);
    // Listed in both modules.
    EXPECT_TRUE(lists(id));
    std::unique_ptr<TZephraThreadRecord> record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(ModuleOfAddress(record->StartAddress), dll);

    // The module's resume reaches the main module's record; the started
    // thread's stack top does too, and the resume's copy stays.
    EXPECT_EQ(resume(thread), 1u);
    record = Listed(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ResumerThreadId, GetCurrentThreadId());
    EXPECT_TRUE(record->StackCopy && !record->StackCopy->empty());
    for (int wait = 0; wait < 400 && (record = Listed(id)) && record->StackTop == 0; ++wait)
        Sleep(5);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->StackTop, ThreadStackTop(thread));
    EXPECT_EQ(record->ResumerThreadId, GetCurrentThreadId());
    EXPECT_TRUE(record->StackCopy && !record->StackCopy->empty());

    // ExitThread through the module's import removes both records.
    SetEvent(release);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(Listed(id));
    EXPECT_FALSE(lists(id));
    CloseHandle(thread);
    CloseHandle(release);
}

TEST(ThreadHooks, AModuleHookingTheRuntimeStaysLoaded)
{
    // The program gives the runtime's imports back; the module takes them.
    HMODULE dll = LoadLibraryA("thread_hooks_dll.dll");
    ASSERT_NE(dll, nullptr);
    const auto rehook = Export<void (*)(BOOL)>(dll, "ThreadDllRehook");
    ASSERT_TRUE(rehook);
    RemoveThreadHooks();
    rehook(TRUE);

    // A thread of the runtime started through the module's hook runs in its
    // code until it ends: the module cannot go before.
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread runtimeThread([release] { WaitForSingleObject(release, INFINITE); });
    for (int i = 0; i < 10 && FreeLibrary(dll); ++i) {
    }
    ASSERT_EQ(GetModuleHandleA("thread_hooks_dll.dll"), dll);
    SetEvent(release);
    runtimeThread.join();
    CloseHandle(release);

    rehook(FALSE);
    InstallThreadHooks(GetModuleHandleA(nullptr));
    // The program's hooks see the runtime's threads again.
    bool listed = false;
    std::thread again([&listed] { listed = Listed(GetCurrentThreadId()) != nullptr; });
    again.join();
    EXPECT_TRUE(listed);
}
