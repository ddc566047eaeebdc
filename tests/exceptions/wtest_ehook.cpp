// Code hooking against the running process: inline hooks of procedures
// assembled into executable memory, import address table entries of a test
// DLL, slots of a test class's virtual-method table, and the unit's end step
// that puts everything back.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "EHook.h"

using namespace qov::exceptions;

namespace {

using TBytes = std::vector<uint8_t>;
using TProc = int (*)(int);

// One page of executable memory into which the tests assemble procedures.
class TCodePage {
public:
    TCodePage()
        : FBase(static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE)))
    {
    }
    ~TCodePage() { VirtualFree(FBase, 0, MEM_RELEASE); }
    TCodePage(const TCodePage&) = delete;
    TCodePage& operator=(const TCodePage&) = delete;

    uint8_t* At(size_t offset) const { return FBase + offset; }
    uint8_t* Put(size_t offset, const TBytes& code) const
    {
        std::memcpy(FBase + offset, code.data(), code.size());
        FlushInstructionCache(GetCurrentProcess(), FBase + offset, code.size());
        return FBase + offset;
    }
    // A 32-bit displacement at offset, relative to end, that leads to target.
    void PutRel32(size_t offset, size_t end, size_t target) const
    {
        int32_t rel = static_cast<int32_t>(target) - static_cast<int32_t>(end);
        std::memcpy(FBase + offset, &rel, 4);
    }

private:
    uint8_t* FBase;
};

// Procedures int f(int x) in the code of this architecture, each starting
// with what the trampoline has to move.
struct TTargets {
    TCodePage Page;
    TProc ShortJump, NearCall, ConditionalNear, PrefixAndSib, RipRelative = nullptr;
    uint8_t* Undecodable;
    uint8_t* ImportStub;

    TTargets()
    {
#ifdef _WIN64
        // jmp +5 (out of the first five bytes); mov eax, 99; lea eax, [rcx + 1]; ret
        ShortJump = Proc(0x000, {0xEB, 0x05, 0xB8, 99, 0, 0, 0, 0x8D, 0x41, 0x01, 0xC3});
        // call helper (eax = 7); add eax, ecx; ret
        NearCall = Proc(0x040, {0xE8, 0, 0, 0, 0, 0x01, 0xC8, 0xC3});
        // xor eax, eax; jz +rel32 (0F 84); mov eax, 99; ret | lea eax, [rcx + 3]; ret
        ConditionalNear = Proc(0x080, {0x31, 0xC0, 0x0F, 0x84, 0, 0, 0, 0, 0xB8, 99, 0, 0, 0, 0xC3});
        Page.Put(0x0C0, {0x8D, 0x41, 0x03, 0xC3});
        // lea rax, [rcx + rcx] (REX, ModRM with SIB); add ax, 16 (operand-size prefix); ret
        PrefixAndSib = Proc(0x140, {0x48, 0x8D, 0x04, 0x09, 0x66, 0x05, 0x10, 0x00, 0xC3});
        // mov eax, [rip + to the constant 40]; add eax, ecx; ret
        RipRelative = Proc(0x1C0, {0x8B, 0x05, 0, 0, 0, 0, 0x01, 0xC8, 0xC3});
        Page.PutRel32(0x1C2, 0x1C6, 0x300);
        // push es: not an instruction of 64-bit code
        Undecodable = Page.Put(0x180, {0x90, 0x06, 0x90, 0x90, 0x90, 0xC3});
        // jmp [rip + to the cell]
        ImportStub = Page.Put(0x200, {0xFF, 0x25, 0, 0, 0, 0});
        Page.PutRel32(0x202, 0x206, 0x280);
#else
        // jmp +5 (out of the first five bytes); mov eax, 99; mov eax, [esp + 4]; add eax, 1; ret
        ShortJump = Proc(0x000, {0xEB, 0x05, 0xB8, 99, 0, 0, 0, 0x8B, 0x44, 0x24, 0x04, 0x83, 0xC0, 0x01, 0xC3});
        // call helper (eax = 7); add eax, [esp + 4]; ret
        NearCall = Proc(0x040, {0xE8, 0, 0, 0, 0, 0x03, 0x44, 0x24, 0x04, 0xC3});
        // xor eax, eax; jz +rel32 (0F 84); mov eax, 99; ret | mov eax, [esp + 4]; add eax, 3; ret
        ConditionalNear = Proc(0x080, {0x31, 0xC0, 0x0F, 0x84, 0, 0, 0, 0, 0xB8, 99, 0, 0, 0, 0xC3});
        Page.Put(0x0C0, {0x8B, 0x44, 0x24, 0x04, 0x83, 0xC0, 0x03, 0xC3});
        // mov eax, [esp + 4] (ModRM with SIB); add ax, 16 (operand-size prefix); ret
        PrefixAndSib = Proc(0x140, {0x8B, 0x44, 0x24, 0x04, 0x66, 0x05, 0x10, 0x00, 0xC3});
        // 0F 04: no instruction
        Undecodable = Page.Put(0x180, {0x90, 0x0F, 0x04, 0x90, 0x90, 0xC3});
        // jmp [cell]
        ImportStub = Page.Put(0x200, {0xFF, 0x25, 0, 0, 0, 0});
        uint32_t cell = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Page.At(0x280)));
        std::memcpy(Page.At(0x202), &cell, 4);
