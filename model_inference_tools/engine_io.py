"""Helpers between PyTorch-style data and the engine: input layout, input quantisation and
the all-or-nothing writing of a model's two files. NumPy only, so that exported models run
without PyTorch."""

from __future__ import annotations

import json
import os

import numpy as np

from model_inference_tools.weights import _temp_beside, encode_weights


def to_engine_layout(x) -> np.ndarray:
    """A PyTorch-ordered input, (1, C, H, W) or (C, H, W), as the engine's (H, W, C)
    array; (1, N) becomes (N,)."""
    a = np.asarray(x.detach().cpu().numpy() if hasattr(x, "detach") else x, dtype=np.float32)
    if a.ndim == 4 and a.shape[0] == 1:
        a = a[0]
    if a.ndim == 3:
        return np.ascontiguousarray(a.transpose(1, 2, 0))
    if a.ndim == 2 and a.shape[0] == 1:
        return a[0]
    raise ValueError(f"expected (1, C, H, W), (C, H, W) or (1, N), got {a.shape}")


def quantize_input(x: np.ndarray, scale: float, zp: int) -> np.ndarray:
    """Float input values as the int8 codes of an int8 model's input (its InputSpec
    scale and zp): round(x / scale) + zp, saturated."""
    q = np.round(np.asarray(x, np.float32) / np.float32(scale)) + zp
    return np.clip(q, -128, 127).astype(np.int8)


def write_model(arch_path, weights_path, doc: dict, tensors: dict) -> None:
    """Write both model files, or neither: each goes to a temporary name first and both are
    renamed only once both are complete."""
    blobs = [(os.fspath(weights_path), encode_weights(tensors)),
             (os.fspath(arch_path), json.dumps(doc, indent=1).encode("utf-8"))]
    temps = []
    try:
        for path, data in blobs:
            temps.append(_temp_beside(path, data))
        for (path, _), tmp in zip(blobs, temps):
            os.replace(tmp, path)
    finally:
        for tmp in temps:
            if os.path.exists(tmp):
                os.unlink(tmp)
