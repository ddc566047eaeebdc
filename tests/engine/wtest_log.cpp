// The daily log: exact line bytes, day files, turn-taking between processes,
// unwritable folders and a writer that died holding the log's event.
//
// Some tests start this program again as a child process running one of the
// DISABLED_LogChild tests; the child's task comes in QOV_LOG_CHILD.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "SysUtils.h"
#include "UnitLog.h"

using namespace qov;

namespace {

SYSTEMTIME gNow;

void FixedClock(SYSTEMTIME& now)
{
    now = gNow;
}

SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s)
{
    SYSTEMTIME t{};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    t.wMilliseconds = 999;
    return t;
}

// A fresh, empty folder under the temporary folder (a failure says why not).
std::string NewTempFolder()
{
    static int counter = 0;
    char tmp[MAX_PATH] = "";
    const DWORD n = GetTempPathA(MAX_PATH, tmp);
    std::string dir = Format("%sqov_log_%lu_%lu_%d", tmp, GetCurrentProcessId(), GetTickCount(),
                             ++counter);
    if (!CreateDirectoryA(dir.c_str(), nullptr))
        ADD_FAILURE() << "cannot make " << dir << " (temporary folder \"" << std::string(tmp, n < MAX_PATH ? n : 0)
                      << "\", error " << GetLastError() << ")";
    return dir;
}

// The files under folder with their sizes, one a line (for failure messages).
std::string Listing(const std::string& folder)
{
    std::string out;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return folder + ": cannot be listed (error " + std::to_string(GetLastError()) + ")\n";
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            out += Listing(folder + "\\" + name);
        else
            out += folder + "\\" + name + ": " + std::to_string(found.nFileSizeLow) + " bytes\n";
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return out;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitCrLf(const std::string& s)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        size_t end = s.find("\r\n", pos);
        if (end == std::string::npos)
            break;
        lines.push_back(s.substr(pos, end - pos));
        pos = end + 2;
    }
    if (pos != s.size())
        lines.push_back("<unterminated>" + s.substr(pos));
    return lines;
}

// Waits for the log's event to be free and leaves it free.
bool LogEventIsFree(DWORD timeout)
{
    HANDLE ev = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kLogEventName);
    if (!ev)
        return false;
    bool free = WaitForSingleObject(ev, timeout) == WAIT_OBJECT_0;
    if (free)
        SetEvent(ev);
    CloseHandle(ev);
    return free;
}

// Starts this program as a child running one child test with the given task.
HANDLE StartChild(const std::string& test, const std::string& task)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string cmd = Format("\"%s\" --gtest_also_run_disabled_tests --gtest_filter=%s", exe,
                             test.c_str());
    SetEnvironmentVariableA("QOV_LOG_CHILD", task.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(exe, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("QOV_LOG_CHILD", nullptr);
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD WaitChild(HANDLE process, DWORD timeout)
{
    if (WaitForSingleObject(process, timeout) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
        return 99;
    }
    DWORD code = 98;
    GetExitCodeProcess(process, &code);
    return code;
}

std::string ChildTask()
{
    char buf[1024];
    DWORD n = GetEnvironmentVariableA("QOV_LOG_CHILD", buf, sizeof buf);
    return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::vector<std::string> SplitBar(const std::string& s)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t bar = s.find('|', pos);
        parts.push_back(s.substr(pos, bar == std::string::npos ? bar : bar - pos));
        if (bar == std::string::npos)
            return parts;
        pos = bar + 1;
    }
}

// Listens to the debugger output of this process (the DBWIN protocol).
class TDebugOutputListener {
public:
    TDebugOutputListener()
    {
        FBufferReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
        FDataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
        FMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      "DBWIN_BUFFER");
        if (FMapping)
            FView = static_cast<const char*>(MapViewOfFile(FMapping, FILE_MAP_READ, 0, 0, 4096));
        if (FBufferReady)
            SetEvent(FBufferReady);
    }
    ~TDebugOutputListener()
    {
        if (FView)
            UnmapViewOfFile(FView);
        for (HANDLE h : {FBufferReady, FDataReady, FMapping})
            if (h)
                CloseHandle(h);
    }
    bool Ready() const { return FBufferReady && FDataReady && FView; }

    // The next text this process passed to the debugger output, or "".
    std::string Next(DWORD timeout)
    {
        DWORD until = GetTickCount() + timeout;
        while (Ready()) {
            DWORD now = GetTickCount();
            if (static_cast<int32_t>(until - now) <= 0)
                break;
            if (WaitForSingleObject(FDataReady, until - now) != WAIT_OBJECT_0)
                break;
            DWORD pid = *reinterpret_cast<const DWORD*>(FView);
            std::string text(FView + 4, strnlen(FView + 4, 4092));
            SetEvent(FBufferReady);
            if (pid == GetCurrentProcessId())
                return text;
        }
        return std::string();
    }

private:
    HANDLE FBufferReady = nullptr;
    HANDLE FDataReady = nullptr;
    HANDLE FMapping = nullptr;
    const char* FView = nullptr;
};

} // namespace

