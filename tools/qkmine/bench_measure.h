// qkmine bench's measurements on one GPU (CUDA events throughout): the
// profile calls' stage times, the B-only benches' attempt rates, and the
// search pass of every build the GPU runs beside cuBLASLt's int8 GEMM on
// the same operands.
#pragma once

#include <vector>

#include "bench_report.h"
#include "bench_shapes.h"

namespace qkmine {

// Fills one ShapeBench per shape; `reps` search passes per timing, `attempts`
// attempts per profile average and per B-only bench.
BenchRun measure_bench(int device, const std::vector<BenchShape>& shapes, int reps, int attempts);

}  // namespace qkmine
