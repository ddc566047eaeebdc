// qovdemo: opens a recording, reads its header and key-frame index, walks
// every frame record, decodes each payload through QovPlayer.ocx's decoder
// exports, checks the pictures and writes the key frames as .bmp files.
//
//   qovdemo <recording.qov> [output folder]
//
// The output folder defaults to the recording's path with "-keyframes" in
// place of its extension. The first 32 key frames are written, then only the
// recording's last one. Exit code 0 when everything decoded, 1 when frames
// failed to decode or check, 2 when the recording does not open.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "ConsoleText.h"
#include "QovFormat.h"
#include "UnitDecoder.h"
#include "UnitShare.h"

using namespace qov;
using qov::tools::Utf8FromGbk;

namespace {

// Reads a file through a 1 MiB buffer; 64-bit positions.
class TFileReader {
public:
    explicit TFileReader(const std::string& path)
    {
        FHandle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE)
            throw Exception(Format("cannot open %s (error %lu)", path.c_str(), GetLastError()));
        LARGE_INTEGER size;
        if (!GetFileSizeEx(FHandle, &size)) {
            CloseHandle(FHandle);  // no destructor runs for a constructor that throws
            throw Exception(Format("cannot read the size of %s", path.c_str()));
        }
        FSize = uint64_t(size.QuadPart);
        FBuffer.resize(1 << 20);
    }
    ~TFileReader() { CloseHandle(FHandle); }
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    uint64_t Size() const { return FSize; }
    uint64_t Position() const { return FPosition; }
    void Seek(uint64_t position)
    {
        FPosition = position;
        FStart = FEnd = 0;
    }
    // Reads up to size bytes; returns how many came (fewer only at the end).
    size_t Read(void* out, size_t size)
    {
        auto* dst = static_cast<uint8_t*>(out);
        size_t done = 0;
        while (done < size) {
            if (FStart == FEnd && !Fill())
                break;
            const size_t n = std::min(size - done, FEnd - FStart);
            std::memcpy(dst + done, FBuffer.data() + FStart, n);
            FStart += n;
            done += n;
            FPosition += n;
        }
        return done;
    }

private:
    bool Fill()
    {
        LARGE_INTEGER to;
        to.QuadPart = LONGLONG(FPosition);
        if (!SetFilePointerEx(FHandle, to, nullptr, FILE_BEGIN))
            return false;
        DWORD got = 0;
        if (!ReadFile(FHandle, FBuffer.data(), DWORD(FBuffer.size()), &got, nullptr) || got == 0)
            return false;
        FStart = 0;
        FEnd = got;
        return true;
    }

    HANDLE FHandle;
    uint64_t FSize = 0;
    uint64_t FPosition = 0;
    std::vector<uint8_t> FBuffer;
    size_t FStart = 0;
    size_t FEnd = 0;
};

uint32_t Get32(const uint8_t* b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, b + at, 4);
    return v;
}

class TOpenFailure : public Exception {
public:
    explicit TOpenFailure(EngineErrorCode code)
        : Exception(Format("status %d (%s)", int(code), EngineErrorText(code))), Code(code) {}
    EngineErrorCode Code;
};

void Check(EngineErrorCode code)
{
    if (code != ecNone)
        throw TOpenFailure(code);
}

struct TStats {
    uint64_t Kinds[6] = {};         // 0 to 4, then any other kind
    uint64_t Compressions[5] = {};  // 0 to 3, then any other type (payload frames only)
    uint64_t Frames = 0;
    uint64_t Decoded = 0;
    uint64_t DecodedBytes = 0;
    uint64_t PayloadBytes = 0;
    uint64_t Failures = 0;
    uint64_t Warnings = 0;
    uint64_t FilesWritten = 0;
};

// Prints the first few problems of a kind, counts all of them.
void Report(uint64_t& counter, const char* what, const std::string& text)
{
    if (++counter <= 20)
        std::printf("  %s: %s\n", what, Utf8FromGbk(text).c_str());
    else if (counter == 21)
        std::printf("  (further %s messages not shown)\n", what);
}

// Key frames written one file each; of later ones only the last is written.
constexpr uint64_t kMaxKeyFiles = 32;

bool WriteBytes(const std::string& path, const void* data, size_t size)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, data, DWORD(size), &written, nullptr);
    CloseHandle(h);
    return ok && written == size;
}

std::string DefaultOutputFolder(const std::string& recording)
{
    const size_t slash = recording.find_last_of("\\/");
    const size_t dot = recording.find_last_of('.');
    const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? recording.substr(0, dot)
                                 : recording;
    return stem + "-keyframes";
}

