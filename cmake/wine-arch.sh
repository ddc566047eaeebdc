# Sourced by the Wine launcher and the set-up scripts: the Wine of one Windows
# architecture, with a prefix of its own.
#   qov_wine_env i686|x86_64
# sets WINEARCH, WINEPREFIX, WINELOADER, WINESERVER and QOV_WINE (the loader to
# run). QOV_WINEPREFIX names the prefix; by default each architecture has its
# own (qov_default_prefix). The i686 programs run under wine32 with a win32 prefix; the x86_64 ones
# under Debian's wine64 loader and wineserver64 with a win64 prefix, which
# works on machines whose kernel cannot run 32-bit code at all.
qov_wine_env() {
  case "$1" in
    x86_64)
      export WINEARCH=win64
      export WINEPREFIX="${QOV_WINEPREFIX:-$(qov_default_prefix x86_64)}"
      export WINELOADER=/usr/lib/wine/wine64
      export WINESERVER=/usr/lib/wine/wineserver64
      QOV_WINE=/usr/lib/wine/wine64
      ;;
    *)
      export WINEARCH=win32
      export WINEPREFIX="${QOV_WINEPREFIX:-$(qov_default_prefix i686)}"
      export WINESERVER=/usr/lib/wine/wineserver
      unset WINELOADER
      QOV_WINE=wine
      ;;
  esac
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  export DISPLAY="${DISPLAY:-:97}"
}

# qov_default_prefix ARCH [SUFFIX]: the tests' prefix of that architecture.
qov_default_prefix() {
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  if [ "$1" = x86_64 ]; then echo "$root/build/wineprefix${2:-}-x86_64"; else echo "$root/build/wineprefix${2:-}"; fi
}

# qov_copy_prefix FROM TO: a copy of a prefix (TO is made) that may be in use
# by running tests. Real copies, never links: whatever a program of the copy
# writes into a file in place (the wineserver its registry files when they
# have more than one link, a prefix update the system's libraries) must not
# reach the original. The temporary folders, which running tests fill and
# empty (a file gone in the middle would fail the copy), and the wineserver's
# own file are left out.
qov_copy_prefix() {
  mkdir -p "$2" || return
  if tar -C "$1" --exclude=./wineserver --exclude='./drive_c/users/*/Temp/*' --exclude='./drive_c/windows/temp/*' \
       --warning=no-file-changed --warning=no-file-removed -cf - . | tar -C "$2" -xf -; then
    return 0
  fi
  # Tar answers 1 when a file or folder changed or went while it was read (a
  # running test's): what it read is copied all the same.
  local status=("${PIPESTATUS[@]}")
  [ "${status[0]}" -le 1 ] && [ "${status[1]}" = 0 ]
}

# qov_pe_arch FILE: i686 or x86_64, from the machine field of a Windows
# program's PE header (i686 when it cannot be read).
qov_pe_arch() {
  local off machine
  off="$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')"
  machine="$(od -An -t x2 -j "$(( ${off:-0} + 4 ))" -N 2 "$1" 2>/dev/null | tr -d ' ')"
  if [ "$machine" = 8664 ]; then echo x86_64; else echo i686; fi
}

# qov_x_server_pid DISPLAY: the process id of the X server running on a local
# display (":N"), nothing when none runs there (a lock left by a server that
# has ended, by a zombie or by another program does not count).
qov_x_server_pid() {
  local number="${1#:}" owner state name
  [ "$number" != "$1" ] || return 0
  number="${number%%.*}"
  owner="$(tr -dc '0-9' 2>/dev/null <"/tmp/.X${number}-lock" || true)"
  [ -n "$owner" ] || return 0
  state="$(awk '{print $3}' "/proc/$owner/stat" 2>/dev/null || true)"
  name="$(cat "/proc/$owner/comm" 2>/dev/null || true)"
  if [ -n "$state" ] && [ "$state" != Z ] && [ "${name#X}" != "$name" ]; then echo "$owner"; fi
}

# qov_wineserver_pid: the process id of the wineserver of $WINEPREFIX (set by
# qov_wine_env), nothing when none runs. A wineserver works in a folder named
# after the device and inode of its prefix.
qov_wineserver_pid() {
  local id process
  id="$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null | awk '{printf "server-%x-%x", $1, $2}')"
  [ -n "$id" ] || return 0
  for process in /proc/[0-9]*; do
    case "$(cat "$process/comm" 2>/dev/null)" in
      wineserver | wineserver32 | wineserver64)
        if [ "$(basename "$(readlink "$process/cwd" 2>/dev/null)")" = "$id" ]; then echo "${process#/proc/}"; return 0; fi ;;
    esac
  done
}
