// The values of the report's general section: the application, the
// exception, the active window, the computer, the operating system and the
// network. Every value is a string in the system's ANSI code page; one that
// cannot be had is empty, or the fallback text its function names.
#pragma once

#include <array>
#include <string>

#include "ECoreText.h"
#include "EExceptionInfo.h"
#include "ESystemText.h"

namespace qov::exceptions {

struct TReportState;

// Items 1.1 to 6.6 in item order (33 values), computed anew at each call.
using TGeneralValues = std::array<std::string, 33>;
TGeneralValues GeneralSectionValues(const TReportState& state);

// Item 2.5: the exception's message, an access violation's rebuilt from its
// record, a full stop added; "Unknown error message." without a valid object.
std::string GetExceptionMessageText(const TExceptionInfo* exception);

// The library's start time in this module (local time), taken by its start.
void MarkLibraryStart();
TDateTime LibraryStartTime();

// Installs the manager's exception-message step: the message of
// GetExceptionMessageText, cleaned by CleanMessageText.
void InstallSystemInfoSteps();

// The single values, for the report dialog and the tests.
std::string ExceptionAddressText(const void* address);       // 2.2
std::string ExceptionModuleText(const void* address);        // 2.3
std::string ExceptionTypeText(const TExceptionInfo* exception); // 2.4
std::string CommandLineParameters();                          // 1.4
std::string CompilationDate();                                // 1.5
std::string ForegroundWindowClass();                          // 3.1
std::string ForegroundWindowText();                           // 3.2
std::string UserName();                                       // 4.2
std::string TotalMemoryText();                                // 4.3
std::string FreeMemoryText();                                 // 4.4
// 4.5 and 4.6: both empty when the disk call is missing or fails.
void DiskValues(std::string& total, std::string& free);
std::string SystemUpTime();                                   // 4.7
std::string ProcessorName();                                  // 4.8
std::string DisplayMode();                                    // 4.9
std::string SystemBuildNumber();                              // 5.2
std::string ServicePackText();                                // 5.3
std::string SystemLanguage();                                 // 5.4
// 6.1 to 6.6 (IP address, submask, gateway, DNS 1, DNS 2, DHCP).
TNetworkValues GetNetworkValues();

} // namespace qov::exceptions
