#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VersionBlock.h"

using namespace qov;

namespace {

using TBytes = std::vector<uint8_t>;

void Put16(TBytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Pad4(TBytes& b) { b.resize((b.size() + 3) & ~size_t(3)); }
TBytes Utf16(const std::string& s, bool terminated = true)
{
    TBytes b;
    for (char c : s) { b.push_back(static_cast<uint8_t>(c)); b.push_back(0); }
    if (terminated) { b.push_back(0); b.push_back(0); }
    return b;
}

// One node of the 32-bit form, laid out independently of the reader.
TBytes Node(const std::string& key, uint16_t type, const TBytes& value, uint16_t valueLength,
            const std::vector<TBytes>& children = {})
{
    TBytes b(6);
    TBytes k = Utf16(key);
    b.insert(b.end(), k.begin(), k.end());
    Pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const TBytes& child : children) {
        Pad4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    Put16(b, 0, static_cast<uint16_t>(b.size()));
    Put16(b, 2, valueLength);
    Put16(b, 4, type);
    return b;
}
TBytes Str(const std::string& key, const std::string& text)
{
    return Node(key, 1, Utf16(text), static_cast<uint16_t>(text.size() + 1));
}
TBytes Translation(const TBytes& entries)
{
    return Node("Translation", 0, entries, static_cast<uint16_t>(entries.size()));
}
TBytes Fixed(uint32_t fileMS, uint32_t fileLS, uint32_t flags)
{
    TBytes f(kFixedVersionSize);
    auto put32 = [&](size_t at, uint32_t v) { Put16(f, at, uint16_t(v)); Put16(f, at + 2, uint16_t(v >> 16)); };
    put32(0, 0xFEEF04BD);
    put32(8, fileMS);
    put32(12, fileLS);
    put32(16, 0x00050000);
    put32(28, flags);
    return f;
}
TBytes Root(const TBytes& fixed, const std::vector<TBytes>& strings, const TBytes& translation)
{
    return Node("VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()),
                {Node("StringFileInfo", 1, {}, 0, {Node("080403A8", 1, {}, 0, strings)}),
                 Node("VarFileInfo", 1, {}, 0, {translation})});
}
TBytes Standard()
{
    return Root(Fixed(0x00050000, 0x00000432, 0x05), {Str("CompanyName", "Acme"), Str("ProductName", "Player")},
                Translation({0x04, 0x08, 0xA8, 0x03}));
}

// Finds path; the text of a found value (or "<none>").
std::string TextAt(const TBytes& b, const std::string& path)
{
    TVersionValue v;
    if (!FindVersionValue(b.data(), b.size(), path, v))
        return "<none>";
    EXPECT_LE(v.Offset + v.Size, b.size());
    std::u16string t = VersionText(b.data(), v);
    return std::string(t.begin(), t.end());
}
std::vector<std::string> TranslationsOf(const TBytes& b)
{
    TVersionValue v;
    if (!FindVersionValue(b.data(), b.size(), "\\VarFileInfo\\Translation", v))
        return {};
    return VersionTranslations(b.data(), v);
}

} // namespace

TEST(VersionBlock, FindsValuesAsThePlatformWalksThem)
{
    const TBytes b = Standard();
    TVersionValue v;
    ASSERT_TRUE(FindVersionValue(b.data(), b.size(), "\\", v));
    TFixedVersionValues fixed;
    ASSERT_TRUE(VersionFixedInfo(b.data(), v, fixed));
    EXPECT_EQ(VersionNumberText(fixed.FileVersionMS, fixed.FileVersionLS), "5.0.0.1074");
    EXPECT_EQ(BuildFlagsText(fixed.FileFlags), "Debug, Patched");
    EXPECT_EQ(TranslationsOf(b), std::vector<std::string>{"080403A8"});
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\ProductName"), "Player");
    EXPECT_EQ(TextAt(b, "\\stringfileinfo\\080403a8\\COMPANYNAME"), "Acme"); // keys ignore case
    EXPECT_EQ(TextAt(b, "\\\\StringFileInfo\\080403A8\\\\CompanyName\\"), "Acme");
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\\\CompanyName"), "<none>"); // no translation: nothing
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\Company"), "<none>");
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\LegalCopyright"), "<none>");
}

TEST(VersionBlock, CopiesCutShortReadOnlyWhatTheyHold)
{
    const TBytes full = Standard();
    for (size_t n = 0; n < full.size(); ++n) {
        const TBytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)); // exact size for ASan
        const std::string company = TextAt(cut, "\\StringFileInfo\\080403A8\\CompanyName");
        EXPECT_TRUE(company == "<none>" || std::string("Acme").starts_with(company)) << n;
        TVersionValue v;
        TFixedVersionValues fixed;
        if (FindVersionValue(cut.data(), cut.size(), "\\", v)) {
            EXPECT_EQ(VersionFixedInfo(cut.data(), v, fixed), n >= 40 + kFixedVersionSize) << n;
        }
        EXPECT_LE(TranslationsOf(cut).size(), 1u);
    }
}

