#include "EModules.h"

#include "EEvents.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "EBase64.h"
#include "ECore.h"
#include "EEncrypt.h"
#include "EHook.h"
#include "RuruvarodIre.h"

namespace qov::exceptions {

namespace {


// The image's NT headers when they can be read.
const IMAGE_NT_HEADERS* NtHeaders(HMODULE module)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    if (!module || !IsReadableRange(dos, sizeof *dos) || dos->e_magic != IMAGE_DOS_SIGNATURE || !dos->e_lfanew)
        return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const uint8_t*>(module) +
                                                               dos->e_lfanew);
    if (!IsReadableRange(nt, sizeof *nt) || nt->Signature != IMAGE_NT_SIGNATURE)
        return nullptr;
    return nt;
}

uint32_t FileSizeOf(const std::string& fileName)
{
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA(fileName.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(find);
    return data.nFileSizeLow;
}

// The appended block of a module file: the file's end from the block on.
bool ReadAppended(const std::string& fileName, std::string& tail)
{
    const HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = false;
    LARGE_INTEGER size;
    uint32_t closing[2];
    DWORD read = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 8) {
        LARGE_INTEGER at;
        at.QuadPart = size.QuadPart - 8;
        if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadFile(file, closing, 8, &read, nullptr) &&
            read == 8 && closing[1] == ZpdataMagic && closing[0] <= size.QuadPart - 8) {
            tail.resize(static_cast<size_t>(closing[0]) + 8);
            at.QuadPart = size.QuadPart - static_cast<LONGLONG>(tail.size());
            ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                 ReadFile(file, tail.data(), static_cast<DWORD>(tail.size()), &read, nullptr) && read == tail.size();
        }
    }
    CloseHandle(file);
    return ok;
}

bool FileEndsWithMagic(const std::string& fileName)
{
    std::string tail;
    return ReadAppended(fileName, tail);
}

// The module's published live options ("MODULE" area) over the record's.
void ReadLiveOptions(TZephraModuleRecord& record)
{
    void* data = nullptr;
    HANDLE area = OpenSharedArea(record.Handle, "MODULE", 0, data);
    if (!area)
        return;
    uint32_t total;
    std::memcpy(&total, static_cast<const uint8_t*>(data) - 4, 4);
    if (total > 5 && *static_cast<const uint8_t*>(data) != 0) {
        TOptionsReadStream stream(static_cast<const uint8_t*>(data) + 1, total - 5);
        record.Options->ReadFromStream(stream, record.OptionsVersion);
    }
    CloseSharedArea(area, data);
}

// The cipher's key is one for the process: setting a module's key and
// deciphering with it is one step under this lock, so that two threads that
// read names of different locked modules never decipher with each other's key.
std::mutex& CipherLock()
{
    static std::mutex lock;
    return lock;
}

std::string DecipherPart(const std::string& bytes)
{
    std::string out(bytes.size(), '\0');
    DecryptBuffer(bytes.data(), out.data(), static_cast<uint32_t>(bytes.size()));
    return out;
}

std::string LockedPart(const std::string& bytes)
{
    return "?" + Base64EncodeBuffer(bytes.data(), bytes.size());
}

} // namespace

// ---- stream ---------------------------------------------------------------------------

bool THModuleStream::CheckedRead(void* buffer, uint32_t count)
{
    if (count > FSize - FPosition || !IsReadableRange(FMemory + FPosition, count))
        return false;
    std::memcpy(buffer, FMemory + FPosition, count);
    FPosition += count;
    return true;
}

// ---- module facts ------------------------------------------------------------------------

std::vector<HMODULE> LoadedModules()
{
    std::vector<HMODULE> modules;
    // kernel32's own entry point: a module's start inside DllMain may not load
    // a library.
    using TEnum = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
    const auto enumModules =
        reinterpret_cast<TEnum>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                                       "K32EnumProcessModules")));
    if (enumModules) {
        DWORD needed = 0;
        modules.resize(256);
        for (int tries = 0; tries < 4; ++tries) {
            if (!enumModules(GetCurrentProcess(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                             &needed))
                return {};
            if (needed <= modules.size() * sizeof(HMODULE)) {
                modules.resize(needed / sizeof(HMODULE));
                return modules;
            }
            modules.resize(needed / sizeof(HMODULE) + 16);
        }
        return {};
    }
    modules.clear();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE)
        return modules;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
        modules.push_back(entry.hModule);
    CloseHandle(snapshot);
    return modules;
}

