#!/usr/bin/env bash
# Signing with the host's mkpatch on the real program: the example patch signed
# with a throw-away certificate (PEM, then PKCS#12 with its password from a
# file and from the environment), verify and list reporting the signature, a
# wrong password, and a signed patch changed afterwards.
#
# Usage: mkpatch_sign.sh MKPATCH PATCH.EXE
set -euo pipefail
mkpatch=$(realpath "$1")
stub=$(realpath "$2")
examples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../examples" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect() {
    local want=$1 rc=0
    shift
    "$mkpatch" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
    [ "$rc" -eq "$want" ] || fail "mkpatch $* exited $rc, not $want: $(cat "$tmp/err")"
}
grep_out() { grep -q -- "$1" "$tmp/out" || fail "'$1' missing in: $(cat "$tmp/out")"; }
grep_err() { grep -q -- "$1" "$tmp/err" || fail "'$1' missing in: $(cat "$tmp/err")"; }

# osslsigncode as mkpatch runs it, its arguments noted on the way.
mkdir "$tmp/bin"
cat >"$tmp/bin/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$@" >>"$tmp/args"
exec $(command -v osslsigncode) "\$@"
EOF
chmod +x "$tmp/bin/osslsigncode"
export PATH="$tmp/bin:$PATH"

cd "$tmp"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Orvane Test Signer" 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.p12 -passout pass:s3cret-pw
printf 's3cret-pw\n' >pass.txt

expect 0 build "$examples/patch.toml" -o plain.exe --stub "$stub"
expect 0 verify plain.exe
grep_out '^not signed$'
expect 0 sign plain.exe -o signed.exe --cert cert.pem --key key.pem
expect 0 verify signed.exe
grep_out '^signed by /CN=Orvane Test Signer: digest matches, chain not trusted (self-signed certificate)$'
grep_out '^trailer: CRC-32 matches; [0-9]* bytes follow it$'
expect 0 list signed.exe
grep_out '^signed.exe: 4 entries, payload [0-9]* bytes, signed$'
grep -qx 'sha256' "$tmp/args" || fail "not signed with SHA-256: $(cat "$tmp/args")"
# The signature covers the level written into the program's manifest.
expect 0 build "$examples/patch.toml" -o user.exe --stub "$stub" --elevation user
expect 0 sign user.exe -o user-signed.exe --cert cert.pem --key key.pem
expect 0 verify user-signed.exe
grep_out '^elevation: user (asInvoker)$'
grep_out '^signed by /CN=Orvane Test Signer: digest matches'


expect 0 sign plain.exe -o p12.exe --pkcs12 cert.p12 --pass-file pass.txt
S3CRET=s3cret-pw expect 0 sign plain.exe -o env.exe --pkcs12 cert.p12 --pass-env S3CRET
expect 0 verify env.exe
grep_out '^signed by /CN=Orvane Test Signer: digest matches'
S3CRET=wrong expect 1 sign plain.exe -o wrong.exe --pkcs12 cert.p12 --pass-env S3CRET
grep_err "osslsigncode could not sign plain.exe"
[ -z "$(ls wrong.exe* 2>/dev/null)" ] || fail "a failed signing left $(ls wrong.exe*)"
grep -q s3cret "$tmp/args" && fail "the password was on a command line"
# Without a trailer, a signature could not be told from bytes appended by damage.
head -c -8 plain.exe >bare.exe
expect 1 sign bare.exe -o bare-signed.exe --cert cert.pem --key key.pem
grep_err "bare.exe has no trailer"

# Any change after signing breaks the signature; a payload byte is also
# found by the payload check.
cp signed.exe changed.exe
printf 'X' | dd of=changed.exe bs=1 seek=$((65536 + 8 + 10)) conv=notrunc status=none
expect 1 verify changed.exe
grep_err "changed.exe: signature broken: the file's digest does not match the signed one"
grep_err "changed.exe: checksum does not match"

echo "mkpatch signing: all checks passed"
