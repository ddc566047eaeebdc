// A failing automation member inside a program that carries the exception-
// reporting library (with its debug data, no dialog): the control hands the
// failure to the library once, where the program's handlers hear of it, and
// the member's result and error description stay as they were (the bare
// message).
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "ControlHost.h"
#include "EEvents.h"
#include "QovPlayerTLB.h"

using namespace qov::exceptions;
using qov::test::ErrorDescription;
using qov::test::TControlHost;
using qov::test::TVariant;

namespace {

HMODULE ModuleOf(const void* address)
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(address), &module);
    return module;
}

struct TReport {
    std::string Message;
    HMODULE Module;
};

} // namespace

TEST(MemberReport, FailingMemberIsReportedOnceAndKeepsItsResult)
{
    std::vector<TReport> reports;
    TZephraHandlerRef handlers = RegisterEventHandlers({.OnExceptionNotify = [&](const TZephraExceptionRecord& r,
                                                                                bool&) {
        reports.push_back({r.ExceptionObject ? r.ExceptionObject->Message() : "-", ModuleOf(r.ExceptionAddress)});
    }});
    TControlHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Create());
    IQovPlayer* player = host.Player();
    ASSERT_TRUE(player);
    const HMODULE control = GetModuleHandleA("QovPlayer.ocx");
    ASSERT_NE(control, nullptr);

    EXPECT_EQ(player->put_AxBorderStyle(static_cast<TxActiveFormBorderStyle>(9)), E_UNEXPECTED);
    EXPECT_EQ(ErrorDescription(), L"Range check error");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Message, "Range check error");
    EXPECT_EQ(reports[0].Module, control);

    std::wstring error;
    EXPECT_EQ(host.Ole().PutProperty(L"AxBorderStyle", TVariant::Int(7), &error), DISP_E_EXCEPTION);
    EXPECT_EQ(error, L"Range check error");
    EXPECT_EQ(reports.size(), 2u);

    // A member that succeeds reports nothing.
    EXPECT_EQ(player->put_AxBorderStyle(afbNone), S_OK);
    EXPECT_EQ(reports.size(), 2u);
    host.Destroy();
    UnregisterEventHandlers(handlers);
}
