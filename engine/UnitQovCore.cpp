// The engine core: thread base, source thread framework, file and HTTP source.
#include "UnitQovCore.h"

#include <mmsystem.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "EngineUtils.h"
#include "LocatorHelpers.h"
#include "RecordingReader.h"
#include "UnitLog.h"
#include "UnitShare.h"

namespace qov {

// ===========================================================================
// TThread

TThread::~TThread()
{
    EndThread();
    if (FQueueReady)
        CloseHandle(FQueueReady);
}

bool TThread::Finished() const
{
    return FHandle == nullptr || WaitForSingleObject(FHandle, 0) != WAIT_TIMEOUT;
}

bool TThread::Post(UINT msg, WPARAM wParam, LPARAM lParam) const
{
    if (!FHandle)
        return false;
    return PostThreadMessageRetry(FThreadID, FHandle, msg, wParam, lParam);
}

void TThread::StartThread()
{
    QOV_ASSERT(FHandle == nullptr);
    FQueueReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ThreadClassProcedure = reinterpret_cast<void*>(&TThread::ThreadProc);
    FHandle = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
    if (!FHandle) {
        const DWORD error = GetLastError();
        if (FQueueReady)
            CloseHandle(FQueueReady);
        FQueueReady = nullptr;
        throw Exception(Format("Thread creation error: %lu", static_cast<unsigned long>(error)));
    }
    ResumeThread(FHandle);
    // Until the thread has made its queue a post fails and is retried 10 ms
    // later; waiting for the queue lets the first post through at once. The
    // wait is bounded: a thread that cannot start yet (under a loader lock)
    // leaves its first post to the retries.
    if (FQueueReady) {
        const HANDLE waits[] = {FQueueReady, FHandle};
        WaitForMultipleObjects(2, waits, FALSE, kQueueReadyWaitMs);
    }
}

void TThread::EndThread()
{
    if (!FHandle)
        return;
    FEnding.store(true);
    PostThreadMessageRetry(FThreadID, FHandle, WM_QUIT, 0, 0);
    WaitForSingleObject(FHandle, INFINITE);
    CloseHandle(FHandle);
    FHandle = nullptr;
}

DWORD WINAPI TThread::ThreadProc(void* param)
{
    auto* self = static_cast<TThread*>(param);
    try {
        // The queue exists from here on, so posts to this thread succeed.
        MSG msg;
        PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        SetEvent(self->FQueueReady);
        // Execute runs once the first message has been posted: every
        // constructor has finished by then.
        MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
        if (!self->FEnding.load())
            self->Execute();
    } catch (...) {
        // Execute reports its own failures; nothing may leave the routine.
        // What escapes all the same goes to the unhandled-exception procedure
        // (when a library set it, it reports and ends the thread).
        if (ExceptProc)
            ExceptProc(nullptr);
    }
    return 0;
}

// ===========================================================================
// TReadThread

TReadThread::TReadThread(PlaybackContext* context) : FContext(context)
{
    QOV_ASSERT(context != nullptr);
    InitializeCriticalSection(&FStopLock);
    InitializeCriticalSection(&FMeterLock);
    // Unnamed: no other source, of this or any other player, can set them.
    FStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FTextEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FReceiveBuffer = static_cast<uint8_t*>(std::malloc(kReceiveBufferSize));
    if (!FStopEvent || !FTextEvent || !FReceiveBuffer) {
        if (FStopEvent)
            CloseHandle(FStopEvent);
        if (FTextEvent)
            CloseHandle(FTextEvent);
        std::free(FReceiveBuffer);
        DeleteCriticalSection(&FStopLock);
        DeleteCriticalSection(&FMeterLock);
        throw EOutOfMemory("Out of memory");
    }
    FCapacity = kReceiveBufferSize;
    FUsed = 0;
    try {
        StartThread();
    } catch (...) {
        // No destructor runs for a constructor that fails.
        CloseHandle(FStopEvent);
        CloseHandle(FTextEvent);
        std::free(FReceiveBuffer);
        DeleteCriticalSection(&FStopLock);
        DeleteCriticalSection(&FMeterLock);
        throw;
    }
}

TReadThread::~TReadThread()
{
    EndThread();
    std::free(FReceiveBuffer);
    CloseHandle(FStopEvent);
    CloseHandle(FTextEvent);
    DeleteCriticalSection(&FStopLock);
    DeleteCriticalSection(&FMeterLock);
}

std::string TReadThread::Locator() const
{
    std::lock_guard<std::mutex> lock(FTextLock);
    return FLocator;
}

std::string TReadThread::ExtraText() const
{
    std::lock_guard<std::mutex> lock(FTextLock);
    return FExtraText;
}

void TReadThread::Open(const std::string& locator, const std::string& extraText)
{
    {
        std::lock_guard<std::mutex> lock(FTextLock);
        FLocator = locator;
        FExtraText = extraText;
    }
    FStopping.store(false);
    Post(WM_ENGINE_OPEN);
}

void TReadThread::Read(int32_t target)
{
    if (target == -1 && FReadOnQueued.exchange(true))
        return;
    if (!Post(WM_ENGINE_READ, static_cast<WPARAM>(target)) && target == -1)
        FReadOnQueued.store(false);
}

void TReadThread::Seek(int32_t ms)
{
    if (ms < 0)
        throw ERangeError("Range check error");
    Post(WM_ENGINE_SEEK, static_cast<WPARAM>(ms));
}

void TReadThread::Stop()
{
    FStopping.store(true);
    if (GetCurrentThreadId() == ThreadID()) {
        // From one of its own handlers: served once the handler returns.
        Post(WM_ENGINE_STOP, 0);
        return;
    }
    EnterCriticalSection(&FStopLock);
    const uint32_t ticket = ++FStopTicket;
    if (Post(WM_ENGINE_STOP, ticket)) {
        const HANDLE handles[2] = {FStopEvent, Handle()};
        // A set left over from a stop whose waiter was gone only costs one
        // more look at the ticket.
        while (FStopDone.load() < ticket) {
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0)
                break;  // the thread has ended
        }
    }
    LeaveCriticalSection(&FStopLock);
}

