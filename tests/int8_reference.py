"""Exact integer model of int8 rescaling, written from the fixed-point rule."""
import math

import numpy as np


def fixed_point(f):
    """(m, e) with f ~ m * 2^(e - 31): frexp, then the mantissa rounded half away from 0."""
    q, e = math.frexp(float(f))
    m = int(math.floor(q * 2**31 + 0.5))
    if m == 2**31:
        m, e = 2**30, e + 1
    return m, e


def rescale(a, f):
    m, e = fixed_point(f)
    a = np.asarray(a, dtype=object)
    return np.vectorize(lambda v: (int(v) * m + (1 << (30 - e))) >> (31 - e) if e >= -31 else 0,
                        otypes=[object])(a)


def saturate(v):
    return np.clip(np.asarray(v, dtype=np.int64), -128, 127).astype(np.int8)
