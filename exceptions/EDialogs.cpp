// PLACEHOLDER: the shared dialog pieces until the exception dialog is built.
#include "EDialogs.h"

#include "EManager.h"

namespace qov::exceptions {

TDialogState& DialogState()
{
    static TDialogState state;
    return state;
}

TZephraModuleOptions& DialogOptions()
{
    TDialogState& state = DialogState();
    if (state.Options)
        return *state.Options;
    return *CurrentZephraLogOptions();
}

const std::string& DialogText(int number) { return DialogOptions().GetCustomText(number); }

bool OwnLook() { return (DialogOptions().DialogFlags() & 0x80) != 0; }

TDialogFonts& DialogFonts()
{
    static TDialogFonts fonts;
    return fonts;
}

void CreateDialogFonts(HWND) {}
void FreeDialogFonts() {}
void PrepareSmallDialog(HWND) {}
BOOL PaintDialogCaption(UINT, bool, const std::string&, HWND) { return FALSE; }
void StartAutoCloseTimer(HWND) {}
void StopAutoCloseTimer(HWND) {}
void ResetAutoClose() { DialogState().AutoCloseCount = 0; }
void StartForegroundGuard(HWND) {}
void StopForegroundGuard(HWND) {}
bool DialogTimerTick(HWND, WPARAM) { return false; }
int ReadDialogSetting(const std::string&, int def) { return def; }
void WriteDialogSetting(const std::string&, int) {}
bool ShowExceptionDialog(TReportState&) { return true; }
void ShowReproduceRequest(TReportState&) {}
void StartSendProgressDialog() {}
void SendProgressText(const std::string&) {}
void SendProgressPosition(int) {}
void CloseSendProgressDialog() {}
int MeasureWrappedText(HWND, const std::string&, int) { return 0; }
void EDialogsInit() {}
void EDialogsDone() {}

} // namespace qov::exceptions
