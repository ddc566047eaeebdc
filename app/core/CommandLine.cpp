#include "CommandLine.h"

namespace qov::app {

std::wstring JoinParameters(const std::vector<std::wstring>& parameters)
{
    std::wstring text;
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0)
            text += L' ';
        text += parameters[i];
    }
    // Empty quotes or quoted blanks name nothing.
    if (text.find_first_not_of(L" \t") == std::wstring::npos)
        text.clear();
    return text;
}

namespace {

bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

} // namespace

bool IsURLLocator(const std::wstring& locator)
{
    if (locator.empty() || !IsAsciiLetter(locator[0]))
        return false;
    size_t i = 1;
    while (i < locator.size() && (IsAsciiLetter(locator[i]) || (locator[i] >= L'0' && locator[i] <= L'9') ||
                                  locator[i] == L'+' || locator[i] == L'-' || locator[i] == L'.'))
        ++i;
    return i >= 2 && i < locator.size() && locator[i] == L':';
}

} // namespace qov::app
