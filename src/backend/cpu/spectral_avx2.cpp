#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/spectral.h"
#include "backend/cpu/spectral_constants.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

using namespace spectral;

namespace {

struct SpectralRowScratch {};

// Lanes 0..count-1 set.
inline __m256i lane_mask(int count) {
  const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), idx);
}

// True when some lane needs the library fallback (beyond the direct limit, or not finite).
inline bool needs_fallback(__m256 z) {
  const __m256 az = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), z);
  return _mm256_movemask_ps(_mm256_cmp_ps(az, _mm256_set1_ps(kSpectralDirectLimit), _CMP_NLE_UQ));
}

// r = z - n pi and the sign mask of (-1)^n.
inline __m256 reduce_pi8(__m256 z, __m256& sign) {
  const __m256 n = round_nearest(_mm256_mul_ps(z, _mm256_set1_ps(kInvPi)));
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kPiHi), z);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kPiLo), r);
  sign = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtps_epi32(n), 31));
  return r;
}

inline __m256 sin_poly8(__m256 r, __m256 sign) {
  const __m256 u = _mm256_mul_ps(r, r);
  __m256 q = _mm256_fmadd_ps(u, _mm256_set1_ps(kS4), _mm256_set1_ps(kS3));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kS2));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kS1));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(1.0f));
  return _mm256_xor_ps(_mm256_mul_ps(r, q), sign);
}

inline __m256 cos_poly8(__m256 r, __m256 sign) {
  const __m256 u = _mm256_mul_ps(r, r);
  __m256 q = _mm256_fmadd_ps(u, _mm256_set1_ps(kC6), _mm256_set1_ps(kC5));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kC4));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kC3));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kC2));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kC1));
  return _mm256_xor_ps(_mm256_fmadd_ps(u, q, _mm256_set1_ps(1.0f)), sign);
}

// spectral_sin on 8 lanes, bit for bit.
inline __m256 sin8(__m256 z) {
  if (needs_fallback(z)) {
    alignas(32) float v[8];
    _mm256_store_ps(v, z);
    for (float& e : v) e = spectral_sin(e);
    return _mm256_load_ps(v);
  }
  __m256 sign;
  const __m256 r = reduce_pi8(z, sign);
  return sin_poly8(r, sign);
}

// spectral_cos and spectral_sin on 8 lanes, bit for bit.
inline void sincos8(__m256 z, __m256& c, __m256& s) {
  if (needs_fallback(z)) {
    alignas(32) float v[8], cv[8], sv[8];
    _mm256_store_ps(v, z);
    for (int l = 0; l < 8; ++l) {
      cv[l] = spectral_cos(v[l]);
      sv[l] = spectral_sin(v[l]);
    }
    c = _mm256_load_ps(cv);
    s = _mm256_load_ps(sv);
    return;
  }
  __m256 sign;
  const __m256 r = reduce_pi8(z, sign);
  c = cos_poly8(r, sign);
  s = sin_poly8(r, sign);
}

// spectral_atan2 on 8 lanes, bit for bit.
inline __m256 atan2_8(__m256 y, __m256 x) {
  const __m256 abs_mask = _mm256_set1_ps(-0.0f);
  const __m256 ax = _mm256_andnot_ps(abs_mask, x), ay = _mm256_andnot_ps(abs_mask, y);
  const __m256 steep = _mm256_cmp_ps(ay, ax, _CMP_GT_OQ);
  const __m256 mx = _mm256_blendv_ps(ax, ay, steep);
  const __m256 mn = _mm256_blendv_ps(ay, ax, steep);
  const __m256 ratio = _mm256_div_ps(mn, mx);
  const __m256 zero_mx = _mm256_cmp_ps(mx, _mm256_setzero_ps(), _CMP_EQ_OQ);
  const __m256 a = _mm256_blendv_ps(ratio, _mm256_setzero_ps(), zero_mx);
  const __m256 big = _mm256_cmp_ps(a, _mm256_set1_ps(kTanPi8), _CMP_GT_OQ);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 reduced = _mm256_div_ps(_mm256_sub_ps(a, one), _mm256_add_ps(a, one));
  const __m256 t = _mm256_blendv_ps(a, reduced, big);
  const __m256 z = _mm256_mul_ps(t, t);
  __m256 q = _mm256_fmadd_ps(z, _mm256_set1_ps(kA3), _mm256_set1_ps(kA2));
  q = _mm256_fmadd_ps(z, q, _mm256_set1_ps(kA1));
  q = _mm256_fmadd_ps(z, q, _mm256_set1_ps(kA0));
  __m256 r = _mm256_fmadd_ps(_mm256_mul_ps(q, z), t, t);
  r = _mm256_add_ps(r, _mm256_and_ps(big, _mm256_set1_ps(kQuarterPi)));
  r = _mm256_blendv_ps(r, _mm256_sub_ps(_mm256_set1_ps(kHalfPi), r), steep);
  r = _mm256_blendv_ps(r, _mm256_sub_ps(_mm256_set1_ps(kPiHi), r), x);  // sign bit of x
  return _mm256_or_ps(_mm256_andnot_ps(abs_mask, r), _mm256_and_ps(abs_mask, y));
}

