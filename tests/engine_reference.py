"""A NumPy model of the engine's CNN ops, written from their documented arithmetic, that
runs an architecture file plus a W1X1 file in channels-last order. The exporter tests
compare it against PyTorch; it shares no code with the exporter."""

import json
import struct

import numpy as np

from int8_reference import one_step, rescale, saturate, two_step


def read_weights(path):
    """name -> (shape, raw payload bytes)"""
    data = open(path, "rb").read()
    assert data[:4] == b"W1X1"
    (count,) = struct.unpack_from("<I", data, 8)
    out = {}
    for i in range(count):
        entry = data[12 + 80 * i: 12 + 80 * (i + 1)]
        name = entry[:64].split(b"\0")[0].decode()
        offset, size = struct.unpack_from("<QQ", entry, 64)
        (ndim,) = struct.unpack_from("<H", data, offset + 2)
        shape = struct.unpack_from(f"<{ndim}i", data, offset + 4)
        out[name] = (shape, data[offset + 4 + 4 * ndim: offset + size])
    return out


def tensor(weights, name, dtype):
    shape, raw = weights[name]
    return np.frombuffer(raw, dtype).reshape(shape)


def depthwise_loop(a):
    """Whether a conv_int8 node runs on the engine's depthwise 3x3 loop (one rounding)."""
    g = a.get("groups", 1)
    return (g > 1 and g == a["C_in"] == a["C_out"] and a["kH"] == a["kW"] == 3
            and a.get("pad_h", 0) == a.get("pad_w", 0) == 1
            and a.get("stride_h", 1) == a.get("stride_w", 1) in (1, 2))


def im2col(x, kh, kw, sh, sw, ph, pw, dh=1, dw=1, pad_value=0):
    h, w, c = x.shape
    oh = (h + 2 * ph - dh * (kh - 1) - 1) // sh + 1
    ow = (w + 2 * pw - dw * (kw - 1) - 1) // sw + 1
    padded = np.full((h + 2 * ph, w + 2 * pw, c), pad_value, x.dtype)
    padded[ph:ph + h, pw:pw + w] = x
    cols = np.empty((oh, ow, kh, kw, c), x.dtype)
    for ky in range(kh):
        for kx in range(kw):
            cols[:, :, ky, kx] = padded[ky * dh: ky * dh + sh * (oh - 1) + 1: sh,
                                        kx * dw: kx * dw + sw * (ow - 1) + 1: sw]
    return cols


def conv(x, weight, a, pad_value=0, acc_dtype=np.float64):
    g = a.get("groups", 1)
    cols = im2col(x, a["kH"], a["kW"], a.get("stride_h", 1), a.get("stride_w", 1), a.get("pad_h", 0),
                  a.get("pad_w", 0), a.get("dilation_h", 1), a.get("dilation_w", 1), pad_value)
    cin_g, cout_g = x.shape[2] // g, weight.shape[0] // g
    outs = []
    for gi in range(g):
        part = cols[..., gi * cin_g:(gi + 1) * cin_g].astype(acc_dtype)
        wg = weight[gi * cout_g:(gi + 1) * cout_g].astype(acc_dtype)  # (o, i, ky, kx)
        outs.append(np.einsum("yxabi,oiab->yxo", part, wg))
    return np.concatenate(outs, axis=2)


def maxpool(x, a):
    cols = im2col(x.astype(np.float64), a["kH"], a["kW"], a["stride_h"], a["stride_w"], a["pad_h"],
                  a["pad_w"], pad_value=-np.inf)
    return cols.max(axis=(2, 3)).astype(x.dtype)


def bilinear(x, oh, ow):
    h, w, _ = x.shape

    def axis(n_in, n_out):
        s = (np.arange(n_out) + 0.5) * n_in / n_out - 0.5
        i0 = np.floor(s).astype(int)
        lam = s - i0
        return np.clip(i0, 0, n_in - 1), np.clip(i0 + 1, 0, n_in - 1), lam

    y0, y1, ly = axis(h, oh)
    x0, x1, lx = axis(w, ow)
    ly, lx = ly[:, None, None], lx[None, :, None]
    top = x[y0][:, x0] * (1 - lx) + x[y0][:, x1] * lx
    bot = x[y1][:, x0] * (1 - lx) + x[y1][:, x1] * lx
    return top * (1 - ly) + bot * ly


