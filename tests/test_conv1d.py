"""1-D convolutions: the Winograd, direct and quantiser kernels against their scalar
references and float64 PyTorch, the three layers through real model files against
``torch.nn.functional.conv1d`` / ``conv_transpose1d`` and an exact integer model, the path
choice of the environment variable, bad input, and the exporter."""

import numpy as np
import pytest
import torch
import torch.nn.functional as F
from numpy.polynomial import polynomial as P
from torch import nn

import model_inference_tools as mt
from model_inference_tools.export import export
from model_inference_tools.graph import ExportError
from model_inference_tools.sequence_graph import to_time_major
from harness import ALL_THREADS, around, check, check_rejects, forward, one_node, testing as t

ENV = "TOVRIN_FP32_CONV1D_DIRECT"
POINTS = {3: (4, [0, 1, -1, 2, -2]), 7: (2, [0, 1, -1, 2, -2, 3, -3]),
          11: (2, [0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5])}


@pytest.fixture(autouse=True)
def _torch_one_thread():
    torch.set_num_threads(1)


def torch_conv1d(x, w, b=None, stride=1, padding=0, dilation=1, groups=1, relu=False):
    """float64 reference on a time-major [L, C] sequence; returns [L_out, C_out]."""
    y = F.conv1d(torch.from_numpy(x.T[None]).double(), torch.from_numpy(w).double(),
                 None if b is None else torch.from_numpy(b).double(), stride=stride,
                 padding=padding, dilation=dilation, groups=groups)[0].T
    return (y.clamp(min=0) if relu else y).numpy()


def torch_conv_transpose1d(x, w, b=None, stride=1, padding=0, output_padding=0, groups=1):
    y = F.conv_transpose1d(torch.from_numpy(x.T[None]).double(), torch.from_numpy(w).double(),
                           None if b is None else torch.from_numpy(b).double(), stride=stride,
                           padding=padding, output_padding=output_padding, groups=groups)
    return y[0].T.numpy()


def output_tol(x, w, groups=1, factor=1e-5):
    """An absolute bound that scales with the size of the products summed per output."""
    cg = w.shape[1]
    return factor * max(1.0, float(np.abs(x).max() * np.abs(w).max()) * np.sqrt(cg * w.shape[2]))


# ---- kernels -----------------------------------------------------------------------------

@pytest.mark.parametrize("taps", [3, 7, 11])
def test_winograd_matrices_from_interpolation_points(taps):
    m, pts = POINTS[taps]
    T = m + taps - 1
    N = np.array([1.0])
    for p in pts:
        N = P.polymul(N, [-p, 1])
    BT, AT, G = np.zeros((T, T)), np.zeros((m, T)), np.zeros((T, taps))
    for i, p in enumerate(pts):
        q = P.polydiv(N, [-p, 1])[0]
        BT[i, :len(q)] = q
        G[i] = [float(p) ** k / np.prod([p - o for o in pts if o != p]) for k in range(taps)]
        AT[:, i] = [float(p) ** j for j in range(m)]
    BT[-1], G[-1, -1], AT[-1, -1] = N, 1.0, 1.0
    got = t.conv1d_winograd_matrices(taps)
    check(got["BT"], BT.astype(np.float32), exact=True)
    check(got["AT"], AT.astype(np.float32), exact=True)
    check(got["G"], G.astype(np.float32), exact=True)
    # The three matrices compute the correlation exactly in float64.
    d, g = np.random.default_rng(taps).standard_normal((2, T + taps))
    y = AT @ ((G @ g[:taps]) * (BT @ d[:T]))
    check(y, np.array([d[j:j + taps] @ g[:taps] for j in range(m)]), tol=1e-9)


@pytest.mark.parametrize("relu", [False, True])
@pytest.mark.parametrize("bias", [True, False])
@pytest.mark.parametrize("C_in,C_out", [(1, 1), (7, 9), (8, 16), (19, 21)])
@pytest.mark.parametrize("L_out", around(4, 8) + [37, 397])  # 397: several chunks of tiles
# Dilations: phases interleaved within the tile groups, and groups only partly filled.
@pytest.mark.parametrize("taps,dilation", [(3, 1), (7, 1), (11, 1), (3, 5), (7, 3), (11, 2)])
def test_winograd_kernel(case, taps, dilation, L_out, C_in, C_out, bias, relu):
    # F(2,11) loses precision in its large transforms (see the error table of the benchmark).
    check_winograd_form(case, t.conv1d_winograd, taps, dilation, L_out, C_in, C_out, bias, relu,
                        3e-2 if taps == 11 else 2e-5)


