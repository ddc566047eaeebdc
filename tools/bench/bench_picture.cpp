// bench_picture: the control's paint path from an engine message to the
// screen.
//
//   bench_picture [--rounds N]
//
// Message to screen: a 20 x 20 change of a 1920 x 1080 back buffer posted as
// WM_ENGINE_PAINT to a window on this thread, whose handler merges the queue,
// repaints the change into the picture (scaled at zoom 50 in a 960 x 540
// adaptive frame, copied 1:1 in original size) and updates the frame on
// screen. Both modes alternate for N rounds on the same pixels; the figures
// are medians. Goal: adaptive costs at most twice original.
// Paint handler against rendering: the play thread renders 300 rectangle
// records (every one due at once) into its back buffer while this thread's
// handler paints what it reports in adaptive mode; milliseconds per rendered
// frame against milliseconds per handled notification (merging makes fewer
// notifications than frames when the handler falls behind).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../control/UnitTop.cpp"
#include "BenchArch.h"
#include "BenchSupport.h"
#include "FrameStore.h"
#include "PlayThread.h"
#include "QovFormat.h"
#include "QovWriter.h"
#include "UnitQovCore.h"
#include "UnitShare.h"

using namespace qov;
using qov::bench::NowMs;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The control's form with its picture frame: the form serves engine paints.
struct TBenchForm {
    HWND Form = nullptr;
    TDetailFrame* Frame = nullptr;
    TBackBuffer* Buffer = nullptr;
    double HandlerMs = 0;
    int Handled = 0;

    static LRESULT CALLBACK FormProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* self = reinterpret_cast<TBenchForm*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (self && msg == WM_ENGINE_PAINT && self->Buffer) {
            const double start = NowMs();
            const TPixelRect dirty = MergeQueuedPaints(w, DirtyRectFromParams(wp, lp));
            PaintPicture(*self->Buffer, self->Frame->Mode(), dirty, self->Frame->Zoom(), self->Frame->imgPic,
                         self->Frame->Handle());
            UpdateWindow(self->Frame->Handle());
            self->HandlerMs += NowMs() - start;
            ++self->Handled;
            return 0;
        }
        return DefWindowProcA(w, msg, wp, lp);
    }
    static LRESULT CALLBACK FrameProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* frame = reinterpret_cast<TDetailFrame*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        LRESULT result = 0;
        if (frame && frame->Message(msg, wp, lp, result))
            return result;
        return DefWindowProcA(w, msg, wp, lp);
    }

    TBenchForm(int width, int height)
    {
        WNDCLASSA wc{};
        wc.lpfnWndProc = FormProc;
        wc.lpszClassName = "BenchPictureForm";
        RegisterClassA(&wc);
        wc.lpfnWndProc = FrameProc;
        wc.lpszClassName = "BenchPictureFrame";
        RegisterClassA(&wc);
        Form = CreateWindowExA(WS_EX_TOPMOST, "BenchPictureForm", "", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                               width, height, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrA(Form, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        HWND frame = CreateWindowExA(0, "BenchPictureFrame", "", WS_CHILD | WS_VISIBLE, 0, 0, width, height, Form,
                                     nullptr, nullptr, nullptr);
        Frame = new TDetailFrame(frame);
        SetWindowLongPtrA(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Frame));
    }
    ~TBenchForm()
    {
        SetWindowLongPtrA(Frame->Handle(), GWLP_USERDATA, 0);
        DestroyWindow(Form);
        delete Frame;
    }
    void Serve()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
};

void FillPattern(TBackBuffer& buffer)
{
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = buffer.Bits() + y * buffer.Stride() + x * 3;
            p[0] = uint8_t(x * 7 + y);
            p[1] = uint8_t(y * 5 + (x >> 2));
            p[2] = uint8_t(x ^ y);
        }
}

