#!/usr/bin/env bash
# The project's one way to install Debian packages: scripts/setup.sh,
# scripts/fresh-check.sh and the Makefile all go through it.
#
#   bash scripts/apt.sh STAGE PACKAGE...   (as root) installs what is missing
#
# or, sourced: apt_init DIR WHO, then apt_install STAGE PACKAGE...,
# apt_get_install STAGE DEB-FILE... and apt_download SUITE PACKAGE DIR. DIR
# is the caller's scratch folder (it deletes it), WHO the name that the
# messages start with.
#
# Debian's mirrors have bad days: an index that fails to download ("File has
# unexpected size ... Mirror sync in progress?"), sometimes for half an hour.
# So the package lists are refreshed with retries, and when an index still
# fails the install goes on with the lists apt has. A suite whose i386 index
# is missing while its amd64 one is there would then offer amd64 libraries
# newer than any i386 build of them, and apt refuses to mix two versions of a
# Multi-Arch: same library; for the install, such a suite is pinned below
# the others (a throw-away preferences folder: the machine's apt
# configuration is never changed), so that both architectures come from one
# suite. A package that still cannot be had is one message naming it and the
# index behind it; apt's whole log is kept for reading.

# Pauses between the tries of `apt-get update`, in seconds: four tries in all.
readonly APT_PAUSES=(5 15 40)
readonly APT_KEPT_LOG=/tmp/orvane-apt.log

apt_init() {
    apt_dir=$1 apt_who=$2
    apt_log=$apt_dir/apt.log
    apt_lists_updated=
    apt_failed=() apt_failed_names=
    apt_pin_dir=
}

apt_say() { printf '%s: %s\n' "$apt_who" "$*"; }

