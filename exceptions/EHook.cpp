#include "EHook.h"

#include <cstring>

#include "ECore.h"

namespace qov::exceptions {

namespace {

// One hooked procedure. The trampoline (with the relay on x86-64) lies in
// pages of its own, executable and not writable once written.
struct TInlineHook {
    void* Target;
    uint8_t* Trampoline;
    size_t TrampolineSize;
    std::vector<uint8_t> Saved; // the displaced bytes
};

// One replaced import address table entry.
struct TImportPatch {
    HMODULE Module;
    std::string DllName;
    void* Replaced;
    void* New;
};

struct TMethodPatch {
    void* Table;
    void* Previous;
    int Slot;
};

bool IsNtPlatform()
{
    return (GetVersion() & 0x80000000u) == 0;
}

HMODULE ModuleOf(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return nullptr;
    return module;
}

std::string CannotHook(const std::string& name)
{
    return Format("Cannot hook the procedure \"%s\".", name.c_str());
}

std::string NullProcedure(const std::string& name)
{
    return Format("Cannot hook a null procedure (\"%s\").", name.c_str());
}

std::string InSharedArea(const void* address)
{
    return Format("Cannot hook the module \"%s\" located into the shared-area.",
                  ModuleFileName(ModuleOf(address)).c_str());
}

// A table slot is written only inside a loaded module's image.
void WriteSlot(void* table, int slot, void* value)
{
    void** cell = static_cast<void**>(table) + slot;
    if (ModuleOf(cell))
        WriteCode(cell, &value, sizeof value);
}

class TLock {
public:
    explicit TLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
    ~TLock() { LeaveCriticalSection(&FSection); }
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;

private:
    CRITICAL_SECTION& FSection;
};

} // namespace

// The patched virtual-method table slots of the process.
class THookedMethodsList {
public:
    THookedMethodsList() { InitializeCriticalSection(&FLock); }
    ~THookedMethodsList()
    {
        {
            TLock lock(FLock);
            for (size_t i = FItems.size(); i-- > 0;)
                WriteSlot(FItems[i].Table, FItems[i].Slot, FItems[i].Previous);
            FItems.clear();
        }
        DeleteCriticalSection(&FLock);
    }
    THookedMethodsList(const THookedMethodsList&) = delete;
    THookedMethodsList& operator=(const THookedMethodsList&) = delete;

    void* Patch(void* table, int slot, void* value)
    {
        TLock lock(FLock);
        void** cell = static_cast<void**>(table) + slot;
        if (!IsReadableRange(cell, sizeof *cell))
            return nullptr;
        void* current = *cell;
        if (current == value) {
            for (const TMethodPatch& item : FItems)
                if (item.Table == table && item.Slot == slot)
                    return item.Previous;
            return current;
        }
        FItems.reserve(FItems.size() + 1);
        WriteSlot(table, slot, value);
        FItems.push_back({table, current, slot});
        return current;
    }

