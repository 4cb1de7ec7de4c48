"""Throughput of the elementwise and pooling kernels on ResNet-sized tensors.

Reports GB/s (bytes read plus bytes written per call) next to a plain copy of the same
fp32 tensor (cache-resident at these sizes) and a 64 MB copy (main memory), on 1 and 2
OpenMP threads. The kernels themselves run on the calling thread. Run from the repository root with the built module
on PYTHONPATH:

    PYTHONPATH=build/dev python benchmarks/elementwise.py
"""
import argparse
import json
import os
import subprocess
import sys

SHAPES = [(56, 56, 256), (7, 7, 2048)]
KERNELS = ["copy", "add_fp32", "add_int8", "scale_fp32", "maxpool_fp32", "maxpool_int8",
           "avgpool_fp32", "avgpool_int8", "sigmoid_fp32", "gelu_fp32", "upsample_bilinear_fp32"]


def measure():
    import model_inference as mi
    # A 64 MB copy: the bandwidth of main memory rather than of the caches.
    sec, nbytes = bench.kernel("copy", 4096, 4096, 1, 5)
    rows = [{"shape": "4096x4096x1", "kernel": "copy", "us": sec * 1e6, "gbps": nbytes / sec / 1e9}]
    for H, W, C in SHAPES:
        iters = max(20, int(2e8 // (H * W * C * 12)))
        for k in KERNELS:
            sec, nbytes = bench.kernel(k, H, W, C, iters)
            rows.append({"shape": f"{H}x{W}x{C}", "kernel": k, "us": sec * 1e6,
                         "gbps": nbytes / sec / 1e9})
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--threads", default="1,2", help="comma-separated OMP_NUM_THREADS values")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        json.dump(measure(), sys.stdout)
        return
    results = {}
    for t in a.threads.split(","):
        env = dict(os.environ, OMP_NUM_THREADS=t)
        out = subprocess.run([sys.executable, __file__, "--child"], env=env, check=True,
                             capture_output=True, text=True).stdout
        results[t] = json.loads(out)
    threads = list(results)
    print(f"{'shape':>12} {'kernel':>24} " + " ".join(f"{t + ' thr us':>11} {'GB/s':>7} {'%copy':>6}" for t in threads))
    for i, row in enumerate(results[threads[0]]):
        cells = []
        for t in threads:
            r = results[t][i]
            copy = next(c for c in results[t] if c["shape"] == r["shape"] and c["kernel"] == "copy")
            cells.append(f"{r['us']:11.1f} {r['gbps']:7.2f} {100 * r['gbps'] / copy['gbps']:5.0f}%")
        print(f"{row['shape']:>12} {row['kernel']:>24} " + " ".join(cells))


if __name__ == "__main__":
    main()
