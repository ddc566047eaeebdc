// Time texts and locator helpers.
#include <gtest/gtest.h>

#include "LocatorHelpers.h"

using namespace qov;

TEST(SecondsToTimeText, HoursMinutesSecondsWithLeadingZeros)
{
    EXPECT_EQ(SecondsToTimeText(0), "00:00:00");
    EXPECT_EQ(SecondsToTimeText(59), "00:00:59");
    EXPECT_EQ(SecondsToTimeText(60), "00:01:00");
    EXPECT_EQ(SecondsToTimeText(3599), "00:59:59");
    EXPECT_EQ(SecondsToTimeText(3600), "01:00:00");
    EXPECT_EQ(SecondsToTimeText(3661), "01:01:01");
    EXPECT_EQ(SecondsToTimeText(36000 + 600 + 10), "10:10:10");
    EXPECT_EQ(SecondsToTimeText(100 * 3600), "100:00:00");
    EXPECT_EQ(SecondsToTimeText(2147483647), "596523:14:07");
}

TEST(IsNetURL, WebFtpAndLiveLocatorsInAnyCase)
{
    EXPECT_TRUE(IsNetURL("http://host/a.qov"));
    EXPECT_TRUE(IsNetURL("HtTpS://host/a.qov"));
    EXPECT_TRUE(IsNetURL("ftp://host/a.qov"));
    EXPECT_TRUE(IsNetURL("FTP:"));
    EXPECT_TRUE(IsNetURL("qovs://host:1804/channel"));
    EXPECT_TRUE(IsNetURL("QOVS"));
    EXPECT_TRUE(IsNetURL("HTTPX"));  // only the first four characters count

    EXPECT_FALSE(IsNetURL("htt"));
    EXPECT_FALSE(IsNetURL(""));
    EXPECT_FALSE(IsNetURL("file:///C:/a.qov"));
    EXPECT_FALSE(IsNetURL("FILE://server/share/a.qov"));
    EXPECT_FALSE(IsNetURL("C:\\http\\a.qov"));
    EXPECT_FALSE(IsNetURL("ftp.host.com/a.qov"));
}

TEST(URLToFileName, FileLocatorsBecomePaths)
{
    EXPECT_EQ(URLToFileName("file:///C:/My%20Files/a.qov?x=1"), "C:\\My Files\\a.qov");
    EXPECT_EQ(URLToFileName("FILE://server/share/a.qov"), "\\\\server\\share\\a.qov");
    EXPECT_EQ(URLToFileName("FILE://C:/a.qov"), "C:\\a.qov");
    EXPECT_EQ(URLToFileName("File://\\\\server\\share\\a.qov"), "\\\\server\\share\\a.qov");
    EXPECT_EQ(URLToFileName("file://%7Bguid%7D/a.qov"), "\\\\{guid}\\a.qov");
    // Fewer than two characters after the scheme: no UNC prefix.
    EXPECT_EQ(URLToFileName("file://a"), "a");
    EXPECT_EQ(URLToFileName("file://"), "");
}

TEST(URLToFileName, OtherLocatorsLoseOnlyEscapesAndQuery)
{
    EXPECT_EQ(URLToFileName("http://host/My%20Dir/%7Ba%7D.qov?t=5&u=%20"),
              "http://host/My Dir/{a}.qov");
    EXPECT_EQ(URLToFileName("C:\\rec\\a.qov"), "C:\\rec\\a.qov");
    EXPECT_EQ(URLToFileName("a.qov?"), "a.qov");
    // Escapes are exact and case-sensitive.
    EXPECT_EQ(URLToFileName("http://h/%7b%7d%2F"), "http://h/%7b%7d%2F");
    // Each escape is replaced once, left to right; results are not rescanned.
    EXPECT_EQ(URLToFileName("%%7B20"), "%{20");
    // GBK bytes pass through untouched.
    EXPECT_EQ(URLToFileName("file:///D:/\xC2\xBC\xCF\xF1/a.qov"), "D:\\\xC2\xBC\xCF\xF1\\a.qov");
}
