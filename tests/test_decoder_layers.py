"""Decoder kernels and layers: RMS norm, the element-wise product, the token embedding and the
causal attention core with rotary positions, grouped key/value heads and its cache. Kernels
against their scalar references (bit for bit, any thread count) and float64 NumPy; layers
through model files, incremental runs against whole runs, and bad input refused by name."""
import numpy as np
import pytest

from harness import ALL_THREADS, around, check_rejects, forward, one_node, testing as T

# ---- float64 references -------------------------------------------------------------------


def rms_norm_f64(x, gamma, eps):
    x = x.astype(np.float64)
    return x / np.sqrt((x * x).mean(1, keepdims=True) + eps) * gamma


def rotate_f64(x, positions, d, theta):
    """Rotary embedding of [T, H*d] rows: the two halves of each head vector turn as pairs."""
    T = x.shape[0]
    x = x.astype(np.float64).reshape(T, -1, d)
    half = d // 2
    freq = theta ** (-2.0 * np.arange(half) / d)
    ang = np.asarray(positions, np.float64)[:, None] * freq[None, :]
    c, s = np.cos(ang)[:, None, :], np.sin(ang)[:, None, :]
    a, b = x[..., :half], x[..., half:]
    return np.concatenate([a * c - b * s, a * s + b * c], -1).reshape(T, -1)


def causal_attn_f64(q, k, v, keys_before, values_before, P, Hq, Hkv, d, theta):
    """Output [T, Hq*d] and the key rows written for positions P..P+T-1."""
    T = q.shape[0]
    pos = np.arange(P, P + T)
    qr, kr = rotate_f64(q, pos, d, theta), rotate_f64(k, pos, d, theta)
    keys = np.concatenate([keys_before.astype(np.float64), kr])
    values = np.concatenate([values_before.astype(np.float64), v.astype(np.float64)])
    y = np.zeros((T, Hq * d))
    group = Hq // Hkv
    for t in range(T):
        n = P + t + 1
        for h in range(Hq):
            g = h // group
            s = keys[:n, g * d:(g + 1) * d] @ qr[t, h * d:(h + 1) * d] / np.sqrt(d)
            p = np.exp(s - s.max())
            y[t, h * d:(h + 1) * d] = (p / p.sum()) @ values[:n, g * d:(g + 1) * d]
    return y, kr


# ---- kernels ------------------------------------------------------------------------------


@pytest.mark.parametrize("C", around(8, 32) + [576])
@pytest.mark.parametrize("rows", [1, 3, 70])
def test_rms_norm_kernel(case, C, rows):
    x = case.normal((rows, C), 3.0)
    gamma = case.normal(C)
    want = T.rms_norm_fp32(x, gamma, 1e-5, impl="ref")
    case.check(want, rms_norm_f64(x, gamma, 1e-5), rtol=2e-6, atol=1e-6, what="reference")
    case.sweep(lambda threads: T.rms_norm_fp32(x, gamma, 1e-5), want, threads=ALL_THREADS,
               exact=True)


def test_rms_norm_row_of_three_and_four():
    y = T.rms_norm_fp32(np.array([[3.0, 4.0]], np.float32), np.ones(2, np.float32), 1e-6)
    np.testing.assert_allclose(y, [[3 / np.sqrt(12.5 + 1e-6), 4 / np.sqrt(12.5 + 1e-6)]],
                               rtol=1e-7)


@pytest.mark.parametrize("n", [1] + around(8, 16) + [1000])
@pytest.mark.parametrize("impl", ["ref", "avx2"])
def test_elemwise_mul_kernel(case, n, impl):
    a, b = case.normal(n), case.normal(n)
    case.check(T.elemwise_mul_fp32(a, b, impl=impl), a * b, exact=True)


def test_embedding_lookup_clamps_and_truncates(case):
    table = case.normal((7, 5))
    ids = np.array([-3.7, -0.5, 0.0, 0.99, 2.9, 6.0, 12.0, 1e30, -1e30, np.nan], np.float32)
    rows = [0, 0, 0, 0, 2, 6, 6, 6, 0, 0]
    case.check(T.embedding_lookup_fp32(ids, table), table[rows], exact=True)


ATTN_SHAPES = [(1, 1, 2), (4, 2, 8), (8, 2, 16), (9, 3, 64), (2, 1, 6), (3, 3, 12), (4, 1, 72)]


