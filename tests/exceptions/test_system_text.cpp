// Texts of the report's general section made from plain facts: up time,
// memory and disk sizes, addresses and the access-violation message, the
// parameters, the processor, IP addresses and the network values assembled
// adapter by adapter.
#include <gtest/gtest.h>

#include "ECoreText.h"
#include "ESystemText.h"

using namespace qov::exceptions;

TEST(SystemText, CleanMessageKeepsLineBreaksAndBlanksOtherControls)
{
    EXPECT_EQ(CleanMessageText("a\tb\r\nc\x01\x1f" "d"), "a b\r\nc  d");
    EXPECT_EQ(CleanMessageText(std::string("x\0y", 3)), "x y");
    // Bytes above 127 (a code page's characters) stay.
    EXPECT_EQ(CleanMessageText("\xc4\xe3\xba\xc3"), "\xc4\xe3\xba\xc3");
    EXPECT_EQ(CleanMessageText(""), "");
}

TEST(SystemText, FullStopAddedOnlyWhereMissing)
{
    EXPECT_EQ(WithFullStop("Disk full"), "Disk full.");
    EXPECT_EQ(WithFullStop("Disk full."), "Disk full.");
    EXPECT_EQ(WithFullStop(""), "");
    EXPECT_EQ(WithFullStop("."), ".");
}

TEST(SystemText, IpAddressPartsPaddedToThreeDigits)
{
    EXPECT_EQ(FormatIpAddress("192.168.1.5"), "192.168.001.005");
    EXPECT_EQ(FormatIpAddress("0.0.0.0"), "000.000.000.000");
    EXPECT_EQ(FormatIpAddress(""), "000.000.000.000");
    EXPECT_EQ(FormatIpAddress("10.200.30.4"), "010.200.030.004");
    // Odd texts keep their shape: empty parts become 000, long ones stay.
    EXPECT_EQ(FormatIpAddress("1..2"), "001.000.002");
    EXPECT_EQ(FormatIpAddress("1234.5"), "1234.005");
}

TEST(SystemText, UpTimeLeavesOutZeroDaysAndHoursButNeverMinutesOrSeconds)
{
    EXPECT_EQ(UpTimeText(0), "0 minute, 0 second");
    EXPECT_EQ(UpTimeText(59999), "0 minute, 59 seconds");
    EXPECT_EQ(UpTimeText(61000), "1 minute, 1 second");
    // Below an hour: no day and no hour part.
    EXPECT_EQ(UpTimeText((42 * 60 + 7) * 1000ull), "42 minutes, 7 seconds");
    // One day and a few seconds: day part, no hour part, minute part 0.
    EXPECT_EQ(UpTimeText(86400000ull + 5000), "1 day, 0 minute, 5 seconds");
    EXPECT_EQ(UpTimeText(((2 * 24 + 3) * 3600 + 4 * 60 + 5) * 1000ull), "2 days, 3 hours, 4 minutes, 5 seconds");
    EXPECT_EQ(UpTimeText(3600000), "1 hour, 0 minute, 0 second");
}

TEST(SystemText, UpTimeIsExactAtUnitBoundariesAndPastTheThirtyTwoBitTickCount)
{
    // Whole minutes, hours and days never show as 59 seconds or 59 minutes.
    for (uint64_t minutes = 1; minutes < 3 * 24 * 60; minutes += 7) {
        const uint64_t ms = minutes * 60000;
        const std::string text = UpTimeText(ms);
        EXPECT_EQ(text.substr(text.size() - 10), ", 0 second") << ms << ": " << text;
        EXPECT_EQ(text.find("59 seconds"), std::string::npos) << ms << ": " << text;
    }
    EXPECT_EQ(UpTimeText(24ull * 3600000), "1 day, 0 minute, 0 second");
    // 2^32 ms is 49 days 17:02:47.296; a 32-bit count would start again at 0.
    EXPECT_EQ(UpTimeText(4294967296ull), "49 days, 17 hours, 2 minutes, 47 seconds");
    EXPECT_EQ(UpTimeText(4294967296ull + 86400000ull), "50 days, 17 hours, 2 minutes, 47 seconds");
    EXPECT_EQ(UpTimeText(400ull * 86400000 + 999), "400 days, 0 minute, 0 second");
}

