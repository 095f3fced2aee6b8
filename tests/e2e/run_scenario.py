#!/usr/bin/python3
"""Runs one end-to-end scenario of the patch program under Wine and checks it.

Usage: run_scenario.py PRESET BIN NATIVE_BIN SCENARIO

PRESET names the run (win32, win64); BIN holds that build's patch.exe and
e2e_driver.exe; NATIVE_BIN holds mkpatch and e2e_payload of the host build.
Exit code 0 when the scenario passed, 1 when not, 77 when this machine cannot
run the program.

A scenario is a folder:
  manifest.toml   the patch, built by mkpatch with the preset's patch.exe as stub
  payload.toml    or: the same fields written as they are by e2e_payload, for a
                  patch mkpatch refuses to make
  script.txt      the driver's script, which is also the transcript expected of
                  the run (see driver.cpp)
  readme_raw.txt  optional: put beside the patch as README.TXT, converted to
                  code page 932 and otherwise unchanged
  before/target/  the target folder before the run
  before/windir/  files put in the Windows folder before the run
  after/target/   the target folder expected after it (default: as before)
  after/windir/   the files of before/windir and after/windir expected after it
  files/          sources of the entries
  scenario.toml   optional: like = "NAME" takes every file above from the
                  scenario NAME (but a script.txt of its own); sign = true signs
                  the patch (build --cert --key) with a throw-away certificate
                  made by openssl; unchanged = true expects the target folder
                  as it was before; no_temp = true runs the program with a
                  temporary folder that does not exist
In every file @TARGET@ and @KEY@ stand for the target folder and the run's
registry key below HKCU or HKLM (with backslashes doubled, for quoted
strings); @ID@, also in file names, for PRESET-NAME. In script.txt @TEMP@
stands for the program's temporary folder (backslashes doubled) and
@PATCHID@ for an unsigned patch's CRC-32 from its trailer, in 8 hex digits.
"""
import difflib
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
RUN_SH = ROOT / "tests" / "wine" / "run.sh"
STEP_TIMEOUT = 30  # seconds for each window to appear or go
CAPTION = "Orvane パッチ".encode("cp932")
PERCENT = re.compile(rb"^[ \d]{2}\d%$")


class Failure(Exception):
    pass


def windows_path(path, prefix):
    """The Windows name of a path inside the prefix's drive C."""
    return "C:\\" + str(path.relative_to(prefix / "drive_c")).replace("/", "\\")


def drive(driver, prefix, work, program, env, timeout):
    """The driver run on work/script, its transcript in work/transcript and
    work/temp the program's TEMP: the finished process."""
    cmd = [RUN_SH, driver, "--timeout", str(STEP_TIMEOUT)]
    cmd += [windows_path(work / f, prefix) for f in ("script", "transcript", "temp")]
    cmd.append(windows_path(program, prefix))
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout)


def substitute(text, values):
    for name, value in values.items():
        text = text.replace(name, value)
    return text


def read_tree(folder, values):
    """Relative path (@ID@ replaced) -> bytes of every file, None for every folder."""
    tree = {}
    if folder.is_dir():
        for p in sorted(folder.rglob("*")):
            tree[substitute(str(p.relative_to(folder)), values)] = None if p.is_dir() else p.read_bytes()
    return tree


def lay_out(tree, folder):
    for rel, data in tree.items():
        p = folder / rel
        if data is None:
            p.mkdir(parents=True, exist_ok=True)
        else:
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)


def compare_tree(what, expected, actual):
    faults = []
    for rel in sorted(set(expected) | set(actual)):
        if rel not in actual:
            faults.append(f"{what}/{rel}: missing")
        elif rel not in expected:
            faults.append(f"{what}/{rel}: not expected")
        elif expected[rel] != actual[rel]:
            faults.append(f"{what}/{rel}: content differs")
    return faults


def show(line):
    return line.decode("cp932", errors="backslashreplace")


