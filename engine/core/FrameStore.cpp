#include "FrameStore.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace qov {

namespace {

using TGuard = std::lock_guard<TListLock>;

uint32_t BmpFileSize(const uint8_t* image)
{
    uint32_t size;
    std::memcpy(&size, image + 2, sizeof size);
    return size;
}

} // namespace

TFrameRecordPtr AllocFrameRecord(uint32_t payloadLength)
{
    if (payloadLength > kMaxFramePayload)
        throw ERangeError(Format("Frame record too large (%u bytes)", payloadLength));
    void* block = std::malloc(kFrameHeaderSize + payloadLength);
    if (!block)
        throw EOutOfMemory("Out of memory");
    return TFrameRecordPtr(static_cast<uint8_t*>(block));
}

int32_t TimeToInt32(uint32_t time)
{
    if (time > 0x7FFFFFFFu)
        throw ERangeError("Range check error");
    return static_cast<int32_t>(time);
}

// ---------------------------------------------------------------------------
// TFramesBuffer

const TFramesBuffer::TFrameList& TFramesBuffer::LockList()
{
    FLock.Lock();
    return FList;
}

void TFramesBuffer::UnlockList()
{
    FLock.Unlock();
}

int32_t TFramesBuffer::AddFrame(TFrameRecordPtr record)
{
    QOV_ASSERT(record != nullptr);
    const FrameHeader& h = RecordHeader(record.get());
    if (h.Length > kMaxFramePayload)
        throw ERangeError(Format("Frame record too large (%u bytes)", h.Length));
    int32_t index;
    {
        TGuard guard(FLock);
        FList.push_back(std::move(record));
        FFrameCount++;
        FBytes += int64_t(h.Length) + int64_t(kFrameHeaderSize);
        if (h.Kind == fkKeyFrame)
            FKeyCount++;
        index = FFrameCount - 1;
    }
    Raise();
    return index;
}

void TFramesBuffer::SetSignal(TFramesSignal* signal)
{
    std::lock_guard<std::mutex> guard(FSignalLock);
    FSignal = signal;
}

void TFramesBuffer::ResetSignal(TFramesSignal* signal)
{
    std::lock_guard<std::mutex> guard(FSignalLock);
    if (FSignal == signal)
        FSignal = nullptr;
}

void TFramesBuffer::Raise()
{
    std::lock_guard<std::mutex> guard(FSignalLock);
    if (FSignal)
        FSignal->FramesChanged();
}

bool TFramesBuffer::IsFull()
{
    TGuard guard(FLock);
    return FBytes >= kFullBytes && FKeyCount >= kFullKeyFrames;
}

void TFramesBuffer::DeleteFront(int32_t k)
{
    if (k <= 0)
        return;
    for (int32_t i = 0; i < k; i++) {
        const FrameHeader& h = RecordHeader(FList[i].get());
        FFrameCount--;
        FBytes -= int64_t(h.Length) + int64_t(kFrameHeaderSize);
        if (h.Kind == fkKeyFrame)
            FKeyCount--;
    }
    FList.erase(FList.begin(), FList.begin() + k);  // frees the blocks
}

void TFramesBuffer::Purge(bool toEnd)
{
    TGuard guard(FLock);
    const int32_t count = static_cast<int32_t>(FList.size());
    int32_t start = toEnd ? count - 1 : FCurrentIndex.load();
    if (start >= count)  // the play thread never leaves it there; stay in the list
        start = count - 1;
    int32_t k = 0;
    for (int32_t i = start; i >= 0; i--) {
        if (RecordHeader(FList[i].get()).Kind == fkKeyFrame) {
            k = i;
            break;
        }
    }
    DeleteFront(k);
    if (toEnd)
        FCurrentIndex.store(-1);
    else
        FCurrentIndex.fetch_sub(k);
}

void TFramesBuffer::Clear()
{
    TGuard guard(FLock);
    FList.clear();
    FFrameCount = 0;
    FKeyCount = 0;
    FBytes = 0;
    FCurrentIndex.store(-1);
}

int32_t TFramesBuffer::MaxTimeStamp()
{
    TGuard guard(FLock);
    if (FList.empty())
        return 0;
    return TimeToInt32(RecordHeader(FList.back().get()).Time);
}

int32_t TFramesBuffer::MinTimeStamp()
{
    TGuard guard(FLock);
    if (FList.empty())
        return 0;
    return TimeToInt32(RecordHeader(FList.front().get()).Time);
}

int32_t TFramesBuffer::Count()
{
    TGuard guard(FLock);
    return static_cast<int32_t>(FList.size());
}

int32_t TFramesBuffer::KeyCount()
{
    TGuard guard(FLock);
    return FKeyCount;
}

int64_t TFramesBuffer::Bytes()
{
    TGuard guard(FLock);
    return FBytes;
}

bool TFramesBuffer::CopyNextFrame(std::vector<uint8_t>& buffer)
{
    TGuard guard(FLock);
    const int32_t next = FCurrentIndex.load() + 1;
    if (next < 0 || next >= static_cast<int32_t>(FList.size()))
        return false;
    const uint8_t* record = FList[next].get();
    const size_t size = size_t(kFrameHeaderSize) + RecordHeader(record).Length;
    if (buffer.size() < size)
        buffer.resize(size);
    std::memcpy(buffer.data(), record, size);
    return true;
}

