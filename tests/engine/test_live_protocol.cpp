// Live broadcast protocol: login and reply texts, message building and the
// framing of received bytes into messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "LiveProtocol.h"
#include "QovWriter.h"

using namespace qov;

namespace {

std::string Head(uint8_t type, uint32_t length)
{
    LiveMessageHead h{};
    h.Type = type;
    h.Unused[0] = 0xEE;  // never read
    h.Length = length;
    return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

std::string Text(uint8_t type, const std::string& text)
{
    return Head(type, uint32_t(text.size())) + text;
}

std::string FrameMessage(uint32_t time, int16_t kind, const std::string& payload)
{
    const auto rec = writer::MakeFrameRecord(writer::MakeFrameHeader(time, kind, ctStored, 1, 2,
                                                                      uint32_t(payload.size())),
                                             payload.data(), payload.size());
    return Head(lmFrame, uint32_t(rec.size())) + std::string(rec.begin(), rec.end());
}

// The receive buffer as the live source keeps it: one malloc'd block.
struct Receiver {
    uint8_t* Data = static_cast<uint8_t*>(std::malloc(64));
    uint32_t Capacity = 64;
    uint32_t Used = 0;
    std::vector<uint32_t> Grows;
    std::vector<std::pair<uint8_t, std::string>> Got;

    ~Receiver() { std::free(Data); }

    // Feeds bytes as one receive would (at most the free space).
    LiveStreamError Feed(const std::string& bytes)
    {
        size_t at = 0;
        LiveStreamError err = LiveStreamError::None;
        while (at < bytes.size() && err == LiveStreamError::None) {
            const size_t n = std::min<size_t>(bytes.size() - at, Capacity - Used);
            EXPECT_GT(n, 0u) << "no room to receive into";
            if (n == 0)
                return LiveStreamError::Oversized;
            std::memcpy(Data + Used, bytes.data() + at, n);
            Used += uint32_t(n);
            at += n;
            err = Process();
        }
        return err;
    }

    LiveStreamError Process()
    {
        return ProcessReceived(
            Data, Capacity, Used,
            [this](uint8_t* p, uint32_t size) {
                Grows.push_back(size);
                return static_cast<uint8_t*>(std::realloc(p, size));
            },
            [this](const LiveMessage& m) {
                Got.emplace_back(m.Type, std::string(reinterpret_cast<const char*>(m.Payload), m.Length));
            });
    }
};

} // namespace

TEST(LiveTexts, LoginTextIsFourCrLfLines)
{
    EXPECT_EQ(BuildLoginText("c", "PC", ""), "Login\r\nChannel=c\r\nComputerName=PC\r\n\r\n");
    EXPECT_EQ(BuildLoginText("c", "PC", "User=a\r\nKey=b"),
              "Login\r\nChannel=c\r\nComputerName=PC\r\nUser=a\r\nKey=b\r\n");
}

TEST(LiveTexts, TextMessageIsTypeTwoWithLength)
{
    const std::string m = BuildTextMessage("NOOP");
    ASSERT_EQ(m.size(), 12u);
    EXPECT_EQ(uint8_t(m[0]), 2);
    EXPECT_EQ(m.substr(4, 4), std::string("\x04\x00\x00\x00", 4));
    EXPECT_EQ(m.substr(8), "NOOP");

    EXPECT_EQ(BuildTextMessage(std::string(32768, 'x')).size(), 32768u + 8);
    try {
        BuildTextMessage(std::string(32769, 'x'));
        FAIL() << "a text over 32K was accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "字符串长度不能超过 32K");
    }
    EXPECT_THROW(BuildTextMessage(""), EAssertionFailed);
}

TEST(LiveTexts, ReplyValuesAreFoundByNameInAnyCase)
{
    const std::string reply = "title=Lesson 1\r\nAUTHOR=Li\nCopyright=\rDescription=a=b\r\nNoEquals\r\n";
    std::string v;
    EXPECT_TRUE(FindReplyValue(reply, "Title", &v));
    EXPECT_EQ(v, "Lesson 1");
    EXPECT_TRUE(FindReplyValue(reply, "author", &v));
    EXPECT_EQ(v, "Li");
    EXPECT_TRUE(FindReplyValue(reply, "Copyright", &v));
    EXPECT_EQ(v, "");
    EXPECT_TRUE(FindReplyValue(reply, "Description", &v));
    EXPECT_EQ(v, "a=b");  // split at the first '='
    EXPECT_FALSE(FindReplyValue(reply, "NoEquals", &v));
    EXPECT_FALSE(FindReplyValue(reply, "Titl", &v));

    LiveStreamInfo info{"old", "old", "keep", "old"};
    ApplyReplyInfo(reply, &info);
    EXPECT_EQ(info.Title, "Lesson 1");
    EXPECT_EQ(info.Author, "Li");
    EXPECT_EQ(info.Copyright, "keep");  // empty values do not replace
    EXPECT_EQ(info.Description, "a=b");
}

TEST(LiveTexts, OnlyExactFalseRefusesTheLogin)
{
    EXPECT_TRUE(IsLoginRefused("Title=x\r\nPermission=False\r\n"));
    EXPECT_TRUE(IsLoginRefused("permission=False"));  // the name in any case
    EXPECT_FALSE(IsLoginRefused("Permission=false\r\n"));
    EXPECT_FALSE(IsLoginRefused("Permission=False \r\n"));
    EXPECT_FALSE(IsLoginRefused("Permission=True\r\n"));
    EXPECT_FALSE(IsLoginRefused("Title=no permission line\r\n"));
    EXPECT_FALSE(IsLoginRefused(""));
}

TEST(LiveTexts, LocatorPartsAreTrimmed)
{
    std::string host, channel;
    LiveTargetFromParts("  example.org ", "/ch ", &host, &channel);
    EXPECT_EQ(host, "example.org");
    EXPECT_EQ(channel, "ch");
    LiveTargetFromParts("h", "", &host, &channel);
    EXPECT_EQ(channel, "");
    LiveTargetFromParts("\t", "/", &host, &channel);
    EXPECT_EQ(host, "");
}

TEST(LiveFraming, SplitAndCoalescedMessagesAreDispatchedInOrder)
{
    Receiver r;
    const std::string stream = Text(lmIndex, "idx") + FrameMessage(40, fkKeyFrame, "PIXELS") +
                               Text(lmScript, "go()") + Text(lmString, "hello");
    // One byte at a time.
    for (char c : stream)
        ASSERT_EQ(r.Feed(std::string(1, c)), LiveStreamError::None);
    ASSERT_EQ(r.Got.size(), 4u);
    EXPECT_EQ(r.Got[0], std::make_pair(uint8_t(lmIndex), std::string("idx")));
    EXPECT_EQ(r.Got[1].first, lmFrame);
    EXPECT_EQ(r.Got[1].second.size(), 28u + 6);
    EXPECT_EQ(r.Got[1].second.substr(28), "PIXELS");
    EXPECT_EQ(r.Got[2].second, "go()");
    EXPECT_EQ(r.Got[3].second, "hello");
    EXPECT_EQ(r.Used, 0u);

    // Three short messages in one receive.
    Receiver all;
    ASSERT_EQ(all.Feed(Text(1, "a") + Text(2, "b") + Text(3, "c")), LiveStreamError::None);
    ASSERT_EQ(all.Got.size(), 3u);
    EXPECT_EQ(all.Got[0].second + all.Got[1].second + all.Got[2].second, "abc");
}

TEST(LiveFraming, LeftoverStaysAtTheFrontUntilComplete)
{
    Receiver r;
    const std::string second = Text(lmString, "second");
    ASSERT_EQ(r.Feed(Text(lmString, "first") + second.substr(0, 5)), LiveStreamError::None);
    ASSERT_EQ(r.Got.size(), 1u);
    EXPECT_EQ(r.Used, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r.Data), 5), second.substr(0, 5));
    ASSERT_EQ(r.Feed(second.substr(5)), LiveStreamError::None);
    ASSERT_EQ(r.Got.size(), 2u);
    EXPECT_EQ(r.Got[1].second, "second");
}

