"""Activation kernels and the ActivationFp32 layer against float64 NumPy references."""
import numpy as np
import pytest

from harness import ALL_THREADS, around, check, one_node, testing as T

SQRT_2_OVER_PI = np.sqrt(2.0 / np.pi)

EXACT = {
    "exp": np.exp,
    "sin": np.sin,
    "sigmoid": lambda x: 1.0 / (1.0 + np.exp(-x)),
    "tanh": np.tanh,
    "gelu": lambda x: 0.5 * x * (1.0 + np.tanh(SQRT_2_OVER_PI * (x + 0.044715 * x**3))),
    "silu": lambda x: x / (1.0 + np.exp(-x)),
    "leaky_relu": lambda x: np.where(x >= 0, x, np.float32(0.2) * x.astype(np.float32)),
}

# (range, rtol, atol): the measured worst case of each polynomial form over its range, with
# about 1.5x headroom. sin loses accuracy with |x| because pi is reduced in one step.
ACCURACY = {
    "exp": ((-87.0, 88.0), 1.2e-7, 0.0),
    "sin": ((-100.0, 100.0), 0.0, 5.5e-6),
    "sigmoid": ((-30.0, 30.0), 0.0, 2e-7),
    "tanh": ((-10.0, 10.0), 0.0, 4e-7),
    "gelu": ((-10.0, 10.0), 1.2e-7, 9e-7),
    "silu": ((-30.0, 30.0), 2.5e-7, 1e-7),
    "leaky_relu": ((-10.0, 10.0), 0.0, 0.0),
}

VECTOR = 8  # floats per AVX2 register: sizes around it and its multiples reach every tail


@pytest.mark.parametrize("n", [0, 1, 13, 64 * 1024 + 5] + around(VECTOR, 2 * VECTOR))
@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_activation_matches_exact_function(case, fn, n):
    (lo, hi), rtol, atol = ACCURACY[fn]
    x = case.uniform(lo, hi, n)
    case.sweep(lambda threads, ref: T.activation(fn, x, ref=ref), EXACT[fn](x.astype(np.float64)),
               ref=(False, True), rtol=rtol, atol=atol, what=fn)


@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_vector_kernel_tracks_scalar_reference(case, fn):
    # The same polynomial, so exact where only fused multiply-adds differ. Where the vector
    # code refines a reciprocal estimate it may end one ulp below 1, which GELU scales by x.
    x = case.uniform(-12, 12, 1003)
    x[:8] = [0.0, -0.0, 1e-30, -1e-30, 88.5, -88.5, 200.0, -200.0]
    got, ref = T.activation(fn, x), T.activation(fn, x, ref=True)
    if fn in ("exp", "sin", "leaky_relu"):
        case.check(got, ref, exact=True, what=fn)
    else:
        bound = 3e-7 * np.abs(ref) + 2.5e-7 + 1.2e-7 * np.abs(x)
        case.check(got, ref, atol=bound, rtol=0.0, what=fn)


@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_in_place(case, fn):
    x = case.uniform(-4, 4, 37)
    case.check(T.activation(fn, x, in_place=True), T.activation(fn, x), exact=True, what=fn)


def test_exp_clamps_in_the_body_but_not_in_the_tail():
    y = T.activation("exp", np.full(9, 100.0, np.float32))
    check(y[:8], T.activation("exp", np.full(8, 88.0, np.float32)), exact=True)
    check(y[8:], np.float32([np.inf]), exact=True)


@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_nan_propagates(fn):
    x = np.full(16, np.nan, np.float32)
    check(T.activation(fn, x), x, exact=True, what=fn)


LAYERS = [
    ("leaky_relu_fp32", EXACT["leaky_relu"], {}),
    ("leaky_relu_fp32", lambda x: np.where(x >= 0, x, -1.5 * x), {"alpha": -1.5}),
    ("exp_fp32", EXACT["exp"], {}),
    ("sin_fp32", EXACT["sin"], {}),
    ("sigmoid_fp32", EXACT["sigmoid"], {}),
    ("tanh_fp32", EXACT["tanh"], {}),
    ("gelu_fp32", EXACT["gelu"], {}),
    ("silu_fp32", EXACT["silu"], {}),
]


@pytest.mark.parametrize("op,fn,args", LAYERS)
@pytest.mark.parametrize("hwc", [(1, 1, 3), (5, 3, 13), (4, 4, 16)])
def test_activation_layer(case, op, fn, args, hwc):
    x = case.uniform(-5, 5, hwc)
    y = T.run_layer(op, args, [x])
    assert y.shape == x.shape and y.dtype == np.float32
    case.check(y, fn(x.astype(np.float64)), rtol=2e-6, atol=4e-6, what=op)


@pytest.mark.parametrize("op,fn,args", LAYERS)
def test_activation_layer_in_a_model(case, make_model, op, fn, args):
    """Through a model file, on a tensor large enough to be split over threads."""
    x = case.uniform(-5, 5, (33, 40, 64))
    model = make_model(one_node(op, x.shape, **args))
    case.sweep(lambda threads: model.forward(x), fn(x.astype(np.float64)).ravel(),
               threads=ALL_THREADS, rtol=2e-6, atol=4e-6, what=op)


def test_gelu_layer_in_place_and_host_silu(case):
    x = case.uniform(-5, 5, (3, 3, 9))
    check(T.run_layer("gelu_fp32", {}, [x], in_place=True), T.run_layer("gelu_fp32", {}, [x]),
          exact=True)
    host = T.run_layer("silu_fp32", {}, [x], without_silu_op=True)
    case.check(host, EXACT["silu"](x.astype(np.float64)), rtol=2e-7, atol=1e-7, what="host silu")


def test_activation_layer_without_input_names_node():
    with pytest.raises(RuntimeError, match="ActivationFp32 'act1'"):
        T.run_layer("sigmoid_fp32", {}, [], name="act1")
