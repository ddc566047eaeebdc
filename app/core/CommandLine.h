// The desktop program's command line: the parameters as the platform split
// them, joined back into the one locator to open.
#pragma once

#include <string>
#include <vector>

namespace qov::app {

// Parameters 1..N joined in order with one blank between each two; empty
// when there is nothing to open (no parameters, or only blanks).
std::wstring JoinParameters(const std::vector<std::wstring>& parameters);

} // namespace qov::app
