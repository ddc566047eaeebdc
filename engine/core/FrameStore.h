// The engine's three locked lists (unit UnitQovCore):
//   TFramesBuffer     frame records received from the source, waiting to be
//                     played or kept for seeking back;
//   TKeyFramesBuffer  a cache of at most three decoded key frames;
//   TIndexTable       the times and file offsets of the key frames.
//
// Locking: each list guards itself with its own recursive lock (the class
// library's TThreadList). Every public operation takes that lock for its whole
// duration, so a thread that already holds it (LockList) may call them
// freely. No operation of one list ever takes another list's lock.
//
// Times are unsigned 32-bit milliseconds and are compared unsigned. Where a
// time is handed out as a signed 32-bit value (MinTimeStamp, MaxTimeStamp,
// FirstKeyTime, FindKeyTime), a time of 2^31 or more raises ERangeError.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QovFormat.h"
#include "SysUtils.h"

namespace qov {

// The recursive lock of a locked list.
class TListLock {
public:
    void Lock() { FMutex.lock(); }
    void Unlock() { FMutex.unlock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { FMutex.lock(); }
    void unlock() { FMutex.unlock(); }

private:
    std::recursive_mutex FMutex;
};

// Frees a block that came from std::malloc (AllocFrameRecord, realloc, ...).
struct TMallocDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// One frame record: a FrameHeader followed by Length payload bytes, in one
// heap block obtained from std::malloc (or realloc). The block may be larger
// than 28 + Length (a still picture is built in a 10 MiB block); only the
// first 28 + Length bytes are ever read.
using TFrameRecordPtr = std::unique_ptr<uint8_t, TMallocDeleter>;

// Allocates an uninitialised record block of 28 + payloadLength bytes.
// Raises EOutOfMemory when the block cannot be had, ERangeError when the
// size does not fit the record limit (kMaxFramePayload).
TFrameRecordPtr AllocFrameRecord(uint32_t payloadLength);

// Largest payload a buffered record may have: 28 + length must fit in a
// signed 32-bit size.
constexpr uint32_t kMaxFramePayload = 0x7FFFFFFFu - kFrameHeaderSize;

// Bytes and key frames from which a frame buffer counts as full.
constexpr int64_t kFullBytes = 0x500000;
constexpr int32_t kFullKeyFrames = 3;

// Header of a record block.
inline const FrameHeader& RecordHeader(const uint8_t* record)
{
    return *reinterpret_cast<const FrameHeader*>(record);
}

// Hands out a time as a signed 32-bit value; 2^31 or more is a range error.
int32_t TimeToInt32(uint32_t time);

// Told when a frame buffer gains a record or when its source has finished a
// read (it reached the end, failed, or filled the buffer), so that a reader
// waiting for records can wait on that instead of polling.
class TFramesSignal {
public:
    virtual void FramesChanged() noexcept = 0;

protected:
    ~TFramesSignal() = default;
};

class TFramesBuffer {
public:
    using TFrameList = std::vector<TFrameRecordPtr>;

    TFramesBuffer() = default;
    TFramesBuffer(const TFramesBuffer&) = delete;
    TFramesBuffer& operator=(const TFramesBuffer&) = delete;

    // Takes the list lock (recursive) and returns the list for reading;
    // records and their order may be read until UnlockList. The list is
    // changed only through the operations below.
    const TFrameList& LockList();
    void UnlockList();

    // Appends a record and returns its index. The buffer owns the block from
    // the call on (also when the call raises: then the block is freed).
    // Raises ERangeError for a header whose Length exceeds kMaxFramePayload.
    int32_t AddFrame(TFrameRecordPtr record);

    // The one listener told by AddFrame and SourceIdle (nullptr: none).
    // ResetSignal removes it only while it is still signal. Once either has
    // returned, the old listener is no longer called.
    void SetSignal(TFramesSignal* signal);
    void ResetSignal(TFramesSignal* signal);
    // Called by the source when a read has ended without more to add.
    void SourceIdle() { Raise(); }
    // True when at least 0x500000 bytes and at least 3 key frames are held.
    bool IsFull();

    // Drops the records in front of the key frame that the current record
    // (toEnd false) or the last record (toEnd true) depends on; FCurrentIndex
    // follows (toEnd false) or becomes -1 (toEnd true).
    void Purge(bool toEnd);

    // Frees every record; counts and bytes 0, FCurrentIndex -1.
    void Clear();

    // Time of the last / first record, 0 when empty.
    int32_t MaxTimeStamp();
    int32_t MinTimeStamp();

    int32_t Count();
    int32_t KeyCount();
    // Sum of 28 + length over all records. Kept 64-bit so that it never wraps.
    int64_t Bytes();

