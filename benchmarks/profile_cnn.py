"""Where the CNN time goes: our per-layer profile beside ONNX Runtime's per-node profile,
grouped by layer kind (stem, 1x1, 3x3 stride 1, 3x3 stride 2, depthwise, the rest).

Runs on the model files that `benchmarks/compare.py --keep DIR` leaves behind. For int8 it
also times our model with the Winograd path allowed (the same files with the conv nodes'
"winograd" argument removed), which is the speed cost of the exact path. Thread count from
OMP_NUM_THREADS:

    OMP_NUM_THREADS=1 PYTHONPATH=build/dev:. python benchmarks/profile_cnn.py DIR [--runs 20]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import sys
import tempfile
import time

import numpy as np


def kind_of(op: str, a: dict) -> str:
    """Layer kind of a conv node from its geometry (engine args or ONNX attributes)."""
    if op not in ("conv", "gemm"):
        return op
    if op == "gemm":
        return "fc"
    k, s, g = a["k"], a["s"], a["groups"]
    if g > 1:
        return f"depthwise {k}x{k}/{s}"
    if a["c_in"] == 3:
        return f"stem {k}x{k}/{s}"
    return f"{k}x{k}/{s}"


def engine_kinds(arch: dict) -> dict:
    out = {}
    for n in arch["nodes"]:
        a, op = n.get("args", {}), n["op"]
        if op.startswith("conv"):
            out[n["name"]] = kind_of("conv", dict(k=a["kH"], s=a.get("stride_h", 1),
                                                  groups=a.get("groups", 1), c_in=a["C_in"]))
        elif op.startswith("gemm"):
            out[n["name"]] = "fc"
        else:
            out[n["name"]] = op.rsplit("_", 1)[0]
    return out


def profiled_runs(m, xe, runs: int) -> float:
    """Median milliseconds of `runs` forward calls after a warm-up, the model's profile
    holding those calls only."""
    for _ in range(3):
        m.forward(xe)
    m.reset_profile()
    t = []
    for _ in range(runs):
        t0 = time.perf_counter()
        m.forward(xe)
        t.append((time.perf_counter() - t0) * 1e3)
    return float(np.median(t))


def engine_profile(arch_path: str, weights: str, x: np.ndarray, runs: int) -> tuple:
    import model_inference as mi
    from model_inference_tools.engine_io import quantize_input, to_engine_layout

    m = mi.InferenceModel(arch_path, weights)
    spec = m.inputs[0]
    xe = to_engine_layout(x)
    if spec.dtype == "int8":
        xe = quantize_input(xe, spec.scale, spec.zp)
    median_ms = profiled_runs(m, xe, runs)
    kinds = engine_kinds(json.load(open(arch_path)))
    by_kind = collections.Counter()
    for name, ms in m.layer_profile().items():
        by_kind[kinds.get(name, name)] += ms / runs
    return median_ms, by_kind


def ort_profile(onnx_path: str, x: np.ndarray, runs: int, threads: int) -> tuple:
    import onnx
    import onnxruntime as ort

    tmp = tempfile.mkdtemp()
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    opts.optimized_model_filepath = os.path.join(tmp, "opt.onnx")
    opts.enable_profiling = True
    opts.log_severity_level = 3  # not the warning about saving an NCHWc-optimised graph
    opts.profile_file_prefix = os.path.join(tmp, "prof")
    s = ort.InferenceSession(onnx_path, opts, providers=["CPUExecutionProvider"])
    for _ in range(3):
        s.run(None, {"x": x})
    t = []
    for _ in range(runs):
        t0 = time.perf_counter()
        s.run(None, {"x": x})
        t.append((time.perf_counter() - t0) * 1e3)
    prof = json.load(open(s.end_profiling()))
    graph = onnx.load(opts.optimized_model_filepath).graph
    inits = {i.name: list(i.dims) for i in graph.initializer}
    kinds = {}
    for n in graph.node:
        at = {a.name: onnx.helper.get_attribute_value(a) for a in n.attribute}
        if "Conv" in n.op_type:
            w = n.input[3] if n.op_type == "QLinearConv" else n.input[1]
            c_in = inits.get(w, [0, 0])[1] * at.get("group", 1)
            kinds[n.name] = kind_of("conv", dict(k=at["kernel_shape"][0], s=at.get("strides", [1])[0],
                                                 groups=at.get("group", 1), c_in=c_in))
        elif n.op_type in ("Gemm", "MatMul", "QGemm", "MatMulInteger", "QLinearMatMul"):
            kinds[n.name] = "fc"
        else:
            kinds[n.name] = n.op_type
    by_kind = collections.Counter()
    warm = 3  # the profile also holds the warm-up runs
    for e in prof:
        if e.get("cat") == "Node" and e["name"].endswith("_kernel_time"):
            node = e["name"][:-len("_kernel_time")]
            by_kind[kinds.get(node, e.get("args", {}).get("op_name", node))] += e["dur"] / 1e3 / (runs + warm)
    return float(np.median(t)), by_kind


def without_winograd_arg(arch_path: str) -> str:
    doc = json.load(open(arch_path))
    for n in doc["nodes"]:
        n.get("args", {}).pop("winograd", None)
    path = arch_path.replace(".json", ".winograd.json")
    json.dump(doc, open(path, "w"))
    return path


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dir")
    p.add_argument("--models", nargs="+", default=["resnet50", "mobilenetv2"])
    p.add_argument("--runs", type=int, default=20)
    args = p.parse_args(argv)
    threads = int(os.environ.get("OMP_NUM_THREADS", "1"))
    for name in args.models:
        x = np.load(os.path.join(args.dir, f"{name}.test.npy"))[:1]
        for prec in ("fp32", "int8"):
            stem = os.path.join(args.dir, f"{name}-{prec}")
            peer = stem + (".qdq.onnx" if prec == "int8" else ".onnx")
            cols = {}
            cols["engine"] = engine_profile(stem + ".json", stem + ".bin", x, args.runs)
            if prec == "int8":
                cols["engine, Winograd allowed"] = engine_profile(
                    without_winograd_arg(stem + ".json"), stem + ".bin", x, args.runs)
            cols["ORT"] = ort_profile(peer, x, args.runs, threads)
            kinds = sorted({k for _, c in cols.values() for k in c},
                           key=lambda k: -max(c.get(k, 0) for _, c in cols.values()))
            print(f"\n{name} {prec}, {threads} thread(s): median ms "
                  + ", ".join(f"{k} {v[0]:.2f}" for k, v in cols.items()))
            print("| layer kind | " + " | ".join(f"{k} ms" for k in cols) + " |")
            print("|---|" + "---|" * len(cols))
            for k in kinds:
                print(f"| {k} | " + " | ".join(f"{c.get(k, 0):.2f}" for _, c in cols.values()) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
