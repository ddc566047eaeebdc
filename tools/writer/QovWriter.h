// Recording writer: makes ".qov" recordings of every version (0x0000, 0x0100
// with 8-byte index entries, 0x0101 with 16-byte entries) and frames of every
// kind and compression, as the recorder writes them, plus damaged variants
// and still pictures. Used by the tests, the built-in sample and the
// benchmarks.
//
//   TRecordingWriter w(800, 600, kVersion0101);
//   w.AddKeyFrame(0, MakeScreenPicture(800, 600, 1), ctZlib);
//   w.AddCopyRect(40, 10, 20, picture.Crop(10, 20, 64, 32), ctLZO1X);
//   w.AddCursorMove(80, 100, 120);
//   Bytes file = w.Build();          // or w.Save(path)
//   Bytes broken = WithIndexHead(file, 5, 1);
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "PayloadCodecs.h"
#include "QovFormat.h"
#include "ScreenPictures.h"

namespace qov::writer {

// ---------------------------------------------------------------------------
// Payloads

// How a picture is stored in a payload.
struct TPayloadStyle {
    int Bits = 24;         // bits per pixel of the BMP image of types 0, 2 and 3
    bool TopDown = false;  // BMP rows top-down (negative height) instead of bottom-up
    int JpegQuality = 85;
    int ZlibLevel = 6;
};

// The BMP file image that types 0, 2 and 3 carry (and decode to, byte for byte).
Bytes PictureBmp(const TPicture& picture, const TPayloadStyle& style = {});

// The payload of a picture: 0 the BMP image, 1 a JPEG recorded upside down
// (JPEG scanline 0 is the picture's bottom row), 2 the BMP image as one
// LZO1X-1 block, 3 the BMP image as a zlib stream. Other types are refused
// (std::invalid_argument); write such payloads with AddFrame.
Bytes EncodePicture(const TPicture& picture, uint16_t compression, const TPayloadStyle& style = {});

// ---------------------------------------------------------------------------
// Records

FrameHeader MakeFrameHeader(uint32_t time, int16_t kind, uint16_t compression, uint16_t left, uint16_t top,
                            uint32_t length, uint16_t cursorX = 0, uint16_t cursorY = 0);

// 28 header bytes followed by the payload; the header's length is set to size.
Bytes MakeFrameRecord(FrameHeader header, const void* payload, size_t size);
Bytes MakeFrameRecord(const FrameHeader& header, const Bytes& payload);

RecordingHeader MakeRecordingHeader(uint16_t version, uint16_t width, uint16_t height, uint32_t duration,
                                    int64_t indexOffset);
Bytes RecordingHeaderBytes(const RecordingHeader& header);

// Index head (count, three zero words) and the entries in version's form.
// Throws std::out_of_range when an offset does not fit a 32-bit entry
// (versions 0x0000 and 0x0100).
Bytes MakeIndex(uint16_t version, const std::vector<IndexEntry>& entries);

// ---------------------------------------------------------------------------
// In-memory recordings

// One frame as the writer wrote it.
struct TFrameInfo {
    FrameHeader Header;  // length = Payload.size()
    uint64_t Offset;     // of the record, counted from byte 32
    Bytes Payload;
    // What the payload shows: the picture of a key frame, copied rectangle or
    // cursor shape, the exclusive-or picture of a kind-0 frame; empty for
    // frames added from raw bytes. Its BMP image (PictureBmp with the style
    // used) is what types 0, 2 and 3 decode to.
    TPicture Picture;
    TPayloadStyle Style;
};

class TRecordingWriter {
public:
    // version: 0x0000, 0x0100 or 0x0101 (others: std::invalid_argument; use
    // WithVersion for a recording with an unknown version).
    TRecordingWriter(uint16_t width, uint16_t height, uint16_t version = kVersion0101);

    void SetVersion(uint16_t version);
    uint16_t Version() const { return FVersion; }
    uint16_t Width() const { return FWidth; }
    uint16_t Height() const { return FHeight; }

