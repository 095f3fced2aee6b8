#!/usr/bin/python3
"""The kill campaign: a patch of several large files and a delete, ended by
TerminateProcess at seeded moments of its work, as a user's task manager or a
power cut ends it, then run again.

Usage: kill.py NATIVE_BIN PRESET BIN

NATIVE_BIN holds mkpatch; BIN holds PRESET's patch.exe and e2e_driver.exe.
After each killed run every target must be whole, its old or its new bytes
(a delete's target there or gone), never a part of either; the run after it,
of the same patch, must end with exit code 0, the target folder exactly new
and none of the killed run's files left, beside the targets or in the
temporary folder. Prints the campaign's counts. Exit code 0 when it passed,
1 when not, 77 when this machine cannot run the program.
"""
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_scenario as rs  # noqa: E402

KILLS = 8
QUESTION = "Orvane を更新しますか?"
SUCCESS = "正常にアップデートされました。"


def make_files(root):
    """The target folder before and after the patch, and the manifest's entries."""
    rng = random.Random(19)
    sizes = {"STAGE1.DAT": 8 << 20, "STAGE2.DAT": 6 << 20, "MUSIC.DAT": 4 << 20, "VOICE.DAT": 3 << 20,
             "GAME.BIN": 1 << 20, "GAME.INI": 3000}
    new = {name: rng.randbytes(size) for name, size in sizes.items()}
    old = {name: rng.randbytes(size // 3) for name, size in sizes.items() if name != "VOICE.DAT"}
    old["OLD.TXT"] = b"gone after the patch\r\n"
    src = root / "src"
    src.mkdir(parents=True)
    for name, content in new.items():
        (src / name).write_bytes(content)
    entries = [("write", name) for name in new] + [("delete", "OLD.TXT")]
    return old, new, entries


def build_patch(root, native_bin, stub, target_win, entries):
    lines = [f'question = "{QUESTION}"', f"dest = '{target_win}'"]
    for action, name in entries:
        lines += ["[[entry]]", f'action = "{action}"', f'name = "{name}"']
        if action == "write":
            lines.append(f'source = "src/{name}"')
    (root / "patch.toml").write_text("\n".join(lines) + "\n", "utf-8")
    out = root / "patch" / "patch.exe"
    out.parent.mkdir()
    cmd = [native_bin / "mkpatch", "build", "-1", root / "patch.toml", "-o", out, "--stub", stub]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise rs.Failure(f"building the patch failed:\n{r.stdout}{r.stderr}")
    return out


def play(root, prefix, driver, patch, env, script):
    """Runs the patch under the driver; its exit record ("0", "killed", ...)."""
    (root / "script").write_bytes("\n".join(script).encode("cp932") + b"\n")
    r = rs.drive(driver, prefix, root, patch, env, rs.STEP_TIMEOUT * 5)
    if r.returncode == 77:
        return None
    if r.returncode != 0:
        raise rs.Failure(f"the driver failed ({r.returncode}):\n{r.stdout}{r.stderr}")
    exits = [line for line in (root / "transcript").read_bytes().decode("cp932").splitlines()
             if line.startswith("exit ")]
    return exits[-1][5:] if exits else "none"


def run(native_bin, preset, bin_dir):
    setup = rs.campaign_setup(bin_dir, "kill", preset)
    if setup is None:
        return 77
    prefix, driver, env, root = setup
    target, temp = root / "target", root / "temp"
    target_win = rs.windows_path(target, prefix)
    old, new, entries = make_files(root)
    patch = build_patch(root, native_bin, bin_dir / "patch.exe", target_win, entries)
    whole = [f'box "Orvane パッチ" "{QUESTION}" yes', f'box "Orvane パッチ" "{SUCCESS}" ok', "exit 0"]

    def fresh_target():
        for folder in (target, temp):
            rs.shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
        rs.lay_out(old, target)

    def left_behind():
        return sorted(p.name for p in target.iterdir() if p.name.startswith("Ov")) + \
               sorted(p.name for p in temp.iterdir() if p.name.startswith("Ov"))

    # The work's length, from the progress window to the end, for the moments.
    fresh_target()
    began = time.monotonic()
    if play(root, prefix, driver, patch, env, whole) is None:
        return 77
    span = time.monotonic() - began
    rng = random.Random(7)
    # The dialogs take most of a run; the work is its last part, about 300 ms
    # here: the moments spread over it.
    moments = sorted(rng.randrange(0, 400) for _ in range(KILLS))
    faults, mixed, killed, leftovers, clean = [], 0, 0, 0, 0
    for ms in moments:
        fresh_target()
        end = play(root, prefix, driver, patch, env, [f"kill {ms}"] + whole)
        killed += end == "killed"
        states = set()
        for name in sorted(set(old) | set(new)):
            p = target / name
            data = p.read_bytes() if p.exists() else None
            if data is not None and data not in (old.get(name), new.get(name)):
                faults.append(f"kill at {ms} ms: {name} is half-written ({len(data)} bytes)")
            states.add("new" if data == new.get(name) else "old")
        mixed += len(states) > 1
        leftovers += len(left_behind())
        end = play(root, prefix, driver, patch, env, whole)
        problems = [] if end == "0" else [f"exit {end}"]
        problems += rs.compare_tree("target", new, rs.read_tree(target, {}))
        problems += [f"{name} left behind" for name in left_behind()]
        if problems:
            faults.append(f"run after the kill at {ms} ms: " + "; ".join(problems))
        else:
            clean += 1
    print(f"{preset}: {len(moments)} runs killed at {moments} ms of the work ({killed} before it ended; a whole run "
          f"{span:.1f} s), {mixed} left the folder mixed, {leftovers} files left behind by them; {clean} runs after "
          "them ended with the folder new and nothing left behind")
    if faults:
        raise rs.Failure("\n".join(faults))
    rs.shutil.rmtree(root)
    return 0


if __name__ == "__main__":
    sys.exit(rs.campaign_main(__doc__, "kill campaign", run))
