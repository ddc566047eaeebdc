#include "ETarGZip.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <zlib.h>

namespace qov::exceptions {

namespace {

const size_t TarBlock = 512;
const uint8_t GzipFlagName = 0x08;
const size_t GzipHeaderSize = 10;
const size_t GzipTrailerSize = 8;
// Days from the date-time origin (1899-12-30) to 1970-01-01.
const double UnixDateDelta = 25569.0;

using TFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

void StoreLE32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

// Octal digits of value filling field from its last digit backwards, leading
// zeros as blanks, the last digit always written.
void OctalDigits(char* field, int digits, uint32_t value)
{
    for (int i = digits - 1; i >= 0; --i) {
        field[i] = (value == 0 && i < digits - 1) ? ' ' : static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
}

} // namespace

uint32_t Crc32Update(const void* buffer, size_t length)
{
    // zlib's CRC-32 is gzip's; it is fed in pieces its 32-bit length takes.
    if (!buffer)
        return 0;
    const Bytef* p = static_cast<const Bytef*>(buffer);
    uLong crc = crc32(0, Z_NULL, 0);
    const size_t piece = 1u << 30;
    for (; length > piece; length -= piece, p += piece)
        crc = crc32(crc, p, static_cast<uInt>(piece));
    return static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(length)));
}

namespace {

// A gzip file in three parts: header with the stored name, the zlib stream
// whose raw deflate data (all but its 2-byte header and 4-byte Adler-32) is
// the member's, and the trailer.
struct TGzipParts {
    std::string Head, Stream, Trailer;

    TGzipParts(const std::string& content, const std::string& path)
    {
        if (content.size() > size_t(CompressBufferLimit))
            throw EZLibError(Format("Gzip content of %llu bytes is too large",
                                    static_cast<unsigned long long>(content.size())));
        Stream = CompressBuffer(content.data(), static_cast<int32_t>(content.size()));
        // ID1 ID2, CM deflate, FLG FNAME, MTIME 0, XFL 0, OS 0, the name.
        Head.assign("\x1F\x8B\x08\x08\0\0\0\0\0\0", GzipHeaderSize);
        Head += ChangeFileExt(ExtractFileName(path), ".tar");
        Head.push_back('\0');
        StoreLE32(Trailer, Crc32Update(content.data(), content.size()));
        StoreLE32(Trailer, static_cast<uint32_t>(content.size()));
    }

    const char* Deflate() const { return Stream.data() + 2; }
    size_t DeflateSize() const { return Stream.size() - 6; }
};

} // namespace

std::string GzipImage(const std::string& content, const std::string& path)
{
    const TGzipParts parts(content, path);
    return parts.Head + std::string(parts.Deflate(), parts.DeflateSize()) + parts.Trailer;
}

void SaveGzip(const std::string& content, const std::string& path)
{
    const TGzipParts parts(content, path);
    TFile file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file)
        throw EFCreateError(Format("Cannot create file \"%s\"", path.c_str()));
    auto put = [&file](const char* data, size_t size) {
        return std::fwrite(data, 1, size, file.get()) == size;
    };
    const bool written = put(parts.Head.data(), parts.Head.size()) &&
                         put(parts.Deflate(), parts.DeflateSize()) &&
                         put(parts.Trailer.data(), parts.Trailer.size());
    if (std::fclose(file.release()) != 0 || !written)
        throw EWriteError(Format("Stream write error: \"%s\"", path.c_str()));
}

void LoadGzip(TOptionsStream& input, TOptionsStream& output)
{
    uint8_t header[GzipHeaderSize];
    if (input.Read(header, sizeof header) != sizeof header)
        throw EZLibError("Gzip image shorter than its header");
    if (header[3] & GzipFlagName) {
        char c;
        do {
            if (input.Read(&c, 1) != 1)
                throw EZLibError("Gzip file name without its closing zero");
        } while (c != '\0');
    }
    const uint64_t rest = input.Remaining();
    if (rest < GzipTrailerSize)
        throw EZLibError("Gzip image shorter than its trailer");
    if (rest - GzipTrailerSize > uint64_t(INT32_MAX))
        throw EZLibError("Gzip image too large");
    std::string data(static_cast<size_t>(rest), '\0');
    if (input.Read(data.data(), static_cast<uint32_t>(rest)) != rest)
        throw EZLibError("Gzip image shorter than its trailer");
    // The raw deflate data; the trailer's CRC-32 and size are not checked.
    const std::string plain =
        InflateRawBuffer(data.data(), static_cast<int32_t>(rest - GzipTrailerSize));
    output.Write(plain.data(), static_cast<uint32_t>(plain.size()));
}

