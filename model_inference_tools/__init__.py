"""Companion tools for the model_inference engine: model-file writers and exporters."""

from model_inference_tools.arch import Arch, input_spec, node, write_arch
from model_inference_tools.weights import (
    DTYPE_CODES,
    ORDER_ROW_MAJOR,
    encode_weights,
    write_weights,
)

__all__ = [
    "Arch",
    "DTYPE_CODES",
    "ORDER_ROW_MAJOR",
    "encode_weights",
    "input_spec",
    "node",
    "write_arch",
    "write_weights",
]
