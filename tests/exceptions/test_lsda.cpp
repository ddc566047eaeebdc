// The language-data reader on tables written by hand: call sites, action
// chains, type tables in the encodings the compilers use, exception
// specifications, and tables that lead outside their bounds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ELsda.h"

using namespace qov::exceptions;

namespace {

using TBytes = std::vector<uint8_t>;

void Uleb(TBytes& out, uint64_t v)
{
    do {
        uint8_t b = v & 0x7F;
        v >>= 7;
        out.push_back(v ? b | 0x80 : b);
    } while (v);
}

void Sleb(TBytes& out, int64_t v)
{
    bool more = true;
    while (more) {
        uint8_t b = v & 0x7F;
        v >>= 7;
        more = !((v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40)));
        out.push_back(more ? b | 0x80 : b);
    }
}

struct TSite {
    uint64_t Start, Length, Pad, Action;
};

// Tables with 4-byte type entries (udata4, or pcrel|sdata4|indirect) and an
// exception specification list behind the type base.
struct TTables {
    TBytes Bytes;
    size_t TypeBase = 0;

    TTables(const std::vector<TSite>& sites, const TBytes& actions, const std::vector<uint32_t>& types,
            const TBytes& specs, uint8_t typeEncoding = PeUdata4)
    {
        TBytes callSites;
        for (const TSite& s : sites) {
            Uleb(callSites, s.Start);
            Uleb(callSites, s.Length);
            Uleb(callSites, s.Pad);
            Uleb(callSites, s.Action);
        }
        TBytes tail; // call-site encoding, its length, sites, actions, types
        tail.push_back(PeUleb128);
        Uleb(tail, callSites.size());
        tail.insert(tail.end(), callSites.begin(), callSites.end());
        tail.insert(tail.end(), actions.begin(), actions.end());
        for (size_t i = types.size(); i-- > 0;) {
            uint8_t word[4];
            std::memcpy(word, &types[i], 4);
            tail.insert(tail.end(), word, word + 4);
        }
        Bytes = {PeOmit, typeEncoding};
        Uleb(Bytes, tail.size()); // one byte for these small tables
        Bytes.insert(Bytes.end(), tail.begin(), tail.end());
        TypeBase = Bytes.size();
        Bytes.insert(Bytes.end(), specs.begin(), specs.end());
    }

    TLsdaReader Reader(uintptr_t regionStart = 0x1000, size_t cut = 0, TReadCell cell = nullptr)
    {
        return TLsdaReader(Bytes.data(), TLsdaBounds{Bytes.data(), Bytes.data() + Bytes.size() - cut}, regionStart,
                           cell);
    }
};

// Action records: catch type 2 (EOther), then type 1; a lone cleanup; a
// specification; catch-all (type 3 is 0).
TBytes Actions()
{
    TBytes a;
    Sleb(a, 2); // record at offset 0: type 2, next is 2 bytes on from the displacement
    Sleb(a, 1);
    Sleb(a, 1); // offset 2: type 1, end
    Sleb(a, 0);
    Sleb(a, -1); // offset 4: specification at type base + 0, end
    Sleb(a, 0);
    Sleb(a, 3); // offset 6: catch-all
    Sleb(a, 0);
    return a;
}

constexpr uint32_t TypeWanted = 0x1111, TypeOther = 0x2222;

TTables Sample()
{
    return TTables({{0x10, 0x10, 0x80, 1}, {0x20, 0x10, 0, 0}, {0x30, 0x10, 0x90, 0}, {0x40, 0x10, 0xA0, 5},
                    {0x60, 0x10, 0xB0, 7}},
                   Actions(), {TypeWanted, TypeOther, 0}, {1, 0, 0});
}

bool AcceptsWanted(uintptr_t type, void*)
{
    return type == TypeWanted;
}
bool AcceptsNothing(uintptr_t, void*)
{
    return false;
}

TEST(Lsda, CallSitesAndLandingPads)
{
    TTables t = Sample();
    TLsdaReader r = t.Reader();
    EXPECT_EQ(csNotFound, r.FindCallSite(0x100F)); // before the first site
    EXPECT_EQ(csActions, r.FindCallSite(0x1010));
    EXPECT_EQ(0x1080u, r.LandingPad());
    EXPECT_EQ(csNoLandingPad, r.FindCallSite(0x102F));
    EXPECT_EQ(csCleanupOnly, r.FindCallSite(0x1030));
    EXPECT_EQ(csNotFound, r.FindCallSite(0x1050)); // a gap
    EXPECT_EQ(csNotFound, r.FindCallSite(0x2000)); // past the last
}

TEST(Lsda, ActionChainsInOrder)
{
    TTables t = Sample();
    TLsdaReader r = t.Reader();
    ASSERT_EQ(csActions, r.FindCallSite(0x1018));
    TLsdaAction a;
    ASSERT_TRUE(r.NextAction(a));
    EXPECT_EQ(2, a.Filter);
    EXPECT_EQ(TypeOther, a.TypeInfo);
    ASSERT_TRUE(r.NextAction(a));
    EXPECT_EQ(1, a.Filter);
    EXPECT_EQ(TypeWanted, a.TypeInfo);
    EXPECT_FALSE(r.NextAction(a));
    EXPECT_FALSE(r.Unreadable());
}

