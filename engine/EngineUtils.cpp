#include "EngineUtils.h"

namespace qov {

bool PostThreadMessageRetry(DWORD threadId, HANDLE thread, UINT msg, WPARAM wParam,
                            LPARAM lParam)
{
    for (;;) {
        if (PostThreadMessageA(threadId, msg, wParam, lParam))
            return true;
        // A handle that cannot be waited on would turn this into a busy loop
        // with no end; such a target is treated as gone.
        if (WaitForSingleObject(thread, 10) != WAIT_TIMEOUT)
            return false;
    }
}

} // namespace qov
