"""Transformer layers through real model files: layer norm, attention (float and int8), the
sequence products with their single-token int8 path, the vision-transformer glue and the
BERT embeddings, against PyTorch and NumPy; malformed weights and inputs refused by name."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F

import model_inference_tools as mt
import transformer_reference as R
from harness import ALL_THREADS, check_rejects, forward, one_node, testing as T

torch.set_num_threads(1)


def f32(t):
    return t.detach().numpy().astype(np.float32)


def mha(E, heads, seed):
    torch.manual_seed(seed)
    m = torch.nn.MultiheadAttention(E, heads, batch_first=True)
    with torch.no_grad():
        m.in_proj_bias.normal_(0, 0.5)
        m.out_proj.bias.normal_(0, 0.5)
    return m.eval()


def mha_tensors(m, name="attn"):
    return {f"{name}.w_qkv": f32(m.in_proj_weight), f"{name}.b_qkv": f32(m.in_proj_bias),
            f"{name}.w_proj": f32(m.out_proj.weight), f"{name}.b_proj": f32(m.out_proj.bias)}


def mha_forward(m, x):
    with torch.no_grad():
        t = torch.from_numpy(x)[None]
        return f32(m(t, t, t, need_weights=False)[0][0])


# ---- layer norm ------------------------------------------------------------------------

@pytest.mark.parametrize("T_,C", [(197, 768), (1, 64), (10, 37)])
def test_layernorm_layer(case, make_model, T_, C):
    ln = torch.nn.LayerNorm(C, eps=1e-6)
    with torch.no_grad():
        ln.weight.normal_()
        ln.bias.normal_()
    x = case.normal((T_, C), 3.0)
    model = make_model(one_node("layernorm_fp32", (0, C), name="ln", eps=1e-6),
                       {"ln.gamma": f32(ln.weight), "ln.beta": f32(ln.bias)})
    want = f32(ln(torch.from_numpy(x))).ravel()
    case.sweep(lambda threads: forward(model, x), want, threads=ALL_THREADS, atol=3e-5, rtol=3e-5)


# ---- attention -------------------------------------------------------------------------

@pytest.mark.parametrize("T_", [1, 64, 100, 197])
@pytest.mark.parametrize("d,heads", [(32, 3), (64, 2)])
@pytest.mark.parametrize("embed_dim", ["given", "from_weights"])
def test_attention_layer(case, make_model, T_, d, heads, embed_dim):
    E = d * heads
    m = mha(E, heads, seed=T_ + d)
    x = case.normal((T_, E))
    args = {"num_heads": heads, **({"embed_dim": E} if embed_dim == "given" else {})}
    model = make_model(one_node("attention_fp32", (0, E), name="attn", **args), mha_tensors(m))
    case.sweep(lambda threads: forward(model, x), mha_forward(m, x).ravel(),
               threads=ALL_THREADS, atol=2e-5, rtol=2e-5)


def test_attention_layer_dynamic_quantize(case, make_model):
    E, heads, T_ = 64, 4, 50
    m = mha(E, heads, seed=3)
    x = case.normal((T_, E))
    tensors = mha_tensors(m)
    model = make_model(one_node("attention_fp32", (0, E), name="attn", num_heads=heads,
                                dynamic_quantize=True), tensors)
    # Input quantised as the layer does, context as the kernel does.
    xq = R.fake_quantize(x)
    want = T.attention_fp32(xq, tensors["attn.w_qkv"], tensors["attn.b_qkv"],
                            tensors["attn.w_proj"], tensors["attn.b_proj"], heads,
                            dynamic_quantize=True, impl="ref")
    case.sweep(lambda threads: forward(model, x), want.ravel(), threads=ALL_THREADS, exact=True)
    # The simulated 8-bit activations stay close to the float layer.
    case.check(want.ravel(), mha_forward(m, x).ravel(), atol=0.05, rtol=0)


def int8_rows(w):
    """Per-row symmetric int8 weights and their scales, as an exporter writes them."""
    a = np.abs(w).max(1)
    s = (a / 127).astype(np.float32)
    return np.clip(np.round(w / s[:, None]), -128, 127).astype(np.int8), s


@pytest.mark.parametrize("T_", [1, 64, 197])
def test_attention_int8_layer(case, make_model, T_):
    E, heads = 96, 3
    m = mha(E, heads, seed=T_)
    x = case.normal((T_, E))
    wq, qs = int8_rows(f32(m.in_proj_weight))
    wp, ps = int8_rows(f32(m.out_proj.weight))
    bq, bp = f32(m.in_proj_bias), f32(m.out_proj.bias)
    tensors = {"a.w_qkv_i8": wq, "a.w_qkv_scales": qs, "a.b_qkv": bq, "a.w_proj_i8": wp,
               "a.w_proj_scales": ps, "a.b_proj": bp}
    model = make_model(one_node("attention_int8", (0, E), name="a", num_heads=heads), tensors)
    want = T.attention_int8(x, wq, qs, bq, wp, ps, bp, heads, impl="ref")
    case.sweep(lambda threads: forward(model, x), want.ravel(), threads=ALL_THREADS, exact=True)
    case.check(want.ravel(), mha_forward(m, x).ravel(), atol=0.05, rtol=0)


# ---- sequence products -----------------------------------------------------------------

@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("T_", [1, 2, 197])
@pytest.mark.parametrize("name", ["fc", "layers.0.mlp", "lm_head"])
def test_seqgemm_fp32_layer(case, make_model, T_, gelu, name):
    K, N = 96, 200
    lin = torch.nn.Linear(K, N)
    x = case.normal((T_, K))
    w, b = f32(lin.weight), f32(lin.bias)
    model = make_model(one_node("seqgemm_fp32", (0, K), name=name, C_in=K, C_out=N, gelu=gelu),
                       {f"{name}.weight": w, f"{name}.bias": b})
    y = lin(torch.from_numpy(x))
    torch_want = f32(F.gelu(y, approximate="tanh") if gelu else y).ravel()
    if T_ == 1 and name != "fc":
        # Decoder projections keep an int8 copy for single tokens.
        a = np.abs(w).max(1)
        q = np.clip(np.round(w * (np.float32(127) / a)[:, None]), -128, 127).astype(np.int8)
        want = T.gemv_int8w_fp32(x[0], q, (a * np.float32(0.007874016)).astype(np.float32), b,
                                 impl="ref")
        if gelu:
            want = R.gelu_tanh(want)
        case.sweep(lambda threads: forward(model, x), want, threads=ALL_THREADS, atol=1e-5,
                   rtol=1e-5)
        case.check(forward(model, x), torch_want, atol=0.05, rtol=0)
    else:
        case.sweep(lambda threads: forward(model, x), torch_want, threads=ALL_THREADS,
                   atol=2e-5, rtol=2e-5)


def test_seqgemm_fp32_reads_int8_weights(case, make_model):
    """The int8 weight with its row scales takes precedence over a float weight."""
    K, N = 24, 10
    q, s = case.ints((N, K)), case.uniform(0.01, 0.1, N)
    x = case.normal((5, K))
    model = make_model(one_node("seqgemm_fp32", (0, K), name="p.fc", C_in=K, C_out=N),
                       {"p.fc.weight_i8": q, "p.fc.w_scales": s,
                        "p.fc.weight": case.normal((N, K))})
    w = q.astype(np.float32) * s[:, None]
    case.check(forward(model, x), (x.astype(np.float64) @ w.T).ravel(), atol=1e-5, rtol=1e-5)


def test_seqgemm_fp32_dynamic_quantize(case, make_model):
    K, N = 40, 30
    x, w = case.normal((9, K)), case.normal((N, K))
    model = make_model(one_node("seqgemm_fp32", (0, K), name="fc", C_in=K, C_out=N,
                                dynamic_quantize=True), {"fc.weight": w})
    want = T.seqgemm_fp32(R.fake_quantize(x), w, impl="ref")
    case.check(forward(model, x), want.ravel(), exact=True)


@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("T_", [1, 3, 197])
@pytest.mark.parametrize("name", ["fc", "layers.3.up"])
def test_seqgemm_int8_layer(case, make_model, T_, gelu, name):
    K, N = 64, 72
    q, s, b = case.ints((N, K)), case.uniform(0.001, 0.02, N), case.normal(N)
    x = case.normal((T_, K))
    model = make_model(one_node("seqgemm_int8", (0, K), name=name, C_in=K, C_out=N, gelu=gelu),
                       {f"{name}.weight_i8": q, f"{name}.w_scales": s, f"{name}.bias": b})
    if T_ == 1 and name != "fc":
        pre = T.gemv_int8w_fp32(x[0], q, s, b, impl="ref")
    else:
        pre = R.dynamic_gemm(x, q, s, b).ravel()
    # GELU: polynomial exponential and refined reciprocal, a few units of the last place of x.
    case.sweep(lambda threads: forward(model, x), R.gelu_tanh(pre) if gelu else pre,
               threads=ALL_THREADS, exact=not gelu, atol=4e-7 * np.abs(pre) + 1e-7, rtol=1e-6)


# ---- vision-transformer glue -----------------------------------------------------------

def test_vit_glue(case, make_model):
    """Patch tokens (a 14 x 14 map) get the class token and positions; the class token is
    taken back out after a learned additive tensor."""
    D, P = 48, 196
    cls_tok, pos = case.normal(D), case.normal((P + 1) * D)
    add = case.normal((P + 1) * D)
    arch = mt.Arch(model="glue", outputs=["cls"])
    arch.add_input("x", (14, 14, D))
    arch.add("prep", "patch_prep_fp32", ["x"], "seq")
    arch.add("pos", "pos_emb_add_fp32", ["seq"], "seq2")
    arch.add("take", "cls_extract_fp32", ["seq2"], "cls")
    model = make_model(arch, {"prep.cls_token": cls_tok, "prep.pos_embed": pos,
                              "pos.weight": add})
    x = case.normal((14, 14, D))
    seq = np.concatenate([cls_tok[None], x.reshape(P, D)]) + pos.reshape(P + 1, D)
    np.testing.assert_array_equal(forward(model, x), (seq + add.reshape(P + 1, D))[0])


def test_patch_prep_single_patch(case, make_model):
    D = 8
    cls_tok, pos, x = case.normal(D), case.normal(2 * D), case.normal(D)
    model = make_model(one_node("patch_prep_fp32", (1, 1, D), name="prep"),
                       {"prep.cls_token": cls_tok, "prep.pos_embed": pos})
    np.testing.assert_array_equal(forward(model, x[None, None]),
                                  np.concatenate([cls_tok, x]) + pos)


# ---- BERT embeddings -------------------------------------------------------------------

@pytest.mark.parametrize("with_type,with_norm", [(True, True), (False, False)])
def test_bert_embeddings(case, make_model, with_type, with_norm):
    V, P, E = 50, 40, 32
    word, pos, typ = case.normal((V, E)), case.normal((P, E)), case.normal((2, E))
    g, b = case.normal(E), case.normal(E)
    tensors = {"emb.word_weight": word, "emb.pos_weight": pos}
    if with_type:
        tensors["emb.type_weight"] = typ
    if with_norm:
        tensors.update({"emb.layernorm.weight": g, "emb.layernorm.bias": b})
    model = make_model(one_node("bert_embeddings_fp32", (0, 1), name="emb", emb_size=E), tensors)
    ids = np.array([3, 0, 49, 7, 7, 12], np.float32)
    e = torch.from_numpy(word[ids.astype(int)] + pos[:6] + (typ[0] if with_type else 0))
    want = F.layer_norm(e, (E,), torch.from_numpy(g) if with_norm else None,
                        torch.from_numpy(b) if with_norm else None, eps=1e-12)
    case.check(forward(model, ids[:, None]), f32(want).ravel(), atol=2e-5, rtol=2e-5)


# ---- bad input -------------------------------------------------------------------------

def attn_tensors(E, name="attn"):
    rng = np.random.default_rng(0)
    return {f"{name}.w_qkv": rng.standard_normal((3 * E, E)).astype(np.float32),
            f"{name}.w_proj": rng.standard_normal((E, E)).astype(np.float32)}


@pytest.mark.parametrize("op,args,tensors,match", [
    ("attention_fp32", {"num_heads": 0, "embed_dim": 16}, attn_tensors(16),
     "num_heads must be at least 1, got 0"),
    ("attention_fp32", {"num_heads": 3, "embed_dim": 16}, attn_tensors(16),
     "embed_dim 16 is not a multiple of num_heads 3"),
    ("attention_fp32", {"num_heads": 3}, attn_tensors(16),
     "embed_dim 16 is not a multiple of num_heads 3"),
    ("attention_int8", {"num_heads": -1, "embed_dim": 16}, {}, "num_heads must be at least 1"),
    ("attention_fp32", {"num_heads": 2, "embed_dim": 16},
     {"attn.w_proj": np.zeros((16, 16), np.float32)}, "tensor 'attn.w_qkv' is missing"),
    ("attention_fp32", {"num_heads": 2, "embed_dim": 16},
     {"attn.w_qkv": np.zeros((47, 16), np.float32), "attn.w_proj": np.zeros((16, 16), np.float32)},
     "tensor 'attn.w_qkv' has 752 values, needs 768"),
    ("attention_fp32", {"num_heads": 2, "embed_dim": 16},
     {**attn_tensors(16), "attn.b_qkv": np.zeros(40, np.float32)},
     "tensor 'attn.b_qkv' has 40 values, needs 48"),
    ("attention_fp32", {"num_heads": 2},
     {"attn.w_qkv": np.zeros(30, np.float32), "attn.w_proj": np.zeros(10, np.float32)},
     "no square matrix"),
    ("attention_int8", {"num_heads": 2, "embed_dim": 16},
     {"attn.w_qkv_i8": np.zeros((48, 16), np.int8), "attn.w_qkv_scales": np.ones(48, np.float32),
      "attn.w_proj_i8": np.zeros((16, 16), np.int8)}, "tensor 'attn.w_proj_scales' is missing"),
    ("attention_int8", {"num_heads": 2, "embed_dim": 16},
     {"attn.w_qkv_i8": np.zeros((48, 16), np.int8), "attn.w_qkv_scales": np.ones(47, np.float32),
      "attn.w_proj_i8": np.zeros((16, 16), np.int8), "attn.w_proj_scales": np.ones(16, np.float32)},
     "tensor 'attn.w_qkv_scales' has 47 values, needs 48"),
    ("layernorm_fp32", {}, {"attn.gamma": np.ones(16, np.float32)}, "'attn.beta' is missing"),
    ("layernorm_fp32", {}, {"attn.gamma": np.ones(16, np.float32),
                            "attn.beta": np.ones(15, np.float32)}, "has 15 values, needs 16"),
    ("seqgemm_fp32", {"C_in": 16, "C_out": 8}, {}, "tensor 'attn.weight' is missing"),
    ("seqgemm_fp32", {"C_in": 16, "C_out": 8}, {"attn.weight": np.zeros(127, np.float32)},
     "'attn.weight' has 127 values, needs 128"),
    ("seqgemm_fp32", {"C_in": 16, "C_out": 8},
     {"attn.weight_i8": np.zeros(128, np.int8), "attn.w_scales": np.ones(7, np.float32)},
     "'attn.w_scales' 7, needs 128 and 8"),
    ("seqgemm_fp32", {"C_in": 0, "C_out": 8}, {}, "C_in and C_out must be at least 1"),
    ("seqgemm_int8", {"C_in": 16, "C_out": 8}, {"attn.weight_i8": np.zeros(128, np.int8)},
     "tensor 'attn.w_scales' is missing"),
    ("seqgemm_int8", {"C_in": 16, "C_out": 8},
     {"attn.weight_i8": np.zeros(100, np.int8), "attn.w_scales": np.ones(8, np.float32)},
     "'attn.weight_i8' has 100 values, needs 128"),
    ("patch_prep_fp32", {}, {"attn.pos_embed": np.zeros(32, np.float32)},
     "'attn.cls_token' is missing"),
    ("pos_emb_add_fp32", {}, {}, "'attn.weight' is missing"),
    ("bert_embeddings_fp32", {"emb_size": 16}, {"attn.word_weight": np.zeros(40, np.float32)},
     "'attn.word_weight' has 40 values, not a whole number of rows of emb_size 16"),
    ("bert_embeddings_fp32", {"emb_size": 16}, {}, "'attn.word_weight' is missing"),
    ("bert_embeddings_fp32", {"emb_size": 0}, {}, "emb_size must be at least 1"),
])
def test_bad_weights_refused_at_load(make_model, op, args, tensors, match):
    with pytest.raises(RuntimeError, match=f"'attn': .*{match}"):
        make_model(one_node(op, (0, 16), name="attn", **args), tensors)


def int8_attn_tensors(case):
    return {"attn.w_qkv_i8": case.ints((48, 16)), "attn.w_qkv_scales": case.uniform(0.01, 0.1, 48),
            "attn.w_proj_i8": case.ints((16, 16)),
            "attn.w_proj_scales": case.uniform(0.01, 0.1, 16)}


# The graph declares the input width, so a width other than the layer's is a graph that
# feeds the layer the wrong tensor: refused on the first run.
@pytest.mark.parametrize("op,args,tensors,match", [
    ("attention_fp32", {"num_heads": 2, "embed_dim": 16}, lambda c: attn_tensors(16),
     "has width 24, needs E = 16"),
    ("attention_int8", {"num_heads": 4}, int8_attn_tensors, "has width 24, needs E = 16"),
    ("seqgemm_fp32", {"C_in": 16, "C_out": 8},
     lambda c: {"attn.weight": c.normal((8, 16))}, "has width 24, needs C_in = 16"),
    ("seqgemm_int8", {"C_in": 16, "C_out": 8},
     lambda c: {"attn.weight_i8": c.ints((8, 16)), "attn.w_scales": c.uniform(0.1, 1, 8)},
     "has width 24, needs C_in = 16"),
    ("layernorm_fp32", {}, lambda c: {"attn.gamma": c.normal(16), "attn.beta": c.normal(16)},
     "has width 24, needs C = 16"),
])
@pytest.mark.parametrize("T_", [1, 5])
def test_input_width_refused(case, make_model, op, args, tensors, match, T_):
    model = make_model(one_node(op, (0, 24), name="attn", **args), tensors(case))
    with pytest.raises(RuntimeError, match=f"'attn': .*{match}"):
        forward(model, case.normal((T_, 24)))


def test_patch_prep_bad_inputs(case, make_model):
    D = 8
    model = make_model(one_node("patch_prep_fp32", (0, 0, D), name="prep"),
                       {"prep.cls_token": case.normal(D), "prep.pos_embed": case.normal(5 * D)})
    good = case.normal((2, 2, D))
    check_rejects(model, case.normal((3, 2, D)), good, node="prep",
                  match="position table has 40 values, 6 patches of width 8 need 56")
    model = make_model(one_node("patch_prep_fp32", (0, 0, 4), name="prep"),
                       {"prep.cls_token": case.normal(D), "prep.pos_embed": case.normal(5 * D)})
    with pytest.raises(RuntimeError, match="'prep': class token has 8 values, the input .* has "
                                           "width 4"):
        forward(model, case.normal((1, 2, 4)))


def test_pos_emb_add_wrong_size(case, make_model):
    model = make_model(one_node("pos_emb_add_fp32", (0, 0, 8), name="pos"),
                       {"pos.weight": case.normal(24)})
    check_rejects(model, case.normal((2, 1, 8)), case.normal((3, 1, 8)), node="pos",
                  match="weight has 24 values, the input .* has 16")


@pytest.mark.parametrize("bad,match", [
    ([1, 50, 2], "token id 50.* is outside 0..49"),
    ([1, -1, 2], "token id -1.* is outside 0..49"),
    ([np.nan], "token id nan"),
    (list(range(11)), "sequence of 11 tokens is longer than the 10 positions"),
])
def test_bert_embeddings_bad_ids(case, make_model, bad, match):
    model = make_model(one_node("bert_embeddings_fp32", (0, 1), name="emb", emb_size=8),
                       {"emb.word_weight": case.normal((50, 8)),
                        "emb.pos_weight": case.normal((10, 8))})
    check_rejects(model, np.array(bad, np.float32)[:, None], np.array([[4.0], [9.0]], np.float32),
                  node="emb", match=match)


def test_seqgemm_fp32_shares_packed_weights_and_keeps_int8_for_decoders(case):
    """Nodes of the same name and shape in one load share one packed block; decoder
    projections ("layers.*", "lm_head") keep their int8 copy, other names release it."""
    W = case.normal((24, 16))
    got = T.seqgemm_fp32_layers(["fc", "fc", "layers.0.q", "lm_head", "layers_x", "fc2"], W)
    packed = [p for p, _ in got]
    assert packed[0] == packed[1]
    assert len(set(packed)) == 5
    assert [keep for _, keep in got] == [False, False, True, True, False, False]


# ---- whole encoder blocks --------------------------------------------------------------

def encoder_block(E, heads, norm_first, eps, seed):
    torch.manual_seed(seed)
    block = torch.nn.TransformerEncoderLayer(
        E, heads, 4 * E, dropout=0.0, activation=lambda t: F.gelu(t, approximate="tanh"),
        layer_norm_eps=eps, batch_first=True, norm_first=norm_first)
    with torch.no_grad():
        for p in block.parameters():
            if p.dim() == 1:
                p.normal_(0, 0.2)
    return block.eval()


def block_model(block, E, heads, norm_first, eps):
    """The block as a graph of the engine's layers, with its tensors."""
    a = mt.Arch(model="block", outputs=["y"])
    a.add_input("x", (0, E))
    if norm_first:  # pre-norm (ViT)
        a.add("ln1", "layernorm_fp32", ["x"], "h1", eps=eps)
        a.add("attn", "attention_fp32", ["h1"], "a", num_heads=heads, embed_dim=E)
        a.add("res1", "add_fp32", ["x", "a"], "r1")
        a.add("ln2", "layernorm_fp32", ["r1"], "h2", eps=eps)
        a.add("fc1", "seqgemm_fp32", ["h2"], "m", C_in=E, C_out=4 * E, gelu=True)
        a.add("fc2", "seqgemm_fp32", ["m"], "m2", C_in=4 * E, C_out=E)
        a.add("res2", "add_fp32", ["r1", "m2"], "y")
    else:  # post-norm (BERT)
        a.add("attn", "attention_fp32", ["x"], "a", num_heads=heads, embed_dim=E)
        a.add("res1", "add_fp32", ["x", "a"], "r1")
        a.add("ln1", "layernorm_fp32", ["r1"], "h1", eps=eps)
        a.add("fc1", "seqgemm_fp32", ["h1"], "m", C_in=E, C_out=4 * E, gelu=True)
        a.add("fc2", "seqgemm_fp32", ["m"], "m2", C_in=4 * E, C_out=E)
        a.add("res2", "add_fp32", ["h1", "m2"], "r2")
        a.add("ln2", "layernorm_fp32", ["r2"], "y", eps=eps)
    t = mha_tensors(block.self_attn)
    t.update({"ln1.gamma": f32(block.norm1.weight), "ln1.beta": f32(block.norm1.bias),
              "ln2.gamma": f32(block.norm2.weight), "ln2.beta": f32(block.norm2.bias),
              "fc1.weight": f32(block.linear1.weight), "fc1.bias": f32(block.linear1.bias),
              "fc2.weight": f32(block.linear2.weight), "fc2.bias": f32(block.linear2.bias)})
    return a, t


