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

# qov_pe_arch FILE: i686 or x86_64, from the machine field of a Windows
# program's PE header (i686 when it cannot be read).
qov_pe_arch() {
  local off machine
  off="$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')"
  machine="$(od -An -t x2 -j "$(( ${off:-0} + 4 ))" -N 2 "$1" 2>/dev/null | tr -d ' ')"
  if [ "$machine" = 8664 ]; then echo x86_64; else echo i686; fi
}
