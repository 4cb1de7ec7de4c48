"""Transformer encoders end to end: exported vision transformers and BERT encoders run by
the engine against PyTorch, in float32 and in dynamic int8."""

import numpy as np
import pytest
import torch
from torch import nn

import model_inference as mi
import torch_encoders as tm
from harness import ALL_THREADS, check, num_threads
from model_inference_tools import transformer_graph as tg
from model_inference_tools.engine_io import to_engine_layout

torch.set_num_threads(1)


@pytest.fixture(autouse=True)
def _declared_activations():
    """PyTorch's fast path of nn.TransformerEncoderLayer computes the erf GELU even for
    nn.GELU(approximate="tanh"); the references use the layers as declared."""
    torch.backends.mha.set_fastpath_enabled(False)
    yield
    torch.backends.mha.set_fastpath_enabled(True)


def _images(n, size, seed=0):
    return torch.randn(n, 3, size, size, generator=torch.Generator().manual_seed(seed))


def _vit_model(module, tmp_path, int8=False, name="vit"):
    a, w = tmp_path / f"{name}.json", tmp_path / f"{name}.bin"
    tg.export_vit(module, a, w, int8=int8)
    return mi.InferenceModel(str(a), str(w))


def _logits(module, images):
    with torch.no_grad():
        return torch.cat([module(b) for b in images.split(16)]).numpy()


SMALL_VITS = {
    "torchvision": lambda: tm.torchvision_vit("tiny"),
    "plain-prenorm": lambda: tm.plain_vit(activation=nn.GELU(approximate="tanh")),
    "plain-postnorm": lambda: tm.plain_vit(norm_first=False, activation=nn.GELU(approximate="tanh"),
                                           heads=2, d=64, seed=2),
    "plain-relu-seqfirst": lambda: tm.plain_vit(activation="relu", batch_first=False, seed=1),
}


@pytest.mark.parametrize("variant", list(SMALL_VITS))
def test_small_vits_match_pytorch(variant, tmp_path):
    module = SMALL_VITS[variant]()
    model = _vit_model(module, tmp_path)
    images = _images(4, 32)
    want = _logits(module, images)
    for x, ref in zip(images, want):
        got = model.forward(to_engine_layout(x))
        check(got, ref, atol=1e-4 * np.abs(ref).max(), rtol=0, what=variant)


@pytest.mark.parametrize("shape", ["vit-b16", "deit-small"])
def test_full_size_vits_match_pytorch(shape, tmp_path):
    """ViT-B/16 and DeiT-small shapes (224x224, 197 tokens), random weights, tanh GELU:
    within 1e-4 of the logit scale."""
    module = tm.torchvision_vit(shape, seed=1)
    model = _vit_model(module, tmp_path)
    images = _images(2, 224, seed=4)
    want = _logits(module, images)
    for x, ref in zip(images, want):
        got = model.forward(to_engine_layout(x))
        check(got, ref, atol=1e-4 * np.abs(ref).max(), rtol=0, what=shape)


def _class_structured_vit(classes, seed, shape="deit-small-112"):
    """A DeiT-small-shaped model whose head is a nearest-class-mean classifier over the
    features of ``classes`` random prototype images, and a sampler of noisy prototypes.

    With random weights and plain noise images every image gets nearly the same features,
    so the top-1 class is decided by margins far below any 8-bit rounding; a trained model
    on real images has clear margins, and this head gives them."""
    module = tm.torchvision_vit(shape, seed=seed)
    size = tm.VIT_SHAPES[shape][0]
    g = torch.Generator().manual_seed(seed)
    protos = torch.randn(classes, 3, size, size, generator=g)
    feats = []
    hook = module.heads.head.register_forward_hook(lambda m, i, o: feats.append(i[0].double()))
    _logits(module, protos)
    hook.remove()
    f = torch.cat(feats)
    mean = f.mean(0)
    w = (f - mean) / (f - mean).norm(dim=1, keepdim=True)
    head = nn.Linear(f.shape[1], classes)
    with torch.no_grad():
        head.weight.copy_(w.float())
        head.bias.copy_((-(w @ mean)).float())
    module.heads.head = head.eval()

    def sample(n, seed):
        gs = torch.Generator().manual_seed(seed)
        labels = torch.randint(0, classes, (n,), generator=gs)
        return protos[labels] + 0.7 * torch.randn(protos[labels].shape, generator=gs), labels.numpy()

    return module, sample


def test_int8_vit_agrees_on_top1(tmp_path):
    """The dynamic int8 form of a DeiT-small-shaped model (12 blocks of width 384, on
    112x112 images to keep the suite fast; 224x224 passes too) picks the float model's
    class on at least 99% of 200 inputs, which spread over the classes."""
    module, sample = _class_structured_vit(32, seed=2)
    model = _vit_model(module, tmp_path, int8=True)
    images, labels = sample(200, seed=3)
    want = _logits(module, images).argmax(1)
    assert np.mean(want == labels) > 0.9 and len(set(want.tolist())) >= 25
    with num_threads(1):
        got = np.array([model.forward(to_engine_layout(x)).argmax() for x in images])
    agree = int(np.sum(got == want))
    assert agree >= 198, f"int8 top-1 agrees with float on {agree}/200 images"


@pytest.mark.parametrize("int8", [False, True])
@pytest.mark.parametrize("kind", ["vit", "bert"])
def test_results_identical_across_threads(kind, int8, tmp_path):
    if kind == "vit":
        model = _vit_model(tm.torchvision_vit("tiny", seed=5), tmp_path, int8)
        x = to_engine_layout(_images(1, 32)[0])
    else:
        a, w = tmp_path / "b.json", tmp_path / "b.bin"
        tg.export_bert(tm.bert(seed=5, hidden=64, heads=2), a, w, int8=int8)
        model = mi.InferenceModel(str(a), str(w))
        x = tg.token_input(np.arange(1, 38) % 50)
    outs = []
    for n in ALL_THREADS:
        with num_threads(n):
            outs.append(model.forward(x))
    for n, out in zip(ALL_THREADS[1:], outs[1:]):
        check(out, outs[0], exact=True, what=f"{n} threads against 1")


@pytest.mark.parametrize("hidden_act,heads,hidden", [("gelu_new", 4, 32), ("relu", 2, 64),
                                                     ("gelu_pytorch_tanh", 8, 64)])
def test_bert_matches_transformers(hidden_act, heads, hidden, tmp_path):
    module = tm.bert(hidden_act=hidden_act, heads=heads, hidden=hidden)
    a, w = tmp_path / "b.json", tmp_path / "b.bin"
    tg.export_bert(module, a, w)
    model = mi.InferenceModel(str(a), str(w))
    g = torch.Generator().manual_seed(3)
    for length in (1, 2, 17, 40):
        ids = torch.randint(0, 50, (1, length), generator=g)
        with torch.no_grad():
            want = module(input_ids=ids).last_hidden_state[0].mean(0).numpy()
        got = model.forward(tg.token_input(ids[0].numpy()))
        check(got, want, atol=1e-4 * np.abs(want).max(), rtol=0, what=f"T={length}")
