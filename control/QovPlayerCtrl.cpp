// TQovPlayerCtrl: creation, destruction, IUnknown and IDispatch, the
// automation members of IQovPlayer and the events it fires.
#include "QovPlayerCtrl.h"

#include <cstring>
#include <new>
#include <utility>

#include "ComSupport.h"
#include "FrameStore.h"
#include "PlayThread.h"
#include "QovStream.h"
#include "SysUtils.h"
#include "UnitDownload.h"
#include "UnitLog.h"
#include "UnitShare.h"

namespace qov {

namespace {

constexpr const char* kRangeError = "Range check error";

template <class T>
void Need(T* out)
{
    if (!out)
        throw EOleError(E_POINTER, "Invalid pointer");
}

// A signed 32-bit value handed out by a getter; negative ones are refused.
LONG NonNegative(int64_t value)
{
    if (value < 0 || value > INT32_MAX)
        throw ERangeError(kRangeError);
    return static_cast<LONG>(value);
}

// The pixel height of a font size (points x 10000, a CY) at ppi pixels per
// inch, rounded. A size that is not positive, or whose height is below one
// pixel or does not fit 32 bits, is out of range.
int32_t FontHeight(int64_t size, int64_t ppi)
{
    constexpr int64_t kUnitsPerInch = 72 * 10000;
    if (size <= 0 || ppi <= 0 || size > (INT64_MAX - kUnitsPerInch / 2) / ppi)
        throw ERangeError(kRangeError);
    const int64_t height = (size * ppi + kUnitsPerInch / 2) / kUnitsPerInch;
    if (height < 1 || height > INT32_MAX)
        throw ERangeError(kRangeError);
    return static_cast<int32_t>(height);
}

// Blanks and control characters at both ends go (the class library's Trim).
std::wstring Trimmed(const wchar_t* text)
{
    std::wstring s = text ? text : L"";
    size_t first = 0;
    while (first < s.size() && s[first] <= L' ')
        ++first;
    size_t last = s.size();
    while (last > first && s[last - 1] <= L' ')
        --last;
    return s.substr(first, last - first);
}

} // namespace

HRESULT CreateQovPlayerCtrl(REFIID iid, void** out)
{
    TQovPlayerCtrl* control = nullptr;
    try {
        control = new TQovPlayerCtrl();
        control->Initialize();
    } catch (...) {
        HRESULT hr = E_FAIL;
        try {
            throw;
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (const EOleError& e) {
            hr = e.Result();
        } catch (...) {
        }
        if (control)
            control->Release();
        HandlerFailure("TQovPlayerCtrl.Create");
        return hr;
    }
    HRESULT hr = control->QueryInterface(iid, out);
    control->Release();
    return hr;
}

TQovPlayerCtrl::TQovPlayerCtrl()
{
    ModuleAddRef();
}

void TQovPlayerCtrl::Initialize()
{
    HRESULT hr = GetQovTypeInfo(IID_IQovPlayer, &FTypeInfo);
    if (FAILED(hr))
        throw EOleError(hr, "Cannot load the type library");
    // (1) the form; (2) its events reach the forwarders through its window
    // procedures.
    CreateForm();

    // (3) the temporary folder: one of its own for this control under
    // "QovPlayer" (downloaded channel files and thumbnails), so that two
    // players never overwrite each other's files.
    FTempFolder = MakeControlTempFolder();
    if (GetFileAttributesA((FTempFolder + "nails").c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::string text = "Fail to create directory: " + FTempFolder.substr(0, FTempFolder.size() - 1);
        MessageBoxA(FForm, text.c_str(), "File", MB_ICONERROR);
    }

    // (4) frame colours.
    SetFrameColor(FDetail, 0, FDetailColor);
    FNailsColor = 0;
    FNails->SetColor(FNailsColor);

    // (5) the download buffer.
    FDownloadBuffer = new TDownloadBuffer(FTempFolder);

    // (6) fields.
    FState = vpClosed;
    FDisplayMode = dmAdaptive;
    FAutoStart = true;
    FAutoConnect = true;
    FEnableCache = true;
    FInitialColor = 0xFF0000;

    // (7) the playback context's buffers; (8) the decoder.
    FContext.Frames = new TFramesBuffer();
    FContext.KeyFrames = new TKeyFramesBuffer();
    FContext.Index = new TIndexTable();
    FContext.Window = FForm;
    FDecoderHeld = InitDecoder() != FALSE;
    FInitialized = true;
    FireEvent0(3);  // OnCreate
}

TQovPlayerCtrl::~TQovPlayerCtrl()
{
    // Destruction always completes: a failing close is logged, and the
    // buffers, the decoder reference and the window go regardless.
    if (FInitialized) {
        try {
            CloseByState();
        } catch (...) {
            HandlerFailure("TQovPlayerCtrl.Destroy");
            // What a failed close left goes regardless: the play thread (its
            // thread ends first), then the reader.
            try {
                ReplacePlayer(nullptr);
                delete FContext.Reader;
            } catch (...) {
                HandlerFailure("TQovPlayerCtrl.Destroy");
            }
            FContext.Reader = nullptr;
        }
        FireEvent0(6);  // OnDestroy
    }
    if (FEvents)
        FEvents->Release();
    FEvents = nullptr;
    try {
        if (FInPlaceActive)
            InPlaceDeactivate();
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.Destroy");
    }
    // The strip's reader, downloader and layout thread end, then the
    // control's download folder goes with what was downloaded into it.
    FNails.reset();
    RemoveControlTempFolder(FTempFolder);
    delete FDownloadBuffer;
    FDownloadBuffer = nullptr;
    delete FContext.Frames;
    delete FContext.KeyFrames;
    delete FContext.Index;
    FContext = PlaybackContext{};
    if (FDecoderHeld)
        UninitDecoder();
    DestroyForm();
    if (FOleAdvise)
        FOleAdvise->Release();
    if (FViewSink)
        FViewSink->Release();
    if (FClientSite)
        FClientSite->Release();
    if (FTypeInfo)
        FTypeInfo->Release();
    ModuleRelease();
}

// ---------------------------------------------------------------------------
// IUnknown

HRESULT TQovPlayerCtrl::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    void* p = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IQovPlayer)
        p = static_cast<IQovPlayer*>(this);
    else if (iid == IID_ISupportErrorInfo)
        p = static_cast<ISupportErrorInfo*>(this);
    else if (iid == IID_IProvideClassInfo)
        p = static_cast<IProvideClassInfo*>(this);
    else if (iid == IID_IConnectionPointContainer)
        p = static_cast<IConnectionPointContainer*>(this);
    else if (iid == IID_IOleObject)
        p = static_cast<IOleObject*>(this);
    else if (iid == IID_IOleControl)
        p = static_cast<IOleControl*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject)
        p = static_cast<IOleInPlaceObject*>(this);
    else if (iid == IID_IOleInPlaceActiveObject)
        p = static_cast<IOleInPlaceActiveObject*>(this);
    else if (iid == IID_IViewObject || iid == IID_IViewObject2)
        p = static_cast<IViewObject2*>(this);
    else if (iid == IID_IDataObject)
        p = static_cast<IDataObject*>(this);
    else if (iid == IID_IPersist || iid == IID_IPersistStreamInit)
        p = static_cast<IPersistStreamInit*>(this);
    else if (iid == IID_IPersistStorage)
        p = static_cast<IPersistStorage*>(this);
    else if (iid == IID_IPersistPropertyBag)
        p = static_cast<IPersistPropertyBag*>(this);
    else if (iid == IID_IPerPropertyBrowsing)
        p = static_cast<IPerPropertyBrowsing*>(this);
    else if (iid == IID_ISpecifyPropertyPages)
        p = static_cast<ISpecifyPropertyPages*>(this);
    else if (iid == IID_IQuickActivate)
        p = static_cast<IQuickActivate*>(this);
    else if (iid == IID_ISimpleFrameSite)
        p = static_cast<ISimpleFrameSite*>(this);
    else if (iid == IID_IObjectSafety)
        p = static_cast<IObjectSafety*>(this);
    *out = p;
    if (!p)
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG TQovPlayerCtrl::AddRef()
{
    return ++FRefs;
}

ULONG TQovPlayerCtrl::Release()
{
    ULONG n = --FRefs;
    // Only the control's own references are left: whatever runs below a
    // handler that let go of it does not go on.
    if (n != 0 && n == FSelfRefs)
        Changed();
    if (n == 0) {
        // Keep the object alive while it tears down (a sink released in the
        // destructor may call back).
        FRefs = 1;
        delete this;
    }
    return n;
}

// ---------------------------------------------------------------------------
// IDispatch: everything goes through the type info of IQovPlayer.

HRESULT TQovPlayerCtrl::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    FTypeInfo->AddRef();
    *info = FTypeInfo;
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(FTypeInfo, names, count, ids);
}

