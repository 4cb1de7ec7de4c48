import json
import os

import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402
import torch.nn.functional as F  # noqa: E402

import engine_reference as ref  # noqa: E402
from model_inference_tools.engine_io import to_engine_layout  # noqa: E402
from model_inference_tools.export import export  # noqa: E402
from model_inference_tools.graph import ExportError  # noqa: E402
from torch_helpers import bn_from_data  # noqa: E402

torch.set_num_threads(1)


class Residual(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.conv1, self.bn1 = nn.Conv2d(c, c, 3, padding=1, bias=False), nn.BatchNorm2d(c)
        self.conv2, self.bn2 = nn.Conv2d(c, c, 3, padding=1, bias=False), nn.BatchNorm2d(c)

    def forward(self, x):
        y = F.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        y += x
        return F.relu(y)


class Upsampler(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)
        self.up = nn.Upsample(scale_factor=2, mode="bilinear", align_corners=False)

    def forward(self, x):
        return F.interpolate(self.up(self.conv(x)), size=(15, 9), mode="bilinear", align_corners=False)


class MeanHead(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv, self.fc = nn.Conv2d(3, 6, 3, stride=2), nn.Linear(6, 4)

    def forward(self, x):
        return self.fc(torch.sigmoid(self.conv(x)).mean((2, 3)))


def conv(**kw):
    return nn.Sequential(nn.Conv2d(6, 8, **kw), nn.BatchNorm2d(8), nn.ReLU())


MODELS = {
    "conv3x3_pad1": lambda: conv(kernel_size=3, padding=1),
    "conv3x3_stride2_nobias": lambda: conv(kernel_size=3, stride=2, padding=1, bias=False),
    "conv5x3_rect": lambda: conv(kernel_size=(5, 3), stride=(2, 1), padding=(2, 0)),
    "conv_dilated": lambda: conv(kernel_size=3, padding=2, dilation=2),
    "conv_grouped": lambda: conv(kernel_size=3, padding=1, groups=2),
    "conv_depthwise": lambda: nn.Sequential(nn.Conv2d(6, 6, 3, padding="same", groups=6),
                                            nn.LeakyReLU(0.1)),
    "flatten_linear": lambda: nn.Sequential(nn.Conv2d(6, 4, 3), nn.ReLU(), nn.Flatten(),
                                            nn.Linear(4 * 5 * 3, 7), nn.ReLU(), nn.Linear(7, 3)),
    "residual_pool": lambda: nn.Sequential(nn.Conv2d(6, 8, 3, padding=1), nn.MaxPool2d(3, 2, 1),
                                           Residual(8), nn.AdaptiveAvgPool2d(1), nn.Flatten(),
                                           nn.Linear(8, 5)),
    "activations": lambda: nn.Sequential(nn.Conv2d(6, 4, 1), nn.Tanh(), nn.Conv2d(4, 4, 1), nn.SiLU(),
                                         nn.Conv2d(4, 4, 1), nn.GELU(approximate="tanh"),
                                         nn.Dropout(0.5), nn.ReLU()),
}


@pytest.mark.parametrize("name", MODELS)
def test_float_export_matches_pytorch(name, tmp_path):
    torch.manual_seed(3)
    model = bn_from_data(MODELS[name](), torch.randn(32, 6, 7, 5))
    x = torch.randn(1, 6, 7, 5)
    export(model, x, tmp_path / "a.json", tmp_path / "w.bin")
    got = list(ref.run(tmp_path / "a.json", tmp_path / "w.bin", to_engine_layout(x)).values())[0]
    want = model(x).detach().numpy()
    want = to_engine_layout(want) if want.ndim == 4 else want[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-5, err_msg=name)


@pytest.mark.parametrize("model,shape", [(Upsampler, (1, 3, 4, 3)), (MeanHead, (1, 3, 9, 9))])
def test_resize_and_mean_heads(model, shape, tmp_path):
    torch.manual_seed(4)
    m, x = model().eval(), torch.randn(*shape)
    export(m, x, tmp_path / "a.json", tmp_path / "w.bin")
    got = list(ref.run(tmp_path / "a.json", tmp_path / "w.bin", to_engine_layout(x)).values())[0]
    want = m(x).detach().numpy()
    want = to_engine_layout(want) if want.ndim == 4 else want[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-5)


def test_files_carry_the_engine_arguments_and_tensors(tmp_path):
    model = nn.Sequential(nn.Conv2d(3, 4, 3, stride=2, padding=1), nn.BatchNorm2d(4), nn.ReLU(),
                          nn.MaxPool2d(2), nn.Flatten(), nn.Linear(4 * 2 * 2, 3)).eval()
    doc = export(model, torch.zeros(1, 3, 8, 8), tmp_path / "a.json", tmp_path / "w.bin", "tiny")
    assert doc == json.load(open(tmp_path / "a.json"))
    assert doc["model"] == "tiny"
    x = doc["inputs"][0]["name"]
    assert doc["inputs"] == [{"name": x, "shape": [1, 8, 8, 3], "dtype": "float32", "scale": 1.0, "zp": 0}]
    nodes = doc["nodes"]
    assert [n["op"] for n in nodes] == ["conv_fp32", "maxpool_fp32", "gemm_fp32"]
    assert [n["inputs"] for n in nodes] == [[x], nodes[0]["outputs"], nodes[1]["outputs"]]
    assert doc["nodes"][0]["args"] == dict(C_out=4, C_in=3, kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1,
                                           pad_w=1, groups=1, dilation_h=1, dilation_w=1, relu=True)
    assert doc["nodes"][1]["args"] == dict(kH=2, kW=2, stride_h=2, stride_w=2, pad_h=0, pad_w=0)
    assert doc["nodes"][2]["args"] == dict(C_out=3, C_in=16, relu=False)
    assert doc["outputs"] == [{"name": nodes[2]["outputs"][0]}]
    w = ref.read_weights(tmp_path / "w.bin")
    assert {k: (s, len(b)) for k, (s, b) in w.items()} == {
        "0.weight": ((4, 3, 3, 3), 4 * 108), "0.bias": ((4,), 16),
        "5.weight": ((3, 16), 4 * 48), "5.bias": ((3,), 12)}
    # The dense columns follow the channels-last flattening: column (y*2 + x)*4 + c.
    fc = ref.tensor(w, "5.weight", np.float32)
    torch_w = model[5].weight.detach().numpy().reshape(3, 4, 2, 2)
    assert fc[1, (1 * 2 + 0) * 4 + 3] == torch_w[1, 3, 1, 0]


class Cat(nn.Module):
    def forward(self, x):
        return torch.cat([x, x], 1)


class Scaled(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 3, 1)

    def forward(self, x):
        return self.conv(x) * 2


@pytest.mark.parametrize("model,shape,train,message", [
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1), nn.BatchNorm2d(3)), (1, 3, 4, 4), True, "training mode"),
    (Cat, (1, 3, 4, 4), False, r"function cat at graph node 'cat' \(position 1\)"),
    (Scaled, (1, 3, 4, 4), False, r"function mul at graph node 'mul' \(position 2\)"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1)), (4, 4, 3), False, r"example input of shape \[4, 4, 3\]"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1)), (2, 3, 4, 4), False, r"\(1, C, H, W\)"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1)), (1, 4, 4, 3), False, "channels must come second"),
    (lambda: nn.Sequential(nn.Conv2d(3, 3, 1), nn.ReLU6()), (1, 3, 4, 4), False, "ReLU6 has no float32 op"),
    (lambda: nn.Sequential(nn.ReLU(), nn.BatchNorm2d(3)), (1, 3, 4, 4), False, "batch norm is only"),
    (lambda: nn.GELU(), (1, 3, 4, 4), False, "erf form"),
    (lambda: nn.Upsample(scale_factor=2, mode="nearest"), (1, 3, 4, 4), False, "resize mode 'nearest'"),
])
def test_refused_graphs_name_the_node_and_write_nothing(model, shape, train, message, tmp_path):
    m = model().train(train)
    with pytest.raises(ExportError, match=message):
        export(m, torch.zeros(shape), tmp_path / "a.json", tmp_path / "w.bin")
    assert os.listdir(tmp_path) == []
