// Start and end of the library in one module (the steps of unit RuruvarodIre).
// LibraryState() (EManager.h) holds the flags they set.
#pragma once

#include <windows.h>

namespace qov::exceptions {

// True when module leaves its exceptions to the main module's library: it is
// a library module and the main module carries the library too.
bool DefersToMainModule(HMODULE module, HMODULE mainModule);

// Sets the flags, marks the module's static initialisation (until its last
// initialiser has run) and, when the module carries its debug data (the
// library was activated for it), starts the thread tracking, enables the
// handling and installs the hooks.
void LibraryStart();
// Disables the handling, takes the hooks away and ends the thread tracking.
void LibraryEnd();

} // namespace qov::exceptions
