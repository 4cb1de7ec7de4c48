"""Float convolution: kernels and ConvFp32 against torch.nn.functional.conv2d."""

import numpy as np
import pytest

from harness import num_threads, testing as t

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
    (3, 3, (1, 1), (2, 2), (2, 2)), (7, 7, (2, 2), (3, 3), (1, 1)), (1, 1, (2, 1), (0, 0), (1, 1)),
    (3, 3, (2, 2), (0, 0), (1, 1)), (3, 3, (1, 2), (1, 0), (1, 1))])
@pytest.mark.parametrize("C", [8, 13, 24])
@pytest.mark.parametrize("H, W", [(9, 11), (3, 4), (4, 3)])
def test_depthwise_fp32_kernel(rng, kH, kW, stride, pad, dil, C, H, W):
    if min(H, W) + 2 * min(pad) < dil[0] * (kH - 1) + 1:
        pytest.skip("kernel larger than the padded image")
    x = rng.standard_normal((H, W, C)).astype(np.float32)
    w = rng.standard_normal((C, 1, kH, kW)).astype(np.float32)
    b = rng.standard_normal(C).astype(np.float32)
    y = t.depthwise_fp32(x, w, b, stride, pad, dil, True, True)
    np.testing.assert_array_equal(y, t.depthwise_fp32(x, w, b, stride, pad, dil, True, False))
    ref = torch_conv(x, w, b, stride, pad, dil, groups=C, relu=True)
    np.testing.assert_allclose(y, ref, atol=tol(ref, kH * kW), rtol=0)


def run_fp32(w, b, x, relu=False, **geo):
    C_out, Cg, kH, kW = w.shape
    args = dict(C_out=C_out, C_in=x.shape[2], kH=kH, kW=kW, **geo)
    tensors = {"c.weight": w} if b is None else {"c.weight": w, "c.bias": b}
    return t.conv_run_layer("conv_fp32", "c", args, tensors, x, relu)


