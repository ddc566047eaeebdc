// bench_control: the player control in a container, 300 cycles of create,
// activate in place, deactivate and destroy, with the process's handles, GDI
// and USER objects, threads and private bytes after against before, and the
// time per cycle; then a Status get through the vtable, Invoke by dispid and
// Invoke by name side by side (Windows; run under Wine with QovPlayer.ocx
// registered). The number of cycles may be given as the argument.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>

#include "BenchSupport.h"
#include "OleHost.h"
#include "QovPlayerTLB.h"

using qov::bench::NowMs;

namespace {

struct TResources {
    DWORD Handles = 0;
    DWORD Gdi = 0;
    DWORD User = 0;
    DWORD Threads = 0;
    SIZE_T Private = 0;
};

TResources Measure()
{
    TResources r;
    r.Handles = qov::bench::HandleCount();
    r.Gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    r.User = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    r.Threads = qov::bench::ThreadCount();
    r.Private = qov::bench::PrivateBytes();
    return r;
}

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool Cycle(HWND window)
{
    qov::host::TOleHost host(window);
    if (FAILED(host.Create(CLSID_QovPlayerCtrl)) || FAILED(host.Activate(RECT{0, 0, 640, 480}, true)))
        return false;
    Pump();
    host.Deactivate();
    host.Destroy();
    Pump();
    return true;
}

void Ratio(const char* what, double before, double after)
{
    if (before == 0 && after == 0)
        std::printf("%-14s not counted by this system\n", what);
    else
        std::printf("%-14s before %12.0f  after %12.0f  ratio %.2f\n", what, before, after,
                    before > 0 ? after / before : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    OleInitialize(nullptr);
    HWND window = CreateWindowExA(0, "STATIC", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 640, 480, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    for (int i = 0; i < 20; ++i)
        if (!Cycle(window)) {
            std::printf("cannot create the control (is QovPlayer.ocx registered?)\n");
            return 1;
        }
    Measure();  // whatever the counting itself makes on first use
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 300;  // 300 unless given
    TResources before = Measure();
    double start = NowMs();
    for (int i = 0; i < cycles; ++i)
        Cycle(window);
    double elapsed = NowMs() - start;
    TResources after = Measure();
    std::printf("%d cycles of create, activate, deactivate, destroy: %.3f ms per cycle\n", cycles, elapsed / cycles);
    Ratio("handles", before.Handles, after.Handles);
    Ratio("GDI objects", before.Gdi, after.Gdi);
    Ratio("USER objects", before.User, after.User);
    Ratio("threads", before.Threads, after.Threads);
    Ratio("private bytes", static_cast<double>(before.Private), static_cast<double>(after.Private));

    qov::host::TOleHost host(window);
    if (FAILED(host.Create(CLSID_QovPlayerCtrl)))
        return 1;
    IQovPlayer* player = nullptr;
    host.Control()->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&player));
    IDispatch* dispatch = host.Dispatch();
    const int calls = 200000;
    TStatus status;
    double t0 = NowMs();
    for (int i = 0; i < calls; ++i)
        player->get_Status(&status);
    double vtable = NowMs() - t0;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    t0 = NowMs();
    for (int i = 0; i < calls; ++i) {
        VariantInit(&result);
        dispatch->Invoke(205, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    }
    double byId = NowMs() - t0;
    LPOLESTR name = const_cast<LPOLESTR>(L"Status");
    t0 = NowMs();
    for (int i = 0; i < calls; ++i) {
        DISPID id = 0;
        dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        VariantInit(&result);
        dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    }
    double byName = NowMs() - t0;
    std::printf("Status get, %d calls: vtable %.1f ns, Invoke by dispid %.1f ns, Invoke by name %.1f ns per call\n",
                calls, vtable * 1e6 / calls, byId * 1e6 / calls, byName * 1e6 / calls);
    player->Release();
    host.Destroy();
    DestroyWindow(window);
    OleUninitialize();
    return 0;
}
