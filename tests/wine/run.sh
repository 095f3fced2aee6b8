#!/usr/bin/env bash
# Runs one Windows program under Wine for the tests and exits with the
# program's own exit code (77, ctest's skip code, when this machine cannot run
# a 32-bit program).
#
# Usage: tests/wine/run.sh EXE [ARGS...]   (arguments are passed unchanged)
#
# Environment:
#   WINE_TEST_PREFIX   Wine prefix shared by all runs (default: build/wineprefix
#                      of this checkout); made on first use.
#   WINE_TEST_DISPLAY  X display for runs that show windows. Without it DISPLAY
#                      is unset, so that any window (a MessageBoxA) fails at once.
#   WINE_TEST_LANG     locale of the runs (default: ja_JP.UTF-8 where the
#                      machine has it, which gives the ANSI code page 932).
#   WINEDEBUG          Wine's debug channels (default: -all).
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 EXE [ARGS...]" >&2
    exit 2
fi
exe=$1
shift

# Starts 64-bit programs natively and hands 32-bit ones to Wine's 32-bit loader.
readonly WINE64=/usr/lib/wine/wine64
readonly WINE32=/usr/lib/wine/wine
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefix=${WINE_TEST_PREFIX:-$root/build/wineprefix}
lock=$prefix/.run-lock
booted_stamp=$prefix/.booted
wow32_cache=$prefix/.wow32

if [ ! -x "$WINE64" ]; then
    echo "run.sh: $WINE64 is missing; run scripts/setup.sh" >&2
    exit 1
fi

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Mono or Gecko while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_RUNTIME_DIR=$prefix/.xdg-runtime
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

if [ -n "${WINE_TEST_DISPLAY:-}" ]; then
    export DISPLAY=$WINE_TEST_DISPLAY
else
    unset DISPLAY
fi

# Wine takes the ANSI code page from the Unix locale, so the locale variables
# that would override LANG go.
lang=${WINE_TEST_LANG:-}
if [ -z "$lang" ] && locale -a 2>/dev/null | grep -ix 'ja_JP\.utf-\?8' >/dev/null; then
    lang=ja_JP.UTF-8
fi
if [ -n "$lang" ]; then
    for var in LC_ALL $(compgen -v LC_); do
        unset "$var"
    done
    export LANG=$lang
fi

# Makes the prefix. Runs under the lock: parallel test jobs wait here rather
# than boot it twice or use it half-made. Wine's processes get no copy of the
# lock's descriptor: the wineserver outlives this script and would keep the
# lock held.
boot_prefix() {
    [ -e "$booted_stamp" ] && return
    if ! "$WINE64" wineboot -i >"$prefix/.wineboot.log" 2>&1 9>&-; then
        echo "run.sh: wineboot failed in $prefix:" >&2
        cat "$prefix/.wineboot.log" >&2
        return 1
    fi
    touch "$booted_stamp"
}

if [ ! -e "$booted_stamp" ]; then
    mkdir -p "$prefix"
    ( flock 9; boot_prefix ) 9>"$lock"
fi

# True when $1 is a file holding a PE image for i386 (machine 0x14c).
is_pe32() {
    [ -f "$1" ] || return 1
    local mz header offset
    mz=$(od -An -tx1 -N2 "$1" | tr -d ' \n')
    [ "$mz" = 4d5a ] || return 1
    # e_lfanew, little-endian, at offset 0x3c gives the "PE\0\0" signature,
    # followed by the machine field.
    header=$(od -An -tx1 -j60 -N4 "$1" | tr -d ' \n')
    [ ${#header} -eq 8 ] || return 1
    offset=$((16#${header:6:2}${header:4:2}${header:2:2}${header:0:2}))
    [ "$(od -An -tx1 -j"$offset" -N6 "$1" | tr -d ' \n')" = 504500004c01 ]
}

# Identifies what decides whether 32-bit programs run: the boot (binfmt_misc
# registrations of a 32-bit loader last until reboot), the registrations, and
# the installed 32-bit Wine loader.
wow32_fingerprint() {
    local boot entries=(/proc/sys/fs/binfmt_misc/*)
    read -r boot </proc/sys/kernel/random/boot_id
    printf '%s %s %s\n' "$boot" "${entries[*]##*/}" \
        "$(stat -c %Y "$WINE32" 2>/dev/null || echo none)"
}

# Prints "ok" when a 32-bit Windows program runs in the prefix, or else why
# not. The program tried is the prefix's own 32-bit cmd.exe, asked to exit 3.
probe_wow32() {
    if [ ! -x "$WINE32" ]; then
        echo "no 32-bit Wine loader $WINE32; install wine32:i386"
        return
    fi
    local out rc=0
    out=$(timeout 120 "$WINE64" 'C:\windows\syswow64\cmd.exe' /c exit 3 2>&1 9>&-) || rc=$?
    if [ "$rc" -eq 3 ]; then
        echo ok
    else
        echo "a 32-bit cmd.exe exited with $rc instead of 3: $(tail -n 1 <<<"$out")"
    fi
}

# Refreshes the cached probe result when what it depends on has changed.
# Runs under the lock, so that only one job probes.
update_wow32_cache() {
    local fingerprint cached=
    fingerprint=$(wow32_fingerprint)
    [ -e "$wow32_cache" ] && cached=$(head -n 1 "$wow32_cache")
    [ "$cached" = "$fingerprint" ] && return
    printf '%s\n%s\n' "$fingerprint" "$(probe_wow32)" >"$wow32_cache.new"
    mv -f "$wow32_cache.new" "$wow32_cache"
}

if is_pe32 "$exe"; then
    ( flock 9; update_wow32_cache ) 9>"$lock"
    verdict=$(sed -n 2p "$wow32_cache")
    if [ "$verdict" != ok ]; then
        echo "SKIP: this machine cannot run 32-bit Windows programs ($verdict)" >&2
        exit 77
    fi
fi

exec "$WINE64" "$exe" "$@"
