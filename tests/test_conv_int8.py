"""Int8 convolution: every path against an integer reference of its rounding rule."""

import math

import numpy as np
import pytest

from harness import num_threads, testing as t
from int8_reference import (high_then_shift, multipliers, one_step, quantize_multiplier,
                            requantize, saturate, two_step, wrap32)

BT = np.array([[1, 0, -1, 0], [0, 1, 1, 0], [0, -1, 1, 0], [0, 1, 0, -1]], np.int64)
AT = np.array([[1, 1, 1, 0], [0, 1, -1, -1]], np.int64)
G = np.array([[1, 0, 0], [0.5, 0.5, 0.5], [0.5, -0.5, 0.5], [0, 0, 1]], np.float64)


def conv_acc(x, w, in_zp, stride, pad, groups):
    """Exact int64 sums of raw int8 products, positions outside the image reading in_zp."""
    H, W, C = x.shape
    N, Cg, kH, kW = w.shape
    xp = np.full((H + 2 * pad, W + 2 * pad, C), in_zp, np.int64)
    xp[pad:pad + H, pad:pad + W] = x
    Ho, Wo = (H + 2 * pad - kH) // stride + 1, (W + 2 * pad - kW) // stride + 1
    acc = np.zeros((Ho, Wo, N), np.int64)
    Ng = N // groups
    for ky in range(kH):
        for kx in range(kW):
            win = xp[ky:ky + stride * (Ho - 1) + 1:stride, kx:kx + stride * (Wo - 1) + 1:stride]
            for g in range(groups):
                acc[..., g * Ng:(g + 1) * Ng] += np.einsum(
                    "yxc,nc->yxn", win[..., g * Cg:(g + 1) * Cg], w[g * Ng:(g + 1) * Ng, :, ky, kx].astype(np.int64))
    return acc


def tile_patches(x, pad_value):
    H, W, C = x.shape
    th, tw = (H + 1) // 2, (W + 1) // 2
    p = np.full((2 * th + 2, 2 * tw + 2, C), pad_value, np.int64)
    p[1:H + 1, 1:W + 1] = x
    return np.stack([p[2 * a:2 * a + 4, 2 * b:2 * b + 4] for a in range(th) for b in range(tw)])


def winograd_input_ref(x, zp):
    v = np.einsum("ai,tijc,bj->abtc", BT, tile_patches(x, zp), BT).reshape(16, -1, x.shape[2])
    return np.clip((v + 2) >> 2, -128, 127)


def rescale_positions(P, scales):
    """Each position's products times scale_k / 0.25: rounded product, then the shift."""
    pm, ps = multipliers(np.float32(scales) / np.float32(0.25))
    return wrap32(high_then_shift(P, pm[:, None, None], ps[:, None, None]))


def winograd_output_ref(r, bias, m, sh, out_zp, H, W):
    th, tw = (H + 1) // 2, (W + 1) // 2
    N = r.shape[-1]
    y = np.einsum("ia,abyxn,jb->yixjn", AT, r.reshape(4, 4, th, tw, N), AT)
    y = y.reshape(2 * th, 2 * tw, N)[:H, :W]
    return saturate(two_step(wrap32(y + wrap32(bias)), m, sh) + out_zp)


def winograd_weights_ref(w):
    """Transformed float32 kernels (products by 1/2 are exact, sums in the kernel's order),
    quantised per position to int8 with scale max|U_k| / 127."""
    h = np.float32(0.5)

    def rows(a, b, c):
        return [a, (h * a + h * b) + h * c, (h * a - h * b) + h * c, c]

    g = w.astype(np.float32)
    Gg = np.stack(rows(g[:, :, 0], g[:, :, 1], g[:, :, 2]), axis=2)
    U = np.stack(rows(Gg[..., 0], Gg[..., 1], Gg[..., 2]), axis=3)
    U = U.reshape(w.shape[0], w.shape[1], 16).transpose(2, 0, 1)
    absmax = np.abs(U).reshape(16, -1).max(1)
    scale = np.where(absmax > 0, absmax * np.float32(0.007874016), np.float32(1)).astype(np.float32)
    v = (U * (np.float32(1) / scale)[:, None, None]).astype(np.float64)
    return np.clip(np.sign(v) * np.floor(np.abs(v) + 0.5), -128, 127).astype(np.int64), scale


