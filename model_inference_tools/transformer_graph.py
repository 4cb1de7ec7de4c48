"""Export of transformer encoders: vision transformers and BERT-style text encoders.

Vision transformers come from torchvision's ``VisionTransformer`` or from a plain PyTorch
ViT built of a patch-embedding ``Conv2d`` (stride equal to its kernel), a class token of
shape (1, 1, D), a position embedding of shape (1, P + 1, D), encoder blocks (torchvision's
``EncoderBlock`` or ``nn.TransformerEncoderLayer``, pre- or post-norm), one final
``LayerNorm`` and one ``Linear`` head on the class token. The engine graph:

    conv_fp32 (patches) -> patch_prep_fp32 (class token, positions) -> blocks
    -> cls_extract_fp32 -> layernorm_fp32 -> gemm_fp32 (head)

BERT-style encoders come from Hugging Face ``BertModel`` (absolute positions, token type 0
everywhere, no padding mask): bert_embeddings_fp32 -> post-norm blocks -> avgpool_fp32,
the mean of the last hidden states over the tokens. The input is the token ids as floats,
one per row, with a variable length; ``sentence_embedding`` adds the L2 normalisation of
sentence-transformers models.

A block is layernorm_fp32, attention_fp32 (fused QKV and output projections, no residual),
add_fp32 for the residual, and two seqgemm_fp32 for the MLP, the first with the engine's
GELU. The engine's GELU is the tanh form; a model whose GELU is the erf form (torchvision's
and BERT's default) is exported only with ``approximate_gelu=True``.

``int8=True`` writes attention_int8 and seqgemm_int8 (also for the head) with symmetric
per-row int8 weights; the engine quantises the activations per token at run time, like
ONNX Runtime's dynamic quantisation. The patch convolution, embeddings and norms stay
float.

The recognised pieces are checked before anything is written: a float64 evaluation of the
recognised structure must reproduce the module's own output on a random input, so a module
that merely looks alike (another pooling, another order of operations) is refused.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from model_inference_tools.arch import Arch
from model_inference_tools.engine_io import write_model
from model_inference_tools.graph import ExportError

# The engine's BERT embedding layer normalises with this epsilon, fixed.
BERT_EMBEDDING_EPS = 1e-12
_VERIFY_TOL = 1e-3


@dataclass
class Norm:
    gamma: np.ndarray
    beta: np.ndarray
    eps: float


@dataclass
class Block:
    norm_first: bool
    ln1: Norm
    ln2: Norm
    num_heads: int
    w_qkv: np.ndarray  # (3E, E): query rows, then key rows, then value rows
    b_qkv: np.ndarray
    w_proj: np.ndarray
    b_proj: np.ndarray
    w_fc1: np.ndarray
    b_fc1: np.ndarray
    act: str  # "gelu" (tanh form), "gelu_erf" or "relu"
    w_fc2: np.ndarray
    b_fc2: np.ndarray
    where: str


@dataclass
class VitParts:
    patch_w: np.ndarray
    patch_b: np.ndarray
    image_hw: tuple
    cls: np.ndarray  # (D,)
    pos: np.ndarray  # (P + 1, D)
    blocks: list
    norm: Norm
    head_w: np.ndarray
    head_b: np.ndarray


@dataclass
class BertParts:
    word: np.ndarray
    pos: np.ndarray
    type0: np.ndarray
    emb_norm: Norm
    blocks: list


def _np(t) -> np.ndarray:
    return t.detach().cpu().double().numpy()


def _bias(linear_bias, n: int) -> np.ndarray:
    return _np(linear_bias) if linear_bias is not None else np.zeros(n)


def _norm(m: nn.Module, where: str) -> Norm:
    if not isinstance(m, nn.LayerNorm) or len(m.normalized_shape) != 1:
        raise ExportError(f"{where}: expected a LayerNorm over the last axis, got {type(m).__name__}")
    d = m.normalized_shape[0]
    gamma = _np(m.weight) if m.weight is not None else np.ones(d)
    beta = _np(m.bias) if m.bias is not None else np.zeros(d)
    return Norm(gamma, beta, float(m.eps))


def _mha(m: nn.MultiheadAttention, where: str):
    if not m._qkv_same_embed_dim or m.in_proj_weight is None:
        raise ExportError(f"{where}: attention with key or value sizes other than the embedding size")
    if m.bias_k is not None or m.add_zero_attn:
        raise ExportError(f"{where}: attention with add_bias_kv or add_zero_attn")
    e = m.embed_dim
    return (m.num_heads, _np(m.in_proj_weight), _bias(m.in_proj_bias, 3 * e),
            _np(m.out_proj.weight), _bias(m.out_proj.bias, e))


def _act_of(fn, where: str) -> str:
    if isinstance(fn, nn.GELU) or fn is F.gelu:
        return "gelu" if getattr(fn, "approximate", "none") == "tanh" else "gelu_erf"
    if isinstance(fn, nn.ReLU) or fn in (F.relu, torch.relu):
        return "relu"
    raise ExportError(f"{where}: activation {getattr(fn, '__name__', type(fn).__name__)} "
                      "(GELU or ReLU only)")


def _linear(m, where: str) -> nn.Linear:
    if not isinstance(m, nn.Linear):
        raise ExportError(f"{where}: expected a Linear, got {type(m).__name__}")
    return m


def _torch_layer(m: nn.TransformerEncoderLayer, where: str) -> Block:
    heads, wq, bq, wp, bp = _mha(m.self_attn, where + ".self_attn")
    # The declared activation, not PyTorch's fast-path code: that code runs the erf GELU
    # even for nn.GELU(approximate="tanh").
    act = _act_of(m.activation, where + ".activation")
    l1, l2 = _linear(m.linear1, where), _linear(m.linear2, where)
    return Block(bool(m.norm_first), _norm(m.norm1, where + ".norm1"), _norm(m.norm2, where + ".norm2"),
                 heads, wq, bq, wp, bp, _np(l1.weight), _bias(l1.bias, l1.out_features), act,
                 _np(l2.weight), _bias(l2.bias, l2.out_features), where)


def _is_torchvision_block(m: nn.Module) -> bool:
    return type(m).__name__ == "EncoderBlock" and all(
        hasattr(m, a) for a in ("ln_1", "self_attention", "ln_2", "mlp"))


def _torchvision_block(m: nn.Module, where: str) -> Block:
    heads, wq, bq, wp, bp = _mha(m.self_attention, where + ".self_attention")
    layers = [x for x in m.mlp if not isinstance(x, nn.Dropout)]
    if len(layers) != 3:
        raise ExportError(f"{where}.mlp: expected Linear, activation, Linear")
    l1, l2 = _linear(layers[0], where + ".mlp"), _linear(layers[2], where + ".mlp")
    return Block(True, _norm(m.ln_1, where + ".ln_1"), _norm(m.ln_2, where + ".ln_2"), heads, wq, bq,
                 wp, bp, _np(l1.weight), _bias(l1.bias, l1.out_features),
                 _act_of(layers[1], where + ".mlp"), _np(l2.weight), _bias(l2.bias, l2.out_features),
                 where)


def _check_blocks(blocks: list, d: int) -> None:
    for b in blocks:
        if b.w_qkv.shape != (3 * d, d):
            raise ExportError(f"{b.where}: attention width {b.w_qkv.shape[1]} differs from the "
                              f"embedding size {d}")
        if b.num_heads < 1 or d % b.num_heads:
            raise ExportError(f"{b.where}: {b.num_heads} heads do not divide the embedding size {d}")


def _outside(modules: list, blocks: list) -> list:
    inner = {id(x) for b in blocks for x in b.modules()}
    return [(n, m) for n, m in modules if id(m) not in inner]


def vit_parts(module: nn.Module, image_size=None) -> VitParts:
    """The pieces of a vision transformer; ExportError when ``module`` is not one."""
    named = list(module.named_modules())
    blocks = [(n, m) for n, m in named
              if isinstance(m, nn.TransformerEncoderLayer) or _is_torchvision_block(m)]
    if not blocks:
        raise ExportError(f"{type(module).__name__}: no encoder blocks (torchvision EncoderBlock or "
                          "nn.TransformerEncoderLayer) found")
    block_mods = [m for _, m in blocks]
    convs = [(n, m) for n, m in named if isinstance(m, nn.Conv2d)]
    if len(convs) != 1:
        raise ExportError(f"{type(module).__name__}: expected one patch-embedding Conv2d, found {len(convs)}")
    cname, conv = convs[0]
    if (conv.stride != conv.kernel_size or tuple(conv.padding) != (0, 0) or conv.groups != 1
            or tuple(conv.dilation) != (1, 1)):
        raise ExportError(f"module Conv2d '{cname}': a patch embedding needs stride equal to its "
                          "kernel, no padding, no groups and no dilation")
    d = conv.out_channels
    rest = _outside(named, block_mods)
    norms = [(n, m) for n, m in rest if isinstance(m, nn.LayerNorm)]
    linears = [(n, m) for n, m in rest if isinstance(m, nn.Linear)]
    if len(norms) != 1:
        raise ExportError(f"{type(module).__name__}: expected one final LayerNorm outside the blocks, "
                          f"found {len(norms)}")
    if len(linears) != 1:
        raise ExportError(f"{type(module).__name__}: expected one Linear head outside the blocks, found "
                          f"{len(linears)} (a pre-logits layer is not supported)")
    inner = {id(p) for m in block_mods + [conv, norms[0][1], linears[0][1]] for p in m.parameters()}
    free = [(n, p) for n, p in module.named_parameters() if id(p) not in inner]
    cls = [(n, p) for n, p in free if tuple(p.shape) == (1, 1, d)]
    pos = [(n, p) for n, p in free if p.dim() == 3 and p.shape[0] == 1 and p.shape[2] == d and p.shape[1] > 1]
    if len(cls) != 1 or len(pos) != 1 or len(free) != 2:
        raise ExportError(f"{type(module).__name__}: expected exactly a class token (1, 1, {d}) and a "
                          f"position embedding (1, P + 1, {d}) besides the layers, found "
                          f"{[(n, tuple(p.shape)) for n, p in free]}")
    patches = pos[0][1].shape[1] - 1
    kh, kw = conv.kernel_size
    if image_size is None:
        image_size = getattr(module, "image_size", None)
    if image_size is None:
        side = math.isqrt(patches)
        if side * side != patches:
            raise ExportError(f"{patches} patches are not a square grid; give image_size")
        image_size = (side * kh, side * kw)
    hw = (int(image_size), int(image_size)) if np.isscalar(image_size) else tuple(map(int, image_size))
    if hw[0] % kh or hw[1] % kw or (hw[0] // kh) * (hw[1] // kw) != patches:
        raise ExportError(f"image size {hw} with {kh}x{kw} patches does not give the {patches} "
                          f"positions of '{pos[0][0]}'")
    parsed = [_torch_layer(m, f"block '{n}'") if isinstance(m, nn.TransformerEncoderLayer)
              else _torchvision_block(m, f"block '{n}'") for n, m in blocks]
    _check_blocks(parsed, d)
    head = linears[0][1]
    if head.in_features != d:
        raise ExportError(f"module Linear '{linears[0][0]}': head input {head.in_features} differs "
                          f"from the embedding size {d}")
    return VitParts(_np(conv.weight), _bias(conv.bias, d), hw, _np(cls[0][1]).reshape(d),
                    _np(pos[0][1]).reshape(patches + 1, d), parsed, _norm(norms[0][1], f"'{norms[0][0]}'"),
                    _np(head.weight), _bias(head.bias, head.out_features))


_BERT_ACTS = {"gelu": "gelu_erf", "gelu_new": "gelu", "gelu_pytorch_tanh": "gelu", "relu": "relu"}


def bert_parts(module: nn.Module) -> BertParts:
    """The pieces of a Hugging Face BertModel; ExportError when ``module`` is not one."""
    cfg = getattr(module, "config", None)
    if cfg is None or not hasattr(module, "embeddings") or not hasattr(module, "encoder"):
        raise ExportError(f"{type(module).__name__}: expected a Hugging Face BertModel")
    if getattr(cfg, "is_decoder", False) or getattr(cfg, "add_cross_attention", False):
        raise ExportError("BertModel: decoder configurations are not supported")
    kind = getattr(cfg, "position_embedding_type", "absolute")
    if kind not in (None, "absolute"):
        raise ExportError(f"BertModel: position embedding '{kind}' (only absolute positions)")
    act = _BERT_ACTS.get(cfg.hidden_act) if isinstance(cfg.hidden_act, str) else None
    if act is None:
        raise ExportError(f"BertModel: hidden_act {cfg.hidden_act!r} (gelu, gelu_new, "
                          "gelu_pytorch_tanh or relu)")
    emb = module.embeddings
    norm = _norm(emb.LayerNorm, "embeddings.LayerNorm")
    if abs(norm.eps - BERT_EMBEDDING_EPS) > 1e-15:
        raise ExportError(f"embeddings.LayerNorm: epsilon {norm.eps} (the engine's embedding layer "
                          f"uses {BERT_EMBEDDING_EPS})")
    heads = int(cfg.num_attention_heads)
    blocks = []
    for i, layer in enumerate(module.encoder.layer):
        where = f"encoder.layer.{i}"
        att = layer.attention
        q, k, v = att.self.query, att.self.key, att.self.value
        e = q.in_features
        blocks.append(Block(
            False, _norm(att.output.LayerNorm, where + ".attention.output.LayerNorm"),
            _norm(layer.output.LayerNorm, where + ".output.LayerNorm"), heads,
            np.concatenate([_np(q.weight), _np(k.weight), _np(v.weight)]),
            np.concatenate([_bias(q.bias, e), _bias(k.bias, e), _bias(v.bias, e)]),
            _np(att.output.dense.weight), _bias(att.output.dense.bias, e),
            _np(layer.intermediate.dense.weight), _bias(layer.intermediate.dense.bias, cfg.intermediate_size),
            act, _np(layer.output.dense.weight), _bias(layer.output.dense.bias, e), where))
    d = emb.word_embeddings.embedding_dim
    _check_blocks(blocks, d)
    return BertParts(_np(emb.word_embeddings.weight), _np(emb.position_embeddings.weight),
                     _np(emb.token_type_embeddings.weight[0]), norm, blocks)


# ---- float64 evaluation of the recognised structure -----------------------------------------

def _t(a) -> torch.Tensor:
    return torch.from_numpy(np.asarray(a, np.float64))


def _ref_norm(x, n: Norm):
    return F.layer_norm(x, (x.shape[-1],), _t(n.gamma), _t(n.beta), n.eps)


def _ref_act(x, act: str):
    if act == "relu":
        return torch.relu(x)
    return F.gelu(x, approximate="tanh" if act == "gelu" else "none")


def _ref_block(x, b: Block):
    """x: (T, E)."""
    t, e = x.shape
    d = e // b.num_heads

    def attention(h):
        qkv = (h @ _t(b.w_qkv).T + _t(b.b_qkv)).reshape(t, 3, b.num_heads, d).permute(1, 2, 0, 3)
        s = torch.softmax(qkv[0] @ qkv[1].transpose(1, 2) / math.sqrt(d), dim=-1)
        return (s @ qkv[2]).transpose(0, 1).reshape(t, e) @ _t(b.w_proj).T + _t(b.b_proj)

    def mlp(h):
        return _ref_act(h @ _t(b.w_fc1).T + _t(b.b_fc1), b.act) @ _t(b.w_fc2).T + _t(b.b_fc2)

    if b.norm_first:
        x = x + attention(_ref_norm(x, b.ln1))
        return x + mlp(_ref_norm(x, b.ln2))
    x = _ref_norm(x + attention(x), b.ln1)
    return _ref_norm(x + mlp(x), b.ln2)


def vit_reference(p: VitParts, image: torch.Tensor) -> torch.Tensor:
    """Logits of one (1, C, H, W) image, from the recognised pieces, in float64."""
    kh = p.patch_w.shape[2]
    x = F.conv2d(image.double(), _t(p.patch_w), _t(p.patch_b), stride=(kh, p.patch_w.shape[3]))
    x = torch.cat([_t(p.cls)[None], x.flatten(2)[0].T]) + _t(p.pos)
    for b in p.blocks:
        x = _ref_block(x, b)
    return _ref_norm(x[0], p.norm) @ _t(p.head_w).T + _t(p.head_b)


def bert_reference(p: BertParts, ids) -> torch.Tensor:
    """Mean-pooled last hidden state of one sentence of token ids, in float64."""
    ids = torch.as_tensor(np.asarray(ids, np.int64))
    x = _t(p.word)[ids] + _t(p.pos)[: len(ids)] + _t(p.type0)
    x = _ref_norm(x, p.emb_norm)
    for b in p.blocks:
        x = _ref_block(x, b)
    return x.mean(0)


def _verify(what: str, got: torch.Tensor, want: torch.Tensor) -> None:
    scale = float(want.abs().max()) or 1.0
    err = float((got - want.double()).abs().max()) / scale
    if not err <= _VERIFY_TOL:
        raise ExportError(f"{what}: the recognised layers do not reproduce the module's output "
                          f"(largest deviation {err:.2g} of the output scale); its forward computes "
                          "something else than a standard encoder")


def _verify_vit(module: nn.Module, p: VitParts) -> None:
    g = torch.Generator().manual_seed(0)
    x = torch.randn(1, p.patch_w.shape[1], *p.image_hw, generator=g)
    with torch.no_grad():
        want = module(x).reshape(-1)
        got = vit_reference(p, x)
    _verify(type(module).__name__, got, want)


def _verify_bert(module: nn.Module, p: BertParts) -> None:
    g = torch.Generator().manual_seed(0)
    ids = torch.randint(0, p.word.shape[0], (1, min(12, p.pos.shape[0])), generator=g)
    with torch.no_grad():
        hidden = module(input_ids=ids, token_type_ids=torch.zeros_like(ids)).last_hidden_state
        got = bert_reference(p, ids[0].numpy())
    _verify(type(module).__name__, got, hidden[0].mean(0))


# ---- writing ---------------------------------------------------------------------------------

def quantize_rows(w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Symmetric per-row int8 weights in [-127, 127] and their float32 scales."""
    a = np.abs(w).max(axis=1)
    scales = np.where(a > 0, a / 127.0, 1.0)
    q = np.clip(np.round(w / scales[:, None]), -127, 127).astype(np.int8)
    return q, scales.astype(np.float32)


