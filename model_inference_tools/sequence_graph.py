"""Lowering and float32 export of PyTorch modules that work on 1-D sequences.

A module takes one or more sequences, each of shape (1, C, L) (channels first, as
``Conv1d`` and ``InstanceNorm1d`` want), (1, L, C) (batch first) or (L, 1, C) (time first),
and optionally style vectors of shape (1, S). The engine holds every sequence time-major:
L rows of C floats, declared with a variable length; a style vector is N floats. Its
results come back time-major as well, whatever the PyTorch order of the output.

Supported, besides what the image exporter lowers element-wise (activations, additions of
tensors in the same order, identity and dropout):

- ``nn.Conv1d`` and ``nn.ConvTranspose1d`` with zero padding, weight normalisation folded
  (``conv1d_export``).
- ``nn.LSTM`` with one layer, batch first or not, one or two directions, no projection and
  no initial state; only its output sequence (item 0 of its result) may be used.
- AdaIN-like modules: an ``InstanceNorm1d(C)`` without running statistics and a
  ``Linear(S, 2C)``, computing ``(1 + gamma) * norm(x) + beta`` with ``gamma, beta`` the
  two halves of ``fc(s)``, on a (1, C, L) input.
- AdaLayerNorm-like modules: a ``Linear(S, 2C)``, with a ``LayerNorm(C)`` without affine
  parameters or a layer norm of its own (``channels`` and ``eps`` attributes), computing
  ``(1 + gamma) * layer_norm(x) + beta`` on a (1, L, C) input.
- Snake modules: a single parameter of C values (any name, for example ``alpha`` of shape
  (1, C, 1)) and ``x + sin(alpha x)^2 / alpha``.
- ``nn.ReflectionPad1d((1, 0))`` and ``F.pad(x, (1, 0), mode="reflect")`` on the time axis.
- Nearest upsampling along time by an integer factor (``nn.Upsample``, ``F.interpolate``).
- ``transpose``, ``permute`` and ``contiguous`` of sequences, which only relabel axes.

The three module patterns are recognised by their structure and then checked by running
them on random inputs against the formula, so a module that merely looks alike is refused
rather than exported wrongly.
"""

from __future__ import annotations

import copy
import operator
from dataclasses import dataclass

import numpy as np
import torch
import torch.nn.functional as F
from torch import fx, nn
from torch.fx.passes.shape_prop import ShapeProp

from model_inference_tools import conv1d_export
from model_inference_tools.graph import ExportError, Layout, _activation, _Lowering, _shape

# Axis order of a sequence in PyTorch: the positions of its batch, channel and time axes.
CHANNELS_FIRST = (0, 1, 2)  # (1, C, L)
BATCH_FIRST = (0, 2, 1)  # (1, L, C)
TIME_FIRST = (1, 2, 0)  # (L, 1, C)


@dataclass(eq=True)
class SeqLayout(Layout):
    """A sequence of C channels and L steps whose PyTorch axes are ``axes`` = (batch,
    channel, time) positions; the engine holds it as L rows of C floats."""

    axes: tuple = CHANNELS_FIRST

    @staticmethod
    def of(c, length, axes) -> "SeqLayout":
        return SeqLayout("sequence", (int(c), int(length)), tuple(axes))

    def permuted(self, order) -> "SeqLayout":
        """The layout after ``x.permute(order)``: new axis i is old axis order[i]."""
        where = {old: new for new, old in enumerate(order)}
        return SeqLayout.of(*self.dims, tuple(where[a] for a in self.axes))


def _rand(shape, seed):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(*shape, generator=g, dtype=torch.float64)


def _children(m: nn.Module) -> list:
    return list(m.children())


def _own_params(m: nn.Module) -> list:
    return list(m.named_parameters(recurse=False))


def _fc_of(m: nn.Module):
    lin = [c for c in _children(m) if isinstance(c, nn.Linear)]
    return lin[0] if len(lin) == 1 else None


def _is_ada_in(m: nn.Module) -> bool:
    kids = _children(m)
    norms = [c for c in kids if isinstance(c, nn.InstanceNorm1d)]
    fc = _fc_of(m)
    return (len(kids) == 2 and len(norms) == 1 and fc is not None and not _own_params(m)
            and fc.out_features == 2 * norms[0].num_features)


def _is_ada_ln(m: nn.Module) -> bool:
    kids = _children(m)
    fc = _fc_of(m)
    if fc is None or _own_params(m) or fc.out_features % 2:
        return False
    rest = [c for c in kids if c is not fc]
    if not rest:
        return hasattr(m, "channels") and int(m.channels) * 2 == fc.out_features
    return len(rest) == 1 and isinstance(rest[0], nn.LayerNorm)


