// The thumbnail list comes from any web server: split, choose and build
// paths from arbitrary bytes, both the reader's and the downloader's (the
// local file each picture value is stored in).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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
    // A download path never leaves the picture folder, fits a record and
    // holds no part that is empty, a dot part, or a device name.
    const std::string folder = "C:\\t\\1_1\\";
    const std::string pictures = folder + "nails\\";
    for (const std::string& value : list.PictureValues()) {
        std::string local;
        if (!qov::NailDownloadPath(folder, value, &local))
            continue;
        if (local.size() > qov::kNailPathChars || local.compare(0, pictures.size(), pictures) != 0 ||
            local.find('/') != std::string::npos)
            __builtin_trap();
        const std::string_view rest = std::string_view(local).substr(pictures.size());
        int parts = 0;
        for (size_t start = 0, end; start <= rest.size(); start = end + 1) {
            end = rest.find('\\', start);
            if (end == std::string_view::npos)
                end = rest.size();
            const std::string_view part = rest.substr(start, end - start);
            if (part.empty() || part == "." || part == ".." || qov::IsDosDeviceName(part) ||
                ++parts > qov::kMaxNailValueParts || std::memchr(part.data(), ':', part.size()))
                __builtin_trap();
        }
    }
    // The start of a longer list: the same, with its last line dropped.
    qov::TNailsList cut;
    cut.Load(std::string(reinterpret_cast<const char*>(data), size), true);
    if (cut.Count() > list.Count())
        __builtin_trap();
    return 0;
}