// ---------------------------------------------------------------------------
// Child tasks (run only in child processes)

// "write|<folder>|<lines>|<start event>": waits for the start event, then
// logs its lines as fast as it can.
// "hold|<held event>": takes the log's event, reports that through the held
// event, and ends without giving it back.
TEST(DISABLED_LogChild, Run)
{
    std::vector<std::string> task = SplitBar(ChildTask());
    ASSERT_GE(task.size(), 2u);
    if (task[0] == "write") {
        TLog log(task[1]);
        gNow = MakeTime(2024, 3, 5, 10, 20, 30);
        log.SetClock(FixedClock);
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, task.size() > 3 ? task[3].c_str() : "");
        ASSERT_NE(start, nullptr);
        ASSERT_EQ(WaitForSingleObject(start, 30000), WAIT_OBJECT_0);
        const int lines = std::atoi(task[2].c_str());
        const std::string filler(300, 'x');
        for (int i = 0; i < lines; i++)
            log.AddLine(Format("child %lu line %04d \xC8\xD5\xD6\xBE ", GetCurrentProcessId(), i) +
                        filler);
        CloseHandle(start);
    } else if (task[0] == "hold") {
        HANDLE ev = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kLogEventName);
        ASSERT_NE(ev, nullptr);
        ASSERT_EQ(WaitForSingleObject(ev, 30000), WAIT_OBJECT_0);
        HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, task[1].c_str());
        ASSERT_NE(held, nullptr);
        SetEvent(held);
        ExitProcess(0);  // dies with the event taken
    } else {
        FAIL() << "unknown task " << task[0];
    }
}

// ---------------------------------------------------------------------------

TEST(Log, LineBytesAndFolder)
{
    const std::string base = NewTempFolder();
    TLog log(base + "\\nested\\deeper\\");
    EXPECT_EQ(log.LogFolder(), base + "\\nested\\deeper\\Log");
    EXPECT_TRUE(FileExists(log.LogFolder()));  // created with its missing parents

    gNow = MakeTime(2024, 3, 5, 9, 8, 7);
    log.SetClock(FixedClock);
    log.AddLine("\xB2\xE2\xCA\xD4 %s %d ---> \xC8\xD5\xD6\xBE");  // GBK bytes, no formatting
    log.AddLine("");
    gNow.wSecond = 10;
    log.AddLine(std::string("a\0b", 3));

    const std::string prog = ProgramFileName();
    EXPECT_EQ(prog.find('\\'), std::string::npos);
    EXPECT_EQ(ReadAll(log.LogFolder() + "\\2024-03-05.log"),
              prog + " ---> 09:08:07 \xB2\xE2\xCA\xD4 %s %d ---> \xC8\xD5\xD6\xBE\r\n" + prog +
                  " ---> 09:08:07 \r\n" + prog + " ---> 09:08:10 " + std::string("a\0b", 3) +
                  "\r\n")
        << Listing(base);

    // A slash as the trailing separator is dropped too.
    TLog slash(base + "/other/");
    EXPECT_EQ(slash.LogFolder(), base + "/other\\Log");
    EXPECT_TRUE(FileExists(slash.LogFolder()));
}

TEST(Log, EachDayHasItsOwnFile)
{
    const std::string base = NewTempFolder();
    TLog log(base);
    log.SetClock(FixedClock);
    gNow = MakeTime(2023, 12, 31, 23, 59, 59);
    log.AddLine("last of the year");
    gNow = MakeTime(2024, 1, 1, 0, 0, 0);
    gNow.wMilliseconds = 0;
    log.AddLine("first of the year");
    const std::string prog = ProgramFileName();
    EXPECT_EQ(ReadAll(base + "\\Log\\2023-12-31.log"), prog + " ---> 23:59:59 last of the year\r\n") << Listing(base);
    EXPECT_EQ(ReadAll(base + "\\Log\\2024-01-01.log"), prog + " ---> 00:00:00 first of the year\r\n");
}

TEST(Log, ProcessWideLogAndMachineWideEvent)
{
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '\\');
    EXPECT_EQ(Log().LogFolder(), folder.substr(0, folder.size() - 1) + "\\Log");
    EXPECT_TRUE(FileExists(Log().LogFolder()));
    EXPECT_EQ(std::string(kLogEventName), "Global\\Corvane Log Event");
    HANDLE ev = OpenEventA(SYNCHRONIZE, FALSE, kLogEventName);
    EXPECT_NE(ev, nullptr) << "the log event is not reachable by its name";
    if (ev)
        CloseHandle(ev);
}