// Milliseconds from posting one 20 x 20 change to the frame updated on screen.
double MessageToScreen(TBenchForm& form, int changes)
{
    const double start = NowMs();
    for (int i = 0; i < changes; ++i) {
        const int left = 37 + (i * 211) % (kWidth - 80), top = 23 + (i * 127) % (kHeight - 60);
        PostMessageA(form.Form, WM_ENGINE_PAINT, WPARAM(MAKELONG(top, left)), LPARAM(MAKELONG(top + 20, left + 20)));
        form.Serve();
    }
    return (NowMs() - start) / changes;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void CompareModes(int rounds)
{
    TBackBuffer buffer;
    buffer.SetSize(kWidth, kHeight);
    FillPattern(buffer);
    TBenchForm adaptive(960, 540), original(960, 540);
    adaptive.Buffer = original.Buffer = &buffer;
    adaptive.Frame->SetPictureSize(kWidth, kHeight, display::dmAdaptive);
    original.Frame->SetPictureSize(kWidth, kHeight, display::dmOriginal);
    std::vector<double> a, o;
    for (int r = 0; r < rounds; ++r) {
        a.push_back(MessageToScreen(adaptive, 200));
        o.push_back(MessageToScreen(original, 200));
    }
    const double ma = Median(a), mo = Median(o);
    std::printf("message to screen, 20 x 20 change of %d x %d (median of %d rounds of 200)\n", kWidth, kHeight,
                rounds);
    std::printf("  adaptive, zoom %d: %8.3f ms\n  original:          %8.3f ms\n  ratio:             %8.2f%s\n",
                adaptive.Frame->Zoom(), ma, mo, ma / mo, ma / mo <= 2.0 ? "" : "  (goal: at most 2)");
}

void HandlerAgainstRendering()
{
    TBenchForm form(960, 540);
    TFramesBuffer frames;
    TKeyFramesBuffer keys;
    TIndexTable index;
    PlaybackContext context;
    context.Frames = &frames;
    context.KeyFrames = &keys;
    context.Index = &index;
    context.Window = form.Form;
    context.Header.Width = kWidth;
    context.Header.Height = kHeight;
    auto add = [&](const FrameHeader& header, const writer::Bytes& payload) {
        TFrameRecordPtr block = AllocFrameRecord(header.Length);
        std::memcpy(block.get(), &header, sizeof header);
        std::memcpy(block.get() + kFrameHeaderSize, payload.data(), payload.size());
        frames.AddFrame(std::move(block));
    };
    const writer::TPicture screen = writer::MakeScreenPicture(kWidth, kHeight, 7);
    const writer::Bytes key = writer::EncodePicture(screen, ctZlib);
    add(writer::MakeFrameHeader(0, fkKeyFrame, ctZlib, 0, 0, uint32_t(key.size())), key);
    index.AddEntry(0, false, 0);
    constexpr int kFrames = 300;
    std::vector<writer::Bytes> pool;
    for (int i = 0; i < 12; ++i)
        pool.push_back(writer::EncodePicture(screen.Crop(200 + 97 * i, 100 + 61 * i, 192, 108), ctJPEG));
    for (int i = 0; i < kFrames; ++i) {
        const writer::Bytes& payload = pool[size_t(i) % pool.size()];
        const uint16_t left = uint16_t(50 + (i * 131) % (kWidth - 300));
        const uint16_t top = uint16_t(40 + (i * 71) % (kHeight - 200));
        add(writer::MakeFrameHeader(0, fkCopyRect, ctJPEG, left, top, uint32_t(payload.size())), payload);
    }

    TPlayThread player(&context);
    context.Player = &player;
    player.SetKeyCacheOn(false);
    form.Buffer = &player.BackBuffer();
    form.Frame->SetPictureSource(context, display::dmAdaptive);
    const double start = NowMs();
    player.Play();
    while (player.Rendered() < uint32_t(kFrames + 1) && NowMs() - start < 120000) {
        form.Serve();
        Sleep(0);
    }
    const double renderMs = (NowMs() - start) / double(player.Rendered());
    for (int i = 0; i < 20; ++i, Sleep(5))
        form.Serve();
    player.Pause();
    context.Player = nullptr;
    std::printf("paint handler against rendering (%d rectangles of 192 x 108 at %d x %d, adaptive zoom %d)\n",
                kFrames, kWidth, kHeight, form.Frame->Zoom());
    std::printf("  play thread: %8.3f ms per rendered frame (%u frames)\n", renderMs, unsigned(player.Rendered()));
    std::printf("  handler:     %8.3f ms per notification (%d notifications, %.3f ms per frame)\n",
                form.HandlerMs / std::max(form.Handled, 1), form.Handled,
                form.HandlerMs / double(player.Rendered()));
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 9;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    qov::bench::PrintArchitecture("bench_picture");
    InitDecoder();
    CompareModes(rounds);
    HandlerAgainstRendering();
    UninitDecoder();
    return 0;
}
