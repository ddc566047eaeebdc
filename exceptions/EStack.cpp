#include "EStack.h"

#include "ERaise.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

#include "ECallForms.h"
#include "ECore.h"
#include "ESafeRead.h"

namespace qov::exceptions {

namespace {

#ifdef _WIN64
constexpr TCodeArch HostArch = TCodeArch::x64;
#else
constexpr TCodeArch HostArch = TCodeArch::x86;
#endif
constexpr size_t WordSize = sizeof(uintptr_t);

// Readability with the regions already queried remembered, readable or not:
// a scan tests the bytes in front of every word, mostly in the same few code
// regions, and most other words point into the same few unused ones.
class TReadableRegions {
public:
    bool Readable(uintptr_t address, size_t length)
    {
        if (length == 0)
            return true;
        if (length - 1 > UINTPTR_MAX - address)
            return false;
        const uintptr_t last = address + (length - 1);
        while (true) {
            const TRegion* region = Find(address);
            if (!region)
                region = Query(address);
            if (!region || !region->Readable)
                return false;
            if (last <= region->Last)
                return true;
            address = region->Last + 1;
        }
    }

private:
    struct TRegion {
        uintptr_t Base = 1, Last = 0;  // [Base, Last]; empty at first
        bool Readable = false;
    };

    const TRegion* Find(uintptr_t address) const
    {
        for (const TRegion& region : FRegions)
            if (address >= region.Base && address <= region.Last)
                return &region;
        return nullptr;
    }
    const TRegion* Query(uintptr_t address)
    {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &info, sizeof info) != sizeof info)
            return nullptr;  // beyond the user address space: not remembered
        TRegion& region = FRegions[FNext];
        FNext = (FNext + 1) % Slots;
        region.Base = reinterpret_cast<uintptr_t>(info.BaseAddress);
        region.Last = info.RegionSize ? region.Base + (info.RegionSize - 1) : region.Base;
        if (region.Last < region.Base)  // the top of the address space
            region.Last = UINTPTR_MAX;
        region.Readable = info.State == MEM_COMMIT && IsReadableProtection(info.Protect);
        return &region;
    }

    static constexpr size_t Slots = 32;
    TRegion FRegions[Slots];
    size_t FNext = 0;
};

// Reads a value whose bytes were found readable; false when they went
// meanwhile.
template <typename T>
bool ReadAt(uintptr_t address, T& value)
{
    return SafeCopy(&value, reinterpret_cast<const void*>(address), sizeof value);
}

class TScan {
public:
    TScan(TZephraStackList& list, TZephraModulesList& modules, const TStackScanSettings& settings)
        : FList(list), FModules(modules), FSettings(settings), FFirstNew(list.Count())
    {
    }

    // Adds the entry for address through the kind filter and the position
    // window.
    void Add(uintptr_t address)
    {
        TZephraStackEntry entry;
        if (FSettings.UseDebugInfo) {
            AddressLookup(FModules, address, FSettings.ThreadId, FSettings.Tag, entry);
        } else {
            entry.ThreadId = FSettings.ThreadId;
            entry.Flag = FSettings.Tag;
            entry.Address = address;
            entry.Module = ModuleOnly(address);
            entry.Kind = entry.Module ? seModule : seNone;
        }
        if (entry.Kind > 7 || !(FSettings.Kinds & (1u << entry.Kind)))
            return;
        if (FSettings.FirstPosition != -1) {
            const bool keep = FExamined >= FSettings.FirstPosition && FKept < FSettings.MaxCount;
            ++FExamined;
            if (!keep)
                return;
            ++FKept;
        }
        FList.Add(std::move(entry));
    }

    // The entry (and called routine) when word is a return address; false
    // when memory found readable faulted.
    bool Examine(uintptr_t word)
    {
        const size_t window = CallFormWindow(HostArch);
        uint8_t before[8];
        if (word < window || !FReadable.Readable(word - window, window))
            return true;
        if (!SafeCopy(before, reinterpret_cast<const void*>(word - window), window))
            return false;
        TCallForm form;
        if (!MatchCallForm(before, window, word, HostArch, form))
            return true;
        if (form.CheckSize && !FReadable.Readable(static_cast<uintptr_t>(form.Target), form.CheckSize))
            return true;
        if (form.Rule == crRelative && FSettings.AddCalledRoutine) {
            const auto routine = reinterpret_cast<uintptr_t>(
                FollowImportStub(reinterpret_cast<const void*>(static_cast<uintptr_t>(form.Target))));
            uint8_t first = 0;
            if (FReadable.Readable(routine, 5) && ReadAt(routine, first) && first != 0xE8)
                Add(routine);
        }
        Add(static_cast<uintptr_t>(form.Entry));
        return true;
    }