// Magnitudes and phases of bins [8b, 8b + 8) from their sums, into a row of 2B floats.
inline void store_bins(__m256 re, __m256 im, int b, int B, float* row) {
  const __m256 mag = _mm256_sqrt_ps(_mm256_fmadd_ps(re, re, _mm256_mul_ps(im, im)));
  const __m256 ph = atan2_8(im, re);
  const int count = std::min(8, B - 8 * b);
  if (count == 8) {
    _mm256_storeu_ps(row + 8 * b, mag);
    _mm256_storeu_ps(row + B + 8 * b, ph);
  } else {
    const __m256i m = lane_mask(count);
    _mm256_maskstore_ps(row + 8 * b, m, mag);
    _mm256_maskstore_ps(row + B + 8 * b, m, ph);
  }
}

}  // namespace

void stft_frames_avx2(const float* x, int64_t N, const float* packed, int n_fft, int hop,
                      int64_t f0, int64_t f1, float* out) {
  const int B = stft_bins(n_fft), Bp = (B + 7) / 8 * 8, blocks = Bp / 8;
  const int64_t half = n_fft / 2;
  float* edge = thread_scratch<SpectralRowScratch, float>(n_fft);
  for (int64_t f = f0; f < f1; ++f) {
    const int64_t start = f * hop - half;
    const float* seg = x + start;
    if (start < 0 || start + n_fft > N) {
      for (int n = 0; n < n_fft; ++n) edge[n] = x[std::clamp<int64_t>(start + n, 0, N - 1)];
      seg = edge;
    }
    float* row = out + f * 2 * B;
    int b = 0;
    for (; b + 2 <= blocks; b += 2) {
      __m256 r0 = _mm256_setzero_ps(), r1 = r0, i0 = r0, i1 = r0;
      const float* w = packed + 8 * b;
      for (int n = 0; n < n_fft; ++n, w += 2 * Bp) {
        const __m256 s = _mm256_broadcast_ss(seg + n);
        r0 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w), r0);
        r1 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w + 8), r1);
        i0 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w + Bp), i0);
        i1 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w + Bp + 8), i1);
      }
      store_bins(r0, i0, b, B, row);
      store_bins(r1, i1, b + 1, B, row);
    }
    if (b < blocks) {
      __m256 r0 = _mm256_setzero_ps(), i0 = r0;
      const float* w = packed + 8 * b;
      for (int n = 0; n < n_fft; ++n, w += 2 * Bp) {
        const __m256 s = _mm256_broadcast_ss(seg + n);
        r0 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w), r0);
        i0 = _mm256_fmadd_ps(s, _mm256_loadu_ps(w + Bp), i0);
      }
      store_bins(r0, i0, b, B, row);
    }
  }
}