    // When FCurrentIndex + 1 is a valid index, copies that whole record
    // (28 + length bytes) to the front of buffer, first growing buffer to
    // 28 + length bytes when it is smaller (it never shrinks), and returns
    // true; otherwise returns false and leaves buffer alone. FCurrentIndex is
    // not changed.
    bool CopyNextFrame(std::vector<uint8_t>& buffer);

    // Index of the record at time, or -1. With exact false a time between two
    // records finds the earlier one and time is set to that record's time.
    // Of several records with the same time the earliest index at or after 1
    // wins; index 0 only when record 1 does not have the time.
    int32_t FindFrame(uint32_t& time, bool exact);

    // Writes "index,time" (and ",Key" for key frames) per record, lines
    // ending in CR LF, replacing the file at path (system code page bytes).
    // Raises EStreamError when the file cannot be written.
    void DumpToFile(const std::string& path);

    // Record i (header followed by payload), or nullptr outside 0..Count-1.
    // The pointer stays valid only while the caller holds the list lock
    // (LockList) or until the record is purged or cleared.
    const uint8_t* Record(int32_t index);

    // Index of the last record the play thread has taken or drawn; -1 none.
    // Only the play thread moves it; Clear and Purge reset or shift it under
    // the list lock. Reads and writes are atomic and need no lock.
    int32_t CurrentIndex() const { return FCurrentIndex.load(); }
    void SetCurrentIndex(int32_t index) { FCurrentIndex.store(index); }
    // FCurrentIndex + 1, returning the new value.
    int32_t IncCurrentIndex() { return FCurrentIndex.fetch_add(1) + 1; }

private:
    void DeleteFront(int32_t k);
    void Raise();

    TListLock FLock;
    TFrameList FList;
    int32_t FFrameCount = 0;
    int32_t FKeyCount = 0;
    int64_t FBytes = 0;
    std::atomic<int32_t> FCurrentIndex{-1};
    std::mutex FSignalLock;  // held while the listener is called or changed
    TFramesSignal* FSignal = nullptr;
};

// One cached key frame: a copy of its header and its decoded picture (a
// complete BMP file image whose size stands at byte 2), owned by the entry.
struct TKeyFrameEntry {
    FrameHeader Header;
    std::unique_ptr<uint8_t, TMallocDeleter> Image;
    uint32_t ImageCapacity = 0;  // bytes allocated for Image
};

constexpr int32_t kMaxKeyFrames = 3;

class TKeyFramesBuffer {
public:
    using TKeyFrameList = std::vector<std::unique_ptr<TKeyFrameEntry>>;

    TKeyFramesBuffer() = default;
    TKeyFramesBuffer(const TKeyFramesBuffer&) = delete;
    TKeyFramesBuffer& operator=(const TKeyFramesBuffer&) = delete;

    // The play thread holds the lock across looking up, decoding, storing
    // and drawing a key frame.
    TKeyFrameList& LockList();
    void UnlockList();

    // Frees every entry and its picture.
    void Clear();
    int32_t Count();

    // The cached picture of the key frame at time, or nullptr. Call with the
    // lock held; the picture stays valid while it is held.
    const uint8_t* FindImage(uint32_t time);

    // Caches a freshly decoded key frame (call with the lock held):
    //  - with 3 entries cached, the first (oldest) entry is reused: its
    //    picture block grows when the new picture is larger, the header and
    //    picture are copied into it and it moves to the end of the list;
    //  - with fewer cached and keyCacheOn true, a new entry is appended;
    //  - otherwise nothing is cached.
    // image is a complete BMP file image (its size is read at byte 2, at
    // least 54). Returns the cached copy of the picture, or nullptr when
    // nothing was cached. Raises EAssertionFailed for a missing or malformed
    // picture, EOutOfMemory when a block cannot be had.
    const uint8_t* Store(const FrameHeader& header, const uint8_t* image, bool keyCacheOn);

private:
    TListLock FLock;
    TKeyFrameList FList;
};

// Entries of the key-frame index added in ring mode are capped at this many.
constexpr int32_t kIndexRingSize = 1024;

class TIndexTable {
public:
    using TIndexList = std::vector<IndexEntry>;

    TIndexTable();
    TIndexTable(const TIndexTable&) = delete;
    TIndexTable& operator=(const TIndexTable&) = delete;

    const TIndexList& LockList();
    void UnlockList();

    // Appends a key frame, unless the last entry already has this time. In
    // ring mode a full table (1024 entries) first drops its oldest entry.
    void AddEntry(uint32_t time, bool ring, uint64_t offset);

    void Clear();

    // First entry's time, or -1 when empty.
    int32_t FirstKeyTime();

    // Time of the last entry whose time is at most time, or -1.
    int32_t FindKeyTime(uint32_t time);

    // Offset of the entry with exactly this time (binary search over entries
    // in ascending time), 0 when there is none.
    uint64_t FindOffset(uint32_t time);

    bool IsEmpty();
    int32_t Count();

private:
    TListLock FLock;
    TIndexList FList;
};

} // namespace qov
