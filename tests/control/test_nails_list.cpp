// The thumbnail list reader: which lines become thumbnails, their paths and
// seconds, and what a hostile list cannot do.
#include <gtest/gtest.h>

#include <string>

#include "NailsList.h"

using namespace qov;

namespace {

std::string Lines(int count, const char* end = "\r\n")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += std::to_string(i * 1000) + "=p" + std::to_string(i) + ".jpg" + end;
    return text;
}

std::vector<TNailEntry> EntriesOf(const std::string& text)
{
    TNailsList list;
    list.Load(text);
    return list.Entries("C:\\rec\\");
}

} // namespace

TEST(NailsChoice, TwoHundredLinesKeepEndsAndSplitAtTheMiddle)
{
    const std::vector<int> lines = ChooseNailLines(200);
    ASSERT_EQ(lines.size(), 120u);
    EXPECT_EQ(lines.front(), 0);
    EXPECT_EQ(lines.back(), 199);
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_LT(lines[i - 1], lines[i]);
    // Pick(118, 1, 198): the first 59 come from 1..99, the rest from 100..198.
    EXPECT_LE(lines[59], 99);
    EXPECT_GE(lines[60], 100);
    EXPECT_EQ(ChooseNailLines(3), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ChooseNailLines(120).size(), 120u);
    EXPECT_TRUE(ChooseNailLines(0).empty());
}

TEST(NailsChoice, PickRepeatsLinesOfANarrowRangeAndNeverPassesTheCap)
{
    std::vector<int> out;
    Pick(4, 5, 6, out);
    EXPECT_EQ(out, (std::vector<int>{5, 5, 6, 6}));
    out.assign(119, 0);
    Pick(5, 0, 100, out);
    EXPECT_EQ(out.size(), 120u);
    EXPECT_EQ(ChooseNailLines(1000000).size(), 120u);
}

TEST(NailsList, EntriesCarryPathAndTruncatedSeconds)
{
    auto e = EntriesOf("0=a.jpg\n1500=b.bmp\r\n-1500=c.dib\r");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].Path, "C:\\rec\\nails\\a.jpg");
    EXPECT_EQ(e[1].Seconds, 1);
    EXPECT_EQ(e[1].Path, "C:\\rec\\nails\\b.bmp");
    EXPECT_EQ(e[2].Seconds, -1);
}

TEST(NailsList, ReadingStopsAtABlankLineOrANameThatIsNoNumber)
{
    EXPECT_EQ(EntriesOf("0=a.jpg\n1000=b.jpg\n \t\n3000=d.jpg\n").size(), 2u);
    EXPECT_EQ(EntriesOf("0=a.jpg\nx=b.jpg\n2000=c.jpg\n").size(), 1u);
    EXPECT_EQ(EntriesOf("0=a.jpg\nno equals sign\n2000=c.jpg\n").size(), 1u);
    EXPECT_EQ(EntriesOf("0=a.jpg\n99999999999=b.jpg\n").size(), 1u);
    // A blank line that the choice skips still ends the list.
    std::string text = Lines(200);
    text.replace(text.find("150000="), 0, "\r\n");
    const auto e = EntriesOf(text);
    EXPECT_GT(e.size(), 60u);
    EXPECT_LT(e.size(), 120u);
    EXPECT_LT(e.back().Seconds, 150);
    // CR-only and mixed line ends count the same lines.
    EXPECT_EQ(EntriesOf(Lines(5, "\r")).size(), 5u);
    EXPECT_EQ(EntriesOf("0=a.jpg\r\n1000=b.jpg\r2000=c.jpg\n3000=d.jpg").size(), 4u);
}

TEST(NailsList, ARepeatedNameUsesTheFirstValue)
{
    const auto e = EntriesOf("0=a.jpg\n1000=b.jpg\n1000=c.jpg\n");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[2].Path, "C:\\rec\\nails\\b.jpg");
}

TEST(NailsList, ValuesLeavingThePictureFolderAreSkipped)
{
    for (const char* bad : {"..\\..\\x.jpg", "C:\\x.jpg", "\\\\server\\x.jpg", "\\x.jpg", "/x.jpg", "a/../x.jpg",
                            "a:b.jpg", "a*.jpg", "a?.jpg", "a|b.jpg", "", "a\\\\b.jpg"}) {
        EXPECT_FALSE(SafeNailValue(bad)) << bad;
    }
    EXPECT_TRUE(SafeNailValue("sub\\x.jpg"));
    EXPECT_TRUE(SafeNailValue("\xC4\xE3\xBA\xC3.jpg"));  // GBK bytes
    EXPECT_FALSE(SafeNailValue(std::string("a\0b.jpg", 7)));
    const auto e = EntriesOf("0=..\\..\\evil.jpg\n1000=ok.jpg\n2000=C:\\x.jpg\n");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].Seconds, 1);

    TNailsList list;
    list.Load("0=a.jpg\n1000=..\\b.jpg\n2000=a.jpg\n3000=c.jpg\n4000=\n5000=e.jpg\n");
    EXPECT_EQ(list.PictureValues(), (std::vector<std::string>{"a.jpg", "c.jpg"}));
}

