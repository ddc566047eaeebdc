// The steps of a report that the handling procedure leaves to the report's
// other units: the report text, the stored log, the screenshot, the dialog
// and its web and console forms, the request dialog, sending, and ending the
// program. Each unit installs its step here; a step nobody installed does
// nothing, apart from the few the library can already do itself (the console
// line, saving the log through SaveReportLog, the clipboard copy, ending or
// restarting the program).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "EExceptionInfo.h"
#include "ECoreText.h"
#include "EHelpers.h"
#include "EManager.h"

namespace qov::exceptions {

class TZephraStackList;
class TZephraThreadsList;

// What the steps of the report in progress work on.
struct TReportState {
    // When the handling began (local time).
    TDateTime Time = 0;
    TExceptionRef Exception;
    // The exception address (at the call when raised by the program).
    const void* Address = nullptr;
    DWORD ThreadId = 0;
    // The raiser's context (or null), stack top and position, and focus.
    THandlingBlock Block;
    uint8_t RaiserKind = 0;
    uint8_t Answer = 0;
    // The options in use and the raiser's call stack (shared with a sender
    // that still needs it after the report).
    TZephraModuleOptionsEx* Options = nullptr;
    std::shared_ptr<TZephraStackList> CallStack;
    // The snapshot of the known threads while the report text is built
    // (step 702; null otherwise): their priorities and thread objects.
    TZephraThreadsList* Threads = nullptr;
    // The report text (with sections) and its plain form for the console.
    std::string ReportText;
    std::string PlainText;
    // Texts of the report built with it (step 702): the line put before the
    // report in console and web output, the first line with the general
    // section (and the sections inserted after it), the processor section,
    // and the text senders attach (the report, or the whole stored log).
    std::string LeadText;
    std::string GeneralSectionText;
    std::string CpuSectionText;
    std::string SendText;
    // Items 2.2, 2.3, 2.4 and 2.5 as computed for this report: what the
    // stored log is searched for to find the same report.
    std::string KeyAddress;
    std::string KeyModule;
    std::string KeyType;
    std::string KeyMessage;
    // The same report is in the stored log already.
    bool Duplicate = false;
    // The program's custom data (custom-data event).
    std::string CustomData;
    // The dialog's choices.
    bool SendChecked = false;
    bool CopyChecked = false;
    bool TerminateChosen = false;
    // The report's request value (1: ask the user for the steps that led to it).
    int Request = 0;
    // Sending is under way (it frees the call stack itself).
    bool Sending = false;
};

struct TReportSteps {
    // Step 6, LogFlags bit 4: the module and process lists of the report.
    std::function<void(TReportState&)> BuildLists;
    // Step 702: ReportText and PlainText.
    std::function<void(TReportState&)> BuildReportText;
    // Step 704, LogFlags bit 0: whether the stored log holds the same report.
    std::function<bool(TReportState&)> IsLoggedAlready;
    // Step 706: the screenshot, and the last page of a web-server program.
    std::function<void(TReportState&)> TakeScreenshot;
    std::function<void(TReportState&)> SaveLastHtmlPage;
    // Step 8: the custom data as its own section of the report.
    std::function<void(TReportState&)> AddCustomData;
    // Step 10: the exception message (kept as the last exception message).
    std::function<std::string(TReportState&)> ExceptionMessage;
    // True for a web-server program (its report goes out as a web page).
    std::function<bool()> IsWebServerProgram;
    // Step 13: the outputs; each false when it failed.
    std::function<bool(TReportState&)> ShowDialog;
    std::function<bool(TReportState&)> WriteHtmlPage;
    // Step 14: the web page with the message when there is no dialog, the
    // request dialog, the screenshot file, the screenshot's release.
    std::function<void(TReportState&)> WriteHtmlMessage;
    std::function<void(TReportState&)> ShowRequestDialog;
    std::function<void(TReportState&)> WriteScreenshotFile;
    std::function<void(TReportState&)> FreeScreenshot;
    // Step 15: the stored log's version test (LogFlags bit 2), and what the
    // log saving works on (the default saves nothing).
    std::function<void(TReportState&)> CheckLogVersion;
    std::function<void(TReportState&, TLogSaving&)> PrepareLogSaving;
    // Step 16: starts sending; true when the sender took the report.
    std::function<bool(TReportState&)> StartSending;
    std::function<void(TReportState&)> RepeatedErrorsRule;
};

// The installed steps (all empty until their units install them).
TReportSteps& ReportSteps();

} // namespace qov::exceptions
