#include "bench_measure.h"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <random>

#include "cublaslt_int8.h"
#include "driver_timing.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "gpu_info.h"

namespace qkmine {
namespace {

template <class T>
void keep(std::optional<T>& seen, const std::optional<T>& sample, bool higher) {
  if (!sample) return;
  if (!seen || (higher ? *sample > *seen : *sample < *seen)) seen = sample;
}

// Reads the GPU's telemetry into the shape's, when there is a source.
void look(TelemetrySource* source, int device, ShapeBench& out) {
  if (source == nullptr) return;
  const std::optional<GpuTelemetry> now = source->read(device);
  if (!now) return;
  if (!out.telemetry) out.telemetry = GpuTelemetry{};
  fold_telemetry(*out.telemetry, *now);
}

}  // namespace

void fold_telemetry(GpuTelemetry& seen, const GpuTelemetry& sample) {
  keep(seen.temperature_c, sample.temperature_c, true);
  keep(seen.power_w, sample.power_w, true);
  keep(seen.sm_clock_mhz, sample.sm_clock_mhz, false);
  if (sample.throttle_reasons) seen.throttle_reasons = seen.throttle_reasons.value_or(0) | *sample.throttle_reasons;
}

BenchRun measure_bench(int device, const std::vector<BenchShape>& shapes, int reps, int attempts,
                       TelemetrySource* telemetry) {
  BenchRun run;
  if (const std::optional<GpuInfo> gpu = describe_gpu(device, nullptr)) {
    run.device = gpu->name;
    run.major = gpu->major, run.minor = gpu->minor;
    run.peak_tops = gpu->peak_int8_tops;
  }
  run.mode = search_mode_name(search_mode_from_env());
  run.reps = reps;
  run.attempts = attempts;
  const std::vector<BuildInfo> builds = runnable_builds(run.major, run.minor);
  run.build = builds.empty() ? "none" : builds.front().name;
  for (const BenchShape& shape : shapes) {
    ShapeBench out;
    out.m = shape.m, out.n = shape.n, out.k = shape.k;
    look(telemetry, device, out);
    {
      const GpuContext ctx(device, shape.m, shape.n, shape.k);
      if (ctx.ok()) {
        quorl::bench::full_stage_ms(ctx.get(), attempts, out.full_stages);
        look(telemetry, device, out);
        quorl::bench::bonly_stage_ms(ctx.get(), attempts, out.bonly_stages);
        out.batch_per_s = std::max(0.0, quorl::bench::bonly_batch_per_s(ctx.get(), attempts));
        out.pipeline_per_s = std::max(0.0, quorl::bench::bonly_pipeline_per_s(ctx.get(), attempts));
        look(telemetry, device, out);
      }
    }
    std::vector<int8_t> a(size_t(shape.m) * shape.k), b(size_t(shape.n) * shape.k);
    std::mt19937 rng(1);
    for (auto& x : a) x = int8_t(rng());
    for (auto& x : b) x = int8_t(rng());
    cudaSetDevice(device);
    out.cublaslt_ms = quorl::bench::cublaslt_int8_ms(a, b, shape.m, shape.n, shape.k, reps, &out.cublaslt_note);
    look(telemetry, device, out);
    for (const BuildInfo& build : builds) {
      const GpuContext ctx(device, shape.m, shape.n, shape.k, build.variant);
      cudaSetDevice(device);
      out.engines.push_back({build.name, ctx.ok() ? quorl::bench::search_ms(ctx.get(), a, b, reps) : -1.0});
      look(telemetry, device, out);
    }
    run.shapes.push_back(out);
  }
  return run;
}

}  // namespace qkmine
