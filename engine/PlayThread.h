// TPlayThread (unit UnitQovCore): the play clock of one open recording and
// its renderer. It takes the next due frame record from the TFramesBuffer,
// decodes it through the frame decoder into the shared output buffer, draws
// it into its TBackBuffer and tells the control window which rectangle
// changed (WM_ENGINE_PAINT). It also decides how a seek target is reached:
// drawn from what is buffered, read on, or repositioned by the source.
//
// The control creates it once the source has reported WM_ENGINE_OPENED and
// drives it with posted thread messages through the operations below; only
// Pause and Stop wait, for this thread's own acknowledgement.
//
// Locks, in the order this thread takes them: the frame list (only across a
// seek's decision and the range it draws), the decoder's output lock (across
// decoding and drawing one frame), the key-frame list (key frames only), the
// back buffer's lock (drawing).
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "FrameStore.h"
#include "QovFormat.h"
#include "UnitBackBuffer.h"
#include "UnitQovCore.h"

namespace qov {

enum TPlayState : uint8_t {
    psStopped = 0,
    psPaused = 1,
    psPlaying = 2,
};

// Fastest playing speed (WM_ENGINE_FASTER doubles the speed up to it).
constexpr int32_t kMaxPlaySpeed = 32;
// Size of the work buffer at creation; it grows to the largest record.
constexpr uint32_t kPlayWorkBufferSize = 512000;
// Size of the decoder's shared output buffer.
constexpr uint32_t kDecodeOutputSize = 0xA00000;
// The play loop waits until the next frame is due, a message comes or the
// frame buffer signals (a record added, a read ended). A clock other than the
// multimedia timer (a test's) can jump at any moment without a signal: with
// one, a wait for a due frame lasts at most this long.
constexpr DWORD kPlayWaitSuppliedClockMs = 1;
// Where the frame list goes when a seek finds the buffer inconsistent.
extern const char* const kDumpPath;

class TPlayThread : public TThread, private TFramesSignal {
public:
    // Milliseconds of a free-running 32-bit timer (timeGetTime by default;
    // tests supply their own). Differences are taken modulo 2^32.
    using TClock = DWORD (*)();

    // Copies the context's header, sizes the back buffer with its width and
    // height, and starts the thread (stopped, speed 1, key cache on).
    explicit TPlayThread(PlaybackContext* context, TClock clock = nullptr);
    // Ends the thread (quit message, wait) and frees what it owns.
    ~TPlayThread() override;

    // Posts WM_ENGINE_PLAY: speed 1, playing.
    void Play();
    // Posts WM_ENGINE_PAUSE and waits until this thread has handled it
    // (returns at once when the thread has ended).
    void Pause();
    // Posts WM_ENGINE_STOP and waits until this thread has handled it: the
    // clock is back at 0 and the source has stopped (rewound).
    void Stop();
    // Posts WM_ENGINE_FASTER: speed doubled up to 32, playing.
    void Faster();
    // Posts WM_ENGINE_SEEK; a negative time is a range error.
    void Seek(int32_t ms);
    // Posts WM_ENGINE_REFRESH: the whole picture is reported as changed.
    void Refresh();
    // Posts WM_ENGINE_PURGE (served only while playing): the frames before the
    // last buffered key frame go.
    void Purge(int32_t flag);

    // Media time in ms: the clock's base plus the time played since it last
    // started. Any thread may read it.
    // While playing it follows the timer between frames.
    uint32_t CurrentTime() const;

    // The picture. Its lock is held while pixels are read.
    TBackBuffer& BackBuffer() { return FBackBuffer; }

    // Whether newly decoded key frames enter the key-frame cache while it holds
    // fewer than 3 (on at creation; the control turns it off).
    bool KeyCacheOn() const { return FKeyCacheOn.load(); }
    void SetKeyCacheOn(bool on) { FKeyCacheOn.store(on); }