bool IsDll(HMODULE module)
{
    if (const IMAGE_NT_HEADERS* nt = NtHeaders(module))
        return nt->FileHeader.Characteristics & IMAGE_FILE_DLL;
    // The running module's own kind.
    const IMAGE_NT_HEADERS* own = NtHeaders(OwnModule());
    return own && (own->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

uint8_t ModuleKind(HMODULE module)
{
    if (!NtHeaders(module))
        return mkUnknown;
    if (!IsDll(module))
        return mkProgram;
    DWORD size;
    if (ResourceData(module, "PACKAGEINFO", MAKEINTRESOURCEA(10), size) &&
        ResourceData(module, "PACKAGEOPTIONS", MAKEINTRESOURCEA(10), size))
        return mkPackage;
    return mkLibrary;
}

void VersionInformation(const std::string& fileName, std::string& description, std::string& versionText)
{
    description.clear();
    versionText.clear();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &handle);
    if (!size)
        return;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(fileName.c_str(), 0, size, data.data()))
        return;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
        length >= sizeof *fixed) {
        const std::string text = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                 std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                 std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                                 std::to_string(LOWORD(fixed->dwFileVersionLS));
        if (text != "0.0.0.0")
            versionText = text;
    }
    WORD* languages = nullptr;
    if (VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&languages), &length) &&
        languages && length >= 4) {
        char key[64];
        wsprintfA(key, "\\StringFileInfo\\%04x%04x\\FileDescription", languages[0], languages[1]);
        char* text = nullptr;
        if (VerQueryValueA(data.data(), key, reinterpret_cast<void**>(&text), &length) && text && length)
            description.assign(text, strnlen(text, length));
    }
}

std::string ModuleFolder(const TZephraModuleRecord& record)
{
    std::string folder = ExtractFilePath(record.FileName);
    if (folder.size() > 1 && folder.back() == '\\' && folder[folder.size() - 2] != ':')
        folder.pop_back();
    return folder;
}

const void* ResourceData(HMODULE module, const char* name, const char* type, DWORD& size)
{
    size = 0;
    const HRSRC info = FindResourceA(module, name, type);
    if (!info)
        return nullptr;
    const HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data)
        size = SizeofResource(module, info);
    return data;
}

bool HasZpdata(HMODULE module)
{
    DWORD size;
    const void* data = ResourceData(module, "ZPDATA", MAKEINTRESOURCEA(10), size);
    uint32_t magic = 0;
    if (data && size >= 4 && IsReadableRange(data, 4)) {
        std::memcpy(&magic, data, 4);
        return magic == ZpdataMagic;
    }
    return FileEndsWithMagic(ModuleFileName(module));
}

// ---- the block ------------------------------------------------------------------------------

void CheckPassPhrase(TZephraModuleRecord& record, const uint8_t check[4])
{
    auto tryPhrase = [&](const std::string& phrase) {
        record.PassPhrase = phrase;
        const std::lock_guard<std::mutex> keyed(CipherLock());
        SetTeaKey(phrase);
        uint8_t plain[4];
        DecryptBuffer(check, plain, 4);
        uint32_t magic;
        std::memcpy(&magic, plain, 4);
        record.Unlocked = magic == ZpdataMagic;
        return record.Unlocked != 0;
    };
    // The module's own receiver gives its phrase (empty when it has none),
    // called in the form every module exports (record, phrase, its size);
    // then this module's own handlers may give it.
    std::string phrase;
    try {
        SendPasswordRequest(record.Handle, phrase);
    } catch (...) {
        phrase.clear();
    }
    tryPhrase(phrase);
}

bool LoadModuleData(TZephraModuleRecord& record, bool refreshing)
{
    TZpdataBlock block;
    DWORD size = 0;
    const void* resource = ResourceData(record.Handle, "ZPDATA", MAKEINTRESOURCEA(10), size);
    if (resource) {
        THModuleStream stream(resource, size);
        std::string bytes(size, '\0');
        if (!stream.CheckedRead(bytes.data(), size) ||
            !ParseZpdataResource(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), !refreshing, block))
            return false;
    } else {
        std::string tail;
        if (!ReadAppended(record.FileName, tail) ||
            !ParseZpdataAppended(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), !refreshing, block))
            return false;
    }
    record.OptionsVersion = block.Version;
    std::memcpy(record.Build, block.Build, 8);
    TOptionsReadStream options(block.Options.data(), block.Options.size());
    record.Options->ReadFromStream(options, block.Version);
    if (block.HasCheck && !refreshing)
        CheckPassPhrase(record, block.Check);
    if (!refreshing && block.HasLineData)
        record.LineData = std::make_unique<std::string>(std::move(block.LineData));
    if (record.Handle != OwnModule())
        ReadLiveOptions(record);
    return true;
}

bool LoadOwnModuleOptions(TZephraModuleOptions& options)
{
    TZephraModuleRecord record;
    record.Handle = OwnModule();
    record.FileName = ModuleFileName(record.Handle);
    if (record.FileName.empty())
        return false;
    record.Options = std::make_unique<TZephraModuleOptions>(record.FileName, false);
    // Read as during a refresh: the options only.
    if (!LoadModuleData(record, true))
        return false;
    options.CopyOptions(record.Options.get());
    return true;
}

