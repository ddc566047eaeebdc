#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "VersInfo.h"

using namespace qov;

namespace {

std::string BinFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string ProbePath() { return BinFolder() + "version_probe.dll"; }
std::string BarePath() { return BinFolder() + "version_probe_bare.dll"; }

void ExpectEmpty(const TVersionInfoResource& vi)
{
    for (int i = 0; i < kVersionKeyCount; ++i)
        EXPECT_EQ(vi.Value(i), "") << i;
    EXPECT_EQ(vi.FileVersion().Text(), "");
    EXPECT_EQ(vi.ProductVersion().Text(), "");
    EXPECT_EQ(vi.BuildFlagsText(), "");
    EXPECT_TRUE(vi.Translations().empty());
    EXPECT_FALSE(vi.FixedInfo().Present());
    EXPECT_EQ(vi.FixedInfo().FileVersionMS(), 0u);
}

std::string Text(HWND window)
{
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// A parent window with static labels and a list view in it.
struct TWindows {
    HWND Parent = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPED, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    HWND Label(const char* text = "")
    {
        return CreateWindowExA(0, "STATIC", text, WS_CHILD, 0, 0, 200, 20, Parent, nullptr, nullptr, nullptr);
    }
    HWND ListView(DWORD style = LVS_ICON | LVS_EDITLABELS)
    {
        return CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD | style, 0, 0, 380, 200, Parent, nullptr, nullptr,
                               nullptr);
    }
    ~TWindows() { DestroyWindow(Parent); }
};

struct TRow {
    std::string Name, Value;
    bool operator==(const TRow&) const = default;
};

std::vector<TRow> Rows(HWND view)
{
    std::vector<TRow> rows;
    const int n = static_cast<int>(SendMessageA(view, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        char name[128] = {}, value[128] = {};
        LVITEMA item{};
        item.pszText = name;
        item.cchTextMax = sizeof name;
        SendMessageA(view, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = value;
        item.cchTextMax = sizeof value;
        SendMessageA(view, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
        rows.push_back({name, value});
    }
    return rows;
}

} // namespace

TEST(VersionInfo, ReadsTheTestLibrarysResource)
{
    TVersionInfoResource vi;
    vi.SetFilename(ProbePath());
    EXPECT_EQ(vi.FileVersion().Text(), "5.0.0.1074");
    EXPECT_EQ(vi.FileVersion().Part(0), 5);
    EXPECT_EQ(vi.FileVersion().Part(3), 1074);
    EXPECT_EQ(vi.ProductVersion().Text(), "5.0.0.0");
    EXPECT_EQ(vi.Translations(), std::vector<std::string>{"080403A8"});
    EXPECT_EQ(vi.BuildFlagsText(), "Debug, Patched");
    EXPECT_EQ(vi.FixedInfo().BuildFlags(), (1 << bfDebug) | (1 << bfPatched));
    EXPECT_EQ(vi.CompanyName(), "Probe Makers");
    EXPECT_EQ(vi.ProductName(), "Probe Product");
    EXPECT_EQ(vi.Comments(), "For the reader's tests");
    EXPECT_EQ(vi.Value(pdFileVersion), "5.0.0.1074 (probe)");
    EXPECT_EQ(vi.LegalTrademarks(), "");
    EXPECT_EQ(vi.Value(-1), "");
    EXPECT_EQ(vi.Value(kVersionKeyCount), "");
}

TEST(VersionInfo, NoResourceOrNoFileGivesEmptyTextsAndReReadForgetsTheOld)
{
    TVersionInfoResource vi;
    vi.SetFilename(ProbePath());
    ASSERT_EQ(vi.FileVersion().Text(), "5.0.0.1074");
    vi.SetFilename(BarePath());
    ExpectEmpty(vi);
    vi.SetFilename(ProbePath());
    ASSERT_EQ(vi.CompanyName(), "Probe Makers");
    vi.SetFilename(BinFolder() + "no such file.dll");
    ExpectEmpty(vi);
}

TEST(VersionInfo, DamagedResourceIsReadOnlyInsideItsBlocks)
{
    TVersionInfoResource vi; // see version_probe_damaged.rc for the damage
    vi.SetFilename(BinFolder() + "version_probe_damaged.dll");
    EXPECT_EQ(vi.FileVersion().Text(), "5.0.0.1074");
    EXPECT_EQ(vi.Translations(), std::vector<std::string>{"080403A8"});
    EXPECT_EQ(vi.CompanyName(), "Probe MakersX");
    EXPECT_EQ(vi.Comments(), "For the reader's tests");
    EXPECT_EQ(vi.ProductName(), "Probe Product");
}

TEST(VersionInfo, ReadsTheModuleThatHoldsItUnlessForcedToTheProgram)
{
    TVersionInfoResource inProgram; // this program holds the code: it reads itself
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    TVersionInfoResource direct;
    direct.SetFilename(self);
    EXPECT_EQ(inProgram.FileVersion().Text(), direct.FileVersion().Text());
    EXPECT_NE(direct.FileVersion().Text(), "5.0.0.1074");

    HMODULE probe = LoadLibraryA(ProbePath().c_str());
    ASSERT_NE(probe, nullptr);
    using TProbe = int (*)(int, char*, int);
    auto read = reinterpret_cast<TProbe>(reinterpret_cast<void*>(GetProcAddress(probe, "ProbeFileVersion")));
    ASSERT_NE(read, nullptr);
    char text[64];
    ASSERT_EQ(read(0, text, sizeof text), 1);
    EXPECT_STREQ(text, "5.0.0.1074");
    ASSERT_EQ(read(1, text, sizeof text), 1);
    EXPECT_EQ(text, direct.FileVersion().Text());
    FreeLibrary(probe);
}

TEST(VersionInfo, LabelsShowTheirValuesAndLeaveTheList)
{
    TWindows w;
    HWND view = w.ListView();
    TVersionInfoResource vi;
    vi.SetFilename(ProbePath());
    vi.SetVersionListView(view);

    // Every value in its order; the empty trademarks are left out, and the
    // version rows show the numbers, not the strings.
    const std::vector<TRow> all = {
        {"ProductName", "Probe Product"},   {"ProductVersion", "5.0.0.0"},
        {"CompanyName", "Probe Makers"},    {"LegalCopyright", "(C) Probe Makers"},
        {"FileDescription", "Version probe"}, {"FileVersion", "5.0.0.1074"},
        {"InternalName", "version_probe"},  {"OriginalFilename", "version_probe.dll"},
        {"BuildFlags", "Debug, Patched"},   {"Comments", "For the reader's tests"}};
    EXPECT_EQ(Rows(view), all);
    const LONG_PTR style = GetWindowLongPtrA(view, GWL_STYLE);
    EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_EQ(style & LVS_EDITLABELS, 0);
    EXPECT_NE(style & LVS_NOSORTHEADER, 0);
    HWND header = reinterpret_cast<HWND>(SendMessageA(view, LVM_GETHEADER, 0, 0));
    EXPECT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), 2);

    HWND labels[4] = {w.Label(), w.Label(), w.Label(), w.Label()};
    vi.SetVersionLabel(labels[0]);
    vi.SetCopyrightLabel(labels[1]);
    vi.SetProductLabel(labels[2]);
    vi.SetDescriptionLabel(labels[3]);
    EXPECT_EQ(Text(labels[0]), "5.0.0.1074");
    EXPECT_EQ(Text(labels[1]), "(C) Probe Makers");
    EXPECT_EQ(Text(labels[2]), "Probe Product");
    EXPECT_EQ(Text(labels[3]), "Version probe");
    EXPECT_EQ(vi.ShowResource(), kAllVersionDetails & ~(VersionDetail(pdFileVersion) |
                                                         VersionDetail(pdLegalCopyright) |
                                                         VersionDetail(pdProductName) |
                                                         VersionDetail(pdFileDescription)));
    const std::vector<TRow> rest = {all[1], all[2], all[6], all[7], all[8], all[9]};
    EXPECT_EQ(Rows(view), rest);
    EXPECT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), 2); // columns made anew, not added

    vi.SetShowResource(VersionDetail(pdComments) | VersionDetail(pdLegalTrademarks));
    EXPECT_EQ(Rows(view), std::vector<TRow>{all[9]});
}

