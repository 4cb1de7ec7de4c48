"""Where a vision transformer's time goes: our per-op profile beside ONNX Runtime's per-op
profile, and the throughput of our dense layers against the machine's FMA peak (8-lane
fused multiply-adds on every thread, measured in the same run).

Runs on the files that `benchmarks/compare.py --models vit-b16 --keep DIR` leaves behind
(our fp32 and int8 models, ONNX Runtime's optimised and dynamically quantised files).
Thread count from OMP_NUM_THREADS:

    OMP_NUM_THREADS=1 PYTHONPATH=build/dev:. python benchmarks/profile_vit.py DIR [--model vit-b16]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import sys
import time

import numpy as np

from profile_cnn import profiled_runs

def flops(node: dict, tokens: int) -> float:
    """Multiply-add FLOPs of one dense or attention node over ``tokens`` tokens."""
    a = node.get("args", {})
    if node["op"].startswith("seqgemm"):
        return 2.0 * tokens * a["C_in"] * a["C_out"]
    if node["op"].startswith("attention"):
        e = a["embed_dim"]
        return 2.0 * tokens * e * 4 * e + 4.0 * tokens * tokens * e
    return 0.0


def engine_profile(arch: str, weights: str, x: np.ndarray, runs: int):
    import model_inference as mi
    from model_inference_tools.engine_io import to_engine_layout

    m = mi.InferenceModel(arch, weights)
    xe = to_engine_layout(x)
    median_ms = profiled_runs(m, xe, runs)
    ops = {k: v / runs for k, v in m.op_profile().items()}
    return median_ms, ops, {k: v / runs for k, v in m.layer_profile().items()}


def ort_ops(onnx_path: str, x: np.ndarray, runs: int, threads: int):
    import onnxruntime as ort

    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    opts.enable_profiling = True
    opts.log_severity_level = 3
    opts.profile_file_prefix = os.path.join(os.path.dirname(onnx_path), "ort-profile")
    s = ort.InferenceSession(onnx_path, opts, providers=["CPUExecutionProvider"])
    warm = 3
    for _ in range(warm):
        s.run(None, {"x": x})
    t = []
    for _ in range(runs):
        t0 = time.perf_counter()
        s.run(None, {"x": x})
        t.append((time.perf_counter() - t0) * 1e3)
    ops = collections.Counter()
    for e in json.load(open(s.end_profiling())):
        if e.get("cat") == "Node" and e["name"].endswith("_kernel_time"):
            ops[e["args"]["op_name"]] += e["dur"] / 1e3 / (runs + warm)
    return float(np.median(t)), ops


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dir")
    p.add_argument("--model", default="vit-b16")
    p.add_argument("--runs", type=int, default=10)
    args = p.parse_args(argv)
    import model_inference_bench as bench

    threads = int(os.environ.get("OMP_NUM_THREADS", "1"))
    x = np.load(os.path.join(args.dir, f"{args.model}.test.npy"))[:1]
    tokens = (x.shape[2] // 16) * (x.shape[3] // 16) + 1
    for prec, peer in (("fp32", ".onnx"), ("int8", ".dyn.onnx")):
        stem = os.path.join(args.dir, f"{args.model}-{prec}")
        doc = json.load(open(stem + ".json"))
        ms, ops, layers = engine_profile(stem + ".json", stem + ".bin", x, args.runs)
        peak = bench.fma_peak(threads)  # measured right after, under the same load
        ort_ms, ort = ort_ops(os.path.join(args.dir, args.model + peer), x, args.runs, threads)
        print(f"\n{args.model} {prec}, {threads} thread(s): engine median {ms:.2f} ms, "
              f"ONNX Runtime {ort_ms:.2f} ms; load average "
              + " ".join(f"{v:.2f}" for v in os.getloadavg()))
        print("| engine op | ms per run | share |\n|---|---|---|")
        for op, v in sorted(ops.items(), key=lambda kv: -kv[1]):
            print(f"| {op} | {v:.2f} | {100 * v / sum(ops.values()):.1f}% |")
        print("| ONNX Runtime op | ms per run | share |\n|---|---|---|")
        for op, v in ort.most_common():
            print(f"| {op} | {v:.2f} | {100 * v / sum(ort.values()):.1f}% |")
        # Dense throughput of the blocks' nodes by kind (attention, first and second MLP product).
        groups = collections.defaultdict(lambda: [0.0, 0.0])
        for n in doc["nodes"]:
            f = flops(n, tokens)
            if f and n["name"].startswith("blocks.") and n["name"] in layers:
                kind = n["op"] + " " + n["name"].split(".", 2)[-1]
                groups[kind][0] += f
                groups[kind][1] += layers[n["name"]]
        head = "GFLOP/s" if prec == "fp32" else "GOP/s"
        print(f"| dense nodes | {head} | of the measured fp32 FMA peak |\n|---|---|---|")
        for kind, (f, t) in groups.items():
            rate = f / (t * 1e-3) / 1e9
            print(f"| {kind} | {rate:.1f} | {100 * rate / peak:.0f}% |")
        print(f"(FMA peak measured with {threads} thread(s): {peak:.1f} GFLOP/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