TEST(SystemText, MemoryRoundsToNearestMebibyte)
{
    EXPECT_EQ(MemoryText(0), "0 Mb");
    EXPECT_EQ(MemoryText(1048576), "1 Mb");
    EXPECT_EQ(MemoryText(1048576 + 524287), "1 Mb");
    EXPECT_EQ(MemoryText(1048576 + 524288), "2 Mb");
    // Past 4 GiB (where the older memory-status call stops).
    EXPECT_EQ(MemoryText(16ull << 30), "16384 Mb");
    EXPECT_EQ(MemoryText(~0ull), "17592186044416 Mb");
}

TEST(SystemText, DiskUsesUpToTwoDecimalsWithoutTrailingZeros)
{
    const uint64_t gib = 1ull << 30;
    EXPECT_EQ(DiskText(0), "0 Gb");
    EXPECT_EQ(DiskText(gib), "1 Gb");
    EXPECT_EQ(DiskText(gib + gib / 2), "1.5 Gb");
    EXPECT_EQ(DiskText(gib + gib / 4), "1.25 Gb");
    EXPECT_EQ(DiskText(gib + gib / 100), "1.01 Gb");
    // Rounding up into the next whole number.
    EXPECT_EQ(DiskText(2 * gib - 1), "2 Gb");
    EXPECT_EQ(DiskText(gib / 3), "0.33 Gb");
    EXPECT_EQ(DiskText(931ull * gib + gib * 51 / 100 + 1000), "931.51 Gb");
    EXPECT_EQ(DiskText(4096ull * gib), "4096 Gb");
}

TEST(SystemText, AddressesHaveTheMachinesWidth)
{
    EXPECT_EQ(AddressText(0x4A2B, 8), "00004A2B");
    EXPECT_EQ(AddressText(0xDEADBEEF, 8), "DEADBEEF");
    EXPECT_EQ(AddressText(0x4A2B, 16), "0000000000004A2B");
    EXPECT_EQ(AddressText(0x00007FF6ABCDEF01ull, 16), "00007FF6ABCDEF01");
}

TEST(SystemText, AccessViolationTextWithAndWithoutModule)
{
    EXPECT_EQ(AccessViolationText(0x00401234, true, 8, "Demo.exe", 8),
              "Access violation at address 00401234 in module 'Demo.exe'. Write of address 00000008");
    EXPECT_EQ(AccessViolationText(0x00401234, false, 0xFFFFFFFF, "", 8),
              "Access violation at address 00401234. Read of address FFFFFFFF");
    EXPECT_EQ(AccessViolationText(0x140001000ull, false, 0, "a.dll", 16),
              "Access violation at address 0000000140001000 in module 'a.dll'. Read of address 0000000000000000");
    EXPECT_EQ(WithFullStop(AccessViolationText(1, true, 2, "", 8)),
              "Access violation at address 00000001. Write of address 00000002.");
}

TEST(SystemText, ParametersQuotedAndSeparatedByOneBlank)
{
    EXPECT_EQ(QuotedParameters({"a", "b", "c"}), "\"a\" \"b\" \"c\"");
    EXPECT_EQ(QuotedParameters({}), "");
    EXPECT_EQ(QuotedParameters({"with blank"}), "\"with blank\"");
    EXPECT_EQ(QuotedParameters({"", "x"}), "\"\" \"x\"");
}

TEST(SystemText, ProcessorFallsBackToVendorAndIdentifier)
{
    EXPECT_EQ(ProcessorText("  Some CPU @ 3.00GHz  ", "Vendor", "Id"), "Some CPU @ 3.00GHz");
    EXPECT_EQ(ProcessorText("   ", " GenuineVendor ", " Family 6 Model 1 "), "GenuineVendor - Family 6 Model 1");
    EXPECT_EQ(ProcessorText("", "GenuineVendor", ""), "GenuineVendor");
    EXPECT_EQ(ProcessorText("", "", "Family 6"), "Family 6");
    EXPECT_EQ(ProcessorText("", " ", ""), "Unknown processor");
}

