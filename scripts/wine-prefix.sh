#!/usr/bin/env bash
# Makes the Wine prefix the tests use (once), keeps one wineserver running for
# the whole test run, and starts an X server for the tests that open windows.
#   wine-prefix.sh [i686|x86_64]   (default: $QOV_ARCH, else i686)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/cmake/wine-arch.sh"
qov_wine_env "${1:-${QOV_ARCH:-i686}}"
export WINEDEBUG=-all

# A local display is ours to start. A lock left by an X server that has since
# ended (a machine reused after an earlier run) must not stop a new one from
# starting: the windows would fail.
if [ "${DISPLAY#:}" != "$DISPLAY" ]; then
  display_number="${DISPLAY#:}"
  display_number="${display_number%%.*}"
  lock="/tmp/.X${display_number}-lock"
  if [ -e "$lock" ]; then
    owner="$(tr -dc '0-9' <"$lock" 2>/dev/null || true)"
    # Alive means a running X server: not gone, not a zombie, not another program.
    state="$(awk '{print $3}' "/proc/${owner:-0}/stat" 2>/dev/null || true)"
    name="$(cat "/proc/${owner:-0}/comm" 2>/dev/null || true)"
    if [ -z "$owner" ] || [ -z "$state" ] || [ "$state" = Z ] || [ "${name#X}" = "$name" ]; then
      rm -f "$lock" "/tmp/.X11-unix/X${display_number}"
    fi
  fi
  if [ ! -e "$lock" ]; then
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X${display_number}" ] && break; sleep 0.1; done
  fi
  if [ ! -S "/tmp/.X11-unix/X${display_number}" ]; then
    echo "wine-prefix: no X server on display $DISPLAY" >&2
    exit 1
  fi
fi

mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.qov-ready" ]; then
  "$QOV_WINE" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w
  # No crash dialog: a crashing test must end, not wait for a click.
  "$QOV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$WINESERVER" -w
  touch "$WINEPREFIX/.qov-ready"
fi
# A persistent wineserver: every test start reuses it instead of booting one.
"$WINESERVER" -p 2>/dev/null || true  # already running is fine
# Start the prefix's own services once, before tests start many processes at a time.
"$QOV_WINE" cmd /c exit >/dev/null 2>&1 || true
