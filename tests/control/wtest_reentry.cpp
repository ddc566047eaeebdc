// A host's sink that re-enters the control from inside OnPlayStateChanged:
// Close, Open of another recording, URL put, or letting go of the control
// altogether, on every state each method and engine handler fires. The host
// survives every case, and Status and the events always say what is open.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ControlHost.h"
#include "QovFormat.h"
#include "QovPlayerTLB.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"

using namespace qov::test;

namespace {

constexpr DISPID kState = 201;

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::wstring SaveSample(const char* name)
{
    const std::string path = ScratchPath(name);
    qov::writer::BuildSampleRecording().Save(path);
    return Wide(path);
}

const std::wstring& Sample()
{
    static const std::wstring path = SaveSample("reentry_sample.qov");
    return path;
}

// Another recording: the same pictures under another name.
const std::wstring& Other()
{
    static const std::wstring path = SaveSample("reentry_other.qov");
    return path;
}

TStatus StatusOf(IQovPlayer* p)
{
    TStatus s = vpSeeking;
    p->get_Status(&s);
    return s;
}

HRESULT OpenText(IQovPlayer* p, const std::wstring& locator)
{
    BSTR b = SysAllocString(locator.c_str());
    HRESULT hr = p->Open(b);
    SysFreeString(b);
    return hr;
}

std::wstring UrlOf(IQovPlayer* p)
{
    BSTR b = nullptr;
    p->get_URL(&b);
    std::wstring s = b ? b : L"";
    SysFreeString(b);
    return s;
}

// What the sink does on the state event it waits for.
enum class TAct { Close, OpenOther, UrlOther, Release };

const char* NameOf(TAct act)
{
    switch (act) {
    case TAct::Close: return "Close";
    case TAct::OpenOther: return "Open of another recording";
    case TAct::UrlOther: return "URL of another recording";
    default: return "release";
    }
}

class Reentry : public testing::Test {
public:
    // One case: a new control, brought to the trigger's starting state; the
    // sink acts on the trigger's event number `event`; then the host must
    // be alive and the control must say what is open.
    struct TTrigger {
        const char* Name;
        bool AutoStart;
        std::function<void(Reentry&)> Prepare;
        std::function<void(Reentry&)> Fire;
        std::vector<LONG> Fires;  // the state events the trigger fires, in order
        size_t FirstActed = 0;    // (earlier ones are another trigger's)
        DWORD Settle = 800;       // a reconnect rule takes 3000 ms to show
    };

    void RunCase(const TTrigger& t, size_t event, TAct act)
    {
        SCOPED_TRACE(std::string(t.Name) + ", on state " + std::to_string(t.Fires[event]) + " (event " +
                     std::to_string(event) + "): " + NameOf(act));
        FHost = std::make_unique<TControlHost>();
        ASSERT_HRESULT_SUCCEEDED(FHost->Create());
        ASSERT_HRESULT_SUCCEEDED(FHost->Activate(false));
        P = FHost->Player();
        Form = FHost->Ole().ControlWindow();
        ASSERT_TRUE(Form);
        P->put_AutoStart(t.AutoStart ? VARIANT_TRUE : VARIANT_FALSE);
        ASSERT_NO_FATAL_FAILURE(t.Prepare(*this));

        bool acted = false, released = false;
        size_t seen = 0;
        std::vector<LONG> fired;
        FHost->SetHook([&](DISPID id, DISPPARAMS* params) {
            if (id != kState || acted)
                return;
            fired.push_back(params->rgvarg[0].lVal);
            if (seen++ != event)
                return;
            acted = true;
            switch (act) {
            case TAct::Close: EXPECT_HRESULT_SUCCEEDED(P->Close()); break;
            case TAct::OpenOther: EXPECT_HRESULT_SUCCEEDED(OpenText(P, Other())); break;
            case TAct::UrlOther: {
                BSTR b = SysAllocString(Other().c_str());
                EXPECT_HRESULT_SUCCEEDED(P->put_URL(b));
                SysFreeString(b);
                break;
            }
            case TAct::Release:
                released = true;
                FHost->Destroy();
                break;
            }
        });
        FHost->ClearEvents();
        Released = &released;
        t.Fire(*this);
        Released = nullptr;
        ASSERT_TRUE(acted) << "the trigger fired " << fired.size() << " state events";
        EXPECT_EQ(std::vector<LONG>(fired.begin(), fired.end()),
                  std::vector<LONG>(t.Fires.begin(), t.Fires.begin() + static_cast<long>(event) + 1));
        TControlHost::Pump(t.Settle);

        if (released) {
            // The control went with its last reference, its window too.
            EXPECT_FALSE(IsWindow(Form));
            FHost.reset();
            return;
        }
        if (act == TAct::Close) {
            EXPECT_EQ(StatusOf(P), vpClosed);
            LONG media = -1;
            P->get_MediaTime(&media);
            EXPECT_EQ(media, 0) << "a play thread outlived the close";
        } else {
            const TStatus ready = t.AutoStart ? vpPlaying : vpOpened;
            EXPECT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == ready; }, 10000))
                << "status " << StatusOf(P);
            EXPECT_EQ(UrlOf(P), Other());
            if (ready == vpPlaying) {
                LONG at = 0, later = 0;
                P->get_CurrentPosition(&at);
                TControlHost::Pump(300);
                P->get_CurrentPosition(&later);
                EXPECT_GT(later, at) << "vpPlaying without a running play thread";
            }
        }
        // The last event the host heard is the state it reads.
        const auto last = FHost->EventsOf(kState);
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(last.back().Args[0].lVal, StatusOf(P));
        // Nothing that the handler undid comes back later (a reconnect of
        // the recording it closed, a second stop).
        const size_t count = last.size();
        TControlHost::Pump(t.Settle);
        EXPECT_EQ(FHost->EventsOf(kState).size(), count);
        FHost->SetHook(nullptr);
        FHost.reset();
    }

    // Runs every acted event of every trigger with every action.
    void RunAll(const std::vector<TTrigger>& triggers)
    {
        for (const TTrigger& t : triggers)
            for (size_t event = t.FirstActed; event < t.Fires.size(); ++event)
                for (TAct act : {TAct::Close, TAct::OpenOther, TAct::UrlOther, TAct::Release})
                    ASSERT_NO_FATAL_FAILURE(RunCase(t, event, act));
    }

    // Helpers of the trigger table.
    void Open() { ASSERT_HRESULT_SUCCEEDED(OpenText(P, Sample())); }
    void Opened(TStatus want)
    {
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(P) == want; }, 15000)) << StatusOf(P);
    }
    // Pumps until n state events came, or the sink let go of the control.
    void PumpEvents(size_t n, DWORD timeoutMs)
    {
        TControlHost::PumpUntil([&] { return (Released && *Released) || FHost->EventsOf(kState).size() >= n; },
                                timeoutMs);
    }

    std::unique_ptr<TControlHost> FHost;
    IQovPlayer* P = nullptr;
    HWND Form = nullptr;
    bool* Released = nullptr;
};

