"""Sequence shaping: channel sums, reflection padding, nearest upsampling, concatenation,
slicing and scaling of time-major sequences against NumPy, and bad arguments and inputs
refused by name."""
import numpy as np
import pytest

from harness import ALL_THREADS, around, check_rejects, forward, one_node, testing as T


@pytest.mark.parametrize("C", around(8, 32) + [0, 1, 3, 64, 100, 513])
def test_sum_channels_kernel(case, C):
    x = case.normal((300, C))

    def run(threads, impl):
        return T.sum_channels_fp32(x, impl=impl)

    want = run(1, "ref")
    case.sweep(run, want, threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    case.check(want, x.astype(np.float64).sum(1), atol=1e-6 * max(C, 1) ** 0.5 * 4, rtol=0)


def test_sum_channels_layer(case, make_model):
    x = case.normal((5000, 80))
    model = make_model(one_node("sum_channels_fp32", (0, 80), name="sum"))
    want = T.sum_channels_fp32(x, impl="ref")
    case.sweep(lambda threads: forward(model, x), want, threads=ALL_THREADS, exact=True)


@pytest.mark.parametrize("s", [1, 2, 3, 300])
@pytest.mark.parametrize("C", [1, 5, 128])
def test_upsample_nearest(case, make_model, s, C):
    x = case.normal((37, C))
    want = np.repeat(x, s, axis=0)
    case.sweep(lambda threads: T.upsample_nearest1d_fp32(x, s), want, threads=ALL_THREADS,
               exact=True)
    model = make_model(one_node("upsample_nearest1d_fp32", (0, C), name="up", scale_factor=s))
    np.testing.assert_array_equal(forward(model, x), want.ravel())


def test_upsample_default_factor_is_two(make_model):
    x = np.arange(6, dtype=np.float32).reshape(3, 2)
    model = make_model(one_node("upsample_nearest1d_fp32", (3, 2), name="up"))
    np.testing.assert_array_equal(forward(model, x), np.repeat(x, 2, axis=0).ravel())


@pytest.mark.parametrize("s", [0, -2])
def test_upsample_factor_below_one_is_refused(make_model, s):
    with pytest.raises(RuntimeError, match=f"UpsampleNearest1dFp32 'up': scale_factor must be "
                                           f"at least 1, got {s}"):
        make_model(one_node("upsample_nearest1d_fp32", (0, 4), name="up", scale_factor=s))


@pytest.mark.parametrize("steps", [2, 3, 1000])
def test_reflection_pad(case, make_model, steps):
    x = case.normal((steps, 7))
    model = make_model(one_node("reflection_pad1d_fp32", (0, 7), name="pad"))
    want = np.concatenate([x[1:2], x])
    np.testing.assert_array_equal(forward(model, x), want.ravel())


def test_reflection_pad_needs_two_steps(case, make_model):
    model = make_model(one_node("reflection_pad1d_fp32", (0, 7), name="pad"))
    good = case.normal((4, 7))
    check_rejects(model, good[:1], good, node="pad", match="needs at least 2 steps to reflect, "
                                                          "got 1")


@pytest.mark.parametrize("rows_b", [1, 10])
def test_concat(case, make_model, rows_b):
    a, b = case.normal((10, 4)), case.normal((rows_b, 3))
    model = make_model(one_node("concat1d_fp32", (10, 4), (rows_b, 3), name="cat", C2=3))
    want = np.concatenate([a, np.broadcast_to(b, (10, 3))], 1)
    np.testing.assert_array_equal(forward(model, a, b), want.ravel())


def test_concat_of_one_input_appends_zeros(case, make_model):
    a = case.normal((6, 4))
    model = make_model(one_node("concat1d_fp32", (6, 4), name="cat", C2=2))
    np.testing.assert_array_equal(forward(model, a), np.pad(a, ((0, 0), (0, 2))).ravel())


def test_concat_rejects_mismatched_second_input(case, make_model):
    a = case.normal((10, 4))
    with pytest.raises(RuntimeError, match="Concat1dFp32 'cat': second input has 2 channels, "
                                           "C2 is 3"):
        forward(make_model(one_node("concat1d_fp32", (10, 4), (10, 2), name="cat", C2=3)),
                a, case.normal((10, 2)))
    model = make_model(one_node("concat1d_fp32", (0, 4), (0, 3), name="cat", C2=3))
    b = case.normal((10, 3))
    check_rejects(model, (a, b[:5]), (a, b), node="cat",
                  match="second input has 5 rows, the first has 10")


def test_concat_rejects_an_empty_second_input(case):
    a, b = case.normal((10, 4)), case.normal((1, 3))

    def layer(*inputs):
        return T.sequence_layer("concat1d_fp32", {"C2": 3}, {}, list(inputs), 70, name="cat")

    check_rejects(layer, (a, np.zeros((0, 3), np.float32)), (a, b), node="cat",
                  match="second input 3x0x1 is empty")


@pytest.mark.parametrize("start,end", [(0, 9), (3, 4), (2, 9)])
def test_slice(case, make_model, start, end):
    x = case.normal((12, 9))
    model = make_model(one_node("slice_channels_fp32", (0, 9), name="cut", ch_start=start,
                                ch_end=end))
    np.testing.assert_array_equal(forward(model, x), x[:, start:end].ravel())


def test_empty_slice_gives_no_channels():
    x = np.ones((4, 9), np.float32)
    got = T.sequence_layer("slice_channels_fp32", {"ch_start": 5, "ch_end": 5}, {}, [x], 0)
    assert got.size == 0


def test_slice_outside_the_channels_is_refused(make_model):
    with pytest.raises(RuntimeError, match=r"SliceChannelsFp32 'cut': channel range \[3, 10\) "
                                           r"exceeds the input's 9 channels"):
        make_model(one_node("slice_channels_fp32", (0, 9), name="cut", ch_start=3, ch_end=10))
    x = np.ones((4, 9), np.float32)
    check_rejects(lambda v: T.sequence_layer("slice_channels_fp32", {"ch_start": 3, "ch_end": 9},
                                             {}, [v], 24, name="cut"),
                  np.ones((4, 8), np.float32), x, node="cut", match="exceeds the input's 8")


def test_scale(case, make_model):
    x = case.normal((33, 5))
    model = make_model(one_node("scale_fp32", (0, 5), name="sc", scalar=-0.75))
    np.testing.assert_array_equal(forward(model, x), (x * np.float32(-0.75)).ravel())
