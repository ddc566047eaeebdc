// Playing recordings in tests (Windows only): a context wired as the control
// wires it (file source, play thread, a control window that copies every
// painted rectangle out of the back buffer), a fake multimedia timer, and a
// reference model that draws the same records with the GDI-free
// ReferenceRenderer from payloads decoded without the engine's decoder.
//
//   TPlaybackRig rig;
//   ASSERT_EQ(0, rig.Open(path, FakeClock));
//   TReferencePlayer ref(fileBytes);
//   rig.Player->Play(); ...
//   ref.Play(0, ref.Count() - 1);
//   EXPECT_EQ("", ref.Compare(rig.Player->BackBuffer()));
//   EXPECT_EQ("", rig.Window.CompareScreen());   // every change was painted
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameStore.h"
#include "PlayThread.h"
#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "ReferenceRenderer.h"
#include "TestWindow.h"
#include "UnitQovCore.h"

namespace qov::test {

// ---------------------------------------------------------------------------
// Fake multimedia timer: a play thread created with FakeClock reads it.

DWORD FakeClock();
void SetFakeTime(DWORD now);
void AdvanceFakeTime(DWORD ms);

// ---------------------------------------------------------------------------
// The BMP image a payload decodes to, made with the third-party libraries
// directly (JPEG with the fast integer DCT, upside down as recorded).
// Throws std::runtime_error for a payload that cannot be decoded.
writer::Bytes ReferenceImage(const FrameHeader& header, const uint8_t* payload);

// A 320 x 240 recording of 3.5 s with four key groups (key frames of each
// compression), copied and exclusive-or rectangles of every compression and
// of several bit depths and row orders, cursor shapes, moves, a hidden
// cursor and markers. Every record's time is a multiple of 100 ms; the
// duration is the last record's time, 3500.
writer::TRecordingWriter AllKindsRecording();

// A WM_ENGINE_PAINT rectangle.
RefRect PaintRect(const TRecordedMessage& paint);

// ---------------------------------------------------------------------------
// The control window: records every engine message and, on WM_ENGINE_PAINT,
// copies the painted rectangle out of the attached back buffer (under its
// lock) into a screen of its own, as the control does.

class TPaintWindow {
public:
    TPaintWindow();
    ~TPaintWindow();
    TPaintWindow(const TPaintWindow&) = delete;
    TPaintWindow& operator=(const TPaintWindow&) = delete;

    HWND Handle() const { return FWindow.Handle(); }
    TMessageRecord& Messages() { return FWindow.Messages(); }
    // Follows this back buffer (nullptr: none); the screen starts black.
    void Attach(TBackBuffer* buffer);
    // "" when the screen equals the back buffer (every change painted);
    // waits first until the window has served every message posted so far.
    std::string CompareScreen();
    // Waits until the window's queue is served.
    void Sync();

private:
    // On the window's thread, before the message is recorded.
    bool Serve(UINT msg, WPARAM wParam, LPARAM lParam);
    void CopyPainted(const RefRect& rect);

    std::mutex FLock;  // the back buffer pointer and the screen
    TBackBuffer* FBuffer = nullptr;
    std::vector<uint8_t> FScreen;
    TTestWindow FWindow;  // last: its thread ends before the screen goes
};

// ---------------------------------------------------------------------------
// What the back buffer must show: records of a recording file drawn in the
// order a test expects, with the default cursor.

class TReferencePlayer {
public:
    explicit TReferencePlayer(const writer::Bytes& file);

    size_t Count() const { return FRecording.Frames.size(); }
    const FrameHeader& Header(size_t i) const { return FRecording.Frames.at(i).Header; }
    // Index of the last record whose time is at most time.
    size_t LastAtOrBefore(uint32_t time) const;
    // Index of the record with this time and kind (the first such).
    size_t Find(uint32_t time, int16_t kind) const;

    // Draws record i as the play loop renders it; a payload that cannot be
    // decoded is skipped, as the engine skips it.
    void Draw(size_t i);
    // Records from..to, each drawn (playing).
    void Play(size_t from, size_t to);
    // Records from..to as a seek draws them: bare cursor moves skipped.
    void Show(size_t from, size_t to);

    ReferenceRenderer& Renderer() { return FRenderer; }
    // "" when the back buffer holds the same picture (taken under its lock).
    std::string Compare(TBackBuffer& buffer);

private:
    const writer::Bytes& Image(size_t i);

    TReadRecording FRecording;
    ReferenceRenderer FRenderer;
    std::map<size_t, writer::Bytes> FImages;
};

// ---------------------------------------------------------------------------
// A context as the control sets it up.

struct TPlaybackRig {
    TPaintWindow Window;
    TFramesBuffer Frames;
    TKeyFramesBuffer KeyFrames;
    TIndexTable Index;
    PlaybackContext Context;
    std::unique_ptr<TReadThread> Source;
    std::unique_ptr<TPlayThread> Player;

    TPlaybackRig();
    ~TPlaybackRig();

    // Opens path with source (a new TFileThread when none is given), waits for
    // the answer and, when it opened, creates the play thread as the control
    // does (key cache as given). Returns 0 when opened, the status code, or -1
    // when nothing came.
    int Open(const std::string& path, TPlayThread::TClock clock = nullptr, bool keyCache = false,
             std::unique_ptr<TReadThread> source = nullptr);
    // Creates the play thread on the context as it stands (tests that fill
    // the lists themselves).
    void CreatePlayer(TPlayThread::TClock clock = nullptr, bool keyCache = false);
    // Ends the play thread and the source and empties the lists.
    void Close();

    // Waits until the play thread's current index is index.
    bool WaitCurrentIndex(int32_t index, DWORD timeoutMs);
    // Waits until no WM_ENGINE_PAINT has come for quietMs.
    bool WaitQuiet(DWORD quietMs, DWORD timeoutMs);
    // Posts FASTER until the speed is 32 (after a PLAY).
    void PlayFastest();
};

} // namespace qov::test

#endif
