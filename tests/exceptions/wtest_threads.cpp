// Thread records and their list: the handle and thread tests (an ended
// thread is not running, whatever its exit code), the record's form across
// modules, searches from the last record, pruning, and snapshots whose stack
// copies stay alive as long as anything refers to them.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "EThreads.h"

using namespace qov::exceptions;

namespace {

DWORD WINAPI WaitOn(void* event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

DWORD WINAPI EndWith(void* code)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(code));
}

HANDLE EndedThread(DWORD exitCode)
{
    HANDLE thread = CreateThread(nullptr, 0, EndWith, reinterpret_cast<void*>(uintptr_t(exitCode)), 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    return thread;
}

TStackCopy Copy(std::vector<uint8_t> bytes)
{
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

} // namespace

TEST(ThreadTests, HandlesAndRunningThreads)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE running = CreateThread(nullptr, 0, WaitOn, event, 0, nullptr);
    EXPECT_TRUE(HandleIsValid(event));
    EXPECT_TRUE(ThreadIsRunning(running));
    EXPECT_TRUE(ThreadIsRunning(GetCurrentThread()));

    // An ended thread, also one whose exit code equals STILL_ACTIVE.
    HANDLE ended = EndedThread(0);
    HANDLE ended259 = EndedThread(STILL_ACTIVE);
    EXPECT_TRUE(HandleIsValid(ended));
    EXPECT_FALSE(ThreadIsRunning(ended));
    EXPECT_FALSE(ThreadIsRunning(ended259));

    // A closed handle, and a handle that is no thread (an unsignalled event).
    HANDLE closed = EndedThread(0);
    CloseHandle(closed);
    EXPECT_FALSE(HandleIsValid(closed));
    EXPECT_FALSE(ThreadIsRunning(closed));
    EXPECT_FALSE(ThreadIsRunning(event));
    EXPECT_FALSE(ThreadIsRunning(nullptr));

    SetEvent(event);
    WaitForSingleObject(running, INFINITE);
    EXPECT_FALSE(ThreadIsRunning(running));
    for (HANDLE h : {running, ended, ended259, event})
        CloseHandle(h);
}

TEST(ThreadRecords, FormAcrossModules)
{
#ifndef _WIN64
    EXPECT_EQ(sizeof(TZephraThreadData), 49u);
    EXPECT_EQ(offsetof(TZephraThreadData, ThreadObject), 16u);
    EXPECT_EQ(offsetof(TZephraThreadData, StackCopySize), 40u);
#endif
    TZephraThreadRecord record;
    EXPECT_EQ(record.Reserved, 0x80000000u);
    record.ThreadId = 12;
    record.Handle = reinterpret_cast<HANDLE>(0x44);
    record.ResumerThreadId = 13;
    record.StackTop = 0x130000;
    record.Parameter = reinterpret_cast<void*>(0x99);
    record.StackCopy = Copy({1, 2, 3, 4, 5});
    TZephraThreadData data = record.ToData();
    EXPECT_EQ(data.StackCopySize, 5u);
    EXPECT_EQ(data.Borrowed, 1);
    EXPECT_EQ(data.Reserved, 0x80000000u);

    // The receiver copies the bytes: the sender may drop its copy afterwards.
    const TZephraThreadRecord received = TZephraThreadRecord::FromData(data);
    const uint8_t* sent = record.StackCopy->data();
    record.StackCopy.reset();
    ASSERT_TRUE(received.StackCopy);
    EXPECT_NE(received.StackCopy->data(), sent);
    EXPECT_EQ(*received.StackCopy, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(received.ThreadId, 12u);
    EXPECT_EQ(received.Handle, reinterpret_cast<HANDLE>(0x44));
    EXPECT_EQ(received.ResumerThreadId, 13u);
    EXPECT_EQ(received.StackTop, 0x130000u);
    EXPECT_EQ(received.Parameter, reinterpret_cast<void*>(0x99));

    // A copy pointer that cannot be read gives no copy.
    void* gone = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    VirtualFree(gone, 0, MEM_RELEASE);
    data.StackCopy = reinterpret_cast<uintptr_t>(gone);
    EXPECT_FALSE(TZephraThreadRecord::FromData(data).StackCopy);
}

TEST(ThreadsList, FindPruneAndRemove)
{
    TZephraThreadsList list;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE live = CreateThread(nullptr, 0, WaitOn, event, 0, nullptr);
    HANDLE dead1 = EndedThread(0), dead2 = EndedThread(STILL_ACTIVE), dead3 = EndedThread(1);
    int object = 0;
    auto add = [&](DWORD id, HANDLE handle) {
        TZephraThreadRecord& r = list.NewRecord();
        r.ThreadId = id;
        r.Handle = handle;
        return &r;
    };
    add(1, dead1);
    add(2, live)->ThreadObject = &object;
    add(3, dead2);
    add(4, dead3);
    add(2, live);
    add(GetCurrentThreadId(), GetCurrentThread());
    EXPECT_EQ(list.Item(0).Reserved, 0x80000000u);
    // Searches run from the last record.
    EXPECT_EQ(list.FindByThreadId(2), 4);
    EXPECT_EQ(list.FindByHandle(live), 4);
    EXPECT_EQ(list.FindByThreadObject(&object), 1);
    EXPECT_EQ(list.FindByThreadId(99), -1);

    // Two adjacent dead threads go as well as the first.
    list.Prune();
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Item(0).ThreadId, 2u);
    EXPECT_EQ(list.Item(1).ThreadId, 2u);
    list.RemoveCurrentThread();
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.FindByThreadId(GetCurrentThreadId()), -1);

    SetEvent(event);
    WaitForSingleObject(live, INFINITE);
    list.Prune();
    EXPECT_EQ(list.Count(), 0u);
    for (HANDLE h : {live, dead1, dead2, dead3, event})
        CloseHandle(h);
}