void TReadThread::SendText(const std::string& text)
{
    if (text.empty())
        return;
    auto* block = new uint8_t[text.size()];
    std::memcpy(block, text.data(), text.size());
    if (!Post(WM_ENGINE_SEND_TEXT, reinterpret_cast<WPARAM>(block), static_cast<LPARAM>(text.size())))
        delete[] block;
}

DWORD TReadThread::MeterNow() const
{
    return FMeterClock ? FMeterClock() : timeGetTime();
}

void TReadThread::ResetMeter()
{
    EnterCriticalSection(&FMeterLock);
    FMeterStart = MeterNow();
    FMeterBytes = 0;
    LeaveCriticalSection(&FMeterLock);
}

void TReadThread::AddToMeter(uint64_t bytes)
{
    EnterCriticalSection(&FMeterLock);
    FMeterBytes += bytes;
    LeaveCriticalSection(&FMeterLock);
}

uint32_t TReadThread::GetBitRate()
{
    uint32_t result = 0;
    EnterCriticalSection(&FMeterLock);
    const DWORD now = MeterNow();
    if (now > FMeterStart) {
        const uint64_t rate = FMeterBytes * 8 / (now - FMeterStart);
        result = rate > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rate);
        FMeterStart = now;
        FMeterBytes = 0;
    }
    LeaveCriticalSection(&FMeterLock);
    return result;
}

void TReadThread::HandleOpen()
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::HandleRead(int32_t)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::HandleSeek(int32_t)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::HandleStop()
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::HandleSendText(const MSG&)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoStreamHeader(int, int)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoError(int)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoSample(const uint8_t*)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoIndex(const std::string&)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoScript(const std::string&)
{
    throw EAbstractError("Abstract Error");
}

void TReadThread::DoString(const std::string&)
{
    throw EAbstractError("Abstract Error");
}

bool TReadThread::MessageWaiting() const
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

bool TReadThread::WaitForOtherThanRead(DWORD ms) const
{
    auto otherWaiting = [] {
        MSG msg;
        return PeekMessageA(&msg, nullptr, 0, WM_ENGINE_READ - 1, PM_NOREMOVE) ||
               PeekMessageA(&msg, nullptr, WM_ENGINE_READ + 1, 0xFFFFFFFFu, PM_NOREMOVE);
    };
    // In short steps: a read request waiting in the queue would end any
    // wait for new input at once.
    const DWORD start = GetTickCount();
    for (;;) {
        if (otherWaiting())
            return true;
        const DWORD waited = GetTickCount() - start;
        if (waited >= ms)
            return false;
        Sleep(std::min<DWORD>(ms - waited, kOtherMessagePollMs));
    }
}

