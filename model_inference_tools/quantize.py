"""Int8 post-training quantisation of a PyTorch module into an engine model.

Activations are quantised per tensor, asymmetric: real = scale * (q - zp) with q in
[-128, 127] and a range that always contains 0 (so zero padding is exact). Weights are
quantised per output channel, symmetric, to [-63, 63] (7 bits, the default: they select the
engine's kernel that multiplies unsigned 8-bit activations by 7-bit weights) or to
[-127, 127] with ``weight_bits=8``.
For a layer with input (s_x, z_x), weight scales s_w[c] and output (s_y, z_y):

    acc[c]      = sum q_x * q_w                       (what the kernels accumulate)
    eff_bias[c] = round(bias[c] / (s_x s_w[c])) - z_x * sum q_w[c] + r[c]
    req_scale[c]= s_x s_w[c] / s_y                     (s_x s_w[c] for the float-output dense)

r[c] undoes the rounding bias of the requantisation. Except for the depthwise 3x3 loop,
the int8 convolution paths round the product by the fixed-point multiplier to an integer t
and then shift t right by k = -shift bits, which floors: on average that loses
(2^k - 1) / 2 units of t, so without a correction every output would be almost half a step
low, a bias that adds up through a deep network. r[c] = (2^(k-1) - 1/2) * 2^31 / multiplier
(rounded) puts those units back; the floor then rounds to nearest, unbiased.

A ReLU or ReLU6 after a layer folds into its output range: the range starts at 0, so
z_y = -128 and saturation does the clamping.

3x3 stride-1 convolutions can run on the engine's int8 Winograd path, which requantises
its transformed weights per position and its transformed inputs by 1/4 and so adds error
beyond the int8 arithmetic. By default the quantiser keeps such layers on the exact path
(node argument "winograd": 0); ``winograd=True`` leaves the faster path to the engine.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Iterable

import numpy as np
import torch
from torch import fx

from model_inference_tools.arch import Arch
from model_inference_tools.engine_io import write_model
from model_inference_tools.export import input_dims
from model_inference_tools.graph import ExportError, Graph, lower

_SAMPLES_PER_BATCH = 1 << 16


@dataclass
class QParams:
    scale: float  # a float32 value
    zp: int


def choose_qparams(lo: float, hi: float) -> QParams:
    """Scale and zero point covering [lo, hi] widened to contain 0."""
    lo, hi = min(float(lo), 0.0), max(float(hi), 0.0)
    scale = float(np.float32(max((hi - lo) / 255.0, 1e-8)))
    zp = int(np.clip(np.round(-128.0 - lo / scale), -128, 127))
    return QParams(scale, zp)


def quantize_weights(w: np.ndarray, bits: int = 8) -> tuple[np.ndarray, np.ndarray]:
    """Per-output-channel symmetric int8 weights in [-(2^(bits-1) - 1), 2^(bits-1) - 1] and
    their float64 scales."""
    if bits not in (7, 8):
        raise ValueError(f"weight_bits must be 7 or 8, got {bits}")
    top = (1 << (bits - 1)) - 1
    flat = w.reshape(w.shape[0], -1).astype(np.float64)
    absmax = np.abs(flat).max(axis=1)
    scales = np.where(absmax > 0, absmax / top, 1.0)
    q = np.clip(np.round(flat / scales[:, None]), -top, top).astype(np.int8)
    return q.reshape(w.shape), scales


def fixed_point(scale: float) -> tuple[int, int]:
    """The engine's (multiplier, shift) of a positive scale: scale = multiplier * 2^(shift-31)
    with the multiplier in [2^30, 2^31)."""
    m, e = math.frexp(float(scale))
    q = int(math.floor(m * 2.0 ** 31 + 0.5))
    if q == 1 << 31:
        q, e = 1 << 30, e + 1
    return q, e


def rounding_offset(req_scale: np.ndarray) -> np.ndarray:
    """Per channel, the accumulator offset that makes the two-step requantisation (product
    rounded to an integer t, then an arithmetic right shift by k = -shift) unbiased: the
    shift floors an integer, losing (2^k - 1) / 2 units of t on average, so the offset is
    (2^(k-1) - 1/2) units of t in accumulator units."""
    out = np.zeros(len(req_scale), np.int64)
    for c, r in enumerate(req_scale):
        m, e = fixed_point(r)
        if e < 0:
            out[c] = int(round((2.0 ** (-e - 1) - 0.5) * 2.0 ** 31 / m))
    return out


def rounds_in_one_step(args: dict) -> bool:
    """Whether the engine runs this conv_int8 node on its depthwise 3x3 loop, the one path
    that requantises in a single rounding."""
    return (args["groups"] > 1 and args["groups"] == args["C_in"] == args["C_out"]
            and args["kH"] == args["kW"] == 3 and args["pad_h"] == args["pad_w"] == 1
            and args["stride_h"] == args["stride_w"] in (1, 2))


def winograd_shaped(args: dict) -> bool:
    """Whether the engine may run this conv_int8 node on its int8 Winograd path."""
    return (args["kH"] == args["kW"] == 3 and args["stride_h"] == args["stride_w"] == 1
            and args["pad_h"] == args["pad_w"] == 1 and args["groups"] == 1)


def effective_bias(bias: np.ndarray, acc_scale: np.ndarray, qw: np.ndarray, in_zp: int) -> np.ndarray:
    row_sums = qw.reshape(qw.shape[0], -1).astype(np.int64).sum(axis=1)
    return (np.round(bias.astype(np.float64) / acc_scale).astype(np.int64) - in_zp * row_sums)


class _Observer:
    def __init__(self, method: str, percentile: float, seed: int = 0):
        self.method, self.percentile = method, percentile
        self.lo, self.hi = np.inf, -np.inf
        self.samples: list = []
        self.rng = np.random.default_rng(seed)

    def update(self, t: torch.Tensor) -> None:
        v = t.detach().float().reshape(-1).numpy()
        if self.method == "minmax":
            self.lo, self.hi = min(self.lo, float(v.min())), max(self.hi, float(v.max()))
        else:
            if v.size > _SAMPLES_PER_BATCH:
                v = self.rng.choice(v, _SAMPLES_PER_BATCH, replace=False)
            self.samples.append(v)

    def range(self) -> tuple[float, float]:
        if self.method == "minmax":
            return self.lo, self.hi
        v = np.concatenate(self.samples)
        return float(np.percentile(v, 100.0 - self.percentile)), float(np.percentile(v, self.percentile))


class _Recorder(fx.Interpreter):
    def __init__(self, gm: fx.GraphModule, observers: dict):
        super().__init__(gm)
        self.observers = observers

    def run_node(self, n: fx.Node):
        out = super().run_node(n)
        if n.name in self.observers:
            self.observers[n.name].update(out)
        return out


def calibrate(graph: Graph, batches: list, method: str = "minmax", percentile: float = 99.99,
              progress: Callable[[int, int], None] | None = None) -> dict:
    """Per-tensor (lo, hi) ranges of every engine tensor over the calibration batches."""
    if method not in ("minmax", "percentile"):
        raise ValueError(f"unknown calibration method {method!r} (minmax or percentile)")
    if method == "percentile" and not 50.0 < percentile <= 100.0:
        raise ValueError(f"percentile must be in (50, 100], got {percentile}")
    names = {graph.input_name} | {op.output for op in graph.ops}
    observers = {n: _Observer(method, percentile) for n in names}
    recorder = _Recorder(graph.fx_graph, observers)
    with torch.no_grad():
        for i, batch in enumerate(batches):
            recorder.run(torch.as_tensor(batch).float())
            if progress is not None:
                progress(i + 1, len(batches))
    return {n: o.range() for n, o in observers.items()}


def _widen_for_requant(q: QParams, acc_scales: np.ndarray, lo: float) -> QParams:
    """The int8-output kernels need every requantisation scale below 1: raise the output
    scale where a near-constant output would make it 1 or more."""
    if float(np.max(np.float32(acc_scales / q.scale))) < 1.0:
        return q
    scale = float(np.float32(np.max(acc_scales) * 1.001))
    return QParams(scale, int(np.clip(np.round(-128.0 - min(lo, 0.0) / scale), -128, 127)))


def build_int8(graph: Graph, ranges: dict, model_name: str, weight_bits: int = 7,
               winograd: bool = False) -> tuple[dict, dict]:
    """The architecture document and weight tensors of the int8 form of ``graph``."""
    q = {graph.input_name: choose_qparams(*ranges[graph.input_name])}
    consumers = {name: 0 for name in graph.layouts}
    for op in graph.ops:
        for i in op.inputs:
            consumers[i] += 1
    arch = Arch(model=model_name)
    qi = q[graph.input_name]
    arch.add_input(graph.input_name, input_dims(graph.input_layout), dtype="int8",
                   scale=qi.scale, zp=qi.zp)
    tensors: dict = {}
    for op in graph.ops:
        ins = [q[i] for i in op.inputs]
        if op.kind == "conv":
            if op.args["dilation_h"] != 1 or op.args["dilation_w"] != 1:
                raise ExportError(f"{op.where}: dilated convolution has no int8 form")
            qw, ws = quantize_weights(op.weight, weight_bits)
            acc = ins[0].scale * ws
            out = _widen_for_requant(choose_qparams(*ranges[op.output]), acc, ranges[op.output][0])
            q[op.output] = out
            args = {k: v for k, v in op.args.items() if not k.startswith("dilation")}
            if winograd_shaped(args) and not winograd:
                args["winograd"] = 0
            req = (acc / out.scale).astype(np.float32)
            bias = effective_bias(op.bias, acc, qw, ins[0].zp)
            if not rounds_in_one_step(args):
                bias += rounding_offset(req)
            arch.add(op.name, "conv_int8", op.inputs, op.output, in_zp=ins[0].zp, out_zp=out.zp, **args)
            tensors[op.name + ".weight"] = qw
            tensors[op.name + ".req_scale"] = req
            tensors[op.name + ".eff_bias"] = bias
        elif op.kind == "dense":
            if consumers[op.output] or op.act == "relu6":
                raise ExportError(
                    f"{op.where}: an int8 dense layer outputs float values, so it must be the "
                    "last layer, with at most a ReLU after it")
            qw, ws = quantize_weights(op.weight, weight_bits)
            acc = ins[0].scale * ws
            arch.add(op.name, "gemm_int8", op.inputs, op.output, relu=op.act == "relu",
                     in_zp=ins[0].zp, **op.args)
            tensors[op.name + ".weight"] = qw
            tensors[op.name + ".req_scale"] = acc.astype(np.float32)
            tensors[op.name + ".eff_bias"] = effective_bias(op.bias, acc, qw, ins[0].zp)
        elif op.kind == "add":
            out = q[op.output] = choose_qparams(*ranges[op.output])
            arch.add(op.name, "add_int8", op.inputs, op.output,
                     in1_scale=ins[0].scale, in1_zp=ins[0].zp, in2_scale=ins[1].scale,
                     in2_zp=ins[1].zp, out_scale=out.scale, out_zp=out.zp)
        elif op.kind == "maxpool":
            q[op.output] = ins[0]  # max pooling keeps its input's quantisation
            arch.add(op.name, "maxpool_int8", op.inputs, op.output, in_zp=ins[0].zp,
                     out_zp=ins[0].zp, **op.args)
        elif op.kind == "avgpool":
            out = q[op.output] = choose_qparams(*ranges[op.output])
            arch.add(op.name, "avgpool_int8", op.inputs, op.output, in_scale=ins[0].scale,
                     in_zp=ins[0].zp, out_scale=out.scale, out_zp=out.zp)
        else:
            what = "bilinear resizing" if op.kind == "upsample" else f"activation {op.args['fn']}"
            hint = " (a ReLU folds only into the convolution, addition or pooling before it)" \
                if op.kind == "act" and op.args["fn"] in ("relu", "relu6") else ""
            raise ExportError(f"{op.where}: {what} has no int8 form{hint}")
    float_outputs = {op.output for op in graph.ops if op.kind == "dense"}
    for name in graph.outputs:
        if name not in float_outputs:
            raise ExportError(f"output '{name}' would be int8 codes: an int8 model must end "
                              "with a Linear layer, whose output is float")
    arch.outputs = list(graph.outputs)
    return arch.to_json(), tensors


def quantize(module, calibration_batches: Iterable, arch_path=None, weights_path=None,
             method: str = "minmax", percentile: float = 99.99,
             progress: Callable[[int, int], None] | None = None,
             model_name: str | None = None, weight_bits: int = 7,
             winograd: bool = False) -> tuple[dict, dict]:
    """Quantise ``module`` (in eval mode) to int8 from calibration batches, each an
    (N, C, H, W) or (N, K) tensor or array. Writes the two files when both paths are
    given; returns the architecture document and the weight tensors.

    Weights lie in [-63, 63] (``weight_bits=7``) or in [-127, 127] (``weight_bits=8``, one
    more bit of weight precision on the slower 8-bit kernel); ``winograd=True`` lets the engine
    run 3x3 stride-1 convolutions on its faster, less accurate int8 Winograd path."""
    if weight_bits not in (7, 8):
        raise ValueError(f"weight_bits must be 7 or 8, got {weight_bits}")
    batches = [torch.as_tensor(b).float() for b in calibration_batches]
    if not batches:
        raise ValueError("quantisation needs at least one calibration batch")
    graph = lower(module, batches[0][:1])
    ranges = calibrate(graph, batches, method, percentile, progress)
    doc, tensors = build_int8(graph, ranges, model_name or type(module).__name__, weight_bits,
                              winograd)
    if arch_path is not None and weights_path is not None:
        write_model(arch_path, weights_path, doc, tensors)
    return doc, tensors
