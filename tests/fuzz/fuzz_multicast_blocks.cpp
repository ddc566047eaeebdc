// Feeds arbitrary datagrams to a receiver's block reassembly: every block it
// completes must be exactly one whole frame record, and the queue and the
// repeat filter must stay bounded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <string>

#include "MulticastBlocks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov;
    TBlockAssembler assembler;
    TBlockQueue queue;
    TBlockDeduper dedupe(16);
    uint32_t now = 0;
    // Datagrams: a 2-byte size prefix, then that many bytes.
    size_t at = 0;
    while (at + 2 <= size) {
        size_t n = data[at] | (size_t(data[at + 1]) << 8);
        at += 2;
        n = std::min(n, size - at);
        TCastBlock block;
        const auto r = assembler.AddPacket(data + at, n, now, &block);
        at += n;
        now += 7;
        if (r == TBlockAssembler::arComplete) {
            if (!IsWholeFrameBlock(block.Data.get(), block.Length))
                std::abort();
            // Touch every byte: the block must be fully allocated.
            volatile uint8_t sum = 0;
            for (uint32_t i = 0; i < block.Length; ++i)
                sum = sum + block.Data.get()[i];
            (void)dedupe.Seen(block.Id % 2, block.Id, block.Data.get(), block.Length, now);
            queue.Push(std::move(block));
        }
        (void)assembler.TakeDropped();
        if (queue.Count() > kCastMaxQueuedBlocks)
            std::abort();
    }
    std::string group;
    uint16_t port = 0;
    const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 64));
    const size_t half = text.size() / 2;
    if (ParseChannelValues(text.substr(0, half), text.substr(half), &group, &port) && port == 0)
        std::abort();
    return 0;
}
