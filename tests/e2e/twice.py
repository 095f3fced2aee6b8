#!/usr/bin/python3
"""Two copies of one patch at once, as a double-click too many starts them:
a second copy is started while the first shows its question, and again while
the first is in the middle of its work (its thread held there, its new files
staged beside the targets). Each second copy must show the one box that asks
the user to let the other patch finish, exit with code 1 and leave nothing
behind; the first must apply the patch whole.

Usage: twice.py NATIVE_BIN PRESET BIN

NATIVE_BIN holds mkpatch; BIN holds PRESET's patch.exe and e2e_driver.exe.
Exit code 0 when it passed, 1 when not, 77 when this machine cannot run the
program.
"""
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kill  # noqa: E402
import run_scenario as rs  # noqa: E402

QUESTION = "Orvane を更新しますか?"
SUCCESS = "正常にアップデートされました。"
ANOTHER_RUN = "他のパッチが実行中です。そのパッチが終わってから、このパッチをもう一度起動してください。"


def run(native_bin, preset, bin_dir):
    setup = rs.campaign_setup(bin_dir, "twice", preset)
    if setup is None:
        return 77
    prefix, driver, env, root = setup
    first, second, pause, target = root / "first", root / "second", root / "pause", root / "target"
    for folder in (first / "temp", second / "temp", pause, target):
        folder.mkdir(parents=True)
    # A large first file, so that the work lasts several of the progress
    # window's frames, over three small old ones.
    rng = random.Random(27)
    sizes = {"DATA1.BIN": 64 << 20, "DATA2.BIN": 5000, "GAME.INI": 300}
    new = {name: rng.randbytes(size) for name, size in sizes.items()}
    old = {name: rng.randbytes(100) for name in sizes}
    (root / "src").mkdir()
    for name, content in new.items():
        (root / "src" / name).write_bytes(content)
    rs.lay_out(old, target)
    patch = kill.build_patch(root, native_bin, bin_dir / "patch.exe", rs.windows_path(target, prefix),
                             [("write", name) for name in new])

    refused = [f'box "Orvane パッチ" "{ANOTHER_RUN}" ok', "exit 1"]
    whole = [f'box "Orvane パッチ" "{QUESTION}" yes', f'box "Orvane パッチ" "{SUCCESS}" ok', "exit 0"]
    (first / "script").write_bytes("\n".join(whole).encode("cp932") + b"\n")
    cmd = [rs.RUN_SH, driver, "--timeout", str(rs.STEP_TIMEOUT), "--pause", rs.windows_path(pause, prefix)]
    cmd += [rs.windows_path(first / f, prefix) for f in ("script", "transcript", "temp")]
    cmd.append(rs.windows_path(patch, prefix))
    faults = []
    # The driver holds the first copy before it answers each box, and once in
    # its work, at n.ready, which says where, until it is deleted: at the
    # question and in the work a second copy runs whole.
    held = []
    with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as one:
        while True:
            ready = pause / f"{len(held) + 1}.ready"
            deadline = time.monotonic() + rs.STEP_TIMEOUT
            what = ""
            while not what and one.poll() is None and time.monotonic() < deadline:
                what = ready.read_text() if ready.exists() else ""
                time.sleep(0.05)
            if not what:
                break
            held.append(what)
            if len(held) == 1 or what == "progress":
                end = kill.play(second, prefix, driver, patch, env, refused)
                if end is None:
                    return 77
                seen = (second / "transcript").read_bytes().decode("cp932").splitlines()
                if seen != refused:
                    faults.append(f"second copy during the first's {what}: saw {seen}")
                left = sorted(p.name for p in (second / "temp").iterdir())
                if left:
                    faults.append(f"second copy during the first's {what} left {left} in its temporary folder")
            ready.unlink()
        out, _ = one.communicate(timeout=rs.STEP_TIMEOUT * 5)
    if one.returncode == 77:
        return 77
    transcript = (first / "transcript").read_bytes().decode("cp932").splitlines()
    seen = [line for line in transcript if not line.startswith("progress ")]
    if seen != whole:
        faults.append(f"the first copy saw {seen} (driver: {one.returncode} {out})")
    if held != ["box", "progress", "box"]:
        faults.append(f"the first copy was held at {held}, not at its question, in its work and at its last box")
    faults += rs.compare_tree("target", new, rs.read_tree(target, {}))
    faults += [f"first copy left {p.name} in its temporary folder" for p in (first / "temp").iterdir()]
    if faults:
        raise rs.Failure("\n".join(faults) + f"\n(the run's files are kept in {root})")
    print(f"{preset}: a second copy at the first's question and in its work: refused both times, nothing left; "
          "the first applied the patch whole")
    rs.shutil.rmtree(root)
    return 0


if __name__ == "__main__":
    sys.exit(rs.campaign_main(__doc__, "two copies at once", run))
