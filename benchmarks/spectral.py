"""STFT, inverse STFT and the harmonic sine source on ten seconds of 24 kHz audio.

Milliseconds per call of the engine's layer (through a model file, n_fft 20, hop 5, nine
harmonics) beside PyTorch (torch.stft with abs and angle, torch.istft from polar frames, the
vocoder's sine source written with cumsum and interpolate) and NumPy (frames by stride
tricks and rfft, irfft with overlap-add, cumsum). Contenders run interleaved, round after
round, in one process per thread count; the table shows medians (best in brackets) and the
peers' time over the engine's (above 1: the engine is faster).

    PYTHONPATH=build/dev:. python benchmarks/spectral.py [--threads 1,2] [--rounds 7]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SR, SECONDS, N_FFT, HOP, HARMONICS, UPSAMPLE = 24000, 10, 20, 5, 9, 300
N = SR * SECONDS
B = N_FFT // 2 + 1


def engine(directory, name, op, shapes, **args):
    import model_inference as mi
    import model_inference_tools as mt
    arch = mt.Arch(model=name, outputs=["y"])
    for i, s in enumerate(shapes):
        arch.add_input(f"x{i}", s)
    arch.add(name, op, [f"x{i}" for i in range(len(shapes))], "y", **args)
    a, w = os.path.join(directory, name + ".json"), os.path.join(directory, name + ".bin")
    mt.write_arch(a, arch.to_json())
    mt.write_weights(w, {})
    model = mi.InferenceModel(a, w)
    if len(shapes) == 1:
        return lambda *xs: model.forward(xs[0])
    return lambda *xs: model.forward({f"x{i}": x for i, x in enumerate(xs)})


def hann():
    n = np.arange(N_FFT)
    return (0.5 - 0.5 * np.cos(2 * np.pi * n / N_FFT)).astype(np.float32)


def torch_stft(x):
    import torch
    xt = torch.from_numpy(x.ravel())
    win = torch.hann_window(N_FFT)
    with torch.no_grad():
        X = torch.stft(xt, N_FFT, HOP, window=win, center=True, pad_mode="replicate",
                       return_complex=True)
        return torch.abs(X), torch.angle(X)


def numpy_stft(x):
    x = x.ravel()
    pad = np.concatenate([np.full(N_FFT // 2, x[0]), x, np.full(N_FFT // 2, x[-1])])
    frames = np.lib.stride_tricks.sliding_window_view(pad, N_FFT)[::HOP]
    X = np.fft.rfft(frames * hann(), axis=1)
    return np.abs(X), np.angle(X)


def torch_istft(mag, ph):
    import torch
    with torch.no_grad():
        X = torch.polar(torch.from_numpy(mag), torch.from_numpy(ph)).T
        return torch.istft(X, N_FFT, HOP, window=torch.hann_window(N_FFT), center=True,
                           length=HOP * (mag.shape[0] - 1))


def numpy_istft(mag, ph):
    w = hann()
    frames = np.fft.irfft(mag * np.exp(1j * ph), N_FFT, axis=1).astype(np.float32) * w
    F = mag.shape[0]
    acc = np.zeros(HOP * (F - 1) + N_FFT, np.float32)
    wsum = np.zeros_like(acc)
    for n in range(N_FFT):  # one strided add per window position
        acc[n:n + HOP * F:HOP] += frames[:, n]
        wsum[n:n + HOP * F:HOP] += w[n] ** 2
    half = N_FFT // 2
    return acc[half:half + HOP * (F - 1)] / np.maximum(wsum[half:half + HOP * (F - 1)], 1e-8)


def torch_sine(f0, U):
    """The vocoder's sine source: per-sample phase, or phase at frame rate upsampled."""
    import torch
    import torch.nn.functional as F
    with torch.no_grad():
        f = torch.from_numpy(f0.ravel())[None, :, None] * torch.arange(1, HARMONICS + 1)
        rad = (f / SR) % 1
        if U < 1:
            phase = torch.cumsum(rad.double(), dim=1) % 1
            sines = torch.sin(2 * np.pi * phase).float()
        else:
            down = F.interpolate(rad.transpose(1, 2), scale_factor=1 / U, mode="linear")
            phase = torch.cumsum(down, dim=2) * 2 * np.pi
            up = F.interpolate(phase * U, scale_factor=U, mode="linear").transpose(1, 2)
            sines = torch.sin(up)
        voiced = (torch.from_numpy(f0.ravel()) > 10)[None, :, None]
        return 0.1 * sines * voiced


