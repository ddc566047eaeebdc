// The recent-files component on real menus, in the registry and in INI files.
#include <gtest/gtest.h>

#include <windows.h>

#include "MRUFList.h"

using namespace qov::app;

namespace {

const char TestPath[] = "Software\\QovTest\\MRU";

std::string Caption(HMENU menu, int position)
{
    char text[512] = "";
    GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
    return text;
}

void WriteValue(HKEY root, const char* name, DWORD type, const std::string& data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, (std::string(TestPath) + "\\MRU Items").c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
}

bool KeyExists(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A list kept under the test key, not saved unless asked.
struct TTestList : TMRUFileList {
    explicit TTestList(HKEY root = HKEY_CURRENT_USER)
    {
        SetAutoSave(false);
        SetAutoSaveName(std::string("\\") + TestPath);
        SetAutoSaveRootKey(root == HKEY_LOCAL_MACHINE ? rkLocalMachine : rkCurrentUser);
    }
};

class MRUMenu : public testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QovTest");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\QovTest");
        Bar = CreateMenu();
        File = CreatePopupMenu();
        AppendMenuA(File, MF_STRING, 1, "Open");
        AppendMenuA(File, MF_STRING, 2, "Exit");
        AppendMenuA(Bar, MF_POPUP, reinterpret_cast<UINT_PTR>(File), "File");
    }
    void TearDown() override
    {
        DestroyMenu(Bar);
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QovTest");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\QovTest");
    }
    HMENU Bar = nullptr;
    HMENU File = nullptr;
};

} // namespace

