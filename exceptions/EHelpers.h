// Small routines the capture and the exception manager rely on: the debugger
// test, the saved exception, the exception messages, one step of a message
// loop, bringing the program to the front, the library's warnings and its
// internal-error handler.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EBugText.h"
#include "EExceptionInfo.h"
#include "EStack.h"

namespace qov::exceptions {

// True when a debugger is attached to the process.
bool DebuggerPresent();

// The exception the manager recorded last. LastAddress and LastObject keep
// their values when a recording passes null; Address, Object and
// RaisedByProgram are those of the latest recording as passed.
using TExceptionRef = std::shared_ptr<const TExceptionInfo>;
struct TSavedException {
    const void* LastAddress = nullptr;
    TExceptionRef LastObject;
    const void* Address = nullptr;
    TExceptionRef Object;
    bool RaisedByProgram = false;
};
void RecordSavedException(const TExceptionRef& object, const void* address, bool raisedByProgram);
TSavedException SavedException();

// The program's own message for the exception (set through the library's
// events) and the one the handling procedure worked out.
void SetCustomExceptionMessage(const std::string& text);
void SetLastExceptionMessage(const std::string& text);
// The custom message when it is not empty, else the last one.
std::string CurrentExceptionMessage();

// Removes one waiting message of the calling thread and dispatches it; a
// quit message is not dispatched but posted again, so that the thread's
// message loop still ends. Swallows exceptions.
void PumpOneMessage();
// Restores the process's main window when it is minimised and brings it (or
// its last active pop-up) to the foreground.
void BringToFront();

// Warnings ----------------------------------------------------------------------

void ClearWarning();
// Keeps code and text as the last warning and writes the warning line to the
// debugger output; codes 5 to 8 (sending) are also shown in a box while the
// sending-progress window exists.
void RecordWarning(TZephraLogErrorCode code, const std::string& text);
TZephraLogErrorCode LastWarningCode();
std::string LastWarningText();
// Records the exception as a warning: "[word] message" for an Exception,
// else "General 'word' error.". Without an exception: the one being handled
// in the calling catch block.
void RecordWarningFromException(TZephraLogErrorCode code, const std::string& word,
                                const TExceptionInfo& exception = TExceptionInfo::Current());
// The sending-progress window, while it exists (null when none).
void SetSendProgressWindow(HWND window);

// Internal errors -----------------------------------------------------------------

// Inside a catch block: reports the exception being handled as a failure of
// the library itself in the named section. Silent (nothing written, nothing
// shown) unless a debugger is attached or the host is the development
// environment, and for EAbort and socket errors; never raises.
void HandleInternalError(const std::string& section);
// The call-stack text of the bug text: the calling thread's stack from
// stackPosition (the current position when 0), named from the debug data,
// else by module only.
std::string InternalStackText(TZephraModulesList& modules, uintptr_t stackPosition);
// The support address the bug information goes to.
extern const char* const SupportAddress;

// Steps of the handling procedure -------------------------------------------------

// The index of the first filter class that the exception is or descends
// from; -1 when none.
int FilterIndex(const TExceptionInfo& exception, const std::vector<std::string>& filterClasses);

// What the log-saving step works on; the report's part supplies the actions
// (the events run on the main thread through them).
struct TLogSaving {
    bool SaveLog = false;
    // The log's text is also kept for sending (SendFlags bit 2).
    bool KeepForSending = false;
    // The report repeats one already in the log.
    bool Duplicate = false;
    // The exception-action event with its in-out flag: 2 before saving, 3 after.
    std::function<void(int action, bool& flag)> NotifyAction;
    // Adds the report to the log (at most KeepReports reports), keeps the
    // log's text, writes the log file; each raises on failure.
    std::function<void()> AddReport, KeepLogText, WriteLog;
    // The exception-error event (code 3); may ask for another try.
    std::function<void(bool& retry)> LogError;
    // Releases the log object.
    std::function<void()> ReleaseLog;
};
// Saves the report to the log, trying again while the error event asks for
// it; the report is added once, and each try writes again. Returns the action
// flag: true when the log was written (or the event left it set).
bool SaveReportLog(const TLogSaving& saving);

} // namespace qov::exceptions
