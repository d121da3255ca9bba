// qkmine bench's measurements on one GPU (bench/common/driver_timing.h,
// shared with the benchmarks): the profile calls' stage times, the B-only
// benches' attempt rates, and the search pass of every build the GPU runs
// beside cuBLASLt's int8 GEMM on the same operands; and what the GPU
// reports of itself meanwhile.
#pragma once

#include <vector>

#include "bench_report.h"
#include "bench_shapes.h"
#include "telemetry.h"

namespace qkmine {

// Fills one ShapeBench per shape; `reps` search passes per timing, `attempts`
// attempts per profile average and per B-only bench. `telemetry` (null:
// none) is read between the measurements.
BenchRun measure_bench(int device, const std::vector<BenchShape>& shapes, int reps, int attempts,
                       TelemetrySource* telemetry);

// `sample` folded into what a measurement saw: the highest temperature and
// power, the lowest SM clock, every throttle reason.
void fold_telemetry(GpuTelemetry& seen, const GpuTelemetry& sample);

}  // namespace qkmine
