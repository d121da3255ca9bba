// The noise pipeline: table and fusion launches on one stream or forked onto
// the side streams, and the exported calls that build noised operands.
#pragma once

#include <cuda_runtime.h>

#include <atomic>

#include "../commit/commit_calls.cuh"
#include "../common/build_name.h"
#include "../common/env_switch.h"
#include "../drivers/run_calls.cuh"  // run_search, which qk_mine_gen ends with
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "gen_kernels.cuh"
#include "noise_kernels.cuh"

namespace QK_BUILD_NS {

// Read the first time a 2048-wide fusion is launched, then cached.
inline bool use_smem_noise() {
  static std::atomic<int> cache{-1};
  return quorl::cached_switch(cache, "SMEM_NOISE") != 0;
}

inline void launch_derive_seeds(const uint32_t* key, const uint32_t* root_a,
                                const uint32_t* root_b, uint32_t* seed_b, uint32_t* seed_a,
                                cudaStream_t s) {
  QK_NAME(derive_seeds_kernel)<<<1, 1, 0, s>>>(key, root_a, root_b, seed_b, seed_a);
}

// The context's seeds from its job key and both roots.
inline void launch_derive_seeds(const QkCtx* c, cudaStream_t s) {
  launch_derive_seeds(c->job_key, c->a_hash, c->b_hash, c->b_seed, c->a_seed, s);
}

inline void launch_gen_uniform(int8_t* out, int32_t rows, const uint32_t* tag,
                               const uint32_t* seed, cudaStream_t s) {
  const quorl::LaunchShape shape = quorl::noise::gen_uniform_shape(rows);
  QK_NAME(gen_uniform_kernel)<<<shape.grid, shape.block, 0, s>>>(out, rows, tag, seed);
}

inline void launch_gen_perm(uint16_t* out, int32_t k, const uint32_t* tag, const uint32_t* seed,
                            cudaStream_t s) {
  const quorl::LaunchShape shape = quorl::noise::gen_perm_shape(k);
  QK_NAME(gen_perm_kernel)<<<shape.grid, shape.block, 0, s>>>(out, k, quorl::noise::kNoiseWidth,
                                                              tag, seed);
}

inline void launch_fuse_noise(const int8_t* src, int8_t* dst, const int8_t* noise,
                              const uint16_t* sel, int32_t rows, int32_t k, cudaStream_t s) {
  using quorl::noise::FuseKernel;
  const FuseKernel kernel = quorl::noise::choose_fuse_kernel(k, use_smem_noise);
  const quorl::LaunchShape shape = quorl::noise::fuse_shape(kernel, rows, k);
  switch (kernel) {
    case FuseKernel::kSharedEight:
      QK_NAME(fuse_noise_smem_kernel8_k2048)<<<shape.grid, shape.block, 0, s>>>(src, dst, noise,
                                                                               sel, rows);
      break;
    case FuseKernel::kEight:
      QK_NAME(fuse_noise_kernel8_k2048)<<<shape.grid, shape.block, 0, s>>>(src, dst, noise, sel,
                                                                          rows);
      break;
    case FuseKernel::kGeneral:
      QK_NAME(fuse_noise_kernel)<<<shape.grid, shape.block, 0, s>>>(src, dst, noise, sel, rows, k);
      break;
  }
}

// One operand's chain: its noise table, its selector table, its fusion.
inline void launch_operand_noise(const int8_t* plain, int8_t* noised, int8_t* noise,
                                 uint16_t* sel, int32_t rows, int32_t k, const uint32_t* tag,
                                 const uint32_t* seed, cudaStream_t s) {
  launch_gen_uniform(noise, rows, tag, seed, s);
  launch_gen_perm(sel, k, tag, seed, s);
  launch_fuse_noise(plain, noised, noise, sel, rows, k, s);
}

// Everything on one stream: both tables of A and B, then both fusions.
inline void launch_noise(QkCtx* c, cudaStream_t s) {
  launch_gen_uniform(c->a_noise, c->m, c->a_tag, c->a_seed, s);
  launch_gen_uniform(c->b_noise, c->n, c->b_tag, c->b_seed, s);
  launch_gen_perm(c->a_perm, c->k, c->a_tag, c->a_seed, s);
  launch_gen_perm(c->b_perm, c->k, c->b_tag, c->b_seed, s);
  launch_fuse_noise(c->a_plain, c->a, c->a_noise, c->a_perm, c->m, c->k, s);
  launch_fuse_noise(c->b_plain, c->b, c->b_noise, c->b_perm, c->n, c->k, s);
}

// A's chain on stream_a and B's on stream_b, forked from and joined back to s.
inline void launch_noise_parallel(QkCtx* c, cudaStream_t s) {
  cudaEventRecord(c->ev_fork, s);
  cudaStreamWaitEvent(c->stream_a, c->ev_fork, 0);
  cudaStreamWaitEvent(c->stream_b, c->ev_fork, 0);
  launch_operand_noise(c->a_plain, c->a, c->a_noise, c->a_perm, c->m, c->k, c->a_tag, c->a_seed,
                       c->stream_a);
  launch_operand_noise(c->b_plain, c->b, c->b_noise, c->b_perm, c->n, c->k, c->b_tag, c->b_seed,
                       c->stream_b);
  cudaEventRecord(c->ev_a_done, c->stream_a);
  cudaEventRecord(c->ev_b_done, c->stream_b);
  cudaStreamWaitEvent(s, c->ev_a_done, 0);
  cudaStreamWaitEvent(s, c->ev_b_done, 0);
}

// The seed that generates B in B-only preparation.
constexpr uint64_t kPrepareBSeedXor = 0xD1B54A32D192ED03ull;

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_gen_noised)(QkCtx* c, const int8_t* a_plain, const int8_t* b_plain,
                                      const uint32_t* a_seed, const uint32_t* b_seed,
                                      int8_t* a_out, int8_t* b_out) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  const size_t a_bytes = size_t(c->m) * c->k, b_bytes = size_t(c->n) * c->k;
  cudaMemcpyAsync(c->a_plain, a_plain, a_bytes, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->b_plain, b_plain, b_bytes, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->a_seed, a_seed, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->b_seed, b_seed, 32, cudaMemcpyHostToDevice, c->stream);
  QK_BUILD_NS::launch_noise(c, c->stream);
  cudaMemcpyAsync(a_out, c->a, a_bytes, cudaMemcpyDeviceToHost, c->stream);
  cudaMemcpyAsync(b_out, c->b, b_bytes, cudaMemcpyDeviceToHost, c->stream);
  return call.wait(c->stream);
}

