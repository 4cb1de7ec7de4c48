"""Export of vision transformers and BERT-style encoders: the written files, run by a NumPy
model of the ops, against PyTorch; and refusals of what the engine cannot express."""

import numpy as np
import pytest
import torch
from torch import nn

import torch_encoders as tm
import transformer_file_reference as file_reference
from harness import check
from model_inference_tools import transformer_graph as tg
from model_inference_tools.engine_io import to_engine_layout
from model_inference_tools.graph import ExportError

torch.set_num_threads(1)


@pytest.fixture(autouse=True)
def _declared_activations():
    """PyTorch's fast path of nn.TransformerEncoderLayer computes the erf GELU even for
    nn.GELU(approximate="tanh"); the references use the layers as declared."""
    torch.backends.mha.set_fastpath_enabled(False)
    yield
    torch.backends.mha.set_fastpath_enabled(True)

VIT_VARIANTS = {
    "torchvision": lambda: tm.torchvision_vit("tiny"),
    "plain-prenorm": lambda: tm.plain_vit(activation=nn.GELU(approximate="tanh")),
    "plain-postnorm-seqfirst": lambda: tm.plain_vit(norm_first=False, batch_first=False,
                                                    activation=nn.GELU(approximate="tanh")),
    "plain-relu": lambda: tm.plain_vit(activation="relu", seed=1),
    "plain-one-patch": lambda: tm.plain_vit(image=8, patch=8, heads=2,
                                            activation=nn.GELU(approximate="tanh")),
}


def _images(n, size=32, seed=0):
    return torch.randn(n, 3, size, size, generator=torch.Generator().manual_seed(seed))


def _export_vit(module, tmp_path, **kw):
    a, w = tmp_path / "vit.json", tmp_path / "vit.bin"
    tg.export_vit(module, a, w, approximate_gelu=True, **kw)
    return str(a), str(w)


@pytest.mark.parametrize("variant", list(VIT_VARIANTS))
def test_vit_files_match_pytorch(variant, tmp_path):
    module = VIT_VARIANTS[variant]()
    size = 8 if variant == "plain-one-patch" else 32
    arch, weights = _export_vit(module, tmp_path)
    images = _images(3, size)
    with torch.no_grad():
        want = module(images).numpy()
    for x, ref in zip(images, want):
        got = file_reference.run(arch, weights, to_engine_layout(x))
        check(got, ref, atol=1e-4 * np.abs(ref).max(), rtol=0, what=variant)


@pytest.mark.parametrize("hidden_act,heads,layers", [("gelu_new", 4, 2), ("gelu_pytorch_tanh", 2, 1),
                                                     ("relu", 8, 3)])
def test_bert_files_match_transformers(hidden_act, heads, layers, tmp_path):
    module = tm.bert(hidden_act=hidden_act, heads=heads, layers=layers)
    a, w = tmp_path / "bert.json", tmp_path / "bert.bin"
    tg.export_bert(module, a, w)
    g = torch.Generator().manual_seed(5)
    for length in (1, 7, 40):
        ids = torch.randint(0, 50, (1, length), generator=g)
        with torch.no_grad():
            want = module(input_ids=ids, token_type_ids=torch.zeros_like(ids)).last_hidden_state[0].mean(0)
        got = file_reference.run(str(a), str(w), tg.token_input(ids[0].numpy()))
        check(got, want.numpy(), atol=1e-4 * float(want.abs().max()), rtol=0, what=f"T={length}")


@pytest.mark.parametrize("kind", ["vit", "bert"])
def test_int8_files_hold_per_row_weights(kind, tmp_path):
    """The dynamic int8 form: every weight row within half a step of its float row, and the
    whole model (per-token activation quantisation) near the float result."""
    if kind == "vit":
        module = tm.torchvision_vit("tiny")
        a, w = tmp_path / "q.json", tmp_path / "q.bin"
        doc = tg.export_vit(module, a, w, int8=True)
        x = _images(1)
        with torch.no_grad():
            want = module(x)[0].numpy()
        got = file_reference.run(str(a), str(w), to_engine_layout(x[0]))
    else:
        module = tm.bert()
        a, w = tmp_path / "q.json", tmp_path / "q.bin"
        doc = tg.export_bert(module, a, w, int8=True)
        ids = torch.arange(3, 23)[None]
        with torch.no_grad():
            want = module(input_ids=ids).last_hidden_state[0].mean(0).numpy()
        got = file_reference.run(str(a), str(w), tg.token_input(ids[0].numpy()))
    ops = {n["op"] for n in doc["nodes"]}
    assert {"attention_int8", "seqgemm_int8"} <= ops and not {"attention_fp32", "seqgemm_fp32"} & ops
    check(got, want, atol=0.03 * np.abs(want).max(), rtol=0, what="int8 against float")


