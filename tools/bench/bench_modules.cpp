// bench_modules: address lookup of the exception-reporting library per call
// stack entry, on QovPlayer.ocx's own line data (a copy of the control
// library that carries its block appended, QovPlayer_zpdata.ocx) beside the
// export-only lookup on the library without a block, at the same code
// offsets, in one run. Also the first lookup, which builds the module's
// record (exports, block, line data).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "EModules.h"

using namespace qov;
using namespace qov::exceptions;

namespace {

constexpr int StackEntries = 50;
constexpr int Rounds = 40;

// Milliseconds to resolve each stack of offsets in module, and the kinds seen.
double ResolveStacks(TZephraModulesList& modules, HMODULE module, const std::vector<uint32_t>& offsets,
                     int kinds[5])
{
    const uintptr_t base = reinterpret_cast<uintptr_t>(module) + LineDataCodeBase;
    const double start = bench::NowMs();
    for (int round = 0; round < Rounds; ++round) {
        for (uint32_t offset : offsets) {
            TZephraStackEntry entry;
            AddressLookup(modules, base + offset, 0, 0, entry);
            if (round == 0)
                ++kinds[entry.Kind];
        }
    }
    return (bench::NowMs() - start) / Rounds;
}

} // namespace

int main()
{
    const std::string plainFile = bench::ProgramDir() + "QovPlayer.ocx";
    const std::string blockFile = bench::ProgramDir() + "QovPlayer_zpdata.ocx";
    const HMODULE plain = LoadLibraryA(plainFile.c_str());
    const HMODULE withBlock = LoadLibraryA(blockFile.c_str());
    if (!plain || !withBlock) {
        std::printf("bench_modules: cannot load %s or %s\n", plainFile.c_str(), blockFile.c_str());
        return 1;
    }
    TZephraModulesList modules;
    modules.Refresh();

    double start = bench::NowMs();
    TZephraModuleRef record = modules.ByHandle(withBlock);
    const double firstBlock = bench::NowMs() - start;
    start = bench::NowMs();
    TZephraModuleRef plainRecord = modules.ByHandle(plain);
    const double firstPlain = bench::NowMs() - start;
    if (!record || !record->LineData) {
        std::printf("bench_modules: %s carries no line data\n", blockFile.c_str());
        return 1;
    }

    // Stacks of code offsets the line data covers.
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    TLineDataFormat format;
    format.Version = record->OptionsVersion;
    WalkLineData(reinterpret_cast<const uint8_t*>(record->LineData->data()), record->LineData->size(), format,
                 [&](uint32_t begin, uint32_t end, const TLineInfo&) { ranges.emplace_back(begin, end); });
    std::mt19937 rng(2026);
    std::vector<uint32_t> offsets;
    for (int i = 0; i < StackEntries; ++i) {
        const auto& r = ranges[rng() % ranges.size()];
        offsets.push_back(r.first + rng() % (r.second - r.first));
    }

    // A stack inside the exported functions of the library without a block.
    std::vector<uint32_t> exportOffsets;
    const uintptr_t plainBase = reinterpret_cast<uintptr_t>(plain) + LineDataCodeBase;
    for (int i = 0; i < StackEntries && !plainRecord->Functions.empty(); ++i) {
        const TZephraFunction& f = plainRecord->Functions[i % plainRecord->Functions.size()];
        exportOffsets.push_back(static_cast<uint32_t>(f.Address - plainBase + rng() % std::max<uint32_t>(1, f.Size)));
    }

    int kindsBlock[5] = {}, kindsPlain[5] = {}, kindsExports[5] = {};
    const double lineMs = ResolveStacks(modules, withBlock, offsets, kindsBlock);
    const double exportMs = ResolveStacks(modules, plain, offsets, kindsPlain);
    const double namedMs = ResolveStacks(modules, plain, exportOffsets, kindsExports);

    std::printf("bench_modules (%s): %s, line data %zu bytes (%zu line ranges), %zu exports\n",
                sizeof(void*) == 4 ? "i686" : "x86_64", blockFile.c_str(), record->LineData->size(), ranges.size(),
                record->Functions.size());
    std::printf("  first lookup (builds the record): with block %.2f ms, without %.2f ms\n", firstBlock, firstPlain);
    std::printf("  %d-entry call stack from line data: %.3f ms (%.1f us per entry; %d of %d by line data)\n",
                StackEntries, lineMs, lineMs * 1000 / StackEntries, kindsBlock[seLineData], StackEntries);
    std::printf("  the same offsets without a block (exports only): %.3f ms (%.1f us per entry; kinds 1/2/3: %d/%d/%d)\n",
                exportMs, exportMs * 1000 / StackEntries, kindsPlain[1], kindsPlain[2], kindsPlain[3]);
    std::printf("  %d-entry call stack inside the exports: %.3f ms (%.1f us per entry; kinds 1/2/3: %d/%d/%d)\n",
                StackEntries, namedMs, namedMs * 1000 / StackEntries, kindsExports[1], kindsExports[2],
                kindsExports[3]);
    std::printf("  line data / exports: %.0f times the time; goal: a %d-entry stack under 20 ms: %s\n",
                lineMs / namedMs, StackEntries, lineMs < 20 ? "met" : "NOT met");
    return 0;
}
