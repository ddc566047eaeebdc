// The option record on Windows: change notices only for the module that runs
// the code, the computer's own name in log file names, and the options the
// module publishes for the other modules of the process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ECoreOptions.h"
#include "RuruvarodIre.h"

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

TEST(ModuleOptionsWin, PublishedAreaHoldsTheCurrentStoredForm)
{
    auto published = [] {
        void* data = nullptr;
        HANDLE area = OpenSharedArea(GetModuleHandleA(nullptr), "MODULE", 0, data);
        std::string bytes;
        if (area) {
            const uint32_t total = static_cast<const uint32_t*>(data)[-1];
            bytes.assign(static_cast<const char*>(data), total - 4);
            CloseSharedArea(area, data);
        }
        return bytes;
    };
    TZephraModuleOptions o(ProgramFile(), true);
    for (const char* to : {"first@example.org", "a.much.longer.address@example.org"}) {
        o.SetMailTo(to);
        PublishModuleOptions(o);
        TOptionsMemoryStream stored;
        o.WriteToStream(stored);
        EXPECT_EQ(published(), "\x01" + stored.Bytes());
    }
    // A reader holding the area keeps its size: a longer form is not
    // written into it.
    void* held = nullptr;
    HANDLE holder = OpenSharedArea(GetModuleHandleA(nullptr), "MODULE", 0, held);
    const std::string before = published();
    o.SetMailTo(std::string(100, 'x'));
    PublishModuleOptions(o);
    EXPECT_EQ(published(), before);
    CloseSharedArea(holder, held);
    WithdrawModuleOptions();
    EXPECT_EQ(published(), "");
}