    uint8_t State() const { return FState.load(); }
    int32_t Speed() const { return FSpeed.load(); }
    // Time of the last frame rendered or drawn; 0 at creation and after a stop.
    uint32_t LastSampleTime() const { return FLastSampleTime.load(); }
    // Frames rendered by the play loop since creation.
    uint32_t Rendered() const { return FRendered.load(); }
    // Times the play loop has woken from a wait (for a due frame, for data).
    uint32_t Wakeups() const { return FWakeups.load(); }
    // Key-frame time of a source reposition under way, -1 none.
    int32_t PendingKey() const { return FPendingKey.load(); }
    // The header copied at creation.
    const RecordingHeader& Header() const { return FHeader; }
    PlaybackContext* Context() const { return FContext; }

protected:
    void Execute() override;

private:
    void Dispatch(const MSG& msg);
    void PlayLoop();
    // Takes the next buffered record when it is due: copies it into the work
    // buffer and makes it the current one, both under the frame list's lock.
    // 1 taken, 0 not yet due (*due: its time), -1 nothing buffered.
    int TakeNextFrame(uint32_t* due);
    // Milliseconds of the timer until media time due is reached at speed.
    DWORD WaitUntilDue(uint32_t due, uint32_t speed) const;
    // Waits at most ms for a message, a record or the end of a read.
    void WaitForWork(DWORD ms);
    void FramesChanged() noexcept override;
    void RenderFrame(const uint8_t* record, bool purgeAllowed);
    void DrawRecord(const FrameHeader& header, const uint8_t* payload);
    // Draws records from..to without the clock, giving way to any request
    // other than a seek; false when it gave way before drawing to.
    bool ShowRange(int32_t from, int32_t to);
    void PostDirtyRect(bool whole);
    void SeekTo(uint32_t ms);
    // Index of the buffered key frame at keyTime, -1 when it is not buffered.
    int32_t KeyFrameIndex(uint32_t keyTime);
    void ReportAbnormalBuffer(int32_t key, uint32_t target);
    void HandleStop();
    // Plays on after a seek or a shown target, at speed 1.
    void PlayOn();

    // Stop and pause: post with a ticket and wait for its acknowledgement.
    void PostAndWait(UINT msg);
    void Acknowledge(LPARAM ticket);

    DWORD Now() const { return FClock ? FClock() : timeGetTime(); }
    // Duration that ends playing and clamps seeks: the header's, except for
    // live and multicast sources, whose streams have none.
    uint32_t EffectiveDuration(uint32_t headerDuration) const;
    uint8_t ReaderKind() const;
    bool FileReader() const;
    // The clock as CurrentTime reads it: standing at FBase + FElapsed, or
    // (a play loop running) from FBase at timer value start, at speed.
    void PublishTime();
    // A seek starts the clock's next run at its target, in every state: a
    // seek while paused or stopped moves the position as one while playing
    // does (the play loop is not running, so nothing has elapsed).
    void MoveClockTo(uint32_t target)
    {
        FBase = target;
        PublishTime();
    }
    void PostToWindow(UINT msg, WPARAM wParam, LPARAM lParam) const;
    void ReadOn() const;
    bool MessageWaiting(MSG* msg = nullptr) const;
    bool MessageOtherThanSeekWaiting() const;

    PlaybackContext* const FContext;
    const RecordingHeader FHeader;
    const TClock FClock;
    std::atomic<uint32_t> FLastSampleTime{0};
    std::atomic<int32_t> FPendingKey{-1};
    uint32_t FBase = 0;     // media time at which the clock last started
    uint32_t FElapsed = 0;  // speed x wall-clock ms since the play loop started
    bool FRunning = false;  // a play loop runs, from timer value FRunStart
    bool FPlayAfterSeek = false;  // the seek being served plays on when done
    DWORD FRunStart = 0;
    uint32_t FRunSpeed = 1;
    mutable CRITICAL_SECTION FClockLock;  // guards the published clock
    struct {
        uint32_t Base = 0;
        bool Running = false;
        DWORD Start = 0;
        uint32_t Speed = 1;
    } FShownClock;
    HANDLE FDataEvent = nullptr;  // set by the frame buffer's signal
    std::atomic<uint32_t> FWakeups{0};
    std::atomic<uint32_t> FRendered{0};
    std::atomic<uint8_t> FState{psStopped};
    std::atomic<int32_t> FSpeed{1};
    std::atomic<bool> FKeyCacheOn{true};
    TBackBuffer FBackBuffer;
    std::vector<uint8_t> FWork;  // copy of the record being rendered

    // Acknowledgements: unnamed, so no other thread or player can set it; each
    // stop or pause carries a ticket and waits until that ticket is done.
    HANDLE FAckEvent = nullptr;
    CRITICAL_SECTION FAckLock;
    uint32_t FAckTicket = 0;
    std::atomic<uint32_t> FAckDone{0};
};

} // namespace qov
