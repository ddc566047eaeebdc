// Feeds arbitrary bytes to the Base64 decoder as a text: it never reads past
// the text or a table, gives nothing or exactly the decoded size, and what it
// gives encodes back to a text that decodes to the same bytes. Encoding the
// bytes themselves must decode back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "EBase64.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = Base64DecodeText(text);
    if (!decoded.empty()) {
        if (decoded.size() != Base64DecodedSize(text))
            std::abort();
        if (Base64DecodeText(Base64EncodeText(decoded)) != decoded)
            std::abort();
    }
    const std::string encoded = Base64EncodeBuffer(data, size);
    if (encoded.size() != Base64EncodedSize(size) || Base64DecodeText(encoded) != text)
        std::abort();
    return 0;
}
