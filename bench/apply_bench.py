#!/usr/bin/python3
"""Apply benchmark: the 32-bit program applying a large patch under Wine.

Usage: bench/apply_bench.py [--runs N] [FILE...]

Builds a patch of real files (by default the largest files of at most 6 MiB
under /usr/lib, about 64 MiB in all, and then 1,000 small files of 1 to 8 KB
of words, as a game's scripts are, first new and then replacing old files of
the same names in one folder) with the host's mkpatch and the win32
build's patch.exe, and applies it headless in the test prefix, its dialogs
answered by the end-to-end driver. Each round, in turn: the big patch, a
patch of one tiny file through the same dialogs, `cp` of the same files into
the same drive, and the native `qzt d` of the patch's blobs. Prints the
minimum and median of each over the rounds; the work is the big runs'
minimum (median) less the tiny runs' minimum (median), also in milliseconds
an entry. Every run's
transcript, progress labels and written files are checked, outside the
timing. Never run by the tests: `make bench-apply`.
"""
import argparse
import filecmp
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run_scenario as e2e  # noqa: E402

NATIVE_BIN = ROOT / "build" / "native" / "bin"
WIN32_BIN = ROOT / "build" / "win32" / "bin"
QUESTION = "ベンチマーク"
SUCCESS = "正常にアップデートされました。"
TARGET_BYTES = 64 << 20
MAX_FILE = 6 << 20
TIMEOUT = 300


def default_files():
    """The largest regular files of at most MAX_FILE under /usr/lib, one of
    each size (copies of one file are common there), that fit in TARGET_BYTES."""
    found = {}
    for folder, _, names in os.walk("/usr/lib"):
        for name in names:
            p = Path(folder) / name
            try:
                if p.is_symlink() or not p.is_file():
                    continue
                size = p.stat().st_size
                if size <= MAX_FILE and os.access(p, os.R_OK):
                    found.setdefault(size, p)
            except OSError:
                continue
    files, total = [], 0
    for size in sorted(found, reverse=True):
        if total + size <= TARGET_BYTES:
            files.append(found[size])
            total += size
        if TARGET_BYTES - total < 1 << 20:
            break
    return sorted(files)


def small_files(folder, count=1000):
    """count files of 1 to 8 KB of words, the same on every run."""
    rng = random.Random(3)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randrange(2, 9))) for _ in range(500)]
    folder.mkdir()
    files = []
    for k in range(count):
        size, text = rng.randrange(1024, 8193), b""
        while len(text) < size:
            text += rng.choice(words) + b" "
        files.append(folder / f"S{k:04d}.TXT")
        files[-1].write_bytes(text[:size])
    return files


def entry_names(files):
    return [f"{k:02d}_{f.name}" for k, f in enumerate(files, 1)]


def build_patch(folder, files, target_win, out):
    lines = [f'question = "{QUESTION}"', f"dest = '{target_win}'"]
    for name, f in zip(entry_names(files), files):
        lines += ["", "[[entry]]", 'action = "write"', f"name = '{name}'", f"source = '{f}'"]
    manifest = folder / (out.stem + ".toml")
    manifest.write_text("\n".join(lines) + "\n", "utf-8")
    r = subprocess.run([NATIVE_BIN / "mkpatch", "build", manifest, "-o", out, "--stub", WIN32_BIN / "patch.exe"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"apply_bench: mkpatch failed:\n{r.stderr}")


def blobs(patch):
    """The compressed streams of the patch's entries."""
    data = patch.read_bytes()
    at = 65536
    count, message = struct.unpack_from(">II", data, at)
    at += 8 + message
    for _ in range(count):
        (length,) = struct.unpack_from(">I", data, at)
        yield data[at + 4:at + 4 + length]
        at += 4 + length


def timed(cmd, **kw):
    start = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, **kw)
    t = time.perf_counter() - start
    if r.returncode != 0:
        sys.exit(f"apply_bench: {cmd[0]} failed ({r.returncode}):\n{r.stdout}{r.stderr}")
    return t


class Runner:
    """Applies a patch through the driver in the prefix and checks the run."""

    def __init__(self, prefix, work):
        self.prefix, self.work = prefix, work
        self.env = dict(os.environ, WINE_TEST_DISPLAY="auto")
        script = [f'box "Orvane パッチ" "{QUESTION}" yes', f'box "Orvane パッチ" "{SUCCESS}" ok', "exit 0"]
        self.expected = [line.encode("cp932") for line in script]
        (work / "script").write_bytes(b"\n".join(self.expected) + b"\n")

    def win(self, path):
        return e2e.windows_path(path, self.prefix)

    def apply(self, patch, target, files, replacing=False):
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        if replacing:  # an old file of each name, as an installed game has
            for name in entry_names(files):
                (target / name).write_bytes(b"old " + name.encode() + b"\n")
        temp = self.work / "temp"
        shutil.rmtree(temp, ignore_errors=True)
        temp.mkdir()
        cmd = [e2e.RUN_SH, WIN32_BIN / "e2e_driver.exe", "--timeout", str(TIMEOUT), self.win(self.work / "script"),
               self.win(self.work / "transcript"), self.win(temp), self.win(patch)]
        t = timed(cmd, env=self.env, timeout=3 * TIMEOUT)
        transcript = (self.work / "transcript").read_bytes().splitlines()
        progress = [line for line in transcript if line.startswith(b"progress ")]
        faults = e2e.check_progress(progress)
        if [line for line in transcript if not line.startswith(b"progress ")] != self.expected:
            faults.append("the transcript differs from the script:\n" + b"\n".join(transcript).decode("cp932"))
        for name, f in zip(entry_names(files), files):
            if not filecmp.cmp(f, target / name, shallow=False):
                faults.append(f"{name}: not written as {f}")
        if faults:
            sys.exit("apply_bench: " + "\n".join(faults))
        return t


