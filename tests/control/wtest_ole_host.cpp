// The player control in an OLE container: in-place activation and
// deactivation, the picture area's screen pixels, events through the
// connection point (click, key press with the key taken back, thread),
// drawing through IViewObject2, and persistence through streams, storages
// and property bags.
#include <gtest/gtest.h>

#include <windows.h>
#include <objsafe.h>
#include <ole2.h>

#include <algorithm>

#include <cstring>
#include <string>
#include <vector>

#include "ControlHost.h"
#include "QovPlayerTLB.h"

using qov::test::TControlHost;
using qov::test::TPropertyBag;
using qov::test::TVariant;

namespace {

HWND Child(HWND parent, const char* cls)
{
    return FindWindowExA(parent, nullptr, cls, nullptr);
}

// A pixel of a window as the screen shows it. Windows of tests running beside
// this one may cover it for a moment: the container is raised and the window
// repainted before each of a few readings, until one shows the expected colour.
COLORREF ScreenPixel(HWND container, HWND window, POINT p, COLORREF expected)
{
    COLORREF color = CLR_INVALID;
    for (int attempt = 0; attempt < 10; ++attempt) {
        SetWindowPos(container, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        TControlHost::Pump(20);
        HDC dc = GetDC(window);
        color = GetPixel(dc, p.x, p.y);
        ReleaseDC(window, dc);
        if (color == expected)
            break;
    }
    return color;
}

std::wstring Str(BSTR b)
{
    std::wstring s = b ? b : L"";
    SysFreeString(b);
    return s;
}

IStream* NewStream()
{
    IStream* s = nullptr;
    EXPECT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &s));
    return s;
}

void Rewind(IStream* s)
{
    LARGE_INTEGER zero{};
    s->Seek(zero, STREAM_SEEK_SET, nullptr);
}

SIZEL Extent(IUnknown* control)
{
    IOleObject* object = nullptr;
    SIZEL size{};
    control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object));
    object->GetExtent(DVASPECT_CONTENT, &size);
    object->Release();
    return size;
}

TEST(OleHost, ActivatesInPlaceAndPaintsThePictureArea)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate());
    HWND form = host.Ole().ControlWindow();
    ASSERT_TRUE(form);
    EXPECT_EQ(GetParent(form), host.Window());
    EXPECT_TRUE(IsWindowVisible(form));
    HWND picture = Child(form, "TDetailFrame");
    ASSERT_TRUE(picture);
    EXPECT_FALSE(IsWindowVisible(Child(form, "QovNailsFrame")));
    RECT r;
    GetClientRect(picture, &r);
    EXPECT_EQ(r.right, 640);
    EXPECT_EQ(r.bottom, 480);
    // The extent follows the place the container gives.
    host.Ole().Move(RECT{0, 0, 320, 240});
    const int ppi = GetDeviceCaps(GetDC(nullptr), LOGPIXELSX);
    EXPECT_EQ(Extent(host.Ole().Control()).cx, MulDiv(320, 2540, ppi));
    host.Ole().Move(RECT{0, 0, 640, 480});

    LONG color = -1;
    host.Player()->get_ScreenBackgroundColor(&color);
    EXPECT_EQ(color, 0);
    ASSERT_HRESULT_SUCCEEDED(host.Player()->put_ScreenBackgroundColor(0x0000FF));
    UpdateWindow(picture);
    TControlHost::Pump(100);
    host.Player()->get_ScreenBackgroundColor(&color);
    EXPECT_EQ(color, 0x0000FF);
    for (POINT p : {POINT{1, 1}, POINT{320, 240}, POINT{638, 478}})
        EXPECT_EQ(ScreenPixel(host.Window(), picture, p, RGB(0, 0, 255)), RGB(0, 0, 255)) << p.x << "," << p.y;

    // Drawn into a container's DC: the same picture area.
    IViewObject2* view = nullptr;
    ASSERT_HRESULT_SUCCEEDED(host.Ole().Control()->QueryInterface(IID_IViewObject2, reinterpret_cast<void**>(&view)));
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 64, 48);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(mem, bitmap);
    RECTL bounds{0, 0, 64, 48};
    EXPECT_HRESULT_SUCCEEDED(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, mem, &bounds, nullptr, nullptr, 0));
    EXPECT_EQ(GetPixel(mem, 32, 24), RGB(0, 0, 255));
    EXPECT_EQ(view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, mem, &bounds, nullptr, nullptr, 0),
              DV_E_DVASPECT);
    SelectObject(mem, old);
    DeleteObject(bitmap);
    DeleteDC(mem);
    view->Release();

    // Deactivated, the window is parked hidden and survives.
    ASSERT_HRESULT_SUCCEEDED(host.Ole().Deactivate());
    EXPECT_TRUE(IsWindow(form));
    EXPECT_FALSE(IsWindowVisible(form));
    EXPECT_NE(GetParent(form), host.Window());
    ASSERT_HRESULT_SUCCEEDED(host.Activate());
    EXPECT_EQ(GetParent(form), host.Window());
}