void TReadThread::ReportStatus(int code) const
{
    if (!FStopping.load() && FContext->Window)
        PostMessageA(FContext->Window, WM_ENGINE_STATUS, static_cast<WPARAM>(code), 0);
}

bool TReadThread::PostToPlayer(UINT msg, WPARAM wParam, LPARAM lParam) const
{
    TThread* player = FContext->Player;
    if (!player)
        return false;
    return player->Post(msg, wParam, lParam);
}

void TReadThread::GrowReceiveBuffer(uint32_t size)
{
    void* grown = std::realloc(FReceiveBuffer, size);
    if (!grown)
        throw Exception(Format("Exception:%s, BufferSize=%u", "Out of memory", size));
    FReceiveBuffer = static_cast<uint8_t*>(grown);
    FCapacity = size;
}

template <typename F>
bool TReadThread::Guard(const char* handler, F&& f)
{
    std::string message;
    try {
        f();
        return true;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown exception";
    }
    // The thread never fails silently: the cause goes to the daily log and
    // the control hears a status code (not while stopping).
    Log().AddLine(Format("%s -> %s", handler, message.c_str()));
    ReportStatus(kHandlerFailureStatus);
    return false;
}

void TReadThread::DrainQueue()
{
    // Blocks of texts that will never be sent are freed with the queue.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_ENGINE_SEND_TEXT)
            delete[] reinterpret_cast<uint8_t*>(msg.wParam);
    }
}

void TReadThread::Execute()
{
    ResetMeter();
    MSG msg;
    bool running = true;
    while (running) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        switch (msg.message) {
        case WM_ENGINE_OPEN:
            running = Guard("TReadThread.HandleOpen", [&] { HandleOpen(); });
            break;
        case WM_ENGINE_READ:
            if (static_cast<int32_t>(static_cast<uint32_t>(msg.wParam)) == -1)
                FReadOnQueued.store(false);
            running = Guard("TReadThread.HandleRead",
                            [&] { HandleRead(static_cast<int32_t>(static_cast<uint32_t>(msg.wParam))); });
            break;
        case WM_ENGINE_SEEK:
            running = Guard("TReadThread.HandleSeek", [&] {
                const int32_t ms = static_cast<int32_t>(static_cast<uint32_t>(msg.wParam));
                if (ms < 0)
                    throw ERangeError("Range check error");
                HandleSeek(ms);
            });
            break;
        case WM_ENGINE_STOP: {
            // A failing stop is logged; the stop is acknowledged either way.
            Guard("TReadThread.HandleStop", [&] { HandleStop(); });
            const uint32_t ticket = static_cast<uint32_t>(msg.wParam);
            uint32_t done = FStopDone.load();
            while (ticket > done && !FStopDone.compare_exchange_weak(done, ticket)) {
            }
            SetEvent(FStopEvent);
            break;
        }
        case WM_ENGINE_SEND_TEXT: {
            std::unique_ptr<uint8_t[]> block(reinterpret_cast<uint8_t*>(msg.wParam));
            Guard("TReadThread.HandleSendText", [&] { HandleSendText(msg); });
            block.reset();
            SetEvent(FTextEvent);
            Read(-1);
            break;
        }
        default:
            break;
        }
        // A read that ended (the end of the source, a failure, a full buffer)
        // wakes a play thread that waits for records.
        if (msg.message == WM_ENGINE_OPEN || msg.message == WM_ENGINE_READ || msg.message == WM_ENGINE_SEEK)
            SourceIdle();
    }
    DrainQueue();
    SetEvent(FStopEvent);
    SetEvent(FTextEvent);
    SourceIdle();
}

void TReadThread::SourceIdle() const
{
    if (FContext && FContext->Frames)
        FContext->Frames->SourceIdle();
}

// ===========================================================================
// TFileThread

std::string LocatorExtension(const std::string& locator)
{
    const size_t dot = locator.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    std::string ext = locator.substr(dot);
    for (char& c : ext) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return ext;
}

TFileKind FileKindOfExtension(const std::string& extension)
{
    if (extension == ".BMP" || extension == ".DIB")
        return fkBitmap;
    if (extension == ".JPG" || extension == ".JPEG")
        return fkJpeg;
    if (extension == ".QOV")
        return fkRecording;
    return fkNone;
}

