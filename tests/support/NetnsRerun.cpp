// Running part of a test program again inside the test network namespace.
#ifdef _WIN32
#include "NetnsRerun.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "RecordingFixtures.h"
#include "WinePaths.h"

namespace qov::test {

bool InNetworkNamespace()
{
    return std::getenv("QOV_NETNS") != nullptr;
}

TNamespaceRun RunSelfInNetworkNamespace(const std::string& gtestFilter, unsigned long timeoutMs)
{
    TNamespaceRun run;
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    char name[64];
    std::snprintf(name, sizeof name, "netns-run-%lu", GetCurrentProcessId());
    const std::string out = ScratchPath(name);
    DeleteFileA((out + ".rc").c_str());
    const std::string cmd = "Z:\\bin\\bash " + RepoFolder() + "/scripts/netns.sh wine " + UnixPath(out) + " " +
                            UnixPath(exe) + " --gtest_filter=" + gtestFilter;
    if (!StartCommand(cmd)) {
        run.Log = "cannot start " + cmd;
        return run;
    }
    // The Unix side writes the exit code last; the started process itself is
    // only the Unix launcher.
    for (unsigned long waited = 0; waited < timeoutMs && !FileExists(out + ".rc"); waited += 100)
        Sleep(100);
    run.Log = ReadWholeFile(out + ".log");
    if (!FileExists(out + ".rc")) {
        run.Log = "no result from " + cmd + "\n" + run.Log;
        return run;
    }
    run.Code = std::atoi(ReadWholeFile(out + ".rc").c_str());
    return run;
}

} // namespace qov::test

#endif