@pytest.mark.parametrize("w", [np.array([[1.0, -2.54, 0.0], [0.0, 0.0, 0.0], [1e-30, 0, -1e-30]]),
                               np.random.default_rng(0).normal(size=(17, 33))])
def test_quantize_rows(w):
    q, s = tg.quantize_rows(w)
    assert q.dtype == np.int8 and np.abs(q.astype(int)).max() <= 127 and np.all(s > 0)
    check(q * s[:, None].astype(np.float64), w, atol=float(np.abs(w).max()) / 254 * 1.0001, rtol=0)
    assert np.all(np.abs(q).max(axis=1)[np.abs(w).max(axis=1) > 0] == 127)


def _mean_pooled_vit():
    return tm.plain_vit(pooling="mean", activation=nn.GELU(approximate="tanh"))


class _TwoTokens(nn.Module):
    """A ViT whose head reads the class token through an extra scaling the exporter cannot see."""

    def __init__(self):
        super().__init__()
        self.inner = tm.plain_vit(activation=nn.GELU(approximate="tanh"))
        self.eval()

    def forward(self, x):
        return 2 * self.inner(x)


def _erf(tmp_path, module):
    tg.export_vit(module, tmp_path / "a.json", tmp_path / "a.bin")


@pytest.mark.parametrize("make,match", [
    (lambda: tm.torchvision_vit("tiny", tanh=False), "erf form.*approximate_gelu=True"),
    (lambda: tm.plain_vit(), "erf form.*approximate_gelu=True"),
    (_mean_pooled_vit, "do not reproduce the module's output"),
    (_TwoTokens, "do not reproduce the module's output"),
    (lambda: tm.torchvision_vit("tiny", representation_size=16), "one Linear head.*found 2"),
    (lambda: tm.plain_vit().train(), "training mode"),
    (lambda: nn.Sequential(nn.Conv2d(3, 8, 3), nn.ReLU()).eval(), "no encoder blocks"),
])
def test_vit_refusals(make, match, tmp_path):
    module = make()
    with pytest.raises(ExportError, match=match):
        _erf(tmp_path, module)
    assert not list(tmp_path.iterdir()), "a refused export must write nothing"


@pytest.mark.parametrize("kw,match", [
    (dict(hidden_act="gelu"), "erf form.*approximate_gelu=True"),
    (dict(hidden_act="silu"), "hidden_act 'silu'"),
    (dict(position_embedding_type="relative_key"), "only absolute positions"),
    (dict(layer_norm_eps=1e-5), "epsilon 1e-05"),
    (dict(is_decoder=True), "decoder"),
])
def test_bert_refusals(kw, match, tmp_path):
    module = tm.bert(**kw)
    with pytest.raises(ExportError, match=match):
        tg.export_bert(module, tmp_path / "a.json", tmp_path / "a.bin")
    assert not list(tmp_path.iterdir())


def test_erf_gelu_with_the_flag_stays_close(tmp_path):
    """Accepting the approximation: the exported tanh-form model stays near the erf model."""
    module = tm.bert(hidden_act="gelu")
    a, w = tmp_path / "b.json", tmp_path / "b.bin"
    tg.export_bert(module, a, w, approximate_gelu=True)
    ids = torch.arange(1, 30)[None]
    with torch.no_grad():
        want = module(input_ids=ids).last_hidden_state[0].mean(0).numpy()
    got = file_reference.run(str(a), str(w), tg.token_input(ids[0].numpy()))
    check(got, want, atol=3e-3 * np.abs(want).max(), rtol=0)
