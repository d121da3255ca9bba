// The B-chunk mutation kernel, its launcher and the B-only preparation call.
#pragma once

#include <cuda_runtime.h>

#include "../commit/commit_calls.cuh"
#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "../search/grid_dependency.h"
#include "mutate.h"

extern "C" __global__ void __launch_bounds__(quorl::bonly::kMutateThreads)
    QK_NAME(mutate_b_chunk_update_tree_kernel)(int8_t* data, int64_t bytes, uint64_t nonce,
                                               const uint32_t* key, const uint32_t* prefix,
                                               uint32_t* tree, uint32_t* root_out, int64_t chunks,
                                               int32_t* result, int32_t* save,
                                               const uint32_t* a_root, uint32_t* seed_b_out,
                                               uint32_t* seed_a_out) {
  const quorl::bonly::MutateArgs args{data,   bytes,    nonce,  key,    prefix,     tree,      root_out,
                                      chunks, result,   save,   a_root, seed_b_out, seed_a_out};
  quorl::bonly::mutate_write_phase(threadIdx.x, args);
  __syncthreads();  // the new bytes are in memory before thread 0 rehashes them
  if (threadIdx.x != 0) return;
  const quorl::bonly::MutateSeeds seeds = quorl::bonly::mutate_update_phase(0, args);
  // Launched to overlap the previous attempt's search: that search reads
  // the result slot and the seed of A until it ends.
  quorl::search::wait_for_prior_grids();
  quorl::bonly::mutate_publish_phase(0, args, seeds);
}

namespace QK_BUILD_NS {

// The B-only state one mutation works on: the context's own, or a copy of it.
struct BonlyState {
  int8_t* b;
  const uint32_t* prefix;
  uint32_t* tree;
  uint32_t* root;
  int32_t* result;
};

inline BonlyState context_state(QkCtx* c) {
  return {c->b_plain, c->b_chunk_prefix, c->b_tree_full, c->b_hash, c->found};
}

// Seeds are derived only when a_root and both seed outputs are given. With
// `overlap_search`, the mutation may start in the tail of the search queued
// just before it on `stream` (programmatic dependent launch; the kernel
// waits for that search before it touches the result slot or the seeds).
// Returns the launch's status.
inline cudaError_t launch_mutate(const QkCtx* c, const BonlyState& s, uint64_t nonce,
                                 int32_t* save, const uint32_t* a_root, uint32_t* seed_b,
                                 uint32_t* seed_a, cudaStream_t stream,
                                 bool overlap_search = false) {
  const int64_t bytes = int64_t(c->n) * c->k;
  cudaLaunchAttribute overlap[1];
  overlap[0].id = cudaLaunchAttributeProgrammaticStreamSerialization;
  overlap[0].val.programmaticStreamSerializationAllowed = 1;
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3(1, 1, 1);
  config.blockDim = dim3(quorl::bonly::kMutateThreads, 1, 1);
  config.stream = stream;
  config.attrs = overlap_search ? overlap : nullptr;
  config.numAttrs = overlap_search ? 1 : 0;
  return cudaLaunchKernelEx(&config, QK_NAME(mutate_b_chunk_update_tree_kernel), s.b, bytes, nonce,
                            static_cast<const uint32_t*>(c->job_key), s.prefix, s.tree, s.root,
                            bytes / 1024, s.result, save, a_root, seed_b, seed_a);
}

// Mutation, tree update and reset of `found`; no seeds.
inline cudaError_t launch_mutate_b_update_tree(QkCtx* c, uint64_t nonce, cudaStream_t stream) {
  return launch_mutate(c, context_state(c), nonce, nullptr, nullptr, nullptr, nullptr, stream);
}

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_refresh_bonly_job)(QkCtx* c, const uint32_t* job_key,
                                             const uint32_t* target, uint64_t /*unused*/) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
  QK_BUILD_NS::launch_commit(c->a_plain, c->m, c->k, c->job_key, c->a_tree0, c->a_tree1,
                             c->a_hash, c->stream);
  QK_BUILD_NS::launch_commit_tree_with_prefix(c->b_plain, c->n, c->k, c->job_key, c->b_tree_full,
                                              c->b_chunk_prefix, c->b_hash, c->stream);
  return call.wait(c->stream);
}