def measure(runner, work, files, runs, replacing=False):
    """Builds the patch of files, applies it runs times beside the rest (into
    a folder that holds an old file of each name, when replacing), and
    prints the table."""
    total = sum(f.stat().st_size for f in files)
    print(f"building the patch of {len(files)} files, {total / 1e6:.1f} MB ...", flush=True)
    big, tiny = work / "big.exe", work / "tiny.exe"
    tiny_file = work / "tiny.txt"
    tiny_file.write_bytes(b"tiny\n")
    build_patch(work, files, runner.win(work / "target"), big)
    build_patch(work, [tiny_file], runner.win(work / "target"), tiny)
    blob_dir = work / "blobs"
    blob_dir.mkdir()
    blob_files = []
    for k, blob in enumerate(blobs(big)):
        blob_files.append(blob_dir / f"{k:02d}.qzt")
        blob_files[-1].write_bytes(blob)

    runner.apply(tiny, work / "target", [tiny_file])  # the first Wine run of a while is slow
    times = {"big": [], "tiny": [], "cp": [], "qzt": []}
    for run in range(runs):
        print(f"run {run + 1} of {runs} ...", flush=True)
        times["big"].append(runner.apply(big, work / "target", files, replacing))
        times["tiny"].append(runner.apply(tiny, work / "target", [tiny_file]))
        copy = work / "copy"
        shutil.rmtree(copy, ignore_errors=True)
        copy.mkdir()
        # Full paths under the copy: files of one name from two folders.
        times["cp"].append(timed(["cp", "--parents", *files, copy]))
        shutil.rmtree(copy)
        copy.mkdir()
        start = time.perf_counter()
        for b in blob_files:
            subprocess.run([NATIVE_BIN / "qzt", "d", b, copy / b.stem], check=True)
        times["qzt"].append(time.perf_counter() - start)
        shutil.rmtree(copy)
    def stats(key):
        if key == "work":
            # Each statistic of the big runs less the same of the tiny ones:
            # one slow tiny run would otherwise make a run's work negative.
            (blo, bmed), (tlo, tmed) = stats("big"), stats("tiny")
            return blo - tlo, bmed - tmed
        return min(times[key]), statistics.median(times[key])

    print(f"\n{len(files)} files, {total / 1e6:.1f} MB{', replacing old ones' if replacing else ''}; "
          f"patch {big.stat().st_size / 1e6:.1f} MB; "
          f"{runs} runs (min, median)")
    rows = [("work: big run - tiny run", "work"), ("  big patch under Wine", "big"), ("  tiny patch under Wine", "tiny"),
            ("cp of the same files", "cp"), ("qzt d of its blobs (native)", "qzt")]
    for label, key in rows:
        lo, med = stats(key)
        print(f"{label:30s} {lo:8.3f} s {med:8.3f} s")
    (wlo, wmed), (clo, cmed) = stats("work"), stats("cp")
    print(f"{'work an entry':30s} {wlo * 1000 / len(files):8.3f} ms{wmed * 1000 / len(files):8.3f} ms")
    print(f"{'work / cp':30s} {wlo / clo:8.1f} x {wmed / cmed:8.1f} x")
    for name in ("big.exe", "tiny.exe", "tiny.txt", "blobs"):
        p = work / name
        shutil.rmtree(p) if p.is_dir() else p.unlink()


def main():
    ap = argparse.ArgumentParser(description="Apply benchmark of the 32-bit program under Wine.")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("files", nargs="*", type=Path)
    args = ap.parse_args()
    for tool in (NATIVE_BIN / "mkpatch", NATIVE_BIN / "qzt", WIN32_BIN / "patch.exe", WIN32_BIN / "e2e_driver.exe"):
        if not tool.exists():
            sys.exit(f"apply_bench: {tool} is missing: build the native and win32 presets")
    files = [f.resolve() for f in args.files] or default_files()

    prefix = Path(os.environ.get("WINE_TEST_PREFIX", ROOT / "build" / "wineprefix"))
    if not (prefix / "drive_c").is_dir():
        subprocess.run([e2e.RUN_SH, WIN32_BIN / "e2e_driver.exe"], capture_output=True)
    work = prefix / "drive_c" / "bench-apply"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    runner = Runner(prefix, work)

    measure(runner, work, files, args.runs)
    if not args.files:
        print()
        small = small_files(work / "small")
        measure(runner, work, small, args.runs)
        print()
        measure(runner, work, small, args.runs, replacing=True)
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
