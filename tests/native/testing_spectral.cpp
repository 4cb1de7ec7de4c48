// Spectral and source kernels (STFT, inverse STFT, sine source, the noise generator) exposed to
// the test suite; `impl` picks the vector kernel with its threading ("avx2") or its scalar
// reference ("ref").
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu/spectral.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

void check_fft(int n_fft, int hop) {
  if (n_fft < 2 || n_fft % 2 || hop < 1)
    throw std::invalid_argument("n_fft must be even and at least 2, hop at least 1");
}

// [F, 2B] rows of magnitudes then phases of x (N >= 1 samples); the default Hann bases when
// none are given.
Array<float> stft(const Array<float>& x, int n_fft, int hop,
                  const std::optional<Array<float>>& w_real,
                  const std::optional<Array<float>>& w_imag, const std::string& impl) {
  check_fft(n_fft, hop);
  const int64_t N = x.size();
  if (N < 1) throw std::invalid_argument("x needs a sample");
  const int B = cpu::stft_bins(n_fft);
  std::vector<float> re, im;
  if (w_real && w_imag) {
    if (w_real->size() != int64_t(B) * n_fft || w_imag->size() != int64_t(B) * n_fft)
      throw std::invalid_argument("bases must be B x n_fft");
    re.assign(w_real->data(), w_real->data() + w_real->size());
    im.assign(w_imag->data(), w_imag->data() + w_imag->size());
  } else {
    cpu::stft_default_bases(n_fft, re, im);
  }
  const int64_t F = cpu::stft_frames(N, hop);
  Guarded out(size_t(F) * 2 * B);
  if (use_ref(impl)) {
    cpu::stft_fp32_ref(x.data(), N, re.data(), im.data(), n_fft, hop, out.data());
  } else {
    std::vector<float> packed(cpu::stft_packed_floats(n_fft));
    cpu::pack_stft_bases(re.data(), im.data(), n_fft, packed.data());
    cpu::stft_fp32(x.data(), N, packed.data(), n_fft, hop, out.data());
  }
  return out.take({py::ssize_t(F), py::ssize_t(2 * B)});
}

py::tuple stft_bases(int n_fft) {
  check_fft(n_fft, 1);
  std::vector<float> re, im;
  cpu::stft_default_bases(n_fft, re, im);
  const py::ssize_t B = cpu::stft_bins(n_fft);
  Array<float> a({B, py::ssize_t(n_fft)}), b({B, py::ssize_t(n_fft)});
  std::memcpy(a.mutable_data(), re.data(), re.size() * sizeof(float));
  std::memcpy(b.mutable_data(), im.data(), im.size() * sizeof(float));
  return py::make_tuple(a, b);
}

Array<float> istft(const Array<float>& mag, const Array<float>& ph, int n_fft, int hop,
                   bool normalized, const std::string& impl) {
  check_fft(n_fft, hop);
  const int B = cpu::stft_bins(n_fft);
  if (mag.ndim() != 2 || mag.shape(1) != B || ph.size() != mag.size())
    throw std::invalid_argument("magnitude and phase must be [F, n_fft / 2 + 1]");
  const int64_t F = mag.shape(0);
  if (F < 1) throw std::invalid_argument("needs a frame");
  const cpu::IstftTables t = cpu::make_istft_tables(n_fft);
  const int64_t samples = int64_t(hop) * (F - 1);
  Guarded out{size_t(samples)};
  (use_ref(impl) ? cpu::istft_fp32_ref : cpu::istft_fp32)(mag.data(), ph.data(), F, t, hop,
                                                          normalized, out.data());
  return out.take({py::ssize_t(samples)});
}

Array<float> sine_gen(const Array<float>& f0, int harmonic_num, int sample_rate, int upsample_scale,
                      float sine_amp, float voiced_threshold, float noise_std,
                      const std::string& impl) {
  cpu::SineGenParams p;
  p.harmonics = harmonic_num + 1;
  p.sample_rate = sample_rate;
  p.upsample_scale = upsample_scale;
  p.sine_amp = sine_amp;
  p.voiced_threshold = voiced_threshold;
  p.noise_std = noise_std;
  const int64_t n = f0.size();
  if (harmonic_num < 0 || sample_rate < 1 || (upsample_scale >= 1 && n < upsample_scale))
    throw std::invalid_argument("bad sine source parameters");
  Guarded out(size_t(n) * p.harmonics);
  (use_ref(impl) ? cpu::sine_gen_fp32_ref : cpu::sine_gen_fp32)(f0.data(), n, p, out.data());
  return out.take({py::ssize_t(n), py::ssize_t(p.harmonics)});
}

// `count` uniforms of the noise generator from draw `start` on (jumped to it), and the raw
// states after each step.
py::tuple noise_uniforms(uint64_t start, int64_t count) {
  uint64_t state = cpu::xorshift_jump(cpu::kSineNoiseSeed, start);
  Array<float> u({py::ssize_t(count)});
  py::array_t<uint64_t> states({py::ssize_t(count)});
  for (int64_t i = 0; i < count; ++i) {
    u.mutable_data()[i] = cpu::xorshift_uniform(state);
    states.mutable_data()[i] = state;
  }
  return py::make_tuple(u, states);
}

Array<float> elementwise(const Array<float>& x, float (*f)(float)) {
  Array<float> out({py::ssize_t(x.size())});
  for (py::ssize_t i = 0; i < x.size(); ++i) out.mutable_data()[i] = f(x.data()[i]);
  return out;
}

}  // namespace

void bind_spectral_testing(py::module_& t) {
  t.def("stft_fp32", &stft, py::arg("x"), py::arg("n_fft"), py::arg("hop"),
        py::arg("w_real") = py::none(), py::arg("w_imag") = py::none(), py::arg("impl") = "avx2");
  t.def("stft_bases", &stft_bases, py::arg("n_fft"));
  t.def("istft_fp32", &istft, py::arg("mag"), py::arg("phase"), py::arg("n_fft"), py::arg("hop"),
        py::arg("normalized"), py::arg("impl") = "avx2");
  t.def("sine_gen_fp32", &sine_gen, py::arg("f0"), py::arg("harmonic_num"), py::arg("sample_rate"),
        py::arg("upsample_scale"), py::arg("sine_amp"), py::arg("voiced_threshold"),
        py::arg("noise_std"), py::arg("impl") = "avx2");
  t.def("sine_noise_uniforms", &noise_uniforms, py::arg("start"), py::arg("count"));
  t.def("spectral_sin", [](const Array<float>& x) { return elementwise(x, cpu::spectral_sin); });
  t.def("spectral_cos", [](const Array<float>& x) { return elementwise(x, cpu::spectral_cos); });
  t.def("spectral_log", [](const Array<float>& x) { return elementwise(x, cpu::spectral_log); });
  t.def("spectral_atan2", [](const Array<float>& y, const Array<float>& x) {
    if (y.size() != x.size()) throw std::invalid_argument("y and x differ in size");
    Array<float> out({py::ssize_t(x.size())});
    for (py::ssize_t i = 0; i < x.size(); ++i)
      out.mutable_data()[i] = cpu::spectral_atan2(y.data()[i], x.data()[i]);
    return out;
  });
}

}  // namespace mi::python
