// Feeds arbitrary bytes to the language-data reader of the handled-or-
// unhandled decision as a frame's tables, with arbitrary function and
// frame addresses: it must never read outside the bytes it is given (the
// tables lie in an allocation of their exact size, which the sanitizers
// watch), and must end on any chain.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ELsda.h"

namespace {

using namespace qov::exceptions;

struct TSpan {
    const uint8_t* Begin;
    const uint8_t* End;
};

// Indirect entries may name cells inside the tables only.
bool ReadCellInside(uintptr_t address, uintptr_t& value, void* data)
{
    auto* span = static_cast<TSpan*>(data);
    auto begin = reinterpret_cast<uintptr_t>(span->Begin), end = reinterpret_cast<uintptr_t>(span->End);
    if (address < begin || address >= end || end - address < sizeof value)
        return false;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return true;
}

bool OddTypes(uintptr_t type, void*)
{
    return type & 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 18)
        return 0;
    uint64_t regionStart, ip;
    std::memcpy(&regionStart, data, 8);
    std::memcpy(&ip, data + 8, 8);
    uint8_t lsdaOffset = data[16];
    bool foreign = data[17] & 1;
    data += 18;
    size -= 18;
    std::vector<uint8_t> tables(data, data + size);
    const uint8_t* begin = tables.data();
    const uint8_t* end = begin + tables.size();
    TSpan span{begin, end};
    // The tables may start anywhere in the span, also at its end.
    const uint8_t* lsda = begin + (size ? lsdaOffset % (size + 1) : 0);
    TLsdaReader reader(lsda, TLsdaBounds{begin, end}, static_cast<uintptr_t>(regionStart), ReadCellInside, &span);
    for (uint64_t delta : {0ull, 1ull, 16ull, 255ull}) {
        TFrameVerdict verdict = JudgeFrame(reader, static_cast<uintptr_t>(ip + delta), foreign, OddTypes, nullptr);
        if (verdict.Outcome == foCatches && verdict.Kind != hkCatchAll && verdict.Kind != hkTyped)
            std::abort();
        if (verdict.Outcome != foCatches && verdict.Kind != hkNone)
            std::abort();
    }
    if (reader.FindCallSite(static_cast<uintptr_t>(ip)) == csActions) {
        TLsdaAction action;
        for (int n = 0; n < 64 && reader.NextAction(action); ++n) {
            uintptr_t type;
            for (size_t i = 0; i < 8 && action.Filter < 0 && reader.SpecificationType(action.Filter, i, type); ++i) {
            }
        }
    }
    return 0;
}
