#!/usr/bin/env bash
# make install as a patch author uses it: the native build installed into a
# temporary DESTDIR, then, from a folder with no build tree, the installed
# mkpatch makes a manifest from the example's two trees, builds the patch on
# the installed program (found from its own place) and verifies it.
#
# Usage: install.sh NATIVE_BUILD_DIR   (exit 77 without the win32 build's program)
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

program=$(sed -n 's/^PATCH_WIN32_BIN:PATH=//p' "$build/CMakeCache.txt")/patch.exe
if [ ! -f "$program" ]; then
    echo "SKIP: $program is not built (cmake --preset win32 && cmake --build --preset win32)" >&2
    exit 77
fi
DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >"$tmp/install.log" || fail "install: $(cat "$tmp/install.log")"
usr=$tmp/root/usr
for f in bin/mkpatch bin/qzt share/orvane-patch/patch.exe share/man/man1/mkpatch.1.gz share/man/man1/qzt.1.gz \
         share/doc/orvane-patch/README.md share/doc/orvane-patch/LICENSE share/doc/orvane-patch/copyright \
         share/doc/orvane-patch/changelog.gz share/doc/orvane-patch/examples/patch.toml; do
    [ -f "$usr/$f" ] || fail "$f is not installed"
done
cmp -s "$program" "$usr/share/orvane-patch/patch.exe" || fail "the installed program is not the build's"

mkdir "$tmp/work"
cd "$tmp/work"
cp -r "$usr/share/doc/orvane-patch/examples" .
mkpatch=$usr/bin/mkpatch
"$mkpatch" --version >out || fail "--version: $(cat out)"
grep -qx "program: $usr/share/orvane-patch/patch.exe (from the install)" out || fail "--version: $(cat out)"
"$mkpatch" diff examples/app-v1 examples/app-v2 --dest 'C:\Games\Orvane' -o patch.toml >out 2>err ||
    fail "diff: $(cat err)"
"$mkpatch" build patch.toml -o ORVANE11.EXE --elevation user >out 2>err || fail "build: $(cat err)"
grep -q "^program: $usr/share/orvane-patch/patch.exe (65536 bytes, from the install)$" out || fail "build: $(cat out)"
"$mkpatch" verify ORVANE11.EXE >out 2>err || fail "verify: $(cat err)"
grep -q '^trailer: CRC-32 matches$' out || fail "verify: $(cat out)"
echo "make install: the installed mkpatch made, built and verified the example's patch from $tmp/work"
