// Opening and playing through the control in a test container: the built-in
// sample from a local path and from nginx, locators resolved against the
// hosting page, the channel-file download, every cell of the play methods'
// transitions with the events they fire, the live peer's notifications on the
// control's thread, the reconnect rule, Close during a stalled open, and
// locators that cannot be opened.
#include <gtest/gtest.h>

#include "../engine/wtest_live_client_peers.h"

#include <fstream>

#include "ControlHost.h"
#include "InternetStream.h"
#include "NetnsRerun.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"
#include "ScreenPictures.h"
#include "TestServices.h"

using namespace qov::test;

namespace {

constexpr DISPID kState = 201;

std::vector<LONG> States(const TControlHost& host)
{
    std::vector<LONG> out;
    for (const auto& e : host.EventsOf(kState))
        out.push_back(e.Args[0].lVal);
    return out;
}

TStatus StatusOf(IQovPlayer* p)
{
    TStatus s = vpSeeking;
    p->get_Status(&s);
    return s;
}

LONG Get(IQovPlayer* p, HRESULT (STDMETHODCALLTYPE IQovPlayer::*get)(LONG*))
{
    LONG v = -1;
    EXPECT_HRESULT_SUCCEEDED((p->*get)(&v));
    return v;
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

HRESULT OpenText(IQovPlayer* p, const std::wstring& locator, std::wstring* error = nullptr)
{
    BSTR b = SysAllocString(locator.c_str());
    HRESULT hr = p->Open(b);
    SysFreeString(b);
    if (error) {
        IErrorInfo* info = nullptr;
        error->clear();
        if (GetErrorInfo(0, &info) == S_OK && info) {
            BSTR d = nullptr;
            info->GetDescription(&d);
            *error = d ? d : L"";
            SysFreeString(d);
            info->Release();
        }
    }
    return hr;
}

const std::string& SamplePath()
{
    static const std::string path = [] {
        const std::string p = ScratchPath("play_state_sample.qov");
        qov::writer::BuildSampleRecording().Save(p);
        return p;
    }();
    return path;
}

// A page whose address the container reports (IHTMLDocument2::get_URL is
// slot 40; nothing else of the interface is asked for).
class TFakePage {
public:
    explicit TFakePage(std::wstring url) : FUrl(std::move(url))
    {
        FTable[0] = reinterpret_cast<void*>(&QueryInterface);
        FTable[1] = reinterpret_cast<void*>(&AddRef);
        FTable[2] = reinterpret_cast<void*>(&Release);
        FTable[40] = reinterpret_cast<void*>(&GetUrl);
    }
    IUnknown* Unknown() { return reinterpret_cast<IUnknown*>(this); }

private:
    static HRESULT STDMETHODCALLTYPE QueryInterface(TFakePage* self, REFIID, void** out)
    {
        *out = self;
        return S_OK;
    }
    static ULONG STDMETHODCALLTYPE AddRef(TFakePage*) { return 2; }
    static ULONG STDMETHODCALLTYPE Release(TFakePage*) { return 1; }
    static HRESULT STDMETHODCALLTYPE GetUrl(TFakePage* self, BSTR* out)
    {
        *out = SysAllocString(self->FUrl.c_str());
        return S_OK;
    }

    void** FVtable = FTable;
    void* FTable[41] = {};
    std::wstring FUrl;
};

class PlayState : public testing::Test {
protected:
    void Make(bool autoStart = true, IUnknown* page = nullptr)
    {
        if (page)
            Host.Ole().SetDocument(page);
        ASSERT_HRESULT_SUCCEEDED(Host.Create());
        ASSERT_HRESULT_SUCCEEDED(Host.Activate(false));
        P = Host.Player();
        P->put_AutoStart(autoStart ? VARIANT_TRUE : VARIANT_FALSE);
    }
    // Opens the sample and waits for vpOpened (and vpPlaying with AutoStart).
    void OpenSample(const std::wstring& locator, bool playing)
    {
        ASSERT_HRESULT_SUCCEEDED(OpenText(P, locator));
        ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == (playing ? vpPlaying : vpOpened); }, 15000))
            << "state " << StatusOf(P);
    }
    // Runs a member and returns the state events it fired.
    std::vector<LONG> Step(HRESULT (STDMETHODCALLTYPE IQovPlayer::*member)())
    {
        Host.ClearEvents();
        EXPECT_HRESULT_SUCCEEDED((P->*member)());
        return States(Host);
    }

    TControlHost Host;
    IQovPlayer* P = nullptr;
};

