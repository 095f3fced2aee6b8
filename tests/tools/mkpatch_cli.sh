#!/usr/bin/env bash
# The mkpatch command line: build, list, verify, extract and diff on real
# files, the stub lookup, and the exit codes and messages of its faults.
set -euo pipefail
mkpatch=$(realpath "$1")
examples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../examples" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs mkpatch expecting exit code $1; its stderr lands in $tmp/err.
expect() {
    local want=$1 rc=0
    shift
    "$mkpatch" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
    [ "$rc" -eq "$want" ] || fail "mkpatch $* exited $rc, not $want: $(cat "$tmp/err")"
}
grep_err() { grep -q -- "$1" "$tmp/err" || fail "message '$1' missing in: $(cat "$tmp/err")"; }
grep_out() { grep -q -- "$1" "$tmp/out" || fail "'$1' missing in: $(cat "$tmp/out")"; }

for sub in build sign list verify extract diff; do
    expect 0 "$sub" --help
    grep -q "Usage: mkpatch $sub" "$tmp/out" || fail "$sub --help"
done
expect 2 build
grep_err "MANIFEST is required"
expect 2 frobnicate

# A stand-in for the patch program: any image of at most 65536 bytes that
# holds the manifest's level field.
level='<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>'
printf 'MZ stub %s' "$level" >"$tmp/stub.exe"
mkdir -p "$tmp/demo"
expect 0 build "$examples/patch.toml" -o "$tmp/demo/ORVANE11.EXE" --stub "$tmp/stub.exe"
[ "$(head -c 7 "$tmp/demo/ORVANE11.EXE")" = "MZ stub" ] || fail "the image does not start the patch"
[ "$(od -An -tx1 -j65536 -N4 "$tmp/demo/ORVANE11.EXE" | tr -d ' ')" = 00000004 ] || fail "entry count at 65536"
expect 0 verify "$tmp/demo/ORVANE11.EXE"
grep -q '^trailer: CRC-32 matches$' "$tmp/out" || fail "verify: $(cat "$tmp/out")"
# The trailer: the magic and the CRC-32 of the payload before it, as zlib has it.
python3 -c 'import sys, zlib
d = open(sys.argv[1], "rb").read()
sys.exit(d[-8:] != b"PTCK" + zlib.crc32(d[65536:-8]).to_bytes(4, "big"))' "$tmp/demo/ORVANE11.EXE" ||
    fail "the trailer is not the payload's CRC-32"
# What follows the trailer (a signature) is left alone; without a trailer it is a fault.
cat "$tmp/demo/ORVANE11.EXE" <(head -c 1506 /dev/zero) >"$tmp/tail.exe"
expect 0 verify "$tmp/tail.exe"
grep -q '^trailer: CRC-32 matches; 1506 bytes follow it$' "$tmp/out" || fail "verify: $(cat "$tmp/out")"
size=$(stat -c %s "$tmp/demo/ORVANE11.EXE")
head -c $((size - 8)) "$tmp/demo/ORVANE11.EXE" >"$tmp/bare.exe"
expect 0 verify "$tmp/bare.exe"
grep -q '^no trailer: structure checked only$' "$tmp/out" || fail "verify: $(cat "$tmp/out")"
cat "$tmp/bare.exe" <(head -c 1506 /dev/zero) >"$tmp/bare-tail.exe"
expect 1 verify "$tmp/bare-tail.exe"
grep_err "bytes follow the last entry (1506 bytes that are no trailer)"
expect 0 list "$tmp/tail.exe"
grep -q '^  Orvane をバージョン 1.1 に更新します。$' "$tmp/out" || fail "list: question: $(cat "$tmp/out")"
grep -q '^  よろしいですか？$' "$tmp/out" || fail "list: second line of the question"
grep -Eq '^ +3  delete +- +- +[0-9]+  %HKCR\\Software\\Orvane\\Game%Path%  NOTES.TXT$' "$tmp/out" ||
    fail "list: the delete entry: $(cat "$tmp/out")"
grep -q '^%HKCR\\ reads HKEY_CURRENT_USER.$' "$tmp/out" || fail "list: the note on %HKCR\\"
# README.TXT beside the patch, in code page 932 with CR LF.
iconv -f CP932 -t UTF-8 "$tmp/demo/README.TXT" | tr -d '\r' | cmp -s - "$examples/README.TXT" ||
    fail "README.TXT is not the example's text in code page 932"
