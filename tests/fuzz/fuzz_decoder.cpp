// Frame decoder on arbitrary payloads. Byte 0 picks the compression type
// (0 to 7; 4 to 7 are refused), byte 1 the output size, the rest is the
// payload. The output buffer is exactly that size, so any write or read past
// it is caught. Every image the decoder builds itself (JPEG) must pass
// CheckDecodedFrame; every result must lie within the output.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "QovFormat.h"
#include "UnitDecoder.h"

namespace {

const uint32_t kOutputSizes[16] = {0,    1,    6,     53,    54,     78,      200,     1024,
                                   4096, 8192, 65536, 70000, 262144, 1 << 20, 3 << 20, 0xA00000};

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint16_t type = data[0] & 7;
    const uint32_t outSize = kOutputSizes[data[1] & 15];
    const uint8_t* payload = data + 2;
    const uint32_t payloadSize = uint32_t(size - 2);

    std::string why;
    qov::decoder::CheckDecodedFrame(payload, payloadSize, &why);

    std::unique_ptr<uint8_t[]> out(new uint8_t[outSize ? outSize : 1]);
    qov::TSuperMemoryStream input;
    try {
        const int result = qov::decoder::UnZipBuffer(input, payload, payloadSize, type, out.get(), outSize);
        Require(result >= -1);
        Require(result <= 0 || uint32_t(result) <= outSize);
        Require(result != -1 || type == qov::ctLZO1X);
        if (result > 0) {
            const bool valid = qov::decoder::CheckDecodedFrame(out.get(), uint32_t(result), &why);
            if (type == qov::ctJPEG)
                Require(valid);
        }
    } catch (const qov::Exception&) {
        Require(type != qov::ctStored || payloadSize > outSize);
    }
    return 0;
}
