// The engine core: the playback context that the control hands to every
// engine thread, the thread base class, the source thread framework
// (TReadThread) and the file and HTTP source (TFileThread). The play thread
// of this unit, TPlayThread, is declared in PlayThread.h.
//
// Engine threads are driven only by posted thread messages: a public
// operation posts (PostThreadMessageRetry) and, for a stop, waits for the
// thread's acknowledgement; the handlers run on the thread itself and return
// as soon as another message waits in its queue.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "FrameStore.h"
#include "InternetStream.h"
#include "QovFormat.h"
#include "SysUtils.h"

namespace qov {

class TThread;
class TReadThread;
class TPlayThread;

// ---------------------------------------------------------------------------
// PlaybackContext: one per control, owned by the control, handed by address
// to the source thread and the play thread when they are created.

struct PlaybackContext {
    // The open recording's header: a file source reads the 32 bytes straight
    // into it; still pictures, live and multicast sources write width and
    // height.
    RecordingHeader Header{};
    TFramesBuffer* Frames = nullptr;        // buffered frame records
    TKeyFramesBuffer* KeyFrames = nullptr;  // decoded key-frame cache
    TIndexTable* Index = nullptr;           // key-frame times and offsets
    TReadThread* Reader = nullptr;          // the current source
    // The play thread (a TPlayThread). Sources only post to it (WM_ENGINE_SHOW),
    // so they see it as a thread.
    TThread* Player = nullptr;
    HWND Window = nullptr;                  // every engine window message goes here
};

// ---------------------------------------------------------------------------
// TThread: a worker thread with its own message queue whose one overridden
// operation is its main loop, Execute.
//
// StartThread (called last by the constructor of the class whose Execute
// runs) creates the thread suspended, resumes it and waits until the thread
// has made its message queue, so posts succeed from then on. The thread
// calls Execute only when the first message has been posted: by then every
// constructor has finished. Every exception is caught at the thread routine.
//
// A class whose Execute or handlers use its own fields calls EndThread first
// in its destructor: it posts the quit message and waits for the thread.

class TThread {
public:
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    HANDLE Handle() const { return FHandle; }
    DWORD ThreadID() const { return FThreadID; }
    // True once the thread routine has returned.
    bool Finished() const;
    // Posts a message to the thread's queue (PostThreadMessageRetry); false
    // when the thread has ended.
    bool Post(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const;

protected:
    TThread() = default;
    void StartThread();
    // Posts the quit message and waits until the thread has ended; idempotent.
    void EndThread();
    virtual void Execute() = 0;

private:
    static DWORD WINAPI ThreadProc(void* self);

    static constexpr DWORD kQueueReadyWaitMs = 2000;

    HANDLE FHandle = nullptr;
    DWORD FThreadID = 0;
    HANDLE FQueueReady = nullptr;  // set by the thread once its queue exists
    std::atomic<bool> FEnding{false};
};

// ---------------------------------------------------------------------------
// TReadThread: the base of every source.

// Status reported (WM_ENGINE_STATUS) when a failure escapes a source's
// handler: the cause is in the daily log.
constexpr int kHandlerFailureStatus = ecUnknown;  // 6

// Size of the receive buffer at creation.
constexpr uint32_t kReceiveBufferSize = 0x80000;

// Kinds of source (TReadThread::Kind).
enum TSourceKind : uint8_t {
    skNone = 0,
    skLocalFile = 1,
    skHttp = 2,
    skLiveTcp = 3,
    skMulticast = 4,
};

class TReadThread : public TThread {
public:
    // Sets every field, creates the acknowledging events, the receive buffer
    // (0x80000 bytes) and the meter lock, then starts the thread.
    explicit TReadThread(PlaybackContext* context);
    // Ends the thread (quit message, wait) and frees what it owns.
    ~TReadThread() override;

