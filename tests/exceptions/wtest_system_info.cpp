// The general section's values on a real system: memory, disk, up time,
// processor, display, language and network as the system gives them, the
// focus values from the manager's capture, the foreground window, the
// compilation date from the program's own debug data, the command line as
// the run-time library splits it, and the message of a real access
// violation rebuilt from its record.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <regex>
#include <string>

#include "ChildProgram.h"
#include "ECore.h"
#include "EManager.h"
#include "EModules.h"
#include "EReportSteps.h"
#include "ESystemInfo.h"
#include "SysUtils.h"

using namespace qov::exceptions;

namespace {

constexpr int Digits = sizeof(void*) * 2;

std::string ProgramName()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return ExtractFileName(path);
}

// The record of an access violation that really happened: a thread writes
// to address 8, a vectored handler copies the record and ends the thread.
EXCEPTION_RECORD FaultRecord;
DWORD FaultThread = 0;

LONG CALLBACK CopyFault(EXCEPTION_POINTERS* pointers)
{
    if (GetCurrentThreadId() != FaultThread ||
        pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    FaultRecord = *pointers->ExceptionRecord;
    ExitThread(0);
}

DWORD WINAPI WriteToEight(void*)
{
    int* volatile target = reinterpret_cast<int*>(8);
    *target = 1;
    return 1;
}

EXCEPTION_RECORD RealAccessViolation()
{
    std::memset(&FaultRecord, 0, sizeof FaultRecord);
    void* handler = AddVectoredExceptionHandler(1, CopyFault);
    HANDLE thread = CreateThread(nullptr, 0, WriteToEight, nullptr, CREATE_SUSPENDED, &FaultThread);
    ResumeThread(thread);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    RemoveVectoredExceptionHandler(handler);
    return FaultRecord;
}

TReportState StateOf(const TExceptionInfo& exception, const void* address)
{
    TReportState state;
    state.Exception = std::make_shared<const TExceptionInfo>(exception);
    state.Address = address;
    state.Time = EncodeDateTime(2026, 12, 9, 4, 5, 6);
    return state;
}

} // namespace

TEST(SystemInfo, MessageOfRealAccessViolationIsRebuiltFromItsRecord)
{
    const EXCEPTION_RECORD record = RealAccessViolation();
    ASSERT_EQ(EXCEPTION_ACCESS_VIOLATION, record.ExceptionCode);
    ASSERT_GE(record.NumberParameters, 2u);
    const TExceptionInfo info(record, nullptr);
    const std::string at = AddressText(reinterpret_cast<uintptr_t>(record.ExceptionAddress), Digits);
    EXPECT_EQ("Access violation at address " + at + " in module '" + ProgramName() + "'. Write of address " +
                  std::string(Digits - 1, '0') + "8.",
              GetExceptionMessageText(&info));
}

TEST(SystemInfo, AccessViolationWithoutBothInformationWordsKeepsItsMessage)
{
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(&GetTickCount);
    record.NumberParameters = 1;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0x1234;
    const TExceptionInfo one(record, nullptr);
    EXPECT_EQ(WithFullStop(one.Message()), GetExceptionMessageText(&one));
    EXPECT_EQ(std::string::npos, GetExceptionMessageText(&one).find("Write of address")) << one.Message();

    // With both words, outside any module: the short form, Read for word 0.
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 0;
    record.ExceptionAddress = reinterpret_cast<void*>(static_cast<uintptr_t>(0x10));
    const TExceptionInfo two(record, nullptr);
    EXPECT_EQ("Access violation at address " + AddressText(0x10, Digits) + ". Read of address " +
                  AddressText(0x1234, Digits) + ".",
              GetExceptionMessageText(&two));
}

TEST(SystemInfo, MessagesOfOtherExceptionsAndOfNone)
{
    EXPECT_EQ("Unknown error message.", GetExceptionMessageText(nullptr));
    EXPECT_EQ("Unknown exception type.", ExceptionTypeText(nullptr));
    const TExceptionInfo empty;
    EXPECT_EQ("Unknown error message.", GetExceptionMessageText(&empty));
    int thrown = 5;
    const TExceptionInfo plain(&typeid(thrown), &thrown);
    EXPECT_EQ("Unknown error message.", GetExceptionMessageText(&plain));
    EXPECT_EQ("int", ExceptionTypeText(&plain));

    qov::Exception stop("Disk full.");
    EXPECT_EQ("Disk full.", GetExceptionMessageText(&*std::make_unique<TExceptionInfo>(&typeid(stop), &stop)));
    qov::Exception noStop("Disk full");
    const TExceptionInfo info(&typeid(noStop), &noStop);
    EXPECT_EQ("Disk full.", GetExceptionMessageText(&info));
    EXPECT_EQ("Exception", ExceptionTypeText(&info));
    qov::Exception blank("");
    const TExceptionInfo none(&typeid(blank), &blank);
    EXPECT_EQ("", GetExceptionMessageText(&none));
}

