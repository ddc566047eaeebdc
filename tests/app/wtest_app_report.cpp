// The desktop program's application handler in a program that carries the
// exception-reporting library with its debug data (no dialog): a failure
// caught in a window handler goes to the library first, and only what the
// library leaves reaches the program's own handler.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "EEvents.h"
#include "UnitMain.h"

using namespace qov::exceptions;

TEST(ApplicationReport, CaughtFailureGoesToTheLibraryFirst)
{
    std::vector<std::string> shown;
    qov::app::SetApplicationExceptionHandler([&](const std::string& message) { shown.push_back(message); });
    std::vector<std::string> reported;
    bool leaveToProgram = false;
    TZephraHandlerRef handlers = RegisterEventHandlers({.OnExceptionNotify = [&](const TZephraExceptionRecord& r,
                                                                                bool& handle) {
        reported.push_back(r.ExceptionObject ? r.ExceptionObject->Message() : "-");
        if (leaveToProgram)
            handle = false;
    }});

    try {
        throw std::runtime_error("window failure");
    } catch (const std::exception& e) {
        qov::app::ApplicationHandleException(e);
    }
    EXPECT_EQ(reported, std::vector<std::string>{"window failure"});
    EXPECT_TRUE(shown.empty());

    // A handler that clears the handle flag leaves it to the program.
    leaveToProgram = true;
    try {
        throw std::runtime_error("left to the program");
    } catch (const std::exception& e) {
        qov::app::ApplicationHandleException(e);
    }
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_EQ(shown, std::vector<std::string>{"left to the program"});

    // A message without an exception being handled goes to the program only.
    qov::app::ApplicationHandleException(std::string("plain message"));
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_EQ(shown, (std::vector<std::string>{"left to the program", "plain message"}));

    UnregisterEventHandlers(handlers);
    qov::app::SetApplicationExceptionHandler(nullptr);
}
