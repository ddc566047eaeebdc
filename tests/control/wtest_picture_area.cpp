// The picture frame, the paint path and the full-screen window, hosted
// directly (they are built into the control library as well); pixels are read
// back from the windows on the test screen.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../control/UnitFull.cpp"
#include "../../control/UnitTop.cpp"
#include "ControlWindows.h"
#include "QovFormat.h"
#include "UnitBackBuffer.h"
#include "UnitQovCore.h"

using namespace qov;

namespace {

constexpr COLORREF kFrameColor = RGB(255, 255, 255);

void Pump()
{
    MSG msg;
    for (int i = 0; i < 3; ++i) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(10);
    }
}

// Position of a scroll bar of the picture frame, read as the frame keeps it.
int ScrollPos(HWND frame, int bar)
{
    SCROLLINFO si{sizeof si, SIF_POS, 0, 0, 0, 0, 0};
    return GetFrameScrollInfo(frame, bar, si) ? si.nPos : -1;
}

// A host window with the picture frame as its child, as the control has it.
struct TFrameHost {
    HWND Parent = nullptr;
    std::unique_ptr<TDetailFrame> Frame;

    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* frame = reinterpret_cast<TDetailFrame*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        LRESULT result = 0;
        if (frame && msg == WM_ERASEBKGND) {
            RECT r;
            GetClientRect(w, &r);
            HBRUSH brush = CreateSolidBrush(kFrameColor);
            FillRect(reinterpret_cast<HDC>(wp), &r, brush);
            DeleteObject(brush);
            return 1;
        }
        if (frame && msg == WM_SIZE)
            frame->FrameResize();
        if (frame && frame->Message(msg, wp, lp, result))
            return result;
        return DefWindowProcA(w, msg, wp, lp);
    }

    TFrameHost(int width, int height)
    {
        static std::once_flag once;
        std::call_once(once, [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = DefWindowProcA;
            wc.lpszClassName = "PictureTestParent";
            wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
            RegisterClassA(&wc);
            wc.style = CS_DBLCLKS;
            wc.lpfnWndProc = Proc;
            wc.lpszClassName = "PictureTestFrame";
            RegisterClassA(&wc);
        });
        Parent = CreateWindowExA(WS_EX_TOPMOST, "PictureTestParent", "", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                                 0, width, height, nullptr, nullptr, nullptr, nullptr);
        HWND frame = CreateWindowExA(0, "PictureTestFrame", "", WS_CHILD | WS_VISIBLE, 0, 0, width, height, Parent,
                                     nullptr, nullptr, nullptr);
        Frame = std::make_unique<TDetailFrame>(frame);
        SetWindowLongPtrA(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Frame.get()));
    }
    ~TFrameHost()
    {
        SetWindowLongPtrA(Frame->Handle(), GWLP_USERDATA, 0);
        DestroyWindow(Parent);
    }
};

std::vector<uint8_t> ReadPixels(HWND window, int left, int top, int width, int height)
{
    Pump();
    return qov::test::ReadWindowPixels(window, left, top, width, height);
}

COLORREF PixelAt(HWND window, int x, int y)
{
    auto p = ReadPixels(window, x, y, 1, 1);
    return RGB(p[2], p[1], p[0]);
}

// A back buffer with a picture that changes in every pixel and channel.
void FillPattern(TBackBuffer& buffer, int width, int height, int seed = 0)
{
    buffer.SetSize(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = buffer.Bits() + y * buffer.Stride() + x * 3;
            p[0] = static_cast<uint8_t>(x * 7 + y + seed);
            p[1] = static_cast<uint8_t>(y * 5 + (x >> 2));
            p[2] = static_cast<uint8_t>((x ^ y) + seed * 3);
        }
}

std::vector<uint8_t> BufferRect(TBackBuffer& buffer, int left, int top, int width, int height)
{
    std::vector<uint8_t> out;
    for (int y = top; y < top + height; ++y) {
        const uint8_t* row = buffer.Bits() + y * buffer.Stride() + left * 3;
        out.insert(out.end(), row, row + width * 3);
    }
    return out;
}

// The whole back buffer scaled as one block.
std::vector<uint8_t> ExpectedScaled(TBackBuffer& buffer, int dw, int dh)
{
    return qov::test::BilinearReference(buffer.Width(), buffer.Height(), dw, dh, [&](int64_t x, int64_t y, int b) {
        return int64_t{buffer.Bits()[y * buffer.Stride() + x * 3 + b]};
    });
}

