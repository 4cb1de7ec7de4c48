"""PyTorch definitions of the model families the comparison suite runs, image-like inputs,
and the set-up that makes random-weight classifiers behave like trained ones where the
measurements need it.

Random weights alone do not make a usable test network: with batch-norm statistics that do
not match the activations, each layer's output is dominated by its bias and the logits hardly
depend on the input, so an error measured on them cannot see convolution errors. So
``build`` sets every batch norm's running statistics from the activations of image-like
inputs (train-mode passes, as training would). The logits then depend on the input, though
part of each logit is still a constant of the random classifier; ``centre=True`` also
rescales the classifier so that the logits are centred and vary only with the input. That
variant is much harsher on int8: randomly initialised networks with batch norm amplify
small perturbations layer after layer, far more than trained ones, so int8 noise that a
trained network shrugs off reaches the centred logits (every runtime's int8 then agrees on
few top-1 classes).
"""

from __future__ import annotations

import numpy as np
import torch
from torch import nn

IMAGENET_MEAN = np.array([0.485, 0.456, 0.406], np.float32)
IMAGENET_STD = np.array([0.229, 0.224, 0.225], np.float32)


def _bn(c: int) -> nn.BatchNorm2d:
    bn = nn.BatchNorm2d(c)
    with torch.no_grad():
        bn.weight.uniform_(0.5, 1.5)
        bn.bias.uniform_(-0.1, 0.1)
    return bn


class Bottleneck(nn.Module):
    def __init__(self, c_in: int, width: int, stride: int):
        super().__init__()
        c_out = width * 4
        self.conv1, self.bn1 = nn.Conv2d(c_in, width, 1, bias=False), _bn(width)
        self.conv2, self.bn2 = nn.Conv2d(width, width, 3, stride, 1, bias=False), _bn(width)
        self.conv3, self.bn3 = nn.Conv2d(width, c_out, 1, bias=False), _bn(c_out)
        self.relu = nn.ReLU()
        self.down = None
        if stride != 1 or c_in != c_out:
            self.down = nn.Sequential(nn.Conv2d(c_in, c_out, 1, stride, bias=False), _bn(c_out))

    def forward(self, x):
        y = self.relu(self.bn1(self.conv1(x)))
        y = self.relu(self.bn2(self.conv2(y)))
        y = self.bn3(self.conv3(y))
        return self.relu(y + (self.down(x) if self.down is not None else x))


class ResNet50(nn.Module):
    def __init__(self, classes: int = 1000):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 64, 7, 2, 3, bias=False), _bn(64), nn.ReLU(),
                                  nn.MaxPool2d(3, 2, 1))
        blocks, c = [], 64
        for width, count, stride in ((64, 3, 1), (128, 4, 2), (256, 6, 2), (512, 3, 2)):
            for i in range(count):
                blocks.append(Bottleneck(c, width, stride if i == 0 else 1))
                c = width * 4
        self.blocks = nn.Sequential(*blocks)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(c, classes)

    def forward(self, x):
        return self.fc(torch.flatten(self.pool(self.blocks(self.stem(x))), 1))


class InvertedResidual(nn.Module):
    def __init__(self, c_in: int, c_out: int, stride: int, expand: int, act):
        super().__init__()
        hidden = c_in * expand
        layers = []
        if expand != 1:
            layers += [nn.Conv2d(c_in, hidden, 1, bias=False), _bn(hidden), act()]
        layers += [nn.Conv2d(hidden, hidden, 3, stride, 1, groups=hidden, bias=False), _bn(hidden), act(),
                   nn.Conv2d(hidden, c_out, 1, bias=False), _bn(c_out)]
        self.body = nn.Sequential(*layers)
        self.residual = stride == 1 and c_in == c_out

    def forward(self, x):
        y = self.body(x)
        return x + y if self.residual else y


class MobileNetV2(nn.Module):
    """ReLU6 by default; ``act=nn.ReLU`` gives the variant the float32 engine runs."""

    def __init__(self, classes: int = 1000, act=nn.ReLU6):
        super().__init__()
        layers = [nn.Conv2d(3, 32, 3, 2, 1, bias=False), _bn(32), act()]
        c = 32
        for t, c_out, n, s in ((1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2),
                               (6, 96, 3, 1), (6, 160, 3, 2), (6, 320, 1, 1)):
            for i in range(n):
                layers.append(InvertedResidual(c, c_out, s if i == 0 else 1, t, act))
                c = c_out
        layers += [nn.Conv2d(c, 1280, 1, bias=False), _bn(1280), act()]
        self.features = nn.Sequential(*layers)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.classifier = nn.Linear(1280, classes)

    def forward(self, x):
        return self.classifier(torch.flatten(self.pool(self.features(x)), 1))


