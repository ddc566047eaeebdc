// Feeds arbitrary bytes to the live source's framer in receive-sized pieces
// and the login reply parser; every dispatched message must lie inside the
// buffer and every frame message must be one whole frame record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LiveProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov;
    if (size == 0)
        return 0;
    // First byte picks the receive size, the rest is the stream.
    const uint32_t chunk = 1 + data[0] * 131u;
    ++data;
    --size;

    uint32_t capacity = 64;
    uint32_t used = 0;
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity));
    size_t at = 0;
    bool failed = false;
    while (at < size && !failed) {
        uint32_t room = capacity - used;
        if (room == 0)
            std::abort();  // the framer must always leave room to receive
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>({size - at, room, chunk, kLiveReceiveChunk}));
        std::memcpy(buf + used, data + at, n);
        used += n;
        at += n;
        const LiveStreamError err = ProcessReceived(
            buf, capacity, used,
            [](uint8_t* p, uint32_t newSize) { return static_cast<uint8_t*>(std::realloc(p, newSize)); },
            [&](const LiveMessage& m) {
                if (m.Payload < buf || m.Payload + m.Length > buf + capacity)
                    std::abort();
                if (m.Type == lmFrame) {
                    FrameHeader h;
                    std::memcpy(&h, m.Payload, sizeof h);
                    if (h.Length + kFrameHeaderSize != m.Length)
                        std::abort();
                } else {
                    std::string text(reinterpret_cast<const char*>(m.Payload), m.Length);
                    LiveStreamInfo info;
                    ApplyReplyInfo(text, &info);
                    (void)IsLoginRefused(text);
                }
            });
        failed = err != LiveStreamError::None;
        if (!failed && used > capacity)
            std::abort();
    }
    std::free(buf);
    return 0;
}
