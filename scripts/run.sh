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
# Outputs go to build/run/ (override with QOV_RUN_DIR).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
out="${QOV_RUN_DIR:-$here/build/run}"

bash scripts/setup.sh
source scripts/arch.sh
qov_pick_arch
echo "== Running the $QOV_ARCH build: $QOV_ARCH_WHY"

# The i686 build is the product and is built on every machine.
for arch in i686 "$QOV_ARCH"; do
  echo "== Windows build ($arch)"
  qov_build_windows "$arch" qovsample qovplay qovdemo QovPlayer
  [ "$QOV_ARCH" != i686 ] || break
done

bash scripts/wine-prefix.sh "$QOV_ARCH"
bin="build/$QOV_ARCH/bin"

# Wine sees the Unix file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | sed 's|/|\\|g')"; }
wine_run() { bash "$here/cmake/wine-run.sh" "$@"; }

mkdir -p "$out"
if [ $# -ge 1 ]; then
  recording="$(realpath "$1")"
  keys="$out/$(basename "${recording%.*}")-keyframes"
else
  recording="$out/sample.qov"
  keys="$out/sample-keyframes"
  echo "== Writing the sample recording"
  wine_run $bin/qovsample.exe "$(winpath "$recording")"
fi

status=0
final="$out/$(basename "${recording%.*}")-final.bmp"
echo "== Playing $recording"
wine_run $bin/qovplay.exe "$(winpath "$recording")" "$(winpath "$final")" | tee "$out/qovplay.log" ||
  status=$?

echo "== Decoding every frame of $recording"
rm -rf "$keys"
# pipefail: a failing qovdemo fails the pipe.
wine_run $bin/qovdemo.exe "$(winpath "$recording")" "$(winpath "$keys")" | tee "$out/qovdemo.log" ||
  status=$?

echo "== Outputs"
echo "recording:  $recording"
echo "final picture: $final"
echo "key frames: $keys/"
ls -1 "$keys" 2>/dev/null | sed 's/^/  /' || true
echo "demo log:   $out/qovdemo.log"
exit "$status"
