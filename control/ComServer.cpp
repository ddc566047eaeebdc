// The COM server of QovPlayer.ocx: the class factory of the player control,
// the module's entry points for COM (DllGetClassObject, DllCanUnloadNow,
// DllRegisterServer, DllUnregisterServer), the registry keys of the class,
// the type library cache and the automation member boundary.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "ComSupport.h"
#include "EDecision.h"
#include "ESafeCall.h"
#include "QovPlayerCtrl.h"
#include "SysUtils.h"
#include "UnitLog.h"

namespace qov {

const char* const kControlProgID = "QovPlayerTLB.QovPlayerCtrl";
const char* const kControlDescription = "Corvane QovPlayer Control";

namespace {

std::atomic<LONG> gModuleCount{0};
std::mutex gTypeLibLock;
ITypeLib* gTypeLib = nullptr;

HINSTANCE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

std::string GuidText(REFGUID guid)
{
    wchar_t wide[40];
    StringFromGUID2(guid, wide, 40);
    return AnsiOf(wide);
}

// ---------------------------------------------------------------------------
// Class factory of the control.

class TControlFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return QueryOne<IClassFactory>(this, IID_IClassFactory, iid, out);
    }
    // The factory is static: its references only hold the module.
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ModuleAddRef();
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ModuleRelease();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return CreateQovPlayerCtrl(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ModuleAddRef();
        else
            ModuleRelease();
        return S_OK;
    }
};

TControlFactory gFactory;

// ---------------------------------------------------------------------------
// Registry keys of the class.

void SetKey(HKEY root, const std::string& path, const char* name, const std::string& value)
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        throw EOleError(HRESULT_FROM_WIN32(rc), "Cannot create registry key " + path);
    rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        throw EOleError(HRESULT_FROM_WIN32(rc), "Cannot write registry value of " + path);
}

void MakeKey(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        throw EOleError(HRESULT_FROM_WIN32(rc), "Cannot create registry key " + path);
    RegCloseKey(key);
}

// The library's path as the registry holds it: its short form when it holds
// a blank (hosts that split command lines at blanks still find it).
std::string RegisteredPath()
{
    std::string path = ModulePath();
    if (path.find(' ') != std::string::npos) {
        char shortPath[MAX_PATH];
        DWORD n = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            path.assign(shortPath, n);
    }
    return path;
}

SYSKIND TargetSysKind()
{
    return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
}

void RegisterClassKeys()
{
    const std::string clsid = GuidText(CLSID_QovPlayerCtrl);
    const std::string key = "CLSID\\" + clsid;
    const std::string path = RegisteredPath();
    SetKey(HKEY_CLASSES_ROOT, key, nullptr, kControlDescription);
    SetKey(HKEY_CLASSES_ROOT, key + "\\InprocServer32", nullptr, path);
    SetKey(HKEY_CLASSES_ROOT, key + "\\InprocServer32", "ThreadingModel", "Apartment");
    SetKey(HKEY_CLASSES_ROOT, key + "\\ProgID", nullptr, kControlProgID);
    SetKey(HKEY_CLASSES_ROOT, key + "\\TypeLib", nullptr, GuidText(LIBID_QovPlayerTLB));
    SetKey(HKEY_CLASSES_ROOT, key + "\\Version", nullptr, "1.0");
    SetKey(HKEY_CLASSES_ROOT, key + "\\MiscStatus", nullptr, "0");
    SetKey(HKEY_CLASSES_ROOT, key + "\\MiscStatus\\1", nullptr, std::to_string(kControlMiscStatus));
    SetKey(HKEY_CLASSES_ROOT, key + "\\ToolboxBitmap32", nullptr, path + ",1");
    MakeKey(HKEY_CLASSES_ROOT, key + "\\Control");
    MakeKey(HKEY_CLASSES_ROOT, key + "\\Verb");
    SetKey(HKEY_CLASSES_ROOT, key + "\\Verb\\0", nullptr, "Properties,0,2");
    SetKey(HKEY_CLASSES_ROOT, kControlProgID, nullptr, kControlDescription);
    SetKey(HKEY_CLASSES_ROOT, std::string(kControlProgID) + "\\Clsid", nullptr, clsid);

    ITypeLib* lib = nullptr;
    HRESULT hr = GetQovTypeLib(&lib);
    if (FAILED(hr))
        throw EOleError(hr, "Cannot load the type library");
    std::wstring widePath = WideOf(ModulePath());
    hr = RegisterTypeLib(lib, const_cast<LPOLESTR>(widePath.c_str()), nullptr);
    lib->Release();
    if (FAILED(hr))
        throw EOleError(hr, "Cannot register the type library");
}

