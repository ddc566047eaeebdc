// The thumbnail list reader: reads "nails.xml" from a folder, chooses at most
// 120 entries and posts one NailRecord per entry to a window.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "NailsList.h"
#include "UnitQovCore.h"

namespace qov {

constexpr UINT WM_NAIL_ADD = kWmNailAdd;

// Runs at the lowest priority. Each record goes with WM_NAIL_ADD(record,
// generation) to the window, whose handler frees it with delete. A missing
// or unreadable list ends the thread quietly.
class TNailsCreator : public TThread {
public:
    // folder ends in a backslash and holds "nails.xml"; the pictures lie in
    // its "nails" subfolder.
    TNailsCreator(HWND window, const std::string& folder, LPARAM generation);
    // Asks the thread to stop posting and waits for it.
    ~TNailsCreator() override;

    int Posted() const { return FPosted.load(); }

protected:
    void Execute() override;

private:
    HWND FWindow;
    std::string FFolder;
    LPARAM FGeneration;
    std::atomic<bool> FTerminated{false};
    std::atomic<int> FPosted{0};
};

} // namespace qov
