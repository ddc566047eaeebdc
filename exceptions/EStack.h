// Call stacks: the raw scan that finds return addresses among the words of a
// thread's stack (or of a copy of it) by the call instruction in front of
// each, the clean-up of its entries, and the list that holds them. On x64 a
// thread can also be walked frame by frame through the modules' unwind data.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "EModules.h"

namespace qov::exceptions {

// Stack entries in the order they were found.
class TZephraStackList {
public:
    size_t Count() const { return FItems.size(); }
    TZephraStackEntry& Item(size_t index) { return FItems[index]; }
    const TZephraStackEntry& operator[](size_t index) const { return FItems[index]; }
    void Add(TZephraStackEntry entry) { FItems.push_back(std::move(entry)); }
    void Delete(size_t index) { FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(index)); }
    void Clear() { FItems.clear(); }

private:
    std::vector<TZephraStackEntry> FItems;
};

struct TStackScanSettings {
    // Bit n keeps entries of kind n (kinds 0 to 7).
    uint8_t Kinds = 0x1F;
    // -1: every entry; else the first entry kept is the one at this position
    // among those of a kept kind, and at most MaxCount are kept.
    int32_t FirstPosition = -1;
    int32_t MaxCount = 0;
    // Adds the routine a relative call calls before the call itself.
    bool AddCalledRoutine = false;
    // Names entries from the modules' exports and line data; else an entry
    // only knows its module.
    bool UseDebugInfo = true;
    uint8_t Tag = 0;
    DWORD ThreadId = 0;
};

// The scan covers at most this many bytes above the stack position.
constexpr size_t StackScanLimit = 102400;
// Readability is tested per block of this many bytes.
constexpr size_t StackScanBlock = 400;

// Appends the entries of the stack words in [stackPosition, stackTop) to list
// (the top is the first address above the stack), after one for
// startAddress when it is given; then marks repeats among the new entries
// with kind 0.
void CaptureStack(TZephraStackList& list, TZephraModulesList& modules, const void* startAddress,
                  uintptr_t stackPosition, uintptr_t stackTop, const TStackScanSettings& settings);
std::unique_ptr<TZephraStackList> CaptureStack(TZephraModulesList& modules, const void* startAddress,
                                               uintptr_t stackPosition, uintptr_t stackTop,
                                               const TStackScanSettings& settings);

// The calling thread's stack top (the first address above its stack).
uintptr_t StackTop();
// The stack top of another thread of the process, from its thread
// information block; 0 when it cannot be read.
uintptr_t ThreadStackTop(HANDLE thread);

// Copies the stack words of [position, stackTop) into buffer, at most
// capacity and StackScanLimit bytes; a page that cannot be read stays zero.
// Allocates nothing, so it may run while the stack's thread is suspended.
// Returns the number of bytes covered.
size_t CopyStack(uint8_t* buffer, size_t capacity, uintptr_t position, uintptr_t stackTop) noexcept;

// Captures another thread of the process: suspends it, takes its context,
// captures from its instruction pointer and stack pointer up to stackTop (its
// own top when 0) and resumes it. x86: the raw scan; x64: the walk through
// the unwind data. False when the thread could not be suspended or read.
bool CaptureThread(TZephraStackList& list, TZephraModulesList& modules, HANDLE thread, uintptr_t stackTop,
                   const TStackScanSettings& settings);

#ifdef _WIN64
// Walks the frames from context through the modules' unwind data (leaf
// frames by their return address), one entry per frame: the first at the
// context's instruction pointer, the others at the call in front of each
// return address. Stops at a frame outside [context's Rsp, stackTop) or
// after StackScanLimit / 8 frames.
void WalkStack(TZephraStackList& list, TZephraModulesList& modules, const CONTEXT& context, uintptr_t stackTop,
               const TStackScanSettings& settings);
#endif

// Hex digits of a code address in reports: 8 on 32-bit Windows, 16 on 64-bit.
constexpr int AddressDigits = sizeof(void*) * 2;

} // namespace qov::exceptions
