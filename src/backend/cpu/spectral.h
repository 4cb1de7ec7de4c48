// Spectral and source kernels of the vocoder end: the short-time Fourier transform of a
// waveform into magnitude and phase rows, the inverse transform by windowed overlap-add, and
// the harmonic sine source with its xorshift64* noise.
//
// Every result is independent of the thread count: the transform splits over frames, the
// inverse over output samples (each sample adds its frames in ascending order), the sine
// source over harmonics and its noise over time steps (each range jumps the generator to
// its first draw).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mi::cpu {

// ---- shared scalar math (the vector kernels perform the same operations per lane) --------

// sin and cos of a float: z = n * pi + r with n = rint(z / pi) and pi taken off in two parts,
// then odd (sin) and even (cos) polynomials on r with the sign of (-1)^n. Beyond
// kSpectralDirectLimit in magnitude, or for non-finite z, the double-precision library
// functions of z.
float spectral_sin(float z);
float spectral_cos(float z);
constexpr float kSpectralDirectLimit = 262144.0f;

// atan2(y, x) from an odd polynomial of the ratio of the smaller to the larger magnitude,
// reflected by octant and quadrant; exact zeros keep the signs of the library function.
float spectral_atan2(float y, float x);

// ---- short-time Fourier transform ----------------------------------------------------------

// Bins of an n_fft-point transform of a real signal: n_fft / 2 + 1.
inline int stft_bins(int n_fft) { return n_fft / 2 + 1; }
// Frames of N samples at hop: N / hop + 1.
inline int64_t stft_frames(int64_t N, int hop) { return N / hop + 1; }

// The bases w_real, w_imag (B x n_fft each, row k holding bin k) computed for a periodic
// Hann window: w[k][n] = (cos | -sin)((k * 2pi) * (n / n_fft)) * hann[n].
void stft_default_bases(int n_fft, std::vector<float>& w_real, std::vector<float>& w_imag);

size_t stft_packed_floats(int n_fft);
// Packed bases: for each sample n of a frame, Bp real coefficients (bins 0..B-1, zeros up to
// Bp = B rounded up to 8), then Bp imaginary ones. One frame is then n_fft broadcasts of a
// sample against contiguous bin vectors.
void pack_stft_bases(const float* w_real, const float* w_imag, int n_fft, float* dst);

// x: N >= 1 samples, edge-replicated by n_fft / 2 on both sides. out: F rows of 2B floats,
// the magnitudes sqrt(re^2 + im^2) of bins 0..B-1, then their phases atan2(im, re). Each dot
// product adds its n_fft terms in ascending n with one fused multiply-add each.
void stft_fp32(const float* x, int64_t N, const float* packed, int n_fft, int hop, float* out);
void stft_fp32_ref(const float* x, int64_t N, const float* w_real, const float* w_imag, int n_fft,
                   int hop, float* out);
// Frames [f0, f1) from the packed bases.
void stft_frames_avx2(const float* x, int64_t N, const float* packed, int n_fft, int hop,
                      int64_t f0, int64_t f1, float* out);

// ---- inverse short-time Fourier transform -------------------------------------------------

// Constants of the inverse transform for one n_fft. With Np = n_fft rounded up to 8 and
// theta = k * n * (2pi / n_fft) taken modulo 2pi in double precision:
//   cos_t, sin_t: rows k = 1 .. B-2 (row k - 1 stored), Np floats each, cos and sin of theta
//   sign: (-1)^n, the last bin's cos(pi n)
//   window: hann[n] / n_fft
//   hann2: hann[n]^2, the window-sum term
// The padding lanes hold zeros.
struct IstftTables {
  int n_fft = 0;
  int np = 0;
  std::vector<float> cos_t, sin_t, sign, window, hann2;
};
IstftTables make_istft_tables(int n_fft);

