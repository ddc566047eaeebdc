// Random code bytes and random stack words for the call-form matcher: it
// reads only the bytes it is given, and a match it reports is consistent:
// the entry lies 2 to 8 bytes before the word (5 for a relative call), the
// call's first bytes are where the rule says, and only the relative and cell
// forms ask for a check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ECallForms.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    uint64_t word;
    std::memcpy(&word, data, 8);
    const TCodeArch arch = (data[8] & 1) ? TCodeArch::x64 : TCodeArch::x86;
    // The bytes in front of W in a buffer of their own, so ASan sees any
    // read outside them.
    const std::vector<uint8_t> code(data + 9, data + size);
    TCallForm form;
    const bool hit = MatchCallForm(code.empty() ? nullptr : code.data(), code.size(), word, arch, form);
    if (!hit) {
        if (form.Rule != crNone)
            std::abort();
        return 0;
    }
    const uint64_t mask = arch == TCodeArch::x86 ? 0xFFFFFFFFull : ~0ull;
    const uint64_t length = (word - form.Entry) & mask;
    if (length < 2 || length > CallFormWindow(arch) || length > code.size())
        std::abort();
    const uint8_t first = code[code.size() - length];
    if (form.Rule == crRelative) {
        if (length != 5 || first != 0xE8 || form.CheckSize != 1)
            std::abort();
    } else {
        const bool rex = arch == TCodeArch::x64 && first >= 0x40 && first <= 0x4F &&
                         code[code.size() - length + 1] == 0xFF;
        if (first != 0xFF && !rex)
            std::abort();
        if ((form.Rule == crAbsoluteCell) != (form.CheckSize != 0))
            std::abort();
    }
    return 0;
}
