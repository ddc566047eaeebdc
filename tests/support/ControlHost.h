// The player control in a test container (Windows only): a visible window on
// the test's own thread (OleInitialize'd), the control created by class id
// through the container side of control/host, activated in place, its events
// recorded with their arguments and thread, and driven by name or vtable.
//
//   TControlHost host;
//   ASSERT_HRESULT_SUCCEEDED(host.Create());
//   ASSERT_HRESULT_SUCCEEDED(host.Activate());
//   host.Player()->put_ScreenBackgroundColor(0x0000FF);
//   ASSERT_TRUE(host.WaitEvent(2, 5000));   // OnClick
#pragma once
#ifdef _WIN32

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "OleHost.h"
#include "QovPlayerTLB.h"

namespace qov::test {

// A VARIANT that clears itself.
struct TVariant : VARIANT {
    TVariant() { VariantInit(this); }
    TVariant(const TVariant& other) : TVariant() { VariantCopy(this, const_cast<TVariant*>(&other)); }
    TVariant& operator=(const TVariant& other)
    {
        if (this != &other)
            VariantCopy(this, const_cast<TVariant*>(&other));
        return *this;
    }
    ~TVariant() { VariantClear(this); }
    static TVariant Int(LONG v);
    static TVariant Bool(bool v);
    static TVariant Str(const wchar_t* v);
};

struct TRecordedEvent {
    DISPID Id = 0;
    std::vector<TVariant> Args;  // in declaration order (by-reference ones dereferenced)
    DWORD ThreadId = 0;
};

class TControlHost {
public:
    // Sees every event after it is recorded (may change by-reference args).
    using THook = std::function<void(DISPID id, DISPPARAMS* params)>;

    TControlHost();
    ~TControlHost();
    TControlHost(const TControlHost&) = delete;
    TControlHost& operator=(const TControlHost&) = delete;

    HRESULT Create(IStream* stream = nullptr, IPropertyBag* bag = nullptr);
    HRESULT Activate(bool uiActivate = true);
    void Destroy() { FOle.Destroy(); ReleasePlayer(); }

    host::TOleHost& Ole() { return FOle; }
    // The control through its vtable (nil before Create).
    IQovPlayer* Player();
    HWND Window() const { return FWindow; }
    void SetHook(THook hook) { FHook = std::move(hook); }

    std::vector<TRecordedEvent> Events() const { return FEvents; }
    std::vector<TRecordedEvent> EventsOf(DISPID id) const;
    void ClearEvents() { FEvents.clear(); }
    // Pumps messages until n events with this dispid were recorded.
    bool WaitEvent(DISPID id, DWORD timeoutMs, size_t n = 1);
    // Pumps messages for ms.
    static void Pump(DWORD ms);
    // Pumps messages until done() holds (true) or timeoutMs passed (false).
    static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

private:
    void ReleasePlayer();

    HWND FWindow = nullptr;
    host::TOleHost FOle;
    IQovPlayer* FPlayer = nullptr;
    std::vector<TRecordedEvent> FEvents;
    THook FHook;
};

// A property bag of names and values (a web page's parameters).
class TPropertyBag final : public IPropertyBag {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --FRefs; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override;

    std::vector<std::wstring> Written;   // names in the order written
    std::map<std::wstring, TVariant> Values;
    std::vector<std::wstring> Asked;     // names in the order read

private:
    ULONG FRefs = 1;
};

// The description of the calling thread's error info ("" without one); the
// error info is taken (cleared) by the call.
std::wstring ErrorDescription();

} // namespace qov::test

#endif
