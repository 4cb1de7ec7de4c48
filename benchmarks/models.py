"""PyTorch definitions of the model families the comparison suite runs (random weights,
batch norm with random statistics, so folding is exercised)."""

from __future__ import annotations

import torch
from torch import nn


def _bn(c: int) -> nn.BatchNorm2d:
    bn = nn.BatchNorm2d(c)
    with torch.no_grad():
        bn.weight.uniform_(0.5, 1.5)
        bn.bias.uniform_(-0.1, 0.1)
        bn.running_mean.uniform_(-0.1, 0.1)
        bn.running_var.uniform_(0.5, 1.5)
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