using V = std::vector<LONG>;

} // namespace

TEST_F(PlayState, LocalSamplePlaysSeeksAndEndsWithTwoStops)
{
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), true));
    EXPECT_EQ(States(Host), (V{7, 1, 2}));
    EXPECT_EQ(Get(P, &IQovPlayer::get_QovWidth), 800);
    EXPECT_EQ(Get(P, &IQovPlayer::get_QovHeight), 600);
    const LONG duration = Get(P, &IQovPlayer::get_Duration);
    EXPECT_GT(duration, 15000);
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return Get(P, &IQovPlayer::get_MediaTime) > 0; }, 5000));
    const LONG before = Get(P, &IQovPlayer::get_CurrentPosition);
    TControlHost::Pump(400);
    EXPECT_GT(Get(P, &IQovPlayer::get_CurrentPosition), before);
    EXPECT_GE(Get(P, &IQovPlayer::get_Max), Get(P, &IQovPlayer::get_Min));

    // Seek by position; past the end the clock is clamped; played to its end
    // the recording reports vpStopped twice.
    ASSERT_HRESULT_SUCCEEDED(P->put_CurrentPosition(duration / 2));
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return Get(P, &IQovPlayer::get_CurrentPosition) >= duration / 2; }, 5000));
    EXPECT_LT(Get(P, &IQovPlayer::get_CurrentPosition), duration / 2 + 3000);
    EXPECT_HRESULT_SUCCEEDED(P->put_CurrentPosition(-5));
    ASSERT_HRESULT_SUCCEEDED(P->put_CurrentPosition(duration + 100000));
    TControlHost::Pump(300);
    EXPECT_LE(Get(P, &IQovPlayer::get_CurrentPosition), duration + 1000);
    Host.ClearEvents();
    ASSERT_HRESULT_SUCCEEDED(P->put_CurrentPosition(duration - 1500));
    ASSERT_TRUE(Host.WaitEvent(kState, 10000, 2));
    EXPECT_EQ(States(Host), (V{4, 4}));
    EXPECT_EQ(StatusOf(P), vpStopped);
    Host.ClearEvents();
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    EXPECT_EQ(States(Host), (V{0}));
}

