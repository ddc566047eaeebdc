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

} // namespace qov::app
