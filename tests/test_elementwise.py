"""Additions and scaling: kernels against their references, layers against NumPy."""
import numpy as np
import pytest

from harness import check_rejects, forward, one_node, testing as T
from int8_reference import rescale, saturate
from op_table import CLASS_OF

SIZES = [0, 1, 7, 8, 9, 33, 1000]


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("relu", [False, True])
def test_add_fp32(n, relu):
    rng = np.random.default_rng(n)
    a, b = rng.standard_normal((2, n)).astype(np.float32)
    want = a + b
    if relu:
        want = np.where(want >= 0, want, 0.0).astype(np.float32)
    for ref in (False, True):
        np.testing.assert_array_equal(T.add_fp32(a, b, relu=relu, ref=ref), want)
    np.testing.assert_array_equal(T.add_fp32(a, b, relu=relu, in_place=True), want)


def test_add_fp32_relu_zeroes_negative_and_nan():
    a = np.array([-0.5, np.nan, 1.0] + [0.0] * 5, np.float32)
    b = np.array([0.25, 1.0, 1.0] + [0.0] * 5, np.float32)
    out = T.add_fp32(a, b, relu=True)
    assert out[0] == 0.0 and out[1] == 0.0 and out[2] == 2.0


def int8_add_reference(a, b, s1, z1, s2, z2, so, zo):
    f1, f2 = np.float32(s1) / np.float32(so), np.float32(s2) / np.float32(so)
    t1 = rescale(a.astype(np.int64) - z1, f1)
    t2 = rescale(b.astype(np.int64) - z2, f2)
    return saturate(zo + t1 + t2)


# Scale triples: equal, typical residual, one factor large enough for the 64-bit path,
# one so small that every term rounds to 0.
@pytest.mark.parametrize("scales", [(1.0, 1.0, 1.0), (0.05, 0.03, 0.07), (3e6, 0.5, 1.0),
                                    (1e-12, 0.02, 0.01)])
@pytest.mark.parametrize("zps", [(0, 0, 0), (-3, 17, -128), (127, -128, 5)])
@pytest.mark.parametrize("n", [1, 8, 29, 517])
def test_add_int8_exact(scales, zps, n):
    rng = np.random.default_rng(n)
    a, b = rng.integers(-128, 128, (2, n), dtype=np.int8)
    (s1, s2, so), (z1, z2, zo) = scales, zps
    want = int8_add_reference(a, b, s1, z1, s2, z2, so, zo)
    for ref in (False, True):
        got = T.add_int8(a, b, s1, z1, s2, z2, so, zo, ref=ref)
        np.testing.assert_array_equal(got, want, err_msg=f"ref={ref}")


def test_add_int8_saturates():
    a = np.array([100] * 8 + [-100] * 8, np.int8)
    np.testing.assert_array_equal(T.add_int8(a, a, 1, 0, 1, 0, 1, 0), [127] * 8 + [-128] * 8)


@pytest.mark.parametrize("n", SIZES)
def test_scale_fp32(n):
    x = np.random.default_rng(n).standard_normal(n).astype(np.float32)
    for ref in (False, True):
        np.testing.assert_array_equal(T.scale_fp32(x, -2.5, ref=ref), np.float32(-2.5) * x)


@pytest.mark.parametrize("hwc", [(1, 1, 1), (3, 5, 7), (4, 4, 64)])
def test_add_and_scale_layers(hwc):
    rng = np.random.default_rng(sum(hwc))
    a, b = rng.standard_normal((2,) + hwc).astype(np.float32)
    np.testing.assert_array_equal(T.run_layer("add_fp32", {}, [a, b], relu=True),
                                  np.maximum(a + b, 0))
    np.testing.assert_array_equal(T.run_layer("scale_fp32", {"scalar": 0.5}, [a]), a * 0.5)
    np.testing.assert_array_equal(T.run_layer("scale_fp32", {}, [a]), a)
    qa, qb = rng.integers(-128, 128, (2,) + hwc, dtype=np.int8)
    args = {"in1_scale": 0.1, "in1_zp": 3, "in2_scale": 0.2, "in2_zp": -4, "out_scale": 0.15,
            "out_zp": 1}
    for op in ("add_int8", "add"):
        got = T.run_layer(op, args, [qa, qb], relu=True)
        assert got.dtype == np.int8
        np.testing.assert_array_equal(got, int8_add_reference(qa, qb, 0.1, 3, 0.2, -4, 0.15, 1))


