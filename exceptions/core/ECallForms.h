// Recognises a return address on a stack by the call instruction in front of
// it. The call-stack scan takes every stack word as a candidate return
// address W and looks at the bytes just before W; these routines decide from
// those bytes alone whether one of the known call forms ends at W. They read
// nothing but the bytes they are given, so the caller decides what memory is
// readable (the called routine of a relative call and the cell of an absolute
// memory call must still be found readable before the hit counts).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qov::exceptions {

enum class TCodeArch : uint8_t { x86, x64 };

// Bytes before W that a match may look at: 7 on x86; 8 on x64, where a REX
// prefix may stand in front of the 7-byte forms.
constexpr size_t CallFormWindow(TCodeArch arch) { return arch == TCodeArch::x86 ? 7 : 8; }

// Rules in the order they are tried.
enum TCallRule : uint8_t {
    crNone = 0,
    crRelative = 1,        // E8 rel32
    crRegister = 2,        // FF D0..D7            call reg
    crMemoryRegister = 3,  // FF 10..13, 16, 17    call [reg]
    crMemoryDisp8 = 4,     // FF 50..53, 55..57 d8 call [reg + d8]
    crMemoryDisp32 = 5,    // FF 90..93, 95..97 d32
    crStack = 6,           // FF 14 24             call [esp]
    crStackDisp8 = 7,      // FF 54 24 d8
    crStackDisp32 = 8,     // FF 94 24 d32
    crAbsoluteCell = 9,    // FF 15 d32            call [abs32] (x64: [rip + d32])
};

struct TCallForm {
    TCallRule Rule = crNone;
    // First byte of the call instruction (on x64 its REX prefix, if any).
    uint64_t Entry = 0;
    // crRelative: the called routine. crAbsoluteCell: the cell holding the
    // routine's address.
    uint64_t Target = 0;
    // What must be readable before the hit counts: CheckSize bytes at Target
    // (1 for the called routine, the pointer size for a cell); 0 for none.
    uint8_t CheckSize = 0;
};

// Tries the rules on the count bytes in front of word (before[count - 1] lies
// at word - 1). Bytes further back than count are taken as missing, so no
// rule reaching them matches. Addresses wrap at 32 bits on x86.
bool MatchCallForm(const uint8_t* before, size_t count, uint64_t word, TCodeArch arch, TCallForm& form);

} // namespace qov::exceptions