HRESULT TQovPlayerCtrl::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excep, UINT* argErr)
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!params)
        return E_INVALIDARG;
    return DispInvoke(static_cast<IQovPlayer*>(this), FTypeInfo, id, flags, params, result, excep, argErr);
}

// ---------------------------------------------------------------------------
// The form's properties.

HRESULT TQovPlayerCtrl::get_Visible(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.Visible); });
}

HRESULT TQovPlayerCtrl::put_Visible(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        FProps.Visible = FromWordBool(Value);
        if (FInPlaceActive)
            ShowWindow(FForm, FProps.Visible ? SW_SHOWNA : SW_HIDE);
    });
}

HRESULT TQovPlayerCtrl::get_AutoScroll(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.AutoScroll); });
}

HRESULT TQovPlayerCtrl::put_AutoScroll(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.AutoScroll = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_AutoSize(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.AutoSize); });
}

HRESULT TQovPlayerCtrl::put_AutoSize(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.AutoSize = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_AxBorderStyle(::TxActiveFormBorderStyle* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = static_cast<::TxActiveFormBorderStyle>(FProps.AxBorderStyle);
    });
}

HRESULT TQovPlayerCtrl::put_AxBorderStyle(::TxActiveFormBorderStyle Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (Value < ::afbNone || Value > ::afbRaised)
            throw ERangeError(kRangeError);
        FProps.AxBorderStyle = static_cast<qov::TxActiveFormBorderStyle>(Value);
        ApplyFormStyle();
    });
}

