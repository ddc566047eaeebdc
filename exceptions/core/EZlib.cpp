#include "EZlib.h"

#include <zlib.h>

#include <cstring>

namespace qov::exceptions {

namespace {

// zlib's texts by 2 - code.
const char* const ZLibMessages[10] = {
    "need dictionary", "stream end", "", "file error", "stream error",
    "data error", "insufficient memory", "buffer error", "incompatible version", "",
};

const int32_t DeflateGrowth = 256;

[[noreturn]] void RaiseOutOfRange(const char* what, int64_t length)
{
    throw EZLibError(Format("%s of %lld bytes is out of range", what, static_cast<long long>(length)));
}

// Lets zlib write from the buffer's current fill on into room bytes more.
void GrowOutput(std::string& output, z_stream& stream, int32_t room, const char* what)
{
    if (int64_t(output.size()) + room > INT32_MAX)
        RaiseOutOfRange(what, int64_t(output.size()) + room);
    output.resize(output.size() + static_cast<size_t>(room));
    stream.next_out = reinterpret_cast<Bytef*>(output.data()) + stream.total_out;
    stream.avail_out = static_cast<uInt>(room);
}

// A cleared stream record (zlib's default allocation) from the whole input
// into the whole output buffer.
void StartStream(z_stream& stream, const void* buffer, int32_t length, std::string& output)
{
    std::memset(&stream, 0, sizeof stream);
    stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(buffer));
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
}

// Inflates length bytes with a stream that init has set up; anything but the
// stream's end raises.
template <typename TInit>
std::string Inflate(const void* buffer, int32_t length, TInit init)
{
    if (length < 0)
        RaiseOutOfRange("Inflate input", length);
    const int32_t step = DecompressStep(length);
    std::string output(static_cast<size_t>(step), '\0');
    z_stream stream;
    StartStream(stream, buffer, length, output);
    ZLibCheck(init(stream));
    int result;
    try {
        result = inflate(&stream, Z_NO_FLUSH);
        while (result == Z_OK) {
            GrowOutput(output, stream, step, "Inflated output");
            result = inflate(&stream, Z_NO_FLUSH);
        }
    } catch (...) {
        inflateEnd(&stream);
        throw;
    }
    ZLibCheck(inflateEnd(&stream));
    // A data error, input used up before the end (a cut stream shows as a
    // buffer error) or a dictionary request: never partial output.
    if (result != Z_STREAM_END)
        throw EZLibError(ZLibErrorText(result));
    output.resize(stream.total_out);
    return output;
}

} // namespace

const char* ZLibErrorText(int code)
{
    if (code > 2 || code < -7)
        return "";
    return ZLibMessages[2 - code];
}

int ZLibCheck(int code)
{
    if (code < 0)
        throw EZLibError(ZLibErrorText(code));
    return code;
}

int32_t CompressStartSize(int32_t n)
{
    return static_cast<int32_t>((int64_t(n) + n / 10 + 12 + 255) & ~int64_t(255));
}

int32_t DecompressStep(int32_t n)
{
    int64_t step = (int64_t(n) + 255) & ~int64_t(255);
    if (step > INT32_MAX - 255)
        step = INT32_MAX & ~255;
    return static_cast<int32_t>(step < 256 ? 256 : step);
}

std::string CompressBuffer(const void* buffer, int32_t length)
{
    // The start size must not wrap (lengths near 2 GiB) nor be negative.
    if (length < 0 || length > CompressBufferLimit)
        RaiseOutOfRange("Compress input", length);
    const int32_t size = CompressStartSize(length);
    std::string output(static_cast<size_t>(size), '\0');
    z_stream stream;
    StartStream(stream, buffer, length, output);
    // deflateInit passes zlib's own version text and stream size.
    ZLibCheck(deflateInit(&stream, Z_BEST_COMPRESSION));
    try {
        int result = ZLibCheck(deflate(&stream, Z_FINISH));
        while (result != Z_STREAM_END) {
            GrowOutput(output, stream, DeflateGrowth, "Compressed output");
            result = ZLibCheck(deflate(&stream, Z_FINISH));
        }
    } catch (...) {
        deflateEnd(&stream);
        throw;
    }
    ZLibCheck(deflateEnd(&stream));
    output.resize(stream.total_out);
    return output;
}

std::string DecompressBuffer(const void* buffer, int32_t length)
{
    return Inflate(buffer, length, [](z_stream& stream) { return inflateInit(&stream); });
}

std::string InflateRawBuffer(const void* buffer, int32_t length)
{
    return Inflate(buffer, length,
                   [](z_stream& stream) { return inflateInit2(&stream, -MAX_WBITS); });
}

} // namespace qov::exceptions
