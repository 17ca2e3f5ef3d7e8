#!/usr/bin/env bash
# Windows build: cross-compiles vexlo.exe with mingw-w64 and runs the
# end-to-end suite and the key test against it under Wine.
#
# Usage: bash .ci/windows.sh
#   VEXLO_E2E_TESTS  path of an already built native vexlo_e2e_tests; when
#                    unset, the native tests are built in build-wine-host/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for p in g++-mingw-w64-x86-64-posix wine wine64 tmux cmake make g++ libgtest-dev \
         zlib1g-dev libz-mingw-w64-dev libxxhash-dev pngcheck imagemagick; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "windows: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# liblzma, libzstd and libFLAC for reading CHDs, built once from Debian's
# sources into build-win/winlibs (where the cross build looks for them).
echo "windows: static CHD libraries"
bash .ci/windows_libs.sh build-win/winlibs

echo "windows: cross build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DVEXLO_TESTS=OFF >/dev/null
cmake --build build-win -j2
exe=$root/build-win/vexlo.exe

# -static must leave only DLLs that every Windows has.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' |
       tr 'A-Z' 'a-z' | grep -v -x -e kernel32.dll -e msvcrt.dll -e user32.dll \
       -e advapi32.dll || true)
if [ -n "$dlls" ]; then
  echo "windows: vexlo.exe needs DLLs beside it: $dlls"
  exit 1
fi

e2e=${VEXLO_E2E_TESTS:-}
if [ -z "$e2e" ]; then
  echo "windows: native build of the end-to-end suite"
  cmake -S . -B build-wine-host >/dev/null
  cmake --build build-wine-host -j2 --target vexlo_e2e_tests
  e2e=$root/build-wine-host/tests/vexlo_e2e_tests
fi

# A fresh, headless Wine. The server is started once and kept up: otherwise
# every run of the tool waits seconds for a new one.
WINEPREFIX=$(mktemp -d /tmp/vexlo-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine maps file names through the Unix locale: only a UTF-8 one carries the
# non-ASCII names the suite uses. Its ANSI code page is then 1252.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
wineserver -p >/dev/null 2>&1
timeout 120 wine cmd /c exit >/dev/null 2>&1 || true


status=0
logs=$(mktemp -d)
echo "windows: end-to-end suite under Wine"
VEXLO_BINARY=$root/tests/wine/vexlo-wine.sh VEXLO_EXE=$exe VEXLO_WINE=1 \
  timeout 900 "$e2e" | tee "$logs/e2e" ||
  status=1

echo "windows: key test under Wine"
timeout 300 bash tests/key_test.sh --wine "$exe" | tee "$logs/keys" || status=1

# One closing count over both.
count() { sed -n "s/$2/\1/p" "$logs/$1" | head -1; }
passed=$(( $(count e2e '^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*') + 0 ))
failed=$(( $(count e2e '^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:') + 0 ))
passed=$(( passed + $(count keys '^keys: \([0-9]*\) passed.*') + 0 ))
failed=$(( failed + $(count keys '^keys: [0-9]* passed, \([0-9]*\) failed') + 0 ))
rm -rf "$logs"
# A run that died before its summary has failed even with nothing counted.
if [ $status -ne 0 ] && [ $failed -eq 0 ]; then failed=1; fi
echo "windows: $passed passed, $failed failed"
exit $status