HRESULT TQovPlayerCtrl::get_Caption(BSTR* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = NewBstr(FProps.Caption); });
}

HRESULT TQovPlayerCtrl::put_Caption(BSTR Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        FProps.Caption = AnsiOf(Value);
        SetWindowTextA(FForm, FProps.Caption.c_str());
    });
}

HRESULT TQovPlayerCtrl::get_Color(OLE_COLOR* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = static_cast<OLE_COLOR>(FProps.Color); });
}

HRESULT TQovPlayerCtrl::put_Color(OLE_COLOR Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        COLORREF rgb = 0;
        if (FAILED(OleTranslateColor(Value, nullptr, &rgb)))
            throw EOleError(E_INVALIDARG, "Invalid colour");
        FProps.Color = static_cast<TColor>(Value);
        ApplyFormStyle();
    });
}

HRESULT TQovPlayerCtrl::get_Font(IFontDisp** Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = nullptr;
        std::wstring name = WideOf(FProps.Font.Name);
        FONTDESC desc{};
        desc.cbSizeofstruct = sizeof desc;
        desc.lpstrName = const_cast<LPOLESTR>(name.c_str());
        // Height in pixels at the form's PixelsPerInch, size in points x 10000.
        int64_t height = FProps.Font.Height < 0 ? -int64_t(FProps.Font.Height) : int64_t(FProps.Font.Height);
        int64_t ppi = FProps.PixelsPerInch > 0 ? FProps.PixelsPerInch : 96;
        desc.cySize.int64 = height * 72 * 10000 / ppi;
        desc.sWeight = (FProps.Font.Style & fsBold) ? FW_BOLD : FW_NORMAL;
        desc.sCharset = FProps.Font.Charset;
        desc.fItalic = (FProps.Font.Style & fsItalic) != 0;
        desc.fUnderline = (FProps.Font.Style & fsUnderline) != 0;
        desc.fStrikethrough = (FProps.Font.Style & fsStrikeOut) != 0;
        HRESULT hr = OleCreateFontIndirect(&desc, IID_IFontDisp, reinterpret_cast<void**>(Value));
        if (FAILED(hr))
            throw EOleError(hr, "Cannot create the font object");
    });
}