def _f32(a) -> np.ndarray:
    return np.ascontiguousarray(a, np.float32)


class _Writer:
    def __init__(self, arch: Arch, int8: bool, approximate_gelu: bool):
        self.arch, self.int8, self.approximate_gelu = arch, int8, approximate_gelu
        self.tensors: dict = {}

    def norm(self, name: str, x: str, n: Norm) -> str:
        self.arch.add(name, "layernorm_fp32", [x], name, eps=n.eps)
        self.tensors[name + ".gamma"] = _f32(n.gamma)
        self.tensors[name + ".beta"] = _f32(n.beta)
        return name

    def dense(self, name: str, x: str, w, b, gelu: bool = False) -> str:
        n, k = w.shape
        if self.int8:
            q, s = quantize_rows(w)
            self.arch.add(name, "seqgemm_int8", [x], name, C_in=k, C_out=n, gelu=gelu)
            self.tensors.update({name + ".weight_i8": q, name + ".w_scales": s})
        else:
            self.arch.add(name, "seqgemm_fp32", [x], name, C_in=k, C_out=n, gelu=gelu)
            self.tensors[name + ".weight"] = _f32(w)
        self.tensors[name + ".bias"] = _f32(b)
        return name

    def attention(self, name: str, x: str, b: Block) -> str:
        e = b.w_proj.shape[0]
        if self.int8:
            self.arch.add(name, "attention_int8", [x], name, num_heads=b.num_heads, embed_dim=e)
            for part, w in (("qkv", b.w_qkv), ("proj", b.w_proj)):
                q, s = quantize_rows(w)
                self.tensors.update({f"{name}.w_{part}_i8": q, f"{name}.w_{part}_scales": s})
        else:
            self.arch.add(name, "attention_fp32", [x], name, num_heads=b.num_heads, embed_dim=e)
            self.tensors.update({name + ".w_qkv": _f32(b.w_qkv), name + ".w_proj": _f32(b.w_proj)})
        self.tensors.update({name + ".b_qkv": _f32(b.b_qkv), name + ".b_proj": _f32(b.b_proj)})
        return name

    def add(self, name: str, a: str, b: str) -> str:
        self.arch.add(name, "add_fp32", [a, b], name)
        return name

    def mlp(self, prefix: str, x: str, b: Block) -> str:
        if b.act == "gelu_erf" and not self.approximate_gelu:
            raise ExportError(f"{b.where}: GELU in its erf form; the engine computes the tanh form. "
                              "Pass approximate_gelu=True to accept the approximation")
        gelu = b.act != "relu"
        h = self.dense(prefix + ".fc1", x, b.w_fc1, b.b_fc1, gelu=gelu)
        if not gelu:
            self.arch.add(prefix + ".relu", "leaky_relu_fp32", [h], prefix + ".relu", alpha=0.0)
            h = prefix + ".relu"
        return self.dense(prefix + ".fc2", h, b.w_fc2, b.b_fc2)

    def block(self, i: int, x: str, b: Block) -> str:
        p = f"blocks.{i}"
        if b.norm_first:
            x = self.add(p + ".res1", x, self.attention(p + ".attn", self.norm(p + ".ln1", x, b.ln1), b))
            return self.add(p + ".res2", x, self.mlp(p + ".mlp", self.norm(p + ".ln2", x, b.ln2), b))
        x = self.norm(p + ".ln1", self.add(p + ".res1", x, self.attention(p + ".attn", x, b)), b.ln1)
        return self.norm(p + ".ln2", self.add(p + ".res2", x, self.mlp(p + ".mlp", x, b)), b.ln2)


