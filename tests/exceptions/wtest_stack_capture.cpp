// The call-stack scan on stacks built for it: return addresses planted behind
// each call form in executable memory, unreadable holes, a stack longer than
// the scan's bound, the word at the top, the kind filter and the position
// window, repeats, and a real thread blocked in a function of this program
// named with its line from the program's debug data.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "ECore.h"
#include "ERaise.h"
#include "ESafeRead.h"
#include "EStack.h"

using namespace qov::exceptions;

namespace qovtest {

int BlockedLine = 0;

// Waits on the event it is given; its caller is in a known place.
__attribute__((noinline, noipa)) DWORD WINAPI BlockedThread(void* event)
{
    BlockedLine = __LINE__ + 1;
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

// Holds the heaps' locks while it waits: a capture that allocated while this
// thread is suspended would wait for them for ever.
__attribute__((noinline, noipa)) DWORD WINAPI HeapHolder(void* event)
{
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i)
        HeapLock(heaps[i]);
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    for (DWORD i = 0; i < count && i < 64; ++i)
        HeapUnlock(heaps[i]);
    return 0;
}

__attribute__((noinline, noipa)) void* ReturnAddress()
{
    return __builtin_return_address(0);
}

// Return addresses of two calls in this program.
__attribute__((noinline, noipa)) void CallSites(void*& first, void*& second)
{
    first = ReturnAddress();
    second = ReturnAddress();
}

} // namespace qovtest

