// The handled-or-unhandled decision against the language run-time itself:
// the matrix of nestings (catch-all, base-class catch, unrelated catch,
// destructors only, the safecall boundary, the unit-initialisation rule, the
// cache) and a generated set of nestings whose decision is compared with
// what the unwinder really does with a raised exception. Each case runs on a
// thread of its own, whose start routine catches nothing (the test
// framework's own catch frames would otherwise count).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "EDecision.h"
#include "UnwinderRaise.h"

using namespace qov::exceptions;

// Every allocation of the program is counted, to show that a decision makes none.
namespace {
volatile long Allocations = 0;
}

void* operator new(std::size_t size)
{
    Allocations = Allocations + 1;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

#define NOINLINE __attribute__((noinline))

struct EBase { virtual ~EBase() = default; };
struct EMid : EBase {};
struct ELeaf : EMid {};
struct EOther { virtual ~EOther() = default; };

TDecisionCache Cache;
TDecisionFlags Flags;
TDecision Decided;
volatile int Sink;

// Decides for a raise of object from the calling frame (the frame whose
// return address this call leaves is the raising one).
template <typename T>
NOINLINE void DecideHere(T& object, bool force)
{
    TRaise raise;
    raise.Type = &typeid(T);
    raise.Object = &object;
    raise.Address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    Decided = DecideRaise(raise, force, Cache, Flags, DefaultDecisionPlatform());
}

// Decides, then throws for real (only where something catches).
template <typename T>
NOINLINE void Raise(T value, bool force = false)
{
    DecideHere(value, force);
    throw value;
}

// Decides only (where nothing would catch).
template <typename T>
NOINLINE void DecideOnly(T value, bool force = false)
{
    DecideHere(value, force);
    Sink = Sink + 1;
}

struct TGuard {
    ~TGuard() { Sink = Sink + 1; }
};

void (*ThreadBody)();

#ifdef _WIN32
DWORD WINAPI ThreadMain(LPVOID)
{
    ThreadBody();
    return 0;
}
void OnOwnThread(void (*body)())
{
    ThreadBody = body;
    HANDLE thread = CreateThread(nullptr, 1 << 20, ThreadMain, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
#else
void* ThreadMain(void*)
{
    ThreadBody();
    return nullptr;
}
void OnOwnThread(void (*body)())
{
    ThreadBody = body;
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, ThreadMain, nullptr));
    pthread_join(thread, nullptr);
}
#endif

// Runs body on its own thread with an empty cache and default flags.
TDecision DecideOnOwnThread(void (*body)())
{
    Cache.Clear();
    Flags = TDecisionFlags();
    Decided = TDecision();
    OnOwnThread(body);
    return Decided;
}

void ExpectDecision(const TDecision& d, bool handled, int count, uint8_t firstKind, uint8_t answer = daOrdinary)
{
    EXPECT_EQ(handled, d.Handled);
    EXPECT_EQ(count, d.Count);
    EXPECT_EQ(firstKind, d.FirstKind);
    EXPECT_EQ(answer, d.Answer);
}

TEST(Decision, CatchAllHandles)
{
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           Raise(ELeaf());
                       } catch (...) {
                       }
                   }),
                   true, 1, hkCatchAll);
    EXPECT_TRUE(Flags.FirstDecisionTaken);
}

TEST(Decision, TypedCatchTakesTheClassAndItsDescendants)
{
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           Raise(ELeaf());
                       } catch (const EBase&) {
                       }
                   }),
                   true, 1, hkTyped);
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           Raise(EMid());
                       } catch (const EMid&) {
                       }
                   }),
                   true, 1, hkTyped);
    // A catch of a descendant, or of an unrelated class, does not take it.
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           DecideOnly(EMid());
                       } catch (const ELeaf&) {
                       } catch (const EOther&) {
                       }
                   }),
                   false, 0, hkNone);
    // A later clause of the same frame does.
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           Raise(ELeaf());
                       } catch (const EOther&) {
                       } catch (int) {
                       } catch (const EMid&) {
                       }
                   }),
                   true, 1, hkTyped);
    // Thrown values other than classes.
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           DecideOnly(42);
                       } catch (long) {
                       }
                   }),
                   false, 0, hkNone);
}

NOINLINE void WithDestructorsOnly()
{
    TGuard guard;
    DecideOnly(ELeaf());
}

TEST(Decision, DestructorsAloneDoNotCatch)
{
    ExpectDecision(DecideOnOwnThread([] {
                       TGuard outer;
                       WithDestructorsOnly();
                   }),
                   false, 0, hkNone);
}

NOINLINE void CaughtInside()
{
    try {
        Raise(ELeaf());
    } catch (const EBase&) {
    }
}

TEST(Decision, EveryCatchingFrameIsCounted)
{
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           TGuard guard;
                           CaughtInside();
                       } catch (...) {
                       }
                   }),
                   true, 2, hkTyped);
}

