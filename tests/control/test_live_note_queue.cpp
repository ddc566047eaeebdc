// The live reader's queue of notifications: bounded by count and by bytes,
// the oldest frame copies dropped first, texts kept, one burst per overflow
// until the queue is taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LiveNoteQueue.h"

using namespace qov;

namespace {

struct TNote {
    std::string Name;
    size_t Size = 0;
    bool Frame = false;
    size_t Bytes() const { return Size; }
    bool IsFrame() const { return Frame; }
};

std::unique_ptr<TNote> Frame(const std::string& name, size_t size)
{
    return std::make_unique<TNote>(TNote{name, size, true});
}

std::unique_ptr<TNote> Text(const std::string& name, size_t size = 10)
{
    return std::make_unique<TNote>(TNote{name, size, false});
}

std::vector<std::string> Names(TLiveNoteQueue<TNote>& queue)
{
    std::vector<std::string> names;
    for (const auto& note : queue.Take())
        names.push_back(note->Name);
    return names;
}

using V = std::vector<std::string>;

constexpr size_t kMiB = size_t(1) << 20;

} // namespace

TEST(LiveNoteQueue, FullOfBytesDropsTheOldestFramesAndKeepsTexts)
{
    // The control's bound: 64 MiB; frames of up to 10 MB.
    TLiveNoteQueue<TNote> queue(10000, 64 * kMiB);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(queue.Push(Frame("f" + std::to_string(i), 10 * kMiB)).Queued);
        ASSERT_TRUE(queue.Push(Text("t" + std::to_string(i))).Queued);
    }
    EXPECT_EQ(queue.Bytes(), 60 * kMiB + 60);
    // The seventh frame does not fit: f0 goes, the first loss of a burst.
    TNotePush pushed = queue.Push(Frame("f6", 10 * kMiB));
    EXPECT_TRUE(pushed.Queued);
    EXPECT_TRUE(pushed.BurstStarted);
    EXPECT_EQ(pushed.Dropped, 1u);
    // A bigger one takes two; the same burst.
    pushed = queue.Push(Frame("f7", 15 * kMiB));
    EXPECT_TRUE(pushed.Queued);
    EXPECT_FALSE(pushed.BurstStarted);
    EXPECT_EQ(pushed.Dropped, 2u);
    EXPECT_LE(queue.Bytes(), 64 * kMiB);
    // A text never pushes out another text.
    EXPECT_TRUE(queue.Push(Text("t6")).Queued);
    EXPECT_EQ(Names(queue), (V{"t0", "t1", "t2", "f3", "t3", "f4", "t4", "f5", "t5", "f6", "f7", "t6"}));
    EXPECT_EQ(queue.Bytes(), 0u);
    EXPECT_EQ(queue.Count(), 0u);
    // Taken: the next overflow is a new burst.
    for (int i = 0; i < 7; ++i)
        queue.Push(Frame("g", 10 * kMiB));
    EXPECT_EQ(queue.Count(), 6u);
    EXPECT_EQ(queue.Push(Frame("h", 10 * kMiB)).Dropped, 1u);
}

TEST(LiveNoteQueue, NotesThatCannotFitAreRefusedAndCountAsALoss)
{
    TLiveNoteQueue<TNote> queue(3, 100);
    // Bigger than the whole bound: refused, nothing else is dropped for it.
    ASSERT_TRUE(queue.Push(Frame("f0", 40)).Queued);
    TNotePush pushed = queue.Push(Frame("huge", 101));
    EXPECT_FALSE(pushed.Queued);
    EXPECT_TRUE(pushed.BurstStarted);
    EXPECT_EQ(pushed.Dropped, 0u);
    EXPECT_EQ(queue.Count(), 1u);
    // Texts fill the rest: with no frame left to drop a new one is refused.
    ASSERT_TRUE(queue.Push(Text("t0", 50)).Queued);
    ASSERT_TRUE(queue.Push(Text("t1", 10)).Queued);
    pushed = queue.Push(Text("t2", 1));  // count full: f0 goes for it
    EXPECT_TRUE(pushed.Queued);
    EXPECT_EQ(pushed.Dropped, 1u);
    EXPECT_FALSE(pushed.BurstStarted);
    pushed = queue.Push(Text("t3", 1));
    EXPECT_FALSE(pushed.Queued);
    EXPECT_FALSE(queue.Push(Frame("f1", 1)).Queued);
    EXPECT_EQ(Names(queue), (V{"t0", "t1", "t2"}));
    // Exactly the bound fits; after a take a loss starts a new burst.
    EXPECT_TRUE(queue.Push(Frame("full", 100)).Queued);
    EXPECT_TRUE(queue.Push(Frame("one", 1)).BurstStarted);
    EXPECT_EQ(Names(queue), (V{"one"}));
}
