"""Writer for W1X1 weights files.

Layout (all integers little-endian):

* header, 12 bytes: ``b"W1X1"``, version (u32), number of index entries (u32);
* index: one 80-byte entry per tensor: the name (at most 63 bytes, NUL-padded to 64),
  the record's absolute offset (u64) and the record's length in bytes (u64);
* records: dtype code (u8), ordering code (u8), ndim (u16), ndim dims (i32 each,
  outermost first), then the raw element bytes.

The engine hands each layer the raw bytes and the layer fixes their meaning, so the two
codes are informational. This writer uses the codes in ``DTYPE_CODES`` and
``ORDER_ROW_MAJOR`` (0: C order of the given shape).
"""

from __future__ import annotations

import os
import struct
import tempfile
from typing import Mapping

import numpy as np

DTYPE_CODES = {
    np.dtype(np.float32): 0,
    np.dtype(np.int8): 1,
    np.dtype(np.int32): 2,
    np.dtype(np.int64): 3,
    np.dtype(np.uint8): 4,
    np.dtype(np.float16): 5,
    np.dtype(np.int16): 6,
}
ORDER_ROW_MAJOR = 0

VERSION = 1
_HEADER = 12
_ENTRY = 80
_MAX_NAME = 63
_MAX_OFFSET = 2**31 - 1


def _record(array: np.ndarray) -> bytes:
    arr = np.asarray(array, order="C")
    dtype = arr.dtype.newbyteorder("<") if arr.dtype.byteorder == ">" else arr.dtype
    code = DTYPE_CODES.get(np.dtype(dtype.str.replace(">", "<")))
    if code is None:
        raise ValueError(f"unsupported dtype {arr.dtype} (supported: {sorted(str(d) for d in DTYPE_CODES)})")
    if arr.ndim > 0xFFFF:
        raise ValueError("too many dimensions")
    if any(d > 2**31 - 1 for d in arr.shape):
        raise ValueError(f"dimension too large in shape {arr.shape}")
    head = struct.pack("<BBH", code, ORDER_ROW_MAJOR, arr.ndim)
    dims = struct.pack(f"<{arr.ndim}i", *arr.shape)
    return head + dims + arr.astype(arr.dtype.newbyteorder("<"), copy=False).tobytes()


def encode_weights(tensors: Mapping[str, np.ndarray], version: int = VERSION) -> bytes:
    """Return the bytes of a W1X1 file holding ``tensors`` (name -> array), in order."""
    names = list(tensors)
    for name in names:
        raw = name.encode("utf-8")
        if not raw or len(raw) > _MAX_NAME or b"\0" in raw:
            raise ValueError(f"tensor name {name!r} must be 1 to {_MAX_NAME} bytes without NUL")
    records = [_record(np.asarray(tensors[n])) for n in names]
    offset = _HEADER + _ENTRY * len(names)
    index = bytearray()
    for name, rec in zip(names, records):
        if offset > _MAX_OFFSET or len(rec) > 0xFFFFFFFF:
            raise ValueError("weights file too large: records must start below 2 GiB")
        index += name.encode("utf-8").ljust(64, b"\0") + struct.pack("<QQ", offset, len(rec))
        offset += len(rec)
    header = b"W1X1" + struct.pack("<II", version, len(names))
    return header + bytes(index) + b"".join(records)


def write_weights(path: str | os.PathLike, tensors: Mapping[str, np.ndarray],
                  version: int = VERSION) -> None:
    """Write ``tensors`` (name -> array) to a W1X1 file at ``path``.

    The file is written to a temporary name and renamed, so a failure leaves nothing
    half-written behind.
    """
    _atomic_write(path, encode_weights(tensors, version))


def _temp_beside(path: str, data: bytes) -> str:
    """Write ``data`` to a new temporary file in ``path``'s directory, with the mode a
    plain open() would give, and return its name."""
    umask = os.umask(0)
    os.umask(umask)
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)), prefix=".tmp-",
                               suffix=os.path.basename(path))
    try:
        os.chmod(tmp, 0o666 & ~umask)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except BaseException:
        os.unlink(tmp)
        raise
    return tmp


def _atomic_write(path: str | os.PathLike, data: bytes) -> None:
    path = os.fspath(path)
    tmp = _temp_beside(path, data)
    try:
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
