import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402

import engine_reference as ref  # noqa: E402
from int8_reference import quantize_multiplier, rescale, two_step  # noqa: E402
from model_inference_tools.engine_io import quantize_input, to_engine_layout  # noqa: E402
from model_inference_tools.graph import ExportError  # noqa: E402
from model_inference_tools.quantize import choose_qparams, quantize, rounding_offset  # noqa: E402
from torch_helpers import bn_from_data  # noqa: E402

torch.set_num_threads(1)


class InvertedResidual(nn.Module):
    def __init__(self, c, e):
        super().__init__()
        self.body = nn.Sequential(
            nn.Conv2d(c, c * e, 1, bias=False), nn.BatchNorm2d(c * e), nn.ReLU6(),
            nn.Conv2d(c * e, c * e, 3, padding=1, groups=c * e, bias=False), nn.BatchNorm2d(c * e), nn.ReLU6(),
            nn.Conv2d(c * e, c, 1, bias=False), nn.BatchNorm2d(c))

    def forward(self, x):
        return x + self.body(x)


def mobilenet_like():
    return nn.Sequential(nn.Conv2d(3, 8, 3, stride=2, padding=1), nn.BatchNorm2d(8), nn.ReLU6(),
                         InvertedResidual(8, 3), nn.Conv2d(8, 16, 1), nn.ReLU(),
                         nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(16, 10))


