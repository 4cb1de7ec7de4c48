"""Sequence layers on the shapes of a StyleTTS2 / Kokoro-style speech model.

LSTM: milliseconds per call of the engine's layer (through a model file), ONNX Runtime's
LSTM and torch.nn.LSTM with the same weights, bidirectional with input 640 and hidden 256
over 20 to 500 steps (and one direction at 500). The three run interleaved, round after
round, in one process per thread count; the table shows medians and the peers' time over
the engine's (above 1: the engine is faster). One thread is timed in process CPU time,
which other programs on a shared machine do not inflate; more threads in wall time.

Element-wise sequence kernels: GB/s (bytes read plus written per call) of adaptive instance
and layer norm, Snake and the shaping kernels on 512 x 2,000 to 128 x 40,000 sequences,
beside a plain multi-threaded copy of the same sequence in the same process.

    PYTHONPATH=build/dev:. python benchmarks/sequence.py [--threads 1,2] [--rounds 7]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

LSTM_SHAPES = [(20, True), (100, True), (500, True), (500, False)]  # (steps, bidirectional)
I, H = 640, 256
KERNEL_SHAPES = [(2000, 512), (10000, 256), (40000, 128)]  # (L, C)
KERNELS = ["ada_in1d_fp32", "ada_layer_norm_fp32", "snake1d_fp32", "upsample_nearest1d_fp32",
           "sum_channels_fp32", "concat1d_fp32", "slice_channels_fp32"]


def lstm_weights(bidirectional, seed=0):
    import torch
    torch.manual_seed(seed)
    return torch.nn.LSTM(I, H, batch_first=True, bidirectional=bidirectional).eval()


def engine_lstm(lstm, directory):
    import model_inference as mi
    import model_inference_tools as mt
    arch = mt.Arch(model="lstm", outputs=["y"])
    arch.add_input("x", [0, I])
    arch.add("lstm", "lstm_fp32", ["x"], "y", hidden_size=H, bidirectional=lstm.bidirectional)
    tensors = {f"lstm.{k}": v.detach().numpy() for k, v in lstm.state_dict().items()}
    a, w = os.path.join(directory, "lstm.json"), os.path.join(directory, "lstm.bin")
    mt.write_arch(a, arch.to_json())
    mt.write_weights(w, tensors)
    model = mi.InferenceModel(a, w)
    return lambda x: model.forward(x)


def ort_lstm(lstm, threads):
    import onnxruntime as ort
    from onnx import TensorProto, helper, numpy_helper
    sd = {k: v.detach().numpy() for k, v in lstm.state_dict().items()}
    dirs = ["", "_reverse"] if lstm.bidirectional else [""]

    def iofc(w):  # PyTorch's gate order i, f, g, o as ONNX's i, o, f, c
        i, f, g, o = np.split(w, 4)
        return np.concatenate([i, o, f, g])

    W = np.stack([iofc(sd["weight_ih_l0" + d]) for d in dirs])
    R = np.stack([iofc(sd["weight_hh_l0" + d]) for d in dirs])
    B = np.stack([np.concatenate([iofc(sd["bias_ih_l0" + d]), iofc(sd["bias_hh_l0" + d])])
                  for d in dirs])
    node = helper.make_node("LSTM", ["X", "W", "R", "B"], ["Y"], hidden_size=H,
                            direction="bidirectional" if lstm.bidirectional else "forward")
    graph = helper.make_graph(
        [node], "lstm", [helper.make_tensor_value_info("X", TensorProto.FLOAT, [None, 1, I])],
        [helper.make_tensor_value_info("Y", TensorProto.FLOAT, None)],
        [numpy_helper.from_array(W.astype(np.float32), "W"),
         numpy_helper.from_array(R.astype(np.float32), "R"),
         numpy_helper.from_array(B.astype(np.float32), "B")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 14)])
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    sess = ort.InferenceSession(model.SerializeToString(), opts,
                                providers=["CPUExecutionProvider"])
    return lambda x: sess.run(None, {"X": x[:, None, :]})[0]


def torch_lstm(lstm, threads):
    import torch
    torch.set_num_threads(threads)

    def run(x):
        with torch.no_grad():
            return lstm(torch.from_numpy(x)[None])[0]
    return run


def seconds(fn, x, clock, min_time=0.02):
    """Mean seconds per call over as many calls as fill min_time on `clock`."""
    n, t0 = 0, clock()
    while True:
        fn(x)
        n += 1
        dt = clock() - t0
        if dt >= min_time:
            return dt / n


def measure_lstm(threads, rounds):
    clock = time.process_time if threads == 1 else time.perf_counter
    rows = []
    with tempfile.TemporaryDirectory() as d:
        for steps, bidirectional in LSTM_SHAPES:
            lstm = lstm_weights(bidirectional)
            contenders = {"engine": engine_lstm(lstm, d), "ort": ort_lstm(lstm, threads),
                          "torch": torch_lstm(lstm, threads)}
            x = np.random.default_rng(steps).standard_normal((steps, I)).astype(np.float32)
            want = contenders["torch"](x).numpy()[0].ravel()
            err = float(np.abs(contenders["engine"](x) - want).max())
            for fn in contenders.values():
                fn(x)
            times = {k: [] for k in contenders}
            for _ in range(rounds):
                for k, fn in contenders.items():
                    times[k].append(seconds(fn, x, clock))
            rows.append({"steps": steps, "bidirectional": bidirectional, "max_err": err,
                         **{k: float(np.median(v)) * 1e3 for k, v in times.items()},
                         **{"best_" + k: float(np.min(v)) * 1e3 for k, v in times.items()}})
    return rows


def measure_kernels(rounds):
    import model_inference_bench as bench
    rows = []
    for L, C in KERNEL_SHAPES:
        iters = max(3, int(4e7 // (L * C * 8)))
        copy = []
        results = {k: [] for k in KERNELS}
        for _ in range(max(3, rounds // 2)):
            copy.append(bench.sequence_kernel("copy", L, C, iters, 3))
            for k in KERNELS:
                results[k].append(bench.sequence_kernel(k, L, C, iters, 3))
        # The best round: the machine is shared, and a kernel call is short enough to run
        # undisturbed in some round.
        copy_gbps = float(np.max([b / s for s, b in copy])) / 1e9
        rows.append({"shape": f"{C}x{L}", "kernel": "copy", "gbps": copy_gbps, "pct": 100.0})
        for k, v in results.items():
            gbps = float(np.max([b / s for s, b in v])) / 1e9
            rows.append({"shape": f"{C}x{L}", "kernel": k, "gbps": gbps,
                         "pct": 100 * gbps / copy_gbps})
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--threads", default="1,2", help="comma-separated thread counts")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--only", choices=["lstm", "kernels"], default=None)
    p.add_argument("--child", type=int, default=0, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        out = {}
        if a.only != "kernels":
            out["lstm"] = measure_lstm(a.child, a.rounds)
        if a.only != "lstm":
            out["kernels"] = measure_kernels(a.rounds)
        json.dump(out, sys.stdout)
        return
    results = {}
    for t in a.threads.split(","):
        # A fresh process per thread count: OpenMP, ONNX Runtime and PyTorch size their
        # pools once.
        env = dict(os.environ, OMP_NUM_THREADS=t)
        cmd = [sys.executable, __file__, "--child", t, "--rounds", str(a.rounds)]
        if a.only:
            cmd += ["--only", a.only]
        results[t] = json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True,
                                               text=True).stdout)
    if a.only != "kernels":
        print(f"LSTM, input {I}, hidden {H}: ms per call (1 thread: CPU time, else wall time), "
              f"median and best of {a.rounds} interleaved rounds; ratio = peer / engine "
              "(medians, best in brackets)")
        print(f"{'thr':>3} {'steps':>5} {'dirs':>4} {'engine':>14} {'ORT':>14} {'torch':>14} "
              f"{'ORT/eng':>12} {'torch/eng':>12} {'max err':>8}")
        for t, r in results.items():
            for row in r["lstm"]:
                cells = " ".join(f"{row[k]:6.2f} ({row['best_' + k]:5.2f})"
                                 for k in ("engine", "ort", "torch"))
                ratios = " ".join(f"{row[k] / row['engine']:5.2f} ({row['best_' + k] / row['best_engine']:4.2f})"
                                  for k in ("ort", "torch"))
                print(f"{t:>3} {row['steps']:5d} {2 if row['bidirectional'] else 1:4d} {cells} "
                      f"{ratios} {row['max_err']:8.1e}")
    if a.only != "lstm":
        print("\nSequence kernels: GB/s (bytes read + written; best round) and % of a copy of "
              "the same sequence")
        threads = list(results)
        print(f"{'shape':>10} {'kernel':>24} " + " ".join(f"{t + ' thr GB/s':>12} {'%copy':>6}"
                                                         for t in threads))
        for i, row in enumerate(results[threads[0]]["kernels"]):
            cells = " ".join(f"{results[t]['kernels'][i]['gbps']:12.1f} "
                             f"{results[t]['kernels'][i]['pct']:5.0f}%" for t in threads)
            print(f"{row['shape']:>10} {row['kernel']:>24} {cells}")


if __name__ == "__main__":
    main()
