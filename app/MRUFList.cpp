#include "MRUFList.h"

#include <algorithm>
#include <cstddef>

namespace qov::app {

namespace {

const HKEY RootKeys[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,    HKEY_LOCAL_MACHINE,
                         HKEY_USERS,        HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};

// The structure without the padded border width of later systems.
constexpr UINT MenuMetricsSize = 340;
static_assert(offsetof(NONCLIENTMETRICSA, iPaddedBorderWidth) == MenuMetricsSize);

// The menu font on a memory canvas, shared by every list of the program.
class TMenuCanvas {
public:
    TMenuCanvas()
    {
        NONCLIENTMETRICSA metrics{};
        metrics.cbSize = MenuMetricsSize;
        if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, MenuMetricsSize, &metrics, 0))
            FFont = CreateFontIndirectA(&metrics.lfMenuFont);
        FDC = CreateCompatibleDC(nullptr);
        if (FDC)
            FOld = SelectObject(FDC, FFont ? static_cast<HGDIOBJ>(FFont) : GetStockObject(DEFAULT_GUI_FONT));
    }
    ~TMenuCanvas()
    {
        if (FDC) {
            SelectObject(FDC, FOld);
            DeleteDC(FDC);
        }
        if (FFont)
            DeleteObject(FFont);
    }
    int Width(const std::string& text) const
    {
        SIZE size{};
        if (!FDC || !GetTextExtentPoint32A(FDC, text.data(), static_cast<int>(text.size()), &size))
            return 0;
        return size.cx;
    }

private:
    HFONT FFont = nullptr;
    HDC FDC = nullptr;
    HGDIOBJ FOld = nullptr;
};

TMenuCanvas& MenuCanvas()
{
    static TMenuCanvas canvas;
    return canvas;
}

struct TStoredValue {
    std::string Name;
    std::string Data;
};

// n of a value named "F<n>" as the list saves them; beyond every n otherwise.
uint64_t SavedIndex(const std::string& name)
{
    if (name.size() < 2 || name.size() > 11 || (name[0] != 'F' && name[0] != 'f'))
        return UINT64_MAX;
    uint64_t n = 0;
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return UINT64_MAX;
        n = n * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return n;
}

bool Denied(LSTATUS status)
{
    return status != ERROR_SUCCESS;
}

} // namespace

bool SystemLeadByte(unsigned char c)
{
    return IsDBCSLeadByte(c) != FALSE;
}

TMRUFileList::TMRUFileList(UINT firstCommandId) : FList(SystemLeadByte), FFirstCommandId(firstCommandId)
{
}

TMRUFileList::~TMRUFileList()
{
    // Only a list that was loaded replaces the stored one: an owner that
    // failed before setting the properties and loading would otherwise store
    // an empty list under the default key.
    if (FAutoSave && FLoaded)
        SaveMRUList();
}

int TMRUFileList::MenuTextWidth(const std::string& text)
{
    return MenuCanvas().Width(text);
}

void TMRUFileList::SetMaximum(uint8_t value)
{
    FMaximum = value;
    if (FList.Trim(value))
        RebuildMRUMenu();
}

void TMRUFileList::SetUseSubmenu(bool value)
{
    if (value == FUseSubmenu)
        return;
    FUseSubmenu = value;
    RebuildMRUMenu();
}

void TMRUFileList::SetInsertSeparator(bool value)
{
    if (value == FInsertSeparator)
        return;
    FInsertSeparator = value;
    RebuildMRUMenu();
}

void TMRUFileList::SetSubmenuName(const std::string& value)
{
    if (value == FSubmenuName)
        return;
    FSubmenuName = value;
    if (FUseSubmenu)
        RebuildMRUMenu();
}

void TMRUFileList::SetMaxCaptionWidth(int32_t value)
{
    if (value == FMaxCaptionWidth)
        return;
    FMaxCaptionWidth = value;
    RebuildMRUMenu();
}

void TMRUFileList::SetFileMenu(const TMenuHost& host)
{
    ClearMRUMenu();
    FFileMenu = host;
    RebuildMRUMenu();
}

