// The thumbnail list reader: reads "nails.xml" from a folder, chooses at most
// 120 entries, loads their pictures and posts one per entry to a window.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "NailsList.h"
#include "UnitQovCore.h"

namespace qov {

constexpr UINT WM_NAIL_ADD = kWmNailAdd;

constexpr int kNailPictureSize = 60;  // a thumbnail's picture is stretched to this square

// A thumbnail's picture: a .bmp, .dib, .jpg or .jpeg file decoded through the
// engine's still-picture path and stretched to 60 x 60 into a 32-bit DIB
// section. Raises when it cannot. Any thread may call it.
HBITMAP LoadNailPicture(const std::string& fileName);

// What WM_NAIL_ADD carries: the list's record and the picture the reader
// has loaded for it. The handler frees the post with delete, and with it
// the picture unless a nail has taken it.
struct TNailPost {
    NailRecord Record{};
    HBITMAP Picture = nullptr;

    TNailPost() = default;
    TNailPost(const TNailPost&) = delete;
    TNailPost& operator=(const TNailPost&) = delete;
    ~TNailPost()
    {
        if (Picture)
            DeleteObject(Picture);
    }
};

// Runs at the lowest priority. It loads each entry's picture itself, so
// that the control's thread only makes the nail; an entry whose picture
// cannot be loaded is skipped with one line in the daily log. Each post goes
// with WM_NAIL_ADD(post, generation) to the window. A missing or unreadable
// list ends the thread quietly; of a longer one the first 1 MiB and 65,536
// lines are read, and one daily-log line says that it was cut.
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