TEST(OleHost, EventsArriveOnTheControlsThread)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    ASSERT_HRESULT_SUCCEEDED(host.Activate());
    EXPECT_EQ(host.EventsOf(1).size(), 1u);  // OnActivate
    HWND form = host.Ole().ControlWindow();
    HWND picture = Child(form, "TDetailFrame");

    PostMessageA(picture, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 100));
    PostMessageA(picture, WM_LBUTTONUP, 0, MAKELPARAM(100, 100));
    ASSERT_TRUE(host.WaitEvent(2, 5000));  // OnClick

    // The sink changes the key; the control takes the new one.
    host.SetHook([](DISPID id, DISPPARAMS* params) {
        if (id == 11 && params->cArgs == 1 && params->rgvarg[0].vt == (VT_I2 | VT_BYREF))
            *params->rgvarg[0].piVal = 'z';
    });
    EXPECT_EQ(SendMessageA(form, WM_CHAR, 'a', 0), 'z');
    auto keys = host.EventsOf(11);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].Args[0].iVal, 'a');
    // A key typed on the picture reaches the form first (KeyPreview).
    EXPECT_EQ(SendMessageA(picture, WM_CHAR, 'q', 0), 'z');

    host.Player()->put_DisplayMode(dmOriginal);
    for (const auto& e : host.Events())
        EXPECT_EQ(e.ThreadId, GetCurrentThreadId()) << e.Id;

    // Frozen events are not fired.
    IOleControl* control = nullptr;
    host.Ole().Control()->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control));
    control->FreezeEvents(TRUE);
    host.ClearEvents();
    host.Player()->put_DisplayMode(dmAdaptive);
    EXPECT_TRUE(host.Events().empty());
    control->FreezeEvents(FALSE);
    control->Release();
}

TEST(OleHost, OneSinkAtATime)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_HRESULT_SUCCEEDED(host.Ole().Control()->QueryInterface(IID_IConnectionPointContainer,
                                                                  reinterpret_cast<void**>(&cpc)));
    IConnectionPoint* point = nullptr;
    ASSERT_HRESULT_SUCCEEDED(cpc->FindConnectionPoint(DIID_IQovPlayerEvents, &point));
    IConnectionPoint* other = nullptr;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, &other), CONNECT_E_NOCONNECTION);
    ASSERT_TRUE(point);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(host.Ole().Dispatch(), &cookie), CONNECT_E_ADVISELIMIT);  // the host's sink is there
    EXPECT_EQ(point->Unadvise(77), CONNECT_E_NOCONNECTION);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_HRESULT_SUCCEEDED(cpc->EnumConnectionPoints(&points));
    IConnectionPoint* got[2] = {nullptr, nullptr};
    ULONG n = 0;
    EXPECT_EQ(points->Next(2, got, &n), S_FALSE);
    EXPECT_EQ(n, 1u);
    got[0]->Release();
    points->Release();
    point->Release();
    cpc->Release();
}