void istft_frames_avx2(const float* mag, const float* ph, int64_t f0, int64_t f1,
                       const IstftTables& t, bool normalized, float* dst) {
  const int n_fft = t.n_fft, np = t.np, B = stft_bins(n_fft);
  const int Bp = (B + 7) / 8 * 8;
  float* re = thread_scratch<SpectralRowScratch, float>(2 * int64_t(Bp));
  float* im = re + Bp;
  const __m256 c = _mm256_set1_ps(normalized ? 2.0f : 1.0f);
  for (int64_t f = f0; f < f1; ++f, dst += np) {
    const float* m = mag + f * B;
    const float* p = ph + f * B;
    for (int k = 0; k < B; k += 8) {
      const int count = std::min(8, B - k);
      const __m256i mask = lane_mask(count);
      const __m256 mv = _mm256_maskload_ps(m + k, mask);
      __m256 cv, sv;
      sincos8(_mm256_maskload_ps(p + k, mask), cv, sv);
      _mm256_storeu_ps(re + k, _mm256_mul_ps(mv, cv));
      _mm256_storeu_ps(im + k, _mm256_mul_ps(mv, sv));
    }
    const __m256 re0 = _mm256_set1_ps(re[0]), re_last = _mm256_set1_ps(re[B - 1]);
    for (int n = 0; n < np; n += 8) {
      __m256 s = _mm256_setzero_ps();
      const float* ct = t.cos_t.data() + n;
      const float* st = t.sin_t.data() + n;
      for (int k = 1; k < B - 1; ++k, ct += np, st += np) {
        s = _mm256_fmadd_ps(_mm256_set1_ps(re[k]), _mm256_loadu_ps(ct), s);
        s = _mm256_fmadd_ps(_mm256_set1_ps(-im[k]), _mm256_loadu_ps(st), s);
      }
      __m256 v = _mm256_fmadd_ps(c, s, re0);
      v = _mm256_fmadd_ps(re_last, _mm256_loadu_ps(t.sign.data() + n), v);
      _mm256_storeu_ps(dst + n, _mm256_mul_ps(v, _mm256_loadu_ps(t.window.data() + n)));
    }
  }
}

void sine_gen_sample_avx2(const float* f0, int64_t n, const SineGenParams& p, int h0, int h1,
                          float* out) {
  const __m256d inv_sr = _mm256_set1_pd(1.0 / double(p.sample_rate));
  const __m256d two_pi = _mm256_set1_pd(kTwoPiD);
  const __m256 amp = _mm256_set1_ps(p.sine_amp);
  const int H1 = p.harmonics;
  for (int hc = h0; hc < h1; hc += 8) {
    const int count = std::min(8, h1 - hc);
    const __m256i mask = lane_mask(count);
    const __m256d mult_lo = _mm256_setr_pd(hc + 1, hc + 2, hc + 3, hc + 4);
    const __m256d mult_hi = _mm256_setr_pd(hc + 5, hc + 6, hc + 7, hc + 8);
    __m256d ph_lo = _mm256_setzero_pd(), ph_hi = ph_lo;
    for (int64_t t = 0; t < n; ++t) {
      const __m256d f = _mm256_set1_pd(double(f0[t]));
      ph_lo = _mm256_add_pd(ph_lo, _mm256_mul_pd(_mm256_mul_pd(mult_lo, f), inv_sr));
      ph_hi = _mm256_add_pd(ph_hi, _mm256_mul_pd(_mm256_mul_pd(mult_hi, f), inv_sr));
      ph_lo = _mm256_sub_pd(ph_lo, _mm256_round_pd(ph_lo, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
      ph_hi = _mm256_sub_pd(ph_hi, _mm256_round_pd(ph_hi, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
      float* row = out + t * H1 + hc;
      __m256 s = _mm256_setzero_ps();
      if (f0[t] > p.voiced_threshold) {
        const __m256 z = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(ph_hi, two_pi)),
                                         _mm256_cvtpd_ps(_mm256_mul_pd(ph_lo, two_pi)));
        s = _mm256_mul_ps(amp, sin8(z));
      }
      _mm256_maskstore_ps(row, mask, s);
    }
  }
}

void sine_rows_avx2(const float* z, const float* f0, int64_t n, float sine_amp,
                    float voiced_threshold, float* out, int64_t stride) {
  const __m256 amp = _mm256_set1_ps(sine_amp);
  const __m256 thr = _mm256_set1_ps(voiced_threshold);
  alignas(32) float v[8];
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 voiced = _mm256_cmp_ps(_mm256_loadu_ps(f0 + i), thr, _CMP_GT_OQ);
    _mm256_store_ps(v, _mm256_and_ps(voiced, _mm256_mul_ps(amp, sin8(_mm256_loadu_ps(z + i)))));
    for (int l = 0; l < 8; ++l) out[(i + l) * stride] = v[l];
  }
  for (; i < n; ++i)
    out[i * stride] = f0[i] > voiced_threshold ? sine_amp * spectral_sin(z[i]) : 0.0f;
}

}  // namespace mi::cpu
