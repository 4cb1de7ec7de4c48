import math

import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from harness import testing as t


def chain(n_nodes, outputs=()):
    a = mt.Arch(model="chain", outputs=list(outputs))
    a.add_input("x", [4, 8])
    prev = "x"
    for i in range(n_nodes):
        a.add(f"n{i}", "slice_channels_fp32", [prev], f"t{i}", ch_start=0, ch_end=8)
        prev = f"t{i}"
    return a


def test_chain_reuses_two_slots(write_model):
    paths = write_model(chain(3))
    m = mi.InferenceModel(*paths)
    plan = t.plan(t.Model(*paths))
    assert plan["tensor_count"] == 2
    assert plan["slot_of"] == {"x": 0, "t0": 1, "t1": 0, "t2": 1}
    x = np.arange(32, dtype=np.float32)
    np.testing.assert_array_equal(m.forward(x), x)


def test_declared_output_consumed_later_keeps_its_slot(write_model):
    paths = write_model(chain(3, outputs=["t0", "t2"]))
    m = mi.InferenceModel(*paths)
    plan = t.plan(t.Model(*paths))
    assert plan["slot_of"]["t0"] not in (plan["slot_of"]["t1"], plan["slot_of"]["t2"])
    x = np.arange(32, dtype=np.float32).reshape(4, 8)
    out = m.forward({"x": x})
    assert set(out) == {"t0", "t2"}
    np.testing.assert_array_equal(out["t0"], x.ravel())


def test_duplicate_inputs_are_released_once(write_model):
    a = mt.Arch(model="dup")
    a.add_input("x", [2, 4])
    a.add("twice", "concat1d_fp32", ["x", "x"], "y", C2=4)
    a.add("left", "slice_channels_fp32", ["y"], "p", ch_start=0, ch_end=2)
    a.add("right", "slice_channels_fp32", ["y"], "r", ch_start=5, ch_end=7)
    a.add("join", "concat1d_fp32", ["p", "r"], "z", C2=2)
    paths = write_model(a)
    m = mi.InferenceModel(*paths)
    # A second release of x would hand slot 0 to both p and r while both are alive.
    assert t.plan(t.Model(*paths))["slot_of"] == {"x": 0, "y": 1, "p": 0, "r": 2, "z": 1}
    x = np.arange(8, dtype=np.float32).reshape(2, 4)
    y = np.concatenate([x, x], 1)
    np.testing.assert_array_equal(m.forward(x), np.concatenate([y[:, 0:2], y[:, 5:7]], 1).ravel())


def test_a_name_produced_twice_reads_the_latest_producer(write_model):
    # The second b takes x's freed slot: resolved through the final name map, "first"
    # would write its b into the slot it reads x from, and "second" would read that.
    a = mt.Arch(model="rename", outputs=["b"])
    a.add_input("x", [2, 6])
    a.add("first", "slice_channels_fp32", ["x"], "b", ch_start=0, ch_end=2)
    a.add("second", "slice_channels_fp32", ["x"], "a", ch_start=2, ch_end=6)
    a.add("third", "slice_channels_fp32", ["a"], "b", ch_start=1, ch_end=3)
    m = mi.InferenceModel(*write_model(a))
    x = np.arange(12, dtype=np.float32).reshape(2, 6)
    np.testing.assert_array_equal(m.forward({"x": x})["b"], x[:, 3:5].ravel())


@pytest.mark.parametrize(
    "dims, runtime, shape",
    [([224, 224, 3], None, (3, 224, 224)), ([80], None, (80, 1, 1)), ([], None, (1, 1, 1)),
     ([0, 80], [10, 80], (80, 10, 1)), ([0, 80], None, (80, 1, 1)), ([0, 0, 0], [5], (5, 1, 1)),
     ([2, 0, 3], [2, 7, 3], (3, 2, 7)), ([0], None, (0, 1, 1))],
)
def test_list_to_shape(dims, runtime, shape):
    assert t.list_to_shape(dims, runtime) == shape


