// The library's one message format, and the fixed site numbers that name
// each failing step.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdio>

namespace quorl {

namespace site {
constexpr int kBuildAbsent = 3000;   // qk_init: build left out of this configuration
constexpr int kShapeRefused = 3001;  // qk_init: a shape the kernels cannot handle
constexpr int kLabelsRefused = 3002; // qk_init: a labelling the search kernels cannot honour
constexpr int kDeviceRefused = 3003; // qk_init: no device of that ordinal can be made current
// 3009 .. 3041: context allocations (see the allocation plan)
constexpr int kContextSetup = 3042;  // qk_init: label or tag upload, stream or event creation
constexpr int kRunLaunch = 3084;  // qk_run: launch error after the search pass
constexpr int kRunWait = 3086;    // qk_run: failed wait for the stream
constexpr int kBenchPipelineScratch = 3090;  // qk_bench_bonly_pipeline: scratch allocation
constexpr int kBenchBatchScratch = 3091;     // qk_bench_bonly_batch: result array allocation
}  // namespace site

inline void report(int site_number, cudaError_t err) {
  std::fprintf(stderr, "CUDA %s:%d %s\n", "cuda/quorl_kernel", site_number,
               cudaGetErrorString(err));
}

}  // namespace quorl
