#!/usr/bin/env bash
# Takes the pictures of the program for docs/: the confirmation box, the
# README dialog and the progress window of the 32-bit build, in a Wine virtual
# desktop (which draws the windows' captions) on an X server of its own.
#
# Usage: tests/e2e/screenshots.sh [OUTDIR]   (default: docs)
#
# Needs the win32 and native builds (patch.exe, e2e_driver.exe, mkpatch). The
# driver (see driver.cpp) starts the program, waits before it presses each
# button and holds the program while its progress window shows, until this
# script has taken that picture. The one entry is large, so that the progress
# window stays long enough to be seen.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
bin=$root/build/win32/bin
mkpatch=$root/build/native/bin/mkpatch
prefix=${WINE_TEST_PREFIX:-$root/build/wineprefix}
readonly SIZE=800x600 DESKTOP=orvane-shots

for f in "$bin/patch.exe" "$bin/e2e_driver.exe" "$mkpatch"; do
    if [ ! -e "$f" ]; then
        echo "screenshots.sh: $f is missing: build the win32 and native presets" >&2
        exit 1
    fi
done
# The prefix is made by the first run.
[ -d "$prefix/drive_c" ] || "$root/tests/wine/run.sh" "$bin/e2e_driver.exe" 2>/dev/null || true

work=$prefix/drive_c/e2e/shots
rm -rf "$work"
mkdir -p "$work"/{patch,temp,target,pause,src} "$out"
cp "$bin/e2e_driver.exe" "$work/"
head -c 40000000 /dev/urandom >"$work/src/data.bin"
cat >"$work/src/readme.txt" <<'EOF'
Orvane 1.1 パッチ

このパッチは Orvane 1.0 を 1.1 に更新します。

変更点
・起動時に設定が消えることがある不具合を直しました。
・セーブデータはそのまま使えます。

「開始」を押すと更新を始めます。
EOF
cat >"$work/src/patch.toml" <<'EOF'
question = "Orvane を 1.1 に更新します。\nよろしいですか?"
readme = "readme.txt"
dest = 'C:\e2e\shots\target'

[[entry]]
action = "write"
name = "DATA.BIN"
source = "data.bin"
EOF
"$mkpatch" build "$work/src/patch.toml" -o "$work/patch/patch.exe" --stub "$bin/patch.exe" -1 >/dev/null

# The script answers every window; the transcript is not checked here.
{
    printf 'box "Orvane パッチ" "" yes\n'
    printf 'readme "Orvane パッチ" "" start\n'
    printf 'box "Orvane パッチ" "" ok\n'
    printf 'exit 0\n'
} | iconv -f UTF-8 -t CP932 >"$work/script"

# An X server of the desktop's size, so that the whole screen is the desktop.
Xvfb -displayfd 3 -screen 0 ${SIZE}x24 -nolisten tcp 3>"$work/display" </dev/null >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
display=
for _ in $(seq 100); do
    read -r display 2>/dev/null <"$work/display" && break
    sleep 0.1
done
[ -n "$display" ] || { echo "screenshots.sh: Xvfb did not start" >&2; exit 1; }

WINE_TEST_DISPLAY=:$display "$root/tests/wine/run.sh" explorer "/desktop=$DESKTOP,$SIZE" \
    'C:\e2e\shots\e2e_driver.exe' --pause 'C:\e2e\shots\pause' \
    'C:\e2e\shots\script' 'C:\e2e\shots\transcript' 'C:\e2e\shots\temp' 'C:\e2e\shots\patch\patch.exe' &
run=$!

# Each window the driver stops at: N.ready holds its kind; the first box is
# the confirmation.
declare -A names=([1]=confirm [2]=readme)
n=1
while kill -0 "$run" 2>/dev/null; do
    ready=$work/pause/$n.ready
    if [ ! -e "$ready" ]; then
        sleep 0.1
        continue
    fi
    kind=$(cat "$ready")
    name=${names[$n]:-}
    [ "$kind" = progress ] && name=progress
    if [ -n "$name" ]; then
        sleep 0.5  # the window has been drawn
        import -display ":$display" -window root "$out/$name.png"
        echo "screenshots.sh: $out/$name.png"
    fi
    rm -f "$ready"
    n=$((n + 1))
done
wait "$run"
rm -rf "$work"
