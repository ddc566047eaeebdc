// The built-in sample recording: an 800 x 600 screen, about 20 s, version
// 0x0101, with key frames of three compressions, typing into a window
// (copied rectangles), a selection shown and cleared by exclusive-or
// rectangles, a window opening (JPEG), cursor moves, two cursor shapes, the
// cursor hidden for a while, and markers. Every frame kind (0 to 4) and every
// compression (0 to 3) occurs.
#pragma once

#include "QovWriter.h"

namespace qov::writer {

constexpr uint16_t kSampleWidth = 800;
constexpr uint16_t kSampleHeight = 600;

TRecordingWriter BuildSampleRecording();

} // namespace qov::writer