def _is_snake(m: nn.Module) -> bool:
    params = _own_params(m)
    return (not _children(m) and len(params) == 1 and params[0][1].dim() >= 1
            and type(m).forward is not nn.Module.forward)


class _Tracer(fx.Tracer):
    """Keeps the recognised sequence modules whole, as call_module nodes."""

    def is_leaf_module(self, m: nn.Module, qualname: str) -> bool:
        if _is_ada_in(m) or _is_ada_ln(m) or _is_snake(m):
            return True
        return super().is_leaf_module(m, qualname)


class _Whole(nn.Module):
    """Holds a recognised module given as the whole model, so that it is traced as one
    node like anywhere else."""

    def __init__(self, module: nn.Module):
        super().__init__()
        self.module = module

    def forward(self, x):
        return self.module(x)


class _WholeStyled(_Whole):
    def forward(self, x, s):
        return self.module(x, s)


def trace(module: nn.Module, example_inputs) -> fx.GraphModule:
    """Symbolic trace of ``module`` with shapes propagated from ``example_inputs``."""
    if not isinstance(module, nn.Module):
        raise ExportError(f"expected a torch.nn.Module, got {type(module).__name__}")
    training = [name or "<root>" for name, m in module.named_modules() if m.training]
    if training:
        raise ExportError(f"module is in training mode (submodule {training[0]!r}); call "
                          ".eval() first")
    for x in example_inputs:
        if not isinstance(x, torch.Tensor) or x.dim() not in (2, 3):
            raise ExportError("every example input must be a torch.Tensor: a sequence of "
                              "three dims or a (1, S) style vector")
    if _is_ada_in(module) or _is_ada_ln(module) or _is_snake(module):
        module = (_Whole if len(example_inputs) == 1 else _WholeStyled)(module)
    try:
        graph = _Tracer().trace(module)
    except Exception as e:
        raise ExportError(f"tracing the module failed: {e}") from e
    gm = fx.GraphModule(module, graph)
    try:
        with torch.no_grad():
            ShapeProp(gm).propagate(*(x.float() for x in example_inputs))
    except Exception as e:
        shapes = ", ".join(str(list(x.shape)) for x in example_inputs)
        what = "input of shape" if len(example_inputs) == 1 else "inputs of shapes"
        raise ExportError(f"the module fails on its example {what} {shapes}: "
                          f"{e.__cause__ or e}") from e
    return gm


def _first_consumer_axes(node: fx.Node, modules: dict):
    """The axis order that the first user of a 3-D input expects, when it says."""
    for user in node.users:
        m = modules.get(user.target) if user.op == "call_module" else None
        if isinstance(m, nn.LSTM):
            return BATCH_FIRST if m.batch_first else TIME_FIRST
        if m is not None and _is_ada_ln(m):
            return BATCH_FIRST
    return CHANNELS_FIRST


