"""The integer requantisation model the int8 tests compare against, in one place.

A real scale s > 0 is held as a 31-bit multiplier and an exponent, s ~ m * 2^(e - 31) with
2^30 <= m < 2^31 (`quantize_multiplier`). An int32 value x is rescaled by one of three
rounding rules, each the arithmetic of one engine path:

- `one_step`: round(x * m * 2^(e - 31)) in a single rounding, ties toward +infinity
  (additions, average pooling, depthwise convolution, the layer-level model);
- `two_step`: the high half x * m / 2^31 rounded half up, then an arithmetic shift right
  by -e, which floors; scales of 1 and more (e > 0) round once as in `one_step`
  (general and grouped convolution);
- `high_then_shift`: the same rounded high half, then shifted by e in either direction
  (the GEMM output stage and the Winograd position rescaling).

Everything is computed in int64; the inputs must be int32 values, so no product overflows.
"""

import math

import numpy as np


def quantize_multiplier(scale):
    """(m, e) with scale ~ m * 2^(e - 31): the frexp mantissa rounded half up to 31 bits."""
    scale = float(scale)
    if not (math.isfinite(scale) and scale > 0):
        raise ValueError(f"a requantisation scale must be finite and positive, got {scale}")
    mantissa, e = math.frexp(scale)
    m = int(math.floor(mantissa * 2**31 + 0.5))
    if m == 2**31:
        m, e = 2**30, e + 1
    return m, e


def multipliers(scales):
    """Per-channel (m, e) int64 arrays of `scales`, each taken at its own precision."""
    pairs = [quantize_multiplier(s) for s in np.ravel(scales)]
    m, e = zip(*pairs) if pairs else ((), ())
    return np.array(m, np.int64), np.array(e, np.int64)


def _int32_operand(x):
    x = np.asarray(x, np.int64)
    if x.size and (x.min() < -2**31 or x.max() >= 2**31):
        raise ValueError("requantisation operands must be int32 values (wrap32 them first)")
    return x


def one_step(x, m, e):
    """round(x * m * 2^(e - 31)), ties up, in one rounding. Exponents beyond 30 shift by one
    bit, below -32 by 63: an int32 times m is below 2^62, so the result is 0 either way."""
    x = _int32_operand(x)
    s = 31 - np.clip(np.asarray(e, np.int64), -32, 30)
    return (x * m + (np.int64(1) << (s - 1))) >> s


def high_product(x, m):
    """x * m / 2^31 rounded half up: the high half of the doubled product."""
    return (_int32_operand(x) * m + (1 << 30)) >> 31


def two_step(x, m, e):
    """The rounded high product, then >> -e (flooring); e > 0 rounds once as `one_step`."""
    e = np.asarray(e, np.int64)
    shifted = high_product(x, m) >> np.clip(-e, 0, 31)
    return np.where(e > 0, one_step(x, m, e), shifted)


def high_then_shift(x, m, e):
    """The rounded high product, shifted right by -e or left by e (no second rounding)."""
    e = np.asarray(e, np.int64)
    r = high_product(x, m)
    return np.where(e < 0, r >> np.clip(-e, 0, 31), r << np.clip(e, 0, 31))


def rescale(x, scale, rule=one_step):
    """x times one real scale, by `rule` (int64 result, not saturated)."""
    return rule(x, *quantize_multiplier(scale))


def wrap32(v):
    """Two's-complement wrap to int32, as the engine's 32-bit accumulators do."""
    return ((np.asarray(v, np.int64) + 2**31) % 2**32) - 2**31


def saturate(v):
    """Clamp to the int8 range and convert."""
    return np.clip(np.asarray(v, np.int64), -128, 127).astype(np.int8)


def requantize(acc, bias, scales, out_zp, rule=one_step):
    """int8 outputs of int32 accumulators: (acc + bias) wrapped to 32 bits, times the
    per-channel float32 `scales` (last axis) by `rule`, plus `out_zp`, saturated."""
    m, e = multipliers(np.asarray(scales, np.float32))
    x = wrap32(np.asarray(acc, np.int64) + wrap32(bias))
    return saturate(rule(x, m, e) + out_zp)