    // Stores the locator and the extra text, clears stopping and posts
    // WM_ENGINE_OPEN.
    void Open(const std::string& locator, const std::string& extraText = std::string());
    // Posts WM_ENGINE_READ with the target in ms, or -1 to read on. A
    // read-on that is already waiting in the queue is not posted again: the
    // play thread asks every 10 ms while its buffer is empty, and a source
    // held up in one read must not find its queue full of the same request.
    void Read(int32_t target);
    // Posts WM_ENGINE_SEEK; a negative time is a range error.
    void Seek(int32_t ms);
    // Sets stopping, posts WM_ENGINE_STOP and waits until this thread has
    // handled that stop. Returns at once when the thread has ended (also
    // when it ends while the stop waits in its queue). Stops from several
    // callers are served one after the other.
    virtual void Stop();
    // Posts a copy of a non-empty text (WM_ENGINE_SEND_TEXT); nothing for an
    // empty one. The thread frees the copy; when the post fails (the thread
    // has ended) it is freed here.
    void SendText(const std::string& text);
    // Kilobits per second since the last call: (bytes x 8) div elapsed ms,
    // and the meter restarts; 0 (meter left alone) when no millisecond has
    // passed.
    uint32_t GetBitRate();

    uint8_t Kind() const { return FKind.load(); }
    uint8_t StreamState() const { return FStreamState.load(); }
    bool Stopping() const { return FStopping.load(); }
    std::string Locator() const;
    std::string ExtraText() const;
    PlaybackContext* Context() const { return FContext; }
    uint32_t Capacity() const { return FCapacity; }
    // Received bytes not yet taken into frame records (read by other threads
    // for statistics, without the source's locks).
    uint32_t Waiting() const { return __atomic_load_n(&FUsed, __ATOMIC_RELAXED); }

    // Set after each handled WM_ENGINE_SEND_TEXT (and when the loop ends);
    // distinct from the stop acknowledgement. Auto-reset, unnamed.
    HANDLE TextEvent() const { return FTextEvent; }

    // Test hook: the clock of the rate meter (nullptr = timeGetTime). Set it
    // before the meter is used.
    using TMeterClock = DWORD (*)();
    void SetMeterClock(TMeterClock clock) { FMeterClock = clock; }
    // Adds received bytes to the rate meter (under its lock).
    void AddToMeter(uint64_t bytes);

protected:
    // The handlers, run on the thread itself. The base raises EAbstractError.
    virtual void HandleOpen();
    virtual void HandleRead(int32_t target);
    virtual void HandleSeek(int32_t ms);
    virtual void HandleStop();
    // msg.wParam: the text's bytes, msg.lParam: their number. The block
    // stays owned by the message loop, which frees it after the handler has
    // returned (or failed).
    virtual void HandleSendText(const MSG& msg);
    // Notifications of the live source.
    virtual void DoStreamHeader(int width, int height);
    virtual void DoError(int code);
    virtual void DoSample(const uint8_t* record);
    virtual void DoIndex(const std::string& text);
    virtual void DoScript(const std::string& text);
    virtual void DoString(const std::string& text);

    // The message loop (see the unit's description).
    void Execute() final;

    // True when a message waits in this thread's queue (not removed).
    bool MessageWaiting() const;
    // Waits up to ms for a message other than WM_ENGINE_READ (a stop, a
    // seek, an open, the quit message); true when one waits.
    bool WaitForOtherThanRead(DWORD ms) const;
    // Posts WM_ENGINE_STATUS(code) to the context window, unless stopping.
    void ReportStatus(int code) const;
    // Posts a thread message to the play thread, when there is one.
    bool PostToPlayer(UINT msg, WPARAM wParam, LPARAM lParam = 0) const;
    // Called by a handler that removed queued WM_ENGINE_READ messages itself.
    void QueuedReadsTaken() { FReadOnQueued.store(false); }
    // Grows the receive buffer to exactly size bytes (the used bytes stay).
    void GrowReceiveBuffer(uint32_t size);
    void SetKind(uint8_t kind) { FKind.store(kind); }
    void SetStreamState(uint8_t state) { FStreamState.store(state); }