    void Words(uintptr_t position, uintptr_t top)
    {
        if (position < top && top - position > StackScanLimit)
            top = position + StackScanLimit;
        size_t block = 0;
        for (uintptr_t at = position; at < top && top - at >= WordSize; at += WordSize) {
            if (block == 0) {
                if (FReadable.Readable(at, StackScanBlock))
                    block = StackScanBlock;
                else if (FReadable.Readable(at, WordSize))
                    block = WordSize;
                else
                    continue;
            }
            // A fault while examining the word ends the block.
            uintptr_t word;
            if (!ReadAt(at, word) || !Examine(word)) {
                block = 0;
                continue;
            }
            block = block > WordSize ? block - WordSize : 0;
        }
    }

    void CleanUp()
    {
        if (HostIsDevelopmentEnvironment() && FSettings.UseDebugInfo) {
            for (size_t i = FList.Count(); i-- > FFirstNew;) {
                const TZephraStackEntry& entry = FList[i];
                if (!Named(entry) || entry.ProcedureName.find("HandleException") != std::string::npos)
                    FList.Delete(i);
            }
        }
        // An entry that a later named entry of the same module repeats (the
        // same call found twice) is kept with kind 0.
        for (size_t i = FList.Count() - (FList.Count() > 0); i-- > FFirstNew;) {
            TZephraStackEntry& entry = FList.Item(i);
            if (!Named(entry))
                continue;
            for (size_t j = i + 1; j < FList.Count(); ++j) {
                const TZephraStackEntry& later = FList[j];
                if (Named(later) && ModuleHandle(later) == ModuleHandle(entry) && later.Address == entry.Address) {
                    entry.Kind = seNone;
                    break;
                }
            }
        }
    }

private:
    static bool Named(const TZephraStackEntry& entry)
    {
        return entry.Kind >= sePlainExport && entry.Kind <= seLineData;
    }
    static HMODULE ModuleHandle(const TZephraStackEntry& entry)
    {
        return entry.Module ? entry.Module->Handle : nullptr;
    }
    // A record holding only the module's handle and file name; one per
    // module and scan.
    TZephraModuleRef ModuleOnly(uintptr_t address)
    {
        HMODULE module = nullptr;
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCSTR>(address), &module) ||
            !module)
            return nullptr;
        for (const TZephraModuleRef& known : FModuleOnly)
            if (known->Handle == module)
                return known;
        auto record = std::make_shared<TZephraModuleRecord>();
        record->Handle = module;
        record->FileName = ModuleFileName(module);
        FModuleOnly.push_back(record);
        return record;
    }

    TZephraStackList& FList;
    TZephraModulesList& FModules;
    const TStackScanSettings& FSettings;
    const size_t FFirstNew;
    int32_t FExamined = 0, FKept = 0;
    TReadableRegions FReadable;
    std::vector<TZephraModuleRef> FModuleOnly;
};

} // namespace

void CaptureStack(TZephraStackList& list, TZephraModulesList& modules, const void* startAddress,
                  uintptr_t stackPosition, uintptr_t stackTop, const TStackScanSettings& settings)
{
    TScan scan(list, modules, settings);
    if (startAddress)
        scan.Add(reinterpret_cast<uintptr_t>(startAddress));
    scan.Words(stackPosition, stackTop);
    scan.CleanUp();
}

std::unique_ptr<TZephraStackList> CaptureStack(TZephraModulesList& modules, const void* startAddress,
                                               uintptr_t stackPosition, uintptr_t stackTop,
                                               const TStackScanSettings& settings)
{
    auto list = std::make_unique<TZephraStackList>();
    CaptureStack(*list, modules, startAddress, stackPosition, stackTop, settings);
    return list;
}

uintptr_t StackTop()
{
    // NT_TIB.StackBase of the calling thread's information block.
    uintptr_t top;
#ifdef _WIN64
    __asm__("movq %%gs:8, %0" : "=r"(top));
#else
    __asm__("movl %%fs:4, %0" : "=r"(top));
#endif
    return top;
}

uintptr_t ThreadStackTop(HANDLE thread)
{
    using TQuery = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<TQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    struct {
        LONG ExitStatus;
        void* TebBaseAddress;
        void* UniqueProcess;
        void* UniqueThread;
        uintptr_t AffinityMask;
        LONG Priority, BasePriority;
    } basic{};
    // Class 0: the thread's basic information, with its TEB address.
    if (!query || query(thread, 0, &basic, sizeof basic, nullptr) < 0 || !basic.TebBaseAddress)
        return 0;
    const auto* tib = static_cast<const NT_TIB*>(basic.TebBaseAddress);
    if (!IsReadableRange(tib, sizeof *tib))
        return 0;
    return reinterpret_cast<uintptr_t>(tib->StackBase);
}