void TMRUFileList::ForgetFileMenu()
{
    FFileMenu = TMenuHost{};
    for (auto& item : FItems)
        FRetired.push_back(std::move(item));
    FItems.clear();
    if (FClickDepth == 0)
        FRetired.clear();
}

TRootKey TMRUFileList::AutoSaveRootKey() const
{
    for (size_t i = 0; i < sizeof RootKeys / sizeof RootKeys[0]; ++i)
        if (RootKeys[i] == FAutoSaveRootKey)
            return static_cast<TRootKey>(i);
    return rkCurrentUser;
}

void TMRUFileList::SetAutoSaveRootKey(TRootKey value)
{
    if (value >= rkClassesRoot && value <= rkDynData)
        FAutoSaveRootKey = RootKeys[value];
}

void TMRUFileList::Loaded()
{
    if (FAutoSave)
        LoadMRUList();
}

void TMRUFileList::AddMRUItem(const std::string& name)
{
    FList.Add(name, FMaximum);
    RebuildMRUMenu();
}

bool TMRUFileList::HandleCommand(UINT id)
{
    for (auto& item : FItems) {
        if (item->Position != 0 && item->Id == id) {
            MRUItemClicked(item.get());
            return true;
        }
    }
    return false;
}

void TMRUFileList::MRUItemClicked(TMRUMenuItem* sender)
{
    if (!sender || sender->Position == 0 || sender->Position > FList.Count())
        return;
    size_t index = sender->Position - 1;
    std::string name = FList[index];
    // The entry (and every other one) stays alive until the click's handling
    // has returned; a rebuild meanwhile only takes them out of the menu.
    struct TClickScope {
        TMRUFileList& List;
        explicit TClickScope(TMRUFileList& list) : List(list) { ++List.FClickDepth; }
        ~TClickScope()
        {
            if (--List.FClickDepth != 0)
                return;
            List.FRetired.clear();
            if (List.FRebuildAfterClick) {
                List.FRebuildAfterClick = false;
                List.RebuildMRUMenu();
            }
        }
    } scope(*this);
    if (FRemoveOnClick) {
        FList.Delete(index);
        FRebuildAfterClick = true;
    }
    if (FOnMRUItemClick)
        FOnMRUItemClick(sender, name);
}

HMENU TMRUFileList::TargetMenu() const
{
    if (FFileMenu.Items && GetMenuItemCount(FFileMenu.Items) > 0)
        return FFileMenu.Items;
    return FFileMenu.Parent;
}

int TMRUFileList::HostPosition() const
{
    int count = GetMenuItemCount(FFileMenu.Parent);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_SUBMENU;
        if (!GetMenuItemInfoA(FFileMenu.Parent, static_cast<UINT>(i), TRUE, &info))
            continue;
        if (FFileMenu.Items ? info.hSubMenu == FFileMenu.Items : info.wID == FFileMenu.Id)
            return i;
    }
    return -1;
}

void TMRUFileList::ClearMRUMenu()
{
    HMENU menu = TargetMenu();
    if (menu) {
        for (int i = GetMenuItemCount(menu) - 1; i >= 0; --i) {
            MENUITEMINFOA info{};
            info.cbSize = sizeof info;
            info.fMask = MIIM_DATA;
            if (!GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info) || !info.dwItemData)
                continue;
            for (auto& item : FItems) {
                if (reinterpret_cast<ULONG_PTR>(item.get()) == info.dwItemData) {
                    DeleteMenu(menu, static_cast<UINT>(i), MF_BYPOSITION);  // frees a submenu too
                    break;
                }
            }
        }
    }
    for (auto& item : FItems)
        FRetired.push_back(std::move(item));
    FItems.clear();
    if (FClickDepth == 0)
        FRetired.clear();
}

