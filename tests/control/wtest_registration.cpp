// QovPlayer.ocx as a COM server: the type library read back through
// ITypeLib/ITypeInfo against the table hosts compile against, and the
// registry keys regsvr32 leaves (the test prefix is registered by the test
// fixture; register_roundtrip.sh runs the unregister case in a scratch
// prefix, with QOV_EXPECT_UNREGISTERED=1, and the blank-path case with
// QOV_REGISTERED_PATH).
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "QovPlayerTLB.h"
#include "WinePaths.h"

namespace {

std::string ExeFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.rfind('\\') + 1);
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

struct TTypeLib {
    ITypeLib* Lib = nullptr;
    TTypeLib()
    {
        HRESULT hr = LoadTypeLibEx(Wide(ExeFolder() + "QovPlayer.ocx").c_str(), REGKIND_NONE, &Lib);
        EXPECT_HRESULT_SUCCEEDED(hr);
    }
    ~TTypeLib()
    {
        if (Lib)
            Lib->Release();
    }
    ITypeInfo* Info(REFGUID guid)
    {
        ITypeInfo* info = nullptr;
        EXPECT_HRESULT_SUCCEEDED(Lib->GetTypeInfoOfGuid(guid, &info));
        return info;
    }
    // The vtable side of a dual interface.
    ITypeInfo* VtableInfo(REFGUID guid)
    {
        ITypeInfo* dispatch = Info(guid);
        ITypeInfo* info = nullptr;
        HREFTYPE ref = 0;
        if (dispatch && SUCCEEDED(dispatch->GetRefTypeOfImplType(-1, &ref)))
            dispatch->GetRefTypeInfo(ref, &info);
        if (dispatch)
            dispatch->Release();
        return info;
    }
};

std::wstring Doc(ITypeInfo* info, MEMBERID id, std::wstring* help = nullptr)
{
    BSTR name = nullptr, doc = nullptr;
    info->GetDocumentation(id, &name, &doc, nullptr, nullptr);
    std::wstring n = name ? name : L"";
    if (help)
        *help = doc ? doc : L"";
    SysFreeString(name);
    SysFreeString(doc);
    return n;
}

// A type as text: VARIANT_BOOL, long, short, BSTR, a user-defined type's
// name, "*T" for a pointer.
std::wstring TypeText(ITypeInfo* info, const TYPEDESC& t)
{
    switch (t.vt) {
    case VT_PTR: return L"*" + TypeText(info, *t.lptdesc);
    case VT_BOOL: return L"VARIANT_BOOL";
    case VT_I4: return L"long";
    case VT_I2: return L"short";
    case VT_BSTR: return L"BSTR";
    case VT_HRESULT: return L"HRESULT";
    case VT_VOID: return L"void";
    case VT_USERDEFINED: {
        ITypeInfo* ref = nullptr;
        if (FAILED(info->GetRefTypeInfo(t.hreftype, &ref)))
            return L"?";
        std::wstring n = Doc(ref, MEMBERID_NIL);
        ref->Release();
        return n;
    }
    default: return L"vt" + std::to_wstring(t.vt);
    }
}

struct TMember {
    const wchar_t* Name;
    DISPID Id;
    INVOKEKIND Kind;
    bool Hidden;
    const wchar_t* Type;   // value type; empty: none
    const wchar_t* Param;  // parameter name
};

constexpr INVOKEKIND G = INVOKE_PROPERTYGET, P = INVOKE_PROPERTYPUT, M = INVOKE_FUNC;

