// Shared pieces of the file and HTTP source tests (Windows only): a playback
// context wired to a test window and a fake play thread, and small recordings
// whose frame records are raw bytes (a source never decodes them).
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FrameStore.h"
#include "QovWriter.h"
#include "TestWindow.h"
#include "UnitQovCore.h"

namespace qov::test {

// A context as the control sets it up: its three lists, the test window as
// the control window and a recording thread as the play thread.
struct TSourceRig {
    TTestWindow Window;
    TTestThread Player;
    TFramesBuffer Frames;
    TKeyFramesBuffer KeyFrames;
    TIndexTable Index;
    PlaybackContext Context;

    TSourceRig();
    ~TSourceRig();

    // Opens locator on source and waits for its answer: 0 for
    // WM_ENGINE_OPENED(0), the status code for WM_ENGINE_STATUS, -1 when
    // nothing came within timeoutMs. Earlier window messages are cleared.
    int OpenAndWait(TReadThread& source, const std::string& locator, DWORD timeoutMs = 10000);
    // The frame records buffered now, each as its bytes.
    std::vector<writer::Bytes> Records();
    // Waits until at least n records are buffered.
    bool WaitRecords(int32_t n, DWORD timeoutMs);
    // Index entries now in the table.
    std::vector<IndexEntry> IndexEntries();
    // Waits for the next WM_ENGINE_SHOW to the play thread (the first since
    // the last ClearShows) and returns its index.
    std::optional<int32_t> WaitShow(DWORD timeoutMs);
    void ClearShows() { Player.Messages().Clear(); }
};

// Raw-payload recording: key frames of keyBytes at every keyEvery-th frame,
// frameBytes otherwise, one frame every stepMs from 0.
writer::TRecordingWriter RawRecording(uint16_t version, int frames, int keyEvery, uint32_t stepMs,
                                      size_t keyBytes, size_t frameBytes);

// The record bytes of every frame the writer wrote, in order.
std::vector<writer::Bytes> WrittenRecords(const writer::TRecordingWriter& writer);

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);

// How long to wait for anything that follows a log line: a writer waits up to
// 5 s for the machine-wide log event, which another test program may hold on
// purpose (a writer that died holding it).
constexpr DWORD kAfterLogMs = 8000;

} // namespace qov::test

#endif
