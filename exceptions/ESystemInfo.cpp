#include "ESystemInfo.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ECore.h"
#include "EManager.h"
#include "EModules.h"
#include "EReportSteps.h"
#include "SysUtils.h"

namespace qov::exceptions {

namespace {

constexpr int PointerDigits = sizeof(void*) * 2;

TDateTime LocalNowValue()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return EncodeDateTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// Taken when the module's static data is made; the library's start takes it
// again.
TDateTime StartTime = LocalNowValue();

// The module holding address (no reference taken), or null.
HMODULE ModuleOfAddress(const void* address)
{
    HMODULE module = nullptr;
    if (!address || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCSTR>(address), &module))
        return nullptr;
    return module;
}

bool IsAccessViolation(const TExceptionInfo& exception)
{
    return exception.InheritsFrom("EAccessViolation");
}

// The record's words the rebuild reads, up to the second information word,
// are readable and it holds both words.
bool RecordUsable(const EXCEPTION_RECORD* record)
{
    constexpr size_t span = offsetof(EXCEPTION_RECORD, ExceptionInformation) + 2 * sizeof(ULONG_PTR);
    return record && IsReadableRange(record, span) && record->NumberParameters >= 2;
}

std::string RebuiltAccessViolation(const TExceptionInfo& exception, const EXCEPTION_RECORD& record)
{
    const auto address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    const bool write = record.ExceptionInformation[0] != 0;
    const uint64_t target = record.ExceptionInformation[1];
    MEMORY_BASIC_INFORMATION info;
    char path[MAX_PATH + 1] = {};
    if (VirtualQuery(record.ExceptionAddress, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
        info.AllocationBase &&
        GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), path, MAX_PATH) > 0) {
        std::string text = AccessViolationText(address, write, target, ExtractFileName(path), PointerDigits);
        if (text == exception.Message())
            text = AccessViolationText(address, write, target, ExtractFileName(LongPath(path)), PointerDigits);
        return text;
    }
    return AccessViolationText(address, write, target, std::string(), PointerDigits);
}

// The root of the drive of a file: "C:\", or "\\server\share\".
std::string DriveRoot(const std::string& fileName)
{
    if (fileName.size() >= 2 && fileName[1] == ':')
        return fileName.substr(0, 2) + "\\";
    if (fileName.size() > 2 && fileName[0] == '\\' && fileName[1] == '\\') {
        size_t share = fileName.find('\\', 2);
        if (share == std::string::npos)
            return std::string();
        size_t end = fileName.find('\\', share + 1);
        return (end == std::string::npos ? fileName : fileName.substr(0, end)) + "\\";
    }
    return std::string();
}

bool MemoryStatus(MEMORYSTATUSEX& status)
{
    std::memset(&status, 0, sizeof status);
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) != 0;
}

bool VersionFacts(OSVERSIONINFOA& version)
{
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) != 0;
}

// The language search's result (emptied at the start of each search).
std::string FoundLanguage;
LANGID WantedLanguage = 0;
bool WideLocaleCalls = true;

BOOL CALLBACK LocaleVisitor(LPSTR localeText)
{
    if (!localeText || std::strlen(localeText) < 8)
        return TRUE;
    char number[5] = {localeText[4], localeText[5], localeText[6], localeText[7], 0};
    char* end = nullptr;
    const unsigned long locale = std::strtoul(number, &end, 16);
    if (*end != '\0')
        return TRUE;
    const LCID lcid = static_cast<LCID>(locale);
    bool named;
    if (WideLocaleCalls) {
        std::vector<wchar_t> wide(1024, L'\0');
        named = GetLocaleInfoW(lcid, LOCALE_SABBREVLANGNAME, wide.data(), 1024) > 0 && wide[0] != L'\0';
    } else {
        std::vector<char> narrow(1024, '\0');
        named = GetLocaleInfoA(lcid, LOCALE_SABBREVLANGNAME, narrow.data(), 1024) > 0 && narrow[0] != '\0';
    }
    if (!named)
        return TRUE;
    std::vector<char> english(1024, '\0');
    GetLocaleInfoA(lcid, LOCALE_SENGLANGUAGE, english.data(), 1024);
    if (locale == WantedLanguage) {
        FoundLanguage = english.data();
        return FALSE;
    }
    return TRUE;
}

// One adapter's DNS servers through GetPerAdapterInfo (the same two calls).
using TGetAdaptersInfo = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
using TGetPerAdapterInfo = DWORD(WINAPI*)(ULONG, PIP_PER_ADAPTER_INFO, PULONG);