TEST(SystemText, DisplayMode)
{
    EXPECT_EQ(DisplayModeText(1920, 1080, 32), "1920 x 1080, 32 bit");
}

TEST(SystemText, CompilationDateShownInLocalTimeWithZoneMinutes)
{
    const TDateTime utc = EncodeDateTime(2026, 12, 9, 4, 5, 6);
    EXPECT_EQ(CompilationDateText(0, 60), "");
    EXPECT_EQ(CompilationDateText(utc, 0), "Wed, 9 Dec 2026 04:05:06 +0000");
    EXPECT_EQ(CompilationDateText(utc, 330), "Wed, 9 Dec 2026 09:35:06 +0530");
    EXPECT_EQ(CompilationDateText(utc, -300), "Tue, 8 Dec 2026 23:05:06 -0500");
    EXPECT_EQ(CompilationDateText(utc, 345), "Wed, 9 Dec 2026 09:50:06 +0545");
    // A whole second stays a whole second after the shift.
    EXPECT_EQ(CompilationDateText(EncodeDateTime(2026, 1, 1, 0, 0, 0), 60), "Thu, 1 Jan 2026 01:00:00 +0100");
}

namespace {

TAdapterFacts Adapter(bool dhcp, const std::string& ip, const std::vector<std::string>& dns, bool dnsInfo = true)
{
    TAdapterFacts a;
    a.Dhcp = dhcp;
    a.Address = ip;
    a.Mask = "255.255.255.0";
    a.Gateway = "192.168.1.1";
    a.HasDnsInfo = dnsInfo;
    a.Dns = dns;
    return a;
}

} // namespace

TEST(SystemText, NetworkValuesOfTwoAdapters)
{
    const TNetworkValues v =
        NetworkTexts({Adapter(true, "192.168.1.5", {"8.8.8.8", "1.1.1.1"}), Adapter(false, "10.0.0.2", {"10.0.0.1"})});
    EXPECT_EQ(v[0], "192.168.001.005 - 010.000.000.002");
    EXPECT_EQ(v[1], "255.255.255.000 - 255.255.255.000");
    EXPECT_EQ(v[2], "192.168.001.001 - 192.168.001.001");
    EXPECT_EQ(v[3], "008.008.008.008 - 010.000.000.001");
    // One server: DNS 2 gets the zero address.
    EXPECT_EQ(v[4], "001.001.001.001 - 000.000.000.000");
    // The whole first piece, the second less its last three characters.
    EXPECT_EQ(v[5], "ON" + std::string(14, ' ') + "- " + "OFF" + std::string(12, ' '));
}

TEST(SystemText, NetworkValuesWithoutDnsInformationOrAdapters)
{
    const TNetworkValues one = NetworkTexts({Adapter(false, "", {}, false)});
    EXPECT_EQ(one[0], "000.000.000.000");
    EXPECT_EQ(one[3], "");
    EXPECT_EQ(one[4], "");
    EXPECT_EQ(one[5], "OFF" + std::string(12, ' '));
    // DNS information with an empty first server.
    const TNetworkValues empty = NetworkTexts({Adapter(true, "1.2.3.4", {""})});
    EXPECT_EQ(empty[3], "000.000.000.000");
    EXPECT_EQ(empty[4], "000.000.000.000");
    EXPECT_EQ(empty[5], "ON" + std::string(13, ' '));
    // The second adapter has no DNS piece: DNS 1 holds the first one's only.
    const TNetworkValues mixed =
        NetworkTexts({Adapter(true, "1.2.3.4", {"9.9.9.9"}), Adapter(true, "5.6.7.8", {}, false)});
    EXPECT_EQ(mixed[3], "009.009.009.009");
    for (const std::string& text : NetworkTexts({}))
        EXPECT_EQ(text, "");
}