@pytest.mark.parametrize(
    "shape, dims",
    [((80, 50, 1), [50, 80]), ((1000, 1, 1), [1000]), ((64, 7, 7), [7, 7, 64]), ((3, 1, 2), [1, 2, 3])],
)
def test_shape_to_list(shape, dims):
    assert t.shape_to_list(*shape) == dims


def variable_model(write_model):
    a = mt.Arch(model="var")
    a.add_input("x", [0, 8])
    a.add("cut", "slice_channels_fp32", ["x"], "y", ch_start=2, ch_end=6)
    return write_model(a)


def test_variable_input_grows_and_reuses_buffers(write_model, rng):
    m = t.Model(*variable_model(write_model))
    start = t.plan(m)["capacity"]
    for rows in (10, 100, 10):
        x = rng.standard_normal((rows, 8), dtype=np.float32)
        np.testing.assert_array_equal(t.run_unlocked(m, x, 1, [rows, 8]), x[:, 2:6].ravel())
    grown = t.plan(m)["capacity"]
    assert grown[0] >= 100 * 8 * 4 and grown[1] >= 100 * 4 * 4 and grown[0] > start[0]
    t.run_unlocked(m, rng.standard_normal((10, 8), dtype=np.float32), 1, [10, 8])
    assert t.plan(m)["capacity"] == grown


@pytest.mark.parametrize(
    "declared, array, message",
    [
        ([4, 8], np.zeros(31, np.float32), r"input 'x' expects 32 elements \(shape \[4,8\]\), got 31"),
        ([0, 8], np.zeros(12, np.float32), r"input 'x' expects a positive multiple of 8 elements .*got 12"),
        ([0, 8], np.zeros((0, 8), np.float32), r"positive multiple of 8 elements .*got 0"),
        ([5, 0], np.zeros(10, np.float32), r"input 'x' has a variable last dim \(shape \[5,0\]\)"),
        ([4, 8], np.zeros((), np.float32), r"^Input array must have at least 1 dimension\.$"),
        ([4, 8], np.zeros(32, np.uint8),
         r"^Unsupported array dtype 'uint8'\. Use float32 for FP32 models or int8 for INT8 models\.$"),
    ],
)
def test_single_input_rejections_leave_model_usable(write_model, declared, array, message):
    a = mt.Arch(model="m")
    a.add_input("x", declared)
    a.add("cut", "slice_channels_fp32", ["x"], "y", ch_start=0, ch_end=1)
    m = mi.InferenceModel(*write_model(a))
    with pytest.raises(RuntimeError, match=message):
        m.forward(array)
    rows = declared[0] or 3
    cols = declared[1] or 1
    x = np.arange(rows * cols, dtype=np.float32).reshape(rows, cols)
    np.testing.assert_array_equal(m.forward(x) if declared[1] else x[:, :1].ravel(), x[:, :1].ravel())


def test_multi_input_count_checked(write_model):
    a = mt.Arch(model="m")
    a.add_input("x", [2, 4])
    a.add_input("b", [0, 3])
    a.add("cat", "concat1d_fp32", ["x", "b"], "y", C2=3)
    m = mi.InferenceModel(*write_model(a))
    with pytest.raises(RuntimeError, match=r"input 'b' expects a positive multiple of 3 elements .*got 4"):
        m.forward({"x": np.zeros(8), "b": np.zeros(4)})
    with pytest.raises(RuntimeError, match=r"input 'x' expects 8 elements"):
        m.forward({"x": np.zeros(9), "b": np.zeros(3)})
    x = np.arange(8, dtype=np.float64).reshape(2, 4)
    out = m.forward({"x": x, "b": [7.0, 8.0, 9.0], "ignored": np.zeros(1000)})
    expect = np.concatenate([x, np.tile([7.0, 8.0, 9.0], (2, 1))], 1).ravel()
    np.testing.assert_array_equal(out["y"], expect.astype(np.float32))
    assert out["y"].dtype == np.float32


