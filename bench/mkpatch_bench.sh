#!/usr/bin/env bash
# mkpatch on one large input: wall time, processor time (user and system) and
# peak memory (maximum resident set) of build, verify and extract, from
# /usr/bin/time. Run by `make bench-mkpatch`, never by the tests. The input is
# the largest files under /usr/lib (real programs and libraries) joined and
# cut to SIZE_MB; the program image is a stand-in, since only the payload's
# work is measured. Each step runs once: on a machine shared with other work
# the wall times vary, the processor times less so.
#
# Usage: mkpatch_bench.sh [MKPATCH [SIZE_MB [LEVEL]]]   (build/native/bin/mkpatch, 400, -9)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkpatch=$(realpath "${1:-$root/build/native/bin/mkpatch}")
size_mb=${2:-400}
level=${3:--9}
[ -x /usr/bin/time ] || { echo "mkpatch_bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Largest first, by name among equals, so that every run on a machine takes the same files.
find /usr/lib -type f -size +1M -printf '%s\t%p\n' 2>/dev/null | sort -k1,1nr -k2 | cut -f2- |
    while IFS= read -r f; do cat "$f"; done 2>/dev/null | head -c $((size_mb * 1048576)) >"$tmp/input.bin" || true
[ "$(stat -c %s "$tmp/input.bin")" -eq $((size_mb * 1048576)) ] ||
    { echo "mkpatch_bench: /usr/lib holds less than $size_mb MB in files over 1 MB" >&2; exit 1; }
printf 'MZ bench' >"$tmp/stub.exe"
cat >"$tmp/patch.toml" <<'TOML'
question = "Bench?"
dest = 'C:\BENCH'
[[entry]]
action = "write"
name = "INPUT.BIN"
source = "input.bin"
TOML

# Runs mkpatch under /usr/bin/time and prints its row.
step() {
    local name=$1
    shift
    /usr/bin/time -f '%e %U %S %M' -o "$tmp/time" "$mkpatch" "$@" >"$tmp/out" 2>"$tmp/err" ||
        { echo "mkpatch_bench: mkpatch $* failed: $(cat "$tmp/err")" >&2; exit 1; }
    awk -v n="$name" '{ printf "%-8s %8.1f %8.1f %8d\n", n, $1, $2 + $3, $4 / 1024 }' "$tmp/time"
}

echo "mkpatch $level on $size_mb MB of /usr/lib ($mkpatch)"
printf '%-8s %8s %8s %8s\n' step wall_s cpu_s peak_MB
step build build "$tmp/patch.toml" -o "$tmp/patch.exe" --stub "$tmp/stub.exe" "$level"
step verify verify "$tmp/patch.exe"
step extract extract "$tmp/patch.exe" "$tmp/got"
cmp -s "$tmp/input.bin" "$tmp/got/INPUT.BIN" || { echo "mkpatch_bench: the extracted file differs" >&2; exit 1; }
echo "patch: $(stat -c %s "$tmp/patch.exe") bytes"
