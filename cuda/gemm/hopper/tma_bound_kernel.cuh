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
#include "../../search/grid_dependency.h"
#include "cell_fold.h"
#include "engine_config.h"
#include "engine_partition.h"
#include "tma_ring_schedule.h"

namespace QK_BUILD_NS {

using TmaFullBarrier = cutlass::arch::ClusterTransactionBarrier;
using TmaEmptyBarrier = cutlass::arch::ClusterBarrier;

// The producer's steps of the ring schedule (tma_ring_schedule.h): one
// thread arms a stage's full barrier with the bytes it expects and issues
// the stage's two TMA loads. Once it starts the CTA's last tile, the CTA has
// taken all its work: the kernel queued next may start as SMs free up.
template <class TmaA, class TmaB, class BoxesA, class StagesA, class BoxesB, class StagesB>
struct TmaProducer {
  const TmaA& tma_a;
  const TmaB& tma_b;
  BoxesA boxes_a;    // (TMA, tile row, k-tile)
  StagesA stages_a;  // (TMA, stage)
  BoxesB boxes_b;    // (TMA, tile column, k-tile)
  StagesB stages_b;
  uint64_t* full;
  uint64_t* empty;

  __device__ void wait_empty(int stage, uint32_t parity) {
    TmaEmptyBarrier::wait(&empty[stage], parity);
  }
  __device__ void begin_last_tile() { quorl::search::allow_dependent_grid(); }
  __device__ void load(int stage, int a_box, int b_box, int ktile) {
    using namespace cute;
    TmaFullBarrier::arrive_and_expect_tx(&full[stage], quorl::hopper::TmaBoundConfig::kStageBytes);
    copy(tma_a.with(full[stage], 0, TMA::CacheHintSm90::EVICT_NORMAL), boxes_a(_, a_box, ktile),
         stages_a(_, stage));
    copy(tma_b.with(full[stage], 0, TMA::CacheHintSm90::EVICT_NORMAL), boxes_b(_, b_box, ktile),
         stages_b(_, stage));
  }
};

// A consumer thread's steps: multiply a full stage, release it once its
// MMAs are done, fold the slice into its message word; at the end of a tile
// hash its cell and report it if it meets the target.
template <class Thread, class TiledMma>
struct TmaConsumer {
  Thread& me;
  TiledMma tiled_mma;
  uint64_t* full;
  uint64_t* empty;
  const int32_t* row_group;
  const int32_t* col_group;
  int32_t* found;
  // Read word by word from the highest, where the comparison almost always
  // ends: eight registers fewer while the next tile's MMAs are in flight.
  const uint32_t* target;
  int m, row_groups, col_groups;
  uint32_t key[8];
  uint32_t words[quorl::hopper::kMessageWords];

  __device__ void begin_tile(quorl::hopper::TileCoord) { cute::clear(me.accum); }
  __device__ void wait_full(int stage, uint32_t parity) {
    TmaFullBarrier::wait(&full[stage], parity);
  }
  // The four 32-deep MMAs of a stage, (MMA, 1, k-block) of A and B, into
  // the 64 x 256 accumulators; asynchronous until wait_mma.
  __device__ void issue_mma(int stage) {
    using namespace cute;
    warpgroup_fence_operand(me.accum);
    warpgroup_arrive();
    CUTE_UNROLL
    for (int kb = 0; kb < size<2>(me.frag_a); ++kb) {
      gemm(tiled_mma, me.frag_a(_, _, kb, stage), me.frag_b(_, _, kb, stage), me.accum);
    }
    warpgroup_commit_batch();
  }
  __device__ void wait_mma() {
    cute::warpgroup_wait<0>();
    cute::warpgroup_fence_operand(me.accum);
  }
  __device__ void release(int stage) { TmaEmptyBarrier::arrive(&empty[stage]); }
  __device__ void fold(int slice) { words[slice] = quorl::hopper::fold_slice(me.accum); }
  __device__ void finish_tile(quorl::hopper::TileCoord tile) {
    namespace hop = quorl::hopper;
    using Config = hop::TmaBoundConfig;
    const int frag_row = hop::fragment_row(me.thread);
    const int first_row = Config::kRows * tile.row;
    const int R = row_group[first_row] + hop::cell_row_offset(frag_row);
    const int C = col_group[Config::kCols * tile.col] + hop::cell_col_offset(me.thread);
    const int index = hop::grid_index(R, C, row_groups, col_groups);
    if (hop::owns_cell(first_row, frag_row, m, index) &&
        hop::message_meets_target(key, words, target)) {
      atomicCAS(found, -1, index);
    }
  }
};

template <quorl::gemm::TileWalk kWalk, class GmemLayoutA, class GmemLayoutB, class TmaA,
          class TmaB, class SmemLayoutA, class SmemLayoutB, class TiledMma>
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
  static_assert(size(TiledMma{}) == Config::kConsumerThreads,
                "the consumer warp groups are the tiled MMA");
  static_assert(cosize_v<SmemLayoutA> == cosize_v<typename Config::SmemLayoutA> &&
                    cosize_v<SmemLayoutB> == cosize_v<typename Config::SmemLayoutB>,
                "the ring the kernel is given is the ring its storage holds");

