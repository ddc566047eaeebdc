// TQovStream: the control's live broadcast reader. It stores what the live
// client receives in the playback context (frames, key-frame index, the
// picture's size) and hands every notification to the control window, whose
// thread fires the host's events: a host's sink lives in the control's
// apartment and may be called only there.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "LiveNoteQueue.h"
#include "UnitQovClient.h"

namespace qov {

// Posted to the control window when live notifications wait in the
// reader's queue (one message for all that come before the window takes
// them); the window fires them in arrival order.
constexpr UINT WM_QOV_LIVE_NOTE = WM_APP + 0x120;
// Notifications a reader keeps for a control thread that does not take them,
// and the bytes they may hold (frame copies and texts); beyond either the
// oldest frame copies are dropped, then new notifications.
constexpr size_t kMaxQueuedNotes = 10000;
constexpr size_t kMaxQueuedNoteBytes = size_t(64) << 20;

// Events of the live notifications (IQovPlayerEvents dispids).
enum TLiveEvent : int32_t {
    leScript = 204,
    leIndex = 205,
    leStreamSample = 206,
    leString = 207,
};

// A frame record copy whose address fits the 32-bit integer of
// OnStreamSample: in a 64-bit process it lies below 2 GB.
class TLowBlock {
public:
    explicit TLowBlock(size_t size);
    ~TLowBlock();
    TLowBlock(const TLowBlock&) = delete;
    TLowBlock& operator=(const TLowBlock&) = delete;
    uint8_t* Data() const { return FData; }
    size_t Size() const { return FSize; }

private:
    uint8_t* FData = nullptr;
    size_t FSize = 0;
};

struct TLiveNote {
    TLiveEvent Event = leString;
    std::string Text;                  // script, index and string texts
    std::unique_ptr<TLowBlock> Frame;  // the frame record (28-byte header and payload)

    size_t Bytes() const { return Text.size() + (Frame ? Frame->Size() : 0); }
    bool IsFrame() const { return Frame != nullptr; }
};

// The frame store's size beyond which the stream asks the play thread to
// drop what it no longer needs.
constexpr int64_t kLivePurgeBytes = 0xF00000;

class TQovStream : public TQovClient {
public:
    using TQovClient::TQovClient;
    ~TQovStream() override;

    std::string ChannelName() const { return Channel(); }

    // Whether the control has a sink: frame records are copied for
    // OnStreamSample only while one is connected.
    void SetSinkAttached(bool attached) { FSinkAttached.store(attached); }
    // The control changes the context's play thread only through this, so
    // the stream never asks a freed play thread for a purge.
    void SetPlayer(TThread* player);
    // Stops the reader for good: once it returns (the stop acknowledged) no
    // notification runs any more, also when a queued read would reconnect.
    void Halt();
    // The notifications queued since the last call, oldest first (the
    // control's thread takes them when WM_QOV_LIVE_NOTE arrives).
    std::deque<std::unique_ptr<TLiveNote>> TakeNotes();

protected:
    void HandleStop() override;
    void DoStreamHeader(int width, int height) override;
    void DoError(int code) override;
    void DoSample(const uint8_t* record) override;
    void DoIndex(const std::string& text) override;
    void DoScript(const std::string& text) override;
    void DoString(const std::string& text) override;

private:
    void PostNote(std::unique_ptr<TLiveNote> note);
    void PostText(TLiveEvent event, const std::string& text);

    std::atomic<bool> FSinkAttached{false};
    std::atomic<bool> FHalted{false};
    std::mutex FPlayerLock;  // the context's play thread, as this thread uses it
    std::mutex FNoteLock;    // the queue and its wake-up
    TLiveNoteQueue<TLiveNote> FNotes{kMaxQueuedNotes, kMaxQueuedNoteBytes};
    bool FWakePosted = false;
};

} // namespace qov
