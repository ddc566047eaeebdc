// Locator and time-text helpers of the engine. Strings are byte strings in
// the system code page; only ASCII letters are upper-cased for comparisons.
#pragma once

#include <cstdint>
#include <string>

namespace qov {

// "hh:mm:ss": hours, minutes and seconds, each with a leading zero below 10;
// hours of 100 or more keep all their digits (360000 -> "100:00:00").
std::string SecondsToTimeText(int32_t seconds);

// True when the locator names a network source: its first four characters,
// upper-cased, are "HTTP", "FTP:" or "QOVS". False for anything shorter.
bool IsNetURL(const std::string& locator);

// Turns a "FILE://" locator into a path (drive or UNC) and drops a query:
// "%7B", "%7D" and "%20" become "{", "}" and a blank; "FILE:///" and "FILE://"
// are removed (a host name becomes a UNC path), slashes become backslashes;
// everything from the first "?" is cut off. Other locators only lose the
// three escapes and the query.
std::string URLToFileName(const std::string& locator);

} // namespace qov
