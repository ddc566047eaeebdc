// Recording format and engine records: the recording header, the frame
// record, the key-frame index, the engine's message numbers and status codes.
// All multi-byte numbers in files and on the wire are little-endian; the
// engine only runs on little-endian machines, so the records are read in
// place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qov {

#pragma pack(push, 1)

// Bytes 0 to 31 of a recording file.
struct RecordingHeader {
    uint8_t Magic[2];     // 0x41 0x56
    uint16_t Version;     // 0x0000, 0x0100 or 0x0101
    uint16_t Width;       // recorded screen, pixels
    uint16_t Height;
    uint32_t Duration;    // ms, time of the last frame; 0 = not given
    int64_t IndexOffset;  // position of the key-frame index, counted from byte 32
    uint8_t Reserved[12];
};
static_assert(sizeof(RecordingHeader) == 32, "RecordingHeader is 32 bytes");
static_assert(offsetof(RecordingHeader, Version) == 2 && offsetof(RecordingHeader, Width) == 4 &&
                  offsetof(RecordingHeader, Height) == 6 && offsetof(RecordingHeader, Duration) == 8 &&
                  offsetof(RecordingHeader, IndexOffset) == 12 && offsetof(RecordingHeader, Reserved) == 20,
              "RecordingHeader field offsets");

// The 28 bytes in front of every frame payload.
struct FrameHeader {
    uint32_t Time;         // ms from the start of the recording
    uint16_t Left;         // rectangle's top-left corner; cursor position for kind 2
    uint16_t Top;
    int16_t Kind;          // FrameKind
    uint16_t Compression;  // CompressType
    uint32_t Length;       // payload bytes following the header
    uint16_t CursorX;      // where the cursor goes after kinds 0, 1, 3; both 0 = stays
    uint16_t CursorY;
    uint8_t Reserved[8];
};
static_assert(sizeof(FrameHeader) == 28, "FrameHeader is 28 bytes");
static_assert(offsetof(FrameHeader, Left) == 4 && offsetof(FrameHeader, Top) == 6 &&
                  offsetof(FrameHeader, Kind) == 8 && offsetof(FrameHeader, Compression) == 10 &&
                  offsetof(FrameHeader, Length) == 12 && offsetof(FrameHeader, CursorX) == 16 &&
                  offsetof(FrameHeader, CursorY) == 18 && offsetof(FrameHeader, Reserved) == 20,
              "FrameHeader field offsets");

// 16 bytes in front of the index entries.
struct IndexHead {
    uint32_t Count;    // > 0
    uint32_t Zero[3];  // all 0
};
static_assert(sizeof(IndexHead) == 16, "IndexHead is 16 bytes");

// Index entry of versions 0x0000 and 0x0100.
struct IndexEntryV1 {
    uint32_t Time;
    uint32_t Offset;
};
static_assert(sizeof(IndexEntryV1) == 8, "IndexEntryV1 is 8 bytes");

// Index entry of version 0x0101.
struct IndexEntryV2 {
    uint32_t Time;
    uint32_t Unused;
    uint64_t Offset;
};
static_assert(sizeof(IndexEntryV2) == 16, "IndexEntryV2 is 16 bytes");
static_assert(offsetof(IndexEntryV1, Offset) == 4 && offsetof(IndexEntryV2, Offset) == 8,
              "index entry offsets");

#pragma pack(pop)

// One key frame of the index, in memory. Offset counts from byte 32 of a
// recording file; live and multicast sources use 0.
struct IndexEntry {
    uint32_t Time;
    uint64_t Offset;
};

constexpr size_t kRecordingHeaderSize = sizeof(RecordingHeader);
constexpr size_t kFrameHeaderSize = sizeof(FrameHeader);
constexpr size_t kIndexHeadSize = sizeof(IndexHead);
constexpr uint32_t kDataStart = 32;  // first frame record of a recording file

constexpr uint16_t kVersion0000 = 0x0000;
constexpr uint16_t kVersion0100 = 0x0100;
constexpr uint16_t kVersion0101 = 0x0101;