[ "$(head -n 1 "$tmp/demo/README.TXT" | od -An -c | tr -d ' \n' | tail -c 4)" = '\r\n' ] || fail "README.TXT line ends"

# The stub lookup from the tool's own place: build/PRESET/bin -> build/win32/bin.
mkdir -p "$tmp/tree/native/bin"
cp "$mkpatch" "$tmp/tree/native/bin/mkpatch"
if "$tmp/tree/native/bin/mkpatch" build "$examples/patch.toml" -o "$tmp/x.exe" >/dev/null 2>"$tmp/err"; then
    fail "built without a stub"
fi
grep_err "no patch program to build on: build it (cmake --preset win32 && cmake --build --preset win32)"
grep_err "$tmp/tree/win32/bin/patch.exe"
[ ! -e "$tmp/x.exe" ] || fail "a patch was written without a stub"
mkdir -p "$tmp/tree/win32/bin"
cp "$tmp/stub.exe" "$tmp/tree/win32/bin/patch.exe"
"$tmp/tree/native/bin/mkpatch" build "$examples/patch.toml" -o "$tmp/x.exe" >"$tmp/out" 2>"$tmp/err" ||
    fail "the stub of the build tree was not found"
grep -q "^program: $tmp/tree/win32/bin/patch.exe ($(stat -c %s "$tmp/stub.exe") bytes, from the build tree)" "$tmp/out" ||
    fail "stub line: $(cat "$tmp/out")"

# Stubs that cannot be a patch's image.
head -c 65537 /dev/zero | sed 's/^\x00\x00/MZ/' >"$tmp/big.exe"
expect 1 build "$examples/patch.toml" -o "$tmp/y.exe" --stub "$tmp/big.exe"
grep_err "big.exe is 65537 bytes, more than the 65536-byte program image"
printf 'ELF' >"$tmp/elf.exe"
expect 1 build "$examples/patch.toml" -o "$tmp/y.exe" --stub "$tmp/elf.exe"
grep_err "elf.exe is not a Windows program (it does not start with MZ)"
# A manifest without the level field has nowhere to write one.
printf 'MZ stub <assembly xmlns="urn:schemas-microsoft-com:asm.v1"/>' >"$tmp/no-level.exe"
expect 1 build "$examples/patch.toml" -o "$tmp/y.exe" --stub "$tmp/no-level.exe"
grep_err "the program's manifest has no requestedExecutionLevel field to write the elevation in"
[ ! -e "$tmp/y.exe" ] || fail "a patch was written from a bad stub"

# A bare program, without a manifest: built as it is, with a warning of what
# Windows makes of it, unless a level is asked for, which has nowhere to go.
printf 'MZ stub' >"$tmp/bare-stub.exe"
expect 1 build "$examples/patch.toml" -o "$tmp/y.exe" --stub "$tmp/bare-stub.exe" --elevation user
grep_err "the program's manifest has no requestedExecutionLevel field to write the elevation in"
[ ! -e "$tmp/y.exe" ] || fail "a patch was written without the level asked for"
expect 0 build "$examples/patch.toml" -o "$tmp/y.exe" --stub "$tmp/bare-stub.exe"
grep_err "warning: the program has no manifest, so the patch carries none: .*UAC's installer detection.*UAC virtualization"
grep -q "elevation" "$tmp/out" && fail "build claims a level for a bare program: $(cat "$tmp/out")"
[ "$(head -c 65536 "$tmp/y.exe" | tr -d '\0')" = "MZ stub" ] || fail "the bare program's image changed"
for sub in list verify; do
    expect 0 "$sub" "$tmp/y.exe"
    grep_out '^elevation: none (no manifest)$'
done
expect 1 build "$examples/patch.toml" -o "$tmp/nowhere/y.exe" --stub "$tmp/stub.exe"
grep_err "y.exe: the folder $tmp/nowhere does not exist"

# A manifest with faults: every one named with its line, nothing written.
mkdir -p "$tmp/bad"
cat >"$tmp/bad/patch.toml" <<'TOML'
question = "ソフトを更新しますか"
dest = '%HKCR\Software\Orvane'

