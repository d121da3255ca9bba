// Milliseconds per search pass of a context: `reps` passes queued back to
// back with qk_run_async, bracketed by two events on the legacy default
// stream, which the context's blocking streams join. The caller warms up
// (a first search uploads, sets attributes and builds descriptors).
#pragma once

#include <cuda_runtime.h>

#include "quorl_kernel.h"

namespace quorl::bench {

inline double search_pass_ms(QkHandle* h, int reps) {
  cudaEvent_t start, stop;
  cudaEventCreate(&start);
  cudaEventCreate(&stop);
  cudaEventRecord(start, nullptr);
  for (int i = 0; i < reps; ++i) qk_run_async(h);
  cudaEventRecord(stop, nullptr);
  cudaEventSynchronize(stop);
  float ms = 0;
  cudaEventElapsedTime(&ms, start, stop);
  cudaEventDestroy(start);
  cudaEventDestroy(stop);
  return double(ms) / reps;
}

}  // namespace quorl::bench
