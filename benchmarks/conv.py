"""Latency of ResNet-50 and MobileNetV2 shaped classifiers (224x224x3, random weights).

Our fp32 graphs run beside ONNX Runtime on the same PyTorch module exported to ONNX, and our
int8 ResNet-50 beside our fp32 one, on 1 and 2 threads (each thread count in its own process,
since OMP_NUM_THREADS is read at start-up). MobileNetV2 uses ReLU where the original has
ReLU6. Run from the repository root with the built module on PYTHONPATH:

    PYTHONPATH=build/dev:. python benchmarks/conv.py [--runs 20] [--profile]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

PEAK_MACS_PER_CYCLE = 16  # two 8-lane FMA units per core


class Builder:
    """Records a CNN once, as a PyTorch module and as our fp32 or int8 graph."""

    def __init__(self, torch, int8):
        self.torch, self.int8 = torch, int8
        self.rng = np.random.default_rng(0)
        self.steps, self.convs, self.tensors, self.nodes = [], {}, {}, []
        self.zp = {"x": 0}

    def _q(self, name):
        self.zp[name] = 0
        return {"in_zp": 0, "out_zp": 0} if self.int8 else {}

    def conv(self, src, c_in, c_out, k, stride=1, groups=1, relu=True):
        name = f"conv{len(self.convs)}"
        K = c_in // groups * k * k
        w = (self.rng.standard_normal((c_out, c_in // groups, k, k)) * np.sqrt(2.0 / K)).astype(np.float32)
        b = (self.rng.standard_normal(c_out) * 0.01).astype(np.float32)
        self.convs[name] = (w, b, stride, k // 2, groups, relu)
        self.steps.append(("conv", name, src))
        geo = dict(C_in=c_in, C_out=c_out, kH=k, kW=k, stride_h=stride, stride_w=stride,
                   pad_h=k // 2, pad_w=k // 2, groups=groups, **self._q(name))
        if self.int8:
            self.tensors.update({name + ".weight": self.rng.integers(-127, 128, w.shape, dtype=np.int8),
                                 name + ".req_scale": np.full(c_out, 30.0 / (74 * 74 * np.sqrt(K)), np.float32),
                                 name + ".eff_bias": np.zeros(c_out, np.int64)})
        else:
            self.tensors.update({name + ".weight": w, name + ".bias": b})
        self.nodes.append((name, "conv_int8" if self.int8 else "conv_fp32", [src], relu, geo))
        return name

    def add(self, a, b, relu):
        name = f"add{len(self.steps)}"
        self.steps.append(("add", name, (a, b), relu))
        args = dict(in1_scale=0.05, in1_zp=0, in2_scale=0.05, in2_zp=0, out_scale=0.05, out_zp=0) if self.int8 else {}
        self.nodes.append((name, "add_int8" if self.int8 else "add_fp32", [a, b], relu and not self.int8, args))
        return name

    def maxpool(self, src):
        self.steps.append(("maxpool", "pool", src))
        self.nodes.append(("pool", "maxpool_int8" if self.int8 else "maxpool_fp32", [src], False,
                           dict(kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1, pad_w=1)))
        return "pool"

    def head(self, src, c, classes=1000):
        self.steps.append(("head", "logits", src))
        W = (self.rng.standard_normal((classes, c)) / np.sqrt(c)).astype(np.float32)
        self.fc = W
        if self.int8:
            self.nodes.append(("gap", "avgpool_int8", [src], False,
                               dict(in_scale=0.05, in_zp=0, out_scale=0.05, out_zp=0)))
            self.nodes.append(("fc", "gemm_int8", ["gap"], False, dict(C_in=c, C_out=classes, in_zp=0)))
            self.tensors.update({"fc.weight": self.rng.integers(-127, 128, W.shape, dtype=np.int8),
                                 "fc.req_scale": np.full(classes, 1e-3, np.float32),
                                 "fc.eff_bias": np.zeros(classes, np.int64)})
        else:
            self.nodes.append(("gap", "avgpool_fp32", [src], False, {}))
            self.nodes.append(("fc", "gemm_fp32", ["gap"], False, dict(C_in=c, C_out=classes)))
            self.tensors["fc.weight"] = W
        return "logits"

    def write(self, directory, model):
        import model_inference_tools as mt
        a = mt.Arch(model=model)
        a.add_input("x", [224, 224, 3], dtype="int8" if self.int8 else "float32")
        for name, op, inputs, relu, args in self.nodes:
            a.add(name, op, inputs, "logits" if name == "fc" else name, relu=relu or None, **args)
        a.outputs = ["logits"]
        arch, weights = os.path.join(directory, model + ".json"), os.path.join(directory, model + ".bin")
        a.write(arch)
        mt.write_weights(weights, self.tensors)
        return arch, weights

    def module(self):
        torch, steps, convs, fc = self.torch, self.steps, self.convs, self.fc
        F = torch.nn.functional

        class Net(torch.nn.Module):
            def __init__(self):
                super().__init__()
                self.p = torch.nn.ParameterDict()
                for n, (w, b, *_rest) in convs.items():
                    self.p[n + "_w"] = torch.nn.Parameter(torch.from_numpy(w))
                    self.p[n + "_b"] = torch.nn.Parameter(torch.from_numpy(b))
                self.p["fc"] = torch.nn.Parameter(torch.from_numpy(fc))

            def forward(self, x):
                v = {"x": x}
                for step in steps:
                    kind, name = step[0], step[1]
                    if kind == "conv":
                        _, _, s, p, g, relu = convs[name]
                        y = F.conv2d(v[step[2]], self.p[name + "_w"], self.p[name + "_b"], s, p, 1, g)
                        v[name] = F.relu(y) if relu else y
                    elif kind == "add":
                        y = v[step[2][0]] + v[step[2][1]]
                        v[name] = F.relu(y) if step[3] else y
                    elif kind == "maxpool":
                        v[name] = F.max_pool2d(v[step[2]], 3, 2, 1)
                    else:
                        v[name] = v[step[2]].mean((2, 3)) @ self.p["fc"].t()
                return v["logits"]

        return Net().eval()


def resnet50(b):
    x = b.maxpool(b.conv("x", 3, 64, 7, 2))
    c = 64
    for mid, blocks, stride in [(64, 3, 1), (128, 4, 2), (256, 6, 2), (512, 3, 2)]:
        for i in range(blocks):
            s = stride if i == 0 else 1
            y = b.conv(b.conv(b.conv(x, c, mid, 1), mid, mid, 3, s), mid, 4 * mid, 1, relu=False)
            short = b.conv(x, c, 4 * mid, 1, s, relu=False) if i == 0 else x
            x, c = b.add(y, short, True), 4 * mid
    return b.head(x, c)


def mobilenet_v2(b):
    x, c = b.conv("x", 3, 32, 3, 2), 32
    for t, co, n, s in [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2), (6, 96, 3, 1),
                        (6, 160, 3, 2), (6, 320, 1, 1)]:
        for i in range(n):
            stride, mid = (s if i == 0 else 1), c * t
            y = b.conv(x, c, mid, 1) if t != 1 else x
            y = b.conv(y, mid, mid, 3, stride, groups=mid)
            y = b.conv(y, mid, co, 1, relu=False)
            x, c = (b.add(y, x, False) if stride == 1 and c == co else y), co
    return b.head(b.conv(x, c, 1280, 1), 1280)


def stats(times):
    t = np.sort(np.array(times) * 1e3)
    return float(np.median(t)), float(np.percentile(t, 90))


def worker(threads, runs, profile):
    import model_inference as mi
    import onnxruntime as ort
    import torch
    torch.set_num_threads(threads)
    out = {}
    with tempfile.TemporaryDirectory() as d:
        for model, build, int8 in [("resnet50", resnet50, False), ("mobilenet_v2", mobilenet_v2, False),
                                   ("resnet50_int8", resnet50, True)]:
            b = Builder(torch, int8)
            build(b)
            m = mi.InferenceModel(*b.write(d, model))
            x = np.random.default_rng(1).standard_normal((224, 224, 3)).astype(np.float32)
            xin = np.clip(np.round(x * 30), -128, 127).astype(np.int8) if int8 else x
            m.forward(xin)
            m.reset_profile()
            times = []
            for _ in range(runs):
                t0 = time.perf_counter()
                m.forward(xin)
                times.append(time.perf_counter() - t0)
            row = {"ours": stats(times)}
            if profile:
                prof = {k: v / runs for k, v in m.layer_profile().items()}
                row["slowest"] = sorted(prof.items(), key=lambda kv: -kv[1])[:6]
                row["ops"] = {k: v / runs for k, v in m.op_profile().items()}
            if not int8:
                path = os.path.join(d, model + ".onnx")
                torch.onnx.export(b.module(), torch.from_numpy(x).permute(2, 0, 1)[None].contiguous(),
                                  path, dynamo=False)
                so = ort.SessionOptions()
                so.intra_op_num_threads = threads
                so.inter_op_num_threads = 1
                sess = ort.InferenceSession(path, so, providers=["CPUExecutionProvider"])
                xo = {sess.get_inputs()[0].name: x.transpose(2, 0, 1)[None].copy()}
                sess.run(None, xo)
                times = []
                for _ in range(runs):
                    t0 = time.perf_counter()
                    sess.run(None, xo)
                    times.append(time.perf_counter() - t0)
                row["ort"] = stats(times)
            out[model] = row
    print(json.dumps(out))


def mhz():
    try:
        with open("/proc/cpuinfo") as f:
            return max(float(l.split(":")[1]) for l in f if l.startswith("cpu MHz"))
    except (OSError, ValueError):
        return 0.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=20)
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--worker", type=int, default=0)
    a = ap.parse_args()
    if a.worker:
        worker(a.worker, a.runs, a.profile)
        return
    macs = {"resnet50": 4.1e9, "mobilenet_v2": 0.3e9, "resnet50_int8": 4.1e9}
    ghz = mhz() / 1e3
    print(f"clock {ghz:.2f} GHz (cpuinfo), AVX2 peak {PEAK_MACS_PER_CYCLE} fp32 MAC/cycle/core")
    print(f"{'model':<14} {'thr':>3} {'ours med':>9} {'p90':>8} {'ort med':>8} {'p90':>8} "
          f"{'ours/ort':>8} {'% peak':>7}")
    results = {}
    for threads in (1, 2):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        cmd = [sys.executable, __file__, "--worker", str(threads), "--runs", str(a.runs)]
        if a.profile:
            cmd.append("--profile")
        res = json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True,
                                        text=True).stdout.strip().splitlines()[-1])
        results[threads] = res
        for model, row in res.items():
            med, p90 = row["ours"]
            peak = macs[model] / (med * 1e-3) / (ghz * 1e9 * PEAK_MACS_PER_CYCLE * threads) * 100 if ghz else 0
            if "ort" in row:
                om, op = row["ort"]
                print(f"{model:<14} {threads:>3} {med:9.1f} {p90:8.1f} {om:8.1f} {op:8.1f} "
                      f"{med / om:8.2f} {peak:6.0f}%")
            else:
                fp = res["resnet50"]["ours"][0]
                print(f"{model:<14} {threads:>3} {med:9.1f} {p90:8.1f} {'':>8} {'':>8} "
                      f"{'':>8} {peak:6.0f}%  (fp32/int8 = {fp / med:.2f})")
            if a.profile:
                for name, ms in row["slowest"]:
                    print(f"    {name:<12} {ms:8.2f} ms/run")
                print("    ms/run by op: " + ", ".join(f"{k} {v:.1f}" for k, v in
                                              sorted(row["ops"].items(), key=lambda kv: -kv[1])))


if __name__ == "__main__":
    main()
