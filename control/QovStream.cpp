// TQovStream: the live reader's notifications, run on the live source thread.
#include "QovStream.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "FrameStore.h"
#include "PlayThread.h"
#include "QovFormat.h"
#include "SysUtils.h"
#include "UnitLog.h"

namespace qov {

namespace {

#ifdef _WIN64
// Addresses below 2 GB: the zero-bits argument taken as a mask of the bits
// an address may use.
constexpr ULONG_PTR kLowAddressMask = 0x7FFFFFFF;
using TNtAllocateVirtualMemory = LONG(WINAPI*)(HANDLE, PVOID*, ULONG_PTR, PSIZE_T, ULONG, ULONG);

TNtAllocateVirtualMemory NtAllocate()
{
    static const auto proc = reinterpret_cast<TNtAllocateVirtualMemory>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtAllocateVirtualMemory")));
    return proc;
}
#endif

} // namespace

TLowBlock::TLowBlock(size_t size) : FSize(size)
{
#ifdef _WIN64
    PVOID base = nullptr;
    SIZE_T region = size ? size : 1;
    auto allocate = NtAllocate();
    if (allocate && allocate(GetCurrentProcess(), &base, kLowAddressMask, &region, MEM_COMMIT | MEM_RESERVE,
                             PAGE_READWRITE) >= 0)
        FData = static_cast<uint8_t*>(base);
#else
    FData = static_cast<uint8_t*>(std::malloc(size ? size : 1));
#endif
    if (!FData)
        throw EOutOfMemory("Out of memory");
}

TLowBlock::~TLowBlock()
{
#ifdef _WIN64
    VirtualFree(FData, 0, MEM_RELEASE);
#else
    std::free(FData);
#endif
}

TQovStream::~TQovStream()
{
    // The notifications use this object's fields: the thread ends first.
    try {
        Stop();
    } catch (...) {
    }
    EndThread();
}

void TQovStream::SetPlayer(TThread* player)
{
    std::lock_guard<std::mutex> lock(FPlayerLock);
    FContext->Player = player;
}

void TQovStream::Halt()
{
    FHalted.store(true);
    Stop();
}

void TQovStream::HandleStop()
{
    TQovClient::HandleStop();
    FContext->Frames->Clear();
}

void TQovStream::DoError(int code)
{
    if (!FHalted.load())
        PostMessageA(FContext->Window, WM_ENGINE_STATUS, static_cast<WPARAM>(code), 0);
}

void TQovStream::DoStreamHeader(int width, int height)
{
    TQovClient::DoStreamHeader(width, height);
    if (FHalted.load())
        return;
    if (width < 0 || height < 0 || width >= 65536 || height >= 65536)
        throw ERangeError("Range check error");
    FContext->Header.Width = static_cast<uint16_t>(width);
    FContext->Header.Height = static_cast<uint16_t>(height);
    PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
}

void TQovStream::DoSample(const uint8_t* record)
{
    if (FHalted.load())
        return;
    const FrameHeader& header = RecordHeader(record);
    const size_t length = kFrameHeaderSize + size_t(header.Length);
    if (FSinkAttached.load()) {
        try {
            auto note = std::make_unique<TLiveNote>();
            note->Event = leStreamSample;
            note->Frame = std::make_unique<TLowBlock>(length);
            std::memcpy(note->Frame->Data(), record, length);
            PostNote(std::move(note));
        } catch (const std::exception&) {
            // No memory for the host's copy: the frame is still played.
        }
    }
    TFrameRecordPtr copy = AllocFrameRecord(header.Length);
    std::memcpy(copy.get(), record, length);
    FContext->Frames->AddFrame(std::move(copy));
    if (header.Kind == fkKeyFrame)
        FContext->Index->AddEntry(header.Time, true, 0);
    if (FContext->Frames->Bytes() > kLivePurgeBytes) {
        std::lock_guard<std::mutex> lock(FPlayerLock);
        if (FContext->Player)
            static_cast<TPlayThread*>(FContext->Player)->Purge(0);
    }
}

void TQovStream::DoIndex(const std::string& text)
{
    TQovClient::DoIndex(text);
    PostText(leIndex, text);
}

void TQovStream::DoScript(const std::string& text)
{
    TQovClient::DoScript(text);
    PostText(leScript, text);
}

void TQovStream::DoString(const std::string& text)
{
    TQovClient::DoString(text);
    PostText(leString, text);
}

void TQovStream::PostText(TLiveEvent event, const std::string& text)
{
    if (FHalted.load() || !FSinkAttached.load())
        return;
    auto note = std::make_unique<TLiveNote>();
    note->Event = event;
    note->Text = text;
    PostNote(std::move(note));
}

void TQovStream::PostNote(std::unique_ptr<TLiveNote> note)
{
    TNotePush pushed;
    {
        std::lock_guard<std::mutex> lock(FNoteLock);
        pushed = FNotes.Push(std::move(note));
        // One wake-up for everything queued before the window takes it; a
        // post that fails is tried again with the next note.
        if (pushed.Queued && !FWakePosted)
            FWakePosted = PostMessageA(FContext->Window, WM_QOV_LIVE_NOTE, 0, 0) != FALSE;
    }
    // One line for each time the host falls behind.
    if (pushed.BurstStarted)
        Log().AddLine(Format("QovPlayer.ocx -> %s: the host does not take the live events in time, the oldest "
                             "frame copies are dropped",
                             Host().c_str()));
}

std::deque<std::unique_ptr<TLiveNote>> TQovStream::TakeNotes()
{
    std::lock_guard<std::mutex> lock(FNoteLock);
    FWakePosted = false;
    return FNotes.Take();
}

} // namespace qov
