"""Writes the seed corpora of the fuzz targets: make_corpus.py OUTDIR.

OUTDIR/<target>/ receives small valid files made with the model_inference_tools writers,
plus a few near-misses, so the fuzzers start from the formats' real structure.
"""

from __future__ import annotations

import json
import struct
import sys
from pathlib import Path

import numpy as np

import model_inference_tools as mt


def arches() -> dict[str, mt.Arch]:
    out = {}
    a = mt.Arch(model="concat")
    a.add_input("x", [4, 3]).add_input("y", [4, 2])
    a.add("cat", "concat1d_fp32", ["x", "y"], "z", C2=2)
    out["concat"] = a

    a = mt.Arch(model="slice")
    a.add_input("x", [0, 8])
    a.add("s", "slice_channels_fp32", ["x"], "y", ch_start=2, ch_end=6)
    a.add("c", "concat1d_fp32", ["y"], "z", C2=3)
    out["slice_variable"] = a

    a = mt.Arch(model="chain", outputs=["b", "d"])
    a.add_input("x", [2, 3, 4], dtype="int8")
    a.add("a", "slice_channels_fp32", ["x"], "a", ch_start=0, ch_end=4)
    a.add("b", "concat1d_fp32", ["a"], "b", C2=1)
    a.add("c", "slice_channels_fp32", ["b"], "c", ch_start=1, ch_end=5)
    a.add("d", "concat1d_fp32", ["c", "a"], "d", C2=4, relu=True)
    out["chain_int8"] = a

    a = mt.Arch(model="unknown")
    a.add_input("x", [5])
    a.add("g", "gemm_fp32", ["x"], "y", N=3)
    out["unknown_op"] = a
    return out


def weight_sets() -> dict[str, dict]:
    rng = np.random.default_rng(7)
    return {
        "empty": {},
        "fc": {"fc.weight": rng.standard_normal((3, 4)).astype(np.float32),
               "fc.bias": np.arange(3, dtype=np.float32)},
        "mixed": {"conv.weight": rng.integers(-5, 5, (2, 3, 3, 1), dtype=np.int8),
                  "conv.scale": np.ones(2, np.float32),
                  "fc.weight": np.zeros((0,), np.float32)},
    }


