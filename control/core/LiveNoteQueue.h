// The queue of live notifications that a live reader keeps until the
// control's thread takes them: bounded by count and by bytes, as a host that
// is slow to take them must not make the reader hold a copy of every frame.
//
// When a note does not fit, the oldest frame copies go first; texts and
// script events are kept. A note that still does not fit is not queued. The
// first loss after the queue was last taken starts a burst, which the caller
// reports once.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>

namespace qov {

struct TNotePush {
    bool Queued = false;        // the note is in the queue
    bool BurstStarted = false;  // the first loss since the queue was last taken
    size_t Dropped = 0;         // queued frame copies dropped for it
};

// TNote answers Bytes() (its size in memory: text and frame copy) and
// IsFrame() (a frame copy, which may be dropped).
template <class TNote>
class TLiveNoteQueue {
public:
    TLiveNoteQueue(size_t maxCount, size_t maxBytes) : FMaxCount(maxCount), FMaxBytes(maxBytes) {}

    TNotePush Push(std::unique_ptr<TNote> note)
    {
        TNotePush result;
        const size_t bytes = note->Bytes();
        for (auto it = FNotes.begin(); bytes <= FMaxBytes && !Fits(bytes) && it != FNotes.end();) {
            if ((*it)->IsFrame()) {
                FBytes -= (*it)->Bytes();
                it = FNotes.erase(it);
                ++result.Dropped;
            } else {
                ++it;
            }
        }
        if (Fits(bytes)) {
            FBytes += bytes;
            FNotes.push_back(std::move(note));
            result.Queued = true;
        }
        if (result.Dropped > 0 || !result.Queued) {
            result.BurstStarted = !FInBurst;
            FInBurst = true;
        }
        return result;
    }

    // Everything queued, oldest first; a later loss starts a new burst.
    std::deque<std::unique_ptr<TNote>> Take()
    {
        FBytes = 0;
        FInBurst = false;
        return std::exchange(FNotes, {});
    }

    size_t Count() const { return FNotes.size(); }
    size_t Bytes() const { return FBytes; }

private:
    bool Fits(size_t bytes) const
    {
        return FNotes.size() < FMaxCount && bytes <= FMaxBytes && FBytes <= FMaxBytes - bytes;
    }

    size_t FMaxCount;
    size_t FMaxBytes;
    size_t FBytes = 0;
    bool FInBurst = false;
    std::deque<std::unique_ptr<TNote>> FNotes;
};

} // namespace qov
