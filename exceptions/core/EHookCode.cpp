#include "EHookCode.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qov::exceptions {

namespace {

// Opcode classes: 0 to 4 bytes follow the opcode; an immediate of operand size
// (4 bytes, 2 with the operand-size prefix); a far pointer (6 bytes, 4 with
// it); a ModRM byte follows; not decodable.
constexpr uint8_t I = 11, P = 13, M = 14, X = 15;

// Class of each one-byte opcode (prefixes and the 0F escape are taken before
// the table is read; their entries are never used).
constexpr uint8_t OneByteClass[256] = {
    M, M, M, M, 1, I, 0, 0, M, M, M, M, 1, I, 0, X, // 00
    M, M, M, M, 1, I, 0, 0, M, M, M, M, 1, I, 0, 0, // 10
    M, M, M, M, 1, I, 0, 0, M, M, M, M, 1, I, 0, 0, // 20
    M, M, M, M, 1, I, 0, 0, M, M, M, M, 1, I, 0, 0, // 30
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 50
    0, 0, M, M, 0, 0, 0, 0, I, M, 1, M, 0, 0, 0, 0, // 60
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, // 70
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 80
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, P, 0, 0, 0, 0, 0, // 90
    4, 4, 4, 4, 0, 0, 0, 0, 1, I, 0, 0, 0, 0, 0, 0, // A0
    1, 1, 1, 1, 1, 1, 1, 1, I, I, I, I, I, I, I, I, // B0
    M, M, 2, 0, M, M, M, M, 3, 0, 2, 0, 0, 1, 0, 0, // C0
    M, M, M, M, 1, 1, 0, 0, M, M, M, M, M, M, M, M, // D0
    1, 1, 1, 1, 1, 1, 1, 1, I, I, P, 1, 0, 0, 0, 0, // E0
    0, 0, 0, 0, 0, 0, M, M, 0, 0, 0, 0, 0, 0, M, M, // F0
};

// Class of each second byte after 0F (0F 38 and 0F 3A lead to three-byte
// opcodes, taken apart before the table is read; 0F 20-23 always take a
// register operand byte without memory forms).
constexpr uint8_t TwoByteClass[256] = {
    M, M, M, M, X, 0, 0, 0, 0, 0, X, 0, X, M, 0, M, // 0F 00
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F 10
    1, 1, 1, 1, X, X, X, X, M, M, M, M, M, M, M, M, // 0F 20
    0, 0, 0, 0, 0, 0, X, 0, M, X, M, X, X, X, X, X, // 0F 30
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F 40
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F 50
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F 60
    M, M, M, M, M, M, M, 0, M, M, X, X, M, M, M, M, // 0F 70
    I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, // 0F 80
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F 90
    0, 0, 0, M, M, M, X, X, 0, 0, 0, M, M, M, M, M, // 0F A0
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F B0
    M, M, M, M, M, M, M, M, 0, 0, 0, 0, 0, 0, 0, 0, // 0F C0
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F D0
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F E0
    M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, M, // 0F F0
};

// One byte per opcode value: the low half classes the one-byte opcode, the
// high half the same value as second byte after 0F.
constexpr std::array<uint8_t, 256> MakeOpcodeClasses()
{
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<uint8_t>(OneByteClass[i] | TwoByteClass[i] << 4);
    return table;
}
constexpr std::array<uint8_t, 256> OpcodeClasses = MakeOpcodeClasses();

bool IsLegacyPrefix(uint8_t b)
{
    switch (b) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
        return true;
    default:
        return false;
    }
}

// One-byte opcodes that x86-64 code does not have.
bool IsInvalidIn64(uint8_t op)
{
    switch (op) {
    case 0x06: case 0x07: case 0x0E: case 0x16: case 0x17: case 0x1E: case 0x1F:
    case 0x27: case 0x2F: case 0x37: case 0x3F: case 0x60: case 0x61: case 0x82:
    case 0x9A: case 0xCE: case 0xD4: case 0xD5: case 0xD6: case 0xEA:
        return true;
    default:
        return false;
    }
}

// Second bytes after 0F that carry an 8-bit immediate besides their ModRM
// (0F 0F: the suffix byte of the 3DNow! instructions).
bool TwoByteHasImmediate(uint8_t op)
{
    return (op >= 0x70 && op <= 0x73) || op == 0xA4 || op == 0xAC || op == 0xBA || op == 0xC2 ||
           (op >= 0xC4 && op <= 0xC6) || op == 0x0F;
}