    PlaybackContext* const FContext;
    uint8_t* FReceiveBuffer = nullptr;
    uint32_t FCapacity = 0;
    uint32_t FUsed = 0;

private:
    // Runs one handler; a failure escaping it is logged and reported. False
    // when a failure escaped.
    template <typename F> bool Guard(const char* handler, F&& f);
    void SourceIdle() const;
    void ResetMeter();
    DWORD MeterNow() const;
    void DrainQueue();

    mutable std::mutex FTextLock;  // locator and extra text
    std::string FLocator;
    std::string FExtraText;
    std::atomic<uint8_t> FKind{skNone};
    std::atomic<uint8_t> FStreamState{0};
    std::atomic<bool> FStopping{false};
    std::atomic<bool> FReadOnQueued{false};  // a WM_ENGINE_READ(-1) waits in the queue

    // Stop protocol: one stop at a time; each carries a ticket in wParam and
    // waits until the thread has handled a stop with that ticket.
    HANDLE FStopEvent = nullptr;
    HANDLE FTextEvent = nullptr;
    CRITICAL_SECTION FStopLock;
    uint32_t FStopTicket = 0;
    std::atomic<uint32_t> FStopDone{0};

    CRITICAL_SECTION FMeterLock;
    DWORD FMeterStart = 0;
    uint64_t FMeterBytes = 0;
    TMeterClock FMeterClock = nullptr;
};

// ---------------------------------------------------------------------------
// TFileThread: recording files (".QOV") and still pictures (".BMP", ".DIB",
// ".JPG", ".JPEG") from a local path or a web server.

enum TFileKind : uint8_t {
    fkNone = 0,
    fkRecording = 1,
    fkBitmap = 2,
    fkJpeg = 3,
};

// A still picture's file bytes as a BMP file image in image (at most limit
// bytes; a bitmap is copied, file may be image itself; a JPEG is decoded
// through the decoder's exports). Returns the image's length; raises when the
// JPEG cannot be decoded. Check the result with CheckedImage before use.
uint32_t DecodeStillPicture(bool jpeg, const uint8_t* file, uint32_t size, uint8_t* image, uint32_t limit);

// Largest read of one step of HandleRead.
constexpr uint32_t kReadChunk = 0x8000;
// Pause between reads that brought nothing.
constexpr DWORD kReadRetryMs = 300;
// How often that pause looks for a message that ends it.
constexpr DWORD kOtherMessagePollMs = 10;
// Index entries are read in pieces of at most this many bytes, so that the
// memory taken follows the bytes that really came.
constexpr uint32_t kIndexReadChunk = 0x100000;

class TFileThread : public TReadThread {
public:
    explicit TFileThread(PlaybackContext* context);
    ~TFileThread() override;

    uint8_t FileKind() const { return FFileKind; }
    uint64_t DataStart() const { return FDataStart; }

protected:
    void HandleOpen() override;
    void HandleRead(int32_t target) override;
    void HandleSeek(int32_t ms) override;
    void HandleStop() override;

private:
    // Opens the locator's stream and reads the header and index; returns the
    // status (0 or the code whose text the raised failure carries).
    void OpenRecording(int& status);
    void OpenPicture(int& status);

    // Replaces the stream (a stream made after the owner gave up is refused
    // its requests at once).
    void SetStream(std::unique_ptr<TStream> stream);

    // Only this thread changes FStream, under the lock; the destructor looks
    // at it under the lock from the owner's thread.
    std::mutex FStreamLock;
    bool FGivenUp = false;
    std::unique_ptr<TStream> FStream;
    uint64_t FDataStart = 0;
    uint8_t FFileKind = fkNone;
    uint64_t FDataEnd = 0;  // 32 + index offset of the open recording
};

// Upper-cased extension of a locator: from its last dot to its end ("" when
// it has none).
std::string LocatorExtension(const std::string& locator);
// File kind of an upper-cased extension.
TFileKind FileKindOfExtension(const std::string& extension);

} // namespace qov
