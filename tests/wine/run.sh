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
#   WINE_TEST_DISPLAY  X display for runs that show windows, or "auto" for the
#                      prefix's own Xvfb server (started on first use, restarted
#                      when it has died). Without it DISPLAY is unset, so that
#                      any window (a MessageBoxA) fails at once.
#   WINE_TEST_LANG     locale of the runs (default: ja_JP.UTF-8 where the
#                      machine has it, which gives the ANSI code page 932).
#   WINEDEBUG          Wine's debug channels (default: -all).
#   WINE_TEST_DLL_OVERRIDES  more of Wine's DLL overrides, such as
#                      "comctl32=n,b" (a native DLL first, looked for as
#                      Windows looks for one that is not a KnownDLL).
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
settings_stamp=$prefix/.settings
xvfb_state=$prefix/.xvfb
wow32_cache=$prefix/.wow32
keeper_stamp=$prefix/.keeper

if [ ! -x "$WINE64" ]; then
    echo "run.sh: $WINE64 is missing; run scripts/setup.sh" >&2
    exit 1
fi

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Mono or Gecko while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINE_TEST_DLL_OVERRIDES:+;$WINE_TEST_DLL_OVERRIDES}"
export XDG_RUNTIME_DIR=$prefix/.xdg-runtime
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

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

# Prints the display of the prefix's Xvfb server, starting one when there is
# none or it has died. Runs under the lock. The server picks a free display
# itself (-displayfd) and says its number once it accepts clients; it runs in
# its own session so that it outlives this run and any test job's timeout.
prefix_xvfb() {
    local display pid
    if read -r display pid 2>/dev/null <"$xvfb_state" &&
       [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ] &&
       [ -S "/tmp/.X11-unix/X$display" ]; then
        echo ":$display"
        return
    fi
    rm -f "$xvfb_state"
    : >"$prefix/.xvfb.display"
    setsid Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp \
        8>"$prefix/.xvfb.display" </dev/null >"$prefix/.xvfb.log" 2>&1 9>&- &
    pid=$!
    for _ in $(seq 100); do
        read -r display 2>/dev/null <"$prefix/.xvfb.display" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "${display:-}" ]; then
        echo "run.sh: Xvfb did not start:" >&2
        cat "$prefix/.xvfb.log" >&2
        return 1
    fi
    echo "$display $pid" >"$xvfb_state"
    echo ":$display"
}

# Makes the prefix. Runs under the lock: parallel test jobs wait here rather
# than boot it twice or use it half-made. Wine's processes get no copy of the
# lock's descriptor: the wineserver outlives this script and would keep the
# lock held. They run on the prefix's display, like everything that may start
# the desktop (see keep_desktop).
boot_prefix() {
    [ -e "$booted_stamp" ] && return
    local display
    display=$(prefix_xvfb) || return 1
    if ! DISPLAY=$display "$WINE64" wineboot -i >"$prefix/.wineboot.log" 2>&1 9>&-; then
        echo "run.sh: wineboot failed in $prefix:" >&2
        cat "$prefix/.wineboot.log" >&2
        return 1
    fi
    touch "$booted_stamp"
}

# Settings of the prefix for runs that show windows:
# - the fonts of the program's dialogs and of message boxes map to the IPA
#   fonts, so that Japanese text shows as such rather than as boxes;
# - windows are not left to a window manager (there is none on Xvfb): Wine
#   then draws their captions itself and does not wait two seconds, for an
#   answer that never comes, each time a window is hidden.
# Imported from a UTF-16 file, so that the face names do not depend on the
# locale of this run.
set_prefix_settings() {
    [ -e "$settings_stamp" ] && return
    local face display
    display=$(prefix_xvfb) || return 1
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        for face in "ＭＳ Ｐゴシック=IPAPGothic" "MS UI Gothic=IPAPGothic" \
                    "ＭＳ ゴシック=IPAGothic" "MS Shell Dlg=IPAPGothic"; do
            printf '"%s"="%s"\r\n' "${face%%=*}" "${face#*=}"
        done
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
    } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$prefix/drive_c/settings.reg"
    if ! DISPLAY=$display "$WINE64" regedit /S 'C:\settings.reg' >/dev/null 2>&1 9>&-; then
        echo "run.sh: the settings could not be imported into $prefix" >&2
        return 1
    fi
    rm -f "$prefix/drive_c/settings.reg"
    touch "$settings_stamp"
}

if [ ! -e "$booted_stamp" ] || [ ! -e "$settings_stamp" ]; then
    mkdir -p "$prefix"
    ( flock 9; boot_prefix && set_prefix_settings ) 9>"$lock"
fi

if [ "${WINE_TEST_DISPLAY:-}" = auto ]; then
    WINE_TEST_DISPLAY=$( (flock 9; prefix_xvfb) 9>"$lock" )
fi
if [ -n "${WINE_TEST_DISPLAY:-}" ]; then
    export DISPLAY=$WINE_TEST_DISPLAY
else
    unset DISPLAY
fi

# The desktop process (explorer.exe /desktop) is started by the first program
# that needs it and ends a second after the last one has gone. It keeps that
# program's display and standard error: started by a run without a display,
# no later program could show a window while it lasted, and whoever reads the
# starting run's output (ctest) would wait for as long as programs keep the
# desktop in use. So the desktop is started, or joined, by a program of the
# prefix's own, on its display and with none of any run's output, which holds
# it for 30 seconds; every run that comes when it is half way through starts
# the next one. Runs under the lock.
keep_desktop() {
    local now started=0 display
    now=$(date +%s)
    read -r started 2>/dev/null <"$keeper_stamp" || true
    [ $((now - started)) -lt 15 ] && return
    display=$(prefix_xvfb) || return 1
    rm -f "$prefix/drive_c/.keeper"
    # cmd.exe joins the desktop as it starts, says so, and ends when its
    # input does.
    ( sleep 30 | DISPLAY=$display setsid "$WINE64" cmd.exe /c 'echo.>C:\.keeper& set /p x=' ) \
        </dev/null >/dev/null 2>&1 9>&- &
    for _ in $(seq 300); do
        if [ -e "$prefix/drive_c/.keeper" ]; then
            echo "$now" >"$keeper_stamp"
            return
        fi
        sleep 0.1
    done
    echo "run.sh: the desktop of $prefix did not start" >&2
    return 1
}

( flock 9; keep_desktop ) 9>"$lock"

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
