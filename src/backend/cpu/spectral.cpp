#include "backend/cpu/spectral.h"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "backend/cpu/spectral_constants.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

using namespace spectral;

namespace {

// Below this many multiply-adds a transform does not pay for a team.
constexpr int64_t kTeamWork = 65536;
// Frames of the inverse transform computed per batch before their overlap-add.
constexpr int64_t kIstftBatch = 64;
// The sine source shares harmonics among threads from this many samples on.
constexpr int64_t kSineTeamSamples = 4096;

struct IstftScratch {};
struct SineScratch {};

int threads_for(int64_t work) { return work >= kTeamWork ? team_threads() : 1; }

int round_up8(int v) { return (v + 7) / 8 * 8; }

float reduce_pi(float z, bool& odd) {
  const float n = std::nearbyint(z * kInvPi);
  float r = std::fma(-n, kPiHi, z);
  r = std::fma(-n, kPiLo, r);
  odd = (int64_t(n) & 1) != 0;
  return r;
}

void stft_frame_ref(const float* seg, const float* w_real, const float* w_imag, int n_fft,
                    float* row) {
  const int B = stft_bins(n_fft);
  for (int k = 0; k < B; ++k) {
    float re = 0.0f, im = 0.0f;
    for (int n = 0; n < n_fft; ++n) {
      re = std::fma(seg[n], w_real[size_t(k) * n_fft + n], re);
      im = std::fma(seg[n], w_imag[size_t(k) * n_fft + n], im);
    }
    row[k] = std::sqrt(std::fma(re, re, im * im));
    row[B + k] = spectral_atan2(im, re);
  }
}

// The n_fft samples of frame f: edge-replicated where the frame hangs over either end.
void frame_segment(const float* x, int64_t N, int n_fft, int hop, int64_t f, float* seg) {
  const int64_t start = f * hop - n_fft / 2;
  for (int n = 0; n < n_fft; ++n) seg[n] = x[std::clamp<int64_t>(start + n, 0, N - 1)];
}

// Sums the frames' contributions (Np floats per frame from frame fa on) into out samples
// [i0, i1), each in ascending frame order, over frames [f0, f1).
void overlap_add(const float* contrib, int64_t fa, int64_t f0, int64_t f1, int np, int n_fft,
                 int hop, int64_t i0, int64_t i1, float* out) {
  const int64_t half = n_fft / 2;
  for (int64_t f = f0; f < f1; ++f) {
    const float* c = contrib + (f - fa) * np;
    const int64_t base = f * hop - half;
    const int n_lo = int(std::max<int64_t>(0, i0 - base));
    const int n_hi = int(std::min<int64_t>(n_fft, i1 - base));
    for (int n = n_lo; n < n_hi; ++n) out[base + n] += c[n];
  }
}

// Divides samples [i0, i1) by their window sums (ascending frames), 0 where that sum is tiny.
void normalise_window(const IstftTables& t, int64_t F, int hop, int64_t i0, int64_t i1,
                      float* out) {
  const int64_t half = t.n_fft / 2;
  for (int64_t i = i0; i < i1; ++i) {
    const int64_t j = i + half;
    const int64_t f_lo = j >= t.n_fft ? (j - t.n_fft) / hop + 1 : 0;
    const int64_t f_hi = std::min(F - 1, j / hop);
    float wsum = 0.0f;
    for (int64_t f = f_lo; f <= f_hi; ++f) wsum += t.hann2[size_t(j - f * hop)];
    out[i] = wsum > 1e-8f ? out[i] / wsum : 0.0f;
  }
}

void istft_frame_ref(const float* mag, const float* ph, const IstftTables& t, bool normalized,
                     float* re, float* im, float* dst) {
  const int n_fft = t.n_fft, B = stft_bins(n_fft);
  for (int k = 0; k < B; ++k) {
    re[k] = mag[k] * spectral_cos(ph[k]);
    im[k] = mag[k] * spectral_sin(ph[k]);
  }
  const float c = normalized ? 2.0f : 1.0f;
  for (int n = 0; n < n_fft; ++n) {
    float s = 0.0f;
    for (int k = 1; k < B - 1; ++k) {
      s = std::fma(re[k], t.cos_t[size_t(k - 1) * t.np + n], s);
      s = std::fma(-im[k], t.sin_t[size_t(k - 1) * t.np + n], s);
    }
    float v = std::fma(c, s, re[0]);
    v = std::fma(re[B - 1], t.sign[size_t(n)], v);
    dst[n] = v * t.window[size_t(n)];
  }
}

// The per-sample mode's phases and sines of harmonic h, one value at a time.
void sine_sample_harmonic_ref(const float* f0, int64_t n, const SineGenParams& p, int h,
                              float* out) {
  const double inv_sr = 1.0 / double(p.sample_rate);
  const double mult = double(h + 1);
  double phase = 0.0;
  for (int64_t t = 0; t < n; ++t) {
    phase = phase + (mult * double(f0[t])) * inv_sr;
    phase = phase - std::trunc(phase);
    const float z = float(phase * kTwoPiD);
    out[t * p.harmonics + h] = f0[t] > p.voiced_threshold ? p.sine_amp * spectral_sin(z) : 0.0f;
  }
}

// Linear interpolation of v (n values) at pos, both indices clamped to 0..n-1.
float interpolate(const float* v, int64_t n, float pos) {
  const float fl = std::floor(pos);
  const float frac = pos - fl;
  const int64_t a = std::clamp<int64_t>(int64_t(fl), 0, n - 1);
  const int64_t b = std::clamp<int64_t>(int64_t(fl) + 1, 0, n - 1);
  return v[a] * (1.0f - frac) + v[b] * frac;
}

using BitMatrix = std::array<uint64_t, 64>;  // column i: the image of bit i

uint64_t apply(const BitMatrix& m, uint64_t x) {
  uint64_t y = 0;
  for (int i = 0; i < 64; ++i)
    if ((x >> i) & 1) y ^= m[size_t(i)];
  return y;
}

BitMatrix compose(const BitMatrix& a, const BitMatrix& b) {
  BitMatrix c;
  for (size_t i = 0; i < 64; ++i) c[i] = apply(a, b[i]);
  return c;
}

uint64_t xorshift_step(uint64_t x) {
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  return x;
}

}  // namespace

