// Feeds arbitrary bytes to the buffer inflater: a stream that is not a whole,
// sound zlib stream raises EZLibError; one that is gives bytes that deflate
// and inflate again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <memory>
#include <string>

#include "EZlib.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    // An exactly sized copy, so that a read past the input is caught.
    std::unique_ptr<uint8_t[]> input(new uint8_t[size]);
    std::copy(data, data + size, input.get());
    std::string plain;
    try {
        plain = DecompressBuffer(input.get(), static_cast<int32_t>(size));
    } catch (const EZLibError&) {
        return 0;
    }
    if (plain.size() <= 1 << 16) {
        const std::string packed = CompressBuffer(plain.data(), static_cast<int32_t>(plain.size()));
        if (DecompressBuffer(packed.data(), static_cast<int32_t>(packed.size())) != plain)
            std::abort();
    }
    return 0;
}