int32_t TFramesBuffer::FindFrame(uint32_t& time, bool exact)
{
    TGuard guard(FLock);
    const int32_t count = static_cast<int32_t>(FList.size());
    if (count == 0)
        return -1;
    if (count == 1)
        return RecordHeader(FList[0].get()).Time == time ? 0 : -1;
    if (RecordHeader(FList[count - 1].get()).Time < time)
        return -1;
    for (int32_t i = 1; i < count; i++) {
        const uint32_t prev = RecordHeader(FList[i - 1].get()).Time;
        const uint32_t cur = RecordHeader(FList[i].get()).Time;
        if (time == cur)
            return i;
        if (time == prev)
            return i - 1;
        if (!exact && prev < time && time < cur) {
            time = prev;
            return i - 1;
        }
    }
    return -1;
}

void TFramesBuffer::DumpToFile(const std::string& path)
{
    std::string text;
    {
        TGuard guard(FLock);
        text.reserve(FList.size() * 16);
        for (size_t i = 0; i < FList.size(); i++) {
            const FrameHeader& h = RecordHeader(FList[i].get());
            text += Format("%u,%u", static_cast<unsigned>(i), h.Time);
            if (h.Kind == fkKeyFrame)
                text += ",Key";
            text += "\r\n";
        }
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw EStreamError(Format("Cannot create file \"%s\"", path.c_str()));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed)
        throw EStreamError(Format("Cannot write file \"%s\"", path.c_str()));
}

const uint8_t* TFramesBuffer::Record(int32_t index)
{
    TGuard guard(FLock);
    if (index < 0 || index >= static_cast<int32_t>(FList.size()))
        return nullptr;
    return FList[index].get();
}

// ---------------------------------------------------------------------------
// TKeyFramesBuffer

TKeyFramesBuffer::TKeyFrameList& TKeyFramesBuffer::LockList()
{
    FLock.Lock();
    return FList;
}

void TKeyFramesBuffer::UnlockList()
{
    FLock.Unlock();
}

void TKeyFramesBuffer::Clear()
{
    TGuard guard(FLock);
    FList.clear();
}

int32_t TKeyFramesBuffer::Count()
{
    TGuard guard(FLock);
    return static_cast<int32_t>(FList.size());
}

const uint8_t* TKeyFramesBuffer::FindImage(uint32_t time)
{
    TGuard guard(FLock);
    for (const auto& e : FList)
        if (e->Header.Time == time)
            return e->Image.get();
    return nullptr;
}

const uint8_t* TKeyFramesBuffer::Store(const FrameHeader& header, const uint8_t* image,
                                       bool keyCacheOn)
{
    QOV_ASSERT(image != nullptr);
    const uint32_t size = BmpFileSize(image);
    QOV_ASSERT(size >= 54);
    TGuard guard(FLock);
    if (static_cast<int32_t>(FList.size()) >= kMaxKeyFrames) {
        std::unique_ptr<TKeyFrameEntry> entry = std::move(FList.front());
        FList.erase(FList.begin());
        if (size > entry->ImageCapacity) {
            void* grown = std::realloc(entry->Image.get(), size);
            if (!grown) {
                // The entry keeps its old block; it stays cached as it was.
                FList.insert(FList.begin(), std::move(entry));
                throw EOutOfMemory("Out of memory");
            }
            entry->Image.release();
            entry->Image.reset(static_cast<uint8_t*>(grown));
            entry->ImageCapacity = size;
        }
        entry->Header = header;
        std::memcpy(entry->Image.get(), image, size);
        FList.push_back(std::move(entry));
        return FList.back()->Image.get();
    }
    if (!keyCacheOn)
        return nullptr;
    auto entry = std::make_unique<TKeyFrameEntry>();
    entry->Header = header;
    entry->Image.reset(static_cast<uint8_t*>(std::malloc(size)));
    if (!entry->Image)
        throw EOutOfMemory("Out of memory");
    entry->ImageCapacity = size;
    std::memcpy(entry->Image.get(), image, size);
    FList.push_back(std::move(entry));
    return FList.back()->Image.get();
}

// ---------------------------------------------------------------------------
// TIndexTable

TIndexTable::TIndexTable()
{
    FList.reserve(kIndexRingSize);
}

const TIndexTable::TIndexList& TIndexTable::LockList()
{
    FLock.Lock();
    return FList;
}

void TIndexTable::UnlockList()
{
    FLock.Unlock();
}

void TIndexTable::AddEntry(uint32_t time, bool ring, uint64_t offset)
{
    TGuard guard(FLock);
    if (!FList.empty() && FList.back().Time == time)
        return;
    if (ring && static_cast<int32_t>(FList.size()) == kIndexRingSize)
        FList.erase(FList.begin());
    FList.push_back(IndexEntry{time, offset});
}

void TIndexTable::Clear()
{
    TGuard guard(FLock);
    FList.clear();
}

int32_t TIndexTable::FirstKeyTime()
{
    TGuard guard(FLock);
    if (FList.empty())
        return -1;
    return TimeToInt32(FList.front().Time);
}

int32_t TIndexTable::FindKeyTime(uint32_t time)
{
    TGuard guard(FLock);
    for (size_t i = FList.size(); i-- > 0;)
        if (FList[i].Time <= time)
            return TimeToInt32(FList[i].Time);
    return -1;
}

uint64_t TIndexTable::FindOffset(uint32_t time)
{
    TGuard guard(FLock);
    int32_t low = 0;
    int32_t high = static_cast<int32_t>(FList.size()) - 1;
    while (low <= high) {
        const int32_t middle = low + (high - low) / 2;
        const uint32_t t = FList[middle].Time;
        if (t > time)
            high = middle - 1;
        else if (t < time)
            low = middle + 1;
        else
            return FList[middle].Offset;
    }
    return 0;
}

bool TIndexTable::IsEmpty()
{
    TGuard guard(FLock);
    return FList.empty();
}

int32_t TIndexTable::Count()
{
    TGuard guard(FLock);
    return static_cast<int32_t>(FList.size());
}

} // namespace qov