TEST(SystemInfo, ExceptionMessageStepIsInstalledAndCleansTheText)
{
    ASSERT_TRUE(LibraryState().Active) << "the test program carries its debug data";
    ASSERT_TRUE(ReportSteps().ExceptionMessage);
    qov::Exception error("Line one\r\nline\ttwo\x01");
    TReportState state = StateOf(TExceptionInfo(&typeid(error), &error), nullptr);
    EXPECT_EQ("Line one\r\nline two .", ReportSteps().ExceptionMessage(state));
}

TEST(SystemInfo, GeneralSectionOfAReport)
{
    qov::Exception error("Bad\tvalue");
    TReportState state = StateOf(TExceptionInfo(&typeid(error), &error), reinterpret_cast<const void*>(&ProgramName));
    state.Block.FocusClass = "Edit";
    state.Block.FocusText = "first\r\n\r\nsecond\tthird";
    const TGeneralValues v = GeneralSectionValues(state);

    EXPECT_EQ(LongDateText(LibraryStartTime()), v[0]);
    EXPECT_GT(LibraryStartTime(), 40000.0);
    EXPECT_EQ(ProgramName(), v[1]);
    EXPECT_EQ("", v[2]);
    EXPECT_EQ(LongDateText(state.Time), v[5]);
    EXPECT_NE(std::string::npos, v[5].find("Wed, 9 Dec 2026 04:05:06 ")) << v[5];
    EXPECT_EQ(AddressText(reinterpret_cast<uintptr_t>(state.Address), Digits), v[6]);
    EXPECT_EQ(static_cast<size_t>(Digits), v[6].size());
    EXPECT_EQ(ProgramName(), v[7]);
    EXPECT_EQ("Exception", v[8]);
    EXPECT_EQ("Bad\tvalue.", v[9]);
    EXPECT_EQ("Edit", v[12]);
    EXPECT_EQ("first second third", v[13]);
    EXPECT_EQ(ComputerName(), v[14]);
    EXPECT_FALSE(v[14].empty());
    EXPECT_FALSE(v[15].empty());
    EXPECT_FALSE(v[23].empty());
}

TEST(SystemInfo, AddressValuesOfNoAddress)
{
    EXPECT_EQ("", ExceptionAddressText(nullptr));
    EXPECT_EQ("", ExceptionModuleText(nullptr));
    EXPECT_EQ(0, lstrcmpiA("kernel32.dll", ExceptionModuleText(reinterpret_cast<const void*>(&GetTickCount)).c_str()));
}

TEST(SystemInfo, MemoryAndDiskFromTheSystem)
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(MemoryText(status.ullTotalPhys), TotalMemoryText());
    EXPECT_TRUE(std::regex_match(FreeMemoryText(), std::regex("[0-9]+ Mb"))) << FreeMemoryText();

    std::string total, free;
    DiskValues(total, free);
    // Up to two decimals, never a trailing zero.
    const std::regex gigabytes("[0-9]+(\\.[0-9]?[1-9])? Gb");
    EXPECT_TRUE(std::regex_match(total, gigabytes)) << total;
    EXPECT_TRUE(std::regex_match(free, gigabytes)) << free;
}

TEST(SystemInfo, UpTimeFromTheSixtyFourBitTickCount)
{
    const std::string before = UpTimeText(GetTickCount64());
    const std::string text = SystemUpTime();
    const std::string after = UpTimeText(GetTickCount64());
    EXPECT_TRUE(text == before || text == after) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex("([0-9]+ days?, )?([0-9]+ hours?, )?[0-9]+ minutes?, [0-9]+ seconds?")))
        << text;
}

TEST(SystemInfo, ProcessorDisplayAndSystemFacts)
{
    const char* key = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    const std::string name = Trim(RegistryString(HKEY_LOCAL_MACHINE, key, "ProcessorNameString"));
    const std::string processor = ProcessorName();
    EXPECT_FALSE(processor.empty());
    if (!name.empty()) {
        EXPECT_EQ(name, processor);
    }

    HDC screen = GetDC(nullptr);
    const std::string want = qov::Format("%d x %d, %d bit", GetDeviceCaps(screen, HORZRES),
                                         GetDeviceCaps(screen, VERTRES), GetDeviceCaps(screen, BITSPIXEL));
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(want, DisplayMode());

    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(std::to_string(version.dwBuildNumber), SystemBuildNumber());
    EXPECT_EQ(Trim(version.szCSDVersion), ServicePackText());
}

