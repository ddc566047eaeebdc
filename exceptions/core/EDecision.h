// The handled-or-unhandled decision: at the raise of an exception, before
// any unwinding, whether a frame of the raising thread will catch it. The
// frames are walked outward from the raising one and each C++ frame's
// language-specific data is read as the personality routine reads it in its
// search phase (ELsda.h). A frame of the library's safecall boundary counts
// as a catcher of its own kind. Results go into a small cache keyed by the
// exception's class, its address and the raising frame's CFA (the chain
// head), since one exception may be examined several times. The key alone
// does not tell the callers outward (another caller, or another thread whose
// stack lies where an ended one's lay, may put the raising frame at the same
// place): a cached decision holds the frames it was taken over and is taken
// only while the raising thread's stack holds the same return addresses at
// the same places.
// The walk and the cache allocate nothing. The platform gives the frame
// walker, the memory probe and the cache's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <typeinfo>

#include "ELsda.h"

namespace qov::exceptions {

// One frame as the walker sees it.
struct TFrame {
    // The frame's address: its return address (or, for a signal frame, the
    // faulting instruction, then IpIsExact).
    uintptr_t Ip = 0;
    bool IpIsExact = false;
    // The frame's stack pointer at the call that Ip returns from (the
    // canonical frame address of the called function): the return address
    // lies in the word right below it.
    uintptr_t Cfa = 0;
    // The function's first address and its language-specific data (null when
    // the frame has no C++ handler).
    uintptr_t RegionStart = 0;
    const uint8_t* Lsda = nullptr;
};

// Called for each frame from the walker's caller outward; false stops the walk.
using TFrameVisitor = bool (*)(const TFrame& frame, void* data);
using TFrameWalker = void (*)(TFrameVisitor visit, void* data);
// The readable span around address (where its tables, type descriptions and
// the cells of indirect entries may be read); empty when address cannot be
// read.
using TRegionProbe = TLsdaBounds (*)(const void* address);

// The readable regions met during one walk (tables, type descriptions,
// code), remembered so that a walk asks the platform once per region rather
// than once per frame or clause.
class TReadableRegions {
public:
    explicit TReadableRegions(TRegionProbe probe) : FProbe(probe) {}
    // The region that holds address; empty when it cannot be read.
    TLsdaBounds Find(const void* address);
    bool Readable(const void* address, size_t length);

private:
    static constexpr int MaxRegions = 4;
    TRegionProbe FProbe;
    TLsdaBounds FKnown[MaxRegions] = {};
    int FCount = 0;
};

// Reads a word of the calling thread's stack; false when address does not
// lie within it.
using TStackReader = bool (*)(uintptr_t address, uintptr_t& value);

struct TDecisionPlatform {
    TFrameWalker Walk = nullptr;
    TRegionProbe Region = nullptr;
    // The cache's lock (optional).
    void (*Lock)() = nullptr;
    void (*Unlock)() = nullptr;
    // Without a reader, no decision is taken from the cache.
    TStackReader ReadStack = nullptr;
};

// The platform of the decision in this process: frame walker, memory probe,
// the cache's lock (the Windows side of the library gives Windows's).
const TDecisionPlatform& DefaultDecisionPlatform();

// The frame walker of the DWARF unwinder (32-bit Windows code and native
// builds); absent on 64-bit Windows, whose frames the system's unwind data
// describe.
#if !defined(_WIN64)
void WalkDwarfFrames(TFrameVisitor visit, void* data);
#endif

// The exception at its raise.
struct TRaise {
    // The thrown type and object (null type: no exception object).
    const std::type_info* Type = nullptr;
    void* Object = nullptr;
    // A Windows exception: no C++ clause takes it, not even catch (...)
    // (measured on both architectures), so no frame is walked.
    bool System = false;
    // An exception object whose class could not be taken: its decision is
    // neither looked up in the cache nor stored there.
    bool ClassUnknown = false;
    // Where it was raised: the return address of the raising call, the
    // address of the raising frame.
    uintptr_t Address = 0;
};

// Decision answers beside the handled flag.
enum TDecisionAnswer : uint8_t { daOrdinary = 0, daSafeCall = 1, daSynchronized = 2 };

struct TDecision {
    bool Handled = false;
    int32_t Count = 0;
    uint8_t Answer = daOrdinary;
    uint8_t FirstKind = hkNone;
};

// The walk (step 3): every frame outward of the raising one, counting all
// catching frames; a frame where the run-time would end the program, or
// whose tables cannot be read, ends the walk.
TDecision WalkDecision(const TRaise& raise, const TDecisionPlatform& platform);

// The ten most recent decisions, the oldest dropped first.
struct TDecisionKey {
    const void* Class = nullptr;
    uintptr_t Address = 0;
    uintptr_t ChainHead = 0;
};

// The frames a decision was taken over, from the raising one outward: the
// address (return address) and CFA of each. A frame's return address lies
// in the word right below its CFA, so the stack words there name the frames
// of a later raise again. A walk over more frames is not cached.
struct TDecisionFrames {
    static constexpr int Capacity = 128;
    int Count = 0;
    bool Overflow = false;
    uintptr_t Ip[Capacity];
    uintptr_t Cfa[Capacity];
    void Add(const TFrame& frame);
    // True while every frame's return address is still in its place.
    bool Hold(TStackReader read) const;
};

class TDecisionCache {
public:
    static constexpr int Capacity = 10;
    // The decision of the key whose frames the stack still holds.
    bool Lookup(const TDecisionKey& key, TDecision& decision, TStackReader read) const;
    void Store(const TDecisionKey& key, const TDecision& decision, const TDecisionFrames& frames);
    void Clear();
    int Count() const { return FCount; }
    const TDecisionKey& KeyAt(int index) const { return FEntries[index].Key; }
    const TDecisionFrames& FramesAt(int index) const { return FEntries[index].Frames; }

private:
    struct TEntry {
        TDecisionKey Key;
        TDecision Decision;
        TDecisionFrames Frames;
    };
    int FCount = 0;
    TEntry FEntries[Capacity] = {};
};

// The plain flags that step 6 reads, written by the library's start and end.
struct TDecisionFlags {
    // The library's own module runs its unit initialisation or has begun its
    // finalisation.
    bool InInitialisation = false;
    bool InFinalisation = false;
    // This module leaves its exceptions to the main module's library.
    bool DefersToMain = false;
    // Set by the first decision taken in the process.
    bool FirstDecisionTaken = false;
};

// Steps 6a to 6e on a decision from the cache or the walk.
void AdjustDecision(TDecision& decision, TDecisionFlags& flags, bool forceHandled);

// The whole decision: the walk to the raising frame, whose CFA (the chain
// head) completes the cache key; on a miss the walk goes on and its result is
// stored; then the adjustments.
TDecision DecideRaise(const TRaise& raise, bool forceHandled, TDecisionCache& cache, TDecisionFlags& flags,
                      const TDecisionPlatform& platform);

// The library's safecall boundary: runs member(data) under a catch-all; an
// exception that leaves it becomes failure(data)'s result, called inside the
// catch (the exception is current there; without a failure routine the
// result is E_UNEXPECTED). 0 (S_OK) when member returns; nothing leaves it.
// It is not declared noexcept, so that its callers' catch frames stay in
// their tables and count in the decision as frames further out. The decision
// knows its frames by their function's address.
using TSafeCallMember = void (*)(void* data);
using TSafeCallFailure = int32_t (*)(void* data) noexcept;
int32_t RunSafeCall(TSafeCallMember member, void* data, TSafeCallFailure failure);

} // namespace qov::exceptions