@pytest.mark.parametrize("heads", ATTN_SHAPES, ids=lambda s: "Hq{}-Hkv{}-d{}".format(*s))
@pytest.mark.parametrize("P,T_", [(0, 1), (0, 3), (0, 6), (4, 2), (7, 1), (5, 9)])
def test_causal_attn_kernel(case, heads, P, T_):
    Hq, Hkv, d = heads
    theta = 100.0 if d == 64 else 10000.0
    max_len = P + T_ + 2
    q, k, v = case.normal((T_, Hq * d)), case.normal((T_, Hkv * d)), case.normal((T_, Hkv * d))
    cache = case.normal((2, max_len, Hkv * d))  # rows below P: what earlier calls left
    want_y, want_k = causal_attn_f64(q, k, v, cache[0, :P], cache[1, :P], P, Hq, Hkv, d, theta)

    def run(threads, impl):
        return T.causal_attn_core_fp32(q, k, v, cache, P, Hq, Hkv, d, theta, impl=impl)

    case.sweep(lambda threads, impl: run(threads, impl)[0], want_y, threads=ALL_THREADS,
               rtol=2e-4, atol=2e-5, impl=("ref", "avx2"))
    ref_y, ref_cache = run(1, "ref")
    vec_y, vec_cache = run(2, "avx2")
    case.check(vec_y, ref_y, exact=True, what="vector kernel against its reference")
    case.check(vec_cache, ref_cache, exact=True, what="cache of the vector kernel")
    case.check(vec_cache[0, P:P + T_], want_k, rtol=1e-5, atol=1e-5, what="rotated key rows")
    case.check(vec_cache[1, P:P + T_], v, exact=True, what="value rows")
    for part in (0, 1):
        case.check(vec_cache[part, :P], cache[part, :P], exact=True, what="rows below seq_pos")
        case.check(vec_cache[part, P + T_:], cache[part, P + T_:], exact=True,
                   what="rows after the call's tokens")