def check_progress(lines):
    """The progress window's records: its caption and "%3d%%" labels, the
    overall one never going back."""
    faults = []
    last_total = 0
    for line in lines:
        m = re.fullmatch(rb'progress "(.*)" "(.*)" "(.*)"', line)
        if not m or m[1] != CAPTION or not all(PERCENT.match(t) and int(t[:-1]) <= 100 for t in m.groups()[1:]):
            faults.append(f"bad progress record: {show(line)}")
            continue
        total = int(m[2][:-1])
        if total < last_total:
            faults.append(f"overall progress went back: {show(line)}")
        last_total = total
    return faults


def build_patch(scenario, build, out, stub, native_bin, values, sign):
    shutil.copytree(scenario, build)
    if (build / "manifest.toml").exists():
        manifest = build / "manifest.toml"
        manifest.write_text(substitute(manifest.read_text("utf-8"), values), "utf-8")
        cmd = [native_bin / "mkpatch", "build", manifest, "-o", out, "--stub", stub]
        if sign:
            key, cert = build / "key.pem", build / "cert.pem"
            r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                "-out", cert, "-days", "2", "-subj", "/CN=Orvane E2E"], capture_output=True, text=True)
            if r.returncode != 0:
                raise Failure(f"making a certificate failed:\n{r.stderr}")
            cmd += ["--cert", cert, "--key", key]
    else:
        # The fields go to the writer unchecked, in code page 932.
        spec = tomllib.loads(substitute((build / "payload.toml").read_text("utf-8"), values))
        lines = ["question\t" + spec["question"]]
        for e in spec.get("entry", []):
            fields = [e["action"], e["name"], e["dest"]] + ([e["source"]] if e["action"] == "write" else [])
            lines.append("\t".join(fields))
        (build / "payload.list").write_bytes(("\n".join(lines) + "\n").encode("cp932"))
        cmd = [native_bin / "e2e_payload", stub, build / "payload.list", out]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise Failure(f"building the patch failed:\n{r.stdout}{r.stderr}")
    if sign:
        r = subprocess.run([native_bin / "mkpatch", "verify", out], capture_output=True, text=True)
        if r.returncode != 0 or "digest matches" not in r.stdout:
            raise Failure(f"the patch is not signed as asked:\n{r.stdout}{r.stderr}")


