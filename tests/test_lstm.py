"""The LSTM: its recurrence kernel against the scalar reference, the layer against
torch.nn.LSTM with the same weights, and every malformed weight or input refused by name."""
import numpy as np
import pytest
import torch

from harness import ALL_THREADS, around, check_rejects, forward, one_node, testing as T

# Differences to nn.LSTM come from the polynomial exponential and from summation order;
# over 400 steps they stay below 1e-6 on unit-scale data.
LSTM_TOL = dict(atol=3e-6, rtol=0)


def make_lstm(I, H, bidirectional, seed, bias=True):
    torch.manual_seed(seed)
    return torch.nn.LSTM(I, H, bidirectional=bidirectional, bias=bias).eval()


def tensors_of(lstm, node):
    return {f"{node}.{k}": v.detach().numpy().copy() for k, v in lstm.state_dict().items()}


def torch_run(lstm, x):
    torch.set_num_threads(1)
    with torch.no_grad():
        return lstm(torch.from_numpy(x)[:, None])[0][:, 0].numpy()


def lstm_model(make_model, lstm, node="lstm", steps=0):
    arch = one_node("lstm_fp32", (steps, lstm.input_size), name=node,
                    hidden_size=lstm.hidden_size, bidirectional=lstm.bidirectional)
    return make_model(arch, tensors_of(lstm, node))


# Hidden sizes at and around the 8-channel blocks and the 16-channel groups, and at the
# size from which one direction is shared by a team.
@pytest.mark.parametrize("H", around(8, 16) + [1, 3, 24, 128, 131])
@pytest.mark.parametrize("I,steps", [(1, 1), (5, 13), (33, 4)])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("bias", ["both", "ih", "none"])
def test_recurrence_matches_reference(case, H, I, steps, reverse, bias):
    x = case.normal((steps, I))
    w_ih, w_hh = case.normal((4 * H, I), 0.4), case.normal((4 * H, H), 0.4)
    b_ih = case.normal(4 * H) if bias != "none" else None
    b_hh = case.normal(4 * H) if bias == "both" else None
    # Rows twice as wide as the output, as in a bidirectional layer: the gap stays zero.
    stride = 2 * H + 1

    def run(threads, impl):
        return T.lstm_direction_fp32(x, w_ih, w_hh, b_ih, b_hh, reverse=reverse,
                                     out_stride=stride, impl=impl)

    want = run(1, "ref")
    assert not want[:, H:].any()
    case.sweep(run, want, threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))


@pytest.mark.parametrize("steps", [1, 37, 400])
@pytest.mark.parametrize("H,I", [(64, 80), (256, 640)])
@pytest.mark.parametrize("bidirectional", [False, True])
def test_layer_matches_torch(case, make_model, steps, H, I, bidirectional):
    lstm = make_lstm(I, H, bidirectional, case.seed)
    x = case.normal((steps, I))
    want = torch_run(lstm, x).ravel()
    model = lstm_model(make_model, lstm)
    case.sweep(lambda threads: forward(model, x), want, threads=ALL_THREADS, **LSTM_TOL)


def test_layer_equals_its_reference_bit_for_bit(case, make_model):
    lstm = make_lstm(24, 19, True, case.seed)
    x = case.normal((29, 24))
    sd = {k: v.detach().numpy() for k, v in lstm.state_dict().items()}
    want = np.zeros((29, 38), np.float32)
    for d, rev in ((0, ""), (1, "_reverse")):
        want[:, 19 * d:19 * (d + 1)] = T.lstm_direction_fp32(
            x, sd["weight_ih_l0" + rev], sd["weight_hh_l0" + rev], sd["bias_ih_l0" + rev],
            sd["bias_hh_l0" + rev], reverse=d == 1, impl="ref")
    model = lstm_model(make_model, lstm)
    case.sweep(lambda threads: forward(model, x), want.ravel(), threads=ALL_THREADS, exact=True)


def test_layer_without_biases(case, make_model):
    lstm = make_lstm(12, 10, True, case.seed, bias=False)
    x = case.normal((15, 12))
    got = forward(lstm_model(make_model, lstm), x)
    np.testing.assert_allclose(got, torch_run(lstm, x).ravel(), **LSTM_TOL)


def test_one_step_is_the_gate_formula(case, make_model):
    H, I = 9, 6
    lstm = make_lstm(I, H, False, case.seed)
    x = case.normal((1, I))
    sd = {k: v.detach().double().numpy() for k, v in lstm.state_dict().items()}
    g = sd["weight_ih_l0"] @ x[0].astype(np.float64) + sd["bias_ih_l0"] + sd["bias_hh_l0"]
    sig = lambda v: 1 / (1 + np.exp(-v))  # noqa: E731
    i, gg, o = sig(g[:H]), np.tanh(g[2 * H:3 * H]), sig(g[3 * H:])
    want = o * np.tanh(i * gg)
    np.testing.assert_allclose(forward(lstm_model(make_model, lstm), x), want, atol=1e-6)


