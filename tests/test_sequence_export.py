"""Export of sequence modules (LSTM, AdaIN, adaptive layer norm, Snake, reflection padding,
nearest upsampling) from plain PyTorch modules, run by the engine against PyTorch."""
import os

import numpy as np
import pytest
import torch
import torch.nn.functional as F
from torch import nn

import model_inference as mi
from harness import forward
from model_inference_tools.export import export
from model_inference_tools.graph import ExportError
from model_inference_tools.sequence_graph import BATCH_FIRST, TIME_FIRST, to_time_major

torch.set_num_threads(1)


class AdaIN1d(nn.Module):
    def __init__(self, style_dim, num_features):
        super().__init__()
        self.norm = nn.InstanceNorm1d(num_features, affine=True)
        self.fc = nn.Linear(style_dim, num_features * 2)

    def forward(self, x, s):
        h = self.fc(s)
        h = h.view(h.size(0), h.size(1), 1)
        gamma, beta = torch.chunk(h, chunks=2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


class AdaLayerNorm(nn.Module):
    """As StyleTTS2 writes it: its own layer norm over the last axis of a (1, L, C) input."""

    def __init__(self, style_dim, channels, eps=1e-5):
        super().__init__()
        self.channels, self.eps = channels, eps
        self.fc = nn.Linear(style_dim, channels * 2)

    def forward(self, x, s):
        x = x.transpose(-1, -2)
        x = x.transpose(1, -1)
        h = self.fc(s)
        h = h.view(h.size(0), h.size(1), 1)
        gamma, beta = torch.chunk(h, chunks=2, dim=1)
        gamma, beta = gamma.transpose(1, -1), beta.transpose(1, -1)
        x = F.layer_norm(x, (self.channels,), eps=self.eps)
        x = (1 + gamma) * x + beta
        return x.transpose(1, -1).transpose(-1, -2)


class LayerNormStyle(nn.Module):
    """The other spelling: a LayerNorm without affine parameters plus the style fc."""

    def __init__(self, style_dim, channels):
        super().__init__()
        self.norm = nn.LayerNorm(channels, elementwise_affine=False)
        self.fc = nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):
        gamma, beta = self.fc(s).chunk(2, dim=-1)
        return (1 + gamma[:, None]) * self.norm(x) + beta[:, None]


class Snake(nn.Module):
    def __init__(self, channels):
        super().__init__()
        self.alpha = nn.Parameter(torch.ones(1, channels, 1))

    def forward(self, x):
        return x + (1 / self.alpha) * torch.sin(self.alpha * x) ** 2


class Block(nn.Module):
    """A StyleTTS2-like chain: style norm, Snake, upsampling, padding, a bidirectional LSTM
    over the time-first view, and an adaptive layer norm."""

    def __init__(self, C=16, S=6, H=8):
        super().__init__()
        self.ada = AdaIN1d(S, C)
        self.snake = Snake(C)
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.pad = nn.ReflectionPad1d((1, 0))
        self.lstm = nn.LSTM(C, H, batch_first=True, bidirectional=True)
        self.aln = AdaLayerNorm(S, 2 * H)
        self.drop = nn.Dropout(0.1)

    def forward(self, x, s):
        y = self.snake(self.ada(x, s))
        y = self.pad(F.interpolate(self.up(y), scale_factor=1, mode="nearest"))
        y, _ = self.lstm(self.drop(y).transpose(1, 2))
        return torch.tanh(self.aln(y, s)).transpose(1, 2)


def randomised(m, seed=0):
    torch.manual_seed(seed)
    with torch.no_grad():
        for name, p in m.named_parameters():
            p.copy_(torch.rand_like(p) + 0.5 if "alpha" in name else torch.randn_like(p) * 0.4)
    return m.eval()


def exported(m, example, tmp_path):
    doc = export(m, example, tmp_path / "a.json", tmp_path / "w.bin")
    return doc, mi.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))


def test_block_matches_torch_at_any_length(tmp_path):
    m = randomised(Block())
    doc, engine = exported(m, (torch.randn(1, 16, 20), torch.randn(1, 6)), tmp_path)
    ops = [n["op"] for n in doc["nodes"]]
    assert ops == ["ada_in1d_fp32", "snake1d_fp32", "upsample_nearest1d_fp32",
                   "upsample_nearest1d_fp32", "reflection_pad1d_fp32", "lstm_fp32",
                   "ada_layer_norm_fp32", "tanh_fp32"]
    for L in (20, 3, 77):
        x, s = torch.randn(1, 16, L), torch.randn(1, 6)
        with torch.no_grad():
            want = to_time_major(m(x, s))
        got = forward(engine, to_time_major(x), s.numpy()[0])
        assert got.shape == (want.size,)
        np.testing.assert_allclose(got, want.ravel(), atol=2e-5)