TEST(ThreadsList, SnapshotsShareStackCopies)
{
    TZephraThreadsList list;
    TZephraThreadRecord& first = list.NewRecord();
    first.ThreadId = 1;
    first.StackCopy = Copy(std::vector<uint8_t>(64, 0xAB));
    std::weak_ptr<const std::vector<uint8_t>> copy = first.StackCopy;
    list.NewRecord().ThreadId = 2;

    auto snapshot = TZephraThreadsList::Snapshot(list);
    EXPECT_TRUE(snapshot->IsSnapshot());
    EXPECT_FALSE(list.IsSnapshot());
    ASSERT_EQ(snapshot->Count(), 2u);
    EXPECT_EQ(snapshot->Item(0).StackCopy, list.Item(0).StackCopy);
    // A snapshot's record is a copy, not the same record.
    snapshot->Item(1).ThreadId = 7;
    EXPECT_EQ(list.Item(1).ThreadId, 2u);

    // Deleting the record of the list leaves the snapshot's copy whole ...
    list.Delete(0);
    ASSERT_FALSE(copy.expired());
    EXPECT_EQ(snapshot->Item(0).StackCopy->at(63), 0xAB);
    // ... and the copy goes with the last record that refers to it.
    snapshot->Delete(0);
    EXPECT_TRUE(copy.expired());

    // The list's lock is taken for the snapshot: a reader meanwhile is fine,
    // a writer waits.
    list.BeginRead();
    auto second = TZephraThreadsList::Snapshot(list);
    list.EndRead();
    EXPECT_EQ(second->Count(), 1u);
    second->BeginWrite();  // no lock of its own: never blocks
    second->BeginWrite();
    second->EndWrite();
    second->EndWrite();
}

namespace {

struct TShared {
    TZephraThreadsList List;
    volatile LONG Snapshots = 0;
};

// Adds and removes records of its own, 2000 times.
DWORD WINAPI Churn(void* p)
{
    auto* shared = static_cast<TShared*>(p);
    for (int i = 0; i < 2000; ++i) {
        TZephraThreadRecord& record = shared->List.NewRecord();
        (void)record;
        shared->List.BeginWrite();
        const int index = shared->List.FindByThreadId(0);
        if (index >= 0)
            shared->List.Delete(static_cast<size_t>(index));
        shared->List.EndWrite();
    }
    return 0;
}

// Takes snapshots and reads them while the others change the list.
DWORD WINAPI Snap(void* p)
{
    auto* shared = static_cast<TShared*>(p);
    for (int i = 0; i < 500; ++i) {
        auto snapshot = TZephraThreadsList::Snapshot(shared->List);
        for (size_t j = 0; j < snapshot->Count(); ++j)
            if (snapshot->Item(j).Reserved != ThreadRecordReserved)
                return 1;
        InterlockedIncrement(&shared->Snapshots);
    }
    return 0;
}

} // namespace

TEST(ThreadsList, WritersAndSnapshotsFromManyThreads)
{
    TShared shared;
    HANDLE threads[6];
    for (int i = 0; i < 4; ++i)
        threads[i] = CreateThread(nullptr, 0, Churn, &shared, 0, nullptr);
    for (int i = 4; i < 6; ++i)
        threads[i] = CreateThread(nullptr, 0, Snap, &shared, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(6, threads, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : threads) {
        DWORD code = 1;
        GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(h);
    }
    EXPECT_EQ(shared.Snapshots, 1000);
    // Every record added was removed again.
    EXPECT_EQ(shared.List.Count(), 0u);
}
