// The thumbnail list comes from any web server: split, choose and build
// paths from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "NailsList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qov::TNailsList list;
    list.Load(std::string(reinterpret_cast<const char*>(data), size));
    for (const qov::TNailEntry& entry : list.Entries("C:\\rec\\")) {
        qov::NailRecord record;
        if (!qov::FillNailRecord(record, entry.Path, entry.Seconds))
            __builtin_trap();
        (void)qov::NailPictureKind(entry.Path);
    }
    (void)list.PictureValues();
    return 0;
}