class SequenceLowering(_Lowering):
    """The image exporter's lowering with sequence inputs, style vectors and the sequence
    ops; an op record's ``kind`` names the engine op family."""

    def run(self):
        placeholders = [n for n in self.nodes if n.op == "placeholder"]
        inputs = []
        for p in placeholders:
            shape = _shape(p)
            if len(shape) == 3:
                axes = _first_consumer_axes(p, self.modules)
                if shape[axes[0]] != 1:
                    raise self.fail(p, f"input of shape {list(shape)} read as a sequence with "
                                       f"axes (batch, channel, time) at {axes}: the batch must be 1")
                layout = SeqLayout.of(shape[axes[1]], shape[axes[2]], axes)
            elif len(shape) == 2 and shape[0] == 1:
                layout = Layout("vector", (int(shape[1]),))
            else:
                raise self.fail(p, f"input of shape {list(shape)}: expected a sequence of three "
                                   "dims or a (1, S) style vector")
            self.value[p] = p.name
            self.layouts[p.name] = layout
            self.used_names.add(p.name)
            inputs.append((p.name, layout))
        # Only what the output depends on is lowered: unused items of an LSTM's result,
        # for example, are not.
        live = set()
        for node in reversed(self.nodes):
            if node.op == "output" or node in live:
                live.add(node)
                live.update(node.all_input_nodes)
        outputs = []
        for node in self.nodes:
            if node.op == "placeholder" or node in self.absorbed or node not in live:
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
        return inputs, self.ops, outputs

    def lower_node(self, node: fx.Node) -> None:
        mod = self.modules.get(node.target) if node.op == "call_module" else None
        if node.op == "call_function" and node.target is operator.getitem:
            return self.getitem(node)
        if isinstance(mod, nn.LSTM):
            return self.lstm(node, mod)
        if isinstance(mod, (nn.Conv1d, nn.ConvTranspose1d)):
            return conv1d_export.lower(self, node, mod)
        if mod is not None and _is_ada_in(mod):
            return self.ada_in(node, mod)
        if mod is not None and _is_ada_ln(mod):
            return self.ada_ln(node, mod)
        if mod is not None and _is_snake(mod):
            return self.snake(node, mod)
        if isinstance(mod, nn.ReflectionPad1d) or (
                node.op == "call_function" and node.target is F.pad):
            return self.reflection_pad(node, mod)
        if isinstance(mod, nn.Upsample) or (
                node.op == "call_function" and node.target is F.interpolate):
            return self.upsample_nearest(node, mod)
        if node.op == "call_method" and node.target in ("transpose", "permute"):
            return self.permute(node)
        if node.op == "call_function" and node.target is torch.transpose:
            return self.permute(node)
        if node.op == "call_method" and node.target == "contiguous":
            return self.alias(node, node.args[0])
        if _activation(node, self.modules) is not None or isinstance(
                mod, (nn.Identity, nn.Dropout)) or (
                node.op == "call_function" and node.target in (F.dropout,)):
            return super().lower_node(node)
        if node.op == "call_function" and getattr(node.target, "__name__", "") in ("add", "iadd"):
            return super().lower_node(node)
        if node.op == "call_method" and node.target in ("add", "add_"):
            return super().lower_node(node)
        raise self.fail(node, "not supported by the sequence exporter")

    # ---- helpers -----------------------------------------------------------------------

    def seq(self, node: fx.Node, arg, axes=None, what="input") -> tuple[str, SeqLayout]:
        src = self.source(node, arg)
        layout = self.layouts[src]
        if not isinstance(layout, SeqLayout):
            raise self.fail(node, f"its {what} is not a sequence")
        if axes is not None and layout.axes != axes:
            want = {CHANNELS_FIRST: "(1, C, L)", BATCH_FIRST: "(1, L, C)",
                    TIME_FIRST: "(L, 1, C)"}[axes]
            raise self.fail(node, f"expects its {what} as {want}, but the tensor's batch, "
                                  f"channel and time axes are at {layout.axes}; transpose it first")
        return src, layout

    def style(self, node: fx.Node, arg, size: int) -> str:
        src = self.source(node, arg)
        layout = self.layouts[src]
        if layout.kind != "vector" or layout.dims[0] != size:
            raise self.fail(node, f"expects a (1, {size}) style vector as its second input")
        return src

    def verify(self, node, got, want, what):
        if got.shape != want.shape or not torch.allclose(got, want, rtol=1e-9, atol=1e-9):
            raise self.fail(node, f"looks like {what} but does not compute its formula")

    # ---- handlers ----------------------------------------------------------------------

    def getitem(self, node: fx.Node) -> None:
        src_node, index = node.args
        if isinstance(src_node, fx.Node) and src_node in self.value and index == 0 and \
                src_node.meta.get("lstm_result"):
            self.value[node] = self.value[src_node]
            return
        raise self.fail(node, f"uses item {index} of a result; only the output sequence "
                              "(item 0) of an LSTM is supported")

    def lstm(self, node: fx.Node, m: nn.LSTM) -> None:
        if m.num_layers != 1 or m.proj_size or len(node.args) != 1 or node.kwargs:
            raise self.fail(node, "only a one-layer LSTM without projection, called on its "
                                  "input alone (no initial state), is supported")
        axes = BATCH_FIRST if m.batch_first else TIME_FIRST
        src, layout = self.seq(node, node.args[0], axes)
        if layout.dims[0] != m.input_size:
            raise self.fail(node, f"input has {layout.dims[0]} channels, the LSTM {m.input_size}")
        dirs = 2 if m.bidirectional else 1
        tensors = {k: v.detach().float().numpy().copy() for k, v in m.state_dict().items()}
        node.meta["lstm_result"] = True
        self.emit(node, [node], "lstm", [src], SeqLayout.of(dirs * m.hidden_size, layout.dims[1],
                                                             axes),
                  args=dict(hidden_size=m.hidden_size, bidirectional=m.bidirectional),
                  weight=tensors)

    def ada_in(self, node: fx.Node, m: nn.Module) -> None:
        norm = next(c for c in _children(m) if isinstance(c, nn.InstanceNorm1d))
        fc = _fc_of(m)
        if norm.track_running_stats:
            raise self.fail(node, "the instance norm keeps running statistics; only "
                                  "per-sequence statistics are supported")
        x, layout = self.seq(node, node.args[0], CHANNELS_FIRST)
        C, S = norm.num_features, fc.in_features
        if layout.dims[0] != C or len(node.args) != 2:
            raise self.fail(node, f"expects (x, s) with x of {C} channels")
        s = self.style(node, node.args[1], S)
        xt, st = _rand((1, C, 7), 1), _rand((1, S), 2)
        with torch.no_grad():
            m64 = _double(m)
            gamma, beta = _double(fc)(st)[..., None].chunk(2, dim=1)
            self.verify(node, m64(xt, st), (1 + gamma) * _double(norm)(xt) + beta, "AdaIN")
        tensors = {"fc.weight": fc.weight, "fc.bias": fc.bias}
        if norm.affine:
            tensors.update({"norm.weight": norm.weight, "norm.bias": norm.bias})
        self.emit(node, [node], "ada_in", [x, s], layout,
                  args=dict(C=C, C_style=S, eps=float(norm.eps)), weight=_numpy(tensors))

    def ada_ln(self, node: fx.Node, m: nn.Module) -> None:
        fc = _fc_of(m)
        ln = [c for c in _children(m) if isinstance(c, nn.LayerNorm)]
        if ln and (ln[0].elementwise_affine or len(ln[0].normalized_shape) != 1):
            raise self.fail(node, "its LayerNorm has affine parameters or normalises more than "
                                  "one dim; the adaptive layer norm has neither")
        C, S = fc.out_features // 2, fc.in_features
        eps = float(ln[0].eps) if ln else float(getattr(m, "eps", 1e-5))
        x, layout = self.seq(node, node.args[0], BATCH_FIRST)
        if layout.dims[0] != C or len(node.args) != 2:
            raise self.fail(node, f"expects (x, s) with x of {C} channels")
        s = self.style(node, node.args[1], S)
        xt, st = _rand((1, 7, C), 3), _rand((1, S), 4)
        with torch.no_grad():
            gamma, beta = _double(fc)(st).chunk(2, dim=-1)
            want = (1 + gamma[:, None]) * F.layer_norm(xt, (C,), eps=eps) + beta[:, None]
            self.verify(node, _double(m)(xt, st), want, "an adaptive layer norm")
        self.emit(node, [node], "ada_ln", [x, s], layout,
                  args=dict(C=C, C_style=S, eps=eps),
                  weight=_numpy({"fc.weight": fc.weight, "fc.bias": fc.bias}))

    def snake(self, node: fx.Node, m: nn.Module) -> None:
        (pname, alpha), = _own_params(m)
        x, layout = self.seq(node, node.args[0])
        C = layout.dims[0]
        if alpha.numel() != C or len(node.args) != 1:
            raise self.fail(node, f"its parameter '{pname}' has {alpha.numel()} values for "
                                  f"{C} channels")
        shape = [1, 1, 1]
        shape[layout.axes[1]] = C
        if max(alpha.shape) != alpha.numel() or (alpha.dim() == 3 and list(alpha.shape) != shape):
            raise self.fail(node, f"its parameter '{pname}' of shape {list(alpha.shape)} does "
                                  f"not lie along the channel axis")
        sizes = [1, 1, 1]
        sizes[layout.axes[1]], sizes[layout.axes[2]] = C, 9
        xt = _rand(sizes, 5) * 3
        a = alpha.detach().double().reshape(shape)
        with torch.no_grad():
            want = xt + torch.sin(a * xt) ** 2 / a
            got = _double(m)(xt)
        if got.shape != want.shape or not torch.allclose(got, want, rtol=1e-6, atol=1e-6):
            raise self.fail(node, "has one parameter per channel but does not compute "
                                  "x + sin(alpha x)^2 / alpha")
        self.emit(node, [node], "snake", [x], layout,
                  weight={"alpha": alpha.detach().float().numpy().reshape(-1).copy()})

    def reflection_pad(self, node: fx.Node, m) -> None:
        if m is not None:
            pad, mode = tuple(m.padding), "reflect"
        else:
            a = dict(zip(("input", "pad", "mode", "value"), node.args))
            a.update(node.kwargs)
            pad, mode = tuple(a["pad"]), a.get("mode", "constant")
        if mode != "reflect" or pad != (1, 0):
            raise self.fail(node, f"padding {list(pad)} in mode '{mode}': only reflection "
                                  "padding (1, 0) of the time axis is supported")
        x, layout = self.seq(node, node.args[0], CHANNELS_FIRST)
        self.emit(node, [node], "reflection_pad", [x],
                  SeqLayout.of(layout.dims[0], layout.dims[1] + 1, layout.axes))

    def upsample_nearest(self, node: fx.Node, m) -> None:
        if m is not None:
            mode, factor, size = m.mode, m.scale_factor, m.size
        else:
            a = dict(zip(("input", "size", "scale_factor", "mode"), node.args))
            a.update(node.kwargs)
            mode, factor, size = a.get("mode", "nearest"), a.get("scale_factor"), a.get("size")
        x, layout = self.seq(node, node.args[0], CHANNELS_FIRST)
        if isinstance(factor, (tuple, list)):
            factor = factor[0] if len(factor) == 1 else None
        out_len = _shape(node)[2]
        if mode != "nearest" or size is not None or factor is None or \
                float(factor) != int(factor) or int(factor) < 1 or \
                out_len != layout.dims[1] * int(factor):
            raise self.fail(node, f"resizing in mode '{mode}' with scale factor {factor} and "
                                  f"size {size}: only nearest upsampling of the time axis by an "
                                  "integer factor is supported")
        s = int(factor)
        self.emit(node, [node], "upsample_nearest", [x],
                  SeqLayout.of(layout.dims[0], layout.dims[1] * s, layout.axes),
                  args=dict(scale_factor=s))

    def permute(self, node: fx.Node) -> None:
        x, layout = self.seq(node, node.args[0])
        if node.target == "permute":
            order = node.args[1:] if len(node.args) > 2 else node.args[1]
            order = [int(d) % 3 for d in order]
        else:
            d0, d1 = (int(d) % 3 for d in node.args[1:3])
            order = [0, 1, 2]
            order[d0], order[d1] = order[d1], order[d0]
        self.layouts[node.name] = layout.permuted(order)
        self.aliases[node.name] = self.aliases.get(x, x)
        self.value[node] = node.name