TEST_F(MRUMenu, RebuildNumbersEntriesAndClearLeavesTheHostsItems)
{
    TTestList mru;
    mru.SetMaximum(10);
    mru.SetMaxCaptionWidth(0);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    for (const char* name : {"a.qov", "b.qov", "c.qov"})
        mru.AddMRUItem(name);
    ASSERT_EQ(GetMenuItemCount(File), 6);
    EXPECT_EQ(GetMenuState(File, 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(Caption(File, 3), "&1 c.qov");
    EXPECT_EQ(Caption(File, 5), "&3 a.qov");

    mru.SetUseSubmenu(true);
    mru.SetSubmenuName("Recent");
    ASSERT_EQ(GetMenuItemCount(File), 4);
    EXPECT_EQ(Caption(File, 3), "Recent");
    HMENU sub = GetSubMenu(File, 3);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(GetMenuItemCount(sub), 3);

    mru.ClearMRUMenu();
    EXPECT_EQ(GetMenuItemCount(File), 2);
    EXPECT_EQ(Caption(File, 1), "Exit");

    // A host without items of its own: the entries stand before it in its parent.
    HMENU emptyHost = CreatePopupMenu();
    AppendMenuA(Bar, MF_POPUP, reinterpret_cast<UINT_PTR>(emptyHost), "Recent");
    mru.SetUseSubmenu(false);
    mru.SetInsertSeparator(false);
    mru.SetFileMenu(TMenuHost{Bar, emptyHost, 0});
    ASSERT_EQ(GetMenuItemCount(Bar), 5);
    EXPECT_EQ(Caption(Bar, 1), "&1 c.qov");
    EXPECT_EQ(GetSubMenu(Bar, 4), emptyHost);
    EXPECT_EQ(GetMenuItemCount(File), 2);
}

TEST_F(MRUMenu, LongNamesAreShortenedButClicksGiveTheWholeName)
{
    TTestList mru;
    mru.SetRemoveOnClick(false);
    mru.SetMaxCaptionWidth(120);
    const std::string longName = "C:\\Recordings\\of the year\\Lessons and talks\\Monday\\first.qov";
    mru.AddMRUItem(longName);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    std::string shown = Caption(File, 3);
    EXPECT_NE(shown, "&1 " + longName);
    EXPECT_NE(shown.find("...\\"), std::string::npos);
    EXPECT_EQ(mru.Items().back()->FullCaption, "&1 " + longName);

    std::string clicked;
    mru.SetOnMRUItemClick([&](TMRUMenuItem*, const std::string& name) { clicked = name; });
    EXPECT_TRUE(mru.HandleCommand(TMRUFileList::DefaultFirstCommandId));
    EXPECT_EQ(clicked, longName);
    EXPECT_EQ(GetMenuItemCount(File), 4);  // unchanged
    EXPECT_FALSE(mru.HandleCommand(TMRUFileList::DefaultFirstCommandId + 1));
}

TEST_F(MRUMenu, RemoveOnClickRebuildsAfterTheHandlerReturns)
{
    TTestList mru;
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    for (const char* name : {"a.qov", "b.qov", "c.qov"})
        mru.AddMRUItem(name);
    // The handler opens the name, which adds it again and rebuilds the menu
    // while the clicked entry is still handling its click.
    std::string seen;
    mru.SetOnMRUItemClick([&](TMRUMenuItem* sender, const std::string& name) {
        mru.AddMRUItem("d.qov");
        seen = sender->FullCaption + "|" + name;
    });
    EXPECT_TRUE(mru.HandleCommand(TMRUFileList::DefaultFirstCommandId + 1));  // "&2 b.qov"
    EXPECT_EQ(seen, "&2 b.qov|b.qov");
    EXPECT_EQ(mru.List().Names(), (std::vector<std::string>{"d.qov", "c.qov", "a.qov"}));
    ASSERT_EQ(GetMenuItemCount(File), 6);
    EXPECT_EQ(Caption(File, 3), "&1 d.qov");
    EXPECT_EQ(Caption(File, 5), "&3 a.qov");
}

TEST_F(MRUMenu, RegistryLoadsEveryStringInOrderAndSkipsTheRest)
{
    {
        TTestList missing;
        EXPECT_TRUE(missing.LoadMRUList());
        EXPECT_EQ(missing.List().Count(), 0u);
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, TestPath));  // loading creates nothing
        missing.SetAutoSaveKey("");
        EXPECT_FALSE(missing.LoadMRUList());
        EXPECT_FALSE(missing.SaveMRUList());
    }
    for (int i = 0; i < 15; ++i)
        WriteValue(HKEY_CURRENT_USER, ("F" + std::to_string(i)).c_str(), REG_SZ,
                   "name" + std::to_string(i));
    WriteValue(HKEY_CURRENT_USER, "F15", REG_SZ, "");
    WriteValue(HKEY_CURRENT_USER, "F16", REG_BINARY, "binary");
    TTestList mru;
    mru.SetMaximum(10);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    ASSERT_TRUE(mru.LoadMRUList());
    ASSERT_EQ(mru.List().Count(), 15u);  // not cut to the maximum
    ASSERT_EQ(GetMenuItemCount(File), 2 + 1 + 15);
    EXPECT_EQ(Caption(File, 3), "&1 name0");
    EXPECT_EQ(Caption(File, 17), "&15 name14");
}

TEST_F(MRUMenu, MoreThan255NamesKeepTheirPositions)
{
    {
        TTestList writer;
        writer.SetMaximum(255);
        for (int i = 299; i >= 0; --i)
            writer.AddMRUItem("n" + std::to_string(i));
        ASSERT_TRUE(writer.SaveMRUList());
    }
    // Past the maximum: a loaded list is not cut.
    for (int i = 255; i < 300; ++i)
        WriteValue(HKEY_CURRENT_USER, ("F" + std::to_string(i)).c_str(), REG_SZ, "n" + std::to_string(i));
    TTestList mru;
    mru.SetRemoveOnClick(false);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    ASSERT_TRUE(mru.LoadMRUList());
    ASSERT_EQ(mru.List().Count(), 300u);
    std::string clicked;
    mru.SetOnMRUItemClick([&](TMRUMenuItem*, const std::string& name) { clicked = name; });
    EXPECT_TRUE(mru.HandleCommand(TMRUFileList::DefaultFirstCommandId + 256));  // entry 257
    EXPECT_EQ(clicked, "n256");
}

