// The report text of the exception in progress: the manager's captured data
// (call stacks, threads, modules, processor context, memory) turned into the
// plain values the report's text is built from, and the steps of the handling
// that build it (step 702), add the program's custom data to it (step 8) and
// hand it to the web output.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "EReportText.h"

namespace qov::exceptions {

struct TReportState;
class TZephraStackList;
class TZephraModulesList;
class TZephraThreadsList;

// The captured data as plain values.
std::vector<TReportStackEntry> ReportStackEntries(const TZephraStackList& list);
std::vector<TReportThread> ReportThreads(TZephraThreadsList& threads);
std::vector<TReportModule> ReportModules(const TZephraModulesList& modules);
// The registers of context in the order of this machine's register layout,
// and the memory dump from the stack position and the exception address
// when both can be read.
TCpuData ReportCpuData(const CONTEXT* context, uintptr_t stackPosition, const void* address);
// The class name of a thread object (its type's name); empty when the object
// cannot be read as one.
std::string ThreadObjectClassName(const void* threadObject);

// Step 702: every report text of state (its lead text, general and processor
// sections, search keys, report, send text and the console's plain text).
void BuildStateReportText(TReportState& state);
// Step 8: the custom data as section 7 ("Other Information").
void AddCustomDataSection(TReportState& state);
// A section after the general section and those inserted before it; the
// handler's copy of the report follows.
void InsertStateReportSection(TReportState& state, int sectionBefore, const std::string& title,
                              const std::string& value);

// The web output of a report: the page made of the lead text and text, with
// its back button, written as the response. The web-output unit installs
// both; until then nothing is written.
struct THtmlOutput {
    std::function<std::string(const std::string& text)> MakePage;
    std::function<bool(const std::string& page)> WritePage;
};
THtmlOutput& HtmlOutput();
// True when written (and also when nothing is to be written in this mode).
bool WriteHtmlReport(TReportState& state, const std::string& text);

// Installs and removes the steps above.
void EReportBuildInit();
void EReportBuildDone();

} // namespace qov::exceptions
