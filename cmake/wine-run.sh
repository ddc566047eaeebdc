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
exec "$QOV_WINE" "$@"