#endif
        Page.PutRel32(0x041, 0x045, 0x100);
        Page.Put(0x100, {0xB8, 0x07, 0, 0, 0, 0xC3});
        Page.PutRel32(0x084, 0x088, 0x0C0);
        const int32_t constant = 40;
        std::memcpy(Page.At(0x300), &constant, 4);
        void* shortJump = reinterpret_cast<void*>(ShortJump);
        std::memcpy(Page.At(0x280), &shortJump, sizeof shortJump);
    }

    TProc Proc(size_t offset, const TBytes& code) { return reinterpret_cast<TProc>(Page.Put(offset, code)); }
};

// The trampoline of the procedure hooked at the moment.
TProc Trampoline = nullptr;

int HookPlus1000(int x)
{
    return Trampoline(x) + 1000;
}

TBytes BytesAt(const void* code, size_t count)
{
    const auto* p = static_cast<const uint8_t*>(code);
    return TBytes(p, p + count);
}

DWORD ProtectionOf(const void* address)
{
    MEMORY_BASIC_INFORMATION info;
    VirtualQuery(address, &info, sizeof info);
    return info.Protect;
}

// Where the jump (E9) at code leads.
const uint8_t* JumpDestination(const void* code)
{
    const auto* p = static_cast<const uint8_t*>(code);
    int32_t rel;
    std::memcpy(&rel, p + 1, 4);
    return p + 5 + rel;
}

void* HookAddressOf(const void* target)
{
    const uint8_t* destination = JumpDestination(target);
#ifdef _WIN64
    // The relay: jmp [rip + 0] and the hook's address.
    EXPECT_EQ(BytesAt(destination, 6), (TBytes{0xFF, 0x25, 0, 0, 0, 0}));
    EXPECT_EQ(ProtectionOf(destination), static_cast<DWORD>(PAGE_EXECUTE_READ));
    void* hook;
    std::memcpy(&hook, destination + 6, sizeof hook);
    return hook;
#else
    return const_cast<uint8_t*>(destination);
#endif
}

