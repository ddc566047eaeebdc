// The player control's automation surface without a container: defaults of
// a new instance, the one member boundary (IErrorInfo, DISP_E_EXCEPTION
// through Invoke), WordBool rules, display-mode puts, bad VARIANTs and
// names, and the popup menu's captions for the system's language.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <tlhelp32.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "ControlHost.h"
#include "OwnWindows.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"

using qov::test::ErrorDescription;
using qov::test::TControlHost;
using qov::test::TVariant;

namespace {

// The control window's answer with its popup menu.
constexpr UINT kPopupMenuMessage = WM_APP + 0x101;

std::wstring Str(BSTR b)
{
    std::wstring s = b ? b : L"";
    SysFreeString(b);
    return s;
}

// Opens a local recording and pumps until the control reaches want.
bool OpenAndWait(IQovPlayer* p, const std::string& path, TStatus want)
{
    BSTR name = SysAllocString(std::wstring(path.begin(), path.end()).c_str());
    HRESULT hr = p->Open(name);
    SysFreeString(name);
    TStatus status = vpClosed;
    for (DWORD start = GetTickCount(); SUCCEEDED(hr) && GetTickCount() - start < 15000 && status != want;) {
        TControlHost::Pump(20);
        p->get_Status(&status);
    }
    return status == want;
}

// Threads of this process.
size_t ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return n;
}

std::string SavedRecord(IUnknown* control)
{
    IPersistStreamInit* persist = nullptr;
    control->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
    IStream* stream = nullptr;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    persist->Save(stream, FALSE);
    persist->Release();
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::string bytes(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    stream->Release();
    return bytes;
}

class Automation : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(Host.Create());
        P = Host.Player();
        ASSERT_TRUE(P);
    }
    TControlHost Host;
    IQovPlayer* P = nullptr;
};

TEST_F(Automation, NewInstanceDefaults)
{
    TStatus status = vpPlaying;
    EXPECT_HRESULT_SUCCEEDED(P->get_Status(&status));
    EXPECT_EQ(status, vpClosed);
    TDisplayMode mode = dmFull;
    EXPECT_HRESULT_SUCCEEDED(P->get_DisplayMode(&mode));
    EXPECT_EQ(mode, dmAdaptive);
    VARIANT_BOOL b = 0;
    EXPECT_HRESULT_SUCCEEDED(P->get_AutoStart(&b));
    EXPECT_EQ(b, VARIANT_TRUE);
    b = 0;
    EXPECT_HRESULT_SUCCEEDED(P->get_AutoConnect(&b));
    EXPECT_EQ(b, VARIANT_TRUE);
    b = 0;
    EXPECT_HRESULT_SUCCEEDED(P->get_EnableCache(&b));
    EXPECT_EQ(b, VARIANT_TRUE);
    LONG v = -1;
    EXPECT_HRESULT_SUCCEEDED(P->get_InitialColor(&v));
    EXPECT_EQ(v, 16711680);
    for (auto get : {&IQovPlayer::get_Duration, &IQovPlayer::get_QovWidth, &IQovPlayer::get_QovHeight,
                     &IQovPlayer::get_CurrentPosition, &IQovPlayer::get_MediaTime, &IQovPlayer::get_Max,
                     &IQovPlayer::get_Min, &IQovPlayer::get_ScreenBackgroundColor,
                     &IQovPlayer::get_NailBackgroundColor}) {
        v = -1;
        EXPECT_HRESULT_SUCCEEDED((P->*get)(&v));
        EXPECT_EQ(v, 0);
    }
    for (auto get : {&IQovPlayer::get_URL, &IQovPlayer::get_Host, &IQovPlayer::get_Title,
                     &IQovPlayer::get_ChannelName, &IQovPlayer::get_Author, &IQovPlayer::get_Copyright,
                     &IQovPlayer::get_Description, &IQovPlayer::get_LocalIP}) {
        BSTR s = nullptr;
        EXPECT_HRESULT_SUCCEEDED((P->*get)(&s));
        EXPECT_TRUE(s);  // a new, empty string
        EXPECT_EQ(Str(s), L"");
    }
    BSTR caption = nullptr;
    EXPECT_HRESULT_SUCCEEDED(P->get_Caption(&caption));
    EXPECT_EQ(Str(caption), L"Corvane QovPlayer");
    OLE_COLOR color = 0;
    EXPECT_HRESULT_SUCCEEDED(P->get_Color(&color));
    EXPECT_EQ(color, 0x8000000Fu);  // clBtnFace
}

