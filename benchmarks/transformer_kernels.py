"""Transformer kernel throughput beside the measured FMA peak and ONNX Runtime.

Run: OMP_NUM_THREADS=2 PYTHONPATH=build/dev:. python benchmarks/transformer_kernels.py [--reps N]
(OMP_WAIT_POLICY defaults to active here.)

Every row times the engine's kernel (a C++ loop in model_inference_bench) and ONNX Runtime on
the same shape and thread count, interleaved in rounds so that a change of machine load hits
both; the best time of each is kept. GFLOP/s count 2 per multiply-add (the projections,
Q K^T and P V of attention; layer norm counts 8 per value). The FMA peak is measured by a
loop of independent 8-lane fused multiply-adds on the same threads, in the same rounds
(%peak compares with the peak of those rounds, so a loaded machine slows both). ORT runs with all graph
optimisations (fused Attention, FastGelu, LayerNormalization) and, for int8, its dynamic
quantisation; note that ORT uses AVX-512/VNNI kernels on processors that have them, while
the engine uses AVX2 only.
"""

import argparse
import os
import tempfile
import time

import numpy as np

os.environ.setdefault("OMP_NUM_THREADS", "2")
# Waiting threads spin, as ONNX Runtime's pool does by default: on a loaded machine a
# sleeping OpenMP thread wakes late and stalls the whole team.
os.environ.setdefault("OMP_WAIT_POLICY", "active")

import model_inference_bench as bench  # noqa: E402

VIT = (197, 768, 12)   # ViT-B/16: tokens, width, heads
DEIT = (197, 384, 6)   # DeiT-small
MINI = (128, 384, 12)  # MiniLM, a 128-token sentence

# (label, engine op, T, E, N, heads, ORT graph kind)
ROWS = [
    ("attention ViT-B", "attention_fp32", *VIT[:2], 0, VIT[2], "attention"),
    ("attention DeiT-S", "attention_fp32", *DEIT[:2], 0, DEIT[2], "attention"),
    ("attention MiniLM", "attention_fp32", *MINI[:2], 0, MINI[2], "attention"),
    ("attn core ViT-B", "attention_core", *VIT[:2], 0, VIT[2], None),
    ("qkv+mlp fc1 ViT-B", "seqgemm_fp32_gelu", 197, 768, 3072, 1, "matmul_gelu"),
    ("mlp fc2 ViT-B", "seqgemm_fp32", 197, 3072, 768, 1, "matmul"),
    ("mlp fc1 DeiT-S", "seqgemm_fp32_gelu", 197, 384, 1536, 1, "matmul_gelu"),
    ("layernorm ViT-B", "layernorm_fp32", 197, 768, 0, 1, "layernorm"),
    ("int8 attention ViT-B", "attention_int8", *VIT[:2], 0, VIT[2], "attention_int8"),
    ("int8 fc1 ViT-B", "seqgemm_int8", 197, 768, 3072, 1, "matmul_int8"),
    ("int8 token 1x768x3072", "gemv_int8w_fp32", 1, 768, 3072, 1, "matmul_int8"),
]


def flops(op, T, E, N):
    if op.startswith("attention"):
        core = 4.0 * T * T * E
        return core if op == "attention_core" else core + 2.0 * T * E * 4 * E
    if op == "layernorm_fp32":
        return 8.0 * T * E
    return 2.0 * T * E * N


