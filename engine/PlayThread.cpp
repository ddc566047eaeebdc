// The play thread: clock, play loop, rendering, ranges and seeks.
#include "PlayThread.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "UnitLog.h"
#include "UnitShare.h"

namespace qov {

const char* const kDumpPath = "c:\\dump.txt";

namespace {

// Holds a frame list's lock for a scope.
class TFramesHold {
public:
    explicit TFramesHold(TFramesBuffer& frames) : FFrames(frames) { FFrames.LockList(); }
    ~TFramesHold() { FFrames.UnlockList(); }
    TFramesHold(const TFramesHold&) = delete;
    TFramesHold& operator=(const TFramesHold&) = delete;

private:
    TFramesBuffer& FFrames;
};

class TKeyFramesHold {
public:
    explicit TKeyFramesHold(TKeyFramesBuffer& keys) : FKeys(keys) { FKeys.LockList(); }
    ~TKeyFramesHold() { FKeys.UnlockList(); }
    TKeyFramesHold(const TKeyFramesHold&) = delete;
    TKeyFramesHold& operator=(const TKeyFramesHold&) = delete;

private:
    TKeyFramesBuffer& FKeys;
};

class TBackBufferHold {
public:
    explicit TBackBufferHold(TBackBuffer& buffer) : FBuffer(buffer) { FBuffer.Lock(); }
    ~TBackBufferHold() { FBuffer.Unlock(); }
    TBackBufferHold(const TBackBufferHold&) = delete;
    TBackBufferHold& operator=(const TBackBufferHold&) = delete;

private:
    TBackBuffer& FBuffer;
};

// A frame that cannot be drawn: it is skipped and logged.
class EFrameSkipped : public Exception { using Exception::Exception; };

uint32_t ImageFileSize(const uint8_t* image)
{
    uint32_t size;
    std::memcpy(&size, image + 2, sizeof size);
    return size;
}

const RecordingHeader& HeaderOf(PlaybackContext* context)
{
    QOV_ASSERT(context != nullptr && context->Frames != nullptr && context->KeyFrames != nullptr &&
               context->Index != nullptr);
    return context->Header;
}

} // namespace

// ===========================================================================
// Construction and the public operations (run on the caller's thread)

TPlayThread::TPlayThread(PlaybackContext* context, TClock clock)
    : FContext(context), FHeader(HeaderOf(context)), FClock(clock)
{
    FBackBuffer.SetSize(FHeader.Width, FHeader.Height);
    FWork.resize(kPlayWorkBufferSize);
    FAckEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FDataEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!FAckEvent || !FDataEvent) {
        const DWORD error = GetLastError();
        if (FAckEvent)
            CloseHandle(FAckEvent);
        if (FDataEvent)
            CloseHandle(FDataEvent);
        throw Exception(Format("CreateEvent failed: %lu", static_cast<unsigned long>(error)));
    }
    InitializeCriticalSection(&FAckLock);
    InitializeCriticalSection(&FClockLock);
    FContext->Frames->SetSignal(this);
    try {
        StartThread();
    } catch (...) {
        FContext->Frames->ResetSignal(this);
        CloseHandle(FAckEvent);
        CloseHandle(FDataEvent);
        DeleteCriticalSection(&FAckLock);
        DeleteCriticalSection(&FClockLock);
        throw;
    }
}

TPlayThread::~TPlayThread()
{
    EndThread();
    // Once this returns the buffer no longer calls FramesChanged.
    FContext->Frames->ResetSignal(this);
    CloseHandle(FAckEvent);
    CloseHandle(FDataEvent);
    DeleteCriticalSection(&FAckLock);
    DeleteCriticalSection(&FClockLock);
}

void TPlayThread::FramesChanged() noexcept
{
    SetEvent(FDataEvent);
}

