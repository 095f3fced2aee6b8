#!/usr/bin/env bash
# Tries this repository on a new machine, the way a new user would: makes a
# fresh Debian 12 root (debootstrap, variant minbase, plus git, make and
# ca-certificates), clones the checkout's HEAD into /root there, and runs
# `make demo` and then `make test` in it as root, in a chroot. Prints each
# command's exit code, how long it took and the end of its log; exits 0 only
# when both succeeded. Run by hand whenever scripts/setup.sh changes (it takes
# 6 to 16 minutes on two cores); `make test` never runs it.
#
# Usage: scripts/fresh-check.sh [FAULT...]   (as root; `make fresh-check
# FAULTS="FAULT..."` does that)
#
# The new root gets the Debian sources a fresh machine of this kind has: the
# release, its updates and its security suite, from the archives this
# machine uses. Each FAULT gives them one fault of a mirror's bad day, for
# trying the set-up's way around it:
#   unfetchable-i386     an extra entry, i386 only, whose index cannot be
#                        fetched (its Release file names an index that is
#                        not there);
#   security-amd64-only  the security suite's entry fetches amd64 only, so
#                        its i386 index is absent while its amd64 one is
#                        there and newer than the release's: the skew of an
#                        i386 index that failed to download.
#
# Only committed work is checked: the clone is of HEAD. The logs are kept in
# build/fresh-check/ of this checkout; the new root goes in a folder under
# /var/tmp (FRESH_CHECK_DIR to choose another) and is deleted at the end
# unless FRESH_CHECK_KEEP=1.
#
# debootstrap and the chroot's programs run in mount and PID namespaces of
# their own: the mounts they make (the chroot's /proc, /sys, /dev, /tmp...)
# are never seen by, nor left behind on, this machine, and whatever they leave
# running (the tests' Xvfb, wineserver) ends with them, on failure and Ctrl-C
# too.
set -euo pipefail

readonly SUITE=bookworm
readonly INCLUDE=git,make,ca-certificates
readonly TAIL_LINES=15
readonly FAULTS=(unfetchable-i386 security-amd64-only)

