// Windows utilities of the exception-reporting library against the real
// system (under Wine): memory layouts, files and folders, INI and registry,
// windows and the clipboard, shared areas, restart, rich edit, unit start.
#include <gtest/gtest.h>

#include <windows.h>
#include <richedit.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "ECore.h"
#include "ELang.h"
#include "RuruvarodIre.h"
#include "SysUtils.h"
#include "UnitStart.h"

using namespace qov::exceptions;

namespace {

// What the module's ordinary static initialisers see of the unit start.
struct TSeenAtStart {
    int ECoreCount = UnitStartCount("ECore");
    int RuruvarodIreCount = UnitStartCount("RuruvarodIre");
    std::string Folder = StartFolder();
} SeenAtStart;

std::string ProgramFolder()
{
    std::string self = ModuleFileName(nullptr);
    return self.substr(0, self.find_last_of('\\') + 1);
}

// A fresh folder under the temporary folder.
std::string NewTempFolder(const char* name)
{
    std::string folder = TempFolder() + "qov_ecore_" + name + qov::Format("_%lu", GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

void WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
}

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TPages {
    char* Base;
    SYSTEM_INFO Info;
    explicit TPages(size_t pages)
    {
        GetSystemInfo(&Info);
        Base = static_cast<char*>(VirtualAlloc(nullptr, pages * Info.dwPageSize, MEM_RESERVE, PAGE_NOACCESS));
    }
    ~TPages() { VirtualFree(Base, 0, MEM_RELEASE); }
    char* Page(size_t i) const { return Base + i * Info.dwPageSize; }
    void Commit(size_t first, size_t count, DWORD protect) const
    {
        VirtualAlloc(Page(first), count * Info.dwPageSize, MEM_COMMIT, protect);
    }
};

HWND NewWindow(DWORD exStyle, HWND owner, bool visible = true)
{
    return CreateWindowExA(exStyle, "STATIC", "ecore", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 0, 0,
                           100, 100, owner, nullptr, nullptr, nullptr);
}

} // namespace

TEST(ECore, ReadableRangeFollowsRegionsAndProtections)
{
    TPages pages(6);
    ASSERT_NE(pages.Base, nullptr);
    size_t page = pages.Info.dwPageSize;
    pages.Commit(0, 2, PAGE_READONLY);
    pages.Commit(2, 1, PAGE_READWRITE);
    pages.Commit(4, 1, PAGE_READWRITE | PAGE_GUARD);
    EXPECT_TRUE(IsReadableRange(pages.Page(0), 2 * page));
    EXPECT_TRUE(IsReadableRange(pages.Page(1) + 10, page + 100)); // read-only into read-write
    EXPECT_FALSE(IsReadableRange(pages.Page(2) + page - 4, 8));  // into the reserved page 3
    EXPECT_FALSE(IsReadableRange(pages.Page(3), 1));
    EXPECT_FALSE(IsReadableRange(pages.Page(4), 1)); // guard page
    EXPECT_FALSE(IsReadableRange(nullptr, 4));
    EXPECT_FALSE(IsReadableRange(pages.Page(0), SIZE_MAX));
    int local = 0;
    EXPECT_TRUE(IsReadableRange(&local, sizeof local));
    // The span stops where the readable pages stop, and never beyond maximum.
    EXPECT_EQ(ReadableSpan(pages.Page(2) + page - 16, 256), 16u);
    EXPECT_EQ(ReadableSpan(pages.Page(1) + page - 16, 256), 256u); // read-only into read-write
    EXPECT_EQ(ReadableSpan(pages.Page(0), 3 * page + 1), 3 * page);
    EXPECT_EQ(ReadableSpan(pages.Page(3), 8), 0u);
    EXPECT_EQ(ReadableSpan(pages.Page(4), 8), 0u); // guard page
    EXPECT_EQ(ReadableSpan(pages.Page(0), 0), 0u);
}

TEST(ECore, ImportStubIsFollowedOnlyThroughReadableSlots)
{
    TPages pages(2);
    pages.Commit(0, 1, PAGE_READWRITE);
    static int target;
    unsigned char* code = reinterpret_cast<unsigned char*>(pages.Page(0));
    const void** slot = reinterpret_cast<const void**>(pages.Page(0) + 64);
    *slot = &target;
    auto stubTo = [code](const void* where) {
        code[0] = 0xFF;
        code[1] = 0x25;
#ifdef _WIN64
        int32_t operand = static_cast<int32_t>(static_cast<const char*>(where) - reinterpret_cast<char*>(code + 6));
#else
        uint32_t operand = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(where));
#endif
        std::memcpy(code + 2, &operand, 4);
    };
    stubTo(slot);
    EXPECT_EQ(FollowImportStub(code), &target);
    stubTo(pages.Page(1)); // slot in the reserved page
    EXPECT_EQ(FollowImportStub(code), code);
    code[0] = 0x90;
    EXPECT_EQ(FollowImportStub(code), code);
    // The last bytes of a readable region: the 8 bytes do not fit.
    EXPECT_EQ(FollowImportStub(pages.Page(1) - 4), pages.Page(1) - 4);
}

