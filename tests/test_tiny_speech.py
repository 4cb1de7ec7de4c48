"""The speech graph end to end (token ids to waveform) against the PyTorch module of the same
shape with the same random weights, run in float64: durations, waveform, and the frame count
under set_speed."""
import copy

import numpy as np
import pytest
import torch

import model_inference as mi
from harness import ALL_THREADS
from model_inference_tools.tiny_speech import (TinySpeech, TinySpeechConfig, frames_of,
                                               randomised, write_tiny_speech)

CFG = TinySpeechConfig()


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    """The module (seed 3) and the engine model written from it."""
    m = randomised(TinySpeech(CFG), seed=3)
    d = tmp_path_factory.mktemp("speech")
    write_tiny_speech(m, d / "speech.json", d / "speech.bin")
    return m, mi.InferenceModel(str(d / "speech.json"), str(d / "speech.bin"))


def reference(m, tokens, style, speed):
    torch.set_num_threads(1)
    with torch.no_grad():
        wave, dur, frames = copy.deepcopy(m).double()(
            torch.from_numpy(tokens), torch.from_numpy(style.astype(np.float64)), speed)
    return wave.numpy(), dur.numpy(), frames.numpy()


def run(model, tokens, style, speed):
    model.set_speed(speed)
    out = model.forward({"tokens": tokens[:, None].astype(np.float32), "style": style})
    return out["wave"], out["dur"]


@pytest.mark.parametrize("T", [1, 5, 23])
@pytest.mark.parametrize("speed", [1.0, 0.7, 2.0])
def test_speech_graph_matches_torch(case, speech, T, speed):
    m, model = speech
    tokens = case.rng.integers(0, CFG.vocab, T)
    style = case.normal(CFG.style)
    want_wave, want_dur, want_frames = reference(m, tokens, style, speed)
    # Rounding durations is discontinuous: the cases keep clear of the halves.
    scaled = want_dur / speed
    assert np.abs(scaled - np.floor(scaled) - 0.5).min() > 1e-3
    got = case.sweep(lambda threads: run(model, tokens, style, speed)[0], None,
                     threads=ALL_THREADS)
    dur = run(model, tokens, style, speed)[1]
    case.check(dur, want_dur, atol=1e-5, rtol=0, what="durations")
    np.testing.assert_array_equal(frames_of(dur, speed), want_frames)
    L = int(want_frames.sum())
    spectral_frames = CFG.upsample * L
    assert got.shape == (CFG.hop * (spectral_frames - 1),)
    # float32 through an LSTM, eleven convolutions and exp against float64: a few 1e-6 of
    # the peak in practice. One token makes every frame the same row, and the instance norm
    # then divides rounding noise by sqrt(eps).
    tol = 2e-4 if T == 1 else 2e-5
    case.check(got, want_wave, atol=tol * np.abs(want_wave).max(), rtol=0, what="waveform")


def test_speed_two_halves_the_frames(case, speech):
    m, model = speech
    tokens = case.rng.integers(0, CFG.vocab, 40)
    style = case.normal(CFG.style)
    slow, dur = run(model, tokens, style, 1.0)
    fast, dur2 = run(model, tokens, style, 2.0)
    np.testing.assert_array_equal(dur, dur2)
    frames = [(w.size // CFG.hop + 1) // CFG.upsample for w in (slow, fast)]
    assert frames == [frames_of(dur, 1.0).sum(), frames_of(dur, 2.0).sum()]
    # Every token keeps a frame, so the count halves up to the rounding of each token.
    assert abs(frames[1] - frames[0] / 2) <= tokens.size
    assert frames[1] < 0.6 * frames[0]
    model.set_speed(1.0)