def numpy_sine(f0, U):
    f = f0.ravel()[:, None] * np.arange(1, HARMONICS + 1, dtype=np.float32)
    phase = np.cumsum((f / SR) % 1, axis=0, dtype=np.float64) % 1
    return (0.1 * np.sin(2 * np.pi * phase) * (f0.ravel() > 10)[:, None]).astype(np.float32)


def seconds(fn, args, min_time=0.05):
    n, t0 = 0, time.perf_counter()
    while True:
        fn(*args)
        n += 1
        dt = time.perf_counter() - t0
        if dt >= min_time:
            return dt / n


def measure(threads, rounds):
    import torch
    torch.set_num_threads(threads)
    rng = np.random.default_rng(0)
    t = np.arange(N) / SR
    wave = (np.sin(2 * np.pi * 220 * t) + 0.1 * rng.standard_normal(N)).astype(np.float32)[:, None]
    f0 = (150 + 50 * np.sin(2 * np.pi * 0.5 * t)).astype(np.float32)
    f0[(t % 1.0) > 0.8] = 0  # unvoiced stretches
    f0 = f0[:, None]
    S = numpy_stft(wave)
    mag, ph = S[0].astype(np.float32), S[1].astype(np.float32)
    rows = []
    with tempfile.TemporaryDirectory() as d:
        cases = [
            ("stft", (wave,), {
                "engine": engine(d, "stft", "stft_fp32", [(0, 1)], n_fft=N_FFT, hop_size=HOP),
                "torch": torch_stft, "numpy": numpy_stft}),
            ("istft", (mag, ph), {
                "engine": engine(d, "istft", "istft_fp32", [(0, B), (0, B)], n_fft=N_FFT,
                                 hop_size=HOP, normalized=True),
                "torch": torch_istft, "numpy": numpy_istft}),
            ("sine, per sample", (f0,), {
                "engine": engine(d, "sine_a", "sine_gen_fp32", [(0, 1)],
                                 harmonic_num=HARMONICS - 1),
                "torch": lambda f: torch_sine(f, 0), "numpy": lambda f: numpy_sine(f, 0)}),
            ("sine, per sample + noise", (f0,), {
                "engine": engine(d, "sine_n", "sine_gen_fp32", [(0, 1)],
                                 harmonic_num=HARMONICS - 1, noise_std=0.003)}),
            ("sine, frame rate", (f0,), {
                "engine": engine(d, "sine_b", "sine_gen_fp32", [(0, 1)],
                                 harmonic_num=HARMONICS - 1, upsample_scale=UPSAMPLE),
                "torch": lambda f: torch_sine(f, UPSAMPLE)}),
        ]
        for name, args, contenders in cases:
            for fn in contenders.values():
                fn(*args)
            times = {k: [] for k in contenders}
            for _ in range(rounds):
                for k, fn in contenders.items():
                    times[k].append(seconds(fn, args))
            rows.append({"op": name, **{k: float(np.median(v)) * 1e3 for k, v in times.items()},
                         **{"best_" + k: float(np.min(v)) * 1e3 for k, v in times.items()}})
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--threads", default="1,2", help="comma-separated thread counts")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--child", type=int, default=0, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        json.dump(measure(a.child, a.rounds), sys.stdout)
        return
    print(f"{SECONDS} s of {SR} Hz audio, n_fft {N_FFT}, hop {HOP}, {HARMONICS} harmonics: ms "
          f"per call, median (best) of {a.rounds} interleaved rounds; ratio = peer / engine. "
          f"Load average before: {os.getloadavg()[0]:.1f}")
    print(f"{'thr':>3} {'op':>26} {'engine':>14} {'torch':>14} {'numpy':>14} "
          f"{'torch/eng':>9} {'numpy/eng':>9}")
    for t in a.threads.split(","):
        env = dict(os.environ, OMP_NUM_THREADS=t)
        out = subprocess.run([sys.executable, __file__, "--child", t, "--rounds", str(a.rounds)],
                             env=env, check=True, capture_output=True, text=True).stdout
        for row in json.loads(out):
            cells = " ".join(f"{row[k]:6.2f} ({row['best_' + k]:5.2f})" if k in row else
                             f"{'-':>14}" for k in ("engine", "torch", "numpy"))
            ratios = " ".join(f"{row[k] / row['engine']:9.2f}" if k in row else f"{'-':>9}"
                              for k in ("torch", "numpy"))
            print(f"{t:>3} {row['op']:>26} {cells} {ratios}")
    print(f"Load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
