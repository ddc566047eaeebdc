// TQovPlayerCtrl and its thumbnail strip (frmNails): making the strip,
// loading the thumbnails of an opened recording and following the play
// position while it plays.
//
// The strip's own messages (list records, placements, the end of a
// download) go to the strip's window, so the form has no handlers for them
// and Close's removal of engine messages never touches them.
#include "QovPlayerCtrl.h"

#include "LocatorHelpers.h"
#include "PlayThread.h"
#include "UnitBottom.h"
#include "UnitDownload.h"

namespace qov {

namespace {

constexpr DISPID kOnSkip = 4;

} // namespace

void TQovPlayerCtrl::CreateNails()
{
    FNails = std::make_unique<TNailsFrame>(FForm);
    FNails->SetColor(FNailsColor);
    // A click reports the nail's time to the host; the control does not seek.
    FNails->SetOnSkip([this](int32_t seconds) {
        VARIANTARG arg;
        VariantInit(&arg);
        arg.vt = VT_I4;
        arg.lVal = seconds;
        FireEvent(kOnSkip, &arg, 1);
    });
    // Shown, hidden or resized by its splitter: the picture frame takes the rest.
    FNails->SetOnLayoutChanged([this] { LayoutForm(); });
}

void TQovPlayerCtrl::LoadNails()
{
    if (!FNails)
        return;
    // A network recording's list and pictures are downloaded into this
    // control's own folder first.
    if (IsNetURL(FLocator)) {
        FNails->StartDownload(UrlDirectory(FLocator), FTempFolder);
        return;
    }
    // A local one keeps "nails.xml" beside it (a slash separates folders too).
    const size_t separator = FLocator.find_last_of("\\/:");
    const std::string folder = separator == std::string::npos ? std::string() : FLocator.substr(0, separator + 1);
    const DWORD attributes = GetFileAttributesA((folder + "nails.xml").c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        FNails->LoadFromFolder(folder);
}

void TQovPlayerCtrl::timActiveNailsTimer()
{
    if (FState != vpPlaying || !FNails || !FNails->Visible())
        return;
    if (auto* player = static_cast<TPlayThread*>(FContext.Player))
        FNails->FollowPosition(static_cast<int32_t>(player->CurrentTime() / 1000));
}

} // namespace qov