    bool Restore(void* table, int slot)
    {
        TLock lock(FLock);
        for (size_t i = FItems.size(); i-- > 0;) {
            if (FItems[i].Table == table && FItems[i].Slot == slot) {
                WriteSlot(table, slot, FItems[i].Previous);
                FItems.erase(FItems.begin() + static_cast<ptrdiff_t>(i));
                return true;
            }
        }
        return false;
    }

private:
    CRITICAL_SECTION FLock;
    std::vector<TMethodPatch> FItems;
};

namespace {

std::vector<TInlineHook>* InlineHooks = nullptr;
std::vector<TImportPatch>* ImportPatches = nullptr;
THookedMethodsList* HookedMethods = nullptr;

#ifdef _WIN64
// A block of size bytes within reach of a 32-bit displacement from target,
// the nearest free place below it first, then above it.
uint8_t* AllocateCode(const void* target, size_t size)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uintptr_t granularity = info.dwAllocationGranularity;
    const uintptr_t lowest = reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress);
    const uintptr_t highest = reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress);
    const uintptr_t at = reinterpret_cast<uintptr_t>(target);
    const uintptr_t reach = 0x7FF00000; // 2 GB less room for the block and the target's bytes
    const uintptr_t low = at - lowest > reach ? at - reach : lowest;
    const uintptr_t high = highest - at > reach ? at + reach : highest;
    auto allocate = [&](uintptr_t address) {
        return static_cast<uint8_t*>(VirtualAlloc(reinterpret_cast<void*>(address), size,
                                                  MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    };
    MEMORY_BASIC_INFORMATION region;
    for (uintptr_t a = at / granularity * granularity; a >= low;) {
        if (VirtualQuery(reinterpret_cast<void*>(a), &region, sizeof region) != sizeof region)
            break;
        uintptr_t next = a;
        if (region.State == MEM_FREE) {
            if (uint8_t* block = allocate(a))
                return block;
        } else {
            next = reinterpret_cast<uintptr_t>(region.AllocationBase) / granularity * granularity;
        }
        if (next < low + granularity)
            break;
        a = next - granularity;
    }
    for (uintptr_t a = (at + granularity) / granularity * granularity; a <= high;) {
        if (VirtualQuery(reinterpret_cast<void*>(a), &region, sizeof region) != sizeof region)
            break;
        if (region.State == MEM_FREE) {
            if (uint8_t* block = allocate(a))
                return block;
            a += granularity;
        } else {
            const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
            a = end > a ? (end + granularity - 1) / granularity * granularity : a + granularity;
        }
    }
    return nullptr;
}
#else
uint8_t* AllocateCode(const void*, size_t size)
{
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}
#endif

// Frees a trampoline's block unless released.
struct TBlockGuard {
    uint8_t* Block;
    ~TBlockGuard()
    {
        if (Block)
            VirtualFree(Block, 0, MEM_RELEASE);
    }
};

void* HookCore(void* target, void* hook)
{
    if (!InlineHooks)
        throw EHookError("The hook list does not exist.");
    for (const TInlineHook& entry : *InlineHooks)
        if (entry.Target == target)
            return entry.Trampoline;

    uint8_t code[32];
    const size_t available = ReadableSpan(target, sizeof code);
    std::memcpy(code, target, available);
    const size_t count = DisplacedLength(code, available, 5, NativeCodeMode);
    if (count == 0)
        throw EHookError("The first instructions cannot be decoded.");

    const size_t trampolineSize = TrampolineSize(code, count, NativeCodeMode) + 5;
#ifdef _WIN64
    // The relay: jmp [rip + 0] followed by the hook's address.
    const size_t relayOffset = (trampolineSize + 15) & ~size_t{15};
    const size_t blockSize = relayOffset + 14;
#else
    const size_t blockSize = trampolineSize;
#endif
    TBlockGuard block{AllocateCode(target, blockSize)};
    if (!block.Block)
        throw EHookError("No memory for the trampoline.");
    std::vector<uint8_t> trampoline;
    if (!BuildTrampoline(code, count, reinterpret_cast<uintptr_t>(target), reinterpret_cast<uintptr_t>(block.Block),
                         NativeCodeMode, trampoline))
        throw EHookError("The first instructions cannot be moved.");
    std::memcpy(block.Block, trampoline.data(), trampoline.size());
    void* destination = hook;
#ifdef _WIN64
    uint8_t* relay = block.Block + relayOffset;
    const uint8_t relayJump[6] = {0xFF, 0x25, 0, 0, 0, 0};
    std::memcpy(relay, relayJump, sizeof relayJump);
    std::memcpy(relay + 6, &hook, sizeof hook);
    destination = relay;
#endif
    DWORD protection;
    if (!VirtualProtect(block.Block, blockSize, PAGE_EXECUTE_READ, &protection))
        throw EHookError("The trampoline cannot be made executable.");
    FlushInstructionCache(GetCurrentProcess(), block.Block, blockSize);

    uint8_t jump[5];
    if (!JumpBytes(reinterpret_cast<uintptr_t>(target), reinterpret_cast<uintptr_t>(destination), NativeCodeMode,
                   jump))
        throw EHookError("The hook is out of reach.");
    // Entered only once the jump is in place, so that a failure leaves no
    // entry behind.
    InlineHooks->reserve(InlineHooks->size() + 1);
    TInlineHook entry{target, block.Block, trampoline.size(), std::vector<uint8_t>(code, code + count)};
    if (!WriteCode(target, jump, sizeof jump))
        throw EHookError("The procedure cannot be written.");
    InlineHooks->push_back(std::move(entry));
    block.Block = nullptr;
    return InlineHooks->back().Trampoline;
}

// Puts the displaced bytes back and frees the trampoline (kept when the
// bytes cannot be written, since the jump still leads there).
bool Unhook(const TInlineHook& entry)
{
    if (!WriteCode(entry.Target, entry.Saved.data(), entry.Saved.size()))
        return false;
    VirtualFree(entry.Trampoline, 0, MEM_RELEASE);
    return true;
}

// The DLL name at name within a module, when it can be read.
bool ReadModuleText(const char* text, std::string& result)
{
    const size_t span = ReadableSpan(text, 260);
    const size_t length = strnlen(text, span);
    if (length == span)
        return false;
    result.assign(text, length);
    return true;
}

} // namespace

