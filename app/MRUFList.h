// TMRUFileList: the recent-files list shown as numbered entries in a host
// menu, reporting a click on an entry and keeping the list between runs in
// the registry or an INI file.
//
// The host item is given as the menu it stands in and, when it has one, its
// own submenu. Entries carry command ids from FirstCommandId up; the owner
// window passes WM_COMMAND ids to HandleCommand.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MRUList.h"

namespace qov::app {

// The system code page's own test for the first byte of a double-byte
// character (IsDBCSLeadByte).
bool SystemLeadByte(unsigned char c);

enum TRootKey { rkClassesRoot, rkCurrentUser, rkLocalMachine, rkUsers, rkCurrentConfig, rkDynData };

// One menu entry of the component: a numbered name, the separator before
// the entries or the submenu item.
class TMRUMenuItem {
public:
    std::string Caption;      // shown (possibly shortened)
    std::string FullCaption;  // "&<n> <whole name>"
    size_t Position = 0;      // 1-based index of its name; 0 for separator and submenu item
    UINT Id = 0;              // command id of a numbered entry
    HMENU Submenu = nullptr;  // the submenu item's menu
};

// The host menu item: the menu it stands in, its own submenu (nil when it
// has none) and its command id (when it has no submenu).
struct TMenuHost {
    HMENU Parent = nullptr;
    HMENU Items = nullptr;
    UINT Id = 0;
    bool Empty() const { return !Parent && !Items; }
};

class TMRUFileList {
public:
    using TMRUClick = std::function<void(TMRUMenuItem* sender, const std::string& fileName)>;

    static constexpr UINT DefaultFirstCommandId = 0x8000;
    // Entries beyond this many are kept in the list but not shown (menu
    // command ids are 16-bit).
    static constexpr size_t MaxShownEntries = 0x7000;

    explicit TMRUFileList(UINT firstCommandId = DefaultFirstCommandId);
    // Saves the list when AutoSave is on and the list was loaded.
    virtual ~TMRUFileList();
    TMRUFileList(const TMRUFileList&) = delete;
    TMRUFileList& operator=(const TMRUFileList&) = delete;

    uint8_t Maximum() const { return FMaximum; }
    void SetMaximum(uint8_t value);
    bool RemoveOnClick() const { return FRemoveOnClick; }
    void SetRemoveOnClick(bool value) { FRemoveOnClick = value; }
    bool UseSubmenu() const { return FUseSubmenu; }
    void SetUseSubmenu(bool value);
    bool InsertSeparator() const { return FInsertSeparator; }
    void SetInsertSeparator(bool value);
    const std::string& SubmenuName() const { return FSubmenuName; }
    void SetSubmenuName(const std::string& value);
    const TMRUClick& OnMRUItemClick() const { return FOnMRUItemClick; }
    void SetOnMRUItemClick(TMRUClick handler) { FOnMRUItemClick = std::move(handler); }
    const TMenuHost& FileMenu() const { return FFileMenu; }
    void SetFileMenu(const TMenuHost& host);
    // The host menu is being destroyed: forget it without touching it.
    void ForgetFileMenu();
    bool AutoSave() const { return FAutoSave; }
    void SetAutoSave(bool value) { FAutoSave = value; }
    const std::string& AutoSaveName() const { return FAutoSaveName; }
    void SetAutoSaveName(const std::string& value) { FAutoSaveName = value; }
    const std::string& AutoSaveKey() const { return FAutoSaveKey; }
    void SetAutoSaveKey(const std::string& value) { FAutoSaveKey = value; }
    TRootKey AutoSaveRootKey() const;
    void SetAutoSaveRootKey(TRootKey value);
    int32_t MaxCaptionWidth() const { return FMaxCaptionWidth; }
    void SetMaxCaptionWidth(int32_t value);
    bool UseRegistry() const { return FUseRegistry; }
    void SetUseRegistry(bool value) { FUseRegistry = value; }

    const TMRUList& List() const { return FList; }
    const std::vector<std::unique_ptr<TMRUMenuItem>>& Items() const { return FItems; }

    // The owner has set the properties: loads the list when AutoSave is on.
    void Loaded();
    void AddMRUItem(const std::string& name);
    // True when the command id is one of the entries (and the click was run).
    bool HandleCommand(UINT id);
    void MRUItemClicked(TMRUMenuItem* sender);
    virtual void RebuildMRUMenu();
    void ClearMRUMenu();
    bool LoadMRUList();
    bool SaveMRUList();

    // Width of a text in the menu font.
    static int MenuTextWidth(const std::string& text);

protected:
    // The registry layer of saving: creates or opens a key for writing.
    virtual LSTATUS CreateKeyForWriting(HKEY parent, const std::string& path, HKEY* key) const;

private:
    HMENU TargetMenu() const;
    int HostPosition() const;
    TMRUMenuItem* AddItem(HMENU menu, int& position, std::unique_ptr<TMRUMenuItem> item, UINT type);
    std::string KeyPath() const;
    bool ReadRegistry(HKEY root, std::vector<std::string>& names) const;
    bool WriteRegistry(HKEY root) const;

    TMRUList FList;
    std::vector<std::unique_ptr<TMRUMenuItem>> FItems;
    // Entries taken out of the menu while a click is handled; freed after it.
    std::vector<std::unique_ptr<TMRUMenuItem>> FRetired;
    int FClickDepth = 0;
    bool FLoaded = false;  // LoadMRUList has read the stored list
    bool FRebuildAfterClick = false;
    UINT FFirstCommandId;

    uint8_t FMaximum = 5;
    bool FRemoveOnClick = true;
    bool FUseSubmenu = false;
    bool FInsertSeparator = true;
    std::string FSubmenuName = "Reopen";
    TMRUClick FOnMRUItemClick;
    TMenuHost FFileMenu;
    bool FAutoSave = true;
    std::string FAutoSaveName = "\\Software\\My Application";
    std::string FAutoSaveKey = "MRU Items";
    HKEY FAutoSaveRootKey = HKEY_CURRENT_USER;
    int32_t FMaxCaptionWidth = 200;
    bool FUseRegistry = true;
};

} // namespace qov::app