void ReadDns(TGetPerAdapterInfo getPerAdapter, ULONG index, TAdapterFacts& facts)
{
    ULONG size = 0;
    if (getPerAdapter(index, nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0)
        return;
    std::vector<unsigned char> buffer(size + sizeof(IP_PER_ADAPTER_INFO));
    auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data());
    if (getPerAdapter(index, info, &size) != ERROR_SUCCESS)
        return;
    facts.HasDnsInfo = true;
    for (const IP_ADDR_STRING* dns = &info->DnsServerList; dns && facts.Dns.size() < 2; dns = dns->Next)
        facts.Dns.emplace_back(dns->IpAddress.String, strnlen(dns->IpAddress.String, sizeof dns->IpAddress.String));
}

std::string FixedText(const char* text, size_t size)
{
    return std::string(text, strnlen(text, size));
}

} // namespace

void MarkLibraryStart()
{
    StartTime = LocalNowValue();
}

TDateTime LibraryStartTime()
{
    return StartTime;
}

std::string GetExceptionMessageText(const TExceptionInfo* exception)
{
    if (!IsValidExceptionObject(exception) ||
        !(exception->InheritsFrom("Exception") || exception->InheritsFrom("std::exception")))
        return "Unknown error message.";
    std::string text = exception->Message();
    const EXCEPTION_RECORD* record = exception->SystemRecord();
    if (IsAccessViolation(*exception) && RecordUsable(record))
        text = RebuiltAccessViolation(*exception, *record);
    return WithFullStop(text);
}

void InstallSystemInfoSteps()
{
    ReportSteps().ExceptionMessage = [](TReportState& report) {
        return CleanMessageText(GetExceptionMessageText(report.Exception.get()));
    };
}

std::string ExceptionAddressText(const void* address)
{
    return address ? AddressText(reinterpret_cast<uintptr_t>(address), PointerDigits) : std::string();
}

std::string ExceptionModuleText(const void* address)
{
    HMODULE module = ModuleOfAddress(address);
    return module ? ExtractFileName(ModuleFileName(module)) : std::string();
}

std::string ExceptionTypeText(const TExceptionInfo* exception)
{
    if (!IsValidExceptionObject(exception))
        return "Unknown exception type.";
    return exception->ClassName();
}

std::string CommandLineParameters()
{
    std::vector<std::string> parameters;
    char** argv = __argv;
    const int argc = __argc;
    if (argv)
        for (int i = 1; i < argc; ++i)
            if (argv[i])
                parameters.emplace_back(argv[i]);
    return QuotedParameters(parameters);
}

std::string CompilationDate()
{
    TZephraModuleRef record = LibraryModules().ByHandle(OwnModule());
    if (!record)
        return std::string();
    TDateTime compiled;
    std::memcpy(&compiled, record->Build, sizeof compiled);
    return CompilationDateText(compiled, UtcOffsetMinutes());
}

std::string ForegroundWindowClass()
{
    HWND window = GetForegroundWindow();
    char name[256] = {};
    if (!window)
        return std::string();
    const int length = GetClassNameA(window, name, sizeof name);
    return length > 0 ? std::string(name, static_cast<size_t>(length)) : std::string();
}

std::string ForegroundWindowText()
{
    HWND window = GetForegroundWindow();
    char text[256] = {};
    if (!window)
        return std::string();
    const LRESULT length = DefWindowProcA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    if (length <= 0)
        return std::string();
    return Flatten(FixedText(text, sizeof text));
}

std::string UserName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) ? FixedText(name, sizeof name) : std::string();
}

std::string TotalMemoryText()
{
    MEMORYSTATUSEX status;
    return MemoryStatus(status) ? MemoryText(status.ullTotalPhys) : std::string();
}

std::string FreeMemoryText()
{
    MEMORYSTATUSEX status;
    return MemoryStatus(status) ? MemoryText(status.ullAvailPhys) : std::string();
}

void DiskValues(std::string& total, std::string& free)
{
    total.clear();
    free.clear();
    using TGetDiskFreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto call = kernel ? reinterpret_cast<TGetDiskFreeSpaceEx>(
                             reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")))
                       : nullptr;
    if (!call)
        return;
    const std::string root = DriveRoot(ModuleFileName(OwnModule()));
    ULARGE_INTEGER available{}, bytes{};
    if (root.empty() || !call(root.c_str(), &available, &bytes, nullptr))
        return;
    total = DiskText(bytes.QuadPart);
    free = DiskText(available.QuadPart);
}

std::string SystemUpTime()
{
    return UpTimeText(GetTickCount64());
}

std::string ProcessorName()
{
    const char* key = "\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    return ProcessorText(RegistryString(HKEY_LOCAL_MACHINE, key, "ProcessorNameString"),
                         RegistryString(HKEY_LOCAL_MACHINE, key, "VendorIdentifier"),
                         RegistryString(HKEY_LOCAL_MACHINE, key, "Identifier"));
}

