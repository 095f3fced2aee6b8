#!/usr/bin/env bash
# The man pages say what --help says: every subcommand of mkpatch and every
# option it takes, and qzt's commands and levels, stand in the pages (written
# by hand next to the code), which man reads without a warning.
#
# Usage: man_pages.sh MKPATCH QZT
set -euo pipefail
mkpatch=$1
qzt=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

# An option as roff writes it: every '-' as '\-'.
in_page() { grep -qF -- "${2//-/\\-}" "$1"; }

page=$root/tools/mkpatch/mkpatch.1
count=0
for sub in build sign list verify extract diff; do
    in_page "$page" ".B mkpatch $sub" || fail "mkpatch.1 has no synopsis of $sub"
    # The options of the help's lines: "  -o,--output TEXT ...", "  --stub TEXT ...".
    for opt in $("$mkpatch" "$sub" --help | sed -n 's/^ *\(-[^ ]*\).*/\1/p' | tr ',' ' '); do
        in_page "$page" "$opt" || fail "mkpatch.1 does not name $sub's option $opt"
        count=$((count + 1))
    done
done
in_page "$page" "--version" || fail "mkpatch.1 does not name --version"

qpage=$root/tools/qzt/qzt.1
usage=$("$qzt" 2>&1 || true)
for cmd in c d t; do
    grep -q "qzt $cmd " <<<"$usage" || fail "qzt's usage has no $cmd"
    in_page "$qpage" ".B qzt $cmd" || fail "qzt.1 has no synopsis of $cmd"
done
for opt in -1 -9; do
    in_page "$qpage" "$opt" || fail "qzt.1 does not name $opt"
done

for p in "$page" "$qpage"; do
    warnings=$(MANWIDTH=80 man --warnings -l "$p" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns of $p: $warnings"
done
echo "man pages: $count options of mkpatch's subcommands and qzt's commands named"
