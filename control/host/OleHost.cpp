// The container side of an OLE control embedding (see OleHost.h).
#include "OleHost.h"

#include <mshtml.h>

#include <new>

namespace qov::host {

namespace {

// An IDispatch known only by its dispids: no type information, no names.
class TDispidDispatch : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return DISP_E_UNKNOWNNAME;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// TOleSite: client site, in-place site, control site, in-place frame,
// container and ambient properties, all one object owned by the host.

class TOleSite final : public IOleClientSite,
                       public IOleInPlaceSite,
                       public IOleControlSite,
                       public IOleInPlaceFrame,
                       public IOleContainer,
                       public TDispidDispatch {
public:
    explicit TOleSite(TOleHost* host) : FHost(host) {}

    void Detach() { FHost = nullptr; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        void* p = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            p = static_cast<IOleClientSite*>(this);
        else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
            p = static_cast<IOleInPlaceSite*>(this);
        else if (iid == IID_IOleControlSite)
            p = static_cast<IOleControlSite*>(this);
        else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
            p = static_cast<IOleInPlaceFrame*>(this);
        else if (iid == IID_IParseDisplayName || iid == IID_IOleContainer)
            p = static_cast<IOleContainer*>(this);
        else if (iid == IID_IDispatch)
            p = static_cast<IDispatch*>(this);
        else if (iid == IID_IHTMLDocument2 && FHost && FHost->FDocument)
            return FHost->FDocument->QueryInterface(iid, out);
        *out = p;
        if (!p)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&FRefs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&FRefs);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override
    {
        if (moniker)
            *moniker = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override
    {
        if (!container)
            return E_POINTER;
        *container = static_cast<IOleContainer*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (site and frame)
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override
    {
        if (!window)
            return E_POINTER;
        *window = FHost ? FHost->FWindow : nullptr;
        return *window ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return FHost ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override
    {
        if (FHost)
            FHost->FInPlace = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                               LPRECT clip, LPOLEINPLACEFRAMEINFO info) override
    {
        if (!frame || !doc || !pos || !clip)
            return E_POINTER;
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *doc = nullptr;
        *pos = FHost ? FHost->FRect : RECT{};
        *clip = *pos;
        if (info) {
            info->fMDIApp = FALSE;
            info->hwndFrame = FHost ? FHost->FWindow : nullptr;
            info->haccel = nullptr;
            info->cAccelEntries = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override
    {
        if (FHost)
            FHost->FInPlace = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT pos) override
    {
        if (FHost && pos)
            FHost->Move(*pos);
        return S_OK;
    }

    // IOleControlSite
    HRESULT STDMETHODCALLTYPE OnControlInfoChanged() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockInPlaceActive(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetExtendedControl(IDispatch** disp) override
    {
        if (disp)
            *disp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnFocus(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShowPropertyFrame() override { return E_NOTIMPL; }

    // IOleInPlaceUIWindow, IOleInPlaceFrame: no tools or menus of its own.
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    // IParseDisplayName, IOleContainer
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker** out) override
    {
        if (out)
            *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown** out) override
    {
        if (out)
            *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }

    // IDispatch: the ambient properties.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        if (!(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        VariantInit(result);
        switch (id) {
        case DISPID_AMBIENT_USERMODE:
            result->vt = VT_BOOL;
            result->boolVal = VARIANT_TRUE;
            return S_OK;
        case DISPID_AMBIENT_UIDEAD:
        case DISPID_AMBIENT_SHOWGRABHANDLES:
        case DISPID_AMBIENT_SHOWHATCHING:
            result->vt = VT_BOOL;
            result->boolVal = VARIANT_FALSE;
            return S_OK;
        case DISPID_AMBIENT_BACKCOLOR:
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(0x80000000u | COLOR_WINDOW);
            return S_OK;
        case DISPID_AMBIENT_FORECOLOR:
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(0x80000000u | COLOR_WINDOWTEXT);
            return S_OK;
        case DISPID_AMBIENT_LOCALEID:
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(GetUserDefaultLCID());
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    LONG FRefs = 1;
    TOleHost* FHost;
};

// ---------------------------------------------------------------------------
// TEventSink: answers the control's event interface and hands every call to
// the host's handler.

class TEventSink final : public TDispidDispatch {
public:
    TEventSink(TOleHost* host, REFIID events) : FHost(host), FEvents(events) {}
    void Detach() { FHost = nullptr; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == FEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&FRefs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&FRefs);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        if (FHost && FHost->FHandler) {
            try {
                FHost->FHandler(id, params);
            } catch (...) {
                return E_FAIL;
            }
        }
        return S_OK;
    }

private:
    LONG FRefs = 1;
    TOleHost* FHost;
    IID FEvents;
};

// ---------------------------------------------------------------------------

TOleHost::TOleHost(HWND window) : FWindow(window) {}

TOleHost::~TOleHost()
{
    Destroy();
    if (FDocument)
        FDocument->Release();
}

void TOleHost::SetEventHandler(TEventHandler handler)
{
    FHandler = std::move(handler);
}

void TOleHost::SetDocument(IUnknown* document)
{
    if (document)
        document->AddRef();
    if (FDocument)
        FDocument->Release();
    FDocument = document;
}

HRESULT TOleHost::Create(REFCLSID clsid, IStream* stream, IPropertyBag* bag)
{
    Destroy();
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&FControl));
    if (FAILED(hr))
        return hr;
    // A server may answer success without an object.
    if (!FControl)
        return E_NOINTERFACE;
    FControl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&FDispatch));
    hr = FControl->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&FObject));
    if (FAILED(hr)) {
        Destroy();
        return hr;
    }
    FSite = new TOleSite(this);
    DWORD misc = 0;
    FObject->GetMiscStatus(DVASPECT_CONTENT, &misc);
    if (misc & OLEMISC_SETCLIENTSITEFIRST)
        FObject->SetClientSite(FSite);
    if (stream) {
        IPersistStreamInit* persist = nullptr;
        hr = FControl->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
        if (SUCCEEDED(hr)) {
            hr = persist->Load(stream);
            persist->Release();
        }
    } else if (bag) {
        IPersistPropertyBag* persist = nullptr;
        hr = FControl->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&persist));
        if (SUCCEEDED(hr)) {
            persist->InitNew();
            hr = persist->Load(bag, nullptr);
            persist->Release();
        }
    } else {
        IPersistStreamInit* persist = nullptr;
        if (SUCCEEDED(FControl->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist)))) {
            persist->InitNew();
            persist->Release();
        }
    }
    if (FAILED(hr)) {
        Destroy();
        return hr;
    }
    if (!(misc & OLEMISC_SETCLIENTSITEFIRST))
        FObject->SetClientSite(FSite);
    FObject->SetHostNames(L"QovPlayer host", nullptr);
    return ConnectEvents(clsid);
}

