// Decoder kernels (RMS norm, element-wise product, embedding gather, causal attention core)
// exposed to the test suite. `impl` picks the vector kernel with its threading ("avx2") or
// its scalar reference ("ref").
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backend/cpu/causal_attention.h"
#include "backend/cpu/decoder_ops.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

// Output storage with a guard area behind it, to catch writes past the result.
constexpr size_t kGuard = 64;
constexpr float kSentinel = -1234.5f;

Array<float> take(const std::vector<float>& v, size_t n, std::vector<py::ssize_t> shape) {
  for (size_t i = n; i < v.size(); ++i)
    if (v[i] != kSentinel) throw std::runtime_error("kernel wrote past its output");
  Array<float> out(shape);
  std::memcpy(out.mutable_data(), v.data(), n * sizeof(float));
  return out;
}

Array<float> rms_norm(const Array<float>& x, const Array<float>& gamma, float eps,
                      const std::string& impl) {
  if (x.ndim() != 2 || gamma.size() != x.shape(1))
    throw std::invalid_argument("x is [rows, C] and gamma holds C values");
  const int rows = int(x.shape(0)), C = int(x.shape(1));
  std::vector<float> y(size_t(x.size()) + kGuard, kSentinel);
  (use_ref(impl) ? cpu::rms_norm_fp32_ref : cpu::rms_norm_fp32)(x.data(), gamma.data(), y.data(),
                                                                rows, C, eps, nullptr);
  return take(y, size_t(x.size()), dims(x));
}

Array<float> elemwise_mul(const Array<float>& a, const Array<float>& b, const std::string& impl) {
  if (a.size() != b.size()) throw std::invalid_argument("a and b differ in size");
  std::vector<float> y(size_t(a.size()) + kGuard, kSentinel);
  (use_ref(impl) ? cpu::elemwise_mul_fp32_ref : cpu::elemwise_mul_fp32)(
      a.data(), b.data(), y.data(), int(a.size()), nullptr);
  return take(y, size_t(a.size()), dims(a));
}

Array<float> embedding_lookup(const Array<float>& ids, const Array<float>& table) {
  if (table.ndim() != 2) throw std::invalid_argument("table is [V, D]");
  const int V = int(table.shape(0)), D = int(table.shape(1));
  std::vector<float> y(size_t(ids.size()) * size_t(D) + kGuard, kSentinel);
  cpu::embedding_lookup_fp32(ids.data(), table.data(), y.data(), int(ids.size()), V, D);
  return take(y, size_t(ids.size()) * size_t(D), {ids.size(), D});
}

// One call of the attention core on a cache given as [2, max_len, Hkv * d] (keys, values);
// returns the output [T, Hq * d] and the cache after the call.
std::pair<Array<float>, Array<float>> causal_attn(const Array<float>& q, const Array<float>& k,
                                                  const Array<float>& v, const Array<float>& cache,
                                                  int seq_pos, int num_q_heads, int num_kv_heads,
                                                  int head_dim, float rope_theta,
                                                  const std::string& impl) {
  const int64_t qw = int64_t(num_q_heads) * head_dim, kw = int64_t(num_kv_heads) * head_dim;
  if (q.ndim() != 2 || q.shape(1) != qw || k.ndim() != 2 || k.shape(1) != kw || v.ndim() != 2 ||
      v.shape(1) != kw || k.shape(0) != q.shape(0) || v.shape(0) != q.shape(0))
    throw std::invalid_argument("q is [T, Hq*d], k and v are [T, Hkv*d]");
  if (cache.ndim() != 3 || cache.shape(0) != 2 || cache.shape(2) != kw)
    throw std::invalid_argument("cache is [2, max_len, Hkv*d]");
  const int T = int(q.shape(0)), max_len = int(cache.shape(1));
  if (seq_pos < 0 || seq_pos + T > max_len) throw std::invalid_argument("cache too short");
  std::vector<float> c(cache.data(), cache.data() + cache.size());
  c.resize(c.size() + kGuard, kSentinel);
  std::vector<float> work(
      size_t(cpu::causal_attn_work_floats(T, num_q_heads, num_kv_heads, head_dim)) + kGuard,
      kSentinel);
  std::vector<float> y(size_t(T * qw) + kGuard, kSentinel);
  (use_ref(impl) ? cpu::causal_attn_core_fp32_ref : cpu::causal_attn_core_fp32)(
      q.data(), k.data(), v.data(), c.data(), seq_pos, max_len, y.data(), T, num_q_heads,
      num_kv_heads, head_dim, seq_pos, rope_theta, 0, work.data(), nullptr);
  take(work, work.size() - kGuard, {py::ssize_t(work.size() - kGuard)});
  return {take(y, size_t(T * qw), {T, qw}), take(c, size_t(cache.size()), dims(cache))};
}

}  // namespace

void bind_decoder_testing(py::module_& t) {
  t.def("rms_norm_fp32", &rms_norm, py::arg("x"), py::arg("gamma"), py::arg("eps") = 1e-6f,
        py::arg("impl") = "avx2");
  t.def("elemwise_mul_fp32", &elemwise_mul, py::arg("a"), py::arg("b"), py::arg("impl") = "avx2");
  t.def("embedding_lookup_fp32", &embedding_lookup, py::arg("ids"), py::arg("table"));
  t.def("causal_attn_core_fp32", &causal_attn, py::arg("q"), py::arg("k"), py::arg("v"),
        py::arg("cache"), py::arg("seq_pos"), py::arg("num_q_heads"), py::arg("num_kv_heads"),
        py::arg("head_dim"), py::arg("rope_theta") = 10000.0f, py::arg("impl") = "avx2");
}

}  // namespace mi::python