// IQovPlayer in vtable order.
const TMember kMembers[] = {
    {L"Visible", 1, G, true, L"VARIANT_BOOL", L"Value"}, {L"Visible", 1, P, true, L"VARIANT_BOOL", L"Value"},
    {L"AutoScroll", 2, G, false, L"VARIANT_BOOL", L"Value"}, {L"AutoScroll", 2, P, false, L"VARIANT_BOOL", L"Value"},
    {L"AutoSize", 3, G, false, L"VARIANT_BOOL", L"Value"}, {L"AutoSize", 3, P, false, L"VARIANT_BOOL", L"Value"},
    {L"AxBorderStyle", 4, G, false, L"TxActiveFormBorderStyle", L"Value"},
    {L"AxBorderStyle", 4, P, false, L"TxActiveFormBorderStyle", L"Value"},
    {L"Caption", -518, G, false, L"BSTR", L"Value"}, {L"Caption", -518, P, false, L"BSTR", L"Value"},
    {L"Color", -501, G, false, L"OLE_COLOR", L"Value"}, {L"Color", -501, P, false, L"OLE_COLOR", L"Value"},
    {L"Font", -512, G, false, L"*IFontDisp", L"Value"}, {L"Font", -512, P, false, L"*IFontDisp", L"Value"},
    {L"KeyPreview", 5, G, false, L"VARIANT_BOOL", L"Value"}, {L"KeyPreview", 5, P, false, L"VARIANT_BOOL", L"Value"},
    {L"PixelsPerInch", 6, G, false, L"long", L"Value"}, {L"PixelsPerInch", 6, P, false, L"long", L"Value"},
    {L"PrintScale", 7, G, false, L"TxPrintScale", L"Value"}, {L"PrintScale", 7, P, false, L"TxPrintScale", L"Value"},
    {L"Scaled", 8, G, false, L"VARIANT_BOOL", L"Value"}, {L"Scaled", 8, P, false, L"VARIANT_BOOL", L"Value"},
    {L"Active", 9, G, true, L"VARIANT_BOOL", L"Value"},
    {L"DropTarget", 10, G, true, L"VARIANT_BOOL", L"Value"}, {L"DropTarget", 10, P, true, L"VARIANT_BOOL", L"Value"},
    {L"HelpFile", 11, G, true, L"BSTR", L"Value"}, {L"HelpFile", 11, P, true, L"BSTR", L"Value"},
    {L"DoubleBuffered", 12, G, true, L"VARIANT_BOOL", L"Value"},
    {L"DoubleBuffered", 12, P, true, L"VARIANT_BOOL", L"Value"},
    {L"VisibleDockClientCount", 13, G, true, L"long", L"Value"},
    {L"Enabled", -514, G, true, L"VARIANT_BOOL", L"Value"}, {L"Enabled", -514, P, true, L"VARIANT_BOOL", L"Value"},
    {L"Cursor", 14, G, false, L"short", L"Value"}, {L"Cursor", 14, P, false, L"short", L"Value"},
    {L"LoadFile", 15, M, false, L"BSTR", L"Filename"}, {L"SendScript", 16, M, false, L"BSTR", L"Str"},
    {L"Open", 19, M, false, L"BSTR", L"Filename"},
    {L"DisplayMode", 18, G, false, L"TDisplayMode", L"Value"}, {L"DisplayMode", 18, P, false, L"TDisplayMode", L"Value"},
    {L"Play", 22, M, false, L"", L""}, {L"Pause", 23, M, false, L"", L""}, {L"Stop", 24, M, false, L"", L""},
    {L"Close", 25, M, false, L"", L""}, {L"FastForward", 26, M, false, L"", L""},
    {L"FastReverse", 27, M, false, L"", L""},
    {L"CurrentPosition", 28, G, false, L"long", L"Milliseconds"},
    {L"CurrentPosition", 28, P, false, L"long", L"Milliseconds"},
    {L"Duration", 21, G, false, L"long", L"Value"},
    {L"ScreenBackgroundColor", 17, G, false, L"long", L"Value"},
    {L"ScreenBackgroundColor", 17, P, false, L"long", L"Value"},
    {L"NailBackgroundColor", 20, G, false, L"long", L"Value"},
    {L"NailBackgroundColor", 20, P, false, L"long", L"Value"},
    {L"LocalIP", 29, G, false, L"BSTR", L"Value"}, {L"LocalIP", 29, P, false, L"BSTR", L"Value"},
    {L"Max", 201, G, false, L"long", L"Value"}, {L"Min", 202, G, false, L"long", L"Value"},
    {L"FullScreen", 203, G, false, L"VARIANT_BOOL", L"Value"}, {L"FullScreen", 203, P, false, L"VARIANT_BOOL", L"Value"},
    {L"URL", 204, G, false, L"BSTR", L"Value"}, {L"URL", 204, P, false, L"BSTR", L"Value"},
    {L"Status", 205, G, false, L"TStatus", L"Value"},
    {L"AutoStart", 206, G, false, L"VARIANT_BOOL", L"Value"}, {L"AutoStart", 206, P, false, L"VARIANT_BOOL", L"Value"},
    {L"QovWidth", 207, G, false, L"long", L"Value"}, {L"QovHeight", 208, G, false, L"long", L"Value"},
    {L"InitialColor", 209, G, false, L"long", L"Value"}, {L"InitialColor", 209, P, false, L"long", L"Value"},
    {L"Host", 210, G, false, L"BSTR", L"Value"}, {L"ChannelName", 211, G, false, L"BSTR", L"Value"},
    {L"Title", 212, G, false, L"BSTR", L"Value"}, {L"Author", 213, G, false, L"BSTR", L"Value"},
    {L"Copyright", 214, G, false, L"BSTR", L"Value"}, {L"Description", 215, G, false, L"BSTR", L"Value"},
    {L"AutoConnect", 216, G, false, L"VARIANT_BOOL", L"Value"},
    {L"AutoConnect", 216, P, false, L"VARIANT_BOOL", L"Value"},
    {L"Request", 217, M, false, L"BSTR", L"Command"}, {L"MediaTime", 218, G, false, L"long", L"Value"},
    {L"EnableCache", 219, G, false, L"VARIANT_BOOL", L"Value"},
    {L"EnableCache", 219, P, false, L"VARIANT_BOOL", L"Value"},
};

