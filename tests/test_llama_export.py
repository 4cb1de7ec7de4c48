"""Llama-style causal language models end to end: small random `transformers` models (Llama
with tied or separate output weights, Qwen2 with attention biases) exported and run by the
engine, logits against PyTorch, prompt-then-steps against one whole run, thread counts."""
import numpy as np
import pytest
import torch

import model_inference
from harness import ALL_THREADS, Case, check
from model_inference_tools import llama

torch.set_num_threads(1)


def small_model(kind, tied, seed=0):
    import transformers

    common = dict(vocab_size=101, hidden_size=64, intermediate_size=96, num_hidden_layers=3,
                  num_attention_heads=4, num_key_value_heads=2, max_position_embeddings=128,
                  rms_norm_eps=1e-5, tie_word_embeddings=tied)
    torch.manual_seed(seed)
    if kind == "qwen2":
        config = transformers.Qwen2Config(**common, rope_theta=1000.0)
        model = transformers.Qwen2ForCausalLM(config)
    else:
        config = transformers.LlamaConfig(**common, rope_theta=10000.0)
        model = transformers.LlamaForCausalLM(config)
    with torch.no_grad():  # norms away from 1, so a wrong gamma shows
        for name, p in model.named_parameters():
            if "norm" in name or name.endswith("bias"):
                p.add_(torch.randn_like(p) * 0.2)
    return model.eval()


def torch_logits(model, ids):
    with torch.no_grad():
        return model(torch.tensor([ids])).logits[0].numpy()


def load(model, tmp_path, float_steps):
    folder = str(tmp_path / ("float" if float_steps else "int8"))
    llama.export_llama(model, folder, float_steps=float_steps)
    return model_inference.InferenceModel(f"{folder}/{llama.ARCH_FILE}",
                                          f"{folder}/{llama.WEIGHTS_FILE}")


def engine_logits(engine, ids, seq_pos=0):
    return engine.forward(np.asarray(ids, np.float32)[:, None], seq_pos=seq_pos).reshape(len(ids), -1)


def step_by_step(engine, ids, prompt):
    """The prompt in one run, then one token per run."""
    engine.reset_state()
    rows = [engine_logits(engine, ids[:prompt])]
    for p in range(prompt, len(ids)):
        rows.append(engine_logits(engine, ids[p:p + 1], seq_pos=p))
    return np.concatenate(rows)


MODELS = [("llama", True), ("llama", False), ("qwen2", True)]


@pytest.mark.parametrize("kind,tied", MODELS)
def test_prompt_logits_match_transformers(tmp_path, kind, tied):
    model = small_model(kind, tied)
    case = Case(kind=kind, tied=tied)
    ids = case.rng.integers(0, 101, 9).tolist()
    want = torch_logits(model, ids)
    engine = load(model, tmp_path, float_steps=False)
    tol = 1e-4 * np.abs(want).max()
    case.sweep(lambda threads: engine_logits(engine, ids), want, threads=ALL_THREADS,
               rtol=1e-4, atol=tol)


@pytest.mark.parametrize("kind,tied", MODELS)
def test_float_steps_equal_one_run(tmp_path, kind, tied):
    model = small_model(kind, tied, seed=1)
    case = Case(kind=kind, tied=tied)
    ids = case.rng.integers(0, 101, 12).tolist()
    engine = load(model, tmp_path, float_steps=True)
    whole = engine_logits(engine, ids)
    check(whole, torch_logits(model, ids), rtol=1e-4, atol=1e-4 * np.abs(whole).max())
    case.sweep(lambda threads: step_by_step(engine, ids, 5), whole, threads=ALL_THREADS,
               exact=True, what="prompt then single steps")


@pytest.mark.parametrize("kind,tied", MODELS)
def test_int8_steps_close_to_one_run(tmp_path, kind, tied):
    # Single tokens run on int8 weights (one scale per row) and an int8 token: the logits
    # stay within 3% of their range of the float run and the same threads agree bit for bit.
    model = small_model(kind, tied, seed=2)
    case = Case(kind=kind, tied=tied)
    ids = case.rng.integers(0, 101, 12).tolist()
    engine = load(model, tmp_path, float_steps=False)
    whole = engine_logits(engine, ids)
    steps = case.sweep(lambda threads: step_by_step(engine, ids, 5), None, threads=ALL_THREADS)
    span = np.abs(whole).max()
    check(steps[:5], whole[:5], exact=True, what="the prompt run")
    check(steps[5:], whole[5:], atol=0.03 * span, rtol=0.0, what="int8 single steps")
