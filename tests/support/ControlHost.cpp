#ifdef _WIN32
#include "ControlHost.h"

namespace qov::test {

TVariant TVariant::Int(LONG v)
{
    TVariant r;
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}

TVariant TVariant::Bool(bool v)
{
    TVariant r;
    r.vt = VT_BOOL;
    r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}

TVariant TVariant::Str(const wchar_t* v)
{
    TVariant r;
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocString(v);
    return r;
}

namespace {

const char* const kHostClass = "QovTestContainer";

LRESULT CALLBACK HostProc(HWND window, UINT msg, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(window, msg, wp, lp);
}

// One container window for the test program, made on first use and kept: a
// mapped top-level window that goes away costs seconds under Wine without a
// window manager.
HWND HostWindow()
{
    static HWND window = nullptr;
    if (window)
        return window;
    {
        WNDCLASSA wc{};
        wc.lpfnWndProc = HostProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kHostClass;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        RegisterClassA(&wc);
    }
    window = CreateWindowExA(WS_EX_TOPMOST, kHostClass, "host", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 640,
                             480, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    UpdateWindow(window);
    return window;
}

} // namespace

TControlHost::TControlHost() : FWindow((OleInitialize(nullptr), HostWindow())), FOle(FWindow)
{
    FOle.SetEventHandler([this](DISPID id, DISPPARAMS* params) {
        TRecordedEvent e;
        e.Id = id;
        e.ThreadId = GetCurrentThreadId();
        for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
            TVariant v;
            const VARIANTARG& a = params->rgvarg[i];
            if (a.vt & VT_BYREF) {
                if (a.vt == (VT_I2 | VT_BYREF)) {
                    v.vt = VT_I2;
                    v.iVal = *a.piVal;
                }
            } else {
                VariantCopy(&v, const_cast<VARIANTARG*>(&a));
            }
            e.Args.push_back(v);
        }
        FEvents.push_back(e);
        if (FHook)
            FHook(id, params);
    });
}

TControlHost::~TControlHost()
{
    Destroy();
    OleUninitialize();
}

HRESULT TControlHost::Create(IStream* stream, IPropertyBag* bag)
{
    ReleasePlayer();
    HRESULT hr = FOle.Create(CLSID_QovPlayerCtrl, stream, bag);
    if (SUCCEEDED(hr) && FOle.Control())
        FOle.Control()->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&FPlayer));
    return hr;
}

HRESULT TControlHost::Activate(bool uiActivate)
{
    RECT r;
    GetClientRect(FWindow, &r);
    HRESULT hr = FOle.Activate(r, uiActivate);
    Pump(50);
    return hr;
}

IQovPlayer* TControlHost::Player()
{
    return FPlayer;
}

void TControlHost::ReleasePlayer()
{
    if (FPlayer)
        FPlayer->Release();
    FPlayer = nullptr;
}

std::vector<TRecordedEvent> TControlHost::EventsOf(DISPID id) const
{
    std::vector<TRecordedEvent> out;
    for (const auto& e : FEvents)
        if (e.Id == id)
            out.push_back(e);
    return out;
}

bool TControlHost::WaitEvent(DISPID id, DWORD timeoutMs, size_t n)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (EventsOf(id).size() >= n)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Pump(10);
    }
}

void TControlHost::Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    do {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } while (GetTickCount() - start < ms);
}

bool TControlHost::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Pump(10);
    }
    return true;
}

HRESULT TPropertyBag::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
        *out = static_cast<IPropertyBag*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT TPropertyBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog*)
{
    Asked.push_back(name);
    auto it = Values.find(name);
    if (it == Values.end())
        return E_INVALIDARG;
    return VariantCopy(value, &it->second);
}

HRESULT TPropertyBag::Write(LPCOLESTR name, VARIANT* value)
{
    Written.push_back(name);
    TVariant v;
    HRESULT hr = VariantCopy(&v, value);
    Values[name] = v;
    return hr;
}

std::wstring ErrorDescription()
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK)
        return L"";
    BSTR description = nullptr;
    info->GetDescription(&description);
    info->Release();
    std::wstring text = description ? description : L"";
    SysFreeString(description);
    return text;
}

} // namespace qov::test
#endif