// IQovPlayerEvents in declaration order.
const TMember kEvents[] = {
    {L"OnActivate", 1, M, false, L"", L""}, {L"OnClick", 2, M, false, L"", L""},
    {L"OnCreate", 3, M, false, L"", L""}, {L"OnDblClick", 5, M, false, L"", L""},
    {L"OnDestroy", 6, M, false, L"", L""}, {L"OnDeactivate", 7, M, false, L"", L""},
    {L"OnKeyPress", 11, M, false, L"*short", L"Key"}, {L"OnPaint", 16, M, false, L"", L""},
    {L"OnSkip", 4, M, false, L"long", L"Seconds"}, {L"OnPlayStateChanged", 201, M, false, L"TStatus", L"NewState"},
    {L"OnPositionChanged", 202, M, false, L"long", L"NewPosition"},
    {L"OnDisplayModeChanged", 203, M, false, L"TDisplayMode", L"NewMode"},
    {L"OnScript", 204, M, false, L"BSTR", L"Script"}, {L"OnIndex", 205, M, false, L"BSTR", L"Index"},
    {L"OnStreamSample", 206, M, false, L"long", L"Data"}, {L"OnString", 207, M, false, L"BSTR", L"Str"},
};

struct TEnum {
    const GUID* Guid;
    const wchar_t* Name;
    const wchar_t* Help;
    std::vector<std::pair<const wchar_t*, LONG>> Values;
};

void CheckMembers(ITypeInfo* info, const TMember* rows, size_t count, bool dispOnly)
{
    TYPEATTR* attr = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
    ASSERT_EQ(attr->cFuncs, count);
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        const TMember& m = rows[i];
        SCOPED_TRACE(testing::Message() << "member " << i << " " << std::string(m.Name, m.Name + wcslen(m.Name)));
        FUNCDESC* f = nullptr;
        ASSERT_HRESULT_SUCCEEDED(info->GetFuncDesc(i, &f));
        EXPECT_EQ(f->memid, m.Id);
        EXPECT_EQ(f->invkind, m.Kind);
        EXPECT_EQ((f->wFuncFlags & FUNCFLAG_FHIDDEN) != 0, m.Hidden);
        EXPECT_EQ(Doc(info, f->memid), m.Name);
        if (dispOnly) {
            EXPECT_EQ(f->funckind, FUNC_DISPATCH);
            EXPECT_EQ(TypeText(info, f->elemdescFunc.tdesc), L"void");
        } else {
            EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
            EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
            EXPECT_EQ(TypeText(info, f->elemdescFunc.tdesc), L"HRESULT");
        }
        if (*m.Type) {
            ASSERT_EQ(f->cParams, 1);
            std::wstring type = TypeText(info, f->lprgelemdescParam[0].tdesc);
            std::wstring want = m.Type;
            if (m.Kind == G)
                want = L"*" + want;
            EXPECT_EQ(type, want);
            // Parameter names: the getter of a pair carries them.
            if (m.Kind != P) {
                BSTR names[2] = {nullptr, nullptr};
                UINT got = 0;
                info->GetNames(f->memid, names, 2, &got);
                ASSERT_EQ(got, 2u);
                EXPECT_STREQ(names[1], m.Param);
                SysFreeString(names[0]);
                SysFreeString(names[1]);
            }
        } else {
            EXPECT_EQ(f->cParams, 0);
        }
        info->ReleaseFuncDesc(f);
    }
}