enum FrameKind : int16_t {
    fkXorRect = 0,   // changed rectangle, combined by exclusive or
    fkKeyFrame = 1,  // whole picture
    fkCursor = 2,    // cursor shape or position
    fkCopyRect = 3,  // changed rectangle, copied
    fkMarker = 4,    // marker
};

enum CompressType : uint16_t {
    ctStored = 0,
    ctJPEG = 1,
    ctLZO1X = 2,
    ctZlib = 3,
};

// Size of the one block a still picture is built in, and of the decoder's
// shared output buffer.
constexpr uint32_t kPictureBlockSize = 0xA00000;
// What may follow a frame header in that block.
constexpr uint32_t kPicturePayloadLimit = kPictureBlockSize - kFrameHeaderSize;  // 0x9FFFE4

// Bytes per row of a bitmap, padded to 32 bits.
constexpr uint32_t RowBytes(uint32_t width, uint32_t bits)
{
    return static_cast<uint32_t>(((static_cast<uint64_t>(width) * bits + 31) & ~uint64_t(31)) / 8);
}

// True when the two magic bytes of a recording header are present.
bool IsQovMagic(const void* header);

// Entry size of a version's key-frame index (8 or 16); 0 for an unknown version.
uint32_t IndexEntrySize(uint16_t version);
bool IsKnownVersion(uint16_t version);

// Engine messages, numbered from the system's user-message base.
constexpr unsigned kWmUser = 0x0400;
constexpr unsigned WM_ENGINE_OPEN = kWmUser + 1;
constexpr unsigned WM_ENGINE_OPENED = kWmUser + 2;
constexpr unsigned WM_ENGINE_READ = kWmUser + 3;
constexpr unsigned WM_ENGINE_SEEK = kWmUser + 4;
constexpr unsigned WM_ENGINE_SHOW = kWmUser + 5;
constexpr unsigned WM_ENGINE_STOP = kWmUser + 6;
constexpr unsigned WM_ENGINE_PLAY = kWmUser + 7;
constexpr unsigned WM_ENGINE_PAUSE = kWmUser + 8;
constexpr unsigned WM_ENGINE_FASTER = kWmUser + 9;
constexpr unsigned WM_CAST_START = kWmUser + 10;
constexpr unsigned WM_CAST_STOP = kWmUser + 11;
constexpr unsigned WM_ENGINE_REFRESH = kWmUser + 11;
constexpr unsigned WM_ENGINE_STATUS = kWmUser + 12;
constexpr unsigned WM_ENGINE_MARKER = kWmUser + 13;
constexpr unsigned WM_ENGINE_PAINT = kWmUser + 14;
constexpr unsigned WM_ENGINE_POSITION = kWmUser + 15;
constexpr unsigned WM_ENGINE_SEND_TEXT = kWmUser + 16;
constexpr unsigned WM_ENGINE_PURGE = kWmUser + 18;
constexpr unsigned WM_ENGINE_END = kWmUser + 19;

// Status codes sent in WM_ENGINE_STATUS.
enum EngineErrorCode : int {
    ecNone = 0,
    ecFileDamaged = 1,
    ecNoIndex = 2,
    ecConnectFailed = 3,
    ecServiceRefused = 4,
    ecFileDamaged2 = 5,
    ecUnknown = 6,
    ecNetworkError = 7,
    ecInvalidURL = 8,
    ecInvalidMulticastFile = 9,
    ecInvalidFileFormat = 10,
    ecRelocateFailed = 11,
    ecResolveFailed = 12,
    ecInvalidIndex = 13,
    ecNeedUpgrade = 14,
    ecReadFailed = 15,
};

// Fixed text of a status code (GBK bytes); "" outside 1 to 15.
const char* EngineErrorText(int code);

// ---------------------------------------------------------------------------
// Reading a recording file. These work on bytes a reader already has; they do
// no I/O. A reader opening a recording applies them in this order and stops
// at the first code other than ecNone:
//   ReadRecordingHeader   fewer than 32 bytes               15
//   CheckRecordingHeader  magic 1, version 14, index offset not > 0   2
//   ReadIndexHead         fewer than 16 bytes               15
//   CheckIndexHead        count 0 or a non-zero word        13
//   IndexTableBytes       table not within a 32-bit signed size        6
//   DecodeIndexEntries    fewer than count x entry size     15
// ---------------------------------------------------------------------------

