// launch_search_with_key: one search attempt enqueued on a stream. It runs the
// fused-bound GEMM (default), the store-digests GEMM plus the bound kernel
// (SEPARATE_BOUND) or the GEMM alone (SKIP_BOUND). It never waits.
#pragma once

#include <cuda_runtime.h>

#include <atomic>
#include <cstdlib>

#include "../common/build_name.h"
#include "../common/env_switch.h"
#include "../frame/context.cuh"
#include "../gemm/gemm_launch.cuh"
#include "bound_kernel.cuh"
#include "search_mode.h"

#if QK_BUILD_IS_H100TMA
#include "../gemm/hopper_engines.cuh"
#endif

namespace QK_BUILD_NS {

inline int skip_bound() {
  static std::atomic<int> cache{-1};
  return quorl::cached_value(
      cache, [] { return quorl::search::skip_bound_value(std::getenv("SKIP_BOUND")); });
}

inline int use_fused_bound() {
  static std::atomic<int> cache{-1};
  return quorl::cached_value(cache, [] {
    return quorl::search::use_fused_bound_value(std::getenv("SEPARATE_BOUND"),
                                                std::getenv("FUSED_BOUND"));
  });
}

// Returns what the fused Hopper launcher reports (its extended launch returns
// a status); the other launches report through the runtime's last error,
// which the exported call collects (call_status.h).
inline cudaError_t launch_search_with_key(QkCtx* c, cudaStream_t stream, const uint32_t* key,
                                          bool reset) {
  if (reset) cudaMemsetAsync(c->found, 0xFF, sizeof(int32_t), stream);
  if (skip_bound()) {
#if QK_BUILD_IS_H100TMA
    launch_gemm_gmma_impl<false, false>(
#else
    launch_gemm_impl<false, false>(
#endif
        c->a, c->b, nullptr, c->row_group, c->col_group, nullptr, nullptr, nullptr, c->m, c->n,
        c->k, c->k_blocks, c->row_groups, c->col_groups, stream);
    return cudaSuccess;
  }
  if (use_fused_bound()) {
#if QK_BUILD_IS_H100TMA
    return launch_gemm_hopper_tma_bound(c->a, c->b, c->row_group, c->col_group, key, c->target,
                                        c->found, c->m, c->n, c->k, c->k_blocks, c->row_groups,
                                        c->col_groups, stream);
#else
    launch_gemm_impl<true, false>(c->a, c->b, nullptr, c->row_group, c->col_group, key, c->target,
                                  c->found, c->m, c->n, c->k, c->k_blocks, c->row_groups,
                                  c->col_groups, stream);
    return cudaSuccess;
#endif
  }
  const int64_t words = int64_t(c->k_blocks) * c->row_groups * c->col_groups;
  cudaMemsetAsync(c->xored, 0, size_t(words) * 4, stream);
#if QK_BUILD_IS_H100TMA
  launch_gemm_gmma_impl<false, true>(
#else
  launch_gemm_impl<false, true>(
#endif
      c->a, c->b, c->xored, c->row_group, c->col_group, nullptr, nullptr, nullptr, c->m, c->n,
      c->k, c->k_blocks, c->row_groups, c->col_groups, stream);
  launch_bound(c->xored, key, c->target, c->found, c->k_blocks, c->row_groups, c->col_groups,
               stream);
  return cudaSuccess;
}

}  // namespace QK_BUILD_NS