class DenseHead(nn.Module):
    """A classifier head: 2048 pooled features to 1000 logits."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2048, 1000)

    def forward(self, x):
        return self.fc(x)


def images(n: int, seed: int, size: int = 224) -> np.ndarray:
    """``n`` natural-image-like inputs, (n, 3, size, size) float32, normalised like ImageNet.

    Each image is a background of Gaussian noise with the 1/f amplitude spectrum of natural
    scenes (exponent drawn from [0.9, 1.4]), its channels mixed around a shared luminance,
    with one to four objects painted over it: ellipses or rectangles of a random colour,
    some filled with an oriented grating of random frequency (texture), some with their own
    noise. Stretched to [0, 1] with a random contrast and brightness, then normalised with
    the ImageNet mean and std."""
    rng = np.random.default_rng(seed)
    fy = np.fft.fftfreq(size)[:, None]
    fx = np.fft.rfftfreq(size)[None, :]
    f = np.sqrt(fy * fy + fx * fx)
    f[0, 0] = 1.0 / size
    yy, xx = np.mgrid[0:size, 0:size] / size

    def noise(beta):
        spec = (rng.standard_normal((4, size, size // 2 + 1))
                + 1j * rng.standard_normal((4, size, size // 2 + 1))) / f ** beta
        planes = np.fft.irfft2(spec, s=(size, size))
        planes /= planes.std(axis=(1, 2), keepdims=True)
        mix = np.eye(3) * rng.uniform(0.2, 0.6) + rng.uniform(-0.15, 0.15, (3, 3))
        return planes[0][None] + np.einsum("ij,jhw->ihw", mix, planes[1:])

    out = np.empty((n, 3, size, size), np.float32)
    for i in range(n):
        img = noise(rng.uniform(0.9, 1.4)) * rng.uniform(0.3, 1.0) + rng.normal(0, 1, (3, 1, 1))
        for _ in range(rng.integers(1, 5)):
            cy, cx = rng.uniform(0.1, 0.9, 2)
            ry, rx = rng.uniform(0.05, 0.4, 2)
            if rng.random() < 0.5:
                mask = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
            else:
                mask = (np.abs(yy - cy) <= ry) & (np.abs(xx - cx) <= rx)
            fill = rng.normal(0, 1.5, (3, 1, 1)) * np.ones((3, size, size))
            kind = rng.integers(3)
            if kind == 1:
                angle, freq = rng.uniform(0, np.pi), rng.uniform(3, 40)
                wave = np.sin(2 * np.pi * freq * (xx * np.cos(angle) + yy * np.sin(angle))
                              + rng.uniform(0, 2 * np.pi))
                fill = fill + rng.normal(0, 1.5, (3, 1, 1)) * wave[None]
            elif kind == 2:
                fill = fill + noise(rng.uniform(0.5, 1.2)) * rng.uniform(0.3, 1.0)
            img = np.where(mask[None], fill, img)
        lo, hi = np.percentile(img, [1, 99])
        img = (img - lo) / (hi - lo)
        img = np.clip((img - 0.5) * rng.uniform(0.7, 1.0) + rng.uniform(0.4, 0.6), 0.0, 1.0)
        out[i] = (img - IMAGENET_MEAN[:, None, None]) / IMAGENET_STD[:, None, None]
    return out


def vectors(n: int, seed: int, size: int = 2048) -> np.ndarray:
    """Pooled-feature-like inputs for the dense head: non-negative, sparse-ish."""
    rng = np.random.default_rng(seed)
    return np.maximum(rng.standard_normal((n, size)) + 0.3, 0.0).astype(np.float32)


@torch.no_grad()
def set_bn_statistics(module: nn.Module, batches) -> nn.Module:
    """Running mean and variance of every batch norm, averaged over ``batches`` in train-mode
    passes (momentum None: the plain average). Leaves the module in eval mode."""
    bns = [m for m in module.modules() if isinstance(m, nn.modules.batchnorm._BatchNorm)]
    for m in bns:
        m.reset_running_stats()
        m.momentum = None
    module.train()
    for b in batches:
        module(torch.as_tensor(b))
    return module.eval()


@torch.no_grad()
def centre_head(module: nn.Module, head: nn.Linear, batches) -> nn.Module:
    """Scale the classifier's input columns by 1/std of its features over ``batches`` and
    choose its bias so that every logit averages 0: the logits then vary with the input, as
    a trained classifier's do, instead of being dominated by a constant part."""
    feats = []
    hook = head.register_forward_hook(lambda m, i, o: feats.append(i[0].double()))
    for b in batches:
        module(torch.as_tensor(b))
    hook.remove()
    f = torch.cat(feats)
    mean, std = f.mean(0), f.std(0).clamp_min(1e-6)
    w = head.weight.double() / std
    head.weight.copy_(w.float())
    head.bias.copy_((-(w @ mean)).float())
    return module


def build(kind: str, seed: int = 0, bn_images: int = 32, size: int = 224,
          centre: bool = False) -> nn.Module:
    """A prepared model in eval mode. ``kind``: ResNet50, MobileNetV2 (ReLU6),
    MobileNetV2-relu or DenseHead. The two MobileNetV2 variants share their weights."""
    torch.manual_seed(seed)
    if kind.startswith("MobileNetV2"):
        module = MobileNetV2(act=nn.ReLU if kind.endswith("-relu") else nn.ReLU6)
        head = module.classifier
    elif kind == "ResNet50":
        module = ResNet50()
        head = module.fc
    elif kind == "DenseHead":
        module = DenseHead()
        data = torch.from_numpy(vectors(256, seed + 1000))
        return (centre_head(module, module.fc, data.split(64)) if centre else module).eval()
    else:
        raise ValueError(f"unknown model {kind!r}")
    data = torch.from_numpy(images(bn_images, seed + 1000, size))
    set_bn_statistics(module, data.split(8))
    return (centre_head(module, head, data.split(8)) if centre else module).eval()
