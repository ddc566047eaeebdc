// Playing recordings in tests (Windows only).
#ifdef _WIN32
#include "PlaybackHarness.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "EngineResources.h"
#include "PayloadCodecs.h"
#include "SourceTestSupport.h"
#include "SysUtils.h"
#include "UnitShare.h"

namespace qov::test {

using writer::Bytes;

// ---------------------------------------------------------------------------
// Fake clock

namespace {
std::atomic<DWORD> gFakeNow{0};
}

DWORD FakeClock()
{
    return gFakeNow.load();
}

void SetFakeTime(DWORD now)
{
    gFakeNow.store(now);
}

void AdvanceFakeTime(DWORD ms)
{
    gFakeNow.fetch_add(ms);
}

// ---------------------------------------------------------------------------
// Reference decoding

namespace {

struct TJpegFailure {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

void JpegFail(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<TJpegFailure*>(info->err)->Jump, 1);
}

void JpegQuiet(j_common_ptr) {}

// Scanlines of a JPEG as R,G,B rows, decoded with the fast integer DCT (the
// player's setting); false when the library fails.
bool DecodeJpegRows(const uint8_t* data, size_t size, std::vector<uint8_t>& rgb, int& width, int& height)
{
    jpeg_decompress_struct info;
    TJpegFailure failure;
    info.err = jpeg_std_error(&failure.Manager);
    failure.Manager.error_exit = JpegFail;
    failure.Manager.output_message = JpegQuiet;
    if (setjmp(failure.Jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.dct_method = JDCT_IFAST;
    info.do_block_smoothing = TRUE;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = int(info.output_width);
    height = int(info.output_height);
    rgb.assign(size_t(width) * size_t(height) * 3, 0);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = rgb.data() + size_t(info.output_scanline) * size_t(width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

Bytes ReferenceImage(const FrameHeader& header, const uint8_t* payload)
{
    if (header.Length == 0 || payload == nullptr)
        return {};
    const Bytes data(payload, payload + header.Length);
    switch (header.Compression) {
    case ctStored:
        return data;
    case ctJPEG: {
        std::vector<uint8_t> rgb;
        int width = 0, height = 0;
        std::vector<uint8_t> copy = data;  // the library may not read past its input
        if (!DecodeJpegRows(copy.data(), copy.size(), rgb, width, height))
            throw std::runtime_error("damaged JPEG");
        // Recorded upside down: the last scanline is the top row on screen.
        return writer::MakeBmp(width, height, 24, [&](int x, int y) {
            const uint8_t* p = rgb.data() + (size_t(height - 1 - y) * size_t(width) + size_t(x)) * 3;
            return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        });
    }
    case ctLZO1X:
        return DecompressLzo(data, 0xA00000);
    case ctZlib:
        return InflateZlib(data);
    default:
        throw std::runtime_error("unknown compression");
    }
}

writer::TRecordingWriter AllKindsRecording()
{
    using writer::TPicture;
    constexpr int W = 320, H = 240;
    writer::TRecordingWriter w(W, H, kVersion0101);
    const TPicture screen1 = writer::MakeScreenPicture(W, H, 1);
    const TPicture screen2 = writer::MakeScreenPicture(W, H, 2);
    const TPicture screen3 = writer::MakeScreenPicture(W, H, 3);
    const TPicture screen4 = writer::MakeScreenPicture(W, H, 4);
    auto piece = [](const TPicture& from, int left, int top, int width, int height) {
        return from.Crop(left, top, width, height);
    };

    // Group 0 (zlib key frame).
    w.AddKeyFrame(0, screen1, ctZlib, 100, 80);
    w.AddCursorShape(0, 100, 80, writer::MakeArrowCursor(32), ctStored);
    w.AddCopyRect(100, 10, 10, piece(screen2, 10, 10, 60, 40), ctStored);
    w.AddXorRect(200, 50, 60, piece(screen3, 0, 0, 80, 50), ctLZO1X);
    w.AddCursorMove(300, 150, 100);
    w.AddCopyRect(400, 120, 30, piece(screen4, 120, 30, 64, 48), ctJPEG);
    w.AddXorRect(500, 0, 0, piece(screen2, 5, 5, 90, 70), ctZlib, 200, 150);
    w.AddMarker(600);
    w.AddCursorShape(700, 40, 40, writer::MakeBeamCursor(32), ctZlib);
    w.AddCopyRect(800, 30, 30, piece(screen3, 30, 30, 50, 50), ctLZO1X);  // under the cursor
    // Group 1 (JPEG key frame).
    w.AddKeyFrame(1000, screen2, ctJPEG);
    w.AddXorRect(1100, 200, 120, piece(screen1, 0, 0, 70, 60), ctStored, 210, 130);
    w.AddCursorHide(1200);
    w.AddCopyRect(1300, 100, 100, piece(screen1, 100, 100, 120, 80), ctZlib);
    w.AddCursorMove(1400, 60, 60);
    w.AddXorRect(1500, 40, 40, piece(screen4, 40, 40, 48, 40), ctJPEG);
    // Group 2 (stored key frame), with other bit depths and row orders.
    w.AddKeyFrame(2000, screen3, ctStored, 20, 200);
    writer::TPayloadStyle style;
    style.Bits = 32;
    style.TopDown = true;
    w.SetPayloadStyle(style);
    w.AddCopyRect(2100, 250, 10, piece(screen1, 250, 10, 60, 90), ctStored);
    style.Bits = 8;
    style.TopDown = false;
    w.SetPayloadStyle(style);
    w.AddXorRect(2200, 0, 150, piece(screen2, 0, 150, 100, 60), ctLZO1X);
    w.SetPayloadStyle(writer::TPayloadStyle{});
    w.AddCursorMove(2300, 280, 220);
    w.AddMarker(2400);
    // Group 3 (LZO1X key frame).
    w.AddKeyFrame(3000, screen4, ctLZO1X);
    w.AddCopyRect(3100, 0, 0, piece(screen1, 0, 0, 40, 40), ctStored, 90, 90);
    w.AddXorRect(3200, 60, 60, piece(screen2, 10, 10, 100, 30), ctZlib);
    w.AddCursorShape(3300, 150, 150, writer::MakeArrowCursor(24), ctLZO1X);
    w.AddCursorMove(3400, 160, 120);
    w.AddCopyRect(3500, 140, 110, piece(screen3, 140, 110, 64, 32), ctJPEG);
    return w;
}

RefRect PaintRect(const TRecordedMessage& paint)
{
    const uint32_t w = static_cast<uint32_t>(paint.WParam);
    const uint32_t l = static_cast<uint32_t>(paint.LParam);
    return RefRect{int(w >> 16), int(w & 0xFFFF), int(l >> 16), int(l & 0xFFFF)};
}

// ---------------------------------------------------------------------------
// TPaintWindow

namespace {
constexpr UINT kSyncMessage = WM_USER + 200;
} // namespace

TPaintWindow::TPaintWindow()
    : FWindow([this](UINT msg, WPARAM wParam, LPARAM lParam) { return Serve(msg, wParam, lParam); })
{
}

TPaintWindow::~TPaintWindow() = default;

void TPaintWindow::Attach(TBackBuffer* buffer)
{
    std::lock_guard<std::mutex> lock(FLock);
    FBuffer = buffer;
    FScreen.assign(buffer ? size_t(buffer->Stride()) * size_t(buffer->Height()) : 0, 0);
}

void TPaintWindow::CopyPainted(const RefRect& r)
{
    std::lock_guard<std::mutex> lock(FLock);
    if (!FBuffer)
        return;
    FBuffer->Lock();
    const int left = std::max(r.Left, 0), top = std::max(r.Top, 0);
    const int right = std::min(r.Right, FBuffer->Width()), bottom = std::min(r.Bottom, FBuffer->Height());
    for (int y = top; y < bottom && left < right; ++y) {
        const size_t at = size_t(y) * size_t(FBuffer->Stride()) + size_t(left) * 3;
        std::memcpy(FScreen.data() + at, FBuffer->Bits() + at, size_t(right - left) * 3);
    }
    FBuffer->Unlock();
}

void TPaintWindow::Sync()
{
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (PostMessageA(FWindow.Handle(), kSyncMessage, 0, reinterpret_cast<LPARAM>(done)))
        WaitForSingleObject(done, 10000);
    CloseHandle(done);
}

std::string TPaintWindow::CompareScreen()
{
    Sync();
    std::lock_guard<std::mutex> lock(FLock);
    if (!FBuffer)
        return "no back buffer";
    FBuffer->Lock();
    std::string result;
    const int stride = FBuffer->Stride();
    int firstX = -1, firstY = -1, count = 0;
    RefRect box{INT32_MAX, INT32_MAX, -1, -1};
    for (int y = 0; y < FBuffer->Height(); ++y) {
        const uint8_t* a = FScreen.data() + size_t(y) * size_t(stride);
        const uint8_t* b = FBuffer->Bits() + size_t(y) * size_t(stride);
        if (std::memcmp(a, b, size_t(FBuffer->Width()) * 3) == 0)
            continue;
        for (int x = 0; x < FBuffer->Width(); ++x) {
            if (std::memcmp(a + x * 3, b + x * 3, 3) != 0) {
                if (firstX < 0) {
                    firstX = x;
                    firstY = y;
                }
                ++count;
                box = RefRect{std::min(box.Left, x), std::min(box.Top, y), std::max(box.Right, x + 1),
                              std::max(box.Bottom, y + 1)};
            }
        }
    }
    FBuffer->Unlock();
    if (count > 0)
        result = Format("%d pixels changed without a paint, first at (%d, %d), within %s", count, firstX, firstY,
                        ToString(box).c_str());
    return result;
}

bool TPaintWindow::Serve(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == kSyncMessage) {
        SetEvent(reinterpret_cast<HANDLE>(lParam));
        return true;
    }
    if (msg == WM_ENGINE_PAINT)
        CopyPainted(PaintRect(TRecordedMessage{msg, wParam, lParam, 0}));
    return false;
}

// ---------------------------------------------------------------------------
// TReferencePlayer

TReferencePlayer::TReferencePlayer(const Bytes& file)
    : FRecording(ReadRecording(file)),
      FRenderer(FRecording.Header.Width, FRecording.Header.Height, LoadDefaultCursor())
{
    if (FRecording.Code != ecNone)
        throw std::runtime_error("the reference cannot read the recording");
}

size_t TReferencePlayer::LastAtOrBefore(uint32_t time) const
{
    size_t found = 0;
    for (size_t i = 0; i < Count(); ++i)
        if (Header(i).Time <= time)
            found = i;
    return found;
}

size_t TReferencePlayer::Find(uint32_t time, int16_t kind) const
{
    for (size_t i = 0; i < Count(); ++i)
        if (Header(i).Time == time && Header(i).Kind == kind)
            return i;
    throw std::runtime_error(Format("no record of kind %d at %u", int(kind), time));
}

const Bytes& TReferencePlayer::Image(size_t i)
{
    auto it = FImages.find(i);
    if (it == FImages.end()) {
        const TReadRecord& r = FRecording.Frames.at(i);
        it = FImages.emplace(i, ReferenceImage(r.Header, r.Payload.data())).first;
    }
    return it->second;
}

void TReferencePlayer::Draw(size_t i)
{
    const FrameHeader& h = Header(i);
    if (h.Kind != fkXorRect && h.Kind != fkKeyFrame && h.Kind != fkCopyRect && h.Kind != fkCursor)
        return;
    try {
        if (h.Length == 0 && h.Kind != fkCursor)
            return;
        const Bytes& image = Image(i);
        FRenderer.DrawFrame(h, image.empty() ? nullptr : image.data(), image.size());
    } catch (const std::exception&) {
        // A payload that does not decode to a picture is not drawn.
    }
}

void TReferencePlayer::Play(size_t from, size_t to)
{
    for (size_t i = from; i <= to && i < Count(); ++i)
        Draw(i);
}

void TReferencePlayer::Show(size_t from, size_t to)
{
    for (size_t i = from; i <= to && i < Count(); ++i) {
        const FrameHeader& h = Header(i);
        if (h.Kind == fkCursor && h.Length == 0)
            continue;
        Draw(i);
    }
}

std::string TReferencePlayer::Compare(TBackBuffer& buffer)
{
    buffer.Lock();
    const std::string diff = FRenderer.Compare(buffer.Bits(), buffer.Stride());
    buffer.Unlock();
    return diff;
}

// ---------------------------------------------------------------------------
// TPlaybackRig

TPlaybackRig::TPlaybackRig()
{
    InitDecoder();
    Context.Frames = &Frames;
    Context.KeyFrames = &KeyFrames;
    Context.Index = &Index;
    Context.Window = Window.Handle();
}

TPlaybackRig::~TPlaybackRig()
{
    Close();
    UninitDecoder();
}

int TPlaybackRig::Open(const std::string& path, TPlayThread::TClock clock, bool keyCache,
                       std::unique_ptr<TReadThread> source)
{
    Source = source ? std::move(source) : std::make_unique<TFileThread>(&Context);
    Context.Reader = Source.get();
    Window.Messages().Clear();
    Source->Open(path);
    auto answer = Window.Messages().WaitAny(10000);
    if (!answer)
        return -1;
    if (answer->Msg != WM_ENGINE_OPENED)
        return answer->Msg == WM_ENGINE_STATUS ? int(answer->WParam) : -2;
    if (answer->WParam != 0)
        return int(answer->WParam);
    Window.Messages().Clear();
    CreatePlayer(clock, keyCache);
    return 0;
}

void TPlaybackRig::CreatePlayer(TPlayThread::TClock clock, bool keyCache)
{
    Player = std::make_unique<TPlayThread>(&Context, clock);
    Player->SetKeyCacheOn(keyCache);
    Context.Player = Player.get();
    Window.Attach(&Player->BackBuffer());
}

void TPlaybackRig::Close()
{
    if (Player) {
        Window.Sync();
        Window.Attach(nullptr);
        Context.Player = nullptr;
        Player.reset();
    }
    Source.reset();
    Context.Reader = nullptr;
    Frames.Clear();
    KeyFrames.Clear();
    Index.Clear();
}

bool TPlaybackRig::WaitCurrentIndex(int32_t index, DWORD timeoutMs)
{
    return WaitUntil([&] { return Frames.CurrentIndex() == index; }, timeoutMs);
}

bool TPlaybackRig::WaitQuiet(DWORD quietMs, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const auto paints = Window.Messages().Of(WM_ENGINE_PAINT);
        const DWORD last = paints.empty() ? start : paints.back().Tick;
        const DWORD now = GetTickCount();
        if (now - last >= quietMs && now - start >= quietMs)
            return true;
        if (now - start >= timeoutMs)
            return false;
        Sleep(10);
    }
}

void TPlaybackRig::PlayFastest()
{
    Player->Play();
    for (int i = 0; i < 5; ++i)
        Player->Faster();
    WaitUntil([&] { return Player->Speed() == kMaxPlaySpeed && Player->State() == psPlaying; }, 5000);
    Sleep(30);  // the last loop has read its starting time
}

} // namespace qov::test
#endif