def check_winograd_form(case, run, taps, dilation, L_out, C_in, C_out, bias, relu, factor):
    """`run` with impl "avx2" equals its scalar reference on every thread count, and the
    reference is within `factor` of the output scale of float64 PyTorch."""
    padding = dilation * (taps // 2) if L_out % 2 else 0
    L = L_out + dilation * (taps - 1) - 2 * padding
    if L < 1:
        pytest.skip("no input left")
    x = case.normal((L, C_in))
    w = case.normal((C_out, C_in, taps), 1 / np.sqrt(C_in * taps))
    b = case.normal(C_out) if bias else None
    want = torch_conv1d(x, w, b, padding=padding, dilation=dilation, relu=relu)
    kw = dict(relu=relu, padding=padding, dilation=dilation)
    ref = run(x, w, b, impl="ref", **kw)
    case.sweep(lambda threads: run(x, w, b, **kw), ref,
               threads=ALL_THREADS, exact=True, what="avx2 against the scalar reference")
    case.check(ref, want, atol=output_tol(x, w, factor=factor), rtol=0,
               what="reference against float64 PyTorch")


@pytest.mark.parametrize("relu,bias", [(False, True), (True, False)])
@pytest.mark.parametrize("C_in,C_out", [(1, 1), (8, 16), (19, 21)])
@pytest.mark.parametrize("L_out", [1, 3, 4, 5, 37, 397])  # 397: several blocks of tiles
@pytest.mark.parametrize("taps,dilation", [(11, 1), (11, 2), (11, 5), (7, 1), (7, 3), (5, 2),
                                           (4, 1)])
def test_winograd_chunks_kernel(case, taps, dilation, L_out, C_in, C_out, bias, relu):
    check_winograd_form(case, t.conv1d_winograd_chunks, taps, dilation, L_out, C_in, C_out, bias,
                        relu, 2e-5)


@pytest.mark.parametrize("relu", [False, True])
@pytest.mark.parametrize("bias", [True, False])
@pytest.mark.parametrize("dilation", [1, 3])
@pytest.mark.parametrize("K", [1, 2, 3, 5, 11])
@pytest.mark.parametrize("C_in,C_out,L_out", [(5, 9, 13), (3, 1, 1), (16, 16, 8), (17, 33, 41),
                                              (24, 7, 70)])
def test_direct_kernel(case, C_in, C_out, L_out, K, dilation, bias, relu):
    x = case.normal((L_out + dilation * (K - 1), C_in))
    w = case.normal((C_out, C_in, K))
    b = case.normal(C_out) if bias else None
    ref = t.conv1d_direct(x, w, b, relu=relu, dilation=dilation, impl="ref")
    case.sweep(lambda threads: t.conv1d_direct(x, w, b, relu=relu, dilation=dilation), ref,
               threads=ALL_THREADS, exact=True, what="avx2 against the scalar reference")
    case.check(ref, torch_conv1d(x, w, b, dilation=dilation, relu=relu),
               atol=output_tol(x, w), rtol=0)


# Above the team threshold: fewer steps than channels splits the panels, otherwise the
# 8-step blocks (with a tail on the last thread).
@pytest.mark.parametrize("C_in,C_out,K,L_out", [(64, 200, 7, 30), (64, 41, 7, 131), (96, 64, 3, 125)])
def test_direct_kernel_threads(case, C_in, C_out, K, L_out):
    x = case.normal((L_out + K - 1, C_in))
    w = case.normal((C_out, C_in, K), 0.1)
    b = case.normal(C_out)
    ref = t.conv1d_direct(x, w, b, impl="ref")
    case.sweep(lambda threads: t.conv1d_direct(x, w, b), ref, threads=ALL_THREADS, exact=True)


def quantize_row_model(x):
    """Scale and values of the row quantiser: ties to even, saturated."""
    x = np.asarray(x, np.float32)
    a = np.float32(np.abs(x).max()) if x.size else np.float32(0)
    s = np.maximum(a * np.float32(0.007874016), np.float32(1e-8))
    inv = np.float32(1) / s
    return np.clip(np.rint(x * inv), -128, 127).astype(np.int8), s


@pytest.mark.parametrize("kind", ["normal", "zeros", "ties", "huge"])
@pytest.mark.parametrize("n", around(1, 8, 16, 32) + [100])
def test_quantize_row_int8(case, n, kind):
    if kind == "normal":
        x = case.normal(n, 3.0)
    elif kind == "zeros":
        x = np.zeros(n, np.float32)
    elif kind == "ties":  # max 127 gives scale 1 up to rounding, so halves fall on ties
        x = (np.arange(n, dtype=np.float32) % 9 - 4) + np.float32(0.5)
        x[0] = 127.0
    else:
        x = case.normal(n, 1e30)
    q_want, s_want = quantize_row_model(x)
    for impl in ("ref", "avx2"):
        q, s = t.quantize_row_int8(x, impl=impl)
        case.check(np.float32(s), np.float32(s_want), exact=True, impl=impl)
        case.check(q, q_want, impl=impl)
    if kind == "zeros":
        assert np.float32(s) == np.float32(1e-8)


@pytest.mark.parametrize("value,K,forced", [
    (None, 3, True), ("", 3, True), ("0", 3, False), ("0,3", 3, False), ("wino", 7, False),
    ("winograd", 3, False), ("1", 3, True), ("all", 7, True), ("5,7", 7, True),
    ("5,7", 3, False), ("abc", 3, False), (" 3", 3, True), ("7;3", 3, True),
    ("2:11", 11, True), ("11", 1, False), ("3x", 3, True), ("x3", 3, False), (",;: ", 3, False),
])
def test_direct_forced_by_variable(value, K, forced):
    assert t.conv1d_direct_forced(value, K) is forced


# ---- float layer -------------------------------------------------------------------------

def conv1d_model(make_model, case, L, C_in, C_out, K, stride=1, padding=0, dilation=1,
                 groups=1, bias=True, relu=False, w_scale=None, extended=False):
    w = case.normal((C_out, C_in // groups, K), w_scale or 1 / np.sqrt(C_in // groups * K))
    b = case.normal(C_out) if bias else None
    args = dict(C_out=C_out, C_in=C_in, kernel_size=K, stride=stride, padding=padding,
                dilation=dilation, groups=groups)
    if extended:
        args["extended_winograd"] = True
    arch = one_node("conv1d_fp32", [0, C_in], relu=relu, **args)
    tensors = {"n.weight": w} if b is None else {"n.weight": w, "n.bias": b}
    return make_model(arch, tensors), w, b, args, tensors


def layer_path(args, tensors, C_in, relu=False):
    """The path the layer takes when loaded now (the variable as currently set)."""
    return t.conv_run_layer("conv1d_fp32", "n", {k: float(v) for k, v in args.items()}, tensors,
                            np.zeros((16, 1, C_in), np.float32), relu)[1]


@pytest.mark.parametrize("relu", [False, True])
# "+": the node asks for the extended Winograd choice (any dilation, kernel sizes 4 and up).
@pytest.mark.parametrize("env,K,stride,dilation,groups,path", [
    (None, 3, 1, 1, 1, "direct"), ("0", 3, 1, 1, 1, "winograd"), ("wino", 7, 1, 1, 1, "winograd"),
    ("5,7", 7, 1, 1, 1, "direct"), ("5,7", 3, 1, 1, 1, "winograd"), ("abc", 7, 1, 1, 1, "winograd"),
    ("0", 11, 1, 1, 1, "direct"), ("0", 3, 1, 2, 1, "direct"), ("wino", 7, 1, 5, 1, "direct"),
    ("0", 5, 1, 1, 1, "direct"), ("0+", 11, 1, 1, 1, "winograd"), ("0+", 3, 1, 2, 1, "winograd"),
    ("wino+", 7, 1, 5, 1, "winograd"), ("0+", 11, 1, 5, 1, "winograd"),
    ("0+", 5, 1, 1, 1, "winograd"), ("3+", 11, 1, 1, 1, "winograd"), ("11+", 11, 1, 1, 1, "direct"),
    ("+", 3, 1, 3, 1, "direct"),
    ("0", 2, 1, 1, 1, "direct"), ("0+", 2, 1, 1, 1, "direct"), ("0", 1, 1, 1, 1, "pointwise"),
    (None, 1, 1, 1, 1, "pointwise"), ("all", 5, 1, 1, 1, "direct"), ("0", 3, 2, 1, 1, "general"),
    (None, 1, 2, 1, 1, "general"), ("0", 5, 2, 2, 1, "general"), ("0", 3, 1, 1, 2, "grouped"),
    (None, 7, 2, 1, 4, "grouped"),
])
@pytest.mark.parametrize("C_in,C_out", [(12, 20), (16, 24)])
@pytest.mark.parametrize("L", [None, 40])
def test_conv1d_fp32_layer(case, make_model, monkeypatch, env, K, stride, dilation, groups,
                           path, relu, C_in, C_out, L):
    extended = env is not None and env.endswith("+")
    env = env[:-1] if extended else env
    if not env:
        monkeypatch.delenv(ENV, raising=False)
    else:
        monkeypatch.setenv(ENV, env)
    padding = (dilation * (K - 1)) // 2
    # None: the shortest input the kernel accepts, one output step.
    L = L or max(1, dilation * (K - 1) + 1 - 2 * padding)
    model, w, b, args, tensors = conv1d_model(make_model, case, L, C_in, C_out, K, stride, padding,
                                              dilation, groups, relu=relu, extended=extended)
    assert layer_path(args, tensors, C_in, relu) == path
    x = case.normal((L, C_in))
    want = torch_conv1d(x, w, b, stride, padding, dilation, groups, relu)
    case.sweep(lambda threads: model.forward(x).reshape(want.shape), want, atol=output_tol(x, w),
               rtol=0, threads=ALL_THREADS)


@pytest.mark.parametrize("K,padding,L", [(1, 2, 5), (1, 0, 1), (5, 2, 3), (11, 5, 11), (3, 0, 3),
                                         (7, 3, 60)])
@pytest.mark.parametrize("env", [None, "0"])
def test_conv1d_fp32_paddings_and_short_inputs(case, make_model, monkeypatch, K, padding, L, env):
    if env is None:
        monkeypatch.delenv(ENV, raising=False)
    else:
        monkeypatch.setenv(ENV, env)
    model, w, b, _, _ = conv1d_model(make_model, case, L, 10, 9, K, padding=padding, relu=True)
    x = case.normal((L, 10))
    want = torch_conv1d(x, w, b, padding=padding, relu=True)
    got = model.forward(x).reshape(want.shape)
    case.check(got, want, atol=output_tol(x, w), rtol=0)
    if K == 1 and padding:  # rows made only of padding hold the bias after the ReLU
        check(got[:padding], np.broadcast_to(np.maximum(b, 0), (padding, 9)), exact=True)


# The direct layer runs the steps away from the ends on the input itself and copies only
# the padded ends: outputs equal the kernel on the fully padded input, bit for bit, wherever
# the ends meet (shorter inputs than the padding, ends overlapping, no padding).
@pytest.mark.parametrize("K,dilation,padding,L", [
    (11, 5, 25, 700), (11, 5, 25, 40), (11, 5, 25, 3), (7, 3, 9, 20), (3, 5, 5, 1), (5, 1, 6, 2),
    (3, 1, 0, 50), (7, 1, 1, 30), (3, 3, 7, 30), (2, 4, 3, 64),
])
def test_direct_layer_equals_kernel_on_padded_input(case, make_model, monkeypatch, K, dilation,
                                                    padding, L):
    monkeypatch.setenv(ENV, "all")
    C_in, C_out = 24, 20
    model, w, b, _, _ = conv1d_model(make_model, case, L, C_in, C_out, K, padding=padding,
                                     dilation=dilation, relu=True)
    x = case.normal((L, C_in))
    want = t.conv1d_direct(np.pad(x, ((padding, padding), (0, 0))), w, b, relu=True,
                           dilation=dilation, impl="ref")
    case.sweep(lambda threads: model.forward(x).reshape(want.shape), want, threads=ALL_THREADS,
               exact=True, what="direct layer against the kernel on the padded input")


@pytest.mark.parametrize("K,dilation", [(3, 1), (7, 1), (3, 5), (7, 3), (11, 5)])
def test_winograd_and_direct_layers_agree(case, make_model, monkeypatch, K, dilation):
    C, L, padding = 128, 300, dilation * (K // 2)
    x = case.normal((L, C))
    w = case.normal((C, C, K), 1 / np.sqrt(C * K))
    args = dict(C_out=C, C_in=C, kernel_size=K, padding=padding, dilation=dilation,
                extended_winograd=True)
    tensors = {"n.weight": w}
    outs = {}
    for env in ("all", "wino"):
        monkeypatch.setenv(ENV, env)
        outs[env] = make_model(one_node("conv1d_fp32", [0, C], **args), tensors).forward(x)
    want = torch_conv1d(x, w, padding=padding, dilation=dilation).ravel()
    scale = np.abs(want).max()
    for env, got in outs.items():
        assert np.abs(got - want).max() <= 5e-5 * scale, env


# ---- int8 layer --------------------------------------------------------------------------

def conv1d_int8_model(x, wq, w_scales, bias, stride, padding, dilation):
    """Exact model of the int8 layer: per-tap routes quantise the padded rows (ties to
    even) and add each tap's dequantised product with one fused multiply-add; the
    whole-matrix route quantises im2col rows (the last K*C mod 8 values of a row rounding
    half away from zero) and scales the integer sums in float32 steps."""
    L, C = x.shape
    C_out, K, _ = wq.shape
    L_out = (L + 2 * padding - dilation * (K - 1) - 1) // stride + 1
    xp = np.concatenate([np.zeros((padding, C), np.float32), x, np.zeros((padding, C), np.float32)])
    if stride == 1:
        q, s = zip(*(quantize_row_model(r) for r in xp))
        q, s = np.array(q, np.int64), np.array(s, np.float32)
        out = np.zeros((L_out, C_out), np.float32)
        for k in range(K):
            rows = slice(k * dilation, k * dilation + L_out)
            acc = q[rows] @ wq[:, k, :].astype(np.int64).T
            scale = s[rows, None] * w_scales[None, :]  # float32
            if k == 0 and bias is None:
                out = (scale * acc.astype(np.float32)).astype(np.float32)
            else:
                base = out if k else np.broadcast_to(bias, out.shape)
                out = (scale.astype(np.float64) * acc + base.astype(np.float64)).astype(np.float32)
        return out
    cols = np.stack([np.concatenate([xp[t * stride + k * dilation] for k in range(K)])
                     for t in range(L_out)])
    n = cols.shape[1]
    a = np.abs(cols).max(axis=1)
    s = np.maximum(a * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    v = np.clip(cols * (np.float32(1) / s)[:, None], -128, 127)
    tail = n - n % 8
    q = np.concatenate([np.rint(v[:, :tail]), np.trunc(v[:, tail:] + np.copysign(0.5, v[:, tail:]))],
                       axis=1).astype(np.int64)
    acc = q @ wq.reshape(C_out, n).astype(np.int64).T
    y = acc.astype(np.float32) * w_scales[None, :]
    y = y * s[:, None]
    return y if bias is None else y + bias


# Weights in [-64, 63] take the 7-bit kernel at stride 1, the same arithmetic.
@pytest.mark.parametrize("bias,narrow", [(True, False), (False, False), (True, True)])
@pytest.mark.parametrize("K,stride,padding,dilation", [(1, 1, 0, 1), (3, 1, 1, 1), (7, 1, 9, 3),
                                                       (5, 1, 0, 2), (3, 2, 1, 1), (4, 3, 0, 2),
                                                       (1, 2, 0, 1)])
@pytest.mark.parametrize("C_in,C_out,L", [(12, 9, 13), (33, 17, 40), (64, 80, 300)])
def test_conv1d_int8_layer(case, make_model, C_in, C_out, L, K, stride, padding, dilation, bias,
                           narrow):
    wq = case.ints((C_out, K, C_in), -64, 64) if narrow else case.ints((C_out, K, C_in))
    w_scales = case.uniform(1e-3, 2e-2, C_out)
    b = case.normal(C_out) if bias else None
    x = case.normal((L, C_in))
    args = dict(C_out=C_out, C_in=C_in, kernel_size=K, stride=stride, padding=padding,
                dilation=dilation)
    tensors = {"n.weight_i8": wq, "n.w_scales": w_scales}
    if bias:
        tensors["n.bias"] = b
    model = make_model(one_node("conv1d_int8", [0, C_in], **args), tensors)
    want = conv1d_int8_model(x, wq, w_scales, b, stride, padding, dilation)
    # Float steps of the model and the kernel agree to an ulp or two of the largest sums.
    tol = 1e-6 * max(1.0, float(np.abs(want).max()))
    case.sweep(lambda threads: model.forward(x).reshape(want.shape), want, atol=tol, rtol=0,
               threads=ALL_THREADS)
    # And it approximates the float convolution within the input quantisation error.
    w = (wq.astype(np.float32) * w_scales[:, None, None]).transpose(0, 2, 1)
    ref = torch_conv1d(x, np.ascontiguousarray(w), b, stride, padding, dilation)
    err = np.abs(model.forward(x).reshape(ref.shape) - ref).max()
    assert err <= np.abs(w).sum(axis=(1, 2)).max() * np.abs(x).max() / 127


@pytest.mark.parametrize("C_in,C_out,L,K,padding,dilation", [
    (5, 3, 9, 1, 0, 1), (33, 17, 40, 3, 1, 1), (128, 40, 211, 11, 15, 3), (64, 24, 12, 7, 9, 3)])
def test_conv1d_int8_narrow_kernel(case, C_in, C_out, L, K, padding, dilation):
    wq = case.ints((C_out, K, C_in), -64, 64)
    w_scales = case.uniform(1e-3, 2e-2, C_out)
    b, x = case.normal(C_out), case.normal((L, C_in))
    x[2] = 0  # a row of zeros keeps the smallest scale
    want = conv1d_int8_model(x, wq, w_scales, b, 1, padding, dilation)
    ref = t.conv1d_int8_narrow(x, wq, w_scales, b, padding, dilation, impl="ref")
    case.check(ref, want, atol=1e-6 * float(np.abs(want).max()), rtol=0)
    case.sweep(lambda threads: t.conv1d_int8_narrow(x, wq, w_scales, b, padding, dilation), ref,
               threads=ALL_THREADS, exact=True, what="avx2 against the scalar reference")


# ---- transposed layer --------------------------------------------------------------------

@pytest.mark.parametrize("bias", [True, False])
@pytest.mark.parametrize("C_in,C_out,K,stride,padding,output_padding,groups", [
    (12, 9, 4, 2, 1, 1, 1), (9, 9, 1, 1, 0, 0, 1), (16, 8, 20, 10, 5, 0, 1), (8, 4, 12, 6, 3, 0, 1),
    (13, 13, 3, 2, 1, 1, 13), (12, 6, 5, 3, 2, 2, 3), (7, 5, 3, 1, 2, 0, 1), (6, 10, 2, 3, 0, 2, 2),
])
@pytest.mark.parametrize("L", [1, 2, 17])
def test_conv_transpose1d_layer(case, make_model, C_in, C_out, K, stride, padding,
                                output_padding, groups, L, bias):
    L_out = (L - 1) * stride - 2 * padding + output_padding + K
    if L_out < 1:
        pytest.skip("empty output")
    w = case.normal((C_in, C_out // groups, K))
    b = case.normal(C_out) if bias else None
    args = dict(C_out=C_out, C_in=C_in, kernel_size=K, stride=stride, padding=padding,
                output_padding=output_padding, groups=groups)
    tensors = {"n.weight": w} if b is None else {"n.weight": w, "n.bias": b}
    model = make_model(one_node("conv_transpose1d_fp32", [0, C_in], **args), tensors)
    x = case.normal((L, C_in))
    want = torch_conv_transpose1d(x, w, b, stride, padding, output_padding, groups)
    assert want.shape == (L_out, C_out)
    case.sweep(lambda threads: model.forward(x).reshape(want.shape), want,
               atol=1e-5 * np.sqrt(C_in * K) * np.abs(x).max() * np.abs(w).max(), rtol=0,
               threads=ALL_THREADS)


def test_conv_transpose1d_long_input(case, make_model):
    """Inputs longer than one product's chunk of steps (2^20 floats of products)."""
    C_in, C_out, K, stride, L = 4, 512, 20, 10, 250
    w, b, x = case.normal((C_in, C_out, K)), case.normal(C_out), case.normal((L, C_in))
    args = dict(C_out=C_out, C_in=C_in, kernel_size=K, stride=stride, padding=5)
    model = make_model(one_node("conv_transpose1d_fp32", [0, C_in], **args),
                       {"n.weight": w, "n.bias": b})
    want = torch_conv_transpose1d(x, w, b, stride, 5)
    case.sweep(lambda threads: model.forward(x).reshape(want.shape), want, atol=1e-4, rtol=0,
               threads=ALL_THREADS)


def test_conv_transpose1d_identity(make_model):
    x = np.random.default_rng(3).standard_normal((11, 5)).astype(np.float32)
    b = np.arange(5, dtype=np.float32)
    tensors = {"n.weight": np.eye(5, dtype=np.float32)[:, :, None], "n.bias": b}
    model = make_model(one_node("conv_transpose1d_fp32", [0, 5], C_in=5, C_out=5), tensors)
    check(model.forward(x).reshape(11, 5), x + b, exact=True)


# ---- bad input ---------------------------------------------------------------------------

def _tensors(op, C_in=4, C_out=6, K=3, groups=1):
    if op == "conv1d_int8":
        return {"n.weight_i8": np.ones((C_out, K, C_in // groups), np.int8),
                "n.w_scales": np.ones(C_out, np.float32)}
    if op == "conv_transpose1d_fp32":
        return {"n.weight": np.ones((C_in, C_out // groups, K), np.float32)}
    return {"n.weight": np.ones((C_out, C_in // groups, K), np.float32)}


LOAD_FAULTS = [
    ({"kernel_size": 0}, None, "kernel_size must be at least 1"),
    ({"stride": 0}, None, "stride must be at least 1"),
    ({"padding": -1}, None, "padding must not be negative"),
    ({"groups": 4}, None, "groups=4 must divide"),
    ({"C_in": 0}, None, "C_in and C_out must be positive"),
    ({}, lambda ts: ts.popitem(), "is missing"),
    ({}, lambda ts: ts.update({k: v.ravel()[:-1] for k, v in ts.items()}), "values|elements"),
    ({}, lambda ts: ts.update({"n.bias": np.ones(5, np.float32)}), "n.bias"),
]


@pytest.mark.parametrize("op", ["conv1d_fp32", "conv1d_int8", "conv_transpose1d_fp32"])
@pytest.mark.parametrize("change,edit,message", LOAD_FAULTS)
def test_conv1d_layers_refuse_bad_files(write_model, op, change, edit, message):
    import model_inference
    args = {**dict(C_in=4, C_out=6, kernel_size=3), **change}
    tensors = _tensors(op)
    if edit:
        edit(tensors)
    paths = write_model(one_node(op, [0, 4], **args), tensors)
    with pytest.raises(RuntimeError, match=message) as e:
        model_inference.InferenceModel(*paths)
    assert "'n'" in str(e.value)


@pytest.mark.parametrize("op", ["conv1d_fp32", "conv1d_int8"])
def test_conv1d_layers_refuse_dilation_below_one(write_model, op):
    import model_inference
    paths = write_model(one_node(op, [0, 4], C_in=4, C_out=6, kernel_size=3, dilation=0),
                        _tensors(op))
    with pytest.raises(RuntimeError, match="'n'.*dilation must be at least 1"):
        model_inference.InferenceModel(*paths)


@pytest.mark.parametrize("op,args", [
    ("conv1d_fp32", dict(padding=300_000_000)),
    ("conv1d_fp32", dict(padding=300_000_000, stride=2)),
    ("conv1d_int8", dict(padding=300_000_000, stride=2)),
])
def test_conv1d_layers_refuse_huge_scratch(make_model, op, args):
    """A padding far beyond the input asks for more scratch than any tensor may hold."""
    with pytest.raises(RuntimeError, match="'n'.*above the 4 GiB limit"):
        make_model(one_node(op, [0, 4], C_in=4, C_out=1, kernel_size=3, **args),
                   _tensors(op, C_out=1))


def test_conv1d_int8_refuses_groups(write_model):
    import model_inference
    paths = write_model(one_node("conv1d_int8", [0, 4], C_in=4, C_out=6, kernel_size=3, groups=2),
                        _tensors("conv1d_int8", groups=2))
    with pytest.raises(RuntimeError, match="'n'.*groups=2 is not supported"):
        model_inference.InferenceModel(*paths)


@pytest.mark.parametrize("op", ["conv1d_fp32", "conv1d_int8", "conv_transpose1d_fp32"])
def test_conv1d_layers_refuse_bad_inputs(make_model, write_model, op):
    import model_inference
    args = dict(C_in=4, C_out=6, kernel_size=5, padding=3 if op == "conv_transpose1d_fp32" else 1)
    model = make_model(one_node(op, [0, 4], **args), _tensors(op, K=5))
    # Too short: 2 steps give no output with kernel 5 and padding 1, or a transposed length
    # (2-1)*1 - 6 + 5 = 0.
    check_rejects(model, np.ones((2, 4), np.float32), np.ones((9, 4), np.float32), node="n",
                  match="below 1")
    # A producer of 5 channels feeding a layer of C_in 4.
    arch = mt.Arch(model="t", outputs=["y"])
    arch.add_input("x0", [0, 5], dtype="float32")
    arch.add("n", op, ["x0"], "y", **args)
    with pytest.raises(RuntimeError, match="'n'.*5 channels, expected C_in=4"):
        model_inference.InferenceModel(*write_model(arch, _tensors(op, K=5)))


# ---- exporter ----------------------------------------------------------------------------

class _Vocoder(nn.Module):
    def __init__(self, norm):
        super().__init__()
        wrap = {"none": lambda m: m, "hook": nn.utils.weight_norm,
                "param": nn.utils.parametrizations.weight_norm}[norm]
        self.pre = wrap(nn.Conv1d(6, 16, 7, padding=3))
        self.up = wrap(nn.ConvTranspose1d(16, 8, 4, stride=2, padding=1))
        self.res = wrap(nn.Conv1d(8, 8, 3, padding=3, dilation=3))
        self.pool = wrap(nn.ConvTranspose1d(8, 8, 3, stride=2, padding=1, output_padding=1,
                                            groups=8))
        self.post = nn.Conv1d(8, 3, 1, bias=False)

    def forward(self, x):
        x = torch.relu(self.pre(x))
        x = F.leaky_relu(self.up(x), 0.1)
        x = x + self.res(x)
        return self.post(self.pool(x))


@pytest.mark.filterwarnings("ignore:.*weight_norm.*:FutureWarning")  # the old hook form
@pytest.mark.parametrize("norm", ["none", "hook", "param"])
def test_export_conv1d_model(tmp_path, monkeypatch, norm):
    import model_inference
    monkeypatch.setenv(ENV, "0")
    torch.manual_seed(0)
    m = _Vocoder(norm).eval()
    with torch.no_grad():
        for name, p in m.named_parameters():
            if name.endswith(("weight_g", "original0")):
                p.mul_(1.7)  # a norm that differs from the direction's own
    x = torch.randn(1, 6, 23)
    doc = export(m, x, tmp_path / "a.json", tmp_path / "w.bin")
    ops = [n["op"] for n in doc["nodes"]]
    assert ops.count("conv1d_fp32") == 3 and ops.count("conv_transpose1d_fp32") == 2
    engine = model_inference.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))
    for length in (23, 40):
        x = torch.randn(1, 6, length)
        with torch.no_grad():
            want = to_time_major(m(x))
        got = engine.forward(to_time_major(x)).reshape(want.shape)
        check(got, want, atol=1e-4, rtol=1e-4, length=length)


def test_export_refuses_unsupported_conv1d():
    with pytest.raises(ExportError, match="padding mode 'reflect'"):
        export(nn.Sequential(nn.Conv1d(2, 2, 3, padding=1, padding_mode="reflect")).eval(),
                  torch.randn(1, 2, 9), "/dev/null", "/dev/null")