def cnn():
    return nn.Sequential(nn.Conv2d(3, 8, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
                         nn.Conv2d(8, 8, 3, stride=2, padding=1), nn.ReLU(), nn.Flatten(),
                         nn.Linear(8 * 4 * 4, 10), nn.ReLU(), )


def trained_like(factory, seed, size=16):
    """The module with batch-norm statistics taken from standard normal inputs, the
    distribution the tests calibrate and evaluate on."""
    torch.manual_seed(seed)
    return bn_from_data(factory(), torch.randn(64, 3, size, size), seed)


def run_int8(tmp_path, doc, x):
    spec = doc["inputs"][0]
    q = quantize_input(to_engine_layout(x), spec["scale"], spec["zp"])
    return list(ref.run(tmp_path / "a.json", tmp_path / "w.bin", q).values())[0]


@pytest.mark.parametrize("factory", [mobilenet_like, cnn])
@pytest.mark.parametrize("method, bits", [("minmax", 8), ("percentile", 8), ("minmax", 7)])
def test_integer_model_tracks_the_float_model(factory, method, bits, tmp_path):
    model = trained_like(factory, 5)
    data = torch.randn(64, 3, 16, 16)
    doc, _ = quantize(model, [data[:32], data[32:]], tmp_path / "a.json", tmp_path / "w.bin",
                      method=method, weight_bits=bits)
    test = torch.randn(16, 3, 16, 16)
    want = model(test).detach().numpy()
    got = np.stack([run_int8(tmp_path, doc, test[i:i + 1]) for i in range(16)])
    spread = want.max() - want.min()
    # Seen: 0.02-0.03 of the spread (0.03-0.045 before the rounding bias was corrected).
    assert np.abs(got - want).max() < 0.05 * spread
    assert np.mean(got.argmax(1) == want.argmax(1)) >= 0.9


@pytest.mark.parametrize("req", [0.7, 0.3, 0.07, 3e-3, 2e-5])
def test_rounding_offset_turns_the_floor_into_round_to_nearest(req):
    """The int8 paths round the fixed-point product, then shift right, which floors; the
    offset added to the effective bias makes the result round to nearest."""
    r = np.float32(req)
    m, e = quantize_multiplier(r)
    exact = m * 2.0 ** (e - 31)
    x = np.random.default_rng(0).integers(-2**22, 2**22, 200_000)
    ideal = x * exact
    plain = rescale(x, r, two_step)
    fixed = rescale(x + rounding_offset(np.array([r]))[0], r, two_step)
    # The offset is a whole number of accumulator units, each worth `exact` output steps.
    assert abs(np.mean(fixed - ideal)) < 0.01 + exact / 2
    assert np.abs(fixed - ideal).max() <= 0.5 + (2.0 ** e if e < 0 else 0) + exact
    if e < 0:  # what the offset removes: the floor of an integer t / 2^k
        assert np.mean(plain - ideal) < -0.5 + 2.0 ** (e - 1) + 0.01
    else:
        assert rounding_offset(np.array([r]))[0] == 0
    if e <= -4:  # near-ties aside, round-to-nearest
        assert np.mean(fixed != np.floor(ideal + 0.5)) <= 2.0 ** (e + 2)


def test_arguments_and_tensors_follow_the_integer_arithmetic(tmp_path):
    """One conv layer: the engine's integer arithmetic on the emitted tensors gives the
    float result to within one output step."""
    torch.manual_seed(2)
    model = nn.Sequential(nn.Conv2d(2, 3, 3, padding=1), nn.ReLU(), nn.Flatten(), nn.Linear(3 * 4 * 4, 2)).eval()
    data = torch.randn(32, 2, 4, 4)
    doc, t = quantize(model, [data], tmp_path / "a.json", tmp_path / "w.bin")
    conv, dense = doc["nodes"]
    assert conv["op"] == "conv_int8" and dense["op"] == "gemm_int8"
    assert conv["args"]["out_zp"] == -128  # the ReLU lives in the output range
    assert conv["args"]["winograd"] == 0  # 3x3 stride 1: kept on the exact path
    assert dense["args"]["in_zp"] == -128
    assert t["0.weight"].dtype == np.int8 and t["0.weight"].shape == (3, 2, 3, 3)
    assert t["0.req_scale"].dtype == np.float32 and t["0.eff_bias"].dtype == np.int64
    assert np.abs(t["0.weight"]).reshape(3, -1).max(1).tolist() == [63, 63, 63]  # 7 bits
    assert (t["0.req_scale"] < 1).all()
    spec, x = doc["inputs"][0], data[:1]
    q = quantize_input(to_engine_layout(x), spec["scale"], spec["zp"])
    acc = ref.conv(q, t["0.weight"], conv["args"], spec["zp"], np.int64) + t["0.eff_bias"]
    codes = np.stack([rescale(acc[..., c], t["0.req_scale"][c], two_step) for c in range(3)], -1) - 128
    w = model[0].weight.detach().numpy().reshape(3, -1)
    w_scale = np.abs(w).max(1) / 63
    out_scale = spec["scale"] * w_scale / t["0.req_scale"]
    real = (np.clip(codes, -128, 127) + 128) * out_scale
    want = to_engine_layout(model[1](model[0](x)).detach())
    # rounding of the output, of the input (half a step times the weights) and of the weights
    bound = out_scale + spec["scale"] * np.abs(w).sum(1) / 2 + w_scale * np.abs(x.numpy()).max() * 9
    assert (np.abs(real - want) <= bound).all()


@pytest.mark.parametrize("lo,hi", [(-1.0, 3.0), (0.0, 6.0), (0.5, 2.0), (-4.0, -1.0), (0.0, 0.0)])
def test_ranges_contain_zero_exactly(lo, hi):
    q = choose_qparams(lo, hi)
    assert -128 <= q.zp <= 127
    assert q.scale * (-128 - q.zp) <= min(lo, 0) + q.scale / 2  # covered to within half a step
    assert q.scale * (127 - q.zp) >= max(hi, 0) - q.scale / 2
    assert q.scale * (-128 - q.zp) <= 0 <= q.scale * (127 - q.zp)


def test_percentile_ignores_outliers():
    from model_inference_tools.graph import lower
    from model_inference_tools.quantize import calibrate

    model = nn.Sequential(nn.Conv2d(1, 1, 1)).eval()
    data = torch.rand(4, 1, 50, 50)
    data[0, 0, 0, 0] = 100.0
    graph = lower(model, data[:1])
    wide = calibrate(graph, [data], "minmax")[graph.input_name]
    narrow = calibrate(graph, [data], "percentile", 99.9)[graph.input_name]
    assert wide[1] == 100.0 and narrow[1] < 1.01


def test_constant_output_keeps_requantisation_below_one(tmp_path):
    model = nn.Sequential(nn.Conv2d(2, 2, 1), nn.ReLU(), nn.Flatten(), nn.Linear(2 * 3 * 3, 2)).eval()
    with torch.no_grad():
        model[0].weight[1].fill_(1e-3)
        model[0].bias[1] = -10.0  # channel 1 is always 0 after the ReLU
    _, t = quantize(model, [torch.rand(8, 2, 3, 3) * 1e-3])
    assert (t["0.req_scale"] < 1).all()


@pytest.mark.parametrize("model,message", [
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1), nn.Sigmoid(), nn.Flatten(), nn.Linear(48, 2)), "sigmoid has no int8"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 3, padding=2, dilation=2), nn.Flatten(), nn.Linear(48, 2)), "dilated"),
    (lambda: nn.Sequential(nn.Flatten(), nn.Linear(48, 4), nn.Linear(4, 2)), "must be the last layer"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1)), "must end with a Linear"),
    (lambda: nn.Sequential(nn.MaxPool2d(2), nn.ReLU(), nn.Flatten(), nn.Linear(12, 2)), "folds only into"),
])
def test_graphs_without_int8_form_are_refused(model, message, tmp_path):
    with pytest.raises(ExportError, match=message):
        quantize(model().eval(), [torch.rand(2, 3, 4, 4)], tmp_path / "a.json", tmp_path / "w.bin")
    assert list(tmp_path.iterdir()) == []