TEST_F(Automation, MembersWithoutEffectReturnOk)
{
    BSTR text = SysAllocString(L"any script");
    EXPECT_EQ(P->SendScript(text), S_OK);
    EXPECT_EQ(P->Request(text), S_OK);
    SysFreeString(text);
    BSTR blanks = SysAllocString(L"   \t");
    EXPECT_EQ(P->put_URL(blanks), S_OK);
    SysFreeString(blanks);
    BSTR url = nullptr;
    P->get_URL(&url);
    EXPECT_EQ(Str(url), L"");
    EXPECT_EQ(P->put_CurrentPosition(5000), S_OK);  // no play thread: ignored
    LONG pos = -1;
    P->get_CurrentPosition(&pos);
    EXPECT_EQ(pos, 0);
}

// A failing member returns a failing result with the message as the error
// description; through Invoke it is DISP_E_EXCEPTION with the same text.
TEST_F(Automation, MemberBoundarySetsErrorInfo)
{
    EXPECT_EQ(P->get_Status(nullptr), E_POINTER);
    EXPECT_TRUE(FAILED(P->put_AxBorderStyle(static_cast<TxActiveFormBorderStyle>(9))));
    EXPECT_EQ(ErrorDescription(), L"Range check error");
    ISupportErrorInfo* support = nullptr;
    ASSERT_HRESULT_SUCCEEDED(P->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IQovPlayer), S_OK);
    support->Release();

    std::wstring error;
    EXPECT_EQ(Host.Ole().PutProperty(L"AxBorderStyle", TVariant::Int(7), &error), DISP_E_EXCEPTION);
    EXPECT_EQ(error, L"Range check error");
    TxActiveFormBorderStyle style = afbRaised;
    P->get_AxBorderStyle(&style);
    EXPECT_EQ(style, afbNone);  // unchanged
}

// A recording whose header claims 2^31 ms or more: Duration refuses to hand
// out the negative value, by vtable and through Invoke, and the control goes
// on answering.
TEST_F(Automation, NegativeDurationIsARangeError)
{
    auto recording = qov::writer::BuildSampleRecording();
    recording.SetDuration(0x80000000u);
    const std::string path = qov::test::ScratchPath("range_duration.qov");
    recording.Save(path);
    ASSERT_HRESULT_SUCCEEDED(P->put_AutoStart(VARIANT_FALSE));
    ASSERT_TRUE(OpenAndWait(P, path, vpOpened));

    LONG v = 12345;
    EXPECT_TRUE(FAILED(P->get_Duration(&v)));
    EXPECT_EQ(v, 12345);  // out value untouched
    EXPECT_EQ(ErrorDescription(), L"Range check error");
    TVariant got;
    std::wstring error;
    EXPECT_EQ(Host.Ole().GetProperty(L"Duration", &got, &error), DISP_E_EXCEPTION);
    EXPECT_EQ(error, L"Range check error");

    EXPECT_HRESULT_SUCCEEDED(P->get_QovWidth(&v));
    EXPECT_GT(v, 0);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    DeleteFileA(path.c_str());
}

