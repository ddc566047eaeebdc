// The library's small helpers: the saved exception and messages, one message
// of a loop (a quit message is kept for the loop), bringing the program to
// the front, warnings with their box while the sending window is up, and the
// internal-error handler, silent without a debugger and, in the development
// environment (a copy of this program named like it), saving the bug log
// and asking to send it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>
#include <string>
#include <thread>

#include "BoxWatcher.h"
#include "ECore.h"
#include "EHelpers.h"
#include "OwnWindows.h"
#include "SysUtils.h"

using namespace qov::exceptions;

// A socket failure of the library, by the name the handler knows.
class EZephraSocketError : public qov::Exception { using Exception::Exception; };
class EZephraSocketTimeout : public EZephraSocketError { using EZephraSocketError::EZephraSocketError; };
class EUserAbort : public qov::EAbort { using EAbort::EAbort; };

namespace {

std::string ProgramFile()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}


LRESULT CALLBACK CountingProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_USER + 1)
        ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return DefWindowProcA(window, msg, wParam, lParam);
}

HWND CountingWindow(int& count, DWORD style = 0)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QovHelpersTest";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("QovHelpersTest", "helpers", WS_OVERLAPPEDWINDOW | style, 10, 10, 200, 150, nullptr,
                                nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count));
    return window;
}

template <typename E>
void RaiseAndHandle(const E& e, const std::string& section)
{
    try {
        throw e;
    } catch (...) {
        HandleInternalError(section);
    }
}

} // namespace

namespace qovtest {

// In the development environment the handler's own frames ("HandleException"
// in their name) are left out of the call stack.
__attribute__((noinline, noipa)) void HandleExceptionFrame(const qov::EReadError& e, const char* section)
{
    RaiseAndHandle(e, section);
}

} // namespace qovtest

TEST(Helpers, SavedExceptionAndMessages)
{
    int a = 0, b = 0;
    const auto first = std::make_shared<const TExceptionInfo>();
    const auto second = std::make_shared<const TExceptionInfo>();
    RecordSavedException(first, &b, true);
    RecordSavedException(nullptr, nullptr, false);
    TSavedException saved = SavedException();
    EXPECT_EQ(saved.LastObject, first);
    EXPECT_EQ(saved.LastAddress, &b);
    EXPECT_EQ(saved.Object, nullptr);
    EXPECT_EQ(saved.Address, nullptr);
    EXPECT_FALSE(saved.RaisedByProgram);
    RecordSavedException(second, &a, true);
    saved = SavedException();
    EXPECT_EQ(saved.LastObject, second);
    EXPECT_EQ(saved.LastAddress, &a);
    EXPECT_TRUE(saved.RaisedByProgram);
    RecordSavedException(nullptr, nullptr, false);

    SetLastExceptionMessage("last");
    EXPECT_EQ(CurrentExceptionMessage(), "last");
    SetCustomExceptionMessage("custom");
    EXPECT_EQ(CurrentExceptionMessage(), "custom");
    SetCustomExceptionMessage("");
    EXPECT_EQ(CurrentExceptionMessage(), "last");
}

TEST(Helpers, PumpOneMessageKeepsTheQuitMessage)
{
    int count = 0;
    HWND window = CountingWindow(count);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    PostMessageA(window, WM_USER + 1, 0, 0);
    PostMessageA(window, WM_USER + 1, 0, 0);
    PumpOneMessage();
    EXPECT_EQ(count, 1);
    PumpOneMessage();
    EXPECT_EQ(count, 2);
    PumpOneMessage();  // nothing waits

    // The loop that pumped still sees the quit message and its code.
    PostQuitMessage(7);
    PumpOneMessage();
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 7u);
    DestroyWindow(window);
}

TEST(Helpers, BringToFrontRestoresTheMainWindow)
{
    int count = 0;
    HWND window = CountingWindow(count, WS_VISIBLE);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(window));
    BringToFront();
    EXPECT_FALSE(IsIconic(window));
    EXPECT_TRUE(IsWindowVisible(window));
    DestroyWindow(window);
}

