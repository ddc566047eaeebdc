#!/usr/bin/env bash
# The tools print the engine's texts (GBK inside the engine) as UTF-8: qovplay
# on a missing recording and qovdemo on a file that is no recording must
# print their status texts readable in a UTF-8 terminal.
# Usage: tool_output.sh <bin folder>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bin="$(cd "$1" && pwd)"
scratch="$(cd "$(mktemp -d "$bin/../qov_tool_output.XXXXXX")" && pwd)"
trap 'rm -rf "$scratch"' EXIT

winpath() { printf 'Z:%s' "$(echo "$1" | tr / '\\')"; }
failed=0
# expect NAME WANTED_EXIT WANTED_TEXT OUTPUT_FILE EXIT
expect() {
  local name="$1" want_rc="$2" want_text="$3" out="$4" rc="$5"
  if [ "$rc" != "$want_rc" ]; then
    echo "FAIL $name: exit code $rc (wanted $want_rc)"; failed=1
  fi
  if ! iconv -f UTF-8 -t UTF-8 <"$out" >/dev/null 2>&1; then
    echo "FAIL $name: the output is not UTF-8"; failed=1
  elif ! grep -qF -- "$want_text" "$out"; then
    echo "FAIL $name: no \"$want_text\" in the output"; failed=1
  fi
  sed "s/^/  $name: /" "$out" | iconv -f UTF-8 -t UTF-8 -c
}

rc=0
"$here/cmake/wine-run.sh" "$bin/qovplay.exe" "$(winpath "$scratch/missing.qov")" "$(winpath "$scratch/final.bmp")" \
  >"$scratch/play.out" 2>&1 || rc=$?
expect qovplay 2 "status 6 (发生未知错误，请看错误日志文件)" "$scratch/play.out" "$rc"

# Long enough for a header, but not a recording.
printf 'This text file was renamed to a recording.\r\n' >"$scratch/text.qov"
rc=0
"$here/cmake/wine-run.sh" "$bin/qovdemo.exe" "$(winpath "$scratch/text.qov")" "$(winpath "$scratch/keys")" \
  >"$scratch/demo.out" 2>&1 || rc=$?
expect qovdemo 2 "status 1 (屏幕流文件被破坏)" "$scratch/demo.out" "$rc"

[ "$failed" = 0 ] && echo "tool output passed"
exit "$failed"
