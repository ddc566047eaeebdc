// bench_exceptions_core: the memory probe of the exception-reporting library
// beside the bare system query it is built on, and the report text turned
// into RTF for the report dialog.
//  - IsReadableRange on every 400-byte block of this thread's stack (the stack
//    scan probes block by block) against one VirtualQuery per block;
//  - IsReadableRange over 100 KiB crossing three regions against one
//    VirtualQuery;
//  - ReportToRtf and CpuReportToRtf of a 1 MiB text.
// Prints the figures; Windows only (run under Wine).
#include <windows.h>

#include <cstdio>
#include <string>

#include "BenchArch.h"
#include "ECore.h"

using namespace qov::exceptions;

namespace {

double NowMs()
{
    return qov::bench::CounterMs();
}

volatile size_t Sink;

// Nanoseconds per call of probe over [begin, end) in blocks, repeated.
template <typename TProbe>
double NsPerBlock(const char* begin, const char* end, size_t block, int rounds, TProbe probe)
{
    size_t calls = 0, good = 0;
    double start = NowMs();
    for (int r = 0; r < rounds; ++r)
        for (const char* p = begin; p + block <= end; p += block, ++calls)
            good += probe(p, block) ? 1 : 0;
    double ms = NowMs() - start;
    Sink = good;
    return calls ? ms * 1e6 / static_cast<double>(calls) : 0;
}

bool DirectQuery(const void* p, size_t)
{
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(p, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
}

std::string SampleReport(size_t size)
{
    std::string report = "Exception EAccessViolation in module prog.exe at 0040A1B2.\r\n";
    for (int n = 0; report.size() < size; ++n) {
        report += "General:\r\n--------------------------------------------------\r\n";
        report += "Application: C:\\Program Files\\App\\prog.exe {build " + std::to_string(n) + "}\r\n";
        report += "Start Date: Wed, 9 Dec 2026 04:05:06 +0800\r\n";
        report += "  0040A1B2 prog.exe Unit1 TForm1.Button1Click (line 42)\r\n\r\n";
    }
    return report;
}

std::string SampleCpu(size_t size)
{
    std::string cpu = "Registers:\r\n----------\r\n";
    for (const char* r : {"EAX: 0012FF8C   EDI: 0012FF90", "EBX: 00000001   ESI: 00000002",
                          "ECX: 00000003   ESP: 00000004", "EDX: 00000005   EIP: 00000006"})
        cpu += std::string(r) + "\r\n";
    cpu += "\r\nStack:               Memory Dump:\r\n------------------   ---------------------\r\n";
    while (cpu.size() < size)
        cpu += "0012FF8C: 00401000   00401000: 55 8B EC 83 C4 F0 53 56 57 00 01 02 03 04 05 06  "
               "U.....SVW.......\r\n";
    return cpu;
}

void ScanStackFrom(const char* frame)
{
    using TStackLimits = void(WINAPI*)(PULONG_PTR, PULONG_PTR);
    TStackLimits stackLimits = reinterpret_cast<TStackLimits>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentThreadStackLimits")));
    ULONG_PTR low = 0, high = 0;
    if (!stackLimits) {
        std::printf("GetCurrentThreadStackLimits is missing\n");
        return;
    }
    stackLimits(&low, &high);
    const char* stackEnd = reinterpret_cast<const char*>(high);
    size_t blocks = static_cast<size_t>(stackEnd - frame) / 400;
    int rounds = static_cast<int>(2000000 / (blocks + 1)) + 1;
    double probe = NsPerBlock(frame, stackEnd, 400, rounds, IsReadableRange);
    double direct = NsPerBlock(frame, stackEnd, 400, rounds, DirectQuery);
    std::printf("stack blocks of 400 bytes (%zu blocks): IsReadableRange %.0f ns/block, "
                "VirtualQuery %.0f ns/block, ratio %.2f\n",
                blocks, probe, direct, probe / direct);
}

void UseStack(int depth)
{
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    if (depth > 0)
        UseStack(depth - 1);
    else
        ScanStackFrom(const_cast<const char*>(pad));
    Sink = static_cast<size_t>(pad[0]);
}

DWORD WINAPI StackThread(void*)
{
    UseStack(256);
    return 0;
}

} // namespace

int main()
{
    // A thread that has used 256 KiB of its stack scans it from its frame to
    // the stack base, as the call-stack capture does.
    HANDLE thread = CreateThread(nullptr, 1 << 20, StackThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    // 100 KiB over three regions of different protections.
    char* area = static_cast<char*>(VirtualAlloc(nullptr, 128 * 1024, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(area, 32 * 1024, MEM_COMMIT, PAGE_READONLY);
    VirtualAlloc(area + 32 * 1024, 36 * 1024, MEM_COMMIT, PAGE_READWRITE);
    VirtualAlloc(area + 68 * 1024, 40 * 1024, MEM_COMMIT, PAGE_EXECUTE_READ);
    const char* from = area + 4 * 1024;
    const size_t span = 100 * 1024;
    double wide = NsPerBlock(from, from + span, span, 200000, IsReadableRange);
    double wideDirect = NsPerBlock(from, from + span, span, 200000, DirectQuery);
    std::printf("100 KiB over 3 regions: IsReadableRange %.0f ns (%s), one VirtualQuery %.0f ns, ratio %.2f\n",
                wide, IsReadableRange(from, span) ? "readable" : "NOT readable", wideDirect, wide / wideDirect);
    VirtualFree(area, 0, MEM_RELEASE);

    TRtfFont font{"Courier New", 9, 147};
    std::string report = SampleReport(1 << 20);
    double start = NowMs();
    std::string rtf = ReportToRtf(report, 0, font);
    double generalMs = NowMs() - start;
    std::string cpu = SampleCpu(1 << 20);
    start = NowMs();
    std::string cpuRtf = CpuReportToRtf(cpu, 0, font);
    double cpuMs = NowMs() - start;
    std::printf("report to RTF, 1 MiB: general form %.1f ms (%zu bytes out), CPU form %.1f ms (%zu bytes out)\n",
                generalMs, rtf.size(), cpuMs, cpuRtf.size());
    return 0;
}
