import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402

import engine_reference as ref  # noqa: E402
import model_inference as mi  # noqa: E402
from model_inference_tools.engine_io import quantize_input, to_engine_layout  # noqa: E402
from model_inference_tools.export import export  # noqa: E402
from model_inference_tools.quantize import quantize  # noqa: E402
from test_export import Residual  # noqa: E402
from test_quantize import InvertedResidual, cnn, mobilenet_like, trained_like  # noqa: E402
from torch_helpers import bn_from_data  # noqa: E402

torch.set_num_threads(1)


def resnet_like():
    return nn.Sequential(nn.Conv2d(3, 16, 7, stride=2, padding=3, bias=False), nn.BatchNorm2d(16), nn.ReLU(),
                         nn.MaxPool2d(3, 2, 1), Residual(16), nn.Conv2d(16, 32, 3, stride=2, padding=1),
                         nn.BatchNorm2d(32), nn.ReLU(), Residual(32), nn.AdaptiveAvgPool2d(1),
                         nn.Flatten(), nn.Linear(32, 10))


def mobilenet_relu():
    return nn.Sequential(nn.Conv2d(3, 8, 3, stride=2, padding=1), nn.BatchNorm2d(8), nn.ReLU(),
                         InvertedResidual(8, 4), nn.Conv2d(8, 16, 1), nn.ReLU(),
                         nn.Conv2d(16, 16, 3, stride=2, padding=1, groups=16), nn.ReLU(),
                         nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(16, 10))


def relu6_to_relu(m):
    for name, child in m.named_children():
        if isinstance(child, nn.ReLU6):
            setattr(m, name, nn.ReLU())
        else:
            relu6_to_relu(child)
    return m


@pytest.mark.parametrize("factory", [resnet_like, lambda: relu6_to_relu(mobilenet_relu()), cnn])
def test_float_models_match_pytorch_in_the_engine(factory, tmp_path):
    torch.manual_seed(7)
    x = torch.randn(1, 3, 32, 32) if factory is not cnn else torch.randn(1, 3, 16, 16)
    model = bn_from_data(factory(), torch.randn(32, *x.shape[1:]))
    export(model, x, tmp_path / "a.json", tmp_path / "w.bin")
    engine = mi.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))
    for _ in range(3):
        got = engine.forward(to_engine_layout(x))
        np.testing.assert_allclose(got, model(x).detach().numpy()[0], rtol=1e-4, atol=1e-4)
        x = torch.randn_like(x)


@pytest.mark.parametrize("factory", [mobilenet_like, cnn, resnet_like])
def test_int8_models_agree_with_pytorch_in_the_engine(factory, tmp_path):
    model = trained_like(factory, 8)
    data = torch.randn(96, 3, 16, 16)
    doc, _ = quantize(model, [data[:48], data[48:]], tmp_path / "a.json", tmp_path / "w.bin")
    engine = mi.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))
    spec = engine.inputs[0]
    assert spec.dtype == "int8" and (spec.scale, spec.zp) == (np.float32(doc["inputs"][0]["scale"]),
                                                               doc["inputs"][0]["zp"])
    test = torch.randn(32, 3, 16, 16)
    want = model(test).detach().numpy()
    got = np.stack([engine.forward(quantize_input(to_engine_layout(test[i:i + 1]), spec.scale, spec.zp))
                    for i in range(len(test))])
    # Seen: 0.02-0.03 of the spread, top-1 0.97-1.
    assert np.abs(got - want).max() < 0.05 * (want.max() - want.min())
    assert np.mean(got.argmax(1) == want.argmax(1)) >= 0.9


@pytest.mark.parametrize("factory", [resnet_like, mobilenet_like])
@pytest.mark.parametrize("bits", [8, 7])
def test_quantised_models_run_exactly_as_their_integer_model(factory, bits, tmp_path):
    """By default every layer runs an exact path: the engine's logits equal those of the
    integer model of the documented arithmetic bit for bit (two-step requantisation, one
    step on the depthwise loop). With 7-bit weights every weight lies in [-63, 63]."""
    model = trained_like(factory, 4)
    doc, t = quantize(model, [torch.randn(64, 3, 16, 16)], tmp_path / "a.json", tmp_path / "w.bin",
                      weight_bits=bits)
    shaped = [n for n in doc["nodes"] if n["op"] == "conv_int8" and n["args"]["kH"] == 3
              and n["args"]["stride_h"] == 1 and n["args"]["groups"] == 1]
    assert all(n["args"]["winograd"] == 0 for n in shaped)
    top = 63 if bits == 7 else 127
    for n in doc["nodes"]:
        if n["op"] in ("conv_int8", "gemm_int8"):
            w = t[n["name"] + ".weight"].reshape(n["args"]["C_out"], -1).astype(int)
            assert np.abs(w).max(1).tolist() == [top] * len(w)
    engine = mi.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))
    spec = engine.inputs[0]
    for x in torch.randn(3, 1, 3, 16, 16):
        q = quantize_input(to_engine_layout(x), spec.scale, spec.zp)
        want = list(ref.run(tmp_path / "a.json", tmp_path / "w.bin", q).values())[0]
        np.testing.assert_array_equal(engine.forward(q), want)


def test_winograd_option_leaves_the_fast_path_to_the_engine(tmp_path):
    model = trained_like(resnet_like, 4)
    doc, _ = quantize(model, [torch.randn(64, 3, 16, 16)], tmp_path / "a.json", tmp_path / "w.bin",
                      winograd=True)
    assert not any("winograd" in n.get("args", {}) for n in doc["nodes"])
    engine = mi.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "w.bin"))
    spec = engine.inputs[0]
    q = quantize_input(to_engine_layout(torch.randn(1, 3, 16, 16)), spec.scale, spec.zp)
    exact = list(ref.run(tmp_path / "a.json", tmp_path / "w.bin", q).values())[0]
    assert not np.array_equal(engine.forward(q), exact)  # the Winograd path approximates
