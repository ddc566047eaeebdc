// Feeds arbitrary bytes to the reading of a recording file (header, both
// index forms, frame records walked to the end) and to the checks of a still
// picture: every index entry kept must point inside the frame records, every
// record walked must lie inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "RecordingReader.h"
#include "UnitDecoder.h"

namespace {

struct TWalk {
    const uint8_t* Begin;
    const uint8_t* End;
    uint64_t Bytes = 0;
};

void Touch(void* context, const qov::FrameHeader& header, const uint8_t* payload)
{
    auto* walk = static_cast<TWalk*>(context);
    if (payload < walk->Begin || uint64_t(walk->End - payload) < header.Length)
        std::abort();
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < header.Length; ++i)
        sum = sum + payload[i];
    walk->Bytes += qov::kFrameHeaderSize + uint64_t(header.Length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov;
    TWalk walk{data, data + size};
    const TRecordingScan scan = ScanRecording(data, size, &Touch, &walk);
    if (scan.Code == ecNone) {
        if (scan.Index.empty() || walk.Bytes != scan.FrameBytes || scan.FrameBytes > size)
            std::abort();
        for (const IndexEntry& e : scan.Index)
            if (e.Offset + kFrameHeaderSize > uint64_t(scan.Header.IndexOffset))
                std::abort();
    } else if (scan.Frames != 0) {
        std::abort();  // nothing is walked in a recording that does not open
    }
    // The same bytes as a still picture (a ".bmp" file read whole).
    (void)decoder::CheckDecodedFrame(data, static_cast<uint32_t>(size), nullptr);
    return 0;
}