TPixelRect All(TBackBuffer& b)
{
    return {0, 0, b.Width(), b.Height()};
}

RECT UpdateRect(HWND window)
{
    RECT r{};
    GetUpdateRect(window, &r, FALSE);
    return r;
}

} // namespace

TEST(PictureArea, AdaptiveScalesIntoTheCentredImage)
{
    TFrameHost host(512, 600);
    HWND frame = host.Frame->Handle();
    host.Frame->SetPictureSize(1024, 768, display::dmAdaptive);
    EXPECT_EQ(host.Frame->Zoom(), 50);
    // Before the first frame: solid blue, the frame's colour around it.
    EXPECT_EQ(PixelAt(frame, 0, 107), kFrameColor);
    EXPECT_EQ(PixelAt(frame, 0, 108), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(frame, 511, 491), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(frame, 511, 492), kFrameColor);

    TBackBuffer buffer;
    FillPattern(buffer, 1024, 768);
    EXPECT_FALSE(PaintPicture(buffer, display::dmAdaptive, TPixelRect{}, 50, host.Frame->imgPic, frame));
    ASSERT_TRUE(PaintPicture(buffer, display::dmAdaptive, All(buffer), 50, host.Frame->imgPic, frame));
    EXPECT_TRUE(ReadPixels(frame, 0, 108, 512, 384) == ExpectedScaled(buffer, 512, 384));

    // A small change repaints its whole 100-pixel block and nothing more.
    ValidateRect(frame, nullptr);
    ASSERT_TRUE(PaintPicture(buffer, display::dmAdaptive, {130, 40, 150, 60}, 50, host.Frame->imgPic, frame));
    const RECT r = UpdateRect(frame);
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.top, 108);
    EXPECT_EQ(r.right, 100);
    EXPECT_EQ(r.bottom, 158);
    // Stale rectangles beyond the back buffer are clipped or ignored.
    ValidateRect(frame, nullptr);
    EXPECT_FALSE(PaintPicture(buffer, display::dmAdaptive, {2000, 0, 3000, 10}, 50, host.Frame->imgPic, frame));
    EXPECT_FALSE(PaintPicture(buffer, display::dmAdaptive, {60, 60, 10, 10}, 50, host.Frame->imgPic, frame));
    EXPECT_EQ(UpdateRect(frame).right, 0);
}

