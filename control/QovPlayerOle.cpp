// TQovPlayerCtrl's OLE embedding: site and in-place activation, drawing into
// a container's DC, the connection point container, and persistence (the
// stored form record through streams and storages, properties by name
// through property bags).
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstring>
#include <new>
#include <vector>

#include "ComSupport.h"
#include "FormRecord.h"
#include "QovPlayerCtrl.h"
#include "SysUtils.h"

namespace qov {

namespace {

const wchar_t* const kSaveStreamName = L"CONTROLSAVESTREAM";

template <class T>
void ReleaseInto(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}

int ScreenPixelsPerInch(bool horizontal)
{
    HDC dc = GetDC(nullptr);
    int ppi = GetDeviceCaps(dc, horizontal ? LOGPIXELSX : LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return ppi > 0 ? ppi : 96;
}

// Enumerates the one connection point.
class TEnumPoints final : public IEnumConnectionPoints {
public:
    TEnumPoints(IConnectionPoint* point, ULONG position) : FPoint(point), FPosition(position)
    {
        FPoint->AddRef();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return QueryOne<IEnumConnectionPoints>(this, IID_IEnumConnectionPoints, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --FRefs;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override
    {
        if (!points || (count > 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        if (count > 0 && FPosition == 0) {
            points[0] = FPoint;
            FPoint->AddRef();
            n = 1;
            FPosition = 1;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        if (count == 0)
            return S_OK;
        bool had = FPosition == 0;
        FPosition = 1;
        return had && count == 1 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        FPosition = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override
    {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) TEnumPoints(FPoint, FPosition);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~TEnumPoints() { FPoint->Release(); }
    ULONG FRefs = 1;
    IConnectionPoint* FPoint;
    ULONG FPosition;
};

} // namespace

// ---------------------------------------------------------------------------
// ISupportErrorInfo, IProvideClassInfo, IConnectionPointContainer

HRESULT TQovPlayerCtrl::InterfaceSupportsErrorInfo(REFIID iid)
{
    return iid == IID_IQovPlayer ? S_OK : S_FALSE;
}

HRESULT TQovPlayerCtrl::GetClassInfo(ITypeInfo** info)
{
    return GetQovTypeInfo(CLSID_QovPlayerCtrl, info);
}

HRESULT TQovPlayerCtrl::EnumConnectionPoints(IEnumConnectionPoints** out)
{
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) TEnumPoints(&FEventPoint, 0);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT TQovPlayerCtrl::FindConnectionPoint(REFIID iid, IConnectionPoint** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid != DIID_IQovPlayerEvents)
        return CONNECT_E_NOCONNECTION;
    *out = &FEventPoint;
    AddRef();
    return S_OK;
}

// ---------------------------------------------------------------------------
// IOleObject

HRESULT TQovPlayerCtrl::SetClientSite(IOleClientSite* site)
{
    if (site)
        site->AddRef();
    ReleaseInto(FClientSite);
    FClientSite = site;
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetClientSite(IOleClientSite** site)
{
    if (!site)
        return E_POINTER;
    *site = FClientSite;
    if (FClientSite)
        FClientSite->AddRef();
    return S_OK;
}

HRESULT TQovPlayerCtrl::SetHostNames(LPCOLESTR, LPCOLESTR)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::Close(DWORD)
{
    try {
        InPlaceDeactivate();
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.Close");
    }
    return S_OK;
}

HRESULT TQovPlayerCtrl::SetMoniker(DWORD, IMoniker*)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::GetMoniker(DWORD, DWORD, IMoniker** moniker)
{
    if (moniker)
        *moniker = nullptr;
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::InitFromData(IDataObject*, BOOL, DWORD)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::GetClipboardData(DWORD, IDataObject** data)
{
    if (data)
        *data = nullptr;
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT)
{
    try {
        switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_UIACTIVATE:
            return ActivateInPlace(true, site);
        case OLEIVERB_INPLACEACTIVATE:
            return ActivateInPlace(false, site);
        case OLEIVERB_HIDE: {
            // (the handler of OnDeactivate may have shown it again: it is hidden now)
            const TFired fired = DeactivateUI();
            ShowWindow(FForm, SW_HIDE);
            return S_OK;
        }
        case OLEIVERB_PROPERTIES:
            return S_OK;  // the control has no property pages
        default:
            return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
        }
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.DoVerb");
        return E_FAIL;
    }
}

HRESULT TQovPlayerCtrl::EnumVerbs(IEnumOLEVERB** verbs)
{
    return OleRegEnumVerbs(CLSID_QovPlayerCtrl, verbs);
}

HRESULT TQovPlayerCtrl::Update()
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::IsUpToDate()
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetUserClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_QovPlayerCtrl;
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetUserType(DWORD form, LPOLESTR* type)
{
    return OleRegGetUserType(CLSID_QovPlayerCtrl, form, type);
}

HRESULT TQovPlayerCtrl::SetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    FProps.Width = MulDiv(size->cx, ScreenPixelsPerInch(true), 2540);
    FProps.Height = MulDiv(size->cy, ScreenPixelsPerInch(false), 2540);
    if (!FInPlaceActive)
        SetWindowPos(FForm, nullptr, 0, 0, FProps.Width, FProps.Height,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return S_OK;
}

SIZEL TQovPlayerCtrl::ExtentHimetric() const
{
    return SIZEL{MulDiv(FProps.Width, 2540, ScreenPixelsPerInch(true)),
                 MulDiv(FProps.Height, 2540, ScreenPixelsPerInch(false))};
}

HRESULT TQovPlayerCtrl::GetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    *size = ExtentHimetric();
    return S_OK;
}

HRESULT TQovPlayerCtrl::Advise(IAdviseSink* sink, DWORD* connection)
{
    if (!FOleAdvise) {
        HRESULT hr = CreateOleAdviseHolder(&FOleAdvise);
        if (FAILED(hr))
            return hr;
    }
    return FOleAdvise->Advise(sink, connection);
}

HRESULT TQovPlayerCtrl::Unadvise(DWORD connection)
{
    return FOleAdvise ? FOleAdvise->Unadvise(connection) : OLE_E_NOCONNECTION;
}

HRESULT TQovPlayerCtrl::EnumAdvise(IEnumSTATDATA** advise)
{
    if (!advise)
        return E_POINTER;
    *advise = nullptr;
    return FOleAdvise ? FOleAdvise->EnumAdvise(advise) : E_FAIL;
}

HRESULT TQovPlayerCtrl::GetMiscStatus(DWORD, DWORD* status)
{
    if (!status)
        return E_POINTER;
    *status = kControlMiscStatus;
    return S_OK;
}

HRESULT TQovPlayerCtrl::SetColorScheme(LOGPALETTE*)
{
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IOleControl

HRESULT TQovPlayerCtrl::GetControlInfo(CONTROLINFO* info)
{
    if (!info)
        return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

HRESULT TQovPlayerCtrl::OnMnemonic(MSG*)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::OnAmbientPropertyChange(DISPID)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::FreezeEvents(BOOL freeze)
{
    if (freeze)
        ++FFreezeCount;
    else if (FFreezeCount > 0)
        --FFreezeCount;
    return S_OK;
}

// ---------------------------------------------------------------------------
// In-place activation

HRESULT TQovPlayerCtrl::ActivateInPlace(bool uiActivate, IOleClientSite* site)
{
    if (!FClientSite && site)
        SetClientSite(site);
    if (!FClientSite)
        return E_UNEXPECTED;
    if (!FInPlaceActive) {
        IOleInPlaceSite* inPlace = nullptr;
        if (FAILED(FClientSite->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace))))
            return E_FAIL;
        if (inPlace->CanInPlaceActivate() != S_OK) {
            inPlace->Release();
            return E_FAIL;
        }
        inPlace->OnInPlaceActivate();
        FInPlaceSite = inPlace;
        HWND parent = nullptr;
        RECT pos{}, clip{};
        OLEINPLACEFRAMEINFO frameInfo{};
        frameInfo.cb = sizeof frameInfo;
        if (FAILED(FInPlaceSite->GetWindow(&parent)) || !parent ||
            FAILED(FInPlaceSite->GetWindowContext(&FFrame, &FUIWindow, &pos, &clip, &frameInfo))) {
            FInPlaceSite->OnInPlaceDeactivate();
            ReleaseInto(FFrame);
            ReleaseInto(FUIWindow);
            ReleaseInto(FInPlaceSite);
            return E_FAIL;
        }
        LONG_PTR style = GetWindowLongPtrA(FForm, GWL_STYLE);
        SetWindowLongPtrA(FForm, GWL_STYLE, (style & ~static_cast<LONG_PTR>(WS_POPUP)) | WS_CHILD);
        SetParent(FForm, parent);
        FInPlaceActive = true;
        SetObjectRects(&pos, &clip);
        ShowWindow(FForm, FProps.Visible ? SW_SHOWNA : SW_HIDE);
    }
    if (uiActivate && !FUIActive) {
        FUIActive = true;
        FInPlaceSite->OnUIActivate();
        if (FFrame) {
            FFrame->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), L"QovPlayerCtrl");
            FFrame->SetBorderSpace(nullptr);
        }
        if (FUIWindow) {
            FUIWindow->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), L"QovPlayerCtrl");
            FUIWindow->SetBorderSpace(nullptr);
        }
        SetFocus(FForm);
        FireEvent0(1);  // OnActivate
    }
    return S_OK;
}

void TQovPlayerCtrl::ParkForm()
{
    ShowWindow(FForm, SW_HIDE);
    LONG_PTR style = GetWindowLongPtrA(FForm, GWL_STYLE);
    SetWindowLongPtrA(FForm, GWL_STYLE, (style & ~static_cast<LONG_PTR>(WS_CHILD)) | WS_POPUP);
    SetParent(FForm, nullptr);
}

HRESULT TQovPlayerCtrl::GetWindow(HWND* window)
{
    if (!window)
        return E_POINTER;
    *window = FForm;
    return FForm ? S_OK : E_FAIL;
}

HRESULT TQovPlayerCtrl::ContextSensitiveHelp(BOOL)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::InPlaceDeactivate()
{
    // The control stays alive to the end, also when a handler of
    // OnDeactivate lets go of it; a nested deactivation did the rest.
    const TFired fired = DeactivateUI();
    if (!FInPlaceActive)
        return S_OK;
    FInPlaceActive = false;
    ParkForm();
    if (FInPlaceSite)
        FInPlaceSite->OnInPlaceDeactivate();
    ReleaseInto(FFrame);
    ReleaseInto(FUIWindow);
    ReleaseInto(FInPlaceSite);
    return S_OK;
}

HRESULT TQovPlayerCtrl::UIDeactivate()
{
    DeactivateUI();
    return S_OK;
}

TQovPlayerCtrl::TFired TQovPlayerCtrl::DeactivateUI()
{
    if (!FUIActive)
        return TFired(this);
    FUIActive = false;
    if (FUIWindow)
        FUIWindow->SetActiveObject(nullptr, nullptr);
    if (FFrame)
        FFrame->SetActiveObject(nullptr, nullptr);
    if (FInPlaceSite)
        FInPlaceSite->OnUIDeactivate(FALSE);
    return FireEvent0(7);  // OnDeactivate
}

HRESULT TQovPlayerCtrl::SetObjectRects(LPCRECT pos, LPCRECT)
{
    if (!pos)
        return E_POINTER;
    // The form's size follows its place in the container, as its extent does.
    FProps.Width = pos->right - pos->left;
    FProps.Height = pos->bottom - pos->top;
    MoveWindow(FForm, pos->left, pos->top, FProps.Width, FProps.Height, TRUE);
    return S_OK;
}

HRESULT TQovPlayerCtrl::ReactivateAndUndo()
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::TranslateAccelerator(LPMSG)
{
    return S_FALSE;
}

HRESULT TQovPlayerCtrl::OnFrameWindowActivate(BOOL)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::OnDocWindowActivate(BOOL)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::EnableModeless(BOOL)
{
    return S_OK;
}

// ---------------------------------------------------------------------------
// IViewObject2: the form's colour with the picture frame (and the thumbnail
// strip when shown) scaled into the bounds.

void TQovPlayerCtrl::PaintInto(HDC dc, const RECT& bounds)
{
    COLORREF formColor = 0;
    OleTranslateColor(static_cast<OLE_COLOR>(FProps.Color), nullptr, &formColor);
    HBRUSH form = CreateSolidBrush(formColor);
    FillRect(dc, &bounds, form);
    DeleteObject(form);
    RECT client{};
    GetClientRect(FForm, &client);
    const int height = bounds.bottom - bounds.top;
    int nails = 0;
    if (FNails && FNails->Visible() && client.bottom > 0)
        nails = MulDiv(FNails->StripHeight(), height, client.bottom);
    RECT picture{bounds.left, bounds.top, bounds.right, bounds.bottom - nails};
    HBRUSH detail = CreateSolidBrush(FDetailColor);
    FillRect(dc, &picture, detail);
    DeleteObject(detail);
    if (nails > 0) {
        RECT strip{bounds.left, bounds.bottom - nails, bounds.right, bounds.bottom};
        HBRUSH brush = CreateSolidBrush(FNailsColor);
        FillRect(dc, &strip, brush);
        DeleteObject(brush);
    }
}

void TQovPlayerCtrl::SendViewChange()
{
    if (FViewSink)
        FViewSink->OnViewChange(DVASPECT_CONTENT, -1);
}

HRESULT TQovPlayerCtrl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                             BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!dc)
        return E_INVALIDARG;
    RECT r;
    if (bounds) {
        r = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
    } else {
        if (!FInPlaceActive)
            return E_INVALIDARG;
        GetClientRect(FForm, &r);
    }
    try {
        PaintInto(dc, r);
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.Draw");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors)
{
    if (colors)
        *colors = nullptr;
    return S_FALSE;
}

HRESULT TQovPlayerCtrl::Freeze(DWORD, LONG, void*, DWORD*)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::Unfreeze(DWORD)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink)
{
    if (sink)
        sink->AddRef();
    ReleaseInto(FViewSink);
    FViewSink = sink;
    FViewAspects = aspects;
    FViewFlags = flags;
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink)
{
    if (aspects)
        *aspects = FViewAspects;
    if (flags)
        *flags = FViewFlags;
    if (sink) {
        *sink = FViewSink;
        if (FViewSink)
            FViewSink->AddRef();
    }
    return S_OK;
}

HRESULT TQovPlayerCtrl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size)
{
    return GetExtent(aspect, size);
}

// ---------------------------------------------------------------------------
// IDataObject: the control offers no data formats.

HRESULT TQovPlayerCtrl::GetData(FORMATETC*, STGMEDIUM*)
{
    return DV_E_FORMATETC;
}

HRESULT TQovPlayerCtrl::GetDataHere(FORMATETC*, STGMEDIUM*)
{
    return DV_E_FORMATETC;
}

HRESULT TQovPlayerCtrl::QueryGetData(FORMATETC*)
{
    return DV_E_FORMATETC;
}

HRESULT TQovPlayerCtrl::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out)
{
    if (out)
        out->ptd = nullptr;
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::SetData(FORMATETC*, STGMEDIUM*, BOOL)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::EnumFormatEtc(DWORD, IEnumFORMATETC** formats)
{
    if (formats)
        *formats = nullptr;
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*)
{
    return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TQovPlayerCtrl::DUnadvise(DWORD)
{
    return OLE_E_NOCONNECTION;
}

HRESULT TQovPlayerCtrl::EnumDAdvise(IEnumSTATDATA** advise)
{
    if (advise)
        *advise = nullptr;
    return OLE_E_ADVISENOTSUPPORTED;
}

// ---------------------------------------------------------------------------
// Persistence

HRESULT TQovPlayerCtrl::GetClassID(CLSID* clsid)
{
    return GetUserClassID(clsid);
}

HRESULT TQovPlayerCtrl::IsDirty()
{
    return FDirty ? S_OK : S_FALSE;
}

void TQovPlayerCtrl::ApplyLoadedProperties(const TFormProperties& props)
{
    FProps = props;
    SetWindowTextA(FForm, FProps.Caption.c_str());
    ApplyFormStyle();
    ApplyFormFont();
    EnableWindow(FForm, FProps.Enabled);
    if (!FInPlaceActive)
        SetWindowPos(FForm, nullptr, 0, 0, FProps.Width, FProps.Height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    else
        ShowWindow(FForm, FProps.Visible ? SW_SHOWNA : SW_HIDE);
}

// The stored record is read piece by piece up to its end, so the stream is
// left just behind it; the whole record is checked before anything is
// applied.
HRESULT TQovPlayerCtrl::Load(IStream* stream)
{
    if (!stream)
        return E_POINTER;
    try {
        std::vector<uint8_t> bytes;
        size_t length = 0;
        for (;;) {
            const size_t had = bytes.size();
            bytes.resize(had + 256);
            ULONG got = 0;
            HRESULT hr = stream->Read(bytes.data() + had, 256, &got);
            bytes.resize(had + (FAILED(hr) ? 0 : got));
            if (FAILED(hr))
                return E_FAIL;
            length = FormRecordLength(bytes.data(), bytes.size());
            if (length > 0)
                break;
            if (got == 0)
                return E_FAIL;  // the stream ends inside the record
        }
        TFormProperties props = FProps;
        ReadFormRecord(bytes.data(), length, props);
        if (bytes.size() > length) {
            LARGE_INTEGER back;
            back.QuadPart = -static_cast<LONGLONG>(bytes.size() - length);
            stream->Seek(back, STREAM_SEEK_CUR, nullptr);
        }
        ApplyLoadedProperties(props);
        FDirty = false;
        return S_OK;
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.Load");
        return E_FAIL;
    }
}

HRESULT TQovPlayerCtrl::Save(IStream* stream, BOOL clearDirty)
{
    if (!stream)
        return E_POINTER;
    try {
        std::vector<uint8_t> record = WriteFormRecord(FProps);
        ULONG written = 0;
        HRESULT hr = stream->Write(record.data(), static_cast<ULONG>(record.size()), &written);
        if (FAILED(hr))
            return hr;
        if (written != record.size())
            return STG_E_MEDIUMFULL;
        if (clearDirty)
            FDirty = false;
        return S_OK;
    } catch (...) {
        HandlerFailure("TQovPlayerCtrl.Save");
        return E_FAIL;
    }
}

HRESULT TQovPlayerCtrl::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size)
        return E_POINTER;
    try {
        size->QuadPart = WriteFormRecord(FProps).size();
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT TQovPlayerCtrl::InitNew()
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::InitNew(IStorage*)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::Load(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->OpenStream(kSaveStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
    if (FAILED(hr))
        return hr;
    hr = Load(stream);
    stream->Release();
    return hr;
}

HRESULT TQovPlayerCtrl::Save(IStorage* storage, BOOL)
{
    if (!storage)
        return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->CreateStream(kSaveStreamName, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       &stream);
    if (FAILED(hr))
        return hr;
    hr = Save(stream, TRUE);
    stream->Release();
    return hr;
}

HRESULT TQovPlayerCtrl::SaveCompleted(IStorage*)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::HandsOffStorage()
{
    return S_OK;
}

// A member of IQovPlayer by name through Invoke, as a script reaches it; the
// error texts are dropped.
HRESULT TQovPlayerCtrl::InvokeByName(const wchar_t* name, WORD flags, DISPPARAMS* params, VARIANT* result)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    EXCEPINFO excep{};
    hr = Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, &excep, nullptr);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return hr;
}

// Every property with a get and a put, by name in the bag, set through its
// put as a script would; a value that cannot be read, converted or set is
// skipped.
HRESULT TQovPlayerCtrl::Load(IPropertyBag* bag, IErrorLog* log)
{
    if (!bag)
        return E_POINTER;
    // A handler of the events of the URL put may let go of the control: it
    // stays until the rest is loaded.
    const TFired held(this);
    for (const wchar_t* name : kPropertyBagNames) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(bag->Read(name, &value, log))) {
            DISPID named = DISPID_PROPERTYPUT;
            DISPPARAMS params{&value, &named, 1, 1};
            InvokeByName(name, DISPATCH_PROPERTYPUT, &params, nullptr);
        }
        VariantClear(&value);
    }
    return S_OK;
}

