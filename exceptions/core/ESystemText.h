// Texts of the report's general section that depend on nothing but the facts
// they are given: up time, memory and disk sizes, the access-violation
// message, the command-line parameters, IP addresses and the network values
// assembled from the adapters' facts. Pure logic: no Windows headers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ECoreText.h"

namespace qov::exceptions {

// Every character below 32 other than CR and LF becomes one blank; the
// others stay.
std::string CleanMessageText(const std::string& text);

// A full stop added to a non-empty text that does not end with one.
std::string WithFullStop(const std::string& text);

// "000.000.000.000" for an empty text; else every dot-separated part padded
// with leading zeros to three digits.
std::string FormatIpAddress(const std::string& text);

// Up time from a count of milliseconds: "[D day(s), ][H hour(s), ]M
// minute(s), S second(s)"; whole units only (a unit word is plural above 1).
std::string UpTimeText(uint64_t milliseconds);

// A byte count in MiB to the nearest whole number, then " Mb".
std::string MemoryText(uint64_t bytes);
// A byte count in GiB with up to two decimals (pattern "0.##"), then " Gb".
std::string DiskText(uint64_t bytes);

// digits upper-case hexadecimal digits (8 for a 32-bit address, 16 for a
// 64-bit one).
std::string AddressText(uint64_t address, int digits);

// The rebuilt message of an access violation: write tells Write from Read;
// moduleName empty when the address lies in no module that has a file name.
std::string AccessViolationText(uint64_t address, bool write, uint64_t target, const std::string& moduleName,
                                int digits);

// Each parameter in double quotes, separated by one blank.
std::string QuotedParameters(const std::vector<std::string>& parameters);

// "ProcessorNameString", else vendor " - " identifier (either alone when the
// other is empty), else "Unknown processor"; each trimmed.
std::string ProcessorText(const std::string& name, const std::string& vendor, const std::string& identifier);

// "%d x %d, %d bit".
std::string DisplayModeText(int width, int height, int bitsPerPixel);

// The compile time (UTC) shown in local time with the zone; empty for 0.
std::string CompilationDateText(TDateTime compileTimeUtc, int zoneOffsetMinutes);

// One network adapter as the network values need it.
struct TAdapterFacts {
    bool Dhcp = false;
    std::string Address, Mask, Gateway;
    // The per-adapter information was had; Dns holds its server addresses
    // in list order (the first may be empty).
    bool HasDnsInfo = false;
    std::vector<std::string> Dns;
};

// Items 6.1 IP Address, 6.2 Submask, 6.3 Gateway, 6.4 DNS 1, 6.5 DNS 2 and
// 6.6 DHCP, one " - "-separated piece per adapter.
using TNetworkValues = std::array<std::string, 6>;
TNetworkValues NetworkTexts(const std::vector<TAdapterFacts>& adapters);

} // namespace qov::exceptions