void TarOctal12(char field[12], uint32_t value)
{
    OctalDigits(field, 11, value);
    field[11] = ' ';
}

void TarOctal8(char field[8], uint32_t value)
{
    OctalDigits(field, 6, value);
    field[6] = ' ';
    field[7] = '\0';
}

uint32_t TarTime(TDateTime time)
{
    double seconds = (time - UnixDateDelta) * 86400.0;
    // A whole second that the day fraction cannot hold exactly is taken whole
    // rather than cut to the second before.
    const double whole = std::round(seconds);
    if (std::fabs(seconds - whole) < 1e-5)
        seconds = whole;
    seconds = std::floor(seconds);
    if (!(seconds >= 0))
        return 0;
    if (seconds > double(UINT32_MAX))
        return UINT32_MAX;
    return static_cast<uint32_t>(seconds);
}

std::string TarHeader(const std::string& name, uint32_t size, TDateTime time)
{
    std::string block(TarBlock, '\0');
    char* h = block.data();
    std::memcpy(h, name.data(), name.size() < 100 ? name.size() : 100);
    TarOctal8(h + 100, 0); // mode
    TarOctal8(h + 108, 0); // owner
    TarOctal8(h + 116, 0); // group
    TarOctal12(h + 124, size);
    TarOctal12(h + 136, TarTime(time));
    h[156] = '0';
    std::memcpy(h + 257, "ustar   ", 8);
    std::memset(h + 148, ' ', 8);
    uint32_t sum = 0;
    for (unsigned char c : block)
        sum += c;
    TarOctal8(h + 148, sum);
    return block;
}

TTGZWriter::TTGZWriter(std::string archiveFileName)
    : FFileName(std::move(archiveFileName)), FUncaught(std::uncaught_exceptions())
{
}

TTGZWriter::~TTGZWriter() noexcept(false)
{
    try {
        FTar.append(TarBlock, '\0');
        SaveGzip(FTar, FFileName);
    } catch (...) {
        if (std::uncaught_exceptions() <= FUncaught)
            throw;
    }
}

void TTGZWriter::AddFile(const std::string& fileName, const std::string& archiveName)
{
    const std::string name = ExtractFileName(archiveName.empty() ? fileName : archiveName);
    TFile file(std::fopen(fileName.c_str(), "rb"), &std::fclose);
    if (!file)
        throw EFOpenError(Format("Cannot open file \"%s\"", fileName.c_str()));
    std::string bytes;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        bytes.append(chunk, got);
    if (std::ferror(file.get()))
        throw EReadError(Format("Stream read error: \"%s\"", fileName.c_str()));
    file.reset();
    TOptionsMemoryStream stream(std::move(bytes));
    AddStream(stream, name, FileWriteTimeUtc(fileName));
}

void TTGZWriter::AddStream(TOptionsStream& stream, const std::string& name, TDateTime time)
{
    const uint64_t remaining = stream.Remaining();
    if (remaining > uint64_t(INT32_MAX))
        throw EStreamError(Format("Archive member \"%s\" is too large", name.c_str()));
    const uint32_t size = static_cast<uint32_t>(remaining);
    FTar += TarHeader(name, size, time);
    // The data, its last block filled up with zeros.
    const size_t at = FTar.size();
    FTar.resize(at + (size + TarBlock - 1) / TarBlock * TarBlock, '\0');
    if (stream.Read(FTar.data() + at, size) != size) {
        FTar.resize(at - TarBlock);
        throw EReadError(Format("Stream read error: \"%s\"", name.c_str()));
    }
}

} // namespace qov::exceptions
