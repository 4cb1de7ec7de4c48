"""Float64 and integer NumPy models of the transformer kernels, shared by the kernel, layer
and model tests."""
import numpy as np


def gelu_tanh(x):
    x = np.asarray(x, np.float64)
    return 0.5 * x * (1.0 + np.tanh(np.sqrt(2.0 / np.pi) * (x + 0.044715 * x**3)))


def layernorm(x, gamma, beta, eps):
    x = np.asarray(x, np.float64)
    mean = x.mean(-1, keepdims=True)
    var = ((x - mean) ** 2).mean(-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * gamma + beta


def attention_core(qkv, num_heads):
    """Softmax(Q K^T / sqrt(d)) V per head, from T rows of (query, key, value)."""
    qkv = np.asarray(qkv, np.float64)
    T, E = qkv.shape[0], qkv.shape[1] // 3
    d = E // num_heads
    out = np.zeros((T, E))
    for h in range(num_heads):
        cols = slice(h * d, (h + 1) * d)
        q, k, v = qkv[:, :E][:, cols], qkv[:, E:2 * E][:, cols], qkv[:, 2 * E:][:, cols]
        s = q @ k.T / np.sqrt(d)
        p = np.exp(s - s.max(1, keepdims=True))
        out[:, cols] = (p / p.sum(1, keepdims=True)) @ v
    return out


def attention(x, w_qkv, b_qkv, w_proj, b_proj, num_heads):
    x = np.asarray(x, np.float64)
    qkv = x @ np.asarray(w_qkv, np.float64).T + (0 if b_qkv is None else b_qkv)
    out = attention_core(qkv, num_heads) @ np.asarray(w_proj, np.float64).T
    return out + (0 if b_proj is None else b_proj)


def quantize_rows(X):
    """Symmetric per-row int8 quantisation: scale max|x|/127 (at least 1e-8); whole groups of
    8 round ties to even, the last K mod 8 values away from zero."""
    X = np.asarray(X, np.float32)
    a = np.abs(X).max(axis=1, initial=0.0)
    s = np.maximum(a * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    inv = (np.float32(1.0) / s).astype(np.float32)
    v = np.clip(X * inv[:, None], -128, 127).astype(np.float32)
    head = X.shape[1] - X.shape[1] % 8
    q = np.empty(X.shape, np.int64)
    q[:, :head] = np.rint(v[:, :head])
    tail = v[:, head:].astype(np.float64)
    q[:, head:] = np.sign(tail) * np.floor(np.abs(tail) + 0.5)
    return q.astype(np.int8), s


def dynamic_gemm(X, W, w_scales, bias):
    """The dynamically quantised product in float32: (acc * w_scale) * row scale + bias."""
    q, s = quantize_rows(X)
    acc = q.astype(np.int64) @ np.asarray(W, np.int64).T
    y = acc.astype(np.float32) * w_scales * s[:, None]
    return y if bias is None else (y + bias).astype(np.float32)


def fake_quantize(x, divide=False):
    """8 unsigned levels over [min(lo, 0), max(hi, 0)] and back, in float32."""
    x = np.asarray(x, np.float32)
    f = np.float32
    lo, hi = min(f(x.min()), f(0)), max(f(x.max()), f(0))
    rng = f(hi - lo)
    if rng > 0:
        scale = f(rng * f(0.003921569))
        zp = f(np.round(np.clip(lo * f(f(-254.99998) / rng), 0, 255)))
    else:
        scale, zp = f(1e-8), f(np.round(np.clip(lo * f(-1e8), 0, 255)))
    r = x / scale if divide else x * f(f(1) / scale)
    r64 = r.astype(np.float64)
    r = (np.sign(r64) * np.floor(np.abs(r64) + 0.5)).astype(np.float32)  # roundf
    return ((np.clip(r + zp, 0, 255) - zp) * scale).astype(np.float32)