TEST_F(MRUMenu, RefusedSharedKeyKeepsTheListForTheUser)
{
    // A registry that refuses this user writing under HKEY_LOCAL_MACHINE.
    struct TUserList : TTestList {
        bool Refuse = true;
        TUserList() : TTestList(HKEY_LOCAL_MACHINE) {}
        LSTATUS CreateKeyForWriting(HKEY parent, const std::string& path, HKEY* key) const override
        {
            if (Refuse && parent == HKEY_LOCAL_MACHINE)
                return ERROR_ACCESS_DENIED;
            return TTestList::CreateKeyForWriting(parent, path, key);
        }
    };
    {
        TUserList mru;
        mru.AddMRUItem("user.qov");
        EXPECT_TRUE(mru.SaveMRUList());  // not reported
    }
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, TestPath));
    ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(TestPath) + "\\MRU Items"));

    // The shared list exists too: this user's stand-in is preferred ...
    WriteValue(HKEY_LOCAL_MACHINE, "F0", REG_SZ, "shared.qov");
    {
        TUserList mru;
        ASSERT_TRUE(mru.LoadMRUList());
        EXPECT_EQ(mru.List().Names(), std::vector<std::string>{"user.qov"});
        mru.AddMRUItem("new.qov");
        mru.Refuse = false;
        EXPECT_TRUE(mru.SaveMRUList());
    }
    // ... until the shared key takes a save again, which drops the stand-in.
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::string(TestPath) + "\\MRU Items"));
    TTestList mru(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(mru.LoadMRUList());
    EXPECT_EQ(mru.List().Names(), (std::vector<std::string>{"new.qov", "user.qov"}));
}

TEST_F(MRUMenu, IniFileKeepsNamesByteForByte)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string ini = std::string(folder) + "qov_mru_test.ini";
    DeleteFileA(ini.c_str());
    const std::string gbk = "D:\\\xC2\xBC\xCF\xF1\\\xCA\x5C.qov";  // "录像", then a 0x5C trail byte
    {
        TTestList mru;
        mru.SetUseRegistry(false);
        mru.SetAutoSaveName(ini);
        EXPECT_TRUE(mru.LoadMRUList());  // missing file: empty list
        EXPECT_EQ(mru.List().Count(), 0u);
        mru.AddMRUItem("a.qov");
        mru.AddMRUItem(gbk);
        EXPECT_TRUE(mru.SaveMRUList());
    }
    TTestList mru;
    mru.SetUseRegistry(false);
    mru.SetAutoSaveName(ini);
    mru.SetMaxCaptionWidth(0);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    ASSERT_TRUE(mru.LoadMRUList());
    EXPECT_EQ(mru.List().Names(), (std::vector<std::string>{gbk, "a.qov"}));
    EXPECT_EQ(Caption(File, 3), "&1 " + gbk);
    DeleteFileA(ini.c_str());
}

// The component's own defaults name "\Software\My Application": a list that
// was never loaded (its owner failed before setting the key) stores nothing.
TEST_F(MRUMenu, OnlyALoadedListIsSavedAtItsEnd)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\My Application");
    {
        TMRUFileList mru;
        ASSERT_TRUE(mru.AutoSave());
        mru.AddMRUItem("never-loaded.qov");
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\My Application"));
    {
        TMRUFileList mru;
        mru.SetAutoSaveName(std::string("\\") + TestPath);
        mru.Loaded();
        mru.AddMRUItem("loaded.qov");
    }
    TTestList stored;
    ASSERT_TRUE(stored.LoadMRUList());
    EXPECT_EQ(stored.List().Names(), std::vector<std::string>{"loaded.qov"});
}

// Lead bytes are the system code page's: on a single-byte code page an
// accented letter is one character, and the letter after it still folds.
TEST_F(MRUMenu, NamesFollowTheSystemCodePage)
{
    CPINFO info{};
    ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
    if (info.MaxCharSize != 1)
        GTEST_SKIP() << "the system code page " << GetACP() << " is double-byte";
    TTestList mru;
    mru.SetMaximum(10);
    mru.SetMaxCaptionWidth(0);
    mru.SetFileMenu(TMenuHost{Bar, File, 0});
    mru.AddMRUItem("C:\\caf\xE9s.qov");
    mru.AddMRUItem("C:\\CAF\xE9S.qov");
    EXPECT_EQ(mru.List().Names(), std::vector<std::string>{"C:\\caf\xE9s.qov"});
    EXPECT_EQ(GetMenuItemCount(File), 2 + 1 + 1);
}
