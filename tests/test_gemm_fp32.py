import numpy as np
import pytest

from harness import testing as t

SHAPES = [  # (M, K, N): tile edges in every dimension
    (1, 1, 1), (1, 5, 13), (7, 3, 8), (8, 4, 16), (9, 7, 17), (16, 16, 24),
    (17, 9, 33), (256, 8, 16), (263, 13, 40), (520, 6, 9), (3, 0, 5),
    (2, 33, 70), (601, 20, 40),  # rows below a tile of 3; several row chunks
]


def operands(rng, M, K, N, with_bias=True):
    A = rng.standard_normal((M, K)).astype(np.float32)
    W = rng.standard_normal((N, K)).astype(np.float32)
    b = rng.standard_normal(N).astype(np.float32) if with_bias else None
    return A, W, b


def float64_reference(A, W, b, relu):
    C = A.astype(np.float64) @ W.astype(np.float64).T
    if b is not None:
        C += b
    return np.maximum(C, 0.0) if relu else C


def test_pack_layout_pads_last_panel(rng):
    W = rng.standard_normal((13, 5)).astype(np.float32)
    packed = t.pack_weights_fp32(W)
    assert packed.size == 2 * 5 * 8
    panels = packed.reshape(2, 5, 8)  # (panel, k, row in panel)
    full = np.zeros((16, 5), np.float32)
    full[:13] = W
    np.testing.assert_array_equal(panels.transpose(0, 2, 1).reshape(16, 5), full)


@pytest.mark.parametrize("M,K,N", SHAPES)
@pytest.mark.parametrize("with_bias", [True, False])
@pytest.mark.parametrize("relu", [False, True])
def test_matches_fma_reference_bit_for_bit(rng, M, K, N, with_bias, relu):
    A, W, b = operands(rng, M, K, N, with_bias)
    C = t.gemm_packed_fp32(A, W, b, relu=relu, threads=1)
    np.testing.assert_array_equal(C, t.gemm_fp32_ref(A, W, b, relu=relu), err_msg=f"{M},{K},{N}")
    np.testing.assert_allclose(C, float64_reference(A, W, b, relu), rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("M,K,N", [(1, 2048, 1000), (300, 64, 120), (5, 3, 200), (64, 40, 23),
                                   (4, 100, 3), (1, 2000, 1000)])
@pytest.mark.parametrize("team_threads", [0, 2, 3])
def test_thread_count_does_not_change_bits(rng, M, K, N, team_threads):
    A, W, b = operands(rng, M, K, N)
    one = t.gemm_packed_fp32(A, W, b, threads=1)
    many = t.gemm_packed_fp32(A, W, b, threads=2, team_threads=team_threads)
    np.testing.assert_array_equal(one, many)
    np.testing.assert_array_equal(one, t.gemm_fp32_ref(A, W, b))


@pytest.mark.parametrize("M,K,N,expected", [
    (1, 1999999, 1, 1), (7, 11, 25974, 1),   # 1,999,998 and 1,999,999 multiply-adds
    (1, 2000, 1000, 2), (100, 100, 200, 2),  # exactly 2,000,000
])
def test_team_threshold(M, K, N, expected):
    assert t.gemm_packed_fp32_threads(M, K, N, 2) == expected
    assert t.gemm_packed_fp32_threads(M, K, N, 1) == 1


def test_k_zero_gives_bias_then_relu():
    b = np.array([1.5, -2.0, 0.0, -0.0, 3.0], np.float32)
    A = np.zeros((3, 0), np.float32)
    W = np.zeros((5, 0), np.float32)
    np.testing.assert_array_equal(t.gemm_packed_fp32(A, W, b), np.tile(b, (3, 1)))
    C = t.gemm_packed_fp32(A, W, b, relu=True)
    np.testing.assert_array_equal(C, np.tile(np.maximum(b, 0), (3, 1)))
    assert not np.signbit(C).any()
    np.testing.assert_array_equal(t.gemm_packed_fp32(A, W, None), np.zeros((3, 5), np.float32))


def test_relu_of_nan_sum_is_positive_zero():
    A = np.array([[np.nan, 1.0], [-1.0, 1.0]], np.float32)
    W = np.array([[1.0, 1.0], [2.0, 2.0]], np.float32)
    C = t.gemm_packed_fp32(A, W, None, relu=True)
    np.testing.assert_array_equal(C, np.zeros((2, 2), np.float32))
    assert not np.signbit(C).any()


@pytest.mark.parametrize("K,N", [(5, 13), (2048, 1000), (64, 8)])
@pytest.mark.parametrize("with_bias", [True, False])
def test_vector_product_with_and_without_packed_block(rng, K, N, with_bias):
    x = rng.standard_normal((1, K)).astype(np.float32)
    W = rng.standard_normal((N, K)).astype(np.float32)
    b = rng.standard_normal(N).astype(np.float32) if with_bias else None
    expected = t.gemm_fp32_ref(x, W, b)[0]
    for threads in (1, 2):
        np.testing.assert_array_equal(t.gemm_fp32(x[0], W, b, use_packed=True, threads=threads), expected)
        np.testing.assert_array_equal(t.gemm_fp32(x[0], W, b, use_packed=False, threads=threads), expected)


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 8, 12, 13, 21])
@pytest.mark.parametrize("slot", [32, 47])
def test_relu(rng, n, slot):
    x = rng.standard_normal(n).astype(np.float32)
    x[: min(n, 3)] = [np.nan, -0.0, np.inf][: min(n, 3)]
    out = t.relu_fp32(x, slot)
    expected = np.where(x > 0, x, np.float32(0.0))
    np.testing.assert_array_equal(out, expected)
    assert not np.signbit(out).any()
    np.testing.assert_array_equal(t.relu_fp32(x, 0), expected)
