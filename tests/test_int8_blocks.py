"""Single-token products on int8 weights quantised in blocks along K: the block quantiser and
the kernel against a NumPy integer model (scalar reference and AVX2 bit for bit, any thread
count), and the ``int8_block`` argument of seqgemm_fp32 through model files."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F

import transformer_reference as R
from harness import ALL_THREADS, forward, one_node, testing as T

IMPLS = ("ref", "avx2")


def quantize_blocks(v, B):
    """NumPy model of the block quantiser: per block scale max|v| * (1/127) in float32, values
    v * (127 / max|v|) rounded half away from zero into [-127, 127]; a block of magnitude at
    most 1e-8 has scale 1e-8 and zeros. Returns (q [..., K], scales [..., K / B])."""
    v = np.asarray(v, np.float32)
    blocks = v.reshape(v.shape[:-1] + (-1, B))
    a = np.abs(blocks).max(-1)
    live = a > np.float32(1e-8)
    safe = np.where(live, a, np.float32(1))
    r = (blocks * (np.float32(127) / safe)[..., None]).astype(np.float64)
    q = np.clip(np.sign(r) * np.floor(np.abs(r) + 0.5), -127, 127)
    q = np.where(live[..., None], q, 0).astype(np.int8).reshape(v.shape)
    scales = np.where(live, a * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    return q, scales


def blocks_gemv(x, Wq, ws, bias, B):
    """NumPy model of the product: exact int64 block dots, then the float sum over blocks in
    ascending order (in float64, so within an ulp or two of the kernel's fused steps).
    `ws` is [K / B, N]."""
    q, xs = quantize_blocks(x, B)
    N, K = Wq.shape
    dots = (Wq.reshape(N, K // B, B).astype(np.int64) * q.reshape(K // B, B)).sum(-1)
    acc = np.zeros(N, np.float64)
    for b in range(K // B):
        acc += dots[:, b].astype(np.float32).astype(np.float64) * (xs[b] * ws[b]).astype(np.float32)
    return acc + (0 if bias is None else bias), np.abs(dots * (xs[:, None] * ws).T).sum(1)


@pytest.mark.parametrize("B", [32, 64])
@pytest.mark.parametrize("scale", [1.0, 1e-3, 1e-9])
def test_quantize_blocks_int8(case, B, scale):
    x = case.normal(4 * B, scale)
    x[B:2 * B] = 0.0                     # a zero block
    x[2 * B:3 * B] = np.arange(B) - 5.5  # max 26.5 ... a block with exact halves after scaling
    x[2 * B + 3] = 127.0                 # ... once its maximum is 127: 2.5 -> 3, -3.5 -> -4
    q, s = T.quantize_blocks_int8(x, B)
    want_q, want_s = quantize_blocks(x, B)
    case.check(q, want_q, exact=True, what="int8 values")
    case.check(s, want_s, exact=True, what="block scales")
    assert q[2 * B + 8] == 3 and q[2 * B + 2] == -4


@pytest.mark.parametrize("B", [32, 64, 96])
@pytest.mark.parametrize("K,N", [(96 * 6, 1), (96 * 6, 7), (96 * 6, 8), (192, 9),
                                 (576, 2001), (1536, 576), (192, 3000)])
@pytest.mark.parametrize("bias", [True, False])
def test_gemv_int8_blocks(case, B, K, N, bias):
    x = case.normal(K)
    x[:B] *= 100.0                          # blocks of very different magnitude
    W = case.ints((N, K), -127, 128)
    ws = case.uniform(0.001, 0.05, (K // B, N))
    b = case.normal(N) if bias else None
    want = T.gemv_int8_blocks_fp32(x, W, ws, b, B, impl="ref")
    case.sweep(lambda threads, impl: T.gemv_int8_blocks_fp32(x, W, ws, b, B, impl=impl), want,
               threads=ALL_THREADS, exact=True, impl=IMPLS)
    model, magnitude = blocks_gemv(x, W, ws, b, B)
    case.check(want, model, atol=4e-7 * magnitude.max() + 1e-30, rtol=1e-6)


def test_gemv_int8_blocks_extremes(case):
    # All weights at +-127 against a token at +-max: every pair product is 127 * 127, the
    # largest the byte product handles, and a zero token gives the bias.
    K, N, B = 256, 16, 32
    W = np.where(case.uniform(0, 1, (N, K)) < 0.5, -127, 127).astype(np.int8)
    x = np.where(case.uniform(0, 1, K) < 0.5, -3.0, 3.0).astype(np.float32)
    ws, b = np.ones((K // B, N), np.float32), case.normal(N)
    for impl in IMPLS:
        got = T.gemv_int8_blocks_fp32(x, W, ws, b, B, impl=impl)
        case.check(got, blocks_gemv(x, W, ws, b, B)[0], rtol=1e-6, atol=1e-4, impl=impl)
        zero = T.gemv_int8_blocks_fp32(np.zeros(K, np.float32), W, ws, b, B, impl=impl)
        np.testing.assert_array_equal(zero, b)


def f32(t):
    return t.detach().numpy().astype(np.float32)


@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("B", [32, 96])
@pytest.mark.parametrize("name", ["layers.0.mlp", "lm_head"])
def test_seqgemm_fp32_int8_block_layer(case, make_model, name, B, gelu):
    K, N = 192, 203
    lin = torch.nn.Linear(K, N)
    w, b = f32(lin.weight), f32(lin.bias)
    model = make_model(one_node("seqgemm_fp32", (0, K), name=name, C_in=K, C_out=N, gelu=gelu,
                                int8_block=B), {f"{name}.weight": w, f"{name}.bias": b})
    x = case.normal((1, K))
    Wq, ws = quantize_blocks(w, B)
    want, magnitude = blocks_gemv(x[0], Wq, ws.T.copy(), b, B)
    if gelu:
        want = R.gelu_tanh(want.astype(np.float32))
    got = case.sweep(lambda threads: forward(model, x), None, threads=ALL_THREADS)
    case.check(got.ravel(), want, atol=1e-6 * magnitude.max(), rtol=1e-6)
    y = lin(torch.from_numpy(x))
    exact = f32(F.gelu(y, approximate="tanh") if gelu else y).ravel()
    case.check(got.ravel(), exact, atol=0.02, rtol=0, what="against the float product")
    # Several tokens take the float product, as without the argument.
    x3 = case.normal((3, K))
    y3 = lin(torch.from_numpy(x3))
    case.check(forward(model, x3).reshape(3, N), f32(F.gelu(y3, approximate="tanh") if gelu else y3),
               atol=2e-5, rtol=2e-5, what="three tokens")


def test_int8_block_is_closer_than_row_scales(case, make_model):
    # Weights with a few large entries per row: one scale per row wastes most levels.
    K, N = 576, 256
    w = case.normal((N, K), 0.02)
    w[:, ::97] *= 40.0
    x = case.normal((1, K))
    x[0, ::61] *= 30.0
    exact = x.astype(np.float64) @ w.T.astype(np.float64)
    errors = {}
    for B in (0, 32):
        model = make_model(one_node("seqgemm_fp32", (0, K), name="lm_head", C_in=K, C_out=N,
                                    int8_block=B), {"lm_head.weight": w})
        errors[B] = np.abs(forward(model, x) - exact).max()
    assert errors[32] < 0.5 * errors[0], errors


@pytest.mark.parametrize("block", [-32, 16, 20, 48, 64])
@pytest.mark.parametrize("name", ["layers.1.q", "proj"])
def test_bad_int8_block_refused_at_load(make_model, block, name):
    with pytest.raises(RuntimeError, match=f"'{name}': int8_block must be 0 or a positive "
                                           f"multiple of 32 dividing C_in \\(96\\), got {block}"):
        make_model(one_node("seqgemm_fp32", (0, 96), name=name, C_in=96, C_out=8,
                            int8_block=block), {f"{name}.weight": np.ones((8, 96), np.float32)})


def test_block_layer_refuses_a_wrong_width(case, make_model):
    model = make_model(one_node("seqgemm_fp32", (0, 32), name="layers.0.o", C_in=64, C_out=8,
                                int8_block=32), {"layers.0.o.weight": case.normal((8, 64))})
    with pytest.raises(RuntimeError, match="'layers.0.o': .*has width 32, needs C_in = 64"):
        forward(model, case.normal((1, 32)))
