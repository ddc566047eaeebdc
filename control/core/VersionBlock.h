// Reading a copied version resource: the block that the platform's
// GetFileVersionInfo copies out of a module, in its 32-bit form (nodes of
// length, value length, type, UTF-16 key, value and children, each aligned to
// four bytes from the start of its node).
//
// The copy comes from any file a caller names, so nothing in it is trusted.
// FindVersionValue walks a path the way the platform's VerQueryValue does,
// reading each node header and key only inside the copy; a value is clipped to
// the end of its node and of the copy. When the walk finds a value, the
// platform's own walk of the same path reads nothing that this walk has not
// read, so the caller may then ask the platform without it leaving the copy.
// What lies outside the copy, or behind a damaged node, is simply not found.
//
// Pure logic: no Windows headers. Header-only, so that every module that
// carries the version reader compiles it in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SysUtils.h"

namespace qov {

// A value found in a copy.
struct TVersionValue {
    size_t Offset = 0;   // first byte of the value in the copy
    size_t Size = 0;     // bytes of the value inside its node and the copy
    uint16_t Length = 0; // the value length the node states
    bool Text = false;   // type 1: UTF-16 text (length in characters)
};

// The fixed part of a version resource (the root's value).
struct TFixedVersionValues {
    uint32_t FileVersionMS = 0;
    uint32_t FileVersionLS = 0;
    uint32_t ProductVersionMS = 0;
    uint32_t ProductVersionLS = 0;
    uint32_t FileFlags = 0;
};
constexpr size_t kFixedVersionSize = 52; // thirteen double words

// The string values' keys, by index.
constexpr int kVersionKeyCount = 11;
inline constexpr const char* kVersionKeys[kVersionKeyCount] = {
    "CompanyName",      "FileDescription",  "FileVersion", "InternalName",
    "LegalCopyright",   "LegalTrademarks",  "OriginalFilename", "ProductName",
    "ProductVersion",   "Comments",         "BuildFlags"};

namespace version_block_detail {

struct TNode {
    size_t At = 0;
    uint16_t Length = 0;
    uint16_t ValueLength = 0;
    uint16_t Type = 0;
    size_t KeyChars = 0;
};

inline bool ReadU16(const uint8_t* block, size_t size, size_t at, uint16_t& v)
{
    if (at > size || size - at < 2)
        return false;
    v = static_cast<uint16_t>(block[at] | (block[at + 1] << 8));
    return true;
}

// Header and key length of the node at `at`; false when either reaches
// outside the copy (the key runs to its terminator, as the platform reads it).
inline bool ReadNode(const uint8_t* block, size_t size, size_t at, TNode& n)
{
    n.At = at;
    if (!ReadU16(block, size, at, n.Length) || !ReadU16(block, size, at + 2, n.ValueLength) ||
        !ReadU16(block, size, at + 4, n.Type))
        return false;
    n.KeyChars = 0;
    for (size_t k = at + 6;; k += 2, ++n.KeyChars) {
        uint16_t c;
        if (!ReadU16(block, size, k, c))
            return false;
        if (c == 0)
            return true;
    }
}

inline size_t Align4(size_t base, size_t at) { return base + ((at - base + 3) & ~size_t(3)); }
inline size_t ValueAt(const TNode& n) { return Align4(n.At, n.At + 6 + 2 * (n.KeyChars + 1)); }
inline size_t ChildrenAt(const TNode& n)
{
    return Align4(n.At, ValueAt(n) + size_t(n.ValueLength) * (n.Type ? 2 : 1));
}

// The key compared as the platform does: case-insensitively, whole.
inline bool KeyIs(const uint8_t* block, const TNode& n, std::string_view key)
{
    if (n.KeyChars != key.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i) {
        const size_t at = n.At + 6 + 2 * i;
        uint16_t c = static_cast<uint16_t>(block[at] | (block[at + 1] << 8));
        uint16_t k = static_cast<uint8_t>(key[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<uint16_t>(c + 32);
        if (k >= 'A' && k <= 'Z') k = static_cast<uint16_t>(k + 32);
        if (c != k)
            return false;
    }
    return true;
}

inline uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace version_block_detail

// Finds the value at path ("\" the root, "\VarFileInfo\Translation",
// "\StringFileInfo\080403A8\CompanyName"; empty path parts are skipped).
inline bool FindVersionValue(const uint8_t* block, size_t size, std::string_view path, TVersionValue& value)
{
    using namespace version_block_detail;
    value = TVersionValue();
    // The 16-bit form (an ANSI key where the type word stands) is not read.
    if (!block || size < 6 || block[4] >= 0x20)
        return false;
    TNode node;
    if (!ReadNode(block, size, 0, node))
        return false;
    size_t p = 0;
    while (p < path.size()) {
        size_t q = path.find('\\', p);
        if (q == std::string_view::npos)
            q = path.size();
        if (q == p) {
            ++p;
            continue;
        }
        const std::string_view key = path.substr(p, q - p);
        const size_t end = node.At + node.Length;
        bool found = false;
        TNode child;
        for (size_t at = ChildrenAt(node); at < end; at += (size_t(child.Length) + 3) & ~size_t(3)) {
            if (!ReadNode(block, size, at, child))
                return false;
            if (KeyIs(block, child, key)) {
                found = true;
                break;
            }
            if (child.Length == 0)
                return false;
        }
        if (!found)
            return false;
        node = child;
        p = q;
    }
    value.Offset = ValueAt(node);
    if (value.Offset > size) // the value would start outside the copy
        return false;
    value.Length = node.ValueLength;
    value.Text = node.Type != 0;
    size_t end = node.At + node.Length;
    if (end > size)
        end = size;
    const size_t bytes = size_t(node.ValueLength) * (value.Text ? 2 : 1);
    value.Size = value.Offset < end ? std::min(bytes, end - value.Offset) : 0;
    return true;
}

// A text value up to its terminator, or to the end of what lies inside.
inline std::u16string VersionText(const uint8_t* block, const TVersionValue& value)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < value.Size; i += 2) {
        const char16_t c = static_cast<char16_t>(block[value.Offset + i] | (block[value.Offset + i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

// The translation table: one "%.4X%.4X" text (language, code page) for each
// whole four-byte entry; a shorter tail is ignored.
inline std::vector<std::string> VersionTranslations(const uint8_t* block, const TVersionValue& value)
{
    std::vector<std::string> list;
    for (size_t i = 0; i + 4 <= value.Size; i += 4) {
        const uint8_t* e = block + value.Offset + i;
        list.push_back(Format("%.4X%.4X", unsigned(e[0] | e[1] << 8), unsigned(e[2] | e[3] << 8)));
    }
    return list;
}

// The fixed part, when the root's value holds all of it.
inline bool VersionFixedInfo(const uint8_t* block, const TVersionValue& value, TFixedVersionValues& fixed)
{
    using version_block_detail::ReadU32;
    if (value.Size < kFixedVersionSize)
        return false;
    const uint8_t* f = block + value.Offset;
    fixed.FileVersionMS = ReadU32(f + 8);
    fixed.FileVersionLS = ReadU32(f + 12);
    fixed.ProductVersionMS = ReadU32(f + 16);
    fixed.ProductVersionLS = ReadU32(f + 20);
    fixed.FileFlags = ReadU32(f + 28);
    return true;
}

// "5.0.0.1074": the four 16-bit parts of a version number.
inline std::string VersionNumberText(uint32_t ms, uint32_t ls)
{
    return Format("%u.%u.%u.%u", unsigned(ms >> 16), unsigned(ms & 0xFFFF), unsigned(ls >> 16),
                  unsigned(ls & 0xFFFF));
}

// The names of the set file flags in ascending bit order, separated by ", ":
// 0x01 Debug, 0x02 Pre-Release, 0x04 Patched, 0x08 Private, 0x10 Info
// Inferred, 0x20 Special (the platform's file-flag bits). Other bits have no name.
inline std::string BuildFlagsText(uint32_t fileFlags)
{
    static constexpr const char* kNames[6] = {"Debug", "Pre-Release", "Patched", "Private", "Info Inferred",
                                              "Special"};
    std::string text;
    for (int bit = 0; bit < 6; ++bit) {
        if (fileFlags & (1u << bit)) {
            if (!text.empty())
                text += ", ";
            text += kNames[bit];
        }
    }
    return text;
}

} // namespace qov