TEST(TypeLibrary, IdentitiesAndHelpStrings)
{
    TTypeLib tlb;
    ASSERT_TRUE(tlb.Lib);
    TLIBATTR* la = nullptr;
    ASSERT_HRESULT_SUCCEEDED(tlb.Lib->GetLibAttr(&la));
    EXPECT_EQ(la->guid, LIBID_QovPlayerTLB);
    EXPECT_EQ(la->lcid, 0x409u);
    EXPECT_EQ(la->wMajorVerNum, 1);
    EXPECT_EQ(la->wMinorVerNum, 0);
    EXPECT_EQ(la->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    tlb.Lib->ReleaseTLibAttr(la);
    BSTR name = nullptr, help = nullptr;
    tlb.Lib->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    EXPECT_STREQ(name, L"QovPlayerTLB");
    EXPECT_STREQ(help, L"Corvane QovPlayer ActiveX Control");
    SysFreeString(name);
    SysFreeString(help);

    struct TKind {
        const GUID* Guid;
        const wchar_t* Name;
        TYPEKIND Kind;
        WORD Flags;
        const wchar_t* Help;
    } kinds[] = {
        {&CLSID_QovPlayerCtrl, L"QovPlayerCtrl", TKIND_COCLASS, TYPEFLAG_FCONTROL | TYPEFLAG_FCANCREATE,
         L"Corvane QovPlayer Control"},
        {&IID_IQovPlayer, L"IQovPlayer", TKIND_INTERFACE, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
         L"Dispatch interface for QovPlayer Control"},
        {&DIID_IQovPlayerEvents, L"IQovPlayerEvents", TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE,
         L"Events interface for QovPlayer Control"},
    };
    for (const auto& k : kinds) {
        ITypeInfo* info = k.Kind == TKIND_INTERFACE ? tlb.VtableInfo(*k.Guid) : tlb.Info(*k.Guid);
        ASSERT_TRUE(info);
        TYPEATTR* a = nullptr;
        ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&a));
        EXPECT_EQ(a->typekind, k.Kind);
        EXPECT_EQ(a->wTypeFlags & k.Flags, k.Flags);
        info->ReleaseTypeAttr(a);
        std::wstring h;
        EXPECT_EQ(Doc(info, MEMBERID_NIL, &h), k.Name);
        EXPECT_EQ(h, k.Help);
        info->Release();
    }

    // The coclass: default interface IQovPlayer, default source IQovPlayerEvents.
    ITypeInfo* coclass = tlb.Info(CLSID_QovPlayerCtrl);
    ASSERT_TRUE(coclass);
    INT flags[2] = {0, 0};
    std::wstring names[2];
    for (UINT i = 0; i < 2; ++i) {
        HREFTYPE ref;
        ITypeInfo* impl = nullptr;
        coclass->GetImplTypeFlags(i, &flags[i]);
        ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref));
        ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeInfo(ref, &impl));
        names[i] = Doc(impl, MEMBERID_NIL);
        impl->Release();
    }
    coclass->Release();
    EXPECT_EQ(names[0], L"IQovPlayer");
    EXPECT_EQ(flags[0], IMPLTYPEFLAG_FDEFAULT);
    EXPECT_EQ(names[1], L"IQovPlayerEvents");
    EXPECT_EQ(flags[1], IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
}

