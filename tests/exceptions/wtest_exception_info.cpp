// The exception descriptor: C++ exceptions at their raise and inside their
// catch, Windows exceptions as classes of the EExternal family, damaged type
// pointers, and copies that own their parts.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "EExceptionInfo.h"

using namespace qov::exceptions;

namespace qov {
class ETestAbort : public EAbort { using EAbort::EAbort; };
} // namespace qov

namespace {

EXCEPTION_RECORD AccessViolation(ULONG_PTR write, ULONG_PTR address, void* at)
{
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = at;
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = write;
    record.ExceptionInformation[1] = address;
    return record;
}

TEST(ExceptionInfo, LanguageExceptionInsideItsCatch)
{
    try {
        throw std::out_of_range("index 7");
    } catch (const std::exception& e) {
        TExceptionInfo info = TExceptionInfo::Current();
        EXPECT_EQ("std::out_of_range", info.ClassName());
        EXPECT_EQ("index 7", info.Message());
        EXPECT_EQ(static_cast<const void*>(&e), info.Object());
        EXPECT_TRUE(info.InheritsFrom(" STD::EXCEPTION"));
        EXPECT_TRUE(info.IsManageable());
        EXPECT_TRUE(info.IsLanguageException());
        EXPECT_FALSE(info.IsSystem());
    }
    try {
        throw 42;
    } catch (...) {
        TExceptionInfo info = TExceptionInfo::Current();
        EXPECT_EQ("int", info.ClassName());
        EXPECT_EQ("", info.Message());
        EXPECT_TRUE(info.IsManageable());
    }
    EXPECT_TRUE(TExceptionInfo::Current().Empty());
}

TEST(ExceptionInfo, OwnMessageBeforeWhat)
{
    qov::EConvertError error("bad number");
    TExceptionInfo info(&typeid(error), &error);
    EXPECT_EQ("EConvertError", info.ClassName());
    EXPECT_EQ("bad number", info.Message());
    std::vector<std::string> want{"EConvertError", "Exception", "std::exception"};
    EXPECT_EQ(want, info.Ancestry());
    const char* text = "thrown text";
    TExceptionInfo pointer(&typeid(text), &text);
    EXPECT_EQ("char const*", pointer.ClassName());
    EXPECT_EQ("", pointer.Message());
}

TEST(ExceptionInfo, AbortAndGarbageAreNotManageable)
{
    qov::ETestAbort quiet("");
    EXPECT_FALSE(TExceptionInfo(&typeid(quiet), &quiet).IsManageable());
    EXPECT_FALSE(TExceptionInfo(&typeid(qov::EAbort), nullptr).IsManageable());
    // A type pointer into freed memory, and one to bytes that are no type.
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, page);
    std::memset(page, 0x41, 4096);
    TExceptionInfo noType(static_cast<const std::type_info*>(page), nullptr);
    EXPECT_TRUE(noType.Empty());
    EXPECT_FALSE(noType.IsManageable());
    VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_FALSE(TExceptionInfo(static_cast<const std::type_info*>(page), nullptr).IsManageable());
    EXPECT_FALSE(TExceptionInfo().IsManageable());
}

TEST(ExceptionInfo, WindowsExceptionsGetExternalClasses)
{
    EXCEPTION_RECORD av = AccessViolation(1, 0x10, nullptr);
    TExceptionInfo info(av, nullptr);
    EXPECT_EQ("EAccessViolation", info.ClassName());
    EXPECT_TRUE(info.InheritsFrom("EExternal"));
    EXPECT_FALSE(info.IsLanguageException());
    EXPECT_TRUE(info.IsManageable());
#ifdef _WIN64
    EXPECT_EQ("Access violation at address 0000000000000000. Write of address 0000000000000010", info.Message());
#else
    EXPECT_EQ("Access violation at address 00000000. Write of address 00000010", info.Message());
#endif
    // Inside a module the message names it.
    TExceptionInfo inModule(AccessViolation(0, 0, reinterpret_cast<void*>(&GetTickCount)), nullptr);
    EXPECT_NE(std::string::npos, inModule.Message().find(" in module '")) << inModule.Message();
    EXPECT_NE(std::string::npos, inModule.Message().find("'. Read of address ")) << inModule.Message();

    struct {
        DWORD Code;
        const char* Class;
        const char* Base;
    } cases[] = {{EXCEPTION_INT_DIVIDE_BY_ZERO, "EDivByZero", "EIntError"},
                 {EXCEPTION_STACK_OVERFLOW, "EStackOverflow", "EExternal"},
                 {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EZeroDivide", "EMathError"},
                 {EXCEPTION_PRIV_INSTRUCTION, "EPrivilege", "EExternal"},
                 {0xE0000001, "EExternalException", "EExternal"}};
    for (const auto& c : cases) {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = c.Code;
        TExceptionInfo external(record, nullptr);
        EXPECT_EQ(c.Class, external.ClassName());
        EXPECT_TRUE(external.InheritsFrom(c.Base)) << c.Class;
    }
    EXCEPTION_RECORD other{};
    other.ExceptionCode = 0xE0000001;
    EXPECT_EQ("External exception E0000001", TExceptionInfo(other, nullptr).Message());
}

TEST(ExceptionInfo, RaisedExternalKeepsItsRecord)
{
    EXCEPTION_RECORD av = AccessViolation(0, 0x20, nullptr);
    try {
        RaiseExternal(av);
    } catch (const EAccessViolation& e) {
        EXPECT_EQ(0x20u, e.ExceptionRecord().ExceptionInformation[1]);
        TExceptionInfo info = TExceptionInfo::Current();
        ASSERT_TRUE(info.IsSystem());
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), info.SystemRecord()->ExceptionCode);
        EXPECT_FALSE(info.IsLanguageException());
    }
}

TEST(ExceptionInfo, CopiesOwnTheirRecords)
{
    EXCEPTION_RECORD chained = AccessViolation(0, 0x30, nullptr);
    EXCEPTION_RECORD av = AccessViolation(0, 0x40, nullptr);
    av.ExceptionRecord = &chained;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    TExceptionInfo* original = new TExceptionInfo(av, &context);
    ASSERT_NE(nullptr, original->SystemContext());
    EXPECT_EQ(nullptr, original->SystemRecord()->ExceptionRecord);
    TExceptionInfo copy(*original);
    EXPECT_NE(original->SystemRecord(), copy.SystemRecord());
    EXPECT_NE(original->SystemContext(), copy.SystemContext());
    delete original;
    EXPECT_EQ(0x40u, copy.SystemRecord()->ExceptionInformation[1]);
    EXPECT_EQ(static_cast<DWORD>(CONTEXT_FULL), copy.SystemContext()->ContextFlags);
    EXPECT_EQ("EAccessViolation", copy.ClassName());
    TExceptionInfo assigned;
    assigned = copy;
    EXPECT_EQ(copy.Message(), assigned.Message());
    EXPECT_NE(copy.SystemRecord(), assigned.SystemRecord());
}

} // namespace
