#!/usr/bin/env bash
# The qzt command line: decompression through pipes and files, and the
# length check of `qzt t`.
set -euo pipefail
qzt=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

aaaa='\x71\x7a\x00\x00\x00\x04\x7a\x74\x00\x04\x4c\x36'

[ "$(printf "$aaaa" | "$qzt" d - -)" = aaaa ] || fail "pipe to pipe"

printf "$aaaa" > "$tmp/a.qzt"
"$qzt" d "$tmp/a.qzt" "$tmp/a.out"
[ "$(cat "$tmp/a.out")" = aaaa ] || fail "file to file"
"$qzt" t "$tmp/a.qzt" 2>/dev/null || fail "t rejects a good stream"

# The header claims 5 bytes; the block holds 4.
printf '\x71\x7a\x00\x00\x00\x05\x7a\x74\x00\x04\x4c\x36' > "$tmp/short.qzt"
if "$qzt" t "$tmp/short.qzt" 2>"$tmp/err"; then fail "t accepts a wrong total"; fi
grep -q 'decoded 4 bytes, but its header says 5' "$tmp/err" || fail "t message: $(cat "$tmp/err")"

# Not compressed at all, and a missing file: exit 1 with the reason.
if printf 'hello' | "$qzt" d - - >/dev/null 2>"$tmp/err"; then fail "d accepts plain text"; fi
grep -q 'stream is not qzt' "$tmp/err" || fail "not-qzt message: $(cat "$tmp/err")"
if "$qzt" t "$tmp/none.qzt" 2>"$tmp/err"; then fail "t accepts a missing file"; fi
grep -q "none.qzt: Can't open file, 2" "$tmp/err" || fail "missing-file message: $(cat "$tmp/err")"

echo "qzt command line: all checks passed"