TEST(TypeLibrary, Enumerations)
{
    static const GUID kStatus = {0x38885136, 0xF598, 0x42E5, {0xA1, 0x9A, 0xBF, 0xB6, 0xE1, 0x28, 0x6E, 0xE6}};
    static const GUID kMode = {0xBD977ADB, 0x4C71, 0x4540, {0x9D, 0xB4, 0xBF, 0xA6, 0xC6, 0x31, 0xD6, 0xFC}};
    static const GUID kBorder = {0xD235BB38, 0x8FB0, 0x4775, {0xB6, 0x62, 0x14, 0xA3, 0x34, 0x6A, 0xB7, 0x3E}};
    static const GUID kPrint = {0xAA6C7CC5, 0x840D, 0x463F, {0x86, 0xAC, 0x19, 0x54, 0xA7, 0x40, 0xFA, 0x0D}};
    static const GUID kMouse = {0x9234DFFE, 0xA40F, 0x4887, {0x87, 0x8B, 0x1A, 0x51, 0xBA, 0x08, 0xA4, 0xCF}};
    const TEnum enums[] = {
        {&kStatus, L"TStatus", L"Corvane QovPlayer Status",
         {{L"vpClosed", 0}, {L"vpOpened", 1}, {L"vpPlaying", 2}, {L"vpPaused", 3}, {L"vpStopped", 4},
          {L"vpScanForward", 5}, {L"vpScanReverse", 6}, {L"vpOpening", 7}, {L"vpSeeking", 8}}},
        {&kMode, L"TDisplayMode", L"Qov Content Display Mode", {{L"dmAdaptive", 0}, {L"dmFull", 1}, {L"dmOriginal", 2}}},
        {&kBorder, L"TxActiveFormBorderStyle", L"",
         {{L"afbNone", 0}, {L"afbSingle", 1}, {L"afbSunken", 2}, {L"afbRaised", 3}}},
        {&kPrint, L"TxPrintScale", L"", {{L"poNone", 0}, {L"poProportional", 1}, {L"poPrintToFit", 2}}},
        {&kMouse, L"TxMouseButton", L"", {{L"mbLeft", 0}, {L"mbRight", 1}, {L"mbMiddle", 2}}},
    };
    TTypeLib tlb;
    ASSERT_TRUE(tlb.Lib);
    for (const auto& e : enums) {
        ITypeInfo* info = tlb.Info(*e.Guid);
        ASSERT_TRUE(info);
        std::wstring help;
        EXPECT_EQ(Doc(info, MEMBERID_NIL, &help), e.Name);
        EXPECT_EQ(help, e.Help);
        TYPEATTR* a = nullptr;
        ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&a));
        EXPECT_EQ(a->typekind, TKIND_ENUM);
        ASSERT_EQ(a->cVars, e.Values.size());
        info->ReleaseTypeAttr(a);
        for (UINT i = 0; i < e.Values.size(); ++i) {
            VARDESC* v = nullptr;
            ASSERT_HRESULT_SUCCEEDED(info->GetVarDesc(i, &v));
            EXPECT_EQ(Doc(info, v->memid), e.Values[i].first);
            EXPECT_EQ(v->lpvarValue->vt, VT_I4);
            EXPECT_EQ(v->lpvarValue->lVal, e.Values[i].second);
            info->ReleaseVarDesc(v);
        }
        info->Release();
    }
}

TEST(TypeLibrary, AutomationInterfaceInVtableOrder)
{
    TTypeLib tlb;
    ASSERT_TRUE(tlb.Lib);
    ITypeInfo* info = tlb.VtableInfo(IID_IQovPlayer);
    ASSERT_TRUE(info);
    CheckMembers(info, kMembers, std::size(kMembers), false);
    info->Release();
}

TEST(TypeLibrary, EventInterface)
{
    TTypeLib tlb;
    ASSERT_TRUE(tlb.Lib);
    ITypeInfo* info = tlb.Info(DIID_IQovPlayerEvents);
    ASSERT_TRUE(info);
    CheckMembers(info, kEvents, std::size(kEvents), true);
    for (DISPID id = 204; id <= 207; ++id) {
        std::wstring help;
        Doc(info, id, &help);
        EXPECT_EQ(help.empty(), id == 207) << id;
    }
    info->Release();
    // The worker-thread note is stored as GBK bytes.
    HMODULE ocx = LoadLibraryExA((ExeFolder() + "QovPlayer.ocx").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(ocx);
    HRSRC res = FindResourceA(ocx, MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_TRUE(res);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(ocx, res)));
    std::string data(bytes, SizeofResource(ocx, res));
    const std::string note = "在工作线程中调用";  // GBK at run time
    size_t count = 0;
    for (size_t at = data.find(note); at != std::string::npos; at = data.find(note, at + 1))
        ++count;
    EXPECT_GE(count, 1u);
    FreeLibrary(ocx);
}

