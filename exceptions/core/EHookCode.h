// Machine code for the code-hooking unit: the instruction-length decoder of
// 32-bit x86 and of x86-64 code, the end of a procedure, the size and the
// relocated contents of a trampoline, and the recognisers of what the non-NT
// systems do differently (their shared area and their import stubs).
// Pure logic: every routine reads only the bytes it is given and never past
// them; an instruction that would run past them counts as undecodable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qov::exceptions {

// The processor mode whose code is decoded.
enum TCodeMode { cm32, cm64 };

// The mode of the code this program runs.
#ifdef _WIN64
constexpr TCodeMode NativeCodeMode = cm64;
#else
constexpr TCodeMode NativeCodeMode = cm32;
#endif

// What moving an instruction to another address has to mend.
enum TCodeReference {
    crNone,         // nothing that depends on the instruction's address
    crShortBranch,  // an 8-bit relative branch (70-7F, E0-E3, EB)
    crNearBranch,   // a 32-bit relative call or jump (E8, E9, 0F 80-8F)
    crRipRelative,  // a 32-bit displacement from the next instruction (x86-64)
    crUnmovable     // relative to its address in a way that cannot be mended
                    // (a 16-bit relative branch)
};

struct TInstruction {
    // Bytes of the instruction; 1 for an undecodable byte.
    size_t Length = 1;
    bool Valid = false;
    // A near or far return (C2, C3, CA, CB).
    bool Return = false;
    TCodeReference Reference = crNone;
    // Where the reference's displacement lies in the instruction.
    size_t DisplacementOffset = 0;
};

// Decodes the instruction at code, of which available bytes may be read.
// Invalid when the tables class it as not decodable or when it would need
// more bytes than available (or than the processor's limit of 15).
TInstruction DecodeInstruction(const uint8_t* code, size_t available, TCodeMode mode);

// The instruction's length; false (length 1) when it is not decodable.
bool InstructionLength(const uint8_t* code, size_t available, TCodeMode mode, size_t& length);

// The offset just behind the first return within length bytes, decoding one
// instruction after another (an undecodable byte counts 1); 1 when there is
// none, 0 when length is 0.
size_t FunctionEnd(const uint8_t* code, size_t length, TCodeMode mode);

// The count of displaced bytes plus 5 for every short branch among those
// whole instructions whose destination lies outside them (the room for the
// 5-byte jump that takes its place).
size_t TrampolineSize(const uint8_t* code, size_t count, TCodeMode mode);

// The whole instructions from code that cover at least minimum bytes; 0 when
// one of them is undecodable or they run past the bytes available.
size_t DisplacedLength(const uint8_t* code, size_t available, size_t minimum, TCodeMode mode);

// The contents of a trampoline at trampolineAddress for the count displaced
// bytes of code (whole instructions) that lie at codeAddress: the relocated
// instructions, a jump back to codeAddress + count, and behind it a 5-byte
// jump for each short branch that leaves the displaced bytes. Near branches
// and RIP-relative operands that leave them are rebased. False, with trampoline
// emptied, when an instruction cannot be moved: undecodable, unmovable, or
// (x86-64) a destination out of reach of a 32-bit displacement.
bool BuildTrampoline(const uint8_t* code, size_t count, uint64_t codeAddress, uint64_t trampolineAddress,
                     TCodeMode mode, std::vector<uint8_t>& trampoline);

// The 32-bit displacement of a relative jump or call that ends at from and
// leads to to; false when x86-64 code cannot reach it.
bool RelativeDisplacement(uint64_t from, uint64_t to, TCodeMode mode, int32_t& displacement);

// The 5-byte jump (E9) at address at to destination; false when out of reach.
bool JumpBytes(uint64_t at, uint64_t destination, TCodeMode mode, uint8_t bytes[5]);

// Non-NT systems: the upper two gigabytes are shared by every process there,
// so code and modules that lie in them are never patched.
bool IsSharedAreaAddress(uint64_t address, bool ntPlatform);

// Non-NT systems hand out an import stub in place of an imported procedure:
// a push of a 32-bit value (68 imm32) followed by a jump (E9).
bool IsPushJumpStub(const uint8_t* code, size_t available);
// True when both are such stubs and push the same value.
bool SamePushJumpStub(const uint8_t* a, size_t availableA, const uint8_t* b, size_t availableB);

} // namespace qov::exceptions