// mag, ph: F >= 1 rows of B floats. Frame f contributes, for each n < n_fft,
//   v = re_0 + c * sum_{k=1}^{B-2} (re_k cos_t[k][n] - im_k sin_t[k][n]) + re_{B-1} sign[n]
// (re_k = mag_k cos(ph_k), im_k = mag_k sin(ph_k); the sum in ascending k, two fused
// multiply-adds per bin; c = 2 when normalized, else 1) times window[n], at sample
// f * hop + n of the overlap-add. out: the hop * (F - 1) samples from n_fft / 2 on, divided
// by their window sum when normalized (0 where that sum is at most 1e-8).
void istft_fp32(const float* mag, const float* ph, int64_t F, const IstftTables& tables, int hop,
                bool normalized, float* out);
void istft_fp32_ref(const float* mag, const float* ph, int64_t F, const IstftTables& tables,
                    int hop, bool normalized, float* out);
// The contributions v * window[n] of frames [f0, f1), Np floats per frame, into dst.
void istft_frames_avx2(const float* mag, const float* ph, int64_t f0, int64_t f1,
                       const IstftTables& tables, bool normalized, float* dst);

// ---- harmonic sine source ------------------------------------------------------------------

struct SineGenParams {
  int harmonics = 9;  // harmonic_num + 1 output columns
  int sample_rate = 24000;
  int upsample_scale = 0;  // < 1: per-sample phase; >= 1: frame-rate phase
  float sine_amp = 0.1f;
  float voiced_threshold = 10.0f;
  float noise_std = 0.0f;  // per-sample mode only
};

// The generator's seed at the start of every call.
constexpr uint64_t kSineNoiseSeed = 0x9e3779b97f4a7c15ull;
// One xorshift64* step: advances the state and returns the upper 32 bits of the scrambled
// product scaled to [0, 1).
float xorshift_uniform(uint64_t& state);
// The state after `steps` steps from `state` (the shift-xor update is linear over GF(2), so
// the jump is a power of its 64 x 64 bit matrix).
uint64_t xorshift_jump(uint64_t state, uint64_t steps);

// f0: n values in Hz. out: n rows of `harmonics` floats. Per-sample mode: the phase of each
// harmonic accumulates in double precision, phase = frac(phase + (h + 1) * f0 / sample_rate),
// s = sine_amp * sin(float(phase * 2pi)) when voiced (f0 > voiced_threshold), else 0; with
// noise_std > 0 every value then gets a * sqrt(-2 ln max(u1, 1e-7)) * cos(2pi u2) added
// (a = noise_std voiced, sine_amp / 3 unvoiced; u1, u2 drawn in row order). Frame-rate mode
// (needs n >= upsample_scale): see sine_gen_frame_harmonic.
void sine_gen_fp32(const float* f0, int64_t n, const SineGenParams& p, float* out);
void sine_gen_fp32_ref(const float* f0, int64_t n, const SineGenParams& p, float* out);

// Per-sample mode, harmonics [h0, h1): the phases and sines of all n rows.
void sine_gen_sample_avx2(const float* f0, int64_t n, const SineGenParams& p, int h0, int h1,
                          float* out);
// Frame-rate mode, harmonic h: rad = frac(h1 f0 / sample_rate) (plus 1 when negative), down
// = rad linearly interpolated at frame centres ((j + 0.5) U - 0.5), cum = its running sum,
// p = cum interpolated back at (i + 0.5) / U - 0.5; out column h (stride `harmonics`) =
// sine_amp * sin((p * U) * 2pi) where voiced, else 0. work: n + 2 * (n / U) floats.
void sine_gen_frame_harmonic(const float* f0, int64_t n, const SineGenParams& p, int h, float* work,
                             float* out, bool vector_sine);
// sine_amp * sin(z[i]) for voiced rows (f0 > threshold), 0 elsewhere, to out[i * stride].
void sine_rows_avx2(const float* z, const float* f0, int64_t n, float sine_amp,
                    float voiced_threshold, float* out, int64_t stride);
// Adds the noise of rows [t0, t1) (all harmonics), the generator jumped to row t0's draw.
void sine_gen_noise(const float* f0, int64_t t0, int64_t t1, const SineGenParams& p, float* out);

}  // namespace mi::cpu
