"""Max pooling, global average pooling and bilinear upsampling against NumPy and PyTorch."""
import numpy as np
import pytest

from harness import check_rejects, one_node, testing as T
from int8_reference import rescale, saturate
from op_table import CLASS_OF


def c_div(a, b):
    return int(a / b)  # truncation toward zero, as in C


def maxpool_reference(x, k, s, p, lowest):
    """x is (H, W, C); taps outside the image are skipped."""
    H, W, C = x.shape
    Ho, Wo = (c_div(H + 2 * p[0] - k[0], s[0]) + 1, c_div(W + 2 * p[1] - k[1], s[1]) + 1)
    out = np.full((max(Ho, 0), max(Wo, 0), C), lowest, x.dtype)
    for oy in range(max(Ho, 0)):
        for ox in range(max(Wo, 0)):
            y0, x0 = oy * s[0] - p[0], ox * s[1] - p[1]
            win = x[max(y0, 0):max(y0 + k[0], 0), max(x0, 0):max(x0 + k[1], 0)]
            if win.size:
                out[oy, ox] = win.reshape(-1, C).max(axis=0)
    return out


# (H, W, C), (kH, kW), (stride_h, stride_w), (pad_h, pad_w)
POOL_CASES = [
    ((1, 1, 5), (3, 3), (2, 2), (1, 1)),
    ((7, 9, 3), (3, 3), (2, 2), (0, 0)),
    ((8, 8, 40), (3, 3), (2, 2), (1, 1)),
    ((6, 5, 17), (2, 3), (1, 2), (1, 0)),
    ((2, 2, 33), (3, 3), (2, 2), (0, 0)),  # negative numerator: one partial window
    ((4, 4, 8), (2, 2), (2, 2), (2, 2)),  # windows wholly in the padding
    ((5, 40, 2), (1, 19), (1, 3), (0, 1)),
]


@pytest.mark.parametrize("hwc,k,s,p", POOL_CASES)
def test_maxpool_kernels(hwc, k, s, p):
    rng = np.random.default_rng(sum(hwc))
    xf = rng.standard_normal(hwc).astype(np.float32)
    xq = rng.integers(-128, 128, hwc, dtype=np.int8)
    args = (k[0], k[1], s[0], s[1], p[0], p[1])
    want_f = maxpool_reference(xf, k, s, p, -np.inf)
    want_q = maxpool_reference(xq, k, s, p, -128)
    for ref in (False, True):
        np.testing.assert_array_equal(T.maxpool_fp32(xf, *args, ref=ref), want_f)
        np.testing.assert_array_equal(T.maxpool_int8(xq, *args, ref=ref), want_q)
        planar = T.maxpool_int8(np.ascontiguousarray(xq.transpose(2, 0, 1)), *args, ref=ref,
                                planar=True)
        np.testing.assert_array_equal(planar.transpose(1, 2, 0), want_q)


@pytest.mark.parametrize("op,dtype", [("maxpool_fp32", np.float32), ("maxpool_int8", np.int8),
                                      ("maxpool", np.int8)])
def test_maxpool_layer(op, dtype):
    x = (np.random.default_rng(2).standard_normal((112, 112, 3)) * 40).astype(dtype)
    y = T.run_layer(op, {"pad_h": 1, "pad_w": 1}, [x])
    assert y.shape == (56, 56, 3) and y.dtype == dtype
    np.testing.assert_array_equal(y, maxpool_reference(x, (3, 3), (2, 2), (1, 1), x.min()))
    assert T.run_layer(op, {}, [x]).shape == (55, 55, 3)


@pytest.mark.parametrize("args,what", [
    ({"kH": 0}, "must be positive"), ({"kW": -1}, "must be positive"),
    ({"stride_h": 0}, "must be positive"), ({"stride_w": -2}, "must be positive"),
])
def test_maxpool_rejects_bad_window(args, what):
    with pytest.raises(RuntimeError, match=f"MaxPoolFp32 'pool1'.*{what}"):
        T.layer_output_shape("maxpool_fp32", args, [(3, 8, 8)], name="pool1")


def test_maxpool_rejects_no_output_pixel():
    # Planning with a placeholder shape must not fail; running on it must.
    assert T.layer_output_shape("maxpool_int8", {"kH": 5, "kW": 5}, [(3, 1, 1)]) == (3, 0, 0)
    with pytest.raises(RuntimeError, match="MaxPoolInt8 'p'.*no output pixel"):
        T.run_layer("maxpool_int8", {"kH": 5, "kW": 5}, [np.zeros((1, 1, 3), np.int8)], name="p")


def test_model_rejects_input_too_small_for_the_window_and_stays_usable(make_model):
    model = make_model(one_node("maxpool_int8", (0, 8, 3), name="p", dtype="int8", kH=5, kW=5))
    x = np.random.default_rng(3).integers(-128, 128, (8, 8, 3), dtype=np.int8)
    y = check_rejects(model, x[:2], x, node="p", match="no output pixel on a 2x8 input")
    np.testing.assert_array_equal(y, maxpool_reference(x, (5, 5), (2, 2), (0, 0), -128).ravel())


