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
  if [ -z "$(qov_x_server_pid "$DISPLAY")" ]; then
    rm -f "/tmp/.X${display_number}-lock" "/tmp/.X11-unix/X${display_number}"
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
# A persistent wineserver, running before this script starts any program in
# the prefix, so that every test start reuses it instead of booting one. A
# server that a program starts itself ends with the last program of the
# prefix, and the next program to start starts it again: that program's error
# output (under ctest, the pipe to the test's log) stays open in the server and
# in the prefix's services it starts, and ctest waits for that test, whose
# program has long ended, until its time-out. "wineserver -p" beside a running
# server starts nothing, so a transient one still running (a program of the
# prefix, or a server ending after it) is waited for first.
qov_wineserver_persistent() {  # PID: its last persistence option has no limit
  local option last=""
  while IFS= read -r -d '' option; do
    case "$option" in -p* | --persistent*) last="$option" ;; esac
  done <"/proc/$1/cmdline"
  [ "$last" = -p ] || [ "$last" = --persistent ]
}
for _ in 1 2 3; do
  server="$(qov_wineserver_pid)"
  if [ -n "$server" ] && qov_wineserver_persistent "$server" 2>/dev/null; then break; fi
  if [ -n "$server" ]; then
    echo "wine-prefix: waiting for the wineserver of $WINEPREFIX (not persistent) to end" >&2
    "$WINESERVER" -w
  fi
  # Its output is not ours to keep open: it outlives this script.
  "$WINESERVER" -p >/dev/null 2>&1 || true
done
server="$(qov_wineserver_pid)"
if [ -z "$server" ] || ! qov_wineserver_persistent "$server" 2>/dev/null; then
  echo "wine-prefix: no persistent wineserver for $WINEPREFIX; a test may wait for the end of the others" >&2
fi
# Chinese texts need a font with Chinese glyphs, which Wine does not bring:
# the system's (fonts-wqy-microhei, from setup.sh) stands in for the Chinese
# faces and is linked behind the faces that the programs and Wine's own windows
# ask for, which then take their Chinese glyphs from it. Written on every run,
# so prefixes made earlier get it and an update of the prefix by a newer Wine
# (which writes its own font links) does not take it away.
qov_font_settings() {
  local font="WenQuanYi Micro Hei" link name
  link="$(printf '%s\0\0' "wqy-microhei.ttc,$font" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 |
          tr -s ' \n' ' ' | sed 's/^ //; s/ $//; s/ /,/g')"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  for name in SimSun 宋体 NSimSun 新宋体 SimHei 黑体 "Microsoft YaHei" 微软雅黑; do
    printf '"%s"="%s"\r\n' "$name" "$font"
  done
  printf '\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
  for name in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "MS Sans Serif" "Microsoft Sans Serif" Arial "Segoe UI" \
              "Lucida Sans Unicode" Verdana "Liberation Sans" "DejaVu Sans"; do
    printf '"%s"=hex(7):%s\r\n' "$name" "$link"
  done
}
fonts="$WINEPREFIX/qov-fonts.reg"
{ printf '\xff\xfe'; qov_font_settings | iconv -f UTF-8 -t UTF-16LE; } >"$fonts"
if ! "$QOV_WINE" regedit /S "Z:$(printf '%s' "$fonts" | tr / '\\')" >/dev/null 2>&1; then
  echo "wine-prefix: the font settings could not be written; Chinese texts may show as boxes" >&2
fi
# Start the prefix's own services once, before tests start many processes at a time.
"$QOV_WINE" cmd /c exit >/dev/null 2>&1 || true
