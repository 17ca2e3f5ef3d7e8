#!/usr/bin/env bash
# Packages: lints the manual page, checks `cmake --install`, builds the .deb,
# installs it with dpkg and runs the installed tool on the shipped example,
# runs lintian on it, then builds the Windows .zip and checks its contents.
# Builds in build-deb/ and build-win/; run as root (apt-get, dpkg -i). The
# package is removed again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends cmake g++ make dpkg-dev file \
  lintian mandoc groff-base g++-mingw-w64-x86-64-posix libxxhash-dev >/dev/null

work=$(mktemp -d /tmp/vexlo-package.XXXXXX)
installed=0
wine_up=0
cleanup() {
  if [ $installed -eq 1 ]; then dpkg --purge vexlo >/dev/null || true; fi
  if [ $wine_up -eq 1 ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
ok() { echo "package: ok: $1"; passed=$((passed + 1)); }
bad() { echo "package: FAILED: $1"; failed=$((failed + 1)); }

# --- Manual page -------------------------------------------------------------
lint=$( { groff -man -ww -z doc/vexlo.1 && mandoc -T lint doc/vexlo.1; } 2>&1) &&
  [ -z "$lint" ] && ok "manual page lints clean" ||
  bad "manual page lint: $lint"

# --- cmake --install and the .deb ---------------------------------------------
# Debian's hardening flags, as a Debian build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B build-deb -DVEXLO_TESTS=OFF >/dev/null
cmake --build build-deb -j2 >/dev/null
unset CXXFLAGS LDFLAGS

prefix=$work/prefix
cmake --install build-deb --prefix "$prefix" >/dev/null
missing=
for f in bin/vexlo share/man/man1/vexlo.1 share/doc/vexlo/README.md \
         share/doc/vexlo/copyright share/doc/vexlo/examples/vexlo.cfg \
         share/doc/vexlo/examples/sample.bin share/doc/vexlo/examples/SOURCES.md \
         share/doc/vexlo/examples/TIM-SOURCES.md; do
  [ -f "$prefix/$f" ] || missing="$missing $f"
done
for page in doc/*.md; do
  [ -f "$prefix/share/doc/vexlo/$page" ] || missing="$missing share/doc/vexlo/$page"
done
[ -z "$missing" ] && ok "cmake --install lays out the tree" ||
  bad "cmake --install: missing$missing"

(cd build-deb && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/vexlo_*.deb)
echo "package: built $deb"
dpkg-deb --field "$deb" Package Version Depends
# Dependencies are computed from the binary: the C++ runtime must be there.
# (Captured first: with pipefail, grep -q closing the pipe early could fail
# the writer.)
depends=$(dpkg-deb --field "$deb" Depends)
[[ $depends == *libstdc++6* ]] && ok ".deb dependencies computed" ||
  bad ".deb has no computed dependencies"
contents=$(dpkg-deb --contents "$deb")
[[ $contents == *./usr/share/man/man1/vexlo.1.gz* ]] &&
  ok ".deb carries the manual page" || bad ".deb lacks the manual page"

dpkg -i "$deb" >/dev/null
installed=1
grep -q '^License: Expat' /usr/share/doc/vexlo/copyright &&
  grep -q 'Permission is hereby granted' /usr/share/doc/vexlo/copyright &&
  ok ".deb states Vexlo's MIT licence" || bad ".deb copyright lacks the MIT licence"
# The example, run by the installed tool in a fresh directory. No terminal:
# the key wait ends at once with -1, seen as 255.
run=$work/run
mkdir -p "$run/out"
cp examples/vexlo.cfg examples/sample.bin "$run/"
status=0
(cd "$run" && setsid -w timeout 60 /usr/bin/vexlo </dev/null >"$work/stdout") || status=$?
cat >"$work/expected" <<'EOF'
Vexlo version 1.1
=================
Parsing 'vexlo.cfg'
Reading sample.bin (27234 bytes)...
TIM at byte 777, size of 192
16x16, pixelmode: 4-bit CLUT
TIM at byte 1590, size of 1556
32x24, pixelmode: 15-bit direct
TIM at byte 3461, size of 16928
128x128, pixelmode: 8-bit CLUT
TIM at byte 20900, size of 4628
48x32, pixelmode: 24-bit direct
TIM at byte 25838, size of 832
48x32, pixelmode: 4-bit CLUT
A total of 5 tim(s) found.
EOF
[ $status -eq 255 ] &&
  cmp -s "$work/expected" "$work/stdout" &&
  ok "installed vexlo reports the example" ||
  { bad "installed vexlo (exit $status)"; diff "$work/expected" "$work/stdout" || true; }
# Each copy is the TIM's bytes in the input; each bitmap has the size that
# its 24-bit rows (padded to 4 bytes) give.
outs_ok=1
n=1
for t in "777 192 822" "1590 1556 2358" "3461 16928 49206" "20900 4628 4662" \
         "25838 832 4662"; do
  set -- $t
  { [ "$(stat -c %s "$run/out/sample_$n.tim")" -eq "$2" ] &&
    cmp -s -i "$1:0" -n "$2" examples/sample.bin "$run/out/sample_$n.tim"; } ||
    outs_ok=0
  bmp=$run/out/sample_$n.bmp
  { [ -f "$bmp" ] && [ "$(head -c 2 "$bmp")" = BM ] &&
    [ "$(stat -c %s "$bmp")" -eq "$3" ]; } || outs_ok=0
  n=$((n + 1))
done
[ "$(ls "$run/out" | wc -l)" -eq 10 ] || outs_ok=0
[ $outs_ok -eq 1 ] && ok "installed vexlo writes the example's files" ||
  bad "installed vexlo's output files"

# lintian: errors fail; every other tag is shown.
status=0
lintian --fail-on error --display-info "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian" || true
tags=$(grep -c '^[EWIPX]: ' "$work/lintian" || true)
[ $status -eq 0 ] && ok "lintian: no errors ($tags other tags)" ||
  bad "lintian (exit $status)"
dpkg --purge vexlo >/dev/null
installed=0

# --- Windows zip ---------------------------------------------------------------
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake --no-warn-unused-cli \
  -DVEXLO_TESTS=OFF >/dev/null
cmake --build build-win -j2 >/dev/null
(cd build-win && rm -f ./*.zip && cpack -G ZIP >/dev/null)
zip=$(ls build-win/vexlo-*-win64.zip)
echo "package: built $zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
top=$(basename "$zip" .zip)
(cd "$work/zip/$top" && find . | LC_ALL=C sort) >"$work/zip-list"
{ printf '%s\n' . ./LICENSE.txt ./README.txt ./SOURCES.txt ./TIM-SOURCES.txt ./doc \
    ./out ./sample.bin ./vexlo.cfg ./vexlo.exe
  for page in doc/*.md; do echo "./$page"; done; } | LC_ALL=C sort >"$work/zip-expected"
cmp -s "$work/zip-expected" "$work/zip-list" && ok "zip holds the expected files" ||
  { bad "zip contents"; diff "$work/zip-expected" "$work/zip-list" || true; }
z=$work/zip/$top
crlf() { sed 's/$/\r/' "$1" | cmp -s - "$2"; }
pages_crlf=1
for page in doc/*.md; do crlf "$page" "$z/$page" || pages_crlf=0; done
crlf README.md "$z/README.txt" && crlf LICENSE "$z/LICENSE.txt" &&
  [ $pages_crlf -eq 1 ] && crlf examples/vexlo.cfg "$z/vexlo.cfg" &&
  crlf examples/SOURCES.md "$z/SOURCES.txt" &&
  crlf tests/data/real/SOURCES.md "$z/TIM-SOURCES.txt" &&
  cmp -s examples/sample.bin "$z/sample.bin" &&
  ok "zip texts have CRLF line ends, sample.bin unchanged" ||
  bad "zip texts or sample"
[[ $(file -b "$z/vexlo.exe") == *"PE32+ executable (console) x86-64"* ]] &&
  ok "zip holds the Windows console exe" || bad "zip exe: $(file -b "$z/vexlo.exe")"

# The unpacked zip runs the example as a user would, under a fresh headless
# Wine, and writes the same files as the installed Linux tool did.
if command -v wine >/dev/null; then
  WINEPREFIX=$work/wine
  mkdir "$WINEPREFIX"
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  wine_up=1
  wineserver -p >/dev/null 2>&1
  timeout 120 wine cmd /c exit >/dev/null 2>&1 || true
  status=0
  (cd "$z" && setsid -w timeout 120 wine ./vexlo.exe </dev/null >"$work/wine-stdout") ||
    status=$?
  # Windows ends lines with CRLF on a pipe.
  tr -d '\r' <"$work/wine-stdout" >"$work/wine-stdout.lf"
  [ $status -eq 255 ] && cmp -s "$work/expected" "$work/wine-stdout.lf" &&
    diff -r "$run/out" "$z/out" >/dev/null &&
    ok "the zip's vexlo.exe runs its example under Wine" ||
    { bad "the zip's vexlo.exe under Wine (exit $status)";
      diff "$work/expected" "$work/wine-stdout.lf" || true; }
else
  echo "package: skipped running the zip's exe: wine is not installed"
fi

echo "package: $passed passed, $failed failed"
[ $failed -eq 0 ]