HRESULT TQovPlayerCtrl::put_Font(IFontDisp* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        IFont* font = nullptr;
        if (!Value || FAILED(Value->QueryInterface(IID_IFont, reinterpret_cast<void**>(&font))) || !font)
            throw EOleError(E_INVALIDARG, "Font expected");
        TFormFont f = FProps.Font;
        BSTR name = nullptr;
        CY size{};
        BOOL bold = FALSE, italic = FALSE, underline = FALSE, strike = FALSE;
        SHORT charset = DEFAULT_CHARSET;
        HRESULT hr = font->get_Name(&name);
        if (SUCCEEDED(hr))
            hr = font->get_Size(&size);
        if (SUCCEEDED(hr)) {
            font->get_Bold(&bold);
            font->get_Italic(&italic);
            font->get_Underline(&underline);
            font->get_Strikethrough(&strike);
            font->get_Charset(&charset);
        }
        font->Release();
        if (FAILED(hr)) {
            SysFreeString(name);
            throw EOleError(E_INVALIDARG, "Font expected");
        }
        f.Name = AnsiOf(name);
        SysFreeString(name);
        const int64_t ppi = FProps.PixelsPerInch > 0 ? FProps.PixelsPerInch : 96;
        f.Height = -FontHeight(size.int64, ppi);
        f.Charset = static_cast<uint8_t>(charset);
        f.Style = static_cast<uint8_t>((bold ? fsBold : 0) | (italic ? fsItalic : 0) |
                                       (underline ? fsUnderline : 0) | (strike ? fsStrikeOut : 0));
        FProps.Font = f;
        ApplyFormFont();
    });
}

HRESULT TQovPlayerCtrl::get_KeyPreview(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.KeyPreview); });
}

HRESULT TQovPlayerCtrl::put_KeyPreview(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.KeyPreview = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_PixelsPerInch(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FProps.PixelsPerInch; });
}

HRESULT TQovPlayerCtrl::put_PixelsPerInch(LONG Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.PixelsPerInch = Value; });
}

HRESULT TQovPlayerCtrl::get_PrintScale(::TxPrintScale* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = static_cast<::TxPrintScale>(FProps.PrintScale);
    });
}

HRESULT TQovPlayerCtrl::put_PrintScale(::TxPrintScale Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (Value < ::poNone || Value > ::poPrintToFit)
            throw ERangeError(kRangeError);
        FProps.PrintScale = static_cast<qov::TxPrintScale>(Value);
    });
}

HRESULT TQovPlayerCtrl::get_Scaled(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.Scaled); });
}

HRESULT TQovPlayerCtrl::put_Scaled(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.Scaled = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_Active(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FUIActive); });
}

HRESULT TQovPlayerCtrl::get_DropTarget(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.DropTarget); });
}

HRESULT TQovPlayerCtrl::put_DropTarget(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.DropTarget = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_HelpFile(BSTR* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = NewBstr(FProps.HelpFile); });
}

HRESULT TQovPlayerCtrl::put_HelpFile(BSTR Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.HelpFile = AnsiOf(Value); });
}

HRESULT TQovPlayerCtrl::get_DoubleBuffered(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.DoubleBuffered); });
}

HRESULT TQovPlayerCtrl::put_DoubleBuffered(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.DoubleBuffered = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_VisibleDockClientCount(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = 0; });
}

HRESULT TQovPlayerCtrl::get_Enabled(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FProps.Enabled); });
}

HRESULT TQovPlayerCtrl::put_Enabled(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        FProps.Enabled = FromWordBool(Value);
        EnableWindow(FForm, FProps.Enabled);
    });
}

HRESULT TQovPlayerCtrl::get_Cursor(SHORT* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FProps.Cursor; });
}

HRESULT TQovPlayerCtrl::put_Cursor(SHORT Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FProps.Cursor = Value; });
}

// ---------------------------------------------------------------------------
// Play control: PlayState.cpp.

HRESULT TQovPlayerCtrl::SendScript(BSTR)
{
    return S_OK;
}

// ---------------------------------------------------------------------------
// Display modes (menu commands and the picture: PictureArea.cpp). Without a
// play thread a change only stores the mode and tells the host.

void TQovPlayerCtrl::SetDisplayMode(::TDisplayMode mode)
{
    FDisplayMode = mode;
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = mode;
    FireEvent(203, &arg, 1);  // OnDisplayModeChanged
}


HRESULT TQovPlayerCtrl::get_DisplayMode(::TDisplayMode* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FDisplayMode; });
}

HRESULT TQovPlayerCtrl::put_DisplayMode(::TDisplayMode Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (Value == FDisplayMode)
            return;
        switch (Value) {
        case dmAdaptive: miAdaptiveClick(); break;
        case dmFull: miFullClick(); break;
        case dmOriginal: miOriginalClick(); break;
        default: break;
        }
    });
}

HRESULT TQovPlayerCtrl::get_FullScreen(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FDisplayMode == dmFull); });
}