namespace {

// An open that fails with a status code; its message is the code's text.
class EOpenFailure : public Exception { using Exception::Exception; };

[[noreturn]] void FailOpen(int& status, int code)
{
    status = code;
    throw EOpenFailure(EngineErrorText(code));
}

} // namespace

TFileThread::TFileThread(PlaybackContext* context) : TReadThread(context) {}

TFileThread::~TFileThread()
{
    // A web server that has stopped answering must not hold the owner: the
    // request under way fails, and no further one is made. The handlers
    // still use the stream object, so the thread ends before it goes.
    {
        std::lock_guard<std::mutex> lock(FStreamLock);
        FGivenUp = true;
        if (auto* net = dynamic_cast<TInternetStream*>(FStream.get()))
            net->Shutdown();
    }
    EndThread();
    FStream.reset();
}

void TFileThread::SetStream(std::unique_ptr<TStream> stream)
{
    std::lock_guard<std::mutex> lock(FStreamLock);
    if (FGivenUp) {
        if (auto* net = dynamic_cast<TInternetStream*>(stream.get()))
            net->Shutdown();
    }
    FStream = std::move(stream);
}

void TFileThread::HandleOpen()
{
    int status = ecUnknown;
    SetStream(nullptr);
    FFileKind = fkNone;
    FUsed = 0;
    FDataEnd = 0;
    const std::string locator = Locator();
    try {
        if (IsNetURL(locator)) {
            SetStream(std::make_unique<TInternetStream>(locator));
            SetKind(skHttp);
        } else {
            SetStream(std::make_unique<TFileStream>(locator));
            SetKind(skLocalFile);
        }
        FFileKind = FileKindOfExtension(LocatorExtension(locator));
        if (FFileKind == fkNone)
            FailOpen(status, ecInvalidFileFormat);
        if (FFileKind == fkRecording)
            OpenRecording(status);
        else
            OpenPicture(status);
    } catch (const std::exception& e) {
        SetStream(nullptr);
        if (status == ecNone)
            status = ecUnknown;
        Log().AddLine(e.what());
    } catch (...) {
        SetStream(nullptr);
        status = ecUnknown;
        Log().AddLine("TFileThread.HandleOpen -> Unknown exception");
    }
    if (status == ecNone) {
        if (FContext->Window)
            PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
    } else {
        ReportStatus(status);
    }
}

uint32_t DecodeStillPicture(bool jpeg, const uint8_t* file, uint32_t size, uint8_t* image, uint32_t limit)
{
    if (!jpeg) {
        const uint32_t length = size < limit ? size : limit;
        if (file != image)
            std::memmove(image, file, length);
        return length;
    }
    int decoded;
    {
        TOutputLock lock;
        decoded = DecodePayload(file, size, ctJPEG, image, limit);
    }
    if (decoded <= 0)
        throw Exception(Format("Cannot decode picture (%d)", decoded));
    // A still JPEG shows its first scanline at the top: the decoder's
    // top-down image becomes bottom-up.
    int32_t height;
    std::memcpy(&height, image + 22, sizeof height);
    if (height == INT32_MIN)
        throw ERangeError("Range check error");
    height = -height;
    std::memcpy(image + 22, &height, sizeof height);
    return static_cast<uint32_t>(decoded);
}

void TFileThread::OpenPicture(int& status)
{
    TFrameRecordPtr block(static_cast<uint8_t*>(std::malloc(kPictureBlockSize)));
    if (!block)
        throw EOutOfMemory("Out of memory");
    std::memset(block.get(), 0, kFrameHeaderSize);
    uint8_t* image = block.get() + kFrameHeaderSize;
    uint32_t length = 0;
    if (FFileKind == fkBitmap) {
        length = DecodeStillPicture(false, image, FStream->Read(image, kPicturePayloadLimit), image,
                                    kPicturePayloadLimit);
    } else {
        std::unique_ptr<uint8_t, TMallocDeleter> file(static_cast<uint8_t*>(std::malloc(kPictureBlockSize)));
        if (!file)
            throw EOutOfMemory("Out of memory");
        const uint32_t got = FStream->Read(file.get(), kPictureBlockSize);
        length = DecodeStillPicture(true, file.get(), got, image, kPicturePayloadLimit);
    }
    // Nothing of the header is trusted before the image has been checked.
    const TDecodedImage checked = CheckedImage(image, length);
    if (checked.Width > 0xFFFF || checked.Height > 0xFFFF)
        throw ERangeError(Format("Range check error: picture of %d x %d", checked.Width, checked.Height));

    // A picture has no duration nor index: nothing of an earlier recording's
    // header may act on it.
    std::memset(&FContext->Header, 0, sizeof FContext->Header);
    FContext->Header.Width = static_cast<uint16_t>(checked.Width);
    FContext->Header.Height = static_cast<uint16_t>(checked.Height);

    FrameHeader header{};
    header.Kind = fkKeyFrame;
    header.Compression = ctStored;
    header.Length = length;
    std::memcpy(block.get(), &header, sizeof header);
    FContext->Frames->AddFrame(std::move(block));
    FContext->Index->AddEntry(0, true, 0);
    SetStream(nullptr);
    status = ecNone;
}