// The record of the desktop program's main window, as it hands it over.
std::vector<uint8_t> DesktopControlData()
{
    std::vector<uint8_t> b = {'T', 'P', 'F', '0'};
    auto shortString = [&](const std::string& s) {
        b.push_back(static_cast<uint8_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
    };
    auto prop = [&](const std::string& name, uint8_t tag) {
        shortString(name);
        b.push_back(tag);
    };
    shortString("TQovPlayerCtrl");
    shortString("QovPlayerCtrl");
    prop("Left", 2); b.push_back(0);
    prop("Top", 2); b.push_back(0);
    prop("Width", 3); b.push_back(714 & 0xFF); b.push_back(714 >> 8);
    prop("Height", 3); b.push_back(500 & 0xFF); b.push_back(500 >> 8);
    prop("ActiveControl", 7); shortString("frmDetail");
    prop("AxBorderStyle", 7); shortString("afbNone");
    prop("Caption", 6); shortString("Corvane QovPlayer");
    prop("Color", 7); shortString("clBtnFace");
    prop("Font.Charset", 7); shortString("DEFAULT_CHARSET");
    prop("Font.Color", 7); shortString("clWindowText");
    prop("Font.Height", 2); b.push_back(static_cast<uint8_t>(-11));
    prop("Font.Name", 6); shortString("MS Sans Serif");
    prop("Font.Style", 11); b.push_back(0);
    prop("KeyPreview", 9);
    prop("OldCreateOrder", 8);
    prop("PopupMenu", 7); shortString("pmQov");
    prop("OnKeyUp", 7); shortString("ActiveFormKeyUp");
    prop("PixelsPerInch", 2); b.push_back(96);
    prop("TextHeight", 2); b.push_back(13);
    b.push_back(0);
    b.push_back(0);
    return b;
}

IStream* StreamOf(const std::vector<uint8_t>& bytes)
{
    IStream* s = NewStream();
    s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    Rewind(s);
    return s;
}

TEST(OleHost, StreamRoundTripRestoresTheFormOnly)
{
    IStream* stream = NewStream();
    SIZEL saved{};
    {
        TControlHost host;
        ASSERT_HRESULT_SUCCEEDED(host.Create());
        IQovPlayer* p = host.Player();
        BSTR caption = SysAllocString(L"Saved caption");
        p->put_Caption(caption);
        SysFreeString(caption);
        p->put_Color(0x0000FF);
        p->put_AutoStart(VARIANT_FALSE);
        p->put_InitialColor(5);
        IFontDisp* font = nullptr;
        p->get_Font(&font);
        IFont* f = nullptr;
        font->QueryInterface(IID_IFont, reinterpret_cast<void**>(&f));
        BSTR face = SysAllocString(L"DejaVu Serif");
        f->put_Name(face);
        SysFreeString(face);
        f->put_Italic(TRUE);
        f->Release();
        p->put_Font(font);
        font->Release();
        IOleObject* object = nullptr;
        host.Ole().Control()->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object));
        SIZEL size{10000, 5000};
        object->SetExtent(DVASPECT_CONTENT, &size);
        object->Release();
        saved = Extent(host.Ole().Control());
        IPersistStreamInit* persist = nullptr;
        host.Ole().Control()->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
        EXPECT_HRESULT_SUCCEEDED(persist->Save(stream, TRUE));
        persist->Release();
    }
    Rewind(stream);
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create(stream));
    IQovPlayer* p = host.Player();
    BSTR caption = nullptr;
    p->get_Caption(&caption);
    EXPECT_EQ(Str(caption), L"Saved caption");
    OLE_COLOR color = 0;
    p->get_Color(&color);
    EXPECT_EQ(color, 0x0000FFu);
    IFontDisp* font = nullptr;
    p->get_Font(&font);
    IFont* f = nullptr;
    font->QueryInterface(IID_IFont, reinterpret_cast<void**>(&f));
    BOOL italic = FALSE;
    f->get_Italic(&italic);
    EXPECT_TRUE(italic);
    f->Release();
    font->Release();
    // The record carries the new face (one the system has: GDI names what it realises).
    IPersistStreamInit* persist = nullptr;
    host.Ole().Control()->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
    IStream* again = NewStream();
    persist->Save(again, FALSE);
    persist->Release();
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(again, &memory);
    std::string record(static_cast<const char*>(GlobalLock(memory)), GlobalSize(memory));
    GlobalUnlock(memory);
    again->Release();
    EXPECT_NE(record.find("DejaVu Serif"), std::string::npos);
    SIZEL size = Extent(host.Ole().Control());
    EXPECT_NEAR(size.cx, saved.cx, 30);
    EXPECT_NEAR(size.cy, saved.cy, 30);
    // Not in the record: a restored control starts from the initial values.
    VARIANT_BOOL autoStart = 0;
    p->get_AutoStart(&autoStart);
    EXPECT_EQ(autoStart, VARIANT_TRUE);
    LONG initial = 0;
    p->get_InitialColor(&initial);
    EXPECT_EQ(initial, 0xFF0000);
    stream->Release();
}

