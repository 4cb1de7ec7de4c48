"""Real-time factor of the speech graph end to end (model_inference_tools.tiny_speech), with
the engine's per-op profile, beside the PyTorch module it was written from.

The graph is scaled up from the test size (128 text channels, 64 generator channels, 100
samples per text frame at 24 kHz). Real-time factor = seconds of audio produced per second
of compute (above 1: faster than real time). The engine and PyTorch run interleaved, round
after round, in one process per thread count.

    PYTHONPATH=build/dev:. python benchmarks/speech.py [--threads 1,2] [--rounds 5] [--tokens 200]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

CONFIG = dict(vocab=80, dim=128, positions=1024, lstm_hidden=64, style=64, gen_channels=64,
              upsample=20, n_fft=20, hop=5, harmonic_num=8, sample_rate=24000)


def measure(threads, rounds, n_tokens):
    import torch
    import model_inference as mi
    from model_inference_tools.tiny_speech import (TinySpeech, TinySpeechConfig, randomised,
                                                   write_tiny_speech)
    torch.set_num_threads(threads)
    cfg = TinySpeechConfig(**CONFIG)
    m = randomised(TinySpeech(cfg), seed=1)
    rng = np.random.default_rng(0)
    tokens = rng.integers(0, cfg.vocab, n_tokens)
    style = rng.standard_normal(cfg.style).astype(np.float32)
    with tempfile.TemporaryDirectory() as d:
        a, w = os.path.join(d, "speech.json"), os.path.join(d, "speech.bin")
        write_tiny_speech(m, a, w)
        model = mi.InferenceModel(a, w)
    feed = {"tokens": tokens[:, None].astype(np.float32), "style": style}
    tt, ts = torch.from_numpy(tokens), torch.from_numpy(style)

    def engine():
        return model.forward(feed)["wave"]

    def reference():
        with torch.no_grad():
            return m(tt, ts)[0]

    audio = engine().size / cfg.sample_rate
    err = float(np.abs(engine() - reference().numpy()).max() / np.abs(engine()).max())
    times = {"engine": [], "torch": []}
    model.reset_profile()
    for _ in range(rounds):
        for k, fn in (("engine", engine), ("torch", reference)):
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    profile = {k: v / rounds for k, v in model.op_profile().items()}
    return {"audio_s": audio, "rel_err": err,
            **{k: float(np.median(v)) for k, v in times.items()},
            **{"best_" + k: float(np.min(v)) for k, v in times.items()}, "profile": profile}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--threads", default="1,2")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--tokens", type=int, default=200)
    p.add_argument("--child", type=int, default=0, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        json.dump(measure(a.child, a.rounds, a.tokens), sys.stdout)
        return
    results = {}
    load = os.getloadavg()[0]
    for t in a.threads.split(","):
        env = dict(os.environ, OMP_NUM_THREADS=t)
        out = subprocess.run([sys.executable, __file__, "--child", t, "--rounds", str(a.rounds),
                              "--tokens", str(a.tokens)], env=env, check=True,
                             capture_output=True, text=True).stdout
        results[t] = json.loads(out)
    print(f"Speech graph, {a.tokens} tokens: real-time factor (audio s / compute s), median "
          f"(best) of {a.rounds} interleaved rounds. Load average {load:.1f} before, "
          f"{os.getloadavg()[0]:.1f} after")
    print(f"{'thr':>3} {'audio s':>8} {'engine ms':>16} {'torch ms':>16} {'engine RTF':>11} "
          f"{'torch RTF':>10} {'rel err (f32 torch)':>12}")
    for t, r in results.items():
        ms = " ".join(f"{r[k] * 1e3:8.1f} ({r['best_' + k] * 1e3:5.1f})" for k in ("engine", "torch"))
        print(f"{t:>3} {r['audio_s']:8.2f} {ms} "
              f"{r['audio_s'] / r['engine']:11.1f} {r['audio_s'] / r['torch']:10.1f} "
              f"{r['rel_err']:12.1e}")
    print("\nEngine per-op profile (ms per run, mean over the rounds)")
    ops = sorted(results[next(iter(results))]["profile"],
                 key=lambda k: -results[next(iter(results))]["profile"][k])
    print(f"{'op':>26} " + " ".join(f"{t + ' thr':>8}" for t in results))
    for op in ops:
        print(f"{op:>26} " + " ".join(f"{results[t]['profile'].get(op, 0):8.2f}" for t in results))


if __name__ == "__main__":
    main()
