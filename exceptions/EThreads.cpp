#include "EThreads.h"

#include "ECore.h"

namespace qov::exceptions {

bool HandleIsValid(HANDLE handle)
{
    DWORD flags;
    if (GetHandleInformation(handle, &flags))
        return true;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    CloseHandle(copy);
    return true;
}

bool ThreadIsRunning(HANDLE thread)
{
    DWORD code;
    // GetExitCodeThread refuses a handle value that was closed and given
    // again to an object that is no thread.
    return HandleIsValid(thread) && GetExitCodeThread(thread, &code) && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

TZephraThreadData TZephraThreadRecord::ToData() const
{
    TZephraThreadData data{};
    data.ThreadId = ThreadId;
    data.Handle = reinterpret_cast<uintptr_t>(Handle);
    data.ResumerThreadId = ResumerThreadId;
    data.Reserved = Reserved;
    data.ThreadObject = reinterpret_cast<uintptr_t>(ThreadObject);
    data.StackTop = StackTop;
    data.RunMethod = reinterpret_cast<uintptr_t>(RunMethod);
    data.ThreadRoutine = reinterpret_cast<uintptr_t>(ThreadRoutine);
    data.StartAddress = reinterpret_cast<uintptr_t>(StartAddress);
    data.Parameter = reinterpret_cast<uintptr_t>(Parameter);
    if (StackCopy && !StackCopy->empty()) {
        data.StackCopySize = static_cast<uint32_t>(StackCopy->size());
        data.StackCopy = reinterpret_cast<uintptr_t>(StackCopy->data());
        data.Borrowed = 1;
    }
    return data;
}

TZephraThreadRecord TZephraThreadRecord::FromData(const TZephraThreadData& data)
{
    TZephraThreadRecord record;
    record.ThreadId = data.ThreadId;
    record.Handle = reinterpret_cast<HANDLE>(data.Handle);
    record.ResumerThreadId = data.ResumerThreadId;
    record.Reserved = data.Reserved;
    record.ThreadObject = reinterpret_cast<void*>(data.ThreadObject);
    record.StackTop = data.StackTop;
    record.RunMethod = reinterpret_cast<void*>(data.RunMethod);
    record.ThreadRoutine = reinterpret_cast<void*>(data.ThreadRoutine);
    record.StartAddress = reinterpret_cast<void*>(data.StartAddress);
    record.Parameter = reinterpret_cast<void*>(data.Parameter);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.StackCopy);
    if (bytes && data.StackCopySize && IsReadableRange(bytes, data.StackCopySize))
        record.StackCopy = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + data.StackCopySize);
    return record;
}

TZephraThreadsList::TZephraThreadsList() : FSnapshot(false) {}

std::unique_ptr<TZephraThreadsList> TZephraThreadsList::Snapshot(TZephraThreadsList& source)
{
    std::unique_ptr<TZephraThreadsList> snapshot(new TZephraThreadsList(true));
    source.BeginRead();
    try {
        snapshot->FItems.reserve(source.FItems.size());
        for (const auto& record : source.FItems)
            snapshot->FItems.push_back(std::make_unique<TZephraThreadRecord>(*record));
    } catch (...) {
        source.EndRead();
        throw;
    }
    source.EndRead();
    return snapshot;
}

void TZephraThreadsList::BeginRead()
{
    if (!FSnapshot)
        AcquireSRWLockShared(&FLock);
}

void TZephraThreadsList::EndRead()
{
    if (!FSnapshot)
        ReleaseSRWLockShared(&FLock);
}

void TZephraThreadsList::BeginWrite()
{
    if (!FSnapshot)
        AcquireSRWLockExclusive(&FLock);
}

void TZephraThreadsList::EndWrite()
{
    if (!FSnapshot)
        ReleaseSRWLockExclusive(&FLock);
}

TZephraThreadRecord& TZephraThreadsList::NewRecord(bool unlocked)
{
    auto record = std::make_unique<TZephraThreadRecord>();
    TZephraThreadRecord& result = *record;
    if (!unlocked)
        BeginWrite();
    try {
        FItems.push_back(std::move(record));
    } catch (...) {
        if (!unlocked)
            EndWrite();
        throw;
    }
    if (!unlocked)
        EndWrite();
    return result;
}

template <typename Match>
int TZephraThreadsList::FindLast(Match match) const
{
    for (size_t i = FItems.size(); i-- > 0;)
        if (match(*FItems[i]))
            return static_cast<int>(i);
    return -1;
}

int TZephraThreadsList::FindByThreadId(DWORD threadId) const
{
    return FindLast([threadId](const TZephraThreadRecord& r) { return r.ThreadId == threadId; });
}

int TZephraThreadsList::FindByHandle(HANDLE handle) const
{
    return FindLast([handle](const TZephraThreadRecord& r) { return r.Handle == handle; });
}

int TZephraThreadsList::FindByThreadObject(const void* threadObject) const
{
    return FindLast([threadObject](const TZephraThreadRecord& r) { return r.ThreadObject == threadObject; });
}

void TZephraThreadsList::Delete(size_t index)
{
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(index));
}

void TZephraThreadsList::RemoveCurrentThread()
{
    BeginWrite();
    const int index = FindByThreadId(GetCurrentThreadId());
    if (index >= 0)
        Delete(static_cast<size_t>(index));
    EndWrite();
}

void TZephraThreadsList::Prune()
{
    BeginWrite();
    for (size_t i = FItems.size(); i-- > 0;)
        if (!ThreadIsRunning(FItems[i]->Handle))
            Delete(i);
    EndWrite();
}

void TZephraThreadsList::Clear()
{
    FItems.clear();
}

} // namespace qov::exceptions