HRESULT TQovPlayerCtrl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL)
{
    if (!bag)
        return E_POINTER;
    for (const wchar_t* name : kPropertyBagNames) {
        VARIANT value;
        VariantInit(&value);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        HRESULT hr = InvokeByName(name, DISPATCH_PROPERTYGET, &none, &value);
        if (SUCCEEDED(hr))
            hr = bag->Write(name, &value);
        VariantClear(&value);
        if (FAILED(hr) && hr != DISP_E_EXCEPTION && hr != DISP_E_MEMBERNOTFOUND)
            return hr;
    }
    if (clearDirty)
        FDirty = false;
    return S_OK;
}

// ---------------------------------------------------------------------------
// IPerPropertyBrowsing, ISpecifyPropertyPages: nothing of its own.

HRESULT TQovPlayerCtrl::GetDisplayString(DISPID, BSTR* text)
{
    if (text)
        *text = nullptr;
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::MapPropertyToPage(DISPID, CLSID* page)
{
    if (page)
        *page = CLSID_NULL;
    return PERPROP_E_NOPAGEAVAILABLE;
}

HRESULT TQovPlayerCtrl::GetPredefinedStrings(DISPID, CALPOLESTR* strings, CADWORD* cookies)
{
    if (strings)
        *strings = CALPOLESTR{0, nullptr};
    if (cookies)
        *cookies = CADWORD{0, nullptr};
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::GetPredefinedValue(DISPID, DWORD, VARIANT*)
{
    return E_NOTIMPL;
}

HRESULT TQovPlayerCtrl::GetPages(CAUUID* pages)
{
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return S_OK;
}

// ---------------------------------------------------------------------------
// IQuickActivate

HRESULT TQovPlayerCtrl::QuickActivate(QACONTAINER* container, QACONTROL* control)
{
    if (!container || !control)
        return E_POINTER;
    if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL))
        return E_INVALIDARG;
    SetClientSite(container->pClientSite);
    if (container->pAdviseSink)
        SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    control->dwMiscStatus = kControlMiscStatus;
    control->dwViewStatus = 0;
    control->dwEventCookie = 0;
    control->dwPropNotifyCookie = 0;
    control->dwPointerActivationPolicy = 0;
    if (container->pUnkEventSink)
        FEventPoint.Advise(container->pUnkEventSink, &control->dwEventCookie);
    return S_OK;
}