TEST(NailsRecord, LongPathsAreSkippedNeverCut)
{
    NailRecord record;
    const std::string fits(2048, 'a');
    ASSERT_TRUE(FillNailRecord(record, fits, 7));
    EXPECT_EQ(record.Length, 2048u);
    EXPECT_EQ(record.Seconds, 7);
    EXPECT_FALSE(FillNailRecord(record, fits + "b", 7));
    EXPECT_EQ(record.Length, 0u);
    ASSERT_TRUE(FillNailRecord(record, "C:\\a.jpg", 1));
    EXPECT_EQ(record.Path[8], 0);
    EXPECT_TRUE(EntriesOf("0=" + std::string(2100, 'x') + ".jpg\n").empty());
}

TEST(NailsRecord, PictureKindsByExtension)
{
    EXPECT_EQ(NailPictureKind("a.BMP"), npkBitmap);
    EXPECT_EQ(NailPictureKind("a.dib"), npkBitmap);
    EXPECT_EQ(NailPictureKind("a.Jpeg"), npkJpeg);
    EXPECT_EQ(NailPictureKind("a.jpg"), npkJpeg);
    EXPECT_EQ(NailPictureKind("a.png"), npkNone);
    EXPECT_EQ(NailPictureKind("jpg"), npkNone);
}

TEST(NailsList, HostileListsKeepWhatCameBeforeTheBadLine)
{
    // A million lines: still 120 entries, the last line read among them
    // (only the first 65,536 lines are read).
    std::string big;
    for (int i = 0; i < 1000000; ++i)
        big += std::to_string(i) + "000=p.jpg\n";
    const auto e = EntriesOf(big);
    ASSERT_EQ(e.size(), 120u);
    EXPECT_EQ(e.back().Seconds, kMaxNailsListLines - 1);
    // NUL bytes: in a value the line is skipped, in a name the reading ends.
    const std::string nul(1, '\0');
    EXPECT_EQ(EntriesOf("0=a.jpg\n1000=b" + nul + ".jpg\n2000=c.jpg\n3" + nul + "0=d.jpg\n4000=e.jpg\n").size(), 2u);
    // A GBK value keeps its bytes.
    const auto g = EntriesOf("0=\xCB\xF5\xC2\xD4.jpg\n");
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].Path, "C:\\rec\\nails\\\xCB\xF5\xC2\xD4.jpg");
    EXPECT_TRUE(EntriesOf("").empty());
    EXPECT_TRUE(EntriesOf("\r\n\r\n").empty());
}

TEST(NailsHostileValues, LongAndDeepValuesAreRefusedWhereverTheyAreUsed)
{
    std::string deep16k;
    while (deep16k.size() < 16384)
        deep16k += "a\\";
    deep16k += "x.jpg";
    std::string tenThousand;
    for (int i = 0; i < 10000; ++i)
        tenThousand += "a\\";
    tenThousand += "x.jpg";
    const std::string long16k = std::string(16384, 'x') + ".jpg";
    std::string local;
    for (const std::string& bad : {deep16k, tenThousand, long16k}) {
        EXPECT_FALSE(SafeNailValue(bad)) << bad.size();
        EXPECT_FALSE(NailDownloadPath("C:\\t\\", bad, &local)) << bad.size();
        TNailsList list;
        list.Load("0=" + bad + "\n1000=ok.jpg\n");
        EXPECT_EQ(list.PictureValues(), (std::vector<std::string>{"ok.jpg"}));
        ASSERT_EQ(list.Entries("C:\\rec\\").size(), 1u);
    }
    // 32 parts are a picture's folders and name; 33 are too many.
    std::string parts32;
    for (int i = 0; i < 31; ++i)
        parts32 += "d\\";
    EXPECT_TRUE(SafeNailValue(parts32 + "x.jpg"));
    EXPECT_FALSE(SafeNailValue("d\\" + parts32 + "x.jpg"));
    EXPECT_FALSE(SafeNailValue("d/" + parts32 + "x.jpg"));
    // 2048 characters fit a value; the path built from it must fit as well.
    const std::string longest = std::string(2044, 'x') + ".jpg";
    EXPECT_TRUE(SafeNailValue(longest));
    EXPECT_FALSE(SafeNailValue(longest + "x"));
    EXPECT_FALSE(NailDownloadPath("C:\\t\\", longest, &local));
    EXPECT_TRUE(NailDownloadPath("C:\\t\\", longest.substr(11), &local));
    EXPECT_EQ(local.size(), 2048u);
}