NOINLINE void NoexceptFrame() noexcept
{
    DecideOnly(ELeaf());
}

TEST(Decision, NoexceptEndsTheWalk)
{
    // The run-time ends the program in the noexcept frame: the catch outside
    // it is never reached.
    ExpectDecision(DecideOnOwnThread([] {
                       try {
                           NoexceptFrame();
                       } catch (...) {
                       }
                   }),
                   false, 0, hkNone);
}

constexpr int32_t Unexpected = static_cast<int32_t>(0x8000FFFFu);
int32_t SafeCallResult;
bool ForceFlag;

void SafeMember(void*)
{
    Raise(ELeaf(), ForceFlag);
}

int32_t OwnFailure(void* data) noexcept
{
    return *static_cast<int32_t*>(data);
}

TEST(Decision, SafecallBoundaryReportsItself)
{
    for (bool force : {false, true}) {
        ForceFlag = force;
        ExpectDecision(DecideOnOwnThread([] {
                           try {
                               SafeCallResult = RunSafeCall(SafeMember, nullptr, nullptr);
                           } catch (...) {
                           }
                       }),
                       false, 2, hkSafeCall, daSafeCall);
        EXPECT_EQ(Unexpected, SafeCallResult);
    }
    int32_t own = 0x80004005;
    EXPECT_EQ(own, RunSafeCall([](void*) { throw 1; }, &own, OwnFailure));
    EXPECT_EQ(0, RunSafeCall([](void*) {}, nullptr, nullptr));
}

TEST(Decision, UnitInitialisationLeavesTheOnlyCatcherOut)
{
    auto decideWith = [](void (*body)()) {
        Cache.Clear();
        Flags = TDecisionFlags();
        Flags.InInitialisation = true;
        OnOwnThread(body);
        return Decided;
    };
    ExpectDecision(decideWith([] {
                       try {
                           Raise(ELeaf());
                       } catch (...) {
                       }
                   }),
                   false, 1, hkCatchAll);
    ExpectDecision(decideWith([] {
                       try {
                           CaughtInside();
                       } catch (...) {
                       }
                   }),
                   true, 2, hkTyped);
}

TEST(Decision, DeferringAndForcingMakeHandled)
{
    TDecision d = DecideOnOwnThread([] { DecideOnly(ELeaf(), true); });
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(0, d.Count);
    Cache.Clear();
    Flags = TDecisionFlags();
    Flags.DefersToMain = true;
    OnOwnThread([] { DecideOnly(ELeaf()); });
    EXPECT_TRUE(Decided.Handled);
}

long AllocationsInDecision;

NOINLINE void CountAllocationsOfOneDecision()
{
    try {
        ELeaf leaf;
        long before = Allocations;
        DecideHere(leaf, false);
        AllocationsInDecision = Allocations - before;
        throw leaf;
    } catch (const EBase&) {
    }
}

TEST(Decision, AllocatesNothing)
{
    AllocationsInDecision = -1;
    TDecision d = DecideOnOwnThread(CountAllocationsOfOneDecision);
    EXPECT_TRUE(d.Handled);
    EXPECT_EQ(0, AllocationsInDecision);
    // The counter does see allocations.
    long before = Allocations;
    std::vector<int> block(100, 1);
    Sink = block[99];
    EXPECT_EQ(before + 1, Allocations);
}

TEST(Decision, WindowsExceptionsAreNotWalked)
{
    TRaise raise;
    raise.System = true;
    raise.Address = reinterpret_cast<uintptr_t>(&RunSafeCall);
    Cache.Clear();
    Flags = TDecisionFlags();
    ExpectDecision(DecideRaise(raise, false, Cache, Flags, DefaultDecisionPlatform()), false, 0, hkNone);
    EXPECT_EQ(0, Cache.Count());
}

NOINLINE void RaiseTwiceAtOneSite()
{
    // Not unrolled: both raises come from the same frames.
    static volatile int rounds = 2;
    for (int i = 0; i < rounds; ++i) {
        try {
            Raise(ELeaf());
        } catch (...) {
        }
        if (i == 0) {
            // Plant a different answer for the key of this raise: the second
            // decision must come from the cache.
            EXPECT_EQ(1, Cache.Count());
            TDecision planted;
            planted.Count = 7;
            planted.Handled = true;
            TDecisionKey key = Cache.KeyAt(0);
            static TDecisionFrames frames;
            frames = Cache.FramesAt(0);
            Cache.Clear();
            Cache.Store(key, planted, frames);
        }
    }
}

TEST(Decision, SameRaiseTwiceIsAnsweredFromTheCache)
{
    TDecision d = DecideOnOwnThread(RaiseTwiceAtOneSite);
    EXPECT_EQ(7, d.Count);
    EXPECT_EQ(1, Cache.Count()); // a hit stores nothing
}

