import json

import pytest

from harness import testing as t
from op_table import ALIASES, OPS


def load(tmp_path, doc, name="arch.json"):
    p = tmp_path / name
    p.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    return t.load_arch(str(p))


def test_op_table_names_and_aliases():
    names = t.op_names()
    assert names == [(name, kind) for kind, name, _ in OPS] + ALIASES
    assert [t.op_class_name(kind) for kind in range(50)] == [""] + [c for _, _, c in OPS] + [""]
    for alias, kind in names[48:]:
        assert t.op_kind(alias) == kind
        assert t.canonical_op_name(kind) == names[kind - 1][0]
    assert t.op_kind("Conv_int8") == 0 and t.op_kind("") == 0


@pytest.mark.parametrize(
    "spec, shape",
    [
        ({"shape": [1, 224, 224, 3]}, [224, 224, 3]),
        ({"shape": [1, 1, 1, 80]}, [80]),
        ({"shape": [1, 0, 1, 80]}, [0, 80]),
        ({"shape": [1, 1, 50, 80]}, [1, 50, 80]),
        ({"shape": [9, 2.9, -0.5, 3, 77]}, [2, 0, 3]),
        ({"h": 7, "w": 7, "c": 64}, [7, 7, 64]),
        ({"c": 10}, [10]),
        ({}, [1]),
    ],
)
def test_input_shapes(tmp_path, spec, shape):
    arch = load(tmp_path, {"inputs": [dict(name="in", **spec)]})
    assert arch["inputs"] == [dict(name="in", shape=shape, scale=1.0, zp=0, dtype="int8")]


def test_input_defaults_and_single_input(tmp_path):
    assert load(tmp_path, {})["inputs"] == [dict(name="x", shape=[], scale=1.0, zp=0, dtype="int8")]
    # The single "input" object has no name and reads only h, w, c.
    single = load(tmp_path, {"inputs": [], "input": {"name": "q", "shape": [1, 5, 5, 5], "h": 4,
                                                      "c": 2, "scale": 0.5, "zp": -3.7,
                                                      "dtype": "float32"}})
    assert single["inputs"] == [dict(name="x", shape=[4, 2], scale=0.5, zp=-3, dtype="float32")]
    # Non-array members give no elements.
    arch = load(tmp_path, {"inputs": {"name": "a"}, "outputs": "y", "nodes": 3})
    assert arch["inputs"][0]["name"] == "x" and arch["outputs"] == [] and arch["nodes"] == []


@pytest.mark.parametrize(
    "spec, message",
    [
        ({"name": "img", "shape": [1, 224, 3]}, "input 'img' \"shape\" must list four dims"),
        ({"name": "img", "shape": 5}, "input 'img' \"shape\" must list four dims"),
        ({"name": "img", "h": -2}, "input 'img' has a negative dimension"),
    ],
)
def test_bad_input_declarations(tmp_path, spec, message):
    with pytest.raises(RuntimeError, match="arch file .*arch.json: " + message):
        load(tmp_path, {"inputs": [spec]})


def test_nodes_inputs_outputs_and_relu(tmp_path):
    nodes = [
        {"name": "a", "op": "add_fp32", "inputs": ["x", 5, "x"], "outputs": ["y", "z"],
         "relu": True, "args": {}},
        {"name": "b", "op": "add_fp32", "in": "y", "in2": "x", "in3": "z", "out": "w", "relu": 2.7},
        {"name": "c", "op": "add_fp32", "in2": "y", "outputs": [], "args": {"relu": 1}},
        {"name": "d", "op": "add_fp32", "in": "w", "out": "v", "relu": 0.5},
        {"name": "e", "op": "add_fp32", "inputs": "w", "relu": True, "args": []},
    ]
    arch = load(tmp_path, {"nodes": nodes, "outputs": [{"name": "v"}, "junk", {"nam": 1}]})
    got = [(n["inputs"], n["outputs"], n["relu"]) for n in arch["nodes"]]
    assert got == [
        (["x", "", "x"], ["y", "z"], False),
        (["y", "x", "z"], ["w"], True),
        ([], [], True),
        (["w"], ["v"], False),
        ([], [], False),
    ]
    assert arch["outputs"] == ["v"]


@pytest.mark.parametrize(
    "nodes, outputs",
    [
        ([("a", ["x"], ["y"]), ("b", ["y"], ["z", "k"]), ("c", ["z"], ["k2"])], ["k2"]),
        ([("a", ["x"], ["y", "u"]), ("b", ["y"], ["x"])], ["u"]),
        ([("a", ["x"], ["y", "u"]), ("b", ["y"], ["y"])], ["u"]),
        ([("a", ["x"], ["y"]), ("b", ["y"], ["x"]), ("c", ["x"], ["y"])], ["y"]),
        ([("a", ["x"], [])], []),
    ],
)
def test_derived_outputs(tmp_path, nodes, outputs):
    doc = {"nodes": [{"name": n, "op": "add_fp32", "inputs": i, "outputs": o} for n, i, o in nodes]}
    assert load(tmp_path, doc)["outputs"] == outputs


def test_unknown_op_warns_and_creates_no_layer(tmp_path, capfd):
    arch = load(tmp_path, {"nodes": [{"name": "n1", "op": "Conv_FP32", "inputs": ["x"], "outputs": ["y"]}]})
    assert capfd.readouterr().err == "arch_loader: unknown op 'Conv_FP32' in node 'n1'\n"
    assert arch["nodes"][0]["op"] == 0 and arch["layers"] == []


@pytest.mark.parametrize(
    "node, key",
    [({"op": "add_fp32"}, "name"), ({"name": "n"}, "op")],
)
def test_node_without_required_key(tmp_path, node, key):
    with pytest.raises(RuntimeError, match=f"^JSON key not found: {key}$"):
        load(tmp_path, {"nodes": [node]})


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "^Cannot open JSON: "),
        ('{"nodes": [', "^JSON: unexpected char '"),
    ],
)
def test_file_errors_propagate(tmp_path, content, message):
    p = tmp_path / "a.json"
    if content is not None:
        p.write_text(content)
    with pytest.raises(RuntimeError, match=message):
        t.load_arch(str(p))
