// The values of the report's general section: the application, the
// exception, the active window, the computer, the operating system and the
// network. Every value is a string in the system's ANSI code page; one that
// cannot be had is empty, or the fallback text its function names.
#pragma once

#include <array>
#include <string>

#include "EExceptionInfo.h"

namespace qov::exceptions {

struct TReportState;

// Items 1.1 to 6.6 in item order (33 values), computed anew at each call.
using TGeneralValues = std::array<std::string, 33>;
TGeneralValues GeneralSectionValues(const TReportState& state);

// Item 2.5: the exception's message, an access violation's rebuilt from its
// record, a full stop added; "Unknown error message." without a valid object.
std::string GetExceptionMessageText(const TExceptionInfo* exception);

} // namespace qov::exceptions