int Run(const std::string& path, const std::string& outDir)
{
    TFileReader file(path);
    std::printf("%s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(file.Size()));

    // Header and index, checked in the order the player opens a recording.
    uint8_t raw[32];
    RecordingHeader header;
    IndexHead head;
    std::vector<IndexEntry> index;
    try {
        Check(ReadRecordingHeader(raw, file.Read(raw, 32), &header));
        Check(CheckRecordingHeader(header));
        const uint64_t regionEnd = FrameRegionEnd(header);
        file.Seek(regionEnd);
        Check(ReadIndexHead(raw, file.Read(raw, 16), &head));
        Check(CheckIndexHead(head));
        uint64_t tableBytes = 0;
        Check(IndexTableBytes(header.Version, head.Count, &tableBytes));
        if (file.Size() < regionEnd + 16 || file.Size() - regionEnd - 16 < tableBytes)
            Check(ecReadFailed);  // before allocating a table the file does not hold
        std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
        Check(DecodeIndexEntries(header.Version, table.data(), file.Read(table.data(), table.size()), head.Count,
                                 &index));
    } catch (const TOpenFailure& e) {
        std::printf("open failed: %s\n", Utf8FromGbk(e.what()).c_str());
        return 2;
    }
    const uint64_t regionEnd = FrameRegionEnd(header);
    std::printf("header: version 0x%04X, %ux%u, duration %u ms, index at %llu, %u index entries\n",
                unsigned(header.Version), unsigned(header.Width), unsigned(header.Height),
                unsigned(header.Duration), static_cast<unsigned long long>(regionEnd), unsigned(head.Count));

    TStats stats;
    // Every index entry must name a key frame record inside the frame region.
    for (size_t i = 0; i < index.size(); ++i) {
        const IndexEntry& e = index[i];
        FrameHeader fh;
        std::string fault;
        if (e.Offset > regionEnd - kDataStart || regionEnd - kDataStart - e.Offset < kFrameHeaderSize) {
            fault = "offset outside the frame records";
        } else {
            file.Seek(kDataStart + e.Offset);
            if (file.Read(&fh, sizeof fh) != sizeof fh)
                fault = "offset beyond the end of the file";
            else if (fh.Kind != fkKeyFrame)
                fault = Format("record of kind %d", int(fh.Kind));
            else if (fh.Time != e.Time)
                fault = Format("record time %u", unsigned(fh.Time));
        }
        if (!fault.empty())
            Report(stats.Warnings, "index",
                   Format("entry %u (time %u, offset %llu): %s", unsigned(i), unsigned(e.Time),
                          static_cast<unsigned long long>(e.Offset), fault.c_str()));
        if (i > 0 && e.Time < index[i - 1].Time)
            Report(stats.Warnings, "index", Format("entry %u: time goes back", unsigned(i)));
    }

    if (!CreateDirectoryA(outDir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw Exception(Format("cannot create the folder %s", outDir.c_str()));

    // The frame records, back to back up to the index.
    const uint64_t end = std::min(regionEnd, file.Size());
    if (regionEnd > file.Size())
        Report(stats.Warnings, "frames",
               Format("the file ends %llu bytes before the index",
                      static_cast<unsigned long long>(regionEnd - file.Size())));
    file.Seek(kDataStart);
    std::vector<uint8_t> payload;
    uint32_t lastTime = 0;
    uint64_t keyNumber = 0;
    std::string lastKeyFile;
    std::vector<uint8_t> lastKey;  // the last key frame beyond the first kMaxKeyFiles
    std::string lastKeyName;
    while (file.Position() < end) {
        const uint64_t at = file.Position();
        FrameHeader fh;
        if (end - at < kFrameHeaderSize || file.Read(&fh, sizeof fh) != sizeof fh ||
            end - at - kFrameHeaderSize < fh.Length) {
            // A partial record before the index is never a frame.
            Report(stats.Warnings, "frames",
                   Format("%llu bytes before the index do not make a whole record",
                          static_cast<unsigned long long>(end - at)));
            break;
        }
        payload.resize(fh.Length);
        if (file.Read(payload.data(), fh.Length) != fh.Length)
            throw Exception("read failed inside the frame records");
        ++stats.Frames;
        stats.PayloadBytes += fh.Length;
        stats.Kinds[fh.Kind >= 0 && fh.Kind <= 4 ? fh.Kind : 5]++;
        if (stats.Frames > 1 && fh.Time < lastTime)
            Report(stats.Warnings, "frames", Format("record at %llu: time %u after %u",
                                                    static_cast<unsigned long long>(at), unsigned(fh.Time),
                                                    unsigned(lastTime)));
        lastTime = fh.Time;
        const bool drawn = fh.Kind == fkXorRect || fh.Kind == fkKeyFrame || fh.Kind == fkCursor ||
                           fh.Kind == fkCopyRect;
        if (fh.Length == 0 || !drawn)
            continue;
        stats.Compressions[fh.Compression <= 3 ? fh.Compression : 4]++;

        const std::string where = Format("frame %llu (time %u, kind %d, type %u)",
                                         static_cast<unsigned long long>(stats.Frames - 1), unsigned(fh.Time),
                                         int(fh.Kind), unsigned(fh.Compression));
        TOutputLock lock;  // the shared output buffer is ours until the picture is used
        void* out = nullptr;
        int size = 0;
        try {
            size = DecodePayloadEx(payload.data(), fh.Length, fh.Compression, &out, 0);
        } catch (const EDecoder& e) {
            Report(stats.Failures, "decode", where + ": " + e.Message());
            continue;
        }
        std::string why;
        if (size <= 0 || out == nullptr) {
            Report(stats.Failures, "decode", where + Format(": result %d", size));
            continue;
        }
        if (!decoder::CheckDecodedFrame(out, uint32_t(size), &why)) {
            Report(stats.Failures, "check", where + ": " + why);
            continue;
        }
        const auto* image = static_cast<const uint8_t*>(out);
        const int32_t width = int32_t(Get32(image, 18));
        const int32_t height = int32_t(Get32(image, 22));
        const int64_t rows = height < 0 ? -int64_t(height) : height;
        ++stats.Decoded;
        stats.DecodedBytes += uint32_t(size);
        if (fh.Kind != fkCursor &&
            (fh.Left + int64_t(width) > header.Width || fh.Top + rows > header.Height))
            Report(stats.Warnings, "frames",
                   where + Format(": %dx%lld at (%u, %u) runs past the screen", int(width),
                                  static_cast<long long>(rows), unsigned(fh.Left), unsigned(fh.Top)));
        if (fh.Kind == fkKeyFrame) {
            // The first kMaxKeyFiles key frames each to a file; of the rest only the last.
            const uint64_t number = keyNumber++;
            const std::string name = Format("%s\\key-%03llu-%ums.bmp", outDir.c_str(),
                                            static_cast<unsigned long long>(number), unsigned(fh.Time));
            if (number >= kMaxKeyFiles) {
                lastKey.assign(image, image + size);
                lastKeyName = name;
            } else if (WriteBytes(name, out, size_t(size))) {
                ++stats.FilesWritten;
                lastKeyFile = name;
            } else {
                Report(stats.Failures, "write", name);
            }
        }
    }
    if (!lastKey.empty()) {
        if (WriteBytes(lastKeyName, lastKey.data(), lastKey.size())) {
            ++stats.FilesWritten;
            lastKeyFile = lastKeyName;
        } else {
            Report(stats.Failures, "write", lastKeyName);
        }
    }

    std::printf("frames: %llu (xor rect %llu, key %llu, cursor %llu, copy rect %llu, marker %llu, other %llu)\n",
                static_cast<unsigned long long>(stats.Frames), static_cast<unsigned long long>(stats.Kinds[0]),
                static_cast<unsigned long long>(stats.Kinds[1]), static_cast<unsigned long long>(stats.Kinds[2]),
                static_cast<unsigned long long>(stats.Kinds[3]), static_cast<unsigned long long>(stats.Kinds[4]),
                static_cast<unsigned long long>(stats.Kinds[5]));
    std::printf("payloads: stored %llu, JPEG %llu, LZO1X %llu, zlib %llu, other %llu; %llu payload bytes\n",
                static_cast<unsigned long long>(stats.Compressions[0]),
                static_cast<unsigned long long>(stats.Compressions[1]),
                static_cast<unsigned long long>(stats.Compressions[2]),
                static_cast<unsigned long long>(stats.Compressions[3]),
                static_cast<unsigned long long>(stats.Compressions[4]),
                static_cast<unsigned long long>(stats.PayloadBytes));
    std::printf("decoded: %llu pictures, %llu bytes; %llu failed; %llu warnings\n",
                static_cast<unsigned long long>(stats.Decoded), static_cast<unsigned long long>(stats.DecodedBytes),
                static_cast<unsigned long long>(stats.Failures), static_cast<unsigned long long>(stats.Warnings));
    std::printf("key frames written: %llu to %s%s%s\n", static_cast<unsigned long long>(stats.FilesWritten),
                outDir.c_str(), lastKeyFile.empty() ? "" : ", last: ", lastKeyFile.c_str());
    return stats.Failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::printf("usage: qovdemo <recording.qov> [output folder]\n");
        return 2;
    }
    if (!InitDecoder()) {
        std::printf("qovdemo: the frame decoder did not start\n");
        return 2;
    }
    int rc;
    try {
        rc = Run(argv[1], argc == 3 ? argv[2] : DefaultOutputFolder(argv[1]));
    } catch (const std::exception& e) {
        std::printf("qovdemo: %s\n", Utf8FromGbk(e.what()).c_str());
        rc = 2;
    }
    UninitDecoder();
    return rc;
}