uint32_t TPlayThread::CurrentTime() const
{
    EnterCriticalSection(&FClockLock);
    const auto clock = FShownClock;
    LeaveCriticalSection(&FClockLock);
    if (!clock.Running)
        return clock.Base;
    // As the play loop counts: the media time stops at the largest 32-bit
    // time instead of wrapping.
    const uint64_t played = uint64_t(clock.Speed) * uint32_t(Now() - clock.Start);
    return clock.Base + static_cast<uint32_t>(std::min<uint64_t>(played, UINT32_MAX - clock.Base));
}

void TPlayThread::PublishTime()
{
    EnterCriticalSection(&FClockLock);
    FShownClock.Running = FRunning;
    FShownClock.Base = FRunning ? FBase : FBase + FElapsed;
    FShownClock.Start = FRunStart;
    FShownClock.Speed = FRunSpeed;
    LeaveCriticalSection(&FClockLock);
}

void TPlayThread::Play()
{
    Post(WM_ENGINE_PLAY);
}

void TPlayThread::Pause()
{
    PostAndWait(WM_ENGINE_PAUSE);
}

void TPlayThread::Stop()
{
    PostAndWait(WM_ENGINE_STOP);
}

void TPlayThread::Faster()
{
    Post(WM_ENGINE_FASTER);
}

void TPlayThread::Seek(int32_t ms)
{
    if (ms < 0)
        throw ERangeError("Range check error");
    Post(WM_ENGINE_SEEK, static_cast<WPARAM>(ms));
}

void TPlayThread::Refresh()
{
    Post(WM_ENGINE_REFRESH);
}

void TPlayThread::Purge(int32_t flag)
{
    Post(WM_ENGINE_PURGE, static_cast<WPARAM>(flag));
}

void TPlayThread::PostAndWait(UINT msg)
{
    EnterCriticalSection(&FAckLock);
    const uint32_t ticket = ++FAckTicket;
    if (Post(msg, 0, static_cast<LPARAM>(ticket))) {
        const HANDLE handles[2] = {FAckEvent, Handle()};
        // A set meant for an earlier request (its waiter gone) only costs one
        // more look at the ticket; the thread's end releases the wait.
        while (FAckDone.load() < ticket) {
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0)
                break;
        }
    }
    LeaveCriticalSection(&FAckLock);
}

void TPlayThread::Acknowledge(LPARAM ticketParam)
{
    const uint32_t ticket = static_cast<uint32_t>(ticketParam);
    uint32_t done = FAckDone.load();
    while (ticket > done && !FAckDone.compare_exchange_weak(done, ticket)) {
    }
    SetEvent(FAckEvent);
}

// ===========================================================================
// Helpers

uint8_t TPlayThread::ReaderKind() const
{
    return FContext->Reader ? FContext->Reader->Kind() : static_cast<uint8_t>(skNone);
}

bool TPlayThread::FileReader() const
{
    const uint8_t kind = ReaderKind();
    return kind == skLocalFile || kind == skHttp;
}

uint32_t TPlayThread::EffectiveDuration(uint32_t headerDuration) const
{
    // A live or multicast stream has no duration; whatever an earlier
    // recording left in the header must not end it or clamp its seeks.
    const uint8_t kind = ReaderKind();
    if (kind == skLiveTcp || kind == skMulticast)
        return 0;
    return headerDuration;
}

void TPlayThread::PostToWindow(UINT msg, WPARAM wParam, LPARAM lParam) const
{
    // A null window would make the post a message to this very thread.
    if (FContext->Window)
        PostMessageA(FContext->Window, msg, wParam, lParam);
}

void TPlayThread::ReadOn() const
{
    if (FContext->Reader)
        FContext->Reader->Read(-1);
}

bool TPlayThread::MessageWaiting(MSG* msg) const
{
    MSG local;
    return PeekMessageA(msg ? msg : &local, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

bool TPlayThread::MessageOtherThanSeekWaiting() const
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, 0, WM_ENGINE_SEEK - 1, PM_NOREMOVE) ||
           PeekMessageA(&msg, nullptr, WM_ENGINE_SEEK + 1, 0xFFFFFFFFu, PM_NOREMOVE);
}

