// Machine code of the code-hooking unit: instruction lengths in both modes,
// procedure ends, trampolines and their relocation, the non-NT recognisers,
// and (in the Windows build) every instruction of the control library
// against the disassembler's lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "EHookCode.h"

using namespace qov::exceptions;

namespace {

using TBytes = std::vector<uint8_t>;

// Decodes a copy of exactly the given bytes on the heap, so that a read past
// them is caught by the address sanitizer.
TInstruction Decode(const TBytes& bytes, TCodeMode mode)
{
    auto* copy = new uint8_t[bytes.size()];
    if (!bytes.empty())
        std::memcpy(copy, bytes.data(), bytes.size());
    TInstruction ins = DecodeInstruction(copy, bytes.size(), mode);
    delete[] copy;
    return ins;
}

struct TLengthCase {
    TBytes Code;
    size_t Length; // 0: not decodable
};

void ExpectLengths(const std::vector<TLengthCase>& cases, TCodeMode mode)
{
    for (const TLengthCase& c : cases) {
        std::ostringstream hex;
        for (uint8_t b : c.Code)
            hex << std::hex << int(b) << ' ';
        SCOPED_TRACE(hex.str());
        TInstruction ins = Decode(c.Code, mode);
        if (c.Length == 0) {
            EXPECT_FALSE(ins.Valid);
            EXPECT_EQ(ins.Length, 1u);
            continue;
        }
        ASSERT_TRUE(ins.Valid);
        EXPECT_EQ(ins.Length, c.Length);
        // One byte fewer than the instruction needs: not decodable.
        TBytes shorter(c.Code.begin(), c.Code.begin() + static_cast<ptrdiff_t>(c.Length - 1));
        EXPECT_FALSE(Decode(shorter, mode).Valid);
    }
}

int32_t Rel32At(const TBytes& code, size_t offset)
{
    int32_t value;
    std::memcpy(&value, code.data() + offset, 4);
    return value;
}

} // namespace