[[entry]]
action = "write"
name = "A.DAT"
source = "missing.dat"
TOML
expect 1 build "$tmp/bad/patch.toml" -o "$tmp/bad/out.exe" --stub "$tmp/stub.exe"
grep_err "bad/patch.toml:1: error: question: 'ソ' (U+30BD) is 0x83 0x5C in code page 932"
grep_err "bad/patch.toml:2: error: dest: the registry form needs a '%' after the subkey"
grep_err "bad/patch.toml:7: error: entry 1: source: $tmp/bad/missing.dat: no such file"
grep_err "3 errors, no patch written"
[ -z "$(ls "$tmp/bad" | grep -v patch.toml)" ] || fail "files left behind: $(ls "$tmp/bad")"

# verify: a small patch cut at every byte of its payload (its entries, then
# its trailer), a damaged sync word.
cat >"$tmp/small.toml" <<'TOML'
question = "Q"
dest = 'C:\GAME'
[[entry]]
action = "write"
name = "A.TXT"
source = "small.toml"
[[entry]]
action = "delete"
name = "B.TXT"
TOML
expect 0 build "$tmp/small.toml" -o "$tmp/small.exe" --stub "$tmp/stub.exe"
size=$(stat -c %s "$tmp/small.exe")
for ((cut = 65536; cut < size; cut++)); do
    [ "$cut" -ne $((size - 8)) ] || continue  # all entries, no trailer: verified above
    head -c "$cut" "$tmp/small.exe" >"$tmp/cut.exe"
    expect 1 verify "$tmp/cut.exe"
    if ((cut < size - 8)); then
        pattern="(entry [12]: |no patch data|header cut short|question runs past)"
    else
        pattern="bytes follow the last entry \\($((cut - size + 8)) bytes that are no trailer\\)"
    fi
    grep -Eq "^mkpatch: $tmp/cut.exe: $pattern" "$tmp/err" || fail "cut at $cut: $(cat "$tmp/err")"
done
cp "$tmp/small.exe" "$tmp/sync.exe"
# Entry 1's blob starts after the header (8), the question (1) and its length (4);
# its first sync word follows the stream's 6-byte head.
printf '\x00' | dd of="$tmp/sync.exe" bs=1 seek=$((65536 + 8 + 1 + 4 + 6)) conv=notrunc status=none
expect 1 verify "$tmp/sync.exe"
grep_err "entry 1, block 1: block out of sync"
expect 1 verify "$tmp/stub.exe"
grep_err "the file is $(stat -c %s "$tmp/stub.exe") bytes, shorter than the 65536-byte program image"

# diff, build, extract: the NEW tree's new and changed files come back.
mkdir -p "$tmp/old/data" "$tmp/new/data" "$tmp/m"
printf 'same' | tee "$tmp/old/same.txt" >"$tmp/new/same.txt"
printf 'v1' >"$tmp/old/data/level.dat"
head -c 100000 /dev/urandom >"$tmp/new/data/level.dat"
printf 'new' >"$tmp/new/data/ソフト.txt"
printf 'gone' >"$tmp/old/gone.txt"
expect 0 diff "$tmp/old" "$tmp/new" --dest 'C:\Games\Test' -o "$tmp/m/patch.toml" --no-delta
grep -q "^source = '../new/data/level.dat'$" "$tmp/m/patch.toml" || fail "sources: $(cat "$tmp/m/patch.toml")"
grep -q '^action = "patch"$' "$tmp/m/patch.toml" && fail "--no-delta wrote a patch entry: $(cat "$tmp/m/patch.toml")"
expect 0 build "$tmp/m/patch.toml" -o "$tmp/m/p.exe" --stub "$tmp/stub.exe" -1
expect 0 extract "$tmp/m/p.exe" "$tmp/got"
grep -q '^not extracted, a delete entry: gone.txt  (in C:\\Games\\Test)$' "$tmp/out" ||
    fail "extract: $(cat "$tmp/out")"
