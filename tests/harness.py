"""Shared harness for op and kernel tests: run the code under test against its reference over
a grid of parameters, and on failure say everything needed to reproduce the case.

Usage::

    import pytest
    from harness import ALL_THREADS, around, one_node, testing as t

    @pytest.mark.parametrize("relu", [False, True])
    @pytest.mark.parametrize("N", around(8, 16))          # 7, 8, 9, 15, 16, 17
    @pytest.mark.parametrize("M", around(6))
    def test_gemm(case, M, N, relu):        # `case`: seeded from the test's name and parameters
        A, W = case.normal((M, 5)), case.normal((N, 5))
        case.sweep(lambda threads: t.gemm_packed_fp32(A, W, None, relu=relu),
                   t.gemm_fp32_ref(A, W, None, relu=relu), threads=ALL_THREADS, exact=True)

    def test_gelu_layer(case, make_model):
        x = case.uniform(-5, 5, (33, 40, 64))
        model = make_model(one_node("gelu_fp32", x.shape))   # a real model file pair
        want = gelu_float64(x).ravel()                        # an independent NumPy reference
        case.sweep(lambda threads: model.forward(x), want, rtol=2e-6, atol=4e-6)

`Case.sweep` runs the callable under each thread count (and any other variant, such as
``impl=("ref", "avx2")``), compares each result with the reference and requires bit-identical
results across thread counts. Comparisons are bit-exact (``exact=True``; NaNs must sit at the
same positions) or absolute-or-relative: |got - want| <= atol or <= rtol * |want|, both 1e-4
unless stated. Layers run through real model files with `one_node` and the ``make_model``
fixture; `check_rejects` checks that bad input fails cleanly and leaves the model usable.
"""

import contextlib
import hashlib
import itertools
import os
import re

import numpy as np

import model_inference
import model_inference_testing as testing  # the one import of the engine's test hooks
import model_inference_tools as mt

DEFAULT_TOL = 1e-4
THREADS = (1, 2)
ALL_THREADS = (1, 2, 3)  # results must be bit-identical for all of these


# ---- grids -------------------------------------------------------------------------------

def around(*sizes):
    """Each size with its neighbours, ascending, without repeats or values below 1:
    ``around(8, 16) == [7, 8, 9, 15, 16, 17]``. List zero sizes explicitly where they are
    valid."""
    return sorted({v for s in sizes for v in (s - 1, s, s + 1) if v >= 1})


def multiples(tile, count):
    """``tile, 2*tile, ..., count*tile``; ``around(*multiples(8, 3))`` brackets each."""
    return [tile * i for i in range(1, count + 1)]


# ---- engine thread count -----------------------------------------------------------------

def get_num_threads():
    """The engine's OpenMP thread count (the test module shares the engine's runtime)."""
    return testing.get_num_threads()


def set_num_threads(n):
    """Set the engine's OpenMP thread count."""
    testing.set_num_threads(int(n))


@contextlib.contextmanager
def num_threads(n):
    """Run the body with `n` engine threads, then restore the count found."""
    saved = get_num_threads()
    set_num_threads(n)
    try:
        yield
    finally:
        set_num_threads(saved)


# ---- seeds -------------------------------------------------------------------------------