GEOMETRIES = [
    # C_in, C_out, k, stride, pad, dil, groups, H, W
    (3, 8, 3, 1, 1, 1, 1, 9, 7),       # Winograd
    (5, 13, 3, 1, 1, 1, 1, 1, 1),      # Winograd on a 1x1 image
    (16, 24, 3, 1, 0, 1, 1, 6, 6),     # 3x3 pad 0: general
    (13, 20, 1, 1, 0, 1, 1, 5, 4),     # pointwise
    (8, 16, 1, 2, 0, 1, 1, 7, 7),      # strided 1x1
    (3, 16, 7, 2, 3, 1, 1, 17, 15),    # stem
    (7, 9, 5, 2, 2, 1, 1, 9, 10),
    (6, 10, 3, 1, 2, 2, 1, 8, 8),      # dilation 2 keeps the size
    (8, 12, 3, 2, 1, 1, 2, 9, 9),      # 2 groups
    (12, 12, 3, 1, 1, 1, 12, 7, 6),    # depthwise
    (11, 11, 5, 2, 2, 1, 11, 9, 9),    # depthwise 5x5 stride 2
    (6, 12, 3, 1, 1, 1, 6, 5, 5),      # channel multiplier 2: grouped
    (9, 9, 3, 1, 2, 2, 3, 7, 7),       # grouped and dilated
    (4, 6, 3, 2, 0, 1, 1, 3, 3),       # input as small as the kernel
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("C_in, C_out, k, s, p, d, groups, H, W", GEOMETRIES)
def test_conv_fp32_layer_matches_torch(rng, threads, C_in, C_out, k, s, p, d, groups, H, W):
    x = rng.standard_normal((H, W, C_in)).astype(np.float32)
    w = rng.standard_normal((C_out, C_in // groups, k, k)).astype(np.float32)
    b = rng.standard_normal(C_out).astype(np.float32)
    with num_threads(threads):
        y, path = run_fp32(w, b, x, relu=True, stride_h=s, stride_w=s, pad_h=p, pad_w=p,
                           dilation_h=d, dilation_w=d, groups=groups)
    expected_path = ("winograd" if (k, s, p, d, groups) == (3, 1, 1, 1, 1) else
                     "general" if groups == 1 else
                     "depthwise" if groups == C_in == C_out else "grouped")
    assert path == expected_path
    ref = torch_conv(x, w, b, (s, s), (p, p), (d, d), groups, relu=True)
    assert y.shape == ref.shape
    np.testing.assert_allclose(y, ref, atol=tol(ref, C_in // groups * k * k), rtol=0)


@pytest.mark.parametrize("threads", [1, 2])
def test_stem_gathered_in_chunks_bit_exact(rng, threads):
    """Columns above 1 MiB are gathered a few output rows at a time; every output is still
    the FMA sum of the whole-matrix product."""
    H, W, C, N, k, p = 49, 47, 3, 16, 7, 3
    x = rng.standard_normal((H, W, C)).astype(np.float32)
    w = rng.standard_normal((N, C, k, k)).astype(np.float32)
    b = rng.standard_normal(N).astype(np.float32)
    with num_threads(threads):
        y, path = run_fp32(w, b, x, relu=True, pad_h=p, pad_w=p)
    assert path == "general"
    xp = np.pad(x, ((p, p), (p, p), (0, 0)))
    cols = np.stack([xp[ky:ky + H, kx:kx + W] for ky in range(k) for kx in range(k)], axis=2)
    ref = t.gemm_fp32_ref(cols.reshape(H * W, -1), w.transpose(0, 2, 3, 1).reshape(N, -1), b,
                          relu=True)
    np.testing.assert_array_equal(y, ref.reshape(H, W, N))


@pytest.mark.parametrize("prepack, scratch", [(True, True), (False, False), (True, False)])
@pytest.mark.parametrize("kH, kW, stride, pad, dil", [(1, 1, (1, 1), (0, 0), (1, 1)),
                                                      (3, 2, (2, 1), (1, 0), (1, 2))])
def test_conv_fp32_kernel_pack_and_scratch(rng, prepack, scratch, kH, kW, stride, pad, dil):
    x = rng.standard_normal((8, 9, 10)).astype(np.float32)
    w = rng.standard_normal((11, 10, kH, kW)).astype(np.float32)
    y = t.conv_fp32(x, w, None, stride, pad, dil, False, prepack, scratch)
    np.testing.assert_array_equal(y, t.conv_fp32(x, w, None, stride, pad, dil, False, True, True))
    ref = torch_conv(x, w, None, stride, pad, dil)
    np.testing.assert_allclose(y, ref, atol=tol(ref, 10 * kH * kW), rtol=0)


def test_pointwise_is_the_plain_gemm(rng):
    x = rng.standard_normal((4, 5, 16)).astype(np.float32)
    w = rng.standard_normal((24, 16, 1, 1)).astype(np.float32)
    y = t.conv_fp32(x, w, None, (1, 1), (0, 0), (1, 1))
    ref = x.reshape(-1, 16).astype(np.float64) @ w[:, :, 0, 0].T.astype(np.float64)
    np.testing.assert_allclose(y.reshape(-1, 24), ref, atol=1e-4, rtol=0)


@pytest.mark.parametrize("H, W, C, N", [(8, 8, 16, 32), (5, 7, 3, 9), (14, 14, 64, 64)])
def test_winograd_fp32_close_to_direct(rng, H, W, C, N):
    # The transforms add rounding of order eps * |values| per stage; bounded by 1e-5 relative
    # to the output scale times sqrt(9C).
    x = rng.standard_normal((H, W, C)).astype(np.float32)
    w = rng.standard_normal((N, C, 3, 3)).astype(np.float32)
    b = rng.standard_normal(N).astype(np.float32)
    y = t.conv_winograd_fp32(x, w, b)
    ref = torch_conv(x, w, b, pad=(1, 1))
    np.testing.assert_allclose(y, ref, atol=tol(ref, 9 * C), rtol=0)


@pytest.mark.parametrize("args, tensors, message", [
    (dict(kH=0), {}, "kernel sizes must be positive"),
    (dict(stride_w=0), {}, "strides must be positive"),
    (dict(groups=3), {}, "groups=3 must divide C_in=4 and C_out=6"),
    (dict(), {}, "tensor 'c.weight' is missing"),
    (dict(), {"c.weight": np.zeros(4 * 6 * 9 - 1, np.float32)}, "'c.weight' has 215 values, needs 216"),
    (dict(), {"c.weight": np.zeros(216, np.float32), "c.bias": np.zeros(5, np.float32)},
     "'c.bias' has 5 values, needs 6"),
])
def test_conv_fp32_refuses_bad_layers(args, tensors, message):
    base = dict(C_out=6, C_in=4, kH=3, kW=3, pad_h=1, pad_w=1)
    base.update(args)
    with pytest.raises(RuntimeError, match="ConvFp32 'c': .*" + message.replace("(", r"\(")):
        t.conv_run_layer("conv_fp32", "c", base, tensors, np.zeros((5, 5, 4), np.float32))


@pytest.mark.parametrize("shape, stride, message", [
    ((5, 5, 3), 1, "input has 3 channels, expected C_in=4"),
    ((2, 2, 4), 1, "input 2x2 is smaller than the kernel"),
    ((2, 5, 4), 2, "input 2x5 is smaller than the kernel")])  # C division would give 1 row
@pytest.mark.parametrize("groups", [1, 4])
def test_conv_fp32_refuses_bad_inputs(shape, stride, message, groups):
    w = np.zeros((4, 4 // groups, 3, 3), np.float32)
    args = dict(C_out=4, C_in=4, kH=3, kW=3, stride_h=stride, stride_w=stride, groups=groups)
    with pytest.raises(RuntimeError, match="ConvFp32 'c': " + message):
        t.conv_run_layer("conv_fp32", "c", args, {"c.weight": w}, np.zeros(shape, np.float32))