  extern __shared__ __align__(1024) int8_t tma_ring_smem[];
  auto& smem = *reinterpret_cast<typename Config::SharedStorage*>(tma_ring_smem);

  // Launched with programmatic stream serialization: whatever the previous
  // kernel on the stream wrote must be visible before A, B or the labels are read.
  quorl::search::wait_for_prior_grids();

  if (threadIdx.x == 0) {
    for (int s = 0; s < Config::kStages; ++s) {
      TmaFullBarrier::init(&smem.full[s], Config::kFullArrivals);
      TmaEmptyBarrier::init(&smem.empty[s], Config::kEmptyArrivals);
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
      Tensor sA = make_tensor(make_smem_ptr(smem.a.data()), SmemLayoutA{});  // (128, 128, 4)
      Tensor sB = make_tensor(make_smem_ptr(smem.b.data()), SmemLayoutB{});  // (256, 128, 4)
      // (TMA, tiles_m, 16) and (TMA, 4); (TMA, tiles_n, 16) and (TMA, 4)
      auto [boxes_a, stages_a] =
          hop::tma_stage_partition<Config::kRows, Config::kDepth, Config::kKTiles>(tma_a, gmem_a,
                                                                                   sA);
      auto [boxes_b, stages_b] =
          hop::tma_stage_partition<Config::kCols, Config::kDepth, Config::kKTiles>(tma_b, gmem_b,
                                                                                   sB);
      TmaProducer<TmaA, TmaB, decltype(boxes_a), decltype(stages_a), decltype(boxes_b),
                  decltype(stages_b)>
          producer{tma_a, tma_b, boxes_a, stages_a, boxes_b, stages_b, smem.full, smem.empty};
      hop::produce_tiles(producer, blockIdx.x, gridDim.x, tiles_m, tiles);
    }
  } else {
    cutlass::arch::warpgroup_reg_alloc<Config::kConsumerRegs>();
    using Thread = hop::GmmaThread<TiledMma, SmemLayoutA, SmemLayoutB, Config::kRows>;
    Thread me(threadIdx.x - Config::kProducerThreads, smem.a.data(), smem.b.data());
    TmaConsumer<Thread, TiledMma> consumer{me,    tiled_mma, smem.full,  smem.empty, row_group,
                                           col_group, found, target, m, row_groups, col_groups};
    CUTE_UNROLL
    for (int i = 0; i < 8; ++i) consumer.key[i] = __ldg(key + i);
    hop::consume_tiles<kWalk>(consumer, blockIdx.x, gridDim.x, tiles_m, tiles);
  }
#elif defined(__CUDA_ARCH__)
  // wgmma and the TMA exist only in sm_90a code: a device that runs this
  // build's compute_90 PTX must fail loudly rather than report no share.
  __trap();
#endif
}

}  // namespace QK_BUILD_NS