TEST_F(PlayState, EveryTransitionFiresWhatTheTableSays)
{
    ASSERT_NO_FATAL_FAILURE(Make(false));
    // Nothing happens while closed.
    for (auto m : {&IQovPlayer::Play, &IQovPlayer::Pause, &IQovPlayer::Stop, &IQovPlayer::FastForward,
                   &IQovPlayer::FastReverse, &IQovPlayer::Close})
        EXPECT_EQ(Step(m), V{});
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    TControlHost::Pump(300);
    EXPECT_EQ(States(Host), (V{7, 1}));  // AutoStart off: stays opened
    using P_ = IQovPlayer;
    EXPECT_EQ(Step(&P_::Pause), V{});           // 1
    EXPECT_EQ(Step(&P_::Stop), V{});            // 1
    EXPECT_EQ(Step(&P_::FastReverse), V{2});    // 1 -> 2
    EXPECT_EQ(Step(&P_::FastReverse), V{});     // 2: nothing
    EXPECT_EQ(Step(&P_::Play), V{});            // 2
    EXPECT_EQ(Step(&P_::Pause), V{3});          // 2 -> 3
    EXPECT_EQ(Step(&P_::Pause), V{});           // 3
    EXPECT_EQ(Step(&P_::Stop), (V{2, 4}));      // 3 -> 4
    EXPECT_EQ(Step(&P_::Stop), V{});            // 4
    EXPECT_EQ(Step(&P_::Pause), V{});           // 4
    EXPECT_EQ(Step(&P_::FastReverse), V{2});    // 4 -> 2
    EXPECT_EQ(Step(&P_::Stop), V{4});           // 2 -> 4
    EXPECT_EQ(Step(&P_::Play), V{2});           // 4 -> 2
    EXPECT_EQ(Step(&P_::FastForward), V{5});    // 2 -> 5
    EXPECT_EQ(Step(&P_::FastForward), V{5});    // 5 -> 5, speed 4
    // The clock against the wall clock: the readings lie between the inner
    // and the outer pair of ticks (a loaded machine stretches the pump).
    const DWORD outerStart = GetTickCount();
    const LONG at = Get(P, &P_::get_CurrentPosition);
    const DWORD innerStart = GetTickCount();
    TControlHost::Pump(1000);
    const DWORD innerEnd = GetTickCount();
    const LONG ran = Get(P, &P_::get_CurrentPosition) - at;
    const DWORD outerEnd = GetTickCount();
    EXPECT_GT(ran, LONG(innerEnd - innerStart) * 28 / 10) << "the clock runs four times as fast";
    EXPECT_LT(ran, LONG(outerEnd - outerStart) * 6);
    EXPECT_EQ(Step(&P_::FastReverse), V{2});    // 5 -> 2
    EXPECT_EQ(Step(&P_::FastForward), V{5});    // 2 -> 5
    EXPECT_EQ(Step(&P_::Play), V{2});           // 5 -> 2
    EXPECT_EQ(Step(&P_::FastForward), V{5});
    EXPECT_EQ(Step(&P_::Stop), (V{2, 4}));      // 5 -> 4
    EXPECT_EQ(Step(&P_::FastForward), (V{2, 5}));  // 4 -> 5
    EXPECT_EQ(Step(&P_::Pause), V{3});          // 5 -> 3
    EXPECT_EQ(Step(&P_::FastForward), (V{2, 5}));  // 3 -> 5
    EXPECT_EQ(Step(&P_::Pause), V{3});
    EXPECT_EQ(Step(&P_::FastReverse), V{2});    // 3 -> 2
    EXPECT_EQ(Step(&P_::Pause), V{3});
    EXPECT_EQ(Step(&P_::Play), V{2});           // 3 -> 2
    EXPECT_EQ(Step(&P_::Close), V{0});          // 2 -> 0
    EXPECT_EQ(Step(&P_::Close), V{});

    // Opened, then FastForward and Close; paused, stopped and scanning close too.
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    EXPECT_EQ(Step(&P_::FastForward), (V{2, 5}));  // 1 -> 5
    EXPECT_EQ(Step(&P_::Close), V{0});
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    EXPECT_EQ(Step(&P_::Play), V{2});           // 1 -> 2
    EXPECT_EQ(Step(&P_::Pause), V{3});
    EXPECT_EQ(Step(&P_::Close), V{0});          // 3 -> 0
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    EXPECT_EQ(Step(&P_::Close), V{0});          // 1 -> 0
    // Open in any state closes first.
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    Host.ClearEvents();
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    EXPECT_EQ(States(Host), (V{0, 7, 1}));
}

TEST_F(PlayState, CloseDropsWhatTheEngineLeftQueued)
{
    ASSERT_NO_FATAL_FAILURE(Make(false));
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), false));
    const HWND form = Host.Ole().ControlWindow();
    ASSERT_TRUE(form);
    // An end in vpOpened reports one vpStopped and changes nothing.
    Host.ClearEvents();
    PostMessageA(form, qov::WM_ENGINE_END, 0, 0);
    TControlHost::Pump(300);
    EXPECT_EQ(States(Host), V{4});
    EXPECT_EQ(StatusOf(P), vpOpened);
    // Late messages of the closed source: no end after vpClosed, no
    // reconnect, no play thread for a source that is gone.
    Host.ClearEvents();
    PostMessageA(form, qov::WM_ENGINE_OPENED, 0, 0);
    PostMessageA(form, qov::WM_ENGINE_STATUS, qov::ecNetworkError, 0);
    PostMessageA(form, qov::WM_ENGINE_END, 0, 0);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    TControlHost::Pump(3800);
    EXPECT_EQ(States(Host), V{0});
    EXPECT_EQ(StatusOf(P), vpClosed);
    EXPECT_EQ(Get(P, &IQovPlayer::get_MediaTime), 0);
}

