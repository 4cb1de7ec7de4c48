"""Export of ``nn.Conv1d`` and ``nn.ConvTranspose1d`` in sequence models.

Both read a (1, C, L) sequence and give one; the engine holds it time-major (L rows of C
floats), so only the layout bookkeeping changes, never the data. Weight normalisation is
folded into the stored weight, in both of its PyTorch forms: the old ``weight_norm`` hook
(``weight_g`` and ``weight_v`` parameters) and the parametrization
(``parametrizations.weight.original0`` and ``original1``). A ReLU that is the only user of
a ``Conv1d`` is fused into it.
"""

from __future__ import annotations

import numpy as np
import torch
from torch import fx, nn

OPS = {"conv1d": "conv1d_fp32", "conv_transpose1d": "conv_transpose1d_fp32"}


def _weight_norm_hook(m: nn.Module):
    for hook in m._forward_pre_hooks.values():
        if type(hook).__name__ == "WeightNorm" and getattr(hook, "name", None) == "weight":
            return hook
    return None


def folded_weight(m: nn.Module) -> np.ndarray:
    """The weight the module convolves with, weight normalisation applied, as float64."""
    with torch.no_grad():
        hook = _weight_norm_hook(m)
        if hook is not None:
            w = torch._weight_norm(m.weight_v.double(), m.weight_g.double(), hook.dim)
        else:
            # A parametrized weight is recomputed on every read.
            w = m.weight.double()
    return w.detach().numpy()


def _padding(lowering, node: fx.Node, m: nn.Module) -> int:
    if m.padding_mode != "zeros":
        raise lowering.fail(node, f"padding mode '{m.padding_mode}' (only zero padding is "
                                  "supported)")
    if isinstance(m.padding, str):
        if m.padding == "valid":
            return 0
        total = m.dilation[0] * (m.kernel_size[0] - 1)
        if total % 2:
            raise lowering.fail(node, "padding='same' with an even span pads unevenly")
        return total // 2
    return int(m.padding[0])


def lower(lowering, node: fx.Node, m: nn.Module) -> None:
    """Record the op of a ``Conv1d`` or ``ConvTranspose1d`` call on a (1, C, L) sequence."""
    from model_inference_tools.sequence_graph import CHANNELS_FIRST, SeqLayout

    if len(node.args) != 1 or node.kwargs:
        raise lowering.fail(node, "a 1-D convolution must be called on its input alone")
    x, layout = lowering.seq(node, node.args[0], CHANNELS_FIRST)
    if layout.dims[0] != m.in_channels:
        raise lowering.fail(node, f"input has {layout.dims[0]} channels, the convolution "
                                  f"{m.in_channels}")
    pad = _padding(lowering, node, m)
    w = folded_weight(m)
    bias = m.bias.detach().double().numpy() if m.bias is not None else None
    length = int(node.meta["tensor_meta"].shape[2])
    args = dict(C_out=m.out_channels, C_in=m.in_channels, kernel_size=int(m.kernel_size[0]),
                stride=int(m.stride[0]), padding=pad, groups=int(m.groups))
    chain = [node]
    if isinstance(m, nn.ConvTranspose1d):
        if m.dilation[0] != 1:
            raise lowering.fail(node, f"a transposed convolution with dilation {m.dilation[0]} "
                                      "(only 1 is supported)")
        args["output_padding"] = int(m.output_padding[0])
        kind, act = "conv_transpose1d", None
    else:
        args["dilation"] = int(m.dilation[0])
        kind, act = "conv1d", lowering.absorb_activation(chain, ("relu",))
    weight = {"weight": np.ascontiguousarray(w, np.float32)}
    if bias is not None:
        weight["bias"] = bias.astype(np.float32)
    lowering.emit(node, chain, kind, [x], SeqLayout.of(m.out_channels, length, CHANNELS_FIRST),
                  args=args, weight=weight, act=act)


def write_node(arch, op, tensors: dict) -> None:
    """The architecture node and weight tensors of a recorded 1-D convolution."""
    arch.add(op.name, OPS[op.kind], op.inputs, op.output, relu=op.act == "relu", **op.args)
    for suffix, value in op.weight.items():
        tensors[f"{op.name}.{suffix}"] = value


__all__ = ["OPS", "folded_weight", "lower", "write_node"]
