// The thumbnail strip's layout thread: after a change of the column count it
// has the strip's nails moved into the new grid one at a time, each move done
// on the window's own thread.
#pragma once

#include <windows.h>

#include "NailsList.h"
#include "UnitQovCore.h"

namespace qov {

constexpr UINT WM_NAILS_RELAYOUT = kWmNailsRelayout;
constexpr UINT WM_NAIL_PLACE = kWmNailPlace;
// Longest wait for one placement's acknowledgement.
constexpr DWORD kNailPlaceWaitMs = 2000;

// Lowest priority. For Relayout(count) it posts WM_NAIL_PLACE(index) to the
// window for index 1..count-1, waiting after each (at most 2000 ms) for the
// placed event, which the window's handler sets; a newer Relayout restarts
// the pass from index 1.
class TNailsLayout : public TThread {
public:
    // placed: an auto-reset event of the strip's own (not owned).
    TNailsLayout(HWND window, HANDLE placed);
    ~TNailsLayout() override;

    void Relayout(int count) { Post(WM_NAILS_RELAYOUT, static_cast<WPARAM>(count)); }

protected:
    void Execute() override;

private:
    HWND FWindow;
    HANDLE FPlaced;
};

} // namespace qov
