#include "EHandled.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "ECore.h"
#include "EHookCode.h"

#ifdef _WIN64
// The C++ personality routine of this module's run-time: frames whose unwind
// information names it carry their language-specific data as handler data.
extern "C" EXCEPTION_DISPOSITION __gxx_personality_seh0(PEXCEPTION_RECORD, void*, PCONTEXT, void*);
#endif

namespace qov::exceptions {

namespace {

// Plain data, usable before any static initialiser has run.
SRWLOCK CacheLock = SRWLOCK_INIT;
constinit TDecisionCache Cache;
TDecisionFlags Flags;

void LockCache()
{
    AcquireSRWLockExclusive(&CacheLock);
}

void UnlockCache()
{
    ReleaseSRWLockExclusive(&CacheLock);
}

// This module's own image: its tables, type descriptions and cells are the
// library's own data, read without asking the system (a query costs more
// than a frame of the walk).
TLsdaBounds OwnImage()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnImage), &module))
        return TLsdaBounds();
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    LONG headerOffset;
    std::memcpy(&headerOffset, base + offsetof(IMAGE_DOS_HEADER, e_lfanew), sizeof headerOffset);
    DWORD size;
    std::memcpy(&size, base + headerOffset + offsetof(IMAGE_NT_HEADERS, OptionalHeader.SizeOfImage), sizeof size);
    return TLsdaBounds{base, base + size};
}

// Until the module's static initialisers have run, every address is queried.
const TLsdaBounds OwnImageBounds = OwnImage();

// The committed, readable pages around address with the same protection
// (within one section of a module); the whole image for this module's own.
TLsdaBounds ReadableRegion(const void* address)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    if (a >= reinterpret_cast<uintptr_t>(OwnImageBounds.Begin) && a < reinterpret_cast<uintptr_t>(OwnImageBounds.End))
        return OwnImageBounds;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
        !IsReadableProtection(info.Protect))
        return TLsdaBounds();
    const auto* base = static_cast<const uint8_t*>(info.BaseAddress);
    return TLsdaBounds{base, base + info.RegionSize};
}

// A word of the calling thread's stack: between the limit of its committed
// pages and its base, from its thread information block.
bool ReadOwnStack(uintptr_t address, uintptr_t& value)
{
    uintptr_t low, high;
#ifdef _WIN64
    asm("movq %%gs:16, %0" : "=r"(low));
    asm("movq %%gs:8, %0" : "=r"(high));
#else
    asm("movl %%fs:8, %0" : "=r"(low));
    asm("movl %%fs:4, %0" : "=r"(high));
#endif
    if (address < low || address >= high || high - address < sizeof value)
        return false;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return true;
}

#ifdef _WIN64
// The first address of a RIP-relative operand's target.
const uint8_t* RipTarget(const uint8_t* instruction, const TInstruction& decoded)
{
    int32_t displacement;
    std::memcpy(&displacement, instruction + decoded.DisplacementOffset, sizeof displacement);
    return instruction + decoded.Length + displacement;
}

// Another module's copy of the C++ run-time handles this module's exceptions
// as its own (it compares types by name): its personality routine has the
// instructions of this one, relative displacements aside, and leads to an
// implementation that starts with the same bytes.
bool IsLanguagePersonality(PEXCEPTION_ROUTINE handler, TReadableRegions& memo)
{
    const auto* ours = reinterpret_cast<const uint8_t*>(&__gxx_personality_seh0);
    const auto* theirs = reinterpret_cast<const uint8_t*>(handler);
    if (theirs == ours)
        return true;
    constexpr size_t ImplementationBytes = 24;
    size_t length = FunctionEnd(ours, 64, cm64);
    if (length <= 1 || !memo.Readable(theirs, length))
        return false;
    const uint8_t* ourImplementation = nullptr;
    const uint8_t* theirImplementation = nullptr;
    for (size_t at = 0; at < length;) {
        TInstruction decoded = DecodeInstruction(ours + at, length - at, cm64);
        if (!decoded.Valid)
            return false;
        for (size_t i = 0; i < decoded.Length; ++i) {
            bool displacement = decoded.Reference != crNone && i >= decoded.DisplacementOffset &&
                                i < decoded.DisplacementOffset + 4;
            if (!displacement && ours[at + i] != theirs[at + i])
                return false;
        }
        if (decoded.Reference == crRipRelative && !ourImplementation) {
            ourImplementation = RipTarget(ours + at, decoded);
            theirImplementation = RipTarget(theirs + at, decoded);
        }
        at += decoded.Length;
    }
    return ourImplementation && memo.Readable(theirImplementation, ImplementationBytes) &&
           std::memcmp(ourImplementation, theirImplementation, ImplementationBytes) == 0;
}