TEST(PictureArea, OriginalSizeCentresOrScrolls)
{
    TFrameHost host(512, 600);
    HWND frame = host.Frame->Handle();
    TBackBuffer buffer;
    FillPattern(buffer, 320, 240, 9);
    host.Frame->SetPictureSize(320, 240, display::dmOriginal);
    ASSERT_TRUE(PaintPicture(buffer, display::dmOriginal, All(buffer), 1, host.Frame->imgPic, frame));
    EXPECT_TRUE(ReadPixels(frame, 96, 180, 320, 240) == BufferRect(buffer, 0, 0, 320, 240));
    EXPECT_EQ(PixelAt(frame, 95, 180), kFrameColor);
    EXPECT_EQ(PixelAt(frame, 96, 420), kFrameColor);

    FillPattern(buffer, 1000, 800, 4);
    host.Frame->SetPictureSize(1000, 800, display::dmOriginal);
    ASSERT_TRUE(PaintPicture(buffer, display::dmOriginal, All(buffer), 1, host.Frame->imgPic, frame));
    EXPECT_EQ(host.Frame->imgPic.Left, 0);
    EXPECT_EQ(host.Frame->imgPic.Top, 0);
    const LONG style = GetWindowLongA(frame, GWL_STYLE);
    EXPECT_TRUE((style & WS_HSCROLL) && (style & WS_VSCROLL));
    EXPECT_TRUE(ReadPixels(frame, 0, 0, 100, 100) == BufferRect(buffer, 0, 0, 100, 100));
    // One step right is 27 pixels; the end shows the picture's last column.
    SendMessageA(frame, WM_HSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(ScrollPos(frame, SB_HORZ), 27);
    EXPECT_TRUE(ReadPixels(frame, 0, 0, 100, 100) == BufferRect(buffer, 27, 0, 100, 100));
    SendMessageA(frame, WM_HSCROLL, SB_BOTTOM, 0);
    RECT client;
    GetClientRect(frame, &client);
    EXPECT_EQ(ScrollPos(frame, SB_HORZ), 1000 - client.right);
    EXPECT_EQ(host.Frame->imgPic.Left + 1000, client.right);
    EXPECT_TRUE(ReadPixels(frame, client.right - 10, 0, 10, 10) == BufferRect(buffer, 990, 0, 10, 10));
    SendMessageA(frame, WM_VSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(ScrollPos(frame, SB_VERT), 8);

    // A new layout puts both bars back to 0.
    host.Frame->SetPictureSize(1000, 801, display::dmOriginal);
    SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
    ASSERT_TRUE(GetFrameScrollInfo(frame, SB_VERT, si));
    EXPECT_EQ(si.nPos, 0);
    EXPECT_EQ(si.nMax, 800);
    EXPECT_EQ(ScrollPos(frame, SB_HORZ), 0);
    EXPECT_EQ(host.Frame->imgPic.Left, 0);
}

TEST(PictureArea, QueuedPaintsMergeAndDoubleClickAsksForFullScreen)
{
    TFrameHost host(200, 200);
    for (int i = 0; i < 50; ++i)
        PostMessageA(host.Parent, WM_ENGINE_PAINT, MAKELONG(10 + i, 5 + i), MAKELONG(20 + i, 30 + 2 * i));
    const TPixelRect merged = MergeQueuedPaints(host.Parent, TPixelRect{100, 0, 101, 1});
    EXPECT_EQ(merged, (TPixelRect{5, 0, 128, 69}));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, host.Parent, WM_ENGINE_PAINT, WM_ENGINE_PAINT, PM_NOREMOVE));

    host.Frame->SetPictureSize(100, 100, display::dmAdaptive);
    SendMessageA(host.Frame->Handle(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(5, 5));  // beside the image
    SendMessageA(host.Frame->Handle(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(100, 100));
    ASSERT_TRUE(PeekMessageA(&msg, host.Parent, WM_FULLSCREEN_TOGGLE, WM_FULLSCREEN_TOGGLE, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&msg, host.Parent, WM_FULLSCREEN_TOGGLE, WM_FULLSCREEN_TOGGLE, PM_REMOVE));
}

TEST(PictureArea, OddSizesPaintNothingOutside)
{
    TFrameHost host(1, 1);
    TBackBuffer buffer;
    for (auto [w, h] : {std::pair{1, 1}, std::pair{65535, 1}, std::pair{1, 3000}}) {
        FillPattern(buffer, w, h);
        for (int mode : {display::dmAdaptive, display::dmOriginal}) {
            host.Frame->SetPictureSize(w, h, mode);
            PaintPicture(buffer, mode, All(buffer), host.Frame->Zoom(), host.Frame->imgPic, host.Frame->Handle());
        }
    }
    Pump();
}

// ---------------------------------------------------------------------------
// Full screen

namespace {

// A live reader stand-in that keeps the texts it is asked to send.
class TTextReader : public TReadThread {
public:
    explicit TTextReader(PlaybackContext* context) : TReadThread(context) {}
    ~TTextReader() override { EndThread(); }
    // The texts once at least n have come (or after 2 s).
    std::vector<std::string> Texts(size_t n)
    {
        for (int i = 0; i < 200; ++i, Sleep(10)) {
            std::lock_guard<std::mutex> hold(FLock);
            if (FTexts.size() >= n)
                break;
        }
        Sleep(50);  // and nothing more
        std::lock_guard<std::mutex> hold(FLock);
        return FTexts;
    }

protected:
    void HandleRead(int32_t) override {}
    void HandleSendText(const MSG& msg) override
    {
        std::lock_guard<std::mutex> hold(FLock);
        FTexts.emplace_back(reinterpret_cast<const char*>(msg.wParam), static_cast<size_t>(msg.lParam));
    }

private:
    std::mutex FLock;
    std::vector<std::string> FTexts;
};

int ExitRequests(HWND control, LPARAM id)
{
    int n = 0;
    MSG msg;
    for (int i = 0; i < 3; ++i, Sleep(10))
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_FULLSCREEN_EXIT && msg.hwnd == control)
                n += msg.lParam == id;
            else
                DispatchMessageA(&msg);
        }
    return n;
}

} // namespace