def test_int8_route_and_int8_output_values(write_model):
    doc = {"model": "pass", "inputs": [{"name": "x", "shape": [1, 1, 1, 4], "dtype": "int8"}],
           "outputs": [{"name": "x"}], "nodes": []}
    m = mi.InferenceModel(*write_model(doc))
    np.testing.assert_array_equal(m.forward(np.array([True, False, True, True])), [1, 0, 1, 1])
    out = m.forward(np.array([-128, -1, 5, 127], np.int64))
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, [-128, -1, 5, 127])
    assert m.forward({}).keys() == {"x"}  # nothing bound: the slot keeps what it held
    # The dict form gives an int8 input its values, not the bytes of float32 copies.
    np.testing.assert_array_equal(m.forward({"x": np.array([3, -7, 0, 9])})["x"], [3, -7, 0, 9])
    np.testing.assert_array_equal(m.forward({"x": np.array([2.0, -1.0, 4.0, 0.0])})["x"],
                                  [2, -1, 4, 0])


def test_graph_errors(write_model, capfd):
    unknown = {"nodes": [{"name": "mystery", "op": "warp_fp32", "inputs": ["x"], "outputs": ["y"]}],
               "inputs": [{"name": "x", "shape": [1, 1, 1, 4], "dtype": "float32"}]}
    m = mi.InferenceModel(*write_model(unknown))
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^No layer for: mystery$"):
            m.forward(np.zeros(4, np.float32))

    nine = mt.Arch(model="nine")
    nine.add_input("x", [4])
    nine.add("wide", "concat1d_fp32", ["x"] * 9, "y")
    with pytest.raises(RuntimeError, match=r"^node 'wide' has 9 inputs \(max 8\)$"):
        mi.InferenceModel(*write_model(nine)).forward(np.zeros(4, np.float32))

    dangling = mt.Arch(model="dangling")
    dangling.add_input("x", [4])
    dangling.add("s", "slice_channels_fp32", ["nowhere"], "y", ch_start=0, ch_end=1)
    with pytest.raises(RuntimeError, match=r"^invalid unordered_map<K, T> key$"):
        mi.InferenceModel(*write_model(dangling)).forward(np.zeros(4, np.float32))


def test_zero_sized_output_names_the_node(write_model):
    a = mt.Arch(model="empty")
    a.add_input("x", [4, 8])
    a.add("nothing", "slice_channels_fp32", ["x"], "y", ch_start=3, ch_end=3)
    m = mi.InferenceModel(*write_model(a))
    with pytest.raises(RuntimeError, match="node 'nothing' produced an output with a zero"):
        m.forward(np.zeros(32, np.float32))


def test_profiling_tables(write_model):
    m = mi.InferenceModel(*write_model(chain(3)))
    assert m.profile_enabled and m.op_profile() == {} and m.layer_profile() == {}
    m.forward(np.zeros(32, np.float32))
    layers = m.layer_profile()
    assert set(layers) == {"n0", "n1", "n2"} and set(m.op_profile()) == {"slice_channels_fp32"}
    assert math.isclose(m.op_profile()["slice_channels_fp32"], sum(layers.values()), rel_tol=1e-9)
    m.set_profile_enabled(False)
    before = (m.op_profile(), m.layer_profile())
    m.forward(np.zeros(32, np.float32))
    assert (m.op_profile(), m.layer_profile()) == before and not m.profile_enabled
    m.reset_profile()
    assert m.op_profile() == {} and m.layer_profile() == {} and not m.profile_enabled


@pytest.mark.parametrize("bad", [0.0, -1.0, float("nan"), float("inf"), float("-inf")])
def test_set_speed_validation(write_model, bad):
    m = mi.InferenceModel(*write_model(chain(1)))
    m.set_speed(2.0)
    with pytest.raises(RuntimeError, match="^speed must be a positive finite value$"):
        m.set_speed(bad)
    assert m.speed == 2.0


@pytest.mark.parametrize(
    "name, classes", [("MyResNet50", 1000), ("bert-tiny", 0), ("ViT-B16", 1000), ("MOBILENETV2", 1000), ("", 0)]
)
def test_num_classes(write_model, name, classes):
    a = chain(1)
    a.model = name
    assert mi.InferenceModel(*write_model(a)).num_classes == classes


