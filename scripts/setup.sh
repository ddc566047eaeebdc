#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine and
# cross-builds the third-party libraries that Debian does not ship for MinGW.
# Safe to run again: every step checks whether it was already done.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="$here/deps"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"

packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev file
  mingw-w64 mingw-w64-tools g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libz-mingw-w64-dev libwine-dev nasm
  wine wine32:i386 wine64 xvfb xauth
  googletest clang libclang-rt-14-dev
  libjpeg62-turbo-dev liblzo2-dev zlib1g-dev libssl-dev
  nginx-light iproute2 python3 curl
  fonts-wqy-microhei fonts-wine
)

need_install=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  need_install=1
fi

codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
srcfile=/etc/apt/sources.list.d/qovplayer-deb-src.sources
if [ ! -f "$srcfile" ]; then
  $sudo tee "$srcfile" >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_install=1
fi

for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    need_install=1
    break
  fi
done

if [ "$need_install" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails the update now and then; try again,
  # and go on with the lists there are when it keeps failing (the install
  # below then says what is missing).
  for try in 1 2 3; do
    if $sudo apt-get update -q; then break; fi
    [ "$try" = 3 ] && echo "setup: apt-get update failed; installing from the package lists there are" >&2
    sleep 10
  done
  # 32-bit packages must be of the same version as their 64-bit twins; on a
  # machine whose packages are older than the mirror's, that needs an upgrade
  # of the installed ones first.
  if ! $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"; then
    echo "setup: upgrading the installed packages to the mirror's versions, then installing again" >&2
    $sudo apt-get upgrade -y -q -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold
    if ! $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"; then
      # A mirror whose 32-bit index is mid-sync cannot give wine32 the
      # versions of its 64-bit twins. Everything else still installs, and the
      # run and test commands then take the x86_64 build under wine64.
      echo "setup: the 32-bit packages cannot be installed from this mirror now; installing without wine32" >&2
      rest=()
      for p in "${packages[@]}"; do [ "$p" = "wine32:i386" ] || rest+=("$p"); done
      $sudo apt-get install -y -q --no-install-recommends "${rest[@]}"
    fi
  fi
fi

# nginx from the package starts a system service; the tests run their own.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet nginx 2>/dev/null; then
  $sudo systemctl stop nginx || true
fi

"$here/scripts/build-deps.sh"
