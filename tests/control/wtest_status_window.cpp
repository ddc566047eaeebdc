// The statistics window's refresh, hosted directly (it is built into the
// control library as well): what it reads from a playback context, and a rate
// meter that restarts when the window is shown.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "../../control/UnitStatus.cpp"
#include "FrameStore.h"
#include "PlayThread.h"
#include "QovWriter.h"
#include "StatusTexts.h"
#include "UnitQovCore.h"

using namespace qov;

namespace {

DWORD gMeterNow = 1000;
DWORD MeterClock()
{
    return gMeterNow;
}

// A source that only counts received bytes and keeps some unread.
class TCountingSource : public TReadThread {
public:
    explicit TCountingSource(PlaybackContext* context) : TReadThread(context)
    {
        SetMeterClock(&MeterClock);
        GrowReceiveBuffer(4096);
        FUsed = 3000;
    }
    ~TCountingSource() override { EndThread(); }
    void Receive(uint64_t bytes) { AddToMeter(bytes); }

protected:
    void HandleRead(int32_t) override {}
};

std::string Text(HWND window, int id)
{
    char text[64] = {};
    GetDlgItemTextA(window, id, text, sizeof text);
    return text;
}

void AddRecord(TFramesBuffer& frames, uint32_t time, uint32_t length)
{
    TFrameRecordPtr block = AllocFrameRecord(length);
    const FrameHeader header = writer::MakeFrameHeader(time, fkCopyRect, ctStored, 0, 0, length);
    std::memcpy(block.get(), &header, sizeof header);
    std::memset(block.get() + kFrameHeaderSize, 0, length);
    frames.AddFrame(std::move(block));
}

} // namespace

TEST(StatusWindow, RefreshReadsTheContextAndTheRateOfOneInterval)
{
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 600, 500, nullptr, nullptr, nullptr, nullptr);
    TFramesBuffer frames;
    TKeyFramesBuffer keys;
    TIndexTable index;
    PlaybackContext context;
    context.Frames = &frames;
    context.KeyFrames = &keys;
    context.Index = &index;
    context.Window = parent;
    TfrmStatus status(parent);
    status.SetContext(&context);

    // Without a source only length and size are refreshed.
    context.Header.Width = 1024;
    context.Header.Height = 768;
    context.Header.Duration = 3723000;
    status.Refresh();
    EXPECT_EQ(Text(status.Handle(), idLabDuration), "01:02:03");
    EXPECT_EQ(Text(status.Handle(), idLabSize), "1024 x 768");
    EXPECT_EQ(Text(status.Handle(), idLabFrames), "0");
    EXPECT_EQ(Text(status.Handle(), idLabBPS), "0 kbps");

    AddRecord(frames, 2000, 10000);
    AddRecord(frames, 3723000, 20000);
    TCountingSource source(&context);
    context.Reader = &source;
    TPlayThread player(&context);
    context.Player = &player;
    // Bytes received long before the window is shown do not count.
    source.Receive(1000000);
    gMeterNow += 60000;
    status.ShowCentred();
    source.Receive(192000);  // 1536 kbit/s over the next second
    gMeterNow += 1000;
    status.Refresh();
    EXPECT_EQ(Text(status.Handle(), idLabFrom), "00:00:02");
    EXPECT_EQ(Text(status.Handle(), idLabTo), "01:02:03");
    EXPECT_EQ(Text(status.Handle(), idLabCurrentPosition), "00:00:00");
    EXPECT_EQ(Text(status.Handle(), idLabFrames), "2");
    EXPECT_EQ(Text(status.Handle(), idLabBytes),
              BufferedBytesText(static_cast<uint32_t>(frames.Bytes()), 3000));
    EXPECT_EQ(Text(status.Handle(), idLabBPS), "1.50 Mbps");
    context.Player = nullptr;
    context.Reader = nullptr;
    DestroyWindow(parent);
}
