#include "EDecision.h"

#include <cstring>

#include "ETypeInfo.h"

#if !defined(_WIN64)
#include <unwind.h>
#endif
#if !defined(_WIN32)
#include <link.h>
#include <pthread.h>
#endif

namespace qov::exceptions {

namespace {

constexpr int32_t SafeCallFailed = static_cast<int32_t>(0x8000FFFFu); // E_UNEXPECTED

uintptr_t SafeCallStart()
{
    return reinterpret_cast<uintptr_t>(&RunSafeCall);
}

struct TWalkState {
    TWalkState(const TRaise& raise, const TDecisionPlatform& platform)
        : Raise(&raise), Platform(&platform), Memo(platform.Region)
    {
    }
    const TRaise* Raise;
    const TDecisionPlatform* Platform;
    // With a cache, the raising frame's decision is looked up there first.
    TDecisionCache* Cache = nullptr;
    bool Hit = false;
    TReadableRegions Memo;
    bool Started = false;
    uintptr_t ChainHead = 0;
    TDecision Decision;
    TDecisionFrames Frames;
};

bool MemoProbe(const void* address, size_t length, void* data)
{
    return static_cast<TReadableRegions*>(data)->Readable(address, length);
}

// Cells of indirect type-table entries, read behind the same probe.
bool ReadMemoCell(uintptr_t address, uintptr_t& value, void* data)
{
    const void* cell = reinterpret_cast<const void*>(address);
    if (!static_cast<TReadableRegions*>(data)->Readable(cell, sizeof value))
        return false;
    std::memcpy(&value, cell, sizeof value);
    return true;
}

// The type description a table names must be readable before the language's
// own catch test runs on it.
bool ClauseAccepts(uintptr_t catchType, void* data)
{
    auto* state = static_cast<TWalkState*>(data);
    const auto* type = reinterpret_cast<const std::type_info*>(catchType);
    if (!state->Raise->Type || !IsValidTypeInfo(type, MemoProbe, &state->Memo))
        return false;
    void* object = state->Raise->Object;
    return CatchAccepts(*type, *state->Raise->Type, object);
}

bool JudgeNextFrame(const TFrame& frame, void* data)
{
    auto* state = static_cast<TWalkState*>(data);
    if (!state->Started) {
        if (frame.Ip != state->Raise->Address)
            return true;
        state->Started = true;
        state->ChainHead = frame.Cfa;
        if (state->Cache) {
            const TDecisionPlatform& platform = *state->Platform;
            TDecisionKey key{state->Raise->Type, state->Raise->Address, frame.Cfa};
            if (platform.Lock)
                platform.Lock();
            state->Hit = platform.ReadStack && state->Cache->Lookup(key, state->Decision, platform.ReadStack);
            if (platform.Unlock)
                platform.Unlock();
            if (state->Hit)
                return false;
        }
    }
    state->Frames.Add(frame);
    TDecision& d = state->Decision;
    THandlerKind kind = hkNone;
    if (frame.RegionStart == SafeCallStart()) {
        kind = hkSafeCall;
    } else if (frame.Lsda) {
        TLsdaBounds bounds = state->Memo.Find(frame.Lsda);
        if (!bounds.Begin)
            return false;
        TLsdaReader reader(frame.Lsda, bounds, frame.RegionStart, ReadMemoCell, &state->Memo);
        uintptr_t ip = frame.IpIsExact ? frame.Ip : frame.Ip - 1;
        TFrameVerdict verdict = JudgeFrame(reader, ip, false, ClauseAccepts, state);
        if (verdict.Outcome == foTerminates)
            return false;
        kind = verdict.Kind;
    }
    if (kind != hkNone) {
        if (d.FirstKind == hkNone)
            d.FirstKind = kind;
        d.Handled = true;
        ++d.Count;
    }
    return true;
}

#if !defined(_WIN64)
struct TDwarfWalk {
    TFrameVisitor Visit;
    void* Data;
};

_Unwind_Reason_Code DwarfStep(_Unwind_Context* context, void* data)
{
    auto* walk = static_cast<TDwarfWalk*>(data);
    TFrame frame;
    int exact = 0;
    frame.Ip = _Unwind_GetIPInfo(context, &exact);
    frame.IpIsExact = exact != 0;
    frame.Cfa = _Unwind_GetCFA(context);
    frame.RegionStart = _Unwind_GetRegionStart(context);
    frame.Lsda = static_cast<const uint8_t*>(_Unwind_GetLanguageSpecificData(context));
    return walk->Visit(frame, walk->Data) ? _URC_NO_REASON : _URC_END_OF_STACK;
}
#endif

#if !defined(_WIN32)
struct TSegmentSearch {
    uintptr_t Address;
    TLsdaBounds Found;
};

// The readable loaded segment of a module that holds the address.
int FindSegment(dl_phdr_info* info, size_t, void* data)
{
    auto* search = static_cast<TSegmentSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& header = info->dlpi_phdr[i];
        uintptr_t begin = info->dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD && (header.p_flags & PF_R) && search->Address >= begin &&
            search->Address - begin < header.p_memsz) {
            search->Found = TLsdaBounds{reinterpret_cast<const uint8_t*>(begin),
                                        reinterpret_cast<const uint8_t*>(begin + header.p_memsz)};
            return 1;
        }
    }
    return 0;
}

TLsdaBounds LoadedSegment(const void* address)
{
    TSegmentSearch search{reinterpret_cast<uintptr_t>(address), TLsdaBounds()};
    dl_iterate_phdr(FindSegment, &search);
    return search.Found;
}

