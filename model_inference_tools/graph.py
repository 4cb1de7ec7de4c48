"""Lowering of a traced PyTorch module to the engine's graph vocabulary.

``lower`` traces a module with ``torch.fx``, propagates shapes from an example input and
turns the traced nodes into a list of ``Op`` records: one per engine node, with float
weights already in the engine's order (batch norm folded into its convolution, dense
columns reordered for channels-last flattening) and fused activations recorded on the
producer. The float32 and int8 writers both start from this list.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import torch
import torch.nn.functional as F
from torch import fx, nn
from torch.fx.passes.shape_prop import ShapeProp


class ExportError(ValueError):
    """A module or graph that the engine's vocabulary cannot express."""


@dataclass
class Layout:
    """How an engine tensor's elements are ordered.

    ``image``: a (C, H, W) map stored channels-last. ``flat``: a flattened (C, H, W) map,
    still in channels-last order. ``vector``: N values in their natural order."""

    kind: str
    dims: tuple


@dataclass
class Op:
    name: str
    kind: str  # conv, dense, add, maxpool, avgpool, act, upsample
    inputs: list
    output: str
    where: str
    args: dict = field(default_factory=dict)
    weight: np.ndarray | None = None
    bias: np.ndarray | None = None
    act: str | None = None  # fused activation of the producer: "relu" or "relu6"


@dataclass
class Graph:
    input_name: str
    input_layout: Layout
    ops: list
    outputs: list
    layouts: dict  # engine tensor name -> Layout
    fx_graph: fx.GraphModule


_ELEMENTWISE = {
    nn.Sigmoid: ("sigmoid", None), nn.Tanh: ("tanh", None), nn.SiLU: ("silu", None),
}
_ELEMENTWISE_FN = {
    torch.sigmoid: "sigmoid", F.sigmoid: "sigmoid", torch.tanh: "tanh", F.tanh: "tanh",
    F.silu: "silu",
}
_RELU_FN = {F.relu, torch.relu}
_ADD_FN = {operator.add, operator.iadd, torch.add}
_FLATTEN_FN = {torch.flatten}
_IDENTITY_MODULES = (nn.Identity, nn.Dropout, nn.Dropout2d)


def describe(node: fx.Node, position: int, modules: dict) -> str:
    if node.op == "call_module":
        what = f"module {type(modules[node.target]).__name__} '{node.target}'"
    elif node.op == "call_function":
        what = f"function {getattr(node.target, '__name__', node.target)}"
    elif node.op == "call_method":
        what = f"method .{node.target}()"
    else:
        what = f"{node.op} '{node.target}'"
    return f"{what} at graph node '{node.name}' (position {position})"


def _activation(node: fx.Node, modules: dict) -> tuple[str, Any] | None:
    """(function, parameter) when ``node`` is a one-input activation, else None."""
    if node.op == "call_module":
        m = modules[node.target]
        if type(m) is nn.ReLU:
            return "relu", None
        if type(m) is nn.ReLU6 or (type(m) is nn.Hardtanh and m.min_val == 0.0 and m.max_val == 6.0):
            return "relu6", None
        if type(m) is nn.LeakyReLU:
            return "leaky_relu", float(m.negative_slope)
        if type(m) is nn.GELU:
            return ("gelu", None) if m.approximate == "tanh" else ("gelu_erf", None)
        if type(m) in _ELEMENTWISE:
            return _ELEMENTWISE[type(m)]
        return None
    if node.op == "call_function":
        if node.target in _RELU_FN:
            return "relu", None
        if node.target is F.relu6:
            return "relu6", None
        if node.target in _ELEMENTWISE_FN:
            return _ELEMENTWISE_FN[node.target], None
        if node.target is F.leaky_relu:
            slope = node.args[1] if len(node.args) > 1 else node.kwargs.get("negative_slope", 0.01)
            return "leaky_relu", float(slope)
        if node.target is F.gelu:
            return ("gelu", None) if node.kwargs.get("approximate", "none") == "tanh" else ("gelu_erf", None)
        return None
    if node.op == "call_method" and node.target in ("relu", "relu_"):
        return "relu", None
    if node.op == "call_method" and node.target in ("sigmoid", "tanh"):
        return node.target, None
    return None