def test_second_input_may_be_larger():
    a = np.ones((2, 2, 3), np.float32)
    b = np.arange(24, dtype=np.float32).reshape(2, 2, 6)
    np.testing.assert_array_equal(T.run_layer("add_fp32", {}, [a, b]).ravel(), 1 + b.ravel()[:12])


@pytest.mark.parametrize("op,dtype", [("add_fp32", np.float32), ("add_int8", np.int8)])
def test_add_rejects_missing_or_short_operand(op, dtype):
    a = np.zeros((2, 2, 4), dtype)
    with pytest.raises(RuntimeError, match=f"{CLASS_OF[op]} 'res1'.*two inputs, got 1"):
        T.run_layer(op, {}, [a], name="res1")
    with pytest.raises(RuntimeError, match=f"{CLASS_OF[op]} 'res1'.*two inputs, got 1"):
        T.layer_output_shape(op, {}, [(4, 2, 2)], name="res1")
    with pytest.raises(RuntimeError, match=f"{CLASS_OF[op]} 'res1'.*smaller than the first"):
        T.run_layer(op, {}, [a, np.zeros((2, 2, 3), dtype)], name="res1")


def test_model_rejects_short_second_operand_and_stays_usable(make_model):
    model = make_model(one_node("add_fp32", (0, 4, 8), (0, 4, 8), name="res"))
    a, b = np.random.default_rng(4).standard_normal((2, 3, 4, 8)).astype(np.float32)
    check_rejects(model, (a, b[:2]), (a, b), node="res", match="smaller than the first",
                  want=(a + b).ravel())
    np.testing.assert_array_equal(forward(model, a[:1], b[:1]), (a[:1] + b[:1]).ravel())


@pytest.mark.parametrize("args,what", [
    ({"out_scale": 0.0}, "out_scale must be finite and positive"),
    ({"in1_scale": float("nan")}, "in1_scale must be finite and positive"),
    ({"in2_scale": -1.0}, "in2_scale must be finite and positive"),
    ({"in1_scale": 1e10, "out_scale": 1.0}, "ratio must be below 2\\^30"),
    ({"in1_zp": 128}, "in1_zp must be an int8 value"),
    ({"out_zp": -129}, "out_zp must be an int8 value"),
])
def test_add_int8_rejects_bad_quantisation(args, what):
    with pytest.raises(RuntimeError, match=f"AddInt8 'q'.*{what}"):
        T.layer_output_shape("add_int8", args, [(1, 1, 1)] * 2, name="q")


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 15, 16, 17, 1000])
@pytest.mark.parametrize("ref", [False, True])
def test_add_inplace_matches_numpy(rng, n, ref):
    dst = rng.standard_normal(n).astype(np.float32)
    src = rng.standard_normal(n).astype(np.float32)
    np.testing.assert_array_equal(T.add_inplace_fp32(dst, src, ref=ref), dst + src)


@pytest.mark.parametrize("rows, C", [(1, 1), (3, 7), (5, 8), (4, 9), (2, 17), (13, 64)])
@pytest.mark.parametrize("ref", [False, True])
def test_add_bias_rows_matches_numpy(rng, rows, C, ref):
    x = rng.standard_normal((rows, C)).astype(np.float32)
    bias = rng.standard_normal(C).astype(np.float32)
    np.testing.assert_array_equal(T.add_bias_rows_fp32(x, bias, ref=ref), x + bias)
