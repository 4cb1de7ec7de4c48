"""GEMM throughput on the shapes the model families use, beside the AVX2 peak and ONNX Runtime.

Run: OMP_NUM_THREADS=2 PYTHONPATH=build/dev:. python benchmarks/gemm.py [--reps N]
Each shape runs on 1 and 2 threads (the engine's OpenMP thread count is set per call; the
process-wide OMP_NUM_THREADS is the upper bound). fp32 is C = A.W^T + bias on packed weights,
int8 is the requantising int8-output product; GFLOP/s counts 2.M.K.N.
"""

import argparse
import os
import time

import numpy as np

os.environ.setdefault("OMP_NUM_THREADS", "2")

import model_inference_bench as bench  # noqa: E402

SHAPES = [
    ("square 512", 512, 512, 512), ("square 1024", 1024, 1024, 1024),
    ("square 2048", 2048, 2048, 2048),
    ("conv 3136x576x64", 3136, 576, 64), ("conv 784x1152x128", 784, 1152, 128),
    ("conv 49x4608x512", 49, 4608, 512),
    ("pointwise 3136x64x256", 3136, 64, 256), ("pointwise 12544x16x96", 12544, 16, 96),
    ("dense 1x2048x1000", 1, 2048, 1000),
    ("token 197x768x768", 197, 768, 768), ("token 197x768x3072", 197, 768, 3072),
]


def clock_ghz():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1]) / 1000.0
    except OSError:
        pass
    return None


def ort_session(K, N, threads):
    try:
        import onnx
        import onnxruntime as ort
        from onnx import TensorProto, helper, numpy_helper
    except ImportError:
        return None
    B = numpy_helper.from_array(np.full((K, N), 0.25, np.float32), "B")
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["A", "B"], ["C"])], "mm",
        [helper.make_tensor_value_info("A", TensorProto.FLOAT, [None, K])],
        [helper.make_tensor_value_info("C", TensorProto.FLOAT, [None, N])], [B])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    return ort.InferenceSession(model.SerializeToString(), opts, providers=["CPUExecutionProvider"])


def ort_seconds(M, K, N, threads, reps):
    sess = ort_session(K, N, threads)
    if sess is None:
        return None
    A = np.full((M, K), 0.5, np.float32)
    sess.run(None, {"A": A})
    best = 1e30
    for _ in range(reps):
        t0 = time.perf_counter()
        sess.run(None, {"A": A})
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    ghz = clock_ghz()
    peak = 2 * 8 * 2 * ghz if ghz else None  # 2 FMA ports x 8 lanes x 2 FLOP per cycle
    print(f"clock {ghz:.2f} GHz (from /proc/cpuinfo), AVX2 fp32 peak {peak:.1f} GFLOP/s per core"
          if peak else "clock unknown: no peak column")
    hdr = f"{'shape':<22}{'thr':>4}{'fp32 GF/s':>11}{'%peak':>7}{'int8 GOP/s':>12}{'i8/f32':>8}{'ORT GF/s':>10}"
    print(hdr)
    print("-" * len(hdr))
    for label, M, K, N in SHAPES:
        flop = 2.0 * M * K * N
        reps = args.reps if flop > 5e8 else args.reps * 20
        for threads in (1, 2):
            f = flop / bench.gemm_fp32(M, K, N, threads, reps) / 1e9
            i = flop / bench.gemm_int8(M, K, N, threads, reps) / 1e9
            o = ort_seconds(M, K, N, threads, reps)
            pct = f"{100 * f / (peak * threads):6.1f}%" if peak else "     -"
            ort_s = f"{flop / o / 1e9:10.1f}" if o else "         -"
            print(f"{label:<22}{threads:>4}{f:11.1f}{pct:>7}{i:12.1f}{i / f:8.2f}{ort_s}")
    wbytes = 1000 * 2048 * 4
    copy_s = bench.copy(wbytes, 50)
    gemv_s = bench.gemm_fp32(1, 2048, 1000, 1, 50)
    copy_bw = 2 * wbytes / copy_s / 1e9
    print(f"M=1 (1 thread): weights streamed at {wbytes / gemv_s / 1e9:.1f} GB/s; "
          f"memcpy of the same {wbytes >> 20} MiB moves {copy_bw:.1f} GB/s (read + write): "
          f"{100 * wbytes / gemv_s / 1e9 / copy_bw:.0f}%")


if __name__ == "__main__":
    main()
