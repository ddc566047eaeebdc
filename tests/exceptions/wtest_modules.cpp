// Module records under Windows: a program reads its own record and line
// data, a DLL locked by a pass phrase shows "?" names until its receiver
// gives the phrase, the appended form of a stripped DLL reads the same, a DLL
// without a block falls back to its exports, and a refresh rebuilds only the
// records of modules that came, went or changed, while stack entries keep
// theirs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <windows.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "ECore.h"
#include "EModules.h"
#include "RuruvarodIre.h"

using namespace qov::exceptions;

namespace qovtest {

struct TProbe {
    // The address inside a call in this function, and that call's line.
    static void* Call(int& line);
};

__attribute__((noinline, noipa)) static void* ReturnAddress()
{
    return __builtin_return_address(0);
}

__attribute__((noinline, noipa)) void* TProbe::Call(int& line)
{
    void* volatile address = ReturnAddress();
    line = __LINE__ - 1;
    return static_cast<char*>(address) - 1;
}

} // namespace qovtest

namespace {

using TZpProbe = void*(__stdcall*)(int*);
using TZpGivePhrase = void(__stdcall*)(BOOL);

std::string BinFile(const std::string& name)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return ExtractFilePath(path) + name;
}

template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class TLoadedDll {
public:
    explicit TLoadedDll(const std::string& file) : Handle(LoadLibraryA(file.c_str())) {}
    ~TLoadedDll() { Free(); }
    void Free()
    {
        if (Handle)
            FreeLibrary(Handle);
        Handle = nullptr;
    }
    HMODULE Handle;
};

// The stack entry of the call inside the DLL's ZpProbe, and that call's line.
TZephraStackEntry ProbeEntry(TZephraModulesList& modules, HMODULE dll, int& line)
{
    const auto probe = Export<TZpProbe>(dll, "ZpProbe");
    TZephraStackEntry entry;
    if (probe)
        AddressLookup(modules, reinterpret_cast<uintptr_t>(probe(&line)), 0, 0, entry);
    return entry;
}

TEST(ModuleRecords, ProgramReadsItsOwnLine)
{
    int line = 0;
    void* address = qovtest::TProbe::Call(line);
    TZephraModulesList modules;
    TZephraStackEntry entry;
    AddressLookup(modules, reinterpret_cast<uintptr_t>(address), 7, 1, entry);
    EXPECT_EQ(entry.Kind, seLineData);
    EXPECT_EQ(entry.UnitName, "wtest_modules.cpp");
    EXPECT_EQ(entry.ClassName, "qovtest::TProbe");
    EXPECT_EQ(entry.ProcedureName, "Call");
    EXPECT_EQ(entry.Line, static_cast<uint32_t>(line));
    // From the function's first line (its header or its opening brace).
    EXPECT_TRUE(entry.LineOffset == 1 || entry.LineOffset == 2) << entry.LineOffset;
    EXPECT_EQ(entry.ThreadId, 7u);
    EXPECT_EQ(entry.Flag, 1);
    ASSERT_TRUE(entry.Module);
    EXPECT_EQ(entry.Module->Handle, GetModuleHandleA(nullptr));
    EXPECT_EQ(entry.Module->Kind, mkProgram);
    EXPECT_EQ(entry.Module->OptionsVersion, LibraryOptionsVersion);
    EXPECT_TRUE(entry.Module->Unlocked);
    // The block's options: stack filter widened to both export kinds.
    EXPECT_EQ(entry.Module->Options->StackFlags(), 3);
    EXPECT_EQ(entry.Module->Options->GetCustomText(16), "Start again");
    EXPECT_EQ(StackFilter(*entry.Module->Options), (1u << 2) | (1u << 3) | (1u << 4));
    EXPECT_TRUE(HasZpdata(GetModuleHandleA(nullptr)));
}

