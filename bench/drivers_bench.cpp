// Attempt rates of the mining drivers on the GPU: full-pipeline attempts with
// the profile's stage breakdown, and B-only attempts from the batch and
// pipeline benches beside the bare search pass on the same shape. With
// "bonly" only the B-only figures are measured (the GPU check runs them once
// more with QUORL_BONLY_OVERLAP=1 to compare the overlap with the default).
// Usage: quorl_drivers_bench [M N K [ATTEMPTS [bonly]]]   (default 8192 8192 2048 40)
#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>

#include <cstring>

#include "../cuda/common/env_switch.h"
#include "driver_timing.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "search_timing.h"

namespace {

using namespace quorl::bench;

struct Shape {
  int m, n, k, attempts;
  bool bonly_only;
};

double tops(const Shape& s, double ms) { return 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12; }

void print_stages(const char* what, const char* const* names, const double* ms, int count) {
  std::printf("%s stages (ms):", what);
  for (int i = 0; i < count; ++i) std::printf(" %s %.3f", names[i], ms[i]);
  std::printf("\n");
}

// A failed call says so on stderr; the figure it would have given is left out
// rather than divided by an elapsed time of 0.
bool failed(const char* what) {
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

bool full_pipeline(QkHandle* h, const Shape& s) {
  double stages[kFullStages];
  if (!full_stage_ms(h, s.attempts, stages)) return failed("qk_mine_full_profile");
  print_stages("full profile", kFullStageNames, stages, kFullStages);
  const double rate = full_attempts_per_s(h, s.attempts);
  if (!(rate > 0)) return failed("qk_mine_full");
  std::printf("full attempts/s: overlapped %.1f, profiled (sequential) %.1f\n", rate,
              1000.0 / stages[kFullStages - 1]);
  return true;
}

bool bonly(QkHandle* h, const Shape& s) {
  double stages[kBonlyStages];
  if (!bonly_stage_ms(h, s.attempts, stages)) return failed("qk_prepare_a or qk_mine_full_bonly_profile");
  print_stages("bonly profile", kBonlyStageNames, stages, kBonlyStages);
  qk_run(h);  // warm-up; prints a launch error itself
  const double search_ms = search_pass_ms(h, s.attempts);
  if (!(search_ms > 0)) return failed("the search pass timing");
  const double batch = bonly_batch_per_s(h, s.attempts);
  if (!(batch > 0)) return failed("qk_bench_bonly_batch");
  const double pipeline = bonly_pipeline_per_s(h, s.attempts);
  if (!(pipeline > 0)) return failed("qk_bench_bonly_pipeline");
  const double bare = 1000.0 / search_ms;
  std::printf("bare search: %.3f ms, %.1f TOPS, %.1f passes/s\n", search_ms, tops(s, search_ms), bare);
  std::printf("bonly attempts/s: batch %.1f (%.1f%% of bare), pipeline %.1f (%.1f%% of bare)\n", batch,
              100.0 * batch / bare, pipeline, 100.0 * pipeline / bare);
  return true;
}

// Whether the library overlaps B-only attempts: QUORL_BONLY_OVERLAP, which
// only the h100tma build reads.
const char* bonly_overlap(int variant) {
  return variant == 2 && quorl::switch_value(std::getenv("QUORL_BONLY_OVERLAP")) ? "on" : "off";
}

}  // namespace

int main(int argc, char** argv) {
  Shape s{8192, 8192, 2048, 40, false};
  if (argc >= 4) s = {std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), s.attempts, false};
  if (argc >= 5) s.attempts = std::atoi(argv[4]);
  if (argc >= 6) s.bonly_only = std::strcmp(argv[5], "bonly") == 0;
  if (s.attempts <= 0 || argc > 6 || (argc == 6 && !s.bonly_only)) {
    std::fprintf(stderr, "usage: quorl_drivers_bench [M N K [ATTEMPTS > 0 [bonly]]]\n");
    return 2;
  }
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
    std::fprintf(stderr, "no CUDA device\n");
    return 1;
  }
  const qkmine::GpuContext ctx(0, s.m, s.n, s.k);
  if (!ctx.ok()) return 1;
  std::printf("device %s (cc %d.%d), build %s, %dx%dx%d, %d attempts per figure, B-only overlap %s\n",
              prop.name, prop.major, prop.minor, qkmine::build_name(ctx.variant()), s.m, s.n, s.k,
              s.attempts, bonly_overlap(ctx.variant()));
  return (s.bonly_only || full_pipeline(ctx.get(), s)) && bonly(ctx.get(), s) ? 0 : 1;
}
