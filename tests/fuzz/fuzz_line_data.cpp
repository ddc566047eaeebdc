// Feeds arbitrary bytes to the line-data decoder: the first two bytes pick
// the version and the lock, the next four an offset to look up, the rest is
// the line data (pointer-like lengths, names that never end, units whose
// ranges overlap). Every range the walk gives must be well formed (a locked
// name part shows at most a few characters per stored byte), and a
// lookup's hit must lie in a range the walk gave too when the walk read the
// whole data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ECoreOptions.h"
#include "EDebugData.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint16_t versions[] = {400, 405, 422, 423, 450, 499, 500, 501, 502, LibraryOptionsVersion};
    if (size < 6)
        return 0;
    TLineDataFormat format;
    format.Version = versions[data[0] % 10];
    format.Unlocked = data[1] & 1;
    format.Decipher = [](const std::string& b) { return b; };
    format.LockedForm = [](const std::string& b) { return "?" + std::to_string(b.size()); };
    uint32_t offset;
    std::memcpy(&offset, data + 2, 4);
    const uint8_t* lines = data + 6;
    const size_t n = size - 6;

    bool covered = false;
    const bool whole = WalkLineData(lines, n, format, [&](uint32_t begin, uint32_t end, const TLineInfo& info) {
        if (end <= begin || info.Unit.size() > 4 * n + 8 || info.Procedure.size() > 4 * n)
            std::abort();
        covered = covered || (offset >= begin && offset < end);
    });
    TLineInfo info;
    if (LookupLine(lines, n, format, offset, info) && whole && !covered)
        std::abort();
    return 0;
}