(cd "$tmp/got" && find . -type f | sort) >"$tmp/got.list"
printf './data/level.dat\n./data/ソフト.txt\n' | cmp -s - "$tmp/got.list" || fail "extracted: $(cat "$tmp/got.list")"
cmp -s "$tmp/got/data/level.dat" "$tmp/new/data/level.dat" || fail "level.dat differs"
cmp -s "$tmp/got/data/ソフト.txt" "$tmp/new/data/ソフト.txt" || fail "ソフト.txt differs"
expect 1 extract "$tmp/m/p.exe" "$tmp/got"
grep_err "got/data/level.dat exists already (use --force to overwrite)"
expect 0 extract "$tmp/m/p.exe" "$tmp/got" --force
# A fault found only after every entry has been decoded (the trailer's CRC)
# leaves no file behind, nor the folder made for them.
cp "$tmp/m/p.exe" "$tmp/m/bad.exe"
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[-1] ^= 0xFF
open(sys.argv[1], "wb").write(d)' "$tmp/m/bad.exe"
expect 1 extract "$tmp/m/bad.exe" "$tmp/bad-got"
grep_err "checksum does not match"
[ ! -e "$tmp/bad-got" ] || fail "a bad patch left $(find "$tmp/bad-got")"

# Patch entries: diff makes one for a changed file, extract --old rebuilds the
# new file from the old tree, and an old tree of another version is refused
# by name, with nothing written.
mkdir -p "$tmp/dold/data" "$tmp/dnew/data" "$tmp/dm"
head -c 200000 "$mkpatch" >"$tmp/dold/data/level.dat"
{ head -c 70000 "$mkpatch"; printf 'a change'; tail -c +70001 "$tmp/dold/data/level.dat"; } >"$tmp/dnew/data/level.dat"
printf 'gone' >"$tmp/dold/gone.txt"
expect 0 diff "$tmp/dold" "$tmp/dnew" --dest 'C:\Games\Test' -o "$tmp/dm/patch.toml"
grep_out "1 patch entry"
grep -q "^old = '../dold/data/level.dat'$" "$tmp/dm/patch.toml" || fail "diff: $(cat "$tmp/dm/patch.toml")"
for level in -1 -9; do
    expect 0 build "$tmp/dm/patch.toml" -o "$tmp/dm/p$level.exe" --stub "$tmp/stub.exe" $level
    grep -Eq '^ +1  patch   data\\level.dat  200008 bytes from 200000, delta [0-9]+, blob [0-9]+$' "$tmp/out" ||
        fail "build $level: $(cat "$tmp/out")"
    expect 0 list "$tmp/dm/p$level.exe"
    grep -Eq '^ +1  patch +200008 +200000 +[0-9]+  C:\\Games\\Test +data\\level.dat$' "$tmp/out" ||
        fail "list $level: $(cat "$tmp/out")"
    expect 0 verify "$tmp/dm/p$level.exe"
    # Eight new bytes are left plain: nothing but the CRC-32 wants the old file.
    grep_out '^entry 1: delta sound, makes 200008 bytes (its CRC-32 needs --old)$'
    expect 0 extract "$tmp/dm/p$level.exe" "$tmp/dgot$level" --old "$tmp/dold"
    cmp -s "$tmp/dgot$level/data/level.dat" "$tmp/dnew/data/level.dat" || fail "extract --old ($level): level.dat differs"
done
[ "$(stat -c %s "$tmp/dm/p-9.exe")" -lt $((65536 + 2000)) ] || fail "the delta gains nothing from the old file"
expect 0 verify "$tmp/dm/p-9.exe" --old "$tmp/dold"
grep_out "^entry 1: rebuilt from $tmp/dold/data/level.dat: 200008 bytes, CRC-32 matches$"
expect 1 extract "$tmp/dm/p-9.exe" "$tmp/dnone"
grep_err "entry 1 (data\\\\level.dat) is a patch entry, rebuilt from the file it changes: give --old DIR"
[ ! -e "$tmp/dnone" ] || fail "extract without --old left $(find "$tmp/dnone")"
cp -r "$tmp/dold" "$tmp/dother"
printf 'X' | dd of="$tmp/dother/data/level.dat" bs=1 seek=5 conv=notrunc status=none
for sub in "extract $tmp/dm/p-9.exe $tmp/dwrong" "verify $tmp/dm/p-9.exe"; do
    expect 1 $sub --old "$tmp/dother"
    grep_err "entry 1 (data\\\\level.dat): $tmp/dother/data/level.dat has the CRC-32 0x[0-9A-F]*, not the version the patch is for"
done
[ ! -e "$tmp/dwrong" ] || fail "extract from the wrong old tree left $(find "$tmp/dwrong")"

