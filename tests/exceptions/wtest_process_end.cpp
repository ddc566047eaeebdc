// The end of a process in which a program carrying the library hosts a
// library module carrying it too (the desktop program and its control): once
// the module's members have failed and been reported on threads of both, the
// process ends promptly and with its own exit code; neither instance of the
// library waits at the end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

struct TChildRun {
    bool Ended = false;
    DWORD ExitCode = 0xDEAD;
    DWORD Milliseconds = 0;
    std::string Output;
};

// Runs the child; one still running after limit milliseconds is ended.
TChildRun RunChild(DWORD limit)
{
    TChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string commandLine = "\"" + ProgramFolder() + "process_end_child.exe\"";
    PROCESS_INFORMATION process{};
    const DWORD started = GetTickCount();
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, ProgramFolder().c_str(),
                       &startup, &process)) {
        CloseHandle(writeEnd);
        writeEnd = nullptr;
        // The output is a line, far less than the pipe holds: the child
        // never waits for the reader.
        run.Ended = WaitForSingleObject(process.hProcess, limit) == WAIT_OBJECT_0;
        run.Milliseconds = GetTickCount() - started;
        if (!run.Ended) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 10000);
        }
        GetExitCodeProcess(process.hProcess, &run.ExitCode);
        char buffer[256];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0)
            for (DWORD i = 0; i < read; ++i)
                if (buffer[i] != '\r')
                    run.Output += buffer[i];
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (writeEnd)
        CloseHandle(writeEnd);
    CloseHandle(readEnd);
    return run;
}

} // namespace

// Twelve failures of the module's handlers, on the program's main thread, on
// threads made through the module's hooks and on threads of the run-time
// (through the program's hooks): each is reported by the program's library
// on a thread of its own, which asks the module for its custom data and then
// ends. The child ends within a few seconds (it needs about one), three times
// over.
TEST(ProcessEnd, ProgramHostingALibraryModuleEndsPromptly)
{
    for (int i = 0; i < 3; ++i) {
        const TChildRun run = RunChild(10000);
        EXPECT_TRUE(run.Ended) << "run " << i << ": the child still ran after " << run.Milliseconds << " ms";
        EXPECT_EQ(run.ExitCode, 0u) << "run " << i;
        EXPECT_EQ(run.Output, "taken 12 reports 12\n") << "run " << i;
        if (!run.Ended)
            break;
    }
}
