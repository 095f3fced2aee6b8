#!/usr/bin/python3
"""The damage campaign: a real patch of several entries, with and without its
trailer, cut short and with one bit flipped, the ways downloads get damaged.

Usage: damage.py NATIVE_BIN [PRESET BIN]

Every damaged copy goes through the payload check natively (payload_probe in
NATIVE_BIN, which also holds mkpatch): a copy whose payload is not intact
must be refused as the program checks it at start-up. With PRESET and BIN
(that build's patch.exe and e2e_driver.exe), a sample of 16 cuts and 16 flips
also runs on the real program under Wine: each must show the one "Error" box
the native check predicts, exit with code 1, leave the target folder byte for
byte as it was and leave no temporary file. Prints the campaign's counts.
Exit code 0 when it passed, 1 when not, 77 when this machine cannot run the
program.
"""
import random
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_scenario as rs  # noqa: E402

PAYLOAD_OFFSET = 65536
TRAILER_SIZE = 8
SPREAD = 64  # cuts spread over the payload, and flips


def make_sources(root, native_bin):
    """The new files, the target as users have it, and the manifest's entries."""
    text = b"".join(p.read_bytes() for p in sorted((rs.ROOT / "stream").glob("*.cpp")))
    binary = (native_bin / "mkpatch").read_bytes()[:160_000]
    rng = random.Random(5)
    data = bytes(rng.choice(b"\x00\x01\x02\x10ABCD") for _ in range(60_000))
    new = {"MANUAL.TXT": text, "GAME.BIN": binary, "DATA.DAT": data, "EMPTY.DAT": b""}
    old = {"MANUAL.TXT": text[: len(text) // 2], "GAME.BIN": binary[::-1], "OLD.TXT": b"gone after the patch\r\n"}
    src = root / "src"
    src.mkdir(parents=True)
    for name, content in new.items():
        (src / name).write_bytes(content)
    entries = [("write", name) for name in new] + [("delete", "OLD.TXT")]
    return old, entries


def build_patch(root, native_bin, stub, target_win, entries):
    lines = ['question = "Orvane を更新しますか?"', f"dest = '{target_win}'"]
    for action, name in entries:
        lines += ["[[entry]]", f'action = "{action}"', f'name = "{name}"']
        if action == "write":
            lines.append(f'source = "src/{name}"')
    (root / "patch.toml").write_text("\n".join(lines) + "\n", "utf-8")
    out = root / "full.exe"
    cmd = [native_bin / "mkpatch", "build", root / "patch.toml", "-o", out, "--stub", stub]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise rs.Failure(f"building the patch failed:\n{r.stdout}{r.stderr}")
    return out.read_bytes()


def probe(native_bin, files):
    """(program's result, full result) of each file."""
    results = []
    for at in range(0, len(files), 200):
        r = subprocess.run([native_bin / "payload_probe", "check", *files[at : at + 200]], capture_output=True)
        if r.returncode != 0:
            raise rs.Failure(f"payload_probe failed:\n{r.stderr.decode()}")
        results += [tuple(line.split(b"\t")) for line in r.stdout.splitlines()]
    return results


def damaged_copies(patch, layout, seed):
    """(what, bytes) of every cut and every flip of one variant."""
    size = len(patch)
    cuts = {PAYLOAD_OFFSET + i * (size - PAYLOAD_OFFSET) // SPREAD for i in range(SPREAD)}
    for start, length in layout:
        for edge in (start, start + length):
            cuts |= {edge - 1, edge, edge + 1}
    copies = [(f"cut at {c}", patch[:c]) for c in sorted(cuts) if PAYLOAD_OFFSET <= c < size]
    rng = random.Random(seed)
    for _ in range(SPREAD):
        at, bit = rng.randrange(PAYLOAD_OFFSET, size), rng.randrange(8)
        flipped = bytearray(patch)
        flipped[at] ^= 1 << bit
        copies.append((f"bit {bit} of byte {at} flipped", bytes(flipped)))
    return copies


def native_campaign(root, native_bin, variants, layout):
    """Checks every copy; returns the Wine sample: (variant, what, bytes, expected report)."""
    sample = []
    faults = []
    for seed, (name, (patch, intact_lengths)) in enumerate(variants.items()):
        copies = damaged_copies(patch, layout, seed)
        folder = root / "copies" / name
        folder.mkdir(parents=True)
        files = []
        for i, (_, data) in enumerate(copies):
            files.append(folder / f"{i}.exe")
            files[-1].write_bytes(data)
        results = probe(native_bin, files)
        counts = {"cut": [0, 0, 0], "bit": [0, 0, 0]}
        refused_list = {"cut": [], "bit": []}
        for (what, data), (program, full) in zip(copies, results):
            kind = what.split()[0]
            intact = kind == "cut" and len(data) in intact_lengths
            counts[kind][0] += 1
            if program != b"sound":
                counts[kind][1] += 1
                refused_list[kind].append((what, data, program.decode()))
            elif not intact:
                counts[kind][2] += 1
                if kind == "cut" or name == "with trailer":
                    faults.append(f"{name}: {what}: the program's check passes it")
            if program != b"sound" and full == b"sound":
                faults.append(f"{name}: {what}: refused at start-up, but the full check passes it")
        for kind, label in (("cut", "cuts"), ("bit", "flips")):
            tried, refused, passed = counts[kind]
            print(f"{name}: {label}: {tried} tried, {refused} refused before any change, "
                  f"{passed} damaged ones passed the check")
            picks = refused_list[kind]
            sample += [(name, *picks[i * len(picks) // 8]) for i in range(min(8, len(picks)))]
    if faults:
        raise rs.Failure("\n".join(faults))
    return sample


def wine_sample(root, preset, bin_dir, prefix, sample, old, target_win):
    driver = bin_dir / "e2e_driver.exe"
    env = dict(rs.os.environ, WINE_TEST_DISPLAY="auto")
    if not (prefix / "drive_c").is_dir():
        if subprocess.run([rs.RUN_SH, driver], env=env, capture_output=True).returncode == 77:
            return 77
    faults = []
    for n, (variant, what, data, report) in enumerate(sample):
        run = root / "wine"
        rs.shutil.rmtree(run, ignore_errors=True)
        for sub in ("patch", "temp"):
            (run / sub).mkdir(parents=True)
        target = root / "target"
        rs.shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        rs.lay_out(old, target)
        patch = run / "patch" / "patch.exe"
        patch.write_bytes(data)
        box = f"{rs.windows_path(patch, prefix)}: {report}".replace("\\", "\\\\")
        script = [f'box "Error" "{box}" ok', "exit 1", "temp 0"]
        (run / "script").write_bytes("\n".join(script).encode("cp932") + b"\n")
        r = rs.drive(driver, prefix, run, patch, env, rs.STEP_TIMEOUT * 5)
        if r.returncode == 77:
            return 77
        seen = (run / "transcript").read_bytes().decode("cp932").splitlines() if r.returncode == 0 else [r.stderr]
        problems = [] if seen == script else [f"saw {seen}"]
        problems += rs.compare_tree("target", old, rs.read_tree(target, {}))
        problems += rs.compare_tree("patch", {"patch.exe": data}, rs.read_tree(run / "patch", {}))
        if problems:
            faults.append(f"{variant}: {what}: " + "; ".join(problems))
    print(f"{preset}: {len(sample)} damaged copies run under Wine, {len(sample) - len(faults)} refused with the "
          "predicted report and nothing changed")
    if faults:
        raise rs.Failure("\n".join(faults))
    return 0


def run(native_bin, preset, bin_dir):
    prefix = Path(rs.os.environ.get("WINE_TEST_PREFIX", rs.ROOT / "build" / "wineprefix"))
    root = (prefix / "drive_c" / "e2e" / preset / "damage") if preset else native_bin.parent / "damage"
    rs.shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    target_win = rs.windows_path(root / "target", prefix) if preset else "C:\\TARGET"
    stub = (bin_dir / "patch.exe") if preset else root / "stub.exe"
    if not preset:
        level = b'<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>'
        stub.write_bytes(b"MZ" + level + bytes(PAYLOAD_OFFSET - 2 - len(level)))
    old, entries = make_sources(root, native_bin)
    with_trailer = build_patch(root, native_bin, stub, target_win, entries)
    layout_run = subprocess.run([native_bin / "payload_probe", "layout", root / "full.exe"], capture_output=True,
                                text=True)
    if layout_run.returncode != 0:
        raise rs.Failure("the intact patch does not pass the check")
    layout = [tuple(map(int, line.split())) for line in layout_run.stdout.splitlines()]
    if len(layout) != len(entries):
        raise rs.Failure(f"the probe found {len(layout)} entries of {len(entries)}")
    without = with_trailer[:-TRAILER_SIZE]
    # Cut at its trailer, a patch keeps every entry whole: it is sound.
    variants = {"with trailer": (with_trailer, {len(with_trailer), len(without)}),
                "without trailer": (without, {len(without)})}
    sample = native_campaign(root, native_bin, variants, layout)
    if not preset:
        rs.shutil.rmtree(root)
        return 0
    code = wine_sample(root, preset, bin_dir, prefix, sample, old, target_win)
    if code == 0:
        rs.shutil.rmtree(root)
    return code


def main():
    if len(sys.argv) not in (2, 4):
        print(__doc__, file=sys.stderr)
        return 2
    native_bin = Path(sys.argv[1]).resolve()
    preset, bin_dir = (sys.argv[2], Path(sys.argv[3]).resolve()) if len(sys.argv) == 4 else (None, None)
    try:
        return run(native_bin, preset, bin_dir)
    except (rs.Failure, subprocess.TimeoutExpired) as e:
        print(f"damage campaign: FAILED\n{e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
