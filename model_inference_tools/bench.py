"""Benchmark command: load a model, feed it inputs, time it and print its profile.

    python -m model_inference_tools bench ARCH WEIGHTS [--iterations N | --seconds T]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import time

import numpy as np


def _parse_dims(specs: list[str]) -> dict[str, list[int]]:
    dims = {}
    for spec in specs:
        name, _, shape = spec.partition("=")
        if not shape:
            raise SystemExit(f"--dims expects NAME=D1xD2..., got {spec!r}")
        dims[name] = [int(d) for d in shape.lower().split("x")]
    return dims


def make_inputs(model, dims: dict[str, list[int]], seed: int = 0) -> dict[str, np.ndarray]:
    """Random inputs for every declared input; 0 dims take --dims or 1."""
    rng = np.random.default_rng(seed)
    inputs = {}
    for spec in model.inputs:
        shape = dims.get(spec.name) or [d if d > 0 else 1 for d in spec.shape] or [1]
        if spec.dtype == "int8":
            inputs[spec.name] = rng.integers(-128, 128, size=shape, dtype=np.int8)
        else:
            inputs[spec.name] = rng.standard_normal(shape, dtype=np.float32)
    return inputs


def load_inputs(path: str) -> dict[str, np.ndarray]:
    data = np.load(path)
    if isinstance(data, np.ndarray):
        return {"": data}
    return {k: data[k] for k in data.files}


def _runner(model, inputs: dict[str, np.ndarray]):
    """Single-input models with an int8 input take the int8 path of forward(array)."""
    if len(inputs) == 1 and model.input_count == 1:
        (array,) = inputs.values()
        return lambda: model.forward(array)
    return lambda: model.forward(inputs)


def _peak_rss_mib() -> float:
    kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return kib / 1024.0


def _table(profile: dict[str, float], total: float, top: int | None) -> list[dict]:
    rows = sorted(profile.items(), key=lambda kv: kv[1], reverse=True)
    if top is not None:
        rows = rows[:top]
    return [{"name": k, "ms": v, "percent": 100.0 * v / total if total > 0 else 0.0} for k, v in rows]


def benchmark(arch: str, weights: str, inputs: dict[str, np.ndarray] | None = None,
              dims: dict[str, list[int]] | None = None, warmup: int = 3,
              iterations: int | None = None, seconds: float | None = None,
              top: int = 10) -> dict:
    import model_inference as mi

    t0 = time.perf_counter()
    model = mi.InferenceModel(arch, weights)
    load_ms = (time.perf_counter() - t0) * 1e3
    if inputs is None:
        inputs = make_inputs(model, dims or {})
    elif "" in inputs:
        inputs = {model.inputs[0].name: inputs[""]}
    run = _runner(model, inputs)
    for _ in range(warmup):
        run()
    model.reset_profile()
    if iterations is None and seconds is None:
        iterations = 50
    times = []
    start = time.perf_counter()
    while True:
        t = time.perf_counter()
        run()
        times.append((time.perf_counter() - t) * 1e3)
        if iterations is not None and len(times) >= iterations:
            break
        if seconds is not None and time.perf_counter() - start >= seconds:
            break
    lat = np.array(times)
    ops = model.op_profile()
    layers = model.layer_profile()
    profiled = sum(ops.values())
    return {
        "model": model.model_name,
        "arch": arch,
        "weights": weights,
        "backend": mi.active_backend(),
        "threads": os.environ.get("OMP_NUM_THREADS", str(os.cpu_count())),
        "load_ms": load_ms,
        "iterations": len(times),
        "latency_ms": {
            "min": float(lat.min()), "median": float(np.median(lat)),
            "p90": float(np.percentile(lat, 90)), "p99": float(np.percentile(lat, 99)),
            "max": float(lat.max()), "mean": float(lat.mean()),
        },
        "throughput_per_s": 1e3 / float(np.median(lat)),
        "peak_rss_mib": _peak_rss_mib(),
        "op_profile": _table(ops, profiled, None),
        "layer_profile": _table(layers, profiled, top),
    }


def format_report(r: dict) -> str:
    lat = r["latency_ms"]
    lines = [
        f"model        {r['model']!r} ({r['arch']})",
        f"backend      {r['backend']}, OMP_NUM_THREADS={r['threads']}",
        f"load         {r['load_ms']:.2f} ms",
        f"iterations   {r['iterations']}",
        "latency ms   min {min:.3f}  median {median:.3f}  p90 {p90:.3f}  p99 {p99:.3f}  max {max:.3f}".format(**lat),
        f"throughput   {r['throughput_per_s']:.1f} runs/s",
        f"peak RSS     {r['peak_rss_mib']:.1f} MiB",
        "",
        f"{'op':<28}{'ms/run':>10}{'%':>8}",
    ]
    n = max(r["iterations"], 1)
    for row in r["op_profile"]:
        lines.append(f"{row['name']:<28}{row['ms'] / n:>10.4f}{row['percent']:>8.1f}")
    lines += ["", f"{'layer (top ' + str(len(r['layer_profile'])) + ')':<28}{'ms/run':>10}{'%':>8}"]
    for row in r["layer_profile"]:
        lines.append(f"{row['name']:<28}{row['ms'] / n:>10.4f}{row['percent']:>8.1f}")
    return "\n".join(lines)


def run(args) -> int:
    inputs = load_inputs(args.inputs) if args.inputs else None
    report = benchmark(args.arch, args.weights, inputs=inputs, dims=_parse_dims(args.dims),
                       warmup=args.warmup, iterations=args.iterations, seconds=args.seconds,
                       top=args.top)
    print(format_report(report))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


def add_parser(commands) -> None:
    p = commands.add_parser("bench", help="time a model and print its per-op profile",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_arguments(p)
    p.set_defaults(run=run)


def _add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("arch", help="architecture file (JSON)")
    p.add_argument("weights", help="W1X1 weights file")
    p.add_argument("--inputs", help=".npy (first input) or .npz (by input name) with input arrays")
    p.add_argument("--dims", action="append", default=[], metavar="NAME=D1xD2",
                   help="dims for a generated input with variable (0) dims")
    p.add_argument("--warmup", type=int, default=3)
    group = p.add_mutually_exclusive_group()
    group.add_argument("--iterations", "-n", type=int)
    group.add_argument("--seconds", "-t", type=float)
    p.add_argument("--top", type=int, default=10, help="layers shown in the per-layer table")
    p.add_argument("--json", metavar="PATH", help="also write the report as JSON")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="model-inference-bench", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_arguments(p)
    return run(p.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
