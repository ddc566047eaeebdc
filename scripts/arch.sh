# Sourced by the run and test commands: picks the Windows architecture whose
# programs this machine can run, once per run.
#   qov_pick_arch   sets QOV_ARCH (i686 or x86_64) and QOV_ARCH_WHY
# i686, the product, runs under wine32 where the machine runs 32-bit x86 code
# natively; elsewhere the x86_64 build runs under wine64. QOV_ARCH=i686|x86_64
# set beforehand forces one.
qov_pick_arch() {
  local root probe
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  case "${QOV_ARCH:-}" in
    i686|x86_64) QOV_ARCH_WHY="forced by QOV_ARCH"; export QOV_ARCH; return 0 ;;
    "") ;;
    *) echo "QOV_ARCH must be i686 or x86_64, not '$QOV_ARCH'" >&2; return 1 ;;
  esac
  probe="$root/build/arch-probe"
  mkdir -p "$root/build"
  if [ ! -x "$probe" ] || [ "$root/scripts/arch-probe.c" -nt "$probe" ]; then
    cc -O0 -o "$probe" "$root/scripts/arch-probe.c" || { echo "cannot build the architecture probe" >&2; return 1; }
  fi
  local rc=0
  "$probe" || rc=$?
  case "$rc" in
    0) if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
         QOV_ARCH=i686; QOV_ARCH_WHY="this machine runs 32-bit x86 code (selector 0x23 is a code segment)"
       else
         QOV_ARCH=x86_64; QOV_ARCH_WHY="this machine runs 32-bit x86 code, but wine32 could not be installed (see the set-up's output)"
       fi ;;
    1) QOV_ARCH=x86_64; QOV_ARCH_WHY="this machine's kernel has no 32-bit x86 mode, so wine32 cannot run" ;;
    *) echo "not an x86 machine: no Windows build can run here" >&2; return 1 ;;
  esac
  export QOV_ARCH QOV_ARCH_WHY
}

# qov_build_windows ARCH [TARGETS...]: configures and builds build/ARCH with
# that architecture's MinGW-w64 toolchain (all targets when none are named).
qov_build_windows() {
  local root arch="$1"; shift
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  cmake -S "$root" -B "$root/build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-mingw.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/cmake/wine-run.sh" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$root/build/$arch" -j "$(nproc)" --target "$@"
  else
    cmake --build "$root/build/$arch" -j "$(nproc)"
  fi
}
