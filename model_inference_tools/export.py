"""Float32 export of a PyTorch module to an architecture file and a W1X1 weights file."""

from __future__ import annotations

from model_inference_tools import conv1d_export, sequence_graph
from model_inference_tools.arch import Arch
from model_inference_tools.engine_io import write_model
from model_inference_tools.graph import ExportError, lower

_ACT_OPS = {"leaky_relu": "leaky_relu_fp32", "relu": "leaky_relu_fp32", "sigmoid": "sigmoid_fp32",
            "tanh": "tanh_fp32", "gelu": "gelu_fp32", "silu": "silu_fp32"}

_RELU6_FP32 = ("ReLU6 has no float32 op in the engine and no exact rewrite into its ops; "
               "quantise the model (int8 folds ReLU6 into the output range) or use ReLU")


def input_dims(layout) -> list:
    """The declared [H, W, C] (or [N]) of an engine input with this layout."""
    if layout.kind == "image":
        c, h, w = layout.dims
        return [h, w, c]
    return [layout.dims[0]]


def _fp32_node(arch: Arch, op, tensors: dict) -> None:
    if op.kind in conv1d_export.OPS:
        return conv1d_export.write_node(arch, op, tensors)
    if op.act == "relu6" or op.args.get("fn") == "relu6":
        raise ExportError(f"{op.where}: {_RELU6_FP32}")
    relu = op.act == "relu"
    if op.kind == "conv":
        arch.add(op.name, "conv_fp32", op.inputs, op.output, relu=relu, **op.args)
        tensors[op.name + ".weight"] = op.weight
        tensors[op.name + ".bias"] = op.bias
    elif op.kind == "dense":
        arch.add(op.name, "gemm_fp32", op.inputs, op.output, relu=relu, **op.args)
        tensors[op.name + ".weight"] = op.weight
        tensors[op.name + ".bias"] = op.bias
    elif op.kind == "add":
        arch.add(op.name, "add_fp32", op.inputs, op.output, relu=relu)
    elif op.kind == "maxpool":
        arch.add(op.name, "maxpool_fp32", op.inputs, op.output, **op.args)
    elif op.kind == "avgpool":
        if relu:
            raise ExportError(f"{op.where}: a ReLU after float32 average pooling cannot be fused")
        arch.add(op.name, "avgpool_fp32", op.inputs, op.output)
    elif op.kind == "upsample":
        arch.add(op.name, "upsample_bilinear_fp32", op.inputs, op.output, **op.args)
    else:
        fn = op.args["fn"]
        args = {"alpha": 0.0 if fn == "relu" else op.args["alpha"]} if fn in ("relu", "leaky_relu") else {}
        arch.add(op.name, _ACT_OPS[fn], op.inputs, op.output, **args)


def build_fp32(module, example_input, model_name: str | None = None) -> tuple[dict, dict]:
    """The architecture document and the weight tensors of ``module`` in float32."""
    if sequence_graph.is_sequence_example(example_input):
        inputs = example_input if isinstance(example_input, (tuple, list)) else (example_input,)
        return sequence_graph.build_fp32(module, inputs, model_name)
    graph = lower(module, example_input)
    arch = Arch(model=model_name or type(module).__name__)
    arch.add_input(graph.input_name, input_dims(graph.input_layout), dtype="float32")
    tensors: dict = {}
    for op in graph.ops:
        _fp32_node(arch, op, tensors)
    arch.outputs = list(graph.outputs)
    return arch.to_json(), tensors


def export(module, example_input, arch_path, weights_path, model_name: str | None = None) -> dict:
    """Export ``module`` (in eval mode) as a float32 model; returns the architecture
    document. ``example_input`` is one (1, C, H, W) image or one (1, N) vector, or for
    sequence models a sequence of three dims or a tuple of example inputs (see
    ``sequence_graph``)."""
    doc, tensors = build_fp32(module, example_input, model_name)
    write_model(arch_path, weights_path, doc, tensors)
    return doc
