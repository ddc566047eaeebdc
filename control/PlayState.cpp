// TQovPlayerCtrl: opening a locator, the play state machine of the IQovPlayer
// methods, the handlers of the engine's window messages and the reconnect
// timer of live sources.
//
// Everything here runs on the control's thread. The engine's threads reach
// it only through messages posted to the form window; Close stops both
// threads before it frees them and then drops whatever they left queued, so
// no message of an earlier source is handled after it.
#include "QovPlayerCtrl.h"

#include <mshtml.h>
#include <wininet.h>

#include <memory>

#include "ComSupport.h"
#include "LocatorHelpers.h"
#include "PlayThread.h"
#include "QovStream.h"
#include "SysUtils.h"
#include "UnitDownload.h"
#include "UnitLog.h"
#include "UnitMulticast.h"

namespace qov {

namespace {

// IHTMLDocument2, the page that hosts the control.
const IID kIID_IHTMLDocument2 = {0x332C4425, 0x26CB, 0x11D0, {0xB4, 0x83, 0x00, 0xC0, 0x4F, 0xD9, 0x01, 0x19}};

// The name the channel-file download gives itself to the web server.
const char kInternetAgent[] = "Corvane QovPlayer";
// Where a channel file from a web server is kept (in the temporary folder).
const char kChannelFileName[] = "Corvane.sms";
// A channel file is a few lines of an INI file.
constexpr uint32_t kChannelFileMaxBytes = 64u << 10;
constexpr DWORD kChannelDownloadMs = 10000;

constexpr DISPID kOnPlayStateChanged = 201;

std::string UpperPrefix(const std::string& locator)
{
    std::string prefix = locator.substr(0, 4);
    for (char& c : prefix)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return prefix;
}

bool ReconnectCode(WPARAM code)
{
    return code == ecConnectFailed || code == ecServiceRefused || code == ecNetworkError || code == ecReadFailed;
}

} // namespace

std::string LocatorOf(const wchar_t* text)
{
    if (!text || !*text)
        return std::string();
    const UINT codePage = GetACP();
    // UTF-8 holds every character; the best-fit flag is refused there.
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL* lossyOut = codePage == CP_UTF8 ? nullptr : &lossy;
    const int n = WideCharToMultiByte(CP_ACP, flags, text, -1, nullptr, 0, nullptr, lossyOut);
    if (n <= 0)
        throw Exception("Invalid locator");
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, flags, text, -1, out.data(), n, nullptr, lossyOut);
    out.resize(static_cast<size_t>(n - 1));
    if (lossy)
        throw Exception("The locator holds characters the system code page cannot show: " + out);
    return out;
}

// ---------------------------------------------------------------------------
// State

