"""Adaptive instance norm, adaptive layer norm and Snake: kernels against their scalar
references (bit for bit, any thread count) and float64, layers against PyTorch with the same
weights, and malformed weights and inputs refused by name."""
import copy

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from harness import ALL_THREADS, around, check_rejects, forward, one_node, testing as T

# ---- float64 references -------------------------------------------------------------------


def ada_in_f64(x, gamma, beta, eps, w=None, b=None):
    x = x.astype(np.float64)
    n = (x - x.mean(0)) / np.sqrt(x.var(0) + eps)
    if w is not None:
        n = n * w + (0.0 if b is None else b)
    return (1 + gamma.astype(np.float64)) * n + beta


def ada_in_tolerance(x, gamma, beta, eps, w=None, b=None):
    """Per-channel error bound of a float32 computation: the input's rounding, magnified by
    the channel's conditioning max|x| / deviation and by the scales after it."""
    x = x.astype(np.float64)
    cond = np.abs(x).max(0) / np.sqrt(x.var(0) + eps)
    w = np.ones_like(cond) if w is None else np.abs(w)
    b = np.zeros_like(cond) if b is None else np.abs(b)
    g = np.abs(1 + gamma.astype(np.float64))
    return np.broadcast_to(1e-6 * (1 + (cond * w + b) * g + np.abs(beta)), x.shape)


def ada_ln_f64(x, gamma, beta, eps):
    x = x.astype(np.float64)
    n = (x - x.mean(1, keepdims=True)) / np.sqrt(x.var(1, keepdims=True) + eps)
    return (1 + gamma.astype(np.float64)) * n + beta


def snake_f64(x, alpha):
    a = alpha.astype(np.float64)
    return x + np.sin(a * x.astype(np.float64)) ** 2 / (1e-9 + a)


# ---- kernels ------------------------------------------------------------------------------

def block_lengths(C):
    R = T.ada_in_block_rows(C)
    return sorted({1, 2, R - 1, R, R + 1, 3 * R + 5} - {0})


