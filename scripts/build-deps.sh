#!/usr/bin/env bash
# Cross-builds libjpeg-turbo (with its SIMD code) and lzo2 for 32-bit Windows
# from Debian's source packages into deps/ (ignored by git). zlib comes from
# Debian's libz-mingw-w64-dev. A library that is already built is skipped.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="$here/deps"
prefix="$deps/i686"
src="$deps/src"
jobs="$(nproc)"
mkdir -p "$prefix" "$src"

fetch() { # fetch <source package> -> prints the unpacked folder
  local pkg="$1" dir
  dir="$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)"
  if [ -z "$dir" ]; then
    (cd "$src" && apt-get source -q "$pkg" >/dev/null)
    dir="$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)"
  fi
  [ -n "$dir" ] || { echo "could not unpack source package $pkg" >&2; exit 1; }
  echo "$dir"
}

if [ ! -f "$prefix/lib/libturbojpeg.a" ] || [ ! -f "$prefix/lib/libjpeg.a" ]; then
  dir="$(fetch libjpeg-turbo)"
  rm -rf "$deps/build-jpeg"
  cmake -S "$dir" -B "$deps/build-jpeg" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-mingw.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=ON -DREQUIRE_SIMD=ON \
    -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF >"$deps/build-jpeg.log"
  cmake --build "$deps/build-jpeg" -j "$jobs" --target jpeg-static turbojpeg-static >>"$deps/build-jpeg.log"
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$deps/build-jpeg/libjpeg.a" "$deps/build-jpeg/libturbojpeg.a" "$prefix/lib/"
  cp "$dir/jpeglib.h" "$dir/jmorecfg.h" "$dir/jerror.h" "$dir/turbojpeg.h" \
     "$deps/build-jpeg/jconfig.h" "$prefix/include/"
  echo "libjpeg-turbo built into $prefix"
fi

if [ ! -f "$prefix/lib/liblzo2.a" ]; then
  dir="$(fetch lzo2)"
  rm -rf "$deps/build-lzo"
  mkdir -p "$deps/build-lzo"
  (cd "$deps/build-lzo" && "$dir/configure" --host=i686-w64-mingw32 --prefix="$prefix" \
      --disable-shared --enable-static CC=i686-w64-mingw32-gcc-posix CFLAGS=-O2 >"$deps/build-lzo.log" \
   && make -j "$jobs" >>"$deps/build-lzo.log" && make install >>"$deps/build-lzo.log")
  echo "lzo2 built into $prefix"
fi
