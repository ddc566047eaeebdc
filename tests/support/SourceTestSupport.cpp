// Shared pieces of the file and HTTP source tests (Windows only).
#ifdef _WIN32
#include "SourceTestSupport.h"

namespace qov::test {

TSourceRig::TSourceRig()
{
    Context.Frames = &Frames;
    Context.KeyFrames = &KeyFrames;
    Context.Index = &Index;
    Context.Player = &Player;
    Context.Window = Window.Handle();
}

TSourceRig::~TSourceRig()
{
    Frames.Clear();
    KeyFrames.Clear();
}

int TSourceRig::OpenAndWait(TReadThread& source, const std::string& locator, DWORD timeoutMs)
{
    Window.Messages().Clear();
    source.Open(locator);
    auto answer = Window.Messages().WaitAny(timeoutMs);
    if (!answer)
        return -1;
    if (answer->Msg == WM_ENGINE_OPENED)
        return static_cast<int>(answer->WParam);
    if (answer->Msg == WM_ENGINE_STATUS)
        return static_cast<int>(answer->WParam);
    return -2;
}

std::vector<writer::Bytes> TSourceRig::Records()
{
    std::vector<writer::Bytes> result;
    const auto& list = Frames.LockList();
    for (const auto& record : list) {
        const FrameHeader& h = RecordHeader(record.get());
        result.emplace_back(record.get(), record.get() + kFrameHeaderSize + h.Length);
    }
    Frames.UnlockList();
    return result;
}

bool TSourceRig::WaitRecords(int32_t n, DWORD timeoutMs)
{
    return WaitUntil([&] { return Frames.Count() >= n; }, timeoutMs);
}

std::vector<IndexEntry> TSourceRig::IndexEntries()
{
    std::vector<IndexEntry> result = Index.LockList();
    Index.UnlockList();
    return result;
}

std::optional<int32_t> TSourceRig::WaitShow(DWORD timeoutMs)
{
    auto show = Player.Messages().WaitFor(WM_ENGINE_SHOW, timeoutMs);
    if (!show)
        return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(show->WParam));
}

writer::TRecordingWriter RawRecording(uint16_t version, int frames, int keyEvery, uint32_t stepMs,
                                      size_t keyBytes, size_t frameBytes)
{
    writer::TRecordingWriter w(640, 480, version);
    uint32_t seed = 12345;
    for (int i = 0; i < frames; ++i) {
        const bool key = i % keyEvery == 0;
        writer::Bytes payload(key ? keyBytes : frameBytes);
        for (auto& b : payload) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        w.AddFrame(static_cast<uint32_t>(i) * stepMs, key ? fkKeyFrame : fkCopyRect, ctZlib,
                   static_cast<uint16_t>(i), static_cast<uint16_t>(2 * i), payload);
    }
    return w;
}

std::vector<writer::Bytes> WrittenRecords(const writer::TRecordingWriter& writer)
{
    std::vector<writer::Bytes> result;
    for (const auto& f : writer.Frames())
        result.push_back(writer::MakeFrameRecord(f.Header, f.Payload));
    return result;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (done())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
}

} // namespace qov::test
#endif