TEST_F(PlayState, CloseDuringAStalledOpenReturnsAtOnceAndNothingFollows)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    ASSERT_NO_FATAL_FAILURE(Make());
    const std::string url = "http://127.0.0.1:" + std::to_string(services.FaultPort) + "/silent/stalled.qov";
    ASSERT_HRESULT_SUCCEEDED(OpenText(P, Wide(url)));
    EXPECT_EQ(StatusOf(P), vpOpening);
    TControlHost::Pump(300);
    Host.ClearEvents();
    // The request under way is given up after its time-out at the latest.
    const DWORD start = GetTickCount();
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    EXPECT_LT(GetTickCount() - start, qov::kHttpRequestTimeoutMs + 700);
    TControlHost::Pump(1500);
    EXPECT_EQ(States(Host), (V{0}));
    EXPECT_EQ(StatusOf(P), vpClosed);
}

TEST_F(PlayState, SampleFromNginxAndBareNamesBesideTheHostingPage)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    CopyFileA(SamplePath().c_str(), (services.Root + "\\play_state_sample.qov").c_str(), FALSE);
    const std::string base = "http://127.0.0.1:" + std::to_string(services.HttpPort) + "/";
    {
        ASSERT_NO_FATAL_FAILURE(Make());
        ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(base + "play_state_sample.qov"), true));
        EXPECT_EQ(States(Host), (V{7, 1, 2}));
        EXPECT_EQ(Get(P, &IQovPlayer::get_QovWidth), 800);
    }
    // With a page container: the page's folder in front of the bare name.
    TFakePage page(Wide(base + "dir/page.html?x=1"));
    TControlHost paged;
    paged.Ole().SetDocument(page.Unknown());
    ASSERT_HRESULT_SUCCEEDED(paged.Create());
    ASSERT_HRESULT_SUCCEEDED(OpenText(paged.Player(), L"bare_name_probe.qov"));
    BSTR url = nullptr;
    paged.Player()->get_URL(&url);
    EXPECT_EQ(std::wstring(url), Wide(base + "dir/bare_name_probe.qov"));
    SysFreeString(url);
    const std::string log = services.Root + "\\..\\logs\\access.log";
    EXPECT_TRUE(TControlHost::PumpUntil([&] { return ReadWholeFile(log).find("/dir/bare_name_probe.qov") != std::string::npos; },
                        5000));
    paged.Player()->Close();
    // Without one the bare name stays as it is.
    ASSERT_HRESULT_SUCCEEDED(OpenText(P, L"bare_name_probe.qov"));
    P->get_URL(&url);
    EXPECT_EQ(std::wstring(url), L"bare_name_probe.qov");
    SysFreeString(url);
    P->Close();
}

TEST_F(PlayState, ChannelFileThatCannotBeFetchedFailsWithItsText)
{
    TTestServices services;
    QOV_NEED_SERVICES(services);
    ASSERT_NO_FATAL_FAILURE(Make());
    const std::string url = "http://127.0.0.1:" + std::to_string(services.HttpPort) + "/missing/channel.sms";
    std::wstring error;
    EXPECT_HRESULT_FAILED(OpenText(P, Wide(url), &error));
    EXPECT_EQ(error, Wide("Fail to download file: " + url));
    EXPECT_EQ(StatusOf(P), vpClosed);
    // A stalled server gives up after its time-out with the same text.
    const std::string stalled = "http://127.0.0.1:" + std::to_string(services.FaultPort) + "/silent/channel.sms";
    const DWORD start = GetTickCount();
    EXPECT_HRESULT_FAILED(OpenText(P, Wide(stalled), &error));
    EXPECT_LT(GetTickCount() - start, 40000u);
    EXPECT_EQ(error, Wide("Fail to download file: " + stalled));
}

TEST_F(PlayState, PropertyBagWithAutoStartOffEndsOpened)
{
    TPropertyBag bag;
    bag.Values[L"URL"] = TVariant::Str(Wide(SamplePath()).c_str());
    bag.Values[L"AutoStart"] = TVariant::Bool(false);
    ASSERT_HRESULT_SUCCEEDED(Host.Create(nullptr, &bag));
    P = Host.Player();
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == vpOpened; }, 15000));
    TControlHost::Pump(500);
    EXPECT_EQ(StatusOf(P), vpOpened);
}

