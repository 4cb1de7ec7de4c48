import numpy as np
import pytest

from harness import testing as t
from int8_reference import high_then_shift, multipliers, quantize_multiplier, saturate

SHAPES = [(1, 5, 3), (1, 64, 1000), (3, 7, 8), (8, 16, 16), (9, 17, 13), (20, 3, 2),
          (33, 100, 40), (263, 19, 9), (2, 0, 4),
          (1003, 300, 24)]  # several row chunks, a partial row tile, an odd panel count


# Full-range weights, and weights in [-64, 63], which take the unsigned-times-signed byte kernel.
WEIGHTS = pytest.mark.parametrize("wlo,whi", [(-128, 128), (-64, 64)], ids=["w8", "w7"])


def ints(rng, shape, lo=-128, hi=128, dtype=np.int8):
    return rng.integers(lo, hi, size=shape).astype(dtype)


def acc_of(A, W):
    return A.astype(np.int64) @ W.astype(np.int64).T


def test_pack_layout(rng):
    W = ints(rng, (13, 5))
    packed = t.pack_weights_int8(W).view(np.int8).reshape(2, 2, 32)  # (panel, group, byte)
    full = np.zeros((16, 8), np.int8)
    full[:13, :5] = W
    for p in range(2):
        for g in range(2):
            blk = packed[p, g]
            cols = full[8 * p:8 * p + 8, 4 * g:4 * g + 4]
            np.testing.assert_array_equal(blk[0:16:2], cols[:, 0])
            np.testing.assert_array_equal(blk[1:16:2], cols[:, 1])
            np.testing.assert_array_equal(blk[16::2], cols[:, 2])
            np.testing.assert_array_equal(blk[17::2], cols[:, 3])


@pytest.mark.parametrize("s,expected", [(0.5, (2**30, 0)), (0.75, (3 * 2**29, 0)),
                                        (0.25, (2**30, -1)), (1 - 2**-40, (2**30, 1))])
def test_quantize_multiplier_examples(s, expected):
    assert t.quantize_multiplier(s) == expected


def test_quantize_multiplier_random(rng):
    for s in rng.uniform(1e-6, 1.0, 200):
        assert t.quantize_multiplier(float(s)) == quantize_multiplier(s)


@WEIGHTS
@pytest.mark.parametrize("M,K,N", SHAPES)
@pytest.mark.parametrize("threads,team", [(1, 0), (2, 0), (2, 3)])
def test_float_output_exact(rng, M, K, N, threads, team, wlo, whi):
    A, W = ints(rng, (M, K)), ints(rng, (N, K), wlo, whi)
    bias = ints(rng, N, -10**6, 10**6, np.int64)
    scale = rng.uniform(1e-4, 1.0, N).astype(np.float32)
    expected = (acc_of(A, W) + bias).astype(np.float32) * scale
    C = t.gemm_int8(A, W, bias, scale=scale, float_output=True, threads=threads, team_threads=team)
    np.testing.assert_array_equal(C, expected)
    np.testing.assert_array_equal(t.gemm_int8(A, W, bias, scale=scale, float_output=True,
                                              reference=True), expected)


@WEIGHTS
@pytest.mark.parametrize("M,K,N", SHAPES)
@pytest.mark.parametrize("channel_major", [False, True])
@pytest.mark.parametrize("threads", [1, 2])
def test_int8_output_exact(rng, M, K, N, channel_major, threads, wlo, whi):
    A, W = ints(rng, (M, K)), ints(rng, (N, K), wlo, whi)
    bias = ints(rng, N, -3000, 3000, np.int64)
    req = rng.uniform(1e-3, 0.99, N)
    req[0] = 0.5  # and some very small scales, with shifts far below zero
    req[-1] = 3e-7
    mult, shift = multipliers(req)
    zp = -7
    expected = saturate(high_then_shift(acc_of(A, W) + bias, mult, shift) + zp)
    if channel_major:
        expected = expected.T
    for reference in (False, True):
        C = t.gemm_int8(A, W, bias, multiplier=mult.astype(np.int32), shift=shift.astype(np.int32),
                        out_zp=zp, channel_major=channel_major, reference=reference, threads=threads)
        np.testing.assert_array_equal(C, expected)