HRESULT TQovPlayerCtrl::SetContentExtent(LPSIZEL size)
{
    return SetExtent(DVASPECT_CONTENT, size);
}

HRESULT TQovPlayerCtrl::GetContentExtent(LPSIZEL size)
{
    return GetExtent(DVASPECT_CONTENT, size);
}

// ---------------------------------------------------------------------------
// ISimpleFrameSite, IObjectSafety

HRESULT TQovPlayerCtrl::PreMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD*)
{
    return S_OK;
}

HRESULT TQovPlayerCtrl::PostMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD)
{
    return S_OK;
}

namespace {
constexpr DWORD kSafeOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
}

HRESULT TQovPlayerCtrl::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled)
{
    if (!supported || !enabled)
        return E_POINTER;
    IUnknown* probe = nullptr;
    if (FAILED(QueryInterface(iid, reinterpret_cast<void**>(&probe)))) {
        *supported = *enabled = 0;
        return E_NOINTERFACE;
    }
    probe->Release();
    *supported = kSafeOptions;
    *enabled = kSafeOptions;
    return S_OK;
}

HRESULT TQovPlayerCtrl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD)
{
    IUnknown* probe = nullptr;
    if (FAILED(QueryInterface(iid, reinterpret_cast<void**>(&probe))))
        return E_NOINTERFACE;
    probe->Release();
    return (mask & ~kSafeOptions) ? E_FAIL : S_OK;
}

} // namespace qov
