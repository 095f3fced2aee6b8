#!/usr/bin/python3
"""Planted DLLs: a DLL that leaves a mark when loaded (planted.dll), put
beside the patch, which is also the folder it is started from, under the name
of COMCTL32 and of every library that the system's own load by bare name,
with Wine told to look for those names as Windows does (a native DLL first,
in the program's folder: WINEDLLOVERRIDES NAME=n,b; all but VERSION, see
LOOKED_FOR). The patch must apply its
files and leave no mark. A control run first: a program that imports COMCTL32
by name must leave the mark, or the test could not fail.

Usage: planted.py NATIVE_BIN PRESET BIN

Exit code 0 when it passed, 1 when not, 77 when this machine cannot run the
program.
"""
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_scenario as rs  # noqa: E402

NAMES = ["comctl32", "uxtheme", "dwmapi", "cryptbase", "version", "userenv", "setupapi", "apphelp", "propsys",
         "oleacc", "clbcatq", "ntmarta"]
# Wine's own USER32 imports VERSION.DLL, so under Wine it is loaded with the
# program's imports, before the program's first instruction, from wherever
# the search order finds it; Windows' USER32 does not import it. It is
# planted all the same, and Wine keeps its own.
LOOKED_FOR = [name for name in NAMES if name != "version"]
QUESTION = "Orvane を更新しますか?"
SUCCESS = "正常にアップデートされました。"


def plant(folder, dll):
    for name in NAMES:
        (folder / f"{name.upper()}.DLL").write_bytes(dll)


def marks(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".mark"))


def run(native_bin, preset, bin_dir):
    prefix = Path(rs.os.environ.get("WINE_TEST_PREFIX", rs.ROOT / "build" / "wineprefix"))
    env = dict(rs.os.environ, WINE_TEST_DISPLAY="auto",
               WINE_TEST_DLL_OVERRIDES=";".join(f"{name}=n,b" for name in LOOKED_FOR))
    root = prefix / "drive_c" / "e2e" / preset / "planted"
    rs.shutil.rmtree(root, ignore_errors=True)
    dll = (bin_dir / "planted.dll").read_bytes()

    control = root / "control"
    control.mkdir(parents=True)
    rs.shutil.copy(bin_dir / "planted_control.exe", control)
    plant(control, dll)
    r = subprocess.run([rs.RUN_SH, control / "planted_control.exe"], env=env, capture_output=True, text=True,
                       cwd=control, timeout=120)
    if r.returncode == 77:
        return 77
    if "COMCTL32.DLL.mark" not in marks(control):
        raise rs.Failure(f"control: a program importing COMCTL32 by name left no mark (exit {r.returncode}): the "
                         f"planted DLLs are not looked for in the program's folder here\n{r.stderr}")

    for sub in ("patch", "temp", "target"):
        (root / sub).mkdir()
    (root / "target" / "OLD.TXT").write_bytes(b"old\r\n")
    (root / "src").mkdir()
    (root / "src" / "NEW.TXT").write_bytes(b"new\r\n")
    target_win = rs.windows_path(root / "target", prefix)
    (root / "patch.toml").write_text(
        f'question = "{QUESTION}"\ndest = \'{target_win}\'\n'
        '[[entry]]\naction = "write"\nname = "NEW.TXT"\nsource = "src/NEW.TXT"\n'
        '[[entry]]\naction = "delete"\nname = "OLD.TXT"\n', "utf-8")
    patch = root / "patch" / "patch.exe"
    r = subprocess.run([native_bin / "mkpatch", "build", "-1", root / "patch.toml", "-o", patch,
                        "--stub", bin_dir / "patch.exe"], capture_output=True, text=True)
    if r.returncode != 0:
        raise rs.Failure(f"building the patch failed:\n{r.stdout}{r.stderr}")
    plant(root / "patch", dll)
    script = [f'box "Orvane パッチ" "{QUESTION}" yes', f'box "Orvane パッチ" "{SUCCESS}" ok', "exit 0", "temp 0"]
    (root / "script").write_bytes("\n".join(script).encode("cp932") + b"\n")
    r = rs.drive(bin_dir / "e2e_driver.exe", prefix, root, patch, env, rs.STEP_TIMEOUT * 5)
    if r.returncode == 77:
        return 77
    if r.returncode != 0:
        raise rs.Failure(f"the driver failed ({r.returncode}):\n{r.stdout}{r.stderr}")
    faults = []
    seen = [line for line in (root / "transcript").read_bytes().decode("cp932").splitlines()
            if not line.startswith("progress ")]
    if seen != script:
        faults.append(f"the run showed {seen}")
    if marks(root / "patch"):
        faults.append("loaded from the patch's folder: " + ", ".join(m[:-5] for m in marks(root / "patch")))
    faults += rs.compare_tree("target", {"NEW.TXT": b"new\r\n"}, rs.read_tree(root / "target", {}))
    if faults:
        raise rs.Failure("\n".join(faults) + f"\n(the run's files are kept in {root})")
    print(f"{preset}: the control left its mark; the patch, beside {len(NAMES)} planted DLLs and with "
          f"{len(LOOKED_FOR)} of them looked for as Windows looks for them ({', '.join(LOOKED_FOR)}), applied its "
          "files and loaded none of them")
    rs.shutil.rmtree(root)
    return 0


if __name__ == "__main__":
    sys.exit(rs.campaign_main(__doc__, "planted DLLs", run))
