"""The main job: build a small model with the writers, load it, run it and time it."""

from __future__ import annotations

import os
import tempfile
import time

import numpy as np

from model_inference_tools.arch import Arch
from model_inference_tools.weights import write_weights


def build(directory: str) -> tuple[str, str]:
    """A feature-mixing sequence graph: 64 frames of 40 features plus a broadcast style
    vector, concatenated and sliced."""
    arch = Arch(model="demo-sequence")
    arch.add_input("frames", [64, 40])
    arch.add_input("style", [8])
    arch.add("join", "concat1d_fp32", ["frames", "style"], "joined", C2=8)
    arch.add("head", "slice_channels_fp32", ["joined"], "features", ch_start=32, ch_end=48)
    arch_path = os.path.join(directory, "demo_arch.json")
    weights_path = os.path.join(directory, "demo_weights.bin")
    arch.write(arch_path)
    write_weights(weights_path, {})
    return arch_path, weights_path


def run(args) -> int:
    import model_inference as mi

    with tempfile.TemporaryDirectory() as tmp:
        arch_path, weights_path = build(tmp)
        t0 = time.perf_counter()
        model = mi.InferenceModel(arch_path, weights_path)
        load_ms = (time.perf_counter() - t0) * 1e3
        rng = np.random.default_rng(0)
        inputs = {"frames": rng.standard_normal((64, 40), dtype=np.float32),
                  "style": np.arange(8, dtype=np.float32)}
        times = []
        for _ in range(args.iterations):
            t0 = time.perf_counter()
            out = model.forward(inputs)
            times.append((time.perf_counter() - t0) * 1e3)
    features = out["features"].reshape(64, 16)
    print(f"model {model.model_name!r} on backend {mi.active_backend()!r}, loaded in {load_ms:.2f} ms")
    print(f"inputs: {model.inputs}")
    print(f"output 'features' shape {features.shape}, first row {np.round(features[0], 3)}")
    print(f"latency over {args.iterations} runs: median {np.median(times):.4f} ms, "
          f"min {np.min(times):.4f} ms")
    print("per-op profile (ms):", {k: round(v, 4) for k, v in model.op_profile().items()})
    return 0


def add_parser(commands) -> None:
    p = commands.add_parser("demo", help="build, load and run a small model end to end")
    p.add_argument("--iterations", type=int, default=100)
    p.set_defaults(run=run)
