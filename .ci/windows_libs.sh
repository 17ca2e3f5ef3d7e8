#!/usr/bin/env bash
# Static MinGW builds of liblzma, libzstd and libFLAC for the Windows build's
# CHD support. Debian ships no MinGW packages of them, so they are built
# from Debian's own source packages (deb-src entries are added beside the
# machine's deb ones when it has none) and cached under PREFIX: a second run
# does nothing.
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
    # Source entries beside the machine's own binary ones: the same URIs,
    # suites, components and keyring, whatever mirror it uses.
    lists=/etc/apt/sources.list.d
    sed -n 's/^deb\([[:space:]]\)/deb-src\1/p' /etc/apt/sources.list \
      "$lists"/*.list 2>/dev/null >"$lists/vexlo-deb-src.list" || true
    awk 'BEGIN { RS = ""; ORS = "" }
      {
        n = split($0, line, "\n"); out = ""; binary = 0
        for (i = 1; i <= n; i++) {
          if (line[i] ~ /^Types:/) {
            if (line[i] ~ /[[:space:]]deb([[:space:]]|$)/) binary = 1
            line[i] = "Types: deb-src"
          }
          out = out line[i] "\n"
        }
        if (binary) print out "\n"
      }' "$lists"/*.sources 2>/dev/null >"$lists/vexlo-deb-src.sources" || true
    for f in "$lists"/vexlo-deb-src.list "$lists"/vexlo-deb-src.sources; do
      [ -s "$f" ] || rm -f "$f"
    done
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
