"""A NumPy model of the engine's transformer graphs, built on the kernel references, that
runs an architecture file plus a W1X1 file. Sequences are (T, C) matrices, images (H, W, C).
The exporter tests compare it against PyTorch; it shares no code with the exporter."""

import json

import numpy as np

import transformer_reference as tr
from engine_reference import conv, read_weights, tensor


def _w(wts, name, dtype=np.float32):
    return tensor(wts, name, dtype).astype(np.float64)


def _dynamic(x, q_w, w_scales):
    """x @ W.T with x quantised per row at run time; W int8 per row (in float64)."""
    q, s = tr.quantize_rows(x)
    return (q.astype(np.float64) @ q_w.astype(np.float64).T) * w_scales * s[:, None]


def _dense(wts, name, x, int8):
    if int8:
        y = _dynamic(x, tensor(wts, name + ".weight_i8", np.int8), _w(wts, name + ".w_scales"))
    else:
        y = x @ _w(wts, name + ".weight").T
    return y + _w(wts, name + ".bias")


def _attention(wts, name, x, heads, int8):
    if int8:
        qkv = _dynamic(x, tensor(wts, name + ".w_qkv_i8", np.int8), _w(wts, name + ".w_qkv_scales"))
    else:
        qkv = x @ _w(wts, name + ".w_qkv").T
    ctx = tr.attention_core(qkv + _w(wts, name + ".b_qkv"), heads)
    if int8:
        y = _dynamic(ctx, tensor(wts, name + ".w_proj_i8", np.int8), _w(wts, name + ".w_proj_scales"))
    else:
        y = ctx @ _w(wts, name + ".w_proj").T
    return y + _w(wts, name + ".b_proj")


def run(arch_path, weights_path, x):
    """Run the model on one input ((H, W, C) image or (T, 1) token ids); returns the first
    output as a 1-D float64 array."""
    doc = json.load(open(arch_path))
    wts = read_weights(weights_path)
    env = {doc["inputs"][0]["name"]: np.asarray(x, np.float64)}
    for n in doc["nodes"]:
        a, op, name = n.get("args", {}), n["op"], n["name"]
        ins = [env[i] for i in n["inputs"]]
        if op == "conv_fp32":
            y = conv(ins[0], tensor(wts, name + ".weight", np.float32), a) + _w(wts, name + ".bias")
        elif op == "patch_prep_fp32":
            tokens = ins[0].reshape(-1, ins[0].shape[-1])
            y = np.concatenate([_w(wts, name + ".cls_token")[None], tokens]) + \
                _w(wts, name + ".pos_embed").reshape(len(tokens) + 1, -1)
        elif op == "bert_embeddings_fp32":
            ids = ins[0].reshape(-1).astype(np.int64)
            e = (_w(wts, name + ".word_weight")[ids] + _w(wts, name + ".pos_weight")[: len(ids)]
                 + _w(wts, name + ".type_weight")[0])
            y = tr.layernorm(e, _w(wts, name + ".layernorm.weight"), _w(wts, name + ".layernorm.bias"), 1e-12)
        elif op == "layernorm_fp32":
            y = tr.layernorm(ins[0], _w(wts, name + ".gamma"), _w(wts, name + ".beta"), a.get("eps", 1e-6))
        elif op in ("attention_fp32", "attention_int8"):
            y = _attention(wts, name, ins[0], a["num_heads"], op.endswith("int8"))
        elif op in ("seqgemm_fp32", "seqgemm_int8"):
            y = _dense(wts, name, ins[0].reshape(-1, ins[0].shape[-1]), op.endswith("int8"))
            y = tr.gelu_tanh(y) if a.get("gelu") else y
        elif op == "gemm_fp32":
            y = _dense(wts, name, ins[0].reshape(1, -1), False)
        elif op == "add_fp32":
            y = ins[0] + ins[1]
        elif op == "leaky_relu_fp32":
            y = np.where(ins[0] >= 0, ins[0], a.get("alpha", 0.2) * ins[0])
        elif op == "cls_extract_fp32":
            y = ins[0][:1]
        elif op == "avgpool_fp32":
            y = ins[0].mean(0)
        else:
            raise AssertionError(f"no reference for op {op}")
        env[n["outputs"][0]] = y
    return env[doc["outputs"][0]["name"]].reshape(-1)
