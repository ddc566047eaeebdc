// The picture through the control in a test container: the built-in sample
// played to its end shows the engine's final picture (drawn again by the
// reference renderer) centred, or at (0, 0) with scroll bars when it is
// larger than the picture area; full screen shows it on the test screen and
// is left by Esc, by activating another window, and by Close; over a live
// broadcast it sends the viewer's keys and clicks to the live peer.
#include <gtest/gtest.h>

#include "../engine/wtest_live_client_peers.h"

#include <windows.h>
#include <ole2.h>

#include <functional>
#include <string>

#include "ControlHost.h"
#include "ControlWindows.h"
#include "PlaybackHarness.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "QovWriter.h"
#include "SampleRecording.h"
#include "ScreenPictures.h"

using namespace qov::test;

namespace {

constexpr DISPID kDisplayModeChanged = 203;

TStatus StatusOf(IQovPlayer* p)
{
    TStatus s = vpSeeking;
    p->get_Status(&s);
    return s;
}

// Pixels of window (left, top)-(left + w, top + h) that differ from the
// reference picture at (0, 0)-(w, h).
int Mismatches(HWND window, int left, int top, int w, int h, ReferenceRenderer& ref)
{
    const std::vector<uint8_t> p = ReadWindowPixels(window, left, top, w, h);
    int bad = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* bgr = &p[(static_cast<size_t>(y) * w + x) * 3];
            bad += ((uint32_t{bgr[2]} << 16) | (uint32_t{bgr[1]} << 8) | bgr[0]) != ref.Pixel(x, y);
        }
    return bad;
}

class PictureControl : public testing::Test {
protected:
    void SetUp() override
    {
        Load(qov::writer::BuildSampleRecording(), "picture_control_sample.qov");
        ASSERT_HRESULT_SUCCEEDED(Host.Create());
        ASSERT_HRESULT_SUCCEEDED(Host.Activate(false));
        P = Host.Player();
        Form = FormOf(P);
        Frame = FindWindowExA(Form, nullptr, "TDetailFrame", nullptr);
        ASSERT_TRUE(Frame);
    }
    // The recording the test plays, and the picture it ends with.
    void Load(const qov::writer::TRecordingWriter& w, const std::string& name)
    {
        File = w.Build();
        Path = ScratchPath(name);
        w.Save(Path);
        Reference = std::make_unique<TReferencePlayer>(File);
        Reference->Play(0, Reference->Count() - 1);
    }
    void OpenPlaying(const std::string& locator)
    {
        std::wstring wide(locator.begin(), locator.end());
        BSTR b = SysAllocString(wide.c_str());
        ASSERT_HRESULT_SUCCEEDED(P->Open(b));
        SysFreeString(b);
        ASSERT_TRUE(WaitUntil([&] { return StatusOf(P) == vpPlaying; }, 10000));
    }
    void PlayToEnd()
    {
        ASSERT_NO_FATAL_FAILURE(OpenPlaying(Path));
        ASSERT_TRUE(WaitUntil([&] { return StatusOf(P) == vpStopped; }, 60000));
        TControlHost::Pump(200);
    }
    void Resize(int w, int h)
    {
        MoveWindow(Host.Window(), 0, 0, w, h, TRUE);
        IOleInPlaceObject* place = nullptr;
        P->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&place));
        RECT r{0, 0, w, h};
        place->SetObjectRects(&r, &r);
        place->Release();
        TControlHost::Pump(100);
    }
    HWND FullScreen() { return qov::test::FindOwnWindow("TfrmFullScreen"); }

    TControlHost Host;
    IQovPlayer* P = nullptr;
    HWND Form = nullptr;
    HWND Frame = nullptr;
    std::string Path;
    qov::writer::Bytes File;  // the reference player reads it in place
    std::unique_ptr<TReferencePlayer> Reference;
};

} // namespace