// Hooks target, calls through the hook and the trampoline, hooks again and
// unhooks; expected is what the procedure gives for 5.
void CheckHook(TProc target, int expected)
{
    const TBytes original = BytesAt(reinterpret_cast<void*>(target), 16);
    ASSERT_EQ(target(5), expected);

    void* trampoline = HookCode(reinterpret_cast<void*>(target), reinterpret_cast<void*>(HookPlus1000), "target");
    ASSERT_NE(trampoline, nullptr);
    Trampoline = reinterpret_cast<TProc>(trampoline);
    EXPECT_EQ(target(5), expected + 1000);
    EXPECT_EQ(Trampoline(5), expected);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(target)[0], 0xE9);
    EXPECT_EQ(HookAddressOf(reinterpret_cast<void*>(target)), reinterpret_cast<void*>(HookPlus1000));
    EXPECT_EQ(ProtectionOf(trampoline), static_cast<DWORD>(PAGE_EXECUTE_READ));

    // A second hook returns the first trampoline and writes nothing.
    const TBytes hooked = BytesAt(reinterpret_cast<void*>(target), 16);
    EXPECT_EQ(HookCode(reinterpret_cast<void*>(target), reinterpret_cast<void*>(HookPlus1000), "target"),
              trampoline);
    EXPECT_EQ(BytesAt(reinterpret_cast<void*>(target), 16), hooked);

    EXPECT_TRUE(UnhookCode(reinterpret_cast<void*>(target)));
    EXPECT_EQ(BytesAt(reinterpret_cast<void*>(target), 16), original);
    EXPECT_EQ(target(5), expected);
    EXPECT_FALSE(UnhookCode(reinterpret_cast<void*>(target)));
}

const DWORD Marker = 0x0BADF00D;

DWORD WINAPI MarkerTickCount()
{
    return Marker;
}

using TTickProc = DWORD(__cdecl*)();

struct TImportDll {
    HMODULE Module = LoadLibraryA("ehook_import_dll.dll");
    TTickProc Tick = Module ? reinterpret_cast<TTickProc>(
                                  reinterpret_cast<void (*)()>(GetProcAddress(Module, "EhookTickCount")))
                            : nullptr;
    void* RealTickCount =
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
};


// Tables and slots read where the compiler does not look: it would take the
// slot of a table it knows from the program's constant data instead.
__attribute__((noipa)) void* VtableOf(const void* object)
{
    void* table;
    std::memcpy(&table, object, sizeof table);
    return table;
}

__attribute__((noipa)) void* SlotOf(void* table, int slot)
{
    return static_cast<void**>(table)[slot];
}

} // namespace

// The test class: outside the unnamed namespace and called from a procedure
// the compiler does not look into, so that the call goes through the table.
struct TShape {
    virtual int Sides() const { return 3; }
    virtual int Corners() const { return Sides(); }
};
struct TSquare : TShape {
    int Sides() const override { return 4; }
};

__attribute__((noipa)) int SidesOf(const TShape* shape)
{
    return shape->Sides();
}

TEST(EHook, InlineHooksMoveBranchesPrefixesAndOperandsIntoTheTrampoline)
{
    TTargets targets;
    {
        SCOPED_TRACE("short jump out of the first five bytes");
        CheckHook(targets.ShortJump, 6);
    }
    {
        SCOPED_TRACE("near call");
        CheckHook(targets.NearCall, 12);
    }
    {
        SCOPED_TRACE("0F 84 jump");
        CheckHook(targets.ConditionalNear, 8);
    }
    {
        SCOPED_TRACE("prefix and ModRM with SIB");
#ifdef _WIN64
        CheckHook(targets.PrefixAndSib, 26);
#else
        CheckHook(targets.PrefixAndSib, 21);
#endif
    }
#ifdef _WIN64
    {
        SCOPED_TRACE("RIP-relative operand");
        CheckHook(targets.RipRelative, 45);
    }
#endif
}

TEST(EHook, ImportStubIsFollowedToTheProcedureItLeadsTo)
{
    TTargets targets;
    const TBytes stub = BytesAt(targets.ImportStub, 6);
    const TBytes original = BytesAt(reinterpret_cast<void*>(targets.ShortJump), 8);
    Trampoline = reinterpret_cast<TProc>(
        HookCode(targets.ImportStub, reinterpret_cast<void*>(HookPlus1000), "stub"));
    EXPECT_EQ(BytesAt(targets.ImportStub, 6), stub);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(targets.ShortJump)[0], 0xE9);
    EXPECT_EQ(reinterpret_cast<TProc>(targets.ImportStub)(1), 1002);
    EXPECT_TRUE(UnhookCode(targets.ImportStub));
    EXPECT_EQ(BytesAt(reinterpret_cast<void*>(targets.ShortJump), 8), original);
}

