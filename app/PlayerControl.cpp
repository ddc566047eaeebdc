#include "PlayerControl.h"

#include <objbase.h>

#include <cstdio>

namespace qov::app {

namespace {

// {339C1EE2-1029-46B8-81F1-360217F26FC4}
const CLSID CLSID_QovPlayerCtrl = {
    0x339C1EE2, 0x1029, 0x46B8, {0x81, 0xF1, 0x36, 0x02, 0x17, 0xF2, 0x6F, 0xC4}};

std::string ErrorText(HRESULT hr)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text ? text : "";
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    char code[32];
    std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(hr));
    return message + code;
}

} // namespace

std::unique_ptr<IPlayerControl> CreateQovPlayerControl(HWND parent, TPlayStateHandler onStateChanged)
{
    // The class must be registered and its library load.
    IUnknown* object = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QovPlayerCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
    if (FAILED(hr))
        throw EControlError("Cannot create the player control: " + ErrorText(hr));
    object->Release();
    // The container that places the control in the window comes with the
    // control's host library.
    throw EControlError("Cannot create the player control: no container for it in this build");
}

} // namespace qov::app
