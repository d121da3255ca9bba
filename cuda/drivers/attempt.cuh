// Pieces every mining driver shares: the result readback, the search key a
// later qk_run repeats, and GPU timing.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"

namespace QK_BUILD_NS {

// Slot 0 of host_found set to -1, the 4-byte copy of `found` queued behind the
// attempt on `stream`. A copy that never runs leaves -1 there.
inline void queue_result_copy(QkCtx* c) {
  c->host_found[0] = -1;
  cudaMemcpyAsync(c->host_found, c->found, sizeof(int32_t), cudaMemcpyDeviceToHost, c->stream);
}

// Waits for `stream` and returns the attempt's result, or -1 when any step of
// the call failed: `found` may then hold an earlier attempt's hit.
inline int32_t wait_result(QkCtx* c, quorl::CallStatus& call) {
  return call.wait(c->stream) == cudaSuccess ? c->host_found[0] : -1;
}

// qk_run searches under `search_key`; a driver whose search was keyed by
// another buffer copies that key there, so qk_run repeats its last search.
inline void keep_search_key(QkCtx* c, const uint32_t* key) {
  cudaMemcpyAsync(c->search_key, key, 32, cudaMemcpyDeviceToDevice, c->stream);
}

// Timing events recorded between the stages of a profiled attempt. Creation
// failures reach the call through the runtime's last error.
template <int kCount>
struct StageTimer {
  cudaEvent_t events[kCount] = {};

  StageTimer() {
    for (cudaEvent_t& e : events) cudaEventCreate(&e);
  }
  ~StageTimer() {
    for (cudaEvent_t e : events) {
      if (e != nullptr) cudaEventDestroy(e);
    }
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
