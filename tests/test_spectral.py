"""STFT, inverse STFT and the harmonic sine source: kernels against their scalar references
(bit for bit, any thread count), against torch.stft / torch.istft and NumPy models of the
formulas (the sine source's noise generator bit for bit), the layers through model files,
and malformed arguments and inputs refused by name."""
import numpy as np
import pytest
import torch

from harness import ALL_THREADS, check_rejects, forward, one_node, testing as T

SEED = 0x9E3779B97F4A7C15
MASK = (1 << 64) - 1


# ---- NumPy references ---------------------------------------------------------------------

def torch_stft(x, n_fft, hop):
    """Complex [F, B] spectrum: centred with edge replication, periodic Hann window."""
    torch.set_num_threads(1)
    X = torch.stft(torch.from_numpy(x.astype(np.float64)), n_fft, hop, window=torch.hann_window(
        n_fft, periodic=True, dtype=torch.float64), center=True, pad_mode="replicate",
        return_complex=True)
    return X.numpy().T


def torch_istft(mag, ph, n_fft, hop):
    torch.set_num_threads(1)
    X = torch.from_numpy((mag.astype(np.float64) * np.exp(1j * ph.astype(np.float64))).T)
    win = torch.hann_window(n_fft, periodic=True, dtype=torch.float64)
    return torch.istft(X, n_fft, hop, window=win, center=True,
                       length=hop * (mag.shape[0] - 1)).numpy()


def istft_f64(mag, ph, n_fft, hop, normalized):
    """The overlap-add written out in float64: bins 1 .. B-2 count c = 2 times when
    normalized, once otherwise."""
    F, B = mag.shape
    n = np.arange(n_fft)
    k = np.arange(B)[:, None]
    X = mag.astype(np.float64) * np.exp(1j * ph.astype(np.float64))
    c = np.ones(B)
    c[1:B - 1] = 2 if normalized else 1
    basis = np.cos(2 * np.pi * k * n / n_fft), np.sin(2 * np.pi * k * n / n_fft)
    frames = ((c * X.real) @ basis[0] - (c * X.imag) @ basis[1]) / n_fft
    hann = 0.5 - 0.5 * np.cos(2 * np.pi * n / n_fft)
    acc = np.zeros(hop * (F - 1) + n_fft)
    wsum = np.zeros_like(acc)
    for f in range(F):
        acc[f * hop:f * hop + n_fft] += frames[f] * hann
        wsum[f * hop:f * hop + n_fft] += hann ** 2
    half, length = n_fft // 2, hop * (F - 1)
    acc, wsum = acc[half:half + length], wsum[half:half + length]
    if normalized:
        return np.where(wsum > 1e-8, acc / np.where(wsum > 1e-8, wsum, 1), 0.0)
    return acc


def xorshift_uniforms(count, start=0):
    """The generator's draws start .. start+count-1 from its seed, in exact integer
    arithmetic: x ^= x >> 12, x ^= x << 25, x ^= x >> 27, upper 32 bits of x * M."""
    x = SEED
    out = np.empty(count, np.float32)
    for i in range(start + count):
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        if i >= start:
            out[i - start] = np.float32(((x * 0x2545F4914F6CDD1D) & MASK) >> 32) * np.float32(2.0 ** -32)
    return out


def sine_sample_model(f0, H1, sr, amp, thr, noise_std):
    """Per-sample mode in float64 phases (the same accumulation) and float64 sines."""
    n = f0.size
    mult = np.arange(1, H1 + 1, dtype=np.float64)
    phase = np.zeros(H1)
    out = np.empty((n, H1))
    for t in range(n):
        phase = phase + (mult * np.float64(f0[t])) * (1.0 / sr)
        phase = phase - np.trunc(phase)
        z = (phase * 6.283185307179586).astype(np.float32).astype(np.float64)
        out[t] = amp * np.sin(z) if f0[t] > thr else 0.0
    if noise_std > 0:
        u = xorshift_uniforms(2 * n * H1).astype(np.float64).reshape(n, H1, 2)
        z = np.sqrt(-2 * np.log(np.maximum(u[..., 0], np.float32(1e-7)))) * np.cos(
            np.float32(6.2831855) * u[..., 1].astype(np.float32))
        a = np.where(f0 > thr, np.float32(noise_std), np.float32(amp) * np.float32(0.33333334))
        out = out + a[:, None].astype(np.float64) * z
    return out


