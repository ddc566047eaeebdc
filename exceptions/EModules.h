// The loaded modules of the process as the exception-reporting library sees
// them: one record per module with its file, version, exports, options and
// line data, and the lookup that turns a code address into module, unit,
// class, procedure and line.
//
// Records are shared: a stack entry holds the record it names, so a record
// that a refresh replaces or drops stays whole for as long as an entry (or a
// call stack a sender still holds) refers to it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "ECoreText.h"
#include "EDebugData.h"

namespace qov::exceptions {

// Read-only view of memory that is already there (a module image or a locked
// resource); it frees nothing. Reads stop at its size and at bytes that are
// not readable.
class THModuleStream {
public:
    explicit THModuleStream(const void* memory, size_t size = 0x7FFFFFFF)
        : FMemory(static_cast<const uint8_t*>(memory)), FSize(memory ? size : 0) {}
    // Reads count bytes when they lie within the size and are readable.
    bool CheckedRead(void* buffer, uint32_t count);
    size_t Position() const { return FPosition; }
    void Seek(size_t position) { FPosition = position < FSize ? position : FSize; }

private:
    const uint8_t* FMemory;
    size_t FSize;
    size_t FPosition = 0;
};

struct TZephraFunction {
    std::string Name;
    uintptr_t Address = 0;
    uint32_t Size = 0;
};
// Sorted by address.
using TZephraFunctionsList = std::vector<TZephraFunction>;

enum TZephraModuleKind : uint8_t {
    mkUnknown = 0, mkProgram = 1, mkPackage = 2, mkLibrary = 3,
};

struct TZephraModuleRecord {
    HMODULE Handle = nullptr;
    std::string FileName, Description, VersionText;
    uint32_t FileSize = 0;
    TZephraFunctionsList Functions;
    uint8_t Kind = mkUnknown;
    uint16_t OptionsVersion = LibraryOptionsVersion;
    uint8_t Build[8] = {};
    std::unique_ptr<TZephraModuleOptions> Options;
    // Null when the module carries no line data.
    std::unique_ptr<std::string> LineData;
    TDateTime FileDate = 0;
    std::string PassPhrase;
    uint8_t Unlocked = 1;
};
using TZephraModuleRef = std::shared_ptr<TZephraModuleRecord>;

// Kinds of a stack entry.
enum : uint8_t {
    seNone = 0, seModule = 1, sePlainExport = 2, seQualifiedExport = 3, seLineData = 4,
};

struct TZephraStackEntry {
    uint8_t Kind = seNone;
    TZephraModuleRef Module;
    DWORD ThreadId = 0;
    uint8_t Flag = 0;
    uintptr_t Address = 0;
    std::string UnitName, ClassName, ProcedureName;
    uint32_t Line = 0;
    uint32_t LineOffset = 0;
};

class TZephraModulesList {
public:
    // Drops the records of modules that are gone or whose file changed, then
    // adds a light record (no exports, no line data, kind 0) for each loaded
    // module that has none; sorted by handle.
    void Refresh();
    // The module's record, built (again, fully) when it has none or only a
    // light one; null for a null handle or a module without a file name.
    TZephraModuleRef ByHandle(HMODULE module);
    // The record of the module holding address.
    TZephraModuleRef ByAddress(const void* address);

    size_t Count() const { return FItems.size(); }
    const TZephraModuleRef& operator[](size_t index) const { return FItems[index]; }
    bool Refreshing() const { return FRefreshing; }

private:
    TZephraModuleRef Create(HMODULE module);
    std::vector<TZephraModuleRef> FItems;
    bool FRefreshing = false;
};

// The loaded modules: kernel32's K32EnumProcessModules, else the tool-help
// snapshot.
std::vector<HMODULE> LoadedModules();

bool IsDll(HMODULE module);
uint8_t ModuleKind(HMODULE module);
// FileDescription of the first language and "major.minor.release.build"
// (empty when 0.0.0.0 or missing).
void VersionInformation(const std::string& fileName, std::string& description, std::string& versionText);
// The folder of the record's file without a trailing backslash (kept after a
// drive colon).
std::string ModuleFolder(const TZephraModuleRecord& record);
// The locked resource and its size, or null.
const void* ResourceData(HMODULE module, const char* name, const char* type, DWORD& size);
bool HasZpdata(HMODULE module);
// Reads the module's ZPDATA block into the record (Algorithms of the module
// records); light during a refresh. False when there is none, it is newer
// than this library, or it does not fit its bytes.
bool LoadModuleData(TZephraModuleRecord& record, bool refreshing);
// The options of the block of this library's own module copied into options;
// false, with options left as they are, when the module has no block that
// can be read.
bool LoadOwnModuleOptions(TZephraModuleOptions& options);
// The entry with this identifier in the address table of this library's own
// block; null when there is none.
const void* AddressFromTable(uint8_t identifier);
bool ExportsToList(HMODULE module, TZephraFunctionsList& list);
bool FindInExports(uintptr_t address, const TZephraModuleRecord& record, size_t& index);

// Tries the pass phrase the module's receivers give (SendPasswordRequest) on
// a block's check bytes; sets the record's pass phrase and unlocked flag.
void CheckPassPhrase(TZephraModuleRecord& record, const uint8_t check[4]);

bool LineLookup(TZephraModulesList& modules, uintptr_t address, TZephraStackEntry& entry);
void AddressLookup(TZephraModulesList& modules, uintptr_t address, DWORD threadId, uint8_t flag,
                   TZephraStackEntry& entry);
// The entry kinds the options let into a call stack, bit n for kind n.
uint32_t StackFilter(const TZephraModuleOptions& options);

} // namespace qov::exceptions