@pytest.mark.parametrize("E,heads,T_,norm_first,eps", [
    (768, 12, 197, True, 1e-6),   # ViT-B/16
    (384, 6, 197, True, 1e-6),    # DeiT-small
    (384, 12, 16, False, 1e-12),  # MiniLM
])
def test_encoder_block(case, make_model, E, heads, T_, norm_first, eps):
    block = encoder_block(E, heads, norm_first, eps, seed=E + T_)
    model = make_model(*block_model(block, E, heads, norm_first, eps))
    x = case.normal((T_, E))
    with torch.no_grad():
        want = f32(block(torch.from_numpy(x)[None])[0]).ravel()
    scale = float(np.abs(want).max())
    case.sweep(lambda threads: forward(model, x), want, threads=ALL_THREADS, atol=1e-4 * scale,
               rtol=0)


# ---- a whole vision transformer ---------------------------------------------------------

def small_vit(seed):
    """torchvision's VisionTransformer at a small size, its GELUs in the tanh form."""
    from model_inference_tools.torchvision_import import import_torchvision
    tv = import_torchvision()
    torch.manual_seed(seed)
    vit = tv.models.VisionTransformer(image_size=32, patch_size=8, num_layers=2, num_heads=4,
                                      hidden_dim=64, mlp_dim=128, num_classes=10)
    for block in vit.encoder.layers:
        block.mlp[1] = torch.nn.GELU(approximate="tanh")
    with torch.no_grad():
        vit.class_token.normal_()
        for name, p in vit.named_parameters():
            if p.dim() == 1 and "ln" not in name:
                p.normal_(0, 0.1)
    return vit.eval()


