// Running part of a test program again inside the test network namespace.
#ifdef _WIN32
#include "NetnsRerun.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "RecordingFixtures.h"

namespace qov::test {

namespace {

std::string ToUnixPath(const std::string& windowsPath)
{
    using TConvert = char*(CDECL*)(const WCHAR*);
    FARPROC p = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    TConvert convert = nullptr;
    std::memcpy(&convert, &p, sizeof convert);
    if (!convert)
        return std::string();
    char full[MAX_PATH];
    GetFullPathNameA(windowsPath.c_str(), MAX_PATH, full, nullptr);
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, full, -1, wide, MAX_PATH);
    char* unix = convert(wide);
    if (!unix)
        return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// The source tree as a Unix path, from this file's own location.
std::string RepoFolder()
{
    std::string here = __FILE__;
    std::replace(here.begin(), here.end(), '\\', '/');
    return here.substr(0, here.rfind("/tests/"));
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

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
    const std::string cmd = "Z:\\bin\\bash " + RepoFolder() + "/scripts/netns.sh wine " + ToUnixPath(out) + " " +
                            ToUnixPath(exe) + " --gtest_filter=" + gtestFilter;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        run.Log = "cannot start " + cmd;
        return run;
    }
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    // The Unix side writes the exit code last; the started process itself is
    // only the Unix launcher.
    for (unsigned long waited = 0; waited < timeoutMs && !Exists(out + ".rc"); waited += 100)
        Sleep(100);
    run.Log = ReadAll(out + ".log");
    if (!Exists(out + ".rc")) {
        run.Log = "no result from " + cmd + "\n" + run.Log;
        return run;
    }
    run.Code = std::atoi(ReadAll(out + ".rc").c_str());
    return run;
}

} // namespace qov::test

#endif