def winograd_int8_ref(x, w, eff_bias, req, in_zp, out_zp):
    H, W, _ = x.shape
    q, scale = winograd_weights_ref(w)
    mw, sw = quantize_multiplier(float(scale[5] / np.float32(0.25)))
    t5 = one_step(wrap32(in_zp * q[5].sum(1)), mw, np.int64(sw))
    bias = wrap32(in_zp * w.astype(np.int64).sum((1, 2, 3)) - t5) + eff_bias
    P = np.einsum("ktc,knc->ktn", winograd_input_ref(x, in_zp), q)
    m, sh = multipliers(np.float32(req))
    return winograd_output_ref(rescale_positions(P, scale), bias, m, sh, out_zp, H, W)


def make_layer(rng, C_in, C_out, k, groups, wide=False, wmax=128):
    w = rng.integers(-wmax, wmax, (C_out, C_in // groups, k, k), dtype=np.int8)
    eff_bias = rng.integers(-5000, 5000, C_out).astype(np.int64)
    # Scales that spread the outputs over the int8 range; `wide` adds scales of 1 and more.
    spread = 30.0 / (74 * 74 * math.sqrt(C_in // groups * k * k))
    req = (spread * rng.uniform(0.5, 2.0, C_out)).astype(np.float32)
    if wide:
        req[::2] = rng.uniform(1.0, 3.0, len(req[::2]))
    return w, eff_bias, req


def run_int8(w, eff_bias, req, x, in_zp, out_zp, stride, pad, groups, name="q", **extra):
    C_out, Cg, kH, kW = w.shape
    args = dict(C_out=C_out, C_in=x.shape[2], kH=kH, kW=kW, stride_h=stride, stride_w=stride,
                pad_h=pad, pad_w=pad, groups=groups, in_zp=in_zp, out_zp=out_zp, **extra)
    tensors = {f"{name}.weight": w, f"{name}.req_scale": req, f"{name}.eff_bias": eff_bias}
    return t.conv_run_layer("conv_int8", name, args, tensors, x)


@pytest.mark.parametrize("s, m, e", [(0.5, 2**30, 0), (1.0, 2**30, 1), (0.75, 3 * 2**29, 0),
                                     (0.25, 2**30, -1), (1 - 2**-33, 2**30, 1)])
def test_fixed_point_factors(s, m, e):
    assert quantize_multiplier(s) == (m, e)
    args = dict(C_out=1, C_in=1)
    tensors = {"q.weight": np.ones(1, np.int8), "q.req_scale": np.float32([s]),
               "q.eff_bias": np.zeros(1, np.int64)}
    prep = t.conv_int8_prepared("q", args, tensors)
    assert (prep["multiplier"], prep["shift"]) == ([m], [e]) or s != float(np.float32(s))
    assert prep["packed_is_view"]


@pytest.mark.parametrize("x, m, sh", [
    (7, 2**30, -1), (-7, 2**30, -1), (6, 2**30, -1), (-6, 2**30, -1), (3, 3 * 2**29, -1),
    (-3, 3 * 2**29, -1), (123456, 1518500250, -9), (-123457, 1518500250, -9), (3, 2**30, 2)])
def test_rounding_rules_at_boundaries(x, m, sh):
    assert t.requant_two_step(x, m, sh) == int(two_step(np.int64(x), m, np.int64(sh)))
    assert t.requant_one_step(x, m, sh) == int(one_step(np.int64(x), m, np.int64(sh)))
    # x / 4 with x = +-6 is an exact tie: one rounding goes up (2, -1); two steps round
    # 3 then 3.5 and floor after the shift (1, -2).
    if (x, sh) == (6, -1):
        assert (t.requant_two_step(x, m, sh), t.requant_one_step(x, m, sh)) == (1, 2)
    if (x, sh) == (-6, -1):
        assert (t.requant_two_step(x, m, sh), t.requant_one_step(x, m, sh)) == (-2, -1)


GENERAL = [
    # C_in, C_out, k, stride, pad, groups, H, W
    (3, 16, 7, 2, 3, 1, 15, 13),   # stem gather
    (13, 9, 3, 2, 1, 1, 9, 8),
    (16, 24, 1, 1, 0, 1, 6, 5),    # pointwise, the input is the GEMM operand
    (16, 20, 1, 2, 0, 1, 7, 7),    # strided pointwise
    (5, 11, 5, 1, 2, 1, 7, 9),
    (8, 8, 3, 1, 0, 1, 3, 3),      # input as small as the kernel
    (4, 6, 3, 2, 1, 1, 1, 1),      # every border tap reads in_zp
    (8, 12, 3, 1, 1, 2, 6, 7),     # grouped, planar route
    (6, 12, 3, 1, 1, 6, 5, 6),     # channel multiplier: grouped, not depthwise
    (10, 10, 5, 1, 2, 10, 6, 6),   # depthwise 5x5: grouped
    (12, 12, 3, 2, 0, 12, 7, 7),   # depthwise pad 0: grouped
    (1, 2049, 3, 1, 1, 1, 2, 3),   # too many channels for the Winograd tables: general
    (3, 16, 7, 1, 3, 1, 97, 95),   # columns above 1 MiB: gathered a few output rows at a time
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("wide", [False, True])
@pytest.mark.parametrize("wmax", [128, 64], ids=["w8", "w7"])  # 7-bit: the unsigned-byte product
@pytest.mark.parametrize("C_in, C_out, k, s, p, groups, H, W", GENERAL)
def test_general_and_grouped_bit_exact(rng, threads, wide, wmax, C_in, C_out, k, s, p, groups, H,
                                       W):
    w, eff_bias, req = make_layer(rng, C_in, C_out, k, groups, wide, wmax)
    x = rng.integers(-128, 128, (H, W, C_in), dtype=np.int8)
    in_zp, out_zp = -7, 5
    with num_threads(threads):
        y, path = run_int8(w, eff_bias, req, x, in_zp, out_zp, s, p, groups)
    assert path == ("general" if groups == 1 else "grouped")
    ref = requantize(conv_acc(x, w, in_zp, s, p, groups), eff_bias, req, out_zp, two_step)
    np.testing.assert_array_equal(y, ref)


@pytest.mark.parametrize("C, stride, H, W", [(8, 1, 6, 7), (13, 2, 9, 9), (32, 1, 1, 1),
                                             (24, 2, 2, 3)])
@pytest.mark.parametrize("wide", [False, True])
def test_depthwise_bit_exact_one_step(rng, C, stride, H, W, wide):
    w, eff_bias, req = make_layer(rng, C, C, 3, C, wide)
    x = rng.integers(-128, 128, (H, W, C), dtype=np.int8)
    y, path = run_int8(w, eff_bias, req, x, 3, -4, stride, 1, C)
    assert path == "depthwise"
    ref = requantize(conv_acc(x, w, 3, stride, 1, C), eff_bias, req, -4, one_step)
    np.testing.assert_array_equal(y, ref)
    m, sh = multipliers(req)
    kern = t.depthwise3x3_int8(x, w, wrap32(eff_bias).astype(np.int32), m.astype(np.int32),
                               sh.astype(np.int32), 3, -4, stride, False)
    np.testing.assert_array_equal(kern, y)


@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("in_zp, out_zp", [(0, 0), (-128, 127), (127, -128)])
def test_depthwise_kernel_extreme_requantisation(rng, stride, in_zp, out_zp):
    """Full-range biases and multipliers; channels 0-15 round by shifts of 2 and more only,
    16-31 mix in scales near and above 1, and 32-39 are a trailing 8-channel block."""
    C, H, W = 40, 6, 5
    w = rng.integers(-128, 128, (C, 1, 3, 3), dtype=np.int8)
    x = rng.integers(-128, 128, (H, W, C), dtype=np.int8)
    bias = rng.integers(-2**31, 2**31, C, dtype=np.int64)
    bias[:8] = rng.integers(-2**17, 2**17, 8)  # and some that leave the result in range
    m = rng.integers(2**30, 2**31, C, dtype=np.int64)
    sh = np.concatenate([rng.integers(-40, -1, 16), [0, -1, 1, 2], rng.integers(-40, 3, 20)])
    kern = t.depthwise3x3_int8(x, w, bias.astype(np.int32), m.astype(np.int32),
                               sh.astype(np.int32), in_zp, out_zp, stride, True)
    acc = wrap32(conv_acc(x, w, in_zp, stride, 1, C) + bias)
    np.testing.assert_array_equal(kern, saturate(one_step(acc, m, sh) + out_zp))


@pytest.mark.parametrize("H, W, C", [(1, 1, 5), (3, 4, 16), (6, 5, 35)])
def test_winograd_int8_transforms(rng, H, W, C):
    x = rng.integers(-128, 128, (H, W, C), dtype=np.int8)
    V = t.winograd_input_int8(x, -9, True)
    np.testing.assert_array_equal(V, t.winograd_input_int8(x, -9, False))
    np.testing.assert_array_equal(V, winograd_input_ref(x, -9))

    N, T = C + 5, V.shape[1]
    P = rng.integers(-2**22, 2**22, (16, T, N)).astype(np.int32)
    scales = rng.uniform(0.002, 2.5, 16).astype(np.float32)
    pm, ps = zip(*[quantize_multiplier(float(s / np.float32(0.25))) for s in scales])
    bias = rng.integers(-2**20, 2**20, N).astype(np.int64)
    m, sh = multipliers(rng.uniform(1e-4, 1e-2, N))
    sh[:3] += 8  # scales above 1 in the first block exercise the one-step channels
    args = (P, list(pm), list(ps), bias, m.astype(np.int32), sh.astype(np.int32), 3, H, W)
    y = t.winograd_output_int8(*args, True)
    np.testing.assert_array_equal(y, t.winograd_output_int8(*args, False))
    np.testing.assert_array_equal(y, winograd_output_ref(rescale_positions(P, scales), bias, m, sh, 3, H, W))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("C_in, C_out, H, W, in_zp", [(16, 16, 8, 8, 0), (5, 24, 7, 5, -3),
                                                      (64, 40, 6, 9, 11)])
def test_winograd_int8_layer_bit_exact(rng, threads, C_in, C_out, H, W, in_zp):
    w, eff_bias, req = make_layer(rng, C_in, C_out, 3, 1)
    x = rng.integers(-128, 128, (H, W, C_in), dtype=np.int8)
    with num_threads(threads):
        y, path = run_int8(w, eff_bias, req, x, in_zp, 6, 1, 1, 1)
    assert path == "winograd"
    np.testing.assert_array_equal(y, winograd_int8_ref(x, w, eff_bias, req, in_zp, 6))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("winograd, path", [({}, "winograd"), ({"winograd": 1}, "winograd"),
                                            ({"winograd": 0}, "general")])
def test_winograd_argument_chooses_the_exact_path(rng, threads, winograd, path):
    """A Winograd-shaped layer with "winograd": 0 runs the general path and gives exactly the
    direct integer result; without the argument (or with 1) it stays on the Winograd path."""
    w, eff_bias, req = make_layer(rng, 24, 40, 3, 1)
    x = rng.integers(-128, 128, (9, 7, 24), dtype=np.int8)
    with num_threads(threads):
        y, got_path = run_int8(w, eff_bias, req, x, -5, 3, 1, 1, 1, **winograd)
    assert got_path == path
    exact = requantize(conv_acc(x, w, -5, 1, 1, 1), eff_bias, req, 3, two_step)
    if path == "general":
        np.testing.assert_array_equal(y, exact)
    else:
        np.testing.assert_array_equal(y, winograd_int8_ref(x, w, eff_bias, req, -5, 3))
        assert np.any(y != exact)


@pytest.mark.parametrize("C_in, C_out, H, W", [(16, 16, 8, 8), (5, 24, 7, 5), (64, 32, 6, 6)])
def test_winograd_int8_within_derived_bound(rng, C_in, C_out, H, W):
    w, eff_bias, req = make_layer(rng, C_in, C_out, 3, 1)
    x = rng.integers(-128, 128, (H, W, C_in), dtype=np.int8)
    in_zp, out_zp = 4, -2
    y, path = run_int8(w, eff_bias, req, x, in_zp, out_zp, 1, 1, 1)
    assert path == "winograd"
    exact = conv_acc(x, w, in_zp, 1, 1, 1) + eff_bias
    # Error model: inputs are quantised to V = 4*Vq + e_v, |e_v| <= 2 (uniform, variance
    # 4/3); the transformed weights to U = s_k*Wq + e_u with s_k = max|U_k|/127 (variance
    # s_k^2/12). Each position k sums C products, so its error variance is
    # C * (4/3 * E[U_k^2] + E[V_k^2] * s_k^2 / 12); an output sums 9 positions. The bound is
    # 6 standard deviations of that sum in output units plus 2 for the rescaling roundings.
    U = np.einsum("ai,ncij,bj->abnc", G, w.astype(np.float64), G).reshape(16, C_out, C_in)
    s = np.abs(U).reshape(16, -1).max(1) / 127
    V = np.einsum("ai,tijc,bj->abtc", BT, tile_patches(x, in_zp), BT).reshape(16, -1)
    var = C_in * (4 / 3 * (U.reshape(16, -1) ** 2).mean(1) + (V ** 2).mean(1) * s ** 2 / 12)
    sigma = np.sqrt(np.sort(var)[-9:].sum())
    bound = 6 * sigma * req.astype(np.float64) + 2
    real = exact * req.astype(np.float64) + out_zp
    inside = (real > -127) & (real < 126)
    err = np.abs(y.astype(np.float64) - np.clip(np.floor(real + 0.5), -128, 127))
    assert np.all(err[inside] <= np.broadcast_to(bound, err.shape)[inside]), (err.max(), bound)
    assert err.mean() < bound.mean() / 3


def test_winograd_int8_prep_all_zero_position():
    # A kernel with only its centre tap set transforms to zero at position 0 (corner).
    w = np.zeros((2, 1, 3, 3), np.int8)
    w[:, 0, 1, 1] = 10
    prep = t.conv_int8_prepared("q", dict(C_out=2, C_in=1, kH=3, kW=3, pad_h=1, pad_w=1),
                                {"q.weight": w, "q.req_scale": np.float32([0.1, 0.1]),
                                 "q.eff_bias": np.zeros(2, np.int64)})
    assert prep["winograd_ready"] and prep["winograd_scales"][0] == 1.0
    assert not prep["packed_is_view"]


@pytest.mark.parametrize("tensors, message", [
    ({}, "tensor 'q.weight' is missing"),
    ({"q.weight": np.zeros(53, np.int8)}, "'q.weight' has 53 values, needs 54"),
    ({"q.weight": np.zeros(54, np.int8)}, "tensor 'q.req_scale' is missing"),
    ({"q.weight": np.zeros(54, np.int8), "q.req_scale": np.ones(1, np.float32)},
     "'q.req_scale' has 1 values, needs 2"),
    ({"q.weight": np.zeros(54, np.int8), "q.req_scale": np.ones(2, np.float32),
      "q.eff_bias": np.zeros(3, np.int32)}, "'q.eff_bias' has 1 values, needs 2"),
    ({"q.weight": np.zeros(54, np.int8), "q.req_scale": np.float32([0.5, np.nan]),
      "q.eff_bias": np.zeros(2, np.int64)}, "'q.req_scale' value 1 is nan"),
    ({"q.weight": np.zeros(54, np.int8), "q.req_scale": np.float32([0.0, 0.5]),
      "q.eff_bias": np.zeros(2, np.int64)}, "'q.req_scale' value 0 is 0"),
])
def test_conv_int8_refuses_bad_tensors(tensors, message):
    args = dict(C_out=2, C_in=3, kH=3, kW=3)
    with pytest.raises(RuntimeError, match="ConvInt8 'q': .*" + message):
        t.conv_run_layer("conv_int8", "q", args, tensors, np.zeros((4, 4, 3), np.int8))


def test_conv_int8_refuses_wrong_channel_count(rng):
    w, eff_bias, req = make_layer(rng, 4, 4, 1, 1)
    with pytest.raises(RuntimeError, match="ConvInt8 'q': input has 5 channels, expected C_in=4"):
        t.conv_run_layer("conv_int8", "q", dict(C_out=4, C_in=4),
                         {"q.weight": w, "q.req_scale": req, "q.eff_bias": eff_bias},
                         np.zeros((3, 3, 5), np.int8))


@pytest.mark.parametrize("args, message", [(dict(groups=0), "groups=0 must divide"),
                                           (dict(stride_h=-1), "strides must be positive"),
                                           (dict(kW=0), "kernel sizes must be positive")])
def test_conv_int8_refuses_bad_geometry(args, message):
    base = dict(C_out=2, C_in=2, kH=1, kW=1)
    base.update(args)
    with pytest.raises(RuntimeError, match="ConvInt8 'q': " + message):
        t.conv_run_layer("conv_int8", "q", base, {}, np.zeros((2, 2, 2), np.int8))
