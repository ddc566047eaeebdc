// The option record on Windows: change notices only for the module that runs
// the code, and the computer's own name in log file names.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ECoreOptions.h"

using namespace qov::exceptions;

namespace {

class TNoticedOptions : public TZephraModuleOptions {
public:
    TNoticedOptions(const std::string& moduleFile, bool saveShared)
        : TZephraModuleOptions(moduleFile, saveShared) {}
    void OptionsChanged() override { ++Notices; }
    int Notices = 0;
};

std::string ProgramFile()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

} // namespace

TEST(ModuleOptionsWin, NoticesOnlyForTheModuleRunningTheCode)
{
    TNoticedOptions own(ProgramFile(), true);
    own.SetMailTo("a");
    own.FilterClasses().Add("EA");
    EXPECT_EQ(own.Notices, 2);

    TNoticedOptions system("kernel32.dll", true);  // loaded, but not this module
    system.SetMailTo("a");
    TNoticedOptions missing("C:\\nowhere\\none.dll", true);
    missing.SetMailTo("a");
    TNoticedOptions unshared(ProgramFile(), false);
    unshared.SetMailTo("a");
    EXPECT_EQ(system.Notices + missing.Notices + unshared.Notices, 0);
}

TEST(ModuleOptionsWin, LogFileNameCarriesThisComputersName)
{
    char name[16];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    TZephraModuleOptions o("D:\\App\\prog.exe", false);
    o.SetLogFolder("C:\\Logs");
    EXPECT_EQ(o.ComposeLogFileName(""), "C:\\Logs\\prog.zpf");
    o.SetLogFlags(o.LogFlags() | 0x08);
    // A NetBIOS name holds none of the characters a file name cannot.
    EXPECT_EQ(o.ComposeLogFileName(""), "C:\\Logs\\prog_" + std::string(name, size) + ".zpf");
}
