#!/usr/bin/env bash
# regsvr32 round trip in a scratch Wine prefix, so that the tests sharing the
# test prefix keep the registered class: QovPlayer.ocx registered from a
# folder whose path holds a blank (the registry must hold the short path and
# the class must load from it), then unregistered (no key may be left).
# Usage: register_roundtrip.sh <bin folder> <registration test program>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bin="$1"
test_program="$2"
source "$here/cmake/wine-arch.sh"
# The prefix is of the library's own architecture (a win64 one for x86_64).
arch="$(qov_pe_arch "$bin/QovPlayer.ocx")"
export QOV_ARCH="$arch"
source_prefix="${QOV_WINEPREFIX:-$(qov_default_prefix "$arch")}"
# Beside the build.
scratch="$(cd "$(mktemp -d "$bin/../qov_register.XXXXXX")" && pwd)"
cleanup() {
  (QOV_WINEPREFIX="$scratch/prefix" qov_wine_env "$arch" && "$WINESERVER" -k >/dev/null 2>&1) || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# A copy of the test prefix, in which the other tests go on meanwhile.
qov_copy_prefix "$source_prefix" "$scratch/prefix"

folder="$scratch/Qov Player Folder"
mkdir -p "$folder"
cp "$bin/QovPlayer.ocx" "$folder/"
ocx="Z:$(echo "$folder/QovPlayer.ocx" | tr / '\\')"

export QOV_WINEPREFIX="$scratch/prefix"
run() { "$here/cmake/wine-run.sh" "$@"; }

run regsvr32 /s "$ocx"
QOV_REGISTERED_PATH="$ocx" run "$test_program" --gtest_filter='Registration.*'
run regsvr32 /s /u "$ocx"
QOV_EXPECT_UNREGISTERED=1 run "$test_program" --gtest_filter='Registration.*'
echo "register round trip passed"