namespace {

constexpr size_t Page = 0x1000;
constexpr size_t Word = sizeof(uintptr_t);

// Executable memory holding call instructions; each Emit returns the address
// just behind the instruction, a return address for the stack.
class TCode {
public:
    TCode()
    {
        FBase = static_cast<uint8_t*>(VirtualAlloc(nullptr, 16 * Page, MEM_COMMIT | MEM_RESERVE,
                                                   PAGE_EXECUTE_READWRITE));
        std::memset(FBase, 0xC3, 16 * Page);
        // The last page is unreadable: a called routine or cell there does not count.
        DWORD old;
        VirtualProtect(FBase + 15 * Page, Page, PAGE_NOACCESS, &old);
    }
    ~TCode() { VirtualFree(FBase, 0, MEM_RELEASE); }
    uintptr_t Emit(const std::vector<uint8_t>& bytes)
    {
        FAt = (FAt + 0x3F) & ~size_t(0x3F);
        std::memcpy(FBase + FAt, bytes.data(), bytes.size());
        FAt += bytes.size();
        return reinterpret_cast<uintptr_t>(FBase + FAt);
    }
    // A relative call whose displacement leads to target.
    uintptr_t Relative(uintptr_t target)
    {
        const uintptr_t w = Emit({0xE8, 0, 0, 0, 0});
        const int32_t displacement = static_cast<int32_t>(target - w);
        std::memcpy(reinterpret_cast<void*>(w - 4), &displacement, 4);
        return w;
    }
    // A call through the cell at cell: absolute on x86, rip-relative on x64.
    uintptr_t Cell(uintptr_t cell)
    {
        const uintptr_t w = Emit({0xFF, 0x15, 0, 0, 0, 0});
#ifdef _WIN64
        const int32_t operand = static_cast<int32_t>(cell - w);
#else
        const uint32_t operand = static_cast<uint32_t>(cell);
#endif
        std::memcpy(reinterpret_cast<void*>(w - 4), &operand, 4);
        return w;
    }
    uintptr_t Routine() const { return reinterpret_cast<uintptr_t>(FBase + 8 * Page); }
    uintptr_t Unreadable() const { return reinterpret_cast<uintptr_t>(FBase + 15 * Page + 0x10); }

private:
    uint8_t* FBase;
    // The scan reads a few bytes before each return address: the first
    // instruction does not start the region, whose neighbour may be unreadable.
    size_t FAt = 0x40;
};

// A stack of words in memory of its own.
class TStack {
public:
    explicit TStack(size_t bytes) : FSize((bytes + Page - 1) & ~(Page - 1))
    {
        FBase = static_cast<uint8_t*>(VirtualAlloc(nullptr, FSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        std::memset(FBase, 0, FSize);
    }
    ~TStack() { VirtualFree(FBase, 0, MEM_RELEASE); }
    uintptr_t At(size_t offset) const { return reinterpret_cast<uintptr_t>(FBase + offset); }
    void Put(size_t offset, uintptr_t word) { std::memcpy(FBase + offset, &word, Word); }
    void Hole(size_t offset)
    {
        DWORD old;
        VirtualProtect(FBase + offset, Page, PAGE_NOACCESS, &old);
    }
    size_t Size() const { return FSize; }

private:
    size_t FSize;
    uint8_t* FBase;
};

TStackScanSettings ModuleOnly()
{
    TStackScanSettings settings;
    settings.UseDebugInfo = false;
    settings.Tag = 1;
    settings.ThreadId = 77;
    return settings;
}

std::vector<uintptr_t> Addresses(const TZephraStackList& list)
{
    std::vector<uintptr_t> addresses;
    for (size_t i = 0; i < list.Count(); ++i)
        addresses.push_back(list[i].Address);
    return addresses;
}

std::vector<uintptr_t> Scan(const TStack& stack, size_t from, size_t to,
                            const TStackScanSettings& settings = ModuleOnly())
{
    TZephraModulesList modules;
    TZephraStackList list;
    CaptureStack(list, modules, nullptr, stack.At(from), stack.At(to), settings);
    return Addresses(list);
}

} // namespace

TEST(StackCapture, EveryCallFormGivesTheCallsAddress)
{
    TCode code;
    const uintptr_t cell = code.Routine() + 0x100;
    struct { uintptr_t w; size_t length; } forms[] = {
        {code.Relative(code.Routine()), 5},
        {code.Emit({0xFF, 0xD5}), 2},                        // call ebp / rbp
        {code.Emit({0xFF, 0x16}), 2},                        // call [esi]
        {code.Emit({0xFF, 0x55, 0xF8}), 3},                  // call [ebp-8]
        {code.Emit({0xFF, 0x93, 0x00, 0x01, 0x00, 0x00}), 6},  // call [ebx+256]
        {code.Emit({0xFF, 0x14, 0x24}), 3},                  // call [esp]
        {code.Emit({0xFF, 0x54, 0x24, 0x08}), 4},            // call [esp+8]
        {code.Emit({0xFF, 0x94, 0x24, 0x00, 0x02, 0x00, 0x00}), 7},
        {code.Cell(cell), 6},
#ifdef _WIN64
        {code.Emit({0x41, 0xFF, 0xD3}), 3},                  // call r11
        {code.Emit({0x41, 0xFF, 0x54, 0x24, 0x10}), 5},      // call [r12+16]
#endif
    };
    TStack stack(2 * Page);
    std::vector<uintptr_t> expected;
    size_t offset = 0;
    for (const auto& form : forms) {
        stack.Put(offset, form.w);
        offset += 3 * Word;  // with words between that are no return addresses
        expected.push_back(form.w - form.length);
    }
    EXPECT_EQ(Scan(stack, 0, stack.Size()), expected);

    TZephraModulesList modules;
    TZephraStackList list;
    CaptureStack(list, modules, nullptr, stack.At(0), stack.At(stack.Size()), ModuleOnly());
    ASSERT_EQ(list.Count(), expected.size());
    // Outside every module: kind 0, with the scan's thread and tag.
    EXPECT_EQ(list[0].Kind, seNone);
    EXPECT_EQ(list[0].ThreadId, 77u);
    EXPECT_EQ(list[0].Flag, 1);
}

TEST(StackCapture, UnreadableTargetsCellsAndHoles)
{
    TCode code;
    TStack stack(4 * Page);
    const uintptr_t good = code.Emit({0xFF, 0xD0});
    // The routine of a relative call and the cell of a memory call must be readable.
    stack.Put(0, code.Relative(code.Unreadable()));
    stack.Put(Word, code.Cell(code.Unreadable()));
    stack.Put(2 * Word, good);
    // A hole: the page at 2 pages is unreadable, the words around it count.
    stack.Put(2 * Page - Word, good);
    stack.Hole(2 * Page);
    stack.Put(3 * Page, good);
    // A word whose bytes before it are unreadable is no return address.
    stack.Put(3 * Page + Word, code.Unreadable() + 4);
    EXPECT_EQ(Scan(stack, 0, stack.Size()), (std::vector<uintptr_t>{good - 2, good - 2, good - 2}));
    // A scan that starts inside the hole still finds what follows it.
    EXPECT_EQ(Scan(stack, 2 * Page + 0x10, stack.Size()), (std::vector<uintptr_t>{good - 2}));
}

TEST(StackCapture, TopIsExclusiveAndTheScanStopsAfter102400Bytes)
{
    TCode code;
    const uintptr_t w = code.Emit({0xFF, 0xD1});
    TStack stack(StackScanLimit + 4 * Page);
    // The word at the top lies above the stack.
    stack.Put(Page, w);
    EXPECT_TRUE(Scan(stack, 0, Page).empty());
    EXPECT_EQ(Scan(stack, 0, Page + Word).size(), 1u);
    // Only the first 102400 bytes above the position count.
    TStack deep(StackScanLimit + 4 * Page);
    deep.Put(0x10, w);
    deep.Put(0x10 + StackScanLimit - Word, w);
    deep.Put(0x10 + StackScanLimit, w);
    EXPECT_EQ(Scan(deep, 0x10, deep.Size()).size(), 2u);
    // A position at or above the top scans nothing.
    EXPECT_TRUE(Scan(deep, 0x20, 0x10).empty());
}

TEST(StackCapture, StartAddressKindFilterAndPositionWindow)
{
    TCode code;
    TStack stack(Page);
    std::vector<uintptr_t> calls;
    for (uint8_t r = 0; r < 5; ++r) {
        const uintptr_t w = code.Emit({0xFF, static_cast<uint8_t>(0xD0 + r)});
        stack.Put(r * Word, w);
        calls.push_back(w - 2);
    }
    TStackScanSettings settings = ModuleOnly();
    settings.FirstPosition = 1;
    settings.MaxCount = 2;
    EXPECT_EQ(Scan(stack, 0, Page, settings), (std::vector<uintptr_t>{calls[1], calls[2]}));
    // Entries of a dropped kind are not counted as examined.
    settings.Kinds = 1u << seModule;
    EXPECT_TRUE(Scan(stack, 0, Page, settings).empty());

    // A start address comes first and passes the same window.
    TZephraModulesList modules;
    TZephraStackList list;
    settings = ModuleOnly();
    CaptureStack(list, modules, reinterpret_cast<const void*>(0x1234), stack.At(0), stack.At(2 * Word), settings);
    EXPECT_EQ(Addresses(list), (std::vector<uintptr_t>{0x1234, calls[0], calls[1]}));
    // A capture appends to what the list holds.
    CaptureStack(list, modules, nullptr, stack.At(0), stack.At(Word), settings);
    EXPECT_EQ(list.Count(), 4u);
}

TEST(StackCapture, CalledRoutineIsAddedBeforeTheCall)
{
    TCode code;
    TStack stack(Page);
    const uintptr_t w = code.Relative(code.Routine());
    // A routine starting with E8 is not added.
    const uintptr_t nested = code.Emit({0xE8, 0, 0, 0, 0, 0xC3});
    const uintptr_t w2 = code.Relative(nested - 6);
    stack.Put(0, w);
    stack.Put(Word, w2);
    TStackScanSettings settings = ModuleOnly();
    settings.AddCalledRoutine = true;
    EXPECT_EQ(Scan(stack, 0, Page, settings), (std::vector<uintptr_t>{code.Routine(), w - 5, w2 - 5}));
}

TEST(StackCapture, RepeatsOfOneModuleGetKindZero)
{
    void *first, *second;
    qovtest::CallSites(first, second);
    TStack stack(Page);
    // Two words with the same return address, then another call of the same module.
    stack.Put(0, reinterpret_cast<uintptr_t>(first));
    stack.Put(Word, reinterpret_cast<uintptr_t>(first));
    stack.Put(2 * Word, reinterpret_cast<uintptr_t>(second));
    stack.Put(3 * Word, reinterpret_cast<uintptr_t>(first));
    TZephraModulesList modules;
    TZephraStackList list;
    TStackScanSettings settings;
    settings.ThreadId = GetCurrentThreadId();
    CaptureStack(list, modules, nullptr, stack.At(0), stack.At(Page), settings);
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_EQ(list[0].Kind, seNone);
    EXPECT_EQ(list[1].Kind, seNone);
    EXPECT_EQ(list[2].Kind, seLineData);
    EXPECT_EQ(list[3].Kind, seLineData);
    EXPECT_EQ(list[3].ProcedureName, "CallSites");
    EXPECT_EQ(list[0].Address, list[3].Address);
    // Module-only entries (kind 1) are never taken as repeats.
    TZephraStackList plain;
    CaptureStack(plain, modules, nullptr, stack.At(0), stack.At(Page), ModuleOnly());
    ASSERT_EQ(plain.Count(), 4u);
    for (size_t i = 0; i < plain.Count(); ++i) {
        EXPECT_EQ(plain[i].Kind, seModule);
        ASSERT_TRUE(plain[i].Module);
        EXPECT_EQ(plain[i].Module->Handle, GetModuleHandleA(nullptr));
        EXPECT_EQ(ExtractFileName(plain[i].Module->FileName), "exceptions_wtest_stack_capture.exe");
    }
}

TEST(StackCapture, SuspendedThreadNamesTheFunctionItWaitsIn)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, qovtest::BlockedThread, event, 0, nullptr);
    ASSERT_TRUE(thread);
    Sleep(200);
    TZephraModulesList modules;
    TZephraStackList list;
    TStackScanSettings settings;
    settings.ThreadId = GetThreadId(thread);
    EXPECT_NE(ThreadStackTop(thread), 0u);
    EXPECT_TRUE(CaptureThread(list, modules, thread, 0, settings));
    bool found = false;
    for (size_t i = 0; i < list.Count() && !found; ++i) {
        // An older copy of the same return address may lie further up,
        // marked as a repeat.
        if (list[i].ProcedureName == "BlockedThread" && list[i].Kind != seNone) {
            found = true;
            EXPECT_EQ(list[i].Kind, seLineData);
            EXPECT_EQ(list[i].UnitName, "wtest_stack_capture.cpp");
            EXPECT_EQ(list[i].ClassName, "qovtest");
            EXPECT_EQ(static_cast<int>(list[i].Line), qovtest::BlockedLine);
            EXPECT_EQ(list[i].ThreadId, GetThreadId(thread));
        }
    }
    EXPECT_TRUE(found) << list.Count() << " entries";
    // The thread runs on after the capture.
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(event);
    // The calling thread cannot capture itself this way.
    EXPECT_FALSE(CaptureThread(list, modules, GetCurrentThread(), 0, settings));
}

