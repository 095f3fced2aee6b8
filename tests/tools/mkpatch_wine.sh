#!/usr/bin/env bash
# The Windows build of mkpatch under Wine: builds the example patch on the
# program of the same build, verifies, lists and extracts it (its patch
# entries rebuilt from the example's old tree), and compares the extracted
# files with the example's new tree. Exits 77 (skip) where
# Wine cannot run the program.
#
# Usage: mkpatch_wine.sh MKPATCH.EXE PATCH.EXE
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkpatch=$1
stub=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() {
    local rc=0
    "$root/tests/wine/run.sh" "$mkpatch" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
    [ "$rc" -ne 77 ] || { cat "$tmp/err" >&2; exit 77; }
    [ "$rc" -eq 0 ] || fail "mkpatch.exe $* exited $rc: $(cat "$tmp/err")"
}

mkdir -p "$tmp/demo"
# The stub's own level, so that the patch's image is the stub byte for byte.
run build "$root/examples/patch.toml" -o "$tmp/demo/ORVANE11.EXE" --stub "$stub" --elevation admin
[ "$(stat -c %s "$stub")" -eq 65536 ] || fail "the stub is not 65536 bytes"
cmp -s -n 65536 "$stub" "$tmp/demo/ORVANE11.EXE" || fail "the patch does not start with the stub"
run verify "$tmp/demo/ORVANE11.EXE" --old "$root/examples/app-v1"
run list "$tmp/demo/ORVANE11.EXE"
grep -q '^  Orvane をバージョン 1.1 に更新します。' "$tmp/out" || fail "list: $(cat "$tmp/out")"
run extract "$tmp/demo/ORVANE11.EXE" "$tmp/got" --old "$root/examples/app-v1"
for f in DATA/STAGE1.DAT DATA/STAGE2.DAT ORVANE.INI; do
    cmp -s "$tmp/got/$f" "$root/examples/app-v2/$f" || fail "extracted $f differs"
done
[ "$(find "$tmp/got" -type f | wc -l)" -eq 3 ] || fail "extracted: $(find "$tmp/got" -type f)"
echo "mkpatch.exe under Wine: all checks passed"
