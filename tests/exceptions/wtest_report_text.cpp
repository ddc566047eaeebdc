// The report text of real exceptions, in a program that carries the library
// with its own debug data (report_text.options: no dialog, the modules and
// processor sections on): an access violation's report holds the fault's
// registers and the memory at the fault, its call stack and the program's
// module; a console child prints the lead line and its report, with the
// program's custom data as a section of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "EConsts.h"
#include "EEvents.h"
#include "EManager.h"
#include "EReportText.h"
#include "EStack.h"
#include "WorkerThread.h"

using namespace qov::exceptions;

namespace {

#define NOINLINE __attribute__((noinline, noipa))

volatile int Sink;

// Writes 0x5A5A5A5A to address 8 from the register that names it.
#ifdef _WIN64
#define QOV_WRITE_TO_8() \
    asm volatile("movq $8, %%rcx\n\tmovq $0x5A5A5A5A, %%rdx\n\tmovl %%edx, (%%rcx)" ::: "rcx", "rdx", "memory")
#else
#define QOV_WRITE_TO_8() \
    asm volatile("movl $8, %%ecx\n\tmovl $0x5A5A5A5A, %%edx\n\tmovl %%edx, (%%ecx)" ::: "ecx", "edx", "memory")
#endif

NOINLINE void Fault()
{
    QOV_WRITE_TO_8();
    Sink = 3;
}

SRWLOCK Lock = SRWLOCK_INIT;
std::vector<std::string> Reports;
std::vector<const void*> Addresses;

class TReportEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord& record,
                                                                           bool&) {
            AcquireSRWLockExclusive(&Lock);
            Reports.push_back(record.ReportText ? record.ReportText : "");
            Addresses.push_back(record.ExceptionAddress);
            ReleaseSRWLockExclusive(&Lock);
        }});
    }
};
[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new TReportEnvironment);

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
        lines.push_back(text.substr(start, p - start));
    lines.push_back(text.substr(start));
    return lines;
}

size_t Find(const std::vector<std::string>& lines, const std::string& line)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == line)
            return i;
    return lines.size();
}

std::string Hex(uint64_t value, int digits = AddressDigits)
{
    return HexText(value, digits);
}

std::string WithoutCr(std::string text)
{
    std::string out;
    for (char c : text)
        if (c != '\r')
            out += c;
    return out;
}

} // namespace

TEST(ReportText, AccessViolationShowsTheFaultsRegistersDumpAndStack)
{
    DWORD worker = 0;
    EXPECT_EQ(qovtest::RunWorkerThread([] { Fault(); }, &worker), 1u);
    AcquireSRWLockExclusive(&Lock);
    const std::vector<std::string> reports = Reports;
    const std::vector<const void*> addresses = Addresses;
    Reports.clear();
    Addresses.clear();
    ReleaseSRWLockExclusive(&Lock);
    ASSERT_EQ(reports.size(), 1u);
    const std::string& report = reports[0];
    SCOPED_TRACE(report);
    const auto address = reinterpret_cast<uintptr_t>(addresses[0]);
    const auto lines = Lines(report);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ZephraLog 5.1.10");
    EXPECT_EQ(lines[1], "");

    // The message rebuilt from the fault's record, with its full stop.
    const size_t message = report.find("  2.5 Message: ");
    ASSERT_NE(message, std::string::npos);
    const std::string value = report.substr(message + 15, report.find("\r\n", message) - message - 15);
    EXPECT_EQ(value, "Access violation at address " + Hex(address) + " in module 'exceptions_wtest_report_text.exe'. " +
                         "Write of address " + Hex(8) + ".");

    // The registers of the fault's context.
    const size_t registers = Find(lines, "Registers:");
    ASSERT_LT(registers, lines.size());
#ifdef _WIN64
    const char *cx = "RCX: ", *dx = "RDX: ", *ip = "RIP: ";
#else
    const char *cx = "ECX: ", *dx = "EDX: ", *ip = "EIP: ";
#endif
    EXPECT_NE(report.find(cx + Hex(8)), std::string::npos);
    EXPECT_NE(report.find(dx + Hex(0x5A5A5A5A)), std::string::npos);
    EXPECT_NE(report.find(ip + Hex(address)), std::string::npos);

    // The dump: 16 lines of stack words and of the code at the fault.
    const size_t dashes = Find(lines, std::string(2 * AddressDigits + 2, '-') + "   " +
                                          std::string(AddressDigits + 67, '-'));
    ASSERT_LT(dashes + 16, lines.size());
    const auto* code = reinterpret_cast<const uint8_t*>(address);
    uint64_t stack = 0;
    for (size_t k = 0; k < 16; ++k) {
        const std::string& line = lines[dashes + 1 + k];
        ASSERT_EQ(line.size(), 2u * AddressDigits + 2 + 3 + AddressDigits + 67) << line;
        const uint64_t position = std::stoull(line.substr(0, AddressDigits), nullptr, 16);
        if (k == 0)
            stack = position;
        EXPECT_EQ(position, stack + k * sizeof(void*));
        std::string memory = Hex(address + 16 * k) + ": ";
        for (size_t b = 0; b < 16; ++b)
            memory += Hex(code[16 * k + b], 2) + " ";
        EXPECT_EQ(line.substr(2 * AddressDigits + 5, memory.size()), memory);
    }

    // The call stack: the worker's group first, the fault's procedure in it.
    const std::string caption = " Exception Thread: ID=" + std::to_string(worker) + ";";
    EXPECT_NE(report.find("|" + caption), std::string::npos);
    EXPECT_NE(report.find("|Fault "), std::string::npos);
    EXPECT_NE(report.find("|" + Hex(address) + "|"), std::string::npos);
    // The modules: this program among them.
    EXPECT_LT(report.find("Modules Information:"), report.find("Registers:"));
    EXPECT_NE(report.find("|exceptions_wtest_report_text.exe"), std::string::npos);
}

TEST(ReportText, ConsoleProgramPrintsTheLeadAndTheReportWithItsCustomData)
{
    std::string output;
    ASSERT_EQ(qovtest::RunChildProgram("report_text_child.exe", "", output), 0u) << output;
    SCOPED_TRACE(output);
    const size_t workerAt = output.find("worker ");
    ASSERT_EQ(workerAt, 0u);
    const std::string worker = output.substr(7, output.find('\n') - 7);
    const std::string lead = WithoutCr(DefaultTexts[3]) + "\n\n";
    const size_t leadAt = output.find(lead + "ZephraLog 5.1.10\n\nApplication:\n");
    ASSERT_NE(leadAt, std::string::npos);
    const std::string report = output.substr(leadAt + lead.size());
    const size_t custom = report.find("\n\nOther Information:\n" + std::string(21, '-') +
                                      "\n  7.1 : child data:_1\n        second\n\nCall Stack Information:\n");
    EXPECT_NE(custom, std::string::npos);
    EXPECT_LT(report.find("\n\nException:\n"), custom);
    EXPECT_NE(report.find("| Exception Thread: ID=" + worker + ";"), std::string::npos);
    EXPECT_NE(report.find("|RaiseInWorker "), std::string::npos);
    EXPECT_NE(report.find("\nRegisters:\n"), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - 5), "done\n");
}