void TFileThread::OpenRecording(int& status)
{
    // The header is read into a copy of its own: the context's copy (the
    // control's duration and size) changes only once the recording opened.
    uint8_t raw[kRecordingHeaderSize];
    const uint32_t got = FStream->Read(raw, sizeof raw);
    RecordingHeader header;
    if (ReadRecordingHeader(raw, got, &header) != ecNone)
        FailOpen(status, ecReadFailed);
    const EngineErrorCode headerCode = CheckRecordingHeader(header);
    if (headerCode != ecNone)
        FailOpen(status, headerCode);
    if (header.IndexOffset > INT64_MAX - static_cast<int64_t>(kDataStart))
        throw ERangeError("Range check error: index offset");

    FStream->Seek(header.IndexOffset, soCurrent);
    uint8_t headRaw[kIndexHeadSize];
    IndexHead head;
    if (ReadIndexHead(headRaw, FStream->Read(headRaw, sizeof headRaw), &head) != ecNone)
        FailOpen(status, ecReadFailed);
    if (CheckIndexHead(head) != ecNone)
        FailOpen(status, ecInvalidIndex);
    uint64_t tableBytes = 0;
    const EngineErrorCode sizeCode = IndexTableBytes(header.Version, head.Count, &tableBytes);
    if (sizeCode != ecNone) {
        status = sizeCode;
        throw ERangeError(Format("Range check error: %u index entries", head.Count));
    }

    // The count is not trusted for one allocation: the table is read in
    // pieces, and memory follows the bytes that really came.
    const uint32_t entrySize = IndexEntrySize(header.Version);
    std::vector<IndexEntry> entries;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(tableBytes, kIndexReadChunk)));
    uint64_t remaining = tableBytes;
    while (remaining > 0) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(remaining, piece.size()));
        const uint32_t have = FStream->Read(piece.data(), want);
        if (have < want)
            FailOpen(status, ecReadFailed);
        DecodeIndexEntries(header.Version, piece.data(), have, want / entrySize,
                           [&](const IndexEntry& e) { entries.push_back(e); });
        remaining -= want;
    }
    // An entry whose record cannot lie inside the frame records could only
    // send a seek astray: it is dropped, and the recording plays by the rest.
    const uint32_t dropped = DropEntriesOutsideFrames(&entries, header.IndexOffset);
    if (dropped != 0)
        Log().AddLine(Format("TFileThread.HandleOpen -> %u index entries outside the frame records dropped", dropped));
    if (entries.empty())
        FailOpen(status, ecInvalidIndex);

    FContext->Index->Clear();
    for (const IndexEntry& e : entries)
        FContext->Index->AddEntry(e.Time, false, e.Offset);
    FContext->Header = header;
    FStream->SetPosition(kDataStart);
    FDataStart = kDataStart;
    FDataEnd = FrameRegionEnd(header);
    status = ecNone;
}