def interp32(v, pos):
    fl = np.floor(pos)
    frac = (pos - fl).astype(np.float32)
    a = np.clip(fl.astype(np.int64), 0, v.size - 1)
    b = np.clip(fl.astype(np.int64) + 1, 0, v.size - 1)
    return (v[a] * (np.float32(1) - frac) + v[b] * frac).astype(np.float32)


def sine_frame_model(f0, H1, sr, U, amp, thr):
    """Frame-rate mode in float32 with the kernel's order of operations, float64 sines."""
    n = f0.size
    M = n // U
    out = np.empty((n, H1))
    U32 = np.float32(U)
    for h in range(H1):
        v = (np.float32(h + 1) * f0) * (np.float32(1) / np.float32(sr))
        rad = v - np.trunc(v)
        rad = np.where(rad < 0, rad + np.float32(1), rad).astype(np.float32)
        down = interp32(rad, (np.arange(M, dtype=np.float32) + np.float32(0.5)) * U32 - np.float32(0.5))
        cum = np.cumsum(down, dtype=np.float32)
        p = interp32(cum, (np.arange(n, dtype=np.float32) + np.float32(0.5)) / U32 - np.float32(0.5))
        z = (p * U32) * np.float32(6.2831855)
        out[:, h] = np.where(f0 > thr, amp * np.sin(z.astype(np.float64)), 0.0)
    return out


def f0_track(case, n, unvoiced=0.2):
    """A smooth pitch contour in Hz with unvoiced stretches (f0 = 0)."""
    t = np.arange(n) / n
    f0 = 120 + 80 * np.sin(2 * np.pi * (1.5 * t + case.uniform(0, 1, ())))
    f0[case.uniform(0, 1, n) < unvoiced] = 0
    return f0.astype(np.float32)


# ---- the shared sine, cosine and arctangent ------------------------------------------------

def test_sine_and_cosine(case):
    z = np.concatenate([case.uniform(-7, 7, 20000), case.uniform(-3e5, 3e5, 20000),
                        np.float32([0, -0.0, np.pi / 2, 1e-30, 262144, -262145, 1e7, 3e38])])
    z = z.astype(np.float32)
    zd = z.astype(np.float64)
    # Absolute error: the reduction by pi costs at most a few units of 1e-8 per multiple.
    np.testing.assert_allclose(T.spectral_sin(z), np.sin(zd), rtol=0, atol=3e-7)
    np.testing.assert_allclose(T.spectral_cos(z), np.cos(zd), rtol=0, atol=3e-7)
    small = np.abs(z) < 1
    np.testing.assert_allclose(T.spectral_sin(z[small]), np.sin(zd[small]), rtol=3e-7, atol=1e-37)
    assert np.isnan(T.spectral_sin(np.float32([np.inf, -np.inf, np.nan]))).all()


def test_arctangent(case):
    y = np.concatenate([case.normal(30000), case.normal(100, 1e-30), np.float32([1, -1, 5])])
    x = np.concatenate([case.normal(30000), case.normal(100, 1e30), np.float32([1, -1, 0])])
    got = T.spectral_atan2(y, x)
    want = np.arctan2(y.astype(np.float64), x.astype(np.float64))
    np.testing.assert_allclose(got, want, rtol=4e-7, atol=1e-37)
    # Signed zeros give the library's quadrants.
    zeros = np.float32([0.0, -0.0, 0.0, -0.0]), np.float32([0.0, 0.0, -0.0, -0.0])
    np.testing.assert_array_equal(T.spectral_atan2(*zeros), np.arctan2(*zeros))
    assert np.array_equal(np.signbit(T.spectral_atan2(*zeros)), np.signbit(np.arctan2(*zeros)))


# ---- STFT ---------------------------------------------------------------------------------

@pytest.mark.parametrize("n_fft,hop", [(2, 1), (4, 1), (16, 4), (20, 5), (32, 7), (34, 17),
                                       (128, 32)])