TEST_F(PictureControl, OriginalSizeShowsTheFinalPicture)
{
    ASSERT_HRESULT_SUCCEEDED(P->put_DisplayMode(dmOriginal));
    Resize(1000, 800);
    PlayToEnd();
    ReferenceRenderer& ref = Reference->Renderer();
    const int w = ref.Width(), h = ref.Height();
    EXPECT_EQ(Mismatches(Frame, (1000 - w) / 2, (800 - h) / 2, w, h, ref), 0);

    // In a smaller area the picture sits at (0, 0) with scroll bars.
    Resize(640, 480);
    TControlHost::Pump(300);
    const LONG style = GetWindowLongA(Frame, GWL_STYLE);
    EXPECT_TRUE((style & WS_HSCROLL) && (style & WS_VSCROLL));
    EXPECT_EQ(Mismatches(Frame, 0, 0, 300, 300, ref), 0);
}

TEST_F(PictureControl, AdaptiveScalesALargerRecording)
{
    qov::writer::TRecordingWriter w(1024, 768);
    w.AddKeyFrame(0, qov::writer::MakeScreenPicture(1024, 768, 3), qov::ctZlib);
    w.AddCopyRect(500, 130, 40, qov::writer::MakeScreenPicture(20, 20, 9), qov::ctLZO1X);
    Load(w, "picture_control_1024.qov");
    Resize(512, 600);
    PlayToEnd();
    // The change at (130, 40) repainted its block alone; a mode change
    // repaints the whole picture as one block.
    ASSERT_HRESULT_SUCCEEDED(P->put_DisplayMode(dmOriginal));
    ASSERT_HRESULT_SUCCEEDED(P->put_DisplayMode(dmAdaptive));
    TControlHost::Pump(500);
    // Zoom 50: an image of 512 x 384 at top 108, the frame's black around it.
    ReferenceRenderer& ref = Reference->Renderer();
    const auto expected = BilinearReference(1024, 768, 512, 384, [&](int64_t x, int64_t y, int b) {
        return int64_t{(ref.Pixel(int(x), int(y)) >> (8 * b)) & 0xFF};
    });
    EXPECT_TRUE(ReadWindowPixels(Frame, 0, 108, 512, 384) == expected);
    EXPECT_EQ(ReadWindowPixels(Frame, 0, 107, 512, 1), std::vector<uint8_t>(512 * 3, 0));
    EXPECT_EQ(ReadWindowPixels(Frame, 0, 492, 512, 1), std::vector<uint8_t>(512 * 3, 0));
}

TEST_F(PictureControl, FullScreenShowsThePictureAndLeaves)
{
    PlayToEnd();
    Host.ClearEvents();
    // A double click on the picture enters full screen.
    RECT fr;
    GetClientRect(Frame, &fr);
    PostMessageA(Frame, WM_LBUTTONDBLCLK, 0, MAKELPARAM(fr.right / 2, fr.bottom / 2));
    ASSERT_TRUE(Host.WaitEvent(kDisplayModeChanged, 3000));
    HWND full = FullScreen();
    ASSERT_TRUE(full);
    TControlHost::Pump(300);
    ReferenceRenderer& ref = Reference->Renderer();
    RECT wr;
    GetWindowRect(full, &wr);
    EXPECT_EQ(wr.right - wr.left, GetSystemMetrics(SM_CXSCREEN));
    const int left = (wr.right - wr.left - ref.Width()) / 2, top = (wr.bottom - wr.top - ref.Height()) / 2;
    EXPECT_EQ(Mismatches(full, left, top, ref.Width(), ref.Height(), ref), 0);

    // A close is refused; Esc returns to the previous mode.
    SendMessageA(full, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(full));
    PostMessageA(full, WM_KEYUP, VK_ESCAPE, 0);
    ASSERT_TRUE(Host.WaitEvent(kDisplayModeChanged, 3000, 2));
    EXPECT_EQ(Host.EventsOf(kDisplayModeChanged)[1].Args[0].lVal, dmAdaptive);
    EXPECT_FALSE(IsWindow(full));

    // Activating another window leaves full screen.
    ASSERT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    ASSERT_TRUE(WaitUntil([&] { return FullScreen() && GetFocus() == FullScreen(); }, 3000));
    SetForegroundWindow(Host.Window());
    SetActiveWindow(Host.Window());
    // The request comes within 300 ms (the window's own test times it); Wine
    // without a window manager may hold the unmapping of a screen-sized
    // window for up to 2 s.
    EXPECT_TRUE(WaitUntil([&] { return !FullScreen(); }, 3000));

    // Close frees a full-screen window.
    ASSERT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    ASSERT_TRUE(WaitUntil([&] { return FullScreen() != nullptr; }, 3000));
    ASSERT_HRESULT_SUCCEEDED(P->Close());
    EXPECT_FALSE(FullScreen());
}