def test_causal_attn_position_zero_and_head_groups(case):
    # At position 0 the rotation is the identity, and a single position's softmax weight is 1:
    # query head h returns v of key/value head h // 4 exactly.
    Hq, Hkv, d = 8, 2, 16
    q, k, v = case.normal((1, Hq * d)), case.normal((1, Hkv * d)), case.normal((1, Hkv * d))
    y, cache = T.causal_attn_core_fp32(q, k, v, np.zeros((2, 3, Hkv * d), np.float32), 0, Hq, Hkv,
                                       d)
    case.check(cache[0, 0], k[0], exact=True, what="key row at position 0")
    want = np.concatenate([v[0, (h // 4) * d:(h // 4 + 1) * d] for h in range(Hq)])
    case.check(y[0], want, exact=True)


# ---- layers -------------------------------------------------------------------------------


def attn_arch(Hq=4, Hkv=2, d=8, theta=10000.0, name="attn"):
    return one_node("causal_attn_core_fp32", [0, Hq * d], [0, Hkv * d], [0, Hkv * d], name=name,
                    num_q_heads=Hq, num_kv_heads=Hkv, head_dim=d, rope_theta=theta)


def run_attn(model, q, k, v, seq_pos=0):
    return model.forward({"x0": q, "x1": k, "x2": v}, seq_pos=seq_pos)["y"].reshape(q.shape[0], -1)


@pytest.mark.parametrize("split", [[8], [5, 1, 1, 1], [1] * 8, [3, 5], [2, 2, 4]])
@pytest.mark.parametrize("capacity", [None, 0, 4, 64])
def test_attention_layer_incremental_equals_whole(case, make_model, split, capacity):
    Hq, Hkv, d = 4, 2, 8
    model = make_model(attn_arch(Hq, Hkv, d))
    assert model.is_stateful
    n = sum(split)
    q, k, v = case.normal((n, Hq * d)), case.normal((n, Hkv * d)), case.normal((n, Hkv * d))
    want, _ = causal_attn_f64(q, k, v, np.zeros((0, Hkv * d)), np.zeros((0, Hkv * d)), 0, Hq, Hkv,
                              d, 10000.0)
    whole = case.sweep(lambda threads: run_attn(model, q, k, v), want, threads=ALL_THREADS,
                       rtol=2e-4, atol=2e-5)
    model.reset_state(capacity)
    parts, P = [], 0
    for t in split:
        parts.append(run_attn(model, q[P:P + t], k[P:P + t], v[P:P + t], seq_pos=P))
        P += t
    case.check(np.concatenate(parts), whole, exact=True, what="token-by-token result")
    # Going back re-writes the rows from there on and leaves the earlier ones in place.
    again = run_attn(model, q[3:], k[3:], v[3:], seq_pos=3)
    case.check(again, whole[3:], exact=True, what="re-run from position 3")


def test_attention_layer_rejects_bad_input(case, make_model):
    Hq, Hkv, d = 4, 2, 8
    model = make_model(attn_arch(Hq, Hkv, d))
    q, k, v = case.normal((3, Hq * d)), case.normal((3, Hkv * d)), case.normal((3, Hkv * d))

    def call(q, k, v, seq_pos=0):
        return run_attn(model, q, k, v, seq_pos)

    good = (q, k, v)
    check_rejects(call, (q, k, case.normal((2, Hkv * d))), good, node="attn", match="v is")
    check_rejects(call, (q, case.normal((4, Hkv * d)), v), good, node="attn", match="k is")
    # After the good run 3 positions are filled: 3 continues, 4 would read unwritten rows.
    check_rejects(call, (q, k, v, 4), good, node="attn", match="seq_pos 4")
    model.reset_state()
    with pytest.raises(RuntimeError, match="seq_pos 1 .*0 positions"):
        call(q, k, v, 1)
    with pytest.raises(RuntimeError, match="seq_pos"):
        call(q, k, v, -1)
    with pytest.raises(RuntimeError, match="capacity"):
        model.reset_state(-2)
    with pytest.raises(RuntimeError, match="capacity"):
        model.reset_state(2**31)


@pytest.mark.parametrize("which", [0, 1, 2])
def test_attention_layer_rejects_widths(case, make_model, which):
    widths = [32, 16, 16]
    widths[which] += 2
    model = make_model(one_node("causal_attn_core_fp32", *[[0, w] for w in widths], name="attn",
                                num_q_heads=4, num_kv_heads=2, head_dim=8))
    xs = {f"x{i}": case.normal((3, w)) for i, w in enumerate(widths)}
    with pytest.raises(RuntimeError, match=f"CausalAttnCoreFp32 'attn': {'qkv'[which]} is {widths[which]}x3x1"):
        model.forward(xs)


@pytest.mark.parametrize("args,match", [
    (dict(num_q_heads=4, num_kv_heads=0, head_dim=8), "num_kv_heads"),
    (dict(num_q_heads=6, num_kv_heads=4, head_dim=8), "num_q_heads"),
    (dict(num_q_heads=0, num_kv_heads=2, head_dim=8), "num_q_heads"),
    (dict(num_q_heads=4, num_kv_heads=2, head_dim=7), "head_dim"),
    (dict(num_q_heads=4, num_kv_heads=2, head_dim=0), "head_dim"),
    (dict(num_q_heads=4, num_kv_heads=2, head_dim=8, rope_theta=-1.0), "rope_theta"),
])
def test_attention_layer_refuses_bad_arguments(make_model, args, match):
    with pytest.raises(RuntimeError, match=f"CausalAttnCoreFp32 'attn': {match}"):
        make_model(one_node("causal_attn_core_fp32", [0, 8], [0, 8], [0, 8], name="attn", **args))


def test_stateless_model_refuses_seq_pos(case, make_model):
    model = make_model(one_node("elemwise_mul_fp32", [0, 4], [0, 4], name="mul"))
    assert not model.is_stateful
    a, b = case.normal((2, 4)), case.normal((2, 4))
    with pytest.raises(RuntimeError, match="seq_pos 1 needs a model that keeps"):
        model.forward({"x0": a, "x1": b}, seq_pos=1)
    model.reset_state(8)  # nothing to clear
    check_rejects(model, (a, case.normal((3, 4))), (a, b), node="mul", match="differ in size",
                  want=(a * b).ravel())


@pytest.mark.parametrize("shape", [(1, 576), (5, 64), (17, 33)])
def test_rms_norm_layer(case, make_model, shape):
    rows, C = shape
    gamma = case.normal(C)
    model = make_model(one_node("rms_norm_fp32", [0, C], name="norm", eps=1e-5),
                       {"norm.gamma": gamma})
    x = case.normal(shape, 2.0)
    case.sweep(lambda threads: model.forward(x).reshape(shape), rms_norm_f64(x, gamma, 1e-5),
               threads=ALL_THREADS, rtol=2e-6, atol=1e-6)
    bad = make_model(one_node("rms_norm_fp32", [0, C], name="norm"), {"norm.gamma": gamma[:-1]})
    with pytest.raises(RuntimeError, match="RmsNormFp32 'norm': gamma holds"):
        bad.forward(x)


def test_embedding_layer(case, make_model):
    V, D = 11, 6
    table = case.normal((V, D))
    model = make_model(one_node("embedding_fp32", [0, 1], name="emb"), {"emb.weight": table})
    ids = np.array([[3], [0], [10], [-2.7], [14]], np.float32)
    want = table[[3, 0, 10, 0, 10]]
    case.check(model.forward(ids).reshape(5, D), want, exact=True)
    nan_ids = ids.copy()
    nan_ids[2] = np.nan
    check_rejects(model, nan_ids, ids, node="emb", match="NaN", want=want.ravel())


@pytest.mark.parametrize("table,match", [
    (None, "missing"),
    (np.zeros((0, 4), np.float32), "at least one row"),
    (np.zeros((3, 0), np.float32), "at least one row"),
])
def test_embedding_layer_refuses_bad_tables(make_model, table, match):
    tensors = {} if table is None else {"emb.weight": table}
    with pytest.raises(RuntimeError, match=f"EmbeddingFp32 'emb': .*{match}"):
        make_model(one_node("embedding_fp32", [0, 1], name="emb"), tensors)


def test_embedding_layer_refuses_a_table_of_the_wrong_size(make_model):
    with pytest.raises(RuntimeError, match="EmbeddingFp32 'emb': table 'emb.weight' holds 10"):
        make_model(one_node("embedding_fp32", [0, 1], name="emb", num_embeddings=3,
                            embedding_dim=4), {"emb.weight": np.zeros(10, np.float32)})


def test_elemwise_mul_layer(case, make_model):
    model = make_model(one_node("elemwise_mul_fp32", [0, 4, 6], [0, 4, 6], name="mul"))
    a, b = case.normal((3, 4, 6)), case.normal((3, 4, 6))
    case.check(forward(model, a, b), (a * b).ravel(), exact=True)
