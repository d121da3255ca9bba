// Pieces every mining driver shares: the result readback and GPU timing.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/context.cuh"

namespace QK_BUILD_NS {

// Slot 0 of host_found set to -1, the 4-byte copy of `found` queued behind the
// attempt on `stream`. A copy that never runs leaves -1 there.
inline void queue_result_copy(QkCtx* c) {
  c->host_found[0] = -1;
  cudaMemcpyAsync(c->host_found, c->found, sizeof(int32_t), cudaMemcpyDeviceToHost, c->stream);
}

// Waits for `stream` (its status is not reported) and returns the attempt's result.
inline int32_t wait_result(QkCtx* c) {
  cudaStreamSynchronize(c->stream);
  return c->host_found[0];
}

// Timing events recorded between the stages of a profiled attempt.
template <int kCount>
struct StageTimer {
  cudaEvent_t events[kCount];

  StageTimer() {
    for (cudaEvent_t& e : events) cudaEventCreate(&e);
  }
  ~StageTimer() {
    for (cudaEvent_t e : events) cudaEventDestroy(e);
  }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

  void record(int i, cudaStream_t s) { cudaEventRecord(events[i], s); }
  float ms(int from, int to) const {
    float t = 0.0f;
    cudaEventElapsedTime(&t, events[from], events[to]);
    return t;
  }
};

}  // namespace QK_BUILD_NS
