#include "VersInfo.h"

#include <commctrl.h>
#include <winver.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "ScreenText.h"

namespace qov {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "version texts are UTF-16");

namespace {

// version.dll is bound when a resource is first read, so the modules that
// carry this unit import nothing from it and loading them does not load it.
// It is loaded from the system folder only, never from the program's folder
// or the current one.
struct TVersionApi {
    decltype(&GetFileVersionInfoSizeA) InfoSize = nullptr;
    decltype(&GetFileVersionInfoA) Info = nullptr;
    decltype(&VerQueryValueW) QueryValue = nullptr;
};

template <typename T> void Bind(HMODULE lib, const char* name, T& fn)
{
    fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

const TVersionApi& VersionApi()
{
    static const TVersionApi api = [] {
        TVersionApi a;
        char folder[MAX_PATH];
        const UINT n = GetSystemDirectoryA(folder, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return a;
        const std::string path = std::string(folder, n) + "\\version.dll";
        if (HMODULE lib = LoadLibraryA(path.c_str())) {
            Bind(lib, "GetFileVersionInfoSizeA", a.InfoSize);
            Bind(lib, "GetFileVersionInfoA", a.Info);
            Bind(lib, "VerQueryValueW", a.QueryValue);
        }
        return a;
    }();
    return api;
}

std::string ModuleFileName(HMODULE module)
{
    std::string name(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(module, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0)
            return {};
        if (n < name.size()) {
            name.resize(n);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

// The resource's UTF-16 texts as the system's GBK texts.
std::string ToGbk(const std::u16string& text)
{
    return GbkOfWide(std::wstring_view(reinterpret_cast<const wchar_t*>(text.data()), text.size()));
}

const char kCodeAnchor = 0; // any address inside this module

// The list view's rows, in this order of key indexes.
constexpr int kListOrder[kVersionKeyCount] = {pdProductName,   pdProductVersion,  pdCompanyName,
                                              pdLegalCopyright, pdLegalTrademarks, pdFileDescription,
                                              pdFileVersion,   pdInternalName,    pdOriginalFilename,
                                              pdBuildFlags,    pdComments};
// The value of each label, and the detail it takes out of ShowResource.
constexpr TVersionDetail kLabelDetails[4] = {pdFileVersion, pdLegalCopyright, pdProductName,
                                             pdFileDescription};

} // namespace

// Windows the components show values in are subclassed while any component
// refers to them, to learn of their destruction.
struct TWindowWatch {
    WNDPROC Previous = nullptr;
    std::vector<TVersionInfoResource*> Owners; // one entry per reference

    static std::mutex Lock;
    static std::map<HWND, TWindowWatch> Watches;

    static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    static void Add(HWND window, TVersionInfoResource* owner);
    static void Remove(HWND window, TVersionInfoResource* owner);
};

std::mutex TWindowWatch::Lock;
std::map<HWND, TWindowWatch> TWindowWatch::Watches;

LRESULT CALLBACK TWindowWatch::Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC previous = nullptr;
    std::vector<TVersionInfoResource*> owners;
    try {
        std::lock_guard<std::mutex> hold(Lock);
        auto it = Watches.find(window);
        if (it == Watches.end())
            return DefWindowProcW(window, msg, wParam, lParam);
        previous = it->second.Previous;
        if (msg == WM_NCDESTROY) {
            owners.swap(it->second.Owners);
            if (GetWindowLongPtrW(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Proc))
                SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
            Watches.erase(it);
        }
    } catch (...) {
        // Only the lock can fail here; the message still goes on below.
    }
    for (TVersionInfoResource* owner : owners)
        owner->WindowDestroyed(window);
    return previous ? CallWindowProcW(previous, window, msg, wParam, lParam)
                    : DefWindowProcW(window, msg, wParam, lParam);
}

void TWindowWatch::Add(HWND window, TVersionInfoResource* owner)
{
    std::lock_guard<std::mutex> hold(Lock);
    auto it = Watches.find(window);
    if (it == Watches.end()) {
        TWindowWatch watch;
        watch.Owners.push_back(owner);
        it = Watches.emplace(window, std::move(watch)).first;
        // Hooked as a Unicode procedure: a label that shows wide texts
        // stays a Unicode window.
        it->second.Previous = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
        if (!it->second.Previous) // not a window of this process: nothing to learn from it
            Watches.erase(it);
        return;
    }
    it->second.Owners.push_back(owner);
}

void TWindowWatch::Remove(HWND window, TVersionInfoResource* owner)
{
    std::lock_guard<std::mutex> hold(Lock);
    auto it = Watches.find(window);
    if (it == Watches.end())
        return;
    auto& owners = it->second.Owners;
    auto at = std::find(owners.begin(), owners.end(), owner);
    if (at != owners.end())
        owners.erase(at);
    // Unhooked only while this is the window's procedure; a later subclass
    // keeps calling it, and it passes every message on until the window ends.
    if (owners.empty() && GetWindowLongPtrW(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Proc)) {
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(it->second.Previous));
        Watches.erase(it);
    }
}

uint16_t TVersionNumberInformation::Part(int index) const
{
    switch (index) {
    case 0: return static_cast<uint16_t>(FMS >> 16);
    case 1: return static_cast<uint16_t>(FMS);
    case 2: return static_cast<uint16_t>(FLS >> 16);
    case 3: return static_cast<uint16_t>(FLS);
    default: return 0;
    }
}

std::string TVersionNumberInformation::Text() const
{
    return FValid ? VersionNumberText(FMS, FLS) : std::string();
}

void TVersionNumberInformation::Assign(uint32_t ms, uint32_t ls)
{
    FValid = true;
    FMS = ms;
    FLS = ls;
}

void TVersionNumberInformation::Clear() { *this = TVersionNumberInformation(); }

uint32_t TFixedFileVersionInfo::Field(size_t offset) const
{
    const std::vector<uint8_t>& data = FOwner.FData;
    if (!FPresent || FOffset + kFixedVersionSize > data.size())
        return 0;
    return version_block_detail::ReadU32(data.data() + FOffset + offset);
}

TVersionInfoResource::TVersionInfoResource() { ReRead(); }

TVersionInfoResource::~TVersionInfoResource()
{
    for (HWND& label : FLabels)
        if (label)
            TWindowWatch::Remove(label, this);
    if (FListView)
        TWindowWatch::Remove(FListView, this);
}

void TVersionInfoResource::SetFilename(const std::string& filename)
{
    FFilename = filename;
    ReRead();
}

void TVersionInfoResource::SetForceEXE(bool force)
{
    FForceEXE = force;
    ReRead();
}

std::string TVersionInfoResource::FileToRead() const
{
    if (!FFilename.empty())
        return FFilename;
    HMODULE own = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       &kCodeAnchor, &own);
    if (own && own != GetModuleHandleA(nullptr) && !FForceEXE)
        return ModuleFileName(own);
    return ModuleFileName(nullptr);
}

void TVersionInfoResource::ReRead()
{
    FTranslations.clear();
    FFixedInfo.FPresent = false;
    FData.clear();
    FFileVersion.Clear();
    FProductVersion.Clear();

    const TVersionApi& api = VersionApi();
    const std::string file = FileToRead();
    if (api.InfoSize && api.Info && api.QueryValue && !file.empty()) {
        DWORD handle = 0;
        const DWORD size = api.InfoSize(file.c_str(), &handle);
        if (size != 0) {
            FData.assign(size, 0);
            if (!api.Info(file.c_str(), 0, size, FData.data()))
                FData.clear();
        }
    }
    TVersionValue value;
    TFixedVersionValues fixed;
    if (Query("\\", value) && VersionFixedInfo(FData.data(), value, fixed)) {
        FFixedInfo.FPresent = true;
        FFixedInfo.FOffset = value.Offset;
        FFileVersion.Assign(fixed.FileVersionMS, fixed.FileVersionLS);
        FProductVersion.Assign(fixed.ProductVersionMS, fixed.ProductVersionLS);
    }
    if (Query("\\VarFileInfo\\Translation", value))
        FTranslations = VersionTranslations(FData.data(), value);
    if (FTranslationIndex >= FTranslations.size())
        FTranslationIndex = 0;
    UpdateDisplay();
}

// The value at path when this unit's walk and the platform's agree on it.
bool TVersionInfoResource::Query(const std::string& path, TVersionValue& value) const
{
    if (FData.empty() || !FindVersionValue(FData.data(), FData.size(), path, value))
        return false;
    const std::wstring widePath(path.begin(), path.end());
    void* found = nullptr;
    UINT length = 0;
    if (!VersionApi().QueryValue(FData.data(), widePath.c_str(), &found, &length))
        return false;
    return found == FData.data() + value.Offset;
}

std::string TVersionInfoResource::Value(int index) const
{
    if (index < 0 || index >= kVersionKeyCount)
        return {};
    const std::string path = "\\StringFileInfo\\" +
                             (FTranslations.empty() ? std::string() : FTranslations[FTranslationIndex]) +
                             "\\" + kVersionKeys[index];
    TVersionValue value;
    if (!Query(path, value))
        return {};
    return ToGbk(VersionText(FData.data(), value));
}

std::string TVersionInfoResource::BuildFlagsText() const { return qov::BuildFlagsText(FFixedInfo.FileFlags()); }

void TVersionInfoResource::SetLabel(int slot, HWND label)
{
    if (FLabels[slot] == label)
        return;
    if (FLabels[slot])
        TWindowWatch::Remove(FLabels[slot], this);
    FLabels[slot] = label;
    if (label) {
        TWindowWatch::Add(label, this);
        FShowResource &= ~VersionDetail(kLabelDetails[slot]);
    }
    UpdateDisplay();
}

void TVersionInfoResource::SetVersionListView(HWND listView)
{
    if (FListView == listView)
        return;
    if (FListView)
        TWindowWatch::Remove(FListView, this);
    FListView = listView;
    if (listView)
        TWindowWatch::Add(listView, this);
    UpdateDisplay();
}

void TVersionInfoResource::SetShowResource(TVersionDetails show)
{
    FShowResource = show & kAllVersionDetails;
    UpdateDisplay();
}

void TVersionInfoResource::WindowDestroyed(HWND window)
{
    for (HWND& label : FLabels)
        if (label == window)
            label = nullptr;
    if (FListView == window)
        FListView = nullptr;
}

void TVersionInfoResource::UpdateDisplay()
{
    const std::string texts[4] = {FFileVersion.Text(), Value(pdLegalCopyright), Value(pdProductName),
                                  Value(pdFileDescription)};
    for (int i = 0; i < 4; ++i)
        if (FLabels[i])
            SetScreenText(FLabels[i], texts[i]);
    if (FListView)
        FillListView();
}

void TVersionInfoResource::FillListView()
{
    HWND view = FListView;
    SendMessageA(view, LVM_DELETEALLITEMS, 0, 0);
    while (SendMessageA(view, LVM_DELETECOLUMN, 0, 0)) {
    }
    LONG_PTR style = GetWindowLongPtrA(view, GWL_STYLE);
    style = (style & ~LONG_PTR(LVS_TYPEMASK | LVS_EDITLABELS)) | LVS_REPORT | LVS_NOSORTHEADER;
    SetWindowLongPtrA(view, GWL_STYLE, style);

    const char* const captions[2] = {"名称", "描述"};
    for (int c = 0; c < 2; ++c) {
        std::wstring caption = WideOfGbk(captions[c]);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_SUBITEM;
        column.pszText = caption.data();
        column.iSubItem = c;
        SendMessageW(view, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
        SendMessageA(view, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), MAKELPARAM(LVSCW_AUTOSIZE_USEHEADER, 0));
    }

    int row = 0;
    for (int index : kListOrder) {
        if (!(FShowResource & (1u << index)))
            continue;
        const std::string text = index == pdProductVersion ? FProductVersion.Text()
                                 : index == pdFileVersion  ? FFileVersion.Text()
                                 : index == pdBuildFlags   ? BuildFlagsText()
                                                           : Value(index);
        if (text.empty())
            continue;
        std::wstring key = WideOfGbk(kVersionKeys[index]), value = WideOfGbk(text);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = key.data();
        const LRESULT at = SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        if (at < 0)
            continue;
        LVITEMW sub{};
        sub.iSubItem = 1;
        sub.pszText = value.data();
        SendMessageW(view, LVM_SETITEMTEXTW, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&sub));
        ++row;
    }
}

} // namespace qov