TMRUMenuItem* TMRUFileList::AddItem(HMENU menu, int& position, std::unique_ptr<TMRUMenuItem> item,
                                    UINT type)
{
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_DATA | MIIM_ID;
    info.fType = type;
    info.dwItemData = reinterpret_cast<ULONG_PTR>(item.get());
    info.wID = item->Id;
    if (type != MFT_SEPARATOR) {
        info.fMask |= MIIM_STRING;
        info.dwTypeData = const_cast<char*>(item->Caption.c_str());
    }
    if (item->Submenu) {
        info.fMask |= MIIM_SUBMENU;
        info.hSubMenu = item->Submenu;
    }
    if (!InsertMenuItemA(menu, static_cast<UINT>(position), TRUE, &info)) {
        if (item->Submenu)
            DestroyMenu(item->Submenu);
        return nullptr;
    }
    ++position;
    FItems.push_back(std::move(item));
    return FItems.back().get();
}

void TMRUFileList::RebuildMRUMenu()
{
    if (FFileMenu.Empty())
        return;
    ClearMRUMenu();
    if (FList.Count() == 0)
        return;
    HMENU menu;
    int position;
    if (FFileMenu.Items && GetMenuItemCount(FFileMenu.Items) > 0) {
        menu = FFileMenu.Items;
        position = GetMenuItemCount(menu);
    } else if (FFileMenu.Parent) {
        menu = FFileMenu.Parent;
        position = HostPosition();
        if (position < 0)
            return;
    } else {
        return;
    }
    if (FInsertSeparator) {
        auto separator = std::make_unique<TMRUMenuItem>();
        separator->Caption = separator->FullCaption = "-";
        AddItem(menu, position, std::move(separator), MFT_SEPARATOR);
    }
    if (FUseSubmenu) {
        auto submenu = std::make_unique<TMRUMenuItem>();
        submenu->Caption = submenu->FullCaption = FSubmenuName;
        submenu->Submenu = CreatePopupMenu();
        TMRUMenuItem* added = AddItem(menu, position, std::move(submenu), MFT_STRING);
        if (!added)
            return;
        menu = added->Submenu;
        position = 0;
    }
    size_t shown = FList.Count() < MaxShownEntries ? FList.Count() : MaxShownEntries;
    for (size_t i = 0; i < shown; ++i) {
        auto item = std::make_unique<TMRUMenuItem>();
        std::string number = "&" + std::to_string(i + 1) + " ";
        item->FullCaption = number + FList[i];
        item->Caption = FMaxCaptionWidth == 0
                            ? item->FullCaption
                            : number + ShortenName(FList[i], FMaxCaptionWidth, MenuTextWidth, SystemLeadByte);
        item->Position = i + 1;
        item->Id = FFirstCommandId + static_cast<UINT>(i);
        AddItem(menu, position, std::move(item), MFT_STRING);
    }
}

std::string TMRUFileList::KeyPath() const
{
    std::string path = FAutoSaveName;
    while (!path.empty() && path[0] == '\\')
        path.erase(0, 1);
    return path;
}

// Reads the string values of the list's key under root in the order they
// were saved; false when the key is not there. Opens without creating.
bool TMRUFileList::ReadRegistry(HKEY root, std::vector<std::string>& names) const
{
    HKEY key = nullptr;
    std::string path = KeyPath() + "\\" + FAutoSaveKey;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD maxName = 0, maxData = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                     &maxData, nullptr, nullptr);
    std::vector<TStoredValue> values;
    std::string name(maxName + 2, '\0');
    std::string data(maxData + 2, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LSTATUS status = RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (status == ERROR_MORE_DATA) {
            // Grown while being read: size again and retry this value.
            name.assign(name.size() * 2 + 256, '\0');
            data.assign(data.size() * 2 + 256, '\0');
            --i;
            continue;
        }
        if (status != ERROR_SUCCESS)
            break;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            continue;
        std::string value(data.data(), dataSize);
        size_t end = value.find('\0');
        if (end != std::string::npos)
            value.resize(end);
        if (!value.empty())
            values.push_back({std::string(name.data(), nameSize), value});
    }
    RegCloseKey(key);
    // The enumeration order is the registry's own (some registries sort the
    // value names, putting F10 before F2): the saved values F0, F1, ... go by
    // their number, any others after them in enumeration order.
    std::stable_sort(values.begin(), values.end(), [](const TStoredValue& a, const TStoredValue& b) {
        return SavedIndex(a.Name) < SavedIndex(b.Name);
    });
    for (auto& value : values)
        names.push_back(std::move(value.Data));
    return true;
}