using R = Reentry;

} // namespace

// The members: Open (also over an open recording), Play, Pause, Stop from
// vpPaused (2, then 4), FastForward from vpStopped (2, then 5), FastReverse.
TEST_F(Reentry, SinkReentersFromTheMembers)
{
    const std::vector<TTrigger> triggers = {
        {"Open", false, [](R&) {}, [](R& r) { OpenText(r.P, Sample()); }, {7}},
        {"Open over an open recording", false, [](R& r) { r.Opened(vpOpened); },
         [](R& r) { OpenText(r.P, Sample()); }, {0, 7}},
        {"Play", false, [](R& r) { r.Opened(vpOpened); }, [](R& r) { r.P->Play(); }, {2}},
        {"Pause", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); },
         [](R& r) { r.P->Pause(); }, {3}},
        {"Stop", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); r.P->Pause(); },
         [](R& r) { r.P->Stop(); }, {2, 4}},
        {"FastForward", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); r.P->Stop(); },
         [](R& r) { r.P->FastForward(); }, {2, 5}},
        {"FastReverse", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); r.P->Pause(); },
         [](R& r) { r.P->FastReverse(); }, {2}},
        {"Close", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); },
         [](R& r) { r.P->Close(); }, {0}},
    };
    RunAll(triggers);
}

// The engine's handlers: OPENED (vpOpened, then vpPlaying with AutoStart),
// END (vpStopped twice) and STATUS under the reconnect rule (vpClosed, and
// 3000 ms later the reconnect's vpOpening).
TEST_F(Reentry, SinkReentersFromTheEngineHandlers)
{
    const std::vector<TTrigger> triggers = {
        {"the engine's OPENED", true, [](R&) {},
         [](R& r) {
             r.Open();
             r.PumpEvents(3, 15000);
         },
         {7, 1, 2}, 1},
        {"the engine's END", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); },
         [](R& r) {
             PostMessageA(r.Form, qov::WM_ENGINE_END, 0, 0);
             r.PumpEvents(2, 3000);
         },
         {4, 4}},
        {"the engine's STATUS", false, [](R& r) { r.Opened(vpOpened); r.P->Play(); },
         [](R& r) {
             PostMessageA(r.Form, qov::WM_ENGINE_STATUS, qov::ecNetworkError, 0);
             r.PumpEvents(1, 3000);
         },
         {0}, 0, 3800},
        {"the reconnect", true,
         [](R& r) {
             r.Opened(vpPlaying);
             PostMessageA(r.Form, qov::WM_ENGINE_STATUS, qov::ecNetworkError, 0);
             ASSERT_TRUE(TControlHost::PumpUntil([&] { return StatusOf(r.P) == vpClosed; }, 3000));
         },
         [](R& r) { r.PumpEvents(1, 6000); }, {7}, 0, 1500},
    };
    RunAll(triggers);
}
