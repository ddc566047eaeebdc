// The library's constant texts: table sizes, group structure, sample values.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

#include "EConsts.h"

using namespace qov::exceptions;

TEST(EConsts, DefaultTexts)
{
    static_assert(std::size(DefaultTexts) == 96);
    for (const char* text : DefaultTexts)
        EXPECT_GT(std::strlen(text), 0u);
    EXPECT_STREQ(DefaultTexts[0], "Information.");
    EXPECT_STREQ(DefaultTexts[3], "An error has occurred during program execution.\r\n"
                                  "Please read the following information for further details.");
    EXPECT_STREQ(DefaultTexts[16], "&Restart");
    EXPECT_STREQ(DefaultTexts[54], "Network");
    EXPECT_STREQ(DefaultTexts[95], "Sorry, sending the message didn't work.");
}

TEST(EConsts, TextNamesGroupTheLabelsUnderElevenHeadings)
{
    static_assert(std::size(TextNames) == 107);
    // Heading positions: each group holds the labels of its range of texts.
    const struct { const char* heading; int first, last; } groups[] = {
        {"Message captions", 0, 1}, {"Exception Dialog", 2, 21}, {"Send Dialog", 75, 80},
        {"Reproduce Dialog", 81, 83}, {"Log", 22, 61}, {"Call Stack", 62, 67},
        {"Threads Data", 68, 74}, {"Modules List", 84, 90}, {"CPU", 91, 93},
        {"Send messages", 94, 95},
    };
    EXPECT_STREQ(TextNames[0], "Texts");
    int at = 1;
    for (const auto& g : groups) {
        EXPECT_STREQ(TextNames[at], g.heading);
        at += 1 + g.last - g.first + 1;
    }
    EXPECT_EQ(at, 107);
    EXPECT_STREQ(TextNames[2], "Information");
    EXPECT_STREQ(TextNames[69], "Netword");  // the label as the table has always had it
    EXPECT_STREQ(TextNames[106], "Failure");
}

TEST(EConsts, ReportFieldKeysAndHtmlTemplate)
{
    static_assert(std::size(ReportFieldKeys) == 33);
    for (const char* key : ReportFieldKeys)
        EXPECT_NE(std::strchr(key, '|'), nullptr) << key;
    EXPECT_STREQ(ReportFieldKeys[0], "Application|Start Date");
    EXPECT_STREQ(ReportFieldKeys[32], "Network|DHCP");

    const std::string page = DefaultHtmlTemplate;
    size_t lines = 1;
    for (size_t p = page.find("\r\n"); p != std::string::npos; p = page.find("\r\n", p + 2))
        ++lines;
    EXPECT_EQ(lines, 15u);
    EXPECT_EQ(page.substr(page.size() - 7), "</html>");
    EXPECT_NE(page.find("\r\n            <%HTML_TAG%>\r\n"), std::string::npos);
    EXPECT_NE(page.find("<table width=\"100%\" border=\"0\">"), std::string::npos);
}
