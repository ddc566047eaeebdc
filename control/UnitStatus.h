// UnitStatus: TfrmStatus, the statistics window that the control shows
// inside itself. Once a second while it is shown it reads what the engine
// holds for the open recording: the time span and count of the buffered
// frames, the play position, the buffered bytes, the receive rate, and the
// recording's length and size.
#pragma once

#include <windows.h>

#include <string>

namespace qov {

struct PlaybackContext;

extern const char* const kStatusWindowClass;  // "TfrmStatus"

// Control ids of the window's labels and button (tests read them).
enum TStatusControl : int {
    idLabFrom = 101,
    idLabCurrentPosition,
    idLabTo,
    idLabFrames,
    idLabBytes,
    idLabBPS,
    idLabDuration,
    idLabSize,
    idBtnClose = IDOK,
};

class TfrmStatus {
public:
    // Creates the window, hidden, as a child of parent.
    explicit TfrmStatus(HWND parent);
    ~TfrmStatus();
    TfrmStatus(const TfrmStatus&) = delete;
    TfrmStatus& operator=(const TfrmStatus&) = delete;

    HWND Handle() const { return FWindow; }
    void SetContext(PlaybackContext* context) { FContext = context; }
    // Centred in the parent's client area and shown (FormShow starts the
    // refresh timer).
    void ShowCentred();
    void Refresh();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Message(UINT msg, WPARAM wp, LPARAM lp);
    void SetText(int id, const std::string& text);
    void FormShow();
    void FormClose();

    HWND FWindow = nullptr;
    HFONT FFont = nullptr;
    PlaybackContext* FContext = nullptr;
};

} // namespace qov
