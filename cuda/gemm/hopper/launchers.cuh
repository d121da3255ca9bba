// Host launchers of the two Hopper engines. They only enqueue: attributes are
// set once per device ordinal, nothing is synchronised or checked beyond what
// the launch itself returns.
#pragma once

#include <cute/tensor.hpp>
#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>

#include "../../common/build_name.h"
#include "../gemm_launch.cuh"
#include "engine_config.h"
#include "gmma_cta_kernel.cuh"
#include "launch_rules.h"
#include "tma_descriptor.cuh"
#include "tma_bound_kernel.cuh"

namespace QK_BUILD_NS {

// The compute-only (<false, false>) and store-digests (<false, true>) launch
// of gemm_gmma_cta_g: one CTA per 192 x 256 tile.
template <bool fused, bool store>
void launch_gemm_gmma_impl(const int8_t* a, const int8_t* b, uint32_t* xored,
                           const int32_t* row_group, const int32_t* col_group, const uint32_t* key,
                           const uint32_t* target, int32_t* found, int m, int n, int k,
                           int k_blocks, int row_groups, int col_groups, cudaStream_t stream) {
  static_assert(!fused, "the fused bound runs launch_gemm_hopper_tma_bound");
  using namespace cute;
  using Config = quorl::hopper::GmmaCtaConfig;
  (void)key, (void)target, (void)found;

  auto kernel =
      gemm_gmma_cta_g<false, store, Shape<int, int, int>, typename Config::Tile, Stride<int, _1>,
                      typename Config::SmemLayoutA, SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>,
                      Stride<int, _1>, typename Config::SmemLayoutB,
                      SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>, typename Config::TiledMma>;
  static quorl::gemm::AttrTable attr_done;
  int device = 0;
  cudaGetDevice(&device);
  if (!attr_done.applied(device)) {
    set_gemm_attributes(kernel, Config::kSmemBytes);
    attr_done.mark_applied(device);
  }

  typename Config::TiledMma tiled_mma;
  tiled_mma.accumulate_ = GMMA::ScaleOut::One;
  const dim3 grid((m + Config::kRows - 1) / Config::kRows, (n + Config::kCols - 1) / Config::kCols,
                  1);
  kernel<<<grid, Config::kThreads, Config::kSmemBytes, stream>>>(
      make_shape(m, n, k), typename Config::Tile{}, a, make_stride(k, _1{}),
      typename Config::SmemLayoutA{}, SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>{}, b,
      make_stride(k, _1{}), typename Config::SmemLayoutB{},
      SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>{}, tiled_mma, store ? xored : nullptr, row_group,
      col_group, nullptr, nullptr, nullptr, k_blocks, row_groups, col_groups);
}

// The fused-bound engine: persistent grid, extended launch with a 1 x 1 x 1
// cluster and programmatic stream serialization. `walk` picks how consumers
// cross a tile boundary; the library runs the streamed form, the benchmark
// also the drained one.
template <quorl::gemm::TileWalk walk>
cudaError_t launch_gemm_hopper_tma_bound_of(const int8_t* a, const int8_t* b,
                                            const int32_t* row_group, const int32_t* col_group,
                                            const uint32_t* key, const uint32_t* target,
                                            int32_t* found, int m, int n, int k, int k_blocks,
                                            int row_groups, int col_groups, cudaStream_t stream) {
  using namespace cute;
  using Config = quorl::hopper::TmaBoundConfig;

  auto tma_a = make_stage_tma<typename Config::StageLayoutA>(a, m, k);
  auto tma_b = make_stage_tma<typename Config::StageLayoutB>(b, n, k);
  auto gmem_a = quorl::hopper::operand_layout(m, k);
  auto gmem_b = quorl::hopper::operand_layout(n, k);
  auto kernel = gemm_hopper_tma_bound_g<walk, decltype(gmem_a), decltype(gmem_b), decltype(tma_a),
                                        decltype(tma_b), typename Config::SmemLayoutA,
                                        typename Config::SmemLayoutB, typename Config::TiledMma>;

  int device = 0, multiprocessors = 0;
  cudaGetDevice(&device);
  cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, device);
  const int per_sm =
      quorl::hopper::persistent_ctas_per_sm(std::getenv("QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM"));

  static quorl::gemm::AttrTable attr_done;
  if (!attr_done.applied(device)) {
    cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, Config::kSmemBytes);
    cudaFuncSetAttribute(kernel, cudaFuncAttributeNonPortableClusterSizeAllowed, 1);
    if (std::getenv("SHMEM_CARVEOUT") != nullptr) {
      cudaFuncSetAttribute(kernel, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
    }
    attr_done.mark_applied(device);
  }

  cudaLaunchAttribute attrs[2];
  attrs[0].id = cudaLaunchAttributeClusterDimension;
  attrs[0].val.clusterDim.x = 1;
  attrs[0].val.clusterDim.y = 1;
  attrs[0].val.clusterDim.z = 1;
  attrs[1].id = cudaLaunchAttributeProgrammaticStreamSerialization;
  attrs[1].val.programmaticStreamSerializationAllowed = 1;
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3(per_sm * multiprocessors, 1, 1);
  config.blockDim = dim3(Config::kThreads, 1, 1);
  config.dynamicSmemBytes = Config::kSmemBytes;
  config.stream = stream;
  config.attrs = attrs;
  config.numAttrs = 2;

  typename Config::TiledMma tiled_mma;
  tiled_mma.accumulate_ = GMMA::ScaleOut::One;
  return cudaLaunchKernelEx(&config, kernel, gmem_a, gmem_b, tma_a, tma_b, row_group, col_group,
                            key, target, found, m, n, k, k_blocks, row_groups, col_groups,
                            typename Config::SmemLayoutA{}, typename Config::SmemLayoutB{},
                            tiled_mma);
}

inline cudaError_t launch_gemm_hopper_tma_bound(const int8_t* a, const int8_t* b,
                                                const int32_t* row_group, const int32_t* col_group,
                                                const uint32_t* key, const uint32_t* target,
                                                int32_t* found, int m, int n, int k, int k_blocks,
                                                int row_groups, int col_groups,
                                                cudaStream_t stream) {
  return launch_gemm_hopper_tma_bound_of<quorl::gemm::TileWalk::kStreamed>(
      a, b, row_group, col_group, key, target, found, m, n, k, k_blocks, row_groups, col_groups,
      stream);
}

}  // namespace QK_BUILD_NS

namespace QK_BUILD_NS {
// Both flavours exist in the build even before a caller instantiates them.
template void launch_gemm_gmma_impl<false, false>(const int8_t*, const int8_t*, uint32_t*,
                                                  const int32_t*, const int32_t*, const uint32_t*,
                                                  const uint32_t*, int32_t*, int, int, int, int,
                                                  int, int, cudaStream_t);
template void launch_gemm_gmma_impl<false, true>(const int8_t*, const int8_t*, uint32_t*,
                                                 const int32_t*, const int32_t*, const uint32_t*,
                                                 const uint32_t*, int32_t*, int, int, int, int, int,
                                                 int, cudaStream_t);
}  // namespace QK_BUILD_NS
