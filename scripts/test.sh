#!/usr/bin/env bash
# Sets up the machine (once), builds everything and runs every test:
#  - the Windows builds (MinGW-w64): i686, the product, always; x86_64 too.
#    The tests of one of them run under Wine, through ctest: i686 under wine32
#    where this machine runs 32-bit code, else x86_64 under wine64
#    (scripts/arch.sh; QOV_ARCH=i686|x86_64 forces one);
#  - the native build of the pure logic with AddressSanitizer and
#    UndefinedBehaviorSanitizer;
#  - the fuzz targets, each for a bounded time.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
jobs="$(nproc)"
fuzz_seconds="${QOV_FUZZ_SECONDS:-60}"

bash scripts/setup.sh
source scripts/arch.sh
qov_pick_arch
echo "== Windows tests run the $QOV_ARCH build: $QOV_ARCH_WHY"

for arch in i686 x86_64; do
  echo "== Windows build ($arch)"
  qov_build_windows "$arch"
done

echo "== Native build with sanitizers"
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOV_SANITIZE=ON >/dev/null
cmake --build build/host -j "$jobs"

echo "== Fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQOV_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$jobs"

bash scripts/wine-prefix.sh "$QOV_ARCH"
source scripts/services.sh
trap qov_services_stop EXIT
qov_services_start

status=0
echo "== Native tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
(cd build/host && ctest -j "$jobs" --output-on-failure) | tee build/host-ctest.log || status=1

echo "== Windows tests ($QOV_ARCH) under Wine"
# A Wine process now and then never finishes exiting although its program
# ended; such a test times out and is run again (a real hang times out every
# time and fails).
(cd "build/$QOV_ARCH" && ctest -j "$jobs" --output-on-failure --repeat after-timeout:3) | tee build/win-ctest.log ||
  status=1

echo "== Fuzzing, $fuzz_seconds s per target, $jobs at a time"
# fuzz_one TARGET: one bounded run over its corpus and seeds; the exit code
# and the log tell the result.
fuzz_one() {
  local f="$1" name corpus seeds
  name="$(basename "$f")"
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/seeds/$name"
  [ -d "$seeds" ] || seeds=""
  "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" $seeds >"build/fuzz/$name.log" 2>&1
  echo $? >"build/fuzz/$name.rc"
}
targets=()
for f in build/fuzz/bin/fuzz_*; do [ -x "$f" ] && targets+=("$f"); done
# Only the fuzzers' own processes are waited for (the services run in the
# background of this shell too), the oldest first when all slots are taken.
pids=()
for f in "${targets[@]}"; do
  if [ "${#pids[@]}" -ge "$jobs" ]; then wait "${pids[0]}" || true; pids=("${pids[@]:1}"); fi
  fuzz_one "$f" &
  pids+=("$!")
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
for f in "${targets[@]}"; do
  name="$(basename "$f")"
  if [ "$(cat "build/fuzz/$name.rc" 2>/dev/null)" = 0 ]; then
    echo "$name: clean ($(grep -m1 'stat::number_of_executed_units' "build/fuzz/$name.log" | awk '{print $2}') runs)"
  else
    echo "$name: FAILED"; tail -40 "build/fuzz/$name.log"; status=1
  fi
done

# One closing line over both test runs (test programs; the fuzz targets above).
summary() { sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$1" | tail -n1; }
passed=0 failed=0
for log in build/host-ctest.log build/win-ctest.log; do
  read -r f n <<<"$(summary "$log")" || true
  if [ -z "${n:-}" ]; then status=1; continue; fi
  passed=$((passed + n - f)); failed=$((failed + f))
done
echo "Windows tests ran on $QOV_ARCH ($QOV_ARCH_WHY); the native tests under the sanitizers."
echo "tests: $passed passed, $failed failed"
exit "$status"
