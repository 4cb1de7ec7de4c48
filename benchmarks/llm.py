"""SmolLM2-135M-Instruct: prompt processing (128-token prompt) and generation (positions 128
to 256) in tokens per second, for the engine with int8 single-token products (blocks of 32
along the input, and the older form with one scale per row) and with float ones,
PyTorch eager (`transformers`, the same dequantised weights) and llama.cpp through
llama-cpp-python on the package's GGUF file re-quantised to Q8_0 by llama.cpp's own
quantiser. Every runtime runs in its own process per thread count, round after round
interleaved; the table shows medians (best in brackets). One-thread rows use the process's CPU
time (robust to other load on a shared machine), two-thread rows wall time.

The memory floor of generation: the weight bytes one token reads (the int8 block weights with
their scales, or the float ones) over the machine's copy bandwidth (bytes read per second by a
NumPy copy of 512 MB, in CPU time like the one-thread rows).

    PYTHONPATH=build/dev:. python benchmarks/llm.py --dir /tmp/smollm2 [--threads 1,2] [--rounds 3]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

PROMPT, STEPS = 128, 128
RUNTIMES = ["engine-int8", "engine-int8rows", "engine-fp32", "pytorch", "llama.cpp-q8_0"]
# Engine forms: folder name -> export options.
FORMS = {"int8": {}, "int8rows": {"int8_block": 0}, "fp32": {"float_steps": True}}


def prepare(directory):
    """Exports the engine forms, the float Hugging Face copy and the Q8_0 GGUF once."""
    from model_inference_tools import llama

    folders = {form: os.path.join(directory, form) for form in FORMS}
    hf_dir, q8 = os.path.join(directory, "hf"), os.path.join(directory, "smollm2-q8_0.gguf")
    if all(os.path.exists(p) for p in [*folders.values(), hf_dir, q8]):
        return
    model, tokenizer = llama.load_gguf()
    for form, options in FORMS.items():
        if not os.path.exists(folders[form]):
            llama.export_llama(model, folders[form], tokenizer=tokenizer, name="smollm2", **options)
    if not os.path.exists(hf_dir):
        model.save_pretrained(hf_dir)
    if os.path.exists(q8):
        return
    import llama_cpp

    params = llama_cpp.llama_model_quantize_default_params()
    params.ftype = llama_cpp.LLAMA_FTYPE_MOSTLY_Q8_0
    params.allow_requantize = True
    rc = llama_cpp.llama_model_quantize(llama.smollm2_gguf_path().encode(), q8.encode(), params)
    if rc != 0:
        raise SystemExit(f"llama.cpp quantiser failed ({rc})")


class Clock:
    """Wall and process CPU seconds of a block."""

    def __enter__(self):
        self.w, self.c = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc):
        self.wall, self.cpu = time.perf_counter() - self.w, time.process_time() - self.c


def token_ids(vocab=49152):
    return np.random.default_rng(0).integers(100, vocab - 100, PROMPT).tolist()


def run_engine(directory, form):
    import model_inference as mi
    from model_inference_tools import llama

    folder = os.path.join(directory, form)
    m = mi.InferenceModel(os.path.join(folder, llama.ARCH_FILE), os.path.join(folder, llama.WEIGHTS_FILE))
    m.set_profile_enabled(False)
    ids = np.asarray(token_ids(), np.float32)[:, None]
    m.forward(ids)  # warm-up
    m.reset_state(PROMPT + STEPS)
    with Clock() as prompt:
        logits = m.forward(ids)
    tok = int(np.argmax(logits[-49152:]))
    with Clock() as gen:
        for p in range(PROMPT, PROMPT + STEPS):
            tok = int(np.argmax(m.forward(np.array([[tok]], np.float32), seq_pos=p)))
    return prompt, gen


def run_torch(directory, threads):
    import torch
    from model_inference_tools.torchvision_import import import_torchvision

    torch.set_num_threads(threads)
    try:
        import_torchvision()
    except ImportError:
        pass
    from transformers import AutoModelForCausalLM

    model = AutoModelForCausalLM.from_pretrained(os.path.join(directory, "hf"), dtype=torch.float32).eval()
    ids = torch.tensor([token_ids()])
    with torch.no_grad():
        model(ids)
        with Clock() as prompt:
            out = model(ids, use_cache=True)
        tok = out.logits[:, -1:].argmax(-1)
        past = out.past_key_values
        with Clock() as gen:
            for _ in range(STEPS):
                out = model(tok, past_key_values=past, use_cache=True)
                past, tok = out.past_key_values, out.logits[:, -1:].argmax(-1)
        return prompt, gen


def run_llama_cpp(directory, threads):
    import llama_cpp

    llm = llama_cpp.Llama(model_path=os.path.join(directory, "smollm2-q8_0.gguf"), n_ctx=512,
                          n_batch=512, n_threads=threads, n_threads_batch=threads, verbose=False)
    ids = token_ids()
    llm.eval(ids)
    llm.reset()
    with Clock() as prompt:
        llm.eval(ids)
    tok = int(np.argmax(llm.scores[llm.n_tokens - 1]))
    with Clock() as gen:
        for _ in range(STEPS):
            llm.eval([tok])
            tok = int(np.argmax(llm.scores[llm.n_tokens - 1]))
    return prompt, gen


def worker(directory, runtime, threads):
    if runtime.startswith("engine"):
        prompt, gen = run_engine(directory, runtime.split("-")[1])
    elif runtime == "pytorch":
        prompt, gen = run_torch(directory, threads)
    else:
        prompt, gen = run_llama_cpp(directory, threads)
    clock = "cpu" if threads == 1 else "wall"
    print(json.dumps({"prompt": PROMPT / getattr(prompt, clock), "gen": STEPS / getattr(gen, clock)}))


def copy_bandwidth():
    a = np.ones(128 * 1024 * 1024, np.float32)
    b = np.empty_like(a)
    best = 0.0
    for _ in range(5):
        t0 = time.process_time()
        np.copyto(b, a)
        best = max(best, a.nbytes / (time.process_time() - t0))
    return best


def weight_bytes(directory):
    """Bytes of weights one generated token reads: int8 values with one float scale per block
    (int8 form) or per row (int8rows form), float32 for the float form (the embedding row is
    negligible)."""
    import json as js
    from model_inference_tools import llama

    doc = js.load(open(os.path.join(directory, "int8", llama.ARCH_FILE)))
    n8 = n8rows = n32 = 0
    for node in doc["nodes"]:
        if node["op"] == "seqgemm_fp32":
            k, n = node["args"]["C_in"], node["args"]["C_out"]
            block = node["args"].get("int8_block", 0) or k
            n8 += k * n + 4 * n * (k // block)
            n8rows += k * n + 4 * n
            n32 += 4 * k * n
    return n8, n8rows, n32


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--runtimes", default=",".join(RUNTIMES))
    ap.add_argument("--worker", nargs=2, metavar=("RUNTIME", "THREADS"))
    args = ap.parse_args()
    if args.worker:
        worker(args.dir, args.worker[0], int(args.worker[1]))
        return
    prepare(args.dir)
    threads = [int(t) for t in args.threads.split(",")]
    runtimes = args.runtimes.split(",")
    results = {(r, t): [] for r in runtimes for t in threads}
    failed = {}
    load = [os.getloadavg()[0]]
    for rnd in range(args.rounds):
        for t in threads:
            for r in runtimes:
                env = dict(os.environ, OMP_NUM_THREADS=str(t), MKL_NUM_THREADS=str(t))
                out = subprocess.run([sys.executable, __file__, "--dir", args.dir, "--worker", r, str(t)],
                                     env=env, capture_output=True, text=True)
                if out.returncode != 0:
                    failed[(r, t)] = f"exit status {out.returncode}"
                    print(f"{r} on {t} threads: exit status {out.returncode}\n{out.stderr[-2000:]}",
                          file=sys.stderr)
                    continue
                results[(r, t)].append(json.loads(out.stdout.strip().splitlines()[-1]))
                print(f"{r} on {t} threads: {results[(r, t)][-1]}", file=sys.stderr)
                load.append(os.getloadavg()[0])
        print(f"round {rnd + 1}/{args.rounds} done, load {os.getloadavg()[0]:.2f}", file=sys.stderr)
    bw = copy_bandwidth()
    n8, n8rows, n32 = weight_bytes(args.dir)
    print(f"\nSmolLM2-135M, prompt {PROMPT} tokens, generation at positions {PROMPT}..{PROMPT + STEPS}; "
          f"load average during the run {min(load):.2f}..{max(load):.2f}")
    print(f"copy bandwidth {bw / 1e9:.1f} GB/s; weights read per token: int8 {n8 / 1e6:.1f} MB "
          f"(floor {bw / n8:.0f} tokens/s), int8rows {n8rows / 1e6:.1f} MB (floor "
          f"{bw / n8rows:.0f} tokens/s), float {n32 / 1e6:.1f} MB (floor {bw / n32:.0f} tokens/s)\n")
    print("| runtime | threads (clock) | prompt tokens/s | generation tokens/s |")
    print("|---|---|---|---|")
    for t in threads:
        for r in runtimes:
            v = results[(r, t)]
            if not v:
                why = failed.get((r, t), "no result")
                print(f"| {r} | {t} | {why} | {why} |")
                continue
            p = [x["prompt"] for x in v]
            g = [x["gen"] for x in v]
            clock = "CPU" if t == 1 else "wall"
            print(f"| {r} | {t} ({clock}) | {np.median(p):.0f} ({max(p):.0f}) | "
                  f"{np.median(g):.1f} ({max(g):.1f}) |")


if __name__ == "__main__":
    main()
