// Seed derivation, noise and selector tables, and the three fusion kernels.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "noise.h"

extern "C" __global__ void QK_NAME(derive_seeds_kernel)(const uint32_t* key,
                                                        const uint32_t* root_a,
                                                        const uint32_t* root_b,
                                                        uint32_t* seed_b_out,
                                                        uint32_t* seed_a_out) {
  quorl::noise::derive_seeds_thread(QK_THREAD_1D, key, root_a, root_b, seed_b_out, seed_a_out);
}

extern "C" __global__ void QK_NAME(gen_uniform_kernel)(int8_t* out, int32_t rows,
                                                       const uint32_t* __restrict__ tag,
                                                       const uint32_t* __restrict__ seed) {
  quorl::noise::gen_uniform_thread(QK_THREAD_1D, out, rows, tag, seed);
}

extern "C" __global__ void QK_NAME(gen_perm_kernel)(uint16_t* out, int32_t count, int32_t width,
                                                    const uint32_t* __restrict__ tag,
                                                    const uint32_t* __restrict__ seed) {
  quorl::noise::gen_perm_thread(QK_THREAD_1D, out, count, width, tag, seed);
}

extern "C" __global__ void QK_NAME(fuse_noise_kernel)(const int8_t* __restrict__ src,
                                                      int8_t* __restrict__ dst,
                                                      const int8_t* __restrict__ noise,
                                                      const uint16_t* __restrict__ sel,
                                                      int32_t rows, int32_t k) {
  quorl::noise::fuse_noise_thread(QK_THREAD_1D, src, dst, noise, sel, rows, k);
}

extern "C" __global__ void QK_NAME(fuse_noise_kernel8_k2048)(const int8_t* __restrict__ src,
                                                             int8_t* __restrict__ dst,
                                                             const int8_t* __restrict__ noise,
                                                             const uint16_t* __restrict__ sel,
                                                             int32_t rows) {
  quorl::noise::fuse_noise8_k2048_thread(QK_THREAD_1D, src, dst, noise, sel, rows);
}

extern "C" __global__ void QK_NAME(fuse_noise_smem_kernel8_k2048)(const int8_t* __restrict__ src,
                                                                  int8_t* __restrict__ dst,
                                                                  const int8_t* __restrict__ noise,
                                                                  const uint16_t* __restrict__ sel,
                                                                  int32_t rows) {
  __shared__ int8_t seu[quorl::noise::kNoiseWidth];
  if (blockIdx.x >= uint32_t(rows)) return;  // whole block, before the barrier
  quorl::noise::fuse_smem_stage(blockIdx.x, threadIdx.x, noise, seu);
  __syncthreads();
  quorl::noise::fuse_smem_compute(blockIdx.x, threadIdx.x, src, dst, seu, sel);
}
