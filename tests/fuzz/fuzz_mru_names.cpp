// Stored recent-files names (registry values or INI lines of any bytes):
// loading, adding and shortening them to a width, under a double-byte (GBK)
// and a single-byte code page's lead bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MRUList.h"
#include "../support/LeadByteRules.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int width = data[0];
    const uint8_t charWidth = static_cast<uint8_t>(data[1] % 8);
    const qov::app::TLeadByteTest isLeadByte = data[1] & 0x80 ? qov::test::GbkLead : qov::test::NoLead;
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    qov::app::TMRUList list(isLeadByte);
    list.AddStoredLines(lines);
    for (const auto& line : lines)
        list.Add(line, 10);
    // Widths of zero per character included: nothing may loop for ever.
    auto measure = [&](const std::string& s) { return static_cast<int>(s.size()) * charWidth; };
    for (const auto& name : list.Names()) {
        std::string shown = qov::app::ShortenName(name, width, measure, isLeadByte);
        if (shown.size() > name.size() + 4)
            __builtin_trap();
    }
    return 0;
}
