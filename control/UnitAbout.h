// UnitAbout: TfrmAbout, the control's about box: the product name and the
// file version of the control library, read from its version resource.
#pragma once

#include <windows.h>

#include <functional>

namespace qov {

extern const char* const kAboutWindowClass;  // "TfrmAbout"

enum TAboutControl : int {
    idLabVersion = 201,
    idBtnOK = IDOK,
};

class TfrmAbout {
public:
    // Creates the box, hidden, owned by owner (the top-level window that the
    // box keeps disabled while it is up).
    explicit TfrmAbout(HWND owner);
    ~TfrmAbout();
    TfrmAbout(const TfrmAbout&) = delete;
    TfrmAbout& operator=(const TfrmAbout&) = delete;

    HWND Handle() const { return FWindow; }
    // Shows the box with the library's file version, centred, and runs its
    // modal loop until it is closed, it or its owner is destroyed, or
    // keepGoing answers false.
    void ShowModal(const std::function<bool()>& keepGoing);
    // Ends the modal loop.
    void Close() { FClosed = true; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Message(UINT msg, WPARAM wp, LPARAM lp);
    void FormShow();

    HWND FWindow = nullptr;
    HWND FOwner = nullptr;
    HFONT FFont = nullptr;
    HFONT FTitleFont = nullptr;
    HFONT FVersionFont = nullptr;
    bool FClosed = false;
};

} // namespace qov
