// The language-specific data of a C++ frame (the tables that the compiler
// writes beside a function's unwind information and that the language's
// personality routine reads): the call-site table, the action records and
// the type table, with the DWARF pointer encodings they use. The reader finds
// the call site of an address and tells what the frame would do with a
// thrown exception, as the personality routine decides in its search phase.
// Pure logic: every byte read lies within the bounds the caller gives;
// anything that would lead outside them makes the table unreadable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <typeinfo>

namespace qov::exceptions {

// DW_EH_PE pointer encodings.
enum : uint8_t {
    PeAbsPtr = 0x00, PeUleb128 = 0x01, PeUdata2 = 0x02, PeUdata4 = 0x03, PeUdata8 = 0x04,
    PeSleb128 = 0x09, PeSdata2 = 0x0A, PeSdata4 = 0x0B, PeSdata8 = 0x0C,
    PePcRel = 0x10, PeTextRel = 0x20, PeDataRel = 0x30, PeFuncRel = 0x40, PeAligned = 0x50,
    PeIndirect = 0x80, PeOmit = 0xFF
};

// Reads a pointer-sized cell for an indirect encoding; false when it cannot.
using TReadCell = bool (*)(uintptr_t address, uintptr_t& value, void* data);

// The readable span that holds the tables; reads stay inside it.
struct TLsdaBounds {
    const uint8_t* Begin = nullptr;
    const uint8_t* End = nullptr;
};

// What the call site of an address says.
enum TCallSite {
    csUnreadable,   // the tables lead outside their bounds or use an encoding that cannot be read
    csNotFound,     // no call site covers the address: the run-time ends the program there
    csNoLandingPad, // the exception passes the frame untouched
    csCleanupOnly,  // a landing pad that only runs destructors
    csActions       // a landing pad with a chain of action records
};

// One action record: its filter (0 cleanup, above 0 a catch clause whose
// type is TypeInfo, 0 for catch (...), below 0 an exception specification).
struct TLsdaAction {
    int64_t Filter = 0;
    uintptr_t TypeInfo = 0;
};

class TLsdaReader {
public:
    // lsda within bounds; regionStart is the function's first address (the
    // base of the call sites and of a function-relative encoding); readCell
    // (may be null) resolves indirect type-table entries.
    TLsdaReader(const uint8_t* lsda, TLsdaBounds bounds, uintptr_t regionStart, TReadCell readCell = nullptr,
                void* readData = nullptr);

    // Finds the call site that covers ip (an address inside the call
    // instruction, i.e. the return address minus 1). With csActions the
    // action chain is ready for NextAction.
    TCallSite FindCallSite(uintptr_t ip);
    uintptr_t LandingPad() const { return FLandingPad; }

    // The next action record of the chain; false at its end or when it is
    // unreadable (then Unreadable() is true).
    bool NextAction(TLsdaAction& action);
    bool Unreadable() const { return FUnreadable; }

    // The type of entry n (n > 0) of the type table.
    bool TypeEntry(int64_t n, uintptr_t& type);
    // The i-th type of the exception specification of filter (< 0); false at
    // the end of the list or when unreadable.
    bool SpecificationType(int64_t filter, size_t i, uintptr_t& type);

private:
    bool Fail();
    bool ReadByte(const uint8_t*& p, uint8_t& value);
    bool ReadLeb(const uint8_t*& p, uint64_t& value, unsigned& bits, uint8_t& last);
    bool ReadUleb(const uint8_t*& p, uint64_t& value);
    bool ReadSleb(const uint8_t*& p, int64_t& value);
    bool ReadEncoded(const uint8_t*& p, uint8_t encoding, uintptr_t base, uintptr_t& value);

    TLsdaBounds FBounds;
    uintptr_t FRegionStart;
    TReadCell FReadCell;
    void* FReadData;
    bool FUnreadable = false;
    bool FHeaderRead = false;
    uintptr_t FLandingPadBase = 0;
    uint8_t FTypeEncoding = PeOmit;
    const uint8_t* FTypeBase = nullptr;
    uint8_t FCallSiteEncoding = PeOmit;
    const uint8_t* FCallSites = nullptr;
    const uint8_t* FActions = nullptr;
    uintptr_t FLandingPad = 0;
    const uint8_t* FNextAction = nullptr;
};

// Handler kinds of the decision: 0 passes (cleanups only, no landing pad),
// 1 catch (...), 2 a typed catch clause that accepts the exception, 3 the
// library's safecall boundary.
enum THandlerKind : uint8_t { hkNone = 0, hkCatchAll = 1, hkTyped = 2, hkSafeCall = 3 };

// What one frame does with the exception.
enum TFrameOutcome {
    foPasses,     // the exception goes on outward
    foCatches,    // a clause of the frame takes it (Kind says which)
    foTerminates, // the run-time ends the program here (no call site, a rejecting
                  // exception specification) or the tables cannot be read
};

struct TFrameVerdict {
    TFrameOutcome Outcome = foPasses;
    THandlerKind Kind = hkNone;
};

// Whether a catch clause of the type at catchType (a type description in
// the frame's module) takes the thrown exception. Never called for catch (...).
using TCatchTest = bool (*)(uintptr_t catchType, void* data);

// The search phase's verdict on one frame for a thrown exception; foreign
// (an exception that is not a C++ one) is only taken by catch (...) and
// ended by an empty exception specification.
TFrameVerdict JudgeFrame(TLsdaReader& reader, uintptr_t ip, bool foreign, TCatchTest accepts, void* data);

} // namespace qov::exceptions
