"""CNN classifiers end to end through InferenceModel: fp32 against PyTorch modules with batch
norm folded into the convolutions, and an int8 residual network against its integer model."""

import numpy as np
import pytest

import model_inference as mi
import model_inference_tools as mt
from int8_reference import requantize, rescale, saturate, two_step
from test_conv_int8 import conv_acc, make_layer, winograd_int8_ref
from torch_helpers import bn_from_data

torch = pytest.importorskip("torch")
torch.set_num_threads(1)
nn = torch.nn


class Net:
    """Collects a PyTorch module tree and the matching engine graph side by side."""

    def __init__(self, model, shape):
        self.arch = mt.Arch(model=model)
        self.arch.add_input("x", shape)
        self.tensors = {}
        self.n = 0

    def conv(self, src, conv, bn, relu):
        """Adds a conv node with `bn` folded into its weight and bias; returns its output."""
        self.n += 1
        name = f"conv{self.n}"
        s = (bn.weight / torch.sqrt(bn.running_var + bn.eps)).detach().double()
        w = conv.weight.detach().double() * s[:, None, None, None]
        b = bn.bias.detach().double() - bn.running_mean.double() * s
        self.tensors[name + ".weight"] = w.float().numpy()
        self.tensors[name + ".bias"] = b.float().numpy()
        self.arch.add(name, "conv_fp32", [src], name, relu=relu or None,
                      C_in=conv.in_channels, C_out=conv.out_channels, kH=conv.kernel_size[0],
                      kW=conv.kernel_size[1], stride_h=conv.stride[0], stride_w=conv.stride[1],
                      pad_h=conv.padding[0], pad_w=conv.padding[1], groups=conv.groups)
        return name

    def model(self, out):
        self.arch.outputs = [out]
        return self.arch, self.tensors