// ---- scalar math --------------------------------------------------------------------------

float spectral_sin(float z) {
  if (!(std::fabs(z) <= kSpectralDirectLimit)) return float(std::sin(double(z)));
  bool odd;
  const float r = reduce_pi(z, odd);
  const float u = r * r;
  float q = std::fma(u, kS4, kS3);
  q = std::fma(u, q, kS2);
  q = std::fma(u, q, kS1);
  q = std::fma(u, q, 1.0f);
  const float s = r * q;
  return odd ? -s : s;
}

float spectral_cos(float z) {
  if (!(std::fabs(z) <= kSpectralDirectLimit)) return float(std::cos(double(z)));
  bool odd;
  const float r = reduce_pi(z, odd);
  const float u = r * r;
  float q = std::fma(u, kC6, kC5);
  q = std::fma(u, q, kC4);
  q = std::fma(u, q, kC3);
  q = std::fma(u, q, kC2);
  q = std::fma(u, q, kC1);
  const float c = std::fma(u, q, 1.0f);
  return odd ? -c : c;
}

float spectral_atan2(float y, float x) {
  const float ax = std::fabs(x), ay = std::fabs(y);
  const bool steep = ay > ax;
  const float mx = steep ? ay : ax;
  const float mn = steep ? ax : ay;
  const float ratio = mn / mx;
  const float a = mx == 0.0f ? 0.0f : ratio;
  const bool big = a > kTanPi8;
  const float t = big ? (a - 1.0f) / (a + 1.0f) : a;
  const float z = t * t;
  float q = std::fma(z, kA3, kA2);
  q = std::fma(z, q, kA1);
  q = std::fma(z, q, kA0);
  float r = std::fma(q * z, t, t);
  r = r + (big ? kQuarterPi : 0.0f);
  if (steep) r = kHalfPi - r;
  if (std::signbit(x)) r = kPiHi - r;
  return std::copysign(r, y);
}