@pytest.mark.parametrize("batch_first", [True, False])
@pytest.mark.parametrize("bidirectional", [False, True])
def test_lstm_alone(tmp_path, batch_first, bidirectional):
    m = randomised(nn.LSTM(12, 10, batch_first=batch_first, bidirectional=bidirectional))

    class Wrap(nn.Module):
        def __init__(self):
            super().__init__()
            self.rnn = m

        def forward(self, x):
            out, (h, c) = self.rnn(x)
            return out

    axes = BATCH_FIRST if batch_first else TIME_FIRST
    shape = (1, 30, 12) if batch_first else (30, 1, 12)
    doc, engine = exported(Wrap().eval(), torch.randn(*shape), tmp_path)
    assert [n["op"] for n in doc["nodes"]] == ["lstm_fp32"]
    assert doc["inputs"][0]["shape"] == [1, 0, 1, 12]
    x = torch.randn(*shape)
    with torch.no_grad():
        want = to_time_major(m(x)[0], axes)
    np.testing.assert_allclose(forward(engine, to_time_major(x, axes)), want.ravel(), atol=3e-6)


def test_layer_norm_spelling_and_functional_padding(tmp_path):
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.norm = LayerNormStyle(5, 9)

        def forward(self, x, s):  # x (1, L, 9)
            y = self.norm(x, s).permute(0, 2, 1)
            return F.pad(y, (1, 0), mode="reflect")

    m = randomised(Net())
    doc, engine = exported(m, (torch.randn(1, 11, 9), torch.randn(1, 5)), tmp_path)
    assert [n["op"] for n in doc["nodes"]] == ["ada_layer_norm_fp32", "reflection_pad1d_fp32"]
    x, s = torch.randn(1, 11, 9), torch.randn(1, 5)
    with torch.no_grad():
        want = to_time_major(m(x, s))
    got = forward(engine, to_time_major(x, BATCH_FIRST), s.numpy()[0])
    np.testing.assert_allclose(got, want.ravel(), atol=1e-5)


class Stacked(nn.Module):
    def __init__(self):
        super().__init__()
        self.lstm = nn.LSTM(4, 4, num_layers=2, batch_first=True)

    def forward(self, x):
        return self.lstm(x)[0]


class FinalState(nn.Module):
    def __init__(self):
        super().__init__()
        self.lstm = nn.LSTM(4, 4, batch_first=True)

    def forward(self, x):
        return self.lstm(x)[1][0]


class Pad(nn.Module):
    def __init__(self, pad):
        super().__init__()
        self.pad = nn.ReflectionPad1d(pad)

    def forward(self, x):
        return self.pad(x)


class NotSnake(Snake):
    def forward(self, x):
        return x + torch.sin(self.alpha * x) ** 2  # without 1 / alpha


class NotAdaIN(AdaIN1d):
    def forward(self, x, s):
        gamma, beta = self.fc(s)[..., None].chunk(2, dim=1)
        return gamma * self.norm(x) + beta  # without 1 +


class RunningStats(AdaIN1d):
    def __init__(self, style_dim, num_features):
        super().__init__(style_dim, num_features)
        self.norm = nn.InstanceNorm1d(num_features, affine=True, track_running_stats=True)


class ChannelsFirstLstm(nn.Module):
    def __init__(self):
        super().__init__()
        self.snake = Snake(4)
        self.lstm = nn.LSTM(4, 4, batch_first=True)

    def forward(self, x):  # the LSTM would read channels as time
        return self.lstm(self.snake(x))[0]


@pytest.mark.parametrize("make,inputs,message", [
    (Stacked, [(1, 5, 4)], "only a one-layer LSTM"),
    (FinalState, [(1, 5, 4)], "uses item 1 of a result"),
    (lambda: Pad((0, 1)), [(1, 4, 6)], r"padding \[0, 1\] in mode 'reflect'"),
    (lambda: Pad((2, 0)), [(1, 4, 6)], r"padding \[2, 0\]"),
    (lambda: nn.Upsample(scale_factor=1.5, mode="nearest"), [(1, 4, 6)], "scale factor 1.5"),
    (lambda: nn.Upsample(scale_factor=2, mode="linear"), [(1, 4, 6)], "mode 'linear'"),
    (lambda: NotSnake(4), [(1, 4, 6)], "does not compute x \\+ sin"),
    (lambda: NotAdaIN(3, 4), [(1, 4, 6), (1, 3)], "looks like AdaIN but does not compute"),
    (lambda: RunningStats(3, 4), [(1, 4, 6), (1, 3)], "keeps running statistics"),
    (ChannelsFirstLstm, [(1, 4, 4)], r"expects its input as \(1, L, C\)"),
    (lambda: AdaIN1d(3, 4), [(1, 4, 6), (1, 5)], "fails on its example inputs"),
])
def test_refused_sequence_graphs_write_nothing(tmp_path, make, inputs, message):
    m = randomised(make())
    with pytest.raises(ExportError, match=message):
        export(m, tuple(torch.randn(*s) for s in inputs), tmp_path / "a.json", tmp_path / "w.bin")
    assert os.listdir(tmp_path) == []