TEST_F(PlayState, LocatorsThatCannotOpenLeaveTheControlUsable)
{
    ASSERT_NO_FATAL_FAILURE(Make());
    for (const std::wstring& locator :
         {std::wstring(L""), std::wstring(L"  "), Wide(ScratchPath("no_such_recording.qov")),
          std::wstring(L"gopher://127.0.0.1/x.qov"), std::wstring(L"http://127.0.0.1:99999/x.qov"),
          std::wstring(L"QOVS://127.0.0.1:99999/live")}) {
        OpenText(P, locator);
        TControlHost::Pump(800);
        EXPECT_HRESULT_SUCCEEDED(P->Close());
        EXPECT_EQ(StatusOf(P), vpClosed);
    }
    // A live connect that failed scheduled a reconnect; Close cancelled it.
    TControlHost::Pump(3500);
    EXPECT_EQ(StatusOf(P), vpClosed);
    // A channel file that is not one: the source reports 9, nothing opens.
    const std::string bad = ScratchPath("not_a_channel.sms");
    std::ofstream(bad) << "garbage";
    ASSERT_HRESULT_SUCCEEDED(OpenText(P, Wide(bad)));
    TControlHost::Pump(1000);
    EXPECT_EQ(StatusOf(P), vpOpening);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    // A name the code page cannot hold fails instead of opening another file.
    std::wstring error;
    EXPECT_HRESULT_FAILED(OpenText(P, L"C:\\a\x0E01\x0E02.qov", &error));
    EXPECT_NE(error.find(L"code page"), std::wstring::npos);
    EXPECT_EQ(StatusOf(P), vpClosed);
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), true));
}

// A text file named like a recording fails to open; its bytes must not show
// as the duration or the size (it once read "542:42:03" in the program).
TEST_F(PlayState, ATextFileNamedLikeARecordingLeavesDurationAndSizeAlone)
{
    ASSERT_NO_FATAL_FAILURE(Make());
    const std::string text = ScratchPath("play_state_text.qov");
    std::ofstream(text, std::ios::binary) << "This is a text file and not a recording at all.\r\n";
    auto openText = [&] {
        const LONG before = Get(P, &IQovPlayer::get_Duration);
        ASSERT_HRESULT_SUCCEEDED(OpenText(P, Wide(text)));
        // The source answers at once; a duration taken from the text would
        // show within this time.
        TControlHost::PumpUntil([&] { return Get(P, &IQovPlayer::get_Duration) != before; }, 1500);
        EXPECT_EQ(StatusOf(P), vpOpening);
    };
    ASSERT_NO_FATAL_FAILURE(openText());
    EXPECT_EQ(Get(P, &IQovPlayer::get_Duration), 0);
    EXPECT_EQ(Get(P, &IQovPlayer::get_QovWidth), 0);
    EXPECT_EQ(Get(P, &IQovPlayer::get_QovHeight), 0);
    EXPECT_HRESULT_SUCCEEDED(P->Close());

    // After a recording: what it left stays.
    ASSERT_NO_FATAL_FAILURE(OpenSample(Wide(SamplePath()), true));
    const LONG duration = Get(P, &IQovPlayer::get_Duration);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
    ASSERT_NO_FATAL_FAILURE(openText());
    EXPECT_EQ(Get(P, &IQovPlayer::get_Duration), duration);
    EXPECT_EQ(Get(P, &IQovPlayer::get_QovWidth), 800);
    EXPECT_HRESULT_SUCCEEDED(P->Close());
}

// ---------------------------------------------------------------------------
// Live

class LiveControl : public PlayState {
protected:
    void StartPeer(const std::string& options)
    {
        const auto w = qov::writer::BuildSampleRecording();
        w.Save(ScratchPath("play_state_live.qov"));
        FLog = ScratchPath("play_state_live.log");
        DeleteFileA(FLog.c_str());
        std::string why;
        ASSERT_TRUE(FPeer.Start("live_server.py",
                                "--recording " + UnixPath(ScratchPath("play_state_live.qov")) + " --log " +
                                    UnixPath(FLog) + " --reply Title=LiveShow\\r\\nAuthor=Peer\\r\\n " + options,
                                &why))
            << why;
        FRecords = w.Frames().size();
    }
    std::wstring Locator() { return Wide("QOVS://127.0.0.1:" + std::to_string(FPeer.ServicePort()) + "/live"); }

    TWinsock FWinsock;
    TPeer FPeer;
    std::string FLog;
    size_t FRecords = 0;
};