// The calling thread's stack: the bounds its attributes give.
bool ReadOwnStack(uintptr_t address, uintptr_t& value)
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return false;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    const auto begin = reinterpret_cast<uintptr_t>(low);
    if (!known || address < begin || address >= begin + size || begin + size - address < sizeof value)
        return false;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return true;
}

pthread_mutex_t CacheLock = PTHREAD_MUTEX_INITIALIZER;

void LockCache()
{
    pthread_mutex_lock(&CacheLock);
}

void UnlockCache()
{
    pthread_mutex_unlock(&CacheLock);
}
#endif

} // namespace

TLsdaBounds TReadableRegions::Find(const void* address)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    for (int i = 0; i < FCount; ++i)
        if (a >= reinterpret_cast<uintptr_t>(FKnown[i].Begin) && a < reinterpret_cast<uintptr_t>(FKnown[i].End))
            return FKnown[i];
    TLsdaBounds region = FProbe(address);
    if (region.Begin)
        FKnown[FCount < MaxRegions ? FCount++ : MaxRegions - 1] = region;
    return region;
}

bool TReadableRegions::Readable(const void* address, size_t length)
{
    TLsdaBounds region = Find(address);
    auto a = reinterpret_cast<uintptr_t>(address), e = reinterpret_cast<uintptr_t>(region.End);
    return region.Begin && a >= reinterpret_cast<uintptr_t>(region.Begin) && a < e && e - a >= length;
}

#if !defined(_WIN32)
const TDecisionPlatform& DefaultDecisionPlatform()
{
    static const TDecisionPlatform platform{WalkDwarfFrames, LoadedSegment, LockCache, UnlockCache, ReadOwnStack};
    return platform;
}
#endif

#if !defined(_WIN64)
void WalkDwarfFrames(TFrameVisitor visit, void* data)
{
    TDwarfWalk walk{visit, data};
    _Unwind_Backtrace(DwarfStep, &walk);
}
#endif

TDecision WalkDecision(const TRaise& raise, const TDecisionPlatform& platform)
{
    if (raise.System)
        return TDecision();
    TWalkState state(raise, platform);
    platform.Walk(JudgeNextFrame, &state);
    return state.Decision;
}

void TDecisionFrames::Add(const TFrame& frame)
{
    if (Count == Capacity) {
        Overflow = true;
        return;
    }
    Ip[Count] = frame.Ip;
    Cfa[Count] = frame.Cfa;
    ++Count;
}

bool TDecisionFrames::Hold(TStackReader read) const
{
    for (int i = 0; i < Count; ++i) {
        uintptr_t returnAddress = 0;
        if (Cfa[i] < sizeof(uintptr_t) || !read(Cfa[i] - sizeof(uintptr_t), returnAddress) ||
            returnAddress != Ip[i])
            return false;
    }
    return true;
}

bool TDecisionCache::Lookup(const TDecisionKey& key, TDecision& decision, TStackReader read) const
{
    for (int i = 0; i < FCount; ++i) {
        const TDecisionKey& k = FEntries[i].Key;
        if (k.Class == key.Class && k.Address == key.Address && k.ChainHead == key.ChainHead &&
            FEntries[i].Frames.Hold(read)) {
            decision = FEntries[i].Decision;
            return true;
        }
    }
    return false;
}

void TDecisionCache::Store(const TDecisionKey& key, const TDecision& decision, const TDecisionFrames& frames)
{
    if (FCount == Capacity) {
        for (int i = 1; i < Capacity; ++i)
            FEntries[i - 1] = FEntries[i];
        FCount = Capacity - 1;
    }
    TEntry& entry = FEntries[FCount++];
    entry.Key = key;
    entry.Decision = decision;
    entry.Frames = frames;
}

void TDecisionCache::Clear()
{
    FCount = 0;
    for (TEntry& entry : FEntries)
        entry = TEntry();
}

void AdjustDecision(TDecision& decision, TDecisionFlags& flags, bool forceHandled)
{
    if ((flags.InInitialisation || flags.InFinalisation) && decision.Count == 1)
        decision.Handled = false;
    if (flags.DefersToMain)
        decision.Handled = true;
    if (forceHandled)
        decision.Handled = true;
    if (decision.FirstKind == hkSafeCall) {
        decision.Handled = false;
        decision.Answer = daSafeCall;
    }
    // The run-time library here has no debugger announcement to switch off:
    // the first decision only notes that it was taken.
    flags.FirstDecisionTaken = true;
}

TDecision DecideRaise(const TRaise& raise, bool forceHandled, TDecisionCache& cache, TDecisionFlags& flags,
                      const TDecisionPlatform& platform)
{
    TDecision decision;
    if (!raise.System) {
        // One walk: the cache is asked once the raising frame gives the chain
        // head; on a miss the walk goes on from there.
        TWalkState state(raise, platform);
        state.Cache = raise.ClassUnknown ? nullptr : &cache;
        platform.Walk(JudgeNextFrame, &state);
        decision = state.Decision;
        // A raise whose frame the walk did not meet has no chain head to be
        // known by, and one over more frames than an entry holds cannot be
        // checked again: neither is stored.
        if (!state.Hit && state.ChainHead != 0 && !raise.ClassUnknown && !state.Frames.Overflow) {
            if (platform.Lock)
                platform.Lock();
            cache.Store(TDecisionKey{raise.Type, raise.Address, state.ChainHead}, decision, state.Frames);
            if (platform.Unlock)
                platform.Unlock();
        }
    }
    AdjustDecision(decision, flags, forceHandled);
    return decision;
}

__attribute__((noinline)) int32_t RunSafeCall(TSafeCallMember member, void* data, TSafeCallFailure failure)
{
    try {
        member(data);
        return 0;
    } catch (...) {
        return failure ? failure(data) : SafeCallFailed;
    }
}

} // namespace qov::exceptions
