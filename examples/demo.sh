#!/usr/bin/env bash
# Applies the example patch under Wine, headless, the way a user would: the
# installed game (a copy of examples/app-v1) is found through the registry
# value its installer would have left, the dialogs are answered by the test
# driver, and the files that changed are listed afterwards.
#
# Usage: examples/demo.sh   (after `make demo` has built build/demo/ORVANE11.EXE)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=${WINE_TEST_PREFIX:-$root/build/wineprefix}
run=$root/tests/wine/run.sh
patch=$root/build/demo/ORVANE11.EXE
driver=$root/build/win32/bin/e2e_driver.exe

# The prefix is made by its first run.
[ -d "$prefix/drive_c" ] || "$run" "$driver" >/dev/null 2>&1 || true
demo=$prefix/drive_c/demo
rm -rf "$demo"
mkdir -p "$demo/game" "$demo/patch" "$demo/temp"
cp -r "$root/examples/app-v1/." "$demo/game/"
cp "$patch" "$root/build/demo/README.TXT" "$demo/patch/"

# The driver presses Yes, Start and OK, and writes down every text it saw.
cat >"$demo/script.txt" <<'SCRIPT'
setreg "HKCU\\Software\\Orvane\\Game" "Path" "C:\\demo\\game\\ORVANE.DAT"
box "" "" yes
readme "" "" start
box "" "" ok
exit 0
SCRIPT
WINE_TEST_DISPLAY=auto "$run" "$driver" --timeout 60 'C:\demo\script.txt' 'C:\demo\seen.txt' \
    'C:\demo\temp' 'C:\demo\patch\ORVANE11.EXE' || true

echo "What the patch showed:"
grep -av '^progress' "$demo/seen.txt" | iconv -f CP932 -t UTF-8 | sed 's/^/  /'
echo
echo "What changed in C:\\demo\\game (the installed 1.0):"
diff -rq "$root/examples/app-v1" "$demo/game" | sed -e "s|$root/examples/app-v1|1.0|g" -e "s|$demo/game|installed|g" \
    -e 's/^/  /' || true
if diff -r "$root/examples/app-v2" "$demo/game" >/dev/null; then
    echo "The installed game is now exactly examples/app-v2 (1.1)."
else
    echo "The installed game differs from examples/app-v2:" >&2
    diff -rq "$root/examples/app-v2" "$demo/game" >&2 || true
    exit 1
fi