TEST(OleHost, DesktopRecordLoadsAndBrokenRecordsChangeNothing)
{
    IStream* stream = StreamOf(DesktopControlData());
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create(stream));
    stream->Release();
    int ppi = GetDeviceCaps(GetDC(nullptr), LOGPIXELSX);
    SIZEL size = Extent(host.Ole().Control());
    EXPECT_EQ(size.cx, MulDiv(714, 2540, ppi));
    EXPECT_EQ(size.cy, MulDiv(500, 2540, ppi));
    OLE_COLOR color = 0;
    host.Player()->get_Color(&color);
    EXPECT_EQ(color, 0x8000000Fu);

    IPersistStreamInit* persist = nullptr;
    host.Ole().Control()->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
    std::vector<uint8_t> good = DesktopControlData();
    // Caption changed in a record that is cut short, or carries an unknown
    // tag, or a string running past the end: refused, nothing applied.
    std::vector<uint8_t> changed = good;
    const std::string from = "Corvane QovPlayer", to = "Something Changed";
    auto at = std::search(changed.begin(), changed.end(), from.begin(), from.end());
    std::copy(to.begin(), to.end(), at);
    std::vector<std::vector<uint8_t>> broken;
    broken.push_back(std::vector<uint8_t>(changed.begin(), changed.end() - 3));
    auto unknownTag = changed;
    unknownTag[unknownTag.size() - 4] = 0x63;  // TextHeight's tag
    broken.push_back(unknownTag);
    auto longString = changed;
    longString[static_cast<size_t>(at - changed.begin()) - 1] = 0xFF;
    broken.push_back(longString);
    for (const auto& bytes : broken) {
        IStream* s = StreamOf(bytes);
        EXPECT_EQ(persist->Load(s), E_FAIL);
        s->Release();
        BSTR caption = nullptr;
        host.Player()->get_Caption(&caption);
        EXPECT_EQ(Str(caption), L"Corvane QovPlayer");
    }
    // Bytes after the record stay in the stream for whoever stored them.
    auto withTail = changed;
    withTail.insert(withTail.end(), {1, 2, 3});
    IStream* s = StreamOf(withTail);
    EXPECT_EQ(persist->Load(s), S_OK);
    ULARGE_INTEGER pos{};
    LARGE_INTEGER zero{};
    s->Seek(zero, STREAM_SEEK_CUR, &pos);
    EXPECT_EQ(pos.QuadPart, changed.size());
    s->Release();
    persist->Release();
}