@pytest.mark.parametrize("C", [1, 7, 8, 9, 31, 32, 33, 64, 129, 512])
@pytest.mark.parametrize("affine", ["none", "weight", "both"])
def test_ada_in_kernel(case, C, affine):
    gamma, beta = case.normal(C, 0.3), case.normal(C)
    w = case.normal(C) if affine != "none" else None
    b = case.normal(C) if affine == "both" else None
    for L in block_lengths(C) + ([1000] if C == 64 else []):
        x = case.normal((L, C), 2.0) + case.normal(C, 5.0)

        def run(threads, impl):
            return T.ada_in1d_fp32(x, gamma, beta, 1e-5, w, b, impl=impl)

        want = run(1, "ref")
        case.sweep(run, want, threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
        case.check(want, ada_in_f64(x, gamma, beta, 1e-5, w, b),
                   atol=ada_in_tolerance(x, gamma, beta, 1e-5, w, b), rtol=0, L=L)


def test_ada_in_statistics_do_not_cancel(case):
    """A large common offset does not swamp the variance: the block statistics are
    deviations from block means, merged pairwise."""
    x = case.normal((3000, 16)) + np.float32(1000.0)
    zeros = np.zeros(16, np.float32)
    got = T.ada_in1d_fp32(x, zeros, zeros)
    case.check(got, ada_in_f64(x, zeros, zeros, 1e-5), atol=2e-4, rtol=0)


def test_ada_in_single_step_gives_the_bias(case):
    C = 20
    x, gamma, beta, w, b = (case.normal(C) for _ in range(5))
    got = T.ada_in1d_fp32(x[None], gamma, beta, 1e-5, w, b)
    np.testing.assert_allclose(got[0], (1 + gamma) * b + beta, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(T.ada_in1d_fp32(x[None], gamma, beta)[0], beta, atol=1e-6)


@pytest.mark.parametrize("C", around(8, 32) + [1, 64, 100, 512])
def test_ada_layer_norm_kernel(case, C):
    gamma, beta = case.normal(C, 0.3), case.normal(C)
    x = case.normal((300, C), 2.0) + case.normal((300, 1), 3.0)

    def run(threads, impl):
        return T.ada_layer_norm_fp32(x, gamma, beta, 1e-5, impl=impl)

    want = run(1, "ref")
    case.sweep(run, want, threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    case.check(want, ada_ln_f64(x, gamma, beta, 1e-5), atol=3e-6, rtol=3e-6)


@pytest.mark.parametrize("C", around(8, 16) + [1, 3, 100, 512])
def test_snake_kernel(case, C):
    alpha = case.uniform(0.05, 4.0, C)
    x = case.normal((200, C), 3.0)

    def run(threads, impl):
        return T.snake1d_fp32(x, alpha, impl=impl)

    want = run(1, "ref")
    case.sweep(run, want, threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    # The sine is reduced exactly, so the error is that of the polynomial and the last
    # multiply-add: a few units of the output's last place.
    case.check(want, snake_f64(x, alpha), atol=2e-6, rtol=4e-7)


@pytest.mark.parametrize("alpha", [1e2, 1e4, 6.5e4, 1e6, 1e9])
def test_snake_large_arguments(case, alpha):
    """sin^2(alpha x) for large alpha x against float64 on the same float32 inputs. With
    x in [-1, 1] and a unit inverse alpha, the output's own rounding stays at 1.2e-7, so what
    is measured is the sine: the product is split exactly and pi is taken off in two parts
    (beyond 65536 the sine is taken in double precision), so its error does not grow with
    the argument."""
    a = np.full(8, alpha, np.float32)
    x = case.uniform(-1, 1, (512, 8))
    got = T.snake1d_fp32(x, a, np.ones(8, np.float32))
    want = x + np.sin(a.astype(np.float64) * x) ** 2
    assert np.abs(got - want).max() < 3e-7
    np.testing.assert_array_equal(got, T.snake1d_fp32(x, a, np.ones(8, np.float32), impl="ref"))


def test_snake_non_finite_input():
    alpha = np.array([1.0, 3.0, 0.5, 1.0, 2.0, 1.0, 1.0, 1.0], np.float32)
    x = np.tile(np.array([1e5, -7e6, 2.5e7, np.inf, -np.inf, np.nan, 0.5, 1e38], np.float32),
                (2, 1))
    got = T.snake1d_fp32(x, alpha)
    np.testing.assert_array_equal(got, T.snake1d_fp32(x, alpha, impl="ref"))
    finite = np.isfinite(x[0])
    a = alpha.astype(np.float64)
    want = x[0][finite] + np.sin(a[finite] * x[0][finite]) ** 2 / (1e-9 + a[finite])
    np.testing.assert_allclose(got[0][finite], want, rtol=1e-7)
    assert np.isnan(got[:, ~finite]).all()


def test_snake_special_values():
    alpha = np.array([0.0, 1.0] * 4, np.float32)
    x = np.full((3, 8), np.pi / 2, np.float32)
    got = T.snake1d_fp32(x, alpha)
    np.testing.assert_array_equal(got[:, 0::2], x[:, 0::2])  # sin^2(0) = 0
    np.testing.assert_allclose(got[:, 1::2], np.float32(np.pi / 2) + 1 / (1 + 1e-9), rtol=1e-7)


# ---- layers against PyTorch --------------------------------------------------------------

class AdaIN1d(torch.nn.Module):
    def __init__(self, style_dim, channels):
        super().__init__()
        self.norm = torch.nn.InstanceNorm1d(channels, affine=True)
        self.fc = torch.nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):  # x (1, C, L), s (1, S)
        gamma, beta = self.fc(s)[..., None].chunk(2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


def randomised(module, seed):
    torch.manual_seed(seed)
    with torch.no_grad():
        for p in module.parameters():
            p.normal_(0, 0.5)
    return module.eval()


def tensors_of(module, node):
    return {f"{node}.{k}": v.detach().numpy().copy() for k, v in module.state_dict().items()}


def run_ada_in(m, x, s):
    """The module in float64 on the float32 inputs."""
    torch.set_num_threads(1)
    m64 = copy.deepcopy(m).double()
    with torch.no_grad():
        xt = torch.from_numpy(x.T.astype(np.float64))[None]
        return m64(xt, torch.from_numpy(s.astype(np.float64))[None])[0].numpy().T


def ada_model(make_model, op, node, L, C, S, tensors, **args):
    return make_model(one_node(op, (L, C), (S,), name=node, C=C, C_style=S, **args), tensors)


@pytest.mark.parametrize("L,C,S", [(2, 8, 4), (37, 33, 16), (500, 128, 64), (2000, 512, 128)])
def test_ada_in_layer_matches_torch(case, make_model, L, C, S):
    m = randomised(AdaIN1d(S, C), case.seed)
    x, s = case.normal((L, C), 2.0) + 1, case.normal(S)
    want = run_ada_in(m, x, s)
    model = ada_model(make_model, "ada_in1d_fp32", "ada", 0, C, S, tensors_of(m, "ada"))
    scale = np.abs(want).max()
    case.sweep(lambda threads: forward(model, x, s), want.ravel(), threads=ALL_THREADS,
               atol=4e-6 * scale, rtol=0)


class AdaLayerNorm(torch.nn.Module):
    def __init__(self, style_dim, channels, eps=1e-5):
        super().__init__()
        self.channels, self.eps = channels, eps
        self.fc = torch.nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):  # x (1, L, C)
        gamma, beta = self.fc(s).chunk(2, dim=-1)
        return (1 + gamma[:, None]) * F.layer_norm(x, (self.channels,), eps=self.eps) + beta[:, None]


@pytest.mark.parametrize("L,C,S", [(1, 8, 4), (37, 33, 16), (300, 512, 128)])
@pytest.mark.parametrize("eps", [1e-5, 0.1])
def test_ada_layer_norm_layer_matches_torch(case, make_model, L, C, S, eps):
    m = randomised(AdaLayerNorm(S, C, eps), case.seed)
    x, s = case.normal((L, C), 2.0), case.normal(S)
    with torch.no_grad():
        want = copy.deepcopy(m).double()(torch.from_numpy(x.astype(np.float64))[None],
                                         torch.from_numpy(s.astype(np.float64))[None])[0].numpy()
    model = ada_model(make_model, "ada_layer_norm_fp32", "aln", 0, C, S, tensors_of(m, "aln"),
                      eps=eps)
    case.sweep(lambda threads: forward(model, x, s), want.ravel(), threads=ALL_THREADS,
               atol=1e-5, rtol=1e-5)


def test_zero_style_reduces_to_plain_normalisation(case, make_model):
    L, C, S = 50, 24, 8
    m = randomised(AdaIN1d(S, C), case.seed)
    t = tensors_of(m, "ada")
    t["ada.fc.weight"][:] = 0
    t["ada.fc.bias"][:] = 0
    x, s = case.normal((L, C)), case.normal(S)
    inorm = torch.nn.functional.instance_norm(
        torch.from_numpy(x.T.copy())[None], weight=torch.from_numpy(t["ada.norm.weight"]),
        bias=torch.from_numpy(t["ada.norm.bias"]), eps=1e-5)[0].numpy().T
    got = forward(ada_model(make_model, "ada_in1d_fp32", "ada", L, C, S, t), x, s)
    np.testing.assert_allclose(got, inorm.ravel(), atol=2e-6)
    t = {"aln.fc.weight": np.zeros((2 * C, S), np.float32)}
    got = forward(ada_model(make_model, "ada_layer_norm_fp32", "aln", L, C, S, t), x, s)
    want = F.layer_norm(torch.from_numpy(x), (C,), eps=1e-5).numpy()
    np.testing.assert_allclose(got, want.ravel(), atol=2e-6)


def test_constant_sequence_gives_shifted_bias(case, make_model):
    L, C, S = 40, 16, 8
    m = randomised(AdaIN1d(S, C), case.seed)
    t = tensors_of(m, "ada")
    s = case.normal(S)
    # Eighths: the sums are exact, so the mean is the value itself.
    x = np.tile(np.round(case.normal(C) * 8) / 8, (L, 1)).astype(np.float32)
    got = forward(ada_model(make_model, "ada_in1d_fp32", "ada", L, C, S, t), x, s).reshape(L, C)
    h = t["ada.fc.weight"].astype(np.float64) @ s + t["ada.fc.bias"]
    np.testing.assert_allclose(got, np.tile((1 + h[:C]) * t["ada.norm.bias"] + h[C:], (L, 1)),
                               atol=1e-5)


@pytest.mark.parametrize("op", ["ada_in1d_fp32", "ada_layer_norm_fp32"])
def test_int8_fc_weight_is_dequantised(case, make_model, op):
    L, C, S = 30, 16, 12
    w = case.normal((2 * C, S))
    scales = (np.abs(w).max(1) / 127).astype(np.float32)
    q = np.round(w / scales[:, None]).astype(np.int8)
    deq = (q.astype(np.float32) * scales[:, None]).astype(np.float32)
    bias = case.normal(2 * C)
    x, s = case.normal((L, C)), case.normal(S)
    as_int8 = forward(ada_model(make_model, op, "a", L, C, S, {
        "a.fc.weight_i8": q, "a.fc.w_scales": scales, "a.fc.bias": bias}), x, s)
    as_float = forward(ada_model(make_model, op, "a", L, C, S,
                                 {"a.fc.weight": deq, "a.fc.bias": bias}), x, s)
    np.testing.assert_array_equal(as_int8, as_float)
    original = forward(ada_model(make_model, op, "a", L, C, S,
                                 {"a.fc.weight": w, "a.fc.bias": bias}), x, s)
    # Quantisation moves h_r by at most scale_r / 2 * sum |s|, and y by |n| dgamma + dbeta.
    dh = scales.astype(np.float64) / 2 * np.abs(s).sum()
    if op == "ada_in1d_fp32":
        n = (x - x.mean(0)) / np.sqrt(x.var(0) + 1e-5)
    else:
        n = (x - x.mean(1, keepdims=True)) / np.sqrt(x.var(1, keepdims=True) + 1e-5)
    bound = np.abs(n) * dh[:C] + dh[C:] + 1e-5
    assert (np.abs(as_int8 - original).reshape(L, C) <= bound).all()


@pytest.mark.parametrize("present", ["weight", "bias"])
def test_norm_affine_with_one_half_missing(case, make_model, present):
    """A norm weight without a bias uses a zero bias; a bias without a weight a unit weight
    (rather than reading a missing bias, or dropping the given one)."""
    L, C, S = 20, 12, 6
    m = randomised(AdaIN1d(S, C), case.seed)
    t = tensors_of(m, "ada")
    with torch.no_grad():
        if present == "weight":
            del t["ada.norm.bias"]
            m.norm.bias.zero_()
        else:
            del t["ada.norm.weight"]
            m.norm.weight.fill_(1.0)
    x, s = case.normal((L, C)), case.normal(S)
    got = forward(ada_model(make_model, "ada_in1d_fp32", "ada", L, C, S, t), x, s)
    np.testing.assert_allclose(got, run_ada_in(m, x, s).ravel(), atol=1e-5)


def test_snake_layer(case, make_model):
    C = 37
    alpha = case.uniform(0.1, 2.0, C)
    x = case.normal((100, C), 2.0)
    model = make_model(one_node("snake1d_fp32", (0, C), name="sn"), {"sn.alpha": alpha[None, :, None]})
    want = x + np.sin(alpha * x) ** 2 / (1e-9 + alpha)
    case.sweep(lambda threads: forward(model, x), want.ravel(), threads=ALL_THREADS, atol=2e-6,
               rtol=1e-6)


# ---- refused weights and inputs ---------------------------------------------------------

def style_tensors(C=8, S=4, node="st"):
    rng = np.random.default_rng(5)
    return {f"{node}.fc.weight": rng.standard_normal((2 * C, S)).astype(np.float32),
            f"{node}.fc.bias": rng.standard_normal(2 * C).astype(np.float32),
            f"{node}.norm.weight": np.ones(C, np.float32),
            f"{node}.norm.bias": np.zeros(C, np.float32)}


CLASS = {"ada_in1d_fp32": "AdaIn1dFp32", "ada_layer_norm_fp32": "AdaLayerNormFp32"}


@pytest.mark.parametrize("op", list(CLASS))
@pytest.mark.parametrize("edit,match", [
    ({"C": 0}, "C and C_style must be at least 1, got 0 and 4"),
    ({"C_style": -1}, "C and C_style must be at least 1, got 8 and -1"),
    ({"st.fc.weight": np.zeros((16, 5), np.float32)}, "fc.weight' has 80 values, needs 64"),
    ({"st.fc.weight": np.zeros((4, 16), np.float32)}, "fc.weight' has 4 rows, needs 16"),
    ({"st.fc.weight": None}, "fc.weight' is missing"),
    ({"st.fc.bias": np.zeros(15, np.float32)}, "fc.bias' has 15 values, needs 16"),
    ({"st.fc.weight_i8": np.zeros((16, 4), np.int8), "st.fc.w_scales": np.ones(8, np.float32)},
     "int8 fc weight has 64 values and 8 row scales, needs 64 and 16"),
])
def test_bad_style_weights_are_refused(make_model, op, edit, match):
    args = dict(C=8, C_style=4)
    t = style_tensors() if op == "ada_in1d_fp32" else {
        k: v for k, v in style_tensors().items() if ".fc." in k}
    for k, v in edit.items():
        if k in args:
            args[k] = v
        elif v is None:
            del t[k]
        else:
            t[k] = v
    with pytest.raises(RuntimeError, match=f"{CLASS[op]} 'st': .*{match}"):
        make_model(one_node(op, (0, 8), (4,), name="st", **args), t)


def test_bad_norm_tensor_is_refused(make_model):
    t = style_tensors()
    t["st.norm.bias"] = np.zeros(7, np.float32)
    with pytest.raises(RuntimeError, match="AdaIn1dFp32 'st': .*norm.bias' has 7 values, needs 8"):
        make_model(one_node("ada_in1d_fp32", (0, 8), (4,), name="st", C=8, C_style=4), t)


@pytest.mark.parametrize("op", list(CLASS))
def test_bad_style_inputs_are_refused(make_model, op):
    t = style_tensors() if op == "ada_in1d_fp32" else {
        k: v for k, v in style_tensors().items() if ".fc." in k}
    with pytest.raises(RuntimeError, match=f"{CLASS[op]} 'st': input has 9 channels, C is 8"):
        make_model(one_node(op, (0, 9), (4,), name="st", C=8, C_style=4), t)
    # A style input of variable length: rows of one value.
    model = make_model(one_node(op, (0, 8), (0, 1), name="st", C=8, C_style=4), t)
    x = np.random.default_rng(1).standard_normal((10, 8)).astype(np.float32)
    s = np.ones((4, 1), np.float32)
    check_rejects(model, (x, s[:3]), (x, s), node="st",
                  match="style input has 3 values, needs C_style = 4")
    args = {"C": 8, "C_style": 4}

    def layer(*inputs):
        return T.sequence_layer(op, args, t, list(inputs), 80, name="st")

    s = s.ravel()
    check_rejects(layer, (x[:, :7].copy(), s), (x, s), node="st", match="input has 7 channels")
    check_rejects(layer, (x,), (x, s), node="st", match="needs 2 inputs, got 1")


def test_snake_alpha_is_checked(make_model):
    with pytest.raises(RuntimeError, match="SnakeFp32 'sn': tensor 'sn.alpha' is missing"):
        make_model(one_node("snake1d_fp32", (0, 4), name="sn"), {})
    with pytest.raises(RuntimeError, match="SnakeFp32 'sn': tensor 'sn.alpha' is empty"):
        make_model(one_node("snake1d_fp32", (0, 4), name="sn"), {"sn.alpha": np.zeros(0, np.float32)})
    alpha = {"sn.alpha": np.ones(4, np.float32)}
    with pytest.raises(RuntimeError, match="SnakeFp32 'sn': input has 5 channels, alpha has 4"):
        make_model(one_node("snake1d_fp32", (0, 5), name="sn"), alpha)
    x = np.ones((3, 4), np.float32)
    check_rejects(lambda v: T.sequence_layer("snake1d_fp32", {}, alpha, [v], 12, name="sn"),
                  np.ones((3, 3), np.float32), x, node="sn", match="input has 3 channels")