def test_metadata_and_reprs(write_model):
    a = mt.Arch(model="meta")
    a.add_input("frames", [0, 80])
    a.add_input("spk", [16], dtype="int8", scale=0.5, zp=3)
    a.add("cut", "slice_channels_fp32", ["frames"], "y", ch_start=0, ch_end=2)
    m = mi.InferenceModel(*write_model(a))
    assert repr(m) == "<InferenceModel name='meta' input=[0,80]>"
    assert [repr(s) for s in m.inputs] == ["<InputSpec name='frames' shape=[0,80] dtype=float32>",
                                           "<InputSpec name='spk' shape=[16] dtype=int8>"]
    spk = m.inputs[1]
    assert (spk.name, spk.shape, spk.scale, spk.zp, spk.dtype) == ("spk", [16], 0.5, 3, "int8")
    assert (m.model_name, m.input_count, m.output_names) == ("meta", 2, ["y"])
    assert (m.input_h, m.input_w, m.input_c, m.is_fp32, m.speed) == (0, 80, 1, True, 1.0)
    np.testing.assert_array_equal(m.forward(np.arange(800, dtype=np.float32)),
                                  np.arange(800, dtype=np.float32).reshape(10, 80)[:, :2].ravel())


def test_constructor_errors(tmp_path, write_model):
    arch, weights = write_model(chain(1))
    with pytest.raises(RuntimeError, match="^Cannot open JSON: "):
        mi.InferenceModel(str(tmp_path / "none.json"), weights)
    with pytest.raises(RuntimeError, match="^Cannot open weights: "):
        mi.InferenceModel(arch, str(tmp_path / "none.bin"))
    bad = chain(1)
    bad.add("neg", "slice_channels_fp32", ["t0"], "z", ch_start=5, ch_end=2)
    with pytest.raises(RuntimeError, match=r"SliceChannelsFp32 'neg': channel range \[5, 2\)"):
        mi.InferenceModel(*write_model(bad))


def test_backend_selection():
    assert mi.active_backend() == "cpu"
    assert mi.set_backend("metal") is False and mi.active_backend() == "cpu"
    assert mi.set_backend("cpu") is True


def test_names_that_are_not_utf8_reach_python_escaped(tmp_path):
    arch = tmp_path / "a.json"
    arch.write_bytes(b'{"model": "m\xff", "inputs": [{"name": "x\xfe", "shape": [1, 1, 1, 4], '
                     b'"dtype": "float32"}], "outputs": [{"name": "y\xc3"}], "nodes": [{"name": '
                     b'"s", "op": "slice_channels_fp32", "inputs": ["x\xfe"], "outputs": ["y\xc3"],'
                     b' "args": {"ch_start": 1, "ch_end": 3}}]}')
    weights = tmp_path / "w.bin"
    mt.write_weights(weights, {})
    m = mi.InferenceModel(str(arch), str(weights))
    assert m.model_name == "m\\xff"
    assert m.output_names == ["y\\xc3"]
    assert m.inputs[0].name == "x\\xfe"
    assert "x\\xfe" in repr(m.inputs[0]) and "m\\xff" in repr(m)
    np.testing.assert_array_equal(m.forward(np.arange(4, dtype=np.float32)), [1, 2])
    assert set(m.layer_profile()) == {"s"}


def test_image_with_variable_height_and_width_keeps_its_shape(write_model, rng):
    a = mt.Arch(model="pool")
    a.add_input("x", [0, 0, 2], dtype="float32")
    a.add("p", "maxpool_fp32", ["x"], "y", kH=2, kW=2, stride_h=2, stride_w=2)
    m = mi.InferenceModel(*write_model(a))
    x = rng.standard_normal((4, 6, 2)).astype(np.float32)
    want = x.reshape(2, 2, 3, 2, 2).max(axis=(1, 3))
    np.testing.assert_array_equal(m.forward(x), want.ravel())
    np.testing.assert_array_equal(m.forward({"x": x})["y"], want.ravel())