// A control released while it plays closes its source on the way: the
// reader's and play thread's threads end with it.
TEST_F(Automation, ReleasedWhilePlayingEndsItsThreads)
{
    const std::string path = qov::test::ScratchPath("destroy_playing.qov");
    qov::writer::BuildSampleRecording().Save(path);
    // A first playback, so that threads the system keeps for later count as before.
    ASSERT_TRUE(OpenAndWait(P, path, vpPlaying));
    ASSERT_HRESULT_SUCCEEDED(P->Close());
    TControlHost::Pump(200);
    const size_t before = ThreadCount();
    ASSERT_TRUE(OpenAndWait(P, path, vpPlaying));
    EXPECT_GT(ThreadCount(), before);
    Host.Destroy();
    for (DWORD start = GetTickCount(); GetTickCount() - start < 3000 && ThreadCount() > before;)
        TControlHost::Pump(20);
    EXPECT_LE(ThreadCount(), before);
    DeleteFileA(path.c_str());
}

// IQuickActivate: a container that hands over its site and event sink in one
// call gets the misc status and the sink's events.
TEST_F(Automation, QuickActivateConnectsTheSink)
{
    struct TSink final : IDispatch {
        std::vector<DISPID> Fired;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
        {
            *out = (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IQovPlayerEvents) ? this : nullptr;
            return *out ? S_OK : E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
        {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                         UINT*) override
        {
            Fired.push_back(id);
            return S_OK;
        }
    } sink;
    IQuickActivate* quick = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(CLSID_QovPlayerCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IQuickActivate,
                         reinterpret_cast<void**>(&quick)));
    QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pUnkEventSink = &sink;
    QACONTROL control{};
    control.cbSize = sizeof control;
    EXPECT_EQ(quick->QuickActivate(nullptr, &control), E_POINTER);
    ASSERT_EQ(quick->QuickActivate(&container, &control), S_OK);
    EXPECT_EQ(control.dwMiscStatus, 205201u);
    EXPECT_NE(control.dwEventCookie, 0u);
    IQovPlayer* player = nullptr;
    ASSERT_HRESULT_SUCCEEDED(quick->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&player)));
    EXPECT_HRESULT_SUCCEEDED(player->put_DisplayMode(dmOriginal));
    ASSERT_EQ(sink.Fired.size(), 1u);
    EXPECT_EQ(sink.Fired[0], 203);
    player->Release();
    quick->Release();
    EXPECT_EQ(sink.Fired.back(), 6);  // OnDestroy reaches the sink last
}

TEST_F(Automation, WordBoolInAndOut)
{
    // Any value whose low 16 bits are non-zero is true; getters give -1 / 0.
    EXPECT_HRESULT_SUCCEEDED(P->put_AutoStart(static_cast<VARIANT_BOOL>(1)));
    VARIANT_BOOL b = 0;
    P->get_AutoStart(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    EXPECT_HRESULT_SUCCEEDED(P->put_AutoStart(VARIANT_FALSE));
    P->get_AutoStart(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    // Through Invoke an integer 0x10000 converts to a 16-bit value first.
    EXPECT_HRESULT_SUCCEEDED(Host.Ole().PutProperty(L"AutoConnect", TVariant::Int(2)));
    TVariant got;
    EXPECT_HRESULT_SUCCEEDED(Host.Ole().GetProperty(L"AutoConnect", &got));
    EXPECT_EQ(got.vt, VT_BOOL);
    EXPECT_EQ(got.boolVal, VARIANT_TRUE);
}

TEST_F(Automation, DisplayModePutsFireOncePerChange)
{
    EXPECT_HRESULT_SUCCEEDED(P->put_DisplayMode(static_cast<TDisplayMode>(3)));  // nothing
    EXPECT_HRESULT_SUCCEEDED(P->put_DisplayMode(dmAdaptive));                    // same: nothing
    EXPECT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_FALSE));                  // never leaves
    EXPECT_TRUE(Host.EventsOf(203).empty());
    EXPECT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    EXPECT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    EXPECT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_FALSE));
    VARIANT_BOOL full = 0;
    P->get_FullScreen(&full);
    EXPECT_EQ(full, VARIANT_TRUE);
    EXPECT_HRESULT_SUCCEEDED(P->put_DisplayMode(dmOriginal));
    auto events = Host.EventsOf(203);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Args[0].lVal, dmFull);
    EXPECT_EQ(events[1].Args[0].lVal, dmOriginal);
    EXPECT_EQ(events[0].ThreadId, GetCurrentThreadId());
}

