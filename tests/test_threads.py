"""Two models used at once from two threads give the results of serial runs."""

import threading

import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from harness import testing as t

ROWS, C = 256, 64


def pipeline(shift):
    """Slices and concatenations whose result is an exact rearrangement of the input."""
    a = mt.Arch(model=f"pipeline{shift}")
    a.add_input("x", [ROWS, C])
    a.add("head", "slice_channels_fp32", ["x"], "h", ch_start=shift, ch_end=C)
    a.add("tail", "slice_channels_fp32", ["x"], "t", ch_start=0, ch_end=shift)
    a.add("roll", "concat1d_fp32", ["h", "t"], "r", C2=shift)
    a.add("pad", "concat1d_fp32", ["r"], "y", C2=3)
    return a


def reference(x, shift):
    rolled = np.roll(x.reshape(ROWS, C), -shift, axis=1)
    return np.concatenate([rolled, np.zeros((ROWS, 3), np.float32)], 1).ravel()


@pytest.mark.parametrize("mode", ["forward", "unlocked"])
def test_two_models_on_two_threads_match_serial_runs(write_model, rng, mode):
    shifts = (5, 17)
    xs = [rng.standard_normal(ROWS * C).astype(np.float32) for _ in shifts]
    serial = [mi.InferenceModel(*write_model(pipeline(s))).forward(x) for s, x in zip(shifts, xs)]
    for s, x, y in zip(shifts, xs, serial):
        np.testing.assert_array_equal(y, reference(x, s))

    paths = [write_model(pipeline(s)) for s in shifts]
    results, errors = [None, None], []
    start = threading.Barrier(2)

    def work(i):
        try:
            # Each thread loads its own model, then runs it many times.
            m = (t.Model if mode == "unlocked" else mi.InferenceModel)(*paths[i])
            start.wait()
            if mode == "unlocked":
                results[i] = t.run_unlocked(m, xs[i], 200)
            else:
                for _ in range(200):
                    results[i] = m.forward(xs[i])
        except Exception as e:  # reported below with the thread's index
            errors.append((i, e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    for y, want in zip(results, serial):
        np.testing.assert_array_equal(y, want)