def sequence_models() -> dict[str, tuple[mt.Arch, dict]]:
    """Small models of the sequence layers with weights that fit them."""
    rng = np.random.default_rng(3)

    def f32(*shape):
        return rng.standard_normal(shape).astype(np.float32)

    a = mt.Arch(model="lstm")
    a.add_input("x", [0, 3])
    a.add("r", "lstm_fp32", ["x"], "y", hidden_size=2, bidirectional=True)
    a.add("p", "reflection_pad1d_fp32", ["y"], "z")
    lstm = {f"r.{k}_l0{d}": f32(*s) for d in ("", "_reverse")
            for k, s in (("weight_ih", (8, 3)), ("weight_hh", (8, 2)), ("bias_ih", (8,)),
                         ("bias_hh", (8,)))}

    b = mt.Arch(model="style")
    b.add_input("x", [0, 4]).add_input("s", [3])
    b.add("n", "ada_in1d_fp32", ["x", "s"], "y", C=4, C_style=3)
    b.add("l", "ada_layer_norm_fp32", ["y", "s"], "z", C=4, C_style=3)
    b.add("k", "snake1d_fp32", ["z"], "u")
    b.add("u", "upsample_nearest1d_fp32", ["u"], "v", scale_factor=3)
    b.add("t", "sum_channels_fp32", ["v"], "w")
    style = {"n.fc.weight_i8": rng.integers(-9, 9, (8, 3), dtype=np.int8),
             "n.fc.w_scales": np.full(8, 0.1, np.float32), "n.norm.weight": f32(4),
             "l.fc.weight": f32(8, 3), "l.fc.bias": f32(8), "k.alpha": f32(4)}
    c = mt.Arch(model="encoder")
    c.add_input("x", [0, 8])
    c.add("ln", "layernorm_fp32", ["x"], "h", eps=1e-6)
    c.add("at", "attention_fp32", ["h"], "a", num_heads=2)
    c.add("q8", "attention_int8", ["a"], "b", num_heads=4, embed_dim=8)
    c.add("fc", "seqgemm_fp32", ["b"], "m", C_in=8, C_out=6, gelu=True)
    c.add("layers.0.o", "seqgemm_int8", ["m"], "y", C_in=6, C_out=8)
    c.add("pe", "pos_emb_add_fp32", ["y"], "z")
    c.add("cls", "cls_extract_fp32", ["z"], "u")
    encoder = {"ln.gamma": f32(8), "ln.beta": f32(8), "at.w_qkv": f32(24, 8),
               "at.w_proj": f32(8, 8), "at.b_qkv": f32(24),
               "q8.w_qkv_i8": rng.integers(-9, 9, (24, 8), dtype=np.int8),
               "q8.w_qkv_scales": np.full(24, 0.1, np.float32),
               "q8.w_proj_i8": rng.integers(-9, 9, (8, 8), dtype=np.int8),
               "q8.w_proj_scales": np.full(8, 0.1, np.float32), "fc.weight": f32(6, 8),
               "layers.0.o.weight_i8": rng.integers(-9, 9, (8, 6), dtype=np.int8),
               "layers.0.o.w_scales": np.full(8, 0.1, np.float32), "pe.weight": f32(64)}

    d = mt.Arch(model="bert")
    d.add_input("ids", [0, 1])
    d.add("emb", "bert_embeddings_fp32", ["ids"], "e", emb_size=8)
    d.add("prep", "patch_prep_fp32", ["e"], "y")
    bert = {"emb.word_weight": f32(5, 8), "emb.pos_weight": f32(70, 8),
            "emb.layernorm.weight": f32(8), "prep.cls_token": f32(8),
            "prep.pos_embed": f32(66, 8)}

    e = mt.Arch(model="speech_ends", outputs=["w", "r", "h"])
    e.add_input("x", [0, 2]).add_input("d", [0, 1])
    e.add("r", "length_regulate_fp32", ["x", "d"], "r")
    e.add("s", "stft_fp32", ["r"], "S", n_fft=4, hop_size=1)
    e.add("m", "slice_channels_fp32", ["S"], "m", ch_start=0, ch_end=3)
    e.add("p", "slice_channels_fp32", ["S"], "p", ch_start=3, ch_end=6)
    e.add("i", "istft_fp32", ["m", "p"], "w", n_fft=4, hop_size=1, normalized=True)
    e.add("h", "sine_gen_fp32", ["r"], "h", harmonic_num=2, upsample_scale=2, sample_rate=50)
    speech = {"s.w_real": f32(3, 4), "s.w_imag": f32(3, 4)}

    g = mt.Arch(model="conv1d")
    g.add_input("x", [0, 4])
    g.add("c", "conv1d_fp32", ["x"], "y", C_in=4, C_out=6, kernel_size=3, padding=2, dilation=2)
    g.add("q", "conv1d_int8", ["y"], "z", C_in=6, C_out=4, kernel_size=3, padding=1)
    g.add("t", "conv_transpose1d_fp32", ["z"], "u", C_in=4, C_out=2, kernel_size=4, stride=2,
          padding=1)
    g.add("e", "conv1d_fp32", ["u"], "v", C_in=2, C_out=3, kernel_size=5, padding=4, dilation=2,
          extended_winograd=True)
    conv = {"c.weight": f32(6, 4, 3), "c.bias": f32(6), "e.weight": f32(3, 2, 5),
            "q.weight_i8": rng.integers(-9, 9, (4, 3, 6), dtype=np.int8),
            "q.w_scales": np.full(4, 0.1, np.float32), "t.weight": f32(4, 2, 4)}

    h = mt.Arch(model="decoder")
    h.add_input("ids", [0, 1])
    h.add("emb", "embedding_fp32", ["ids"], "e")
    h.add("norm", "rms_norm_fp32", ["e"], "n", eps=1e-5)
    h.add("attn", "causal_attn_core_fp32", ["n", "n", "n"], "a", num_q_heads=2, num_kv_heads=2,
          head_dim=4)
    h.add("gate", "silu_fp32", ["a"], "s")
    h.add("mul", "elemwise_mul_fp32", ["s", "n"], "m")
    h.add("lm_head", "seqgemm_fp32", ["m"], "logits", C_in=8, C_out=11, last_token_only=True)
    decoder = {"emb.weight": f32(11, 8), "norm.gamma": f32(8), "lm_head.weight": f32(11, 8)}
    return {"lstm": (a, lstm), "style": (b, style), "encoder": (c, encoder), "bert": (d, bert),
            "speech_ends": (e, speech), "conv1d": (g, conv), "decoder": (h, decoder)}


def pack_model(arch: bytes, weights: bytes, inputs: bytes) -> bytes:
    return (struct.pack("<I", len(arch)) + arch + struct.pack("<I", len(weights)) + weights
            + inputs)


def main(outdir: Path) -> None:
    dirs = {t: outdir / t for t in ("json", "arch", "weights", "model")}
    for d in dirs.values():
        d.mkdir(parents=True, exist_ok=True)
    arch_bytes = {k: json.dumps(a.to_json()).encode() for k, a in arches().items()}
    arch_bytes["legacy_keys"] = json.dumps({
        "input": {"h": 1, "w": 1, "c": 6},
        "nodes": [{"name": "s", "op": "slice_channels_fp32", "in": "x", "out": "y",
                   "ch_start": 1, "ch_end": 3, "relu": 1}]}).encode()
    for k, b in arch_bytes.items():
        (dirs["arch"] / k).write_bytes(b)
        (dirs["json"] / k).write_bytes(b)
    for k, b in {"numbers": b"[1e400, -1e400, 2147483648, -0.5, -, 1e, 0.1e-400]",
                 "escapes": b'{"a\\tb": "\\u00e9\\q", "": null, "t": [true, false]}',
                 "nested": b"[" * 40 + b"]" * 40}.items():
        (dirs["json"] / k).write_bytes(b)

    weights = {k: mt.encode_weights(t) for k, t in weight_sets().items()}
    for k, b in weights.items():
        (dirs["weights"] / k).write_bytes(b)

    rng = np.random.default_rng(11)
    data = rng.standard_normal(64).astype(np.float32).tobytes()
    for ka, a in arch_bytes.items():
        for kw in ("empty", "fc"):
            (dirs["model"] / f"{ka}_{kw}").write_bytes(pack_model(a, weights[kw], data))
    for k, (arch, tensors) in sequence_models().items():
        a = json.dumps(arch.to_json()).encode()
        (dirs["arch"] / k).write_bytes(a)
        (dirs["model"] / k).write_bytes(pack_model(a, mt.encode_weights(tensors), data))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
