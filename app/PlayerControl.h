// The embedded player control as the main window sees it: the commands it
// sends through the control's interface, the properties it reads and writes,
// and the one event it listens to. A failing call throws EControlError with
// the control's message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "QovPlayerTLB.h"  // TStatus

namespace qov::app {

class EControlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IPlayerControl {
public:
    virtual ~IPlayerControl() = default;

    virtual void Open(const std::wstring& locator) = 0;
    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void Stop() = 0;
    virtual void Close() = 0;
    virtual void FastForward() = 0;
    virtual void FastReverse() = 0;

    virtual int32_t Duration() = 0;
    virtual int32_t CurrentPosition() = 0;
    virtual void SetCurrentPosition(int32_t milliseconds) = 0;
    virtual std::wstring URL() = 0;
    virtual int Status() = 0;

    // Places the control's window in its parent.
    virtual void SetBounds(const RECT& rect) = 0;
};

// Called with the new state on the window's thread.
using TPlayStateHandler = std::function<void(int state)>;
// Makes the control inside parent; throws EControlError when it cannot.
using TPlayerControlFactory =
    std::function<std::unique_ptr<IPlayerControl>(HWND parent, TPlayStateHandler onStateChanged)>;

// The real control, created by its class id.
std::unique_ptr<IPlayerControl> CreateQovPlayerControl(HWND parent, TPlayStateHandler onStateChanged);

} // namespace qov::app