// ---------------------------------------------------------------------------
// Registry

std::string ClsidKey()
{
    return "CLSID\\{339C1EE2-1029-46B8-81F1-360217F26FC4}";
}

bool KeyExists(const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string Value(const std::string& path, const char* name = nullptr)
{
    char buf[1024];
    DWORD size = sizeof buf;
    DWORD type = 0;
    if (RegGetValueA(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, &type, buf, &size) != ERROR_SUCCESS)
        return "<none>";
    return buf;
}

bool ExpectUnregistered()
{
    const char* v = std::getenv("QOV_EXPECT_UNREGISTERED");
    return v && *v == '1';
}

TEST(Registration, KeysOfTheClass)
{
    if (ExpectUnregistered())
        GTEST_SKIP() << "checking the unregistered state";
    const std::string k = ClsidKey();
    EXPECT_EQ(Value(k), "Corvane QovPlayer Control");
    const std::string path = Value(k + "\\InprocServer32");
    EXPECT_EQ(path.find(' '), std::string::npos) << path;
    char longPath[MAX_PATH] = "";
    GetLongPathNameA(path.c_str(), longPath, MAX_PATH);
    const char* expected = std::getenv("QOV_REGISTERED_PATH");
    std::string want = expected ? expected : ExeFolder() + "QovPlayer.ocx";
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, longPath, -1, want.c_str(), -1), CSTR_EQUAL)
        << longPath << " vs " << want;
    EXPECT_EQ(Value(k + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(k + "\\ProgID"), "QovPlayerTLB.QovPlayerCtrl");
    EXPECT_EQ(Value(k + "\\TypeLib"), "{F951D194-4CA5-4A87-BF94-5E14E2DF9A95}");
    EXPECT_EQ(Value(k + "\\Version"), "1.0");
    EXPECT_EQ(Value(k + "\\MiscStatus"), "0");
    EXPECT_EQ(Value(k + "\\MiscStatus\\1"), "205201");
    EXPECT_EQ(Value(k + "\\ToolboxBitmap32"), path + ",1");
    EXPECT_TRUE(KeyExists(k + "\\Control"));
    EXPECT_TRUE(KeyExists(k + "\\Verb"));
    EXPECT_EQ(Value(k + "\\Verb\\0"), "Properties,0,2");
    EXPECT_EQ(Value("QovPlayerTLB.QovPlayerCtrl"), "Corvane QovPlayer Control");
    EXPECT_EQ(Value("QovPlayerTLB.QovPlayerCtrl\\Clsid"), "{339C1EE2-1029-46B8-81F1-360217F26FC4}");
    EXPECT_TRUE(KeyExists("TypeLib\\{F951D194-4CA5-4A87-BF94-5E14E2DF9A95}\\1.0"));

    // The class loads from the registered path.
    CoInitialize(nullptr);
    IUnknown* unknown = nullptr;
    EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_QovPlayerCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                              reinterpret_cast<void**>(&unknown)));
    if (unknown)
        unknown->Release();
    CoUninitialize();
}

TEST(Registration, NothingLeftAfterUnregister)
{
    if (!ExpectUnregistered())
        GTEST_SKIP() << "runs in a scratch prefix after regsvr32 /u";
    EXPECT_FALSE(KeyExists(ClsidKey()));
    EXPECT_FALSE(KeyExists("QovPlayerTLB.QovPlayerCtrl"));
    EXPECT_FALSE(KeyExists("TypeLib\\{F951D194-4CA5-4A87-BF94-5E14E2DF9A95}"));
    EXPECT_FALSE(KeyExists("Interface\\{E9F66D1D-675B-44C9-A08F-B92B386A7A27}"));
}

} // namespace