HRESULT TOleHost::ConnectEvents(REFCLSID)
{
    // The coclass's default source interface, from the control's class info.
    IProvideClassInfo* provide = nullptr;
    HRESULT hr = FControl->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provide));
    if (FAILED(hr))
        return S_OK;  // a control without events
    ITypeInfo* coclass = nullptr;
    hr = provide->GetClassInfo(&coclass);
    provide->Release();
    if (FAILED(hr))
        return hr;
    IID events = IID_NULL;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(coclass->GetTypeAttr(&attr))) {
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            INT flags = 0;
            HREFTYPE ref = 0;
            ITypeInfo* impl = nullptr;
            if (FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
                (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
                    (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) ||
                FAILED(coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(coclass->GetRefTypeInfo(ref, &impl)))
                continue;
            TYPEATTR* implAttr = nullptr;
            if (SUCCEEDED(impl->GetTypeAttr(&implAttr))) {
                events = implAttr->guid;
                impl->ReleaseTypeAttr(implAttr);
            }
            impl->Release();
            break;
        }
        coclass->ReleaseTypeAttr(attr);
    }
    coclass->Release();
    if (events == IID_NULL)
        return S_OK;
    IConnectionPointContainer* container = nullptr;
    hr = FControl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr))
        return hr;
    hr = container->FindConnectionPoint(events, &FPoint);
    container->Release();
    if (FAILED(hr))
        return hr;
    FSink = new TEventSink(this, events);
    hr = FPoint->Advise(FSink, &FCookie);
    return hr;
}