@pytest.mark.parametrize("zp", [-128, -1, 0, 127])
def test_int8_output_saturates_large_sums(rng, zp):
    """Full 8-column panels with sums beyond the int16 range and extreme zero points."""
    M, K, N = 13, 64, 24
    A, W = ints(rng, (M, K)), ints(rng, (N, K))
    bias = ints(rng, N, -2**20, 2**20, np.int64)
    scales = np.geomspace(1e-5, 0.99, N)
    mult, shift = multipliers(scales)
    expected = saturate(high_then_shift(acc_of(A, W) + bias, mult, shift) + zp)
    C = t.gemm_int8(A, W, bias, multiplier=mult.astype(np.int32), shift=shift.astype(np.int32),
                    out_zp=zp)
    np.testing.assert_array_equal(C, expected)
    assert (C == 127).any() and (C == -128).any() and ((C > -128) & (C < 127)).any()


def test_requantisation_rounding_and_saturation():
    A = np.array([[1], [-1], [1], [-1]], np.int8)
    W = np.array([[7], [100]], np.int8)
    bias = np.array([0, 10**5], np.int64)
    mult = np.array([2**30, 2**30], np.int32)
    shift = np.array([-1, -1], np.int32)
    C = t.gemm_int8(A, W, bias, multiplier=mult, shift=shift)
    np.testing.assert_array_equal(C[:, 0], [2, -2, 2, -2])   # 7/4 = 1.75 -> 4 then 2; -7 -> -3 then -2
    np.testing.assert_array_equal(C[:, 1], [127] * 4)        # saturates
    C = t.gemm_int8(A, -W, -bias, multiplier=mult, shift=shift)
    np.testing.assert_array_equal(C[:, 1], [-128] * 4)


def test_scales_of_one_and_above_saturate_instead_of_shifting_by_a_negative_count(rng):
    A, W = ints(rng, (9, 6)), ints(rng, (5, 6), -3, 4)
    bias = np.zeros(5, np.int64)
    mult, shift = multipliers([1.0, 2.0, 4.0, 1.5, 1000.0])
    C = t.gemm_int8(A, W, bias, multiplier=mult.astype(np.int32), shift=shift.astype(np.int32))
    np.testing.assert_array_equal(C, saturate(high_then_shift(acc_of(A, W), mult, shift)))


def test_float_output_example():
    C = t.gemm_int8(np.array([[10]], np.int8), np.array([[10]], np.int8), np.array([-20], np.int64),
                    scale=np.array([0.25], np.float32), float_output=True)
    assert C[0, 0] == 20.0


@WEIGHTS
@pytest.mark.parametrize("M,K,N", SHAPES)
def test_int32_output_exact(rng, M, K, N, wlo, whi):
    A, W = ints(rng, (M, K)), ints(rng, (N, K), wlo, whi)
    np.testing.assert_array_equal(t.gemm_int8_int32(A, W), acc_of(A, W))
    np.testing.assert_array_equal(t.gemm_int8_int32(A, W, reference=True), acc_of(A, W))


@pytest.mark.parametrize("a", [-128, 127])
@pytest.mark.parametrize("w", [-65, -64, 63, 64, 127])
def test_int32_sums_at_the_pair_sum_limits(rng, a, w):
    """Extreme activations against weights at and just beyond the byte kernel's range, with
    sums that wrap 32 bits: every pair of products lands at the int16 limit."""
    M, K, N = 7, 140000, 9
    A = np.full((M, K), a, np.int8)
    A[1] = ints(rng, K)
    W = np.full((N, K), w, np.int8)
    W[:, ::3] = -64
    W[2] = ints(rng, K, -64, 64)
    expected = acc_of(A, W)
    expected = ((expected + 2**31) % 2**32 - 2**31).astype(np.int32)
    np.testing.assert_array_equal(t.gemm_int8_int32(A, W), expected)