    // Header duration; without one it is the time of the last frame (0 when
    // there are no frames).
    void SetDuration(uint32_t duration) { FDuration = duration; }
    void ClearDuration() { FDuration.reset(); }
    uint32_t Duration() const;

    // Payload style of the frames added from pictures after this call.
    void SetPayloadStyle(const TPayloadStyle& style) { FStyle = style; }

    // Bytes between the last frame record and the index. They lie inside the
    // frame region (the index offset counts them) and readers walk that region
    // record by record, so bytes meant to be skipped must not make a whole
    // record: fewer than 28, or a record whose payload would run past the index.
    void SetGap(Bytes gap) { FGap = std::move(gap); }
    // Bytes after the index (not read).
    void SetTail(Bytes tail) { FTail = std::move(tail); }

    // The index: by default one entry per kind-1 frame (its time and record
    // offset); SetIndexEntries replaces it with any entries (count 0 writes an
    // index head with count 0).
    void SetIndexEntries(std::vector<IndexEntry> entries) { FIndex = std::move(entries); }
    void UseAutomaticIndex() { FIndex.reset(); }
    std::vector<IndexEntry> IndexEntries() const;

    // Frames. Each returns the frame's number (0 for the first).
    size_t AddFrame(const FrameHeader& header, const Bytes& payload);  // any kind, any compression
    size_t AddFrame(uint32_t time, int16_t kind, uint16_t compression, uint16_t left, uint16_t top,
                    const Bytes& payload, uint16_t cursorX = 0, uint16_t cursorY = 0);
    // Kind 1 at (0, 0): a whole picture.
    size_t AddKeyFrame(uint32_t time, const TPicture& picture, uint16_t compression, uint16_t cursorX = 0,
                       uint16_t cursorY = 0);
    // Kind 0: xorPicture is combined with the screen by exclusive or
    // (XorPictures(before, after) turns before into after).
    size_t AddXorRect(uint32_t time, uint16_t left, uint16_t top, const TPicture& xorPicture,
                      uint16_t compression, uint16_t cursorX = 0, uint16_t cursorY = 0);
    // Kind 3: picture is copied over the screen.
    size_t AddCopyRect(uint32_t time, uint16_t left, uint16_t top, const TPicture& picture, uint16_t compression,
                       uint16_t cursorX = 0, uint16_t cursorY = 0);
    // Kind 2 with a payload: new cursor image (pure red is transparent) at (x, y).
    size_t AddCursorShape(uint32_t time, uint16_t x, uint16_t y, const TPicture& shape,
                          uint16_t compression = ctStored);
    // Kind 2, length 0: the cursor moves to (x, y).
    size_t AddCursorMove(uint32_t time, uint16_t x, uint16_t y);
    // Kind 2, length 0, at (0, 0): the cursor is hidden.
    size_t AddCursorHide(uint32_t time);
    // Kind 4, length 0.
    size_t AddMarker(uint32_t time);

    const std::vector<TFrameInfo>& Frames() const { return FFrames; }
    // Bytes of the frame records alone.
    uint64_t FrameBytes() const { return FFrameBytes; }
    // Index offset: frame records plus gap.
    int64_t IndexOffset() const { return int64_t(FFrameBytes + FGap.size()); }
    RecordingHeader Header() const;

    // The whole file: header, records, gap, index, tail.
    Bytes Build() const;
    // Writes Build() to path (std::runtime_error when it cannot).
    void Save(const std::string& path) const;

private:
    size_t Add(TFrameInfo info);
    // Encodes picture by the header's compression and adds it with the header.
    size_t AddPicture(const FrameHeader& header, const TPicture& picture);

    uint16_t FWidth;
    uint16_t FHeight;
    uint16_t FVersion;
    std::optional<uint32_t> FDuration;
    std::optional<std::vector<IndexEntry>> FIndex;
    TPayloadStyle FStyle;
    Bytes FGap;
    Bytes FTail;
    std::vector<TFrameInfo> FFrames;
    uint64_t FFrameBytes = 0;
};

// ---------------------------------------------------------------------------
// Streaming to a file: records go straight to the file, only the index is
// kept in memory. For recordings too large to hold (see SyntheticRecording.h).

class TRecordingFileWriter {
public:
    // Creates (truncates) path and writes a placeholder header.
    TRecordingFileWriter(const std::string& path, uint16_t width, uint16_t height,
                         uint16_t version = kVersion0101);
    ~TRecordingFileWriter();  // closes the file; an unfinished recording has no index
    TRecordingFileWriter(const TRecordingFileWriter&) = delete;
    TRecordingFileWriter& operator=(const TRecordingFileWriter&) = delete;