say() { printf 'fresh-check: %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: must be run as root" >&2
    exit 1
fi

faults=" "
for fault in "$@"; do
    if [[ " ${FAULTS[*]} " != *" $fault "* ]]; then
        echo "fresh-check: unknown fault '$fault' (known: ${FAULTS[*]})" >&2
        exit 2
    fi
    faults+="$fault "
done

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Run through sudo, git would refuse a checkout that belongs to the user.
git() { command git -c safe.directory='*' "$@"; }
commit=$(git -C "$top" rev-parse HEAD)
if [ -n "$(git -C "$top" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes are not part of the check (it clones HEAD)"
fi

logs=$top/build/fresh-check
mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/*.rc

base=${FRESH_CHECK_DIR:-/var/tmp}
mkdir -p "$base"
work=$(mktemp -d "$base/fresh-check.XXXXXX")
root=$work/root

# Runs a command in new mount and PID namespaces and waits for it. Its mounts
# are private to it and vanish with it; when its first process ends, the
# kernel ends every other one it left. It runs in the background, so that a
# signal reaches the traps at once: unshare itself ignores SIGINT and SIGTERM
# while it waits, and stop_namespaces ends it with SIGKILL, which --kill-child
# passes on to the namespaces' first process. A background command starts
# with SIGINT and SIGQUIT ignored; env gives the command their defaults back,
# as a user's shell would.
ns_pid=
in_namespaces() {
    local rc=0
    unshare --mount --pid --fork --kill-child -- env --default-signal=INT,QUIT "$@" 3>&- &
    ns_pid=$!
    wait "$ns_pid" || rc=$?
    ns_pid=
    return "$rc"
}

# shellcheck disable=SC2317  # called from cleanup, which the traps run
stop_namespaces() {
    [ -n "$ns_pid" ] || return 0
    kill -KILL "$ns_pid" 2>/dev/null || true
    wait "$ns_pid" 2>/dev/null || true
    ns_pid=
}

# shellcheck disable=SC2317  # called from cleanup
# True when anything is mounted at or below $root in this mount namespace.
mounted_below_root() {
    awk -v r="$root" '$5 == r || index($5, r "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# shellcheck disable=SC2317  # run by the traps
# Ends whatever still runs in the namespaces and deletes the new root, never
# across a mount point: should anything be mounted below it here (nothing
# should: see in_namespaces), it is left alone and named.
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    stop_namespaces
    if [ "${FRESH_CHECK_KEEP:-}" = 1 ]; then
        say "the root is kept in $root" >&3
    elif mounted_below_root; then
        say "WARNING: something is still mounted below $root; it is not deleted" >&3
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$rc"
}
# The traps write to fd 3, this script's own stderr: the output of the
# command they interrupt may be going to a log.
exec 3>&2
trap cleanup EXIT
trap 'echo >&3; say "interrupted" >&3; exit 130' INT
trap 'say "terminated" >&3; exit 143' TERM

# shellcheck source=scripts/apt.sh
. "$top/scripts/apt.sh"
apt_init "$work" fresh-check
export DEBIAN_FRONTEND=noninteractive
command -v debootstrap >/dev/null || apt_install debootstrap debootstrap

# The Debian archives this machine installs from, as apt itself sees the
# configured sources (whatever their file format).
archive_of() {
    # shellcheck disable=SC2016  # $(...) are apt's format fields
    apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
        awk -v suite="$1" '$1 == "deb" && $2 == suite && !found { print $3; found = 1 }'
}
mirror=$(archive_of "$SUITE")
security=$(archive_of "$SUITE-security")
if [ -z "$mirror" ]; then
    echo "fresh-check: no apt source for Debian '$SUITE' is configured on this machine" >&2
    exit 1
fi
if [ -z "$security" ] && [[ "$faults" == *" security-amd64-only "* ]]; then
    echo "fresh-check: security-amd64-only needs an apt source for '$SUITE-security' on this machine" >&2
    exit 1
fi

start=$SECONDS
say "making a new Debian $SUITE root in $root from $mirror"
if ! in_namespaces debootstrap --variant=minbase --include="$INCLUDE" \
        "$SUITE" "$root" "$mirror" >"$logs/debootstrap.log" 2>&1; then
    tail -n "$TAIL_LINES" "$logs/debootstrap.log" >&2
    say "debootstrap failed (log: $logs/debootstrap.log)" >&2
    exit 1
fi

# The new root's package sources (see the top of this file), with the faults
# asked for.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
rm -f "$root/etc/apt/sources.list"
{
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: %s\n' \
        "$mirror" "$SUITE" "$SUITE" "$keyring"
    if [ -n "$security" ]; then
        printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\nSigned-By: %s\n' \
            "$security" "$SUITE" "$keyring"
        [[ "$faults" != *" security-amd64-only "* ]] || echo "Architectures: amd64"
    fi
    if [[ "$faults" == *" unfetchable-i386 "* ]]; then
        printf '\nTypes: deb\nURIs: file:/srv/unfetchable\nSuites: unfetchable\nComponents: main\nArchitectures: i386\nTrusted: yes\n'
    fi
} >"$root/etc/apt/sources.list.d/debian.sources"
if [[ "$faults" == *" unfetchable-i386 "* ]]; then
    mkdir -p "$root/srv/unfetchable/dists/unfetchable"
    printf '%s\n' 'Suite: unfetchable' 'Codename: unfetchable' 'Architectures: i386' 'Components: main' \
        "Date: $(date -uR)" 'SHA256:' \
        " $(printf '%064d' 0) 1234 main/binary-i386/Packages" \
        >"$root/srv/unfetchable/dists/unfetchable/Release"
fi
faults_named=${faults# }
faults_named=${faults_named% }
say "package sources: $SUITE, $SUITE-updates${security:+, $SUITE-security}; faults: ${faults_named:-none}"

dir=/root/$(basename "$top")
say "cloning $commit into $dir"
git clone -q --no-hardlinks "$top" "$root$dir"
git -C "$root$dir" checkout -q --detach "$commit"

# Runs in new namespaces (see in_namespaces): mounts what a booted machine
# has, then runs each command in the chroot as a root login shell
# would, with its output in $logs/NAME.log and "EXIT-CODE SECONDS" in
# $logs/NAME.rc. binfmt_misc is mounted where the kernel has it, as systemd
# does at boot (setup.sh registers a 32-bit loader there where needed).
# shellcheck disable=SC2016  # expanded by the inner shell
inner='
set -eu
root=$1 dir=$2 logs=$3
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount -t tmpfs -o mode=755 tmpfs "$root/run"
if grep -qw binfmt_misc /proc/filesystems; then
    mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc"
fi
for name in demo test; do
    echo "fresh-check: make $name: running (log: $logs/$name.log)"
    began=$SECONDS rc=0
    chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM=dumb /bin/bash -lc "cd $dir && make $name" \
        </dev/null >"$logs/$name.log" 2>&1 || rc=$?
    echo "$rc $((SECONDS - began))" >"$logs/$name.rc"
done
'
in_namespaces bash -c "$inner" inner "$root" "$dir" "$logs"

failed=0
for name in demo test; do
    rc=none seconds=0
    read -r rc seconds 2>/dev/null <"$logs/$name.rc" || true
    echo
    say "make $name: exit code $rc after $((seconds / 60)) min $((seconds % 60)) s; its log ends:"
    tail -n "$TAIL_LINES" "$logs/$name.log" 2>/dev/null | sed 's/^/  | /'
    [ "$rc" = 0 ] || failed=1
done
total=$((SECONDS - start))
echo
say "total $((total / 60)) min $((total % 60)) s (logs: $logs)"
exit "$failed"