#ifdef _WIN64
namespace {

// The instruction pointers of the frames from context on; allocates nothing
// (it runs while the thread is suspended).
size_t WalkFrames(const CONTEXT& start, uintptr_t stackTop, uintptr_t* pcs, size_t max)
{
    TReadableRegions readable;
    CONTEXT context = start;
    const uintptr_t bottom = context.Rsp;
    size_t count = 0;
    while (count < max && context.Rip) {
        const uintptr_t pc = context.Rip;
        pcs[count++] = pc;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
        const uintptr_t rsp = context.Rsp;
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, function, &context, &handlerData, &establisher,
                             nullptr);
        } else {
            // A leaf routine: the return address is on top of the stack.
            uintptr_t returnAddress;
            if (!readable.Readable(rsp, 8) || !ReadAt(rsp, returnAddress))
                break;
            context.Rip = returnAddress;
            context.Rsp = rsp + 8;
        }
        if (context.Rsp <= rsp || context.Rsp < bottom || context.Rsp >= stackTop)
            break;
    }
    return count;
}

// Entries for the frames: the first at its instruction pointer, the others
// at the call in front of each return address.
void AddFrames(TZephraStackList& list, TZephraModulesList& modules, const uintptr_t* pcs, size_t count,
               const TStackScanSettings& settings)
{
    TScan scan(list, modules, settings);
    TReadableRegions readable;
    const size_t window = CallFormWindow(TCodeArch::x64);
    for (size_t frame = 0; frame < count; ++frame) {
        const uintptr_t pc = pcs[frame];
        uintptr_t entry = pc;
        TCallForm form;
        if (frame > 0) {
            entry = pc - 1;
            uint8_t before[8];
            if (pc > window && readable.Readable(pc - window, window) &&
                SafeCopy(before, reinterpret_cast<const void*>(pc - window), window) &&
                MatchCallForm(before, window, pc, TCodeArch::x64, form))
                entry = static_cast<uintptr_t>(form.Entry);
        }
        scan.Add(entry);
    }
    scan.CleanUp();
}

constexpr size_t MaxFrames = StackScanLimit / 8;

} // namespace

void WalkStack(TZephraStackList& list, TZephraModulesList& modules, const CONTEXT& context, uintptr_t stackTop,
               const TStackScanSettings& settings)
{
    std::vector<uintptr_t> pcs(MaxFrames);
    AddFrames(list, modules, pcs.data(), WalkFrames(context, stackTop, pcs.data(), pcs.size()), settings);
}
#endif

size_t CopyStack(uint8_t* buffer, size_t capacity, uintptr_t position, uintptr_t stackTop) noexcept
{
    // The stack words from the position up, page by page; an unreadable page
    // stays zero (no return address).
    size_t copied = 0;
    if (position < stackTop)
        copied = std::min<uintptr_t>(stackTop - position, std::min(capacity, StackScanLimit));
    for (size_t at = 0; at < copied;) {
        const uintptr_t address = position + at;
        const size_t chunk = std::min<size_t>(copied - at, 0x1000 - (address & 0xFFF));
        if (!IsReadableRange(reinterpret_cast<const void*>(address), chunk) ||
            !SafeCopy(buffer + at, reinterpret_cast<const void*>(address), chunk))
            std::memset(buffer + at, 0, chunk);
        at += chunk;
    }
    return copied;
}

bool CaptureThread(TZephraStackList& list, TZephraModulesList& modules, HANDLE thread, uintptr_t stackTop,
                   const TStackScanSettings& settings)
{
    if (GetThreadId(thread) == GetCurrentThreadId())
        return false;
    if (!stackTop)
        stackTop = ThreadStackTop(thread);
    // Nothing is allocated while the thread is suspended (it may hold a heap
    // lock): what the capture needs is taken into memory made beforehand, and
    // the entries are made after it runs again.
#ifdef _WIN64
    std::vector<uintptr_t> pcs(MaxFrames);
    size_t frames = 0;
#else
    std::vector<uint8_t> copy(StackScanLimit);
    size_t copied = 0;
#endif
    // The resume below is the capture's own: the resume hook must not note
    // it (it would allocate while the thread is still suspended).
    TRaiseRecord* own = CurrentRaiseRecord();
    const uint8_t capturing = own ? own->CaptureInProgress : 0;
    if (own)
        own->CaptureInProgress = 1;
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
        if (own)
            own->CaptureInProgress = capturing;
        return false;
    }
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    const bool read = GetThreadContext(thread, &context) != 0;
    if (read) {
#ifdef _WIN64
        frames = WalkFrames(context, stackTop, pcs.data(), pcs.size());
#else
        copied = CopyStack(copy.data(), copy.size(), context.Esp, stackTop);
#endif
    }
    ResumeThread(thread);
    if (own)
        own->CaptureInProgress = capturing;
    if (!read)
        return false;
#ifdef _WIN64
    AddFrames(list, modules, pcs.data(), frames, settings);
#else
    const auto start = reinterpret_cast<uintptr_t>(copy.data());
    CaptureStack(list, modules, reinterpret_cast<const void*>(static_cast<uintptr_t>(context.Eip)), start,
                 start + copied, settings);
#endif
    return true;
}

} // namespace qov::exceptions