TEST(Helpers, WarningsAndTheirBox)
{
    RecordWarning(eeLogError, "first");
    EXPECT_EQ(LastWarningCode(), eeLogError);
    EXPECT_EQ(LastWarningText(), "first");
    ClearWarning();
    EXPECT_EQ(LastWarningCode(), eeNone);
    EXPECT_EQ(LastWarningText(), "");

    try {
        throw qov::EWriteError("Disk full");
    } catch (...) {
        RecordWarningFromException(eeLogError, "Log");
    }
    EXPECT_EQ(LastWarningText(), "[Log] Disk full");
    try {
        throw 42;
    } catch (...) {
        RecordWarningFromException(eeWebHTTPError, "HTTP");
    }
    EXPECT_EQ(LastWarningCode(), eeWebHTTPError);
    EXPECT_EQ(LastWarningText(), "General 'HTTP' error.");

    // Without the sending window no box.
    {
        qovtest::TBoxWatcher watcher("Error.", IDOK, 500);
        RecordWarning(eeEmailSMTPError, "no box");
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
    }
    int count = 0;
    HWND progress = CountingWindow(count);
    SetSendProgressWindow(progress);
    // A sending failure (codes 5 to 8) is shown while it exists ...
    {
        qovtest::TBoxWatcher watcher("Error.", IDOK, 5000);
        RecordWarning(eeWebFTPError, "FTP failed");
        watcher.Join();
        EXPECT_TRUE(watcher.Seen());
        EXPECT_EQ(watcher.Text(), "FTP failed");
    }
    // ... other codes are not.
    {
        qovtest::TBoxWatcher watcher("Error.", IDOK, 500);
        RecordWarning(eeEmailMAPIError, "MAPI");
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
    }
    DestroyWindow(progress);
    {
        qovtest::TBoxWatcher watcher("Error.", IDOK, 500);
        RecordWarning(eeWebHTTPSError, "window gone");
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
    }
    SetSendProgressWindow(nullptr);
}

TEST(Helpers, FilterIndexByAncestry)
{
    const std::vector<std::string> filters = {"EConvertError", " estreamerror ", "std::exception", "Exception"};
    try {
        throw qov::EWriteError("w");
    } catch (...) {
        EXPECT_EQ(FilterIndex(TExceptionInfo::Current(), filters), 1);
    }
    try {
        throw std::runtime_error("r");
    } catch (...) {
        EXPECT_EQ(FilterIndex(TExceptionInfo::Current(), filters), 2);
    }
    try {
        throw 5;
    } catch (...) {
        EXPECT_EQ(FilterIndex(TExceptionInfo::Current(), filters), -1);
    }
    EXPECT_EQ(FilterIndex(TExceptionInfo(), filters), -1);
    EXPECT_EQ(FilterIndex(TExceptionInfo(), {}), -1);
}

TEST(Helpers, SavingTheLogTriesAgainWhenAsked)
{
    std::vector<std::string> steps;
    int writes = 0;
    TLogSaving saving;
    saving.SaveLog = true;
    saving.NotifyAction = [&](int action, bool& flag) { steps.push_back("action " + std::to_string(action) +
                                                                         (flag ? " true" : " false")); };
    saving.AddReport = [&] { steps.push_back("add"); };
    saving.KeepLogText = [&] { steps.push_back("keep"); };
    saving.WriteLog = [&] {
        steps.push_back("write");
        if (++writes == 1)
            throw qov::EFCreateError("Cannot create file");
    };
    saving.LogError = [&](bool& retry) {
        steps.push_back("error " + LastWarningText());
        retry = true;
    };
    saving.ReleaseLog = [&] { steps.push_back("release"); };
    // The first write fails, the error event asks again: the report is added
    // once and written on the second try.
    EXPECT_TRUE(SaveReportLog(saving));
    EXPECT_EQ(steps, (std::vector<std::string>{"action 2 true", "add", "write", "error [Log] Cannot create file",
                                               "write", "release", "action 3 true"}));
    EXPECT_EQ(LastWarningCode(), eeNone);

    // A failure nobody retries leaves the warning; a duplicate is not added;
    // without SaveLog nothing is written and no event runs.
    steps.clear();
    writes = 0;
    saving.LogError = [&](bool&) { steps.push_back("error"); };
    saving.Duplicate = true;
    saving.KeepForSending = true;
    EXPECT_FALSE(SaveReportLog(saving));
    EXPECT_EQ(steps, (std::vector<std::string>{"action 2 true", "keep", "write", "error", "release",
                                               "action 3 false"}));
    EXPECT_EQ(LastWarningCode(), eeLogError);
    steps.clear();
    saving.SaveLog = false;
    saving.Duplicate = false;
    EXPECT_TRUE(SaveReportLog(saving));
    EXPECT_EQ(steps, (std::vector<std::string>{"add", "keep", "release"}));
}

