"""Text generation: token choice (greedy, top-k, top-p against their NumPy distributions) and
the generation loop of an exported small random Llama model against `transformers`' greedy
generation with the same weights."""
import numpy as np
import pytest
import torch

from harness import Case
from model_inference_tools import llama
from model_inference_tools.generate import Generator, pick_token
from test_llama_export import small_model

torch.set_num_threads(1)


@pytest.mark.parametrize("temperature,top_k,top_p", [
    (0.0, 0, 1.0), (1.0, 0, 1.0), (0.7, 0, 1.0), (1.0, 3, 1.0), (1.0, 0, 0.6), (2.0, 4, 0.8)])
def test_pick_token_distribution(temperature, top_k, top_p):
    case = Case(temperature=temperature, top_k=top_k, top_p=top_p)
    logits = case.normal(8, 1.5)
    if temperature == 0.0:
        assert pick_token(logits, case.rng) == int(np.argmax(logits))
        return
    p = np.exp(logits.astype(np.float64) / temperature)
    p /= p.sum()
    order = np.argsort(-p)
    keep = order[:top_k] if top_k else order
    if top_p < 1.0:
        q = p[keep] / p[keep].sum()
        keep = keep[:int(np.searchsorted(np.cumsum(q), top_p) + 1)]
    want = np.zeros(8)
    want[keep] = p[keep] / p[keep].sum()
    n = 20000
    counts = np.bincount([pick_token(logits, case.rng, temperature, top_k, top_p)
                          for _ in range(n)], minlength=8)
    assert counts[want == 0].sum() == 0, (counts, want)
    bound = 4 * np.sqrt(want * (1 - want) / n) + 1e-9  # four standard deviations
    assert (np.abs(counts / n - want) <= bound).all(), (counts / n, want)


def word_tokenizer(vocab_size):
    from tokenizers import Tokenizer, models, pre_tokenizers
    from transformers import PreTrainedTokenizerFast

    tk = Tokenizer(models.WordLevel({f"w{i}": i for i in range(vocab_size)}, unk_token="w0"))
    tk.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    return PreTrainedTokenizerFast(tokenizer_object=tk, unk_token="w0", eos_token="w2")


@pytest.mark.parametrize("float_steps", [True, False])
def test_greedy_generation_matches_transformers(tmp_path, float_steps):
    model = small_model("llama", True, seed=3)
    model.config.eos_token_id = 2
    tokenizer = word_tokenizer(101)
    llama.export_llama(model, str(tmp_path), float_steps=float_steps, tokenizer=tokenizer)
    gen = Generator(str(tmp_path))
    prompt = "w5 w17 w33 w8 w61"
    pieces = []
    out = gen.generate(prompt, max_new_tokens=12, chat=False, on_text=pieces.append)
    ids = tokenizer.encode(prompt)
    with torch.no_grad():
        want = model.generate(torch.tensor([ids]), max_new_tokens=12, do_sample=False,
                              eos_token_id=2, pad_token_id=0)[0, len(ids):].tolist()
    if want and want[-1] == 2:
        want, stop = want[:-1], "eos"
    else:
        stop = "limit"
    # Float steps follow the float model exactly; int8 steps may part from it after a near tie.
    agree = out.tokens == want if float_steps else out.tokens[:4] == want[:4]
    assert agree, (out.tokens, want)
    if float_steps:
        assert out.stopped_by == stop
    assert "".join(pieces) == out.text == tokenizer.decode(out.tokens, skip_special_tokens=True)
    assert out.prompt_tokens == 5 and out.step_tokens == max(len(out.tokens) - (stop == "limit"), 0)
