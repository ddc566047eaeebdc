// Core Windows utilities of the exception-reporting library: safe memory
// probes, files, paths and folders, INI and registry access, system facts,
// main-window tests and the guarded runner of the library's unit steps.
// The utilities keep no state of their own (apart from what the unit's start
// step works out) and return empty texts, 0 or false on system failures.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "ECoreText.h"

// The image base of the module being linked: each module has its own.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qov::exceptions {

// The module that this copy of the library is linked into.
inline HMODULE OwnModule() noexcept
{
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

// Memory and code ----------------------------------------------------------

// True for a page protection that lets the page be read (no guard or other
// modifier bit).
bool IsReadableProtection(DWORD protect);
// True when all of [address, address + length) lies in committed pages with
// a readable protection (no guard or other modifier bit).
bool IsReadableRange(const void* address, size_t length);
// How many bytes from address on, up to maximum, can be read: the committed,
// readable pages from it without a gap.
size_t ReadableSpan(const void* address, size_t maximum);

// The target of an import stub (an indirect jump through memory, FF 25) at
// code, or code itself when it is none or its pointer cannot be read.
const void* FollowImportStub(const void* code);

// Files, paths and folders -------------------------------------------------

// The file's last-write time in local time at 2-second resolution; 0 when
// the file is not found.
TDateTime FileDate(const std::string& fileName);
// A path containing "~" rebuilt from the long names of its components; a rest
// whose folders do not exist stays as it is. Other paths are unchanged.
std::string LongPath(const std::string& path);
// The module's file name without a "\??\" prefix, through LongPath; empty
// when the system gives none.
std::string ModuleFileName(HMODULE module);
bool ModuleHasFileName(HMODULE module);

std::string TempFolder();
std::string WindowsFolder();
std::string EnvironmentVariable(const std::string& name);
// %UserProfile%, or "\" when it is empty.
std::string UserProfileFolder();

bool FolderExists(const std::string& path);
// Opens an existing file for reading.
bool FileReadable(const std::string& fileName);
// Opens the file for reading and writing, creating it when missing (and then
// deleting it again).
bool FileWritable(const std::string& fileName);

// Keeps fileName when the probe (readable or writable) passes on it; else
// tries the same file name in %UserProfile%\ZephraLog (and a sub-folder named
// after the program with perProgram), making the folders, and takes that.
// False when neither passes.
bool ReportFolderFallback(std::string& fileName, bool perProgram, bool readOnly);

// INI values of up to 2048 characters. A file name without a folder is taken
// in the Windows folder; the file goes through ReportFolderFallback first, and
// when that fails the read gives def and the write does nothing.
std::string IniRead(const std::string& fileName, const std::string& section,
                    const std::string& key, const std::string& def);
void IniWrite(const std::string& fileName, const std::string& section, const std::string& key,
              const std::string& value);

// System facts ---------------------------------------------------------------

// A string value of the registry (a leading backslash of keyPath is
// ignored); empty on any failure.
std::string RegistryString(HKEY root, const std::string& keyPath, const std::string& valueName);
// Local time minus UTC in minutes.
int UtcOffsetMinutes();
// LongDateText with the local zone.
std::string LongDateText(TDateTime value);
std::string OperatingSystemName();
// The computer's NetBIOS name.
std::string ComputerName();

// The upper-case executable name of the development environment; a module
// hosted by it (the designer) behaves differently in places.
extern const char* const DevelopmentEnvironmentExe;
// True when the main program is the development environment (worked out by
// the unit's start step).
bool HostIsDevelopmentEnvironment();

// Windows ----------------------------------------------------------------------

// A visible top-level window that is no tool window and has no owner other
// than the desktop (an owning tool window passes its own owner on).
bool IsMainWindow(HWND window);
// The first top-level window of the process that passes IsMainWindow.
HWND MainWindowOfProcess(DWORD processId);

// Unit steps -------------------------------------------------------------------

using TUnitStep = void (*)();
// Receives the text of a failed unit step once the internal-error reporter of
// the library is installed.
using TInternalErrorReporter = void (*)(const std::string& text);
void SetInternalErrorReporter(TInternalErrorReporter reporter);

// True once the process ends. A program's units end from exit(), while its
// other threads still run (and may be inside the library's hooks); a
// library's end during the process's detach, after the system has ended
// every other thread, so that a lock one of them held stays held. The end
// steps then only switch the library off: they neither wait, nor take a
// lock another thread may hold, nor free what another thread may still use.
bool ProcessEnding();

// Runs one unit start or end step. A failure goes to the internal-error
// reporter when there is one, and the step then ends with a silent abort
// (EAbort, which callers pass over without a message); otherwise it is raised
// again as an Exception naming the step.
void RunUnitStep(TUnitStep step, const char* stepName);

// The start and end steps of unit ECore.
void ECoreInit();
void ECoreDone();

} // namespace qov::exceptions
