// Installing a job and reading results back. Each call returns the first
// CUDA error of any of its steps (call_status.h).
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "call_status.h"
#include "context.cuh"

extern "C" int QK_NAME(qk_set_job)(QkCtx* c, const uint32_t* job_key, const uint32_t* target) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
  return call.wait(c->stream);
}

// Synchronous copies on the legacy default stream, which waits for the
// context's blocking streams.
extern "C" int QK_NAME(qk_get_plain)(QkCtx* c, int8_t* a_out, int8_t* b_out) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  if (a_out != nullptr) {
    call.note(cudaMemcpy(a_out, c->a_plain, size_t(c->m) * c->k, cudaMemcpyDeviceToHost));
  }
  if (b_out != nullptr) {
    call.note(cudaMemcpy(b_out, c->b_plain, size_t(c->n) * c->k, cudaMemcpyDeviceToHost));
  }
  return call.error();
}

extern "C" int QK_NAME(qk_get_hashes)(QkCtx* c, uint32_t* a_hash_out, uint32_t* b_hash_out) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  cudaMemcpyAsync(a_hash_out, c->a_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  cudaMemcpyAsync(b_hash_out, c->b_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  return call.wait(c->stream);
}

extern "C" int QK_NAME(qk_get_xored)(QkCtx* c, uint32_t* out) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  const size_t words = size_t(c->k_blocks) * c->row_groups * c->col_groups;
  cudaMemcpyAsync(out, c->xored, words * 4, cudaMemcpyDeviceToHost, c->stream);
  return call.wait(c->stream);
}