TEST(FullScreen, FitsTheMonitorAndPaintsScaled)
{
    TFrameHost control(100, 100);
    TfrmFullScreen full;
    full.SetPictureSize(1600, 1200, control.Parent);
    EXPECT_EQ(full.Zoom(), 80);
    EXPECT_EQ(full.imgPic.Left, 0);
    EXPECT_EQ(full.imgPic.Top, 32);
    EXPECT_EQ(full.imgPic.Width(), 1280);
    EXPECT_EQ(full.imgPic.Height(), 960);
    full.Show();
    TBackBuffer buffer;
    FillPattern(buffer, 1600, 1200, 2);
    ASSERT_TRUE(PaintPicture(buffer, display::dmFull, All(buffer), full.Zoom(), full.imgPic, full.Handle()));
    EXPECT_TRUE(ReadPixels(full.Handle(), 0, 32, 1280, 960) == ExpectedScaled(buffer, 1280, 960));
    EXPECT_EQ(PixelAt(full.Handle(), 0, 31), RGB(0, 0, 0));

    full.SetPictureSize(800, 600, control.Parent);
    EXPECT_EQ(full.Zoom(), 100);
    EXPECT_EQ(full.imgPic.Left, 240);
    EXPECT_EQ(full.imgPic.Top, 212);
    FillPattern(buffer, 800, 600, 5);
    ASSERT_TRUE(PaintPicture(buffer, display::dmFull, All(buffer), full.Zoom(), full.imgPic, full.Handle()));
    EXPECT_TRUE(ReadPixels(full.Handle(), 240, 212, 800, 600) == BufferRect(buffer, 0, 0, 800, 600));

    // Closing is refused; Esc and F7 ask the control to leave.
    SendMessageA(full.Handle(), WM_CLOSE, 0, 0);
    SendMessageA(full.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(full.Handle()));
    EXPECT_EQ(ExitRequests(control.Parent, full.Id()), 0);
    SendMessageA(full.Handle(), WM_KEYUP, VK_ESCAPE, 0);
    SendMessageA(full.Handle(), WM_KEYUP, VK_F7, 0);
    SendMessageA(full.Handle(), WM_KEYUP, 'A', 0);
    EXPECT_EQ(ExitRequests(control.Parent, full.Id()), 2);
    SendMessageA(full.Handle(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(300, 300));
    EXPECT_EQ(ExitRequests(control.Parent, full.Id()), 1);
}

TEST(FullScreen, LeavesWhenAnotherWindowIsActivated)
{
    TFrameHost control(100, 100);
    auto full = std::make_unique<TfrmFullScreen>();
    full->SetPictureSize(800, 600, control.Parent);
    full->Show();
    Pump();
    ASSERT_EQ(GetFocus(), full->Handle());
    ExitRequests(control.Parent, full->Id());
    SetForegroundWindow(control.Parent);
    SetActiveWindow(control.Parent);
    const DWORD start = GetTickCount();
    int n = 0;
    while (n == 0 && GetTickCount() - start < 300)
        n = ExitRequests(control.Parent, full->Id());
    EXPECT_GT(n, 0);
    // A later window has another id: the old one's requests are told apart.
    const LPARAM oldId = full->Id();
    full = std::make_unique<TfrmFullScreen>();
    EXPECT_NE(full->Id(), oldId);
}

TEST(FullScreen, SendsTheViewersInputToALiveReader)
{
    TFrameHost control(100, 100);
    PlaybackContext context;
    TTextReader reader(&context);
    TfrmFullScreen full;
    full.SetPictureSize(800, 600, control.Parent);
    full.SetReader(&reader);
    SendMessageA(full.Handle(), WM_KEYDOWN, VK_ESCAPE, 0);
    SendMessageA(full.Handle(), WM_KEYUP, VK_ESCAPE, 0);
    SendMessageA(full.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(240 + 10, 212 + 20));
    SendMessageA(full.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(240 + 10, 212 + 20));
    SendMessageA(full.Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));  // beside the image: nothing
    const auto texts = reader.Texts(4);
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], KeyRequestText(27, false));
    EXPECT_EQ(texts[1], KeyRequestText(27, true));
    EXPECT_EQ(texts[2], "REQUEST\r\nCommand=MOUSE_EVENT\r\ndwFlags=2\r\ndx=10\r\ndy=20\r\ndwData=0");
    EXPECT_EQ(texts[3], MouseRequestText(4, 10, 20));
    EXPECT_EQ(ExitRequests(control.Parent, full.Id()), 1);

    // Scaled down to 80 %, positions are taken back to recording pixels.
    full.SetPictureSize(1600, 1200, control.Parent);
    SendMessageA(full.Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(40, 32 + 80));
    EXPECT_EQ(reader.Texts(5).back(), MouseRequestText(0x8001, 50, 100));
}