TEST(ModuleRecords, LockedDllShowsQuestionNamesUntilItsReceiverGivesThePhrase)
{
    TLoadedDll dll(BinFile("modules_dll.dll"));
    ASSERT_TRUE(dll.Handle);
    const auto give = Export<TZpGivePhrase>(dll.Handle, "ZpGivePhrase");
    ASSERT_TRUE(give);
    int line = 0;

    give(FALSE);
    {
        TZephraModulesList modules;
        const TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
        EXPECT_EQ(entry.Kind, seLineData);
        EXPECT_EQ(entry.UnitName.compare(0, 2, "?p"), 0) << entry.UnitName;
        EXPECT_EQ(entry.ProcedureName[0], '?') << entry.ProcedureName;
        EXPECT_EQ(entry.Line, static_cast<uint32_t>(line));
        EXPECT_FALSE(entry.Module->Unlocked);
        EXPECT_EQ(entry.Module->Options->KeepReports(), 9);  // the options are not locked
    }
    give(TRUE);
    TZephraModulesList modules;
    const TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
    EXPECT_EQ(entry.Kind, seLineData);
    EXPECT_EQ(entry.UnitName, "modules_dll.cpp");
    EXPECT_EQ(entry.ClassName, "");
    EXPECT_EQ(entry.ProcedureName, "ZpProbe");
    EXPECT_EQ(entry.Line, static_cast<uint32_t>(line));
    EXPECT_TRUE(entry.Module->Unlocked);
    EXPECT_EQ(entry.Module->PassPhrase, "sesame");
    EXPECT_EQ(entry.Module->Kind, mkLibrary);
    EXPECT_EQ(entry.Module->Options->MailTitle(), "Module test");
}

TEST(ModuleRecords, NamesOfModulesWithOtherPhrasesReadAtOnceFromTwoThreads)
{
    // The cipher's key is one for the process; each thread must still read
    // its module's names under that module's phrase.
    TLoadedDll dll(BinFile("modules_dll.dll"));
    ASSERT_TRUE(dll.Handle);
    const auto give = Export<TZpGivePhrase>(dll.Handle, "ZpGivePhrase");
    const auto probe = Export<TZpProbe>(dll.Handle, "ZpProbe");
    ASSERT_TRUE(give && probe);
    give(TRUE);
    int line = 0;
    const auto inDll = reinterpret_cast<uintptr_t>(probe(&line));
    const auto inProgram = reinterpret_cast<uintptr_t>(qovtest::TProbe::Call(line));
    TZephraModulesList modules;
    std::atomic<int> wrong{0};
    const auto readMany = [&](uintptr_t address, const char* procedure) {
        for (int i = 0; i < 3000; ++i) {
            TZephraStackEntry entry;
            AddressLookup(modules, address, 0, 0, entry);
            if (entry.ProcedureName != procedure)
                ++wrong;
        }
    };
    std::thread dllReader(readMany, inDll, "ZpProbe");
    std::thread programReader(readMany, inProgram, "Call");
    dllReader.join();
    programReader.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ModuleRecords, LiveOptionsAModulePublishedOverrideItsBlock)
{
    TLoadedDll dll(BinFile("modules_dll.dll"));
    ASSERT_TRUE(dll.Handle);
    // The module's "MODULE" area: a byte 1, then the stored form.
    TZephraModuleOptions live("", false);
    live.SetKeepReports(21);
    TOptionsMemoryStream stored;
    const uint8_t present = 1;
    stored.Write(&present, 1);
    live.WriteToStream(stored);
    void* data = nullptr;
    HANDLE area = OpenSharedArea(dll.Handle, "MODULE", static_cast<uint32_t>(stored.Bytes().size()), data);
    ASSERT_TRUE(area);
    std::memcpy(data, stored.Bytes().data(), stored.Bytes().size());
    {
        TZephraModulesList modules;
        const TZephraModuleRef record = modules.ByHandle(dll.Handle);
        EXPECT_EQ(record->Options->KeepReports(), 21);
        EXPECT_EQ(record->Options->MailTitle(), "");  // the live form holds every option
    }
    // A first byte 0: nothing published, the block's options hold.
    *static_cast<uint8_t*>(data) = 0;
    TZephraModulesList modules;
    EXPECT_EQ(modules.ByHandle(dll.Handle)->Options->KeepReports(), 9);
    CloseSharedArea(area, data);
}

