// The single-job calls: qk_run searches what the context holds and returns the
// result, qk_run_async only queues the search, qk_mine uploads A, B, the
// search key and the target first.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "../frame/diagnostic.h"
#include "../search/search_pass.cuh"
#include "attempt.cuh"

namespace QK_BUILD_NS {

// qk_run's steps after the device is current: one search of what the context
// holds, its result read back. Prints, once each, what this call met on entry
// (3084: a launch or copy refused, including the caller's own steps noted in
// `call`) and a failed wait (3086). The result is -1 when anything failed.
inline int32_t run_search(QkCtx* c, quorl::CallStatus& call) {
  call.note(launch_search_with_key(c, c->stream, c->search_key, /*reset=*/true));
  queue_result_copy(c);
  const cudaError_t entry = call.enqueued();
  if (entry != cudaSuccess) quorl::report(quorl::site::kRunLaunch, entry);
  const cudaError_t wait = call.note(cudaStreamSynchronize(c->stream));
  if (wait != cudaSuccess) quorl::report(quorl::site::kRunWait, wait);
  return call.failed() ? -1 : c->host_found[0];
}

// A searching call whose device could not be made current launched nothing.
inline int32_t refuse_search(const quorl::CallStatus& call) {
  quorl::report(quorl::site::kRunLaunch, call.error());
  return -1;
}

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_run)(QkCtx* c) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return QK_BUILD_NS::refuse_search(call);
  return QK_BUILD_NS::run_search(c, call);
}

// Reports nothing: a search that could not be queued is seen by no later call
// (each starts afresh); callers who need to know use qk_run.
extern "C" void QK_NAME(qk_run_async)(QkCtx* c) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return;
  QK_BUILD_NS::launch_search_with_key(c, c->stream, c->search_key, /*reset=*/true);
}

extern "C" int QK_NAME(qk_mine)(QkCtx* c, const int8_t* a, const int8_t* b,
                                const uint32_t* search_key, const uint32_t* target) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return QK_BUILD_NS::refuse_search(call);
  call.note(cudaMemcpy(c->a, a, size_t(c->m) * size_t(c->k), cudaMemcpyHostToDevice));
  call.note(cudaMemcpy(c->b, b, size_t(c->n) * size_t(c->k), cudaMemcpyHostToDevice));
  call.note(cudaMemcpy(c->search_key, search_key, 32, cudaMemcpyHostToDevice));
  call.note(cudaMemcpy(c->target, target, 32, cudaMemcpyHostToDevice));
  return QK_BUILD_NS::run_search(c, call);
}
