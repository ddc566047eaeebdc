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
    // A million lines: still 120 entries, the last line's among them.
    std::string big;
    for (int i = 0; i < 1000000; ++i)
        big += std::to_string(i) + "000=p.jpg\n";
    const auto e = EntriesOf(big);
    ASSERT_EQ(e.size(), 120u);
    EXPECT_EQ(e.back().Seconds, 999999);
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
