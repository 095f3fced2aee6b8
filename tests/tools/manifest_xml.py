#!/usr/bin/python3
"""The program's application manifest: it parses as XML and asks for the
level mkpatch wrote, declares the systems from Vista to 11 and system DPI
awareness, and depends on no version 6 common controls. Checked in the program as built (admin) and in a
patch built from it with --elevation user.

Usage: manifest_xml.py PATCH.EXE MKPATCH
"""
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SYSTEMS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def check(path, level):
    image = Path(path).read_bytes()[:65536]
    start = image.find(b"<?xml")
    end = image.find(b"</assembly>", start)
    if start < 0 or end < 0 or image.find(b"<?xml", start + 1) >= 0:
        return [f"{path}: not one manifest in the image"]
    root = ET.fromstring(image[start:end + len(b"</assembly>")])
    faults = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        faults.append(f"root {root.tag} {root.attrib}")
    levels = root.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                          f"{ASM_V3}requestedExecutionLevel")
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [(level, "false")]:
        faults.append(f"levels {[e.attrib for e in levels]}, not {level}")
    systems = {e.get("Id") for e in root.findall(f"{COMPAT}compatibility/{COMPAT}application/{COMPAT}supportedOS")}
    if systems != SYSTEMS:
        faults.append(f"supportedOS {sorted(systems)}")
    dpi = [e.text for e in root.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings/{SETTINGS}dpiAware")]
    if dpi != ["true"]:
        faults.append(f"dpiAware {dpi}, not system DPI aware")
    if root.findall(f".//{ASM_V1}dependency"):
        faults.append("a dependency (the version 6 common controls would change the dialogs' look)")
    return [f"{path}: {f}" for f in faults]


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    program, mkpatch = sys.argv[1], sys.argv[2]
    faults = check(program, "requireAdministrator")
    with tempfile.TemporaryDirectory() as tmp:
        examples = Path(__file__).resolve().parents[2] / "examples"
        user = Path(tmp) / "user.exe"
        r = subprocess.run([mkpatch, "build", "-1", examples / "patch.toml", "-o", user, "--stub", program,
                            "--elevation", "user"], capture_output=True, text=True)
        faults += check(user, "asInvoker") if r.returncode == 0 else [f"mkpatch build failed: {r.stderr}"]
    for f in faults:
        print(f"FAIL: {f}", file=sys.stderr)
    if not faults:
        print(f"{program}: the manifest asks for requireAdministrator, and for asInvoker once mkpatch wrote user")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
