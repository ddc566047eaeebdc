// Helpers shared by the engine's threads.
#pragma once

#include <windows.h>

namespace qov {

// Posts a thread message, retrying while the target's queue refuses it (for
// example before the thread has created its queue): between tries it waits up
// to 10 ms on the thread's handle. Returns true once the message is posted,
// false as soon as the handle is signalled (the thread has ended) or cannot
// be waited on. Blocks its caller meanwhile.
bool PostThreadMessageRetry(DWORD threadId, HANDLE thread, UINT msg, WPARAM wParam,
                            LPARAM lParam);

} // namespace qov
