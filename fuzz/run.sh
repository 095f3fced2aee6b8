#!/usr/bin/env bash
# Runs one fuzz target of the fuzz build for SECONDS on its seeds and its
# corpus, which grows in BUILD/corpus/NAME from run to run; a crashing input
# is written to BUILD/artifacts/. Further arguments go to libFuzzer.
#
#   run.sh BUILD NAME SECONDS [OPTION...]
set -euo pipefail
build=$1 name=$2 seconds=$3
shift 3
source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seeds=$build/seeds/$name
case $name in
    qzt) seeds=$source/examples max_len=70000 ;;
    qzd) max_len=4096 ;;
    payload) max_len=24576 ;;
    dest) max_len=1024 ;;
    message) max_len=4096 ;;
    manifest) max_len=8192 ;;
    *) echo "run.sh: no fuzz target $name" >&2; exit 2 ;;
esac
mkdir -p "$build/corpus/$name" "$build/artifacts"
exec "$build/bin/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -close_fd_mask=2 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" "$@" "$build/corpus/$name" "$seeds"