const void* AddressFromTable(uint8_t identifier)
{
    DWORD size = 0;
    const auto* data = static_cast<const uint8_t*>(ResourceData(OwnModule(), "ZPDATA", MAKEINTRESOURCEA(10), size));
    uint32_t magic, length;
    uint16_t version;
    if (!data || size < 18 || !IsReadableRange(data, size))
        return nullptr;
    std::memcpy(&magic, data, 4);
    std::memcpy(&version, data + 4, 2);
    std::memcpy(&length, data + 14, 4);
    // Only blocks of version 500 and later have the table.
    if (magic != ZpdataMagic || version < 500 || length > size - 18)
        return nullptr;
    for (uint32_t at = 0; at + 9 <= length; at += 9) {
        if (data[18 + at] != identifier)
            continue;
        uint32_t offset;
        std::memcpy(&offset, data + 18 + at + 1, 4);
        return reinterpret_cast<const uint8_t*>(OwnModule()) + LineDataCodeBase + offset;
    }
    return nullptr;
}

// ---- exports ------------------------------------------------------------------------------------

bool ExportsToList(HMODULE module, TZephraFunctionsList& list)
{
    list.clear();
    const IMAGE_NT_HEADERS* nt = NtHeaders(module);
    if (!nt)
        return false;
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const uintptr_t codeStart = reinterpret_cast<uintptr_t>(base) + nt->OptionalHeader.BaseOfCode;
    const uintptr_t codeEnd = codeStart + nt->OptionalHeader.SizeOfCode;
    if (!IsReadableRange(reinterpret_cast<const void*>(codeStart), nt->OptionalHeader.SizeOfCode))
        return false;
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress || dir.Size < sizeof(IMAGE_EXPORT_DIRECTORY))
        return false;
    // The section that holds the directory.
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    bool inSection = false;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections && !inSection; ++i, ++section)
        inSection = IsReadableRange(section, sizeof *section) && dir.VirtualAddress >= section->VirtualAddress &&
                    dir.VirtualAddress - section->VirtualAddress < std::max(section->Misc.VirtualSize,
                                                                             section->SizeOfRawData);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    if (!inSection || !IsReadableRange(exports, sizeof *exports) || exports->Characteristics != 0)
        return false;
    const DWORD count = std::min(exports->NumberOfFunctions, exports->NumberOfNames);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    // The table's size must not wrap in 32-bit code (a damaged count).
    if (count > SIZE_MAX / sizeof(DWORD) || !IsReadableRange(names, count * sizeof(DWORD)))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        const char* name = reinterpret_cast<const char*>(base + names[i]);
        // A name is read no further than its readable pages go.
        const size_t span = ReadableSpan(name, 256);
        if (span == 0)
            continue;
        TZephraFunction f;
        f.Name.assign(name, strnlen(name, span));
        f.Address = reinterpret_cast<uintptr_t>(GetProcAddress(module, f.Name.c_str()));
        if (!f.Address)
            continue;
        if (HostIsDevelopmentEnvironment() || f.Address < codeStart || f.Address >= codeEnd)
            f.Size = 1;
        else
            f.Size = static_cast<uint32_t>(FunctionEnd(reinterpret_cast<const void*>(f.Address), codeEnd - f.Address));
        list.push_back(std::move(f));
    }
    std::sort(list.begin(), list.end(),
              [](const TZephraFunction& a, const TZephraFunction& b) { return a.Address < b.Address; });
    return true;
}

bool FindInExports(uintptr_t address, const TZephraModuleRecord& record, size_t& index)
{
    const TZephraFunctionsList& list = record.Functions;
    auto it = std::upper_bound(list.begin(), list.end(), address,
                               [](uintptr_t a, const TZephraFunction& f) { return a < f.Address; });
    if (it == list.begin())
        return false;
    --it;
    if (address > it->Address + it->Size)
        return false;
    index = static_cast<size_t>(it - list.begin());
    return true;
}

// ---- records ----------------------------------------------------------------------------------

TZephraModuleRef TZephraModulesList::Create(HMODULE module)
{
    const std::string fileName = ModuleFileName(module);
    if (fileName.empty())
        return nullptr;
    auto record = std::make_shared<TZephraModuleRecord>();
    record->Handle = module;
    record->FileName = fileName;
    record->FileDate = FileDate(fileName);
    VersionInformation(fileName, record->Description, record->VersionText);
    record->FileSize = FileSizeOf(fileName);
    if (!FRefreshing) {
        if (module != GetModuleHandleA(nullptr))
            ExportsToList(module, record->Functions);
        record->Kind = ModuleKind(module);
    }
    record->Options = std::make_unique<TZephraModuleOptions>(fileName, true);
    if (!LoadModuleData(*record, FRefreshing)) {
        record->OptionsVersion = LibraryOptionsVersion;
        std::memset(record->Build, 0, 8);
        record->LineData.reset();
    }
    return record;
}