// ===========================================================================
// The thread

void TPlayThread::Execute()
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        try {
            Dispatch(msg);
        } catch (const std::exception& e) {
            Log().AddLine(Format("QovPlayer.ocx -> TPlayThread: %s", e.what()));
        } catch (...) {
            Log().AddLine("QovPlayer.ocx -> TPlayThread: unknown exception");
        }
        // A stop or pause is acknowledged also when its handling failed.
        if (msg.message == WM_ENGINE_STOP || msg.message == WM_ENGINE_PAUSE)
            Acknowledge(msg.lParam);
    }
    SetEvent(FAckEvent);
}

void TPlayThread::Dispatch(const MSG& msg)
{
    switch (msg.message) {
    case WM_ENGINE_SEEK: {
        // Seeks queued meanwhile collapse into the last one.
        WPARAM target = msg.wParam;
        MSG later;
        while (PeekMessageA(&later, nullptr, WM_ENGINE_SEEK, WM_ENGINE_SEEK, PM_REMOVE))
            target = later.wParam;
        const int32_t ms = static_cast<int32_t>(static_cast<uint32_t>(target));
        if (ms < 0)
            throw ERangeError("Range check error");
        FPlayAfterSeek = false;
        SeekTo(static_cast<uint32_t>(ms));
        if (FPlayAfterSeek)
            PlayOn();
        break;
    }
    case WM_ENGINE_SHOW:
        ShowRange(0, static_cast<int32_t>(static_cast<uint32_t>(msg.wParam)));
        FPendingKey.store(-1);
        if (FState.load() == psPlaying)
            PlayOn();
        break;
    case WM_ENGINE_STOP:
        HandleStop();
        break;
    case WM_ENGINE_PLAY:
        FSpeed.store(1);
        FState.store(psPlaying);
        PlayLoop();
        break;
    case WM_ENGINE_PAUSE:
        FState.store(psPaused);
        break;
    case WM_ENGINE_FASTER:
        FSpeed.store(std::min(FSpeed.load() * 2, kMaxPlaySpeed));
        FState.store(psPlaying);
        PlayLoop();
        break;
    case WM_ENGINE_REFRESH:
        PostDirtyRect(true);
        if (FState.load() == psPlaying)
            PlayLoop();
        break;
    default:
        break;  // WM_ENGINE_PURGE outside the play loop, and anything else
    }
}

void TPlayThread::PlayOn()
{
    // What WM_ENGINE_PLAY does, served here rather than posted behind the
    // requests already queued: a pause or stop that came meanwhile would
    // otherwise be undone by it, and a further seek's drawing would give way
    // to it before drawing anything.
    FPlayAfterSeek = false;
    FSpeed.store(1);
    PlayLoop();
}

void TPlayThread::HandleStop()
{
    FState.store(psStopped);
    FBase = 0;
    FElapsed = 0;
    PublishTime();
    FLastSampleTime.store(0);
    // A reposition under way is forgotten: the source rewinds now.
    FPendingKey.store(-1);
    if (FContext->Reader)
        FContext->Reader->Stop();
}

// ===========================================================================
// Playing

