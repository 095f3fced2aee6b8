#!/usr/bin/python3
"""Delta benchmark: this project's delta coder against zstd --patch-from,
xdelta3 and bsdiff on real version pairs from Debian's registry.

Usage: bench/delta_pairs.py [--more] [--major]
       bench/delta_pairs.py --tree PACKAGE...

Each pair is one file of a package in its two newest versions that the
machine's package lists offer (a release and its update): program libraries,
a large data archive and an archive of compressed members. --more adds pairs
the coder was not tuned on (a program, a library, and java.base.jmod, a zip
of deflated members; and two of chromium's data files that come out over
zstd, its English strings and its V8 heap snapshot: about 5 minutes more).
--major adds a program across a major version (libxul.so, 180 MB: about 15
minutes more, most of them bsdiff's, which takes 1.5 GB) and thunderbird's
omni.ja (a zip of stored text members, 95 MB) across the same. The packages
are fetched with `apt-get download` into build/bench-delta/. For each pair it
prints the patch's size as a share of the new file, each tool's coding time
and peak memory (from /usr/bin/time, one run each), and this project's apply
under Wine next to `cp` of the new file: the 32-bit build's delta_bench -r
given the delta as the record carries it, compressed, so that its time covers the decompression, the delta's
decoding against the old file (read through the decoder's window) and the new
file written in pieces through a buffered writer, with the CRC-32 check of it
that the program makes; beside it the same program
copying the new file through the same reader and writer (a stored entry's
work), and the apply's time as a multiple of cp's (the best of three runs of
each; a rebuild that differs from the new file stops the benchmark).
This project's size is the delta as an entry's record carries it: compressed
by the record's own compression (qzt -9), plus the 16 bytes of the old and
new files' lengths and CRC-32s. Never run by the tests: `make bench-delta`.

    bench/delta_pairs.py --tree PACKAGE...

tours whole packages instead: every file of 1 KB to 8 MB that both versions
have and that changed, coded by this project and by zstd (sizes only, on
every core). It prints each file that comes out over zstd, then per package
the sums and how many files came out over, with how many of those are files
that hardly changed (a zstd patch under 200 bytes, where the record's and the
streams' fixed heads decide) and how many are within 1%.
"""
import concurrent.futures
import filecmp
import functools
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NATIVE_BIN = ROOT / "build" / "native" / "bin"
WIN32_BIN = ROOT / "build" / "win32" / "bin"
WORK = ROOT / "build" / "bench-delta"
PREFIX = ROOT / "build" / "wineprefix"
RUN_SH = ROOT / "tests" / "wine" / "run.sh"
RECORD_FIELDS = 16

PAIRS = [
    ("libssl3", "usr/lib/x86_64-linux-gnu/libcrypto.so.3"),
    ("openjdk-17-jre-headless", "usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so"),
    ("openjdk-17-jre-headless", "usr/lib/jvm/java-17-openjdk-amd64/lib/modules"),
    ("chromium-common", "usr/lib/chromium/resources.pak"),
]
MORE_PAIRS = [
    ("libpython3.11", "usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"),
    ("postgresql-15", "usr/lib/postgresql/15/bin/postgres"),
    ("openjdk-17-jdk-headless", "usr/lib/jvm/java-17-openjdk-amd64/jmods/java.base.jmod"),
    # Two that come out over zstd: a table of strings with many small edits,
    # and a heap snapshot.
    ("chromium-common", "usr/lib/chromium/locales/en-US.pak"),
    ("chromium-common", "usr/lib/chromium/v8_context_snapshot.bin"),
]
MAJOR_PAIRS = [
    ("firefox-esr", "usr/lib/firefox-esr/libxul.so"),
    ("thunderbird", "usr/share/thunderbird/omni.ja"),
]


def run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    if r.returncode != 0:
        sys.exit(f"delta_pairs: {' '.join(map(str, cmd))} failed:\n{r.stdout}{r.stderr}")
    return r.stdout


def newest_two(package):
    """The two newest versions of the package that apt can fetch, older first."""
    versions = []
    for line in run(["apt-cache", "madison", package]).splitlines():
        version = line.split("|")[1].strip()
        if version not in versions:
            versions.append(version)

    def compare(a, b):
        return -1 if subprocess.run(["dpkg", "--compare-versions", a, "lt", b]).returncode == 0 else 1

    versions.sort(key=functools.cmp_to_key(compare))
    if len(versions) < 2:
        sys.exit(f"delta_pairs: apt offers fewer than two versions of {package}")
    return versions[-2:]


def unpacked(package, version):
    folder = WORK / f"{package}_{version}"
    if not (folder / ".done").exists():
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        run(["apt-get", "download", f"{package}={version}"], cwd=folder)
        deb = next(folder.glob("*.deb"))
        run(["dpkg-deb", "-x", deb, folder / "root"])
        deb.unlink()
        (folder / ".done").touch()
    return folder / "root"


def timed(cmd):
    """Wall seconds and peak memory in MB of one run."""
    stats = WORK / "time.txt"
    run(["/usr/bin/time", "-f", "%e %M", "-o", stats] + cmd)
    seconds, kb = stats.read_text().split()[-2:]
    return float(seconds), int(kb) / 1024


def apply_seconds(line):
    """The apply's time in a line of delta_bench -r."""
    return float(re.search(r"applied \(.*?\) in ([0-9.]+) s", line).group(1))


def ours_commands(old, new, work):
    """This project's patch in the folder work: the delta, then the record's
    compression of it (delta.qzt)."""
    return [[NATIVE_BIN / "delta_bench", old, new, work / "delta"],
            [NATIVE_BIN / "qzt", "c", "-9", work / "delta", work / "delta.qzt"]]