// A copy of modules_dll.dll whose ZPDATA resource is changed by damage (at
// the block's offset from its start) in the file; its name.
std::string DamagedCopy(const std::string& suffix, const std::function<void(std::string& block)>& damage)
{
    const std::string source = BinFile("modules_dll.dll");
    const HMODULE data = LoadLibraryExA(source.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD size = 0;
    const void* resource = data ? ResourceData(data, "ZPDATA", MAKEINTRESOURCEA(10), size) : nullptr;
    const std::string block(static_cast<const char*>(resource), resource ? size : 0);
    if (data)
        FreeLibrary(data);
    std::string file;
    const HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in != INVALID_HANDLE_VALUE) {
        file.resize(GetFileSize(in, nullptr));
        DWORD read = 0;
        ReadFile(in, file.data(), static_cast<DWORD>(file.size()), &read, nullptr);
        CloseHandle(in);
    }
    const size_t at = block.empty() ? std::string::npos : file.find(block);
    if (at == std::string::npos)
        return std::string();
    std::string changed = block;
    damage(changed);
    file.replace(at, block.size(), changed);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string name = std::string(temp) + "zp_" + suffix + "_" + std::to_string(GetCurrentProcessId()) + ".dll";
    const HANDLE out = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(out, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
    CloseHandle(out);
    return name;
}

TEST(ModuleRecords, NewerOrDamagedBlockLeavesDefaultsAndNoLineData)
{
    const std::string newer = DamagedCopy("newer", [](std::string& b) { b[4] = static_cast<char>(5111 & 0xFF); });
    // The end of the line data's zlib stream (its checksum).
    const std::string damaged = DamagedCopy("damaged", [](std::string& b) { b[b.size() - 2] ^= 0x5A; });
    ASSERT_FALSE(newer.empty());
    for (const std::string& file : {newer, damaged}) {
        TLoadedDll dll(file);
        ASSERT_TRUE(dll.Handle) << file;
        EXPECT_TRUE(HasZpdata(dll.Handle));
        TZephraModulesList modules;
        int line = 0;
        const TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
        EXPECT_EQ(entry.Kind, sePlainExport) << file;  // the exports still name it
        EXPECT_FALSE(entry.Module->LineData) << file;
        EXPECT_EQ(entry.Module->OptionsVersion, LibraryOptionsVersion);
        EXPECT_EQ(entry.Module->Options->KeepReports(), 32) << file;  // the default, not the block's 9
        dll.Free();
        DeleteFileA(file.c_str());
    }
}

// The appended block was written from DWARF 4 line programs, the resource
// block of modules_dwarf2_dll from DWARF 2 ones.
TEST(ModuleRecords, AppendedFormOfAStrippedDllAndOlderDwarfReadTheSame)
{
    for (const char* name : {"modules_appended.dll", "modules_dwarf2_dll.dll"}) {
        TLoadedDll dll(BinFile(name));
        ASSERT_TRUE(dll.Handle) << name;
        DWORD size;
        EXPECT_EQ(ResourceData(dll.Handle, "ZPDATA", MAKEINTRESOURCEA(10), size) == nullptr,
                  std::string(name) == "modules_appended.dll");
        EXPECT_TRUE(HasZpdata(dll.Handle));
        int line = 0;
        TZephraModulesList modules;
        const TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
        EXPECT_EQ(entry.Kind, seLineData) << name;
        EXPECT_EQ(entry.UnitName, "modules_dll.cpp") << name;
        EXPECT_EQ(entry.ProcedureName, "ZpProbe") << name;
        EXPECT_EQ(entry.Line, static_cast<uint32_t>(line)) << name;
    }
}

TEST(ModuleRecords, DllWithoutBlockFallsBackToItsExports)
{
    TLoadedDll dll(BinFile("modules_plain_dll.dll"));
    ASSERT_TRUE(dll.Handle);
    EXPECT_FALSE(HasZpdata(dll.Handle));
    int line = 0;
    TZephraModulesList modules;
    TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
    EXPECT_EQ(entry.Kind, sePlainExport);
    EXPECT_EQ(entry.ProcedureName, "ZpProbe");
    EXPECT_EQ(entry.Line, 0u);
    EXPECT_FALSE(entry.Module->LineData);
    EXPECT_EQ(entry.Module->OptionsVersion, LibraryOptionsVersion);
    // The start-up code is no export: the module alone.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(dll.Handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(dll.Handle) + dos->e_lfanew);
    AddressLookup(modules, reinterpret_cast<uintptr_t>(dll.Handle) + nt->OptionalHeader.AddressOfEntryPoint, 0, 0,
                  entry);
    EXPECT_EQ(entry.Kind, seModule);
    EXPECT_EQ(ModuleFolder(*entry.Module) + "\\modules_plain_dll.dll", entry.Module->FileName);
}

TEST(ModuleRecords, ExportTableWhoseNameCountWrapsItsSizeIsRefused)
{
    // An image in memory whose export directory claims 0x40000001 names: four
    // bytes each, a size that wraps to 4 in 32-bit code, while the names' table
    // ends with the image's pages.
    const size_t imageSize = 0x3000;
    auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, imageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(base);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    dos->e_magic = IMAGE_DOS_SIGNATURE;
    dos->e_lfanew = 0x80;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    nt->Signature = IMAGE_NT_SIGNATURE;
    nt->FileHeader.NumberOfSections = 1;
    nt->FileHeader.SizeOfOptionalHeader = sizeof nt->OptionalHeader;
    nt->FileHeader.Characteristics = IMAGE_FILE_DLL;
    nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR_MAGIC;
    nt->OptionalHeader.BaseOfCode = 0x1000;
    nt->OptionalHeader.SizeOfCode = 0x1000;
    nt->OptionalHeader.SizeOfImage = imageSize;
    nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT] = {0x1000, sizeof(IMAGE_EXPORT_DIRECTORY)};
    IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    section->VirtualAddress = 0x1000;
    section->Misc.VirtualSize = 0x2000;
    section->SizeOfRawData = 0x2000;
    auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + 0x1000);
    exports->NumberOfFunctions = 0x40000001;
    exports->NumberOfNames = 0x40000001;
    exports->AddressOfNames = 0x2FF0;
    TZephraFunctionsList list;
    EXPECT_FALSE(ExportsToList(reinterpret_cast<HMODULE>(base), list));
    EXPECT_TRUE(list.empty());
    VirtualFree(base, 0, MEM_RELEASE);
}