TEST_F(LiveControl, NotificationsArriveOnTheControlsThreadInOrder)
{
    ASSERT_NO_FATAL_FAILURE(StartPeer("--texts"));
    std::vector<qov::writer::Bytes> samples;
    Host.SetHook([&](DISPID id, DISPPARAMS* params) {
        if (id != 206)
            return;
        const auto* record = reinterpret_cast<const uint8_t*>(static_cast<LONG_PTR>(params->rgvarg[0].lVal));
        const auto& h = qov::RecordHeader(record);
        samples.emplace_back(record, record + qov::kFrameHeaderSize + h.Length);
    });
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_HRESULT_SUCCEEDED(OpenText(P, Locator()));
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return samples.size() >= FRecords; }, 20000)) << samples.size();
    EXPECT_EQ(States(Host), (V{7, 1, 2}));
    const auto sent = qov::writer::BuildSampleRecording();
    for (size_t i = 0; i < FRecords; ++i) {
        qov::writer::Bytes r = qov::writer::MakeFrameRecord(sent.Frames()[i].Header, sent.Frames()[i].Payload);
        std::fill(r.begin() + 20, r.begin() + 28, 0);
        std::fill(samples[i].begin() + 20, samples[i].begin() + 28, 0);
        ASSERT_EQ(samples[i], r) << "record " << i;
    }
    // Texts first, in the peer's order; every event on this thread.
    std::vector<std::pair<DISPID, std::wstring>> texts;
    for (const auto& e : Host.Events()) {
        EXPECT_EQ(e.ThreadId, GetCurrentThreadId());
        if (e.Id == 204 || e.Id == 205 || e.Id == 207)
            texts.emplace_back(e.Id, e.Args[0].bstrVal);
    }
    EXPECT_EQ(texts, (std::vector<std::pair<DISPID, std::wstring>>{
                         {205, L"index-text"}, {204, L"script-text"}, {207, L"string-text"}}));
    BSTR b = nullptr;
    P->get_Title(&b);
    EXPECT_EQ(std::wstring(b), L"LiveShow");
    SysFreeString(b);
    P->get_Host(&b);
    EXPECT_EQ(std::wstring(b), L"127.0.0.1");
    SysFreeString(b);
    P->get_ChannelName(&b);
    EXPECT_EQ(std::wstring(b), L"live");
    SysFreeString(b);
    BSTR x = SysAllocString(L"x-request");
    EXPECT_HRESULT_SUCCEEDED(P->Request(x));
    SysFreeString(x);
    EXPECT_TRUE(TControlHost::PumpUntil([&] { return ReadWholeFile(FLog).find("x-request") != std::string::npos; }, 5000));

    // Stop, then Play: the source reconnects and plays again.
    Host.ClearEvents();
    EXPECT_HRESULT_SUCCEEDED(P->Stop());
    EXPECT_HRESULT_SUCCEEDED(P->Play());
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return States(Host).size() >= 4; }, 15000));
    EXPECT_EQ(States(Host), (V{4, 2, 1, 2}));
    EXPECT_HRESULT_SUCCEEDED(P->Close());
}

TEST_F(LiveControl, ADroppedLinkReconnectsAfterThreeSecondsOnlyWithAutoConnect)
{
    ASSERT_NO_FATAL_FAILURE(StartPeer("--frames 20 --end close"));
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_HRESULT_SUCCEEDED(OpenText(P, Locator()));
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return States(Host).size() >= 4; }, 15000));
    const DWORD closed = GetTickCount();
    EXPECT_EQ(States(Host), (V{7, 1, 2, 0}));
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return States(Host).size() >= 7; }, 10000));
    const DWORD reopened = GetTickCount() - closed;
    const V states = States(Host);
    EXPECT_EQ(V(states.begin(), states.begin() + 7), (V{7, 1, 2, 0, 7, 1, 2}));
    EXPECT_GT(reopened, 2500u);
    EXPECT_LT(reopened, 6000u);
    BSTR url = nullptr;
    P->get_URL(&url);
    EXPECT_EQ(std::wstring(url), Locator());
    SysFreeString(url);

    // Without AutoConnect the control neither closes nor opens again (the
    // source itself connects anew when the play thread asks for more).
    P->put_AutoConnect(VARIANT_FALSE);
    ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == vpPlaying; }, 10000));
    Host.ClearEvents();
    TControlHost::Pump(5000);
    for (LONG state : States(Host))
        EXPECT_TRUE(state == vpOpened || state == vpPlaying) << state;
    EXPECT_HRESULT_SUCCEEDED(P->Close());
}

