#include "QovWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace qov::writer {

namespace {

template <typename T>
void PutAt(Bytes& bytes, size_t at, const T& value)
{
    if (at + sizeof value > bytes.size())
        throw std::out_of_range("recording too short for this change");
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

template <typename T>
T GetAt(const Bytes& bytes, size_t at)
{
    if (at + sizeof(T) > bytes.size())
        throw std::out_of_range("recording too short for this change");
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

void Append(Bytes& out, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

// Position of the index head in a recording built by the writer.
size_t IndexPosition(const Bytes& recording)
{
    const int64_t offset = GetAt<int64_t>(recording, offsetof(RecordingHeader, IndexOffset));
    if (offset <= 0 || uint64_t(offset) > recording.size())
        throw std::out_of_range("recording has no index to change");
    return size_t(kDataStart + uint64_t(offset));
}

uint32_t EntrySizeOf(const Bytes& recording)
{
    const uint32_t size = IndexEntrySize(GetAt<uint16_t>(recording, offsetof(RecordingHeader, Version)));
    if (size == 0)
        throw std::invalid_argument("recording of an unknown version");
    return size;
}

void CheckVersion(uint16_t version)
{
    if (!IsKnownVersion(version))
        throw std::invalid_argument("TRecordingWriter: unknown version");
}

} // namespace

// ---------------------------------------------------------------------------
// Payloads

Bytes PictureBmp(const TPicture& picture, const TPayloadStyle& style)
{
    return MakeBmp(picture.Width(), style.TopDown ? -picture.Height() : picture.Height(), style.Bits,
                   picture.PixelFunction());
}

Bytes EncodePicture(const TPicture& picture, uint16_t compression, const TPayloadStyle& style)
{
    switch (compression) {
    case ctStored:
        return PictureBmp(picture, style);
    case ctJPEG: {
        // Recorded upside down: the first scanline is the bottom row.
        const int h = picture.Height();
        return EncodeJpeg(picture.Width(), h, 3, style.JpegQuality,
                          [&](int x, int y) { return picture.At(x, h - 1 - y); });
    }
    case ctLZO1X:
        return EncodeLzo1x1(PictureBmp(picture, style));
    case ctZlib:
        return EncodeZlib(PictureBmp(picture, style), style.ZlibLevel);
    default:
        throw std::invalid_argument("EncodePicture: compression type " + std::to_string(compression));
    }
}

// ---------------------------------------------------------------------------
// Records

FrameHeader MakeFrameHeader(uint32_t time, int16_t kind, uint16_t compression, uint16_t left, uint16_t top,
                            uint32_t length, uint16_t cursorX, uint16_t cursorY)
{
    FrameHeader h{};
    h.Time = time;
    h.Left = left;
    h.Top = top;
    h.Kind = kind;
    h.Compression = compression;
    h.Length = length;
    h.CursorX = cursorX;
    h.CursorY = cursorY;
    return h;
}

Bytes MakeFrameRecord(FrameHeader header, const void* payload, size_t size)
{
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::length_error("frame payload longer than 32 bits");
    header.Length = uint32_t(size);
    Bytes out;
    out.reserve(sizeof header + size);
    Append(out, &header, sizeof header);
    if (size > 0)
        Append(out, payload, size);
    return out;
}

Bytes MakeFrameRecord(const FrameHeader& header, const Bytes& payload)
{
    return MakeFrameRecord(header, payload.data(), payload.size());
}

RecordingHeader MakeRecordingHeader(uint16_t version, uint16_t width, uint16_t height, uint32_t duration,
                                    int64_t indexOffset)
{
    RecordingHeader h{};
    h.Magic[0] = 0x41;
    h.Magic[1] = 0x56;
    h.Version = version;
    h.Width = width;
    h.Height = height;
    h.Duration = duration;
    h.IndexOffset = indexOffset;
    return h;
}

Bytes RecordingHeaderBytes(const RecordingHeader& header)
{
    Bytes out;
    Append(out, &header, sizeof header);
    return out;
}

Bytes MakeIndex(uint16_t version, const std::vector<IndexEntry>& entries)
{
    const uint32_t entrySize = IndexEntrySize(version);
    if (entrySize == 0)
        throw std::invalid_argument("MakeIndex: unknown version");
    if (entries.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("MakeIndex: too many entries");
    Bytes out;
    out.reserve(sizeof(IndexHead) + entries.size() * entrySize);
    IndexHead head{};
    head.Count = uint32_t(entries.size());
    Append(out, &head, sizeof head);
    for (const IndexEntry& e : entries) {
        if (entrySize == sizeof(IndexEntryV1)) {
            if (e.Offset > std::numeric_limits<uint32_t>::max())
                throw std::out_of_range("MakeIndex: offset does not fit an 8-byte entry");
            const IndexEntryV1 raw{e.Time, uint32_t(e.Offset)};
            Append(out, &raw, sizeof raw);
        } else {
            const IndexEntryV2 raw{e.Time, 0, e.Offset};
            Append(out, &raw, sizeof raw);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// TRecordingWriter

TRecordingWriter::TRecordingWriter(uint16_t width, uint16_t height, uint16_t version)
    : FWidth(width), FHeight(height), FVersion(version)
{
    CheckVersion(version);
}

void TRecordingWriter::SetVersion(uint16_t version)
{
    CheckVersion(version);
    FVersion = version;
}

uint32_t TRecordingWriter::Duration() const
{
    if (FDuration)
        return *FDuration;
    return FFrames.empty() ? 0 : FFrames.back().Header.Time;
}

std::vector<IndexEntry> TRecordingWriter::IndexEntries() const
{
    if (FIndex)
        return *FIndex;
    std::vector<IndexEntry> entries;
    for (const TFrameInfo& f : FFrames)
        if (f.Header.Kind == fkKeyFrame)
            entries.push_back({f.Header.Time, f.Offset});
    return entries;
}

size_t TRecordingWriter::Add(TFrameInfo info)
{
    if (info.Payload.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("frame payload longer than 32 bits");
    info.Header.Length = uint32_t(info.Payload.size());
    info.Offset = FFrameBytes;
    FFrameBytes += kFrameHeaderSize + info.Payload.size();
    FFrames.push_back(std::move(info));
    return FFrames.size() - 1;
}

size_t TRecordingWriter::AddFrame(const FrameHeader& header, const Bytes& payload)
{
    TFrameInfo info{};
    info.Header = header;
    info.Payload = payload;
    return Add(std::move(info));
}

size_t TRecordingWriter::AddFrame(uint32_t time, int16_t kind, uint16_t compression, uint16_t left, uint16_t top,
                                  const Bytes& payload, uint16_t cursorX, uint16_t cursorY)
{
    return AddFrame(MakeFrameHeader(time, kind, compression, left, top, 0, cursorX, cursorY), payload);
}

size_t TRecordingWriter::AddPicture(const FrameHeader& header, const TPicture& picture)
{
    TFrameInfo info{};
    info.Header = header;
    info.Payload = EncodePicture(picture, header.Compression, FStyle);
    info.Picture = picture;
    info.Style = FStyle;
    return Add(std::move(info));
}

size_t TRecordingWriter::AddKeyFrame(uint32_t time, const TPicture& picture, uint16_t compression,
                                     uint16_t cursorX, uint16_t cursorY)
{
    return AddPicture(MakeFrameHeader(time, fkKeyFrame, compression, 0, 0, 0, cursorX, cursorY), picture);
}

size_t TRecordingWriter::AddXorRect(uint32_t time, uint16_t left, uint16_t top, const TPicture& xorPicture,
                                    uint16_t compression, uint16_t cursorX, uint16_t cursorY)
{
    return AddPicture(MakeFrameHeader(time, fkXorRect, compression, left, top, 0, cursorX, cursorY), xorPicture);
}

size_t TRecordingWriter::AddCopyRect(uint32_t time, uint16_t left, uint16_t top, const TPicture& picture,
                                     uint16_t compression, uint16_t cursorX, uint16_t cursorY)
{
    return AddPicture(MakeFrameHeader(time, fkCopyRect, compression, left, top, 0, cursorX, cursorY), picture);
}

size_t TRecordingWriter::AddCursorShape(uint32_t time, uint16_t x, uint16_t y, const TPicture& shape,
                                        uint16_t compression)
{
    return AddPicture(MakeFrameHeader(time, fkCursor, compression, x, y, 0), shape);
}

size_t TRecordingWriter::AddCursorMove(uint32_t time, uint16_t x, uint16_t y)
{
    return AddFrame(time, fkCursor, ctStored, x, y, {});
}

size_t TRecordingWriter::AddCursorHide(uint32_t time)
{
    return AddFrame(time, fkCursor, ctStored, 0, 0, {});
}

size_t TRecordingWriter::AddMarker(uint32_t time)
{
    return AddFrame(time, fkMarker, ctStored, 0, 0, {});
}

RecordingHeader TRecordingWriter::Header() const
{
    return MakeRecordingHeader(FVersion, FWidth, FHeight, Duration(), IndexOffset());
}

Bytes TRecordingWriter::Build() const
{
    const Bytes index = MakeIndex(FVersion, IndexEntries());
    Bytes out;
    out.reserve(size_t(kDataStart + FFrameBytes + FGap.size() + index.size() + FTail.size()));
    const RecordingHeader header = Header();
    Append(out, &header, sizeof header);
    for (const TFrameInfo& f : FFrames) {
        Append(out, &f.Header, sizeof f.Header);
        out.insert(out.end(), f.Payload.begin(), f.Payload.end());
    }
    out.insert(out.end(), FGap.begin(), FGap.end());
    out.insert(out.end(), index.begin(), index.end());
    out.insert(out.end(), FTail.begin(), FTail.end());
    return out;
}

void TRecordingWriter::Save(const std::string& path) const
{
    SaveBytes(path, Build());
}

// ---------------------------------------------------------------------------
// TRecordingFileWriter

TRecordingFileWriter::TRecordingFileWriter(const std::string& path, uint16_t width, uint16_t height,
                                           uint16_t version)
    : FPath(path), FWidth(width), FHeight(height), FVersion(version)
{
    CheckVersion(version);
    FFile = std::fopen(path.c_str(), "wb");
    if (FFile == nullptr)
        throw std::runtime_error("cannot create " + path);
    std::setvbuf(FFile, nullptr, _IOFBF, 1 << 20);
    const RecordingHeader placeholder = MakeRecordingHeader(version, width, height, 0, 0);
    Write(&placeholder, sizeof placeholder);
}

TRecordingFileWriter::~TRecordingFileWriter()
{
    if (FFile != nullptr)
        std::fclose(FFile);
}

void TRecordingFileWriter::Write(const void* data, size_t size)
{
    if (FFile == nullptr)
        throw std::logic_error("recording already finished: " + FPath);
    if (size > 0 && std::fwrite(data, 1, size, FFile) != size)
        throw std::runtime_error("cannot write " + FPath);
}

void TRecordingFileWriter::AddFrame(const FrameHeader& header, const void* payload, size_t size)
{
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::length_error("frame payload longer than 32 bits");
    FrameHeader h = header;
    h.Length = uint32_t(size);
    if (h.Kind == fkKeyFrame)
        FIndex.push_back({h.Time, FFrameBytes});
    Write(&h, sizeof h);
    Write(payload, size);
    FFrameBytes += kFrameHeaderSize + size;
    ++FFrameCount;
    FLastTime = h.Time;
}

uint64_t TRecordingFileWriter::Finish(std::optional<uint32_t> duration)
{
    const Bytes index = MakeIndex(FVersion, FIndex);
    Write(index.data(), index.size());
    const RecordingHeader header =
        MakeRecordingHeader(FVersion, FWidth, FHeight, duration.value_or(FLastTime), int64_t(FFrameBytes));
    if (std::fseek(FFile, 0, SEEK_SET) != 0)
        throw std::runtime_error("cannot write " + FPath);
    Write(&header, sizeof header);
    const bool closed = std::fclose(FFile) == 0;
    FFile = nullptr;
    if (!closed)
        throw std::runtime_error("cannot write " + FPath);
    return kDataStart + FFrameBytes + index.size();
}

// ---------------------------------------------------------------------------
// Damaged recordings

Bytes CutHeader(const Bytes& recording, size_t keep)
{
    return Bytes(recording.begin(), recording.begin() + ptrdiff_t(std::min(keep, recording.size())));
}

Bytes WithMagic(const Bytes& recording, uint8_t first, uint8_t second)
{
    Bytes out = recording;
    PutAt(out, 0, first);
    PutAt(out, 1, second);
    return out;
}

Bytes WithVersion(const Bytes& recording, uint16_t version)
{
    Bytes out = recording;
    PutAt(out, offsetof(RecordingHeader, Version), version);
    return out;
}

Bytes WithIndexOffset(const Bytes& recording, int64_t indexOffset)
{
    Bytes out = recording;
    PutAt(out, offsetof(RecordingHeader, IndexOffset), indexOffset);
    return out;
}

Bytes WithIndexHead(const Bytes& recording, uint32_t count, uint32_t word1, uint32_t word2, uint32_t word3)
{
    Bytes out = recording;
    const IndexHead head{count, {word1, word2, word3}};
    PutAt(out, IndexPosition(recording), head);
    return out;
}

Bytes CutIndex(const Bytes& recording, size_t missing)
{
    const size_t at = IndexPosition(recording);
    const uint32_t count = GetAt<uint32_t>(recording, at);
    const uint64_t end = at + sizeof(IndexHead) + uint64_t(count) * EntrySizeOf(recording);
    if (end > recording.size() || missing > end)
        throw std::out_of_range("CutIndex: no such index");
    return Bytes(recording.begin(), recording.begin() + ptrdiff_t(end - missing));
}

Bytes WithIndexEntry(const Bytes& recording, uint32_t i, uint32_t time, uint64_t offset)
{
    Bytes out = recording;
    const uint32_t entrySize = EntrySizeOf(recording);
    const size_t at = IndexPosition(recording) + sizeof(IndexHead) + size_t(i) * entrySize;
    if (entrySize == sizeof(IndexEntryV1)) {
        if (offset > std::numeric_limits<uint32_t>::max())
            throw std::out_of_range("WithIndexEntry: offset does not fit an 8-byte entry");
        PutAt(out, at, IndexEntryV1{time, uint32_t(offset)});
    } else {
        PutAt(out, at, IndexEntryV2{time, 0, offset});
    }
    return out;
}

Bytes CutFrames(const Bytes& recording, uint64_t keep)
{
    const uint64_t end = IndexPosition(recording);
    if (kDataStart + keep >= end)
        throw std::out_of_range("CutFrames: must end before the index");
    return Bytes(recording.begin(), recording.begin() + ptrdiff_t(kDataStart + keep));
}

void SaveBytes(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot create " + path);
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written)
        throw std::runtime_error("cannot write " + path);
}

// ---------------------------------------------------------------------------
// Still pictures

Bytes MakeStillBmp(int width, int height, uint64_t seed, int bits, bool topDown)
{
    TPayloadStyle style;
    style.Bits = bits;
    style.TopDown = topDown;
    return PictureBmp(MakeScreenPicture(width, height, seed), style);
}

Bytes PictureJpeg(const TPicture& picture, int quality)
{
    return EncodeJpeg(picture.Width(), picture.Height(), 3, quality, picture.PixelFunction());
}

Bytes MakeStillJpeg(int width, int height, uint64_t seed, int quality)
{
    return PictureJpeg(MakeScreenPicture(width, height, seed), quality);
}

Bytes WithJpegSize(const Bytes& jpeg, uint16_t width, uint16_t height)
{
    // Walk the marker segments after SOI up to the first SOFn.
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const uint8_t marker = jpeg[at + 1];
        const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && at + 9 <= jpeg.size()) {
            Bytes out = jpeg;
            out[at + 5] = uint8_t(height >> 8);
            out[at + 6] = uint8_t(height);
            out[at + 7] = uint8_t(width >> 8);
            out[at + 8] = uint8_t(width);
            return out;
        }
        at += 2 + length;
    }
    throw std::invalid_argument("WithJpegSize: no frame header");
}

} // namespace qov::writer
