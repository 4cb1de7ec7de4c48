"""FP32 GEMM: the packed and vector kernels against the scalar FMA reference (bit for bit, for
every thread count) and the reference against float64 NumPy."""
import numpy as np
import pytest

from harness import ALL_THREADS, around, check, testing as t

ROW_TILE, PANEL, CHUNK = 6, 8, 252  # rows per register tile, columns per packed panel, rows per chunk

SHAPES = [  # (M, K, N): tile edges in every dimension
    (1, 1, 1), (1, 5, 13), (7, 3, 8), (8, 4, 16), (9, 7, 17), (16, 16, 24),
    (17, 9, 33), (256, 8, 16), (263, 13, 40), (520, 6, 9), (3, 0, 5),
    (2, 33, 70), (601, 20, 40),  # rows below a tile of 3; several row chunks
] + [  # one and two row tiles against one, two and four panels (rows < 3 take four at once)
    (M, 7, N) for M in [1, 2] + around(ROW_TILE, 2 * ROW_TILE) for N in around(PANEL, 2 * PANEL, 4 * PANEL)
] + [(M, 6, 9) for M in around(CHUNK)]


def operands(case, M, K, N, with_bias=True):
    return case.normal((M, K)), case.normal((N, K)), case.normal(N) if with_bias else None


def float64_reference(A, W, b, relu):
    C = A.astype(np.float64) @ W.astype(np.float64).T
    if b is not None:
        C += b
    return np.maximum(C, 0.0) if relu else C


def test_pack_layout_pads_last_panel(case):
    W = case.normal((13, 5))
    packed = t.pack_weights_fp32(W)
    assert packed.size == 2 * 5 * 8
    panels = packed.reshape(2, 5, 8)  # (panel, k, row in panel)
    full = np.zeros((16, 5), np.float32)
    full[:13] = W
    case.check(panels.transpose(0, 2, 1).reshape(16, 5), full, exact=True, what="packed panels")


@pytest.mark.parametrize("relu", [False, True])
@pytest.mark.parametrize("with_bias", [True, False])
@pytest.mark.parametrize("M,K,N", SHAPES)
def test_matches_fma_reference_bit_for_bit(case, M, K, N, with_bias, relu):
    A, W, b = operands(case, M, K, N, with_bias)
    want = t.gemm_fp32_ref(A, W, b, relu=relu)
    case.sweep(lambda threads: t.gemm_packed_fp32(A, W, b, relu=relu, threads=threads), want,
               exact=True, what="gemm_packed_fp32")
    case.check(want, float64_reference(A, W, b, relu), what="gemm_fp32_ref vs float64")


@pytest.mark.parametrize("M,K,N", [(1, 2048, 1000), (300, 64, 120), (5, 3, 200), (64, 40, 23),
                                   (4, 100, 3), (1, 2000, 1000)])
def test_thread_count_does_not_change_bits(case, M, K, N):
    """Also from every thread of a team (team_threads > 0), which splits rows or panels."""
    A, W, b = operands(case, M, K, N)
    case.sweep(lambda threads, team_threads: t.gemm_packed_fp32(A, W, b, threads=threads,
                                                                team_threads=team_threads),
               t.gemm_fp32_ref(A, W, b), threads=ALL_THREADS, team_threads=(0, 2, 3), exact=True,
               what="gemm_packed_fp32")


@pytest.mark.parametrize("M,K,N,expected", [
    (1, 1999999, 1, 1), (7, 11, 25974, 1),   # 1,999,998 and 1,999,999 multiply-adds
    (1, 2000, 1000, 2), (100, 100, 200, 2),  # exactly 2,000,000
])
def test_team_threshold(M, K, N, expected):
    assert t.gemm_packed_fp32_threads(M, K, N, 2) == expected
    assert t.gemm_packed_fp32_threads(M, K, N, 1) == 1


def test_k_zero_gives_bias_then_relu():
    """An empty sum is +0, so a bias of -0 gives +0 and ReLU never leaves a negative zero."""
    b = np.array([1.5, -2.0, 0.0, -0.0, 3.0], np.float32)
    A = np.zeros((3, 0), np.float32)
    W = np.zeros((5, 0), np.float32)
    empty_sum = np.zeros((3, 5), np.float32)
    check(t.gemm_packed_fp32(A, W, b), empty_sum + b, exact=True)
    check(t.gemm_packed_fp32(A, W, b, relu=True), np.maximum(empty_sum + b, empty_sum), exact=True)
    check(t.gemm_packed_fp32(A, W, None), empty_sum, exact=True)


def test_relu_of_nan_sum_is_positive_zero():
    A = np.array([[np.nan, 1.0], [-1.0, 1.0]], np.float32)
    W = np.array([[1.0, 1.0], [2.0, 2.0]], np.float32)
    check(t.gemm_packed_fp32(A, W, None, relu=True), np.zeros((2, 2), np.float32), exact=True)


@pytest.mark.parametrize("K,N", [(5, 13), (2048, 1000), (64, 8)])
@pytest.mark.parametrize("with_bias", [True, False])
def test_vector_product_with_and_without_packed_block(case, K, N, with_bias):
    x, W, b = operands(case, 1, K, N, with_bias)
    case.sweep(lambda threads, use_packed: t.gemm_fp32(x[0], W, b, use_packed=use_packed,
                                                       threads=threads),
               t.gemm_fp32_ref(x, W, b)[0], use_packed=(True, False), exact=True, what="gemm_fp32")


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 8, 12, 13, 21])
@pytest.mark.parametrize("slot", [0, 32, 47])  # the scalar reference, the backend slot, its alias
def test_relu(case, n, slot):
    """NaN and -0 give +0 (compared bit for bit)."""
    x = case.normal(n)
    x[: min(n, 3)] = [np.nan, -0.0, np.inf][: min(n, 3)]
    case.check(t.relu_fp32(x, slot), np.where(x > 0, x, np.float32(0.0)), exact=True,
               what="relu_fp32")