void TFileThread::HandleRead(int32_t target)
{
    TFramesBuffer& frames = *FContext->Frames;
    if (target == -1 && frames.IsFull())
        return;
    if (FFileKind != fkRecording || !FStream)
        return;

    // Each read is its own request; the handles go when the reading stops.
    struct TCloseAfter {
        TStream* Stream;
        ~TCloseAfter()
        {
            if (auto* net = dynamic_cast<TInternetStream*>(Stream))
                net->Close();
        }
    } closeAfter{FStream.get()};

    const uint64_t end = FDataEnd;
    const uint32_t wanted = static_cast<uint32_t>(target);
    bool found = false;
    while (!MessageWaiting()) {
        const int64_t position = FStream->Position();
        QOV_ASSERT(position >= 0 && static_cast<uint64_t>(position) <= end);
        if (static_cast<uint64_t>(position) == end) {
            if (target != -1 && !found)
                PostToPlayer(WM_ENGINE_SHOW, static_cast<WPARAM>(frames.Count() - 1));
            break;
        }
        const uint64_t left = end - static_cast<uint64_t>(position);
        const uint32_t room = FCapacity > FUsed ? FCapacity - FUsed : 0;
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>({kReadChunk, left, room}));
        if (count == 0)
            throw Exception(Format("BufferSize=%u, UsedSize=%u, BytesToRead=%u", FCapacity, FUsed, count));
        const uint32_t got = FStream->Read(FReceiveBuffer + FUsed, count);
        if (got == 0) {
            // A file still being written, or a failed request: try again
            // after the pause. Only a stop, a seek, an open or the end cut
            // it short: the play thread's read requests, every 10 ms while
            // its buffer is empty, must not turn it into a flood of requests.
            WaitForOtherThanRead(kReadRetryMs);
            continue;
        }
        AddToMeter(got);
        FUsed += got;
        if (FUsed < kFrameHeaderSize)
            continue;

        FrameHeader front;
        std::memcpy(&front, FReceiveBuffer, sizeof front);
        const uint64_t need = FrameRecordSize(front);
        const uint64_t frontStart = static_cast<uint64_t>(FStream->Position()) - FUsed;
        if (frontStart + need > end) {
            // A record that would run past the frame records is never
            // completed (bytes in front of the index are not frames): the
            // reading ends here.
            FUsed = 0;
            FStream->SetPosition(static_cast<int64_t>(end));
            continue;
        }
        if (need > FCapacity) {
            if (need > uint64_t(kMaxFramePayload) + kFrameHeaderSize)
                throw ERangeError(Format("Range check error: frame of %u bytes at %llu", front.Length,
                                         static_cast<unsigned long long>(frontStart)));
            try {
                GrowReceiveBuffer(static_cast<uint32_t>(need));
            } catch (const std::exception& e) {
                throw Exception(Format("Exception:%s, BufferSize=%u", e.what(), static_cast<uint32_t>(need)));
            }
        }

        uint32_t offset = 0;
        while (FUsed - offset >= kFrameHeaderSize) {
            FrameHeader header;
            std::memcpy(&header, FReceiveBuffer + offset, sizeof header);
            const uint64_t size = FrameRecordSize(header);
            if (FUsed - offset < size)
                break;
            TFrameRecordPtr record = AllocFrameRecord(header.Length);
            std::memcpy(record.get(), FReceiveBuffer + offset, static_cast<size_t>(size));
            const int32_t index = frames.AddFrame(std::move(record));
            if (target != -1 && !found && header.Time > wanted) {
                // The target lies before this record: the one before it is
                // shown (the first, when there is none before it). A record
                // at the target's time is shown only once the next time
                // comes, so that every record sharing it is drawn.
                PostToPlayer(WM_ENGINE_SHOW, static_cast<WPARAM>(index > 0 ? index - 1 : 0));
                found = true;
            }
            offset += static_cast<uint32_t>(size);
        }
        if (offset > 0) {
            std::memmove(FReceiveBuffer, FReceiveBuffer + offset, FUsed - offset);
            FUsed -= offset;
        }
        if (frames.IsFull() && (target == -1 || found))
            break;
    }
}

void TFileThread::HandleSeek(int32_t ms)
{
    if (FFileKind != fkRecording || !FStream)
        return;
    TIndexTable& index = *FContext->Index;
    int32_t key = index.FindKeyTime(static_cast<uint32_t>(ms));
    if (key == -1)
        key = index.FirstKeyTime();  // before the first key frame: from the start
    if (key == -1)
        return;
    FStream->SetPosition(static_cast<int64_t>(FDataStart + index.FindOffset(static_cast<uint32_t>(key))));
    FUsed = 0;
    FContext->Frames->Clear();
    HandleRead(ms);
}

void TFileThread::HandleStop()
{
    if (FFileKind == fkRecording && FStream) {
        FStream->SetPosition(static_cast<int64_t>(FDataStart));
        FUsed = 0;
    }
    FContext->Frames->Clear();
}

} // namespace qov