    // Appends one record; kind-1 frames get an index entry.
    void AddFrame(const FrameHeader& header, const void* payload, size_t size);
    void AddFrame(const FrameHeader& header, const Bytes& payload) { AddFrame(header, payload.data(), payload.size()); }

    // Writes the index and the final header (duration: the given one, or the
    // last frame's time) and closes the file. Returns the file size.
    uint64_t Finish(std::optional<uint32_t> duration = std::nullopt);

    uint64_t FileBytes() const { return kDataStart + FFrameBytes; }
    uint64_t FrameCount() const { return FFrameCount; }
    const std::vector<IndexEntry>& IndexEntries() const { return FIndex; }

private:
    void Write(const void* data, size_t size);

    std::FILE* FFile = nullptr;
    std::string FPath;
    uint16_t FWidth;
    uint16_t FHeight;
    uint16_t FVersion;
    uint64_t FFrameBytes = 0;
    uint64_t FFrameCount = 0;
    uint32_t FLastTime = 0;
    std::vector<IndexEntry> FIndex;
};

// ---------------------------------------------------------------------------
// Damaged recordings. Each takes a whole recording file (as Build() makes it)
// and returns a damaged copy; the index is found through the header's index
// offset and version.

// Only the first `keep` bytes (keep < 32: a short header).
Bytes CutHeader(const Bytes& recording, size_t keep);
// Magic bytes replaced.
Bytes WithMagic(const Bytes& recording, uint8_t first, uint8_t second);
// Version field replaced (an unknown one, or a known one that reinterprets
// the index entries).
Bytes WithVersion(const Bytes& recording, uint16_t version);
// Index offset replaced (0, negative, or pointing elsewhere).
Bytes WithIndexOffset(const Bytes& recording, int64_t indexOffset);
// Index head replaced: count and the three words after it (a count of 0, a
// non-zero word, or a huge count such as 0x10000000).
Bytes WithIndexHead(const Bytes& recording, uint32_t count, uint32_t word1 = 0, uint32_t word2 = 0,
                    uint32_t word3 = 0);
// The file ends `missing` bytes before the end of the index entries (bytes
// after the index go too): a short index table (missing up to the table's
// size), or a short index head (more than that).
Bytes CutIndex(const Bytes& recording, size_t missing);
// Entry i of the index replaced (an offset outside the frame records, say).
Bytes WithIndexEntry(const Bytes& recording, uint32_t i, uint32_t time, uint64_t offset);
// The file ends after `keep` bytes of frame records, before 32 + index offset
// (so there is no index either).
Bytes CutFrames(const Bytes& recording, uint64_t keep);

// Writes bytes to path (std::runtime_error when it cannot).
void SaveBytes(const std::string& path, const Bytes& bytes);

// ---------------------------------------------------------------------------
// Still pictures

// A ".bmp"/".dib" file of a screen picture (bits 24 or 32; bottom-up unless topDown).
Bytes MakeStillBmp(int width, int height, uint64_t seed = 1, int bits = 24, bool topDown = false);
// A ".jpg" file of a screen picture; scanline 0 is the picture's top row.
Bytes MakeStillJpeg(int width, int height, uint64_t seed = 1, int quality = 85);
// A JPEG file of picture, top row first.
Bytes PictureJpeg(const TPicture& picture, int quality = 85);
// Rewrites the width and height of a JPEG's first frame header (SOF marker),
// for pictures larger than an encoder makes; std::invalid_argument without one.
Bytes WithJpegSize(const Bytes& jpeg, uint16_t width, uint16_t height);

} // namespace qov::writer