// ---------------------------------------------------------------------------
// Multicast: a channel file from a local path and from a web server, played
// inside the test network namespace (a web server of its own there, as the
// machine's nginx cannot be reached from it).

class MulticastControl : public PlayState {
protected:
    void SetUp() override
    {
        if (!InNetworkNamespace())
            GTEST_SKIP() << "receives multicast: runs inside the test network namespace";
        // The namespace's Wine prefix is a copy that may hold another
        // registration of the control: this build's is made there.
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        char line[] = "regsvr32 /s QovPlayer.ocx";
        ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        WaitForSingleObject(pi.hProcess, 60000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        qov::writer::TRecordingWriter w(320, 240, qov::kVersion0101);
        w.AddKeyFrame(0, qov::writer::MakeScreenPicture(320, 240, 41), qov::ctZlib);
        w.AddCursorMove(100, 10, 10);
        w.AddKeyFrame(200, qov::writer::MakeScreenPicture(320, 240, 42), qov::ctLZO1X);
        w.Save(ScratchPath("cast_ctl.qov"));
        FPort = 17600 + int(GetCurrentProcessId() % 200);
        const std::string channel = "[Address]\r\nip=238.1.2.4\r\nport=" + std::to_string(FPort) + "\r\n";
        FChannel = ScratchPath("cast_ctl.sms");
        std::ofstream(FChannel, std::ios::binary) << channel;
    }
    // Opens the channel, lets the receivers join, sends, and waits for play.
    void PlayChannel(const std::wstring& locator)
    {
        TPeer sender;
        std::string why;
        ASSERT_TRUE(sender.Start("multicast_sender.py", "--group 238.1.2.4 --port " + std::to_string(FPort) +
                                                            " --recording " + UnixPath(ScratchPath("cast_ctl.qov")),
                                 &why))
            << why;
        Host.ClearEvents();
        ASSERT_HRESULT_SUCCEEDED(OpenText(P, locator));
        TControlHost::Pump(1000);
        ASSERT_EQ(sender.Ask("go"), "ok");
        ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == vpPlaying; }, 10000)) << StatusOf(P);
        EXPECT_EQ(States(Host), (V{7, 1, 2}));
        EXPECT_EQ(Get(P, &IQovPlayer::get_QovWidth), 320);
        EXPECT_HRESULT_SUCCEEDED(P->Close());
    }

    TWinsock FWinsock;
    int FPort = 0;
    std::string FChannel;
};

TEST_F(MulticastControl, ChannelFileFromALocalPathAndFromAWebServerPlays)
{
    ASSERT_NO_FATAL_FAILURE(Make());
    char full[MAX_PATH];
    GetFullPathNameA(FChannel.c_str(), MAX_PATH, full, nullptr);
    ASSERT_NO_FATAL_FAILURE(PlayChannel(Wide(full)));

    const int web = FPort + 1000;
    char folder[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, folder);
    ASSERT_TRUE(StartCommand("Z:\\usr\\bin\\timeout 60 /usr/bin/python3 -m http.server " + std::to_string(web) +
                             " --bind 127.0.0.1 --directory " + UnixPath(folder)));
    const std::string url = "http://127.0.0.1:" + std::to_string(web) + "/" + FChannel.substr(FChannel.find_last_of("\\/") + 1);
    TControlHost::Pump(1500);
    ASSERT_NO_FATAL_FAILURE(PlayChannel(Wide(url)));
}

TEST(MulticastControlNamespace, ChannelPlaybackRunsInsideTheNetworkNamespace)
{
    if (InNetworkNamespace())
        GTEST_SKIP() << "already inside";
    const TNamespaceRun run = RunSelfInNetworkNamespace("MulticastControl.*");
    if (run.Code == kNamespaceUnavailable)
        GTEST_SKIP() << "multicast playback not tested: " << run.Log;
    EXPECT_EQ(run.Code, 0) << run.Log;
    EXPECT_NE(run.Log.find("[  PASSED  ]"), std::string::npos) << run.Log;
    EXPECT_EQ(run.Log.find("SKIPPED"), std::string::npos) << run.Log;
}
