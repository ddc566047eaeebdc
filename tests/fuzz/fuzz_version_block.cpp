// Feeds arbitrary bytes to the version-block reader as the copy of a version
// resource from any file. Every value found must lie inside the copy, and the
// texts read from it must stay there too (the sanitizers watch the reads).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "VersionBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov;
    auto check = [&](const TVersionValue& v) {
        if (v.Offset > size || v.Size > size - v.Offset)
            std::abort();
    };
    TVersionValue v;
    if (FindVersionValue(data, size, "\\", v)) {
        check(v);
        TFixedVersionValues fixed;
        if (VersionFixedInfo(data, v, fixed))
            (void)BuildFlagsText(fixed.FileFlags);
    }
    std::string translation;
    if (FindVersionValue(data, size, "\\VarFileInfo\\Translation", v)) {
        check(v);
        for (const std::string& t : VersionTranslations(data, v)) {
            if (t.size() != 8)
                std::abort();
            translation = t;
        }
    }
    for (const char* key : kVersionKeys) {
        if (FindVersionValue(data, size, "\\StringFileInfo\\" + translation + "\\" + key, v)) {
            check(v);
            if (VersionText(data, v).size() * 2 > v.Size)
                std::abort();
        }
    }
    return 0;
}
