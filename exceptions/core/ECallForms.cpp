#include "ECallForms.h"

namespace qov::exceptions {

namespace {

class TBytesBefore {
public:
    TBytesBefore(const uint8_t* before, size_t count) : FBefore(before), FCount(count) {}
    bool Has(size_t distance) const { return distance >= 1 && distance <= FCount; }
    // The byte distance bytes before W; -1 when it is not given.
    int At(size_t distance) const { return Has(distance) ? FBefore[FCount - distance] : -1; }
    bool Is(size_t distance, uint8_t value) const { return At(distance) == value; }
    bool InRange(size_t distance, uint8_t low, uint8_t high) const
    {
        const int b = At(distance);
        return b >= low && b <= high;
    }
    // A ModRM byte with reg = 2 (call) and the given mod whose r/m names a
    // base register: not 4 (a SIB byte follows), and in mod 0 not 5 (an
    // absolute or rip-relative cell, a rule of its own).
    bool MemoryModRm(size_t distance, uint8_t mod) const
    {
        const int b = At(distance);
        if (b < 0 || (b >> 6) != mod || ((b >> 3) & 7) != 2)
            return false;
        const int rm = b & 7;
        return rm != 4 && !(mod == 0 && rm == 5);
    }
    int32_t Int32(size_t distance) const
    {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i)
            value |= static_cast<uint32_t>(FBefore[FCount - distance + i]) << (8 * i);
        return static_cast<int32_t>(value);
    }

private:
    const uint8_t* FBefore;
    size_t FCount;
};

uint64_t Wrap(uint64_t address, TCodeArch arch)
{
    return arch == TCodeArch::x86 ? (address & 0xFFFFFFFFu) : address;
}

// The rule whose FF opcode lies `length` bytes before W, or crNone.
TCallRule IndirectRule(const TBytesBefore& b, size_t& length)
{
    if (b.Is(2, 0xFF) && b.InRange(1, 0xD0, 0xD7)) {
        length = 2;
        return crRegister;
    }
    if (b.Is(2, 0xFF) && b.MemoryModRm(1, 0)) {
        length = 2;
        return crMemoryRegister;
    }
    if (b.Is(3, 0xFF) && b.MemoryModRm(2, 1)) {
        length = 3;
        return crMemoryDisp8;
    }
    if (b.Is(6, 0xFF) && b.MemoryModRm(5, 2)) {
        length = 6;
        return crMemoryDisp32;
    }
    if (b.Is(3, 0xFF) && b.Is(2, 0x14) && b.Is(1, 0x24)) {
        length = 3;
        return crStack;
    }
    if (b.Is(4, 0xFF) && b.Is(3, 0x54) && b.Is(2, 0x24)) {
        length = 4;
        return crStackDisp8;
    }
    if (b.Is(7, 0xFF) && b.Is(6, 0x94) && b.Is(5, 0x24)) {
        length = 7;
        return crStackDisp32;
    }
    if (b.Is(6, 0xFF) && b.Is(5, 0x15)) {
        length = 6;
        return crAbsoluteCell;
    }
    return crNone;
}

} // namespace

bool MatchCallForm(const uint8_t* before, size_t count, uint64_t word, TCodeArch arch, TCallForm& form)
{
    form = TCallForm();
    if (!before)
        count = 0;
    const size_t window = CallFormWindow(arch);
    if (count > window) {
        before += count - window;
        count = window;
    }
    const TBytesBefore b(before, count);
    if (b.Is(5, 0xE8)) {
        form.Rule = crRelative;
        form.Entry = Wrap(word - 5, arch);
        form.Target = Wrap(word + static_cast<uint64_t>(static_cast<int64_t>(b.Int32(4))), arch);
        form.CheckSize = 1;
        return true;
    }
    size_t length = 0;
    const TCallRule rule = IndirectRule(b, length);
    if (rule == crNone)
        return false;
    form.Rule = rule;
    // A REX prefix belongs to the call on x64 (registers r8 to r15, a 64-bit
    // operand size).
    if (arch == TCodeArch::x64 && b.InRange(length + 1, 0x40, 0x4F))
        ++length;
    form.Entry = Wrap(word - length, arch);
    if (rule == crAbsoluteCell) {
        const int32_t displacement = b.Int32(4);
        form.Target = arch == TCodeArch::x86
                          ? static_cast<uint32_t>(displacement)
                          : word + static_cast<uint64_t>(static_cast<int64_t>(displacement));
        form.CheckSize = arch == TCodeArch::x86 ? 4 : 8;
    }
    return true;
}

} // namespace qov::exceptions