void TPlayThread::PlayLoop()
{
    struct TClockStop {
        TPlayThread* Self;
        ~TClockStop()
        {
            // The time played so far becomes the clock's base.
            Self->FBase += Self->FElapsed;
            Self->FElapsed = 0;
            Self->FRunning = false;
            Self->PublishTime();
        }
    } clockStop{this};

    const DWORD start = Now();
    const uint32_t speed = uint32_t(FSpeed.load());
    FRunning = true;
    FRunStart = start;
    FRunSpeed = speed;
    PublishTime();
    // The source is asked to read on once each time the buffer runs dry;
    // then the buffer's signal says when records come or the read ended.
    bool askedForMore = false;
    for (;;) {
        // Wall time since the start, modulo 2^32, times the speed; the media
        // time stops at the largest 32-bit time instead of wrapping. Taken
        // first, so that a message ending the loop stops the clock now.
        const uint64_t played = uint64_t(speed) * uint32_t(Now() - start);
        FElapsed = static_cast<uint32_t>(std::min<uint64_t>(played, UINT32_MAX - FBase));

        MSG msg;
        if (MessageWaiting(&msg)) {
            if (msg.message != WM_ENGINE_PURGE)
                break;  // Execute serves it
            PeekMessageA(&msg, nullptr, WM_ENGINE_PURGE, WM_ENGINE_PURGE, PM_REMOVE);
            FContext->Frames->Purge(true);
            continue;
        }

        uint32_t due = 0;
        const int taken = TakeNextFrame(&due);
        if (taken < 0) {
            if (!askedForMore) {
                askedForMore = true;
                ReadOn();
            }
            WaitForWork(INFINITE);
            continue;
        }
        if (taken == 0) {
            // A record added meanwhile may be due sooner (a source that
            // cleared the buffer under this one): the signal ends the wait.
            WaitForWork(WaitUntilDue(due, speed));
            continue;
        }
        askedForMore = false;
        RenderFrame(FWork.data(), true);
        FRendered.fetch_add(1);
        PostDirtyRect(false);

        const uint32_t duration = EffectiveDuration(FContext->Header.Duration);
        if (duration != 0 && duration == FLastSampleTime.load()) {
            // Records that share the last time are all drawn before the end.
            bool more;
            {
                TFramesHold hold(*FContext->Frames);
                const uint8_t* next = FContext->Frames->Record(FContext->Frames->CurrentIndex() + 1);
                more = next != nullptr && RecordHeader(next).Time == duration;
            }
            if (!more) {
                FState.store(psStopped);
                PostToWindow(WM_ENGINE_END, 0, 0);
                break;
            }
        }
    }
}

DWORD TPlayThread::WaitUntilDue(uint32_t due, uint32_t speed) const
{
    const uint32_t now = FBase + FElapsed;
    if (due <= now)
        return 0;
    const uint64_t ms = (uint64_t(due - now) + speed - 1) / speed;
    if (FClock)
        return static_cast<DWORD>(std::min<uint64_t>(ms, kPlayWaitSuppliedClockMs));
    return static_cast<DWORD>(std::min<uint64_t>(ms, INFINITE - 1));
}

