// Return addresses recognised by the call in front of them: each of the nine
// forms on x86, the REX and rip-relative forms of x64, the byte patterns that
// look alike but are no call, and the bytes a match may not reach.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ECallForms.h"

using namespace qov::exceptions;

namespace {

constexpr uint64_t Word = 0x00401000;

// Matches the code bytes as if they ended just before Word; the bytes in
// front of them are padding (0x90) up to the window.
TCallForm Match(std::vector<uint8_t> code, TCodeArch arch = TCodeArch::x86, uint64_t word = Word)
{
    const size_t window = CallFormWindow(arch);
    if (code.size() < window)
        code.insert(code.begin(), window - code.size(), 0x90);
    TCallForm form;
    MatchCallForm(code.data(), code.size(), word, arch, form);
    return form;
}

} // namespace

TEST(CallForms, NineFormsOnX86)
{
    const struct { std::vector<uint8_t> code; TCallRule rule; uint64_t length; } cases[] = {
        {{0xE8, 0x10, 0x00, 0x00, 0x00}, crRelative, 5},
        {{0xFF, 0xD5}, crRegister, 2},                          // call ebp
        {{0xFF, 0xD0}, crRegister, 2},
        {{0xFF, 0xD7}, crRegister, 2},
        {{0xFF, 0x10}, crMemoryRegister, 2},                    // call [eax]
        {{0xFF, 0x16}, crMemoryRegister, 2},
        {{0xFF, 0x17}, crMemoryRegister, 2},
        {{0xFF, 0x50, 0x08}, crMemoryDisp8, 3},                 // call [eax+8]
        {{0xFF, 0x55, 0xF8}, crMemoryDisp8, 3},                 // call [ebp-8]
        {{0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, crMemoryDisp32, 6},
        {{0xFF, 0x95, 0x00, 0xFF, 0xFF, 0xFF}, crMemoryDisp32, 6},
        {{0xFF, 0x14, 0x24}, crStack, 3},                        // call [esp]
        {{0xFF, 0x54, 0x24, 0x04}, crStackDisp8, 4},
        {{0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, crStackDisp32, 7},
        {{0xFF, 0x15, 0x78, 0x56, 0x34, 0x12}, crAbsoluteCell, 6},
    };
    for (const auto& c : cases) {
        const TCallForm form = Match(c.code);
        EXPECT_EQ(form.Rule, c.rule) << int(c.code[1]);
        EXPECT_EQ(form.Entry, Word - c.length) << int(c.code[1]);
    }
}

TEST(CallForms, TargetsAndChecks)
{
    // Relative: W + displacement, backwards too; the routine's first byte
    // must be found readable.
    TCallForm form = Match({0xE8, 0x10, 0x00, 0x00, 0x00});
    EXPECT_EQ(form.Target, Word + 0x10);
    EXPECT_EQ(form.CheckSize, 1);
    form = Match({0xE8, 0x00, 0xF0, 0xFF, 0xFF});
    EXPECT_EQ(form.Target, Word - 0x1000);
    // x86 addresses wrap at 32 bits.
    form = Match({0xE8, 0x00, 0x00, 0x00, 0x80}, TCodeArch::x86, 0x90000000);
    EXPECT_EQ(form.Target, 0x10000000u);
    // Absolute cell: the cell at the 32-bit operand, 4 bytes to check.
    form = Match({0xFF, 0x15, 0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(form.Target, 0x12345678u);
    EXPECT_EQ(form.CheckSize, 4);
    // Register and memory forms have nothing to check.
    EXPECT_EQ(Match({0xFF, 0xD5}).CheckSize, 0);
}

TEST(CallForms, LookAlikesAreNoCalls)
{
    // FF with reg field 2 only: FF D8 is call far (reg 3), FF E0 jmp eax,
    // FF 30 push [eax], FF 25 jmp [abs].
    for (const std::vector<uint8_t>& code : std::vector<std::vector<uint8_t>>{
             {0xFF, 0xD8}, {0xFF, 0xE0}, {0xFF, 0x30}, {0xFF, 0x25, 0, 0, 0, 0},
             // SIB without esp base and the cell form of mod 0 are not the
             // register rules.
             {0xFF, 0x14}, {0xFF, 0x15}, {0xFF, 0x54, 0x00},
             // FF 14 25 is call [abs32] through a SIB byte on x64, no rule.
             {0xFF, 0x14, 0x25},
             {0x90, 0x90, 0x90}}) {
        EXPECT_EQ(Match(code).Rule, crNone) << int(code[0]) << " " << int(code[1]);
    }
}

TEST(CallForms, FirstRuleWins)
{
    // E8 five bytes back takes precedence over a register call that also ends at W.
    TCallForm form = Match({0xE8, 0x00, 0x00, 0xFF, 0xD5});
    EXPECT_EQ(form.Rule, crRelative);
    // FF 14 24 also reads as ?? FF 14 24: rule 6 matches, not rule 3 (14 is SIB).
    form = Match({0xFF, 0x14, 0x24});
    EXPECT_EQ(form.Rule, crStack);
}

TEST(CallForms, BytesOutsideTheGivenOnesAreMissing)
{
    const uint8_t e8[] = {0xE8, 1, 2, 3, 4};
    TCallForm form;
    EXPECT_TRUE(MatchCallForm(e8, 5, Word, TCodeArch::x86, form));
    // Four bytes: the E8 lies out of reach.
    EXPECT_FALSE(MatchCallForm(e8 + 1, 4, Word, TCodeArch::x86, form));
    EXPECT_FALSE(MatchCallForm(nullptr, 7, Word, TCodeArch::x86, form));
    // More bytes than the window: only the last window's bytes count.
    const uint8_t far[] = {0xFF, 0x94, 0x24, 0, 1, 0, 0, 0x90};
    EXPECT_FALSE(MatchCallForm(far, sizeof far, Word, TCodeArch::x86, form));
    EXPECT_TRUE(MatchCallForm(far, 7, Word, TCodeArch::x86, form));
}

TEST(CallForms, X64RexAndRipRelative)
{
    const uint64_t word = 0x00007FF612341000ull;
    // call [rip + disp32]: the cell is W + displacement, 8 bytes to check.
    TCallForm form = Match({0xFF, 0x15, 0x00, 0x02, 0x00, 0x00}, TCodeArch::x64, word);
    EXPECT_EQ(form.Rule, crAbsoluteCell);
    EXPECT_EQ(form.Target, word + 0x200);
    EXPECT_EQ(form.CheckSize, 8);
    form = Match({0xFF, 0x15, 0x00, 0xFF, 0xFF, 0xFF}, TCodeArch::x64, word);
    EXPECT_EQ(form.Target, word - 0x100);
    // REX prefixes belong to the call: 41 FF D3 (call r11), 48 FF 15
    // (rex.w call [rip]), 41 FF 94 24 d32 (call [r12 + d32]).
    form = Match({0x41, 0xFF, 0xD3}, TCodeArch::x64, word);
    EXPECT_EQ(form.Rule, crRegister);
    EXPECT_EQ(form.Entry, word - 3);
    form = Match({0x48, 0xFF, 0x15, 0, 0, 0, 0}, TCodeArch::x64, word);
    EXPECT_EQ(form.Rule, crAbsoluteCell);
    EXPECT_EQ(form.Entry, word - 7);
    form = Match({0x41, 0xFF, 0x94, 0x24, 0, 1, 0, 0}, TCodeArch::x64, word);
    EXPECT_EQ(form.Rule, crStackDisp32);
    EXPECT_EQ(form.Entry, word - 8);
    // E8 with a 64-bit address, no wrap.
    form = Match({0xE8, 0x00, 0x00, 0x00, 0x80}, TCodeArch::x64, word);
    EXPECT_EQ(form.Target, word - 0x80000000ull);
    // No REX in front: the entry is the FF; x86 never takes a REX byte.
    EXPECT_EQ(Match({0x90, 0xFF, 0xD3}, TCodeArch::x64, word).Entry, word - 2);
    EXPECT_EQ(Match({0x41, 0xFF, 0xD3}).Entry, Word - 2);
}
