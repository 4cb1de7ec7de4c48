"""Small graphs of pooling, additions and activations run through InferenceModel."""
import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from int8_reference import rescale, saturate
from test_pooling import maxpool_reference


def sigmoid(v):
    return 1 / (1 + np.exp(-v))


def upsample2(x):
    """Half-pixel bilinear doubling of an (H, W, C) array, in float64."""
    def taps(n):
        s = np.maximum((np.arange(2 * n) + 0.5) / 2 - 0.5, 0)
        i0 = np.floor(s).astype(int)
        return i0, np.minimum(i0 + 1, n - 1), s - i0
    y0, y1, ly = taps(x.shape[0])
    x0, x1, lx = taps(x.shape[1])
    rows = x[y0] * (1 - ly)[:, None, None] + x[y1] * ly[:, None, None]
    return rows[:, x0] * (1 - lx)[None, :, None] + rows[:, x1] * lx[None, :, None]


def test_fp32_graph(write_model):
    a = mt.Arch(model="cnn_fp32", outputs=["gap", "act"])
    a.add_input("x", [8, 8, 12])
    a.add("pool", "maxpool_fp32", ["x"], "p", pad_h=1, pad_w=1)
    a.add("sig", "sigmoid_fp32", ["p"], "s")
    a.add("th", "tanh_fp32", ["p"], "t")
    a.add("sum", "add_fp32", ["s", "t"], "u", relu=True)
    a.add("up", "upsample_bilinear_fp32", ["u"], "v")
    a.add("res", "add_fp32", ["v", "x"], "r")
    a.add("gelu", "gelu_fp32", ["r"], "g")
    a.add("silu", "silu_fp32", ["g"], "q")
    a.add("leaky", "leaky_relu_fp32", ["q"], "l", alpha=0.1)
    a.add("half", "scale_fp32", ["l"], "h", scalar=0.5)
    a.add("sin", "sin_fp32", ["h"], "z")
    a.add("exp", "exp_fp32", ["z"], "act")
    a.add("gap", "avgpool_fp32", ["act"], "gap")
    m = mi.InferenceModel(*write_model(a))

    x = np.random.default_rng(0).standard_normal((8, 8, 12)).astype(np.float32)
    p = maxpool_reference(x.astype(np.float64), (3, 3), (2, 2), (1, 1), -np.inf)
    r = upsample2(np.maximum(sigmoid(p) + np.tanh(p), 0)) + x
    g = 0.5 * r * (1 + np.tanh(np.sqrt(2 / np.pi) * (r + 0.044715 * r**3)))
    q = g * sigmoid(g)
    act = np.exp(np.sin(0.5 * np.where(q >= 0, q, 0.1 * q)))
    out = m.forward({"x": x})
    np.testing.assert_allclose(out["act"], act.ravel(), rtol=2e-5, atol=2e-5)
    np.testing.assert_allclose(out["gap"], act.mean(axis=(0, 1)), rtol=2e-5, atol=2e-5)


def test_int8_graph(write_model):
    a = mt.Arch(model="cnn_int8", outputs=["gap"])
    a.add_input("x", [9, 9, 19], dtype="int8")
    a.add("pool", "maxpool", ["x"], "p", kH=3, kW=3, stride_h=1, stride_w=1, pad_h=1, pad_w=1)
    a.add("res", "add", ["p", "x"], "r", in1_scale=0.04, in1_zp=2, in2_scale=0.03, in2_zp=-1,
          out_scale=0.05, out_zp=-4)
    a.add("gap", "avgpool_int8", ["r"], "gap", in_scale=0.05, in_zp=-4, out_scale=0.02, out_zp=7)
    m = mi.InferenceModel(*write_model(a))

    x = np.random.default_rng(1).integers(-128, 128, (9, 9, 19), dtype=np.int8)
    p = maxpool_reference(x, (3, 3), (1, 1), (1, 1), -128).astype(np.int64)
    f1 = np.float32(0.04) / np.float32(0.05)
    f2 = np.float32(0.03) / np.float32(0.05)
    r = saturate(-4 + rescale(p - 2, f1) + rescale(x.astype(np.int64) + 1, f2)).astype(np.int64)
    f = np.float32(0.05) / (np.float32(81) * np.float32(0.02))
    gap = saturate(rescale(r.sum(axis=(0, 1)) + 4 * 81, f) + 7)
    np.testing.assert_array_equal(m.forward(x), gap.astype(np.float32))


def test_add_with_one_input_fails_at_construction(write_model):
    a = mt.Arch(model="bad")
    a.add_input("x", [4, 4, 8])
    a.add("lonely_add", "add_fp32", ["x"], "y")
    with pytest.raises(RuntimeError, match="AddFp32 'lonely_add'.*two inputs"):
        mi.InferenceModel(*write_model(a))


def test_pooling_without_output_pixel_fails_at_run(write_model):
    a = mt.Arch(model="varpool")
    a.add_input("x", [0, 5, 4])
    a.add("pool", "maxpool_fp32", ["x"], "y", kH=3, kW=3)
    m = mi.InferenceModel(*write_model(a))
    assert m.forward(np.ones((5, 5, 4), np.float32)).shape == (2 * 2 * 4,)
    with pytest.raises(RuntimeError, match="MaxPoolFp32 'pool'.*no output pixel"):
        m.forward(np.ones((1, 5, 4), np.float32))
