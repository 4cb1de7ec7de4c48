"""Two models used at once from two threads give the results of serial runs."""

import threading

import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from harness import num_threads, testing as t

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


def cnn(shift):
    """Pointwise, depthwise and 3x3 convolutions large enough to be split over a team; the
    shift seeds the weights."""
    g = np.random.default_rng(shift)
    a = mt.Arch(model=f"cnn{shift}")
    a.add_input("x", [16, 16, C])
    tensors, src = {}, "x"
    for name, (c_out, k, groups) in {"pw": (96, 1, 1), "dw": (96, 3, 96), "c3": (C, 3, 1)}.items():
        c_in = C if src == "x" else tensors[src + ".weight"].shape[0]
        tensors[name + ".weight"] = g.standard_normal((c_out, c_in // groups, k, k)).astype(np.float32) * 0.1
        a.add(name, "conv_fp32", [src], name, relu=True, C_in=c_in, C_out=c_out, kH=k, kW=k,
              pad_h=k // 2, pad_w=k // 2, groups=groups)
        src = name
    return a, tensors


def reference(x, shift):
    rolled = np.roll(x.reshape(ROWS, C), -shift, axis=1)
    return np.concatenate([rolled, np.zeros((ROWS, 3), np.float32)], 1).ravel()


@pytest.mark.parametrize("mode", ["forward", "unlocked"])
@pytest.mark.parametrize("net", ["pipeline", "cnn"])
def test_two_models_on_two_threads_match_serial_runs(write_model, rng, mode, net):
    """Each model's own kernels may also split their work over the engine's threads."""
    shifts = (5, 17)
    xs = [rng.standard_normal(ROWS * C).astype(np.float32) for _ in shifts]
    paths = [write_model(pipeline(s)) if net == "pipeline" else write_model(*cnn(s)) for s in shifts]
    with num_threads(1):
        serial = [mi.InferenceModel(*p).forward(x) for p, x in zip(paths, xs)]
    if net == "pipeline":
        for s, x, y in zip(shifts, xs, serial):
            np.testing.assert_array_equal(y, reference(x, s))

    results, errors = [None, None], []
    start = threading.Barrier(2)

    def work(i):
        try:
            # Each thread loads its own model, then runs it many times.
            m = (t.Model if mode == "unlocked" else mi.InferenceModel)(*paths[i])
            start.wait()
            with num_threads(2):  # the thread count is per thread
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
