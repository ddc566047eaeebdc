#include "UnitLayout.h"

#include "UnitLog.h"

namespace qov {

TNailsLayout::TNailsLayout(HWND window, HANDLE placed) : FWindow(window), FPlaced(placed)
{
    StartThread();
    SetThreadPriority(Handle(), THREAD_PRIORITY_IDLE);
}

TNailsLayout::~TNailsLayout()
{
    EndThread();
}

void TNailsLayout::Execute()
{
    try {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.message != WM_NAILS_RELAYOUT || msg.wParam == 0)
                continue;
            int count = static_cast<int>(msg.wParam);
            int index = 1;
            while (count > index) {
                if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    if (msg.message != WM_NAILS_RELAYOUT)
                        return;
                    count = static_cast<int>(msg.wParam);
                    index = 1;
                    continue;
                }
                if (!PostMessageA(FWindow, WM_NAIL_PLACE, static_cast<WPARAM>(index), 0))
                    return;
                // The end cuts the wait short; a newer pass still waits for
                // this placement's acknowledgement, so that no two placements
                // are ever pending. A wait that runs out counts as one.
                bool restart = false;
                const DWORD start = GetTickCount();
                for (;;) {
                    const DWORD spent = GetTickCount() - start;
                    if (spent >= kNailPlaceWaitMs ||
                        MsgWaitForMultipleObjects(1, &FPlaced, FALSE, kNailPlaceWaitMs - spent, QS_POSTMESSAGE) !=
                            WAIT_OBJECT_0 + 1)
                        break;
                    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                        if (msg.message != WM_NAILS_RELAYOUT)
                            return;
                        count = static_cast<int>(msg.wParam);
                        restart = true;
                    }
                }
                index = restart ? 1 : index + 1;
            }
        }
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TNailsLayout.Execute -> ") + e.what());
    } catch (...) {
        Log().AddLine("TNailsLayout.Execute -> Unknown exception");
    }
}

} // namespace qov