HRESULT TQovPlayerCtrl::put_FullScreen(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (FromWordBool(Value))
            miFullClick();
    });
}

// ---------------------------------------------------------------------------
// The playback context.

TQovStream* TQovPlayerCtrl::LiveReader() const
{
    return dynamic_cast<TQovStream*>(FContext.Reader);
}

HRESULT TQovPlayerCtrl::get_CurrentPosition(LONG* Milliseconds)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Milliseconds);
        auto* player = static_cast<TPlayThread*>(FContext.Player);
        *Milliseconds = player ? NonNegative(static_cast<int32_t>(player->CurrentTime())) : 0;
    });
}

HRESULT TQovPlayerCtrl::put_CurrentPosition(LONG Milliseconds)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        auto* player = static_cast<TPlayThread*>(FContext.Player);
        if (player && Milliseconds >= 0)
            player->Seek(Milliseconds);
    });
}

HRESULT TQovPlayerCtrl::get_Duration(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = NonNegative(static_cast<int32_t>(FContext.Header.Duration));
    });
}

HRESULT TQovPlayerCtrl::get_ScreenBackgroundColor(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = static_cast<LONG>(SwapRedBlue(FDetailColor)); });
}

HRESULT TQovPlayerCtrl::put_ScreenBackgroundColor(LONG Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        SetFrameColor(FDetail, SwapRedBlue(static_cast<uint32_t>(Value)), FDetailColor);
        SendViewChange();
    });
}

HRESULT TQovPlayerCtrl::get_NailBackgroundColor(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        if (FNails)
            *Value = static_cast<LONG>(SwapRedBlue(FNails->Color()));
    });
}

HRESULT TQovPlayerCtrl::put_NailBackgroundColor(LONG Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (FNails) {
            FNailsColor = SwapRedBlue(static_cast<uint32_t>(Value)) & 0xFFFFFF;
            FNails->SetColor(FNailsColor);
        }
    });
}

HRESULT TQovPlayerCtrl::get_LocalIP(BSTR* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = NewBstr(FLocalIP); });
}

HRESULT TQovPlayerCtrl::put_LocalIP(BSTR Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FLocalIP = AnsiOf(Value); });
}

HRESULT TQovPlayerCtrl::get_Max(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = FContext.Frames ? NonNegative(FContext.Frames->MaxTimeStamp()) : 0;
    });
}

HRESULT TQovPlayerCtrl::get_Min(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = FContext.Frames ? NonNegative(FContext.Frames->MinTimeStamp()) : 0;
    });
}

HRESULT TQovPlayerCtrl::get_URL(BSTR* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = NewBstr(FLocator); });
}

HRESULT TQovPlayerCtrl::put_URL(BSTR Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (!Trimmed(Value).empty())
            OpenLocator(LocatorOf(Value));
    });
}

HRESULT TQovPlayerCtrl::get_Status(::TStatus* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FState; });
}

HRESULT TQovPlayerCtrl::get_AutoStart(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FAutoStart); });
}

HRESULT TQovPlayerCtrl::put_AutoStart(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FAutoStart = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::get_QovWidth(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FContext.Header.Width; });
}

HRESULT TQovPlayerCtrl::get_QovHeight(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FContext.Header.Height; });
}

HRESULT TQovPlayerCtrl::get_InitialColor(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = FInitialColor; });
}

HRESULT TQovPlayerCtrl::put_InitialColor(LONG Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FInitialColor = Value; });
}

namespace {

template <class TRead>
HRESULT LiveText(TQovStream* reader, BSTR* Value, TRead read)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        *Value = NewBstr(reader ? read(*reader) : std::string());
    });
}

} // namespace

HRESULT TQovPlayerCtrl::get_Host(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.Host(); });
}

HRESULT TQovPlayerCtrl::get_ChannelName(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.ChannelName(); });
}

HRESULT TQovPlayerCtrl::get_Title(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.Title(); });
}

HRESULT TQovPlayerCtrl::get_Author(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.Author(); });
}

HRESULT TQovPlayerCtrl::get_Copyright(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.Copyright(); });
}

HRESULT TQovPlayerCtrl::get_Description(BSTR* Value)
{
    return LiveText(LiveReader(), Value, [](const TQovStream& r) { return r.Description(); });
}

HRESULT TQovPlayerCtrl::get_AutoConnect(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FAutoConnect); });
}

HRESULT TQovPlayerCtrl::put_AutoConnect(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FAutoConnect = FromWordBool(Value); });
}