def _pair(v) -> tuple[int, int]:
    return (int(v), int(v)) if isinstance(v, int) else (int(v[0]), int(v[1]))


def _shape(node: fx.Node) -> tuple:
    meta = node.meta.get("tensor_meta")
    return tuple(meta.shape) if meta is not None and hasattr(meta, "shape") else ()


def _tensor_args(node: fx.Node) -> list:
    return [a for a in node.args if isinstance(a, fx.Node)]


class _Lowering:
    def __init__(self, gm: fx.GraphModule):
        self.gm = gm
        self.modules = dict(gm.named_modules())
        self.nodes = list(gm.graph.nodes)
        self.position = {n: i for i, n in enumerate(self.nodes)}
        self.value = {}  # fx node -> engine tensor name (or flattened view name)
        self.layouts = {}
        self.absorbed = set()
        self.ops = []
        self.used_names = set()
        self.aliases = {}  # flattened view name -> the engine tensor holding its bytes

    def where(self, node: fx.Node) -> str:
        return describe(node, self.position[node], self.modules)

    def fail(self, node: fx.Node, why: str) -> ExportError:
        return ExportError(f"{self.where(node)}: {why}")

    def op_name(self, node: fx.Node) -> str:
        """The module path when it is a usable, unused node name, else the fx node name."""
        name = node.target if node.op == "call_module" else node.name
        if name in self.used_names or len(name.encode()) > 53:
            name = node.name if len(node.name.encode()) <= 53 else f"n{self.position[node]}"
        self.used_names.add(name)
        return name

    def source(self, node: fx.Node, arg) -> str:
        if not isinstance(arg, fx.Node) or arg not in self.value:
            raise self.fail(node, "takes an operand that is not a tensor computed by the graph "
                                  "(constants and parameters are not supported here)")
        return self.value[arg]

    def single_user(self, node: fx.Node) -> fx.Node | None:
        users = list(node.users)
        return users[0] if len(users) == 1 else None

    def absorb_activation(self, chain: list, allowed: tuple) -> str | None:
        """Fuse the activation that is the only user of ``chain[-1]``, when allowed."""
        nxt = self.single_user(chain[-1])
        act = _activation(nxt, self.modules) if nxt is not None else None
        if act is not None and act[0] in allowed:
            self.absorbed.add(nxt)
            chain.append(nxt)
            return act[0]
        return None

    def emit(self, node: fx.Node, chain: list, kind: str, inputs: list, layout: Layout, **kw) -> None:
        """Record one engine op computing ``node`` and the nodes fused after it (``chain``)."""
        out = chain[-1].name
        self.ops.append(Op(name=self.op_name(node), kind=kind, inputs=inputs, output=out,
                           where=self.where(node), **kw))
        for n in chain:
            self.value[n] = out
        self.layouts[out] = layout

    def alias(self, node: fx.Node, src) -> None:
        self.value[node] = self.source(node, src)

    def run(self) -> Graph:
        placeholders = [n for n in self.nodes if n.op == "placeholder"]
        if len(placeholders) != 1:
            raise ExportError(f"the module takes {len(placeholders)} inputs; exactly one image "
                              "or vector input is supported")
        inp = placeholders[0]
        shape = _shape(inp)
        layout = Layout("image", tuple(int(d) for d in shape[1:])) if len(shape) == 4 else \
            Layout("vector", (int(shape[1]),))
        self.value[inp] = inp.name
        self.layouts[inp.name] = layout
        self.used_names.add(inp.name)
        outputs = []
        for node in self.nodes:
            if node.op == "placeholder" or node in self.absorbed:
                continue
            if node.op == "output":
                res = node.args[0]
                for r in (res if isinstance(res, (tuple, list)) else (res,)):
                    outputs.append(self.source(node, r))
                continue
            self.lower_node(node)
        for op in self.ops:
            op.inputs = [self.aliases.get(i, i) for i in op.inputs]
        outputs = [self.aliases.get(o, o) for o in outputs]
        return Graph(inp.name, layout, self.ops, outputs, self.layouts, self.gm)

    def lower_node(self, node: fx.Node) -> None:
        mod = self.modules.get(node.target) if node.op == "call_module" else None
        if node.op == "get_attr":
            if all(u.op == "call_method" and u.target == "size" for u in node.users):
                return
            raise self.fail(node, "graph constants are not supported")
        if node.op == "call_method" and node.target == "size":
            return
        if isinstance(mod, nn.Conv2d):
            return self.conv(node, mod)
        if isinstance(mod, nn.Linear):
            return self.dense(node, mod)
        if isinstance(mod, (nn.BatchNorm2d, nn.BatchNorm1d)):
            raise self.fail(node, "batch norm is only supported directly after a Conv2d whose "
                                  "output feeds nothing else")
        if isinstance(mod, _IDENTITY_MODULES) or (node.op == "call_function" and node.target is F.dropout):
            return self.alias(node, node.args[0])
        if isinstance(mod, nn.MaxPool2d):
            return self.maxpool(node, mod)
        if isinstance(mod, nn.AdaptiveAvgPool2d) or (
                node.op == "call_function" and node.target is F.adaptive_avg_pool2d):
            size = mod.output_size if mod is not None else (
                node.args[1] if len(node.args) > 1 else node.kwargs["output_size"])
            if _pair(size) != (1, 1):
                raise self.fail(node, f"adaptive average pooling to {size}: only global pooling "
                                      "(output size 1) is supported")
            return self.avgpool(node, node.args[0])
        if node.op == "call_method" and node.target == "mean":
            dims = node.args[1] if len(node.args) > 1 else node.kwargs.get("dim")
            if sorted(int(d) % 4 for d in (dims if isinstance(dims, (tuple, list)) else [dims])) != [2, 3]:
                raise self.fail(node, "mean is only supported over both spatial dims")
            return self.avgpool(node, node.args[0], flatten=not node.kwargs.get("keepdim", False))
        if isinstance(mod, nn.Flatten) or (node.op == "call_function" and node.target in _FLATTEN_FN) \
                or (node.op == "call_method" and node.target in ("flatten", "view", "reshape")):
            return self.flatten(node)
        if isinstance(mod, (nn.Upsample, nn.UpsamplingBilinear2d)) or (
                node.op == "call_function" and node.target is F.interpolate):
            return self.upsample(node, mod)
        if (node.op == "call_function" and node.target in _ADD_FN) or (
                node.op == "call_method" and node.target in ("add", "add_")):
            return self.add(node)
        act = _activation(node, self.modules)
        if act is not None:
            return self.activation(node, act)
        raise self.fail(node, "not supported by the exporter")

    def conv(self, node: fx.Node, m: nn.Conv2d) -> None:
        if m.padding_mode != "zeros":
            raise self.fail(node, f"padding mode '{m.padding_mode}' (only zero padding is supported)")
        kh, kw = m.kernel_size
        dh, dw = m.dilation
        if isinstance(m.padding, str):
            th, tw = (0, 0) if m.padding == "valid" else (dh * (kh - 1), dw * (kw - 1))
            if th % 2 or tw % 2:
                raise self.fail(node, "padding='same' with an even kernel pads unevenly")
            ph, pw = th // 2, tw // 2
        else:
            ph, pw = m.padding
        weight = m.weight.detach().double().numpy()
        bias = m.bias.detach().double().numpy() if m.bias is not None else np.zeros(m.out_channels)
        chain = [node]
        bn_node = self.single_user(node)
        if bn_node is not None and bn_node.op == "call_module" and \
                isinstance(self.modules[bn_node.target], nn.BatchNorm2d):
            bn = self.modules[bn_node.target]
            if bn.running_mean is None:
                raise self.fail(bn_node, "batch norm without running statistics cannot be folded")
            gamma = bn.weight.detach().double().numpy() if bn.affine else np.ones(bn.num_features)
            beta = bn.bias.detach().double().numpy() if bn.affine else np.zeros(bn.num_features)
            k = gamma / np.sqrt(bn.running_var.double().numpy() + bn.eps)
            weight = weight * k[:, None, None, None]
            bias = (bias - bn.running_mean.double().numpy()) * k + beta
            self.absorbed.add(bn_node)
            chain.append(bn_node)
        act = self.absorb_activation(chain, ("relu", "relu6"))
        c, h, w = _shape(chain[-1])[1:]
        args = dict(C_out=m.out_channels, C_in=m.in_channels, kH=kh, kW=kw,
                    stride_h=m.stride[0], stride_w=m.stride[1], pad_h=int(ph), pad_w=int(pw),
                    groups=m.groups, dilation_h=dh, dilation_w=dw)
        self.emit(node, chain, "conv", [self.source(node, node.args[0])], Layout("image", (c, h, w)),
                  args=args, weight=weight.astype(np.float32), bias=bias.astype(np.float32), act=act)

    def dense(self, node: fx.Node, m: nn.Linear) -> None:
        src = self.source(node, node.args[0])
        layout = self.layouts[src]
        if layout.kind == "image":
            raise self.fail(node, "Linear applied to an image tensor; flatten it first")
        weight = m.weight.detach().float().numpy()
        if layout.kind == "flat":
            c, h, w = layout.dims
            # PyTorch flattens (C, H, W); the engine's flat vector is (H, W, C).
            weight = weight.reshape(-1, c, h, w).transpose(0, 2, 3, 1).reshape(weight.shape[0], -1)
        bias = m.bias.detach().float().numpy() if m.bias is not None else np.zeros(m.out_features, np.float32)
        chain = [node]
        act = self.absorb_activation(chain, ("relu", "relu6"))
        self.emit(node, chain, "dense", [src], Layout("vector", (m.out_features,)),
                  args=dict(C_out=m.out_features, C_in=m.in_features),
                  weight=np.ascontiguousarray(weight, np.float32), bias=bias, act=act)

    def maxpool(self, node: fx.Node, m: nn.MaxPool2d) -> None:
        if m.ceil_mode or m.return_indices or _pair(m.dilation) != (1, 1):
            raise self.fail(node, "max pooling with ceil_mode, return_indices or dilation")
        kh, kw = _pair(m.kernel_size)
        sh, sw = _pair(m.stride if m.stride is not None else m.kernel_size)
        ph, pw = _pair(m.padding)
        c, h, w = _shape(node)[1:]
        self.emit(node, [node], "maxpool", [self.source(node, node.args[0])], Layout("image", (c, h, w)),
                  args=dict(kH=kh, kW=kw, stride_h=sh, stride_w=sw, pad_h=ph, pad_w=pw))

    def avgpool(self, node: fx.Node, arg, flatten: bool = False) -> None:
        src = self.source(node, arg)
        if self.layouts[src].kind != "image":
            raise self.fail(node, "average pooling of a tensor that is not an image")
        c = self.layouts[src].dims[0]
        chain = [node]
        act = self.absorb_activation(chain, ("relu", "relu6"))
        layout = Layout("vector", (c,)) if flatten else Layout("image", (c, 1, 1))
        self.emit(node, chain, "avgpool", [src], layout, act=act)

    def flatten(self, node: fx.Node) -> None:
        src = self.source(node, node.args[0])
        layout = self.layouts[src]
        out = _shape(node)
        if len(out) != 2 or out[0] != 1:
            raise self.fail(node, f"reshapes to {list(out)}; only flattening to (1, N) is supported")
        if layout.kind != "image":
            self.value[node] = src
            return
        # No engine op: the same bytes, read as a vector under a name of their own.
        c, h, w = layout.dims
        self.layouts[node.name] = Layout("vector", (c,)) if h == w == 1 else Layout("flat", layout.dims)
        self.aliases[node.name] = self.aliases.get(src, src)
        self.value[node] = node.name

    def upsample(self, node: fx.Node, m) -> None:
        if isinstance(m, nn.UpsamplingBilinear2d):
            mode, align, factor = "bilinear", True, m.scale_factor
        elif isinstance(m, nn.Upsample):
            mode, align, factor = m.mode, m.align_corners, m.scale_factor
        else:
            a = dict(zip(("input", "size", "scale_factor", "mode", "align_corners"), node.args))
            a.update(node.kwargs)
            if a.get("antialias", False):
                raise self.fail(node, "antialiased resizing")
            mode, align, factor = a.get("mode", "nearest"), a.get("align_corners"), a.get("scale_factor")
        if mode != "bilinear" or align:
            raise self.fail(node, f"resize mode '{mode}' with align_corners={align}: only bilinear "
                                  "with align_corners=False is supported")
        src = self.source(node, node.args[0])
        c, h, w = self.layouts[src].dims
        oh, ow = _shape(node)[2:]
        factors = factor if isinstance(factor, (tuple, list)) else (factor, factor)
        scales = []
        for size, out, f in ((h, oh, factors[0]), (w, ow, factors[1])):
            s = np.float32(out / size)
            # The engine sizes its output as (int)(size * scale + 0.5) and samples at
            # size / out; PyTorch samples at 1 / scale_factor when one is given.
            if int(np.float32(size) * s + np.float32(0.5)) != out or (
                    f is not None and float(f) * size != out):
                raise self.fail(node, f"resizes {size} to {out}: the scale must map the size exactly")
            scales.append(float(s))
        self.emit(node, [node], "upsample", [src], Layout("image", (c, oh, ow)),
                  args=dict(scale_h=scales[0], scale_w=scales[1]))

    def add(self, node: fx.Node) -> None:
        tensors = _tensor_args(node)
        if len(tensors) != 2 or len(node.args) != 2 or node.kwargs:
            raise self.fail(node, "only the sum of two tensors of one shape is supported")
        a, b = (self.source(node, t) for t in tensors)
        if self.layouts[a] != self.layouts[b]:
            raise self.fail(node, f"adds tensors of different shapes or orders "
                                  f"({self.layouts[a].dims} and {self.layouts[b].dims}); "
                                  "broadcasting is not supported")
        chain = [node]
        act = self.absorb_activation(chain, ("relu", "relu6"))
        self.emit(node, chain, "add", [a, b], self.layouts[a], act=act)

    def activation(self, node: fx.Node, act: tuple) -> None:
        fn, param = act
        if fn == "gelu_erf":
            raise self.fail(node, "GELU in its erf form; the engine computes the tanh form "
                                  "(use approximate='tanh')")
        src = self.source(node, node.args[0])
        self.emit(node, [node], "act", [src], self.layouts[src], args={"fn": fn, "alpha": param})