TEST(LiveFraming, BufferGrowsToExactlyTheMessageAndNeverShrinks)
{
    Receiver r;
    const std::string big = FrameMessage(0, fkKeyFrame, std::string(1000, 'k'));  // 8 + 28 + 1000
    ASSERT_EQ(r.Feed(big), LiveStreamError::None);
    ASSERT_EQ(r.Grows, std::vector<uint32_t>{1036});
    EXPECT_EQ(r.Capacity, 1036u);
    ASSERT_EQ(r.Got.size(), 1u);
    EXPECT_EQ(r.Got[0].second.substr(28), std::string(1000, 'k'));
    ASSERT_EQ(r.Feed(Text(2, "small")), LiveStreamError::None);
    EXPECT_EQ(r.Capacity, 1036u);
    EXPECT_EQ(r.Grows.size(), 1u);
}

TEST(LiveFraming, UnknownTypesAreSkipped)
{
    Receiver r;
    ASSERT_EQ(r.Feed(Text(5, "whatever") + Text(2, "kept")), LiveStreamError::None);
    // The sink sees every message; the client skips type 5 itself.
    ASSERT_EQ(r.Got.size(), 2u);
    EXPECT_EQ(r.Got[0].first, 5);
    EXPECT_EQ(r.Got[1].second, "kept");
}