TEST_F(Automation, ColoursSwapRedAndBlue)
{
    EXPECT_HRESULT_SUCCEEDED(P->put_ScreenBackgroundColor(0x123456));
    EXPECT_HRESULT_SUCCEEDED(P->put_NailBackgroundColor(static_cast<LONG>(0xFF00FF00u)));  // top byte dropped
    LONG v = 0;
    P->get_ScreenBackgroundColor(&v);
    EXPECT_EQ(v, 0x123456);
    P->get_NailBackgroundColor(&v);
    EXPECT_EQ(v, 0x00FF00);
}

TEST_F(Automation, BadVariantsAndNames)
{
    auto& ole = Host.Ole();
    EXPECT_EQ(ole.PutProperty(L"Caption", TVariant::Str(L"x")), S_OK);
    TVariant unknown;
    EXPECT_EQ(ole.GetProperty(L"NoSuchMember", &unknown), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ole.PutProperty(L"InitialColor", TVariant::Str(L"not a number")), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(ole.CallMethod(L"Play", nullptr, 0), S_OK);
    EXPECT_EQ(ole.PutProperty(L"Status", TVariant::Int(2)), DISP_E_MEMBERNOTFOUND);

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    TVariant result;
    EXPECT_EQ(ole.Dispatch()->Invoke(12345, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(ole.Dispatch()->Invoke(205, IID_IUnknown, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);

    // A font put with something that is not a font.
    TVariant notFont;
    notFont.vt = VT_DISPATCH;
    notFont.pdispVal = ole.Dispatch();
    notFont.pdispVal->AddRef();
    std::wstring error;
    EXPECT_TRUE(FAILED(ole.PutProperty(L"Font", notFont, &error)));
    EXPECT_EQ(P->put_Font(nullptr), E_INVALIDARG);
    EXPECT_EQ(P->put_Font(reinterpret_cast<IFontDisp*>(ole.Dispatch())), E_INVALIDARG);
}

TEST_F(Automation, FontRoundTrip)
{
    IFontDisp* font = nullptr;
    ASSERT_HRESULT_SUCCEEDED(P->get_Font(&font));
    IFont* f = nullptr;
    ASSERT_HRESULT_SUCCEEDED(font->QueryInterface(IID_IFont, reinterpret_cast<void**>(&f)));
    CY size{};
    f->get_Size(&size);
    EXPECT_EQ(size.int64, 82500);  // height 11 at 96 pixels per inch
    BSTR face = SysAllocString(L"DejaVu Serif");
    f->put_Name(face);
    SysFreeString(face);
    f->put_Bold(TRUE);
    size.int64 = 120000;  // 12 pt
    f->put_Size(size);
    f->Release();
    EXPECT_HRESULT_SUCCEEDED(P->put_Font(font));
    font->Release();
    ASSERT_HRESULT_SUCCEEDED(P->get_Font(&font));
    ASSERT_HRESULT_SUCCEEDED(font->QueryInterface(IID_IFont, reinterpret_cast<void**>(&f)));
    // The record carries the new face (one the system has: GDI names what it realises).
    EXPECT_NE(SavedRecord(P).find("DejaVu Serif"), std::string::npos);
    BOOL bold = FALSE;
    f->get_Bold(&bold);
    EXPECT_TRUE(bold);
    f->get_Size(&size);
    EXPECT_EQ(size.int64, 120000);
    f->Release();
    font->Release();
}

// A popup menu's place on the screen, read by WatchMenu, which then ends it.
struct TMenuSeen {
    RECT Rect{-1000, -1000, -1000, -1000};
    bool Found = false;
};

DWORD WINAPI WatchMenu(void* arg)
{
    auto* seen = static_cast<TMenuSeen*>(arg);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        if (HWND menu = qov::test::FindOwnWindow("#32768", nullptr, true)) {
            GetWindowRect(menu, &seen->Rect);
            seen->Found = true;
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
            PostMessageA(menu, WM_CANCELMODE, 0, 0);
            return 0;
        }
    }
    return 1;
}

// A host's own font object: its size is whatever the host says (the
// system's font object answers the size of the font it realised).
class TFakeFont final : public IFont {
public:
    CY Size{};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid != IID_IUnknown && iid != IID_IFont) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IFont*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override
    {
        *name = SysAllocString(L"Arial");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Size(CY* size) override
    {
        *size = Size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Bold(BOOL* v) override { return *v = FALSE, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Italic(BOOL* v) override { return *v = FALSE, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Underline(BOOL* v) override { return *v = FALSE, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Strikethrough(BOOL* v) override { return *v = FALSE, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Charset(SHORT* v) override { return *v = DEFAULT_CHARSET, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Size(CY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Bold(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Italic(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Underline(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Strikethrough(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Weight(SHORT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Weight(SHORT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Charset(SHORT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_hFont(HFONT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IFont**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsEqual(IFont*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetRatio(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryTextMetrics(TEXTMETRICOLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddRefHfont(HFONT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReleaseHfont(HFONT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHdc(HDC) override { return E_NOTIMPL; }
};

// Font sizes whose pixel height is out of range (none, negative, below one
// pixel, beyond 32 bits, or overflowing when multiplied by the pixels per
// inch) fail with the range error the other puts give; the font stays.
TEST_F(Automation, FontSizesOutOfRangeFailWithTheRangeError)
{
    TFakeFont fake;
    auto* f = reinterpret_cast<IFontDisp*>(static_cast<IFont*>(&fake));
    const std::string before = SavedRecord(P);
    struct Case {
        const char* What;
        int64_t Size;  // points x 10000
        LONG Ppi;
    };
    const Case cases[] = {
        {"zero", 0, 96},
        {"negative", -120000, 96},
        {"the smallest", INT64_MIN, 96},
        {"below one pixel", 3000, 96},
        {"1e14 points", 1000000000000000000LL, 96},
        {"the largest", INT64_MAX, 96},
        {"a height of 2^31, whose negation does not fit", 2147483648LL * 7500, 96},
        {"overflowing by the pixels per inch", 1000000000000LL, 0x7FFFFFFF},
    };
    for (const Case& c : cases) {
        fake.Size.int64 = c.Size;
        ASSERT_HRESULT_SUCCEEDED(P->put_PixelsPerInch(c.Ppi));
        EXPECT_TRUE(FAILED(P->put_Font(f))) << c.What;
        EXPECT_EQ(ErrorDescription(), L"Range check error") << c.What;
        ASSERT_HRESULT_SUCCEEDED(P->put_PixelsPerInch(96));
        EXPECT_EQ(SavedRecord(P), before) << c.What;
    }
    // The bounds themselves: one pixel, and a size the pixels per inch of a
    // printer takes.
    for (const Case& c : {Case{"one pixel", 3750, 96}, Case{"72 points at 2400", 720000, 2400}}) {
        fake.Size.int64 = c.Size;
        ASSERT_HRESULT_SUCCEEDED(P->put_PixelsPerInch(c.Ppi));
        EXPECT_HRESULT_SUCCEEDED(P->put_Font(f)) << c.What;
    }
    P->put_PixelsPerInch(96);
    // A size that is not a number, or too large for a CY, never arrives: the
    // system's font object refuses it.
    IFontDisp* font = nullptr;
    ASSERT_HRESULT_SUCCEEDED(P->get_Font(&font));
    for (double size : {std::nan(""), 1e300, -1e300}) {
        DISPPARAMS params{};
        TVariant value;
        value.vt = VT_R8;
        value.dblVal = size;
        DISPID put = DISPID_PROPERTYPUT;
        params.rgvarg = &value;
        params.rgdispidNamedArgs = &put;
        params.cArgs = params.cNamedArgs = 1;
        EXPECT_TRUE(FAILED(font->Invoke(DISPID_FONT_SIZE, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr,
                                        nullptr, nullptr)))
            << size;
    }
    font->Release();
}

// The popup menu from the keyboard (-1, -1) opens at the form's top left
// corner, from the mouse at the point given, on both architectures (LPARAM
// is 64 bits wide on x86_64: the coordinates are what tells).
TEST_F(Automation, ContextMenuOpensWhereItIsAskedFor)
{
    // Away from the screen's corner, where a menu at (-1, -1) would also land.
    RECT was;
    GetWindowRect(Host.Window(), &was);
    SetWindowPos(Host.Window(), nullptr, 120, 90, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_HRESULT_SUCCEEDED(Host.Activate(false));
    const HWND form = Host.Ole().ControlWindow();
    ASSERT_TRUE(form);
    POINT corner{0, 0};
    ClientToScreen(form, &corner);
    ASSERT_EQ(corner.x, 120);

    // Where the menu opened: a thread finds it, reads its place and ends it.
    auto menuAt = [&](LPARAM lp) {
        TMenuSeen seen;
        HANDLE watcher = CreateThread(nullptr, 0, WatchMenu, &seen, 0, nullptr);
        SendMessageA(form, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(form), lp);
        WaitForSingleObject(watcher, 15000);
        CloseHandle(watcher);
        EXPECT_TRUE(seen.Found);
        TControlHost::Pump(100);
        return POINT{seen.Rect.left, seen.Rect.top};
    };
    const POINT keyboard = menuAt(MAKELPARAM(0xFFFF, 0xFFFF));
    EXPECT_EQ(keyboard.x, corner.x);
    EXPECT_EQ(keyboard.y, corner.y);
    const POINT whole = menuAt(static_cast<LPARAM>(-1));
    EXPECT_EQ(whole.x, corner.x);
    EXPECT_EQ(whole.y, corner.y);
    const POINT mouse = menuAt(MAKELPARAM(300, 200));
    EXPECT_EQ(mouse.x, 300);
    EXPECT_EQ(mouse.y, 200);
    SetWindowPos(Host.Window(), nullptr, was.left, was.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The popup menu: the form's Chinese captions (GBK) when the system's
// default language is Chinese (PRC), else the English ones.
TEST_F(Automation, MenuCaptionsFollowTheSystemLanguage)
{
    IOleWindow* window = nullptr;
    ASSERT_HRESULT_SUCCEEDED(P->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&window)));
    HWND form = nullptr;
    window->GetWindow(&form);
    window->Release();
    HMENU menu = reinterpret_cast<HMENU>(SendMessageA(form, kPopupMenuMessage, 0, 0));
    ASSERT_TRUE(menu);
    auto caption = [](HMENU m, UINT pos) {
        char text[128] = "";
        GetMenuStringA(m, pos, text, sizeof text, MF_BYPOSITION);
        return std::string(text);
    };
    const bool chinese = GetSystemDefaultLangID() == 0x0804;
    HMENU modes = GetSubMenu(menu, 0);
    ASSERT_TRUE(modes);
    ASSERT_EQ(GetMenuItemCount(menu), 5);
    EXPECT_EQ(GetMenuItemID(menu, 1), 0u);  // separators
    EXPECT_EQ(GetMenuItemID(menu, 3), 0u);
    if (chinese) {
        EXPECT_EQ(caption(menu, 0), "显示模式");
        EXPECT_EQ(caption(modes, 0), "全屏幕(双击鼠标左键)");
        EXPECT_EQ(caption(modes, 1), "实际大小");
        EXPECT_EQ(caption(modes, 2), "自适应");
        EXPECT_EQ(caption(menu, 2), "统计信息");
        EXPECT_EQ(caption(menu, 4), "关于");
    } else {
        EXPECT_EQ(caption(menu, 0), "Display Mode");
        EXPECT_EQ(caption(modes, 0), "Full screen (Double Click)");
        EXPECT_EQ(caption(modes, 1), "Original size");
        EXPECT_EQ(caption(modes, 2), "Full of window");
        EXPECT_EQ(caption(menu, 2), "Statistic");
        EXPECT_EQ(caption(menu, 4), "About");
    }
    std::printf("menu language 0x%04x\n", GetSystemDefaultLangID());
}

} // namespace
