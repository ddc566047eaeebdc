#include "RecordingReader.h"

#include <algorithm>
#include <cstdint>

namespace qov {

uint32_t DropEntriesOutsideFrames(std::vector<IndexEntry>* entries, int64_t indexOffset)
{
    const uint64_t frameBytes = indexOffset > 0 ? static_cast<uint64_t>(indexOffset) : 0;
    const size_t before = entries->size();
    entries->erase(std::remove_if(entries->begin(), entries->end(),
                                  [&](const IndexEntry& e) {
                                      return frameBytes < kFrameHeaderSize ||
                                             e.Offset > frameBytes - kFrameHeaderSize;
                                  }),
                   entries->end());
    return static_cast<uint32_t>(before - entries->size());
}

TRecordingScan ScanRecording(const uint8_t* data, size_t size, TScanSink sink, void* context)
{
    TRecordingScan scan;
    auto fail = [&](EngineErrorCode code) {
        scan.Code = code;
        return scan;
    };
    if (ReadRecordingHeader(data, size, &scan.Header) != ecNone)
        return fail(ecReadFailed);
    const EngineErrorCode headerCode = CheckRecordingHeader(scan.Header);
    if (headerCode != ecNone)
        return fail(headerCode);
    if (scan.Header.IndexOffset > INT64_MAX - static_cast<int64_t>(kDataStart))
        return fail(ecUnknown);  // a range error

    // The index head lies index offset bytes after the header.
    const uint64_t headAt = FrameRegionEnd(scan.Header);
    IndexHead head;
    if (headAt > size || ReadIndexHead(data + headAt, size - headAt, &head) != ecNone)
        return fail(ecReadFailed);
    if (CheckIndexHead(head) != ecNone)
        return fail(ecInvalidIndex);
    const uint64_t tableAt = headAt + kIndexHeadSize;
    const EngineErrorCode tableCode =
        DecodeIndexEntries(scan.Header.Version, data + tableAt, size - tableAt, head.Count, &scan.Index);
    if (tableCode != ecNone)
        return fail(tableCode);
    scan.DroppedEntries = DropEntriesOutsideFrames(&scan.Index, scan.Header.IndexOffset);
    if (scan.Index.empty())
        return fail(ecInvalidIndex);

    // The frame records; a record that would run past the index is never one.
    const uint64_t end = std::min<uint64_t>(headAt, size);
    uint64_t at = kDataStart;
    while (at < end) {
        FrameHeader header;
        const uint64_t record = CompleteFrameRecord(data + at, static_cast<size_t>(end - at), &header);
        if (record == 0)
            break;
        ++scan.Frames;
        scan.KeyFrames += header.Kind == fkKeyFrame;
        scan.FrameBytes += record;
        if (sink)
            sink(context, header, data + at + kFrameHeaderSize);
        at += record;
    }
    scan.CutShort = at != headAt;
    return scan;
}

} // namespace qov
