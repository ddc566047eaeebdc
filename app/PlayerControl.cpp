#include "PlayerControl.h"

#include <ocidl.h>
#include <ole2.h>
#include <shlwapi.h>

#include <cstdio>

#include "ControlData.h"
#include "OleHost.h"
#include "QovPlayerTLB.h"

namespace qov::app {

namespace {

// Dispatch identifiers of the properties and the event the window uses.
constexpr DISPID DispDuration = 21;
constexpr DISPID DispCurrentPosition = 28;
constexpr DISPID DispURL = 204;
constexpr DISPID DispStatus = 205;
constexpr DISPID DispOnPlayStateChanged = 201;

std::string Narrow(const wchar_t* text)
{
    if (!text || !*text)
        return {};
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), size, nullptr, nullptr);
    return result;
}

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
    return message.empty() ? code + 1 : message + code;
}

// The failure of a vtable call: the control's error description when it set
// one, else the result's text.
[[noreturn]] void RaiseCallError(HRESULT hr)
{
    std::string message;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description)))
            message = Narrow(description);
        SysFreeString(description);
        info->Release();
    }
    throw EControlError(message.empty() ? ErrorText(hr) : message);
}

void Check(HRESULT hr)
{
    if (FAILED(hr))
        RaiseCallError(hr);
}

struct TVariant : VARIANT {
    TVariant() { VariantInit(this); }
    ~TVariant() { VariantClear(this); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
};

class TQovControl final : public IPlayerControl {
public:
    TQovControl(HWND parent, TPlayStateHandler onStateChanged) : FHost(parent), FOnStateChanged(std::move(onStateChanged))
    {
        FHost.SetEventHandler([this](DISPID id, DISPPARAMS* params) { Event(id, params); });
        std::vector<uint8_t> data = ControlData();
        IStream* stream = SHCreateMemStream(data.data(), static_cast<UINT>(data.size()));
        if (!stream)
            throw EControlError("Cannot create the player control: " + ErrorText(E_OUTOFMEMORY));
        HRESULT hr = FHost.Create(CLSID_QovPlayerCtrl, stream);
        stream->Release();
        if (FAILED(hr))
            throw EControlError("Cannot create the player control: " + ErrorText(hr));
        hr = FHost.Control()->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&FPlayer));
        if (FAILED(hr) || !FHost.Dispatch()) {
            FHost.Destroy();
            throw EControlError("Cannot create the player control: " + ErrorText(hr));
        }
        RECT rect;
        GetClientRect(parent, &rect);
        hr = FHost.Activate(rect, false);
        if (FAILED(hr)) {
            FPlayer->Release();
            FPlayer = nullptr;
            FHost.Destroy();
            throw EControlError("Cannot show the player control: " + ErrorText(hr));
        }
    }

    ~TQovControl() override
    {
        FHost.SetEventHandler(nullptr);
        if (FPlayer)
            FPlayer->Release();
        FHost.Destroy();
    }

    void Open(const std::wstring& locator) override
    {
        BSTR name = SysAllocStringLen(locator.data(), static_cast<UINT>(locator.size()));
        HRESULT hr = FPlayer->Open(name);
        SysFreeString(name);
        Check(hr);
    }
    void Play() override { Check(FPlayer->Play()); }
    void Pause() override { Check(FPlayer->Pause()); }
    void Stop() override { Check(FPlayer->Stop()); }
    void Close() override { Check(FPlayer->Close()); }
    void FastForward() override { Check(FPlayer->FastForward()); }
    void FastReverse() override { Check(FPlayer->FastReverse()); }

    int32_t Duration() override { return GetInt(DispDuration); }
    int32_t CurrentPosition() override { return GetInt(DispCurrentPosition); }
    void SetCurrentPosition(int32_t milliseconds) override
    {
        TVariant value;
        value.vt = VT_I4;
        value.lVal = milliseconds;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        Invoke(DispCurrentPosition, DISPATCH_PROPERTYPUT, params, nullptr);
    }
    std::wstring URL() override
    {
        TVariant value;
        Get(DispURL, value, VT_BSTR);
        return value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : std::wstring();
    }
    int Status() override { return GetInt(DispStatus); }

    void SetBounds(const RECT& rect) override { FHost.Move(rect); }

private:
    void Invoke(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result)
    {
        EXCEPINFO error{};
        HRESULT hr = FHost.Dispatch()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                              &error, nullptr);
        if (SUCCEEDED(hr))
            return;
        if (hr == DISP_E_EXCEPTION && error.pfnDeferredFillIn)
            error.pfnDeferredFillIn(&error);
        std::string message = Narrow(error.bstrDescription);
        if (hr == DISP_E_EXCEPTION && FAILED(error.scode))
            hr = error.scode;
        SysFreeString(error.bstrSource);
        SysFreeString(error.bstrDescription);
        SysFreeString(error.bstrHelpFile);
        throw EControlError(message.empty() ? ErrorText(hr) : message);
    }
    void Get(DISPID id, VARIANT& value, VARTYPE type)
    {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        Invoke(id, DISPATCH_PROPERTYGET, none, &value);
        if (value.vt != type)
            Check(VariantChangeType(&value, &value, 0, type));
    }
    int32_t GetInt(DISPID id)
    {
        TVariant value;
        Get(id, value, VT_I4);
        return value.lVal;
    }
    void Event(DISPID id, DISPPARAMS* params)
    {
        if (id != DispOnPlayStateChanged || !params || params->cArgs < 1 || !FOnStateChanged)
            return;
        TVariant state;
        if (SUCCEEDED(VariantChangeType(&state, &params->rgvarg[params->cArgs - 1], 0, VT_I4)))
            FOnStateChanged(state.lVal);
    }

    host::TOleHost FHost;
    TPlayStateHandler FOnStateChanged;
    IQovPlayer* FPlayer = nullptr;
};

} // namespace

std::unique_ptr<IPlayerControl> CreateQovPlayerControl(HWND parent, TPlayStateHandler onStateChanged)
{
    return std::make_unique<TQovControl>(parent, std::move(onStateChanged));
}

} // namespace qov::app
