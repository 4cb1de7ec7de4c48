"""Splits a fuzz_model input into its files: split_model_input.py INPUT OUTDIR.

Writes OUTDIR/arch.json, OUTDIR/weights.bin and OUTDIR/input.bin (the bytes the harness
binds to the inputs), so a finding can be replayed through the Python module and kept as
a regression case.
"""

import struct
import sys
from pathlib import Path


def split(data: bytes) -> list[bytes]:
    parts = []
    for _ in range(2):
        head, data = data[:4], data[4:]
        n = struct.unpack("<I", head.ljust(4, b"\0"))[0] if head else 0
        parts.append(data[:n])
        data = data[n:]
    return parts + [data]


if __name__ == "__main__":
    out = Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for name, part in zip(("arch.json", "weights.bin", "input.bin"),
                          split(Path(sys.argv[1]).read_bytes())):
        (out / name).write_bytes(part)
