// Feeds arbitrary bytes to the ZPDATA block readers (resource form, appended
// form) and, when a block is taken, to the line data it holds. Nothing may be
// read past the data, and a taken block holds no more than its bytes could
// give (the zlib parts within the inflate limit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ECoreOptions.h"
#include "EDebugData.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TZpdataBlock block;
    if (ParseZpdataResource(data, size, true, block)) {
        if (block.Version > LibraryOptionsVersion)
            std::abort();
        if (block.Version < 450 && block.Options.size() + block.LineData.size() > size)
            std::abort();
        TLineDataFormat format;
        format.Version = block.Version;
        TLineInfo info;
        LookupLine(reinterpret_cast<const uint8_t*>(block.LineData.data()), block.LineData.size(), format,
                   0x1000, info);
    }
    ParseZpdataResource(data, size, false, block);
    if (ParseZpdataAppended(data, size, true, block) && block.Options.size() + block.LineData.size() > size)
        std::abort();
    return 0;
}
