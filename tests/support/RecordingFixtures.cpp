#include "RecordingFixtures.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#ifdef _WIN32
#include <process.h>
#define QOV_GETPID _getpid
#else
#include <unistd.h>
#define QOV_GETPID getpid
#endif

namespace qov::test {

TReadRecording ReadRecording(const Bytes& file)
{
    TReadRecording r;
    const uint8_t* data = file.data();
    const uint64_t size = file.size();
    if ((r.Code = ReadRecordingHeader(data, file.size(), &r.Header)) != ecNone)
        return r;
    if ((r.Code = CheckRecordingHeader(r.Header)) != ecNone)
        return r;
    const uint64_t indexAt = FrameRegionEnd(r.Header);
    const uint64_t avail = indexAt < size ? size - indexAt : 0;
    if ((r.Code = ReadIndexHead(data + std::min(indexAt, size), size_t(avail), &r.Head)) != ecNone)
        return r;
    if ((r.Code = CheckIndexHead(r.Head)) != ecNone)
        return r;
    r.Code = DecodeIndexEntries(r.Header.Version, data + indexAt + kIndexHeadSize,
                                size_t(avail - kIndexHeadSize), r.Head.Count, &r.Index);
    if (r.Code != ecNone)
        return r;

    uint64_t at = kDataStart;
    const uint64_t end = std::min(indexAt, size);
    while (at < end) {
        FrameHeader h;
        const uint64_t record = CompleteFrameRecord(data + at, size_t(end - at), &h);
        if (record == 0)
            break;
        r.Frames.push_back({h, at - kDataStart, Bytes(data + at + kFrameHeaderSize, data + at + record)});
        at += record;
    }
    r.LeftOver = end - at;
    return r;
}

Bytes InflateZlib(const Bytes& payload)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        throw std::runtime_error("inflateInit");
    Bytes out;
    uint8_t chunk[65536];
    z.next_in = const_cast<Bytef*>(payload.data());
    z.avail_in = uInt(payload.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("damaged zlib stream");
    return out;
}

Bytes DecompressLzo(const Bytes& payload, size_t outputSize)
{
    Bytes out(outputSize);
    lzo_uint len = outputSize;
    const int rc = lzo1x_decompress_safe(payload.data(), payload.size(), out.data(), &len, nullptr);
    if (rc != LZO_E_OK)
        throw std::runtime_error("damaged LZO1X block: " + std::to_string(rc));
    out.resize(len);
    return out;
}

namespace {

struct TestJpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void TestJpegExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<TestJpegError*>(cinfo->err)->jump, 1);
}

void TestJpegQuiet(j_common_ptr) {}

struct TestJpegJob {
    const Bytes* jpeg;
    int width;
    int height;
    uint8_t* rgb;  // malloc'ed width x height x 3
};

bool RunDecompress(TestJpegJob* job)
{
    jpeg_decompress_struct cinfo;
    TestJpegError err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = TestJpegExit;
    err.pub.output_message = TestJpegQuiet;
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, job->jpeg->data(), static_cast<unsigned long>(job->jpeg->size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    job->width = int(cinfo.output_width);
    job->height = int(cinfo.output_height);
    job->rgb = static_cast<uint8_t*>(std::malloc(size_t(job->width) * size_t(job->height) * 3 + 1));
    if (job->rgb == nullptr)
        std::longjmp(err.jump, 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = job->rgb + size_t(cinfo.output_scanline) * size_t(job->width) * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

uint32_t Get32(const Bytes& b, size_t at)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}

} // namespace

TPicture DecodeJpeg(const Bytes& jpeg)
{
    TestJpegJob job{&jpeg, 0, 0, nullptr};
    const bool ok = RunDecompress(&job);
    if (!ok) {
        std::free(job.rgb);
        throw std::runtime_error("damaged JPEG");
    }
    const uint8_t* rgb = job.rgb;
    const int w = job.width;
    TPicture picture(w, job.height, [&](int x, int y) {
        const uint8_t* p = rgb + (size_t(y) * size_t(w) + size_t(x)) * 3;
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    });
    std::free(job.rgb);
    return picture;
}

TPicture ReadBmp(const Bytes& bmp)
{
    if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M')
        throw std::runtime_error("not a BMP image");
    const uint32_t offset = Get32(bmp, 10);
    const int width = int(Get32(bmp, 18));
    const int height = int(int32_t(Get32(bmp, 22)));
    const int bits = bmp.at(28);
    if (bits != 24 && bits != 32)
        throw std::runtime_error("ReadBmp: 24 or 32 bits only");
    const int rows = height < 0 ? -height : height;
    const size_t stride = RowBytes(uint32_t(width), uint32_t(bits));
    if (offset + stride * size_t(rows) > bmp.size())
        throw std::runtime_error("ReadBmp: short image");
    return TPicture(width, rows, [&](int x, int y) {
        const size_t memRow = height > 0 ? size_t(rows - 1 - y) : size_t(y);
        const uint8_t* p = bmp.data() + offset + memRow * stride + size_t(x) * size_t(bits / 8);
        return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    });
}

double MeanChannelDifference(const TPicture& a, const TPicture& b)
{
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return 256;
    if (a.Empty())
        return 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < a.Pixels().size(); ++i)
        for (int shift = 0; shift < 24; shift += 8)
            sum += uint64_t(std::abs(int(a.Pixels()[i] >> shift & 0xFF) - int(b.Pixels()[i] >> shift & 0xFF)));
    return double(sum) / double(a.Pixels().size() * 3);
}

std::string ScratchPath(const std::string& name)
{
    return "scratch-" + std::to_string(QOV_GETPID()) + "-" + name;
}

} // namespace qov::test
