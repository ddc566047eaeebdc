// The threads the library saw start: one record per thread, kept in a list
// that any thread reads under a read lock and changes under a write lock, and
// snapshots of that list for a report. Also the handle and thread tests.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qov::exceptions {

// True when handle names an object of this process: GetHandleInformation, or
// else a duplicate of it can be made (and is closed again).
bool HandleIsValid(HANDLE handle);
// True while the thread of handle runs: a valid thread handle that is not
// signalled yet. (A thread whose exit code happens to be STILL_ACTIVE has
// ended all the same.)
bool ThreadIsRunning(HANDLE thread);

// The form of a thread record that crosses modules: little-endian, packed;
// 49 bytes on 32-bit Windows (on 64-bit Windows the handle, reference and
// address fields take 8 bytes each).
#pragma pack(push, 1)
struct TZephraThreadData {
    uint32_t ThreadId;
    uintptr_t Handle;
    uint32_t ResumerThreadId;
    uint32_t Reserved;
    uintptr_t ThreadObject;
    uintptr_t StackTop;
    uintptr_t RunMethod;
    uintptr_t ThreadRoutine;
    uintptr_t StartAddress;
    uintptr_t Parameter;
    uint32_t StackCopySize;
    uintptr_t StackCopy;
    // 1: the stack copy belongs to the sender's record.
    uint8_t Borrowed;
};
#pragma pack(pop)
#ifndef _WIN64
static_assert(sizeof(TZephraThreadData) == 49, "the thread record is 49 bytes");
static_assert(offsetof(TZephraThreadData, StackCopy) == 44 && offsetof(TZephraThreadData, Borrowed) == 48);
#endif

// A copy of a thread's stack. Shared: it lives as long as any record or
// snapshot that refers to it.
using TStackCopy = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint32_t ThreadRecordReserved = 0x80000000u;

struct TZephraThreadRecord {
    DWORD ThreadId = 0;
    HANDLE Handle = nullptr;
    DWORD ResumerThreadId = 0;
    uint32_t Reserved = ThreadRecordReserved;
    void* ThreadObject = nullptr;
    uintptr_t StackTop = 0;
    void* RunMethod = nullptr;
    void* ThreadRoutine = nullptr;
    void* StartAddress = nullptr;
    void* Parameter = nullptr;
    // The resuming thread's stack from the resume call up to its top.
    TStackCopy StackCopy;

    // The form to hand to another module; its stack copy pointer stays valid
    // while this record keeps its copy, and is marked borrowed.
    TZephraThreadData ToData() const;
    // A record from another module's form: the stack copy's bytes are copied
    // (when readable), so nothing refers to the other module's memory.
    static TZephraThreadRecord FromData(const TZephraThreadData& data);
};

class TZephraThreadsList {
public:
    // An empty list with its own multi-reader/single-writer lock.
    TZephraThreadsList();
    TZephraThreadsList(const TZephraThreadsList&) = delete;
    TZephraThreadsList& operator=(const TZephraThreadsList&) = delete;
    // A snapshot of source, taken under its read lock: a copy of every
    // record, sharing their stack copies; it has no lock of its own.
    static std::unique_ptr<TZephraThreadsList> Snapshot(TZephraThreadsList& source);

    bool IsSnapshot() const { return FSnapshot; }
    // Lock operations; nothing for a snapshot.
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

    // Appends a zero-filled record (reserved value 0x80000000), under the
    // write lock unless unlocked is set (the caller holds it).
    TZephraThreadRecord& NewRecord(bool unlocked = false);
    // Index of the last record with that value, or -1.
    int FindByThreadId(DWORD threadId) const;
    int FindByHandle(HANDLE handle) const;
    int FindByThreadObject(const void* threadObject) const;

    size_t Count() const { return FItems.size(); }
    TZephraThreadRecord& Item(size_t index) { return *FItems[index]; }
    // Drops the record (and its hold on the stack copy).
    void Delete(size_t index);
    // Deletes the calling thread's record under the write lock.
    void RemoveCurrentThread();
    // Deletes, under the write lock, every record whose thread no longer runs.
    void Prune();
    void Clear();

private:
    explicit TZephraThreadsList(bool snapshot) : FSnapshot(snapshot) {}
    template <typename Match>
    int FindLast(Match match) const;

    std::vector<std::unique_ptr<TZephraThreadRecord>> FItems;
    SRWLOCK FLock = SRWLOCK_INIT;
    const bool FSnapshot = false;
};

} // namespace qov::exceptions