def trace(module: nn.Module, example_input: torch.Tensor) -> fx.GraphModule:
    """Symbolic trace of ``module`` with shapes propagated from ``example_input``."""
    if not isinstance(module, nn.Module):
        raise ExportError(f"expected a torch.nn.Module, got {type(module).__name__}")
    training = [name or "<root>" for name, m in module.named_modules() if m.training]
    if training:
        raise ExportError(f"module is in training mode (submodule {training[0]!r}); call "
                          ".eval() first so that batch norm and dropout use their inference form")
    if not isinstance(example_input, torch.Tensor):
        raise ExportError("the example input must be a torch.Tensor")
    shape = list(example_input.shape)
    if len(shape) not in (2, 4) or shape[0] != 1:
        raise ExportError(
            f"example input of shape {shape}: expected one image in PyTorch's channels-first "
            "order, (1, C, H, W), or one vector, (1, N)")
    try:
        gm = fx.symbolic_trace(module)
    except Exception as e:
        raise ExportError(f"tracing the module failed: {e}") from e
    try:
        with torch.no_grad():
            ShapeProp(gm).propagate(example_input.float())
    except Exception as e:
        raise ExportError(f"the module fails on an example input of shape {shape} "
                          f"(channels must come second): {e.__cause__ or e}") from e
    return gm


def lower(module: nn.Module, example_input: torch.Tensor) -> Graph:
    return _Lowering(trace(module, example_input)).run()