def build_vit(p: VitParts, model_name: str, int8: bool = False,
              approximate_gelu: bool = False) -> tuple[dict, dict]:
    """The architecture document and weight tensors of a vision transformer."""
    arch = Arch(model=model_name)
    c, (h, w) = p.patch_w.shape[1], p.image_hw
    d, kh, kw = p.patch_w.shape[0], p.patch_w.shape[2], p.patch_w.shape[3]
    arch.add_input("x", [h, w, c], dtype="float32")
    wr = _Writer(arch, int8, approximate_gelu)
    arch.add("patch_embed", "conv_fp32", ["x"], "patch_embed", C_out=d, C_in=c, kH=kh, kW=kw,
             stride_h=kh, stride_w=kw)
    wr.tensors.update({"patch_embed.weight": _f32(p.patch_w), "patch_embed.bias": _f32(p.patch_b)})
    arch.add("tokens", "patch_prep_fp32", ["patch_embed"], "tokens")
    wr.tensors.update({"tokens.cls_token": _f32(p.cls), "tokens.pos_embed": _f32(p.pos)})
    x = "tokens"
    for i, b in enumerate(p.blocks):
        x = wr.block(i, x, b)
    # Layer norm works token by token, so normalising only the class token is the same.
    arch.add("cls", "cls_extract_fp32", [x], "cls")
    x = wr.norm("norm", "cls", p.norm)
    n = p.head_w.shape[0]
    if int8:
        wr.dense("head", x, p.head_w, p.head_b)
    else:
        arch.add("head", "gemm_fp32", [x], "head", C_out=n, C_in=d)
        wr.tensors.update({"head.weight": _f32(p.head_w), "head.bias": _f32(p.head_b)})
    arch.outputs = ["head"]
    return arch.to_json(), wr.tensors