def _double(m: nn.Module) -> nn.Module:
    return copy.deepcopy(m).double()


def _numpy(tensors: dict) -> dict:
    return {k: v.detach().float().numpy().copy() for k, v in tensors.items() if v is not None}


def lower(module: nn.Module, example_inputs):
    """(inputs as [(name, layout)], op records, output names) of a sequence module."""
    return SequenceLowering(trace(module, tuple(example_inputs))).run()


_OPS = {"lstm": "lstm_fp32", "ada_in": "ada_in1d_fp32", "ada_ln": "ada_layer_norm_fp32",
        "snake": "snake1d_fp32", "reflection_pad": "reflection_pad1d_fp32",
        "upsample_nearest": "upsample_nearest1d_fp32"}


def build_fp32(module, example_inputs, model_name: str | None = None) -> tuple[dict, dict]:
    """The architecture document and weight tensors of a sequence module in float32."""
    from model_inference_tools.arch import Arch
    from model_inference_tools.export import _fp32_node

    inputs, ops, outputs = lower(module, example_inputs)
    arch = Arch(model=model_name or type(module).__name__)
    for name, layout in inputs:
        dims = [0, layout.dims[0]] if isinstance(layout, SeqLayout) else [layout.dims[0]]
        arch.add_input(name, dims, dtype="float32")
    tensors: dict = {}
    for op in ops:
        if op.kind in _OPS:
            arch.add(op.name, _OPS[op.kind], op.inputs, op.output, **op.args)
            for suffix, value in (op.weight or {}).items():
                tensors[f"{op.name}.{suffix}"] = value
        else:
            _fp32_node(arch, op, tensors)
    arch.outputs = list(outputs)
    return arch.to_json(), tensors


def is_sequence_example(example_input) -> bool:
    """True for what ``build_fp32`` takes: several example inputs, or one of three dims."""
    if isinstance(example_input, (tuple, list)):
        return True
    return isinstance(example_input, torch.Tensor) and example_input.dim() == 3


def to_time_major(x, axes=CHANNELS_FIRST) -> np.ndarray:
    """A PyTorch sequence whose batch, channel and time axes are at ``axes`` as the engine's
    (L, C) array."""
    a = np.asarray(x.detach().cpu().numpy() if hasattr(x, "detach") else x, dtype=np.float32)
    if a.ndim != 3 or a.shape[axes[0]] != 1:
        raise ValueError(f"expected a sequence of three dims with batch 1, got {a.shape}")
    return np.ascontiguousarray(np.transpose(a, (axes[0], axes[2], axes[1]))[0])


__all__ = ["BATCH_FIRST", "CHANNELS_FIRST", "TIME_FIRST", "SeqLayout", "build_fp32",
           "is_sequence_example", "lower", "to_time_major"]