std::string DisplayMode()
{
    HDC screen = GetDC(nullptr);
    if (!screen)
        return std::string();
    std::string text = DisplayModeText(GetDeviceCaps(screen, HORZRES), GetDeviceCaps(screen, VERTRES),
                                       GetDeviceCaps(screen, BITSPIXEL));
    ReleaseDC(nullptr, screen);
    return text;
}

std::string SystemBuildNumber()
{
    OSVERSIONINFOA version;
    if (!VersionFacts(version))
        return std::string();
    DWORD build = version.dwBuildNumber;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        build &= 0xFFFF;
    return Format("%lu", static_cast<unsigned long>(build));
}

std::string ServicePackText()
{
    OSVERSIONINFOA version;
    return VersionFacts(version) ? Trim(FixedText(version.szCSDVersion, sizeof version.szCSDVersion))
                                 : std::string();
}

std::string SystemLanguage()
{
    FoundLanguage.clear();
    WantedLanguage = GetSystemDefaultLangID();
    OSVERSIONINFOA version;
    WideLocaleCalls = !VersionFacts(version) || version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    EnumSystemLocalesA(LocaleVisitor, LCID_INSTALLED);
    return FoundLanguage;
}

TNetworkValues GetNetworkValues()
{
    HMODULE library = LoadLibraryA("iphlpapi.dll");
    if (!library)
        return {};
    auto getAdapters = reinterpret_cast<TGetAdaptersInfo>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetAdaptersInfo")));
    auto getPerAdapter = reinterpret_cast<TGetPerAdapterInfo>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetPerAdapterInfo")));
    std::vector<TAdapterFacts> adapters;
    bool listed = false;
    if (getAdapters && getPerAdapter) {
        ULONG size = 0;
        if (getAdapters(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size > 0) {
            std::vector<unsigned char> buffer(size);
            auto* first = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
            if (getAdapters(first, &size) == ERROR_SUCCESS) {
                listed = true;
                for (const IP_ADAPTER_INFO* a = first; a; a = a->Next) {
                    TAdapterFacts facts;
                    facts.Dhcp = a->DhcpEnabled == 1;
                    facts.Address = FixedText(a->IpAddressList.IpAddress.String, sizeof a->IpAddressList.IpAddress.String);
                    facts.Mask = FixedText(a->IpAddressList.IpMask.String, sizeof a->IpAddressList.IpMask.String);
                    facts.Gateway = FixedText(a->GatewayList.IpAddress.String, sizeof a->GatewayList.IpAddress.String);
                    ReadDns(getPerAdapter, a->Index, facts);
                    adapters.push_back(std::move(facts));
                }
            }
        }
    }
    FreeLibrary(library);
    return listed ? NetworkTexts(adapters) : TNetworkValues{};
}

TGeneralValues GeneralSectionValues(const TReportState& state)
{
    TGeneralValues v;
    const std::string program = ModuleFileName(GetModuleHandleA(nullptr));
    std::string description, version;
    VersionInformation(program, description, version);
    v[0] = LongDateText(LibraryStartTime());
    v[1] = description.empty() ? ExtractFileName(program) : description;
    v[2] = version;
    v[3] = CommandLineParameters();
    v[4] = CompilationDate();
    v[5] = LongDateText(state.Time);
    v[6] = ExceptionAddressText(state.Address);
    v[7] = ExceptionModuleText(state.Address);
    v[8] = ExceptionTypeText(state.Exception.get());
    v[9] = GetExceptionMessageText(state.Exception.get());
    v[10] = ForegroundWindowClass();
    v[11] = ForegroundWindowText();
    v[12] = state.Block.FocusClass;
    v[13] = Flatten(state.Block.FocusText);
    v[14] = ComputerName();
    v[15] = UserName();
    v[16] = TotalMemoryText();
    v[17] = FreeMemoryText();
    DiskValues(v[18], v[19]);
    v[20] = SystemUpTime();
    v[21] = ProcessorName();
    v[22] = DisplayMode();
    v[23] = OperatingSystemName();
    v[24] = SystemBuildNumber();
    v[25] = ServicePackText();
    v[26] = SystemLanguage();
    const TNetworkValues network = GetNetworkValues();
    for (size_t i = 0; i < network.size(); ++i)
        v[27 + i] = network[i];
    return v;
}

} // namespace qov::exceptions