TEST(LiveFraming, LengthsAreCheckedAgainstTheRecordAndCapped)
{
    {
        Receiver r;  // a text over the cap is refused before anything is allocated
        EXPECT_EQ(r.Feed(Head(lmString, 0xA00000 + 28 + 1)), LiveStreamError::Oversized);
        EXPECT_TRUE(r.Grows.empty());
    }
    {
        Receiver r;  // texts longer than the client sends are the service's to send
        EXPECT_EQ(r.Feed(Text(lmScript, std::string(40000, 's'))), LiveStreamError::None);
        ASSERT_EQ(r.Got.size(), 1u);
        EXPECT_EQ(r.Got[0].second.size(), 40000u);
    }
    {
        Receiver r, wrap;
        EXPECT_EQ(r.Feed(Head(lmFrame, 0xA00000 + 28 + 1)), LiveStreamError::Oversized);
        EXPECT_EQ(wrap.Feed(Head(lmFrame, 0xFFFFFFF8u)), LiveStreamError::Oversized);
        EXPECT_TRUE(r.Grows.empty());
        EXPECT_TRUE(wrap.Grows.empty());
    }
    {
        Receiver r;  // a frame message shorter than a frame header
        EXPECT_EQ(r.Feed(Head(lmFrame, 10) + std::string(10, 'x')), LiveStreamError::BadFrame);
        EXPECT_TRUE(r.Got.empty());
    }
    {
        Receiver r;  // the record announces more payload than the message holds
        std::string m = FrameMessage(0, fkKeyFrame, "abcd");
        m[8 + 12] = 5;  // FrameHeader.Length 4 -> 5
        EXPECT_EQ(r.Feed(m), LiveStreamError::BadFrame);
        EXPECT_TRUE(r.Got.empty());
    }
    {
        Receiver r;  // ... less: the bytes after the record are skipped
        std::string m = FrameMessage(0, fkKeyFrame, "abcd");
        m[8 + 12] = 3;
        EXPECT_EQ(r.Feed(m + Text(lmString, "next")), LiveStreamError::None);
        ASSERT_EQ(r.Got.size(), 2u);
        EXPECT_EQ(r.Got[0].second, m.substr(8, 28 + 3));
        EXPECT_EQ(r.Got[1].second, "next");
    }
    {
        Receiver r;  // an empty frame record (cursor move) is 28 bytes
        EXPECT_EQ(r.Feed(FrameMessage(7, fkCursor, "")), LiveStreamError::None);
        ASSERT_EQ(r.Got.size(), 1u);
        EXPECT_EQ(r.Got[0].second.size(), 28u);
    }
}