TEST(EHook, RefusedHookLeavesTheTargetAndNoEntry)
{
    TTargets targets;
    const TBytes original = BytesAt(targets.Undecodable, 6);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            HookCode(targets.Undecodable, reinterpret_cast<void*>(HookPlus1000), "odd");
            ADD_FAILURE() << "hooked";
        } catch (const EHookingError& e) {
            EXPECT_STREQ(e.what(), "Cannot hook the procedure \"odd\".");
        }
        EXPECT_EQ(BytesAt(targets.Undecodable, 6), original);
        EXPECT_FALSE(UnhookCode(targets.Undecodable));
    }
    try {
        HookCode(nullptr, reinterpret_cast<void*>(HookPlus1000), "nothing");
        ADD_FAILURE() << "hooked";
    } catch (const EProcNull& e) {
        EXPECT_STREQ(e.what(), "Cannot hook a null procedure (\"nothing\").");
    }
}

TEST(EHook, HookThatCannotBeWrittenLeavesNoEntry)
{
    // The procedure lies in a view that may only be read and executed: its
    // protection cannot be changed, so the jump cannot be written.
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_EXECUTE_READWRITE, 0, 4096, nullptr);
    ASSERT_NE(section, nullptr);
    auto* writable = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 4096));
    auto* code = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, 4096));
    ASSERT_TRUE(writable && code);
#ifdef _WIN64
    const TBytes procedure = {0x8D, 0x41, 0x01, 0x90, 0x90, 0xC3}; // lea eax, [rcx + 1]
#else
    const TBytes procedure = {0x8B, 0x44, 0x24, 0x04, 0x40, 0xC3}; // mov eax, [esp + 4]; inc eax
#endif
    std::memcpy(writable, procedure.data(), procedure.size());
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THROW(HookCode(code, reinterpret_cast<void*>(HookPlus1000), "view"), EHookingError);
        EXPECT_EQ(BytesAt(code, procedure.size()), procedure);
        EXPECT_FALSE(UnhookCode(code));
    }
    EXPECT_EQ(reinterpret_cast<TProc>(code)(4), 5);
    UnmapViewOfFile(code);
    UnmapViewOfFile(writable);
    CloseHandle(section);
}

#ifdef _WIN64
TEST(EHook, OperandOutOfTheTrampolinesReachIsRefused)
{
    // A procedure with free memory below it, so that its trampoline comes to
    // lie below it, reading 2 GB above itself: no trampoline within reach of
    // the procedure reaches that operand too.
    uint8_t* code = nullptr;
    for (uintptr_t at = 0x400000000; at < 0x4000000000 && !code; at += 0x100000000) {
        MEMORY_BASIC_INFORMATION below;
        if (VirtualQuery(reinterpret_cast<void*>(at - 0x100000), &below, sizeof below) == sizeof below &&
            below.State == MEM_FREE && below.RegionSize >= 0x100000)
            code = static_cast<uint8_t*>(VirtualAlloc(reinterpret_cast<void*>(at), 4096, MEM_RESERVE | MEM_COMMIT,
                                                      PAGE_EXECUTE_READWRITE));
    }
    ASSERT_NE(code, nullptr);
    const TBytes procedure = {0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0x7F, 0xC3}; // mov eax, [rip + 0x7FFFFFF0]
    std::memcpy(code, procedure.data(), procedure.size());
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THROW(HookCode(code, reinterpret_cast<void*>(HookPlus1000), "far"), EHookingError);
        EXPECT_EQ(BytesAt(code, procedure.size()), procedure);
        EXPECT_FALSE(UnhookCode(code));
    }
    VirtualFree(code, 0, MEM_RELEASE);
}
#endif

