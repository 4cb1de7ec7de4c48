"""Where an int8 model loses accuracy, layer by layer.

Quantises one of the comparison models (benchmarks/models.py) with our quantiser, runs it in
the engine layer by layer (each conv node as a model of its own, pooling and additions
through the integer reference, which they match exactly), and for every layer compares, on the
same int8 input codes that the engine's previous layer produced:

- engine vs exact: the engine's output codes against an exact integer model of the layer's
  documented arithmetic (direct convolution, the path's rounding rule); only paths that
  approximate (int8 Winograd) should differ;
- engine / exact vs float layer: the dequantised output against the float layer applied to
  the dequantised input, in output steps (RMS and mean; the mean shows systematic bias);
- accumulated: the dequantised output against the float model's own tensor (SQNR, dB).

    PYTHONPATH=build/dev:. python benchmarks/int8_layers.py --model resnet50 [--images 4]
        [--quantize '{"weight_bits": 7}']
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

KINDS = {"resnet50": "ResNet50", "mobilenetv2": "MobileNetV2"}


def conv_path(a: dict) -> str:
    """The path the engine takes for a conv_int8 node on the CPU."""
    k3 = a["kH"] == 3 and a["kW"] == 3
    if k3 and a["stride_h"] == a["stride_w"] == 1 and a["pad_h"] == a["pad_w"] == 1 and \
            a.get("groups", 1) == 1 and a["C_out"] <= 2048 and a.get("winograd", 1):
        return "winograd"
    if a.get("groups", 1) > 1 and a["groups"] == a["C_in"] == a["C_out"] and k3 and \
            a["pad_h"] == a["pad_w"] == 1 and a["stride_h"] == a["stride_w"] in (1, 2):
        return "depthwise"
    return "general"


def requant(acc: np.ndarray, req: np.ndarray, out_zp: int, single: bool) -> np.ndarray:
    """The engine's requantisation of int64 accumulators (last axis: channels): one rounding
    on the depthwise loop, two steps elsewhere."""
    from int8_reference import one_step, requantize, two_step

    return requantize(acc, 0, req, out_zp, one_step if single else two_step).astype(np.int64)


def single_layer(tmp: str, node: dict, shape: tuple, tensors: dict):
    """The engine running one conv node of the model on its own (the Python binding returns
    one output per run, so each layer gets a model of its own)."""
    import model_inference as mi
    from model_inference_tools.arch import Arch
    from model_inference_tools.engine_io import write_model

    a = node["args"]
    arch = Arch(model="layer")
    arch.add_input("x", list(shape), dtype="int8", scale=1.0, zp=a["in_zp"])
    arch.add(node["name"], "conv_int8", ["x"], "y", **a)
    arch.outputs = ["y"]
    stem = os.path.join(tmp, "layer")
    write_model(stem + ".json", stem + ".bin", arch.to_json(),
                {k: v for k, v in tensors.items() if k.rsplit(".", 1)[0] == node["name"]})
    return mi.InferenceModel(stem + ".json", stem + ".bin")


def ref_node(n: dict, ins: list) -> np.ndarray:
    """Pooling and additions through the integer reference (they are exact in the engine)."""
    import engine_reference as ref
    from int8_reference import rescale

    a = n.get("args", {})
    if n["op"] == "maxpool_int8":
        return ref.maxpool(ins[0], a)
    if n["op"] == "add_int8":
        f1 = np.float32(a["in1_scale"]) / np.float32(a["out_scale"])
        f2 = np.float32(a["in2_scale"]) / np.float32(a["out_scale"])
        y = (a["out_zp"] + rescale(ins[0].astype(np.int64) - a["in1_zp"], f1)
             + rescale(ins[1].astype(np.int64) - a["in2_zp"], f2))
        return np.clip(y, -128, 127)
    if n["op"] == "avgpool_int8":
        h, w, _ = ins[0].shape
        acc = (ins[0].astype(np.int64) - a["in_zp"]).sum(axis=(0, 1), keepdims=True)
        f = np.float32(a["in_scale"]) / (np.float32(h * w) * np.float32(a["out_scale"]))
        return np.clip(rescale(acc, f) + a["out_zp"], -128, 127)
    raise ValueError(n["op"])


def analyse(model: str, n_images: int, quant_args: dict, n_calib: int = 32):
    import torch
    from torch import fx

    import engine_reference as ref
    import models
    from model_inference_tools.engine_io import quantize_input, to_engine_layout
    from model_inference_tools.graph import lower
    from model_inference_tools.quantize import quantize

    torch.set_num_threads(max(1, os.cpu_count() or 1))
    module = models.build(KINDS[model])
    calib = torch.from_numpy(models.images(n_calib, 11))
    test = torch.from_numpy(models.images(n_images, 7))
    tmp = tempfile.mkdtemp()
    arch, wpath = os.path.join(tmp, "m.json"), os.path.join(tmp, "m.bin")
    doc, tensors = quantize(module, calib.split(8), arch, wpath, **quant_args)
    graph = lower(module, test[:1])
    ops = {op.name: op for op in graph.ops}
    spec = doc["inputs"][0]
    scales = {spec["name"]: (spec["scale"], spec["zp"])}
    for n in doc["nodes"]:
        a = n.get("args", {})
        if n["op"] in ("conv_int8",):
            req = tensors[n["name"] + ".req_scale"]
            # output scale from req = s_in * s_w / s_out
            w = ops[n["name"]].weight.reshape(len(req), -1)
            qw = tensors[n["name"] + ".weight"].reshape(len(req), -1)
            s_w = np.abs(w).max(1).astype(np.float64) / np.abs(qw).max(1)
            s_in = scales[n["inputs"][0]][0]
            scales[n["outputs"][0]] = (float(np.median(s_in * s_w / req)), a["out_zp"])
        elif n["op"] in ("add_int8", "avgpool_int8"):
            scales[n["outputs"][0]] = (a["out_scale"], a["out_zp"])
        elif n["op"] == "maxpool_int8":
            scales[n["outputs"][0]] = scales[n["inputs"][0]]

    # float activations of the module at every engine tensor
    floats = {}

    class Rec(fx.Interpreter):
        def run_node(self, node):
            out = super().run_node(node)
            floats[node.name] = out
            return out

    stats, engines = {}, {}
    for i in range(n_images):
        floats.clear()
        with torch.no_grad():
            Rec(graph.fx_graph).run(test[i:i + 1])
        x = to_engine_layout(test[i:i + 1])
        codes = {spec["name"]: quantize_input(x, spec["scale"], spec["zp"]).astype(np.int64)}
        for n in doc["nodes"]:
            name, out = n["name"], n["outputs"][0]
            if n["op"] == "gemm_int8":
                continue
            ins = [codes[t].astype(np.int8) for t in n["inputs"]]
            if n["op"] == "conv_int8":
                if name not in engines:
                    engines[name] = single_layer(tmp, n, ins[0].shape, tensors)
                lay = graph.layouts[out]
                c, h, w = lay.dims
                codes[out] = engines[name].forward(ins[0]).reshape(h, w, c).astype(np.int64)
            else:
                codes[out] = ref_node(n, ins).astype(np.int64)
            s_out, z_out = scales[out]
            lay = graph.layouts[out]
            model_t = floats[out][0].permute(1, 2, 0).double().numpy() if lay.kind == "image" else \
                floats[out].reshape(codes[out].shape).double().numpy()
            eng = (codes[out] - z_out) * s_out
            st = stats.setdefault(name, dict(op=n["op"], sums=np.zeros(7)))
            st["sums"][5:] += [np.sum(model_t ** 2), np.sum((eng - model_t) ** 2)]
            if n["op"] != "conv_int8":
                continue
            a = n["args"]
            src = codes[n["inputs"][0]].astype(np.int8)
            s_in, z_in = scales[n["inputs"][0]]
            path = conv_path(a)
            acc = ref.conv(src, tensors[name + ".weight"], a, a["in_zp"], np.int64)
            acc = acc + tensors[name + ".eff_bias"]
            exact = requant(acc, tensors[name + ".req_scale"], a["out_zp"], path == "depthwise")
            op = ops[name]
            fl = ref.conv((src.astype(np.float64) - z_in) * s_in, op.weight, a) + op.bias
            if op.act == "relu":
                fl = np.maximum(fl, 0)
            elif op.act == "relu6":
                fl = np.clip(fl, 0, 6)
            exa = (exact - z_out) * s_out
            st["path"] = path
            st["geo"] = (f"{a['kH']}x{a['kW']}/{a['stride_h']} {a['C_in']}->{a['C_out']}"
                         + (" dw" if a.get("groups", 1) > 1 else ""))
            d_eng, d_exa = (eng - fl) / s_out, (exa - fl) / s_out
            st["sums"][:5] += [np.mean(d_eng ** 2), np.mean(d_exa ** 2), np.mean(d_eng),
                               np.mean(d_exa), np.mean(np.abs(codes[out] - exact) > 0)]
    shutil.rmtree(tmp, ignore_errors=True)
    rows = []
    for name, st in stats.items():
        s = st["sums"] / n_images
        rows.append(dict(name=name, path=st.get("path", st["op"]), geo=st.get("geo", ""),
                         rms_engine=np.sqrt(s[0]),
                         rms_exact=np.sqrt(s[1]), mean_engine=s[2], mean_exact=s[3], differ=s[4],
                         sqnr=10 * np.log10(st["sums"][5] / max(st["sums"][6], 1e-30))))
    return rows


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--model", default="resnet50", choices=list(KINDS))
    p.add_argument("--images", type=int, default=4)
    p.add_argument("--quantize", default="{}", help="JSON keyword arguments for the quantiser")
    args = p.parse_args(argv)
    rows = analyse(args.model, args.images, json.loads(args.quantize))
    print("| layer | path | geometry | RMS err vs float layer, LSB: engine | exact int | "
          "mean err, LSB: engine | exact | codes != exact | accumulated SQNR dB |")
    print("|" + "---|" * 10)
    for r in rows:
        if r["path"] in ("add_int8", "maxpool_int8", "avgpool_int8"):
            print(f"| {r['name']} | {r['path']} | | | | | | | {r['sqnr']:.1f} |")
            continue
        print(f"| {r['name']} | {r['path']} | {r['geo']} | {r['rms_engine']:.2f} | {r['rms_exact']:.2f} | "
              f"{r['mean_engine']:+.2f} | {r['mean_exact']:+.2f} | {r['differ']:.1%} | {r['sqnr']:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
