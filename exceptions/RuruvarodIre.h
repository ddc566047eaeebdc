// Process utilities shared by the library's units: the per-process shared
// memory areas of a module, the list of the process's own windows, the
// clipboard, ending or restarting the program, and the folder the program
// was started in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qov::exceptions {

// Opens (dataSize 0: only when it exists already) or creates the named,
// pagefile-backed area of module with prefix; its first 32-bit word holds the
// total size. An existing area is opened with its own size. On success data
// points behind the size word and the mapping handle is returned; otherwise
// 0 with data cleared. An existing area whose size word is below 4 or larger
// than its mapping counts as absent.
HANDLE OpenSharedArea(HMODULE module, const std::string& prefix, uint32_t dataSize, void*& data);
// Unmaps and closes an area and clears both.
void CloseSharedArea(HANDLE& handle, void*& data);

// Notes every top-level window of the process.
void TakeOwnWindowList();
// True when window belongs to the process and was not in the noted list.
bool IsNewOwnWindow(HWND window);

// Puts text on the clipboard as CF_TEXT.
bool CopyToClipboard(const std::string& text);

// Ends the program with exit code 1; with restart, first starts it again
// with the same command line in the folder it was started in.
void TerminateApplication(bool restart);

// The current folder when the library started in this module.
std::string StartFolder();

// The start and end steps of unit RuruvarodIre.
void RuruvarodIreInit();
void RuruvarodIreDone();

} // namespace qov::exceptions
