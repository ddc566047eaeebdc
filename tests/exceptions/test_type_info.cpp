// Names and ancestry of thrown types through the ABI's class descriptions,
// and the catch rule the decision borrows from the language run-time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "ETypeInfo.h"
#include "SysUtils.h"

using namespace qov::exceptions;

namespace qov::exceptions {
class ETestBase : public ::qov::Exception { using Exception::Exception; };
class ETestLeaf : public ETestBase { using ETestBase::ETestBase; };
} // namespace qov::exceptions

namespace {

struct TLeft { virtual ~TLeft() = default; int L = 1; };
struct TRight { virtual ~TRight() = default; int R = 2; };
struct TBoth : TLeft, TRight {};
struct TPrivate : private TLeft {};
struct TVirtualBase { virtual ~TVirtualBase() = default; int V = 3; };
struct TMidA : virtual TVirtualBase {};
struct TMidB : virtual TVirtualBase {};
struct TDiamond : TMidA, TMidB {};
struct TTwiceA : TLeft {};
struct TTwiceB : TLeft {};
struct TAmbiguous : TTwiceA, TTwiceB {};

TEST(TypeInfo, NamesDropTheProjectsNamespacesOnly)
{
    EXPECT_EQ("ETestLeaf", TypeDisplayName(typeid(ETestLeaf)));
    EXPECT_EQ("EAbort", TypeDisplayName(typeid(::qov::EAbort)));
    EXPECT_EQ("std::out_of_range", TypeDisplayName(typeid(std::out_of_range)));
    EXPECT_EQ("int", TypeDisplayName(typeid(int)));
    EXPECT_EQ("char const*", TypeDisplayName(typeid(const char*)));
    EXPECT_EQ("myqov::T", DropOwnNamespace("myqov::T"));
    EXPECT_EQ("std::vector<EJPEG>", DropOwnNamespace("std::vector<qov::EJPEG>"));
}

TEST(TypeInfo, AncestryWalksSingleAndMultipleBases)
{
    std::vector<std::string> leaf = TypeAncestry(&typeid(ETestLeaf), TrustedMemory);
    std::vector<std::string> want{"ETestLeaf", "ETestBase", "Exception", "std::exception"};
    EXPECT_EQ(want, leaf);
    std::vector<std::string> both = TypeAncestry(&typeid(TBoth), TrustedMemory);
    ASSERT_EQ(3u, both.size());
    EXPECT_EQ("(anonymous namespace)::TLeft", both[1]);
    // The shared virtual base is named once.
    EXPECT_EQ(4u, TypeAncestry(&typeid(TDiamond), TrustedMemory).size());
    EXPECT_EQ(std::vector<std::string>{"int"}, TypeAncestry(&typeid(int), TrustedMemory));
}

TEST(TypeInfo, InheritsByNameIgnoresCaseAndBlanks)
{
    EXPECT_TRUE(TypeInheritsFrom(&typeid(ETestLeaf), "  etestbase ", TrustedMemory));
    EXPECT_TRUE(TypeInheritsFrom(&typeid(ETestLeaf), "qov::Exception", TrustedMemory));
    EXPECT_TRUE(TypeInheritsFrom(&typeid(std::out_of_range), "STD::LOGIC_ERROR", TrustedMemory));
    EXPECT_FALSE(TypeInheritsFrom(&typeid(ETestBase), "ETestLeaf", TrustedMemory));
    EXPECT_FALSE(TypeInheritsFrom(nullptr, "ETestLeaf", TrustedMemory));
}

// A probe that refuses one range: the walk ends there instead of reading it.
const void* Refused = nullptr;
bool RefuseOne(const void* address, size_t length)
{
    auto a = reinterpret_cast<uintptr_t>(address), r = reinterpret_cast<uintptr_t>(Refused);
    return !(r >= a && r < a + length);
}

TEST(TypeInfo, AnUnreadableNameOrTableEndsTheWalk)
{
    Refused = typeid(ETestBase).name();
    EXPECT_EQ(std::vector<std::string>{"ETestLeaf"}, TypeAncestry(&typeid(ETestLeaf), RefuseOne));
    EXPECT_FALSE(TypeInheritsFrom(&typeid(ETestLeaf), "Exception", RefuseOne));
    const void* table;
    std::memcpy(&table, &typeid(ETestLeaf), sizeof table);
    Refused = table;
    EXPECT_FALSE(IsValidTypeInfo(&typeid(ETestLeaf), RefuseOne));
    EXPECT_TRUE(TypeAncestry(&typeid(ETestLeaf), RefuseOne).empty());
}

TEST(TypeInfo, ADamagedTableIsComparedNeverFollowed)
{
    // A description whose table is readable zeros and whose name is fine:
    // valid to read, of no kind with bases, and its walk must not call into it.
    static const void* zeros[16] = {};
    struct {
        const void* Table;
        const char* Name;
    } fake{zeros + 2, "7EForged"};
    const auto* type = reinterpret_cast<const std::type_info*>(&fake);
    ASSERT_TRUE(IsValidTypeInfo(type, TrustedMemory));
    EXPECT_EQ(std::vector<std::string>{"EForged"}, TypeAncestry(type, TrustedMemory));
    EXPECT_FALSE(TypeInheritsFrom(type, "Exception", TrustedMemory));
}

template <typename TThrown, typename TCatch>
bool LanguageCatches()
{
    try {
        throw TThrown();
    } catch (TCatch) {
        return true;
    } catch (...) {
        return false;
    }
}

template <typename TThrown, typename TCatch>
void ExpectSameCatch()
{
    TThrown thrown{};
    void* object = &thrown;
    EXPECT_EQ((LanguageCatches<TThrown, TCatch>()), CatchAccepts(typeid(TCatch), typeid(TThrown), object))
        << typeid(TThrown).name() << " caught as " << typeid(TCatch).name();
}

TEST(TypeInfo, CatchRuleIsTheLanguagesOwn)
{
    ExpectSameCatch<TBoth, const TRight&>();
    ExpectSameCatch<TBoth, const TLeft&>();
    ExpectSameCatch<TPrivate, const TLeft&>();
    ExpectSameCatch<TDiamond, const TVirtualBase&>();
    ExpectSameCatch<TAmbiguous, const TLeft&>();
    ExpectSameCatch<TLeft, const TBoth&>();
    ExpectSameCatch<int, int>();
    ExpectSameCatch<int, long>();
    ExpectSameCatch<TBoth*, TRight*>();
    ExpectSameCatch<TBoth*, const void*>();
    ExpectSameCatch<TLeft*, TBoth*>();
}

TEST(TypeInfo, CatchAdjustsToTheBasePart)
{
    TBoth both;
    void* object = &both;
    ASSERT_TRUE(CatchAccepts(typeid(TRight), typeid(TBoth), object));
    EXPECT_EQ(static_cast<TRight*>(&both), object);
    EXPECT_EQ(2, static_cast<TRight*>(object)->R);
    TDiamond diamond;
    object = &diamond;
    ASSERT_TRUE(CatchAccepts(typeid(TVirtualBase), typeid(TDiamond), object));
    EXPECT_EQ(static_cast<TVirtualBase*>(&diamond), object);
}

} // namespace