TZephraModuleRef TZephraModulesList::ByHandle(HMODULE module)
{
    if (!module)
        return nullptr;
    auto it = std::find_if(FItems.begin(), FItems.end(), [&](const TZephraModuleRef& r) { return r->Handle == module; });
    if (it != FItems.end()) {
        if ((*it)->Kind != mkUnknown || FRefreshing)
            return *it;
        // A light record: built again, fully. Holders of the old one keep it.
        FItems.erase(it);
    }
    TZephraModuleRef record = Create(module);
    if (record) {
        auto at = std::lower_bound(FItems.begin(), FItems.end(), module,
                                   [](const TZephraModuleRef& r, HMODULE m) { return r->Handle < m; });
        FItems.insert(at, record);
    }
    return record;
}

TZephraModuleRef TZephraModulesList::ByAddress(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return nullptr;
    return ByHandle(module);
}

void TZephraModulesList::Refresh()
{
    FRefreshing = true;
    try {
        // Gone modules and changed files go; holders keep their records.
        FItems.erase(std::remove_if(FItems.begin(), FItems.end(),
                                    [](const TZephraModuleRef& r) {
                                        const std::string name = ModuleFileName(r->Handle);
                                        // Dates are whole seconds: a difference far below one
                                        // second is the rounding of the x87 registers.
                                        return name.empty() || name != r->FileName ||
                                               std::fabs(FileDate(name) - r->FileDate) > 1e-6;
                                    }),
                     FItems.end());
        for (HMODULE module : LoadedModules())
            ByHandle(module);
    } catch (...) {
        FRefreshing = false;
        throw;
    }
    FRefreshing = false;
    std::sort(FItems.begin(), FItems.end(),
              [](const TZephraModuleRef& a, const TZephraModuleRef& b) { return a->Handle < b->Handle; });
}

// ---- lookups ---------------------------------------------------------------------------------

bool LineLookup(TZephraModulesList& modules, uintptr_t address, TZephraStackEntry& entry)
{
    const TZephraModuleRef record = modules.ByAddress(reinterpret_cast<const void*>(address));
    if (!record || !record->LineData)
        return false;
    const uintptr_t base = reinterpret_cast<uintptr_t>(record->Handle) + LineDataCodeBase;
    if (address < base || address - base > 0xFFFFFFFFu)
        return false;
    TLineDataFormat format;
    format.Version = record->OptionsVersion;
    format.Unlocked = record->Unlocked != 0;
    format.Decipher = DecipherPart;
    format.LockedForm = LockedPart;
    const std::lock_guard<std::mutex> keyed(CipherLock());
    SetTeaKey(record->PassPhrase);
    TLineInfo info;
    if (!LookupLine(reinterpret_cast<const uint8_t*>(record->LineData->data()), record->LineData->size(), format,
                    static_cast<uint32_t>(address - base), info))
        return false;
    entry.Kind = seLineData;
    entry.Module = record;
    entry.Address = address;
    entry.UnitName = std::move(info.Unit);
    entry.ClassName = std::move(info.Class);
    entry.ProcedureName = std::move(info.Procedure);
    entry.Line = info.Line;
    entry.LineOffset = info.LineOffset;
    return true;
}

void AddressLookup(TZephraModulesList& modules, uintptr_t address, DWORD threadId, uint8_t flag,
                   TZephraStackEntry& entry)
{
    entry = TZephraStackEntry();
    entry.Module = modules.ByAddress(reinterpret_cast<const void*>(address));
    entry.ThreadId = threadId;
    entry.Flag = flag;
    if (LineLookup(modules, address, entry))
        return;
    entry.Kind = seNone;
    entry.Address = address;
    entry.Line = 0;
    if (!entry.Module)
        return;
    entry.Kind = seModule;
    size_t index;
    TExportNameParts parts;
    if (!entry.Module->Functions.empty() && FindInExports(address, *entry.Module, index) &&
        ParseExportName(entry.Module->Functions[index].Name, parts)) {
        entry.Kind = parts.Kind;
        entry.UnitName = parts.Unit;
        entry.ClassName = parts.Class;
        entry.ProcedureName = parts.Procedure;
    }
}

uint32_t StackFilter(const TZephraModuleOptions& options)
{
    uint32_t kinds = 1u << seLineData;
    if (options.StackFlags() & 1)
        kinds |= 1u << sePlainExport;
    if (options.StackFlags() & 2)
        kinds |= 1u << seQualifiedExport;
    return kinds;
}

} // namespace qov::exceptions
