// Child programs of Windows tests: the folder of the test program (where the
// build puts its children) and a run of a child whose output the test reads.
// Header only (Windows, under Wine).
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <string>

namespace qovtest {

// The folder of the running program, with a trailing backslash.
inline std::string ProgramFolder()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

// Runs program (a file of the program's folder) with the arguments and
// collects its standard output (without carriage returns); its exit code,
// 0xDEAD when it could not be started and 0xDEAF when it did not end in time
// (it is then ended).
inline DWORD RunChildProgram(const std::string& program, const std::string& arguments, std::string& output,
                             DWORD timeoutMs = 60000)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return 0xDEAD;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string commandLine = "\"" + ProgramFolder() + program + "\" " + arguments;
    PROCESS_INFORMATION process{};
    DWORD code = 0xDEAD;
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(writeEnd);
        writeEnd = nullptr;
        // A child that hangs at its end keeps the pipe open: the output is
        // read while it runs, and a hung child is ended after the time.
        const DWORD start = GetTickCount();
        bool ended = false;
        while (!ended) {
            DWORD available = 0;
            while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                char buffer[512];
                DWORD read = 0;
                if (!ReadFile(readEnd, buffer, available < sizeof buffer ? available : sizeof buffer, &read,
                              nullptr) ||
                    read == 0)
                    break;
                for (DWORD i = 0; i < read; ++i)
                    if (buffer[i] != '\r')
                        output += buffer[i];
            }
            if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
                // What it wrote last may still be in the pipe.
                ended = PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) == FALSE ||
                        available == 0;
            } else if (GetTickCount() - start > timeoutMs) {
                TerminateProcess(process.hProcess, 0xDEAF);
                WaitForSingleObject(process.hProcess, 10000);
            }
        }
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (writeEnd)
        CloseHandle(writeEnd);
    CloseHandle(readEnd);
    return code;
}

} // namespace qovtest

#endif
