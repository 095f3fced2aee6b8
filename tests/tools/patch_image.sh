#!/usr/bin/env bash
# The program image: a GUI program for subsystem 4.0 of the expected machine,
# importing by name only KnownDLLs (three system DLLs and the C runtime; the
# common controls are loaded from System32 by path), exactly as long as the
# payload offset.
set -euo pipefail
objdump=$1
exe=$2
format=$3   # pei-i386 or pei-x86-64
fail() { echo "FAIL: $exe: $*" >&2; exit 1; }

[ "$(stat -c %s "$exe")" = 65536 ] || fail "is $(stat -c %s "$exe") bytes, not 65536"
dump=$("$objdump" -p "$exe")
grep -q "file format $format\$" <<<"$dump" || fail "not $format"
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$dump" || fail "not a Windows GUI program"
grep -Eq '^MajorSubsystemVersion[[:space:]]+4$' <<<"$dump" || fail "subsystem major version is not 4"
grep -Eq '^MinorSubsystemVersion[[:space:]]+0$' <<<"$dump" || fail "subsystem minor version is not 0"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] || fail "imports $dlls"
echo "$exe: $format, GUI 4.0, imports ${dlls}65536 bytes"
