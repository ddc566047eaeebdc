// The library's dialogs: the exception dialog with its short and detailed
// layouts, its pages, the reproduce-request and send-progress dialogs, and
// what they share (the dialog state, fonts, brushes, the own-look caption,
// the auto-close and foreground-guard timers, the settings file).
//
// The templates and bitmaps come from the resource script res/ZephraLog.rc,
// which every module that carries the library links (qov_zpdata), so the
// dialogs load them from the module that holds the library (OwnModule()).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "EReportSteps.h"

namespace qov::exceptions {

class TZephraModuleOptions;

// Fonts of one dialog (CreateDialogFonts/FreeDialogFonts).
struct TDialogFonts {
    HFONT Caption = nullptr;  // own-look caption text
    HFONT Text = nullptr;     // statics, buttons, boxes, tabs, page captions
    HFONT Link = nullptr;     // support link
    HFONT Fixed = nullptr;    // general, CPU and custom-data pages, request edit box
    HFONT List = nullptr;     // call-stack and modules lists
};

// One set per module, shared by the exception dialog, its pages and the small
// dialogs; one exception is handled at a time, so it is not locked.
struct TDialogState {
    // The report shown and the options in use (set by ShowExceptionDialog).
    TReportState* Report = nullptr;
    TZephraModuleOptions* Options = nullptr;
    bool SendChosen = false;
    bool ScreenshotChosen = false;
    bool CopyChosen = false;
    bool Painted = false;
    bool TerminatePressed = false;
    bool DetailsShown = false;
    bool TopMost = false;
    bool Active = true;           // own-look caption drawn as active
    int CaptionMetric = 0;        // SM_CYSMCAPTION or SM_CYCAPTION
    int ExtraBottom = 0;          // 0, 20 or 34 pixels
    RECT LinkRect{};
    bool Hovering = false;
    HWND CurrentDialog = nullptr;
    std::vector<HWND> TopWindows;  // the foreground guard's list
    int AutoCloseCount = 0;
    HWND CurrentPage = nullptr;
    // The detailed layout's remembered geometry and show state (1, 3, 6).
    int Left = 0, Top = 0, Width = 0, Height = 0, ShowState = 1;
    bool WidthRemembered = false;
    // The send-progress dialog.
    HWND ProgressWindow = nullptr;
    bool ProgressUp = false;
    // Brushes of the dialog in use: background and page content (white).
    HBRUSH BackgroundBrush = nullptr;
    HBRUSH WhiteBrush = nullptr;
};
TDialogState& DialogState();

// The options the dialogs read: those of the report shown, else the module's.
TZephraModuleOptions& DialogOptions();
// Text number n of those options' custom texts.
const std::string& DialogText(int number);
// DialogFlags bit 7: small caption, painted caption and border, flat buttons.
bool OwnLook();

TDialogFonts& DialogFonts();
void CreateDialogFonts(HWND window);
void FreeDialogFonts();

// Small dialogs (request, progress): active state, caption metric,
// tool-window style, top-most, height from the template.
void PrepareSmallDialog(HWND window);
// Own-look caption and border for WM_NCPAINT/WM_NCACTIVATE; FALSE (nothing
// painted) unless DialogFlags bit 7 is set.
BOOL PaintDialogCaption(UINT message, bool active, const std::string& text, HWND window);

// Auto-close (timer 2, DialogCloseSeconds) and foreground guard (timer 3).
void StartAutoCloseTimer(HWND window);
void StopAutoCloseTimer(HWND window);
void ResetAutoClose();
void StartForegroundGuard(HWND window);
void StopForegroundGuard(HWND window);
// The dialogs' WM_TIMER for timers 2 and 3; true when it was one of them.
bool DialogTimerTick(HWND window, WPARAM timerId);

// The settings file ZephraLog.ini, section "Coordinates": a value that does
// not read as a number gives the default.
int ReadDialogSetting(const std::string& key, int def);
void WriteDialogSetting(const std::string& key, int value);

// The exception dialog (modal, no owner, in the calling thread); false when
// it could not be shown. Its choices go to the report and the dialog state.
bool ShowExceptionDialog(TReportState& report);

// The reproduce-request dialog (adds section 7 "Request" when answered).
void ShowReproduceRequest(TReportState& report);
// The send-progress dialog in its own thread; returns once it is up (at most
// 5 s). The senders drive it through SendProgressText, SendProgressPosition
// and CloseSendProgressDialog, each doing nothing without a dialog.
void StartSendProgressDialog();
void SendProgressText(const std::string& text);
void SendProgressPosition(int percent);
void CloseSendProgressDialog();
// Height of text wrapped to width in the dialog's text font.
int MeasureWrappedText(HWND window, const std::string& text, int width);

// Pages 0 to 4 of the detailed layout: general, call stack, modules, CPU,
// custom data (templates ZP_TAB_*, children of the tab control).
INT_PTR CALLBACK GeneralPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CallStackPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ModulesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CpuPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CustomDataPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Installs and removes the dialog steps of the report (ShowDialog,
// ShowRequestDialog).
void EDialogsInit();
void EDialogsDone();

} // namespace qov::exceptions
