// The control's statistics window and about box, opened from its popup menu.
#include <windows.h>

#include "QovPlayerCtrl.h"
#include "UnitAbout.h"
#include "UnitStatus.h"

namespace qov {

void TQovPlayerCtrl::miStatusClick()
{
    // One window per control, kept for its lifetime and centred again on
    // every showing.
    if (!FStatus)
        FStatus = new TfrmStatus(FForm);
    FStatus->SetContext(&FContext);
    FStatus->ShowCentred();
}

void TQovPlayerCtrl::miAboutClick()
{
    if (FAbout)
        return;  // its loop is running already
    // The host's window stays disabled while the box is up, and the control
    // stays alive until its loop has ended, whatever the host releases; a
    // control window destroyed meanwhile ends the loop.
    AddRef();
    try {
        TfrmAbout box(GetAncestor(FForm, GA_ROOT));
        FAbout = &box;
        box.ShowModal([this] { return FForm != nullptr && IsWindow(FForm); });
        FAbout = nullptr;
    } catch (...) {
        FAbout = nullptr;
        Release();
        throw;
    }
    Release();  // may free the control: nothing of it is used after this
}

void TQovPlayerCtrl::FreeInfoWindows() noexcept
{
    if (FAbout)
        FAbout->Close();
    delete FStatus;
    FStatus = nullptr;
}

} // namespace qov