TEST(OleHost, StorageKeepsTheRecordInItsStream)
{
    ILockBytes* bytes = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes));
    IStorage* storage = nullptr;
    ASSERT_HRESULT_SUCCEEDED(StgCreateDocfileOnILockBytes(
        bytes, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage));
    {
        TControlHost host;
        ASSERT_HRESULT_SUCCEEDED(host.Create());
        BSTR caption = SysAllocString(L"In storage");
        host.Player()->put_Caption(caption);
        SysFreeString(caption);
        IPersistStorage* persist = nullptr;
        host.Ole().Control()->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&persist));
        EXPECT_HRESULT_SUCCEEDED(persist->Save(storage, FALSE));
        persist->Release();
    }
    IStream* stream = nullptr;
    ASSERT_HRESULT_SUCCEEDED(storage->OpenStream(L"CONTROLSAVESTREAM", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                                 &stream));
    char magic[4] = {};
    stream->Read(magic, 4, nullptr);
    EXPECT_EQ(std::string(magic, 4), "TPF0");
    stream->Release();
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IPersistStorage* persist = nullptr;
    host.Ole().Control()->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&persist));
    EXPECT_HRESULT_SUCCEEDED(persist->Load(storage));
    persist->Release();
    BSTR caption = nullptr;
    host.Player()->get_Caption(&caption);
    EXPECT_EQ(Str(caption), L"In storage");
    storage->Release();
    bytes->Release();
}

TEST(OleHost, PropertyBagByName)
{
    const std::vector<std::wstring> names = {
        L"Visible", L"AutoScroll", L"AutoSize", L"AxBorderStyle", L"Caption", L"Color", L"Font",
        L"KeyPreview", L"PixelsPerInch", L"PrintScale", L"Scaled", L"DropTarget", L"HelpFile",
        L"DoubleBuffered", L"Enabled", L"Cursor", L"DisplayMode", L"CurrentPosition",
        L"ScreenBackgroundColor", L"NailBackgroundColor", L"LocalIP", L"FullScreen", L"URL", L"AutoStart",
        L"InitialColor", L"AutoConnect", L"EnableCache"};
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IPersistPropertyBag* persist = nullptr;
    host.Ole().Control()->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&persist));
    TPropertyBag saved;
    EXPECT_HRESULT_SUCCEEDED(persist->Save(&saved, TRUE, TRUE));
    EXPECT_EQ(saved.Written, names);
    EXPECT_EQ(saved.Values[L"InitialColor"].lVal, 0xFF0000);
    persist->Release();

    // Loading: read in that order; a value that cannot be converted or set
    // is skipped, the others are set.
    TPropertyBag page;
    page.Values[L"AutoStart"] = TVariant::Str(L"false");
    page.Values[L"LocalIP"] = TVariant::Str(L"10.1.2.3");
    page.Values[L"InitialColor"] = TVariant::Str(L"not a colour");
    page.Values[L"AxBorderStyle"] = TVariant::Int(42);
    page.Values[L"ScreenBackgroundColor"] = TVariant::Str(L"255");
    TControlHost loaded;
    ASSERT_HRESULT_SUCCEEDED(loaded.Create(nullptr, &page));
    EXPECT_EQ(page.Asked, names);
    IQovPlayer* p = loaded.Player();
    VARIANT_BOOL autoStart = -1;
    p->get_AutoStart(&autoStart);
    EXPECT_EQ(autoStart, VARIANT_FALSE);
    BSTR ip = nullptr;
    p->get_LocalIP(&ip);
    EXPECT_EQ(Str(ip), L"10.1.2.3");
    LONG v = 0;
    p->get_InitialColor(&v);
    EXPECT_EQ(v, 0xFF0000);
    p->get_ScreenBackgroundColor(&v);
    EXPECT_EQ(v, 255);
    TxActiveFormBorderStyle style = afbRaised;
    p->get_AxBorderStyle(&style);
    EXPECT_EQ(style, afbNone);
}