TEST(EHook, WriteCodeRestoresTheProtectionAndWriteJumpLeadsOn)
{
    TTargets targets;
    uint8_t* jump = targets.Page.At(0x380);
    DWORD protection;
    ASSERT_TRUE(VirtualProtect(targets.Page.At(0), 4096, PAGE_EXECUTE_READ, &protection));
    ASSERT_TRUE(WriteJump(jump, reinterpret_cast<void*>(targets.ShortJump)));
    EXPECT_EQ(jump[0], 0xE9);
    EXPECT_EQ(ProtectionOf(jump), static_cast<DWORD>(PAGE_EXECUTE_READ));
    EXPECT_EQ(reinterpret_cast<TProc>(jump)(5), 6);
    const uint8_t ret = 0xC3;
    ASSERT_TRUE(WriteCode(jump + 8, &ret, 1));
    EXPECT_EQ(jump[8], 0xC3);
    EXPECT_EQ(ProtectionOf(jump), static_cast<DWORD>(PAGE_EXECUTE_READ));
    // Memory that is not there cannot be written.
    EXPECT_FALSE(WriteCode(targets.Page.At(4096), &ret, 1));
}

TEST(EHook, WriteCodeAcrossTwoPagesGivesEachItsOwnProtectionBack)
{
    // Code whose last bytes run into a read-only data page, and a read-only
    // page followed by code.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(base);
    const uint8_t bytes[5] = {0xE9, 1, 2, 3, 4};
    const DWORD kinds[2][2] = {{PAGE_EXECUTE_READ, PAGE_READONLY}, {PAGE_READONLY, PAGE_EXECUTE_READ}};
    for (const auto& kind : kinds) {
        DWORD previous;
        ASSERT_TRUE(VirtualProtect(base, page, kind[0], &previous));
        ASSERT_TRUE(VirtualProtect(base + page, page, kind[1], &previous));
        uint8_t* at = base + page - 2;
        ASSERT_TRUE(WriteCode(at, bytes, sizeof bytes));
        EXPECT_EQ(std::memcmp(at, bytes, sizeof bytes), 0);
        EXPECT_EQ(ProtectionOf(base), kind[0]);
        EXPECT_EQ(ProtectionOf(base + page), kind[1]);
    }
    VirtualFree(base, 0, MEM_RELEASE);
}

TEST(EHook, DecoderAndFunctionEndOnLiveCode)
{
    TTargets targets;
    size_t length = 0;
    EXPECT_TRUE(InstructionLength(reinterpret_cast<void*>(targets.PrefixAndSib), length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(FunctionEnd(reinterpret_cast<void*>(targets.ShortJump), 64), 11u + (NativeCodeMode == cm32 ? 4 : 0));
    EXPECT_EQ(FunctionEnd(reinterpret_cast<void*>(targets.ShortJump), 0), 0u);
    // A range that runs into memory that cannot be read.
    EXPECT_EQ(FunctionEnd(targets.Page.At(4000), 200), 0u);
    EXPECT_FALSE(InstructionLength(nullptr, length));
}

TEST(EHook, ImportPatchRedirectsTheModulesCallsUntilRestored)
{
    TImportDll dll;
    ASSERT_TRUE(dll.Module && dll.Tick && dll.RealTickCount);
    void* marker = reinterpret_cast<void*>(MarkerTickCount);
    EXPECT_EQ(PatchImport(dll.Module, "KERNEL32.DLL", dll.RealTickCount, false, false, "kernel32.dll.GetTickCount",
                          marker),
              dll.RealTickCount);
    EXPECT_EQ(dll.Tick(), Marker);
    EXPECT_EQ(PatchImport(dll.Module, "kernel32.dll", marker, true, false, "kernel32.dll.GetTickCount",
                          dll.RealTickCount),
              marker);
    EXPECT_NE(dll.Tick(), Marker);

    void* replaced = nullptr;
    EXPECT_TRUE(PatchImportInModules({"ehook_missing.dll", "ehook_import_dll.dll"}, "kernel32.dll", false, replaced,
                                     marker, "GetTickCount"));
    EXPECT_EQ(replaced, dll.RealTickCount);
    EXPECT_EQ(dll.Tick(), Marker);
    PatchImport(dll.Module, "kernel32.dll", marker, true, false, "kernel32.dll.GetTickCount", dll.RealTickCount);
    EXPECT_NE(dll.Tick(), Marker);
}

TEST(EHook, ImportPatchOfAnImportTheModuleDoesNotHave)
{
    TImportDll dll;
    ASSERT_TRUE(dll.Module);
    void* beep = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "Beep"));
    void* marker = reinterpret_cast<void*>(MarkerTickCount);
    try {
        PatchImport(dll.Module, "kernel32.dll", beep, false, false, "kernel32.dll.Beep", marker);
        ADD_FAILURE() << "patched";
    } catch (const EHookingError& e) {
        EXPECT_STREQ(e.what(), "Cannot hook the procedure \"kernel32.dll.Beep\".");
    }
    EXPECT_EQ(PatchImport(dll.Module, "kernel32.dll", beep, false, true, "kernel32.dll.Beep", marker), nullptr);
    EXPECT_EQ(PatchImport(dll.Module, "ehook_nothing.dll", dll.RealTickCount, false, true, "x", marker), nullptr);
    // Not a module at all.
    TCodePage page;
    EXPECT_EQ(PatchImport(reinterpret_cast<HMODULE>(page.At(0)), "kernel32.dll", beep, false, true, "x", marker),
              nullptr);
    EXPECT_THROW(PatchImport(dll.Module, "kernel32.dll", nullptr, false, true, "x", marker), EProcNull);
    EXPECT_THROW(PatchImport(dll.Module, "kernel32.dll", dll.RealTickCount, false, true, "x", nullptr), EProcNull);
    EXPECT_NE(dll.Tick(), Marker);
}

