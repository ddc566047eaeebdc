// The tools print to terminals and logs that read UTF-8, while the engine's
// texts (status texts, decoder and source messages) are GBK bytes. Every text
// a tool takes from the engine passes through here on its way out.
#pragma once

#include <string>

namespace qov::tools {

// text (GBK) as UTF-8; ASCII comes back unchanged, an empty text or nullptr as "".
std::string Utf8FromGbk(const char* text);
std::string Utf8FromGbk(const std::string& text);

} // namespace qov::tools
