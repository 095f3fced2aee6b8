#!/usr/bin/env bash
# Prepares a Debian 12 x86_64 machine for building and testing this project:
# host, clang and MinGW cross toolchains, GoogleTest, the header-only toml++
# and CLI11 (for mkpatch), Python, Wine (64- and 32-bit), an X server and
# tools for the GUI tests, a Japanese locale and fonts, code-signing tools.
#
# Run as root. Safe to run again: every stage first checks whether its work is
# already done, so on a prepared machine the script finishes in seconds.
set -euo pipefail

# Where the 32-bit loader (qemu-i386 10) lives when this machine needs one. It
# is outside the checkout so that every clone on the machine shares it.
readonly QEMU=/opt/qemu10/qemu-i386
readonly BINFMT=/proc/sys/fs/binfmt_misc
readonly BINFMT_NAME=qemu-i386-10

# Every program the builds, the tests, the demo and the benchmarks call, named
# here even where another package would bring it along, so that no step
# depends on what some other package happens to need.
readonly TOOL_PACKAGES=(
    # CMake and Ninja, the host compilers (gcc for C, g++ for C++).
    make cmake ninja-build pkg-config gcc g++
    # The fuzz preset: clang, and the runtime libraries it links with
    # -fsanitize=fuzzer,address,undefined (libFuzzer, ASan, UBSan), which the
    # clang package does not pull in.
    clang libclang-rt-14-dev
    # MinGW: the C compilers of the win32 thread model, the C++ compilers of
    # the posix one (see cmake/mingw-common.cmake), windres and objdump.
    gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    # GoogleTest (the host library, and its sources for the MinGW builds),
    # and the header-only toml++ and CLI11 of mkpatch.
    googletest libgtest-dev libtomlplusplus-dev libcli11-dev
    # The end-to-end runner, the fuzz seeds and a benchmark (/usr/bin/python3,
    # 3.11 or later for tomllib); /usr/bin/time for mkpatch's benchmark.
    python3 time
    # The GUI tests and screenshots: an X server, xdotool and ImageMagick's
    # import, the Japanese locale and fonts.
    xvfb xdotool imagemagick locales fonts-ipafont
    # Signing Windows programs and checking their signatures (osslsigncode
    # itself: see provide_osslsigncode).
    openssl
    # The man pages' check reads them with man.
    man-db
    # This script's own: mount (binfmt_misc), awk, and the archive keyring
    # that the throw-away apt configuration of apt_download names.
    mount mawk debian-archive-keyring
)
readonly WINE_PACKAGES=(wine wine64 wine32:i386)
readonly OSSLSIGNCODE_MIN=2.9

export DEBIAN_FRONTEND=noninteractive

say() { printf 'setup: %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: must be run as root" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as the unprivileged user _apt, which must reach the
# throw-away apt directories made in here.
chmod 755 "$work"
log=$work/log
# shellcheck source=scripts/apt.sh
. "$(dirname "${BASH_SOURCE[0]}")/apt.sh"
apt_init "$work" setup

# Runs a command with its output kept in a log; on failure shows the end of
# the log and returns the command's status.
quietly() {
    "$@" >"$log" 2>&1 || {
        local rc=$?
        tail -n 20 "$log" >&2
        return "$rc"
    }
}

# Writes a minimal static i386 ELF program that calls exit(42) through
# int 0x80. $2 is the last padding byte of e_ident (an octal escape): the
# kernel's own ELF loader ignores padding, while the binfmt_misc masks of qemu
# loaders (ours included) require it to be zero. So with a non-zero byte the
# program runs only if the kernel itself runs 32-bit code; with a zero byte it
# also runs through a registered loader.
write_i386_probe() {
    local file=$1 pad=$2
    {
        printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000%b' "$pad"
        printf '\002\000\003\000\001\000\000\000'      # ET_EXEC, EM_386, EV_CURRENT
        printf '\124\200\004\010\064\000\000\000'      # e_entry 0x08048054, e_phoff 52
        printf '\000\000\000\000\000\000\000\000'      # e_shoff, e_flags
        printf '\064\000\040\000\001\000\000\000\000\000\000\000'  # sizes, 1 program header
        printf '\001\000\000\000\000\000\000\000'      # PT_LOAD from file offset 0
        printf '\000\200\004\010\000\200\004\010'      # at 0x08048000
        printf '\140\000\000\000\140\000\000\000'      # 96 bytes
        printf '\005\000\000\000\000\020\000\000'      # R+X, page aligned
        printf '\270\001\000\000\000'                  # mov $1, %eax   (exit: syscall 1)
        printf '\273\052\000\000\000'                  # mov $42, %ebx
        printf '\315\200'                              # int $0x80
    } >"$file"
    chmod +x "$file"
}

# True when the given probe program runs and exits with 42.
probe_runs() {
    local rc=0
    "$1" >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 42 ]
}

# True when $QEMU is a qemu-i386 of version 10.
have_qemu10() {
    [ -x "$QEMU" ] && case "$("$QEMU" --version 2>/dev/null)" in
        *"version 10."*) true ;;
        *) false ;;
    esac
}

