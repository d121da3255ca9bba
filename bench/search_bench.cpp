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

#include "cublaslt_int8.h"
#include "driver_timing.h"
#include "gpu_builds.h"
#include "gpu_context.h"

namespace {

struct Shape {
  int m, n, k, reps;
};

double tops(const Shape& s, double ms) { return 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12; }

// Milliseconds per search pass of `build` (qk_run_async, back to back).
double time_search(const qkmine::BuildInfo& build, const Shape& s, const std::vector<int8_t>& a,
                   const std::vector<int8_t>& b) {
  const qkmine::GpuContext ctx(0, s.m, s.n, s.k, build.variant);
  if (!ctx.ok()) return -1.0;
  const double ms = quorl::bench::search_ms(ctx.get(), a, b, s.reps);
  std::fprintf(stderr, "%s: last result %d\n", build.name, qk_run(ctx.get()));
  return ms;
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
  const char* mode = qkmine::search_mode_name(qkmine::search_mode_from_env());
  std::printf("device %s (cc %d.%d), %dx%dx%d, %d reps, mode %s\n", prop.name, prop.major, prop.minor, s.m, s.n,
              s.k, s.reps, mode);
  std::printf("cublaslt_int8: %.3f ms %.1f TOPS\n", lt_ms, lt_ms > 0 ? tops(s, lt_ms) : 0.0);
  for (const qkmine::BuildInfo& build : qkmine::runnable_builds(prop.major, prop.minor)) {
    const double ms = time_search(build, s, a, b);
    if (ms <= 0) {
      std::printf("search %s: no context\n", build.name);
      continue;
    }
    std::printf("search %s %s: %.3f ms %.1f TOPS, %.2fx cuBLASLt\n", build.name, mode, ms, tops(s, ms),
                lt_ms > 0 ? lt_ms / ms : 0.0);
  }
  return 0;
}