def build_bert(p: BertParts, model_name: str, int8: bool = False,
               approximate_gelu: bool = False) -> tuple[dict, dict]:
    """The architecture document and weight tensors of a BERT-style sentence encoder."""
    arch = Arch(model=model_name)
    arch.add_input("input_ids", [0, 1], dtype="float32")
    wr = _Writer(arch, int8, approximate_gelu)
    e = p.word.shape[1]
    arch.add("embeddings", "bert_embeddings_fp32", ["input_ids"], "embeddings", emb_size=e)
    wr.tensors.update({"embeddings.word_weight": _f32(p.word), "embeddings.pos_weight": _f32(p.pos),
                       "embeddings.type_weight": _f32(p.type0[None]),
                       "embeddings.layernorm.weight": _f32(p.emb_norm.gamma),
                       "embeddings.layernorm.bias": _f32(p.emb_norm.beta)})
    x = "embeddings"
    for i, b in enumerate(p.blocks):
        x = wr.block(i, x, b)
    arch.add("mean_pool", "avgpool_fp32", [x], "mean_pool")
    arch.outputs = ["mean_pool"]
    return arch.to_json(), wr.tensors


def export_vit(module: nn.Module, arch_path, weights_path, *, int8: bool = False,
               approximate_gelu: bool = False, image_size=None, model_name: str | None = None,
               verify: bool = True) -> dict:
    """Export a vision transformer (in eval mode) and return the architecture document.
    The engine model takes one (H, W, C) float32 image and returns the logits.

    ``image_size`` (an int or (H, W)) defaults to the module's ``image_size`` attribute or
    to the square grid of its position embedding."""
    _check_eval(module)
    p = vit_parts(module, image_size)
    if verify:
        _verify_vit(module, p)
    doc, tensors = build_vit(p, model_name or type(module).__name__, int8, approximate_gelu)
    write_model(arch_path, weights_path, doc, tensors)
    return doc