// Copies the 32 header bytes out of data; ecReadFailed when size < 32.
EngineErrorCode ReadRecordingHeader(const void* data, size_t size, RecordingHeader* header);

// ecFileDamaged (magic), ecNeedUpgrade (version), ecNoIndex (index offset
// not greater than 0), in this order; ecNone for a usable header.
EngineErrorCode CheckRecordingHeader(const RecordingHeader& header);

// Copies the 16 index-head bytes out of data; ecReadFailed when size < 16.
EngineErrorCode ReadIndexHead(const void* data, size_t size, IndexHead* head);

// ecInvalidIndex when the count is 0 or any of the three words after it is not 0.
EngineErrorCode CheckIndexHead(const IndexHead& head);

// Largest index table a reader takes: its size must fit a 32-bit signed value.
constexpr uint32_t kMaxIndexCountV1 = 0x10000000 - 1;  // 8-byte entries
constexpr uint32_t kMaxIndexCountV2 = 0x8000000 - 1;   // 16-byte entries

// Size in bytes of a table of count entries for version (count x 8 or
// count x 16) in *bytes. ecUnknown when that size would not fit a 32-bit
// signed value (count >= 0x10000000 for 8-byte entries, >= 0x8000000 for
// 16-byte entries), ecNeedUpgrade for an unknown version; *bytes is then 0.
EngineErrorCode IndexTableBytes(uint16_t version, uint32_t count, uint64_t* bytes);

// Decodes count entries of version's form from data, in file order, giving
// each to sink: 8-byte entries (time, 32-bit offset) for 0x0000 and 0x0100,
// 16-byte entries (time, 4 unread bytes, 64-bit offset) for 0x0101. Nothing
// is given and the result is ecReadFailed when size is less than the table's
// size; ecUnknown / ecNeedUpgrade as IndexTableBytes.
template <typename Sink>
EngineErrorCode DecodeIndexEntries(uint16_t version, const void* data, size_t size, uint32_t count,
                                   Sink&& sink);
// The same into a vector (cleared first).
EngineErrorCode DecodeIndexEntries(uint16_t version, const void* data, size_t size, uint32_t count,
                                   std::vector<IndexEntry>* entries);

// End of the frame records: 32 + index offset (the header must have passed
// CheckRecordingHeader).
constexpr uint64_t FrameRegionEnd(const RecordingHeader& header)
{
    return kDataStart + static_cast<uint64_t>(header.IndexOffset);
}

// Size of a frame record: 28 header bytes and the payload.
constexpr uint64_t FrameRecordSize(const FrameHeader& header)
{
    return kFrameHeaderSize + static_cast<uint64_t>(header.Length);
}

// Looks at the bytes at the front of data: when a whole frame record (28
// header bytes and its payload) is there, copies its header into *header
// (may be null) and returns the record's size; otherwise returns 0 (fewer
// than 28 bytes, or a payload that is not all there yet).
uint64_t CompleteFrameRecord(const void* data, size_t size, FrameHeader* header);

template <typename Sink>
EngineErrorCode DecodeIndexEntries(uint16_t version, const void* data, size_t size, uint32_t count,
                                   Sink&& sink)
{
    uint64_t bytes = 0;
    const EngineErrorCode code = IndexTableBytes(version, count, &bytes);
    if (code != ecNone)
        return code;
    if (size < bytes)
        return ecReadFailed;
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < count; ++i) {
        IndexEntry entry;
        if (version == kVersion0101) {
            IndexEntryV2 raw;
            std::memcpy(&raw, p + size_t(i) * sizeof raw, sizeof raw);
            entry.Time = raw.Time;
            entry.Offset = raw.Offset;
        } else {
            IndexEntryV1 raw;
            std::memcpy(&raw, p + size_t(i) * sizeof raw, sizeof raw);
            entry.Time = raw.Time;
            entry.Offset = raw.Offset;
        }
        sink(entry);
    }
    return ecNone;
}

} // namespace qov
