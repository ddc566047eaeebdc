// The desktop program's pure logic: time texts, the bar's arithmetic, the
// command line, the recent-files list and the shortening of its names.
#include <gtest/gtest.h>

#include <climits>

#include "CommandLine.h"
#include "LeadByteRules.h"
#include "MRUList.h"
#include "MiscHead.h"

using namespace qov::app;
using qov::test::GbkLead;
using qov::test::NoLead;

TEST(AppCore, IntToTimeAndBarArithmetic)
{
    EXPECT_EQ(IntToTime(0), "00:00:00");
    EXPECT_EQ(IntToTime(45), "00:00:45");
    EXPECT_EQ(IntToTime(3599), "00:59:59");
    EXPECT_EQ(IntToTime(100 * 3600 + 61), "100:01:01");
    EXPECT_EQ(IntToTime(INT32_MAX), "596523:14:07");
    EXPECT_EQ(IntToTime(-1), "00:00:00");
    EXPECT_EQ(IntToTime(INT32_MIN), "00:00:00");

    EXPECT_EQ(MulDivRound(0, 100, 0), -1);  // nothing open
    EXPECT_EQ(MulDivRound(5000, 100, 10000), 50);
    EXPECT_EQ(MulDivRound(2, 100, 400), 1);        // 0.5 rounds up
    EXPECT_EQ(MulDivRound(-2, 100, 400), -1);      // and away from zero
    EXPECT_EQ(MulDivRound(20000, 100, 10000), 200);  // beyond the end
    EXPECT_EQ(MulDivRound(50, 90000, 100000), 45);
    EXPECT_EQ(MulDivRound(INT32_MAX, 100, 1), -1);   // does not fit
    EXPECT_EQ(MulDivRound(INT32_MAX, 100, 100), INT32_MAX);
}

TEST(AppCore, ParametersJoinWithSingleBlanks)
{
    EXPECT_EQ(JoinParameters({}), L"");
    EXPECT_EQ(JoinParameters({L"C:\\My", L"Rec", L"one.qov"}), L"C:\\My Rec one.qov");
    EXPECT_EQ(JoinParameters({L"C:\\a b\\c.qov"}), L"C:\\a b\\c.qov");
    EXPECT_EQ(JoinParameters({L""}), L"");
    EXPECT_EQ(JoinParameters({L"", L""}), L"");
    EXPECT_EQ(JoinParameters({L"  "}), L"");
}

TEST(AppCore, URLsAreTheLocatorsWithASchemeAndDrivesAreNot)
{
    for (const wchar_t* url : {L"http://host/a.qov", L"HTTP://host/a.qov", L"ftp://host/a.qov",
                               L"FILE://C:/rec/a.qov", L"file:///C:/a.qov", L"QOVS://127.0.0.1:8000/live",
                               L"svn+ssh://h/x", L"x-y.z:1"})
        EXPECT_TRUE(IsURLLocator(url)) << url;
    for (const wchar_t* path : {L"", L"a.qov", L"rec one.qov", L"C:\\rec\\a.qov", L"c:a.qov", L"\\\\host\\s\\a.qov",
                                L"..\\a.qov", L"1http://host/a.qov", L"http", L":a", L"\u00E4bc://x"})
        EXPECT_FALSE(IsURLLocator(path)) << path;
}

TEST(AppCore, ListKeepsNewestFirstAndComparesWithoutCase)
{
    TMRUList list(GbkLead);
    for (int i = 1; i <= 10; ++i)
        list.Add("f" + std::to_string(i), 10);
    list.Add("f11", 10);  // eleventh: first, the oldest goes
    ASSERT_EQ(list.Count(), 10u);
    EXPECT_EQ(list[0], "f11");
    EXPECT_EQ(list[9], "f2");

    list.Add("f9", 10);  // third moves to the top, the others keep their order
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"f9", "f11", "f10", "f8", "f7", "f6", "f5",
                                                      "f4", "f3", "f2"}));
    list.Add("F8", 10);  // only the case differs: the stored name moves
    EXPECT_EQ(list.Count(), 10u);
    EXPECT_EQ(list[0], "f8");
    EXPECT_TRUE(list.Trim(3));
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"f8", "f9", "f11"}));
    EXPECT_FALSE(list.Trim(3));

    // GBK characters 0xE1 0x68 and 0xE1 0x48: their trail bytes are not letters.
    EXPECT_FALSE(SameNameIgnoringCase("\xE1\x68.qov", "\xE1\x48.qov", GbkLead));
    EXPECT_TRUE(SameNameIgnoringCase("\xE1\x68.QOV", "\xE1\x68.qov", GbkLead));

    TMRUList stored(GbkLead);
    stored.AddStoredLines({"F0=a=b", "F1=", "junk", "F2=c"});
    EXPECT_EQ(stored.Names(), (std::vector<std::string>{"a=b", "c"}));
}

TEST(AppCore, ShorteningCutsFoldersFromTheFront)
{
    auto chars = [](const std::string& text) { return static_cast<int>(text.size()); };
    const std::string name = "C:\\Videos\\2026\\December\\lesson.qov";
    EXPECT_EQ(ShortenName(name, 100, chars, GbkLead), name);
    EXPECT_EQ(ShortenName(name, 31, chars, GbkLead), "C:\\...\\2026\\December\\lesson.qov");
    EXPECT_EQ(ShortenName(name, 30, chars, GbkLead), "C:\\...\\December\\lesson.qov");
    EXPECT_EQ(ShortenName(name, 20, chars, GbkLead), "C:\\...\\lesson.qov");
    EXPECT_EQ(ShortenName(name, 16, chars, GbkLead), "...\\lesson.qov");
    EXPECT_EQ(ShortenName(name, 1, chars, GbkLead), "lesson.qov");  // nothing left to cut
    EXPECT_EQ(ShortenName("C:x.qov", 1, chars, GbkLead), "x.qov");
    // A colon counts as a folder break, so a long URL loses its scheme.
    EXPECT_EQ(ShortenName("http://host/a/b.qov", 1, chars, GbkLead), "//host/a/b.qov");

    // A trail byte with a backslash's value (0x5C) is not a folder break.
    const std::string gbk = "D:\\\xB1\x5C\xCE\xC4\\\xCA\x5C.qov";
    EXPECT_EQ(ShortenName(gbk, 12, chars, GbkLead), "...\\\xCA\x5C.qov");
}

// On a single-byte code page no byte leads a pair: an accented letter is one
// character, so the letter after it still folds and the backslash after it
// still parts folders.
TEST(AppCore, SingleByteCodePageHasNoDoubleByteCharacters)
{
    EXPECT_TRUE(SameNameIgnoringCase("C:\\caf\xE9s.qov", "c:\\CAF\xE9S.QOV", NoLead));
    EXPECT_FALSE(SameNameIgnoringCase("C:\\caf\xE9s.qov", "C:\\caf\xE9S.qov", GbkLead));
    TMRUList list(NoLead);
    list.Add("C:\\caf\xE9s.qov", 10);
    list.Add("C:\\CAF\xE9S.qov", 10);
    EXPECT_EQ(list.Names(), std::vector<std::string>{"C:\\caf\xE9s.qov"});

    auto chars = [](const std::string& text) { return static_cast<int>(text.size()); };
    const std::string name = "D:\\caf\xE9\\2026\\lesson.qov";
    EXPECT_EQ(ShortenName(name, 22, chars, NoLead), "D:\\...\\2026\\lesson.qov");
    EXPECT_EQ(ShortenName(name, 22, chars, GbkLead), "D:\\...\\lesson.qov");  // 0xE9 0x5C is one GBK character
}
