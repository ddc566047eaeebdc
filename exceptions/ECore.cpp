#include "ECore.h"

#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "SysUtils.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qov::exceptions {

const char* const DevelopmentEnvironmentExe = "ZEPHRAIDE.EXE";

bool IsReadableProtection(DWORD protect)
{
    switch (protect) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
        return true;
    default: // also every protection with a modifier bit (guard, no-cache ...)
        return false;
    }
}

namespace {

std::atomic<TInternalErrorReporter> InternalErrorReporter{nullptr};
bool HostIsIde = false;

std::string ExcludeTrailingBackslash(const std::string& path)
{
    return !path.empty() && path.back() == '\\' ? path.substr(0, path.size() - 1) : path;
}

bool ForceFolder(const std::string& folder)
{
    return FolderExists(folder) || CreateDirectoryA(folder.c_str(), nullptr) || FolderExists(folder);
}

std::string UpperCase(std::string text)
{
    if (!text.empty())
        CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The drive part of a full path: "C:" or "\\server\share".
size_t DrivePartLength(const std::string& path)
{
    if (path.size() >= 2 && path[1] == ':')
        return 2;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        size_t server = path.find('\\', 2);
        if (server == std::string::npos)
            return path.size();
        size_t share = path.find('\\', server + 1);
        return share == std::string::npos ? path.size() : share;
    }
    return 0;
}

std::string IniFileOf(const std::string& fileName)
{
    if (fileName.find_first_of("\\/:") != std::string::npos)
        return fileName;
    return ExcludeTrailingBackslash(WindowsFolder()) + "\\" + fileName;
}

} // namespace

bool IsReadableRange(const void* address, size_t length)
{
    uintptr_t next = reinterpret_cast<uintptr_t>(address);
    if (length > UINTPTR_MAX - next)
        return false;
    size_t count = 0;
    do {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<LPCVOID>(next), &info, sizeof info) != sizeof info ||
            info.State != MEM_COMMIT || !IsReadableProtection(info.Protect))
            return false;
        uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (end <= next) // the top of the address space
            return count + (0 - next) >= length;
        count += end - next;
        next = end;
    } while (count < length);
    return true;
}

size_t ReadableSpan(const void* address, size_t maximum)
{
    uintptr_t next = reinterpret_cast<uintptr_t>(address);
    size_t count = 0;
    while (count < maximum) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<LPCVOID>(next), &info, sizeof info) != sizeof info ||
            info.State != MEM_COMMIT || !IsReadableProtection(info.Protect))
            break;
        const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (end <= next) // the top of the address space
            return std::min<size_t>(maximum, count + (0 - next));
        count += end - next;
        next = end;
    }
    return std::min(count, maximum);
}

const void* FollowImportStub(const void* code)
{
    const auto* bytes = static_cast<const uint8_t*>(code);
    if (!IsReadableRange(bytes, 8) || bytes[0] != 0xFF || bytes[1] != 0x25)
        return code;
    int32_t operand;
    std::memcpy(&operand, bytes + 2, sizeof operand);
#ifdef _WIN64
    // jmp [rip + disp32]: the slot is relative to the next instruction.
    const void* slot = bytes + 6 + operand;
#else
    // jmp [abs32]
    const void* slot = reinterpret_cast<const void*>(static_cast<uintptr_t>(static_cast<uint32_t>(operand)));
#endif
    if (!IsReadableRange(slot, sizeof(void*)))
        return code;
    const void* target;
    std::memcpy(&target, slot, sizeof target);
    return target;
}

TDateTime FileDate(const std::string& fileName)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(fileName.c_str(), GetFileExInfoStandard, &data))
        return 0;
    FILETIME local;
    WORD dosDate, dosTime;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToDosDateTime(&local, &dosDate, &dosTime))
        return 0;
    return DosDateTimeToDateTime(dosDate, dosTime);
}

std::string LongPath(const std::string& path)
{
    if (path.find('~') == std::string::npos)
        return path;
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH)
        return path;
    std::string fullPath(full, n);
    size_t drive = DrivePartLength(fullPath);
    std::string result = fullPath.substr(0, drive);
    size_t pos = drive;
    if (pos < fullPath.size() && fullPath[pos] == '\\')
        result += fullPath[pos++];
    while (pos < fullPath.size()) {
        size_t sep = fullPath.find('\\', pos);
        std::string component = fullPath.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos);
        WIN32_FIND_DATAA found;
        HANDLE search = component.empty() || component.find_first_of("*?") != std::string::npos
                            ? INVALID_HANDLE_VALUE
                            : FindFirstFileA((result + component).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return result + fullPath.substr(pos);
        FindClose(search);
        result += found.cFileName;
        if (sep == std::string::npos)
            break;
        result += '\\';
        pos = sep + 1;
    }
    return result;
}

std::string ModuleFileName(HMODULE module)
{
    char buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer)
        return std::string();
    return LongPath(DropNtPathPrefix(std::string(buffer, n)));
}

bool ModuleHasFileName(HMODULE module)
{
    return !ModuleFileName(module).empty();
}

