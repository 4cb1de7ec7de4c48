"""1-D convolutions of a HiFi-GAN / iSTFTNet vocoder (Kokoro-like shapes), each engine path
beside ONNX Runtime's Conv / ConvTranspose and PyTorch on the same shapes and thread counts,
plus the error of the Winograd variants against the float64 result.

Each thread count runs in its own process (OMP_NUM_THREADS is read at start-up); inside it
the engine, ONNX Runtime and PyTorch are timed in interleaved rounds and the best time of
each is kept: CPU time of the process on 1 thread (other sessions on a shared machine then
cost little), wall time on more. GFLOP/s count 2 per multiply-add; the peak is the measured
rate of independent 8-lane fused multiply-adds on one core (best of 200 short runs, so at
the turbo clock), times the thread count. Run from the repository root:

    PYTHONPATH=build/dev:. python benchmarks/conv1d.py [--rounds 5] [--threads 1 2]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ENV = "TOVRIN_FP32_CONV1D_DIRECT"

# (label, kind, C_in, C_out, K, stride, padding, dilation, L, groups, output_padding)
SHAPES = [
    ("res 512 k3 d1", "conv", 512, 512, 3, 1, 1, 1, 500, 1, 0),
    ("res 512 k7 d3", "conv", 512, 512, 7, 1, 9, 3, 500, 1, 0),
    ("res 256 k3 d1", "conv", 256, 256, 3, 1, 1, 1, 2000, 1, 0),
    ("res 256 k7 d1", "conv", 256, 256, 7, 1, 3, 1, 2000, 1, 0),
    ("res 256 k11 d5", "conv", 256, 256, 11, 1, 25, 5, 2000, 1, 0),
    ("res 128 k3 d5", "conv", 128, 128, 3, 1, 5, 5, 8000, 1, 0),
    ("res 128 k7 d3", "conv", 128, 128, 7, 1, 9, 3, 8000, 1, 0),
    ("res 128 k7 d1", "conv", 128, 128, 7, 1, 3, 1, 8000, 1, 0),
    ("res 128 k11 d1", "conv", 128, 128, 11, 1, 5, 1, 8000, 1, 0),
    ("point 512", "conv", 512, 512, 1, 1, 0, 1, 500, 1, 0),
    ("point 128", "conv", 128, 128, 1, 1, 0, 1, 8000, 1, 0),
    ("up x10 k20", "convT", 512, 256, 20, 10, 5, 1, 200, 1, 0),
    ("up x6 k12", "convT", 256, 128, 12, 6, 3, 1, 1300, 1, 0),
    ("dw up x2 k3", "convT", 256, 256, 3, 2, 1, 1, 1000, 256, 1),
]


def out_len(kind, C_in, C_out, K, s, p, d, L, g, op):
    if kind == "conv":
        return (L + 2 * p - d * (K - 1) - 1) // s + 1
    return (L - 1) * s - 2 * p + op + K


def flops(shape):
    label, kind, C_in, C_out, K, s, p, d, L, g, op = shape
    steps = out_len(kind, C_in, C_out, K, s, p, d, L, g, op) if kind == "conv" else L
    return 2.0 * steps * C_out * (C_in // g) * K


def engine_paths(shape):
    """(path label, variable value) pairs the engine runs this shape with."""
    label, kind, C_in, C_out, K, s, p, d, L, g, op = shape
    if kind == "convT":
        return [("transposed", None)]
    if K == 1:
        return [("pointwise", None)]
    paths = [("direct", None)]
    if K >= 3:
        paths.append(("winograd", "wino"))
    return paths


def ort_session(shape, w, b, threads):
    import onnx
    import onnxruntime as ort
    from onnx import TensorProto, helper, numpy_helper
    label, kind, C_in, C_out, K, s, p, d, L, g, op = shape
    attrs = dict(kernel_shape=[K], strides=[s], pads=[p, p], group=g)
    if kind == "conv":
        node = helper.make_node("Conv", ["x", "w", "b"], ["y"], dilations=[d], **attrs)
    else:
        node = helper.make_node("ConvTranspose", ["x", "w", "b"], ["y"], output_padding=[op],
                                **attrs)
    graph = helper.make_graph(
        [node], "c", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, C_in, None])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)],
        [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    return ort.InferenceSession(model.SerializeToString(), opts,
                                providers=["CPUExecutionProvider"])


def worker(threads, rounds):
    import torch
    import torch.nn.functional as F

    import model_inference
    import model_inference_tools as mt

    torch.set_num_threads(threads)
    rng = np.random.default_rng(0)
    results = []
    tmp = tempfile.mkdtemp()
    for n, shape in enumerate(SHAPES):
        label, kind, C_in, C_out, K, s, p, d, L, g, op = shape
        wshape = (C_out, C_in // g, K) if kind == "conv" else (C_in, C_out // g, K)
        w = (rng.standard_normal(wshape) / np.sqrt(C_in // g * K)).astype(np.float32)
        b = (rng.standard_normal(C_out) * 0.1).astype(np.float32)
        x = rng.standard_normal((L, C_in)).astype(np.float32)
        args = dict(C_out=C_out, C_in=C_in, kernel_size=K, stride=s, padding=p, groups=g)
        if kind == "conv":
            args["dilation"] = d
            args["extended_winograd"] = True
        else:
            args["output_padding"] = op
        runs = {}
        for path, env in engine_paths(shape):
            if env is None:
                os.environ.pop(ENV, None)
            else:
                os.environ[ENV] = env
            arch = mt.Arch(model="c", outputs=["y"])
            arch.add_input("x", [0, C_in], dtype="float32")
            arch.add("n", "conv1d_fp32" if kind == "conv" else "conv_transpose1d_fp32", ["x"],
                     "y", **args)
            a, wf = os.path.join(tmp, f"{n}{path}.json"), os.path.join(tmp, f"{n}{path}.bin")
            mt.write_arch(a, arch.to_json())
            mt.write_weights(wf, {"n.weight": w, "n.bias": b})
            m = model_inference.InferenceModel(a, wf)
            runs[path] = lambda m=m: m.forward(x)
        sess = ort_session(shape, w, b, threads)
        xc = np.ascontiguousarray(x.T[None])
        runs["ort"] = lambda: sess.run(None, {"x": xc})
        tx, tw, tb = torch.from_numpy(xc), torch.from_numpy(w), torch.from_numpy(b)
        if kind == "conv":
            runs["torch"] = lambda: F.conv1d(tx, tw, tb, s, p, d, g)
        else:
            runs["torch"] = lambda: F.conv_transpose1d(tx, tw, tb, s, p, op, g)
        best = {k: 1e30 for k in runs}
        clock = time.process_time if threads == 1 else time.perf_counter
        with torch.no_grad():
            for f in runs.values():
                f()
            for _ in range(rounds):
                for k, f in runs.items():
                    t0 = clock()
                    f()
                    best[k] = min(best[k], clock() - t0)
        results.append({"label": label, "flops": flops(shape), "best": best})
    os.environ.pop(ENV, None)
    print(json.dumps(results))


def winograd_errors():
    """Max |y - y64| / max |y64| of each Winograd variant and of the direct kernel, on
    unit-variance inputs and weights of standard deviation 1/sqrt(C*K) (unit-variance
    outputs, as in a trained vocoder's residual blocks)."""
    import torch
    import torch.nn.functional as F

    import model_inference_testing as t

    torch.set_num_threads(1)
    rng = np.random.default_rng(1)
    rows = []
    cases = [(C, K, 1) for C in (128, 256, 512) for K in (3, 7, 11)]
    for C, K, d in cases + [(128, 3, 5), (128, 7, 3), (128, 11, 5)]:
        L, p = 400, d * (K // 2)
        x = rng.standard_normal((L, C)).astype(np.float32)
        w = (rng.standard_normal((C, C, K)) / np.sqrt(C * K)).astype(np.float32)
        want = F.conv1d(torch.from_numpy(x.T[None]).double(), torch.from_numpy(w).double(),
                        padding=p, dilation=d)[0].T.numpy()
        scale = np.abs(want).max()
        wino = t.conv1d_winograd(x, w, None, padding=p, dilation=d)
        chunks = t.conv1d_winograd_chunks(x, w, None, padding=p, dilation=d) if K >= 4 else want
        direct = t.conv1d_direct(np.pad(x, ((p, p), (0, 0))), w, None, dilation=d)
        rows.append((C, K, d, *(np.abs(y - want).max() / scale for y in (wino, chunks, direct))))
    return rows


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--worker", type=int)
    a = ap.parse_args()
    if a.worker:
        worker(a.worker, a.rounds)
        return
    import model_inference_bench as bench

    peak = bench.fma_peak(1, 200)
    print(f"load average before: {load_average()}")
    print(f"measured AVX2 FMA peak {peak:.1f} GFLOP/s per core\n")
    print("Winograd error, max |y - y64| / max |y64| (unit-variance outputs, L = 400; F(m,r)")
    print("with r = K, F(4,4) over chunks of 4 taps, direct):")
    print(f"{'C':>5} {'K':>3} {'d':>3} {'F(m,K)':>10} {'chunks':>10} {'direct':>10}")
    for C, K, d, we, ce, de in winograd_errors():
        chunk = f"{ce:10.2e}" if K >= 4 else f"{'-':>10}"
        print(f"{C:5d} {K:3d} {d:3d} {we:10.2e} {chunk} {de:10.2e}")
    for threads in a.threads:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, "--worker", str(threads), "--rounds",
                              str(a.rounds)], env=env, capture_output=True, text=True, check=True)
        results = json.loads(out.stdout.strip().splitlines()[-1])
        clock = "CPU time" if threads == 1 else "wall time"
        print(f"\n{threads} thread(s), {clock}, best of {a.rounds} interleaved rounds "
              f"(load average {load_average()}):")
        print(f"{'shape':<16} {'path':<11} {'ms':>8} {'GF/s':>7} {'%peak':>6} {'ORT ms':>8} "
              f"{'x ORT':>6} {'torch ms':>9} {'x torch':>8}")
        for r in results:
            best = r["best"]
            for path in [k for k in best if k not in ("ort", "torch")]:
                ms = best[path] * 1e3
                gf = r["flops"] / best[path] / 1e9
                print(f"{r['label']:<16} {path:<11} {ms:8.2f} {gf:7.1f} "
                      f"{100 * gf / (peak * threads):5.0f}% {best['ort'] * 1e3:8.2f} "
                      f"{best['ort'] / best[path]:6.2f} {best['torch'] * 1e3:9.2f} "
                      f"{best['torch'] / best[path]:8.2f}")


if __name__ == "__main__":
    main()