TEST(OleHost, InterfacesOfTheObject)
{
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IUnknown* control = host.Ole().Control();
    for (const IID* iid : {&IID_IDispatch, &IID_IQovPlayer, &IID_ISupportErrorInfo, &IID_IProvideClassInfo,
                           &IID_IConnectionPointContainer, &IID_IOleObject, &IID_IOleControl, &IID_IOleInPlaceObject,
                           &IID_IOleInPlaceActiveObject, &IID_IViewObject, &IID_IViewObject2, &IID_IDataObject,
                           &IID_IPersistStreamInit, &IID_IPersistStorage, &IID_IPersistPropertyBag,
                           &IID_IPerPropertyBrowsing, &IID_ISpecifyPropertyPages, &IID_IQuickActivate,
                           &IID_ISimpleFrameSite, &IID_IObjectSafety}) {
        IUnknown* p = nullptr;
        EXPECT_HRESULT_SUCCEEDED(control->QueryInterface(*iid, reinterpret_cast<void**>(&p)));
        IUnknown* identity = nullptr;
        if (p) {
            p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
            EXPECT_EQ(identity, control);
            identity->Release();
            p->Release();
        }
    }
    ISpecifyPropertyPages* pages = nullptr;
    control->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages));
    CAUUID list{5, nullptr};
    EXPECT_EQ(pages->GetPages(&list), S_OK);
    EXPECT_EQ(list.cElems, 0u);
    pages->Release();
    IObjectSafety* safety = nullptr;
    control->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety));
    DWORD supported = 0, enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA));
    safety->Release();
    IOleObject* object = nullptr;
    control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object));
    DWORD misc = 0;
    object->GetMiscStatus(DVASPECT_CONTENT, &misc);
    EXPECT_EQ(misc, 205201u);
    object->Release();
}


// Refuses the creation of the control's form window (class TQovPlayerCtrl)
// on this thread, as a system out of window resources would, without a
// reason in the thread's last error.
HHOOK gRefuseForm = nullptr;
LRESULT CALLBACK RefuseFormWindow(int code, WPARAM wParam, LPARAM lParam)
{
    char cls[32] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(reinterpret_cast<HWND>(wParam), cls, sizeof cls) &&
        !strcmp(cls, "TQovPlayerCtrl")) {
        SetLastError(0);
        return 1;
    }
    return CallNextHookEx(gRefuseForm, code, wParam, lParam);
}

TEST(OleHost, AControlWhoseWindowCannotBeMadeIsRefusedWithAFailureCode)
{
    TControlHost host;
    gRefuseForm = SetWindowsHookExA(WH_CBT, RefuseFormWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(gRefuseForm, nullptr);
    SetLastError(0);
    const HRESULT hr = host.Create();
    UnhookWindowsHookEx(gRefuseForm);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(host.Ole().Control(), nullptr);
    EXPECT_EQ(host.Player(), nullptr);
    // Made again once windows can be made.
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    EXPECT_NE(host.Player(), nullptr);
}

// A class factory that answers success without giving an object.
class TEmptyFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override
    {
        *out = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(OleHost, AServerAnsweringSuccessWithoutAnObjectFailsCreate)
{
    TControlHost host;
    // {6D1B3F40-8E2A-4C55-9A71-3B0E5D2C9F18}: this test's class only.
    const CLSID clsid = {0x6d1b3f40, 0x8e2a, 0x4c55, {0x9a, 0x71, 0x3b, 0x0e, 0x5d, 0x2c, 0x9f, 0x18}};
    TEmptyFactory factory;
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        CoRegisterClassObject(clsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
    EXPECT_EQ(host.Ole().Create(clsid), E_NOINTERFACE);
    EXPECT_EQ(host.Ole().Control(), nullptr);
    CoRevokeClassObject(cookie);
}

} // namespace
