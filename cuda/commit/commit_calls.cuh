// The tree kernels, the two commitment launchers and qk_commit.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "commit_levels.h"
#include "tree_kernels.h"

extern "C" __global__ void QK_NAME(blake3_chunk_kernel)(const int8_t* __restrict__ data,
                                                        int64_t chunks,
                                                        const uint32_t* __restrict__ key,
                                                        uint32_t* out) {
  quorl::commit::chunk_thread(QK_THREAD_1D, data, chunks, key, out);
}

extern "C" __global__ void QK_NAME(blake3_chunk_prefix_kernel)(const int8_t* __restrict__ data,
                                                               int64_t chunks,
                                                               const uint32_t* __restrict__ key,
                                                               uint32_t* prefix_out,
                                                               uint32_t* chunk_out) {
  quorl::commit::chunk_prefix_thread(QK_THREAD_1D, data, chunks, key, prefix_out, chunk_out);
}

extern "C" __global__ void QK_NAME(blake3_parent_kernel)(const uint32_t* in, uint32_t* out,
                                                         int64_t count,
                                                         const uint32_t* __restrict__ key,
                                                         int32_t root) {
  quorl::commit::parent_thread(QK_THREAD_1D, in, out, count, key, root);
}

namespace QK_BUILD_NS {

// Enqueues the tree kernels on one stream.
struct StreamTreeExec {
  cudaStream_t stream;

  void chunk(const int8_t* data, int64_t chunks, const uint32_t* key, uint32_t* out) {
    const quorl::LaunchShape s = quorl::commit::tree_shape(chunks);
    QK_NAME(blake3_chunk_kernel)<<<s.grid, s.block, 0, stream>>>(data, chunks, key, out);
  }
  void chunk_prefix(const int8_t* data, int64_t chunks, const uint32_t* key, uint32_t* prefix,
                    uint32_t* out) {
    const quorl::LaunchShape s = quorl::commit::tree_shape(chunks);
    QK_NAME(blake3_chunk_prefix_kernel)<<<s.grid, s.block, 0, stream>>>(data, chunks, key,
                                                                         prefix, out);
  }
  void parent(const uint32_t* in, uint32_t* out, int64_t count, const uint32_t* key,
              int32_t root) {
    const quorl::LaunchShape s = quorl::commit::tree_shape(count);
    QK_NAME(blake3_parent_kernel)<<<s.grid, s.block, 0, stream>>>(in, out, count, key, root);
  }
  void copy_root(uint32_t* dst, const uint32_t* src) {
    cudaMemcpyAsync(dst, src, 32, cudaMemcpyDeviceToDevice, stream);
  }
};

inline void launch_commit(const int8_t* data, int64_t rows, int64_t cols, const uint32_t* key,
                          uint32_t* first, uint32_t* second, uint32_t* root_out,
                          cudaStream_t stream) {
  StreamTreeExec exec{stream};
  quorl::commit::commit_pingpong(exec, data, rows, cols, key, first, second, root_out);
}

inline void launch_commit_tree_with_prefix(const int8_t* data, int64_t rows, int64_t cols,
                                           const uint32_t* key, uint32_t* tree,
                                           uint32_t* prefix, uint32_t* root_out,
                                           cudaStream_t stream) {
  StreamTreeExec exec{stream};
  quorl::commit::commit_full_tree(exec, data, rows, cols, key, tree, prefix, root_out);
}

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_commit)(QkCtx* c, const uint32_t* job_key, uint32_t* a_hash_out,
                                  uint32_t* b_hash_out) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  QK_BUILD_NS::launch_commit(c->a_plain, c->m, c->k, c->job_key, c->a_tree0, c->a_tree1,
                             c->a_hash, c->stream);
  QK_BUILD_NS::launch_commit(c->b_plain, c->n, c->k, c->job_key, c->b_tree0, c->b_tree1,
                             c->b_hash, c->stream);
  cudaMemcpyAsync(a_hash_out, c->a_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  cudaMemcpyAsync(b_hash_out, c->b_hash, 32, cudaMemcpyDeviceToHost, c->stream);
  return call.wait(c->stream);
}
