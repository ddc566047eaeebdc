// Feeds arbitrary bytes to the gzip reader as an image: it either refuses
// them with EZLibError and writes nothing, or writes the inflated bytes; it
// never reads past the image. The bytes themselves stored by the gzip writer
// must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ETarGZip.h"

using namespace qov::exceptions;

namespace {

bool Load(const std::string& image, std::string& plain)
{
    TOptionsReadStream input(image.data(), image.size());
    TOptionsMemoryStream output;
    try {
        LoadGzip(input, output);
    } catch (const EZLibError&) {
        if (!output.Bytes().empty())
            std::abort();
        return false;
    }
    plain = output.Bytes();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exactly sized copy, so that a read past the image is caught.
    const std::string image(reinterpret_cast<const char*>(data), size);
    std::string plain;
    Load(image, plain);

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!Load(GzipImage(bytes, "fuzz.tgz"), plain) || plain != bytes)
        std::abort();
    return 0;
}
