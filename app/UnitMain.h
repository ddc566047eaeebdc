// TfrmMain: the desktop program's main window. It hosts the player control
// above a panel with the position bar and the time label, and adds the menu
// bar, the open dialogs, the recent-files list and the command line.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MRUFList.h"
#include "PlayerControl.h"
#include "UnitURL.h"

namespace qov::app {

extern const char AppTitle[];  // "Corvane QovPlayer"

// The application-level handler every failing handler of the program's
// windows reaches. Called inside a catch block, it first hands the exception
// to the exception-reporting library (raiser kind 1); unless the library took
// care of it, the handler set here gets the message, by default a box
// captioned with the program's title. The program goes on.
using TExceptionHandler = std::function<void(const std::string& message)>;
void SetApplicationExceptionHandler(TExceptionHandler handler);
void ApplicationHandleException(const std::exception& error);
void ApplicationHandleException(const std::string& message);

// Menu command ids of the main window.
enum TMainCommand : UINT {
    cmOpenFile = 101,
    cmOpenURL,
    cmClose,
    cmExit,
    cmPlay = 201,
    cmPause,
    cmStop,
    cmScanForward,
};

class TfrmMain {
public:
    // Creates the window and, inside it, the control (throws EControlError
    // when the control cannot be made). parameters: the command line's
    // parameters 1..N. quitOnClose: closing the window ends the message loop.
    TfrmMain(TPlayerControlFactory factory, std::vector<std::wstring> parameters,
             bool quitOnClose = true);
    ~TfrmMain();
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    HWND Handle() const { return FWindow; }
    HWND Panel1() const { return FPanel; }
    HWND labTime() const { return FLabel; }
    HWND sb() const { return FBar; }
    HMENU miFile() const { return FFileMenu; }
    HMENU miControl() const { return FControlMenu; }
    HACCEL Accelerators() const { return FAccelerators; }
    TMRUFileList& mru() { return *FMru; }
    IPlayerControl* QovPlayer() const { return FControl.get(); }
    void SetURLDialog(TfrmURL* dialog) { FURLDialog = dialog; }

    void Show(int command);

    // The handlers (the window runs them from its messages).
    // Opens a file path or URL; a local path by its full name.
    void OpenLocator(const std::wstring& name);
    void miOpenFileClick();
    void miOpenURLClick();
    void miControlClick();
    void FormShow();
    void timerRefreshTimer();
    void sbScroll(int code, int position);
    void QovPlayerPlayStateChanged(int state);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PanelProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void Command(UINT id);
    void CreateMenus();
    void Layout();
    void SetLabel(const std::string& text);
    void SetBar(int position);
    void CheckControlItem(UINT id);

    HWND FWindow = nullptr;
    HWND FPanel = nullptr;
    HWND FLabel = nullptr;
    HWND FBar = nullptr;
    HFONT FFont = nullptr;
    HMENU FMenu = nullptr;
    HMENU FFileMenu = nullptr;
    HMENU FControlMenu = nullptr;
    HACCEL FAccelerators = nullptr;
    std::map<int, HBITMAP> FIcons;  // ilMain
    std::unique_ptr<IPlayerControl> FControl;
    std::unique_ptr<TMRUFileList> FMru;
    TfrmURL* FURLDialog = nullptr;
    std::vector<std::wstring> FParameters;
    bool FQuitOnClose;
    bool FMade = false;
    bool FShown = false;
    bool FTracking = false;
    bool FInTick = false;
    bool FTickFailing = false;
};

} // namespace qov::app