HRESULT TQovPlayerCtrl::Request(BSTR Command)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        if (TQovStream* reader = LiveReader())
            reader->SendText(AnsiOf(Command));
    });
}

HRESULT TQovPlayerCtrl::get_MediaTime(LONG* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] {
        Need(Value);
        auto* player = static_cast<TPlayThread*>(FContext.Player);
        *Value = player ? NonNegative(static_cast<int32_t>(player->LastSampleTime())) : 0;
    });
}

HRESULT TQovPlayerCtrl::get_EnableCache(VARIANT_BOOL* Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { Need(Value); *Value = ToWordBool(FEnableCache); });
}

HRESULT TQovPlayerCtrl::put_EnableCache(VARIANT_BOOL Value)
{
    return MemberBoundary(IID_IQovPlayer, [&] { FEnableCache = FromWordBool(Value); });
}

// ---------------------------------------------------------------------------
// Events

void TQovPlayerCtrl::EventSinkChanged(IUnknown* sink)
{
    IQovPlayerEvents* events = nullptr;
    if (sink && FAILED(sink->QueryInterface(DIID_IQovPlayerEvents, reinterpret_cast<void**>(&events))))
        events = nullptr;
    if (FEvents)
        FEvents->Release();
    FEvents = events;
    if (TQovStream* live = LiveReader())
        live->SetSinkAttached(FEvents != nullptr);
}

TQovPlayerCtrl::TFired::TFired(TQovPlayerCtrl* owner) noexcept : FOwner(owner), FGeneration(owner->FGeneration)
{
    ++FOwner->FSelfRefs;
    FOwner->AddRef();
}

TQovPlayerCtrl::TFired::TFired(TFired&& other) noexcept
    : FOwner(std::exchange(other.FOwner, nullptr)), FGeneration(other.FGeneration)
{
}

TQovPlayerCtrl::TFired::~TFired()
{
    if (!FOwner)
        return;
    --FOwner->FSelfRefs;
    // The last reference may go here: the control is then freed.
    FOwner->Release();
}

bool TQovPlayerCtrl::TFired::Holds() const noexcept
{
    return FOwner && FOwner->FGeneration == FGeneration;
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::FireEvent(DISPID id, VARIANTARG* args, UINT count)
{
    TFired fired(this);
    if (!FEvents || FFreezeCount > 0)
        return fired;
    IQovPlayerEvents* sink = FEvents;
    sink->AddRef();
    DISPPARAMS params{args, nullptr, count, 0};
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    sink->Release();
    return fired;
}

WORD TQovPlayerCtrl::DoKeyPress(WORD key)
{
    SHORT value = static_cast<SHORT>(key);
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = VT_I2 | VT_BYREF;
    arg.piVal = &value;
    FireEvent(11, &arg, 1);  // OnKeyPress
    return static_cast<WORD>(value);
}

HRESULT TQovPlayerCtrl::TEventPoint::QueryInterface(REFIID iid, void** out)
{
    return QueryOne<IConnectionPoint>(this, IID_IConnectionPoint, iid, out);
}

HRESULT TQovPlayerCtrl::TEventPoint::GetConnectionInterface(IID* iid)
{
    if (!iid)
        return E_POINTER;
    *iid = DIID_IQovPlayerEvents;
    return S_OK;
}

HRESULT TQovPlayerCtrl::TEventPoint::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (!out)
        return E_POINTER;
    *out = static_cast<IConnectionPointContainer*>(FOwner);
    FOwner->AddRef();
    return S_OK;
}

HRESULT TQovPlayerCtrl::TEventPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    if (FOwner->FEvents)
        return CONNECT_E_ADVISELIMIT;
    FOwner->EventSinkChanged(sink);
    if (!FOwner->FEvents)
        return CONNECT_E_CANNOTCONNECT;
    FOwner->FSinkCookie = 1;
    *cookie = 1;
    return S_OK;
}

HRESULT TQovPlayerCtrl::TEventPoint::Unadvise(DWORD cookie)
{
    if (cookie == 0 || cookie != FOwner->FSinkCookie || !FOwner->FEvents)
        return CONNECT_E_NOCONNECTION;
    FOwner->EventSinkChanged(nullptr);
    FOwner->FSinkCookie = 0;
    return S_OK;
}

HRESULT TQovPlayerCtrl::TEventPoint::EnumConnections(IEnumConnections** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

} // namespace qov
