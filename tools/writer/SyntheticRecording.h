// Long synthetic recordings for benchmarks: a screen of Width x Height with a
// key frame every KeyFrameIntervalMs, small changed rectangles of every
// compression in between, cursor moves and markers, streamed to a file
// without holding the recording in memory. A fixed pool of payloads is
// encoded once and reused, so writing runs at disk speed. Frame times fall
// on a 10 ms grid.
#pragma once

#include <cstdint>
#include <string>

#include "QovFormat.h"

namespace qov::writer {

struct TSyntheticOptions {
    uint16_t Width = 1920;
    uint16_t Height = 1080;
    uint16_t Version = kVersion0101;
    uint32_t DurationMs = 3 * 60 * 60 * 1000;  // time of the last frame
    uint32_t KeyFrameIntervalMs = 30000;
    uint16_t KeyFrameCompression = ctZlib;
    // About this many bytes in the file: rectangles are spread over the
    // recording so that the bytes written keep pace with the time. 0: one
    // rectangle every RectIntervalMs instead.
    uint64_t TargetBytes = 0;
    uint32_t RectIntervalMs = 500;
    int RectMinSize = 24;   // rectangle sides, pixels
    int RectMaxSize = 240;
    uint32_t CursorIntervalMs = 250;  // 0: no cursor moves
    uint32_t MarkerIntervalMs = 5 * 60 * 1000;  // 0: no markers
    int KeyPictures = 4;     // distinct key-frame payloads, used in turn
    int RectPayloads = 48;   // distinct rectangle payloads, used in turn
    uint64_t Seed = 1;
};

// A 3-hour recording of about 500 MB at 1920 x 1080.
constexpr uint64_t kThreeHourTargetBytes = 500ull * 1000 * 1000;

TSyntheticOptions SyntheticMinutes(uint32_t minutes, uint64_t targetBytes = 0);

struct TSyntheticSummary {
    uint64_t FileBytes = 0;
    uint64_t Frames = 0;
    uint64_t KeyFrames = 0;
    uint64_t Rects = 0;
    uint32_t Duration = 0;
};

// Writes the recording to path (std::runtime_error when it cannot).
TSyntheticSummary WriteSyntheticRecording(const std::string& path, const TSyntheticOptions& options);

} // namespace qov::writer
