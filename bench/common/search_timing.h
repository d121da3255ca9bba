// Milliseconds per search pass of a context: `reps` passes queued back to
// back with qk_run_async, bracketed by two events on the legacy default
// stream, which the context's blocking streams join. The caller warms up
// (a first search uploads, sets attributes and builds descriptors) and
// checks it. Returns -1 when the events cannot be created, recorded or timed.
#pragma once

#include <cuda_runtime.h>

#include "quorl_kernel.h"

namespace quorl::bench {

inline double search_pass_ms(QkHandle* h, int reps) {
  if (reps <= 0) return -1.0;
  cudaEvent_t start = nullptr, stop = nullptr;
  double per_pass = -1.0;
  if (cudaEventCreate(&start) == cudaSuccess && cudaEventCreate(&stop) == cudaSuccess &&
      cudaEventRecord(start, nullptr) == cudaSuccess) {
    for (int i = 0; i < reps; ++i) qk_run_async(h);
    float ms = 0;
    if (cudaEventRecord(stop, nullptr) == cudaSuccess &&
        cudaEventSynchronize(stop) == cudaSuccess &&
        cudaEventElapsedTime(&ms, start, stop) == cudaSuccess && ms > 0) {
      per_pass = double(ms) / reps;
    }
  }
  if (start != nullptr) cudaEventDestroy(start);
  if (stop != nullptr) cudaEventDestroy(stop);
  (void)cudaGetLastError();  // a failure is reported by the result, not left for the next check
  return per_pass;
}

}  // namespace quorl::bench
