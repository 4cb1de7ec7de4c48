"""The engine against ONNX Runtime and PyTorch eager on the same models and inputs.

Each model family is exported once from the same PyTorch module to the engine's files
(fp32, and int8 through the calibrating quantiser) and to ONNX. Every thread count runs in
its own process (OMP_NUM_THREADS is read at start-up), where the three runtimes run the
same input one after another; outputs are checked against PyTorch before anything is
timed. Prints medians and the ratio peer / engine (above 1: the engine is faster).

    pip install '.[bench]' && python benchmarks/compare.py [--runs 20] [--threads 1 2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

# name, builder, example input shape, engine precision
FAMILIES = [
    ("resnet50", "ResNet50", (1, 3, 224, 224), "fp32"),
    ("resnet50", "ResNet50", (1, 3, 224, 224), "int8"),
    ("mobilenetv2", "MobileNetV2-relu", (1, 3, 224, 224), "fp32"),
    ("mobilenetv2", "MobileNetV2", (1, 3, 224, 224), "int8"),
    ("dense-head", "DenseHead", (1, 2048), "fp32"),
    ("dense-head", "DenseHead", (1, 2048), "int8"),
]


def build_module(kind: str):
    import torch

    sys.path.insert(0, HERE)
    import models

    torch.manual_seed(0)
    if kind == "MobileNetV2-relu":
        return models.MobileNetV2(act=torch.nn.ReLU).eval()
    return getattr(models, kind)().eval()


def export_all(directory: str) -> list[dict]:
    """Writes every model's files; returns one record per family row."""
    import torch

    from model_inference_tools.export import export
    from model_inference_tools.quantize import quantize

    torch.set_num_threads(1)
    rows, modules = [], {}
    rng = np.random.default_rng(0)
    for family, kind, shape, precision in FAMILIES:
        module = modules.setdefault(kind, build_module(kind))
        x = torch.from_numpy(rng.standard_normal(shape).astype(np.float32))
        stem = os.path.join(directory, f"{family}-{precision}")
        if precision == "fp32":
            export(module, x, stem + ".json", stem + ".bin", model_name=family)
        else:
            batches = [torch.from_numpy(rng.standard_normal((4,) + shape[1:]).astype(np.float32))
                       for _ in range(4)]
            quantize(module, batches, stem + ".json", stem + ".bin", model_name=family)
        onnx_path = os.path.join(directory, f"{kind}.onnx")
        if not os.path.exists(onnx_path):
            warnings.filterwarnings("ignore", category=DeprecationWarning)  # legacy exporter: no onnxscript
            torch.onnx.export(module, (x,), onnx_path, dynamo=False, input_names=["x"],
                              output_names=["y"])
        np.save(stem + ".input.npy", x.numpy())
        with torch.no_grad():
            np.save(stem + ".torch.npy", module(x).numpy().ravel())
        torch.save(module, stem + ".pt")
        rows.append(dict(family=family, kind=kind, precision=precision, arch=stem + ".json",
                         weights=stem + ".bin", onnx=onnx_path, stem=stem))
    return rows


def median_ms(fn, runs: int, warmup: int = 3) -> float:
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1e3)
    return float(np.median(times))


def worker(rows: list[dict], threads: int, runs: int) -> list[dict]:
    """Runs in a fresh process with OMP_NUM_THREADS set: time the three runtimes."""
    import onnxruntime as ort
    import torch

    import model_inference as mi
    from model_inference_tools.engine_io import quantize_input, to_engine_layout

    torch.set_num_threads(threads)
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    out = []
    for row in rows:
        x = np.load(row["stem"] + ".input.npy")
        expect = np.load(row["stem"] + ".torch.npy")
        model = mi.InferenceModel(row["arch"], row["weights"])
        model.set_profile_enabled(False)
        spec = model.inputs[0]
        xe = to_engine_layout(x)
        if spec.dtype == "int8":
            xe = quantize_input(xe, spec.scale, spec.zp)
        session = ort.InferenceSession(row["onnx"], opts, providers=["CPUExecutionProvider"])
        module = torch.load(row["stem"] + ".pt", weights_only=False)
        xt = torch.from_numpy(x)

        got = model.forward(xe)
        onnx_out = session.run(None, {"x": x})[0].ravel()
        scale = float(np.abs(expect).max()) or 1.0
        err = float(np.abs(got - expect).max()) / scale
        onnx_err = float(np.abs(onnx_out - expect).max()) / scale
        if row["precision"] == "fp32" and (err > 1e-3 or onnx_err > 1e-3):
            raise SystemExit(f"{row['family']}: outputs disagree (engine {err:.2e}, ORT {onnx_err:.2e})")

        def run_torch():
            with torch.no_grad():
                module(xt)

        out.append(dict(row, threads=threads, rel_err=err,
                        engine_ms=median_ms(lambda: model.forward(xe), runs),
                        onnxruntime_ms=median_ms(lambda: session.run(None, {"x": x}), runs),
                        torch_ms=median_ms(run_torch, runs)))
    return out


def table(results: list[dict]) -> str:
    head = ("| model | engine | threads | engine ms | ONNX Runtime fp32 ms | ratio | "
            "PyTorch fp32 ms | ratio | max rel. error |")
    lines = [head, "|" + "---|" * 9]
    for r in results:
        lines.append(
            f"| {r['family']} | {r['precision']} | {r['threads']} | {r['engine_ms']:.2f} | "
            f"{r['onnxruntime_ms']:.2f} | {r['onnxruntime_ms'] / r['engine_ms']:.2f} | "
            f"{r['torch_ms']:.2f} | {r['torch_ms'] / r['engine_ms']:.2f} | {r['rel_err']:.1e} |")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=20)
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--json", help="also write the results as JSON")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        rows = json.load(open(args.worker))
        print(json.dumps(worker(rows, int(os.environ["OMP_NUM_THREADS"]), args.runs)))
        return 0
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        rows = export_all(tmp)
        spec = os.path.join(tmp, "rows.json")
        json.dump(rows, open(spec, "w"))
        for threads in args.threads:
            env = dict(os.environ, OMP_NUM_THREADS=str(threads))
            proc = subprocess.run([sys.executable, __file__, "--worker", spec, "--runs", str(args.runs)],
                                  env=env, capture_output=True, text=True)
            if proc.returncode != 0:
                sys.stderr.write(proc.stderr)
                return proc.returncode
            results += json.loads(proc.stdout.strip().splitlines()[-1])
    results.sort(key=lambda r: (r["family"], r["precision"], r["threads"]))
    print(f"{time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, medians of {args.runs} runs")
    print(table(results))
    if args.json:
        json.dump(results, open(args.json, "w"), indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