TEST(ECore, FileDatesAndLongPaths)
{
    std::string folder = NewTempFolder("paths");
    std::string longFolder = folder + "\\A Long Folder Name";
    std::string longFile = longFolder + "\\another long file.txt";
    CreateDirectoryA(longFolder.c_str(), nullptr);
    WriteFile(longFile, "x");

    char shortName[MAX_PATH];
    ASSERT_NE(GetShortPathNameA(longFile.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(std::string(shortName).find('~'), std::string::npos) << shortName;
    EXPECT_EQ(LongPath(shortName), longFile);
    std::string shortFolder = std::string(shortName).substr(0, std::string(shortName).find_last_of('\\'));
    EXPECT_EQ(LongPath(shortFolder + "\\no such~dir\\x.txt"), longFolder + "\\no such~dir\\x.txt");
    EXPECT_EQ(LongPath("relative\\name.txt"), "relative\\name.txt");

    // Local 2026-12-09 04:05:07 is kept at 2-second resolution.
    SYSTEMTIME local = {2026, 12, 3, 9, 4, 5, 7, 0};
    FILETIME localTime, utcTime;
    SystemTimeToFileTime(&local, &localTime);
    LocalFileTimeToFileTime(&localTime, &utcTime);
    HANDLE file = CreateFileA(longFile.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &utcTime);
    CloseHandle(file);
    EXPECT_EQ(FileDate(longFile), EncodeDateTime(2026, 12, 9, 4, 5, 6));
    EXPECT_EQ(FileDate(folder + "\\missing.txt"), 0.0);
}

TEST(ECore, ModuleNamesDropTheNtPrefix)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    EXPECT_EQ(ModuleFileName(nullptr), self);
    EXPECT_TRUE(ModuleHasFileName(nullptr));

    std::string copy = NewTempFolder("module") + "\\ecore_copy.dll";
    ASSERT_TRUE(CopyFileA((ProgramFolder() + "ecore_area_dll.dll").c_str(), copy.c_str(), FALSE));
    HMODULE module = LoadLibraryA(("\\??\\" + copy).c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(ModuleFileName(module), copy);
    FreeLibrary(module);
}

TEST(ECore, ReportFolderFallbackAndIniFiles)
{
    std::string profile = NewTempFolder("profile");
    char savedProfile[1024] = {};
    GetEnvironmentVariableA("UserProfile", savedProfile, sizeof savedProfile);
    SetEnvironmentVariableA("UserProfile", profile.c_str());

    std::string writable = profile + "\\kept.zpf";
    std::string name = writable;
    EXPECT_TRUE(ReportFolderFallback(name, false, false));
    EXPECT_EQ(name, writable);
    EXPECT_EQ(GetFileAttributesA(writable.c_str()), INVALID_FILE_ATTRIBUTES); // probe left nothing

    name = profile + "\\no such folder\\log.zpf";
    EXPECT_TRUE(ReportFolderFallback(name, false, false));
    EXPECT_EQ(name, profile + "\\ZephraLog\\log.zpf");
    name = profile + "\\no such folder\\log.zpf";
    EXPECT_TRUE(ReportFolderFallback(name, true, false));
    EXPECT_EQ(name, profile + "\\ZephraLog\\exceptions_wtest_ecore\\log.zpf");
    name = profile + "\\no such folder\\log.zpf";
    EXPECT_FALSE(ReportFolderFallback(name, false, true));

    // A bare INI name lives in the Windows folder; values are cut at 2048.
    const std::string ini = qov::Format("qov_ecore_%lu.ini", GetCurrentProcessId());
    IniWrite(ini, "Coordinates", "Long", std::string(3000, 'v'));
    IniWrite(ini, "Coordinates", "Left", "12");
    EXPECT_EQ(IniRead(ini, "Coordinates", "Left", "0"), "12");
    EXPECT_EQ(IniRead(ini, "Coordinates", "Top", "7"), "7");
    EXPECT_EQ(IniRead(ini, "Coordinates", "Long", ""), std::string(2048, 'v'));
    std::string inWindows = WindowsFolder() + "\\" + ini;
    EXPECT_NE(GetFileAttributesA(inWindows.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(inWindows.c_str());

    SetEnvironmentVariableA("UserProfile", savedProfile[0] ? savedProfile : nullptr);
    EXPECT_EQ(UserProfileFolder(), savedProfile[0] ? savedProfile : "\\");
}

TEST(ECore, RegistryAndSystemFacts)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QovECoreTest\\ECore", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4);
    RegCloseKey(key);
    EXPECT_EQ(RegistryString(HKEY_CURRENT_USER, "\\Software\\QovECoreTest\\ECore", "Text"), "abc");
    EXPECT_EQ(RegistryString(HKEY_CURRENT_USER, "Software\\QovECoreTest\\ECore", "Missing"), "");
    EXPECT_EQ(RegistryString(HKEY_CURRENT_USER, "Software\\QovECoreTest\\None", "Text"), "");
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QovECoreTest\\ECore");
    // Wine reports a version that has a name.
    EXPECT_GT(OperatingSystemName().size(), std::string("Microsoft Windows ").size());
    std::string computer = ComputerName();
    EXPECT_FALSE(computer.empty());
    EXPECT_LE(computer.size(), 15u);
    TIME_ZONE_INFORMATION zone;
    DWORD mode = GetTimeZoneInformation(&zone);
    EXPECT_EQ(UtcOffsetMinutes(), -static_cast<int>(zone.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias
                                                                                            : zone.StandardBias)));
    EXPECT_EQ(SystemCharset(), CharsetOfCodePage(GetACP()));
    EXPECT_EQ(CharsetOfCodePage(936), GB2312_CHARSET);
    EXPECT_FALSE(HostIsDevelopmentEnvironment());
}

TEST(ECore, MainWindowsOwnWindowsAndClipboard)
{
    TakeOwnWindowList();
    HWND main = NewWindow(0, nullptr);
    HWND tool = NewWindow(WS_EX_TOOLWINDOW, nullptr);
    HWND toolApp = NewWindow(WS_EX_TOOLWINDOW | WS_EX_APPWINDOW, nullptr);
    HWND owned = NewWindow(0, main);
    HWND ownedByTool = NewWindow(0, tool);
    HWND hidden = NewWindow(0, nullptr, false);
    EXPECT_TRUE(IsMainWindow(main));
    EXPECT_FALSE(IsMainWindow(tool));
    EXPECT_TRUE(IsMainWindow(toolApp));
    EXPECT_FALSE(IsMainWindow(owned));
    EXPECT_TRUE(IsMainWindow(ownedByTool)); // a tool window passes its own (absent) owner on
    EXPECT_FALSE(IsMainWindow(hidden));
    HWND found = MainWindowOfProcess(GetCurrentProcessId());
    EXPECT_TRUE(found == main || found == toolApp || found == ownedByTool);
    EXPECT_EQ(MainWindowOfProcess(0xFFFFFFF0u), nullptr);

    EXPECT_TRUE(IsNewOwnWindow(main));
    TakeOwnWindowList();
    EXPECT_FALSE(IsNewOwnWindow(main));
    EXPECT_FALSE(IsNewOwnWindow(GetDesktopWindow()));

    ASSERT_TRUE(CopyToClipboard("report text\r\nline 2"));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(data)), "report text\r\nline 2");
    GlobalUnlock(data);
    CloseClipboard();
    // The windows go with the process: under a bare X server Wine takes
    // seconds to destroy each shown window.
}