std::string TempFolder()
{
    char buffer[260];
    DWORD n = GetTempPathA(sizeof buffer, buffer);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

std::string WindowsFolder()
{
    char buffer[256];
    UINT n = GetWindowsDirectoryA(buffer, sizeof buffer);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

std::string EnvironmentVariable(const std::string& name)
{
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

std::string UserProfileFolder()
{
    std::string profile = EnvironmentVariable("UserProfile");
    return profile.empty() ? std::string("\\") : profile;
}

bool FolderExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileReadable(const std::string& fileName)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool FileWritable(const std::string& fileName)
{
    bool existed = GetFileAttributesA(fileName.c_str()) != INVALID_FILE_ATTRIBUTES;
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    if (!existed)
        DeleteFileA(fileName.c_str());
    return true;
}

bool ReportFolderFallback(std::string& fileName, bool perProgram, bool readOnly)
{
    auto probe = [readOnly](const std::string& name) {
        return readOnly ? FileReadable(name) : FileWritable(name);
    };
    if (probe(fileName))
        return true;
    std::string folder = ExcludeTrailingBackslash(UserProfileFolder()) + "\\ZephraLog";
    if (!ForceFolder(folder))
        return false;
    if (perProgram) {
        folder += "\\" + ChangeFileExt(ExtractFileName(ModuleFileName(nullptr)), "");
        if (!ForceFolder(folder))
            return false;
    }
    std::string candidate = folder + "\\" + ExtractFileName(fileName);
    if (!probe(candidate))
        return false;
    fileName = candidate;
    return true;
}

std::string IniRead(const std::string& fileName, const std::string& section, const std::string& key,
                    const std::string& def)
{
    std::string file = IniFileOf(fileName);
    if (!ReportFolderFallback(file, false, false))
        return def;
    char buffer[2048 + 1];
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer, sizeof buffer,
                                       file.c_str());
    return std::string(buffer, n < sizeof buffer ? n : sizeof buffer - 1);
}

void IniWrite(const std::string& fileName, const std::string& section, const std::string& key,
              const std::string& value)
{
    std::string file = IniFileOf(fileName);
    if (ReportFolderFallback(file, false, false))
        WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str());
}

std::string RegistryString(HKEY root, const std::string& keyPath, const std::string& valueName)
{
    std::string path = !keyPath.empty() && keyPath[0] == '\\' ? keyPath.substr(1) : keyPath;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::string();
    std::string value;
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        value.resize(size);
        if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr,
                             reinterpret_cast<BYTE*>(value.data()), &size) == ERROR_SUCCESS &&
            size <= value.size()) {
            value.resize(size);
            if (!value.empty() && value.back() == '\0')
                value.pop_back();
        } else {
            value.clear();
        }
    }
    RegCloseKey(key);
    return value;
}

int UtcOffsetMinutes()
{
    SYSTEMTIME local, utc;
    GetLocalTime(&local);
    GetSystemTime(&utc);
    auto value = [](const SYSTEMTIME& t) {
        return EncodeDateTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    };
    return static_cast<int>(std::lround((value(local) - value(utc)) * 1440.0));
}

std::string LongDateText(TDateTime value)
{
    return LongDateText(value, UtcOffsetMinutes());
}

std::string OperatingSystemName()
{
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version))
        return "Microsoft Windows ";
    return OperatingSystemName(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion,
                               version.szCSDVersion);
}

std::string ComputerName()
{
    char buffer[16];
    DWORD n = sizeof buffer;
    return GetComputerNameA(buffer, &n) ? std::string(buffer, n) : std::string();
}

bool HostIsDevelopmentEnvironment()
{
    return HostIsIde;
}

bool IsMainWindow(HWND window)
{
    if (!IsWindowVisible(window))
        return false;
    HWND desktop = GetDesktopWindow();
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner && owner != desktop && (GetWindowLongPtrA(owner, GWL_EXSTYLE) & WS_EX_TOOLWINDOW))
        owner = GetWindow(owner, GW_OWNER);
    if (owner && owner != desktop)
        return false;
    LONG_PTR style = GetWindowLongPtrA(window, GWL_EXSTYLE);
    return !((style & WS_EX_TOOLWINDOW) && !(style & WS_EX_APPWINDOW));
}

namespace {

struct TMainWindowSearch {
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindMainWindow(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TMainWindowSearch*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->ProcessId || !IsMainWindow(window))
        return TRUE;
    search->Found = window;
    return FALSE;
}

} // namespace

HWND MainWindowOfProcess(DWORD processId)
{
    TMainWindowSearch search{processId, nullptr};
    EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

void SetInternalErrorReporter(TInternalErrorReporter reporter)
{
    InternalErrorReporter.store(reporter);
}

void RunUnitStep(TUnitStep step, const char* stepName)
{
    try {
        step();
    } catch (...) {
        bool isException = false;
        std::string message;
        try {
            throw;
        } catch (const std::exception& e) {
            isException = true;
            message = e.what();
        } catch (...) {
        }
        if (TInternalErrorReporter reporter = InternalErrorReporter.load()) {
            reporter(Format("%s (Address: %08llX)", stepName,
                            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(step))));
            throw EAbort(std::string());
        }
        throw Exception(Format("Critical error at: \"%s\"\r\nError: \"%s\".", stepName,
                               isException ? message.c_str() : "General internal error."));
    }
}

bool ProcessEnding()
{
    const auto* base = reinterpret_cast<const uint8_t*>(&__ImageBase);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    if (!(headers->FileHeader.Characteristics & IMAGE_FILE_DLL))
        return true;
    using TShutdownInProgress = BOOLEAN(NTAPI*)();
    const auto inProgress = reinterpret_cast<TShutdownInProgress>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
    return inProgress && inProgress();
}

void ECoreInit()
{
    HostIsIde = UpperCase(ExtractFileName(ModuleFileName(nullptr))) == DevelopmentEnvironmentExe;
}

void ECoreDone()
{
}

} // namespace qov::exceptions
