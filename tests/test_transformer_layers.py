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
