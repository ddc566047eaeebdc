#include "NailsList.h"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace qov {

bool FillNailRecord(NailRecord& record, std::string_view path, int32_t seconds)
{
    std::memset(&record, 0, sizeof record);
    if (path.size() > kNailPathChars)
        return false;
    std::memcpy(record.Path, path.data(), path.size());
    record.Length = static_cast<uint32_t>(path.size());
    record.Seconds = seconds;
    return true;
}

void Pick(int n, int lo, int hi, std::vector<int>& out)
{
    if (n <= 0 || out.size() >= static_cast<size_t>(kMaxNails))
        return;
    if (n == 1) {
        out.push_back(static_cast<int>((static_cast<int64_t>(lo) + hi) / 2));
        return;
    }
    const int h = n / 2;
    const int m = static_cast<int>((static_cast<int64_t>(lo) + hi) / 2);
    Pick(h, lo, m, out);
    Pick(n - h, m + 1, hi, out);
}

std::vector<int> ChooseNailLines(int count)
{
    std::vector<int> lines;
    if (count <= 0)
        return lines;
    if (count <= kMaxNails) {
        for (int i = 0; i < count; ++i)
            lines.push_back(i);
        return lines;
    }
    lines.push_back(0);
    Pick(kMaxNails - 2, 1, count - 2, lines);
    lines.push_back(count - 1);
    return lines;
}

static char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDosDeviceName(std::string_view part)
{
    // The system sees the name before the first dot, without the blanks
    // before that dot.
    std::string_view base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    if (base.size() < 3 || base.size() > 7)
        return false;
    std::string name(base);
    for (char& c : name)
        c = UpperAscii(c);
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" ||
        name == "CONOUT$" || name == "CLOCK$")
        return true;
    if (name.size() != 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "LPT") != 0))
        return false;
    // Digits 1-9, and the superscript one, two and three of the Western code
    // page, which the system takes for digits here.
    const unsigned char digit = static_cast<unsigned char>(name[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool SafeNailValue(std::string_view value)
{
    if (value.empty() || value.size() > kNailPathChars || value.front() == '\\' || value.front() == '/')
        return false;
    int parts = 0;
    size_t partStart = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == '\\' || value[i] == '/') {
            const std::string_view part = value.substr(partStart, i - partStart);
            // An empty part ("a\\b"), "." or ".." never names a picture here;
            // the system drops a part's trailing dots and blanks, so such a
            // part names another file than it says.
            if (part.empty() || part.back() == '.' || part.back() == ' ' || IsDosDeviceName(part) ||
                ++parts > kMaxNailValueParts)
                return false;
            partStart = i + 1;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || std::strchr(":*?\"<>|", c) != nullptr)
            return false;
    }
    return true;
}

bool NailDownloadPath(const std::string& folder, std::string_view value, std::string* path)
{
    if (!SafeNailValue(value) || folder.size() + 6 + value.size() > kNailPathChars)
        return false;
    path->assign(folder).append("nails\\").append(value);
    for (size_t i = folder.size(); i < path->size(); ++i)
        if ((*path)[i] == '/')
            (*path)[i] = '\\';
    return true;
}

static bool EndsWithNoCase(std::string_view text, std::string_view tail)
{
    if (text.size() < tail.size())
        return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        char c = text[text.size() - tail.size() + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != tail[i])
            return false;
    }
    return true;
}

TNailPictureKind NailPictureKind(std::string_view path)
{
    if (EndsWithNoCase(path, ".bmp") || EndsWithNoCase(path, ".dib"))
        return npkBitmap;
    if (EndsWithNoCase(path, ".jpg") || EndsWithNoCase(path, ".jpeg"))
        return npkJpeg;
    return npkNone;
}

std::string_view TrimNailText(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

bool NailNameToInt(std::string_view name, int32_t* value)
{
    name = TrimNailText(name);
    bool negative = false;
    if (!name.empty() && (name.front() == '-' || name.front() == '+')) {
        negative = name.front() == '-';
        name.remove_prefix(1);
    }
    if (name.empty())
        return false;
    int64_t v = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(v);
    return true;
}

void TNailsList::Load(std::string text, bool textCut)
{
    FText = std::move(text);
    FLines.clear();
    FFirstOfName.clear();
    FCut = textCut;
    const std::string_view all(FText);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = start;
        while (end < all.size() && all[end] != '\r' && all[end] != '\n')
            ++end;
        // The line the cut went through may be short of its end.
        if (textCut && end == all.size())
            break;
        if (Count() == kMaxNailsListLines) {
            FCut = true;
            break;
        }
        FLines.push_back(all.substr(start, end - start));
        if (end < all.size() && all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    FFirstBlank = Count();
    std::unordered_map<std::string_view, int> first;
    first.reserve(FLines.size());
    FFirstOfName.resize(FLines.size(), -1);
    for (int i = 0; i < Count(); ++i) {
        const std::string_view line = FLines[static_cast<size_t>(i)];
        if (FFirstBlank == Count() && TrimNailText(line).empty())
            FFirstBlank = i;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        FFirstOfName[static_cast<size_t>(i)] = first.emplace(line.substr(0, eq), i).first->second;
    }
}

std::string_view TNailsList::FirstValue(int line) const
{
    const int first = FFirstOfName[static_cast<size_t>(line)];
    if (first < 0)
        return {};
    const std::string_view text = FLines[static_cast<size_t>(first)];
    return text.substr(text.find('=') + 1);
}

std::vector<TNailEntry> TNailsList::Entries(const std::string& folder) const
{
    std::vector<TNailEntry> entries;
    for (int line : ChooseNailLines(Count())) {
        if (line >= FFirstBlank)
            break;
        const std::string_view text = FLines[static_cast<size_t>(line)];
        const size_t eq = text.find('=');
        int32_t ms = 0;
        if (eq == std::string_view::npos || !NailNameToInt(text.substr(0, eq), &ms))
            break;
        // The picture lies where the downloader stores it.
        TNailEntry entry;
        if (!NailDownloadPath(folder, FirstValue(line), &entry.Path))
            continue;
        entry.Seconds = ms / 1000;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> TNailsList::PictureValues() const
{
    std::vector<std::string> values;
    std::unordered_set<std::string_view> seen;
    for (int line = 0; line < FFirstBlank; ++line) {
        const std::string_view value = FirstValue(line);
        if (value.empty())
            break;
        if (SafeNailValue(value) && seen.insert(value).second)
            values.emplace_back(value);
    }
    return values;
}

} // namespace qov