TEST(Helpers, InternalErrorWithoutDebuggerIsSilent)
{
    ASSERT_FALSE(DebuggerPresent());
    ASSERT_FALSE(HostIsDevelopmentEnvironment());
    const std::string log = ChangeFileExt(ProgramFile(), ".log");
    DeleteFileA(log.c_str());
    qovtest::TBoxWatcher watcher("Probably internal bug", IDNO, 500);
    RaiseAndHandle(qov::EReadError("broken"), "4");
    watcher.Join();
    EXPECT_FALSE(watcher.Seen());
    EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Run by the next test in a copy of this program named like the development
// environment.
TEST(HelpersChild, InternalErrorInTheDevelopmentEnvironment)
{
    if (!HostIsDevelopmentEnvironment())
        GTEST_SKIP() << "only in the development environment's copy";
    const std::string log = ChangeFileExt(ProgramFile(), ".log");
    DeleteFileA(log.c_str());
    // An EAbort and a socket error (or their descendants) are never reported.
    {
        qovtest::TBoxWatcher watcher("Probably internal bug", IDNO, 1000);
        RaiseAndHandle(EUserAbort(""), "4");
        RaiseAndHandle(EZephraSocketTimeout("timed out"), "4");
        watcher.Join();
        EXPECT_FALSE(watcher.Seen());
        EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    // The report in progress names its exception's class.
    try {
        throw std::out_of_range("report");
    } catch (...) {
        RecordSavedException(std::make_shared<const TExceptionInfo>(TExceptionInfo::Current()), nullptr, true);
    }
    qovtest::TBoxWatcher question("Probably internal bug", IDYES, 10000);
    qovtest::TBoxWatcher information("Information", IDOK, 15000);
    qovtest::HandleExceptionFrame(qov::EReadError("broken stream"), "12");
    question.Join();
    information.Join();
    EXPECT_TRUE(question.Seen());
    EXPECT_EQ(question.Text(), "Error: 'broken stream'\r\n\r\nThis is an internal ZephraLog bug.\r\n"
                               "Do you want to send the bug information to ZephraLog author?");
    EXPECT_TRUE(information.Seen());
    EXPECT_EQ(information.Text(), "Cannot connect with your email client.\r\nSend manually the \"" + log +
                                      "\" file to the " + SupportAddress +
                                      " email address, after click on OK button to close this box.");
    std::ifstream file(log, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string bug = text.str();
    EXPECT_EQ(bug.rfind("Version   : 5.1.10\r\nDate      : ", 0), 0u) << bug;
    EXPECT_NE(bug.find("\r\nSection   : 12\r\nLastExcept: std::out_of_range\r\n"), std::string::npos) << bug;
    EXPECT_NE(bug.find("\r\nException : EReadError\r\nMessage   : broken stream\r\n"), std::string::npos);
    // The call stack names this test's own code.
    EXPECT_NE(bug.find("ZEPHRAIDE.EXE"), std::string::npos) << bug;
    EXPECT_NE(bug.find("RaiseAndHandle"), std::string::npos) << bug;
    EXPECT_EQ(bug.find("HandleExceptionFrame"), std::string::npos) << bug;
}

TEST(Helpers, InternalErrorInTheDevelopmentEnvironment)
{
    if (HostIsDevelopmentEnvironment())
        GTEST_SKIP();
    const std::string program = ProgramFile();
    const std::string copy = ExtractFilePath(program) + "ZEPHRAIDE.EXE";
    ASSERT_TRUE(CopyFileA(program.c_str(), copy.c_str(), FALSE));
    std::string command = "\"" + copy + "\" --gtest_filter=HelpersChild.*";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 90000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DeleteFileA(copy.c_str());
    DeleteFileA(ChangeFileExt(copy, ".log").c_str());
}