HRESULT TOleHost::Activate(const RECT& rect, bool uiActivate)
{
    if (!FObject)
        return E_UNEXPECTED;
    FRect = rect;
    return FObject->DoVerb(uiActivate ? OLEIVERB_UIACTIVATE : OLEIVERB_INPLACEACTIVATE, nullptr, FSite, 0,
                           FWindow, &FRect);
}

void TOleHost::Move(const RECT& rect)
{
    FRect = rect;
    if (!FControl)
        return;
    IOleInPlaceObject* inPlace = nullptr;
    if (SUCCEEDED(FControl->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
        inPlace->SetObjectRects(&FRect, &FRect);
        inPlace->Release();
    }
}

HRESULT TOleHost::Deactivate()
{
    if (!FControl)
        return E_UNEXPECTED;
    IOleInPlaceObject* inPlace = nullptr;
    HRESULT hr = FControl->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace));
    if (SUCCEEDED(hr)) {
        hr = inPlace->InPlaceDeactivate();
        inPlace->Release();
    }
    return hr;
}

void TOleHost::Destroy()
{
    if (FPoint) {
        if (FCookie)
            FPoint->Unadvise(FCookie);
        FPoint->Release();
    }
    FPoint = nullptr;
    FCookie = 0;
    if (FSink) {
        FSink->Detach();
        FSink->Release();
    }
    FSink = nullptr;
    if (FObject) {
        FObject->Close(OLECLOSE_NOSAVE);
        FObject->SetClientSite(nullptr);
        FObject->Release();
    }
    FObject = nullptr;
    if (FDispatch)
        FDispatch->Release();
    FDispatch = nullptr;
    if (FControl)
        FControl->Release();
    FControl = nullptr;
    if (FSite) {
        FSite->Detach();
        FSite->Release();
    }
    FSite = nullptr;
    FInPlace = false;
}

HWND TOleHost::ControlWindow() const
{
    HWND window = nullptr;
    IOleWindow* ole = nullptr;
    if (FControl && SUCCEEDED(FControl->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&ole)))) {
        ole->GetWindow(&window);
        ole->Release();
    }
    return window;
}

HRESULT TOleHost::InvokeByName(const wchar_t* name, WORD flags, DISPPARAMS* params, VARIANT* result,
                               std::wstring* error)
{
    if (!FDispatch)
        return E_UNEXPECTED;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = FDispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    EXCEPINFO excep{};
    UINT argErr = 0;
    hr = FDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, &excep, &argErr);
    if (error)
        *error = excep.bstrDescription ? excep.bstrDescription : L"";
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return hr;
}

HRESULT TOleHost::GetProperty(const wchar_t* name, VARIANT* value, std::wstring* error)
{
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VariantInit(value);
    return InvokeByName(name, DISPATCH_PROPERTYGET, &none, value, error);
}

HRESULT TOleHost::PutProperty(const wchar_t* name, const VARIANT& value, std::wstring* error)
{
    VARIANT arg = value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return InvokeByName(name, DISPATCH_PROPERTYPUT, &params, nullptr, error);
}

HRESULT TOleHost::CallMethod(const wchar_t* name, VARIANT* args, UINT count, VARIANT* result, std::wstring* error)
{
    DISPPARAMS params{args, nullptr, count, 0};
    return InvokeByName(name, DISPATCH_METHOD, &params, result, error);
}

} // namespace qov::host
