// Installing a job and reading results back.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "context.cuh"

extern "C" int QK_NAME(qk_set_job)(QkCtx* c, const uint32_t* job_key, const uint32_t* target) {
  cudaSetDevice(c->device);
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
  return cudaStreamSynchronize(c->stream);
}

// Synchronous copies on the legacy default stream, which waits for the
// context's blocking streams.
extern "C" int QK_NAME(qk_get_plain)(QkCtx* c, int8_t* a_out, int8_t* b_out) {
  cudaError_t status = cudaSetDevice(c->device);
  if (a_out != nullptr) {
    status = cudaMemcpy(a_out, c->a_plain, size_t(c->m) * c->k, cudaMemcpyDeviceToHost);
  }
  if (b_out != nullptr) {
    status = cudaMemcpy(b_out, c->b_plain, size_t(c->n) * c->k, cudaMemcpyDeviceToHost);
  }
  return status;
}

extern "C" int QK_NAME(qk_get_hashes)(QkCtx* c, uint32_t* a_hash_out, uint32_t* b_hash_out) {
  cudaSetDevice(c->device);
  cudaMemcpyAsync(a_hash_out, c->a_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  cudaMemcpyAsync(b_hash_out, c->b_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  return cudaStreamSynchronize(c->stream);
}

extern "C" int QK_NAME(qk_get_xored)(QkCtx* c, uint32_t* out) {
  cudaSetDevice(c->device);
  const size_t words = size_t(c->k_blocks) * c->row_groups * c->col_groups;
  cudaMemcpyAsync(out, c->xored, words * 4, cudaMemcpyDeviceToHost, c->stream);
  return cudaStreamSynchronize(c->stream);
}