# diff refuses files in a folder the patch would have to make.
mkdir -p "$tmp/new/maps"
printf 'm' >"$tmp/new/maps/m.map"
expect 1 diff "$tmp/old" "$tmp/new" --dest 'C:\Games\Test' -o "$tmp/m/patch2.toml"
grep_err "NEW has the folder 'maps', which OLD lacks: the patch cannot create folders"
[ ! -e "$tmp/m/patch2.toml" ] || fail "diff wrote a manifest despite the error"

# The elevation, written in place in the image, which keeps its length; list
# and verify say it. Without --elevation it is user when every destination
# reads HKCU, which build says, and admin otherwise; an admin patch that reads
# HKCU is warned of.
expect 0 build "$examples/patch.toml" -o "$tmp/demo/default.exe" --stub "$tmp/stub.exe"
grep_out '^elevation: user (asInvoker), the default when every destination reads HKEY_CURRENT_USER$'
[ ! -s "$tmp/err" ] || fail "the default user patch was warned of: $(cat "$tmp/err")"
expect 0 list "$tmp/demo/default.exe"
grep_out '^elevation: user (asInvoker)$'
expect 0 list "$tmp/small.exe"
grep_out '^elevation: admin (requireAdministrator)$'
{ cat "$tmp/small.toml"; echo "dest = '%HKCR\Software\Orvane\Game%Path%'"; } >"$tmp/mixed.toml"
expect 0 build "$tmp/mixed.toml" -o "$tmp/mixed.exe" --stub "$tmp/stub.exe"
grep -q "elevation" "$tmp/out" && fail "build claims a default user patch: $(cat "$tmp/out")"
grep_err 'warning: the patch asks for administrator rights'
expect 0 verify "$tmp/mixed.exe"
grep_out '^elevation: admin (requireAdministrator)$'
expect 0 build "$examples/patch.toml" -o "$tmp/demo/user.exe" --stub "$tmp/stub.exe" --elevation user
grep -q 'warning: the patch asks for administrator rights' "$tmp/err" && fail "a user patch was warned of: $(cat "$tmp/err")"
grep -q "the default" "$tmp/out" && fail "an asked level was called the default: $(cat "$tmp/out")"
expect 0 verify "$tmp/demo/user.exe"
grep_out '^elevation: user (asInvoker)$'
[ "$(head -c 65536 "$tmp/demo/user.exe" | grep -c 'level="asInvoker"            uiAccess=')" = 1 ] ||
    fail "the level is not written in place"
[ "$(stat -c %s "$tmp/demo/user.exe")" = "$(stat -c %s "$tmp/demo/ORVANE11.EXE")" ] || fail "the length changed"
expect 0 build "$examples/patch.toml" -o "$tmp/demo/admin.exe" --stub "$tmp/stub.exe" --elevation admin
grep_err 'warning: the patch asks for administrator rights (--elevation admin) and reads its destination from HKEY_CURRENT_USER'
expect 2 build "$examples/patch.toml" -o "$tmp/demo/x.exe" --stub "$tmp/stub.exe" --elevation root

# Reproducible: the same manifest, files and program give the same bytes on
# every run, whatever the number of threads that code the blocks.
mkdir -p "$tmp/repro"
head -c 300000 "$mkpatch" >"$tmp/repro/big.bin"
head -c 250000 "$mkpatch" | tail -c 200000 >"$tmp/repro/old.bin"
printf 'question = "Q"\ndest = "C:\\\\G"\n[[entry]]\naction = "write"\nname = "BIG.BIN"\nsource = "big.bin"\n' \
    >"$tmp/repro/patch.toml"
printf '[[entry]]\naction = "patch"\nname = "NEW.BIN"\nsource = "big.bin"\nold = "old.bin"\n' >>"$tmp/repro/patch.toml"
run=0
for threads in 2 2 1 5; do
    run=$((run + 1))
    expect 0 build "$tmp/repro/patch.toml" -o "$tmp/repro/run$run.exe" --stub "$tmp/stub.exe" --threads "$threads"
    cmp -s "$tmp/repro/run1.exe" "$tmp/repro/run$run.exe" || fail "run $run (--threads $threads) gives other bytes"
done
expect 2 build "$tmp/repro/patch.toml" -o "$tmp/repro/t0.exe" --stub "$tmp/stub.exe" --threads 0

echo "mkpatch command line: all checks passed"