TEST(VersionBlock, ValuesLongerThanTheirNodeOrTheCopyAreClipped)
{
    // The last string of the copy claims 0xFFFF bytes and 200 characters and
    // has no terminator.
    TBytes open = Node("Comments", 1, Utf16("open", false), 200);
    Put16(open, 0, 0xFFFF);
    const TBytes b = Node("VS_VERSION_INFO", 0, Fixed(1, 2, 0), kFixedVersionSize,
                          {Node("StringFileInfo", 1, {}, 0, {Node("080403A8", 1, {}, 0, {open})})});
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\Comments"), "open");
    // A text value stating fewer characters than it holds ends where it says.
    const TBytes shortLength = Node("VS_VERSION_INFO", 0, {}, 0,
                                    {Node("StringFileInfo", 1, {}, 0,
                                          {Node("080403A8", 1, {}, 0, {Node("Comments", 1, Utf16("abcdef"), 3)})})});
    EXPECT_EQ(TextAt(shortLength, "\\StringFileInfo\\080403A8\\Comments"), "abc");
}

TEST(VersionBlock, TranslationTablesTakeWholeEntriesOnly)
{
    auto with = [](const TBytes& entries) {
        return TranslationsOf(Root(Fixed(1, 2, 0), {}, Translation(entries)));
    };
    EXPECT_EQ(with({}), std::vector<std::string>{});
    EXPECT_EQ(with({0x04, 0x08}), std::vector<std::string>{});
    EXPECT_EQ(with({0x04, 0x08, 0xA8, 0x03, 0x09, 0x04}), std::vector<std::string>{"080403A8"});
    EXPECT_EQ(with({0x04, 0x08, 0xA8, 0x03, 0x09, 0x04, 0xB0, 0x04, 0xFF}),
              (std::vector<std::string>{"080403A8", "040904B0"}));
}

TEST(VersionBlock, DamagedNodesEndTheWalk)
{
    // A sibling of length 0 ends the search among its siblings.
    TBytes zero = Node("Empty", 1, {}, 0);
    Put16(zero, 0, 0);
    TBytes b = Root(Fixed(1, 2, 0), {zero, Str("CompanyName", "Acme")}, Translation({}));
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\CompanyName"), "<none>");
    EXPECT_EQ(TextAt(b, "\\StringFileInfo\\080403A8\\Empty"), ""); // found by its key first

    // A key whose terminator lies beyond the copy.
    TBytes key = Node("VS_VERSION_INFO", 0, {}, 0);
    key.resize(6 + 8);
    TVersionValue v;
    EXPECT_FALSE(FindVersionValue(key.data(), key.size(), "\\", v));

    // The 16-bit form (ANSI key after two words) is not read.
    TBytes old = {0x40, 0x00, 0x34, 0x00, 'V', 'S', '_', 0};
    EXPECT_FALSE(FindVersionValue(old.data(), old.size(), "\\", v));
    EXPECT_FALSE(FindVersionValue(nullptr, 0, "\\", v));

    // A root value too short for the fixed part gives no fixed part.
    TBytes shortFixed = Node("VS_VERSION_INFO", 0, TBytes(20), 20);
    ASSERT_TRUE(FindVersionValue(shortFixed.data(), shortFixed.size(), "\\", v));
    TFixedVersionValues fixed;
    EXPECT_FALSE(VersionFixedInfo(shortFixed.data(), v, fixed));
}

TEST(VersionBlock, NumberAndFlagTexts)
{
    EXPECT_EQ(VersionNumberText(0xFFFF0001, 0x00020003), "65535.1.2.3");
    EXPECT_EQ(BuildFlagsText(0), "");
    EXPECT_EQ(BuildFlagsText(0x02), "Pre-Release");
    EXPECT_EQ(BuildFlagsText(0x10), "Info Inferred");
    EXPECT_EQ(BuildFlagsText(0xFFFFFFFF), "Debug, Pre-Release, Patched, Private, Info Inferred, Special");
}
