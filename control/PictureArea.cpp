// The control's picture area: the picture frame and the full-screen window,
// the display modes with their menu and events, and the paint handler that
// brings the play thread's changes to the screen.
#include <windows.h>

#include "ComSupport.h"
#include "PlayThread.h"
#include "QovPlayerCtrl.h"
#include "QovStream.h"
#include "UnitFull.h"
#include "UnitTop.h"

namespace qov {

TDetailFrame& TQovPlayerCtrl::DetailFrame()
{
    if (!FDetailFrame)
        FDetailFrame = new TDetailFrame(FDetail);
    return *FDetailFrame;
}

void TQovPlayerCtrl::FreePictureArea() noexcept
{
    delete FFullScreen;
    FFullScreen = nullptr;
    delete FDetailFrame;
    FDetailFrame = nullptr;
}

bool TQovPlayerCtrl::PictureMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result)
{
    result = 0;
    switch (msg) {
    case WM_ENGINE_PAINT:
        PaintDirtyRect(wp, lp);
        return true;
    case WM_FULLSCREEN_TOGGLE:
        miFullClick();
        return true;
    case WM_FULLSCREEN_EXIT:
        ExitFullScreen(lp);
        return true;
    case WM_INITMENUPOPUP:
        if (FMenu && reinterpret_cast<HMENU>(wp) == GetSubMenu(FMenu, 0))
            miDisplayModeClick();
        return false;
    default:
        return false;
    }
}

bool TQovPlayerCtrl::DetailMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result)
{
    if (msg == WM_SIZE) {
        frmDetailResize();
        result = 0;
        return false;
    }
    return DetailFrame().Message(msg, wp, lp, result);
}

void TQovPlayerCtrl::ClosePicture()
{
    delete FFullScreen;
    FFullScreen = nullptr;
    if (FDetailFrame) {
        FDetailFrame->imgPic.Visible = false;
        InvalidateRect(FDetailFrame->Handle(), nullptr, TRUE);
    }
}

void TQovPlayerCtrl::PaintDirtyRect(WPARAM wp, LPARAM lp)
{
    auto* player = static_cast<TPlayThread*>(FContext.Player);
    if (!player || (wp == 0 && lp == 0))
        return;
    const TPixelRect dirty = MergeQueuedPaints(FForm, DirtyRectFromParams(wp, lp));
    if (FDisplayMode == dmFull && FFullScreen) {
        PaintPicture(player->BackBuffer(), display::dmFull, dirty, FFullScreen->Zoom(), FFullScreen->imgPic,
                     FFullScreen->Handle());
    } else {
        TDetailFrame& frame = DetailFrame();
        PaintPicture(player->BackBuffer(), frame.Mode(), dirty, frame.Zoom(), frame.imgPic, frame.Handle());
    }
}

void TQovPlayerCtrl::ApplyDisplayMode()
{
    TDetailFrame& frame = DetailFrame();
    frame.imgPic.Visible = true;
    if (FDisplayMode != dmAdaptive && FDisplayMode != dmOriginal) {
        if (!FFullScreen)
            FFullScreen = new TfrmFullScreen();
        FFullScreen->SetReader(LiveReader());
        FFullScreen->SetFullScreenSource(FContext, FForm);
        FFullScreen->imgPic.Visible = true;
        FFullScreen->Show();
    } else {
        frame.SetPictureSource(FContext, FDisplayMode);
        delete FFullScreen;
        FFullScreen = nullptr;
    }
}

void TQovPlayerCtrl::RequestRepaint()
{
    if (auto* player = static_cast<TPlayThread*>(FContext.Player))
        player->Refresh();
}

void TQovPlayerCtrl::frmDetailResize()
{
    if (FDetail && DetailFrame().FrameResize())
        RequestRepaint();
}

void TQovPlayerCtrl::ChangeDisplayMode(::TDisplayMode mode)
{
    if (mode == dmFull)
        FPrevDisplayMode = FDisplayMode;
    FDisplayMode = mode;
    if (FContext.Player) {
        ApplyDisplayMode();
        RequestRepaint();
    }
    SetDisplayMode(mode);
}

void TQovPlayerCtrl::miAdaptiveClick()
{
    if (FDisplayMode != dmAdaptive)
        ChangeDisplayMode(dmAdaptive);
}

void TQovPlayerCtrl::miFullClick()
{
    if (FDisplayMode != dmFull)
        ChangeDisplayMode(dmFull);
}

void TQovPlayerCtrl::miOriginalClick()
{
    if (FDisplayMode != dmOriginal)
        ChangeDisplayMode(dmOriginal);
}

void TQovPlayerCtrl::ExitFullScreen(LPARAM id)
{
    // Requests of a window already freed (its focus timer may have posted
    // several) would end the next full screen at once.
    if (FDisplayMode != dmFull || !FFullScreen || id != FFullScreen->Id())
        return;
    FDisplayMode = FPrevDisplayMode;
    DetailFrame().SetPictureSource(FContext, FDisplayMode);
    delete FFullScreen;
    FFullScreen = nullptr;
    RequestRepaint();
    SetDisplayMode(FDisplayMode);
}

void TQovPlayerCtrl::miDisplayModeClick()
{
    UINT checked;
    switch (FDisplayMode) {
    case dmAdaptive: checked = cmdAdaptive; break;
    case dmFull: checked = cmdFull; break;
    case dmOriginal: checked = cmdOriginal; break;
    default: return;
    }
    for (UINT id : {cmdAdaptive, cmdFull, cmdOriginal})
        CheckMenuItem(FMenu, id, MF_BYCOMMAND | (id == checked ? MF_CHECKED : MF_UNCHECKED));
}

} // namespace qov