void DeleteTree(HKEY root, const std::string& path)
{
    LONG rc = RegDeleteTreeA(root, path.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        RegDeleteKeyA(root, path.c_str());
}

void UnregisterClassKeys()
{
    DeleteTree(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(CLSID_QovPlayerCtrl));
    DeleteTree(HKEY_CLASSES_ROOT, kControlProgID);
    UnRegisterTypeLib(LIBID_QovPlayerTLB, 1, 0, 0x409, TargetSysKind());
}

} // namespace

// ---------------------------------------------------------------------------

HINSTANCE ModuleInstance()
{
    static HINSTANCE instance = ThisModule();
    return instance;
}

std::string ModulePath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(ModuleInstance(), path, MAX_PATH);
    return std::string(path, n < MAX_PATH ? n : 0);
}

void ModuleAddRef()
{
    ++gModuleCount;
}

void ModuleRelease()
{
    --gModuleCount;
}

LONG ModuleCount()
{
    return gModuleCount.load();
}

HRESULT GetQovTypeLib(ITypeLib** lib)
{
    if (!lib)
        return E_POINTER;
    *lib = nullptr;
    std::lock_guard<std::mutex> hold(gTypeLibLock);
    if (!gTypeLib) {
        std::wstring path = WideOf(ModulePath());
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &gTypeLib);
        if (FAILED(hr)) {
            gTypeLib = nullptr;
            return hr;
        }
    }
    gTypeLib->AddRef();
    *lib = gTypeLib;
    return S_OK;
}

HRESULT GetQovTypeInfo(REFGUID guid, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    ITypeLib* lib = nullptr;
    HRESULT hr = GetQovTypeLib(&lib);
    if (FAILED(hr))
        return hr;
    hr = lib->GetTypeInfoOfGuid(guid, info);
    lib->Release();
    return hr;
}

void ReleaseQovTypeLib()
{
    std::lock_guard<std::mutex> hold(gTypeLibLock);
    if (gTypeLib)
        gTypeLib->Release();
    gTypeLib = nullptr;
}

namespace {

void RunMemberBody(void* data)
{
    auto* call = static_cast<TMemberCall*>(data);
    call->Run(call->Body);
}

int32_t MemberFailed(void* data) noexcept
{
    return MemberFailure(*static_cast<TMemberCall*>(data)->Iid);
}

} // namespace

HRESULT RunMember(TMemberCall& call) noexcept
{
    return exceptions::RunSafeCall(&RunMemberBody, &call, &MemberFailed);
}

HRESULT MemberFailure(REFIID iid) noexcept
{
    // Reported before the error info is set: the report may use COM on this
    // thread.
    exceptions::ReportSafeCallException(ModuleInstance());
    HRESULT result = E_UNEXPECTED;
    std::string message;
    std::exception_ptr error = std::current_exception();
    try {
        std::rethrow_exception(error);
    } catch (const EOleError& e) {
        result = e.Result();
        message = e.what();
    } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
        message = "Out of memory";
    } catch (const EOutOfMemory& e) {
        result = E_OUTOFMEMORY;
        message = e.what();
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown failure";
    }
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        std::wstring description = WideOf(message);
        std::wstring source = WideOf(kControlProgID);
        create->SetGUID(iid);
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return FAILED(result) ? result : E_UNEXPECTED;
}

void HandlerFailure(const char* where) noexcept
{
    exceptions::HandleApplicationException(ModuleInstance());
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            Log().AddLine(Format("QovPlayer.ocx -> %s: %s", where, e.what()));
        } catch (...) {
            Log().AddLine(Format("QovPlayer.ocx -> %s: unknown exception", where));
        }
    } catch (...) {
    }
}

std::string AnsiOf(const wchar_t* text)
{
    if (!text || !*text)
        return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WideOf(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

BSTR NewBstr(const std::string& ansi)
{
    std::wstring wide = WideOf(ansi);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b)
        throw EOutOfMemory("Out of memory");
    return b;
}

} // namespace qov

// ---------------------------------------------------------------------------
// The module's COM entry points (QovPlayer.def exports them by name).

extern "C" {

HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_QovPlayerCtrl)
        return CLASS_E_CLASSNOTAVAILABLE;
    return qov::gFactory.QueryInterface(iid, out);
}

HRESULT __stdcall DllCanUnloadNow()
{
    if (qov::ModuleCount() > 0)
        return S_FALSE;
    qov::ReleaseQovTypeLib();
    return S_OK;
}

HRESULT __stdcall DllRegisterServer()
{
    try {
        qov::RegisterClassKeys();
        return S_OK;
    } catch (const qov::EOleError& e) {
        qov::HandlerFailure("DllRegisterServer");
        return e.Result();
    } catch (...) {
        qov::HandlerFailure("DllRegisterServer");
        return SELFREG_E_CLASS;
    }
}

HRESULT __stdcall DllUnregisterServer()
{
    try {
        qov::UnregisterClassKeys();
        return S_OK;
    } catch (...) {
        qov::HandlerFailure("DllUnregisterServer");
        return SELFREG_E_CLASS;
    }
}

} // extern "C"
