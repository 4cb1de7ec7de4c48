"""Float convolution: kernels and ConvFp32 against torch.nn.functional.conv2d."""

import numpy as np
import pytest

from model_inference import _testing as t

torch = pytest.importorskip("torch")
torch.set_num_threads(1)
F = torch.nn.functional

BT = np.array([[1, 0, -1, 0], [0, 1, 1, 0], [0, -1, 1, 0], [0, 1, 0, -1]], np.float64)
AT = np.array([[1, 1, 1, 0], [0, 1, -1, -1]], np.float64)
G = np.array([[1, 0, 0], [0.5, 0.5, 0.5], [0.5, -0.5, 0.5], [0, 0, 1]], np.float64)


def torch_conv(x, w, b, stride=(1, 1), pad=(0, 0), dil=(1, 1), groups=1, relu=False):
    y = F.conv2d(torch.from_numpy(x).permute(2, 0, 1)[None], torch.from_numpy(w),
                 None if b is None else torch.from_numpy(b), stride, pad, dil, groups)
    y = y[0].permute(1, 2, 0).numpy()
    return np.maximum(y, 0) if relu else y


def tol(ref, k):
    # fp32 sums of k products: absolute error well below 1e-5 * sqrt(k) * scale for N(0,1) data.
    return 1e-5 * max(1.0, np.sqrt(k)) * max(1.0, float(np.abs(ref).max()))


def patches(x, pad_value=0):
    """4x4 input patches of every 2x2 output tile, [T, 4, 4, C], tiles row-major."""
    H, W, C = x.shape
    th, tw = (H + 1) // 2, (W + 1) // 2
    p = np.full((2 * th + 2, 2 * tw + 2, C), pad_value, x.dtype)
    p[1:H + 1, 1:W + 1] = x
    return np.stack([p[2 * ty:2 * ty + 4, 2 * tx:2 * tx + 4] for ty in range(th) for tx in range(tw)])


def test_kernel_transform_matches_matrix_form(rng):
    g = rng.standard_normal((3, 3)).astype(np.float32)
    np.testing.assert_allclose(t.winograd_kernel_transform(g), G @ g @ G.T, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("H, W, C", [(1, 1, 3), (2, 3, 8), (5, 4, 17), (7, 7, 16)])
def test_winograd_fp32_transforms(rng, H, W, C):
    x = rng.standard_normal((H, W, C)).astype(np.float32)
    d = patches(x).astype(np.float64)
    ref = np.einsum("ai,tijc,bj->abtc", BT, d, BT).reshape(16, -1, C)
    V = t.winograd_input_fp32(x, True)
    np.testing.assert_array_equal(V, t.winograd_input_fp32(x, False))
    np.testing.assert_allclose(V, ref, rtol=1e-6, atol=1e-5)

    N = C + 3
    Mw = rng.standard_normal((16, d.shape[0], N)).astype(np.float32)
    b = rng.standard_normal(N).astype(np.float32)
    for relu in (False, True):
        y = t.winograd_output_fp32(Mw, b, relu, H, W, True)
        np.testing.assert_array_equal(y, t.winograd_output_fp32(Mw, b, relu, H, W, False))
        th, tw = (H + 1) // 2, (W + 1) // 2
        m = Mw.astype(np.float64).reshape(4, 4, th, tw, N)
        yt = np.einsum("ia,abyxn,jb->yixjn", AT, m, AT).reshape(2 * th, 2 * tw, N)[:H, :W] + b
        np.testing.assert_allclose(y, np.maximum(yt, 0) if relu else yt, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("kH, kW, stride, pad, dil", [
    (3, 3, (1, 1), (1, 1), (1, 1)), (3, 3, (2, 2), (1, 1), (1, 1)), (5, 5, (1, 2), (2, 1), (1, 1)),
    (3, 3, (1, 1), (2, 2), (2, 2)), (7, 7, (2, 2), (3, 3), (1, 1)), (1, 1, (2, 1), (0, 0), (1, 1))])
@pytest.mark.parametrize("C", [8, 13])
def test_depthwise_fp32_kernel(rng, kH, kW, stride, pad, dil, C):
    x = rng.standard_normal((9, 11, C)).astype(np.float32)
    w = rng.standard_normal((C, 1, kH, kW)).astype(np.float32)
    b = rng.standard_normal(C).astype(np.float32)
    y = t.depthwise_fp32(x, w, b, stride, pad, dil, True, True)
    np.testing.assert_array_equal(y, t.depthwise_fp32(x, w, b, stride, pad, dil, True, False))
    ref = torch_conv(x, w, b, stride, pad, dil, groups=C, relu=True)
    np.testing.assert_allclose(y, ref, atol=tol(ref, kH * kW), rtol=0)
