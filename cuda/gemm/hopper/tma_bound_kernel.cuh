// gemm_hopper_tma_bound_g: the persistent, warp-specialised fused-bound
// engine. Warp group 0 drives the TMA through a four-stage ring of full and
// empty mbarriers; warp groups 1 and 2 each multiply 64 rows of the 128 x 256
// tile, fold every slice in registers, hash their cell and compare it with
// the target. Tiles are walked column-major across a grid of about one CTA
// per multiprocessor.
#pragma once

#include <cute/tensor.hpp>
#include <cutlass/arch/barrier.h>
#include <cutlass/arch/reg_reconfig.h>

#include "../../common/build_name.h"
#include "cell_fold.h"
#include "engine_config.h"

namespace QK_BUILD_NS {

template <class GmemLayoutA, class GmemLayoutB, class TmaA, class TmaB, class SmemLayoutA,
          class SmemLayoutB, class TiledMma>
__global__ void __launch_bounds__(quorl::hopper::TmaBoundConfig::kThreads, 1)
    gemm_hopper_tma_bound_g(GmemLayoutA gmem_a, GmemLayoutB gmem_b,
                            CUTE_GRID_CONSTANT TmaA const tma_a,
                            CUTE_GRID_CONSTANT TmaB const tma_b, const int32_t* row_group,
                            const int32_t* col_group, const uint32_t* key, const uint32_t* target,
                            int32_t* found, int m, int n, int k, int k_blocks, int row_groups,
                            int col_groups, SmemLayoutA, SmemLayoutB, TiledMma tiled_mma) {
#if defined(__CUDA_ARCH_FEAT_SM90_ALL)
  using namespace cute;
  using Config = quorl::hopper::TmaBoundConfig;
  namespace hop = quorl::hopper;
  using FullBarrier = cutlass::arch::ClusterTransactionBarrier;
  using EmptyBarrier = cutlass::arch::ClusterBarrier;
  constexpr int kConsumers = Config::kThreads - 128;

  extern __shared__ __align__(1024) int8_t tma_ring_smem[];
  int8_t* smem = tma_ring_smem;
  int8_t* ring_a = smem;
  int8_t* ring_b = smem + Config::kStages * Config::kStageBytesA;
  uint64_t* full = reinterpret_cast<uint64_t*>(smem + Config::kRingBytes);
  uint64_t* empty = full + Config::kStages;
  Tensor sA = make_tensor(make_smem_ptr(ring_a), SmemLayoutA{});  // (128, 128, 4)
  Tensor sB = make_tensor(make_smem_ptr(ring_b), SmemLayoutB{});  // (256, 128, 4)

  // Launched with programmatic stream serialization: whatever the previous
  // kernel on the stream wrote must be visible before A, B or the labels are read.
  asm volatile("griddepcontrol.wait;" ::: "memory");

  if (threadIdx.x == 0) {
    for (int s = 0; s < Config::kStages; ++s) {
      FullBarrier::init(&full[s], 1);
      EmptyBarrier::init(&empty[s], kConsumers);
    }
    cutlass::arch::fence_barrier_init();
  }
  __syncthreads();

  const int tiles_m = (m + Config::kRows - 1) / Config::kRows;
  const int tiles_n = (n + Config::kCols - 1) / Config::kCols;
  const int tiles = tiles_m * tiles_n;
  const int warp_group = threadIdx.x / 128;

  if (warp_group == 0) {
    cutlass::arch::warpgroup_reg_dealloc<Config::kProducerRegs>();
    if (threadIdx.x == 0) {
      // Coordinates only: k positions 0..2047 whatever k is; the descriptor
      // fills zeros at and beyond k and past the last row.
      Tensor mA = tma_a.get_tma_tensor(
          make_shape(shape<0>(gmem_a), Int<Config::kKTiles * Config::kDepth>{}));
      Tensor mB = tma_b.get_tma_tensor(
          make_shape(shape<0>(gmem_b), Int<Config::kKTiles * Config::kDepth>{}));
      Tensor gA =
          local_tile(mA, Shape<Int<Config::kRows>, Int<Config::kDepth>>{}, make_coord(_, _));
      Tensor gB =
          local_tile(mB, Shape<Int<Config::kCols>, Int<Config::kDepth>>{}, make_coord(_, _));
      // (TMA, tile row, k-tile) and (TMA, stage)
      auto [tAgA, tAsA] = tma_partition(tma_a, Int<0>{}, Layout<_1>{}, group_modes<0, 2>(sA),
                                        group_modes<0, 2>(gA));
      auto [tBgB, tBsB] = tma_partition(tma_b, Int<0>{}, Layout<_1>{}, group_modes<0, 2>(sB),
                                        group_modes<0, 2>(gB));
      int stage = 0;
      uint32_t phase = 0;
      for (int t = blockIdx.x; t < tiles; t += gridDim.x) {
        const hop::TileCoord tile = hop::persistent_tile(t, tiles_m);
        CUTE_NO_UNROLL
        for (int i = 0; i < Config::kKTiles; ++i) {
          // A fresh barrier counts as having completed the phase before
          // phase 0, so the first pass over the ring does not wait.
          EmptyBarrier::wait(&empty[stage], phase ^ 1);
          FullBarrier::arrive_and_expect_tx(&full[stage], Config::kStageBytes);
          copy(tma_a.with(full[stage], 0, TMA::CacheHintSm90::EVICT_NORMAL), tAgA(_, tile.row, i),
               tAsA(_, stage));
          copy(tma_b.with(full[stage], 0, TMA::CacheHintSm90::EVICT_NORMAL), tBgB(_, tile.col, i),
               tBsB(_, stage));
          if (++stage == Config::kStages) {
            stage = 0;
            phase ^= 1;
          }
        }
      }
    }
  } else {
    cutlass::arch::warpgroup_reg_alloc<Config::kConsumerRegs>();
    const int thread = threadIdx.x - 128;
    ThrMMA thr_mma = tiled_mma.get_thread_slice(thread);
    Tensor tCrA = thr_mma.make_fragment_A(thr_mma.partition_A(sA));  // (MMA, 1, 4, stage)
    Tensor tCrB = thr_mma.make_fragment_B(thr_mma.partition_B(sB));  // (MMA, 1, 4, stage)
    Tensor accum = partition_fragment_C(tiled_mma, Shape<Int<Config::kRows>, Int<Config::kCols>>{});

    uint32_t key_words[8], target_words[8];
    CUTE_UNROLL
    for (int i = 0; i < 8; ++i) {
      key_words[i] = __ldg(key + i);
      target_words[i] = __ldg(target + i);
    }
    const int frag_row = hop::fragment_row(thread);
    const int rho = hop::cell_row_offset(frag_row);
    const int gamma = hop::cell_col_offset(thread);

    int stage = 0;
    uint32_t phase = 0;
    for (int t = blockIdx.x; t < tiles; t += gridDim.x) {
      const hop::TileCoord tile = hop::persistent_tile(t, tiles_m);
      uint32_t words[hop::kMessageWords];
      clear(accum);
      CUTE_UNROLL
      for (int i = 0; i < Config::kKTiles; ++i) {
        FullBarrier::wait(&full[stage], phase);
        warpgroup_fence_operand(accum);
        warpgroup_arrive();
        CUTE_UNROLL
        for (int kb = 0; kb < size<2>(tCrA); ++kb) {
          gemm(tiled_mma, tCrA(_, _, kb, stage), tCrB(_, _, kb, stage), accum);
        }
        warpgroup_commit_batch();
        warpgroup_wait<0>();
        warpgroup_fence_operand(accum);
        EmptyBarrier::arrive(&empty[stage]);
        words[i] = hop::fold_slice(accum);
        if (++stage == Config::kStages) {
          stage = 0;
          phase ^= 1;
        }
      }
      const int first_row = Config::kRows * tile.row;
      const int R = row_group[first_row] + rho;
      const int C = col_group[Config::kCols * tile.col] + gamma;
      const int index = hop::grid_index(R, C, row_groups, col_groups);
      if (hop::owns_cell(first_row, frag_row, m, index) &&
          hop::message_meets_target(key_words, words, target_words)) {
        atomicCAS(found, -1, index);
      }
    }
  }
#endif
}

}  // namespace QK_BUILD_NS