TEST(ECore, SharedAreasBetweenModules)
{
    HMODULE dll = LoadLibraryA((ProgramFolder() + "ecore_area_dll.dll").c_str());
    ASSERT_NE(dll, nullptr);
    auto write = reinterpret_cast<int(__cdecl*)(const char*, const char*)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "EcoreWriteArea")));
    auto close = reinterpret_cast<void(__cdecl*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "EcoreCloseArea")));
    auto starts = reinterpret_cast<int(__cdecl*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "EcoreStartCount")));
    ASSERT_TRUE(write && close && starts);
    EXPECT_EQ(starts(), 1); // the DLL runs its own instance's unit start

    ASSERT_EQ(write("MODULE", "options of the DLL"), 1);
    void* data = nullptr;
    HANDLE area = OpenSharedArea(dll, "MODULE", 0, data);
    ASSERT_NE(area, nullptr);
    EXPECT_STREQ(static_cast<const char*>(data), "options of the DLL");
    uint32_t sizeWord;
    std::memcpy(&sizeWord, static_cast<char*>(data) - 4, 4);
    EXPECT_EQ(sizeWord, sizeof "options of the DLL" + 4);
    CloseSharedArea(area, data);
    EXPECT_EQ(area, nullptr);
    EXPECT_EQ(data, nullptr);
    close();

    // Size 0 opens only what exists, and leaves no mapping behind.
    EXPECT_EQ(OpenSharedArea(dll, "ABSENT", 0, data), nullptr);
    EXPECT_EQ(data, nullptr);
    std::string absent = SharedAreaName(GetCurrentProcessId(), reinterpret_cast<uintptr_t>(dll), "ABSENT");
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, absent.c_str()), nullptr);
    FreeLibrary(dll);

    // A size word below 4 or beyond the mapping counts as absent.
    HMODULE self = GetModuleHandleA(nullptr);
    for (uint32_t word : {2u, 1u << 20, 64u}) {
        std::string name = SharedAreaName(GetCurrentProcessId(), reinterpret_cast<uintptr_t>(self), "FORGED");
        HANDLE forged = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
        void* view = MapViewOfFile(forged, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        std::memcpy(view, &word, 4);
        HANDLE opened = OpenSharedArea(self, "FORGED", 0, data);
        EXPECT_EQ(opened != nullptr, word == 64u) << word;
        CloseSharedArea(opened, data);
        UnmapViewOfFile(view);
        CloseHandle(forged);
    }
}