TEST(SystemInfo, LanguageIsTheEnglishNameOfTheDefaultLanguage)
{
    char english[256] = {};
    GetLocaleInfoA(MAKELCID(GetSystemDefaultLangID(), SORT_DEFAULT), LOCALE_SENGLANGUAGE, english, sizeof english);
    const std::string first = SystemLanguage();
    EXPECT_EQ(std::string(english), first);
    EXPECT_FALSE(first.empty());
    // The search starts afresh each time.
    EXPECT_EQ(first, SystemLanguage());
}

TEST(SystemInfo, NetworkValuesHaveOnePiecePerAdapter)
{
    const bool loadedBefore = GetModuleHandleA("iphlpapi.dll") != nullptr;
    const TNetworkValues v = GetNetworkValues();
    // The library is loaded for the call only.
    if (!loadedBefore) {
        EXPECT_EQ(nullptr, GetModuleHandleA("iphlpapi.dll"));
    }
    const std::regex addresses("([0-9]{3}\\.[0-9]{3}\\.[0-9]{3}\\.[0-9]{3})( - [0-9]{3}\\.[0-9]{3}\\.[0-9]{3}\\.[0-9]{3})*");
    if (v[0].empty()) {
        // No adapter list: all six are empty.
        for (const std::string& text : v)
            EXPECT_EQ("", text);
        return;
    }
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(std::regex_match(v[i], addresses)) << i << ": " << v[i];
    const size_t adapters = (v[0].size() + 3) / 18;
    EXPECT_EQ(adapters * 18 - 3, v[0].size());
    EXPECT_EQ(v[0].size(), v[1].size());
    EXPECT_EQ(adapters * 18 - 3, v[5].size()) << v[5];
    EXPECT_TRUE(v[5].rfind("ON", 0) == 0 || v[5].rfind("OFF", 0) == 0) << v[5];
    if (!v[3].empty()) {
        EXPECT_TRUE(std::regex_match(v[3], addresses)) << v[3];
    }
    EXPECT_EQ(v[3].size(), v[4].size());
}

TEST(SystemInfo, CompilationDateFromTheProgramsBuildBytes)
{
    TZephraModuleRef record = LibraryModules().ByHandle(OwnModule());
    ASSERT_TRUE(record);
    double build;
    std::memcpy(&build, record->Build, sizeof build);
    ASSERT_NE(0.0, build) << "the debug-data writer stores the build time";
    // Linked in this century, and no later than now.
    EXPECT_GT(build, EncodeDateTime(2000, 1, 1, 0, 0, 0));
    const std::string text = CompilationDate();
    EXPECT_EQ(CompilationDateText(build, UtcOffsetMinutes()), text);
    EXPECT_TRUE(std::regex_match(text, std::regex("[A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} "
                                                   "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
        << text;
}

TEST(SystemInfo, ForegroundWindowClassAndCleanedText)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QovSystemInfoTest";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("QovSystemInfoTest", "Report\t\r\nwindow", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                200, 150, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(window);
    SetForegroundWindow(window);
    for (int i = 0; i < 50 && GetForegroundWindow() != window; ++i) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(20);
    }
    if (GetForegroundWindow() == window) {
        EXPECT_EQ("QovSystemInfoTest", ForegroundWindowClass());
        EXPECT_EQ("Report window", ForegroundWindowText());
    } else {
        ADD_FAILURE() << "the window did not come to the foreground";
    }
    DestroyWindow(window);
}

// Run as a child with parameters: prints the parameters' value.
TEST(SystemInfo, DISABLED_PrintParameters)
{
    std::printf("[%s]\n", CommandLineParameters().c_str());
    std::fflush(stdout);
}

TEST(SystemInfo, ParametersAsTheRunTimeLibrarySplitsThem)
{
    std::string output;
    ASSERT_EQ(0u, qovtest::RunChildProgram(ProgramName(),
                                           "--gtest_also_run_disabled_tests "
                                           "--gtest_filter=SystemInfo.DISABLED_PrintParameters a \"b c\" d\\e",
                                           output));
    EXPECT_NE(std::string::npos, output.find("\"a\" \"b c\" \"d\\e\"]")) << output;
}
