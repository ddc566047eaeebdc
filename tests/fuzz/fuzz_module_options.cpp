// Feeds arbitrary bytes to the option record's reader: the first byte picks
// one of the layout versions, the rest is the stored form. Nothing may be
// read past the data, no text may be longer than the data, and what was read
// must come back unchanged through the current stored form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ECoreOptions.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint16_t versions[] = {400, 420, 421, 422, 449, 450, 499, 500, LibraryOptionsVersion};
    if (size == 0)
        return 0;
    const uint16_t version = versions[data[0] % 9];
    TOptionsReadStream in(data + 1, size - 1);
    TZephraModuleOptions read("", false);
    read.ReadFromStream(in, version);
    if (in.Position() > size - 1)
        std::abort();

    TOptionsMemoryStream stored;
    read.WriteToStream(stored);
    auto textsFit = [&](const TZephraModuleOptions& o) {
        for (int i = 0; i < CustomTextCount; ++i)
            if (o.GetCustomText(i).size() > size && o.GetCustomText(i) != DefaultTexts[i])
                return false;
        return o.FilterClasses().Count() <= static_cast<int>(size / 8) &&
               o.FilterClasses().Count() == o.FilterMessages().Count() &&
               o.MailBody().size() <= size && o.LogFolder().size() <= size;
    };
    if (!textsFit(read))
        std::abort();

    TOptionsMemoryStream again(stored.Bytes());
    TZephraModuleOptions copy("", false);
    copy.ReadFromStream(again, LibraryOptionsVersion);
    TOptionsMemoryStream restored;
    copy.WriteToStream(restored);
    if (again.Remaining() != 0 || restored.Bytes() != stored.Bytes())
        std::abort();
    return 0;
}
