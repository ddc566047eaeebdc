#include "LocatorHelpers.h"

namespace qov {

namespace {

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when s begins with prefix (ASCII upper case), compared upper-cased.
bool StartsWithUpper(const std::string& s, const char* prefix)
{
    size_t i = 0;
    for (; prefix[i]; i++)
        if (i >= s.size() || UpperAscii(s[i]) != prefix[i])
            return false;
    return true;
}

// Replaces every occurrence of from, left to right; the replacement text is
// not searched again.
std::string ReplaceAll(const std::string& s, const std::string& from, const std::string& to)
{
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = s.find(from, pos);
        if (hit == std::string::npos)
            break;
        out.append(s, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    out.append(s, pos, std::string::npos);
    return out;
}

void AppendTwoDigits(std::string& out, int64_t value)
{
    if (value < 10)
        out += '0';
    out += std::to_string(value);
}

} // namespace

std::string SecondsToTimeText(int32_t seconds)
{
    int64_t rest = seconds;
    int64_t hours = 0;
    int64_t minutes = 0;
    if (rest >= 3600) {
        hours = rest / 3600;
        rest %= 3600;
    }
    if (rest >= 60) {
        minutes = rest / 60;
        rest %= 60;
    }
    std::string out;
    AppendTwoDigits(out, hours);
    out += ':';
    AppendTwoDigits(out, minutes);
    out += ':';
    AppendTwoDigits(out, rest);
    return out;
}

bool IsNetURL(const std::string& locator)
{
    if (locator.size() < 4)
        return false;
    return StartsWithUpper(locator, "HTTP") || StartsWithUpper(locator, "FTP:") ||
           StartsWithUpper(locator, "QOVS");
}

std::string URLToFileName(const std::string& locator)
{
    std::string s = ReplaceAll(locator, "%7B", "{");
    s = ReplaceAll(s, "%7D", "}");
    s = ReplaceAll(s, "%20", " ");
    if (StartsWithUpper(s, "FILE://")) {
        if (StartsWithUpper(s, "FILE:///")) {
            s.erase(0, 8);
        } else {
            s.erase(0, 7);
            if (s.size() >= 2 && s[1] != ':' && !(s[0] == '\\' && s[1] == '\\'))
                s.insert(0, "\\\\");
        }
        for (char& c : s)
            if (c == '/')
                c = '\\';
    }
    size_t q = s.find('?');
    if (q != std::string::npos)
        s.erase(q);
    return s;
}

} // namespace qov
