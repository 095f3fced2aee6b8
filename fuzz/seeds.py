#!/usr/bin/env python3
"""Seeds for the fuzz targets, made by mkpatch from the example's manifest and
the end-to-end scenarios' manifests, and by delta_bench from small pairs of
files.

    seeds.py MKPATCH DELTA_BENCH SOURCE_DIR OUT_DIR

OUT_DIR/payload   each patch's payload (the bytes behind the program image)
OUT_DIR/message   a flags byte of 0 and each patch's stored question
OUT_DIR/dest      each destination in the fuzz_dest input form, with a Windows
                  folder and a registry value naming a data file
OUT_DIR/manifest  each manifest, its placeholders filled in
OUT_DIR/qzd       small old files and deltas against them, in the fuzz_qzd
                  input form
"""
import random
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

PAYLOAD_OFFSET = 65536
# The scenarios' placeholders, as run_scenario.py fills them (TOML-escaped).
VALUES = {"@TARGET@": "C:\\\\TARGET", "@KEY@": "Software\\\\OrvaneFuzz", "@ID@": "fuzz"}


def fill(text):
    for name, value in VALUES.items():
        text = text.replace(name, value)
    return text


def dests(spec):
    found = [spec["dest"]] if "dest" in spec else []
    return found + [e["dest"] for e in spec.get("entry", []) if "dest" in e]


def delta_seeds(delta_bench, work, out):
    """Old files of up to 255 bytes with 32-bit addresses in them, and edits
    of them: bytes changed, inserted, an address moved."""
    rng = random.Random(29)
    old = b"".join(bytes(rng.randrange(48) for _ in range(rng.randrange(8))) + rng.randrange(256).to_bytes(4, "little")
                   for _ in range(24))[:255]
    pick = random.Random(31)
    edits = {
        "same": old,
        "changed": old[:40] + b"\xff\xfe" + old[42:],
        "inserted": old[:100] + bytes(range(30)) + old[100:],
        "moved": bytes((b + 8) & 0xFF if i % 12 == 8 else b for i, b in enumerate(old)),
        "new": bytes(rng.randrange(256) for _ in range(300)),
        # Text whose literals are coded: words again near and far.
        "text": b"".join(rng.choice([b"old ", b"new ", b"file ", b"block ", b"delta\n"]) for _ in range(200)),
        # Bytes as compressed data leaves them, one value a little more
        # often than the others: its literals are coded flat.
        "flat": bytes(0 if rng.randrange(100) < 8 else rng.randrange(256) for _ in range(3000)),
        # Calls and jumps among code-like bytes: its literal runs are
        # filtered as x86 code.
        "calls": b"".join(bytes(rng.randrange(48) for _ in range(rng.randrange(6))) + bytes([0xE8 + rng.randrange(2)]) +
                          (rng.randrange(-4096, 4096) & 0xFFFFFFFF).to_bytes(4, "little") for _ in range(200)),
        # Pieces of the old file from all over it, a new byte after each:
        # enough copies that their tokens are coded too.
        "pieces": b"".join(old[o:o + 40] + bytes([pick.randrange(256)])
                           for o in (pick.randrange(len(old) - 40) for _ in range(60))),
    }
    (work / "old").write_bytes(old)
    for name, new in edits.items():
        (work / "new").write_bytes(new)
        r = subprocess.run([delta_bench, work / "old", work / "new", work / "delta"], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"seeds.py: delta_bench: {r.stdout}{r.stderr}")
        (out / "qzd" / name).write_bytes(bytes([len(old), 7]) + old + (work / "delta").read_bytes())


def main():
    mkpatch, delta_bench, source, out = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3]), Path(sys.argv[4])
    shutil.rmtree(out, ignore_errors=True)
    work = out / "work"
    for sub in ("payload", "message", "dest", "manifest", "qzd"):
        (out / sub).mkdir(parents=True)
    work.mkdir()
    stub = work / "stub.exe"
    stub.write_bytes(b'MZ stub <requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>')

    manifests = {"example": source / "examples" / "patch.toml"}
    scenarios = source / "tests" / "e2e" / "scenarios"
    for folder in sorted(scenarios.iterdir()):
        for name in ("manifest.toml", "payload.toml"):
            if (folder / name).exists():
                shutil.copytree(folder, work / folder.name)
                manifest = work / folder.name / name
                manifest.write_text(fill(manifest.read_text("utf-8")), "utf-8")
                manifests[folder.name] = manifest

    specs = set()
    for name, manifest in manifests.items():
        text = manifest.read_text("utf-8")
        specs.update(dests(tomllib.loads(text)))
        if manifest.name == "payload.toml":
            continue  # a patch mkpatch refuses to make
        (out / "manifest" / f"{name}.toml").write_text(text, "utf-8")
        patch = work / f"{name}.exe"
        r = subprocess.run([mkpatch, "build", manifest, "-o", patch, "--stub", stub], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"seeds.py: {manifest}: {r.stderr}")
        payload = patch.read_bytes()[PAYLOAD_OFFSET:]
        (out / "payload" / name).write_bytes(payload)
        length = int.from_bytes(payload[4:8], "big")
        (out / "message" / name).write_bytes(b"\0" + payload[8:8 + length])

    for k, spec in enumerate(sorted(specs)):
        seed = b"\0" + spec.encode("cp932") + b"\0C:\\WINDOWS\0C:\\TARGET\\GAME.DAT"
        (out / "dest" / f"dest{k}").write_bytes(seed)
    delta_seeds(delta_bench, work, out)
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