TEST(ECore, RestartKeepsCommandLineAndStartFolder)
{
    std::string folder = NewTempFolder("restart");
    std::string result = folder + "\\result.txt", marker = folder + "\\marker";
    DeleteFileA(result.c_str());
    DeleteFileA(marker.c_str());
    std::string child = ProgramFolder() + "ecore_restart_child.exe";
    auto run = [&](const std::string& exe, const std::string& cwd) {
        std::string commandLine = "\"" + exe + "\" \"" + result + "\" \"" + marker + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        EXPECT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(),
                                   &startup, &process));
        WaitForSingleObject(process.hProcess, 20000);
        DWORD code = 99;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return std::make_pair(commandLine, code);
    };
    auto [commandLine, code] = run(child, folder);
    EXPECT_EQ(code, 1u);
    for (int i = 0; i < 200 && ReadFile(result).empty(); ++i)
        Sleep(50);
    Sleep(200);
    EXPECT_EQ(ReadFile(result), commandLine + "\n" + folder + "\n0\n");

    // The same program under the development environment's name.
    std::string ide = folder + "\\" + DevelopmentEnvironmentExe;
    ASSERT_TRUE(CopyFileA(child.c_str(), ide.c_str(), FALSE));
    DeleteFileA(result.c_str());
    auto [ideLine, ideCode] = run(ide, folder);
    EXPECT_EQ(ideCode, 0u);
    EXPECT_EQ(ReadFile(result), ideLine + "\n" + folder + "\n1\n");
}