// ---- short-time Fourier transform ----------------------------------------------------------

void stft_default_bases(int n_fft, std::vector<float>& w_real, std::vector<float>& w_imag) {
  const int B = stft_bins(n_fft);
  std::vector<float> hann(static_cast<size_t>(n_fft));
  for (int n = 0; n < n_fft; ++n)
    hann[size_t(n)] = 0.5f * (1.0f - std::cos(kTwoPi * float(n) / float(n_fft)));
  w_real.assign(size_t(B) * n_fft, 0.0f);
  w_imag.assign(size_t(B) * n_fft, 0.0f);
  for (int k = 0; k < B; ++k)
    for (int n = 0; n < n_fft; ++n) {
      const float angle = (float(k) * kTwoPi) * (float(n) / float(n_fft));
      w_real[size_t(k) * n_fft + n] = std::cos(angle) * hann[size_t(n)];
      w_imag[size_t(k) * n_fft + n] = -std::sin(angle) * hann[size_t(n)];
    }
}

size_t stft_packed_floats(int n_fft) { return size_t(n_fft) * 2 * round_up8(stft_bins(n_fft)); }

void pack_stft_bases(const float* w_real, const float* w_imag, int n_fft, float* dst) {
  const int B = stft_bins(n_fft), Bp = round_up8(B);
  std::fill_n(dst, stft_packed_floats(n_fft), 0.0f);
  for (int n = 0; n < n_fft; ++n)
    for (int k = 0; k < B; ++k) {
      dst[size_t(n) * 2 * Bp + k] = w_real[size_t(k) * n_fft + n];
      dst[size_t(n) * 2 * Bp + Bp + k] = w_imag[size_t(k) * n_fft + n];
    }
}

void stft_fp32(const float* x, int64_t N, const float* packed, int n_fft, int hop, float* out) {
  const int64_t F = stft_frames(N, hop);
  const int threads = threads_for(F * n_fft * stft_bins(n_fft) * 2);
  if (threads == 1) return stft_frames_avx2(x, N, packed, n_fft, hop, 0, F, out);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    stft_frames_avx2(x, N, packed, n_fft, hop, split_begin(F, t, T), split_begin(F, t + 1, T), out);
  }
}

void stft_fp32_ref(const float* x, int64_t N, const float* w_real, const float* w_imag, int n_fft,
                   int hop, float* out) {
  const int64_t F = stft_frames(N, hop);
  std::vector<float> seg(static_cast<size_t>(n_fft));
  for (int64_t f = 0; f < F; ++f) {
    frame_segment(x, N, n_fft, hop, f, seg.data());
    stft_frame_ref(seg.data(), w_real, w_imag, n_fft, out + f * 2 * stft_bins(n_fft));
  }
}

// ---- inverse short-time Fourier transform -------------------------------------------------

IstftTables make_istft_tables(int n_fft) {
  IstftTables t;
  const int B = stft_bins(n_fft);
  t.n_fft = n_fft;
  t.np = round_up8(n_fft);
  const size_t np = size_t(t.np);
  t.cos_t.assign(size_t(std::max(B - 2, 0)) * np, 0.0f);
  t.sin_t.assign(t.cos_t.size(), 0.0f);
  t.sign.assign(np, 0.0f);
  t.window.assign(np, 0.0f);
  t.hann2.assign(np, 0.0f);
  for (int k = 1; k < B - 1; ++k)
    for (int n = 0; n < n_fft; ++n) {
      // k * n modulo n_fft keeps the angle exact before the one rounding of cos and sin.
      const double angle = kTwoPiD * double((int64_t(k) * n) % n_fft) / double(n_fft);
      t.cos_t[size_t(k - 1) * np + n] = float(std::cos(angle));
      t.sin_t[size_t(k - 1) * np + n] = float(std::sin(angle));
    }
  for (int n = 0; n < n_fft; ++n) {
    const float hann = 0.5f - 0.5f * std::cos(kTwoPi * float(n) / float(n_fft));
    t.sign[size_t(n)] = n % 2 ? -1.0f : 1.0f;
    t.window[size_t(n)] = (1.0f / float(n_fft)) * hann;
    t.hann2[size_t(n)] = hann * hann;
  }
  return t;
}