# Prints those of the given packages that are not installed.
apt_missing() {
    local p
    for p in "$@"; do
        [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" = "ii " ] || echo "$p"
    done
}

# An index as a person reads it, without the mirror's address: apt's
# "URI SUITE/COMPONENT ARCH Packages" less its first word.
apt_index_name() { printf '%s\n' "${1#* }"; }

# apt_update APT-COMMAND...: `APT-COMMAND update --error-on=any`, tried again
# while it fails, each retry naming what failed. Leaves in apt_failed the
# descriptions of the indexes that failed on the last try, and in
# apt_failed_names what failed as a person reads it; returns 1 when that try
# failed too.
apt_update() {
    local try=1 tries=$((${#APT_PAUSES[@]} + 1)) line reason names
    while :; do
        apt_failed=() apt_failed_names=
        if "$@" update --error-on=any >"$apt_log" 2>&1; then
            return 0
        fi
        # apt reports each failed download as "Err:N URI WHAT", its reason on
        # the next line; the reason's own "[IP: ...]" is the mirror's address.
        while IFS= read -r line; do
            apt_failed+=("$line")
        done < <(sed -n 's/^Err:[0-9]* \(.*[^ ]\) *$/\1/p' "$apt_log")
        reason=$(grep -A1 -m1 -E '^Err:[0-9]+ ' "$apt_log" | sed -n '2{s/^ *//; s/ *\[IP: [^]]*\]//; p}')
        names=
        for line in "${apt_failed[@]}"; do
            names+="${names:+, }$(apt_index_name "$line")"
        done
        [ -n "$names" ] || names="the package lists (apt: $(grep -m1 '^E: ' "$apt_log" | sed 's|[a-z]*://[^ ]*|the mirror|g'))"
        apt_failed_names=$names
        if ((try == tries)); then
            return 1
        fi
        apt_say "apt-get update: $names failed${reason:+ ($reason)}; try $((try + 1)) of $tries in ${APT_PAUSES[try - 1]} s"
        sleep "${APT_PAUSES[try - 1]}"
        try=$((try + 1))
    done
}

# The suites that offer packages of one of this machine's architectures but
# have no index for another one it uses, either because that index failed to
# download (apt_failed) or because the sources do not fetch it while the
# suite's Release file says it publishes it. Prints "PIN|SUITE|INDEX" lines:
# the preferences' release filter of the suite, its name and the missing
# index's name.
apt_skewed_suites() {
    local archs site release comp arch codename origin label file published pin
    archs=$(dpkg --print-architecture; dpkg --print-foreign-architectures)
    printf '%s\n' "${apt_failed[@]}" >"$apt_dir/failed"
    # With its release information, apt lists only the indexes it has.
    # shellcheck disable=SC2016  # $(...) are apt's format fields
    apt-get indextargets --format '$(SITE)|$(RELEASE)|$(COMPONENT)|$(ARCHITECTURE)|$(CODENAME)|$(ORIGIN)|$(LABEL)|$(FILENAME)|$(DESCRIPTION)' \
        'Identifier: Packages' >"$apt_dir/present" || return 1
    while IFS='|' read -r site release comp arch codename origin label file; do
        # The suite's Release file sits beside its index lists.
        file=${file%_binary-*}
        file=${file%_"${comp//\//_}"}
        published=$(sed -n 's/^Architectures: //p' "${file}_InRelease" "${file}_Release" 2>/dev/null | head -n1)
        [ -z "$published" ] || [[ " $published " == *" $arch "* ]] || continue
        pin="n=${codename:-$release}"
        case "$origin" in *[\ ,]* | "") ;; *) pin="o=$origin,$pin" ;; esac
        case "$label" in *[\ ,]* | "") ;; *) pin="l=$label,$pin" ;; esac
        printf '%s|%s|%s\n' "$pin" "$release" "$release/$comp $arch Packages"
    done < <(awk -F'|' -v archs="${archs//$'\n'/ }" '
        FNR == NR { failed[$0] = 1; next }
        $1 == "" || $9 in failed { next }
        {
            key = $1 "|" $2 "|" $3
            has[key, $4] = 1
            if (!(key in first)) { first[key] = $0; order[++n] = key }
        }
        END {
            na = split(archs, arch, " ")
            for (i = 1; i <= n; i++) {
                split(first[order[i]], f, "|")
                for (j = 1; j <= na; j++)
                    if (!has[order[i], arch[j]])
                        print f[1] "|" f[2] "|" f[3] "|" arch[j] "|" f[5] "|" f[6] "|" f[7] "|" f[8]
            }
        }' "$apt_dir/failed" "$apt_dir/present")
}

# Writes the install's preferences folder: the machine's own preferences and
# a pin of each skewed suite below the others. Leaves apt_pin_dir empty when
# nothing needs pinning. Says in one line what the install goes on without.
apt_prepare_pins() {
    local skew pin suite index pins=() suites= missing=
    skew=$(apt_skewed_suites) || return 1
    apt_pin_dir=
    while IFS='|' read -r pin suite index; do
        [ -n "$pin" ] || continue
        if [[ " ${pins[*]} " != *" $pin "* ]]; then
            pins+=("$pin")
            suites+="${suites:+, }$suite"
        fi
        missing+="${missing:+, }$index"
    done <<<"$skew"
    local held="$suites held below the other suites for this install, so that every architecture's packages come from one suite"
    if [ -n "$apt_failed_names" ]; then
        apt_say "apt-get update: going on without $apt_failed_names, with the lists apt has${suites:+; $held}"
    elif [ -n "$suites" ]; then
        apt_say "apt: this machine fetches no $missing; $held"
    fi
    [ ${#pins[@]} -gt 0 ] || return 0
    apt_pin_dir=$apt_dir/preferences.d
    mkdir -p "$apt_pin_dir"
    cp -p /etc/apt/preferences.d/* "$apt_pin_dir"/ 2>/dev/null || true
    for pin in "${pins[@]}"; do
        printf 'Package: *\nPin: release %s\nPin-Priority: 100\n\n' "$pin"
    done >"$apt_pin_dir/zz-orvane-setup.pref"
}

# The package behind a failed install and why, from apt's log $1 of
# running the apt command $2...: an unmet dependency that apt gives a version
# for ("but 1.2-3 is to be installed") is the answer; the others are tried
# alone, in simulated installs, and the first that fails is followed down,
# until a package cannot be had at all or fails for the packages around it
# rather than for its own dependencies. Prints "PACKAGE|WHY".
apt_culprit() {
    local log=$1 depth=0 target= line pkg dep rest arch deps first next
    shift
    local apt=("$@")
    while ((depth < 8)); do
        if line=$(grep -m1 -oE "^E: Unable to locate package [^ ]+" "$log"); then
            printf '%s|no package list here names it\n' "${line##* }"
            return
        fi
        if line=$(grep -m1 -oE "^E: Package '[^']+' has no installation candidate" "$log"); then
            pkg=${line#*\'}
            printf '%s|no package list here has a version of it\n' "${pkg%%\'*}"
            return
        fi
        # "PKG|DEP (CONSTRAINT) but REASON", a line a dependency: apt names
        # PKG on the first of its lines only.
        deps=$(sed -n '/^The following packages have unmet dependencies:/,/^E:/p' "$log" |
               awk '/^ [^ ].* : / { pkg = $1; sub(/^ [^ ]+ : +/, "") }
                    { sub(/^ +/, "") }
                    /^(Pre-)?Depends: / { sub(/^[^ ]+ /, ""); print pkg "|" $0 }')
        [ -n "$deps" ] || break
        if [ -n "$target" ] && ! grep -q "^${target//./\\.}|" <<<"$deps"; then
            printf '%s|it cannot be installed beside the installed packages (%s)\n' "$target" \
                "$(head -n1 <<<"$deps" | sed 's/|/ needs /')"
            return
        fi
        first= next=
        while IFS='|' read -r pkg rest; do
            dep=${rest%% *} arch=
            [[ "$pkg" == *:* && "$dep" != *:* ]] && arch=:${pkg##*:}
            line="$dep$arch|$pkg needs $rest"
            first=${first:-$line}
            if [[ "$rest" == *" is to be installed"* && "$rest" != *"it is not going to be installed"* ]]; then
                printf '%s\n' "$line"
                return
            fi
            if [ -z "$next" ] && ! "${apt[@]}" -s install "$dep$arch" >"$log.$depth" 2>&1; then
                next=$dep$arch
            fi
        done <<<"$deps"
        if [ -z "$next" ]; then
            printf '%s\n' "$first"
            return
        fi
        "${apt[@]}" -s install "$next" >"$log.$depth" 2>&1 || true
        log=$log.$depth target=$next
        depth=$((depth + 1))
    done
    printf '|%s\n' "$(grep -m1 '^E: ' "$log" | sed 's/^E: //; s|[a-z]*://[^ ]*|the mirror|g')"
}

# The index behind package $1: the missing index of its architecture, if
# there is one, else the index apt takes its candidate from; nothing when
# there is neither.
apt_index_behind() {
    local pkg=$1 arch line
    arch=${pkg##*:}
    [ "$arch" != "$pkg" ] || arch=$(dpkg --print-architecture)
    for line in "${apt_failed[@]}"; do
        [[ "$line" == *" $arch Packages" ]] && { echo "$(apt_index_name "$line"), which could not be downloaded"; return; }
    done
    line=$(apt_skewed_suites 2>/dev/null | awk -F'|' -v a=" $arch Packages" 'index($3, a) { print $3; exit }')
    [ -z "$line" ] || { echo "$line, which this machine does not fetch"; return; }
    line=$(apt-cache policy "$pkg" 2>/dev/null | awk '/^ *[0-9]+ [a-z]+:\/\// { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }')
    [ -z "$line" ] || echo "$line"
}

# apt_install STAGE PACKAGE...: installs whichever of the packages are
# missing.
apt_install() {
    local stage=$1 todo
    shift
    todo=$(apt_missing "$@")
    if [ -z "$todo" ]; then
        apt_say "$stage: already installed"
        return 0
    fi
    apt_say "$stage: installing ${todo//$'\n'/ }"
    # shellcheck disable=SC2086  # one word per package
    apt_get_install "$stage" $todo
}

# apt_get_install STAGE WHAT...: `apt-get install WHAT...` (package names or
# .deb files), its output in the log. The package lists are refreshed once
# per run, and only when something has to be installed.
apt_get_install() {
    local stage=$1
    shift
    if [ -z "$apt_lists_updated" ]; then
        apt_update apt-get -q || true
        apt_lists_updated=1
        apt_prepare_pins || return 1
    fi
    local apt=(apt-get -q -y -o Dpkg::Use-Pty=0)
    [ -z "$apt_pin_dir" ] || apt+=(-o Dir::Etc::PreferencesParts="$apt_pin_dir")
    if "${apt[@]}" install "$@" >"$apt_log" 2>&1; then
        return 0
    fi
    local culprit pkg why index
    culprit=$(apt_culprit "$apt_log" "${apt[@]}") || true
    pkg=${culprit%%|*} why=${culprit#*|}
    cp "$apt_log" "$APT_KEPT_LOG"
    if [ -n "$pkg" ]; then
        index=$(apt_index_behind "$pkg")
        apt_say "$stage: cannot install $pkg: $why${index:+; the index behind it: $index} (apt's log: $APT_KEPT_LOG)" >&2
    else
        apt_say "$stage: apt-get install failed: $why (apt's log: $APT_KEPT_LOG)" >&2
    fi
    return 1
}

# apt_download SUITE PACKAGE DIR: downloads PACKAGE (amd64) of the Debian
# suite SUITE into DIR: a suite this machine's apt sources do not name, such
# as the next release or backports. A throw-away apt configuration (own
# sources list, package lists and cache) points at the same Debian archive
# the machine uses, so the machine's apt sources and state stay as they are;
# its archive keyring already trusts the other suites' signing keys. Called
# in a condition, so every step checks its own status.
apt_download() {
    local suite=$1 package=$2 dir=$3 codename mirror
    local conf=$apt_dir/apt-$suite
    # Its lists are its own: what failed here says nothing of the machine's.
    local apt_failed=() apt_failed_names=
    codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
    # apt's own view of the configured sources, whatever their file format.
    # shellcheck disable=SC2016  # $(...) are apt's format fields
    mirror=$(apt-get indextargets --no-release-info \
                 --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
             awk -v suite="$codename" '$1 == "deb" && $2 == suite && !found { print $3; found = 1 }') ||
        return 1
    if [ -z "$mirror" ]; then
        apt_say "no apt source for Debian '$codename' found" >&2
        return 1
    fi
    mkdir -p "$conf/sources.list.d" "$conf/preferences.d" "$conf/lists" "$conf/cache" "$dir" || return 1
    chown _apt "$dir" || return 1
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$conf/sources.list" || return 1
    local apt=(apt-get -q
        -o Dir::Etc::SourceList="$conf/sources.list"
        -o Dir::Etc::SourceParts="$conf/sources.list.d"
        -o Dir::Etc::PreferencesParts="$conf/preferences.d"
        -o Dir::State::Lists="$conf/lists"
        -o Dir::Cache="$conf/cache"
        -o APT::Architectures::=amd64
        -o Acquire::Languages=none)
    if ! apt_update "${apt[@]}"; then
        apt_say "cannot download $package: $apt_failed_names could not be downloaded (apt's log: $APT_KEPT_LOG)" >&2
        cp "$apt_log" "$APT_KEPT_LOG"
        return 1
    fi
    (cd "$dir" && "${apt[@]}" download "$package" >"$apt_log" 2>&1) || {
        cp "$apt_log" "$APT_KEPT_LOG"
        apt_say "cannot download $package from $suite (apt's log: $APT_KEPT_LOG)" >&2
        return 1
    }
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    if [ $# -lt 2 ]; then
        echo "usage: $0 STAGE PACKAGE..." >&2
        exit 2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "apt.sh: must be run as root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt_tmp=$(mktemp -d)
    trap 'rm -rf "$apt_tmp"' EXIT
    # apt downloads as the unprivileged user _apt, which must reach the
    # throw-away apt directories made in here.
    chmod 755 "$apt_tmp"
    apt_init "$apt_tmp" setup
    apt_install "$@"
fi
