// Feeds arbitrary bytes to the instruction-length decoder of the code-hooking
// unit, in both modes, as a bounded buffer: every length must stay within the
// bytes given and the processor's limit (the sanitizers watch the reads), and
// trampolines built from the bytes must have the size they announce.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "EHookCode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov::exceptions;
    if (size < 16)
        return 0;
    // The first 16 bytes choose the addresses of the code and its trampoline.
    uint64_t codeAddress, trampolineAddress;
    std::memcpy(&codeAddress, data, 8);
    std::memcpy(&trampolineAddress, data + 8, 8);
    data += 16;
    size -= 16;
    for (TCodeMode mode : {cm32, cm64}) {
        for (size_t pos = 0; pos < size; ++pos) {
            TInstruction ins = DecodeInstruction(data + pos, size - pos, mode);
            if (ins.Length == 0 || ins.Length > 15 || ins.Length > size - pos || (!ins.Valid && ins.Length != 1))
                std::abort();
            if (ins.Reference != crNone && ins.DisplacementOffset >= ins.Length)
                std::abort();
        }
        size_t end = FunctionEnd(data, size, mode);
        if (end > size || (size > 0 && end == 0))
            std::abort();
        size_t count = DisplacedLength(data, size, 5, mode);
        if (count > size)
            std::abort();
        if (count > 0) {
            std::vector<uint8_t> trampoline;
            if (BuildTrampoline(data, count, codeAddress, trampolineAddress, mode, trampoline) &&
                trampoline.size() != TrampolineSize(data, count, mode) + 5)
                std::abort();
        }
    }
    return 0;
}
