// UnitFull: TfrmFullScreen, the borderless black window that shows the
// picture on the monitor of the control in full-screen display mode. It fits
// the picture to the monitor, asks the control to leave full screen on Esc,
// F7, a double click or when it loses the focus, and sends the viewer's keys
// and mouse actions to a live broadcast's service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "UnitTop.h"

namespace qov {

class TReadThread;

extern const char* const kFullScreenWindowClass;  // "TfrmFullScreen"

class TfrmFullScreen {
public:
    // Creates the window, hidden, with its focus timer running.
    TfrmFullScreen();
    ~TfrmFullScreen();
    TfrmFullScreen(const TfrmFullScreen&) = delete;
    TfrmFullScreen& operator=(const TfrmFullScreen&) = delete;

    HWND Handle() const { return FWindow; }
    // Tells this window's requests to leave full screen from those of
    // earlier windows (lParam of WM_FULLSCREEN_EXIT).
    LPARAM Id() const { return FId; }

    // The live reader that receives the request texts; nullptr for sources
    // that take none.
    void SetReader(TReadThread* reader) { FReader = reader; }
    // The control window and the recording's size, then FitFullScreen.
    void SetFullScreenSource(const PlaybackContext& context, HWND control);
    void SetPictureSize(int32_t width, int32_t height, HWND control);
    void FitFullScreen();
    // Shows the window activated.
    void Show();
    void LeaveFullScreen();

    int32_t Zoom() const { return FZoom; }

    TPictureImage imgPic;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Message(UINT msg, WPARAM wp, LPARAM lp);
    void FrontTimerTimer();
    void SendRequest(const std::string& text);
    void KeyEvent(WPARAM key, bool up);
    // Mouse events over the image: false when the position is outside it
    // and no button went down on it.
    void MouseEvent(UINT msg, LPARAM lp);

    HWND FWindow = nullptr;
    HWND FControl = nullptr;
    int32_t FPictureWidth = 0;
    int32_t FPictureHeight = 0;
    int32_t FZoom = 1;
    TReadThread* FReader = nullptr;
    LPARAM FId = 0;
    bool FHadFocus = false;
    int FButtonsDown = 0;
};

} // namespace qov