bool WriteCode(void* address, const void* bytes, size_t count)
{
    if (count == 0)
        return true;
    // Each page gets its own protection back: the bytes may run from code into
    // a page of another kind, which must not stay executable or become
    // unexecutable.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uintptr_t pageSize = info.dwPageSize;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (count - 1 > UINTPTR_MAX - start)
        return false;
    const uintptr_t firstPage = start / pageSize * pageSize;
    const size_t pages = static_cast<size_t>(((start + (count - 1)) / pageSize * pageSize - firstPage) / pageSize) + 1;
    std::vector<DWORD> protections;
    protections.reserve(pages);
    auto restore = [&] {
        for (size_t i = 0; i < protections.size(); ++i) {
            DWORD ignored;
            VirtualProtect(reinterpret_cast<void*>(firstPage + i * pageSize), 1, protections[i], &ignored);
        }
    };
    for (size_t i = 0; i < pages; ++i) {
        DWORD protection;
        if (!VirtualProtect(reinterpret_cast<void*>(firstPage + i * pageSize), 1, PAGE_EXECUTE_READWRITE,
                            &protection)) {
            restore();
            return false;
        }
        protections.push_back(protection);
    }
    if (count == sizeof(void*) && start % sizeof(void*) == 0) {
        void* value;
        std::memcpy(&value, bytes, sizeof value);
        __atomic_store_n(static_cast<void**>(address), value, __ATOMIC_SEQ_CST);
    } else {
        std::memcpy(address, bytes, count);
    }
    restore();
    FlushInstructionCache(GetCurrentProcess(), address, count);
    return true;
}

bool WriteJump(void* at, const void* destination)
{
    uint8_t jump[5];
    return JumpBytes(reinterpret_cast<uintptr_t>(at), reinterpret_cast<uintptr_t>(destination), NativeCodeMode,
                     jump) &&
           WriteCode(at, jump, sizeof jump);
}

bool InstructionLength(const void* code, size_t& length)
{
    const size_t available = ReadableSpan(code, 15);
    return InstructionLength(static_cast<const uint8_t*>(code), available, NativeCodeMode, length);
}

size_t FunctionEnd(const void* code, size_t length)
{
    if (length == 0 || !IsReadableRange(code, length))
        return 0;
    return FunctionEnd(static_cast<const uint8_t*>(code), length, NativeCodeMode);
}

void* HookCode(void* target, void* hook, const std::string& name)
{
    target = const_cast<void*>(FollowImportStub(target));
    hook = const_cast<void*>(FollowImportStub(hook));
    if (!target || !hook)
        throw EProcNull(NullProcedure(name));
    if (IsSharedAreaAddress(reinterpret_cast<uintptr_t>(target), IsNtPlatform()))
        throw ESharedArea(InSharedArea(target));
    try {
        return HookCore(target, hook);
    } catch (...) {
        throw EHookingError(CannotHook(name));
    }
}

bool UnhookCode(void* target)
{
    if (!InlineHooks)
        return false;
    target = const_cast<void*>(FollowImportStub(target));
    for (size_t i = InlineHooks->size(); i-- > 0;) {
        const TInlineHook& entry = (*InlineHooks)[i];
        if (entry.Target != target)
            continue;
        if (!Unhook(entry))
            return false;
        InlineHooks->erase(InlineHooks->begin() + static_cast<ptrdiff_t>(i));
        return true;
    }
    return false;
}

