#include "SampleRecording.h"

#include <algorithm>
#include <cmath>

namespace qov::writer {

namespace {

// The page being typed on: a blank editor window.
constexpr int kWinLeft = 150, kWinTop = 70, kWinWidth = 500, kWinHeight = 380;
constexpr int kPageLeft = kWinLeft + 4, kPageTop = kWinTop + 68;
constexpr int kPageWidth = kWinWidth - 8, kPageHeight = kWinHeight - 90;

// The picture window that opens later.
constexpr int kPicLeft = 380, kPicTop = 200, kPicWidth = 360, kPicHeight = 260;

// Records frames and keeps the screen as a player would show it.
class TSampleScript {
public:
    TSampleScript() : FWriter(kSampleWidth, kSampleHeight, kVersion0101) {}

    TPicture Screen;
    uint16_t CursorX = 400, CursorY = 300;

    void Key(uint32_t time, uint16_t compression)
    {
        FWriter.AddKeyFrame(time, Screen, compression, CursorX, CursorY);
    }
    void Copy(uint32_t time, int left, int top, const TPicture& picture, uint16_t compression,
              bool carryCursor = false)
    {
        Screen.Paste(picture, left, top);
        FWriter.AddCopyRect(time, uint16_t(left), uint16_t(top), picture, compression,
                            carryCursor ? CursorX : 0, carryCursor ? CursorY : 0);
    }
    void Xor(uint32_t time, int left, int top, const TPicture& after, uint16_t compression)
    {
        const TPicture before = Screen.Crop(left, top, after.Width(), after.Height());
        FWriter.AddXorRect(time, uint16_t(left), uint16_t(top), XorPictures(before, after), compression);
        Screen.Paste(after, left, top);
    }
    void Move(uint32_t time, int x, int y)
    {
        CursorX = uint16_t(std::clamp(x, 1, kSampleWidth - 1));
        CursorY = uint16_t(std::clamp(y, 1, kSampleHeight - 1));
        FWriter.AddCursorMove(time, CursorX, CursorY);
    }
    // Glides the cursor to (x, y) from `from` to `to` ms, one move per 50 ms.
    void Glide(uint32_t from, uint32_t to, int x, int y)
    {
        const int x0 = CursorX, y0 = CursorY;
        for (uint32_t t = from; t <= to; t += 50) {
            const double f = to == from ? 1.0 : double(t - from) / double(to - from);
            const double ease = 0.5 - 0.5 * std::cos(f * 3.14159265358979);
            Move(t, int(x0 + (x - x0) * ease), int(y0 + (y - y0) * ease));
        }
    }
    TRecordingWriter& Writer() { return FWriter; }

private:
    TRecordingWriter FWriter;
};

} // namespace

TRecordingWriter BuildSampleRecording()
{
    TSampleScript s;
    TRandom random(2024);
    s.Screen = MakeScreenPicture(kSampleWidth, kSampleHeight, 2024);
    DrawWindow(s.Screen, kWinLeft, kWinTop, kWinWidth, kWinHeight, 77);
    s.Screen.FillRect(kPageLeft + 1, kPageTop + 1, kPageWidth - 2, kPageHeight - 2, 0xFFFFFF);

    // 0 s: the desktop with an empty editor; the arrow cursor.
    s.Key(0, ctZlib);
    s.Writer().AddCursorShape(0, s.CursorX, s.CursorY, MakeArrowCursor(32), ctStored);
    s.Glide(50, 1000, kPageLeft + 20, kPageTop + 14);
    s.Writer().AddCursorShape(1000, s.CursorX, s.CursorY, MakeBeamCursor(32), ctZlib);

    // 1.2 s to 6.8 s: typing, one word every 150 ms, each a copied rectangle.
    static const uint16_t kTyping[] = {ctStored, ctLZO1X, ctZlib};
    int x = kPageLeft + 6, y = kPageTop + 6, words = 0;
    int firstLineTop = y;
    for (uint32_t t = 1200; t <= 6800; t += 150, ++words) {
        const int letters = random.Range(2, 8);
        if (x + letters * 6 > kPageLeft + kPageWidth - 10) {
            x = kPageLeft + 6;
            y += 14;
        }
        TPicture word = s.Screen.Crop(x, y, letters * 6 + 5, 10);
        DrawWord(word, 0, 0, letters, 0x000000, random);
        s.Copy(t, x, y, word, kTyping[words % 3], words % 4 == 0);
        x += letters * 6 + 5;
        if (t % 600 == 0)
            s.Move(t + 10, x + 4, y + 4);
        if (t == 5100)
            s.Writer().AddMarker(t + 20);
    }

    // 7 s: key frame (JPEG).
    s.Key(7000, ctJPEG);

    // 7.5 s: the first line is selected (exclusive or), 9 s cleared again.
    s.Glide(7100, 7500, kPageLeft + kPageWidth - 30, firstLineTop + 4);
    const TPicture line = s.Screen.Crop(kPageLeft + 4, firstLineTop - 2, kPageWidth - 8, 13);
    const TPicture selected(line.Width(), line.Height(), [&](int px, int py) {
        return line.At(px, py) == 0xFFFFFF ? 0x316AC5u : (line.At(px, py) == 0 ? 0xFFFFFFu : line.At(px, py));
    });
    s.Xor(7600, kPageLeft + 4, firstLineTop - 2, selected, ctLZO1X);
    s.Xor(9000, kPageLeft + 4, firstLineTop - 2, line, ctZlib);

    // 9.5 s: a picture window opens (JPEG), the arrow comes back.
    s.Writer().AddCursorShape(9400, s.CursorX, s.CursorY, MakeArrowCursor(32), ctLZO1X);
    TPicture window = s.Screen.Crop(kPicLeft, kPicTop, kPicWidth, kPicHeight);
    DrawWindow(window, 0, 0, kPicWidth, kPicHeight, 4242);
    window.GradientRect(8, 72, kPicWidth - 16, kPicHeight - 100, 0xF0C040, 0x2050A0, true);
    for (int i = 0; i < 5; ++i)
        window.FillRect(20 + i * 64, 150 - i * 12, 40, 60 + i * 12, 0x205020 + uint32_t(i) * 0x101000);
    s.Copy(9500, kPicLeft, kPicTop, window, ctJPEG, true);
    s.Writer().AddMarker(10000);
    s.Glide(10000, 11500, kPicLeft + 120, kPicTop + 10);

    // 12 s: the cursor is hidden for a second.
    s.Writer().AddCursorHide(12000);
    s.CursorX = s.CursorY = 0;
    s.Move(13000, kPicLeft + 200, kPicTop + 100);

    // 14 s: key frame (LZO1X).
    s.Key(14000, ctLZO1X);

    // 14.5 s to 19.5 s: the picture's bars grow, rectangle by rectangle.
    static const uint16_t kBars[] = {ctZlib, ctStored, ctLZO1X, ctJPEG};
    for (int i = 0; i < 10; ++i) {
        const uint32_t t = 14500 + uint32_t(i) * 500;
        const int bar = i % 5;
        const int left = kPicLeft + 20 + bar * 64, top = kPicTop + 150 - bar * 12 - 8 * (i / 5 + 1);
        const TPicture grown(40, 8, 0x40A040 + uint32_t(bar) * 0x001010);
        s.Copy(t, left, top, grown, kBars[i % 4]);
        if (t == 15000)
            s.Writer().AddMarker(t);
        s.Glide(t + 50, t + 400, left + 20, top - 10);
    }

    // 20 s: the end.
    s.Move(20000, s.CursorX + 5, s.CursorY + 5);
    return std::move(s.Writer());
}

} // namespace qov::writer