namespace {

struct TCaptureJob {
    HANDLE Go = nullptr;
    HANDLE Thread = nullptr;
    TZephraModulesList Modules;
    TZephraStackList List;
    bool Done = false;
};

DWORD WINAPI CaptureWhenTold(void* p)
{
    auto* job = static_cast<TCaptureJob*>(p);
    WaitForSingleObject(job->Go, INFINITE);
    job->Done = CaptureThread(job->List, job->Modules, job->Thread, 0, TStackScanSettings());
    return 0;
}

} // namespace

TEST(StackCapture, NothingIsAllocatedWhileTheThreadIsSuspended)
{
    // The capture runs on a thread of its own, made before the heaps are
    // held; nothing here allocates while they are held. (Where the capture
    // allocates before it suspends, it waits there until the heaps are
    // released, and then finds the thread ending: only the suspension counts.)
    TCaptureJob job;
    job.Go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE capturer = CreateThread(nullptr, 0, CaptureWhenTold, &job, 0, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, qovtest::HeapHolder, release, 0, nullptr);
    job.Thread = holder;
    Sleep(200);
    SetEvent(job.Go);
    Sleep(1000);
    // By now the capture has taken what it needs and resumed the thread; it
    // may wait for the heaps to name the entries, but must not wait with the
    // thread still suspended.
    // This probe is a capture of its own: the library's resume hook, which
    // notes resumes with a copy of the caller's stack, must not note it.
    TRaiseRecord* own = CurrentRaiseRecord();
    own->CaptureInProgress = 1;
    const DWORD suspended = SuspendThread(holder);
    ResumeThread(holder);
    if (suspended > 0)
        ResumeThread(holder);
    own->CaptureInProgress = 0;
    SetEvent(release);
    WaitForSingleObject(holder, 5000);
    EXPECT_EQ(WaitForSingleObject(capturer, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(suspended, 0u) << "the capture waited on a heap lock with the thread suspended";
    for (HANDLE h : {capturer, holder, release, job.Go})
        CloseHandle(h);
}

TEST(StackCapture, OwnStackTopLiesAboveTheCallersFrame)
{
    volatile int local = 0;
    const uintptr_t top = StackTop();
    EXPECT_GT(top, reinterpret_cast<uintptr_t>(&local));
    EXPECT_LT(top - reinterpret_cast<uintptr_t>(&local), 16u << 20);
    EXPECT_EQ(top, ThreadStackTop(GetCurrentThread()));
}

TEST(SafeRead, FaultsEndTheReadNotTheProgram)
{
    auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * Page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    std::memset(base, 0x5A, 2 * Page);
    DWORD old;
    VirtualProtect(base + Page, Page, PAGE_NOACCESS, &old);
    uint8_t buffer[32] = {};
    EXPECT_TRUE(SafeCopy(buffer, base + Page - 16, 16));
    EXPECT_EQ(buffer[15], 0x5A);
    // Across into the unreadable page, and wholly inside it.
    EXPECT_FALSE(SafeCopy(buffer, base + Page - 16, 32));
    EXPECT_FALSE(SafeCopy(buffer, base + Page, 8));
    EXPECT_FALSE(SafeCopy(buffer, nullptr, 4));
    // A region released meanwhile: the scan that found it readable reads
    // nothing and goes on.
    VirtualFree(base, 0, MEM_RELEASE);
    EXPECT_FALSE(SafeCopy(buffer, base, 4));
    // The program's own faults still reach their handlers: only the copy's
    // read is resumed.
    EXPECT_TRUE(SafeCopy(buffer, buffer + 16, 16));
}
