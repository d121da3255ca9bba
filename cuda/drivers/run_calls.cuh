// The single-job calls: qk_run searches what the context holds and returns the
// result, qk_run_async only queues the search, qk_mine uploads A, B, the
// search key and the target first.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/context.cuh"
#include "../frame/diagnostic.h"
#include "../search/search_pass.cuh"
#include "attempt.cuh"

extern "C" int QK_NAME(qk_run)(QkCtx* c) {
  cudaSetDevice(c->device);
  QK_BUILD_NS::launch_search_with_key(c, c->stream, c->search_key, true);
  const cudaError_t launch = cudaPeekAtLastError();
  if (launch != cudaSuccess) quorl::report(quorl::site::kRunLaunch, launch);
  QK_BUILD_NS::queue_result_copy(c);
  const cudaError_t wait = cudaStreamSynchronize(c->stream);
  if (wait != cudaSuccess) quorl::report(quorl::site::kRunWait, wait);
  return c->host_found[0];
}

extern "C" void QK_NAME(qk_run_async)(QkCtx* c) {
  cudaSetDevice(c->device);
  QK_BUILD_NS::launch_search_with_key(c, c->stream, c->search_key, true);
}

extern "C" int QK_NAME(qk_mine)(QkCtx* c, const int8_t* a, const int8_t* b,
                                const uint32_t* search_key, const uint32_t* target) {
  cudaSetDevice(c->device);
  cudaMemcpy(c->a, a, size_t(c->m) * size_t(c->k), cudaMemcpyHostToDevice);
  cudaMemcpy(c->b, b, size_t(c->n) * size_t(c->k), cudaMemcpyHostToDevice);
  cudaMemcpy(c->search_key, search_key, 32, cudaMemcpyHostToDevice);
  cudaMemcpy(c->target, target, 32, cudaMemcpyHostToDevice);
  return QK_NAME(qk_run)(c);
}