TEST(EHookCode, LengthsOf32BitCodeByTheOpcodeTables)
{
    ExpectLengths({
        {{0x04, 0x01}, 2},                                   // add al, imm8
        {{0x0C, 0x01}, 2},
        {{0x05, 1, 2, 3, 4}, 5},                             // add eax, imm32
        {{0x66, 0x05, 1, 2}, 4},                             // add ax, imm16
        {{0x0F, 0x84, 1, 2, 3, 4}, 6},                       // je rel32
        {{0x66, 0x0F, 0x84, 1, 2}, 5},                       // je rel16
        {{0x9A, 1, 2, 3, 4, 5, 6}, 7},                       // call far
        {{0x66, 0xEA, 1, 2, 3, 4}, 6},                       // jmp far ptr16:16
        {{0xA1, 1, 2, 3, 4}, 5},                             // mov eax, [moffs32]
        {{0x67, 0xA1, 1, 2}, 4},                             // mov eax, [moffs16]
        {{0xC2, 8, 0}, 3},                                   // ret 8
        {{0xC8, 8, 0, 1}, 4},                                // enter
        {{0xE8, 1, 2, 3, 4}, 5},
        {{0xEB, 0xFE}, 2},
        {{0xCC}, 1},
        {{0x8B, 0xC1}, 2},                                   // mov eax, ecx
        {{0x8B, 0x44, 0x24, 0x04}, 4},                       // SIB, disp8
        {{0x8B, 0x04, 0x25, 1, 2, 3, 4}, 7},                 // SIB without base, disp32
        {{0x8B, 0x04, 0x24}, 3},                             // SIB
        {{0x8B, 0x05, 1, 2, 3, 4}, 6},                       // [disp32]
        {{0x8B, 0x84, 0x24, 1, 2, 3, 4}, 7},                 // SIB, disp32
        {{0x67, 0x8B, 0x06, 1, 2}, 5},                       // [disp16]
        {{0x67, 0x8B, 0x46, 1}, 4},                          // [bp + disp8]
        {{0x67, 0x8B, 0x84, 1, 2}, 5},                       // [si + disp16]
        {{0x69, 0xC0, 1, 2, 3, 4}, 6},                       // imul eax, eax, imm32
        {{0x66, 0x69, 0xC0, 1, 2}, 5},
        {{0x6B, 0xC0, 1}, 3},
        {{0x83, 0x7C, 0x24, 0x04, 0x00}, 5},                 // cmp [esp + 4], 0
        {{0x81, 0x7C, 0x24, 0x04, 1, 2, 3, 4}, 8},
        {{0xC7, 0x44, 0x24, 0x04, 1, 2, 3, 4}, 8},
        {{0x66, 0xC7, 0x00, 1, 2}, 5},
        {{0xF6, 0xC4, 0x01}, 3},                             // test ah, 1
        {{0xF6, 0xD0}, 2},                                   // not al
        {{0xF7, 0xC1, 1, 2, 3, 4}, 6},                       // test ecx, imm32
        {{0xF7, 0xD8}, 2},                                   // neg eax
        {{0xF0, 0x0F, 0xB1, 0x0A}, 4},                       // lock cmpxchg
        {{0x64, 0xA1, 0, 0, 0, 0}, 6},                       // mov eax, fs:[0]
        {{0x0F, 0xBA, 0xE0, 0x05}, 4},                       // bt eax, 5
        {{0x0F, 0xA4, 0xC2, 0x05}, 4},                       // shld
        {{0x0F, 0xA5, 0xC2}, 3},
        {{0x66, 0x0F, 0x70, 0xC1, 0x1B}, 5},                 // pshufd
        {{0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08}, 6},           // palignr
        {{0x66, 0x0F, 0x38, 0x00, 0xC1}, 5},                 // pshufb
        {{0xF3, 0x0F, 0x1E, 0xFB}, 4},                       // endbr32
        {{0x66, 0x2E, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 10}, // nopw cs:[eax + eax]
        {{0x0F, 0x20, 0xC0}, 3},                             // mov eax, cr0
        {{0x0F, 0x31}, 2},                                   // rdtsc
        {{0x9B, 0xDF, 0xE0}, 3},                             // fstsw ax
        {{0x9B}, 1},                                         // fwait on its own
        {{0xDD, 0x5C, 0x24, 0x08}, 4},                       // fstp qword [esp + 8]
        {{0xC5, 0x06}, 2},                                   // lds eax, [esi]
        {{0xC5, 0xF8, 0x77}, 3},                             // vzeroupper
        {{0xC4, 0xE3, 0x7D, 0x18, 0xC1, 0x01}, 6},           // vinsertf128
        {{0x0F, 0x04}, 0},
        {{0x0F, 0xFF}, 0},                                   // ud0 without its ModRM
        {{0x0F, 0x3B}, 0},
        {{0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x90}, 15},
        {{0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x90}, 0},
    }, cm32);
}

TEST(EHookCode, LengthsOf64BitCode)
{
    ExpectLengths({
        {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10},          // movabs rax, imm64
        {{0x49, 0xBB, 1, 2, 3, 4, 5, 6, 7, 8}, 10},
        {{0xB8, 1, 2, 3, 4}, 5},
        {{0x48, 0x05, 1, 2, 3, 4}, 6},                       // add rax, imm32
        {{0x48, 0x81, 0xEC, 1, 2, 3, 4}, 7},                 // sub rsp, imm32
        {{0x48, 0xC7, 0x44, 0x24, 0x20, 1, 2, 3, 4}, 9},
        {{0x48, 0x8B, 0x05, 1, 2, 3, 4}, 7},                 // mov rax, [rip + disp32]
        {{0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, 9},                 // mov eax, [moffs64]
        {{0x67, 0xA1, 1, 2, 3, 4}, 6},
        {{0x67, 0x8B, 0x06}, 3},                             // 32-bit addressing, not 16-bit
        {{0x41, 0xFF, 0xD3}, 3},                             // call r11
        {{0x41, 0x5C}, 2},                                   // pop r12
        {{0xF3, 0x48, 0xAB}, 3},                             // rep stosq
        {{0x48, 0x66, 0x05, 1, 2}, 5},                       // REX before a prefix is ignored
        {{0x66, 0x48, 0x05, 1, 2, 3, 4}, 7},
        {{0x4C, 0x8D, 0x05, 1, 2, 3, 4}, 7},                 // lea r8, [rip + disp32]
        {{0xC5, 0xFD, 0x6F, 0x05, 1, 2, 3, 4}, 8},           // vmovdqa ymm0, [rip + disp32]
        {{0xC5, 0xF8, 0x77}, 3},
        {{0xC4, 0xE2, 0x7D, 0x58, 0xC1}, 5},                 // vpbroadcastd
        {{0x62, 0xF1, 0x7C, 0x48, 0x28, 0xC1}, 6},           // vmovaps zmm0, zmm1
        {{0x06}, 0},                                         // push es
        {{0x9A, 1, 2, 3, 4, 5, 6}, 0},
        {{0xD4, 0x0A}, 0},
    }, cm64);
    TInstruction ins = Decode({0x48, 0x8B, 0x05, 1, 2, 3, 4}, cm64);
    EXPECT_EQ(ins.Reference, crRipRelative);
    EXPECT_EQ(ins.DisplacementOffset, 3u);
    EXPECT_EQ(Decode({0x67, 0x8B, 0x05, 1, 2, 3, 4}, cm64).Reference, crUnmovable); // wraps at 4 GB
    EXPECT_EQ(Decode({0x8B, 0x05, 1, 2, 3, 4}, cm32).Reference, crNone); // absolute in 32-bit code
    EXPECT_EQ(Decode({0x8B, 0x04, 0x25, 1, 2, 3, 4}, cm64).Reference, crNone);
}

TEST(EHookCode, FunctionEndStopsBehindTheFirstReturnOnly)
{
    // mov dword [eax], 0; leave; ret 8; nop
    const TBytes code = {0xC7, 0x00, 0, 0, 0, 0, 0xC9, 0xC2, 8, 0, 0x90};
    EXPECT_EQ(FunctionEnd(code.data(), code.size(), cm32), 10u);
    EXPECT_EQ(FunctionEnd(code.data(), 9, cm32), 1u);  // the return runs past the length
    EXPECT_EQ(FunctionEnd(code.data(), 0, cm32), 0u);
    const TBytes undecodable = {0x06, 0xC3}; // push es does not exist in 64-bit code
    EXPECT_EQ(FunctionEnd(undecodable.data(), undecodable.size(), cm64), 2u);
    const TBytes far = {0x48, 0x89, 0xC8, 0xCB};
    EXPECT_EQ(FunctionEnd(far.data(), far.size(), cm64), 4u);
}

TEST(EHookCode, DisplacedLengthCoversWholeInstructions)
{
    const TBytes code = {0x55, 0x89, 0xE5, 0x83, 0xEC, 0x18, 0xC3};
    EXPECT_EQ(DisplacedLength(code.data(), code.size(), 5, cm32), 6u);
    EXPECT_EQ(DisplacedLength(code.data(), 5, 5, cm32), 0u);
    const TBytes undecodable = {0x90, 0x0F, 0x04, 0x90, 0x90, 0x90};
    EXPECT_EQ(DisplacedLength(undecodable.data(), undecodable.size(), 5, cm32), 0u);
}

TEST(EHookCode, TrampolineOfAShortJumpOutOfTheDisplacedBytes)
{
    // jmp +5; mov eax, 99 | mov eax, [esp + 4] ...
    const TBytes code = {0xEB, 0x05, 0xB8, 99, 0, 0, 0, 0x8B, 0x44, 0x24, 0x04};
    EXPECT_EQ(TrampolineSize(code.data(), 7, cm32), 12u);
    const uint64_t at = 0x401000, trampoline = 0x10000000;
    TBytes out;
    ASSERT_TRUE(BuildTrampoline(code.data(), 7, at, trampoline, cm32, out));
    ASSERT_EQ(out.size(), 17u);
    // The copied jump leads to the 5-byte jump behind the jump back ...
    EXPECT_EQ(out[0], 0xEB);
    EXPECT_EQ(2 + static_cast<int8_t>(out[1]), 12);
    EXPECT_TRUE(std::equal(code.begin() + 2, code.begin() + 7, out.begin() + 2));
    // ... the jump back continues at the target's eighth byte ...
    EXPECT_EQ(out[7], 0xE9);
    EXPECT_EQ(trampoline + 12 + Rel32At(out, 8), at + 7);
    // ... and the added jump reaches the short jump's former destination.
    EXPECT_EQ(out[12], 0xE9);
    EXPECT_EQ(trampoline + 17 + Rel32At(out, 13), at + 7);

    // A short jump within the displaced bytes is copied as it is.
    const TBytes inner = {0x74, 0x01, 0x90, 0x31, 0xC0, 0x90};
    EXPECT_EQ(TrampolineSize(inner.data(), 6, cm32), 6u);
    ASSERT_TRUE(BuildTrampoline(inner.data(), 6, at, trampoline, cm32, out));
    EXPECT_EQ(out.size(), 11u);
    EXPECT_TRUE(std::equal(inner.begin(), inner.end(), out.begin()));
}

TEST(EHookCode, TrampolineRebasesNearCallsAndJumps)
{
    // call +0x100; jz +0x200 (0F 84)
    const TBytes code = {0xE8, 0x00, 0x01, 0, 0, 0x0F, 0x84, 0x00, 0x02, 0, 0};
    const uint64_t at = 0x00401000, trampoline = 0x7FFE0000;
    TBytes out;
    ASSERT_TRUE(BuildTrampoline(code.data(), code.size(), at, trampoline, cm32, out));
    EXPECT_EQ(uint32_t(trampoline + 5 + Rel32At(out, 1)), at + 5 + 0x100);
    EXPECT_EQ(uint32_t(trampoline + 11 + Rel32At(out, 7)), at + 11 + 0x200);
    // Across the top of the 32-bit address space the displacement wraps.
    ASSERT_TRUE(BuildTrampoline(code.data(), code.size(), 0xFFFF0000, 0x1000, cm32, out));
    EXPECT_EQ(uint32_t(0x1000 + 5 + Rel32At(out, 1)), uint32_t(0xFFFF0000 + 5 + 0x100));
    // A 16-bit relative call cannot be moved.
    const TBytes call16 = {0x66, 0xE8, 0x10, 0x00, 0x90};
    EXPECT_FALSE(BuildTrampoline(call16.data(), call16.size(), at, trampoline, cm32, out));
    EXPECT_TRUE(out.empty());
}

TEST(EHookCode, TrampolineOf64BitCodeRebasesRipRelativeOperandsWithinReach)
{
    // mov eax, [rip + 0x1000]; add eax, ecx
    const TBytes code = {0x8B, 0x05, 0x00, 0x10, 0, 0, 0x01, 0xC8};
    const uint64_t at = 0x7FF612340000;
    TBytes out;
    ASSERT_TRUE(BuildTrampoline(code.data(), 6, at, at - 0x10000, cm64, out));
    EXPECT_EQ(at - 0x10000 + 6 + Rel32At(out, 2), at + 6 + 0x1000);
    EXPECT_EQ(at - 0x10000 + 11 + Rel32At(out, 7), at + 6);
    // The operand's address is out of reach of a trampoline 2 GB below.
    EXPECT_FALSE(BuildTrampoline(code.data(), 6, at, at - 0x7FFFF000, cm64, out));
    EXPECT_TRUE(out.empty());
    // So is the way back from a trampoline 3 GB away.
    const TBytes plain = {0x48, 0x83, 0xEC, 0x28, 0x31, 0xC0};
    EXPECT_FALSE(BuildTrampoline(plain.data(), plain.size(), at, at + 0xC0000000, cm64, out));
    // A short jump leads through a 64-bit reachable jump, a call is rebased.
    const TBytes branches = {0x75, 0x10, 0xE8, 0x00, 0x01, 0, 0};
    ASSERT_TRUE(BuildTrampoline(branches.data(), branches.size(), at, at + 0x40000000, cm64, out));
    EXPECT_EQ(at + 0x40000000 + 7 + Rel32At(out, 3), at + 7 + 0x100);
    EXPECT_EQ(2 + static_cast<int8_t>(out[1]), 12);
    EXPECT_EQ(at + 0x40000000 + 17 + Rel32At(out, 13), at + 2 + 0x10);
}

TEST(EHookCode, NonNtRecognisers)
{
    EXPECT_TRUE(IsSharedAreaAddress(0x80000000u, false));
    EXPECT_TRUE(IsSharedAreaAddress(0xBFF70000u, false));
    EXPECT_FALSE(IsSharedAreaAddress(0x7FFFFFFFu, false));
    EXPECT_FALSE(IsSharedAreaAddress(0x80000000u, true));

    const TBytes stub = {0x68, 0x10, 0x20, 0x30, 0x40, 0xE9, 1, 2, 3, 4};
    const TBytes other = {0x68, 0x11, 0x20, 0x30, 0x40, 0xE9, 9, 9, 9, 9};
    const TBytes same = {0x68, 0x10, 0x20, 0x30, 0x40, 0xE9, 9, 9, 9, 9};
    const TBytes noJump = {0x68, 0x10, 0x20, 0x30, 0x40, 0xE8, 1, 2, 3, 4};
    EXPECT_TRUE(IsPushJumpStub(stub.data(), stub.size()));
    EXPECT_FALSE(IsPushJumpStub(stub.data(), 5));
    EXPECT_FALSE(IsPushJumpStub(noJump.data(), noJump.size()));
    EXPECT_TRUE(SamePushJumpStub(stub.data(), 6, same.data(), 6));
    EXPECT_FALSE(SamePushJumpStub(stub.data(), 6, other.data(), 6));
    EXPECT_FALSE(SamePushJumpStub(noJump.data(), 6, noJump.data(), 6));
}

#ifdef _WIN32
// The control library's code, listed by objdump for this target at build
// time (tests/exceptions/ehook_objdump.py), read from the test's folder.
TEST(EHookCode, EveryInstructionOfTheControlLibraryAsTheDisassemblerDecodesIt)
{
    std::ifstream file("QovPlayer.ocx", std::ios::binary);
    std::ifstream list("QovPlayer.ocx.insns");
    ASSERT_TRUE(file && list) << "QovPlayer.ocx and its instruction list must be built";
    std::stringstream content;
    content << file.rdbuf();
    const std::string image = content.str();
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());

    std::vector<std::pair<size_t, size_t>> sections; // file offset, size
    size_t checked = 0, failed = 0;
    std::string line;
    while (std::getline(list, line)) {
        size_t offset, length;
        if (std::sscanf(line.c_str(), "S %zu %zu", &offset, &length) == 2) {
            ASSERT_LE(offset + length, image.size());
            sections.push_back({offset, length});
            continue;
        }
        ASSERT_EQ(std::sscanf(line.c_str(), "%zu %zu", &offset, &length), 2) << line;
        size_t end = 0;
        for (const auto& s : sections)
            if (offset >= s.first && offset < s.first + s.second)
                end = s.first + s.second;
        ASSERT_NE(end, 0u) << line;
        size_t decoded;
        const bool valid = InstructionLength(bytes + offset, end - offset, NativeCodeMode, decoded);
        ++checked;
        if (!valid || decoded != length) {
            if (++failed <= 20) {
                std::ostringstream hex;
                for (size_t i = 0; i < length; ++i)
                    hex << std::hex << int(bytes[offset + i]) << ' ';
                ADD_FAILURE() << "at file offset " << offset << ": " << hex.str() << "decoded as " << decoded
                              << (valid ? "" : " (not decodable)");
            }
        }
    }
    EXPECT_EQ(failed, 0u);
    EXPECT_GT(checked, 10000u);
}
#endif