bool IsShortBranch(uint8_t op)
{
    return (op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3) || op == 0xEB;
}

// The bytes behind a ModRM byte at pos (SIB and displacement). False when
// they cannot be read within limit.
bool ModRmExtra(const uint8_t* code, size_t pos, size_t limit, bool address16, TCodeMode mode, size_t& extra,
                bool& ripRelative)
{
    ripRelative = false;
    if (pos >= limit)
        return false;
    const unsigned mod = code[pos] >> 6, rm = code[pos] & 7;
    if (address16) {
        static constexpr size_t Displacement16[4] = {0, 1, 2, 0};
        extra = mod == 0 ? (rm == 6 ? 2 : 0) : Displacement16[mod];
        return true;
    }
    if (mod == 3) {
        extra = 0;
        return true;
    }
    const bool sib = rm == 4;
    if (sib && pos + 1 >= limit)
        return false;
    switch (mod) {
    case 0:
        if (sib)
            extra = (code[pos + 1] & 7) == 5 ? 5 : 1;
        else if (rm == 5) {
            extra = 4;
            ripRelative = mode == cm64;
        } else
            extra = 0;
        break;
    case 1:
        extra = sib ? 2 : 1;
        break;
    default:
        extra = sib ? 5 : 4;
        break;
    }
    return true;
}

// Completes an instruction whose ModRM byte lies at modrm, with imm bytes
// of immediate behind its operand bytes.
TInstruction FinishModRm(const uint8_t* code, size_t modrm, size_t limit, bool addressPrefix, TCodeMode mode,
                         size_t immediate)
{
    TInstruction r;
    size_t extra;
    bool rip;
    if (!ModRmExtra(code, modrm, limit, mode == cm32 && addressPrefix, mode, extra, rip))
        return r;
    const size_t length = modrm + 1 + extra + immediate;
    if (length > limit)
        return r;
    r.Length = length;
    r.Valid = true;
    if (rip) {
        // With the address-size prefix the address wraps at 4 GB: not movable.
        r.Reference = addressPrefix ? crUnmovable : crRipRelative;
        r.DisplacementOffset = modrm + 1;
    }
    return r;
}

// A VEX (C4, C5) or EVEX (62) encoded instruction whose prefix starts at i.
TInstruction DecodeVex(const uint8_t* code, size_t i, size_t limit, bool addressPrefix, TCodeMode mode)
{
    const uint8_t lead = code[i];
    const size_t prefixSize = lead == 0xC5 ? 2 : lead == 0xC4 ? 3 : 4;
    if (i + prefixSize >= limit)
        return {};
    const unsigned map = lead == 0xC5 ? 1 : lead == 0xC4 ? code[i + 1] & 0x1F : code[i + 1] & 0x07;
    const size_t opcode = i + prefixSize;
    const uint8_t op = code[opcode];
    switch (map) {
    case 1: {
        const uint8_t cls = TwoByteClass[op];
        if (cls == 0) {
            TInstruction r;
            r.Length = opcode + 1;
            r.Valid = true;
            return r;
        }
        if (cls != M)
            return {};
        return FinishModRm(code, opcode + 1, limit, addressPrefix, mode, TwoByteHasImmediate(op) ? 1 : 0);
    }
    case 2:
        return FinishModRm(code, opcode + 1, limit, addressPrefix, mode, 0);
    case 3:
        return FinishModRm(code, opcode + 1, limit, addressPrefix, mode, 1);
    case 5:
    case 6:
        if (lead == 0x62)
            return FinishModRm(code, opcode + 1, limit, addressPrefix, mode, 0);
        return {};
    default:
        return {};
    }
}

} // namespace