@pytest.mark.parametrize("hwc", [(1, 1, 1), (7, 7, 20), (3, 11, 64), (9, 9, 3)])
def test_avgpool(hwc):
    rng = np.random.default_rng(sum(hwc))
    x = rng.standard_normal(hwc).astype(np.float32)
    want = x.astype(np.float64).mean(axis=(0, 1))
    for ref in (False, True):
        np.testing.assert_allclose(T.avgpool_fp32(x, ref=ref), want, rtol=1e-5, atol=1e-6)
    y = T.run_layer("avgpool_fp32", {}, [x])
    assert y.shape == (1, 1, hwc[2])
    np.testing.assert_array_equal(y.ravel(), T.avgpool_fp32(x, ref=True))

    q = rng.integers(-128, 128, hwc, dtype=np.int8)
    for in_scale, in_zp, out_scale, out_zp in [(1, 0, 1, 0), (0.05, -7, 0.02, 3), (0.3, 100, 0.01, -128)]:
        f = np.float32(in_scale) / (np.float32(hwc[0] * hwc[1]) * np.float32(out_scale))
        acc = q.astype(np.int64).sum(axis=(0, 1)) - in_zp * hwc[0] * hwc[1]
        want_q = saturate(rescale(acc, f) + out_zp)
        for ref in (False, True):
            np.testing.assert_array_equal(
                T.avgpool_int8(q, in_scale, in_zp, out_scale, out_zp, ref=ref), want_q)
            planar = np.ascontiguousarray(q.transpose(2, 0, 1))
            np.testing.assert_array_equal(
                T.avgpool_int8(planar, in_scale, in_zp, out_scale, out_zp, ref=ref, planar=True),
                want_q)
        args = {"in_scale": in_scale, "in_zp": in_zp, "out_scale": out_scale, "out_zp": out_zp}
        np.testing.assert_array_equal(T.run_layer("avgpool_int8", args, [q]).ravel(), want_q)


def test_avgpool_int8_constant_plane():
    x = np.full((7, 7, 5), 12 + 5, np.int8)
    np.testing.assert_array_equal(T.avgpool_int8(x, 0.1, 12, 0.1, -3), [2] * 5)


@pytest.mark.parametrize("op,args,what", [
    ("avgpool_int8", {"out_scale": 0.0}, "out_scale must be finite and positive"),
    ("avgpool_int8", {"in_zp": 300}, "must be int8 values"),
    ("avgpool_int8", {"in_scale": 1e12}, "below 2\\^30"),
    ("upsample_bilinear_fp32", {"scale_h": 0.0}, "scale_h must be finite and positive"),
    ("upsample_bilinear_fp32", {"scale_w": float("inf")}, "scale_w must be finite and positive"),
    ("upsample_bilinear_fp32", {"scale_h": float("nan")}, "scale_h must be finite and positive"),
    ("upsample_bilinear_fp32", {"scale_h": 1e30}, "absurd output size"),
    ("upsample_bilinear_fp32", {"scale_h": 3e4, "scale_w": 3e4}, "absurd output size"),
])
def test_rejected_configurations(op, args, what):
    with pytest.raises(RuntimeError, match=f"{CLASS_OF[op]} 'n7'.*{what}"):
        T.layer_output_shape(op, args, [(8, 7, 7)], name="n7")


@pytest.mark.parametrize("op,dtype", [("avgpool_fp32", np.float32), ("avgpool_int8", np.int8)])
def test_avgpool_rejects_empty_plane(op, dtype):
    with pytest.raises(RuntimeError, match=f"{CLASS_OF[op]} 'gap'.*empty plane"):
        T.run_layer(op, {}, [np.zeros((0, 3, 4), dtype)], name="gap")


def test_upsample_kernels_match_torch():
    torch = pytest.importorskip("torch")
    torch.set_num_threads(1)
    rng = np.random.default_rng(11)
    for (H, W, C), (Ho, Wo) in [((2, 2, 1), (4, 4)), ((7, 7, 19), (11, 11)), ((5, 3, 8), (2, 7)),
                                ((1, 1, 3), (3, 2)), ((4, 6, 9), (4, 6))]:
        x = rng.standard_normal((H, W, C)).astype(np.float32)
        t = torch.from_numpy(x).permute(2, 0, 1)[None]
        want = torch.nn.functional.interpolate(t, size=(Ho, Wo), mode="bilinear",
                                               align_corners=False)[0].permute(1, 2, 0).numpy()
        got = T.upsample_bilinear_fp32(x, Ho, Wo)
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)
        np.testing.assert_array_equal(got, T.upsample_bilinear_fp32(x, Ho, Wo, ref=True))


def test_upsample_weights_and_layer_shape():
    p = np.array([[1.0, 10.0], [100.0, 1000.0]], np.float32)[:, :, None]
    y = T.upsample_bilinear_fp32(p, 4, 4)[:, :, 0]
    assert y[0, 0] == 1.0
    assert y[1, 1] == pytest.approx(0.5625 * 1 + 0.1875 * 10 + 0.1875 * 100 + 0.0625 * 1000)
    x = np.zeros((7, 7, 3), np.float32)
    assert T.run_layer("upsample_bilinear_fp32", {}, [x]).shape == (14, 14, 3)
    assert T.run_layer("upsample_bilinear_fp32", {"scale_h": 1.5, "scale_w": 1.5}, [x]).shape == (11, 11, 3)
