#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's own prefix: wine32 for
# an i686 program, wine64 for an x86_64 one (read from the program's header).
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest starts every test through it.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/cmake/wine-arch.sh"
program="${1:-}"
arch="${QOV_ARCH:-}"
if [ -f "$program" ]; then
  arch="$(qov_pe_arch "$program")"
elif [ -f "$program.exe" ]; then
  arch="$(qov_pe_arch "$program.exe")"
fi
qov_wine_env "${arch:-i686}"
# The program's error output goes through a file of its own, copied to ours as
# it grows until the program ends. Wine hands a program's error output on to
# the processes that the program starts in the background and that outlive it:
# the wineserver with the prefix's services when none runs, and the desktop's
# explorer.exe, which the first program with a window starts and which stays
# until a second after the last such program of the prefix has ended. A pipe
# of ours kept open there holds whoever reads it to its end: ctest would wait
# for a test whose program has ended until the test's time-out.
errors="$(mktemp "${TMPDIR:-/tmp}/qov-wine-run.XXXXXX")" || exec "$QOV_WINE" "$@"
output="$(mktemp "${TMPDIR:-/tmp}/qov-wine-out.XXXXXX")" || exec "$QOV_WINE" "$@"
# A program started with & reads /dev/null unless given our input by hand.
if ! { exec 3<&0; } 2>/dev/null; then exec 3</dev/null; fi

run_once() {
  : >"$errors"
  : >"$output"
  "$QOV_WINE" "$@" <&3 3<&- 2>"$errors" >"$output" &
  wine_pid=$!
  trap 'kill "$wine_pid" 2>/dev/null' HUP INT TERM
  tail -n +1 -s 0.1 --pid="$wine_pid" -f "$errors" >&2 &
  local errors_copier=$!
  tail -n +1 -s 0.1 --pid="$wine_pid" -f "$output" &
  local output_copier=$!
  wait "$wine_pid"
  status=$?
  while [ "$status" -gt 128 ] && kill -0 "$wine_pid" 2>/dev/null; do  # a signal of ours came first
    wait "$wine_pid"
    status=$?
  done
  wait "$errors_copier" "$output_copier"
}

started=$SECONDS
run_once "$@"
# A test program that failed at once without writing a byte never ran its
# own code (every test program reports what it runs): Wine could not start it
# on a loaded machine. It is started once more, and the log says so. Other
# programs (children that are meant to fail silently) are never run twice.
case "$(basename "$1")" in *test*) retry=1 ;; *) retry=0 ;; esac
if [ "$retry" = 1 ] && [ "$status" -ne 0 ] && [ $((SECONDS - started)) -le 2 ] && [ ! -s "$output" ] && [ ! -s "$errors" ]; then
  echo "wine-run: $1 ended with status $status at once and without any output; starting it once more" >&2
  run_once "$@"
fi
exec 3<&-
rm -f "$errors" "$output"
exit "$status"