TInstruction DecodeInstruction(const uint8_t* code, size_t available, TCodeMode mode)
{
    const size_t limit = std::min<size_t>(available, 15);
    bool operand16 = false, addressPrefix = false, rexW = false;
    size_t i = 0;
    for (;; ++i) {
        if (i >= limit)
            return {};
        const uint8_t b = code[i];
        if (IsLegacyPrefix(b)) {
            operand16 |= b == 0x66;
            addressPrefix |= b == 0x67;
            rexW = false; // a REX prefix counts only right before the opcode
        } else if (mode == cm64 && (b & 0xF0) == 0x40) {
            rexW = (b & 0x08) != 0;
        } else if (b == 0x9B && i + 1 < limit && code[i + 1] >= 0xD8 && code[i + 1] <= 0xDF) {
            // A wait before a floating-point instruction is taken with it,
            // as disassemblers show fstsw, fstcw and the like.
        } else {
            break;
        }
    }
    operand16 &= !rexW; // REX.W takes precedence over the operand-size prefix
    const uint8_t op = code[i];

    if ((op == 0xC4 || op == 0xC5 || op == 0x62) &&
        (mode == cm64 || (i + 1 < limit && (code[i + 1] & 0xC0) == 0xC0)))
        return DecodeVex(code, i, limit, addressPrefix, mode);

    if (op == 0x0F) {
        if (i + 1 >= limit)
            return {};
        const uint8_t op2 = code[i + 1];
        if (op2 == 0x38 || op2 == 0x3A) {
            if (i + 2 >= limit)
                return {};
            return FinishModRm(code, i + 3, limit, addressPrefix, mode, op2 == 0x3A ? 1 : 0);
        }
        const uint8_t cls = OpcodeClasses[op2] >> 4;
        if (cls == X)
            return {};
        if (cls == M)
            return FinishModRm(code, i + 2, limit, addressPrefix, mode, TwoByteHasImmediate(op2) ? 1 : 0);
        TInstruction r;
        const size_t follow = cls == I ? (operand16 ? 2 : 4) : cls;
        if (i + 2 + follow > limit)
            return {};
        r.Length = i + 2 + follow;
        r.Valid = true;
        if (op2 >= 0x80 && op2 <= 0x8F) {
            r.Reference = operand16 ? crUnmovable : crNearBranch;
            r.DisplacementOffset = i + 2;
        }
        return r;
    }

    if (mode == cm64 && IsInvalidIn64(op))
        return {};
    const uint8_t cls = OpcodeClasses[op] & 0x0F;
    if (cls == X)
        return {};
    const size_t operandBytes = operand16 ? 2 : 4;
    if (cls == M) {
        size_t immediate = 0;
        switch (op) {
        case 0x6B: case 0x80: case 0x82: case 0x83: case 0xC0: case 0xC1: case 0xC6:
            immediate = 1;
            break;
        case 0x69: case 0x81: case 0xC7:
            immediate = operandBytes;
            break;
        case 0xF6:
        case 0xF7:
            // test r/m, imm (reg field 0, and its alias 1)
            if (i + 1 < limit && ((code[i + 1] >> 3) & 7) <= 1)
                immediate = op == 0xF6 ? 1 : operandBytes;
            break;
        default:
            break;
        }
        return FinishModRm(code, i + 1, limit, addressPrefix, mode, immediate);
    }

    size_t follow;
    if (op >= 0xA0 && op <= 0xA3) // a memory offset of address size
        follow = mode == cm64 ? (addressPrefix ? 4 : 8) : (addressPrefix ? 2 : 4);
    else if (cls == I)
        follow = mode == cm64 && rexW && op >= 0xB8 && op <= 0xBF ? 8 : operandBytes;
    else if (cls == P)
        follow = operand16 ? 4 : 6;
    else
        follow = cls;
    TInstruction r;
    if (i + 1 + follow > limit)
        return r;
    r.Length = i + 1 + follow;
    r.Valid = true;
    r.Return = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB;
    if (IsShortBranch(op)) {
        r.Reference = crShortBranch;
        r.DisplacementOffset = i + 1;
    } else if (op == 0xE8 || op == 0xE9) {
        r.Reference = operand16 ? crUnmovable : crNearBranch;
        r.DisplacementOffset = i + 1;
    }
    return r;
}

bool InstructionLength(const uint8_t* code, size_t available, TCodeMode mode, size_t& length)
{
    TInstruction ins = DecodeInstruction(code, available, mode);
    length = ins.Length;
    return ins.Valid;
}

size_t FunctionEnd(const uint8_t* code, size_t length, TCodeMode mode)
{
    if (length == 0)
        return 0;
    for (size_t pos = 0; pos < length;) {
        TInstruction ins = DecodeInstruction(code + pos, length - pos, mode);
        pos += ins.Length;
        if (ins.Valid && ins.Return)
            return pos;
    }
    return 1;
}

namespace {

// The offset (from the start of the displaced bytes) that the short branch
// of ins at pos leads to.
int64_t ShortBranchDestination(const uint8_t* code, size_t pos, const TInstruction& ins)
{
    return static_cast<int64_t>(pos + ins.Length) + static_cast<int8_t>(code[pos + ins.DisplacementOffset]);
}

bool Inside(int64_t offset, size_t count)
{
    return offset >= 0 && static_cast<uint64_t>(offset) < count;
}

} // namespace

