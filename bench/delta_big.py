#!/usr/bin/python3
"""The delta decoder's memory on a file of 2 GB.

Usage: bench/delta_big.py

Makes, in build/bench-big/, an old file of 2 GB less 64 KB (sparse: zeros but
for two random megabytes), the new file (the old one with one byte changed
and one block copied from a gigabyte away) and the delta between them,
written block by block in the delta format, then compressed (qzt c -9). Then
runs the native delta_bench -r on them under /usr/bin/time and prints its
line and the process's peak memory, which comes out as for a pair of a few
megabytes: the decoder holds fixed buffers whatever the file's size. Needs
about 4.3 GB of disk for the rebuilt file and the stored copy, which
delta_bench removes. Never run by the tests.
"""
import random
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BIN = ROOT / "build" / "native" / "bin"
OUT = ROOT / "build" / "bench-big"
SIZE = 2**31 - 65536  # the file streams' positions are signed 32-bit
BLOCK = 32768
FAR = 2**30  # the old position of the block copied from far away
CHANGED_BLOCK, FAR_BLOCK = 3, 30000


class Bits:
    """16-bit big-endian words, bits most significant first."""

    def __init__(self):
        self.acc, self.n, self.out = 0, 0, bytearray()

    def put(self, k, v):
        for i in range(k - 1, -1, -1):
            self.acc = self.acc << 1 | (v >> i & 1)
            self.n += 1
            if self.n == 16:
                self.out += self.acc.to_bytes(2, "big")
                self.acc, self.n = 0, 0

    def gamma(self, v):
        self.put(v.bit_length() - 1, 0)
        self.put(v.bit_length(), v)

    def words(self):
        if self.n:
            self.put(16 - self.n, 0)
        return bytes(self.out)


def zigzag(v):
    return 2 * v if v >= 0 else -2 * v - 1


def make_pair():
    rng = random.Random(7)
    with open(OUT / "old", "wb") as f:
        f.truncate(SIZE)
        for at in (0, FAR):
            f.seek(at)
            f.write(rng.randbytes(2**20))
    # Each block one old copy of the whole block, without literals.
    delta = bytearray()
    old_pos = 0
    for i in range(SIZE // BLOCK):
        b = Bits()
        source = FAR if i == FAR_BLOCK else i * BLOCK
        b.gamma(1)
        b.gamma(zigzag(source - old_pos) + 1)
        b.gamma(BLOCK)
        if i == CHANGED_BLOCK:
            b.gamma(2)  # one change, 5 bytes in: a new byte change of +1
            b.gamma(5 + 1)
            b.put(2, 0)
            b.put(8, 1)
        else:
            b.gamma(1)
        old_pos = source + BLOCK
        delta += (0x7A64).to_bytes(2, "big") + BLOCK.to_bytes(2, "big") + bytes(2) + b.words()
    (OUT / "delta").write_bytes(delta)
    subprocess.run(["cp", "--sparse=always", OUT / "old", OUT / "new"], check=True)
    with open(OUT / "old", "rb") as f, open(OUT / "new", "r+b") as g:
        f.seek(CHANGED_BLOCK * BLOCK + 5)
        g.seek(CHANGED_BLOCK * BLOCK + 5)
        g.write(bytes([(f.read(1)[0] + 1) & 0xFF]))
        f.seek(FAR)
        g.seek(FAR_BLOCK * BLOCK)
        g.write(f.read(BLOCK))
    subprocess.run([BIN / "qzt", "c", "-9", OUT / "delta", OUT / "delta.qzt"], check=True, capture_output=True)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    try:
        make_pair()
        r = subprocess.run(["/usr/bin/time", "-f", "peak memory %M KB", BIN / "delta_bench", "-r", OUT / "old",
                            OUT / "delta.qzt", OUT / "new"], capture_output=True, text=True)
        print(r.stdout + r.stderr, end="")
        return r.returncode
    finally:
        for name in ("old", "new", "delta", "delta.qzt"):
            (OUT / name).unlink(missing_ok=True)


if __name__ == "__main__":
    sys.exit(main())