# Fetches qemu-i386 from Debian 13's qemu-user package (a static binary) into
# $QEMU. Debian 12's qemu 7.2 cannot run Wine's 32-bit side. Only the one
# program is taken from the package, so the machine's libc stays as it is.
# Called in a condition, so every step checks its own status.
download_qemu10() {
    local dir=$work/qemu
    apt_download trixie qemu-user "$dir/deb" || return 1
    quietly dpkg-deb -x "$dir"/deb/qemu-user_*.deb "$dir/root" || return 1
    install -D -m 755 "$dir/root/usr/bin/qemu-i386" "$QEMU.new" && mv -f "$QEMU.new" "$QEMU" || return 1
    have_qemu10 || { echo "setup: the downloaded $QEMU is not version 10" >&2; return 1; }
}

# Registers $QEMU with binfmt_misc for i386 ELF programs, unless an entry of
# ours already exists (entries last until reboot). Flags: P keeps argv[0] as
# the program gave it, F opens the loader now so that it is found from any
# mount namespace or chroot.
register_qemu10() {
    if [ ! -e "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" || return 1
    fi
    [ -e "$BINFMT/$BINFMT_NAME" ] && return 0
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s\n' ":$BINFMT_NAME:M::$magic:$mask:$QEMU:PF" >"$BINFMT/register"
}

# Wine runs 32-bit Windows programs through its 32-bit Linux loader. Where the
# kernel cannot run 32-bit code (built without or booted with IA-32 emulation
# disabled), that loader runs under qemu-i386 instead, through binfmt_misc.
# Detection runs a tiny 32-bit program the kernel must load itself (see
# write_i386_probe), so an already registered loader cannot mask the answer.
# The loader goes in before wine32:i386, whose install scripts run i386
# programs. Without network or binfmt_misc this stage only warns: the test
# runner then skips 32-bit Windows programs.
provide_i386_loader() {
    write_i386_probe "$work/native-probe" '\001'
    if probe_runs "$work/native-probe"; then
        say "32-bit loader: not needed, the kernel runs 32-bit programs"
        return
    fi
    write_i386_probe "$work/loader-probe" '\000'
    if have_qemu10 && [ -e "$BINFMT/$BINFMT_NAME" ] && probe_runs "$work/loader-probe"; then
        say "32-bit loader: $QEMU already registered"
        return
    fi
    say "32-bit loader: setting up $QEMU"
    if ! { have_qemu10 || download_qemu10; }; then
        say "WARNING: could not fetch qemu-i386 10; 32-bit Windows programs will not run here" >&2
    elif ! register_qemu10; then
        say "WARNING: could not register $QEMU with binfmt_misc; 32-bit Windows programs will not run here" >&2
    elif ! probe_runs "$work/loader-probe"; then
        say "WARNING: $QEMU is registered but a 32-bit test program still does not run" >&2
    fi
}

# mkpatch signs and checks signatures through osslsigncode 2.9 or later (the
# passphrase read from standard input with "-readpass -", "verify -ignore-cdp"),
# which Debian 12 has only in its backports (its own is 2.5). The backport is
# downloaded as qemu-i386 is and installed as a local package; it needs
# nothing newer than Debian 12's libraries.
provide_osslsigncode() {
    local version
    version=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null) || version=
    if [ -n "$version" ] && dpkg --compare-versions "$version" ge "$OSSLSIGNCODE_MIN~"; then
        say "osslsigncode: $version present"
        return
    fi
    local suite dir=$work/osslsigncode
    suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)-backports
    say "osslsigncode: installing it from $suite${version:+ (the installed $version is too old)}"
    apt_download "$suite" osslsigncode "$dir" || exit 1
    apt_get_install osslsigncode "$dir"/osslsigncode_*.deb
}

# GetACP() under Wine follows the Unix locale; ja_JP.UTF-8 gives code page 932.
provide_japanese_locale() {
    if locale -a 2>/dev/null | grep -ix 'ja_JP\.utf-\?8' >/dev/null; then
        say "Japanese locale: ja_JP.UTF-8 present"
        return
    fi
    say "Japanese locale: generating ja_JP.UTF-8"
    if grep -x '#[[:space:]]*ja_JP\.UTF-8 UTF-8' /etc/locale.gen >/dev/null; then
        sed -i 's/^#[[:space:]]*\(ja_JP\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
    elif ! grep -x 'ja_JP\.UTF-8 UTF-8' /etc/locale.gen >/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
    fi
    quietly locale-gen
}

# wine32 comes from the i386 architecture; adding it now lets the one package
# list refresh of this run cover it.
if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    say "dpkg: adding the i386 architecture"
    dpkg --add-architecture i386
fi

apt_install "build tools and test utilities" "${TOOL_PACKAGES[@]}"
provide_osslsigncode
provide_japanese_locale
provide_i386_loader
apt_install "Wine" "${WINE_PACKAGES[@]}"
say "done"
