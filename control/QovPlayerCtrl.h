// TQovPlayerCtrl: the player control that QovPlayer.ocx serves. One COM
// object that is the form (its window, picture frame, thumbnail strip,
// timers and popup menu), the dual automation interface IQovPlayer with its
// event connection point, and the OLE embedding interfaces a container uses
// to site, activate, draw and persist it.
//
// Everything runs on the thread that created the object (apartment model);
// the form window exists from creation on, parked in a hidden window until a
// container activates the control in place, so a control made by a script
// without a site still receives engine messages and timers.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>
#include <objsafe.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "FormRecord.h"
#include "QovPlayerTLB.h"
#include "UnitBottom.h"
#include "UnitQovCore.h"

namespace qov {

// Creates a control and answers iid on it (the class factory's work).
HRESULT CreateQovPlayerCtrl(REFIID iid, void** out);

// Window messages the form window answers besides the system's.
// WM_QOV_POPUP_MENU: returns the popup menu pmQov (its handle as the result).
constexpr UINT WM_QOV_POPUP_MENU = WM_APP + 0x101;

// Menu command identifiers of pmQov.
enum TQovMenuCommand : UINT {
    cmdDisplayMode = 100,
    cmdFull = 101,
    cmdOriginal = 102,
    cmdAdaptive = 103,
    cmdStatus = 104,
    cmdAbout = 105,
};

// A locator handed in as a BSTR, in the system's ANSI code page without
// best-fit mapping: a character the code page cannot hold raises instead of
// becoming another (a name that opens a different file).
std::string LocatorOf(const wchar_t* text);

// Timer of the form that reconnects a live source (timerAutoConnect).
constexpr UINT_PTR kAutoConnectTimerId = 2;
constexpr UINT kAutoConnectMs = 3000;

// Window classes of the form and its frames (hosts and tests find them by name).
extern const char* const kFormWindowClass;     // "TQovPlayerCtrl"
extern const char* const kDetailWindowClass;   // "TDetailFrame"

class TQovPlayerCtrl final : public IQovPlayer,
                             public ISupportErrorInfo,
                             public IProvideClassInfo,
                             public IConnectionPointContainer,
                             public IOleObject,
                             public IOleControl,
                             public IOleInPlaceObject,
                             public IOleInPlaceActiveObject,
                             public IViewObject2,
                             public IDataObject,
                             public IPersistStreamInit,
                             public IPersistStorage,
                             public IPersistPropertyBag,
                             public IPerPropertyBrowsing,
                             public ISpecifyPropertyPages,
                             public IQuickActivate,
                             public ISimpleFrameSite,
                             public IObjectSafety {
public:
    TQovPlayerCtrl();
    TQovPlayerCtrl(const TQovPlayerCtrl&) = delete;
    TQovPlayerCtrl& operator=(const TQovPlayerCtrl&) = delete;

    // Second step of creation: the form's content and fields (Initialize).
    void Initialize();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch (on the type info of IQovPlayer)
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

    // IQovPlayer
    HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_AutoScroll(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_AutoScroll(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_AutoSize(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_AutoSize(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_AxBorderStyle(::TxActiveFormBorderStyle* Value) override;
    HRESULT STDMETHODCALLTYPE put_AxBorderStyle(::TxActiveFormBorderStyle Value) override;
    HRESULT STDMETHODCALLTYPE get_Caption(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE put_Caption(BSTR Value) override;
    HRESULT STDMETHODCALLTYPE get_Color(OLE_COLOR* Value) override;
    HRESULT STDMETHODCALLTYPE put_Color(OLE_COLOR Value) override;
    HRESULT STDMETHODCALLTYPE get_Font(IFontDisp** Value) override;
    HRESULT STDMETHODCALLTYPE put_Font(IFontDisp* Value) override;
    HRESULT STDMETHODCALLTYPE get_KeyPreview(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_KeyPreview(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_PixelsPerInch(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE put_PixelsPerInch(LONG Value) override;
    HRESULT STDMETHODCALLTYPE get_PrintScale(::TxPrintScale* Value) override;
    HRESULT STDMETHODCALLTYPE put_PrintScale(::TxPrintScale Value) override;
    HRESULT STDMETHODCALLTYPE get_Scaled(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_Scaled(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE get_DropTarget(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_DropTarget(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE put_HelpFile(BSTR Value) override;
    HRESULT STDMETHODCALLTYPE get_DoubleBuffered(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_DoubleBuffered(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_VisibleDockClientCount(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_Cursor(SHORT* Value) override;
    HRESULT STDMETHODCALLTYPE put_Cursor(SHORT Value) override;
    HRESULT STDMETHODCALLTYPE LoadFile(BSTR Filename) override;
    HRESULT STDMETHODCALLTYPE SendScript(BSTR Str) override;
    HRESULT STDMETHODCALLTYPE Open(BSTR Filename) override;
    HRESULT STDMETHODCALLTYPE get_DisplayMode(::TDisplayMode* Value) override;
    HRESULT STDMETHODCALLTYPE put_DisplayMode(::TDisplayMode Value) override;
    HRESULT STDMETHODCALLTYPE Play() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE FastForward() override;
    HRESULT STDMETHODCALLTYPE FastReverse() override;
    HRESULT STDMETHODCALLTYPE get_CurrentPosition(LONG* Milliseconds) override;
    HRESULT STDMETHODCALLTYPE put_CurrentPosition(LONG Milliseconds) override;
    HRESULT STDMETHODCALLTYPE get_Duration(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_ScreenBackgroundColor(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE put_ScreenBackgroundColor(LONG Value) override;
    HRESULT STDMETHODCALLTYPE get_NailBackgroundColor(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE put_NailBackgroundColor(LONG Value) override;
    HRESULT STDMETHODCALLTYPE get_LocalIP(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE put_LocalIP(BSTR Value) override;
    HRESULT STDMETHODCALLTYPE get_Max(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_Min(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_FullScreen(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_FullScreen(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_URL(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE put_URL(BSTR Value) override;
    HRESULT STDMETHODCALLTYPE get_Status(::TStatus* Value) override;
    HRESULT STDMETHODCALLTYPE get_AutoStart(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_AutoStart(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE get_QovWidth(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_QovHeight(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_InitialColor(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE put_InitialColor(LONG Value) override;
    HRESULT STDMETHODCALLTYPE get_Host(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_ChannelName(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_Title(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_Author(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_Copyright(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* Value) override;
    HRESULT STDMETHODCALLTYPE get_AutoConnect(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_AutoConnect(VARIANT_BOOL Value) override;
    HRESULT STDMETHODCALLTYPE Request(BSTR Command) override;
    HRESULT STDMETHODCALLTYPE get_MediaTime(LONG* Value) override;
    HRESULT STDMETHODCALLTYPE get_EnableCache(VARIANT_BOOL* Value) override;
    HRESULT STDMETHODCALLTYPE put_EnableCache(VARIANT_BOOL Value) override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;
    // IProvideClassInfo
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // IOleObject
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR obj) override;
    HRESULT STDMETHODCALLTYPE Close(DWORD saveOption) override;
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* moniker) override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** data) override;
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                                     LPCRECT pos) override;
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** verbs) override;
    HRESULT STDMETHODCALLTYPE Update() override;
    HRESULT STDMETHODCALLTYPE IsUpToDate() override;
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* type) override;
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* connection) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** advise) override;
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* palette) override;

    // IOleControl
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override;
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* msg) override;
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID id) override;
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL freeze) override;

    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enter) override;
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE UIDeactivate() override;
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pos, LPCRECT clip) override;
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG msg) override;
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL activate) override;
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL activate) override;
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL enable) override;

    // IViewObject, IViewObject2
    HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                                   HDC targetDC, HDC dc, LPCRECTL bounds, LPCRECTL wBounds,
                                   BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR contArg) override;
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                                          HDC targetDC, LOGPALETTE** colors) override;
    HRESULT STDMETHODCALLTYPE Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD freeze) override;
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

    // IDataObject: no data formats of its own.
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) override;
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** advise) override;

    // IPersist, IPersistStreamInit, IPersistStorage, IPersistPropertyBag
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(IStream* stream) override;
    HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL clearDirty) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override;
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE InitNew(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE Load(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE Save(IStorage* storage, BOOL sameAsLoad) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage* storage) override;
    HRESULT STDMETHODCALLTYPE HandsOffStorage() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // IPerPropertyBrowsing: no display strings or pages of its own.
    HRESULT STDMETHODCALLTYPE GetDisplayString(DISPID id, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE MapPropertyToPage(DISPID id, CLSID* page) override;
    HRESULT STDMETHODCALLTYPE GetPredefinedStrings(DISPID id, CALPOLESTR* strings, CADWORD* cookies) override;
    HRESULT STDMETHODCALLTYPE GetPredefinedValue(DISPID id, DWORD cookie, VARIANT* value) override;
    // ISpecifyPropertyPages: none.
    HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;
    // IQuickActivate
    HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL size) override;
    HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL size) override;
    // ISimpleFrameSite
    HRESULT STDMETHODCALLTYPE PreMessageFilter(HWND window, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result,
                                               DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE PostMessageFilter(HWND window, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result,
                                                DWORD cookie) override;
    // IObjectSafety: safe for scripting and initialisation.
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

    // The form's window (exists from creation to destruction).
    HWND Window() const { return FForm; }

private:
    ~TQovPlayerCtrl();

    // What the firing of an event leaves its caller. A handler may re-enter
    // the control (Close, Open of another recording, URL) or its host may
    // let go of it; the control stays alive while this is held, and Holds()
    // says whether the caller may go on: its host still holds the control
    // and no handler changed its state or source since the event was fired.
    // Every place that fires and then goes on keeps it and asks it first.
    class TFired {
    public:
        explicit TFired(TQovPlayerCtrl* owner) noexcept;
        TFired(TFired&& other) noexcept;
        TFired(const TFired&) = delete;
        TFired& operator=(const TFired&) = delete;
        TFired& operator=(TFired&&) = delete;
        ~TFired();
        bool Holds() const noexcept;

    private:
        TQovPlayerCtrl* FOwner;
        uint32_t FGeneration;
    };

    // --- form (ControlForm.cpp)
    void CreateForm();
    void DestroyForm() noexcept;
    void BuildPopupMenu();
    void LayoutForm();
    void ApplyFormStyle();
    void ApplyFormFont();
    void SetFrameColor(HWND frame, COLORREF color, COLORREF& field);
    static LRESULT CALLBACK FormProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK FrameProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT FormMessage(UINT msg, WPARAM wp, LPARAM lp);
    LRESULT FrameMessage(HWND frame, UINT msg, WPARAM wp, LPARAM lp);
    void OnTimer(UINT_PTR id);
    void OnMenuCommand(UINT id);
    // Fires OnKeyPress with the key and takes back what the sink left.
    WORD DoKeyPress(WORD key);

    // --- automation helpers (QovPlayerCtrl.cpp)
    void miAdaptiveClick();
    void miFullClick();
    void miOriginalClick();
    void SetDisplayMode(::TDisplayMode mode);

    // --- picture area and display modes (PictureArea.cpp)
    class TDetailFrame& DetailFrame();
    void FreePictureArea() noexcept;
    // Close: the full-screen window goes and the picture is hidden.
    void ClosePicture();
    // Engine paints, full-screen requests and the display-mode sub-menu of
    // the form; false for messages left to the form.
    bool PictureMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);
    // Messages of the picture frame's window.
    bool DetailMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);
    void PaintDirtyRect(WPARAM wp, LPARAM lp);
    void RequestRepaint();
    void frmDetailResize();
    void ChangeDisplayMode(::TDisplayMode mode);
    // WM_FULLSCREEN_EXIT from the full-screen window with this id.
    void ExitFullScreen(LPARAM id);
    void miDisplayModeClick();

    // --- statistics window and about box (InfoWindows.cpp)
    void miStatusClick();
    void miAboutClick();
    void FreeInfoWindows() noexcept;
    void DoOpen(const std::string& locator);
    TFired DoClose();
    class TQovStream* LiveReader() const;

    // --- open and play (PlayState.cpp)
    // Open, LoadFile, URL put and the reconnect timer: Close, then DoOpen.
    void OpenLocator(const std::string& locator);
    std::string GetContainerURL();
    std::string DownloadChannelFile(const std::string& locator);
    TFired SetState(::TStatus state);
    TFired FirePlayState(::TStatus state);
    // Stops the reader for good, frees it and the play thread, empties the
    // frame lists and drops what the threads left queued.
    void FreeSource();
    TFired DoPlay();
    TFired DoPause();
    TFired DoStop();
    TFired DoFastForward();
    void DoFastReverse();
    TFired DoCancelOpen();
    TFired CloseByState();
    // The transitions of Play and Stop by state (the members and the engine's handlers).
    TFired PlayByState();
    TFired StopByState();
    // Removes the queued engine messages and live notifications of the form.
    void RemoveEngineMessages();
    void ReplacePlayer(class TPlayThread* player);
    void OnEngineOpened(WPARAM code);
    void OnEngineStatus(WPARAM code);
    void OnEngineEnd();
    void OnEngineMarker();
    void OnLiveNote();
    void timerAutoConnectTimer();
    // The picture in the picture frame or the full-screen window.
    void ApplyDisplayMode();
    // Starts loading the thumbnails of the locator.
    void LoadNails();

    // --- thumbnail strip (ControlNails.cpp)
    // Makes the strip (hidden) with its click and layout hooks.
    void CreateNails();
    // timActiveNails: the strip follows the play position.
    void timActiveNailsTimer();

    // --- events
    // The one connection point, for IQovPlayerEvents: one sink at a time.
    class TEventPoint final : public IConnectionPoint {
    public:
        explicit TEventPoint(TQovPlayerCtrl* owner) : FOwner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return FOwner->AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return FOwner->Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

    private:
        TQovPlayerCtrl* FOwner;
    };
    friend class TEventPoint;
    TEventPoint FEventPoint{this};
    void EventSinkChanged(IUnknown* sink);

    // Fires the event to the host's sink (if any) and holds the control.
    TFired FireEvent(DISPID id, VARIANTARG* args = nullptr, UINT count = 0);
    TFired FireEvent0(DISPID id) { return FireEvent(id); }
    // A change of state or source that callers up the stack must not go on over.
    void Changed() noexcept { ++FGeneration; }

    // --- OLE (QovPlayerOle.cpp)
    HRESULT ActivateInPlace(bool uiActivate, IOleClientSite* site);
    // UIDeactivate: fires OnDeactivate when the control was UI-active.
    TFired DeactivateUI();
    void ParkForm();
    SIZEL ExtentHimetric() const;
    void PaintInto(HDC dc, const RECT& bounds);
    void SendViewChange();
    // The form's properties after a load: window, colours and font follow.
    void ApplyLoadedProperties(const TFormProperties& props);
    HRESULT InvokeByName(const wchar_t* name, WORD flags, DISPPARAMS* params, VARIANT* result);
    // WM_SETCURSOR of the form and its frames: the form's Cursor.
    bool SetFormCursor(LPARAM lp);

    std::atomic<ULONG> FRefs{1};
    // References the control holds on itself (TFired, window procedures):
    // when only these are left, its host has let go of it.
    ULONG FSelfRefs = 0;
    // Counts changes of state and source (Changed).
    uint32_t FGeneration = 0;
    bool FInitialized = false;

    // Form content.
    TFormProperties FProps;
    HWND FForm = nullptr;
    HWND FDetail = nullptr;  // frmDetail
    std::unique_ptr<TNailsFrame> FNails;  // frmNails (hidden at start)
    HMENU FMenu = nullptr;   // pmQov
    HBRUSH FFormBrush = nullptr;
    HFONT FFont = nullptr;
    COLORREF FDetailColor = 0;
    COLORREF FNailsColor = 0;
    bool FMouseDown = false;

    // Own fields, in declaration order.
    std::string FLocator;
    bool FAutoStart = true;
    std::string FTempFolder;
    IQovPlayerEvents* FEvents = nullptr;  // the host's sink
    ::TStatus FState = vpClosed;
    PlaybackContext FContext;
    std::string FLocalIP;
    ::TDisplayMode FPrevDisplayMode = dmAdaptive;
    ::TDisplayMode FDisplayMode = dmAdaptive;
    int32_t FInitialColor = 0xFF0000;
    bool FAutoConnect = true;
    bool FEnableCache = true;
    bool FDecoderHeld = false;
    class TDownloadBuffer* FDownloadBuffer = nullptr;  // made in Initialize
    class TDetailFrame* FDetailFrame = nullptr;     // picture frame of FDetail
    class TfrmFullScreen* FFullScreen = nullptr;    // in dmFull with a source
    class TfrmStatus* FStatus = nullptr;            // made on the first showing
    class TfrmAbout* FAbout = nullptr;              // while its modal loop runs

    // OLE embedding state.
    ITypeInfo* FTypeInfo = nullptr;
    IOleClientSite* FClientSite = nullptr;
    IOleInPlaceSite* FInPlaceSite = nullptr;
    IOleInPlaceFrame* FFrame = nullptr;
    IOleInPlaceUIWindow* FUIWindow = nullptr;
    IOleAdviseHolder* FOleAdvise = nullptr;
    IAdviseSink* FViewSink = nullptr;
    DWORD FViewAspects = 0;
    DWORD FViewFlags = 0;
    DWORD FSinkCookie = 0;
    bool FInPlaceActive = false;
    bool FUIActive = false;
    int FFreezeCount = 0;
    bool FDirty = false;
};

} // namespace qov