TEST(ECore, ReportRtfReadsBackFromRichEdit)
{
    ASSERT_NE(LoadLibraryA("riched32.dll"), nullptr);
    HWND edit = CreateWindowExA(0, "RichEdit", "", WS_POPUP | ES_MULTILINE, 0, 0, 400, 300, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    HFONT font = static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
    std::string report = "Exception {x}\r\nGeneral:\r\n-----------\r\nModule: C:\\app\\prog.exe\r\nplain line";
    ASSERT_TRUE(StreamRtfIntoRichEdit(edit, ReportToRtf(report, SystemCharset(), RtfFontOf(font))));
    // A system colour is the class library's form: high bit set, index in the low byte.
    SetRichEditBackground(edit, static_cast<int>(0x80000000u | COLOR_BTNFACE));
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(edit, EM_SETBKGNDCOLOR, 0, RGB(1, 2, 3))),
              GetSysColor(COLOR_BTNFACE));
    char text[1024] = {};
    GetWindowTextA(edit, text, sizeof text);
    std::vector<std::string> lines = SplitLines(text);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    EXPECT_EQ(lines, SplitLines(report));
    DestroyWindow(edit);
}

TEST(ECore, UnitsStartFirstOnceAndInOrder)
{
    EXPECT_EQ(SeenAtStart.ECoreCount, 1);
    EXPECT_EQ(SeenAtStart.RuruvarodIreCount, 1);
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    EXPECT_EQ(SeenAtStart.Folder, cwd);
    EXPECT_EQ(UnitStartCount("Nothing"), -1);
    EXPECT_EQ(UnitStepFailure(), "");

    StartUnits();
    EXPECT_EQ(UnitStartCount("ECore"), 2);
    EndUnits();
    EXPECT_EQ(UnitStartCount("ECore"), 1);
    EXPECT_EQ(StartFolder(), SeenAtStart.Folder);
}

namespace {
std::string Reported;
void ReportInternal(const std::string& text) { Reported = text; }
void FailingStep() { throw qov::Exception("boom"); }
void ThrowingInt() { throw 5; }
} // namespace

TEST(ECore, RunUnitStepNamesTheFailingStep)
{
    try {
        RunUnitStep(FailingStep, "EHook.Init");
        ADD_FAILURE();
    } catch (const qov::Exception& e) {
        EXPECT_EQ(e.Message(), "Critical error at: \"EHook.Init\"\r\nError: \"boom\".");
    }
    try {
        RunUnitStep(ThrowingInt, "EHook.Done");
        ADD_FAILURE();
    } catch (const qov::Exception& e) {
        EXPECT_EQ(e.Message(), "Critical error at: \"EHook.Done\"\r\nError: \"General internal error.\".");
    }
    SetInternalErrorReporter(ReportInternal);
    EXPECT_THROW(RunUnitStep(FailingStep, "EHook.Init"), qov::EAbort);
    SetInternalErrorReporter(nullptr);
    EXPECT_EQ(Reported, qov::Format("EHook.Init (Address: %08llX)",
                                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&FailingStep))));
}