@pytest.mark.parametrize("N", [1, 9, 1000])
def test_stft_kernel_matches_reference_and_torch(case, n_fft, hop, N):
    x = case.normal(N) + np.float32(0.5)

    def run(threads, impl):
        return T.stft_fp32(x, n_fft, hop, impl=impl)

    got = case.sweep(run, run(1, "ref"), threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    B = n_fft // 2 + 1
    assert got.shape == (N // hop + 1, 2 * B)
    X = torch_stft(x, n_fft, hop)
    # The sums round at each of their n_fft terms.
    err = 2e-7 * n_fft * np.abs(X).max()
    case.check(got[:, :B], np.abs(X), atol=err, rtol=0, what="magnitude")
    # Phases where the bin is well above the rounding of the sums.
    strong = np.abs(X) > 1e3 * err
    diff = np.angle(np.exp(1j * (got[:, B:].astype(np.float64) - np.angle(X))))
    bound = np.where(strong, err / np.maximum(np.abs(X), 1e-30) + 1e-6, 1.0)
    case.check(np.where(strong, diff, 0), np.zeros_like(diff), atol=bound, rtol=0, what="phase")


def test_stft_of_a_constant(case):
    c = np.float32(0.75)
    got = T.stft_fp32(np.full(200, c, np.float32), 20, 5)
    assert got.shape == (41, 22)
    np.testing.assert_allclose(got[:, 0], 10 * c, rtol=1e-6)
    np.testing.assert_allclose(got[:, 1], 5 * c, rtol=1e-6)
    np.testing.assert_allclose(np.abs(got[:, 12]), np.pi, rtol=1e-6)
    assert np.abs(got[:, 2:11]).max() < 1e-5
    np.testing.assert_array_equal(got[:, 11], 0)  # phase of the exact zero sum of bin 0
    assert T.stft_fp32(case.normal(20), 20, 5).shape[0] == 5


def test_stft_loaded_bases(case, make_model):
    n_fft, hop, N = 16, 3, 301
    B = n_fft // 2 + 1
    re, im = case.normal((B, n_fft)), case.normal((B, n_fft))
    x = case.normal(N)
    pad = np.concatenate([np.full(n_fft // 2, x[0]), x, np.full(n_fft // 2, x[-1])]).astype(np.float64)
    frames = np.stack([pad[f * hop:f * hop + n_fft] for f in range(N // hop + 1)])
    X = frames @ re.T.astype(np.float64) + 1j * (frames @ im.T.astype(np.float64))
    model = make_model(one_node("stft_fp32", (0, 1), name="st", n_fft=n_fft, hop_size=hop),
                       {"st.w_real": re, "st.w_imag": im})
    got = case.sweep(lambda threads: forward(model, x[:, None]), None, threads=ALL_THREADS)
    got = got.reshape(-1, 2 * B)
    np.testing.assert_array_equal(got, T.stft_fp32(x, n_fft, hop, re, im, impl="ref"))
    np.testing.assert_allclose(got[:, :B], np.abs(X), atol=1e-5 * np.abs(X).max())


def test_stft_layer_default_bases(case, make_model):
    x = case.normal(2000)
    model = make_model(one_node("stft_fp32", (0, 1), name="st"))  # n_fft 20, hop 5
    got = forward(model, x[:, None])
    np.testing.assert_array_equal(got, T.stft_fp32(x, 20, 5, impl="ref").ravel())


# ---- inverse STFT -------------------------------------------------------------------------

@pytest.mark.parametrize("n_fft,hop", [(2, 1), (4, 1), (16, 4), (20, 5), (32, 7), (128, 32)])
@pytest.mark.parametrize("F", [1, 2, 37, 700])
@pytest.mark.parametrize("normalized", [False, True])
def test_istft_kernel_matches_reference_and_formula(case, n_fft, hop, F, normalized):
    B = n_fft // 2 + 1
    mag, ph = np.abs(case.normal((F, B))), case.uniform(-4, 4, (F, B))

    def run(threads, impl):
        return T.istft_fp32(mag, ph, n_fft, hop, normalized, impl=impl)

    got = case.sweep(run, run(1, "ref"), threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    assert got.shape == (hop * (F - 1),)
    want = istft_f64(mag, ph, n_fft, hop, normalized)
    case.check(got, want, atol=2e-6 * max(1.0, np.abs(want).max(initial=0)), rtol=0)


@pytest.mark.parametrize("n_fft,hop", [(16, 4), (20, 5), (64, 16)])
def test_istft_matches_torch_and_inverts_the_stft(case, n_fft, hop):
    x = case.normal(3000)
    S = T.stft_fp32(x, n_fft, hop)
    B = n_fft // 2 + 1
    mag, ph = S[:, :B].copy(), S[:, B:].copy()
    got = T.istft_fp32(mag, ph, n_fft, hop, True)
    want = torch_istft(mag, ph, n_fft, hop)
    case.check(got, want, atol=3e-6, rtol=0, what="against torch.istft")
    # The centred transform drops n_fft / 2 samples at the front; away from the replicated
    # ends the signal comes back.
    interior = slice(n_fft, got.size - n_fft)
    case.check(got[interior], x[interior], atol=1e-5, rtol=0, what="reconstruction")


def test_istft_layer(case, make_model):
    n_fft, hop, F = 20, 5, 50
    B = n_fft // 2 + 1
    mag, ph = np.abs(case.normal((F, B))), case.uniform(-3, 3, (F, B))
    for normalized in (False, True):
        model = make_model(one_node("istft_fp32", (0, B), (0, B), name="is", n_fft=n_fft,
                                    hop_size=hop, normalized=normalized))
        got = case.sweep(lambda threads: forward(model, mag, ph), None, threads=ALL_THREADS)
        np.testing.assert_array_equal(got, T.istft_fp32(mag, ph, n_fft, hop, normalized, impl="ref"))


# ---- sine source --------------------------------------------------------------------------

def test_noise_generator_bit_sequence():
    want = xorshift_uniforms(64)
    u, _ = T.sine_noise_uniforms(0, 64)
    np.testing.assert_array_equal(u, want)
    # Jumping ahead lands on the same draws as stepping.
    for start in (1, 5, 63, 1000):
        np.testing.assert_array_equal(T.sine_noise_uniforms(start, 8)[0],
                                      xorshift_uniforms(8, start))


@pytest.mark.parametrize("harmonic_num", [0, 3, 8, 15])
@pytest.mark.parametrize("noise_std", [0.0, 0.003])
def test_sine_sample_mode_matches_model(case, harmonic_num, noise_std):
    n, sr = 5000, 24000
    f0 = f0_track(case, n)
    args = (f0, harmonic_num, sr, 0, 0.1, 10.0, noise_std)

    def run(threads, impl):
        return T.sine_gen_fp32(*args, impl=impl)

    got = case.sweep(run, run(1, "ref"), threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    want = sine_sample_model(f0, harmonic_num + 1, sr, 0.1, 10.0, noise_std)
    case.check(got, want, atol=1e-7 if noise_std == 0 else 2e-6, rtol=0)
    np.testing.assert_array_equal(T.sine_gen_fp32(*args), got)  # the noise restarts


@pytest.mark.parametrize("U", [1, 4, 300])
@pytest.mark.parametrize("n", [300, 301, 4500])
@pytest.mark.parametrize("harmonic_num", [0, 8])
def test_sine_frame_mode_matches_model(case, U, n, harmonic_num):
    sr = 24000
    f0 = f0_track(case, n)
    args = (f0, harmonic_num, sr, U, 0.1, 10.0, 0.5)  # noise_std is ignored here

    def run(threads, impl):
        return T.sine_gen_fp32(*args, impl=impl)

    got = case.sweep(run, run(1, "ref"), threads=ALL_THREADS, exact=True, impl=("ref", "avx2"))
    want = sine_frame_model(f0, harmonic_num + 1, sr, U, 0.1, 10.0)
    case.check(got, want, atol=1e-7, rtol=0)


@pytest.mark.parametrize("U", [0, 5])
def test_sine_source_silent_without_pitch(U):
    got = T.sine_gen_fp32(np.zeros(5000, np.float32), 8, 24000, U, 0.1, 10.0, 0.0)
    np.testing.assert_array_equal(got, 0)


def test_sine_layer(case, make_model):
    f0 = f0_track(case, 4800)
    for U, noise in ((0, 0.003), (300, 0.0)):
        model = make_model(one_node("sine_gen_fp32", (0, 1), name="sg", harmonic_num=8,
                                    upsample_scale=U, noise_std=noise))
        got = case.sweep(lambda threads: forward(model, f0[:, None]), None, threads=ALL_THREADS)
        np.testing.assert_array_equal(
            got, T.sine_gen_fp32(f0, 8, 24000, U, 0.1, 10.0, noise, impl="ref").ravel())


# ---- refused arguments and inputs ---------------------------------------------------------

@pytest.mark.parametrize("op,cls,args,match", [
    ("stft_fp32", "StftFp32", {"n_fft": 21}, "n_fft must be an even number from 2 to 8192, got 21"),
    ("stft_fp32", "StftFp32", {"n_fft": 0}, "n_fft must be an even number"),
    ("stft_fp32", "StftFp32", {"n_fft": 1 << 20}, "n_fft must be an even number"),
    ("stft_fp32", "StftFp32", {"hop_size": 0}, "hop_size must be at least 1, got 0"),
    ("istft_fp32", "IstftFp32", {"n_fft": 19}, "n_fft must be an even number"),
    ("istft_fp32", "IstftFp32", {"hop_size": -2}, "hop_size must be at least 1, got -2"),
    ("sine_gen_fp32", "SineGenFp32", {"harmonic_num": -1}, "harmonic_num must be from 0"),
    ("sine_gen_fp32", "SineGenFp32", {"sample_rate": 0}, "sample_rate must be at least 1, got 0"),
])
def test_bad_arguments_are_refused(make_model, op, cls, args, match):
    with pytest.raises(RuntimeError, match=f"^{cls} 'sp': {match}"):
        make_model(one_node(op, (0, 11), (0, 11), name="sp", **args))


@pytest.mark.parametrize("tensors,match", [
    ({"st.w_real": np.zeros((11, 19), np.float32), "st.w_imag": np.zeros((11, 20), np.float32)},
     "w_real' has 209 values, needs 220"),
    ({"st.w_real": np.zeros((20, 11), np.float32), "st.w_imag": np.zeros((11, 20), np.float32)},
     "w_real' has 20 rows, needs 11"),
    ({"st.w_imag": np.zeros(7, np.float32)}, "w_imag' has 7 values, needs 220"),
])
def test_bad_bases_are_refused(make_model, tensors, match):
    with pytest.raises(RuntimeError, match=f"^StftFp32 'st': tensor 'st.{match}"):
        make_model(one_node("stft_fp32", (0, 1), name="st"), tensors)


def test_bad_inputs_are_refused(case):
    def layer(op, args, out_size):
        return lambda *xs: T.sequence_layer(op, args, {}, list(xs), out_size, name="sp")

    x = case.normal((100, 1))
    stft = layer("stft_fp32", {}, 21 * 22)
    check_rejects(stft, np.zeros((0, 1), np.float32), x, node="sp", match="has no samples")

    B = 11
    mag, ph = np.abs(case.normal((20, B))), case.normal((20, B))
    istft = layer("istft_fp32", {"normalized": 1}, 95)
    check_rejects(istft, (mag, ph[:19]), (mag, ph), node="sp", match="differ in size")
    check_rejects(istft, (mag[:, :10].copy(), ph[:, :10].copy()), (mag, ph), node="sp",
                  match="must both have n_fft / 2 \\+ 1 = 11 channels")
    check_rejects(istft, (mag[:0], ph[:0]), (mag, ph), node="sp", match="has no frame")
    check_rejects(istft, (mag,), (mag, ph), node="sp", match="needs 2 inputs, got 1")

    sine = layer("sine_gen_fp32", {"upsample_scale": 300}, 9 * 600)
    f0 = f0_track(case, 600)[:, None]
    check_rejects(sine, f0[:299].copy(), f0, node="sp",
                  match="has 299 samples, fewer than upsample_scale 300")

