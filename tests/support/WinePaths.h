// Between a Windows test program and the Unix side of Wine: paths both ways,
// the source tree's folder, small file reads, and starting a Unix command.
// Windows only (under Wine); header only, so that tools outside the test
// support library can use it too.
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qov::test {

// The Unix path of a Windows path ("" outside Wine).
inline std::string UnixPath(const std::string& windowsPath)
{
    using TConvert = char*(CDECL*)(const WCHAR*);
    static TConvert convert = [] {
        FARPROC p = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
        TConvert f = nullptr;
        std::memcpy(&f, &p, sizeof f);
        return f;
    }();
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

// Windows path of a Unix path (through drive Z:).
inline std::string WindowsPath(const std::string& unixPath)
{
    std::string p = "Z:" + unixPath;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// The source tree as a Unix path, found from this file's own location.
inline std::string RepoFolder()
{
    std::string here = __FILE__;
    std::replace(here.begin(), here.end(), '\\', '/');
    return here.substr(0, here.rfind("/tests/"));
}

inline bool FileExists(const std::string& windowsPath)
{
    return GetFileAttributesA(windowsPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadWholeFile(const std::string& windowsPath)
{
    std::ifstream f(windowsPath, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Starts a command line (a Unix program through its Z: path) without waiting
// for it; false when it cannot be started.
inline bool StartCommand(const std::string& cmd)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    return true;
}

} // namespace qov::test

#endif