TEST(VersionInfo, ForgetsDestroyedLabelsAndListViews)
{
    TWindows w;
    HWND label = w.Label("old");
    HWND shared = w.Label();
    HWND view = w.ListView();
    TVersionInfoResource vi;
    TVersionInfoResource other;
    vi.SetVersionLabel(label);
    vi.SetProductLabel(shared);
    other.SetProductLabel(shared);
    vi.SetVersionListView(view);

    DestroyWindow(label);
    EXPECT_EQ(vi.VersionLabel(), nullptr);
    EXPECT_EQ(vi.ProductLabel(), shared);
    DestroyWindow(shared);
    EXPECT_EQ(vi.ProductLabel(), nullptr);
    EXPECT_EQ(other.ProductLabel(), nullptr);
    DestroyWindow(view);
    EXPECT_EQ(vi.VersionListView(), nullptr);
    vi.SetFilename(ProbePath()); // updates the display with nothing left to write to

    // A window the component let go of keeps working on its own procedure.
    HWND kept = w.Label();
    vi.SetCopyrightLabel(kept);
    vi.SetCopyrightLabel(nullptr);
    SetWindowTextA(kept, "mine");
    EXPECT_EQ(Text(kept), "mine");
    DestroyWindow(kept);
    EXPECT_EQ(vi.CopyrightLabel(), nullptr);
}

#ifdef QOV_PRODUCT_VERSION
#define QOV_STRING2(x) #x
#define QOV_STRING(x) QOV_STRING2(x)

TEST(VersionInfo, ControlLibraryCarriesTheProductsVersion)
{
    TVersionInfoResource vi;
    vi.SetFilename(BinFolder() + "QovPlayer.ocx");
    EXPECT_EQ(vi.FileVersion().Text(), QOV_STRING(QOV_PRODUCT_VERSION));
    EXPECT_EQ(vi.ProductVersion().Text(), QOV_STRING(QOV_PRODUCT_VERSION));
    EXPECT_EQ(vi.Value(pdFileVersion), QOV_STRING(QOV_PRODUCT_VERSION));
    EXPECT_EQ(vi.ProductName(), "Corvane QovPlayer");
    EXPECT_EQ(vi.OriginalFilename(), "QovPlayer.ocx");
    EXPECT_EQ(vi.BuildFlagsText(), "");
}
#endif
