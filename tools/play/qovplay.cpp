// qovplay: plays a recording through the engine as the control does: a file
// source and a play thread on one playback context, the engine's window
// messages received by a window of this program. It plays at the fastest
// speed to the end of the recording and writes the back buffer's final
// picture as a 24-bit .bmp file.
//
//   qovplay <recording.qov> <picture.bmp>
//
// Exit code 0 when the recording played to its end and the picture was
// written, 1 on any other failure, 2 when the recording does not open.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "ConsoleText.h"
#include "FrameStore.h"
#include "PlayThread.h"
#include "QovFormat.h"
#include "UnitQovCore.h"
#include "UnitShare.h"

using namespace qov;
using qov::tools::Utf8FromGbk;

namespace {

const char* const kWindowClass = "QovPlayToolWindow";

// Receives one message for this program's window, waiting at most until the
// deadline (timeGetTime); false on time-out.
bool NextMessage(MSG& msg, DWORD deadline)
{
    for (;;) {
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd && msg.message < WM_USER)
                DispatchMessageA(&msg);
            else
                return true;
            continue;
        }
        const DWORD now = timeGetTime();
        if (int32_t(deadline - now) <= 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, deadline - now, QS_ALLINPUT);
    }
}

// The picture as a bottom-up 24-bit BMP file.
void WritePicture(TBackBuffer& picture, const std::string& path)
{
    picture.Lock();
    const int width = picture.Width();
    const int height = picture.Height();
    const int stride = picture.Stride();
    std::vector<uint8_t> rows(size_t(stride) * size_t(height));
    for (int y = 0; y < height; ++y)
        std::memcpy(rows.data() + size_t(height - 1 - y) * size_t(stride), picture.Bits() + size_t(y) * size_t(stride),
                    size_t(stride));
    picture.Unlock();

    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = DWORD(file.bfOffBits + rows.size());
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = DWORD(rows.size());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw Exception(Format("cannot create %s", path.c_str()));
    const bool written = std::fwrite(&file, sizeof file, 1, f) == 1 && std::fwrite(&info, sizeof info, 1, f) == 1 &&
                         std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
    if (std::fclose(f) != 0 || !written)
        throw Exception(Format("cannot write %s", path.c_str()));
}

int Play(const std::string& recording, const std::string& output)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (!window)
        throw Exception("cannot create the message window");

    TFramesBuffer frames;
    TKeyFramesBuffer keyFrames;
    TIndexTable index;
    PlaybackContext context;
    context.Frames = &frames;
    context.KeyFrames = &keyFrames;
    context.Index = &index;
    context.Window = window;

    int result = 1;
    {
        TFileThread source(&context);
        context.Reader = &source;
        const DWORD openStart = timeGetTime();
        source.Open(recording);
        MSG msg;
        int status = -1;
        while (status < 0 && NextMessage(msg, openStart + 30000)) {
            if (msg.message == WM_ENGINE_OPENED || msg.message == WM_ENGINE_STATUS)
                status = int(msg.wParam);
        }
        if (status != 0) {
            if (status < 0)
                std::fprintf(stderr, "qovplay: %s did not open within 30 s\n", recording.c_str());
            else
                std::fprintf(stderr, "qovplay: %s does not open: status %d (%s)\n", recording.c_str(), status,
                             Utf8FromGbk(EngineErrorText(status)).c_str());
            DestroyWindow(window);
            return 2;
        }
        const RecordingHeader header = context.Header;
        std::printf("opened %s: %u x %u, version 0x%04X, duration %u ms, %d key frames in the index (%u ms)\n",
                    recording.c_str(), unsigned(header.Width), unsigned(header.Height), unsigned(header.Version),
                    header.Duration, index.Count(), unsigned(timeGetTime() - openStart));

        {
            TPlayThread player(&context);
            context.Player = &player;
            player.SetKeyCacheOn(false);  // as the control sets it
            const DWORD playStart = timeGetTime();
            player.Play();
            for (int i = 0; i < 5; ++i)
                player.Faster();

            // To WM_ENGINE_END; a recording without a duration never ends, so it
            // is played until nothing has changed for 2 s.
            const DWORD limit = playStart + header.Duration / kMaxPlaySpeed + 60000;
            uint32_t paints = 0, markers = 0;
            RECT painted{};
            bool ended = false;
            DWORD lastPaint = playStart;
            while (!ended) {
                const DWORD deadline = header.Duration == 0 ? std::min(limit, lastPaint + 2000) : limit;
                if (!NextMessage(msg, deadline))
                    break;
                if (msg.message == WM_ENGINE_PAINT) {
                    ++paints;
                    lastPaint = timeGetTime();
                    const RECT r{LONG(HIWORD(msg.wParam)), LONG(LOWORD(msg.wParam)), LONG(HIWORD(msg.lParam)),
                                 LONG(LOWORD(msg.lParam))};
                    UnionRect(&painted, &painted, &r);
                } else if (msg.message == WM_ENGINE_MARKER) {
                    ++markers;
                } else if (msg.message == WM_ENGINE_END) {
                    ended = true;
                }
            }
            const DWORD played = timeGetTime() - playStart;
            player.Pause();
            std::printf("played %u frames at speed %d in %u ms to %u ms of the recording: %u paints covering "
                        "(%ld, %ld)-(%ld, %ld), %u markers, %s\n",
                        player.Rendered(), player.Speed(), unsigned(played), player.LastSampleTime(), paints,
                        painted.left, painted.top, painted.right, painted.bottom, markers,
                        ended ? "end of the recording reached" : "no end reached");
            WritePicture(player.BackBuffer(), output);
            std::printf("final picture written to %s (%d x %d, 24 bits)\n", output.c_str(),
                        player.BackBuffer().Width(), player.BackBuffer().Height());
            result = ended || header.Duration == 0 ? 0 : 1;
            player.Stop();
            context.Player = nullptr;
        }
        context.Reader = nullptr;
    }
    frames.Clear();
    keyFrames.Clear();
    index.Clear();
    DestroyWindow(window);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: qovplay <recording.qov> <picture.bmp>\n");
        return 1;
    }
    if (!InitDecoder()) {
        std::fprintf(stderr, "qovplay: the frame decoder cannot start\n");
        return 1;
    }
    int result = 1;
    try {
        result = Play(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qovplay: %s\n", Utf8FromGbk(e.what()).c_str());
    }
    UninitDecoder();
    return result;
}