def test_palindrome_gives_mirrored_directions(case, make_model):
    """With the reverse weights equal to the forward ones, a palindromic input gives
    forward row t equal to reverse row T-1-t: the two directions do the same arithmetic."""
    H, I, steps = 33, 10, 41
    lstm = make_lstm(I, H, True, case.seed)
    with torch.no_grad():
        for name in ("weight_ih", "weight_hh", "bias_ih", "bias_hh"):
            getattr(lstm, name + "_l0_reverse").copy_(getattr(lstm, name + "_l0"))
    half = case.normal((steps // 2 + 1, I))
    x = np.concatenate([half, half[-2::-1]])
    assert np.array_equal(x, x[::-1])
    model = lstm_model(make_model, lstm)
    for threads in ALL_THREADS:
        T.set_num_threads(threads)
        y = forward(model, x).reshape(steps, 2 * H)
        np.testing.assert_array_equal(y[:, :H], y[::-1, H:])


def test_variable_length_reuses_the_model(case, make_model):
    lstm = make_lstm(16, 24, True, case.seed)
    model = lstm_model(make_model, lstm)
    for steps in (50, 3, 120, 1):
        x = case.normal((steps, 16))
        np.testing.assert_allclose(forward(model, x), torch_run(lstm, x).ravel(), **LSTM_TOL)


# ---- refused weights and inputs ---------------------------------------------------------

def bad_tensors(kind, H=8, I=5):
    lstm = make_lstm(I, H, True, 7)
    t = tensors_of(lstm, "rnn")
    if kind == "ih not a multiple of 4H":
        t["rnn.weight_ih_l0"] = t["rnn.weight_ih_l0"].ravel()[:-3]
    elif kind == "ih transposed":
        t["rnn.weight_ih_l0"] = np.ascontiguousarray(t["rnn.weight_ih_l0"].T)
    elif kind == "hh short":
        t["rnn.weight_hh_l0"] = t["rnn.weight_hh_l0"][:-1]
    elif kind == "hh long":
        t["rnn.weight_hh_l0_reverse"] = np.concatenate([t["rnn.weight_hh_l0_reverse"]] * 2)
    elif kind == "bias short":
        t["rnn.bias_hh_l0"] = t["rnn.bias_hh_l0"][:-1]
    elif kind == "bias long":
        t["rnn.bias_ih_l0_reverse"] = np.zeros(4 * H + 4, np.float32)
    elif kind == "reverse missing":
        del t["rnn.weight_hh_l0_reverse"]
    elif kind == "reverse input size":
        t["rnn.weight_ih_l0_reverse"] = np.zeros((4 * H, I + 1), np.float32)
    elif kind == "ih empty":
        t["rnn.weight_ih_l0"] = np.zeros((0,), np.float32)
    return t


@pytest.mark.parametrize("kind,match", [
    ("ih not a multiple of 4H", "not a positive multiple of 4 \\* hidden_size = 32"),
    ("ih transposed", "weight_ih_l0' has 5 rows, needs 32"),
    ("hh short", "weight_hh_l0' has 248 values, needs 256"),
    ("hh long", "weight_hh_l0_reverse' has 512 values, needs 256"),
    ("bias short", "bias_hh_l0' has 31 values, needs 32"),
    ("bias long", "bias_ih_l0_reverse' has 36 values, needs 32"),
    ("reverse missing", "weight_hh_l0_reverse' is missing"),
    ("reverse input size", "reverse input weights are for input size 6, the forward ones for 5"),
    ("ih empty", "weight_ih_l0' has 0 values"),
])
def test_bad_weights_are_refused_at_load(make_model, kind, match):
    arch = one_node("lstm_fp32", (0, 5), name="rnn", hidden_size=8, bidirectional=True)
    with pytest.raises(RuntimeError, match=f"LstmFp32 'rnn': .*{match}"):
        make_model(arch, bad_tensors(kind))


@pytest.mark.parametrize("hidden", [0, -3])
def test_hidden_size_below_one_is_refused(make_model, hidden):
    with pytest.raises(RuntimeError, match=f"LstmFp32 'rnn': hidden_size must be at least 1, "
                                           f"got {hidden}"):
        make_model(one_node("lstm_fp32", (0, 5), name="rnn", hidden_size=hidden), {})


def test_input_width_must_match_the_weights(make_model):
    lstm = make_lstm(5, 8, False, 3)
    with pytest.raises(RuntimeError, match="LstmFp32 'rnn': input has 6 channels, the weights "
                                           "expect 5"):
        make_model(one_node("lstm_fp32", (0, 6), name="rnn", hidden_size=8),
                   tensors_of(lstm, "rnn"))
    good = np.ones((4, 5), np.float32)
    want = T.sequence_layer("lstm_fp32", {"hidden_size": 8}, tensors_of(lstm, "rnn"), [good],
                            32, name="rnn")
    check_rejects(lambda x: T.sequence_layer("lstm_fp32", {"hidden_size": 8},
                                             tensors_of(lstm, "rnn"), [x], 32, name="rnn"),
                  np.ones((4, 4), np.float32), good, node="rnn", match="input has 4 channels",
                  want=want)