def export_bert(module: nn.Module, arch_path, weights_path, *, int8: bool = False,
                approximate_gelu: bool = False, model_name: str | None = None,
                verify: bool = True) -> dict:
    """Export a Hugging Face BertModel (in eval mode) as a sentence encoder and return the
    architecture document. The engine model takes the token ids of one sentence (floats,
    see ``token_input``) and returns the mean of the last hidden states."""
    _check_eval(module)
    p = bert_parts(module)
    if verify:
        _verify_bert(module, p)
    doc, tensors = build_bert(p, model_name or type(module).__name__, int8, approximate_gelu)
    write_model(arch_path, weights_path, doc, tensors)
    return doc


def _check_eval(module: nn.Module) -> None:
    if not isinstance(module, nn.Module):
        raise ExportError(f"expected a torch.nn.Module, got {type(module).__name__}")
    training = [name or "<root>" for name, m in module.named_modules() if m.training]
    if training:
        raise ExportError(f"module is in training mode (submodule {training[0]!r}); call .eval() first")


def token_input(ids) -> np.ndarray:
    """Token ids of one sentence as the engine's input: one float per row."""
    return np.asarray(ids, np.float32).reshape(-1, 1)


def sentence_embedding(model, ids) -> np.ndarray:
    """The L2-normalised mean-pooled embedding of one sentence (sentence-transformers'
    pooling), from a model written by ``export_bert``."""
    v = np.asarray(model.forward(token_input(ids)), np.float32)
    return v / max(float(np.linalg.norm(v)), 1e-12)