size_t TrampolineSize(const uint8_t* code, size_t count, TCodeMode mode)
{
    size_t size = count;
    for (size_t pos = 0; pos < count;) {
        TInstruction ins = DecodeInstruction(code + pos, count - pos, mode);
        if (ins.Valid && ins.Reference == crShortBranch && !Inside(ShortBranchDestination(code, pos, ins), count))
            size += 5;
        pos += ins.Length;
    }
    return size;
}

size_t DisplacedLength(const uint8_t* code, size_t available, size_t minimum, TCodeMode mode)
{
    size_t pos = 0;
    while (pos < minimum) {
        if (pos >= available)
            return 0;
        TInstruction ins = DecodeInstruction(code + pos, available - pos, mode);
        if (!ins.Valid)
            return 0;
        pos += ins.Length;
    }
    return pos;
}

bool RelativeDisplacement(uint64_t from, uint64_t to, TCodeMode mode, int32_t& displacement)
{
    if (mode == cm32) {
        displacement = static_cast<int32_t>(static_cast<uint32_t>(to - from));
        return true;
    }
    const int64_t difference = static_cast<int64_t>(to - from);
    if (difference < INT32_MIN || difference > INT32_MAX)
        return false;
    displacement = static_cast<int32_t>(difference);
    return true;
}

bool JumpBytes(uint64_t at, uint64_t destination, TCodeMode mode, uint8_t bytes[5])
{
    int32_t displacement;
    if (!RelativeDisplacement(at + 5, destination, mode, displacement))
        return false;
    bytes[0] = 0xE9;
    std::memcpy(bytes + 1, &displacement, 4);
    return true;
}

bool BuildTrampoline(const uint8_t* code, size_t count, uint64_t codeAddress, uint64_t trampolineAddress,
                     TCodeMode mode, std::vector<uint8_t>& trampoline)
{
    trampoline.assign(TrampolineSize(code, count, mode) + 5, 0);
    std::memcpy(trampoline.data(), code, count);
    auto fail = [&] {
        trampoline.clear();
        return false;
    };
    size_t stub = count + 5; // where the next jump of a short branch goes
    for (size_t pos = 0; pos < count;) {
        const TInstruction ins = DecodeInstruction(code + pos, count - pos, mode);
        if (!ins.Valid || ins.Reference == crUnmovable)
            return fail();
        const size_t next = pos + ins.Length;
        uint8_t* copy = trampoline.data() + pos;
        if (ins.Reference == crShortBranch) {
            const int64_t destination = ShortBranchDestination(code, pos, ins);
            if (!Inside(destination, count)) {
                // The copied branch leads to a jump to its former destination.
                if (stub - next > 127 ||
                    !JumpBytes(trampolineAddress + stub, codeAddress + static_cast<uint64_t>(destination), mode,
                               trampoline.data() + stub))
                    return fail();
                copy[ins.DisplacementOffset] = static_cast<uint8_t>(stub - next);
                stub += 5;
            }
        } else if (ins.Reference == crNearBranch || ins.Reference == crRipRelative) {
            int32_t displacement;
            std::memcpy(&displacement, code + pos + ins.DisplacementOffset, 4);
            const int64_t destination = static_cast<int64_t>(next) + displacement;
            if (!Inside(destination, count)) {
                if (!RelativeDisplacement(trampolineAddress + next, codeAddress + static_cast<uint64_t>(destination),
                                          mode, displacement))
                    return fail();
                std::memcpy(copy + ins.DisplacementOffset, &displacement, 4);
            }
        }
        pos = next;
    }
    if (!JumpBytes(trampolineAddress + count, codeAddress + count, mode, trampoline.data() + count))
        return fail();
    return true;
}

bool IsSharedAreaAddress(uint64_t address, bool ntPlatform)
{
    return !ntPlatform && address >= 0x80000000u;
}

bool IsPushJumpStub(const uint8_t* code, size_t available)
{
    return available >= 6 && code[0] == 0x68 && code[5] == 0xE9;
}

bool SamePushJumpStub(const uint8_t* a, size_t availableA, const uint8_t* b, size_t availableB)
{
    return IsPushJumpStub(a, availableA) && IsPushJumpStub(b, availableB) && std::memcmp(a + 1, b + 1, 4) == 0;
}

} // namespace qov::exceptions
