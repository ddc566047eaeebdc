#!/usr/bin/env bash
# Makes the Wine prefix the tests use (once), keeps one wineserver running for
# the whole test run, and starts an X server for the tests that open windows.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QOV_WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY="${DISPLAY:-:97}"

if [ ! -e "/tmp/.X${DISPLAY#:}-lock" ]; then
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
fi

mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.qov-ready" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  # No crash dialog: a crashing test must end, not wait for a click.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.qov-ready"
fi
# A persistent wineserver: every test start reuses it instead of booting one.
wineserver -p 2>/dev/null || true  # already running is fine
# Start the prefix's own services once, before tests start many processes at a time.
wine cmd /c exit >/dev/null 2>&1 || true
