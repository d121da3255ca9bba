#include "bench_measure.h"

#include <cuda_runtime_api.h>

#include <cstdio>
#include <random>

#include "cublaslt_int8.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "int8_peaks.h"
#include "search_timing.h"

namespace qkmine {
namespace {

constexpr uint32_t kKey[8] = {0x01234567, 0x89ABCDEF, 3, 4, 5, 6, 7, 8};
constexpr uint32_t kTarget[8] = {};  // nothing qualifies: every cell is hashed

// The profile calls' stage times, averaged over `attempts` after a warm-up.
void profile_stages(QkHandle* h, int attempts, ShapeBench& out) {
  float times[12];
  qk_mine_full_profile(h, kKey, 0, 1, kTarget, times);
  for (int i = 0; i < attempts; ++i) {
    qk_mine_full_profile(h, kKey, 2 * i, 2 * i + 1, kTarget, times);
    for (int j = 0; j < 8; ++j) out.full_stages[j] += times[j] / attempts;
  }
  qk_prepare_a(h, kKey, kTarget, 7);
  qk_mine_full_bonly_profile(h, 1, times);
  for (int i = 0; i < attempts; ++i) {
    qk_mine_full_bonly_profile(h, 100 + uint64_t(i), times);
    for (int j = 0; j < 12; ++j) out.bonly_stages[j] += times[j] / attempts;
  }
  float batch_ms = 0, pipeline_ms = 0;
  qk_bench_bonly_batch(h, attempts, &batch_ms);
  qk_bench_bonly_pipeline(h, attempts, &pipeline_ms);
  out.batch_per_s = batch_ms > 0 ? 1000.0 * attempts / batch_ms : 0;
  out.pipeline_per_s = pipeline_ms > 0 ? 1000.0 * attempts / pipeline_ms : 0;
}

// Milliseconds per search pass of `build` over a and b.
double search_ms(int device, const BuildInfo& build, const BenchShape& s, const std::vector<int8_t>& a,
                 const std::vector<int8_t>& b, int reps) {
  GpuContext ctx(device, s.m, s.n, s.k, build.name);
  if (!ctx.ok()) return -1;
  qk_mine(ctx.get(), a.data(), b.data(), kKey, kTarget);  // uploads, warms up
  cudaSetDevice(device);
  return quorl::bench::search_pass_ms(ctx.get(), reps);
}

}  // namespace

BenchRun measure_bench(int device, const std::vector<BenchShape>& shapes, int reps, int attempts) {
  BenchRun run;
  gpu_properties(device, run.device, run.major, run.minor);
  run.peak_tops = int8_dense_peak_tops(run.device);
  run.mode = search_mode_name(search_mode_from_env());
  run.reps = reps;
  run.attempts = attempts;
  const std::vector<BuildInfo> builds = runnable_builds(run.major, run.minor);
  run.build = builds.empty() ? "none" : builds.front().name;
  for (const BenchShape& shape : shapes) {
    ShapeBench out;
    out.m = shape.m, out.n = shape.n, out.k = shape.k;
    {
      GpuContext ctx(device, shape.m, shape.n, shape.k);
      if (ctx.ok()) profile_stages(ctx.get(), attempts, out);
    }
    std::vector<int8_t> a(size_t(shape.m) * shape.k), b(size_t(shape.n) * shape.k);
    std::mt19937 rng(1);
    for (auto& x : a) x = int8_t(rng());
    for (auto& x : b) x = int8_t(rng());
    cudaSetDevice(device);
    out.cublaslt_ms = quorl::bench::cublaslt_int8_ms(a, b, shape.m, shape.n, shape.k, reps, &out.cublaslt_note);
    for (const BuildInfo& build : builds) out.engines.push_back({build.name, search_ms(device, build, shape, a, b, reps)});
    run.shapes.push_back(out);
  }
  return run;
}

}  // namespace qkmine
