#!/usr/bin/env bash
# Runs a Windows test program under Wine with the project's own prefix.
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest starts every test through it.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QOV_WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win32
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY="${DISPLAY:-:97}"
exec wine "$@"
