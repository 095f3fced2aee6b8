#!/usr/bin/env bash
# Runs ctest with the arguments given and, after its own closing lines, names
# every test that failed and then passed when ctest ran it again
# (--repeat until-pass:N), so that a test that fails now and then is seen
# even though the run passed. Exits with ctest's exit code.
#
# Usage: scripts/ctest_retried.sh CTEST-ARGS...
set -uo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT

ctest "$@" | tee "$log"
rc=${PIPESTATUS[0]}

# ctest's line for each run of a test: "[I/N ]Test  #K: NAME ....   Passed"
# or "...***Failed" (***Timeout, ***Exception: ...); a skip is not a failure.
awk '
    match($0, /Test +#[0-9]+: /) {
        split(substr($0, RSTART + RLENGTH), f, " ")
        name = f[1]
        if ($0 ~ /\*\*\*/ && $0 !~ /\*\*\*Skipped/) {
            failed[name] = 1
        } else if ($0 ~ / Passed / && failed[name] && !(name in retried)) {
            retried[name] = 1
            order[++n] = name
        }
    }
    END {
        print ""
        if (n == 0) {
            print "No test needed a second run."
            exit
        }
        print "Passed only when run again (" n "; the failed run'"'"'s output is above):"
        for (i = 1; i <= n; i++)
            print "    " order[i]
    }' "$log"
exit "$rc"
