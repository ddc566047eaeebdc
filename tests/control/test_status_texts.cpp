#include <gtest/gtest.h>

#include "StatusTexts.h"

using namespace qov;

TEST(StatusTexts, PlayTimesReadHoursMinutesSeconds)
{
    EXPECT_EQ(FormatMilliseconds(3723000), "01:02:03");
    EXPECT_EQ(FormatMilliseconds(0), "00:00:00");
    EXPECT_EQ(FormatMilliseconds(999), "00:00:00");
    EXPECT_EQ(FormatMilliseconds(3599999), "00:59:59");
    EXPECT_EQ(FormatMilliseconds(360000000), "100:00:00");
    EXPECT_EQ(FormatMilliseconds(0xFFFFFFFFu), "1193:02:47");
}

TEST(StatusTexts, RatesBelow1024AreKbpsAboveMbps)
{
    EXPECT_EQ(BitRateText(0), "0 Kbps");
    EXPECT_EQ(BitRateText(1023), "1023 Kbps");
    EXPECT_EQ(BitRateText(1024), "1.00 Mbps");
    EXPECT_EQ(BitRateText(1536), "1.50 Mbps");
    EXPECT_EQ(BitRateText(0xFFFFFFFFu), "4194304.00 Mbps");
}

TEST(StatusTexts, BufferedBytesInWholeKilobytes)
{
    EXPECT_EQ(BufferedBytesText(10240, 0), "10K");
    EXPECT_EQ(BufferedBytesText(1023, 0), "0K");
    EXPECT_EQ(BufferedBytesText(1000, 24), "1K");
    // The sum is unsigned 32-bit, as the buffer's counters are.
    EXPECT_EQ(BufferedBytesText(0xFFFFFC00u, 2048), "1K");
}