TQovPlayerCtrl::TFired TQovPlayerCtrl::FirePlayState(::TStatus state)
{
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = state;
    return FireEvent(kOnPlayStateChanged, &arg, 1);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::SetState(::TStatus state)
{
    FState = state;
    Changed();
    return FirePlayState(state);
}

namespace {

TPlayThread* PlayerOf(const PlaybackContext& context)
{
    return static_cast<TPlayThread*>(context.Player);
}

} // namespace

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoPlay()
{
    if (TPlayThread* player = PlayerOf(FContext))
        player->Play();
    return SetState(vpPlaying);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoPause()
{
    if (TPlayThread* player = PlayerOf(FContext))
        player->Pause();
    return SetState(vpPaused);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoStop()
{
    if (TPlayThread* player = PlayerOf(FContext))
        player->Stop();
    return SetState(vpStopped);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoFastForward()
{
    if (TPlayThread* player = PlayerOf(FContext))
        player->Faster();
    return SetState(vpScanForward);
}

void TQovPlayerCtrl::DoFastReverse() {}

void TQovPlayerCtrl::ReplacePlayer(TPlayThread* player)
{
    TPlayThread* old = PlayerOf(FContext);
    if (TQovStream* live = LiveReader())
        live->SetPlayer(player);
    else
        FContext.Player = player;
    // Its thread ends here (quit, wait): nothing uses it any more.
    delete old;
}

void TQovPlayerCtrl::RemoveEngineMessages()
{
    MSG msg;
    for (UINT id : {WM_ENGINE_OPENED, WM_ENGINE_STATUS, WM_ENGINE_PAINT, WM_ENGINE_MARKER, WM_ENGINE_END})
        while (PeekMessageA(&msg, FForm, id, id, PM_REMOVE | PM_NOYIELD)) {
        }
    // (the notifications themselves went with their reader)
    while (PeekMessageA(&msg, FForm, WM_QOV_LIVE_NOTE, WM_QOV_LIVE_NOTE, PM_REMOVE | PM_NOYIELD)) {
    }
}

void TQovPlayerCtrl::FreeSource()
{
    if (TQovStream* live = LiveReader())
        live->Halt();
    else if (FContext.Reader)
        FContext.Reader->Stop();
    ReplacePlayer(nullptr);
    delete FContext.Reader;
    FContext.Reader = nullptr;
    FContext.Frames->Clear();
    FContext.KeyFrames->Clear();
    FContext.Index->Clear();
    // Both threads have ended: what they posted before is stale.
    RemoveEngineMessages();
    Changed();
    if (FNails)
        FNails->Reset();
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoClose()
{
    MSG msg;
    PeekMessageA(&msg, FForm, WM_TIMER, WM_TIMER, PM_REMOVE | PM_NOYIELD);
    KillTimer(FForm, kAutoConnectTimerId);
    ClosePicture();
    if (TPlayThread* player = PlayerOf(FContext))
        player->Stop();
    FreeSource();
    return SetState(vpClosed);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DoCancelOpen()
{
    // The reader acknowledges its stop before it is freed, and what a live
    // or multicast source buffered before it opened goes with it.
    FreeSource();
    return SetState(vpClosed);
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::CloseByState()
{
    switch (FState) {
    case vpClosed:
        // A reconnect that is still pending is the host's to cancel; the
        // reconnect rule does not schedule one over a Close of its handler.
        KillTimer(FForm, kAutoConnectTimerId);
        Changed();
        return TFired(this);
    case vpOpening: return DoCancelOpen();
    default: return DoClose();
    }
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::PlayByState()
{
    switch (FState) {
    case vpOpened:
    case vpPaused:
    case vpStopped:
    case vpScanForward:
    case vpScanReverse: return DoPlay();
    default: return TFired(this);
    }
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::StopByState()
{
    switch (FState) {
    case vpPlaying: return DoStop();
    case vpPaused:
    case vpScanForward:
    case vpScanReverse: {
        // A handler of vpPlaying that closed, opened or stopped is not undone.
        TFired played = DoPlay();
        if (!played.Holds())
            return played;
        return DoStop();
    }
    default: return TFired(this);
    }
}

// ---------------------------------------------------------------------------
// Opening

std::string TQovPlayerCtrl::GetContainerURL()
{
    if (!FClientSite)
        return std::string();
    IOleContainer* container = nullptr;
    if (FAILED(FClientSite->GetContainer(&container)) || !container)
        return std::string();
    IHTMLDocument2* document = nullptr;
    HRESULT hr = container->QueryInterface(kIID_IHTMLDocument2, reinterpret_cast<void**>(&document));
    container->Release();
    if (FAILED(hr) || !document)
        return std::string();
    BSTR url = nullptr;
    hr = document->get_URL(&url);
    document->Release();
    if (FAILED(hr)) {
        SysFreeString(url);
        throw EOleError(hr, "Cannot read the address of the page");
    }
    std::string address = AnsiOf(url);
    SysFreeString(url);
    return address;
}

std::string TQovPlayerCtrl::DownloadChannelFile(const std::string& locator)
{
    HINTERNET session = InternetOpenA(kInternetAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session)
        throw Exception("Fail to open network connection");
    const std::string local = FTempFolder + kChannelFileName;
    bool done = false;
    try {
        // Time-outs, HTTP 200 only, nothing left behind on failure. The
        // download runs on the host's thread: a server that trickles the
        // file, or sends a huge one, must not hold the host.
        done = DownloadFile(session, locator, local, nullptr, nullptr, kChannelFileMaxBytes, kChannelDownloadMs);
    } catch (...) {
        InternetCloseHandle(session);
        throw;
    }
    InternetCloseHandle(session);
    if (!done)
        throw Exception("Fail to download file: " + locator);
    return local;
}

void TQovPlayerCtrl::OpenLocator(const std::string& locator)
{
    KillTimer(FForm, kAutoConnectTimerId);
    // A handler of vpClosed that opened another recording has the last word.
    const TFired closed = CloseByState();
    if (closed.Holds())
        DoOpen(locator);
}

void TQovPlayerCtrl::DoOpen(const std::string& filename)
{
    FLocator = URLToFileName(filename);
    // A bare name lies beside the page that hosts the control.
    if (FLocator.find_first_of("/\\") == std::string::npos) {
        const std::string page = URLToFileName(GetContainerURL());
        const size_t separator = page.find_last_of("/\\");
        if (separator != std::string::npos)
            FLocator = page.substr(0, separator + 1) + FLocator;
    }
    std::string openLocator = FLocator;
    if (FNails)
        FNails->Reset();
    const std::string prefix = UpperPrefix(FLocator);
    if (prefix == "QOVS") {
        auto* live = new TQovStream(&FContext);
        FContext.Reader = live;
        live->SetSinkAttached(FEvents != nullptr);
    } else if (LocatorExtension(FLocator) == ".SMS") {
        if (prefix == "HTTP")
            openLocator = DownloadChannelFile(FLocator);
        FContext.Reader = new TQovMulticastStream(&FContext);
    } else {
        FContext.Reader = new TFileThread(&FContext);
    }
    FContext.Window = FForm;
    // A handler of vpOpening may have closed this reader or opened another.
    const TFired opening = SetState(vpOpening);
    if (opening.Holds())
        FContext.Reader->Open(openLocator, std::string());
}

// ---------------------------------------------------------------------------
// Engine messages

void TQovPlayerCtrl::OnEngineOpened(WPARAM code)
{
    if (code != 0 || !FContext.Reader) {
        Log().AddLine(Format("QovPlayer.ocx -> %s: open failed, status %d %s", FLocator.c_str(),
                             static_cast<int>(code), EngineErrorText(static_cast<int>(code))));
        return;
    }
    // A live source that reconnected after Stop opens again: its stream may
    // have another size, so the play thread is made anew.
    ReplacePlayer(nullptr);
    auto player = std::make_unique<TPlayThread>(&FContext);
    player->SetKeyCacheOn(false);
    TPlayThread* created = player.release();
    ReplacePlayer(created);
    ApplyDisplayMode();
    LoadNails();
    const TFired opened = SetState(vpOpened);
    if (!opened.Holds() || !FAutoStart)
        return;
    const TFired played = PlayByState();
    if (played.Holds() && UpperPrefix(FLocator) == "QOVS")
        created->Seek(FContext.Frames->MaxTimeStamp());
}

void TQovPlayerCtrl::OnEngineStatus(WPARAM code)
{
    Log().AddLine(Format("QovPlayer.ocx -> %s: status %d %s", FLocator.c_str(), static_cast<int>(code),
                         EngineErrorText(static_cast<int>(code))));
    if (!FAutoConnect || !ReconnectCode(code))
        return;
    // A handler of vpClosed that opened something else keeps it.
    const TFired closed = CloseByState();
    if (closed.Holds())
        SetTimer(FForm, kAutoConnectTimerId, kAutoConnectMs, nullptr);
}

void TQovPlayerCtrl::timerAutoConnectTimer()
{
    KillTimer(FForm, kAutoConnectTimerId);
    const std::string locator = FLocator;
    OpenLocator(locator);
}

void TQovPlayerCtrl::OnEngineEnd()
{
    // Once more vpStopped, unless a handler changed what is open.
    const TFired stopped = StopByState();
    if (stopped.Holds())
        FirePlayState(vpStopped);
}

void TQovPlayerCtrl::OnEngineMarker()
{
    // The picture frame's marker hook: nothing to do.
}

void TQovPlayerCtrl::OnLiveNote()
{
    TQovStream* live = LiveReader();
    if (!live)
        return;
    for (const auto& note : live->TakeNotes()) {
        VARIANTARG arg;
        VariantInit(&arg);
        if (note->Event == leStreamSample) {
            // The copy lies below 2 GB: the 32-bit Data holds its whole address.
            arg.vt = VT_I4;
            arg.lVal = static_cast<LONG>(reinterpret_cast<LONG_PTR>(note->Frame->Data()));
            if (!FireEvent(note->Event, &arg, 1).Holds())
                break;
        } else {
            arg.vt = VT_BSTR;
            arg.bstrVal = NewBstr(note->Text);
            const bool holds = FireEvent(note->Event, &arg, 1).Holds();
            SysFreeString(arg.bstrVal);
            // A host that closed or opened another source in its handler
            // hears nothing more of this one.
            if (!holds)
                break;
        }
    }
}

// (ApplyDisplayMode is the picture area's, in PictureArea.cpp; LoadNails
// the thumbnail strip's, in ControlNails.cpp.)

// ---------------------------------------------------------------------------
// IQovPlayer play members

HRESULT TQovPlayerCtrl::LoadFile(BSTR Filename)
{
    return Open(Filename);
}

HRESULT TQovPlayerCtrl::Open(BSTR Filename)
{
    return MemberBoundary(IID_IQovPlayer, [&] { OpenLocator(LocatorOf(Filename)); });
}

HRESULT TQovPlayerCtrl::Play()
{
    return MemberBoundary(IID_IQovPlayer, [&] { PlayByState(); });
}

HRESULT TQovPlayerCtrl::Pause()
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        switch (FState) {
        case vpPlaying:
        case vpScanForward:
        case vpScanReverse: DoPause(); break;
        default: break;
        }
    });
}

HRESULT TQovPlayerCtrl::Stop()
{
    return MemberBoundary(IID_IQovPlayer, [&] { StopByState(); });
}

HRESULT TQovPlayerCtrl::Close()
{
    return MemberBoundary(IID_IQovPlayer, [&] { CloseByState(); });
}

HRESULT TQovPlayerCtrl::FastForward()
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        switch (FState) {
        case vpPlaying:
        case vpScanForward: DoFastForward(); break;
        case vpOpened:
        case vpPaused:
        case vpStopped:
        case vpScanReverse:
            if (DoPlay().Holds())
                DoFastForward();
            break;
        default: break;
        }
    });
}

HRESULT TQovPlayerCtrl::FastReverse()
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        switch (FState) {
        case vpPlaying: DoFastReverse(); break;
        case vpOpened:
        case vpPaused:
        case vpStopped:
        case vpScanForward: DoPlay(); break;
        default: break;
        }
    });
}

} // namespace qov