extern "C" int QK_NAME(qk_prepare_a)(QkCtx* c, const uint32_t* job_key, const uint32_t* target,
                                     uint64_t seed) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
  QK_BUILD_NS::launch_gen_ab(c->a_plain, int64_t(c->m) * c->k, seed, c->stream);
  QK_BUILD_NS::launch_commit(c->a_plain, c->m, c->k, c->job_key, c->a_tree0, c->a_tree1,
                             c->a_hash, c->stream);
  QK_BUILD_NS::launch_gen_ab(c->b_plain, int64_t(c->n) * c->k,
                             seed ^ QK_BUILD_NS::kPrepareBSeedXor, c->stream);
  QK_BUILD_NS::launch_commit_tree_with_prefix(c->b_plain, c->n, c->k, c->job_key, c->b_tree_full,
                                              c->b_chunk_prefix, c->b_hash, c->stream);
  return call.wait(c->stream);
}

// Uploads plain matrices, seeds, search key and target, builds the noised
// operands on the side streams and runs one search as qk_run does (which
// also reports the uploads and noise launches this call could not enqueue).
extern "C" int QK_NAME(qk_mine_gen)(QkCtx* c, const int8_t* a_plain, const int8_t* b_plain,
                                    const uint32_t* a_seed, const uint32_t* b_seed,
                                    const uint32_t* search_key, const uint32_t* target) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return QK_BUILD_NS::refuse_search(call);
  cudaMemcpyAsync(c->a_plain, a_plain, size_t(c->m) * c->k, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->b_plain, b_plain, size_t(c->n) * c->k, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->a_seed, a_seed, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->b_seed, b_seed, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->search_key, search_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
  QK_BUILD_NS::launch_noise_parallel(c, c->stream);
  return QK_BUILD_NS::run_search(c, call);
}