// The frames of the calling thread, unwound with the system's unwind data;
// a function without any (a leaf) has its return address on top of the stack.
void WalkSystemFrames(TFrameVisitor visit, void* data)
{
    CONTEXT context;
    RtlCaptureContext(&context);
    // The thread information block's own address, at gs:[0x30].
    NT_TIB* tib;
    asm("movq %%gs:0x30, %0" : "=r"(tib));
    auto low = reinterpret_cast<DWORD64>(tib->StackLimit), high = reinterpret_cast<DWORD64>(tib->StackBase);
    TReadableRegions memo(ReadableRegion);
    for (int n = 0; n < 100000 && context.Rip != 0; ++n) {
        TFrame frame;
        frame.Ip = context.Rip;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        DWORD64 previousSp = context.Rsp;
        if (!function) {
            if (context.Rsp < low || context.Rsp + 8 > high)
                return;
            std::memcpy(&context.Rip, reinterpret_cast<const void*>(context.Rsp), 8);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, context.Rip, function,
                                                          &context, &handlerData, &establisher, nullptr);
            frame.RegionStart = imageBase + function->BeginAddress;
            // Frames of other handlers (the system's) let C++ exceptions pass,
            // as measured; those of the C++ run-time, this module's or another
            // module's, are judged by their tables.
            if (handler && handlerData && IsLanguagePersonality(handler, memo))
                frame.Lsda = static_cast<const uint8_t*>(handlerData);
        }
        frame.Cfa = previousSp;
        if (!visit(frame, data))
            return;
        if (context.Rsp <= previousSp || context.Rsp < low || context.Rsp >= high)
            return;
    }
}
#endif

#ifndef _WIN64
// The walk of 32-bit Windows: this module's unwinder, which knows the frames
// of the modules that registered their tables with it (this one). For a frame
// it has no tables of (another module's, the system's), that unwinder guesses
// from the bytes at the return address whether the frame is the system's
// exception dispatcher, and on a match reads a context through stack words
// that hold something else. So the walk ends on the walking thread as soon as
// the unwinder's lookup of a frame's tables (reached through the link's wrap
// of _Unwind_Find_FDE) finds none: what lies further out is not judged
// anyway. The escape is a plain pointer (no destructor at the thread's end).
struct TWalkEscape {
    void* Buffer[5];
};
thread_local TWalkEscape* WalkEscape = nullptr;

void WalkOwnFrames(TFrameVisitor visit, void* data)
{
    TWalkEscape escape;
    TWalkEscape* const outer = WalkEscape;
    if (__builtin_setjmp(escape.Buffer) == 0) {
        WalkEscape = &escape;
        WalkDwarfFrames(visit, data);
    }
    WalkEscape = outer;
}
#endif

// Constant-initialised: usable before any static initialiser has run.
constexpr TDecisionPlatform Platform{
#ifdef _WIN64
    WalkSystemFrames,
#else
    WalkOwnFrames,
#endif
    ReadableRegion, LockCache, UnlockCache, ReadOwnStack};

} // namespace

const TDecisionPlatform& DefaultDecisionPlatform()
{
    return Platform;
}

TDecision DecideThrow(const std::type_info* type, void* object, const void* address, bool forceHandled)
{
    TRaise raise;
    raise.Type = type;
    raise.Object = object;
    raise.Address = reinterpret_cast<uintptr_t>(address);
    return DecideRaise(raise, forceHandled, Cache, Flags, Platform);
}

TDecision DecideException(const TExceptionInfo* exception, const void* address, bool forceHandled)
{
    TRaise raise;
    raise.Address = reinterpret_cast<uintptr_t>(address);
    if (exception && !exception->Empty()) {
        raise.Type = exception->Type();
        raise.Object = const_cast<void*>(exception->Object());
        raise.System = exception->IsSystem();
    } else if (exception && exception->Object()) {
        // An object whose type description could not be read.
        raise.ClassUnknown = true;
    }
    return DecideRaise(raise, forceHandled, Cache, Flags, Platform);
}

bool IsExceptionHandled(const TExceptionInfo* exception, const void* address, bool forceHandled, uint8_t& answer)
{
    TDecision decision = DecideException(exception, address, forceHandled);
    answer = decision.Answer;
    return decision.Handled;
}

void SetDecisionUnitPhase(bool inInitialisation, bool inFinalisation)
{
    Flags.InInitialisation = inInitialisation;
    Flags.InFinalisation = inFinalisation;
}

void SetDecisionDefersToMain(bool defers)
{
    Flags.DefersToMain = defers;
}

bool FirstDecisionTaken()
{
    return Flags.FirstDecisionTaken;
}

void ResetDecisions()
{
    LockCache();
    Cache.Clear();
    UnlockCache();
    Flags.FirstDecisionTaken = false;
}

int DecisionCacheCount()
{
    LockCache();
    int count = Cache.Count();
    UnlockCache();
    return count;
}

TDecisionKey DecisionCacheKey(int index)
{
    LockCache();
    TDecisionKey key = index >= 0 && index < Cache.Count() ? Cache.KeyAt(index) : TDecisionKey();
    UnlockCache();
    return key;
}

} // namespace qov::exceptions

#ifndef _WIN64
extern "C" const void* __real__Unwind_Find_FDE(void* pc, void* bases);

// The unwinder's lookup of the tables that describe the code at pc; during a
// walk of the decision on this thread, finding none ends the walk.
extern "C" const void* __wrap__Unwind_Find_FDE(void* pc, void* bases)
{
    const void* found = __real__Unwind_Find_FDE(pc, bases);
    if (!found)
        if (qov::exceptions::TWalkEscape* escape = qov::exceptions::WalkEscape)
            __builtin_longjmp(escape->Buffer, 1);
    return found;
}
#endif