TEST(NailsHostileValues, DeviceNamesAreRefusedInEveryPartAndForm)
{
    for (const char* device : {"CON", "prn", "Aux", "nUl", "COM1", "com9", "LPT1", "lPt9", "CONIN$", "conout$",
                               "CLOCK$", "COM\xB9", "lpt\xB3"}) {
        const std::string d = device;
        for (const std::string& value : {d, d + ".jpg", d + ".tar.jpg", d + " .jpg", d + "  ", "sub\\" + d,
                                         "sub\\" + d + ".bmp", d + "\\x.jpg", d + ".txt\\x.jpg", "a/" + d + "/x.jpg",
                                         "a\\b\\" + d + "\\c\\x.jpg"}) {
            EXPECT_FALSE(SafeNailValue(value)) << value;
            std::string local;
            EXPECT_FALSE(NailDownloadPath("C:\\t\\", value, &local)) << value;
        }
        TNailsList list;
        list.Load("0=" + d + ".jpg\n1000=sub\\" + d + "\\x.jpg\n2000=ok.jpg\n");
        EXPECT_EQ(list.PictureValues(), (std::vector<std::string>{"ok.jpg"})) << d;
        EXPECT_EQ(list.Entries("C:\\rec\\").size(), 1u) << d;
    }
    // Names that only look like one are pictures like any other.
    for (const char* fine : {"CONSOLE.jpg", "COM10.jpg", "com0.jpg", "LPT.jpg", "NULL.jpg", "xcon.jpg", "con1.jpg",
                             "a.con", "sub\\auxiliary\\x.jpg"})
        EXPECT_TRUE(SafeNailValue(fine)) << fine;
    // Parts the system would change: trailing dots and blanks.
    for (const char* bad : {"x.jpg.", "x.jpg ", "sub.\\x.jpg", "sub \\x.jpg", "...\\x.jpg"})
        EXPECT_FALSE(SafeNailValue(bad)) << bad;
}

TEST(NailsHostileValues, DownloadPathsStayInThePictureFolder)
{
    std::string local;
    ASSERT_TRUE(NailDownloadPath("C:\\t\\1_2\\", "sub/x.jpg", &local));
    EXPECT_EQ(local, "C:\\t\\1_2\\nails\\sub\\x.jpg");
    for (const char* bad : {"..\\x.jpg", "../x.jpg", "sub/../../x.jpg", "/x.jpg", "C:x.jpg", "x.jpg:stream", ""})
        EXPECT_FALSE(NailDownloadPath("C:\\t\\", bad, &local)) << bad;
    EXPECT_FALSE(NailDownloadPath("C:\\t\\", std::string("a\0.jpg", 6), &local));
}

TEST(NailsListLimits, ListsAreCutAtTheirLineAndByteLimits)
{
    // More lines than are read: the first 65,536 are kept, the last of them
    // is the last entry.
    std::string text = Lines(kMaxNailsListLines + 10, "\n");
    TNailsList list;
    list.Load(text);
    EXPECT_TRUE(list.Cut());
    ASSERT_EQ(list.Count(), kMaxNailsListLines);
    const auto e = list.Entries("C:\\rec\\");
    ASSERT_EQ(e.size(), 120u);
    EXPECT_EQ(e.back().Seconds, kMaxNailsListLines - 1);
    // Exactly as many: nothing is cut.
    list.Load(Lines(kMaxNailsListLines, "\n"));
    EXPECT_FALSE(list.Cut());
    EXPECT_EQ(list.Count(), kMaxNailsListLines);
    // The start of a longer text: the line the cut went through is dropped,
    // whole lines are kept.
    list.Load("0=a.jpg\r\n1000=b.jpg\r\n2000=c.j", true);
    EXPECT_TRUE(list.Cut());
    EXPECT_EQ(list.Count(), 2);
    list.Load("0=a.jpg\n1000=b.jpg\n", true);
    EXPECT_EQ(list.Count(), 2);
    list.Load("0=a.jpg", true);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.Entries("C:\\").empty());
}
