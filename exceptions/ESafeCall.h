// The two places where a module's own catch blocks hand an exception to the
// library: the safecall boundary of automation members (RunSafeCall's
// failure routine) and the application's exception handler of window
// procedures and timers.
#pragma once

#include <windows.h>

namespace qov::exceptions {

// Inside the catch of the safecall boundary: reports the exception being
// handled once, with the decision's safecall answer, unless the raise
// already reported it there. EAbort and its descendants are not reported.
// module: the module whose member failed. Never raises.
void ReportSafeCallException(HMODULE module) noexcept;

// Inside a catch block: hands the exception being handled to the manager as
// the application's handler does (raiser kind 1). True when the library took
// care of it; false when the caller goes on with its own handling (also
// while a step of a report runs on this thread). Never raises.
bool HandleApplicationException(HMODULE module) noexcept;

} // namespace qov::exceptions
