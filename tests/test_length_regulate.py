"""Length regulation and the model's speed: frame counts with halves rounded away from zero
and at least one frame per token, rows repeated as NumPy's repeat does, set_speed reaching
every regulator of a graph, and malformed durations refused by name."""
import numpy as np
import pytest

import model_inference_tools as mt
from harness import check_rejects, forward, one_node, testing as T


def frames_of(d, speed):
    """max(round(d / speed), 1) with halves away from zero, the scale rounded to float32."""
    scale = np.float32(1) / np.float32(speed)
    v = (scale * np.asarray(d, np.float32)).astype(np.float64)
    return np.maximum(np.sign(v) * np.floor(np.abs(v) + 0.5), 1).astype(np.int64)


def regulator(make_model, C):
    return make_model(one_node("length_regulate_fp32", (0, C), (0, 1), name="lr"))


@pytest.mark.parametrize("speed,frames", [(1.0, [1, 3, 4]), (2.0, [1, 1, 2]),
                                          (0.5, [1, 5, 7])])
def test_duration_examples(make_model, speed, frames):
    C = 3
    x = np.arange(3 * C, dtype=np.float32).reshape(3, C)
    d = np.float32([[0.2], [2.5], [3.5]])
    model = regulator(make_model, C)
    model.set_speed(speed)
    got = forward(model, x, d)
    np.testing.assert_array_equal(got, np.repeat(x, frames, axis=0).ravel())


@pytest.mark.parametrize("speed", [0.5, 0.8, 1.0, 1.3, 2.0, 100.0])
@pytest.mark.parametrize("L,C", [(1, 1), (7, 5), (64, 128)])
def test_rows_repeat_by_rounded_duration(case, make_model, speed, L, C):
    x = case.normal((L, C))
    # Halves, negatives and zeros among ordinary durations.
    d = np.round(case.uniform(-2, 12, L) * 2) / 2
    d = d.astype(np.float32)[:, None]
    model = regulator(make_model, C)
    model.set_speed(speed)
    want = np.repeat(x, frames_of(d.ravel(), speed), axis=0)
    np.testing.assert_array_equal(forward(model, x, d), want.ravel())
    assert model.speed == np.float32(speed)


def test_set_speed_reaches_every_regulator(case, write_model):
    import model_inference as mi
    a = mt.Arch(model="two_regulators", outputs=["y1", "y2"])
    a.add_input("x", [0, 4])
    a.add_input("d", [0, 1])
    a.add("first", "length_regulate_fp32", ["x", "d"], "y1")
    a.add("scale", "scale_fp32", ["x"], "x2", scalar=2.0)
    a.add("second", "length_regulate_fp32", ["x2", "d"], "y2")
    model = mi.InferenceModel(*write_model(a))
    x, d = case.normal((6, 4)), np.float32([[1], [2], [3], [4], [5], [6]])
    base = model.forward({"x": x, "d": d})
    assert base["y1"].size == base["y2"].size == 21 * 4
    model.set_speed(2.0)
    fast = model.forward({"x": x, "d": d})
    n = frames_of(d.ravel(), 2.0)
    np.testing.assert_array_equal(fast["y1"], np.repeat(x, n, axis=0).ravel())
    np.testing.assert_array_equal(fast["y2"], np.repeat(2 * x, n, axis=0).ravel())
    with pytest.raises(RuntimeError, match="^speed must be a positive finite value$"):
        model.set_speed(float("nan"))
    np.testing.assert_array_equal(model.forward({"x": x, "d": d})["y1"], fast["y1"])


@pytest.mark.parametrize("bad,match", [
    (np.float32([[1], [2]]), r"durations 1x2x1 hold 2 values for the 3 tokens of input 4x3x1"),
    (np.float32([[1], [np.nan], [2]]), "duration 1 is nan, not a finite value"),
    (np.float32([[1], [2], [np.inf]]), "duration 2 is inf, not a finite value"),
    (np.float32([[3e9], [3e9], [1]]), "durations add up to more than the 2147483647 elements"),
    (np.float32([[6e8], [1], [1]]), "durations add up to more than the 2147483647 elements"),
])
def test_bad_durations_are_refused(case, make_model, bad, match):
    x = case.normal((3, 4))
    good = np.float32([[1], [2], [3]])
    check_rejects(regulator(make_model, 4), (x, bad), (x, good), node="lr", match=match)


def test_layer_checks_without_planning(case):
    """Forward alone (no shape planning before it) refuses the same durations."""
    x = case.normal((3, 4))
    good = np.float32([1, 2, 3])

    def layer(*inputs):
        return T.sequence_layer("length_regulate_fp32", {}, {}, [inputs[0], inputs[1][None]],
                                24, name="lr")

    check_rejects(layer, (x, good[:2]), (x, good), node="lr", match="hold 2 values")
    check_rejects(layer, (x, np.float32([1, 2, 9])), (x, good), node="lr",
                  match="do not fit the output buffer")
