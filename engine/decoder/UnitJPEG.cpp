#include "UnitJPEG.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace qov {

uint32_t TCustomMemoryStream::Read(void* buffer, uint32_t count)
{
    const uint8_t* data = nullptr;
    count = Take(&data, count);
    if (count)
        std::memcpy(buffer, data, count);
    return count;
}

uint32_t TCustomMemoryStream::Take(const uint8_t** data, uint32_t count)
{
    const uint32_t left = FSize - FPosition;
    if (count > left)
        count = left;
    *data = FMemory ? FMemory + FPosition : nullptr;
    FPosition += count;
    return count;
}

namespace {

// libjpeg's fatal errors come back here through longjmp: the library is C
// code, so no C++ exception may pass through its frames. The frame that
// called setjmp destroys the decompressor and raises EJPEG.
struct TJpegErrorManager {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

void JpegErrorExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<TJpegErrorManager*>(cinfo->err)->Jump, 1);
}

// Warnings and trace messages are dropped.
void JpegOutputMessage(j_common_ptr) {}
void JpegEmitMessage(j_common_ptr, int) {}
void JpegFormatMessage(j_common_ptr, char*) {}

void JpegResetErrorMgr(j_common_ptr cinfo)
{
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

void JpegProgress(j_common_ptr) {}

// Source manager over a TCustomMemoryStream: hands libjpeg the stream's bytes
// in place. At the end of the data an empty stream is an error; otherwise a
// warning is raised (and dropped) and an end-of-image marker is supplied, so
// truncated entropy data decodes as far as it goes.
struct TStreamSource {
    jpeg_source_mgr Pub;
    TCustomMemoryStream* Stream;
    bool StartOfFile;
};

const JOCTET kFakeEOI[2] = {0xFF, JPEG_EOI};

void SourceInit(j_decompress_ptr cinfo)
{
    reinterpret_cast<TStreamSource*>(cinfo->src)->StartOfFile = true;
}

boolean SourceFill(j_decompress_ptr cinfo)
{
    auto* src = reinterpret_cast<TStreamSource*>(cinfo->src);
    const uint8_t* data = nullptr;
    uint32_t count = src->Stream->Take(&data, src->Stream->Size());
    if (count == 0) {
        if (src->StartOfFile)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        data = kFakeEOI;
        count = sizeof(kFakeEOI);
    }
    src->Pub.next_input_byte = data;
    src->Pub.bytes_in_buffer = count;
    src->StartOfFile = false;
    return TRUE;
}

void SourceSkip(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr* src = cinfo->src;
    if (count <= 0)
        return;
    while (static_cast<unsigned long>(count) > src->bytes_in_buffer) {
        count -= static_cast<long>(src->bytes_in_buffer);
        SourceFill(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

void SourceTerm(j_decompress_ptr) {}

// Everything one decompressor needs; plain C structures, so a longjmp over
// the frames that use them skips no destructor.
struct TJpegSession {
    jpeg_decompress_struct Info;
    TJpegErrorManager Error;
    TStreamSource Source;
    jpeg_progress_mgr Progress;
};

void PrepareSession(TJpegSession& s, TCustomMemoryStream& stream)
{
    std::memset(&s, 0, sizeof(s));
    jpeg_std_error(&s.Error.Pub);
    s.Error.Pub.error_exit = JpegErrorExit;
    s.Error.Pub.output_message = JpegOutputMessage;
    s.Error.Pub.emit_message = JpegEmitMessage;
    s.Error.Pub.format_message = JpegFormatMessage;
    s.Error.Pub.reset_error_mgr = JpegResetErrorMgr;
    s.Info.err = &s.Error.Pub;

    s.Source.Pub.init_source = SourceInit;
    s.Source.Pub.fill_input_buffer = SourceFill;
    s.Source.Pub.skip_input_data = SourceSkip;
    s.Source.Pub.resync_to_restart = jpeg_resync_to_restart;
    s.Source.Pub.term_source = SourceTerm;
    s.Source.Stream = &stream;

    s.Progress.progress_monitor = JpegProgress;
}

// Called after jpeg_create_decompress, which clears everything but the error
// manager.
void AttachSession(TJpegSession& s)
{
    s.Info.src = &s.Source.Pub;
    s.Info.progress = &s.Progress;
}

[[noreturn]] void RaiseJpegError(TJpegSession& s)
{
    const int code = s.Error.Pub.msg_code;
    jpeg_destroy_decompress(&s.Info);
    throw EJPEG(Format("JPEG error #%d", code));
}

void ReadHeaderInto(TJpegSession& s, JpegHeaderInfo& info)
{
    jpeg_create_decompress(&s.Info);
    AttachSession(s);
    jpeg_read_header(&s.Info, TRUE);
    info.Width = s.Info.image_width;
    info.Height = s.Info.image_height;
    info.Components = s.Info.num_components;
    jpeg_destroy_decompress(&s.Info);
}

void DecodeInto(TJpegSession& s, uint8_t* firstRow, uint32_t rowStep, uint32_t width, uint32_t height)
{
    j_decompress_ptr cinfo = &s.Info;
    jpeg_create_decompress(cinfo);
    AttachSession(s);
    jpeg_read_header(cinfo, TRUE);
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
    cinfo->dct_method = JDCT_IFAST;
    cinfo->do_block_smoothing = TRUE;
    cinfo->dither_mode = JDITHER_ORDERED;
    cinfo->two_pass_quantize = FALSE;
    cinfo->quantize_colors = FALSE;
    // B,G,R for colour and grayscale streams alike; streams that cannot be
    // converted (CMYK, YCCK, unknown) fail in jpeg_start_decompress.
    cinfo->out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != 3)
        ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    if (cinfo->output_width != width || cinfo->output_height != height || rowStep < 3 * width)
        ERREXIT(cinfo, JERR_IMAGE_TOO_BIG);
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = firstRow - static_cast<size_t>(cinfo->output_scanline) * rowStep;
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1)
            ERREXIT(cinfo, JERR_INPUT_EOF);
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
}

} // namespace

JpegHeaderInfo ReadJpegHeader(TCustomMemoryStream& stream)
{
    TJpegSession s;
    JpegHeaderInfo info;
    PrepareSession(s, stream);
    if (setjmp(s.Error.Jump))
        RaiseJpegError(s);
    ReadHeaderInto(s, info);
    return info;
}

void DecodeJpegToDib(TCustomMemoryStream& stream, uint8_t* firstRow, uint32_t rowStep, uint32_t width,
                     uint32_t height)
{
    TJpegSession s;
    PrepareSession(s, stream);
    if (setjmp(s.Error.Jump))
        RaiseJpegError(s);
    DecodeInto(s, firstRow, rowStep, width, height);
}

} // namespace qov
