#!/usr/bin/env bash
# Cross-builds libjpeg-turbo (with its SIMD code) and lzo2 for 32-bit and
# 64-bit Windows from Debian's source packages into deps/i686 and deps/x86_64
# (ignored by git). zlib comes from Debian's libz-mingw-w64-dev. A library that
# is already built is skipped.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="$here/deps"
src="$deps/src"
jobs="$(nproc)"
mkdir -p "$src"

fetch() { # fetch <source package> -> prints the unpacked folder
  local pkg="$1" dir
  dir="$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)"
  if [ -z "$dir" ]; then
    # apt-get's notices (where the packaging is maintained, the unsandboxed
    # download) go to a log that is shown only when the fetch fails.
    if ! (cd "$src" && apt-get source -q "$pkg" >"$src/$pkg.log" 2>&1); then
      cat "$src/$pkg.log" >&2
    fi
    dir="$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)"
  fi
  [ -n "$dir" ] || { echo "could not unpack source package $pkg" >&2; exit 1; }
  echo "$dir"
}

# build_for <arch>: both libraries for one Windows architecture (i686 or x86_64)
# into deps/<arch>.
build_for() {
  local arch="$1" prefix="$deps/$1" host="$1-w64-mingw32" dir
  mkdir -p "$prefix"
  if [ ! -f "$prefix/lib/libturbojpeg.a" ] || [ ! -f "$prefix/lib/libjpeg.a" ]; then
    dir="$(fetch libjpeg-turbo)"
    rm -rf "$deps/build-jpeg-$arch"
    # Its CMakeLists asks for CMake 2.8.12, which leaves the policy on Ninja's
    # custom command byproducts unset: NEW only drops the phony rule for its
    # installer's dependency on the shared library, which is not built here.
    cmake -S "$dir" -B "$deps/build-jpeg-$arch" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$arch-mingw.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=ON -DREQUIRE_SIMD=ON \
      -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF -DCMAKE_POLICY_DEFAULT_CMP0058=NEW >"$deps/build-jpeg-$arch.log"
    cmake --build "$deps/build-jpeg-$arch" -j "$jobs" --target jpeg-static turbojpeg-static \
      >>"$deps/build-jpeg-$arch.log"
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$deps/build-jpeg-$arch/libjpeg.a" "$deps/build-jpeg-$arch/libturbojpeg.a" "$prefix/lib/"
    cp "$dir/jpeglib.h" "$dir/jmorecfg.h" "$dir/jerror.h" "$dir/turbojpeg.h" \
       "$deps/build-jpeg-$arch/jconfig.h" "$prefix/include/"
    echo "libjpeg-turbo built into $prefix"
  fi

  if [ ! -f "$prefix/lib/liblzo2.a" ]; then
    dir="$(fetch lzo2)"
    # libtool archives with "ar cru", and binutils notes on every run that
    # "u" does nothing in its deterministic mode; AR_FLAGS=cr is the same
    # archive without the notice.
    rm -rf "$deps/build-lzo-$arch"
    mkdir -p "$deps/build-lzo-$arch"
    (cd "$deps/build-lzo-$arch" && "$dir/configure" --host="$host" --prefix="$prefix" \
        --disable-shared --enable-static CC="$host-gcc-posix" CFLAGS=-O2 AR_FLAGS=cr >"$deps/build-lzo-$arch.log" \
     && make -j "$jobs" >>"$deps/build-lzo-$arch.log" && make install >>"$deps/build-lzo-$arch.log")
    echo "lzo2 built into $prefix"
  fi
}

build_for i686
build_for x86_64