template <int N>
struct ENumbered {};

template <int N>
NOINLINE void RaiseNumbered()
{
    try {
        Raise(ENumbered<N>());
    } catch (...) {
    }
    if constexpr (N > 0)
        RaiseNumbered<N - 1>();
}

TEST(Decision, EleventhDecisionDropsTheOldest)
{
    DecideOnOwnThread(RaiseNumbered<10>);
    ASSERT_EQ(TDecisionCache::Capacity, Cache.Count());
    // ENumbered<10> came first and went; the newest is last.
    for (int i = 0; i < Cache.Count(); ++i)
        EXPECT_NE(static_cast<const void*>(&typeid(ENumbered<10>)), Cache.KeyAt(i).Class);
    EXPECT_EQ(static_cast<const void*>(&typeid(ENumbered<9>)), Cache.KeyAt(0).Class);
    EXPECT_EQ(static_cast<const void*>(&typeid(ENumbered<0>)), Cache.KeyAt(9).Class);
}

// Frames made up by a walker of the test's own.
std::vector<TFrame> MadeFrames;
void WalkMadeFrames(TFrameVisitor visit, void* data)
{
    for (const TFrame& frame : MadeFrames)
        if (!visit(frame, data))
            return;
}

TEST(Decision, UnreadableTablesEndTheWalk)
{
    TDecisionPlatform platform = DefaultDecisionPlatform();
    platform.Walk = WalkMadeFrames;
    TFrame raising, boundary;
    raising.Ip = 0x1000;
    raising.Cfa = 0x2000;
    boundary.Ip = 0x1100;
    boundary.Cfa = 0x2100;
    boundary.RegionStart = reinterpret_cast<uintptr_t>(&RunSafeCall);
    TRaise raise;
    raise.Address = 0x1000;
    // Without tables the raising frame passes and the boundary counts.
    MadeFrames = {raising, boundary};
    EXPECT_EQ(1, WalkDecision(raise, platform).Count);
    // Tables at an address that cannot be read end the walk there.
    raising.Lsda = reinterpret_cast<const uint8_t*>(16);
    MadeFrames = {raising, boundary};
    TDecision d = WalkDecision(raise, platform);
    EXPECT_FALSE(d.Handled);
    EXPECT_EQ(0, d.Count);
    // A raise that the walk never meets decides nothing and is not cached.
    raise.Address = 0x5000;
    Cache.Clear();
    Flags = TDecisionFlags();
    EXPECT_FALSE(DecideRaise(raise, false, Cache, Flags, platform).Handled);
    EXPECT_EQ(0, Cache.Count());
}

// The return addresses a made-up stack holds, by address.
std::vector<std::pair<uintptr_t, uintptr_t>> MadeStack;
bool ReadMadeStack(uintptr_t address, uintptr_t& value)
{
    for (const auto& [at, word] : MadeStack)
        if (at == address) {
            value = word;
            return true;
        }
    return false;
}

// Another caller can put the raising frame at the same place (as can another
// thread whose stack lies where an ended one's lay): the decision is taken
// anew unless the same frames are there.
TEST(Decision, CachedDecisionNeedsTheSameFrames)
{
    TDecisionPlatform platform = DefaultDecisionPlatform();
    platform.Walk = WalkMadeFrames;
    platform.ReadStack = ReadMadeStack;
    TFrame raising, boundary, plain;
    raising.Ip = 0x1000;
    raising.Cfa = 0x2000;
    boundary.Ip = 0x1100;
    boundary.Cfa = 0x2100;
    boundary.RegionStart = reinterpret_cast<uintptr_t>(&RunSafeCall);
    plain.Ip = 0x1200;
    plain.Cfa = 0x2100;
    TRaise raise;
    raise.Address = 0x1000;
    Cache.Clear();
    Flags = TDecisionFlags();
    // Called from the boundary: caught there.
    const uintptr_t w = sizeof(uintptr_t);
    MadeFrames = {raising, boundary};
    MadeStack = {{0x2000 - w, 0x1000}, {0x2100 - w, 0x1100}};
    EXPECT_EQ(hkSafeCall, DecideRaise(raise, false, Cache, Flags, platform).FirstKind);
    EXPECT_EQ(1, Cache.Count());
    // From another caller at the same place: nothing catches.
    MadeFrames = {raising, plain};
    MadeStack = {{0x2000 - w, 0x1000}, {0x2100 - w, 0x1200}};
    EXPECT_FALSE(DecideRaise(raise, false, Cache, Flags, platform).Handled);
    EXPECT_EQ(2, Cache.Count());
    // The first caller again: from the cache (a hit stores nothing).
    MadeFrames = {raising, boundary};
    MadeStack = {{0x2000 - w, 0x1000}, {0x2100 - w, 0x1100}};
    EXPECT_EQ(hkSafeCall, DecideRaise(raise, false, Cache, Flags, platform).FirstKind);
    EXPECT_EQ(2, Cache.Count());
    // A stack that cannot be read takes nothing from the cache.
    MadeStack.clear();
    EXPECT_EQ(hkSafeCall, DecideRaise(raise, false, Cache, Flags, platform).FirstKind);
    EXPECT_EQ(3, Cache.Count());
}

