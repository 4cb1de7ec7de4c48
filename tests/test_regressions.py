"""Inputs that once crashed or misbehaved (most found by the fuzzers under fuzz/).

Each case lives in tests/regressions/<target>/<case>: a JSON text for the JSON reader, an
architecture file, a weights file, or a model directory (arch.json, weights.bin). Every one
must now fail with a clear RuntimeError whose message matches the pattern below, or
(pattern None) run cleanly. A model case may hold input.json: {"dims": [...], "dtype": ...}
for the tensor bound to its first input through the C++ interface, which takes any dims.
"""

import json
from pathlib import Path

import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from harness import testing as t

ROOT = Path(__file__).parent / "regressions"

# (case path under ROOT, message pattern, what went wrong before the fix)
CASES = [
    ("model/slice_empty_range", "zero or negative dimension",
     "an empty channel slice left its output slot without memory and the kernel got null"),
    ("model/concat_reads_own_output", "node 'cat' consumes its own output 'y'",
     "the concatenation read its own output slot while writing it (overlapping copies)"),
    ("model/in_place_rename", "node 'again' consumes its own output 'h'",
     "the second slice read its own unwritten output slot instead of the first slice's h"),
    ("model/concat_output_renames_input", "node 'cat' consumes its own output 'x'",
     "fuzz_model: concat [x, y] -> x read the slot it was writing (memcpy overlap)"),
    ("model/int8_input_larger_than_declared", None,
     "fuzz_model: int8 input bound with larger dims than declared; the float slice read "
     "four bytes per element from a slot sized for one"),
    ("model/input_beyond_size_limit", "exceeds the 4 GiB tensor size limit",
     "a declared input of 2^40 elements must fail before any allocation"),
    ("model/slice_end_beyond_channels", r"channel range \[1, 2147483647\) exceeds the input's 6 channels",
     "fuzz_model: a slice end far beyond the input's channels planned a 16 GiB output slot"),
    ("model/invalid_utf8_names", r"GemmFp32 'bad\\xffnode': tensor 'bad\\xffnode\.weight' is missing",
     "mutated model file: a node name that is not UTF-8 turned the error into UnicodeDecodeError"),
    ("model/output_renamed_onto_input", "invalid unordered_map",
     "fuzz_model: a second producer of 'a' took the input's freed slot, and nodes resolved "
     "through the final name map, so the first slice copied x onto itself (memcpy overlap)"),
]

PROBE_NAMES = ["fc.weight", "fc.bias", "conv.weight", "conv.scale"]


def run_model(case: Path):
    paths = str(case / "arch.json"), str(case / "weights.bin")
    if (case / "input.json").exists():
        spec = json.loads((case / "input.json").read_text())
        n = int(np.prod(spec["dims"]))
        t.run_unlocked(t.Model(*paths), np.arange(n).astype(spec["dtype"]), 2, spec["dims"])
        return
    m = mi.InferenceModel(*paths)
    given = {}
    for spec in m.inputs:
        dims = [d or 2 for d in spec.shape] or [1]
        given[spec.name] = np.zeros(dims, np.int8 if spec.dtype == "int8" else np.float32)
    if len(given) == 1:
        m.forward(next(iter(given.values())))
    else:
        m.forward(given)


def replay(path: Path):
    kind = path.parent.name
    if kind == "json":
        t.parse_json(path.read_bytes())
    elif kind == "arch":
        t.load_arch(str(path))
    elif kind == "weights":
        t.load_weights(str(path), PROBE_NAMES)
    else:
        run_model(path)


def test_every_stored_case_is_listed():
    stored = {str(p.relative_to(ROOT)) for p in ROOT.glob("*/*")}
    assert stored == {c for c, _, _ in CASES}


@pytest.mark.parametrize("case, message, _fault", CASES, ids=[c for c, _, _ in CASES])
def test_regression_fails_cleanly(case, message, _fault):
    if message is None:
        replay(ROOT / case)
        return
    with pytest.raises(RuntimeError, match=message):
        replay(ROOT / case)
