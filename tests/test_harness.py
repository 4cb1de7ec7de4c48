"""The shared harness itself: comparisons that pass must agree, and failures must say so."""
import numpy as np
import pytest

import harness
from harness import Case, check_rejects, compare, num_threads, one_node, testing as t

F = np.float32
NAN, INF = F(np.nan), F(np.inf)


@pytest.mark.parametrize("got,want,options,problem", [
    ([1.0, NAN], [1.0, 2.0], {}, "worst at (1,): got nan"),
    ([1.0, NAN], [1.0, 2.0], {"exact": True}, "worst at (1,): got nan"),
    ([0.0, 5.0], [0.0, INF], {}, "got 5.0, expected inf"),
    ([INF], [-INF], {}, "got inf, expected -inf"),
    ([F(0.0)], [F(-0.0)], {"exact": True}, "sign of zero differs"),
    ([F(1.0)], [np.nextafter(F(1.0), F(2.0))], {"exact": True}, "1 ulp apart"),
    ([1.0, 2.0], [1.0, 2.0003], {}, "|diff| 0.0003"),
    ([1000.0], [1000.2], {}, "allowed 0.1 there"),
    ([1.0, 2.0], [1.0, 2.0, 3.0], {}, "shape (2,)"),
    (np.int8([3, -7]), [3, -6], {}, "got -7, expected -6"),
    ([0.1], np.float64([0.1]), {"exact": True}, "not exactly representable in float32"),
    ([0.0, 1e-3], [0.0, 0.0], {"atol": np.float64([1.0, 1e-4])}, "allowed 0.0001 there"),
])
def test_differences_are_found_and_named(got, want, options, problem):
    got = np.asarray(got, F) if not isinstance(got, np.ndarray) else got
    lines = compare(got, want, **options)
    assert lines and problem in "\n".join(lines), lines


@pytest.mark.parametrize("got,want,options", [
    ([1.0, NAN, INF, -INF], [1.0, NAN, INF, -INF], {"exact": True}),
    ([1.0, NAN, INF], np.float64([1.0, np.nan, np.inf]), {}),
    ([1.00005, 2.0], [1.0, 2.0], {}),                       # absolute 5e-5
    ([1000.05], [1000.0], {}),                              # relative 5e-5
    ([1.5], [1.0], {"tol": 0.5}),
    ([0.0, 0.9], [0.0, 0.0], {"atol": np.float64([0.0, 1.0]), "rtol": 0.0}),
    (np.int8([1, 2]), [1, 2], {}),
    ([4.0, 0.0], [4, 0], {"exact": True}),                  # integers representable in float32
])
def test_agreement_passes(got, want, options):
    got = np.asarray(got, F) if not isinstance(got, np.ndarray) else got
    assert compare(got, want, **options) == []


def test_failure_message_names_case_seed_variant_and_tolerance():
    case = Case(test="demo", M=7, fn=lambda x: x)
    with pytest.raises(AssertionError) as e:
        case.check(F([1.0, 2.0]), F([1.0, 2.5]), what="kernel", threads=2, tol=1e-3)
    text = str(e.value)
    for part in ("kernel does not match the reference", "test='demo', M=7, fn=<lambda>",
                 "threads=2", f"seed:       {case.seed}", "atol 0.001 or <= rtol 0.001",
                 "1 of 2 elements", "worst at (1,): got 2.0, expected 2.5"):
        assert part in text, text


def test_seed_follows_the_parameters_not_object_identity():
    assert Case(fn=lambda x: x, n=3).seed == Case(fn=lambda x: x + 1, n=3).seed
    assert Case(n=3).seed != Case(n=4).seed
    a, b = Case(n=5), Case(n=5)
    assert (a.normal(4) == b.normal(4)).all()


def test_grid_helpers():
    assert harness.around(8, 16) == [7, 8, 9, 15, 16, 17]
    assert harness.around(1, 2) == [1, 2, 3]
    assert harness.around(*harness.multiples(8, 2)) == [7, 8, 9, 15, 16, 17]


def engine_threads():
    """The engine's own OpenMP thread count: a product above the team threshold uses all."""
    return t.gemm_packed_fp32_threads(1, 2000, 1000, 0)


def test_thread_count_is_set_and_restored():
    found = engine_threads()
    with num_threads(3):
        assert engine_threads() == 3
        with num_threads(1):
            assert engine_threads() == 1
        assert engine_threads() == 3
    assert engine_threads() == found


def test_sweep_requires_the_same_bits_for_every_thread_count():
    case = Case(n=1)
    seen = []

    def run(threads, impl):
        seen.append((impl, threads, engine_threads()))
        return F([1.0, 2.0]) + F(1e-6) * (threads == 3)

    with pytest.raises(AssertionError, match=r"differs between 1 and 3 threads(.|\n)*impl='a'"):
        case.sweep(run, None, threads=(1, 2, 3), impl=("a", "b"))
    assert seen == [("a", 1, 1), ("a", 2, 2), ("a", 3, 3)]
    assert case.sweep(run, F([1.0, 2.0]), threads=(1, 2), impl=("a", "b")) is not None
    assert len(seen) == 7


def test_check_rejects_accepts_a_clean_error(make_model):
    model = make_model(one_node("add_fp32", (0, 2, 4), (0, 2, 4), name="res"))
    a = np.ones((3, 2, 4), F)
    assert check_rejects(model, (a, a[:1]), (a, a), node="res", match="smaller").shape == (24,)


@pytest.mark.parametrize("run,problem", [
    (lambda x: x, "but the run returned"),
    (lambda x: 1 / 0 if x is None else x, "raised ZeroDivisionError"),
    (lambda x: (_ for _ in ()).throw(RuntimeError("node 'other' failed")) if x is None else x,
     "should name node 'n'"),
])
def test_check_rejects_reports_the_missing_error(run, problem):
    with pytest.raises(AssertionError, match=problem):
        check_rejects(run, None, F([1.0]), node="n")


def test_check_rejects_reports_a_model_left_broken():
    state = {"broken": False}

    def run(x):
        if x is None:
            state["broken"] = True
            raise RuntimeError("LayerX 'n': bad input")
        return x + F(state["broken"])

    with pytest.raises(AssertionError, match="after the rejected input"):
        check_rejects(run, None, F([1.0]), node="n")
