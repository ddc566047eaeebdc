#include "UnitStart.h"

#include <windows.h>

#include <cstring>
#include <exception>

#include "ECore.h"
#include "EDialogs.h"
#include "EHook.h"
#include "ELogFiles.h"
#include "EReportBuild.h"
#include "ESafeRead.h"
#include "RuruvarodIre.h"
#include "SysUtils.h"

extern "C" {
int QovExceptionsUnitStart = 0;
}

namespace qov::exceptions {

namespace {

struct TUnitEntry {
    const char* Name;
    TUnitStep Init;
    TUnitStep Done;
};

// The library's units in start order; adding a unit is one line.
const TUnitEntry Units[] = {
    {"ECore", ECoreInit, ECoreDone},
    {"ESafeRead", ESafeReadInit, ESafeReadDone},
    // The hooking unit's lists exist before the library's start hooks anything,
    // and its end puts the import and inline hooks back after the library's end.
    {"EHook", EHookInit, EHookDone},
    // The report's steps (its text, the stored log) are in place before the
    // library starts reporting.
    {"EReportBuild", EReportBuildInit, EReportBuildDone},
    {"ELogFiles", ELogFilesInit, ELogFilesDone},
    {"EDialogs", EDialogsInit, EDialogsDone},
    {"RuruvarodIre", RuruvarodIreInit, RuruvarodIreDone},
};
constexpr size_t UnitCount = sizeof Units / sizeof Units[0];

// Plain data: valid before any static initialiser of the module has run.
int StartCounts[UnitCount];
char FailureText[512];

void RunStep(const TUnitEntry& unit, TUnitStep step, const char* suffix)
{
    char label[64];
    std::strncpy(label, unit.Name, sizeof label - 8);
    label[sizeof label - 8] = '\0';
    std::strcat(label, suffix);
    RunUnitStep(step, label);
}

// Runs a walk from the static initialiser or destructor, where nothing may
// escape: a failure is kept for UnitStepFailure and written to the debugger.
void RunGuarded(void (*walk)())
{
    try {
        walk();
    } catch (const std::exception& e) {
        std::strncpy(FailureText, e.what(), sizeof FailureText - 1);
        OutputDebugStringA(FailureText);
    } catch (...) {
        std::strncpy(FailureText, "General internal error.", sizeof FailureText - 1);
        OutputDebugStringA(FailureText);
    }
}

struct TLibraryLifetime {
    TLibraryLifetime() { RunGuarded(StartUnits); }
    ~TLibraryLifetime() { RunGuarded(EndUnits); }
};

// The lowest priority a program may give: constructed before, and destroyed
// after, every other static object of the module.
__attribute__((init_priority(101))) TLibraryLifetime LibraryLifetime;

} // namespace

void StartUnits()
{
    for (size_t i = 0; i < UnitCount; ++i) {
        if (StartCounts[i]++ != 0)
            continue;
        try {
            RunStep(Units[i], Units[i].Init, ".Init");
        } catch (const EAbort&) {
            // Reported by the internal-error reporter already: the unit
            // counts as started (its end step copes) and the walk goes on.
        } catch (...) {
            StartCounts[i] = 0;
            throw;
        }
    }
}

void EndUnits()
{
    // Every unit ends even when one before it failed; the first failure is
    // raised afterwards.
    std::exception_ptr failure;
    for (size_t i = UnitCount; i-- > 0;) {
        if (StartCounts[i] <= 0 || --StartCounts[i] != 0)
            continue;
        try {
            RunStep(Units[i], Units[i].Done, ".Done");
        } catch (const EAbort&) {
            // Reported already.
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

int UnitStartCount(const char* unit)
{
    for (size_t i = 0; i < UnitCount; ++i)
        if (std::strcmp(Units[i].Name, unit) == 0)
            return StartCounts[i];
    return -1;
}

std::string UnitStepFailure()
{
    return FailureText;
}

} // namespace qov::exceptions
