// launch_gemm_impl: enqueues one gemm_g of the build's grid on a stream. The
// kernel's attributes are set once per device ordinal and flavour; nothing is
// checked (errors surface at the caller's next CUDA call).
#pragma once

#include <cuda_runtime.h>

#include <cstdlib>

#include "../common/build_name.h"
#include "gemm_kernel.cuh"
#include "launch_env.h"

namespace QK_BUILD_NS {

// sm120a computes the standard grid on a persistent schedule; the other
// builds follow the caller's labels, one CTA per tile.
#if QK_BUILD_IS_SM120A
using BuildGemm = quorl::gemm::StandardGemm;
#else
using BuildGemm = quorl::gemm::LabelledGemm;
#endif

inline int persistent_cta_count() {
  static thread_local int cached_dev = -1;
  static thread_local int cached_persistent_ctas = 0;
  int dev = 0;
  cudaGetDevice(&dev);
  if (dev == cached_dev && cached_persistent_ctas > 0) return cached_persistent_ctas;
  int multiprocessors = 0;
  cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, dev);
  cached_persistent_ctas =
      quorl::gemm::persistent_ctas(multiprocessors, std::getenv("QUORL_PERSISTENT_CTA_PER_SM"),
                                   std::getenv("QUORL_PERSISTENT_CTA_TOTAL"));
  cached_dev = dev;
  return cached_persistent_ctas;
}

// Maximum dynamic shared memory, and on request cache preference and carveout.
template <class Kernel>
void set_gemm_attributes(Kernel kernel, int smem_bytes) {
  cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, smem_bytes);
  switch (quorl::gemm::cache_preference(std::getenv("FUNC_CACHE_CONFIG"))) {
    case quorl::gemm::CachePreference::kShared:
      cudaFuncSetCacheConfig(kernel, cudaFuncCachePreferShared);
      break;
    case quorl::gemm::CachePreference::kL1:
      cudaFuncSetCacheConfig(kernel, cudaFuncCachePreferL1);
      break;
    case quorl::gemm::CachePreference::kNone:
      cudaFuncSetCacheConfig(kernel, cudaFuncCachePreferNone);
      break;
    case quorl::gemm::CachePreference::kUnchanged:
      break;
  }
  if (std::getenv("SHMEM_CARVEOUT") != nullptr) {
    cudaFuncSetAttribute(kernel, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
  }
}

template <class Config, bool kFused, bool kStore, class... Args>
constexpr auto gemm_kernel_of(Args...) {
  return &gemm_g<kFused, kStore, typename Config::Form, Args...>;
}

// One gemm_g of configuration `Config` (its grid and forms) on `stream`.
// The library launches its build's configuration; the benchmark also the
// old forms.
template <class Config, bool kFused, bool kStore>
void launch_gemm_of(const int8_t* a, const int8_t* b, uint32_t* xored, const int32_t* row_group,
                    const int32_t* col_group, const uint32_t* key, const uint32_t* target,
                    int32_t* found, int m, int n, int k, int k_blocks, int row_groups,
                    int col_groups, cudaStream_t stream) {
  using C = Config;
  constexpr int smem_bytes = quorl::gemm::smem_bytes_of<C>;
  const auto shape = cute::make_shape(m, n, k);
  const auto stride_a = quorl::gemm::row_stride(k);
  const auto stride_b = quorl::gemm::row_stride(k);
  const auto kernel = gemm_kernel_of<C, kFused, kStore>(
      shape, typename C::Tile{}, stride_a, typename C::SmemLayoutA{}, typename C::GlobalToShared{},
      typename C::SharedToRegA{}, stride_b, typename C::SmemLayoutB{},
      typename C::GlobalToShared{}, typename C::SharedToRegB{}, typename C::TiledMma{});

  static quorl::gemm::AttrTable attr_done;
  int dev = 0;
  cudaGetDevice(&dev);
  if (!attr_done.applied(dev)) {
    set_gemm_attributes(kernel, smem_bytes);
    attr_done.mark_applied(dev);
  }

  const dim3 grid = C::standard_grid
                        ? dim3(unsigned(persistent_cta_count()), 1, 1)
                        : dim3(unsigned((m + quorl::gemm::kTileM - 1) / quorl::gemm::kTileM),
                               unsigned((n + quorl::gemm::kTileN - 1) / quorl::gemm::kTileN), 1);
  kernel<<<grid, quorl::gemm::kThreads, smem_bytes, stream>>>(
      shape, typename C::Tile{}, a, stride_a, typename C::SmemLayoutA{},
      typename C::GlobalToShared{}, typename C::SharedToRegA{}, b, stride_b,
      typename C::SmemLayoutB{}, typename C::GlobalToShared{}, typename C::SharedToRegB{},
      typename C::TiledMma{}, xored, row_group, col_group, key, target, found,
      quorl::gemm::kSliceWidth, k_blocks, row_groups, col_groups);
}

template <bool kFused, bool kStore>
void launch_gemm_impl(const int8_t* a, const int8_t* b, uint32_t* xored, const int32_t* row_group,
                      const int32_t* col_group, const uint32_t* key, const uint32_t* target,
                      int32_t* found, int m, int n, int k, int k_blocks, int row_groups,
                      int col_groups, cudaStream_t stream) {
  launch_gemm_of<BuildGemm, kFused, kStore>(a, b, xored, row_group, col_group, key, target, found,
                                            m, n, k, k_blocks, row_groups, col_groups, stream);
}

}  // namespace QK_BUILD_NS