// Request texts that the live peer logged (escaped as it writes them),
// without pointer moves: the test screen's pointer may move over the window.
std::vector<std::string> LoggedRequests(const std::string& log)
{
    std::vector<std::string> out;
    std::istringstream lines(ReadWholeFile(log));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string ms, connection, type, text;
        fields >> ms >> connection >> type >> text;
        if (type == "2" && text.rfind("REQUEST", 0) == 0 && text.find("dwFlags=32769") == std::string::npos)
            out.push_back(text);
    }
    return out;
}

TEST_F(PictureControl, FullScreenSendsTheViewersInputToALiveBroadcast)
{
    TWinsock winsock;
    TPeer peer;
    const std::string log = ScratchPath("picture_control_live.log");
    DeleteFileA(log.c_str());
    std::string why;
    ASSERT_TRUE(peer.Start("live_server.py", "--recording " + UnixPath(Path) + " --log " + UnixPath(log), &why))
        << why;
    ASSERT_NO_FATAL_FAILURE(OpenPlaying("QOVS://127.0.0.1:" + std::to_string(peer.ServicePort()) + "/live"));
    ASSERT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    HWND full = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (full = FullScreen()) != nullptr; }, 3000));
    // At zoom 100 the image is centred at its own size.
    RECT wr;
    GetWindowRect(full, &wr);
    const int left = (wr.right - wr.left - Reference->Renderer().Width()) / 2;
    const int top = (wr.bottom - wr.top - Reference->Renderer().Height()) / 2;
    ASSERT_GE(left, 0);
    ASSERT_GE(top, 0);
    PostMessageA(full, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(left + 10, top + 20));
    PostMessageA(full, WM_LBUTTONUP, 0, MAKELPARAM(left + 10, top + 20));
    PostMessageA(full, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(full, WM_KEYUP, VK_ESCAPE, 0);
    EXPECT_TRUE(WaitUntil([&] { return !FullScreen(); }, 3000));
    const std::vector<std::string> expected{
        "REQUEST\\r\\nCommand=MOUSE_EVENT\\r\\ndwFlags=2\\r\\ndx=10\\r\\ndy=20\\r\\ndwData=0",
        "REQUEST\\r\\nCommand=MOUSE_EVENT\\r\\ndwFlags=4\\r\\ndx=10\\r\\ndy=20\\r\\ndwData=0",
        "REQUEST\\r\\nCommand=KEYBD_EVENT\\r\\nbVk=27\\r\\nbScan=0\\r\\ndwFlags=0",
        "REQUEST\\r\\nCommand=KEYBD_EVENT\\r\\nbVk=27\\r\\nbScan=0\\r\\ndwFlags=2"};
    EXPECT_TRUE(WaitUntil([&] { return LoggedRequests(log).size() >= expected.size(); }, 5000));
    EXPECT_EQ(LoggedRequests(log), expected);

    // Over a recording file the same input only leaves full screen.
    ASSERT_NO_FATAL_FAILURE(OpenPlaying(Path));
    ASSERT_HRESULT_SUCCEEDED(P->put_FullScreen(VARIANT_TRUE));
    ASSERT_TRUE(WaitUntil([&] { return (full = FullScreen()) != nullptr; }, 3000));
    PostMessageA(full, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(left + 10, top + 20));
    PostMessageA(full, WM_LBUTTONUP, 0, MAKELPARAM(left + 10, top + 20));
    PostMessageA(full, WM_KEYUP, VK_ESCAPE, 0);
    EXPECT_TRUE(WaitUntil([&] { return !FullScreen(); }, 3000));
    TControlHost::Pump(300);
    EXPECT_EQ(LoggedRequests(log), expected);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
}