def run(preset, bin_dir, native_bin, scenario):
    name = scenario.name
    options = {}
    script_file = scenario / "script.txt"
    if (scenario / "scenario.toml").exists():
        options = tomllib.loads((scenario / "scenario.toml").read_text("utf-8"))
        scenario = scenario.parent / options.get("like", name)
    if not script_file.exists():
        script_file = scenario / "script.txt"
    prefix = Path(os.environ.get("WINE_TEST_PREFIX", ROOT / "build" / "wineprefix"))
    driver, stub = bin_dir / "e2e_driver.exe", bin_dir / "patch.exe"
    for tool in (driver, stub, native_bin / "mkpatch", native_bin / "e2e_payload"):
        if not tool.exists():
            raise Failure(f"{tool} is missing: build the {preset} and native presets first")
    env = dict(os.environ, WINE_TEST_DISPLAY="auto")
    if not (prefix / "drive_c").is_dir():
        # The first run makes the prefix (the driver only prints its usage).
        if subprocess.run([RUN_SH, driver], env=env, capture_output=True).returncode == 77:
            return 77

    work = prefix / "drive_c" / "e2e" / preset / name
    windir = prefix / "drive_c" / "windows"
    values = {
        "@TARGET@": windows_path(work / "target", prefix).replace("\\", "\\\\"),
        "@KEY@": f"Software\\\\OrvaneE2E\\\\{preset}\\\\{name}",
        "@ID@": f"{preset}-{name}",
    }
    shutil.rmtree(work, ignore_errors=True)
    for sub in ("patch", "target") + (() if options.get("no_temp", False) else ("temp",)):
        (work / sub).mkdir(parents=True)
    names = {"@ID@": values["@ID@"]}
    before = read_tree(scenario / "before" / "target", names)
    after = before
    if (scenario / "after").is_dir() and not options.get("unchanged", False):
        after = read_tree(scenario / "after" / "target", names)
    windir_before = read_tree(scenario / "before" / "windir", names)
    windir_after = read_tree(scenario / "after" / "windir", names)
    windir_names = sorted({**windir_before, **windir_after})
    for rel in windir_names:
        (windir / rel).unlink(missing_ok=True)
    lay_out(before, work / "target")
    lay_out(windir_before, windir)

    patch = work / "patch" / "patch.exe"
    build_patch(scenario, work / "build", patch, stub, native_bin, values, options.get("sign", False))
    values["@TEMP@"] = windows_path(work / "temp", prefix).replace("\\", "\\\\")
    values["@PATCHID@"] = patch.read_bytes()[-4:].hex().upper()
    if (scenario / "readme_raw.txt").exists():
        raw = (scenario / "readme_raw.txt").read_bytes().decode("utf-8")
        (work / "patch" / "README.TXT").write_bytes(raw.encode("cp932"))

    # The run's key goes before and after, so that every run starts afresh.
    clear_key = f'delkey "HKCU\\\\{values["@KEY@"]}"'
    script = [clear_key]
    for line in substitute(script_file.read_text("utf-8"), values).splitlines():
        if line.strip():
            script.append(line)
    script.append(clear_key)
    patch_folder = read_tree(work / "patch", {})
    expected = [line.encode("cp932") for line in script]
    (work / "script").write_bytes(b"\n".join(expected) + b"\n")

    r = drive(driver, prefix, work, patch, env, STEP_TIMEOUT * (len(script) + 2))
    if r.returncode == 77:
        print(r.stderr, end="")
        return 77
    if r.returncode != 0:
        raise Failure(f"the driver failed ({r.returncode}):\n{r.stdout}{r.stderr}")

    transcript = (work / "transcript").read_bytes().splitlines()
    progress = [line for line in transcript if line.startswith(b"progress ")]
    seen = [line for line in transcript if not line.startswith(b"progress ")]
    faults = check_progress(progress)
    if seen != expected:
        faults.append("the transcript differs from the script (- expected, + seen):")
        diff = difflib.unified_diff(list(map(show, expected)), list(map(show, seen)), lineterm="", n=20)
        faults += list(diff)[2:]
    faults += compare_tree("target", after, read_tree(work / "target", {}))
    # The program's own folder (its current folder) gets nothing.
    faults += compare_tree("patch", patch_folder, read_tree(work / "patch", {}))
    for rel in windir_names:
        p = windir / rel
        if (p.read_bytes() if p.exists() else None) != windir_after.get(rel):
            faults.append(f"windows/{rel}: " + ("present" if p.exists() else "missing") + ", not as expected")
    if faults:
        raise Failure("\n".join(faults) + f"\n(the run's files are kept in {work})")

    for rel in windir_names:
        (windir / rel).unlink(missing_ok=True)
    shutil.rmtree(work)
    print(f"{preset} {name}: passed ({len(progress)} progress records)")
    return 0


def campaign_setup(bin_dir, name, preset):
    """A campaign's Wine prefix (made on first use), driver, environment and
    folder of its own (emptied): None when this machine cannot run the program."""
    prefix = Path(os.environ.get("WINE_TEST_PREFIX", ROOT / "build" / "wineprefix"))
    driver = bin_dir / "e2e_driver.exe"
    env = dict(os.environ, WINE_TEST_DISPLAY="auto")
    if not (prefix / "drive_c").is_dir():
        if subprocess.run([RUN_SH, driver], env=env, capture_output=True).returncode == 77:
            return None
    root = prefix / "drive_c" / "e2e" / preset / name
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    return prefix, driver, env, root


def campaign_main(doc, what, campaign):
    """The command line of a campaign script, NATIVE_BIN PRESET BIN, handed to
    campaign(native_bin, preset, bin_dir); its exit code."""
    if len(sys.argv) != 4:
        print(doc, file=sys.stderr)
        return 2
    try:
        return campaign(Path(sys.argv[1]).resolve(), sys.argv[2], Path(sys.argv[3]).resolve())
    except (Failure, subprocess.TimeoutExpired) as e:
        print(f"{what}: FAILED\n{e}", file=sys.stderr)
        return 1


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    preset, bin_dir, native_bin, scenario = sys.argv[1], *map(Path, sys.argv[2:])
    try:
        return run(preset, bin_dir.resolve(), native_bin.resolve(), scenario.resolve())
    except (Failure, subprocess.TimeoutExpired) as e:
        print(f"{preset} {scenario.name}: FAILED\n{e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