void istft_fp32(const float* mag, const float* ph, int64_t F, const IstftTables& tables, int hop,
                bool normalized, float* out) {
  const int n_fft = tables.n_fft, np = tables.np;
  const int64_t half = n_fft / 2;
  const int64_t samples = int64_t(hop) * (F - 1);
  if (samples <= 0) return;
  const int threads = threads_for(F * n_fft * stft_bins(n_fft) * 2);
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int64_t i0 = split_begin(samples, t, T), i1 = split_begin(samples, t + 1, T);
    if (i0 < i1) {
      std::fill(out + i0, out + i1, 0.0f);
      // Frames reaching [i0, i1): f * hop - half <= i < f * hop - half + n_fft.
      const int64_t j0 = i0 + half, j1 = i1 - 1 + half;
      const int64_t fa = j0 >= n_fft ? (j0 - n_fft) / hop + 1 : 0;
      const int64_t fb = std::min(F - 1, j1 / hop) + 1;
      float* contrib = thread_scratch<IstftScratch, float>(kIstftBatch * np);
      for (int64_t f0 = fa; f0 < fb; f0 += kIstftBatch) {
        const int64_t f1 = std::min(fb, f0 + kIstftBatch);
        istft_frames_avx2(mag, ph, f0, f1, tables, normalized, contrib);
        overlap_add(contrib, f0, f0, f1, np, n_fft, hop, i0, i1, out);
      }
      if (normalized) normalise_window(tables, F, hop, i0, i1, out);
    }
  }
}

void istft_fp32_ref(const float* mag, const float* ph, int64_t F, const IstftTables& tables,
                    int hop, bool normalized, float* out) {
  const int n_fft = tables.n_fft, B = stft_bins(n_fft);
  const int64_t samples = int64_t(hop) * (F - 1);
  if (samples <= 0) return;
  const int64_t total = int64_t(hop) * (F - 1) + n_fft;
  std::vector<float> acc(size_t(total), 0.0f), wsum(size_t(total), 0.0f);
  std::vector<float> re(static_cast<size_t>(B)), im(static_cast<size_t>(B)),
      v(static_cast<size_t>(n_fft));
  for (int64_t f = 0; f < F; ++f) {
    istft_frame_ref(mag + f * B, ph + f * B, tables, normalized, re.data(), im.data(), v.data());
    for (int n = 0; n < n_fft; ++n) {
      acc[size_t(f * hop + n)] += v[size_t(n)];
      wsum[size_t(f * hop + n)] += tables.hann2[size_t(n)];
    }
  }
  const int64_t half = n_fft / 2;
  for (int64_t i = 0; i < samples; ++i) {
    const float a = acc[size_t(i + half)], w = wsum[size_t(i + half)];
    out[i] = !normalized ? a : w > 1e-8f ? a / w : 0.0f;
  }
}

// ---- harmonic sine source ------------------------------------------------------------------

float xorshift_uniform(uint64_t& state) {
  state = xorshift_step(state);
  const uint32_t upper = uint32_t((state * kXorshiftMultiplier) >> 32);
  return float(upper) * kTwoPowMinus32;
}

uint64_t xorshift_jump(uint64_t state, uint64_t steps) {
  BitMatrix base, result;
  for (size_t i = 0; i < 64; ++i) {
    base[i] = xorshift_step(uint64_t(1) << i);
    result[i] = uint64_t(1) << i;
  }
  for (; steps; steps >>= 1) {
    if (steps & 1) result = compose(base, result);
    base = compose(base, base);
  }
  return apply(result, state);
}