// The generated nestings -------------------------------------------------------

enum TLevelKind { lkPlain, lkCatchAll, lkBase, lkMid, lkLeaf, lkOther, lkGuard, lkOtherThenMid, lkInt, lkKinds };

struct TNesting {
    int Depth;
    uint8_t Kinds[8];
    int Thrown; // 0 ELeaf, 1 EMid, 2 EBase, 3 EOther, 4 int
};

const TNesting* Current;
int CaughtAt;
uint8_t CaughtKind;

template <typename T>
NOINLINE void Throw(T value)
{
    DecideHere(value, false);
    qov::test::RaiseOrReturn(value);
    CaughtAt = -1;
}

NOINLINE void ThrowChosen(int thrown)
{
    switch (thrown) {
    case 0: Throw(ELeaf()); break;
    case 1: Throw(EMid()); break;
    case 2: Throw(EBase()); break;
    case 3: Throw(EOther()); break;
    default: Throw(7); break;
    }
}

void Caught(int depth, uint8_t kind)
{
    CaughtAt = depth;
    CaughtKind = kind;
}

NOINLINE void Level(int d)
{
    if (d == Current->Depth) {
        ThrowChosen(Current->Thrown);
        return;
    }
    switch (Current->Kinds[d]) {
    case lkPlain:
        Level(d + 1);
        break;
    case lkCatchAll:
        try { Level(d + 1); } catch (...) { Caught(d, hkCatchAll); }
        break;
    case lkBase:
        try { Level(d + 1); } catch (const EBase&) { Caught(d, hkTyped); }
        break;
    case lkMid:
        try { Level(d + 1); } catch (const EMid&) { Caught(d, hkTyped); }
        break;
    case lkLeaf:
        try { Level(d + 1); } catch (const ELeaf&) { Caught(d, hkTyped); }
        break;
    case lkOther:
        try { Level(d + 1); } catch (const EOther&) { Caught(d, hkTyped); }
        break;
    case lkGuard: {
        TGuard guard;
        Level(d + 1);
        break;
    }
    case lkOtherThenMid:
        try { Level(d + 1); } catch (const EOther&) { Caught(d, hkTyped); } catch (const EMid&) { Caught(d, hkTyped); }
        break;
    default:
        try { Level(d + 1); } catch (int) { Caught(d, hkTyped); }
        break;
    }
    Sink = Sink + 1;
}

std::vector<TNesting> Nestings;
std::vector<TDecision> Decisions;
std::vector<int> Caughts;
std::vector<uint8_t> CaughtKinds;

void RunNestings()
{
    for (const TNesting& n : Nestings) {
        Current = &n;
        Cache.Clear();
        CaughtAt = -2;
        CaughtKind = hkNone;
        Level(0);
        Decisions.push_back(Decided);
        Caughts.push_back(CaughtAt);
        CaughtKinds.push_back(CaughtKind);
    }
}

TEST(Decision, AgreesWithTheUnwinderOnGeneratedNestings)
{
    uint32_t seed = 20261209;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    for (int i = 0; i < 200; ++i) {
        TNesting n{};
        n.Depth = 1 + static_cast<int>(next(8));
        for (int d = 0; d < n.Depth; ++d)
            n.Kinds[d] = static_cast<uint8_t>(next(lkKinds));
        n.Thrown = static_cast<int>(next(5));
        Nestings.push_back(n);
    }
    Flags = TDecisionFlags();
    OnOwnThread(RunNestings);
    ASSERT_EQ(Nestings.size(), Decisions.size());
    int caught = 0;
    for (size_t i = 0; i < Nestings.size(); ++i) {
        std::string text = "nesting " + std::to_string(i) + " thrown " + std::to_string(Nestings[i].Thrown) + ":";
        for (int d = 0; d < Nestings[i].Depth; ++d)
            text += " " + std::to_string(Nestings[i].Kinds[d]);
        ASSERT_NE(-2, Caughts[i]) << text;
        EXPECT_EQ(Caughts[i] >= 0, Decisions[i].Handled) << text;
        EXPECT_EQ(CaughtKinds[i], Decisions[i].FirstKind) << text;
        caught += Caughts[i] >= 0;
    }
    // Both answers occur often enough to mean something.
    EXPECT_GT(caught, 40);
    EXPECT_LT(caught, 160);
}

} // namespace