void TPlayThread::WaitForWork(DWORD ms)
{
    if (ms == 0)
        return;
    HANDLE event = FDataEvent;
    MsgWaitForMultipleObjectsEx(1, &event, ms, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
    FWakeups.fetch_add(1);
}

int TPlayThread::TakeNextFrame(uint32_t* due)
{
    TFramesBuffer& frames = *FContext->Frames;
    // Looking at the record, copying it and making it the current one happen
    // under one hold of the list: a source's Clear or a purge in between can
    // never pair a record with the wrong index.
    TFramesHold hold(frames);
    const int32_t next = frames.CurrentIndex() + 1;
    const uint8_t* record = frames.Record(next);
    if (!record)
        return -1;
    const FrameHeader& header = RecordHeader(record);
    // A live or multicast stream is joined while it runs: its times count
    // from the start of the broadcast, not from 0. Its first record, taken
    // with the clock reset (created, or stopped and the store emptied), sets
    // the clock, or every later record would wait as long as the broadcast
    // had run before it was joined.
    const uint8_t kind = ReaderKind();
    if ((kind == skLiveTcp || kind == skMulticast) && frames.CurrentIndex() == -1 &&
        FLastSampleTime.load() == 0 && header.Time > FBase + FElapsed) {
        FBase = header.Time - FElapsed;
        PublishTime();
    }
    // The very first record the thread renders is shown at once.
    *due = header.Time;
    if (FRendered.load() != 0 && header.Time > FBase + FElapsed)
        return 0;
    const size_t size = kFrameHeaderSize + size_t(header.Length);
    try {
        if (FWork.size() < size)
            FWork.resize(size);
    } catch (const std::bad_alloc&) {
        Log().AddLine(Format("QovPlayer.ocx -> TPlayThread: frame at %u ms (%u bytes) skipped: out of memory",
                             header.Time, header.Length));
        frames.SetCurrentIndex(next);
        FLastSampleTime.store(header.Time);
        return 0;
    }
    std::memcpy(FWork.data(), record, size);
    frames.SetCurrentIndex(next);
    FLastSampleTime.store(header.Time);
    return 1;
}

// ===========================================================================
// Rendering

void TPlayThread::RenderFrame(const uint8_t* record, bool purgeAllowed)
{
    FrameHeader header;
    std::memcpy(&header, record, sizeof header);
    const uint8_t* payload = header.Length > 0 ? record + kFrameHeaderSize : nullptr;
    try {
        DrawRecord(header, payload);
    } catch (const std::exception& e) {
        // The frame is skipped; every lock was released on the way out.
        Log().AddLine(Format("QovPlayer.ocx -> TPlayThread.RenderFrame: frame at %u ms (kind %d, compression %u, "
                             "%u bytes) skipped: %s",
                             header.Time, int(header.Kind), unsigned(header.Compression), header.Length, e.what()));
    }
    if (purgeAllowed && FContext->Frames->IsFull()) {
        FContext->Frames->Purge(false);
        ReadOn();
    }
}

void TPlayThread::DrawRecord(const FrameHeader& header, const uint8_t* payload)
{
    // Decodes the payload into the shared output buffer (the output lock held
    // by the caller); a payload that gives no picture is never drawn, so the
    // buffer's earlier contents cannot reach the screen.
    auto decode = [&](const uint8_t*& image, uint32_t& length) {
        void* out = nullptr;
        const int result = DecodePayloadEx(payload, header.Length, header.Compression, &out, kDecodeOutputSize);
        if (result <= 0 || out == nullptr)
            throw EFrameSkipped(Format("the payload decodes to nothing (%d)", result));
        image = static_cast<const uint8_t*>(out);
        length = static_cast<uint32_t>(result);
    };

    TOutputLock output;
    switch (header.Kind) {
    case fkKeyFrame: {
        TKeyFramesBuffer& keys = *FContext->KeyFrames;
        TKeyFramesHold hold(keys);
        const uint8_t* image = keys.FindImage(header.Time);
        uint32_t length = 0;
        if (image) {
            length = ImageFileSize(image);
        } else {
            decode(image, length);
            // Nothing damaged enters the cache.
            CheckedImage(image, length);
            keys.Store(header, image, FKeyCacheOn.load());
        }
        QOV_ASSERT(image != nullptr);
        TBackBufferHold drawing(FBackBuffer);
        FBackBuffer.DrawFrame(&header, image, length);
        break;
    }
    case fkXorRect:
    case fkCopyRect:
    case fkCursor: {
        const uint8_t* image = nullptr;
        uint32_t length = 0;
        if (payload)
            decode(image, length);
        else if (header.Kind != fkCursor)
            throw EFrameSkipped("a rectangle without payload");
        TBackBufferHold drawing(FBackBuffer);
        FBackBuffer.DrawFrame(&header, image, length);
        break;
    }
    case fkMarker:
        PostToWindow(WM_ENGINE_MARKER, 0, 0);
        break;
    default:
        break;  // other kinds draw nothing
    }
}

bool TPlayThread::ShowRange(int32_t from, int32_t to)
{
    TFramesBuffer& frames = *FContext->Frames;
    bool whole = true;
    {
        TFramesHold hold(frames);
        const int32_t count = frames.Count();
        if (to == -1)
            to = count - 1;
        if (to >= count || from < 0)
            return true;
        for (int32_t i = from; i <= to; ++i) {
            if (MessageOtherThanSeekWaiting()) {
                whole = false;
                break;
            }
            const uint8_t* record = frames.Record(i);
            const FrameHeader& header = RecordHeader(record);
            frames.SetCurrentIndex(i);
            FLastSampleTime.store(header.Time);
            if (header.Kind == fkCursor && header.Length == 0)
                continue;  // a bare cursor move
            RenderFrame(record, false);
        }
    }
    PostDirtyRect(false);
    return whole;
}

void TPlayThread::PostDirtyRect(bool whole)
{
    RECT rect;
    if (whole) {
        rect = RECT{0, 0, FHeader.Width, FHeader.Height};
    } else {
        TBackBufferHold hold(FBackBuffer);
        FBackBuffer.GetDirtyRect(rect, true);
    }
    // Every GDI drawing into the picture is complete before the control reads it.
    GdiFlush();
    const WPARAM topLeft = (WPARAM(uint16_t(rect.left)) << 16) + uint16_t(rect.top);
    const LPARAM bottomRight = LPARAM((DWORD(uint16_t(rect.right)) << 16) + uint16_t(rect.bottom));
    PostToWindow(WM_ENGINE_PAINT, topLeft, bottomRight);
}

// ===========================================================================
// Seeking

void TPlayThread::SeekTo(uint32_t ms)
{
    TFramesBuffer& frames = *FContext->Frames;
    TIndexTable& index = *FContext->Index;
    const bool playing = FState.load() == psPlaying;

    if (index.IsEmpty()) {
        if (playing)
            FPlayAfterSeek = true;
        return;
    }
    uint32_t target = ms;
    const uint32_t duration = EffectiveDuration(FHeader.Duration);
    if (duration != 0)
        target = std::min(target, duration);

    // One consistent view of the buffer for the whole decision and the range
    // it draws: a source clearing or adding meanwhile waits.
    TFramesHold hold(frames);
    // Records that share a time are one moment of the recording: a seek to it
    // draws all of them, in whatever order they were written.
    auto sameTime = [&](int32_t i, int32_t step) {
        const uint8_t* record = frames.Record(i);
        const uint32_t time = RecordHeader(record).Time;
        for (const uint8_t* next; (next = frames.Record(i + step)) != nullptr && RecordHeader(next).Time == time;)
            i += step;
        return i;
    };
    uint32_t t = target;
    int32_t found = frames.FindFrame(t, false);
    if (found != -1)
        found = sameTime(found, 1);
    const int32_t current = frames.CurrentIndex();
    if (current != -1 && current == found) {
        // The target is the record shown now.
        MoveClockTo(target);
        if (playing)
            FPlayAfterSeek = true;
        return;
    }

    int32_t key = index.FindKeyTime(t);
    if (key == -1) {
        const int32_t first = index.FirstKeyTime();
        if (first == -1)
            return;
        if (ms != static_cast<uint32_t>(first)) {
            Seek(first);  // to the first key frame, through the queue
            return;
        }
        // Even a seek to the first key frame finds nothing before it (the
        // duration ends in front of it, or a buffered record lies before it):
        // that key frame itself is the target, instead of seeking again.
        key = first;
        target = static_cast<uint32_t>(first);
        t = target;
        found = frames.FindFrame(t, true);
        if (found != -1)
            found = sameTime(found, 1);
    }
    const int32_t keyIndex = KeyFrameIndex(static_cast<uint32_t>(key));
    // A group drawn from its key frame starts with the first record of the
    // key frame's time (a cursor or marker may have been written before it).
    const int32_t groupStart = keyIndex != -1 ? sameTime(keyIndex, -1) : -1;

    if (found != -1) {
        // The target is buffered.
        bool drawn = true;
        if (index.FindKeyTime(FLastSampleTime.load()) == key) {
            // The picture shown now belongs to the same key group.
            if (found > current)
                drawn = ShowRange(current + 1, found);
            else
                drawn = ShowRange(groupStart, found);
        } else if (keyIndex != -1) {
            drawn = ShowRange(groupStart, found);
        } else {
            ReportAbnormalBuffer(key, target);
        }
        // A drawing that gave way to another request before it came back to
        // the target leaves the picture after it: the clock stays with the
        // picture, or playing on would show nothing until the clock had
        // caught up with it again.
        if (drawn || frames.CurrentIndex() <= found)
            MoveClockTo(target);
        if (playing)
            FPlayAfterSeek = true;
        PostToWindow(WM_ENGINE_POSITION, FBase, 0);
        return;
    }

    if (keyIndex != -1) {
        // The target lies after the buffered records, its key frame is buffered.
        if (current < keyIndex) {
            frames.SetCurrentIndex(keyIndex);
            frames.Purge(false);
            ShowRange(frames.CurrentIndex(), -1);
        } else {
            frames.Purge(false);
            ShowRange(frames.CurrentIndex() + 1, -1);
        }
        MoveClockTo(target);
        if (FileReader()) {
            // The source posts WM_ENGINE_SHOW once the target is buffered.
            FContext->Reader->Read(static_cast<int32_t>(target));
            PostToWindow(WM_ENGINE_POSITION, FBase, 0);
        } else {
            if (playing)
                FPlayAfterSeek = true;
            PostToWindow(WM_ENGINE_POSITION, FLastSampleTime.load(), 0);
        }
        return;
    }

    // Neither the target nor its key frame is buffered.
    MoveClockTo(target);
    if (FileReader()) {
        if (key == FPendingKey.load())
            return;  // that reposition is under way
        FPendingKey.store(key);
        // The source repositions at the key frame, reads to the target and
        // posts WM_ENGINE_SHOW.
        FContext->Reader->Seek(static_cast<int32_t>(target));
        PostToWindow(WM_ENGINE_POSITION, FBase, 0);
    } else if (playing) {
        FPlayAfterSeek = true;
    }
}

int32_t TPlayThread::KeyFrameIndex(uint32_t keyTime)
{
    // The frame list's lookup by time gives the earliest record at or after
    // index 1 with that time, which need not be the key frame: a cursor record
    // often shares the key frame's time. The key frame itself is the record
    // of kind 1 among those with that time.
    TFramesBuffer& frames = *FContext->Frames;
    TFramesHold hold(frames);
    uint32_t time = keyTime;
    const int32_t found = frames.FindFrame(time, true);
    if (found == -1)
        return -1;
    auto keyAt = [&](int32_t i) {
        const uint8_t* record = frames.Record(i);
        return record != nullptr && RecordHeader(record).Time == keyTime && RecordHeader(record).Kind == fkKeyFrame;
    };
    auto sameTime = [&](int32_t i) {
        const uint8_t* record = frames.Record(i);
        return record != nullptr && RecordHeader(record).Time == keyTime;
    };
    for (int32_t i = found; i >= 0 && sameTime(i); --i)
        if (keyAt(i))
            return i;
    for (int32_t i = found + 1; sameTime(i); ++i)
        if (keyAt(i))
            return i;
    return -1;
}

void TPlayThread::ReportAbnormalBuffer(int32_t key, uint32_t target)
{
    TFramesBuffer& frames = *FContext->Frames;
    try {
        Log().AddLine(Format("QovPlayer.ocx -> Abnormal buffer：MinTimeStamp=%d, DestKeyTime=%d, msTime=%d, "
                             "MaxTimeStamp=%d, FCurrentIndex=%d, FLastSampleTime=%d",
                             frames.MinTimeStamp(), key, static_cast<int32_t>(target), frames.MaxTimeStamp(),
                             frames.CurrentIndex(), static_cast<int32_t>(FLastSampleTime.load())));
    } catch (const std::exception& e) {
        Log().AddLine(Format("QovPlayer.ocx -> Abnormal buffer: %s", e.what()));
    }
    try {
        frames.DumpToFile(kDumpPath);
    } catch (const std::exception& e) {
        // Without rights to the folder the dump is lost, nothing else.
        Log().AddLine(Format("QovPlayer.ocx -> TFramesBuffer.DumpToFile(%s) failed: %s", kDumpPath, e.what()));
    }
}

} // namespace qov
