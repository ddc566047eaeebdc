// Reading a recording held in memory, as the file source reads one from its
// stream: the header and its checks, the key-frame index in either entry
// form, the frame records walked to the end of their region. No I/O, no
// Windows: the file source uses the same pieces, and they are fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "QovFormat.h"

namespace qov {

// Keeps the index entries whose key-frame record can lie inside the frame
// records (its 28 header bytes end at or before the index, which starts
// indexOffset bytes after byte 32), in their order; returns how many were
// dropped. Such an entry would only send a seek to bytes that are no frame.
uint32_t DropEntriesOutsideFrames(std::vector<IndexEntry>* entries, int64_t indexOffset);

struct TRecordingScan {
    EngineErrorCode Code = ecNone;  // first failed check; ecNone when the recording opens
    RecordingHeader Header{};
    std::vector<IndexEntry> Index;  // the usable entries
    uint32_t DroppedEntries = 0;
    uint32_t Frames = 0;       // complete records of the frame region
    uint32_t KeyFrames = 0;
    uint64_t FrameBytes = 0;   // their bytes, headers included
    bool CutShort = false;     // the region ends in a partial record or before 32 + index offset
};

// One record met by the walk: its header and payload (Length bytes).
using TScanSink = void (*)(void* context, const FrameHeader& header, const uint8_t* payload);

// Applies the open's checks in the file source's order (header 15, 1, 14,
// 2; index head 15, 13; table size 6; table 15; no usable entry 13) and,
// when they pass, walks the frame records from byte 32 to 32 + index offset
// or the end of data, giving each complete record to sink (may be null).
TRecordingScan ScanRecording(const uint8_t* data, size_t size, TScanSink sink = nullptr,
                             void* context = nullptr);

} // namespace qov