@pytest.mark.parametrize("M,K,N", [(1, 5, 3), (9, 17, 13), (40, 64, 24)])
@pytest.mark.parametrize("accumulate,with_bias", [(False, False), (False, True), (True, False)])
def test_dequant(rng, M, K, N, accumulate, with_bias):
    A, W = ints(rng, (M, K)), ints(rng, (N, K))
    cs = rng.uniform(0.001, 0.1, N).astype(np.float32)
    rs = rng.uniform(0.001, 0.1, M).astype(np.float32)
    bias = rng.standard_normal(N).astype(np.float32) if with_bias else None
    C0 = rng.standard_normal((M, N)).astype(np.float32)
    C = t.gemm_int8_dequant(A, W, cs, rs, bias, accumulate, C0)
    np.testing.assert_array_equal(C, t.gemm_int8_dequant(A, W, cs, rs, bias, accumulate, C0, reference=True))
    expected = (rs[:, None] * cs[None, :]).astype(np.float64) * acc_of(A, W)
    if accumulate:
        expected += C0
    elif with_bias:
        expected += bias
    np.testing.assert_allclose(C, expected, rtol=1e-6, atol=1e-6)


def np_quantize_rows(X):
    a = np.abs(X).max(axis=1, initial=0.0)
    s = np.maximum(a * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    inv = (np.float32(1.0) / s).astype(np.float32)
    v = np.clip(X * inv[:, None], -128, 127).astype(np.float32)
    K = X.shape[1]
    head = K - K % 8
    q = np.empty(X.shape, np.int64)
    q[:, :head] = np.rint(v[:, :head])
    tail = v[:, head:].astype(np.float64)
    q[:, head:] = np.sign(tail) * np.floor(np.abs(tail) + 0.5)
    return q.astype(np.int8), s


def test_dynamic_quantisation_examples():
    q, s = t.quantize_rows(np.array([[1.0, -2.54, 0.0], [0.0, 0.0, 0.0]], np.float32))
    np.testing.assert_array_equal(q, [[50, -127, 0], [0, 0, 0]])
    np.testing.assert_allclose(s[0], 0.02, rtol=1e-6)
    assert s[1] == np.float32(1e-8)


@pytest.mark.parametrize("K", [1, 7, 8, 9, 16, 29])
@pytest.mark.parametrize("reference", [False, True])
def test_dynamic_quantisation_rounding(rng, K, reference):
    # Values on a half-step grid make exact ties frequent in both rounding regimes.
    X = (rng.integers(-254, 255, size=(12, K)) / 2).astype(np.float32)
    X[:, 0] = 127.0  # scale ~1, so x * inv stays on the half-step grid
    X[3] = 0.0
    X[5] = rng.standard_normal(K).astype(np.float32) * 1e3
    q, s = t.quantize_rows(X, reference=reference)
    eq, es = np_quantize_rows(X)
    np.testing.assert_array_equal(s, es)
    np.testing.assert_array_equal(q, eq)


@pytest.mark.parametrize("M,K,N", [(1, 5, 3), (7, 33, 20), (197, 96, 40)])
@pytest.mark.parametrize("with_bias", [False, True])
@pytest.mark.parametrize("threads", [1, 2])
def test_dynamic_gemm(rng, M, K, N, with_bias, threads):
    X = rng.standard_normal((M, K)).astype(np.float32)
    W = ints(rng, (N, K))
    ws = rng.uniform(0.001, 0.05, N).astype(np.float32)
    b64 = ints(rng, N, -500, 500, np.int64)
    bias = rng.standard_normal(N).astype(np.float32) if with_bias else None
    q, s = np_quantize_rows(X)
    expected = (acc_of(q, W) + b64).astype(np.float32) * ws * s[:, None]
    if with_bias:
        expected = expected + bias
    Y = t.gemm_int8_dynamic(X, W, ws, b64, bias, threads=threads)
    np.testing.assert_array_equal(Y, expected)
    np.testing.assert_array_equal(t.gemm_int8_dynamic(X, W, ws, b64, bias, reference=True), expected)