def zstd_command(old, new, work):
    """zstd's patch in the folder work (z)."""
    return ["zstd", "-q", "-f", "-T1", "-19", "--long=31", f"--patch-from={old}", new, "-o", work / "z"]


TOUR_LEAST, TOUR_MOST = 1024, 8 << 20
HARDLY_CHANGED = 200  # a zstd patch shorter than this: a file that hardly changed


def tour_sizes(old, new, work):
    """This project's patch and zstd's for one pair, coded in the folder work."""
    for cmd in ours_commands(old, new, work) + [zstd_command(old, new, work)]:
        run(cmd)
    return (work / "delta.qzt").stat().st_size + RECORD_FIELDS, (work / "z").stat().st_size


def tour(packages):
    """Every changed file of each package's two newest versions, against zstd."""
    for package in packages:
        old_version, new_version = newest_two(package)
        old_root, new_root = unpacked(package, old_version), unpacked(package, new_version)
        pairs = []
        for new in sorted(new_root.rglob("*")):
            old = old_root / new.relative_to(new_root)
            if (new.is_file() and not new.is_symlink() and old.is_file() and not old.is_symlink() and
                    TOUR_LEAST <= new.stat().st_size <= TOUR_MOST and not filecmp.cmp(old, new, shallow=False)):
                pairs.append((old, new))
        workers = os.cpu_count() or 1
        folders = [WORK / "tour" / str(k) for k in range(workers)]
        for folder in folders:
            folder.mkdir(parents=True, exist_ok=True)
        free = list(folders)

        def sizes(pair):
            work = free.pop()
            try:
                return tour_sizes(*pair, work)
            finally:
                free.append(work)

        print(f"{package} {old_version} -> {new_version}: {len(pairs)} changed files")
        ours_sum = zstd_sum = over = hardly = close = 0
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for (old, new), (ours, zstd) in zip(pairs, pool.map(sizes, pairs)):
                ours_sum += ours
                zstd_sum += zstd
                if ours > zstd:
                    over += 1
                    hardly += zstd < HARDLY_CHANGED
                    close += zstd >= HARDLY_CHANGED and ours * 100 <= zstd * 101
                    print(f"  over: {new.relative_to(new_root)} ({new.stat().st_size:,} bytes): {ours:,} against"
                          f" {zstd:,}")
        share = 100 * ours_sum / zstd_sum if zstd_sum else 100
        print(f"  this project {ours_sum:,} bytes, zstd {zstd_sum:,} ({share:.1f}%); {over} files over zstd: {hardly}"
              f" that hardly changed (zstd under {HARDLY_CHANGED} bytes), {close} within 1%,"
              f" {over - hardly - close} others\n")


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    if sys.argv[1:2] == ["--tree"]:
        tour(sys.argv[2:])
        return
    rows = []
    options = sys.argv[1:]
    pairs = PAIRS + (MORE_PAIRS if "--more" in options else []) + (MAJOR_PAIRS if "--major" in options else [])
    for package, path in pairs:
        old_version, new_version = newest_two(package)
        old, new = unpacked(package, old_version) / path, unpacked(package, new_version) / path
        out = WORK / "out"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        size = new.stat().st_size
        results = {}
        (t1, m1), (t2, m2) = (timed(cmd) for cmd in ours_commands(old, new, out))
        results["this project"] = ((out / "delta.qzt").stat().st_size + RECORD_FIELDS, t1 + t2, max(m1, m2))
        for name, cmd, made in [
            ("zstd -19 --long=31", zstd_command(old, new, out), out / "z"),
            ("xdelta3 -9", ["xdelta3", "-9", "-f", "-e", "-s", old, new, out / "x"], out / "x"),
            ("bsdiff", ["bsdiff", old, new, out / "b"], out / "b"),
        ]:
            t, m = timed(cmd)
            results[name] = (made.stat().st_size, t, m)
        # The rebuild under Wine, and cp, inside the prefix's drive.
        drive = PREFIX / "drive_c" / "bench-delta"
        shutil.rmtree(drive, ignore_errors=True)
        drive.mkdir(parents=True)
        for name, source in (("old", old), ("delta", out / "delta.qzt"), ("new", new)):
            shutil.copyfile(source, drive / name)
        # The best of three runs of each: the machine is shared.
        applies = [run([RUN_SH, WIN32_BIN / "delta_bench.exe", "-r", "C:\\bench-delta\\old",
                        "C:\\bench-delta\\delta", "C:\\bench-delta\\new"]) for _ in range(3)]
        applied = min(applies, key=apply_seconds)
        copies = []
        for _ in range(3):
            began = time.monotonic()
            shutil.copyfile(drive / "new", drive / "copy")  # as cp copies: in the kernel
            copies.append(time.monotonic() - began)
            (drive / "copy").unlink()
        copied = min(copies)
        shutil.rmtree(drive)
        rows.append((f"{package} {old_version} -> {new_version}, {Path(path).name}", size, results, applied.strip(),
                     copied))

    for title, size, results, applied, copied in rows:
        print(f"{title} ({size:,} bytes)")
        print(f"  {'tool':<22}{'patch':>12}{'share':>9}{'coding':>10}{'peak':>10}")
        for name, (made, seconds, mb) in results.items():
            print(f"  {name:<22}{made:>12,}{100 * made / size:>8.2f}%{seconds:>9.1f}s{mb:>8.0f}MB")
        seconds = apply_seconds(applied)
        stored = re.search(r"stored copy in ([0-9.]+) s", applied).group(1)
        print(f"  apply under Wine (32-bit; qzt + qzd + write): {seconds:.3f} s; the same program's stored copy:"
              f" {stored} s; cp: {copied:.3f} s; apply / cp: {seconds / copied:.1f}\n")


if __name__ == "__main__":
    main()
