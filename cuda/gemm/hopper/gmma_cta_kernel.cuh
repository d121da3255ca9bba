// gemm_gmma_cta_g: one CTA per 192 x 256 tile, three consumer warp groups,
// 64-deep k-tiles copied with 16-byte cp.async into two stages. The store
// flavour writes each cell's word s to `xored` as soon as slice s is done;
// the compute-only flavour runs the same loop and keeps nothing.
#pragma once

#include <cute/tensor.hpp>
#include <cutlass/arch/barrier.h>

#include <cute/arch/copy_sm80.hpp>

#include "../../common/build_name.h"
#include "cell_fold.h"
#include "engine_config.h"
#include "engine_partition.h"
#include "gmma_cta_schedule.h"

namespace QK_BUILD_NS {

// The steps of the k-tile schedule (gmma_cta_schedule.h) as the GPU runs them.
template <bool store, class Thread, class CopyA, class CopyB, class TiledMma>
struct GmmaCtaSteps {
  using Config = quorl::hopper::GmmaCtaConfig;
  Thread& me;
  TiledMma tiled_mma;
  const int8_t* A;
  const int8_t* B;
  int64_t lda, ldb;
  int first_row, first_col, m, n;
  int8_t* stages_a;
  int8_t* stages_b;
  // Store flavour: the thread's cell, whether it owns it, the slices stored.
  uint32_t* xored;
  int cell_R, cell_C, row_groups, col_groups, slices;
  bool owns_cell;

  template <int rows, class CopyOp>
  __device__ void copy_operand(const int8_t* matrix, int64_t stride, int first, int limit,
                               int ktile, int8_t* stage) {
    using Piece = cute::uint128_t;
    quorl::hopper::copy_stage<rows>(threadIdx.x, stride, first, limit, ktile,
                                    [&](int64_t source, int dest, bool inside) {
                                      CopyOp::copy(*reinterpret_cast<const Piece*>(matrix + source),
                                                   *reinterpret_cast<Piece*>(stage + dest), inside);
                                    });
  }
  __device__ void load_k_tile(int ktile, int stage) {
    copy_operand<Config::kRows, CopyA>(A, lda, first_row, m, ktile,
                                       stages_a + stage * Config::kStageBytesA);
    copy_operand<Config::kCols, CopyB>(B, ldb, first_col, n, ktile,
                                       stages_b + stage * Config::kStageBytesB);
    cute::cp_async_fence();
  }
  // cp.async writes through the generic proxy and wgmma reads through the
  // async proxy: each thread fences its own copies before the barrier.
  __device__ void publish_copies() {
    cute::cp_async_wait<0>();
    cutlass::arch::fence_view_async_shared();
    __syncthreads();
  }
  __device__ void multiply(int stage) {
    using namespace cute;
    warpgroup_fence_operand(me.accum);
    warpgroup_arrive();
    CUTE_UNROLL
    for (int kb = 0; kb < size<2>(me.frag_a); ++kb) {
      gemm(tiled_mma, me.frag_a(_, _, kb, stage), me.frag_b(_, _, kb, stage), me.accum);
    }
    warpgroup_commit_batch();
  }
  template <int pending>
  __device__ void wait_mma() {
    cute::warpgroup_wait<pending>();
  }
  __device__ void barrier() { __syncthreads(); }
  __device__ void fold(int s) {
    cute::warpgroup_fence_operand(me.accum);
    if constexpr (store) {
      const uint32_t word = quorl::hopper::fold_slice(me.accum);
      if (owns_cell && s < slices) {
        xored[quorl::hopper::xored_entry(s, cell_R, cell_C, row_groups, col_groups)] = word;
      }
    }
  }
};

template <bool fused, bool store, class ProblemShape, class CtaTile, class StrideA,
          class SmemLayoutA, class CopyA, class StrideB, class SmemLayoutB, class CopyB,
          class TiledMma>
__global__ void __launch_bounds__(quorl::hopper::GmmaCtaConfig::kThreads, 1)
    gemm_gmma_cta_g(ProblemShape shape_mnk, CtaTile, const int8_t* A, StrideA stride_a, SmemLayoutA,
                    CopyA, const int8_t* B, StrideB stride_b, SmemLayoutB, CopyB,
                    TiledMma tiled_mma, uint32_t* xored, const int32_t* row_group,
                    const int32_t* col_group, const uint32_t*, const uint32_t*, int32_t*,
                    int k_blocks, int row_groups, int col_groups) {
  static_assert(!fused, "the fused bound of this build is gemm_hopper_tma_bound_g");
#if defined(__CUDA_ARCH_FEAT_SM90_ALL)
  using namespace cute;
  using Config = quorl::hopper::GmmaCtaConfig;
  namespace hop = quorl::hopper;
  using Thread = hop::GmmaThread<TiledMma, SmemLayoutA, SmemLayoutB, Config::kRows>;
  static_assert(size(TiledMma{}) == Config::kThreads, "every thread multiplies");
  static_assert(cosize_v<SmemLayoutA> == cosize_v<typename Config::SmemLayoutA> &&
                    cosize_v<SmemLayoutB> == cosize_v<typename Config::SmemLayoutB>,
                "the stages the kernel is given are the stages its storage holds");

  const int m = get<0>(shape_mnk);
  const int n = get<1>(shape_mnk);
  const int k = get<2>(shape_mnk);
  const int first_row = Config::kRows * blockIdx.x;
  const int first_col = Config::kCols * blockIdx.y;

  extern __shared__ __align__(1024) int8_t gmma_cta_smem[];
  auto& smem = *reinterpret_cast<typename Config::SharedStorage*>(gmma_cta_smem);
  int8_t* stages_a = smem.a.data();  // (192, 64, 2)
  int8_t* stages_b = smem.b.data();  // (256, 64, 2)
  Thread me(threadIdx.x, stages_a, stages_b);

  GmmaCtaSteps<store, Thread, CopyA, CopyB, TiledMma> steps{
      me, tiled_mma, A, B, int64_t(get<0>(stride_a)), int64_t(get<0>(stride_b)), first_row,
      first_col, m, n, stages_a, stages_b, xored};
  if constexpr (store) {
    // The thread's cell and whether it lies inside the matrix and the grid.
    const int frag_row = hop::fragment_row(threadIdx.x);
    steps.cell_R = row_group[first_row] + hop::cell_row_offset(frag_row);
    steps.cell_C = col_group[first_col] + hop::cell_col_offset(threadIdx.x);
    steps.row_groups = row_groups;
    steps.col_groups = col_groups;
    steps.slices = k_blocks < hop::kMessageWords ? k_blocks : hop::kMessageWords;
    steps.owns_cell =
        hop::owns_cell(first_row, frag_row, m,
                       hop::grid_index(steps.cell_R, steps.cell_C, row_groups, col_groups));
  }
  clear(me.accum);
  hop::run_gmma_cta_k_tiles(steps, (k + Config::kDepth - 1) / Config::kDepth);
  if constexpr (!store) {
    // The compiler drops MMAs whose products nobody reads; this store, which
    // never happens, keeps the compute-only flavour multiplying.
    warpgroup_fence_operand(me.accum);
    if (k_blocks < 0) reinterpret_cast<uint32_t*>(stages_a)[threadIdx.x] = hop::fold_slice(me.accum);
  }
#elif defined(__CUDA_ARCH__)
  // wgmma exists only in sm_90a code: a device that runs this build's
  // compute_90 PTX must fail loudly rather than report no share.
  __trap();
#endif
}

}  // namespace QK_BUILD_NS