TEST(Log, UnwritableFolderCostsOnlyTheLine)
{
    // "Log" exists as a file, so the log folder can be neither created nor
    // written into.
    const std::string base = NewTempFolder();
    {
        std::ofstream blocker(base + "\\Log", std::ios::binary);
    }
    TDebugOutputListener debugOutput;
    TLog log(base);
    log.SetClock(FixedClock);
    gNow = MakeTime(2024, 3, 5, 9, 8, 7);
    log.AddLine("lost");
    EXPECT_EQ(ReadAll(base + "\\Log"), "");
    EXPECT_FALSE(FileExists(base + "\\Log\\2024-03-05.log"));
    if (debugOutput.Ready()) {
        std::string text = debugOutput.Next(2000);
        EXPECT_EQ(text.rfind("ERROR: TLog.AddLine -> ", 0), 0u) << text;
        EXPECT_NE(text.find("2024-03-05.log"), std::string::npos) << text;
    }
    EXPECT_TRUE(LogEventIsFree(5000));
}

TEST(Log, TwoProcessesAtTheSameMomentWriteWholeLines)
{
    const std::string base = NewTempFolder();
    const std::string startName = Format("Local\\qov-log-start-%lu", GetCurrentProcessId());
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, startName.c_str());
    ASSERT_NE(start, nullptr);
    constexpr int kLines = 150;
    const std::string task = Format("write|%s|%d|%s", base.c_str(), kLines, startName.c_str());
    HANDLE a = StartChild("DISABLED_LogChild.Run", task);
    HANDLE b = StartChild("DISABLED_LogChild.Run", task);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    Sleep(300);  // both children are waiting at the start line
    SetEvent(start);
    DWORD pa = GetProcessId(a), pb = GetProcessId(b);
    EXPECT_EQ(WaitChild(a, 120000), 0u);
    EXPECT_EQ(WaitChild(b, 120000), 0u);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(start);

    auto lines = SplitCrLf(ReadAll(base + "\\Log\\2024-03-05.log"));
    ASSERT_EQ(lines.size(), size_t(2 * kLines)) << Listing(base);
    const std::string head = ProgramFileName() + " ---> 10:20:30 child ";
    const std::string tail = " \xC8\xD5\xD6\xBE " + std::string(300, 'x');
    std::map<DWORD, int> next;  // each child's lines arrive whole and in order
    for (auto& l : lines) {
        ASSERT_EQ(l.rfind(head, 0), 0u) << l;
        unsigned long pid = 0;
        int n = -1;
        ASSERT_EQ(std::sscanf(l.c_str() + head.size(), "%lu line %d", &pid, &n), 2) << l;
        ASSERT_TRUE(pid == pa || pid == pb) << l;
        EXPECT_EQ(n, next[pid]++) << l;
        EXPECT_EQ(l, head + Format("%lu line %04d", pid, n) + tail);
    }
    EXPECT_EQ(next[pa], kLines);
    EXPECT_EQ(next[pb], kLines);
}

namespace {

// Starts a child that takes the log's event and ends holding it; returns its
// process once it holds the event.
HANDLE StartDeadWriter()
{
    const std::string heldName = Format("Local\\qov-log-held-%lu", GetCurrentProcessId());
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, heldName.c_str());
    if (!held)
        return nullptr;
    HANDLE child = StartChild("DISABLED_LogChild.Run", "hold|" + heldName);
    if (child) {
        HANDLE both[2] = {held, child};
        if (WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(child, 99);
            CloseHandle(child);
            child = nullptr;
        }
    }
    CloseHandle(held);
    return child;
}

} // namespace

TEST(Log, WriterThatDiedHoldingTheEventDoesNotStopOthers)
{
    const std::string base = NewTempFolder();
    TLog log(base);
    log.SetClock(FixedClock);
    gNow = MakeTime(2024, 3, 5, 9, 8, 7);

    HANDLE child = StartDeadWriter();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitChild(child, 30000), 0u);  // gone, the event still taken
    CloseHandle(child);

    DWORD t0 = GetTickCount();
    log.AddLine("after a dead writer");
    DWORD took = GetTickCount() - t0;
    EXPECT_LT(took, kLogWaitTimeout + 3000);
    EXPECT_EQ(ReadAll(base + "\\Log\\2024-03-05.log"),
              ProgramFileName() + " ---> 09:08:07 after a dead writer\r\n")
        << Listing(base);
    EXPECT_TRUE(LogEventIsFree(1000));  // given back for the others
}
