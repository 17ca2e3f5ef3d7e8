#!/usr/bin/env bash
# Static MinGW builds of liblzma, libzstd and libFLAC for the Windows build's
# CHD support. Debian ships no MinGW packages of them, so they are built
# from Debian's own source packages (deb-src is enabled when it is not) and
# cached under PREFIX: a second run does nothing.
#   bash .ci/windows_libs.sh [PREFIX]     (default build-win/winlibs)
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "${1:-build-win/winlibs}")
[ -f "$prefix/.built" ] && exit 0
host=x86_64-w64-mingw32
export CC=$host-gcc-posix AR=$host-ar RANLIB=$host-ranlib
src=$prefix.src
mkdir -p "$src" "$prefix/lib/pkgconfig" "$prefix/include"

export DEBIAN_FRONTEND=noninteractive
if ! compgen -G "$src/flac-*/configure" >/dev/null; then
  if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list \
       /etc/apt/sources.list.d/; then
    . /etc/os-release
    cat >/etc/apt/sources.list.d/vexlo-deb-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends dpkg-dev make \
    g++-mingw-w64-x86-64-posix >/dev/null
  (cd "$src" && apt-get source -qq xz-utils libzstd flac >/dev/null)
fi

echo "windows libs: liblzma"
(cd "$src"/xz-utils-*/ &&
  ./configure -q --host=$host --prefix="$prefix" --disable-shared \
    --enable-static --disable-xz --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc \
    --disable-nls >/dev/null &&
  make -s -j2 -C src/liblzma >/dev/null && make -s -C src/liblzma install >/dev/null)

echo "windows libs: libzstd"
(cd "$src"/libzstd-*/lib &&
  make -s -j2 libzstd.a ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD_SUPPORT=0 \
    >/dev/null &&
  cp libzstd.a "$prefix/lib/" && cp zstd.h zstd_errors.h zdict.h "$prefix/include/")
cat >"$prefix/lib/pkgconfig/libzstd.pc" <<PC
prefix=$prefix
Name: zstd
Description: fast lossless compression algorithm library
Version: $(grep -m1 -o '[0-9]*\.[0-9]*\.[0-9]*' "$src"/libzstd-*/CHANGELOG)
Libs: -L\${prefix}/lib -lzstd
Cflags: -I\${prefix}/include
PC

echo "windows libs: libFLAC"
(cd "$src"/flac-*/ &&
  ./configure -q --host=$host --prefix="$prefix" --disable-shared \
    --enable-static --disable-ogg --disable-cpplibs --disable-programs \
    --disable-examples --disable-doxygen-docs --disable-xmms-plugin \
    --disable-stack-smash-protection --disable-oggtest >/dev/null &&
  make -s -j2 -C src/libFLAC >/dev/null && make -s -C src/libFLAC install >/dev/null &&
  make -s -C include install >/dev/null)
touch "$prefix/.built"