def vit_graph(vit):
    """The engine graph of `vit` written by hand: patch convolution (channels-last, one
    token per position), class token and positions, pre-norm blocks, final norm, class
    token, head."""
    D, p = vit.hidden_dim, vit.patch_size
    a = mt.Arch(model="vit", outputs=["logits"])
    a.add_input("x", (32, 32, 3))
    a.add("patch", "conv_fp32", ["x"], "tok", C_in=3, C_out=D, kH=p, kW=p, stride_h=p,
          stride_w=p)
    a.add("prep", "patch_prep_fp32", ["tok"], "h")
    t = {"patch.weight": f32(vit.conv_proj.weight), "patch.bias": f32(vit.conv_proj.bias),
         "prep.cls_token": f32(vit.class_token).ravel(),
         "prep.pos_embed": f32(vit.encoder.pos_embedding).ravel()}
    x = "h"
    for i, blk in enumerate(vit.encoder.layers):
        n = f"b{i}"
        a.add(f"{n}.ln1", "layernorm_fp32", [x], f"{n}.h1", eps=1e-6)
        a.add(f"{n}.attn", "attention_fp32", [f"{n}.h1"], f"{n}.a", num_heads=blk.num_heads)
        a.add(f"{n}.res1", "add_fp32", [x, f"{n}.a"], f"{n}.r1")
        a.add(f"{n}.ln2", "layernorm_fp32", [f"{n}.r1"], f"{n}.h2", eps=1e-6)
        a.add(f"{n}.fc1", "seqgemm_fp32", [f"{n}.h2"], f"{n}.m", C_in=D, C_out=vit.mlp_dim,
              gelu=True)
        a.add(f"{n}.fc2", "seqgemm_fp32", [f"{n}.m"], f"{n}.m2", C_in=vit.mlp_dim, C_out=D)
        a.add(f"{n}.res2", "add_fp32", [f"{n}.r1", f"{n}.m2"], f"{n}.out")
        t.update(mha_tensors(blk.self_attention, f"{n}.attn"))
        t.update({f"{n}.ln1.gamma": f32(blk.ln_1.weight), f"{n}.ln1.beta": f32(blk.ln_1.bias),
                  f"{n}.ln2.gamma": f32(blk.ln_2.weight), f"{n}.ln2.beta": f32(blk.ln_2.bias),
                  f"{n}.fc1.weight": f32(blk.mlp[0].weight), f"{n}.fc1.bias": f32(blk.mlp[0].bias),
                  f"{n}.fc2.weight": f32(blk.mlp[3].weight), f"{n}.fc2.bias": f32(blk.mlp[3].bias)})
        x = f"{n}.out"
    a.add("ln", "layernorm_fp32", [x], "hn", eps=1e-6)
    a.add("cls", "cls_extract_fp32", ["hn"], "c")
    a.add("head", "gemm_fp32", ["c"], "logits", C_in=D, C_out=10)
    t.update({"ln.gamma": f32(vit.encoder.ln.weight), "ln.beta": f32(vit.encoder.ln.bias),
              "head.weight": f32(vit.heads.head.weight), "head.bias": f32(vit.heads.head.bias)})
    return a, t


def test_vision_transformer(case, make_model):
    vit = small_vit(seed=5)
    model = make_model(*vit_graph(vit))
    images = case.normal((4, 32, 32, 3))
    with torch.no_grad():
        want = f32(vit(torch.from_numpy(images).permute(0, 3, 1, 2)))
    for image, logits in zip(images, want):
        case.sweep(lambda threads: forward(model, image), logits, threads=ALL_THREADS,
                   atol=1e-4 * float(np.abs(logits).max()), rtol=0)


@pytest.mark.parametrize("shape", [(6,), (6, 1), (2, 3, 1)])
def test_bert_embeddings_id_layouts(case, make_model, shape):
    """Ids in any layout give one embedding row each."""
    word, E = case.normal((20, 8)), 8
    model = make_model(one_node("bert_embeddings_fp32", shape, name="emb", emb_size=E),
                       {"emb.word_weight": word})
    ids = np.array([3, 0, 19, 7, 7, 12], np.float32)
    e = torch.from_numpy(word[ids.astype(int)])
    want = f32(F.layer_norm(e, (E,), eps=1e-12)).ravel()
    case.check(forward(model, ids.reshape(shape)), want, atol=2e-5, rtol=2e-5)