def _stable(value):
    """Text of a parameter value that is the same in every process (no addresses)."""
    if isinstance(value, dict):
        return "{" + ", ".join(f"{_stable(k)}: {_stable(v)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        inner = ", ".join(_stable(v) for v in value)
        return f"[{inner}]" if isinstance(value, list) else f"({inner})"
    if isinstance(value, np.ndarray):
        return f"array({value.tolist()!r}, {value.dtype})"
    if isinstance(value, type) or callable(value):
        return getattr(value, "__name__", type(value).__qualname__)
    text = repr(value)
    return type(value).__qualname__ if " at 0x" in text else text


def _params_text(params):
    return ", ".join(f"{k}={_stable(v)}" for k, v in params.items())


def seed_of(**params):
    """A 32-bit seed derived from the parameters' text: fixed per case, printed on failure."""
    digest = hashlib.blake2b(_params_text(params).encode(), digest_size=4).digest()
    return int.from_bytes(digest, "little")


# ---- comparison --------------------------------------------------------------------------

def _fmt(x, dtype, bits=False):
    """One element: shortest text that round-trips in its dtype, with its bit pattern."""
    v = np.asarray(x, dtype)[()]
    text = str(v) if dtype.kind == "f" else repr(int(v)) if dtype.kind in "biu" else repr(v)
    if bits and dtype.kind == "f":
        raw = int(np.asarray(v).view(f"u{dtype.itemsize}"))
        text += f" (0x{raw:0{2 * dtype.itemsize}x})"
    return text


def _ulps(a, b):
    """Distance in units in the last place between two floats of the same dtype."""
    def ordered(v):
        i = int(np.asarray(v).view(f"i{v.dtype.itemsize}"))
        return -(1 << (8 * v.dtype.itemsize - 1)) - i if i < 0 else i
    return abs(ordered(a) - ordered(b))


def _index(flat, shape):
    return tuple(int(i) for i in np.unravel_index(flat, shape)) if shape else ()


def _compare_exact(got, want):
    if got.dtype.kind == "f":
        w = want.astype(got.dtype)
        if want.dtype != got.dtype and not np.array_equal(w.astype(want.dtype), want, equal_nan=True):
            return [f"the reference is {want.dtype} and not exactly representable in "
                    f"{got.dtype}: compute it in {got.dtype}, or compare with a tolerance"]
        want = w
        u = f"u{got.dtype.itemsize}"
        both_nan = np.isnan(got) & np.isnan(want)
        bad = (np.ascontiguousarray(got).view(u) != np.ascontiguousarray(want).view(u)) & ~both_nan
    else:
        bad = got != want
    if not bad.any():
        return []
    flat = np.flatnonzero(bad)
    lines = [f"{flat.size} of {got.size} elements differ, first at {_index(flat[0], got.shape)}"]
    if got.dtype.kind == "f":
        g, w = got.ravel()[flat].astype(np.float64), want.ravel()[flat].astype(np.float64)
        diff = np.where(np.isnan(g) != np.isnan(w), np.inf, np.abs(g - w))
        diff = np.where(np.isnan(diff), np.inf, diff)  # equal infinities never differ here
        worst = flat[int(np.argmax(diff))]
    else:
        worst = flat[int(np.argmax(np.abs(got.ravel()[flat].astype(np.float64)
                                          - want.ravel()[flat].astype(np.float64))))]
    gv, wv = got.ravel()[worst], want.ravel()[worst]
    line = (f"worst at {_index(worst, got.shape)}: got {_fmt(gv, got.dtype, True)}, "
            f"expected {_fmt(wv, want.dtype, True)}")
    if got.dtype.kind == "f" and not (np.isnan(gv) or np.isnan(wv)):
        line += f", {_ulps(np.asarray(gv), np.asarray(wv).astype(got.dtype))} ulp apart"
        if gv == wv:
            line += " (the sign of zero differs)"
    return lines + [line]


def _compare_close(got, want, atol, rtol):
    g, w = got.astype(np.float64), want.astype(np.float64)
    atol = np.broadcast_to(np.asarray(atol, np.float64), g.shape)
    rtol = np.broadcast_to(np.asarray(rtol, np.float64), g.shape)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        finite = np.isfinite(g) & np.isfinite(w)
        same = (g == w) | (np.isnan(g) & np.isnan(w))  # infinities and NaNs must match
        err = np.where(finite, np.abs(g - w), np.where(same, 0.0, np.inf))
        allowed = np.where(finite, np.maximum(atol, rtol * np.abs(w)), 0.0)
        excess = np.where(err > allowed, np.where(allowed > 0, err / allowed, np.inf), 0.0)
    bad = excess > 0
    if not bad.any():
        return []
    worst = int(np.argmax(excess))
    i = _index(worst, got.shape)
    gv, wv, e, a = g.ravel()[worst], w.ravel()[worst], err.ravel()[worst], allowed.ravel()[worst]
    line = (f"worst at {i}: got {_fmt(got.ravel()[worst], got.dtype)}, "
            f"expected {_fmt(want.ravel()[worst], want.dtype)}")
    if np.isfinite(e):
        rel = e / abs(wv) if wv else np.inf
        line += f", |diff| {e:.3g} (relative {rel:.3g}), allowed {a:.3g} there"
    return [f"{int(bad.sum())} of {got.size} elements outside the tolerance, first at "
            f"{_index(int(np.flatnonzero(bad)[0]), got.shape)}", line]


def _options(got, want, exact, tol, atol, rtol):
    if exact is None:
        exact = got.dtype.kind in "biu" and want.dtype.kind in "biu"
    return exact, tol if atol is None else atol, tol if rtol is None else rtol


def _comparison_text(exact, atol, rtol):
    if exact:
        return "bit-exact (NaNs at the same positions)"

    def bound(v):
        v = np.asarray(v)
        return f"{float(v):g}" if v.ndim == 0 else f"(per element, up to {float(v.max()):g})"
    return f"|got - want| <= atol {bound(atol)} or <= rtol {bound(rtol)} * |want|"


def compare(got, want, *, exact=None, tol=DEFAULT_TOL, atol=None, rtol=None):
    """Lines describing how `got` differs from `want`; empty when they agree.

    Shapes must be equal. ``exact`` defaults to True when both are integer or boolean and to
    False otherwise; an exact float comparison needs `want` exactly representable in the
    dtype of `got`. ``atol`` and ``rtol`` default to ``tol`` and may be arrays (one bound
    per element)."""
    got, want = np.asarray(got), np.asarray(want)
    exact, atol, rtol = _options(got, want, exact, tol, atol, rtol)
    if got.shape != want.shape:
        return [f"shape {got.shape} ({got.dtype}), expected {want.shape} ({want.dtype})"]
    if exact:
        with np.errstate(over="ignore", invalid="ignore"):
            return _compare_exact(got, want)
    return _compare_close(got, want, atol, rtol)


def _failure(headline, problem, got, want, options, params=None, seed=None, variant=None):
    got, want = np.asarray(got), np.asarray(want)
    lines = [headline]
    if params:
        lines.append(f"  case:       {_params_text(params)}")
    if variant:
        lines.append(f"  variant:    {_params_text(variant)}")
    if seed is not None:
        lines.append(f"  seed:       {seed}")
    lines.append(f"  output:     shape {got.shape}, {got.dtype}")
    lines.append(f"  comparison: {_comparison_text(*_options(got, want, *options))}")
    return "\n".join(lines + [f"  {p}" for p in problem])


def _assert_matches(got, want, what, options, params=None, seed=None, variant=None):
    __tracebackhide__ = True
    exact, tol, atol, rtol = options
    problem = compare(got, want, exact=exact, tol=tol, atol=atol, rtol=rtol)
    if problem:
        raise AssertionError(_failure(f"{what or 'result'} does not match the reference",
                                      problem, got, want, options, params, seed, variant))


def check(got, want, *, what=None, exact=None, tol=DEFAULT_TOL, atol=None, rtol=None,
          **context):
    """Assert that `got` matches `want` (see `compare`); `context` is printed on failure."""
    __tracebackhide__ = True
    _assert_matches(got, want, what, (exact, tol, atol, rtol), params=context)


# ---- cases -------------------------------------------------------------------------------

class Case:
    """One test case: its parameters, a seed derived from them and a generator on that seed.

    In a test, take the ``case`` fixture (seeded from the test's name and parameters); outside
    pytest, ``Case(M=7, N=9)``. Every failure it reports prints the parameters and the seed.
    """

    def __init__(self, **params):
        self.params = params
        self.seed = seed_of(**params)
        self.rng = np.random.default_rng(self.seed)

    def __repr__(self):
        return f"Case({_params_text(self.params)}) seed={self.seed}"

    def normal(self, shape, scale=1.0, dtype=np.float32):
        """Standard normal values times `scale`."""
        return (self.rng.standard_normal(shape) * scale).astype(dtype)

    def uniform(self, lo, hi, shape, dtype=np.float32):
        """Uniform values in [lo, hi)."""
        return self.rng.uniform(lo, hi, shape).astype(dtype)

    def ints(self, shape, lo=-128, hi=128, dtype=np.int8):
        """Uniform integers in [lo, hi)."""
        return self.rng.integers(lo, hi, shape, dtype=np.int64).astype(dtype)

    def check(self, got, want, *, what=None, exact=None, tol=DEFAULT_TOL, atol=None, rtol=None,
              **variant):
        """Assert that `got` matches `want` (see `compare`); `variant` (such as the thread
        count) is printed with the case's parameters and seed on failure."""
        __tracebackhide__ = True
        _assert_matches(got, want, what, (exact, tol, atol, rtol), self.params, self.seed,
                        variant)

    def sweep(self, run, want, *, threads=THREADS, what=None, exact=None, tol=DEFAULT_TOL,
              atol=None, rtol=None, **variants):
        """Call ``run(threads=n, **variant)`` with the engine set to n threads, for every n in
        `threads` and every combination of the `variants` values (for example
        ``impl=("ref", "avx2")``); check each result against `want` (skipped when None) and
        require results that are bit-identical across the thread counts. Returns the first
        result."""
        __tracebackhide__ = True
        names = list(variants)
        first = None
        for combo in itertools.product(*variants.values()):
            base = None
            for n in threads:
                variant = dict(zip(names, combo), threads=n)
                with num_threads(n):
                    got = run(**variant)
                if base is None:
                    base = got
                    first = got if first is None else first
                else:
                    problem = compare(got, base, exact=True)
                    if problem:
                        raise AssertionError(_failure(
                            f"{what or 'result'} differs between {threads[0]} and {n} threads "
                            f"(expected: the {threads[0]}-thread result)", problem, got, base,
                            (True, tol, atol, rtol), self.params, self.seed, variant))
                if want is not None:
                    self.check(got, want, what=what, exact=exact, tol=tol, atol=atol, rtol=rtol,
                               **variant)
        return first


# ---- models ------------------------------------------------------------------------------

_model_count = itertools.count()


def one_node(op, *input_shapes, name="n", dtype="float32", scale=1.0, zp=0, relu=None, **args):
    """An architecture with one input per shape (named x0, x1, ... and declared as
    `dtype`, `scale`, `zp`), one node `name` of `op` reading them in order with ``args``,
    and its output "y"."""
    arch = mt.Arch(model=f"{op}_test", outputs=["y"])
    for i, shape in enumerate(input_shapes):
        arch.add_input(f"x{i}", shape, dtype=dtype, scale=scale, zp=zp)
    arch.add(name, op, [f"x{i}" for i in range(len(input_shapes))], "y", relu=relu, **args)
    return arch


def load_model(directory, arch, tensors=None):
    """Write `arch` (an Arch or a document dict) and `tensors` ({name: array}) as a model
    file pair in `directory` and load it; the ``make_model`` fixture does this in tmp_path."""
    n = next(_model_count)
    a, w = os.path.join(directory, f"model{n}.json"), os.path.join(directory, f"model{n}.bin")
    mt.write_arch(a, arch.to_json() if isinstance(arch, mt.Arch) else arch)
    mt.write_weights(w, tensors or {})
    return model_inference.InferenceModel(a, w)


def forward(model, *inputs):
    """Run `model` on its inputs given in declaration order. Returns the output array when
    the model has one output, otherwise {output name: array}."""
    if len(inputs) == 1 and len(model.output_names) == 1:
        return model.forward(inputs[0])
    out = model.forward({spec.name: x for spec, x in zip(model.inputs, inputs)})
    return next(iter(out.values())) if len(out) == 1 else out


def check_rejects(run, bad, good, *, node, match="", want=None, **check_options):
    """Bad input is a clean RuntimeError naming the node, and the model stays usable.

    `run` is an InferenceModel (inputs go through `forward`) or any callable; `bad` and
    `good` are one input or a tuple of inputs. Runs `good`, then `bad`, which must raise a
    RuntimeError whose message contains ``'<node>'`` and matches the regex `match`, then
    `good` again, whose result must equal `want` (bit-exact unless `check_options` give a
    tolerance) or, without `want`, the first run bit for bit. Returns that result."""
    __tracebackhide__ = True
    call = (lambda *xs: forward(run, *xs)) if isinstance(run, model_inference.InferenceModel) else run
    bad = bad if isinstance(bad, tuple) else (bad,)
    good = good if isinstance(good, tuple) else (good,)
    before = call(*good)
    try:
        out = call(*bad)
    except RuntimeError as e:
        message = str(e)
        quoted = f"'{node}'"
        if quoted not in message or not re.search(match, message):
            raise AssertionError(
                f"the RuntimeError for bad input should name node {quoted} and match "
                f"{match!r}; its message is:\n  {message}") from None
    except Exception as e:  # any other type is the fault being tested for
        raise AssertionError(f"bad input should raise RuntimeError naming node '{node}', "
                             f"raised {type(e).__name__}: {e}") from None
    else:
        raise AssertionError(f"bad input should raise RuntimeError naming node '{node}', "
                             f"but the run returned {np.asarray(out).shape}")
    after = call(*good)
    check(after, before if want is None else want, **(check_options or {"exact": True}),
          what="after the rejected input, the good input's result")
    return after