def conv_bn(c_in, c_out, k, stride=1, groups=1):
    return nn.Conv2d(c_in, c_out, k, stride, k // 2, groups=groups, bias=False), nn.BatchNorm2d(c_out)


class Bottleneck(nn.Module):
    def __init__(self, c_in, mid, c_out, stride):
        super().__init__()
        self.a = conv_bn(c_in, mid, 1)
        self.b = conv_bn(mid, mid, 3, stride)
        self.c = conv_bn(mid, c_out, 1)
        self.proj = conv_bn(c_in, c_out, 1, stride) if stride != 1 or c_in != c_out else None
        for i, m in enumerate([*self.a, *self.b, *self.c, *(self.proj or ())]):
            self.add_module(f"m{i}", m)

    def forward(self, x):
        f = lambda cb, v: cb[1](cb[0](v))
        y = f(self.c, torch.relu(f(self.b, torch.relu(f(self.a, x)))))
        return torch.relu(y + (f(self.proj, x) if self.proj else x))

    def emit(self, net, src):
        y = net.conv(net.conv(net.conv(src, *self.a, True), *self.b, True), *self.c, False)
        short = net.conv(src, *self.proj, False) if self.proj else src
        net.arch.add(y + "_add", "add_fp32", [y, short], y + "_add", relu=True)
        return y + "_add"


class InvertedResidual(nn.Module):
    def __init__(self, c_in, c_out, stride, expand):
        super().__init__()
        mid = c_in * expand
        self.a = conv_bn(c_in, mid, 1)
        self.b = conv_bn(mid, mid, 3, stride, groups=mid)
        self.c = conv_bn(mid, c_out, 1)
        self.res = stride == 1 and c_in == c_out
        for i, m in enumerate([*self.a, *self.b, *self.c]):
            self.add_module(f"m{i}", m)

    def forward(self, x):
        f = lambda cb, v: cb[1](cb[0](v))
        y = f(self.c, torch.relu(f(self.b, torch.relu(f(self.a, x)))))
        return y + x if self.res else y

    def emit(self, net, src):
        y = net.conv(net.conv(net.conv(src, *self.a, True), *self.b, True), *self.c, False)
        if not self.res:
            return y
        net.arch.add(y + "_add", "add_fp32", [y, src], y + "_add")
        return y + "_add"


class Classifier(nn.Module):
    def __init__(self, stem, blocks, c_last, classes, pool):
        super().__init__()
        self.stem, self.blocks, self.pool = stem, nn.ModuleList(blocks), pool
        self.add_module("stem_conv", stem[0])
        self.add_module("stem_bn", stem[1])
        self.fc = nn.Linear(c_last, classes)

    def forward(self, x):
        y = torch.relu(self.stem[1](self.stem[0](x)))
        if self.pool:
            y = nn.functional.max_pool2d(y, 3, 2, 1)
        for b in self.blocks:
            y = b(y)
        return self.fc(y.mean((2, 3)))

    def emit(self, net):
        y = net.conv("x", *self.stem, True)
        if self.pool:
            net.arch.add("pool", "maxpool_fp32", [y], "pool", kH=3, kW=3, stride_h=2, stride_w=2,
                         pad_h=1, pad_w=1)
            y = "pool"
        for b in self.blocks:
            y = b.emit(net, y)
        net.arch.add("gap", "avgpool_fp32", [y], "gap")
        net.arch.add("fc", "gemm_fp32", ["gap"], "logits", C_in=self.fc.in_features,
                     C_out=self.fc.out_features)
        net.tensors["fc.weight"] = self.fc.weight.detach().numpy()
        net.tensors["fc.bias"] = self.fc.bias.detach().numpy()
        return net.model("logits")


def resnet_style():
    blocks = [Bottleneck(16, 8, 32, 1), Bottleneck(32, 8, 32, 1), Bottleneck(32, 16, 64, 2),
              Bottleneck(64, 16, 64, 1)]
    return Classifier(conv_bn(3, 16, 7, 2), blocks, 64, 10, pool=True)


def mobilenet_style():
    blocks = [InvertedResidual(16, 16, 1, 1), InvertedResidual(16, 24, 2, 6),
              InvertedResidual(24, 24, 1, 6), InvertedResidual(24, 40, 2, 6),
              InvertedResidual(40, 40, 1, 6)]
    return Classifier(conv_bn(3, 16, 3, 2), blocks, 40, 10, pool=False)


@pytest.mark.parametrize("build, size", [(resnet_style, 56), (mobilenet_style, 48),
                                         (resnet_style, 33)])
def test_fp32_classifier_matches_pytorch(write_model, build, size):
    torch.manual_seed(0)
    model = bn_from_data(build(), torch.randn(32, 3, size, size))
    arch, tensors = model.emit(Net("cnn", [size, size, 3]))
    m = mi.InferenceModel(*write_model(arch, tensors))
    x = np.random.default_rng(3).standard_normal((size, size, 3)).astype(np.float32)
    with torch.no_grad():
        ref = model(torch.from_numpy(x).permute(2, 0, 1)[None])[0].double().numpy()
    y = m.forward(x)
    # Seen: up to 1.8e-6 of the logit scale (fp32 rounding through ~20 layers). With batch
    # norm fitted to the data a single weight off by 1% moves the logits by 3e-4 to 1e-3.
    assert np.abs(y - ref).max() < 2e-5 * np.abs(ref).max()


def test_int8_resnet_style_exact(write_model):
    rng = np.random.default_rng(11)
    a = mt.Arch(model="qresnet")
    a.add_input("x", [12, 12, 8], dtype="int8", scale=0.05, zp=-3)
    tensors = {}
    zps = {"x": -3}

    def conv(name, src, c_in, c_out, k, stride, zp_out=4):
        w, eff, req = make_layer(rng, c_in, c_out, k, 1)
        tensors.update({name + ".weight": w, name + ".req_scale": req, name + ".eff_bias": eff})
        a.add(name, "conv_int8", [src], name, C_in=c_in, C_out=c_out, kH=k, kW=k,
              stride_h=stride, stride_w=stride, pad_h=k // 2, pad_w=k // 2,
              in_zp=zps[src], out_zp=zp_out)
        zps[name] = zp_out
        return (w, eff, req, zps[src], zp_out, stride)

    def add(name, x1, x2):
        a.add(name, "add_int8", [x1, x2], name, in1_scale=0.04, in1_zp=zps[x1], in2_scale=0.03,
              in2_zp=zps[x2], out_scale=0.05, out_zp=-1)
        zps[name] = -1

    layers = {
        "stem": ("x", conv("stem", "x", 8, 16, 3, 2)),
        "a1": ("stem", conv("a1", "stem", 16, 8, 1, 1)),
        "b1": ("a1", conv("b1", "a1", 8, 8, 3, 1, zp_out=-2)),
        "c1": ("b1", conv("c1", "b1", 8, 16, 1, 1)),
        "a2": ("r1", None), "b2": ("a2", None), "c2": ("b2", None), "p2": ("r1", None),
    }
    add("r1", "c1", "stem")
    layers["a2"] = ("r1", conv("a2", "r1", 16, 8, 1, 1))
    layers["b2"] = ("a2", conv("b2", "a2", 8, 8, 3, 2))
    layers["c2"] = ("b2", conv("c2", "b2", 8, 24, 1, 1))
    layers["p2"] = ("r1", conv("p2", "r1", 16, 24, 1, 2))
    add("r2", "c2", "p2")
    a.add("gap", "avgpool_int8", ["r2"], "gap", in_scale=0.05, in_zp=-1, out_scale=0.02, out_zp=2)
    Wfc = rng.integers(-128, 128, (10, 24)).astype(np.int8)
    req_fc = rng.uniform(1e-3, 1e-2, 10).astype(np.float32)
    eff_fc = rng.integers(-1000, 1000, 10).astype(np.int64)
    tensors.update({"fc.weight": Wfc, "fc.req_scale": req_fc, "fc.eff_bias": eff_fc})
    a.add("fc", "gemm_int8", ["gap"], "logits", C_in=24, C_out=10, in_zp=2)
    a.outputs = ["logits"]
    m = mi.InferenceModel(*write_model(a, tensors))

    x = rng.integers(-128, 128, (12, 12, 8), dtype=np.int8)
    v = {"x": x}

    def run_conv(name):
        src, (w, eff, req, in_zp, out_zp, stride) = layers[name]
        if w.shape[2] == 3 and stride == 1:
            v[name] = winograd_int8_ref(v[src], w, eff, req, in_zp, out_zp)
        else:
            acc = conv_acc(v[src], w, in_zp, stride, w.shape[2] // 2, 1)
            v[name] = requantize(acc, eff, req, out_zp, two_step)

    def run_add(name, x1, x2):
        f1, f2 = np.float32(0.04) / np.float32(0.05), np.float32(0.03) / np.float32(0.05)
        v[name] = saturate(-1 + rescale(v[x1].astype(np.int64) - zps[x1], f1)
                           + rescale(v[x2].astype(np.int64) - zps[x2], f2))

    for n in ("stem", "a1", "b1", "c1"):
        run_conv(n)
    run_add("r1", "c1", "stem")
    for n in ("a2", "b2", "c2", "p2"):
        run_conv(n)
    run_add("r2", "c2", "p2")
    r = v["r2"].astype(np.int64)
    hw = r.shape[0] * r.shape[1]
    gap = saturate(rescale(r.sum((0, 1)) + 1 * hw, np.float32(0.05) / (np.float32(hw) * np.float32(0.02))) + 2)
    expected = (Wfc.astype(np.int64) @ gap.astype(np.int64) + eff_fc).astype(np.float32) * req_fc
    np.testing.assert_array_equal(m.forward(x), expected)