LSTATUS TMRUFileList::CreateKeyForWriting(HKEY parent, const std::string& path, HKEY* key) const
{
    return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | DELETE, nullptr,
                           key, nullptr);
}

// Replaces the list's key under root with the names as F0, F1, ...; false
// when the registry refuses any step.
bool TMRUFileList::WriteRegistry(HKEY root) const
{
    HKEY parent = nullptr;
    if (Denied(CreateKeyForWriting(root, KeyPath(), &parent)))
        return false;
    bool written = false;
    LSTATUS status = RegDeleteTreeA(parent, FAutoSaveKey.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        HKEY key = nullptr;
        if (!Denied(CreateKeyForWriting(parent, FAutoSaveKey, &key))) {
            written = true;
            for (size_t i = 0; i < FList.Count() && written; ++i) {
                std::string valueName = "F" + std::to_string(i);
                const std::string& value = FList[i];
                written = !Denied(RegSetValueExA(key, valueName.c_str(), 0, REG_SZ,
                                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                                 static_cast<DWORD>(value.size() + 1)));
            }
            RegCloseKey(key);
        }
    }
    RegCloseKey(parent);
    return written;
}

bool TMRUFileList::LoadMRUList()
{
    if (FAutoSaveName.empty() || FAutoSaveKey.empty())
        return false;
    std::vector<std::string> names;
    if (FUseRegistry) {
        // A list that could only be kept for this user stands in for the
        // shared one.
        if (FAutoSaveRootKey == HKEY_CURRENT_USER || !ReadRegistry(HKEY_CURRENT_USER, names))
            ReadRegistry(FAutoSaveRootKey, names);
        for (const auto& name : names)
            FList.AddStored(name);
    } else {
        std::vector<char> buffer(4096);
        DWORD length = 0;
        for (;;) {
            length = GetPrivateProfileSectionA(FAutoSaveKey.c_str(), buffer.data(),
                                               static_cast<DWORD>(buffer.size()), FAutoSaveName.c_str());
            if (length + 2 < buffer.size() || buffer.size() >= (64u << 20))
                break;
            buffer.resize(buffer.size() * 4);
        }
        std::vector<std::string> lines;
        for (size_t i = 0; i < length && buffer[i];) {
            std::string line(&buffer[i]);
            i += line.size() + 1;
            lines.push_back(line);
        }
        FList.AddStoredLines(lines);
    }
    FLoaded = true;
    RebuildMRUMenu();
    return true;
}

bool TMRUFileList::SaveMRUList()
{
    if (FAutoSaveName.empty() || FAutoSaveKey.empty())
        return false;
    if (!FUseRegistry) {
        bool written = WritePrivateProfileStringA(FAutoSaveKey.c_str(), nullptr, nullptr,
                                                  FAutoSaveName.c_str()) != FALSE;
        for (size_t i = 0; i < FList.Count() && written; ++i)
            written = WritePrivateProfileStringA(FAutoSaveKey.c_str(), ("F" + std::to_string(i)).c_str(),
                                                 FList[i].c_str(), FAutoSaveName.c_str()) != FALSE;
        return written;
    }
    if (WriteRegistry(FAutoSaveRootKey)) {
        // The shared list is current again: drop this user's stand-in.
        if (FAutoSaveRootKey != HKEY_CURRENT_USER) {
            HKEY parent = nullptr;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, KeyPath().c_str(), 0, KEY_READ | KEY_WRITE | DELETE,
                              &parent) == ERROR_SUCCESS) {
                RegDeleteTreeA(parent, FAutoSaveKey.c_str());
                RegCloseKey(parent);
            }
        }
        return true;
    }
    // Refused (a user without the rights for the shared key): keep the list
    // for this user instead; a refusal there too is not reported.
    return FAutoSaveRootKey != HKEY_CURRENT_USER && WriteRegistry(HKEY_CURRENT_USER);
}

} // namespace qov::app