TEST(Lsda, FrameVerdicts)
{
    TTables t = Sample();
    TLsdaReader r = t.Reader();
    TFrameVerdict v = JudgeFrame(r, 0x1018, false, AcceptsWanted, nullptr);
    EXPECT_EQ(foCatches, v.Outcome);
    EXPECT_EQ(hkTyped, v.Kind);
    EXPECT_EQ(foPasses, JudgeFrame(r, 0x1018, false, AcceptsNothing, nullptr).Outcome);
    // A foreign exception meets typed clauses only.
    EXPECT_EQ(foPasses, JudgeFrame(r, 0x1018, true, AcceptsWanted, nullptr).Outcome);
    v = JudgeFrame(r, 0x1060, true, AcceptsNothing, nullptr);
    EXPECT_EQ(foCatches, v.Outcome);
    EXPECT_EQ(hkCatchAll, v.Kind);
    EXPECT_EQ(foPasses, JudgeFrame(r, 0x1030, false, AcceptsWanted, nullptr).Outcome);
    EXPECT_EQ(foTerminates, JudgeFrame(r, 0x1050, false, AcceptsWanted, nullptr).Outcome);
}

TEST(Lsda, ExceptionSpecifications)
{
    TTables t = Sample();
    TLsdaReader r = t.Reader();
    uintptr_t type;
    ASSERT_TRUE(r.SpecificationType(-1, 0, type));
    EXPECT_EQ(TypeWanted, type);
    EXPECT_FALSE(r.SpecificationType(-1, 1, type));
    // A listed exception passes the exception specification, any other ends the program.
    EXPECT_EQ(foPasses, JudgeFrame(r, 0x1040, false, AcceptsWanted, nullptr).Outcome);
    EXPECT_EQ(foTerminates, JudgeFrame(r, 0x1040, false, AcceptsNothing, nullptr).Outcome);
    // A foreign exception passes a non-empty specification; an empty one
    // (at type base + 2, the zero) ends it.
    EXPECT_EQ(foPasses, JudgeFrame(r, 0x1040, true, AcceptsNothing, nullptr).Outcome);
    TBytes empty;
    Sleb(empty, -3);
    Sleb(empty, 0);
    TTables e({{0, 0x10, 0x40, 1}}, empty, {TypeWanted}, {1, 0, 0});
    TLsdaReader er = e.Reader();
    EXPECT_EQ(foTerminates, JudgeFrame(er, 0x1000, true, AcceptsNothing, nullptr).Outcome);
}

bool CellAt(uintptr_t address, uintptr_t& value, void*)
{
    value = address ^ 0x5A5A;
    return true;
}

TEST(Lsda, RelativeAndIndirectTypeEntries)
{
    // pc-relative, signed 4 bytes, through a cell: the entry holds the
    // distance from itself to the cell.
    TTables t({{0, 0x10, 0x40, 1}}, {1, 0}, {0x100}, {}, PePcRel | PeSdata4 | PeIndirect);
    TLsdaReader r = t.Reader(0x1000, 0, CellAt);
    uintptr_t type;
    ASSERT_TRUE(r.TypeEntry(1, type));
    uintptr_t entry = reinterpret_cast<uintptr_t>(t.Bytes.data() + t.TypeBase - 4);
    EXPECT_EQ((entry + 0x100) ^ 0x5A5A, type);
    // Without a cell reader the entry cannot be read.
    TLsdaReader none = t.Reader(0x1000, 0, nullptr);
    EXPECT_FALSE(none.TypeEntry(1, type));
    EXPECT_TRUE(none.Unreadable());
    // Bases that x86 code never uses are refused.
    TTables text({{0, 0x10, 0x40, 1}}, {1, 0}, {0x100}, {}, PeTextRel | PeUdata4);
    TLsdaReader tr = text.Reader();
    EXPECT_FALSE(tr.TypeEntry(1, type));
}

TEST(Lsda, NothingIsReadOutsideTheBounds)
{
    TTables t = Sample();
    // Tables cut short: the call sites run out of bounds.
    TLsdaReader cut = t.Reader(0x1000, t.Bytes.size() - 6);
    EXPECT_EQ(csUnreadable, cut.FindCallSite(0x1018));
    // A type index beyond the tables' start.
    TLsdaReader r = t.Reader();
    uintptr_t type;
    EXPECT_FALSE(r.TypeEntry(1000, type));
    EXPECT_TRUE(r.Unreadable());
    // A chain whose next record lies before the tables, and one that leads
    // back to itself.
    TBytes away;
    Sleb(away, 1);
    Sleb(away, -100);
    TTables a({{0, 0x10, 0x40, 1}}, away, {TypeOther}, {});
    TLsdaReader ar = a.Reader();
    EXPECT_EQ(foTerminates, JudgeFrame(ar, 0x1000, false, AcceptsNothing, nullptr).Outcome);
    TBytes loop;
    Sleb(loop, 1);
    Sleb(loop, -1);
    TTables l({{0, 0x10, 0x40, 1}}, loop, {TypeOther}, {});
    TLsdaReader lr = l.Reader();
    EXPECT_EQ(foTerminates, JudgeFrame(lr, 0x1000, false, AcceptsNothing, nullptr).Outcome);
    // An empty span.
    TLsdaReader nothing(t.Bytes.data(), TLsdaBounds{t.Bytes.data(), t.Bytes.data()}, 0x1000);
    EXPECT_EQ(csUnreadable, nothing.FindCallSite(0x1018));
}

} // namespace