TEST(EHook, VirtualMethodSlotPatchedOnceAndRestored)
{
    TShape triangle;
    TSquare square;
    TShape* volatile shape = &triangle;
    void* table = VtableOf(&triangle);
    void* original = SlotOf(table, 0);
    void* squareSides = SlotOf(VtableOf(&square), 0);

    EXPECT_EQ(PatchVmtSlot(table, 0, squareSides), original);
    EXPECT_EQ(SlotOf(table, 0), squareSides);
    EXPECT_EQ(SidesOf(shape), 4);
    EXPECT_EQ(PatchVmtSlot(table, 0, squareSides), original);
    EXPECT_TRUE(RestoreVmtSlot(table, 0));
    EXPECT_EQ(SidesOf(shape), 3);
    EXPECT_EQ(SlotOf(table, 0), original);
    EXPECT_FALSE(RestoreVmtSlot(table, 0));

    // A table outside every module is not written, but remembered.
    void* fake[2] = {original, original};
    EXPECT_EQ(PatchVmtSlot(fake, 1, squareSides), original);
    EXPECT_EQ(fake[1], original);
    EXPECT_TRUE(RestoreVmtSlot(fake, 1));
}

TEST(EHook, EndStepPutsBackEveryPatch)
{
    TTargets targets;
    TImportDll dll;
    ASSERT_TRUE(dll.Module);
    const TBytes shortJump = BytesAt(reinterpret_cast<void*>(targets.ShortJump), 16);
    const TBytes nearCall = BytesAt(reinterpret_cast<void*>(targets.NearCall), 16);
    TShape triangle;
    void* table = VtableOf(&triangle);
    void* original = SlotOf(table, 1);

    Trampoline = reinterpret_cast<TProc>(
        HookCode(reinterpret_cast<void*>(targets.ShortJump), reinterpret_cast<void*>(HookPlus1000), "a"));
    HookCode(reinterpret_cast<void*>(targets.NearCall), reinterpret_cast<void*>(HookPlus1000), "b");
    PatchImport(dll.Module, "kernel32.dll", dll.RealTickCount, false, false, "t",
                reinterpret_cast<void*>(MarkerTickCount));
    PatchVmtSlot(table, 1, SlotOf(table, 0));
    ASSERT_EQ(dll.Tick(), Marker);

    EHookDone();
    EXPECT_EQ(BytesAt(reinterpret_cast<void*>(targets.ShortJump), 16), shortJump);
    EXPECT_EQ(BytesAt(reinterpret_cast<void*>(targets.NearCall), 16), nearCall);
    EXPECT_NE(dll.Tick(), Marker);
    EXPECT_EQ(SlotOf(table, 1), original);
    EXPECT_EQ(PatchVmtSlot(table, 1, nullptr), nullptr); // no list any more
    EHookInit();
}
