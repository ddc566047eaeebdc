// The engine's daily log: one text file per day, "<folder>\Log\yyyy-mm-dd.log",
// each line "<program file name> ---> hh:nn:ss <text>" ending in CR LF.
// Writers in every process on the machine take turns through one named,
// auto-reset event ("Global\Corvane Log Event"; signalled = the log is free).
#pragma once

#include <windows.h>

#include <string>

namespace qov {

// Name of the machine-wide event through which all log writers take turns.
extern const char* const kLogEventName;

// How long AddLine waits for its turn before it writes anyway: a writer that
// died holding the event must not stop every other writer for good.
constexpr DWORD kLogWaitTimeout = 5000;

class TLog {
public:
    // Supplies the local date and time of a line (the file's date and the
    // line's time come from the same reading).
    using TClock = void (*)(SYSTEMTIME& now);

    // folder: the folder whose "\Log" sub-folder holds the files; one trailing
    // backslash or slash is dropped. The sub-folder is created with all
    // missing parents (a failure there only costs the lines later).
    // Opens the machine-wide event, or creates it signalled; raises
    // EAssertionFailed when it can be neither opened nor created.
    explicit TLog(const std::string& folder);
    ~TLog();
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    // Appends one line to today's file. Never raises: a line that cannot be
    // written is reported to the debugger output ("ERROR: TLog.AddLine -> "
    // and the reason) and lost. Thread-safe; serialised machine-wide.
    void AddLine(const std::string& text) noexcept;

    // The folder that holds the log files, without a trailing separator.
    const std::string& LogFolder() const { return FLogFolder; }

    // Test hook: the clock (nullptr = GetLocalTime). Set it before the log
    // is shared.
    void SetClock(TClock clock) { FClock = clock; }

private:
    void WriteLine(const std::string& text);

    std::string FLogFolder;
    HANDLE FEvent = nullptr;
    std::string FProgramName;  // host program's file name, without folder
    TClock FClock = nullptr;
};

// The process-wide log, in "\Log" under the folder of the host process's
// program file (the executable that loaded this module). Created when the
// module starts, freed when it ends.
TLog& Log();

// Folder of the host process's program file, with a trailing backslash.
std::string ProgramFolder();
// File name of the host process's program file, without folder.
std::string ProgramFileName();

// Creates a folder and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& folder);

} // namespace qov
