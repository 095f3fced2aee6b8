#!/usr/bin/env bash
# The qzt command line: compression and decompression through pipes and
# files, and the length check of `qzt t`; errors on stderr, on Windows too.
#
# Usage: qzt_cli.sh QZT [RUNNER]   (RUNNER, such as tests/wine/run.sh, starts
# QZT; exits 77, a skip, where it cannot)
set -euo pipefail
qzt=$1
runner=${2:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
q() { ${runner:+"$runner"} "$qzt" "$@"; }
rc=0
q >/dev/null 2>&1 || rc=$?
[ "$rc" -ne 77 ] || exit 77

aaaa='\x71\x7a\x00\x00\x00\x04\x7a\x74\x00\x04\x4c\x36'

[ "$(printf "$aaaa" | q d - -)" = aaaa ] || fail "pipe to pipe"

printf "$aaaa" > "$tmp/a.qzt"
q d "$tmp/a.qzt" "$tmp/a.out"
[ "$(cat "$tmp/a.out")" = aaaa ] || fail "file to file"
q t "$tmp/a.qzt" 2>/dev/null || fail "t rejects a good stream"

# The header claims 5 bytes; the block holds 4.
printf '\x71\x7a\x00\x00\x00\x05\x7a\x74\x00\x04\x4c\x36' > "$tmp/short.qzt"
if q t "$tmp/short.qzt" 2>"$tmp/err"; then fail "t accepts a wrong total"; fi
grep -q 'decoded 4 bytes, but its header says 5' "$tmp/err" || fail "t message: $(cat "$tmp/err")"

# Not compressed at all, and a missing file: exit 1 with the reason.
if printf 'hello' | q d - - >/dev/null 2>"$tmp/err"; then fail "d accepts plain text"; fi
grep -q 'stream is not qzt' "$tmp/err" || fail "not-qzt message: $(cat "$tmp/err")"
if q t "$tmp/none.qzt" 2>"$tmp/err"; then fail "t accepts a missing file"; fi
grep -q "none.qzt: Can't open file, 2" "$tmp/err" || fail "missing-file message: $(cat "$tmp/err")"

# Compression at both levels, through files and pipes, back to the same
# bytes: a program (binary) and numbered lines (text), past one block. The
# same 64 KiB of the program in every build: the sanitizers' build of qzt is
# 30 times the size, and its whole image took most of that check's time.
{ head -c 65536 "$qzt"; seq 1 20000; } > "$tmp/in"
for level in -1 -9; do
    q c $level "$tmp/in" "$tmp/in.qzt" 2>"$tmp/err" || fail "c $level: $(cat "$tmp/err")"
    grep -q "^qzt: $tmp/in: $(wc -c < "$tmp/in") -> $(wc -c < "$tmp/in.qzt") bytes" "$tmp/err" \
        || fail "c $level summary: $(cat "$tmp/err")"
    q t "$tmp/in.qzt" 2>/dev/null || fail "t rejects the output of c $level"
    q d "$tmp/in.qzt" "$tmp/out" && cmp -s "$tmp/in" "$tmp/out" || fail "c $level then d, files"
    q c $level - - < "$tmp/in" 2>/dev/null | q d - - | cmp -s "$tmp/in" - || fail "c $level then d, pipes"
done
# -9 is the default; an empty input is a header alone.
q c "$tmp/in" - 2>/dev/null | cmp -s "$tmp/in.qzt" - || fail "c without a level is not c -9"
: > "$tmp/empty"
[ "$(q c "$tmp/empty" - 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 717a00000000 ] || fail "c of nothing"
if q c -5 "$tmp/in" "$tmp/x.qzt" 2>/dev/null; then fail "c accepts -5"; fi

echo "qzt command line: all checks passed"
