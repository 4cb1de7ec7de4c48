// Timing loops around the sequence kernels (adaptive norms, Snake, channel sums and copies)
// on L x C sequences, with a plain copy of the same sequence as the bandwidth yardstick.
// The kernels use the OpenMP thread count of the process.
#include <omp.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/buffer.h"
#include "backend/cpu/lstm.h"

namespace py = pybind11;

namespace mi {

namespace {

// Median seconds per call of `repeats` timed runs of `iters` calls, after a warm-up call.
double median_seconds(const std::function<void()>& f, int iters, int repeats) {
  f();
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iters; ++i) f();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    t.push_back(dt.count() / iters);
  }
  std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
  return t[t.size() / 2];
}

// (seconds per call, bytes read and written per call) of one kernel on an L x C sequence.
// "copy" is a memcpy of the sequence split over the threads.
py::tuple sequence_kernel(const std::string& op, int L, int C, int iters, int repeats) {
  const BackendOps& ops = active_backend_or_throw();
  const size_t n = size_t(L) * C;
  std::vector<float> x(n), y(n * 2), gamma(C), beta(C), w(C), alpha(C), inv(C);
  for (size_t i = 0; i < n; ++i) x[i] = float(i % 97) * 0.05f - 2.0f;
  for (int c = 0; c < C; ++c) {
    gamma[c] = 0.01f * float(c % 13);
    beta[c] = 0.02f * float(c % 7);
    w[c] = 1.0f + 0.001f * float(c);
    alpha[c] = 0.5f + 0.01f * float(c % 50);
    inv[c] = 1.0f / (1e-9f + alpha[c]);
  }
  double bytes = 8.0 * double(n);
  std::function<void()> run;
  if (op == "copy") {
    run = [&] {
#pragma omp parallel
      {
        const size_t t = size_t(omp_get_thread_num()), nt = size_t(omp_get_num_threads());
        const size_t lo = n * t / nt, hi = n * (t + 1) / nt;
        std::memcpy(y.data() + lo, x.data() + lo, (hi - lo) * sizeof(float));
      }
    };
  } else if (op == "snake1d_fp32") {
    run = [&] { ops.snake1d_fp32(x.data(), y.data(), alpha.data(), inv.data(), L, C, nullptr); };
  } else if (op == "ada_in1d_fp32") {
    run = [&] {
      ops.ada_in1d_fp32(x.data(), y.data(), gamma.data(), beta.data(), L, C, 1e-5f, nullptr,
                        w.data(), beta.data());
    };
  } else if (op == "ada_layer_norm_fp32") {
    run = [&] {
      ops.ada_layer_norm_fp32(x.data(), y.data(), gamma.data(), beta.data(), L, C, 1e-5f, nullptr);
    };
  } else if (op == "sum_channels_fp32") {
    bytes = 4.0 * double(n) + 4.0 * L;
    run = [&] { ops.sum_channels_fp32(x.data(), y.data(), L, C, nullptr); };
  } else if (op == "upsample_nearest1d_fp32") {
    bytes = 12.0 * double(n);
    run = [&] { ops.upsample_nearest1d_fp32(x.data(), y.data(), L, C, 2, nullptr); };
  } else if (op == "concat1d_fp32") {
    // Two halves of the channels joined again.
    run = [&] {
      ops.concat1d_fp32(x.data(), x.data() + n / 2, y.data(), L, C / 2, C - C / 2, false, nullptr);
    };
  } else if (op == "slice_channels_fp32") {
    bytes = 4.0 * double(n);
    run = [&] { ops.slice_channels_fp32(x.data(), y.data(), L, C, C / 4, C / 2, nullptr); };
  } else {
    throw std::invalid_argument("unknown sequence kernel " + op);
  }
  double sec;
  {
    py::gil_scoped_release unlocked;
    sec = median_seconds(run, iters, repeats);
  }
  return py::make_tuple(sec, bytes);
}

// Best seconds per call of the LSTM recurrence alone (input projections given) over T steps
// of hidden size H, for one or two directions.
double lstm_recurrence(int T, int H, int n_dirs, int repeats) {
  const int Hp = cpu::lstm_padded_hidden(H);
  const int64_t gx_stride = int64_t(n_dirs) * 4 * Hp;
  std::vector<float> gx(size_t(T) * gx_stride), w_hh(size_t(4) * H * H), out(size_t(T) * 2 * H);
  for (size_t i = 0; i < gx.size(); ++i) gx[i] = float(i % 31) * 0.03f - 0.4f;
  for (size_t i = 0; i < w_hh.size(); ++i) w_hh[i] = float(i % 17) * 0.004f - 0.03f;
  // Cache-line aligned, as the layer keeps it.
  Buffer w_rec = host_allocator().make_buffer(cpu::lstm_recurrent_floats(H) * sizeof(float));
  float* rec = static_cast<float*>(w_rec.data);
  cpu::pack_lstm_recurrent(w_hh.data(), H, rec);
  cpu::LstmDirection dirs[2];
  for (int d = 0; d < n_dirs; ++d)
    dirs[d] = {gx.data() + d * 4 * Hp, rec, out.data() + d * H, d == 1};
  double best = 1e30;
  {
    py::gil_scoped_release unlocked;
    for (int r = 0; r < repeats; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      cpu::lstm_recurrence_fp32(dirs, n_dirs, T, H, gx_stride, int64_t(n_dirs) * H);
      const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
      best = std::min(best, dt.count());
    }
  }
  return best;
}

}  // namespace

void bind_sequence_timers(py::module_& b) {
  b.def("sequence_kernel", &sequence_kernel, py::arg("op"), py::arg("L"), py::arg("C"),
        py::arg("iters"), py::arg("repeats") = 5);
  b.def("lstm_recurrence", &lstm_recurrence, py::arg("T"), py::arg("H"), py::arg("directions"),
        py::arg("repeats") = 20);
}

}  // namespace mi
