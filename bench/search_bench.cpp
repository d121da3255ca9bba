// The search pass beside cuBLASLt's int8 GEMM (int8 in, int32 out) on the
// same shape, timed with CUDA events in the same run. The search mode is the
// process's (SKIP_BOUND, SEPARATE_BOUND, FUSED_BOUND), so run once per mode.
// Usage: quorl_search_bench [M N K [REPS]]   (default 8192 8192 2048 20)
#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../cuda/search/search_mode.h"
#include "common/cublaslt_int8.h"
#include "quorl_kernel.h"
#include "search_timing.h"
#include "quorl_ref/grid.hpp"

namespace {

struct Shape {
  int m, n, k, reps;
};

double tops(const Shape& s, float ms) { return 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12; }

const char* mode_name() {
  if (quorl::search::skip_bound_value(std::getenv("SKIP_BOUND"))) return "skip";
  return quorl::search::use_fused_bound_value(std::getenv("SEPARATE_BOUND"),
                                              std::getenv("FUSED_BOUND"))
             ? "fused"
             : "separate";
}

// Milliseconds per search pass of `build` (qk_run_async, back to back).
float time_search(const char* build, const Shape& s, const std::vector<int8_t>& a,
                  const std::vector<int8_t>& b) {
  ::setenv("QUORL_KERNEL_VARIANT", build, 1);
  const auto rows = quorl::ref::standard_row_groups(s.m);
  const auto cols = quorl::ref::standard_col_groups(s.n);
  QkHandle* h = qk_init(0, s.m, s.n, s.k, s.m / 2, s.n / 64, rows.data(), cols.data());
  ::unsetenv("QUORL_KERNEL_VARIANT");
  if (h == nullptr) return -1.0f;
  const uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, target[8] = {};
  qk_mine(h, a.data(), b.data(), key, target);  // uploads and warms up
  const double ms = quorl::bench::search_pass_ms(h, s.reps);
  std::fprintf(stderr, "%s: last result %d\n", build, qk_run(h));
  qk_free(h);
  return float(ms);
}

}  // namespace

int main(int argc, char** argv) {
  Shape s{8192, 8192, 2048, 20};
  if (argc >= 4) s = {std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), 20};
  if (argc >= 5) s.reps = std::atoi(argv[4]);
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
    std::fprintf(stderr, "no CUDA device\n");
    return 1;
  }
  std::vector<int8_t> a(size_t(s.m) * s.k), b(size_t(s.n) * s.k);
  std::mt19937 rng(1);
  for (auto& x : a) x = int8_t(rng());
  for (auto& x : b) x = int8_t(rng());

  std::string why;
  const float lt_ms = quorl::bench::cublaslt_int8_ms(a, b, s.m, s.n, s.k, s.reps, &why);
  if (lt_ms < 0) std::fprintf(stderr, "%s\n", why.c_str());
  std::printf("device %s (cc %d.%d), %dx%dx%d, %d reps, mode %s\n", prop.name, prop.major,
              prop.minor, s.m, s.n, s.k, s.reps, mode_name());
  std::printf("cublaslt_int8: %.3f ms %.1f TOPS\n", lt_ms, lt_ms > 0 ? tops(s, lt_ms) : 0.0);
  std::vector<std::string> builds;
  if (prop.major == 8 && prop.minor == 9) builds.push_back("sm89");
  if (prop.major == 9) builds.push_back("h100tma");
  if (prop.major == 12) builds.push_back("sm120a");
  builds.push_back("fallback");
  for (const std::string& build : builds) {
    const float ms = time_search(build.c_str(), s, a, b);
    if (ms <= 0) {
      std::printf("search %s: no context\n", build.c_str());
      continue;
    }
    std::printf("search %s %s: %.3f ms %.1f TOPS, %.2fx cuBLASLt\n", build.c_str(), mode_name(),
                ms, tops(s, ms), lt_ms > 0 ? lt_ms / ms : 0.0);
  }
  return 0;
}