TEST(ModuleRecords, RefreshRebuildsOnlyRecordsThatCameWentOrChanged)
{
    // A copy of its own, whose date the test changes.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string copy = std::string(temp) + "zp_refresh_" + std::to_string(GetCurrentProcessId()) + ".dll";
    ASSERT_TRUE(CopyFileA(BinFile("modules_dll.dll").c_str(), copy.c_str(), FALSE));

    TZephraModulesList modules;
    modules.Refresh();
    auto snapshot = [&] {
        std::map<HMODULE, TZephraModuleRecord*> m;
        for (size_t i = 0; i < modules.Count(); ++i)
            m[modules[i]->Handle] = modules[i].get();
        return m;
    };
    const auto before = snapshot();
    ASSERT_GT(before.size(), 2u);
    for (size_t i = 1; i < modules.Count(); ++i)
        EXPECT_LT(modules[i - 1]->Handle, modules[i]->Handle);

    TLoadedDll dll(copy);
    ASSERT_TRUE(dll.Handle);
    modules.Refresh();
    auto loaded = snapshot();
    ASSERT_EQ(loaded.size(), before.size() + 1);
    ASSERT_TRUE(loaded.count(dll.Handle));
    EXPECT_EQ(loaded[dll.Handle]->Kind, mkUnknown);  // light until looked up
    for (const auto& [handle, record] : before)
        EXPECT_EQ(loaded[handle], record);

    // A lookup builds the record fully; its entry keeps it.
    int line = 0;
    const TZephraStackEntry entry = ProbeEntry(modules, dll.Handle, line);
    ASSERT_EQ(entry.Kind, seLineData);
    EXPECT_EQ(entry.Module->Kind, mkLibrary);
    EXPECT_EQ(entry.UnitName.compare(0, 2, "?p"), 0);

    // A new date: only that record is built again.
    const HANDLE file = CreateFileA(copy.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME old = {0x12345678, 0x01D00000};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &old));
    CloseHandle(file);
    const auto builtBefore = snapshot();
    modules.Refresh();
    auto touched = snapshot();
    for (const auto& [handle, record] : builtBefore)
        EXPECT_TRUE(handle == dll.Handle || touched[handle] == record) << handle;
    EXPECT_NE(touched[dll.Handle], entry.Module.get());

    // Unloaded: the record leaves the list, the entry still holds it whole.
    dll.Free();
    modules.Refresh();
    EXPECT_EQ(snapshot().count(entry.Module->Handle), 0u);
    EXPECT_EQ(entry.Module->FileName, copy);
    ASSERT_TRUE(entry.Module->LineData);
    EXPECT_FALSE(entry.Module->LineData->empty());
    DeleteFileA(copy.c_str());
}

TEST(ModuleRecords, ModuleFolderKeepsTheBackslashOnlyAfterADrive)
{
    TZephraModuleRecord record;
    record.FileName = "C:\\dir\\x.dll";
    EXPECT_EQ(ModuleFolder(record), "C:\\dir");
    record.FileName = "C:\\x.dll";
    EXPECT_EQ(ModuleFolder(record), "C:\\");
}

} // namespace