ACTS = {
    "sigmoid_fp32": lambda v, a: 1 / (1 + np.exp(-v)),
    "tanh_fp32": lambda v, a: np.tanh(v),
    "silu_fp32": lambda v, a: v / (1 + np.exp(-v)),
    "gelu_fp32": lambda v, a: 0.5 * v * (1 + np.tanh(0.7978845608 * (v + 0.044715 * v**3))),
    "leaky_relu_fp32": lambda v, a: np.where(v >= 0, v, a.get("alpha", 0.2) * v),
}


def run(arch_path, weights_path, x):
    """Run the model on one input (engine layout: (H, W, C) or (N,), int8 codes for an
    int8 model); returns {output name: array}."""
    doc = json.load(open(arch_path))
    wts = read_weights(weights_path)
    env = {doc["inputs"][0]["name"]: x}
    for n in doc["nodes"]:
        a = n.get("args", {})
        op, name = n["op"], n["name"]
        ins = [env[i] for i in n["inputs"]]
        relu = a.get("relu", False)
        if op == "conv_fp32":
            y = conv(ins[0].astype(np.float64), tensor(wts, name + ".weight", np.float32), a)
            y = y + tensor(wts, name + ".bias", np.float32)
        elif op == "gemm_fp32":
            y = tensor(wts, name + ".weight", np.float32).astype(np.float64) @ ins[0].reshape(-1)
            y = y + tensor(wts, name + ".bias", np.float32)
        elif op == "add_fp32":
            y = ins[0].astype(np.float64) + ins[1]
        elif op in ("maxpool_fp32", "maxpool_int8"):
            y = maxpool(ins[0], a)
        elif op == "avgpool_fp32":
            y = ins[0].astype(np.float64).mean(axis=(0, 1), keepdims=True)
        elif op in ACTS:
            y = ACTS[op](ins[0].astype(np.float64), a)
        elif op == "upsample_bilinear_fp32":
            h, w, _ = ins[0].shape
            y = bilinear(ins[0].astype(np.float64), int(h * a["scale_h"] + 0.5), int(w * a["scale_w"] + 0.5))
        elif op == "conv_int8":
            acc = conv(ins[0], tensor(wts, name + ".weight", np.int8), a, a["in_zp"], np.int64)
            acc = acc + tensor(wts, name + ".eff_bias", np.int64)
            rs = tensor(wts, name + ".req_scale", np.float32)
            # The depthwise loop rounds once; the other paths requantise in two steps. The
            # int8 Winograd path approximates this exact result.
            rule = one_step if depthwise_loop(a) else two_step
            y = np.stack([rescale(acc[..., c], rs[c], rule) for c in range(len(rs))], axis=-1)
            y = saturate(y + a["out_zp"])
        elif op == "gemm_int8":
            acc = tensor(wts, name + ".weight", np.int8).astype(np.int64) @ ins[0].reshape(-1).astype(np.int64)
            acc = acc + tensor(wts, name + ".eff_bias", np.int64)
            y = acc.astype(np.float32) * tensor(wts, name + ".req_scale", np.float32)
        elif op == "add_int8":
            f1 = np.float32(a["in1_scale"]) / np.float32(a["out_scale"])
            f2 = np.float32(a["in2_scale"]) / np.float32(a["out_scale"])
            y = (a["out_zp"] + rescale(ins[0].astype(np.int64) - a["in1_zp"], f1)
                 + rescale(ins[1].astype(np.int64) - a["in2_zp"], f2))
            y = saturate(y)
        elif op == "avgpool_int8":
            h, w, _ = ins[0].shape
            acc = (ins[0].astype(np.int64) - a["in_zp"]).sum(axis=(0, 1), keepdims=True)
            f = np.float32(a["in_scale"]) / (np.float32(h * w) * np.float32(a["out_scale"]))
            y = saturate(rescale(acc, f) + a["out_zp"])
        else:
            raise AssertionError(f"no reference for op {op}")
        if relu and y.dtype != np.int8:
            y = np.maximum(y, 0)
        env[n["outputs"][0]] = y.astype(np.float32) if y.dtype == np.float64 else y
    return {o["name"]: env[o["name"]] for o in doc["outputs"]}
