// Reading recordings back in tests: a whole-file reader built on the format
// helpers (the checks in the order a file source applies them), and payload
// decoders that use the third-party libraries directly, independent of the
// engine's frame decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QovFormat.h"
#include "QovWriter.h"

namespace qov::test {

using writer::Bytes;
using writer::TPicture;

struct TReadRecord {
    FrameHeader Header;
    uint64_t Offset;  // counted from byte 32
    Bytes Payload;
};

struct TReadRecording {
    EngineErrorCode Code = ecNone;  // first failed check, ecNone when the file opens
    RecordingHeader Header{};
    IndexHead Head{};
    std::vector<IndexEntry> Index;
    // Complete records of the frame region [32, 32 + index offset), cut at the
    // file's end; filled only when the file opens.
    std::vector<TReadRecord> Frames;
    uint64_t LeftOver = 0;  // region bytes after the last complete record
};

// Header, index head, index table and frame records of a recording file.
TReadRecording ReadRecording(const Bytes& file);

// Payload decoders for checking what the writer wrote.
Bytes InflateZlib(const Bytes& payload);
Bytes DecompressLzo(const Bytes& payload, size_t outputSize);
// Picture of a JPEG: scanline 0 becomes row 0. Throws std::runtime_error on a
// damaged JPEG.
TPicture DecodeJpeg(const Bytes& jpeg);
// Picture of a 24- or 32-bit BMP file image (either row order), row 0 at the top.
TPicture ReadBmp(const Bytes& bmp);

// Mean absolute difference of the colour channels of two pictures of one
// size (256 when the sizes differ).
double MeanChannelDifference(const TPicture& a, const TPicture& b);

// A scratch file path in the working folder, unique per test program.
std::string ScratchPath(const std::string& name);

} // namespace qov::test
