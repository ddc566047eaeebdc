// The safecall boundary's report and the application's exception handler.
#include "ESafeCall.h"

#include "EDecision.h"
#include "EEvents.h"
#include "EHelpers.h"
#include "EManager.h"

namespace qov::exceptions {

namespace {

// The address the exception was raised at, when the raise was recorded;
// else the catching place.
const void* RaiseAddressOf(const TExceptionInfo& exception, const void* catching)
{
    const TSavedException saved = SavedException();
    if (saved.Object && exception.Object() && saved.Object->Object() == exception.Object() && saved.Address)
        return saved.Address;
    return catching;
}

} // namespace

__attribute__((noinline)) void ReportSafeCallException(HMODULE module) noexcept
{
    try {
        TExceptionInfo exception = TExceptionInfo::Current();
        // The mark is taken whatever happens next: it belongs to this exception only.
        const bool reported = TakeSafeCallMark(exception.Object());
        if (reported || exception.Empty() || !exception.IsManageable())
            return;
        const void* address = RaiseAddressOf(exception, __builtin_return_address(0));
        if (LibraryState().DefersToMain) {
            ExceptionManager(&exception, address, rkThread, module);
            return;
        }
        const void* thrown = exception.Object();
        RunExceptionHandler(std::make_shared<const TExceptionInfo>(std::move(exception)), address, false,
                            daSafeCall, module, rkThread, nullptr, 0, 0);
        // The report marked the exception; nothing is to ask for it after this.
        TakeSafeCallMark(thrown);
    } catch (...) {
    }
}

__attribute__((noinline)) bool HandleApplicationException(HMODULE module) noexcept
{
    try {
        if (StepWaitingForMainThread())
            return false;
        TExceptionInfo exception = TExceptionInfo::Current();
        if (exception.Empty())
            return false;
        const void* address = RaiseAddressOf(exception, __builtin_return_address(0));
        return ExceptionManager(&exception, address, rkApplication, module) == 0;
    } catch (...) {
        return false;
    }
}

} // namespace qov::exceptions
