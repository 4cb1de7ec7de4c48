"""Activation kernels and the ActivationFp32 layer against float64 NumPy references."""
import numpy as np
import pytest

import model_inference as mi
import model_inference_testing

T = model_inference_testing
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


@pytest.mark.parametrize("fn", sorted(ACCURACY))
@pytest.mark.parametrize("n", [0, 1, 7, 8, 13, 64 * 1024 + 5])
def test_activation_matches_exact_function(fn, n):
    (lo, hi), rtol, atol = ACCURACY[fn]
    x = np.random.default_rng(n).uniform(lo, hi, n).astype(np.float32)
    want = EXACT[fn](x.astype(np.float64))
    for ref in (False, True):
        got = T.activation(fn, x, ref=ref)
        np.testing.assert_allclose(got, want, rtol=rtol, atol=atol, err_msg=f"{fn} ref={ref}")


@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_vector_kernel_tracks_scalar_reference(fn):
    # The same polynomial, so exact where only fused multiply-adds differ. Where the vector
    # code refines a reciprocal estimate it may end one ulp below 1, which GELU scales by x.
    x = np.random.default_rng(3).uniform(-12, 12, 1003).astype(np.float32)
    x[:8] = [0.0, -0.0, 1e-30, -1e-30, 88.5, -88.5, 200.0, -200.0]
    got, ref = T.activation(fn, x), T.activation(fn, x, ref=True)
    if fn in ("exp", "sin", "leaky_relu"):
        np.testing.assert_array_equal(got, ref)
    else:
        bound = 3e-7 * np.abs(ref) + 2.5e-7 + 1.2e-7 * np.abs(x)
        assert np.all(np.abs(got - ref) <= bound), np.max(np.abs(got - ref) - bound)


@pytest.mark.parametrize("fn", sorted(ACCURACY))
def test_in_place(fn):
    x = np.random.default_rng(5).uniform(-4, 4, 37).astype(np.float32)
    np.testing.assert_array_equal(T.activation(fn, x, in_place=True), T.activation(fn, x))


def test_exp_clamps_in_the_body_but_not_in_the_tail():
    x = np.full(9, 100.0, np.float32)
    y = T.activation("exp", x)
    assert np.all(y[:8] == T.activation("exp", np.full(8, 88.0, np.float32)))
    assert np.isinf(y[8])


def test_nan_propagates():
    x = np.full(16, np.nan, np.float32)
    for fn in ACCURACY:
        assert np.all(np.isnan(T.activation(fn, x))), fn


@pytest.mark.parametrize("op,fn,args", [
    ("leaky_relu_fp32", EXACT["leaky_relu"], {}),
    ("leaky_relu_fp32", lambda x: np.where(x >= 0, x, -1.5 * x), {"alpha": -1.5}),
    ("exp_fp32", EXACT["exp"], {}),
    ("sin_fp32", EXACT["sin"], {}),
    ("sigmoid_fp32", EXACT["sigmoid"], {}),
    ("tanh_fp32", EXACT["tanh"], {}),
    ("gelu_fp32", EXACT["gelu"], {}),
    ("silu_fp32", EXACT["silu"], {}),
])
@pytest.mark.parametrize("hwc", [(1, 1, 3), (5, 3, 13), (4, 4, 16)])
def test_activation_layer(op, fn, args, hwc):
    x = np.random.default_rng(7).uniform(-5, 5, hwc).astype(np.float32)
    y = T.run_layer(op, args, [x])
    assert y.shape == x.shape and y.dtype == np.float32
    np.testing.assert_allclose(y, fn(x.astype(np.float64)), rtol=2e-6, atol=4e-6)


def test_gelu_layer_in_place_and_host_silu():
    x = np.random.default_rng(8).uniform(-5, 5, (3, 3, 9)).astype(np.float32)
    np.testing.assert_array_equal(T.run_layer("gelu_fp32", {}, [x], in_place=True),
                                  T.run_layer("gelu_fp32", {}, [x]))
    host = T.run_layer("silu_fp32", {}, [x], without_silu_op=True)
    np.testing.assert_allclose(host, EXACT["silu"](x.astype(np.float64)), rtol=2e-7, atol=1e-7)


def test_activation_layer_without_input_names_node():
    with pytest.raises(RuntimeError, match="ActivationFp32 'act1'"):
        T.run_layer("sigmoid_fp32", {}, [], name="act1")
