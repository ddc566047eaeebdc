// bench_capture: the call-stack scan of the exception-reporting library on a
// 100 KiB stack of this program's words (random values, pointers into the
// stack and into code, and return addresses behind real calls of this
// program), per 100 KiB scanned by module only and per entry named from the
// program's debug data; beside it, in the same run, the same scan with one
// readability query per word (no remembered regions).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "BenchSupport.h"
#include "ECallForms.h"
#include "ECore.h"
#include "EStack.h"

using namespace qov;
using namespace qov::exceptions;

namespace {

constexpr size_t StackBytes = 100 * 1024;
constexpr size_t ReturnAddresses = 200;
constexpr int Rounds = 50;

// Return addresses behind the relative calls of this program's code.
std::vector<uintptr_t> CallReturns(size_t wanted)
{
    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const uint8_t* code = base + nt->OptionalHeader.BaseOfCode;
    const size_t size = nt->OptionalHeader.SizeOfCode;
    std::vector<uintptr_t> found;
    for (size_t i = 0; i + 5 <= size; ++i) {
        if (code[i] != 0xE8)
            continue;
        int32_t displacement;
        std::memcpy(&displacement, code + i + 1, 4);
        const int64_t target = static_cast<int64_t>(i) + 5 + displacement;
        if (target >= 0 && target < static_cast<int64_t>(size))
            found.push_back(reinterpret_cast<uintptr_t>(code + i + 5));
    }
    std::vector<uintptr_t> picked;
    for (size_t i = 0; i < wanted && !found.empty(); ++i)
        picked.push_back(found[(i * 7919) % found.size()]);
    return picked;
}

// The scan with one readability query per word, as a literal reading of the
// algorithm does it; entries by module only. Returns the hits.
size_t NaiveScan(uintptr_t position, uintptr_t top)
{
    size_t hits = 0;
    const size_t window = CallFormWindow(sizeof(void*) == 8 ? TCodeArch::x64 : TCodeArch::x86);
    for (uintptr_t at = position; at + sizeof(uintptr_t) <= top; at += sizeof(uintptr_t)) {
        if (!IsReadableRange(reinterpret_cast<const void*>(at), sizeof(uintptr_t)))
            continue;
        uintptr_t word;
        std::memcpy(&word, reinterpret_cast<const void*>(at), sizeof word);
        if (word < window || !IsReadableRange(reinterpret_cast<const void*>(word - window), window))
            continue;
        TCallForm form;
        if (!MatchCallForm(reinterpret_cast<const uint8_t*>(word - window), window, word,
                           sizeof(void*) == 8 ? TCodeArch::x64 : TCodeArch::x86, form))
            continue;
        if (form.CheckSize &&
            !IsReadableRange(reinterpret_cast<const void*>(static_cast<uintptr_t>(form.Target)), form.CheckSize))
            continue;
        ++hits;
    }
    return hits;
}

} // namespace

int main()
{
    std::vector<uintptr_t> stack(StackBytes / sizeof(uintptr_t));
    const std::vector<uintptr_t> returns = CallReturns(ReturnAddresses);
    const auto codeBase = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) + 0x1000;
    std::mt19937 rng(2026);
    for (size_t i = 0; i < stack.size(); ++i) {
        switch (rng() % 4) {
        case 0: stack[i] = rng() % 1000; break;
        case 1: stack[i] = reinterpret_cast<uintptr_t>(&stack[rng() % stack.size()]); break;
        case 2: stack[i] = codeBase + rng() % 0x10000; break;  // into code, mostly behind no call
        default: stack[i] = (static_cast<uintptr_t>(rng()) << 16) ^ rng(); break;
        }
    }
    for (size_t i = 0; i < returns.size(); ++i)
        stack[(i * 2654435761u) % stack.size()] = returns[i];
    const auto position = reinterpret_cast<uintptr_t>(stack.data());
    const uintptr_t top = position + StackBytes;

    TZephraModulesList modules;
    modules.Refresh();
    TStackScanSettings plain;
    plain.UseDebugInfo = false;
    TStackScanSettings named;
    named.UseDebugInfo = true;

    size_t plainEntries = 0, namedEntries = 0, lineEntries = 0, naiveHits = 0;
    double plainMs = 1e9, namedMs = 1e9, naiveMs = 1e9;
    // Alternating rounds; the best of each counts.
    for (int round = 0; round < Rounds; ++round) {
        double start = bench::NowMs();
        TZephraStackList a;
        CaptureStack(a, modules, nullptr, position, top, plain);
        plainMs = std::min(plainMs, bench::NowMs() - start);
        plainEntries = a.Count();

        start = bench::NowMs();
        TZephraStackList b;
        CaptureStack(b, modules, nullptr, position, top, named);
        namedMs = std::min(namedMs, bench::NowMs() - start);
        namedEntries = b.Count();
        lineEntries = 0;
        for (size_t i = 0; i < b.Count(); ++i)
            lineEntries += b[i].Kind == seLineData;

        start = bench::NowMs();
        naiveHits = NaiveScan(position, top);
        naiveMs = std::min(naiveMs, bench::NowMs() - start);
    }
    std::printf("bench_capture (%s): a %zu KiB stack with %zu planted return addresses, best of %d rounds\n",
                sizeof(void*) == 4 ? "i686" : "x86_64", StackBytes / 1024, returns.size(), Rounds);
    std::printf("  scan by module only: %.1f us per 100 KiB (%zu entries)\n", plainMs * 1000, plainEntries);
    std::printf("  the same, one readability query per word: %.1f us per 100 KiB (%zu hits); "
                "remembered regions %.1f times as fast\n",
                naiveMs * 1000, naiveHits, naiveMs / plainMs);
    std::printf("  scan naming from debug data: %.1f us per 100 KiB (%zu entries, %zu by line data); "
                "%.2f us per entry resolved\n",
                namedMs * 1000, namedEntries, lineEntries,
                namedEntries ? (namedMs - plainMs) * 1000 / namedEntries : 0.0);
    return 0;
}