void sine_gen_noise(const float* f0, int64_t t0, int64_t t1, const SineGenParams& p, float* out) {
  const int H1 = p.harmonics;
  uint64_t state = xorshift_jump(kSineNoiseSeed, uint64_t(t0) * uint64_t(H1) * 2);
  const float unvoiced = p.sine_amp * 0.33333334f;
  for (int64_t t = t0; t < t1; ++t) {
    const float a = f0[t] > p.voiced_threshold ? p.noise_std : unvoiced;
    for (int h = 0; h < H1; ++h) {
      const float u1 = xorshift_uniform(state);
      const float u2 = xorshift_uniform(state);
      const float z = std::sqrt(-2.0f * std::log(std::max(u1, 1e-7f))) * std::cos(kTwoPi * u2);
      out[t * H1 + h] = out[t * H1 + h] + a * z;
    }
  }
}

void sine_gen_frame_harmonic(const float* f0, int64_t n, const SineGenParams& p, int h, float* work,
                             float* out, bool vector_sine) {
  const int64_t U = p.upsample_scale, M = n / U;
  const float inv_sr = 1.0f / float(p.sample_rate);
  const float mult = float(h + 1);
  float* rad = work;
  float* down = work + n;
  float* cum = down + M;
  for (int64_t i = 0; i < n; ++i) {
    const float v = (mult * f0[i]) * inv_sr;
    const float r = v - std::trunc(v);
    rad[i] = r < 0.0f ? r + 1.0f : r;
  }
  for (int64_t j = 0; j < M; ++j)
    down[j] = interpolate(rad, n, (float(j) + 0.5f) * float(U) - 0.5f);
  float run = 0.0f;
  for (int64_t j = 0; j < M; ++j) cum[j] = run = run + down[j];
  float* z = rad;
  for (int64_t i = 0; i < n; ++i)
    z[i] = (interpolate(cum, M, (float(i) + 0.5f) / float(U) - 0.5f) * float(U)) * kTwoPi;
  if (vector_sine)
    return sine_rows_avx2(z, f0, n, p.sine_amp, p.voiced_threshold, out + h, p.harmonics);
  for (int64_t i = 0; i < n; ++i)
    out[i * p.harmonics + h] = f0[i] > p.voiced_threshold ? p.sine_amp * spectral_sin(z[i]) : 0.0f;
}

void sine_gen_fp32(const float* f0, int64_t n, const SineGenParams& p, float* out) {
  if (n <= 0) return;
  const int H1 = p.harmonics;
  const int threads = H1 >= 2 && n >= kSineTeamSamples ? team_threads() : 1;
  const bool frame_mode = p.upsample_scale >= 1;
  const int64_t work_floats = frame_mode ? n + 2 * (n / p.upsample_scale) : 0;
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int h0 = int(split_begin(H1, t, T)), h1 = int(split_begin(H1, t + 1, T));
    if (!frame_mode) {
      if (h0 < h1) sine_gen_sample_avx2(f0, n, p, h0, h1, out);
    } else {
      float* work = thread_scratch<SineScratch, float>(work_floats);
      for (int h = h0; h < h1; ++h) sine_gen_frame_harmonic(f0, n, p, h, work, out, true);
    }
    if (!frame_mode && p.noise_std > 0.0f) {
#pragma omp barrier
      sine_gen_noise(f0, split_begin(n, t, T), split_begin(n, t + 1, T), p, out);
    }
  }
}

void sine_gen_fp32_ref(const float* f0, int64_t n, const SineGenParams& p, float* out) {
  if (n <= 0) return;
  if (p.upsample_scale >= 1) {
    std::vector<float> work(static_cast<size_t>(n + 2 * (n / p.upsample_scale)));
    for (int h = 0; h < p.harmonics; ++h)
      sine_gen_frame_harmonic(f0, n, p, h, work.data(), out, false);
    return;
  }
  for (int h = 0; h < p.harmonics; ++h) sine_sample_harmonic_ref(f0, n, p, h, out);
  if (p.noise_std > 0.0f) sine_gen_noise(f0, 0, n, p, out);
}

}  // namespace mi::cpu
