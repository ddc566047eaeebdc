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
fuzz_seconds="${QOV_FUZZ_SECONDS:-30}"

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
# A test that times out is run once more, a safety net for Wine's background
# processes holding a test's output (cmake/wine-run.sh keeps them off ctest's
# pipe); a real hang times out twice and fails. No test's time-out is above
# 300 s, so a hang costs at most 10 minutes, beside the other tests.
(cd "build/$QOV_ARCH" && ctest -j "$jobs" --output-on-failure --repeat after-timeout:2) | tee build/win-ctest.log ||
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

# The failure digest: for each test that failed (a test that timed out and
# then passed on its second run is not one), its name and its first failure
# lines; for each fuzz target that failed, its error lines. Printed last, just
# before the summary, so that the end of a cut log still says why.
failure_digest() {
  awk '
    function keep(text, kind) {
      if (kind == "case" && cases[name] < 10) { caselines[name] = caselines[name] "\n    " substr(text, 1, 220); cases[name]++ }
      if (kind == "detail" && details[name] < 8) { detaillines[name] = detaillines[name] "\n    " substr(text, 1, 220); details[name]++ }
    }
    /^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: / {
      name = $4; block = 0
      if ($0 !~ /\*\*\*/) { delete failed[name]; next }
      status = $0; sub(/^.*\*\*\*/, "", status); sub(/ +[0-9.]+ sec *$/, "", status)
      if (!(name in order)) { order[name] = ++count; names[count] = name }
      failed[name] = status; caselines[name] = detaillines[name] = ""; cases[name] = details[name] = 0
      block = 1; after = 0
      next
    }
    /^ *Start +[0-9]+: |^The following tests FAILED:|^Errors while running CTest/ { block = 0; next }
    block {
      if (after > 0) { keep($0, "detail"); after--; next }
      if ($0 ~ /^\[  FAILED  \] [^ ]+ \(/) keep($0, "case")
      else if ($0 ~ /^\[ +(RUN|OK|SKIPPED|PASSED) +\]/) next
      else if ($0 ~ /: Failure$|[Uu]nhandled|page fault|^FAIL|[Ee]rror[: ]|[Tt]imed? ?out|[Aa]ssertion|terminate called|Segmentation fault|Aborted|core dumped|Killed/) {
        keep($0, "detail")
        if ($0 ~ /: Failure$/) after = 3
      }
    }
    END {
      for (i = 1; i <= count; i++) if (names[i] in failed)
        printf "%s%s (%s)%s%s\n", label, names[i], failed[names[i]], caselines[names[i]], detaillines[names[i]]
    }
  ' label="${1:-}" "${2:-/dev/null}"
}
digest="$(failure_digest "native " build/host-ctest.log 2>/dev/null || true)"
windows="$(failure_digest "" build/win-ctest.log 2>/dev/null || true)"
digest+="${digest:+${windows:+$'\n'}}$windows"
for f in "${targets[@]}"; do
  name="$(basename "$f")"
  if [ "$(cat "build/fuzz/$name.rc" 2>/dev/null)" != 0 ]; then
    digest+="${digest:+$'\n'}$name (fuzzing failed)"
    while IFS= read -r line; do
      digest+=$'\n'"    ${line:0:220}"
    done < <(grep -m4 -E 'ERROR|SUMMARY|Test unit written' "build/fuzz/$name.log")
  fi
done
if [ -n "$digest" ]; then
  echo "== Failure digest"
  printf '%s\n' "$digest"
fi

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
