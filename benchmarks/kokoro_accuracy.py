"""Kokoro-82M on the engine against ONNX Runtime, stage by stage.

For a few utterances and all five voices: the engine's float32 graph (with ``--int8`` its
int8 graph) against ONNX Runtime on the float rewrite of the int8 file (same weights, float
products) and on the int8 file itself. Reported: whether the rounded durations agree, the
largest difference of the pitch curve, the signal-to-noise ratio of the waveform when the
lengths agree, and the mean absolute log-mel distance.

    python benchmarks/kokoro_accuracy.py --cache ~/.cache/model_inference/kokoro
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

import numpy as np

import model_inference as mi
from model_inference_tools import kokoro_onnx as ko

UTTERANCES = ("ohajoː.", "koɲɲiʨiwa, kʲoːwa ii teɴkidesɯ.",
              "asita mo hare ni narɯ soːdesɯ ne.")


def snr_db(ref, x):
    e = ref - x
    return 10 * np.log10(float(ref @ ref) / max(float(e @ e), 1e-30))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cache", default=os.path.join(Path.home(), ".cache", "model_inference",
                                                     "kokoro"))
    ap.add_argument("--speeds", default="1.0")
    ap.add_argument("--int8", action="store_true", help="the engine's int8 graph")
    args = ap.parse_args(argv)
    import onnx

    from model_inference_tools import kokoro
    from model_inference_tools.engine_io import write_model

    onnx_model = onnx.load(str(ko.assemble_model(args.cache)))
    sd = kokoro.state_dict_from_onnx(ko.OnnxWeights(onnx_model))
    stem = "kokoro_stages_int8" if args.int8 else "kokoro_stages"
    arch, weights = Path(args.cache) / f"{stem}.json", Path(args.cache) / f"{stem}.bin"
    write_model(arch, weights, *kokoro.model_graph(sd, outputs=("durations", "pr.F0"),
                                                   int8=args.int8))
    engine = mi.InferenceModel(str(arch), str(weights))
    refs = {"ORT float": ko.Reference(onnx_model), "ORT int8": ko.Reference(onnx_model, False)}
    vocab, voices = ko.load_vocab(), ko.load_voices()
    print("| utterance | voice | speed | vs | durations equal | samples | F0 max diff (Hz) "
          "| SNR dB | log-mel distance |")
    print("|---|---|---|---|---|---|---|---|---|")
    for speed in (float(s) for s in args.speeds.split(",")):
        engine.set_speed(speed)
        for text in UTTERANCES:
            tokens = ko.token_ids(text, vocab)
            for voice in ko.VOICES:
                style = ko.style_for(voices[voice], len(tokens) - 2)
                out = engine.forward({"tokens": np.asarray(tokens, np.float32).reshape(-1, 1),
                                      "style": style})
                audio = np.asarray(out["audio"]).ravel()
                # The engine's length regulation: round half away from zero of d / speed.
                frames = np.maximum(np.floor(out["durations"] * (1 / speed) + 0.5), 1)
                for name, ref in refs.items():
                    r = ref.run(tokens, style, speed)
                    differ = int(np.sum(frames != r["pred_dur"]))
                    same = differ == 0
                    f0 = np.abs(out["pr.F0"].ravel() - r["f0"]).max() if same else float("nan")
                    snr = snr_db(r["audio"], audio) if same else float("nan")
                    lm, lr = ko.log_mel(audio), ko.log_mel(r["audio"])
                    n = min(len(lm), len(lr))
                    print(f"| {text} | {voice} | {speed} | {name} | "
                          f"{'yes' if same else f'{differ} of {len(frames)} differ'} | "
                          f"{len(audio)} / {len(r['audio'])} | {f0:.4f} | {snr:.1f} | "
                          f"{np.abs(lm[:n] - lr[:n]).mean():.3f} |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
