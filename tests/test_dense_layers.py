import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from harness import testing as t


def fp32_head(in_shape, c_in, c_out, relu=None, name="fc"):
    a = mt.Arch(model="head")
    a.add_input("x", in_shape)
    a.add(name, "gemm_fp32", ["x"], "logits", relu=relu, C_in=c_in, C_out=c_out)
    a.outputs = ["logits"]
    return a


def int8_head(c_in, c_out, relu=None, op="gemm_int8", name="q"):
    a = mt.Arch(model="qhead")
    a.add_input("x", [c_in], dtype="int8", scale=0.1, zp=0)
    a.add(name, op, ["x"], "y", relu=relu, C_in=c_in, C_out=c_out, in_zp=3)
    a.outputs = ["y"]
    return a


@pytest.mark.parametrize("relu", [None, True])
@pytest.mark.parametrize("with_bias", [True, False])
@pytest.mark.parametrize("in_shape", [[512], [8, 8, 8]])
def test_fp32_classifier_head(write_model, rng, relu, with_bias, in_shape):
    W = rng.standard_normal((10, 512)).astype(np.float32)
    b = rng.standard_normal(10).astype(np.float32)
    tensors = {"fc.weight": W, **({"fc.bias": b} if with_bias else {})}
    m = mi.InferenceModel(*write_model(fp32_head(in_shape, 512, 10, relu), tensors))
    x = rng.standard_normal(512).astype(np.float32)
    y = m.forward(x.reshape(in_shape))
    expected = t.gemm_fp32_ref(x[None], W, b if with_bias else None, relu=bool(relu))[0]
    np.testing.assert_array_equal(y, expected)
    ref64 = W.astype(np.float64) @ x + (b if with_bias else 0.0)
    np.testing.assert_allclose(y, np.maximum(ref64, 0) if relu else ref64, rtol=1e-4, atol=1e-4)
    if relu:
        assert (y >= 0).all() and not np.signbit(y).any()
    else:
        assert (y < 0).any()


def test_fp32_chain_with_large_head_on_two_threads(write_model, rng):
    a = mt.Arch(model="mlp")
    a.add_input("x", [2048])
    a.add("fc1", "gemm_fp32", ["x"], "h", relu=True, C_in=2048, C_out=1000)
    a.add("fc2", "gemm_fp32", ["h"], "y", C_in=1000, C_out=7)
    a.outputs = ["y"]
    W1 = rng.standard_normal((1000, 2048)).astype(np.float32)
    b1 = rng.standard_normal(1000).astype(np.float32)
    W2 = rng.standard_normal((7, 1000)).astype(np.float32)
    m = mi.InferenceModel(*write_model(a, {"fc1.weight": W1, "fc1.bias": b1, "fc2.weight": W2}))
    x = rng.standard_normal(2048).astype(np.float32)
    h = t.gemm_fp32_ref(x[None], W1, b1, relu=True)
    np.testing.assert_array_equal(m.forward(x), t.gemm_fp32_ref(h, W2, None)[0])


@pytest.mark.parametrize("op", ["gemm_int8", "gemm"])
@pytest.mark.parametrize("relu", [None, True])
def test_int8_head_exact(write_model, rng, op, relu):
    K, N = 300, 37
    W = rng.integers(-128, 128, (N, K)).astype(np.int8)
    req = rng.uniform(1e-4, 1e-2, N).astype(np.float32)
    eff = rng.integers(-10**5, 10**5, N).astype(np.int64)
    m = mi.InferenceModel(*write_model(int8_head(K, N, relu, op),
                                       {"q.weight": W, "q.req_scale": req, "q.eff_bias": eff}))
    x = rng.integers(-128, 128, K).astype(np.int8)
    expected = (W.astype(np.int64) @ x + eff).astype(np.float32) * req
    if relu:
        expected = np.where(expected > 0, expected, np.float32(0))
    y = m.forward(x)
    np.testing.assert_array_equal(y, expected)
    if relu:
        assert not np.signbit(y).any()


def test_int8_head_example(write_model):
    W = np.array([[1, 2, 3], [-1, -2, -3]], np.int8)  # dot products with (1, 2, 2): 11 and -11
    tensors = {"q.weight": W, "q.req_scale": np.array([0.5, 0.5], np.float32),
               "q.eff_bias": np.array([-3, -3], np.int64)}
    m = mi.InferenceModel(*write_model(int8_head(3, 2, relu=True), tensors))
    np.testing.assert_array_equal(m.forward(np.array([1, 2, 2], np.int8)), [4.0, 0.0])


FP32_OK = {"fc.weight": np.ones((4, 6), np.float32), "fc.bias": np.ones(4, np.float32)}
INT8_OK = {"q.weight": np.ones((4, 6), np.int8), "q.req_scale": np.ones(4, np.float32),
           "q.eff_bias": np.zeros(4, np.int64)}


@pytest.mark.parametrize("tensor,value", [
    ("fc.weight", None), ("fc.weight", np.ones(23, np.float32)), ("fc.bias", np.ones(3, np.float32)),
])
def test_fp32_short_or_missing_tensor_rejected(write_model, tensor, value):
    tensors = dict(FP32_OK)
    if value is None:
        del tensors[tensor]
    else:
        tensors[tensor] = value
    with pytest.raises(RuntimeError, match=rf"GemmFp32 'fc'.*'{tensor}'"):
        mi.InferenceModel(*write_model(fp32_head([6], 6, 4), tensors))


@pytest.mark.parametrize("tensor", ["q.weight", "q.req_scale", "q.eff_bias"])
@pytest.mark.parametrize("missing", [True, False])
def test_int8_short_or_missing_tensor_rejected(write_model, tensor, missing):
    tensors = dict(INT8_OK)
    if missing:
        del tensors[tensor]
    else:
        tensors[tensor] = tensors[tensor].ravel()[:-1]
    with pytest.raises(RuntimeError, match=rf"GemmInt8 'q'.*'{tensor}'"):
        mi.InferenceModel(*write_model(int8_head(6, 4), tensors))


@pytest.mark.parametrize("int8", [False, True])
def test_input_shorter_than_c_in_rejected(write_model, int8):
    if int8:
        arch = int8_head(6, 4)
        arch.inputs = [mt.input_spec("x", [5], dtype="int8")]
        files, x = write_model(arch, INT8_OK), np.ones(5, np.int8)
    else:
        files, x = write_model(fp32_head([5], 6, 4), FP32_OK), np.ones(5, np.float32)
    with pytest.raises(RuntimeError, match=r"'(q|fc)': input has 5 elements, needs C_in = 6"):
        mi.InferenceModel(*files).forward(x)
