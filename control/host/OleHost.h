// The container side of embedding an ActiveX control in a window: client,
// in-place and control site, in-place frame, ambient properties and an event
// sink on the control's connection point. The desktop program hosts the
// player control through it, and the tests drive the control with it.
//
// Everything runs on one thread that has called OleInitialize and pumps
// messages; the control's window becomes a child of the host window.
//
//   TOleHost host(window);
//   host.SetEventHandler([](DISPID id, DISPPARAMS* params) { ... });
//   host.Create(CLSID_QovPlayerCtrl);          // site, InitNew, events
//   host.Activate(RECT{0, 0, 640, 480}, true);  // in place (and UI active)
//   ... host.Dispatch() ...
//   host.Destroy();
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>

#include <functional>
#include <string>

namespace qov::host {

class TOleSite;
class TEventSink;

class TOleHost {
public:
    // Called on the host's thread for every event the control fires.
    using TEventHandler = std::function<void(DISPID id, DISPPARAMS* params)>;

    // window: the container window the control is placed in.
    explicit TOleHost(HWND window);
    ~TOleHost();
    TOleHost(const TOleHost&) = delete;
    TOleHost& operator=(const TOleHost&) = delete;

    void SetEventHandler(TEventHandler handler);
    // The object the site's container answers IHTMLDocument2 with (the page
    // a control asks for its address); nil: none. Set before Create.
    void SetDocument(IUnknown* document);

    // Creates the control by class id, gives it the client site, initialises
    // it (from stream, or from bag, or new) and connects the event sink to
    // its connection point for events (the coclass's default source).
    HRESULT Create(REFCLSID clsid, IStream* stream = nullptr, IPropertyBag* bag = nullptr);
    // Activates the control in place in rect of the window (uiActivate:
    // also UI-active with the focus).
    HRESULT Activate(const RECT& rect, bool uiActivate);
    // Moves the active control.
    void Move(const RECT& rect);
    // Ends in-place activation; the control stays created.
    HRESULT Deactivate();
    // Disconnects the events, closes the control, takes the site away and
    // releases it. Safe to call twice.
    void Destroy();

    IUnknown* Control() const { return FControl; }
    // The control's IDispatch (not AddRef'ed; nil before Create).
    IDispatch* Dispatch() const { return FDispatch; }
    // The control's window once in place (IOleWindow), else nil.
    HWND ControlWindow() const;
    HWND Window() const { return FWindow; }
    bool InPlaceActive() const { return FInPlace; }

    // Property get, property put and method call by name; S_OK or the
    // failure (with the exception's description in *error when given).
    HRESULT GetProperty(const wchar_t* name, VARIANT* value, std::wstring* error = nullptr);
    HRESULT PutProperty(const wchar_t* name, const VARIANT& value, std::wstring* error = nullptr);
    HRESULT CallMethod(const wchar_t* name, VARIANT* args, UINT count, VARIANT* result = nullptr,
                       std::wstring* error = nullptr);

private:
    friend class TOleSite;
    friend class TEventSink;
    HRESULT InvokeByName(const wchar_t* name, WORD flags, DISPPARAMS* params, VARIANT* result,
                         std::wstring* error);
    HRESULT ConnectEvents(REFCLSID clsid);

    HWND FWindow;
    RECT FRect{};
    TOleSite* FSite = nullptr;
    TEventSink* FSink = nullptr;
    IUnknown* FControl = nullptr;
    IDispatch* FDispatch = nullptr;
    IOleObject* FObject = nullptr;
    IConnectionPoint* FPoint = nullptr;
    DWORD FCookie = 0;
    bool FInPlace = false;
    TEventHandler FHandler;
    IUnknown* FDocument = nullptr;
};

} // namespace qov::host
