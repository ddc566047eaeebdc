// Reads of memory that may go away while it is read (the code of a module
// another thread unloads, a stack that changes): a fault ends the read
// instead of the process. The unit's start step installs the first-chance
// handler that turns a fault of the copy routine into a failed read; its end
// step removes it again.
#pragma once

#include <cstddef>

namespace qov::exceptions {

// Copies count bytes; false when a byte could not be read (to then holds
// what was read before it). Before the unit's start (and after its end) the
// bytes are copied plainly: the caller has tested them for readability.
bool SafeCopy(void* to, const void* from, size_t count);

void ESafeReadInit();
void ESafeReadDone();

} // namespace qov::exceptions
