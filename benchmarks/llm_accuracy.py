"""SmolLM2-135M-Instruct on the engine against `transformers` with the same dequantised
weights: next-token logits over a paragraph for one whole run and for token-by-token runs
(int8 single-token products in blocks of 32 and with one scale per row, and float ones), their top-1 agreement with PyTorch, and greedy
generation from a fixed prompt by both.

    PYTHONPATH=build/dev:. python benchmarks/llm_accuracy.py --dir /tmp/smollm2   # after llm.py
"""

import argparse
import json
import os
import tempfile

import numpy as np

PARAGRAPH = (
    "The history of the bicycle begins in the early nineteenth century, when inventors in "
    "Europe experimented with two-wheeled machines pushed along by the rider's feet. Pedals "
    "attached to the front wheel arrived decades later, and the high-wheeled designs that "
    "followed were fast but dangerous. The safety bicycle, with a chain driving the rear "
    "wheel and two wheels of equal size, made cycling practical for millions of people and "
    "changed how cities grew, how women dressed and how goods were delivered.")
PROMPT = "Write three short tips for learning to ride a bicycle."


def every_row(folder):
    """The model in `folder` with logits for every token (exports compute the last only)."""
    import model_inference as mi
    from model_inference_tools import llama

    doc = json.load(open(os.path.join(folder, llama.ARCH_FILE)))
    for node in doc["nodes"]:
        node.get("args", {}).pop("last_token_only", None)
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(doc, f)
    try:
        return mi.InferenceModel(f.name, os.path.join(folder, llama.WEIGHTS_FILE))
    finally:
        os.unlink(f.name)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--tokens", type=int, default=64, help="tokens generated from the prompt")
    args = ap.parse_args()

    import torch
    from model_inference_tools.torchvision_import import import_torchvision

    try:
        import_torchvision()
    except ImportError:
        pass
    from transformers import AutoModelForCausalLM

    import model_inference as mi
    from model_inference_tools import llama
    from model_inference_tools.generate import Generator

    torch.set_num_threads(1)
    hf = AutoModelForCausalLM.from_pretrained(os.path.join(args.dir, "hf"), dtype=torch.float32).eval()
    gens = {form: Generator(os.path.join(args.dir, form)) for form in ("int8", "int8rows", "fp32")
            if os.path.exists(os.path.join(args.dir, form))}
    tok = gens["int8"].tokenizer
    ids = tok.encode(PARAGRAPH)
    with torch.no_grad():
        want = hf(torch.tensor([ids])).logits[0].numpy()
    top = want.argmax(1)
    span = np.abs(want).max()
    print(f"paragraph of {len(ids)} tokens; PyTorch logits span {span:.1f}")
    print("| engine run | max |diff| / max |logit| | top-1 agreement with PyTorch |")
    print("|---|---|---|")
    for form, gen in gens.items():
        m: mi.InferenceModel = gen.model
        all_rows = every_row(os.path.join(args.dir, form))
        whole = all_rows.forward(np.asarray(ids, np.float32)[:, None]).reshape(len(ids), -1)
        m.reset_state()
        steps = [m.forward(np.array([[t]], np.float32), seq_pos=p) for p, t in enumerate(ids)]
        steps = np.stack(steps)
        for what, got in (("whole paragraph", whole), ("token by token", steps)):
            err = np.abs(got - want).max() / span
            agree = (got.argmax(1) == top).mean()
            print(f"| {form} export, {what} | {err:.2e} | {100 * agree:.1f}% |")

    chat = gens["int8"].encode(PROMPT)
    with torch.no_grad():
        out = hf.generate(torch.tensor([chat]), max_new_tokens=args.tokens, do_sample=False)
    print(f"\nprompt: {PROMPT!r}\nPyTorch greedy: {tok.decode(out[0, len(chat):], skip_special_tokens=True)!r}")
    for form, gen in gens.items():
        r = gen.generate(PROMPT, max_new_tokens=args.tokens)
        print(f"engine {form} greedy: {r.text!r}")


if __name__ == "__main__":
    main()