void* PatchImport(HMODULE module, const std::string& dllName, void* replaced, bool restoring, bool quiet,
                  const std::string& name, void* newAddress)
{
    if (!replaced || !newAddress)
        throw EProcNull(NullProcedure(name));
    const bool nt = IsNtPlatform();
    if (IsSharedAreaAddress(reinterpret_cast<uintptr_t>(module), nt))
        throw ESharedArea(InSharedArea(module));
    auto refuse = [&]() -> void* {
        if (!quiet)
            throw EHookingError(CannotHook(name));
        return nullptr;
    };

    // Non-NT systems hand out push-and-jump stubs; an entry then matches
    // when it leads to a stub that pushes the same value.
    uint8_t replacedStub[6];
    const bool stubForm = !nt && IsReadableRange(replaced, sizeof replacedStub) &&
                          IsPushJumpStub(static_cast<const uint8_t*>(replaced), sizeof replacedStub);
    if (stubForm)
        std::memcpy(replacedStub, replaced, sizeof replacedStub);
    auto matches = [&](void* entry) {
        if (!stubForm)
            return entry == replaced;
        return IsReadableRange(entry, sizeof replacedStub) &&
               SamePushJumpStub(static_cast<const uint8_t*>(entry), sizeof replacedStub, replacedStub,
                                sizeof replacedStub);
    };

    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!IsReadableRange(dos, 64) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew == 0)
        return refuse();
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (!IsReadableRange(headers, sizeof *headers) || headers->Signature != IMAGE_NT_SIGNATURE ||
        headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC ||
        headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return refuse();
    const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0 || directory.Size == 0)
        return refuse();

    size_t replacedCount = 0;
    for (auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         IsReadableRange(descriptor, sizeof *descriptor) && descriptor->Name != 0; ++descriptor) {
        std::string importedDll;
        if (!ReadModuleText(reinterpret_cast<const char*>(base + descriptor->Name), importedDll) ||
            lstrcmpiA(importedDll.c_str(), dllName.c_str()) != 0 || descriptor->FirstThunk == 0)
            continue;
        for (auto** entry = reinterpret_cast<void**>(base + descriptor->FirstThunk);
             IsReadableRange(entry, sizeof *entry) && *entry != nullptr; ++entry) {
            if (!matches(*entry))
                continue;
            if (!restoring && ImportPatches)
                ImportPatches->reserve(ImportPatches->size() + 1);
            if (!WriteCode(entry, &newAddress, sizeof newAddress))
                continue;
            ++replacedCount;
            if (!restoring && ImportPatches)
                ImportPatches->push_back({module, dllName, replaced, newAddress});
        }
    }
    if (replacedCount == 0)
        return refuse();
    return replaced;
}

bool PatchImportInModules(const std::vector<std::string>& modules, const std::string& dllName, bool quiet,
                          void*& replaced, void* newAddress, const std::string& procName)
{
    HMODULE dll = GetModuleHandleA(dllName.c_str());
    replaced = dll ? reinterpret_cast<void*>(GetProcAddress(dll, procName.c_str())) : nullptr;
    bool patched = false;
    for (const std::string& name : modules) {
        HMODULE module = GetModuleHandleA(name.c_str());
        if (module && PatchImport(module, dllName, replaced, false, quiet, dllName + "." + procName, newAddress))
            patched = true;
    }
    return patched;
}

void* PatchVmtSlot(void* table, int slot, void* value)
{
    return HookedMethods ? HookedMethods->Patch(table, slot, value) : nullptr;
}

bool RestoreVmtSlot(void* table, int slot)
{
    return HookedMethods && HookedMethods->Restore(table, slot);
}

void EHookInit()
{
    if (!ImportPatches)
        ImportPatches = new std::vector<TImportPatch>;
    if (!HookedMethods)
        HookedMethods = new THookedMethodsList;
    if (!InlineHooks)
        InlineHooks = new std::vector<TInlineHook>;
}

void EHookDone()
{
    if (ImportPatches) {
        std::vector<TImportPatch>* patches = ImportPatches;
        ImportPatches = nullptr;
        for (const TImportPatch& patch : *patches) {
            try {
                PatchImport(patch.Module, patch.DllName, patch.New, true, true, patch.DllName, patch.Replaced);
            } catch (const EHookError&) {
                // A module of a non-NT system's shared area or a null entry:
                // nothing was patched there to put back.
            }
        }
        delete patches;
    }
    delete HookedMethods; // puts every slot back
    HookedMethods = nullptr;
    if (InlineHooks) {
        for (size_t i = InlineHooks->size(); i-- > 0;)
            Unhook((*InlineHooks)[i]);
        delete InlineHooks;
        InlineHooks = nullptr;
    }
}

} // namespace qov::exceptions
