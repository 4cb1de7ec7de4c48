import struct

import numpy as np
import pytest

import model_inference_tools as mt
from harness import testing as t


def entry(name: bytes, offset: int, size: int) -> bytes:
    return name.ljust(64, b"\0")[:64] + struct.pack("<QQ", offset, size)


def record(dims, payload: bytes, dtype=0) -> bytes:
    return struct.pack("<BBH", dtype, 0, len(dims)) + struct.pack(f"<{len(dims)}i", *dims) + payload


def load(tmp_path, data: bytes, names):
    p = tmp_path / "w.bin"
    p.write_bytes(data)
    return t.load_weights(str(p), names)


def test_round_trip_through_writer(tmp_path, rng):
    tensors = {
        "conv1.weight": rng.standard_normal((4, 3, 3, 2)).astype(np.float32),
        "conv1.bias": np.arange(4, dtype=np.float32),
        "q.weight_i8": rng.integers(-128, 128, (5, 7), dtype=np.int8),
        "scalar": np.array(3, dtype=np.int32),
        "empty": np.zeros((0, 4), dtype=np.float32),
    }
    p = tmp_path / "w.bin"
    mt.write_weights(p, tensors)
    got = t.load_weights(str(p), list(tensors) + ["absent", "CONV1.BIAS"])
    for name, arr in tensors.items():
        shape, data = got["tensors"][name]
        assert shape == list(arr.shape) and data == arr.tobytes()
    assert got["tensors"]["absent"] is None and got["tensors"]["CONV1.BIAS"] is None
    assert got["max_tensor_bytes"] == 4 * 4 * 3 * 3 * 2


def test_only_requested_tensors_count(tmp_path):
    p = tmp_path / "w.bin"
    mt.write_weights(p, {"big": np.zeros(1000, np.float32), "small": np.zeros(3, np.int8)})
    assert t.load_weights(str(p), ["small"])["max_tensor_bytes"] == 3
    assert t.load_weights(str(p), [])["max_tensor_bytes"] == 0


def test_layout_edge_cases(tmp_path):
    name63 = b"n" * 63
    name64 = b"m" * 64
    recs = [record([2], b"\x01" * 8), record([], b"\x02" * 5), record([1], b"\x03" * 4),
            record([3], b"\x04" * 12)]
    names = [name63, name64, b"dup", b"dup"]
    offset = 12 + 80 * len(recs)
    index = b""
    for n, r in zip(names, recs):
        index += entry(n, offset, len(r))
        offset += len(r)
    data = b"W1X1" + struct.pack("<II", 0xDEADBEEF, len(recs)) + index + b"".join(recs)
    got = load(tmp_path, data, [name63.decode(), "m" * 63, "m" * 64, "dup"])["tensors"]
    assert got[name63.decode()] == ([2], b"\x01" * 8)
    assert got["m" * 63] == ([], b"\x02" * 5)  # the 64th byte is cut off
    assert got["m" * 64] is None
    assert got["dup"] == ([3], b"\x04" * 12)  # the later entry wins


def test_empty_file_and_negative_offset(tmp_path):
    assert load(tmp_path, b"W1X1" + struct.pack("<II", 1, 0), ["a"])["tensors"] == {"a": None}
    # An offset whose low 32 bits are negative cannot be sought: the tensor is absent.
    data = b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 0xFFFFFFF0, 8) + record([1], b"xxxx")
    assert load(tmp_path, data, ["a"])["tensors"] == {"a": None}


def good_file() -> bytes:
    rec = record([2, 3], bytes(range(24)))
    return b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 92, len(rec)) + rec


@pytest.mark.parametrize(
    "cut, field",
    [(0, "magic"), (3, "magic"), (4, "version"), (7, "version"), (8, "num_entries"),
     (12, "index_entry"), (91, "index_entry"), (92, "tensor_dtype"), (93, "tensor_ordering"),
     (94, "tensor_ndim"), (95, "tensor_ndim"), (96, "tensor_shape"), (103, "tensor_shape"),
     (104, "tensor_data"), (127, "tensor_data")],
)
def test_truncation_at_every_field(tmp_path, cut, field):
    with pytest.raises(RuntimeError, match=f"^read error at {field}$"):
        load(tmp_path, good_file()[:cut], ["a"])


@pytest.mark.parametrize(
    "data, message",
    [
        (b"W1X2" + bytes(8), r"^Bad magic in .*w\.bin \(expected W1X1\)$"),
        # More entries than the file could hold: a read error, not a huge reservation.
        (b"W1X1" + struct.pack("<II", 1, 0xFFFFFFFF), "^read error at index_entry$"),
        # A record that claims more bytes than the file has.
        (b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 92, 0xFFFFFFFF) + record([1], b"abcd"),
         "^read error at tensor_data$"),
        (b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 92, 12) + record([0xFFFF // 2] * 1, b"")[:4],
         "^read error at tensor_shape$"),
        (b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 92, 6) + record([1, 2], b""),
         "^weights file .*w\\.bin: tensor 'a' record size 6 is smaller than its header of 12 bytes$"),
    ],
)
def test_malformed_files(tmp_path, data, message):
    with pytest.raises(RuntimeError, match=message):
        load(tmp_path, data, ["a"])


def test_cannot_open(tmp_path):
    with pytest.raises(RuntimeError, match="^Cannot open weights: /nonexistent/w.bin$"):
        t.load_weights("/nonexistent/w.bin", [])


def test_huge_ndim_is_bounded_by_file(tmp_path):
    head = struct.pack("<BBH", 0, 0, 0xFFFF)
    data = b"W1X1" + struct.pack("<II", 1, 1) + entry(b"a", 92, 0xFFFFFFFF) + head + b"\0" * 8
    with pytest.raises(RuntimeError, match="^read error at tensor_shape$"):
        load(tmp_path, data, ["a"])


@pytest.mark.parametrize(
    "name", ["", "a" * 64, "bad\0name"],
)
def test_writer_rejects_unstorable_names(tmp_path, name):
    with pytest.raises(ValueError):
        mt.write_weights(tmp_path / "w.bin", {name: np.zeros(1, np.float32)})
    assert list(tmp_path.iterdir()) == []