def ort_model(kind, T, E, N, heads, directory):
    """An ONNX model file for the row, or None without onnx/onnxruntime."""
    try:
        import onnx
        from onnx import TensorProto, helper, numpy_helper
    except ImportError:
        return None
    rng = np.random.default_rng(0)

    def const(name, shape, scale=0.05):
        return numpy_helper.from_array((rng.standard_normal(shape) * scale).astype(np.float32),
                                       name)

    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, T, E])
    base = kind.replace("_int8", "")
    if base == "attention":
        init = [const("wqkv", (E, 3 * E)), const("bqkv", (3 * E,)), const("wo", (E, E)),
                const("bo", (E,))]
        nodes = [helper.make_node("Attention", ["x", "wqkv", "bqkv"], ["ctx"], domain="com.microsoft",
                                  num_heads=heads),
                 helper.make_node("MatMul", ["ctx", "wo"], ["p"]),
                 helper.make_node("Add", ["p", "bo"], ["y"])]
        out_w = E
    elif base in ("matmul", "matmul_gelu"):
        init = [const("w", (E, N)), const("b", (N,))]
        nodes = [helper.make_node("MatMul", ["x", "w"], ["p"])]
        if base == "matmul_gelu":
            nodes.append(helper.make_node("FastGelu", ["p", "b"], ["y"], domain="com.microsoft"))
        else:
            nodes.append(helper.make_node("Add", ["p", "b"], ["y"]))
        out_w = N
    elif base == "layernorm":
        init = [const("g", (E,), 1.0), const("b", (E,))]
        nodes = [helper.make_node("LayerNormalization", ["x", "g", "b"], ["y"], axis=-1,
                                  epsilon=1e-6)]
        out_w = E
    else:
        raise ValueError(kind)
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, T, out_w])
    graph = helper.make_graph(nodes, kind, [x], [y], init)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17),
                                                    helper.make_opsetid("com.microsoft", 1)])
    path = os.path.join(directory, f"{kind}_{T}_{E}_{N}.onnx")
    onnx.save(model, path)
    if kind.endswith("_int8"):
        from onnxruntime.quantization import QuantType, quantize_dynamic
        qpath = path.replace(".onnx", "_q.onnx")
        quantize_dynamic(path, qpath, weight_type=QuantType.QInt8,
                         extra_options={"DefaultTensorType": TensorProto.FLOAT})
        return qpath
    return path


def ort_runner(path, T, E, threads):
    import onnxruntime as ort
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    sess = ort.InferenceSession(path, opts, providers=["CPUExecutionProvider"])
    feed = {"x": np.random.default_rng(1).standard_normal((1, T, E)).astype(np.float32)}
    sess.run(None, feed)

    def once():
        t0 = time.perf_counter()
        sess.run(None, feed)
        return time.perf_counter() - t0
    return once


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=10, help="timed calls per round")
    ap.add_argument("--rounds", type=int, default=3, help="interleaved engine/ORT rounds")
    args = ap.parse_args()
    print(f"load average before: {os.getloadavg()[0]:.2f} (2 cores)")
    peaks = {1: 0.0, 2: 0.0}
    hdr = (f"{'kernel':<23}{'T':>4}{'E':>5}{'N':>5}{'thr':>4}{'engine ms':>10}{'GFLOP/s':>9}"
           f"{'%peak':>7}{'ORT ms':>9}{'ORT/eng':>8}")
    print(hdr)
    print("-" * len(hdr))
    with tempfile.TemporaryDirectory() as d:
        for label, op, T, E, N, heads, kind in ROWS:
            path = ort_model(kind, T, E, N, heads, d) if kind else None
            for threads in (1, 2):
                ort_once = ort_runner(path, T, E, threads) if path else None
                eng, ort_best, peak = 1e30, 1e30, 0.0
                for _ in range(args.rounds):
                    # The peak is measured in the same rounds, under the same load.
                    peak = max(peak, bench.fma_peak(threads))
                    eng = min(eng, bench.transformer_kernel(op, T, E, N, heads, threads,
                                                            args.reps))
                    if ort_once:
                        ort_best = min(ort_best, min(ort_once() for _ in range(args.reps)))
                gf = flops(op, T, E, N) / eng / 1e9
                peaks[threads] = max(peaks[threads], peak)
                pct = 100 * gf / peak
                ort_txt = (f"{ort_best * 1e3:9.3f}{ort_best / eng:8.2f}" if ort_once
                           else f"{'-':>9}{'-':>8}")
                print(f"{label:<23}{T:>4}{E:>5}{N or '':>5}{threads:>4}{eng * 1e3:10.3f}"
                      f"{gf:9.1f}{pct:6.0f}%{ort_txt}")
    print("highest measured FMA peak: " + ", ".join(f"{t} thread(s) {p:.1f} GFLOP/s"
                                                    for t, p in peaks.items()))
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
