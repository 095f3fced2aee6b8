#!/usr/bin/env bash
# make package: the Debian package of mkpatch, qzt, the program and the man
# pages, and the zips for patch authors on Windows (mkpatch.exe and qzt.exe,
# 32-bit and 64-bit, beside patch.exe, the README, the LICENSE and the
# example), all in build/package/. Each is checked as it is made: lintian on
# the package (no errors), its file list and Depends; each zip's program, its
# LICENSE, and its mkpatch.exe, which under Wine builds the example's patch
# that the host's mkpatch verify accepts. The package's copyright file must
# carry the LICENSE's text.
#
# Usage: scripts/package.sh   (after the native, win32 and win64 builds; make
# package makes them)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$top/build/package
say() { printf 'package: %s\n' "$*"; }
fail() { echo "package: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/build/native/CMakeCache.txt")
[ -n "$version" ] || fail "no native build: cmake --preset native && cmake --build --preset native"
rm -rf "$out"
mkdir -p "$out"

# The copyright file's Zlib paragraph, unfolded, is the LICENSE after its
# copyright line.
sed -n '/^License: Zlib$/,$ { s/^ \.$//p; s/^ //p }' "$top/packaging/copyright" | cmp -s - <(tail -n +3 "$top/LICENSE") ||
    fail "the license text of packaging/copyright is not the LICENSE's"

# The Debian package, from the native build's install rules.
(cd "$top/build/native" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || fail "cpack: $(tail -n 20 "$out/cpack.log")"
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$out/deb-files.txt"
for f in ./usr/bin/mkpatch ./usr/bin/qzt ./usr/share/orvane-patch/patch.exe ./usr/share/man/man1/mkpatch.1.gz \
         ./usr/share/man/man1/qzt.1.gz ./usr/share/doc/orvane-patch/copyright; do
    grep -qx -- "$f" "$out/deb-files.txt" || fail "$deb lacks $f"
done
say "$(basename "$deb"): $(grep -vc '/$' "$out/deb-files.txt") files"
dpkg-deb -f "$deb" Depends Recommends | sed 's/^/package:   /'
lintian --fail-on error "$deb" >"$out/lintian.txt" 2>&1 || fail "lintian: $(cat "$out/lintian.txt")"
say "lintian: $(grep -c '^E:' "$out/lintian.txt" || true) errors, $(grep -c '^W:' "$out/lintian.txt" || true) warnings"

# The Windows zips, from the win32 and win64 builds' install rules; their
# entries in one order, without the times of this machine's files. Each
# carries the win32 build's patch.exe; the win64 one's tools hold files past
# what a 32-bit program's memory does.
zip_of() {
    local preset=$1 name=orvane-patch-$version-$1
    cmake --install "$top/build/$preset" --prefix "$out/$name" >/dev/null
    cmp -s "$out/$name/patch.exe" "$top/build/win32/bin/patch.exe" || fail "$name's patch.exe is not the win32 build's"
    (cd "$out" && find "$name" -type f | LC_ALL=C sort | zip -q -X -D "$name.zip" -@)
    rm -rf "$out/$name"
    unzip -Z1 "$out/$name.zip" | grep -qx "$name/LICENSE" || fail "$name.zip lacks LICENSE"
    say "$name.zip: $(unzip -Z1 "$out/$name.zip" | wc -l) files"

    # The zip as a patch author on Windows uses it.
    local at=$tmp/$preset
    mkdir "$at"
    unzip -q "$out/$name.zip" -d "$at"
    (cd "$at/$name/examples" &&
        "$top/tests/wine/run.sh" ../mkpatch.exe build patch.toml -o ORVANE11.EXE --elevation user) >"$at/build.log" 2>&1 ||
        fail "$name.zip's mkpatch.exe: $(cat "$at/build.log")"
    "$top/build/native/bin/mkpatch" verify "$at/$name/examples/ORVANE11.EXE" >"$at/verify.log" 2>&1 ||
        fail "the host's verify of $name.zip's patch: $(cat "$at/verify.log")"
    say "$name.zip's mkpatch.exe built the example's patch under Wine; the host's mkpatch verify accepts it"
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
zip_of win32
zip_of win64
