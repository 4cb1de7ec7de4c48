"""Transformer kernels: attention (float and int8), layer norm, the sequence products, the
single-token int8 product and the simulated 8-bit activation, each against its scalar
reference (bit for bit, for 1, 2 and 3 threads) and against float64 or integer NumPy."""
import numpy as np
import pytest

import transformer_reference as R
from harness import ALL_THREADS, around, testing as T

IMPLS = ("ref", "avx2")


def attention_weights(case, E, bias=True):
    w_qkv = case.normal((3 * E, E), 1 / np.sqrt(E))
    w_proj = case.normal((E, E), 1 / np.sqrt(E))
    b_qkv = case.normal(3 * E, 0.5) if bias else None
    b_proj = case.normal(E, 0.5) if bias else None
    return w_qkv, b_qkv, w_proj, b_proj


# T around the 64-token blocks and the 8-key groups; head sizes with and without a
# remainder of 8 columns.
@pytest.mark.parametrize("T_", [1, 2, 7, 8, 9, 63, 64, 65, 100, 197])
@pytest.mark.parametrize("d,heads", [(32, 1), (32, 3), (64, 2), (12, 2), (5, 3)])
def test_attention_fp32(case, T_, d, heads):
    E = d * heads
    x = case.normal((T_, E))
    w = attention_weights(case, E, bias=T_ % 2 == 0)
    want = T.attention_fp32(x, *w, heads, impl="ref")
    case.sweep(lambda threads, impl: T.attention_fp32(x, *w, heads, impl=impl), want,
               threads=ALL_THREADS, exact=True, impl=IMPLS)
    # Polynomial exponentials and float32 sums: a few units of the last place per term.
    case.check(want, R.attention(x, *w, heads), atol=2e-5, rtol=2e-5)


def test_attention_single_token_is_the_projected_value(case):
    E, heads = 64, 2
    x = case.normal((1, E))
    w_qkv, b_qkv, w_proj, b_proj = attention_weights(case, E)
    v = x.astype(np.float64) @ w_qkv[2 * E:].T + b_qkv[2 * E:]
    case.check(T.attention_fp32(x, w_qkv, b_qkv, w_proj, b_proj, heads),
               v @ w_proj.T + b_proj, atol=1e-5, rtol=1e-5)


def test_attention_large_scores_stay_finite(case):
    """Scores far beyond the exponential's range: the running maximum keeps every term in
    range, as an unblocked softmax would."""
    E, heads, T_ = 32, 1, 150
    x = case.normal((T_, E), 30.0)
    w = attention_weights(case, E)
    got = T.attention_fp32(x, *w, heads)
    assert np.isfinite(got).all()
    # Scores in the thousands carry float32 rounding of ~1e-4 into every weight.
    case.check(got, R.attention(x, *w, heads), atol=1e-2, rtol=1e-3)


@pytest.mark.parametrize("T_", [1, 64, 100])
def test_attention_fp32_dynamic_quantize(case, T_):
    E, heads = 64, 2
    x = case.normal((T_, E))
    w = attention_weights(case, E)
    want = T.attention_fp32(x, *w, heads, dynamic_quantize=True, impl="ref")
    case.sweep(lambda threads, impl: T.attention_fp32(x, *w, heads, dynamic_quantize=True,
                                                      impl=impl),
               want, threads=ALL_THREADS, exact=True, impl=IMPLS)
    # The context is quantised to 255 steps of its range before the projection.
    ctx = R.attention_core(x.astype(np.float64) @ w[0].T + w[1], heads)
    step = (ctx.max() - min(ctx.min(), 0)) / 255
    bound = step * np.abs(w[2]).sum(1).max()
    case.check(want, R.attention(x, *w, heads), atol=bound, rtol=0)


@pytest.mark.parametrize("T_", [1, 9, 64, 100, 197])
@pytest.mark.parametrize("d,heads", [(32, 2), (64, 3), (12, 1)])
def test_attention_int8(case, T_, d, heads):
    E = d * heads
    x = case.normal((T_, E))
    w_qkv, w_proj = case.ints((3 * E, E)), case.ints((E, E))
    qs, ps = case.uniform(0.2, 1.0, 3 * E) / E, case.uniform(0.2, 1.0, E) / E
    b_qkv, b_proj = case.normal(3 * E, 0.5), case.normal(E, 0.5)
    args = (x, w_qkv, qs, b_qkv, w_proj, ps, b_proj, heads)
    want = T.attention_int8(*args, impl="ref")
    case.sweep(lambda threads, impl: T.attention_int8(*args, impl=impl), want,
               threads=ALL_THREADS, exact=True, impl=IMPLS)
    # Against the same arithmetic in NumPy: the integer products exactly, the softmax in
    # float64.
    qkv = R.dynamic_gemm(x, w_qkv, qs, b_qkv)
    ctx = R.attention_core(qkv, heads).astype(np.float32)
    expected = R.dynamic_gemm(ctx, w_proj, ps, b_proj)
    # A context value that moves by rounding can change its quantised step: one step of the
    # row's scale times the largest weight of each output.
    step = np.abs(ctx).max(1, keepdims=True) / 127 * 128 * ps
    case.check(want, expected, atol=step * 1.01 + 1e-5, rtol=0)


@pytest.mark.parametrize("C", around(8, 16) + [1, 3, 100, 384, 768])
def test_layernorm(case, C):
    gamma, beta = case.normal(C), case.normal(C)
    x = case.normal((197, C), 2.0) + case.normal((197, 1), 4.0)
    want = T.layernorm_fp32(x, gamma, beta, 1e-6, impl="ref")
    case.sweep(lambda threads, impl: T.layernorm_fp32(x, gamma, beta, 1e-6, impl=impl), want,
               threads=ALL_THREADS, exact=True, impl=IMPLS)
    case.check(want, R.layernorm(x, gamma, beta, 1e-6), atol=2e-5, rtol=2e-5)


