// The exception manager: every exception the library decides to report ends
// here. ExceptionManager is the entry the hooks and other modules call;
// RunExceptionHandler guards against recursion and runs the numbered handling
// procedure (ProcessException) on a worker thread while the raising thread
// waits, pumping messages when it is the main thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "ECoreText.h"
#include "EExceptionInfo.h"
#include "EHelpers.h"

namespace qov::exceptions {

// Who hands an exception to the manager.
enum TRaiserKind : uint8_t {
    rkThread = 0,       // a thread wrapper, the raise hooks or the unhandled-exception path
    rkApplication = 1,  // the class library's application exception handler
    rkWebServer = 2,    // the web-server hooks
};

// The block of six values handed to the handling procedure.
struct THandlingBlock {
    const CONTEXT* Context = nullptr;  // the processor context, or null
    uintptr_t StackTop = 0;
    uintptr_t StackPosition = 0;
    DWORD ThreadId = 0;
    std::string FocusClass;
    std::string FocusText;
};

// The library's state flags of this module, set by its start and end.
struct TLibraryState {
    bool Active = false;            // the library works in this module
    bool HandlingEnabled = false;   // set at the end of start
    bool InInitialisation = false;  // until the module's last static initialiser ran
    bool InFinalisation = false;    // from the module's first static destructor on
    bool DefersToMain = false;      // another module of the process (the main one) reports
    bool Hooks = false;             // this module installed hooks
    DWORD MainThreadId = 0;
    HMODULE MainModule = nullptr;   // the module that reports when deferring
};
TLibraryState& LibraryState() noexcept;

// 0 when the library took care of the exception, non-zero when the caller
// goes on with its own handling. object may be null or not valid: the saved
// exception is taken then.
uint8_t ExceptionManager(const TExceptionInfo* object, const void* address, TRaiserKind kind, HMODULE module);

// The form of the main module's export "ExceptionManager" that a deferring
// module calls (GCC's register convention on 32-bit Windows).
#ifdef _WIN64
using TExceptionManagerExport = uint8_t (*)(const TExceptionInfo* object, const void* address, uint8_t kind,
                                            HMODULE module);
#else
using TExceptionManagerExport = uint8_t(__attribute__((regparm(3), stdcall)) *)(
    const TExceptionInfo* object, const void* address, uint8_t kind, HMODULE module);
#endif

// raisedByProgram: address is a return address (moved back 5 bytes to the
// call). answer: the decision's answer (daOrdinary, daSafeCall,
// daSynchronized). block may be null; stackTop and stackPosition fill it.
uint8_t RunExceptionHandler(const TExceptionRef& object, const void* address, bool raisedByProgram,
                            uint8_t answer, HMODULE module, TRaiserKind kind, THandlingBlock* block,
                            uintptr_t stackTop, uintptr_t stackPosition);

// The step of the handling procedure in progress (0 when none).
uint32_t SectionCode() noexcept;
// Records a step of the report in progress as its section code (the report
// text's builder marks its own steps).
void SetSectionCode(uint32_t code) noexcept;
// True for a program of the console subsystem.
bool ConsoleProgram();
// True while a report is being handled in the process.
bool ReportInProgress() noexcept;
// Waits at most ms until no report holds the manager; false when one still
// does (or this thread's own report is under way), so that whoever frees the
// report's lists and options leaves them to it instead.
bool WaitForRunningReport(DWORD ms) noexcept;
// The thread that raised the report in progress (it waits in RunExceptionHandler).
DWORD ReportThreadId() noexcept;

// The mark that RunExceptionHandler leaves on the calling thread after a
// report with the safecall answer, in place of the original's message prefix
// "[SafeCall Exception]: " (the message itself stays as it is): true when the
// thrown object at thrownObject (TExceptionInfo::Object()) was reported so.
// The safecall boundary's failure routine asks once and the mark is cleared,
// so that a later exception object at the same address counts as new.
bool TakeSafeCallMark(const void* thrownObject) noexcept;

// True when object can be read as an exception descriptor: every part of it
// lies in readable memory and it names a class. Reads nothing outside what it
// tested first; never faults on a garbage pointer.
bool IsValidExceptionObject(const TExceptionInfo* object) noexcept;

// Options -------------------------------------------------------------------------

// The module's current options: the record the library keeps for its own
// module. When saved shared, every change is published as the module's
// "MODULE" area for the other modules of the process.
class TZephraModuleOptionsEx : public TZephraModuleOptions {
public:
    TZephraModuleOptionsEx(const std::string& moduleFile, bool saveShared);
    void OptionsChanged() override;
};

// The library's start hands the module's current options over (null at its end).
void SetModuleOptions(std::unique_ptr<TZephraModuleOptionsEx> options);
// The module's current options; raises EAssertionFailed when the library was
// not activated for the module.
TZephraModuleOptionsEx* CurrentZephraLogOptions();
// Assigns an option value into the options in use (those of the report in
// progress, else the module's own) and marks them as changed; false when the
// library is not active.
bool SetZephraLogOption(const std::function<void(TZephraModuleOptions& options)>& assign);
// True once SetZephraLogOption changed the options of the report in progress.
bool ReportOptionsChanged() noexcept;

// Report state --------------------------------------------------------------------

// The module list the reports work on.
TZephraModulesList& LibraryModules();
// The times of the reports so far while BehaviourFlags bit 0 asks for them,
// oldest first, at most CrashCount.
std::vector<TDateTime> CrashHistory();
// The exception address of the last exception handed to the handling procedure.
const void* LastReportedAddress() noexcept;
// Reports made so far in the process.
uint32_t ReportCount() noexcept;
// The report dialog keeps this set while it is on screen (the waiting main
// thread then pumps its messages).
void SetReportDialogShown(bool shown) noexcept;
bool ReportDialogShown() noexcept;
// The window that had the keyboard focus in the raising thread and the
// cursor when the exception was caught.
HWND FocusWindowAtRaise() noexcept;
CURSORINFO CursorAtRaise() noexcept;

// The exception (this very descriptor) was reported inside the safecall
// boundary already; the manager passes it over when it comes again (as the
// saved exception, say). The last few such descriptors are kept.
bool ReportedInSafeCall(const TExceptionInfo* exception) noexcept;
extern const char* const SafeCallPrefix;

// The pumping step of the waiting main thread: up to 11 waiting messages;
// a quit message is kept to be posted again after the handling, keyboard and
// mouse-button messages are answered with a beep. False once a dispatch
// failed (no more pumping during this handling).
struct TReportPump {
    bool Failed = false;
    bool QuitSeen = false;
    WPARAM QuitCode = 0;
    bool PumpOnce();
    // Posts the kept quit message again.
    void Finish();
};

} // namespace qov::exceptions
