#include "MRUList.h"

namespace qov::app {

namespace {

unsigned char FoldAscii(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Positions of separators ('\\' or ':') that start a character: the trail
// byte of a double-byte character may have a backslash's value.
std::vector<size_t> Separators(const std::string& s, bool colons, TLeadByteTest isLeadByte)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (isLeadByte(c) && i + 1 < s.size())
            ++i;
        else if (c == '\\' || (colons && c == ':'))
            found.push_back(i);
    }
    return found;
}

} // namespace

bool SameNameIgnoringCase(const std::string& a, const std::string& b, TLeadByteTest isLeadByte)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (isLeadByte(ca) && i + 1 < a.size()) {
            // Both bytes of the character must match exactly.
            if (ca != cb || a[i + 1] != b[i + 1])
                return false;
            ++i;
            continue;
        }
        if (FoldAscii(ca) != FoldAscii(cb))
            return false;
    }
    return true;
}

void TMRUList::Add(const std::string& name, size_t maximum)
{
    for (size_t i = 0; i < FNames.size(); ++i) {
        if (SameNameIgnoringCase(FNames[i], name, FIsLeadByte)) {
            std::string kept = std::move(FNames[i]);
            FNames.erase(FNames.begin() + static_cast<std::ptrdiff_t>(i));
            FNames.insert(FNames.begin(), std::move(kept));
            return;
        }
    }
    FNames.insert(FNames.begin(), name);
    Trim(maximum);
}

bool TMRUList::Trim(size_t maximum)
{
    if (FNames.size() <= maximum)
        return false;
    FNames.resize(maximum);
    return true;
}

void TMRUList::Delete(size_t index)
{
    if (index < FNames.size())
        FNames.erase(FNames.begin() + static_cast<std::ptrdiff_t>(index));
}

void TMRUList::AddStoredLines(const std::vector<std::string>& lines)
{
    for (const auto& line : lines) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            AddStored(line.substr(eq + 1));
    }
}

void TMRUList::AddStored(const std::string& value)
{
    if (!value.empty())
        FNames.push_back(value);
}

std::string ShortenName(const std::string& name, int maxWidth, const TMeasureText& measure,
                        TLeadByteTest isLeadByte)
{
    static const std::string Ellipsis = "...\\";
    std::string drive, folder, file;
    size_t start = 0;
    if (name.size() >= 2 && name[1] == ':') {
        drive = name.substr(0, 2);
        start = 2;
    }
    auto separators = Separators(name, true, isLeadByte);
    size_t last = separators.empty() ? std::string::npos : separators.back();
    if (last != std::string::npos && last >= start) {
        folder = name.substr(start, last + 1 - start);
        file = name.substr(last + 1);
    } else {
        file = name.substr(start);
    }
    while ((!drive.empty() || !folder.empty()) && measure(drive + folder + file) > maxWidth) {
        if (folder == "\\" + Ellipsis) {
            drive.clear();
            folder = Ellipsis;
        } else if (folder.empty()) {
            drive.clear();
        } else if (folder == "\\") {
            folder.clear();
        } else {
            bool rooted = folder[0] == '\\';
            if (rooted)
                folder.erase(0, 1);
            if (!folder.empty() && folder[0] == '.')
                folder.erase(0, folder.size() < 4 ? folder.size() : 4);
            auto slashes = Separators(folder, false, isLeadByte);
            size_t slash = slashes.empty() ? std::string::npos : slashes.front();
            if (slash == std::string::npos)
                folder.clear();
            else
                folder = Ellipsis + folder.substr(slash + 1);
            if (rooted)
                folder.insert(0, "\\");
        }
    }
    return drive + folder + file;
}

} // namespace qov::app
