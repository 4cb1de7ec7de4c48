"""Batch norm as training leaves it, for the tests that compare CNNs with PyTorch.

Random running statistics that do not match the activations make every layer's output
mostly its bias, so the logits hardly depend on the input and an error check on them cannot
see convolution errors. ``bn_from_data`` takes the statistics from the activations of the
data instead (train-mode passes, plain averages), with a random affine part."""

import torch
from torch import nn


@torch.no_grad()
def bn_from_data(module: nn.Module, data: torch.Tensor, seed: int = 0, batch: int = 16) -> nn.Module:
    g = torch.Generator().manual_seed(seed)
    for m in module.modules():
        if isinstance(m, nn.BatchNorm2d):
            m.weight.copy_(torch.rand(m.num_features, generator=g) + 0.5)
            m.bias.copy_(torch.rand(m.num_features, generator=g) * 0.4 - 0.2)
            m.reset_running_stats()
            m.momentum = None
    module.train()
    for b in data.split(batch):
        module(b)
    return module.eval()
