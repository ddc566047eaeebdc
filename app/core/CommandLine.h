// The desktop program's command line: the parameters as the platform split
// them, joined back into the one locator to open; and which locators are
// URLs rather than local paths.
#pragma once

#include <string>
#include <vector>

namespace qov::app {

// Parameters 1..N joined in order with one blank between each two; empty
// when there is nothing to open (no parameters, or only blanks).
std::wstring JoinParameters(const std::vector<std::wstring>& parameters);

// True when the locator begins with a URL scheme ("http:", "FILE:", "QOVS:",
// ...): a letter, then letters, digits, "+", "-" or ".", two characters at
// least (a drive letter is no scheme), and a colon.
bool IsURLLocator(const std::wstring& locator);

} // namespace qov::app
