#!/usr/bin/env bash
# Builds the Windows programs and plays a recording under Wine: writes the
# built-in sample recording with qovsample, plays it with qovplay through the
# engine (file source, play thread, back buffer with its cursor) to its end and
# writes the final picture as a .bmp file; then qovdemo decodes every frame
# payload through QovPlayer.ocx's decoder exports and writes the key frames.
#
#   bash scripts/run.sh                  # the built-in sample
#   bash scripts/run.sh some/file.qov    # any recording instead
#
# Outputs go to build/run/ (override with QOV_RUN_DIR). It prints its section
# lines, the programs' results and a summary; the set-up, the builds and the
# Wine prefix write to build/run.log, whose end is shown when one of them
# fails (QOV_VERBOSE=1 prints them instead). The X server and the wineserver
# it starts are stopped at its end; those that ran before it are left running.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
out="${QOV_RUN_DIR:-$here/build/run}"
mkdir -p build
log="$here/build/run.log"
: >"$log"

section() { echo "== $*"; echo "== $*" >>"$log"; }
# quietly CMD...: one step, its output in the log (on the terminal with
# QOV_VERBOSE=1); a failing step shows the log's end and ends the run.
quietly() {
  local rc=0
  if [ "${QOV_VERBOSE:-0}" = 1 ]; then
    "$@" || rc=$?
  else
    "$@" >>"$log" 2>&1 || rc=$?
  fi
  [ "$rc" = 0 ] && return 0
  echo "run: $* failed (exit $rc)" >&2
  if [ "${QOV_VERBOSE:-0}" != 1 ]; then
    echo "-- the end of $log:" >&2
    tail -n 40 "$log" >&2
  fi
  exit "$rc"
}

section "Set-up (packages, cross-built libraries)"
quietly bash scripts/setup.sh
source scripts/arch.sh
qov_pick_arch
section "Running the $QOV_ARCH build: $QOV_ARCH_WHY"

# The i686 build is the product and is built on every machine.
for arch in i686 "$QOV_ARCH"; do
  section "Windows build ($arch)"
  quietly qov_build_windows "$arch" qovsample qovplay qovdemo QovPlayer
  [ "$QOV_ARCH" != i686 ] || break
done

# The X server and the wineserver: stopped at the end when this run started them.
source cmake/wine-arch.sh
qov_wine_env "$QOV_ARCH"
x_before="$(qov_x_server_pid "$DISPLAY")"
wineserver_before="$(qov_wineserver_pid)"
stop_servers() {
  if [ -z "$wineserver_before" ] && [ -n "$(qov_wineserver_pid)" ]; then
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
  fi
  local x
  x="$(qov_x_server_pid "$DISPLAY")"
  if [ -z "$x_before" ] && [ -n "$x" ]; then
    kill "$x" 2>/dev/null || true
    for _ in $(seq 50); do [ -d "/proc/$x" ] || break; sleep 0.1; done
  fi
}
trap stop_servers EXIT
section "Wine prefix and X server ($DISPLAY)"
quietly bash scripts/wine-prefix.sh "$QOV_ARCH"
bin="build/$QOV_ARCH/bin"

# Wine sees the Unix file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | sed 's|/|\\|g')"; }
# tool NAME EXE ARGS...: runs a program under Wine with its output in
# $out/NAME.log, shown when it ends.
status=0
tool() {
  local name="$1" rc=0; shift
  bash "$here/cmake/wine-run.sh" "$@" >"$out/$name.log" 2>&1 || rc=$?
  cat "$out/$name.log"
  cat "$out/$name.log" >>"$log"
  [ "$rc" = 0 ] || status="$rc"
  return "$rc"
}

mkdir -p "$out"
if [ $# -ge 1 ]; then
  recording="$(realpath "$1")"
  keys="$out/$(basename "${recording%.*}")-keyframes"
else
  recording="$out/sample.qov"
  keys="$out/sample-keyframes"
  section "Writing the sample recording"
  tool qovsample $bin/qovsample.exe "$(winpath "$recording")" || exit "$status"
fi

final="$out/$(basename "${recording%.*}")-final.bmp"
section "Playing $recording"
tool qovplay $bin/qovplay.exe "$(winpath "$recording")" "$(winpath "$final")" || true

section "Decoding every frame of $recording"
rm -rf "$keys"
tool qovdemo $bin/qovdemo.exe "$(winpath "$recording")" "$(winpath "$keys")" || true

section "Outputs"
echo "recording:     $recording"
missing() { [ -e "$1" ] || echo " (not written)"; }
echo "final picture: $final$(missing "$final")"
echo "key frames:    $keys/$(missing "$keys")"
ls -1 "$keys" 2>/dev/null | sed 's/^/  /' || true
echo "program logs:  $out/qovplay.log, $out/qovdemo.log"
if [ -d "$bin/Log" ]; then
  echo "engine's daily log (GBK; read with iconv -f GBK): $here/$bin/Log/"
fi
echo "run log:       $log"
exit "$status"