def test_layernorm_constant_row_gives_beta(case):
    gamma, beta = case.normal(40), case.normal(40)
    x = np.full((3, 40), 7.25, np.float32)
    np.testing.assert_array_equal(T.layernorm_fp32(x, gamma, beta), np.tile(beta, (3, 1)))


@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("N", around(8, 16) + [100])
@pytest.mark.parametrize("M", around(8) + [1, 197])
def test_seqgemm_fp32(case, M, N, gelu):
    K = 37
    x, W, b = case.normal((M, K)), case.normal((N, K), 0.3), case.normal(N)
    want = T.seqgemm_fp32(x, W, b, gelu, impl="ref")
    # The GELU's reference divides exactly where the vector code refines a reciprocal
    # estimate: bit-exact products; GELU values within a few units of the last place of x.
    ulps = 4e-7 * np.abs(T.seqgemm_fp32(x, W, b, impl="ref")) + 1e-7
    case.sweep(lambda threads, impl, packed: T.seqgemm_fp32(x, W, b, gelu, packed, impl=impl),
               want, threads=ALL_THREADS, exact=not gelu, atol=ulps, rtol=1e-6, impl=IMPLS,
               packed=(True, False))
    expected = x.astype(np.float64) @ W.T + b
    case.check(want, R.gelu_tanh(expected) if gelu else expected, atol=2e-5, rtol=2e-5)
    if gelu:
        # The GELU applied in the product's stores equals the product followed by the GELU op.
        two_steps = T.activation("gelu", T.seqgemm_fp32(x, W, b), in_place=True)
        case.check(T.seqgemm_fp32(x, W, b, True), two_steps, exact=True)


def test_seqgemm_fp32_gelu_over_a_team(case):
    """A long GELU is shared by a team in 8-aligned pieces; values match one call."""
    x, W = case.normal((197, 64)), case.normal((3072, 64), 0.2)
    want = T.seqgemm_fp32(x, W, None, True)
    case.sweep(lambda threads: T.seqgemm_fp32(x, W, None, True), want, threads=(1, 2, 3, 4),
               exact=True)


@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("M,K,N", [(1, 5, 3), (7, 33, 20), (197, 96, 40), (64, 768, 17)])
def test_seqgemm_int8(case, M, K, N, gelu):
    x, W = case.normal((M, K)), case.ints((N, K))
    s, b = case.uniform(0.001, 0.05, N), case.normal(N)
    want = T.seqgemm_int8(x, W, s, b, gelu, impl="ref")
    ulps = 4e-7 * np.abs(T.seqgemm_int8(x, W, s, b, impl="ref")) + 1e-7
    case.sweep(lambda threads, impl: T.seqgemm_int8(x, W, s, b, gelu, impl=impl), want,
               threads=ALL_THREADS, exact=not gelu, atol=ulps, rtol=1e-6, impl=IMPLS)
    expected = R.dynamic_gemm(x, W, s, b)
    if gelu:
        case.check(want, R.gelu_tanh(expected), atol=1e-6, rtol=2e-6)
    else:
        case.check(want, expected, exact=True)


@pytest.mark.parametrize("K", around(8, 16, 32) + [1, 384, 1000])
@pytest.mark.parametrize("N", [1, 7, 300, 2000])
def test_gemv_int8w(case, K, N):
    x, W = case.normal(K), case.ints((N, K))
    s, b = case.uniform(0.001, 0.05, N), case.normal(N)
    want = T.gemv_int8w_fp32(x, W, s, b, impl="ref")
    case.sweep(lambda threads, impl: T.gemv_int8w_fp32(x, W, s, b, impl=impl), want,
               threads=ALL_THREADS, exact=True, impl=IMPLS)
    q, xs = R.quantize_rows(x[None])
    acc = (q.astype(np.int64) @ W.T.astype(np.int64))[0]
    expected = (acc.astype(np.float32) * xs[0]).astype(np.float64) * s + b
    case.check(want, expected, atol=1e-6, rtol=1e-6)


def test_gemv_int8w_of_zero_is_the_bias(case):
    W, s, b = case.ints((9, 20)), case.uniform(0.1, 1, 9), case.normal(9)
    np.testing.assert_array_equal(T.gemv_int8w_fp32(np.zeros(20, np.float32), W, s, b), b)


@pytest.mark.parametrize("divide", [False, True])
@pytest.mark.parametrize("lo,hi", [(-1, 1), (-3, 0.5), (0.25, 4.0), (-5.0, -0.5), (2.0, 2.0)])
def test_fake_quantize(case, lo, hi, divide):
    x = case.uniform(lo, hi, 1000)
    x[:2] = lo, hi
    got = T.fake_quantize_u8(x, divide)
    case.check(got, R.fake_quantize(x, divide), exact=True)
    step = (max(hi, 0) - min(lo, 0)) / 255
    case.check(got, x, atol=step * 0.5 + 1e-6, rtol=0)


def test_fake_quantize_examples():
    x = np.array([-1.0, 0.0, 1.0, 0.5], np.float32)
    np.testing.assert_array_equal(T.fake_quantize_u8(x),
                                  np.float32([-0.99607849, 0.0, 0.99607849, 0.50196081]))


def test_fake_quantize_keeps_all_positive_values():
    """The range always includes 0: an all-positive input keeps its values instead of
    collapsing onto the range width."""
    x = np.array([2.0, 2.5, 3.0], np.float32)
    np.testing.assert_allclose(T.fake_quantize_u8(x), x, atol=3 / 255 / 2)
