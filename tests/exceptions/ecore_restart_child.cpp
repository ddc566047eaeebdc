// Child program of the exception-reporting library's process tests.
// Arguments: result file, marker file. Without the marker it makes the marker,
// moves to another folder and restarts itself; with it, it writes its command
// line, current folder and whether it counts as the development environment.
#include <windows.h>

#include <cstdio>
#include <string>

#include "ECore.h"
#include "RuruvarodIre.h"

int main(int argc, char** argv)
{
    using namespace qov::exceptions;
    if (argc < 3)
        return 2;
    try {
        if (GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES) {
            HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            CloseHandle(marker);
            SetCurrentDirectoryA(TempFolder().c_str());
            TerminateApplication(true);
            return 3;
        }
        char folder[MAX_PATH] = {};
        GetCurrentDirectoryA(sizeof folder, folder);
        FILE* out = std::fopen(argv[1], "wb");
        if (!out)
            return 4;
        std::fprintf(out, "%s\n%s\n%d\n", GetCommandLineA(), folder, HostIsDevelopmentEnvironment() ? 1 : 0);
        std::fclose(out);
        return 0;
    } catch (...) {
        return 5;
    }
}
