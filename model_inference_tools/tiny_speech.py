"""A small text-to-speech graph end to end, as a PyTorch module and as an engine model.

From token ids and a style vector to a waveform: token and BERT-style embeddings, a 1-D
convolution and a bidirectional LSTM over the tokens, a duration head (a sigmoid per bin,
summed), length regulation to frames, two AdaIN blocks conditioned on the style, an F0
head whose track drives a harmonic sine source at sample rate (phase built at frame rate),
a transposed-convolution upsampler with the source mixed in by a strided convolution, a
residual block with Snake activations, and log-magnitude and phase rows turned into the
waveform by the inverse STFT. The sizes are small so that tests run it in milliseconds;
``TinySpeechConfig`` scales it for benchmarks.

    module = TinySpeech(TinySpeechConfig()).eval()
    write_tiny_speech(module, "speech.json", "speech.bin")
    model = InferenceModel("speech.json", "speech.bin")
    out = model.forward({"tokens": ids[:, None].astype(np.float32), "style": style})
    out["wave"], out["dur"]

The engine rounds durations half away from zero after scaling them by 1 / speed; the module
does the same (``frames_of``), so ``module(tokens, style, speed)`` and the engine after
``set_speed(speed)`` expand to the same number of frames.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from model_inference_tools.arch import Arch, write_arch
from model_inference_tools.weights import write_weights


@dataclass
class TinySpeechConfig:
    vocab: int = 40
    dim: int = 32  # embedding and text channels
    positions: int = 256
    lstm_hidden: int = 16  # per direction: 2 * lstm_hidden must equal dim
    style: int = 16
    dur_bins: int = 8  # each token lasts up to this many frames before the speed
    gen_channels: int = 16
    upsample: int = 4  # transposed-convolution stride: spectral frames per text frame
    n_fft: int = 20
    hop: int = 5
    harmonic_num: int = 8
    sample_rate: int = 24000
    f0_max: float = 300.0

    @property
    def samples_per_frame(self) -> int:
        return self.upsample * self.hop


def frames_of(durations, speed: float = 1.0) -> np.ndarray:
    """Frames per token as the length regulator counts them: max(round(d / speed), 1) with
    the scale 1 / speed in float32 and halves away from zero."""
    scale = np.float32(1) / np.float32(speed)
    v = (scale * np.asarray(durations, np.float32)).astype(np.float64)
    return np.maximum(np.sign(v) * np.floor(np.abs(v) + 0.5), 1).astype(np.int64)


class AdaIN1d(nn.Module):
    def __init__(self, style: int, channels: int):
        super().__init__()
        self.norm = nn.InstanceNorm1d(channels, affine=True)
        self.fc = nn.Linear(style, 2 * channels)

    def forward(self, x, s):  # x (1, C, L), s (1, S)
        gamma, beta = self.fc(s)[..., None].chunk(2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


class Snake(nn.Module):
    def __init__(self, channels: int):
        super().__init__()
        self.alpha = nn.Parameter(torch.ones(1, channels, 1))

    def forward(self, x):
        return x + torch.sin(self.alpha * x) ** 2 / (self.alpha + 1e-9)


def interpolate_at(v, pos):
    """Linear interpolation of v (1-D) at positions pos, both indices clamped."""
    fl = torch.floor(pos)
    frac = pos - fl
    a = fl.long().clamp(0, v.numel() - 1)
    b = (fl.long() + 1).clamp(0, v.numel() - 1)
    return v[a] * (1 - frac) + v[b] * frac


def sine_source(f0, harmonics: int, sample_rate: int, upsample: int, amp=0.1, threshold=10.0):
    """Harmonic source with its phase built at frame rate: f0 (n samples) -> (n, harmonics).
    The products keep the engine's order, so that in float32 the large phases of long
    inputs round alike."""
    n = f0.numel()
    M = n // upsample
    j = torch.arange(M, dtype=f0.dtype)
    i = torch.arange(n, dtype=f0.dtype)
    cols = []
    for h in range(harmonics):
        v = ((h + 1) * f0) * (1.0 / sample_rate)
        rad = v - torch.trunc(v)
        rad = torch.where(rad < 0, rad + 1, rad)
        down = interpolate_at(rad, (j + 0.5) * upsample - 0.5)
        cum = torch.cumsum(down.double(), 0).to(f0.dtype)
        p = interpolate_at(cum, (i + 0.5) / upsample - 0.5)
        cols.append(torch.where(f0 > threshold, amp * torch.sin((p * upsample) * (2 * np.pi)),
                                torch.zeros_like(f0)))
    return torch.stack(cols, 1)


class TinySpeech(nn.Module):
    def __init__(self, cfg: TinySpeechConfig):
        super().__init__()
        self.cfg = c = cfg
        assert 2 * c.lstm_hidden == c.dim
        self.emb = nn.Embedding(c.vocab, c.dim)
        self.word = nn.Parameter(torch.randn(c.vocab, c.dim))
        self.pos = nn.Parameter(torch.randn(c.positions, c.dim))
        self.token_type = nn.Parameter(torch.randn(2, c.dim))
        self.bert_norm = nn.LayerNorm(c.dim, eps=1e-12)
        self.enc_conv = nn.Conv1d(c.dim, c.dim, 5, padding=2)
        self.lstm = nn.LSTM(c.dim, c.lstm_hidden, batch_first=True, bidirectional=True)
        self.dur_proj = nn.Conv1d(c.dim, c.dur_bins, 1)
        self.ada1 = AdaIN1d(c.style, c.dim)
        self.dec1 = nn.Conv1d(c.dim, c.dim, 3, padding=1)
        self.ada2 = AdaIN1d(c.style, c.dim)
        self.dec2 = nn.Conv1d(c.dim, c.dim, 3, padding=1)
        self.f0_proj = nn.Conv1d(c.dim, 1, 3, padding=1)
        self.src_merge = nn.Conv1d(c.harmonic_num + 1, 1, 1)
        self.src_down = nn.Conv1d(1, c.gen_channels, c.hop, stride=c.hop)
        self.up = nn.ConvTranspose1d(c.dim, c.gen_channels, 2 * c.upsample, stride=c.upsample,
                                     padding=c.upsample // 2)
        self.rb_s1, self.rb_s2 = Snake(c.gen_channels), Snake(c.gen_channels)
        self.rb_c1 = nn.Conv1d(c.gen_channels, c.gen_channels, 3, padding=1)
        self.rb_c2 = nn.Conv1d(c.gen_channels, c.gen_channels, 3, padding=3, dilation=3)
        self.post = nn.Conv1d(c.gen_channels, c.n_fft + 2, 7, padding=3)

    def forward(self, tokens, style, speed: float = 1.0):
        """tokens: T ids (int64), style: S floats. Returns the waveform, the durations
        before rounding and the frames per token."""
        c = self.cfg
        T = tokens.numel()
        e = self.emb(tokens).T[None]  # (1, D, T)
        b = self.bert_norm(self.word[tokens] + self.pos[:T] + self.token_type[0])  # (T, D)
        h = F.relu(self.enc_conv(e))
        h = self.lstm(h.transpose(1, 2))[0][0] + b  # (T, D)
        dur = torch.sigmoid(self.dur_proj(h.T[None]))[0].sum(0)  # (T,)
        frames = torch.from_numpy(frames_of(dur.detach().float().numpy(), speed))
        fr = torch.repeat_interleave(h, frames, dim=0).T[None]  # (1, D, L)
        s = style[None]
        x = self.dec1(F.leaky_relu(self.ada1(fr, s), 0.2))
        x = self.dec2(F.leaky_relu(self.ada2(x, s), 0.2)) + fr
        f0 = c.f0_max * torch.sigmoid(self.f0_proj(x))[0, 0]  # (L,)
        f0_up = torch.repeat_interleave(f0, c.samples_per_frame)
        sines = sine_source(f0_up, c.harmonic_num + 1, c.sample_rate, c.samples_per_frame)
        src = torch.tanh(self.src_merge(sines.T[None]))
        g = self.up(F.leaky_relu(x, 0.1)) + self.src_down(src)
        g = self.rb_c2(self.rb_s2(self.rb_c1(self.rb_s1(g)))) + g
        spectrum = self.post(F.leaky_relu(g, 0.01))[0]  # (n_fft + 2, F)
        B = c.n_fft // 2 + 1
        X = torch.polar(torch.exp(spectrum[:B]), torch.sin(spectrum[B:]))
        window = torch.hann_window(c.n_fft, dtype=spectrum.dtype)
        wave = torch.istft(X, c.n_fft, c.hop, window=window, center=True,
                           length=c.hop * (X.shape[1] - 1))
        return wave, dur, frames


def _np(t) -> np.ndarray:
    return t.detach().float().numpy().copy()


def tiny_speech_arch(cfg: TinySpeechConfig, name: str = "tiny_speech") -> Arch:
    c = cfg
    D, G, B = c.dim, c.gen_channels, c.n_fft // 2 + 1
    a = Arch(model=name, outputs=["wave", "dur"])
    a.add_input("tokens", [0, 1])
    a.add_input("style", [c.style])
    a.add("emb", "embedding_fp32", ["tokens"], "e", num_embeddings=c.vocab, embedding_dim=D)
    a.add("bert", "bert_embeddings_fp32", ["tokens"], "b", emb_size=D)
    a.add("enc_conv", "conv1d_fp32", ["e"], "c1", relu=True, C_in=D, C_out=D, kernel_size=5,
          padding=2)
    a.add("lstm", "lstm_fp32", ["c1"], "h", hidden_size=c.lstm_hidden, bidirectional=True)
    a.add("mix", "add_fp32", ["h", "b"], "hb")
    a.add("dur_proj", "conv1d_fp32", ["hb"], "dp", C_in=D, C_out=c.dur_bins, kernel_size=1)
    a.add("dur_sig", "sigmoid_fp32", ["dp"], "ds")
    a.add("dur_sum", "sum_channels_fp32", ["ds"], "dur")
    a.add("regulate", "length_regulate_fp32", ["hb", "dur"], "fr")
    a.add("ada1", "ada_in1d_fp32", ["fr", "style"], "a1", C=D, C_style=c.style)
    a.add("act1", "leaky_relu_fp32", ["a1"], "l1", alpha=0.2)
    a.add("dec1", "conv1d_fp32", ["l1"], "d1", C_in=D, C_out=D, kernel_size=3, padding=1)
    a.add("ada2", "ada_in1d_fp32", ["d1", "style"], "a2", C=D, C_style=c.style)
    a.add("act2", "leaky_relu_fp32", ["a2"], "l2", alpha=0.2)
    a.add("dec2", "conv1d_fp32", ["l2"], "d2", C_in=D, C_out=D, kernel_size=3, padding=1)
    a.add("dec_res", "add_fp32", ["d2", "fr"], "x")
    a.add("f0_proj", "conv1d_fp32", ["x"], "fp", C_in=D, C_out=1, kernel_size=3, padding=1)
    a.add("f0_sig", "sigmoid_fp32", ["fp"], "fs")
    a.add("f0_hz", "scale_fp32", ["fs"], "f0", scalar=c.f0_max)
    a.add("f0_up", "upsample_nearest1d_fp32", ["f0"], "f0u", scale_factor=c.samples_per_frame)
    a.add("sine", "sine_gen_fp32", ["f0u"], "sh", sample_rate=c.sample_rate,
          harmonic_num=c.harmonic_num, upsample_scale=c.samples_per_frame)
    a.add("src_merge", "conv1d_fp32", ["sh"], "sm", C_in=c.harmonic_num + 1, C_out=1,
          kernel_size=1)
    a.add("src_tanh", "tanh_fp32", ["sm"], "src")
    a.add("src_down", "conv1d_fp32", ["src"], "sd", C_in=1, C_out=G, kernel_size=c.hop,
          stride=c.hop)
    a.add("gen_act", "leaky_relu_fp32", ["x"], "gx", alpha=0.1)
    a.add("up", "conv_transpose1d_fp32", ["gx"], "u", C_in=D, C_out=G,
          kernel_size=2 * c.upsample, stride=c.upsample, padding=c.upsample // 2)
    a.add("gen_mix", "add_fp32", ["u", "sd"], "g")
    a.add("rb_s1", "snake1d_fp32", ["g"], "rs1")
    a.add("rb_c1", "conv1d_fp32", ["rs1"], "rc1", C_in=G, C_out=G, kernel_size=3, padding=1)
    a.add("rb_s2", "snake1d_fp32", ["rc1"], "rs2")
    a.add("rb_c2", "conv1d_fp32", ["rs2"], "rc2", C_in=G, C_out=G, kernel_size=3, padding=3,
          dilation=3)
    a.add("rb_res", "add_fp32", ["rc2", "g"], "gr")
    a.add("post_act", "leaky_relu_fp32", ["gr"], "pa", alpha=0.01)
    a.add("post", "conv1d_fp32", ["pa"], "spectrum", C_in=G, C_out=c.n_fft + 2, kernel_size=7,
          padding=3)
    a.add("mag_log", "slice_channels_fp32", ["spectrum"], "ml", ch_start=0, ch_end=B)
    a.add("mag", "exp_fp32", ["ml"], "mg")
    a.add("phase_raw", "slice_channels_fp32", ["spectrum"], "pr", ch_start=B, ch_end=2 * B)
    a.add("phase", "sin_fp32", ["pr"], "ph")
    a.add("istft", "istft_fp32", ["mg", "ph"], "wave", n_fft=c.n_fft, hop_size=c.hop,
          normalized=True)
    return a


def tiny_speech_tensors(m: TinySpeech) -> dict:
    """The module's weights under the engine's tensor names."""
    t = {"emb.weight": _np(m.emb.weight), "bert.word_weight": _np(m.word),
         "bert.pos_weight": _np(m.pos), "bert.type_weight": _np(m.token_type),
         "bert.layernorm.weight": _np(m.bert_norm.weight),
         "bert.layernorm.bias": _np(m.bert_norm.bias)}
    for k, v in m.lstm.state_dict().items():
        t[f"lstm.{k}"] = _np(v)
    for node in ("enc_conv", "dur_proj", "dec1", "dec2", "f0_proj", "src_merge", "src_down",
                 "up", "rb_c1", "rb_c2", "post"):
        conv = getattr(m, node)
        t[f"{node}.weight"] = _np(conv.weight)
        t[f"{node}.bias"] = _np(conv.bias)
    for node in ("ada1", "ada2"):
        for k, v in getattr(m, node).state_dict().items():
            t[f"{node}.{k}"] = _np(v)
    for node in ("rb_s1", "rb_s2"):
        t[f"{node}.alpha"] = _np(getattr(m, node).alpha)
    return t


def write_tiny_speech(m: TinySpeech, arch_path, weights_path, name: str = "tiny_speech") -> None:
    write_arch(arch_path, tiny_speech_arch(m.cfg, name).to_json())
    write_weights(weights_path, tiny_speech_tensors(m))


def randomised(m: TinySpeech, seed: int) -> TinySpeech:
    """Random weights that keep activations near unit size (so that exp and the recurrences
    stay in range): matrices with deviation 1 / sqrt(fan in), vectors 0.1, norm weights near
    1, Snake alphas positive."""
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, p in m.named_parameters():
            r = torch.randn(p.shape, generator=g)
            if p.dim() >= 2:
                p.copy_(r / np.sqrt(p[0].numel()))
            elif name.endswith("norm.weight"):
                p.copy_(1 + 0.1 * r)
            else:
                p.copy_(0.1 * r)
            if name.endswith("alpha"):
                p.abs_().add_(0.2)
    return m.eval()
