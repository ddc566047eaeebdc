// PLACEHOLDER: replaced by the system values' own implementation.
#include "ESystemInfo.h"

#include "EReportSteps.h"

namespace qov::exceptions {

TGeneralValues GeneralSectionValues(const TReportState&)
{
    return {};
}

std::string GetExceptionMessageText(const TExceptionInfo* exception)
{
    return exception ? exception->Message() : std::string("Unknown error message.");
}

} // namespace qov::exceptions
