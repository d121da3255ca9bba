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

namespace QK_BUILD_NS {

// Copies k-tile `ktile` of `rows` matrix rows starting at `first_row` into one
// stage with `CopyOp` (16-byte cp.async with zero fill): 96 rows x 4 pieces
// per pass of the 384 threads. Rows at or past `limit` are filled with zeros
// and never read.
template <int rows, class CopyOp>
__device__ __forceinline__ void copy_stage(const int8_t* matrix, int stride, int first_row,
                                           int limit, int ktile, int8_t* stage) {
  using Config = quorl::hopper::GmmaCtaConfig;
  using Piece = cute::uint128_t;
  const int row_in_pass = threadIdx.x / 4;
  const int byte = 16 * (threadIdx.x % 4);
  CUTE_UNROLL
  for (int pass = 0; pass < (rows + Config::kCopyRows - 1) / Config::kCopyRows; ++pass) {
    const int row = pass * Config::kCopyRows + row_in_pass;
    if (row < rows) {
      const bool inside = first_row + row < limit;
      const int8_t* src =
          inside ? matrix + int64_t(first_row + row) * stride + Config::kDepth * ktile + byte
                 : matrix;
      // Swizzle<2, 4, 3> moves whole 16-byte pieces, so each piece stays contiguous.
      const int offset = row * Config::kDepth + byte;
      int8_t* dst = stage + (offset ^ ((offset >> 3) & 0x30));
      CopyOp::copy(*reinterpret_cast<const Piece*>(src), *reinterpret_cast<Piece*>(dst), inside);
    }
  }
  cute::cp_async_fence();
}

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

  const int m = get<0>(shape_mnk);
  const int n = get<1>(shape_mnk);
  const int k = get<2>(shape_mnk);
  const int lda = int(get<0>(stride_a));
  const int ldb = int(get<0>(stride_b));
  const int tr = blockIdx.x;
  const int tc = blockIdx.y;
  const int first_row = Config::kRows * tr;
  const int first_col = Config::kCols * tc;

  extern __shared__ __align__(1024) int8_t gmma_cta_smem[];
  int8_t* smem = gmma_cta_smem;
  int8_t* stages_a = smem;
  int8_t* stages_b = smem + Config::kStages * Config::kStageBytesA;
  Tensor sA = make_tensor(make_smem_ptr(stages_a), SmemLayoutA{});  // (192, 64, 2)
  Tensor sB = make_tensor(make_smem_ptr(stages_b), SmemLayoutB{});  // (256, 64, 2)

  ThrMMA thr_mma = tiled_mma.get_thread_slice(threadIdx.x);
  Tensor tCrA = thr_mma.make_fragment_A(thr_mma.partition_A(sA));  // (MMA, 1, 2, stage)
  Tensor tCrB = thr_mma.make_fragment_B(thr_mma.partition_B(sB));  // (MMA, 1, 2, stage)
  Tensor accum = partition_fragment_C(tiled_mma, Shape<Int<Config::kRows>, Int<Config::kCols>>{});

  // The thread's cell and whether it lies inside the matrix and the grid.
  const int frag_row = hop::fragment_row(threadIdx.x);
  int cell_R = 0, cell_C = 0;
  bool owns_cell = false;
  if constexpr (store) {
    cell_R = row_group[first_row] + hop::cell_row_offset(frag_row);
    cell_C = col_group[first_col] + hop::cell_col_offset(threadIdx.x);
    owns_cell = hop::owns_cell(first_row, frag_row, m,
                               hop::grid_index(cell_R, cell_C, row_groups, col_groups));
  }
  const int slices = k_blocks < hop::kMessageWords ? k_blocks : hop::kMessageWords;

  auto load_ktile = [&](int ktile, int stage) {
    copy_stage<Config::kRows, CopyA>(A, lda, first_row, m, ktile,
                                     stages_a + stage * Config::kStageBytesA);
    copy_stage<Config::kCols, CopyB>(B, ldb, first_col, n, ktile,
                                     stages_b + stage * Config::kStageBytesB);
  };
  // cp.async writes through the generic proxy and wgmma reads through the
  // async proxy: each thread fences its own copies before the barrier.
  auto publish_copies = [] {
    cp_async_wait<0>();
    cutlass::arch::fence_view_async_shared();
    __syncthreads();
  };

  load_ktile(0, 0);
  publish_copies();
  clear(accum);

  const int ktiles = (k + Config::kDepth - 1) / Config::kDepth;
  for (int j = 0; j < ktiles; ++j) {
    const int stage = j % Config::kStages;
    warpgroup_fence_operand(accum);
    warpgroup_arrive();
    CUTE_UNROLL
    for (int kb = 0; kb < size<2>(tCrA); ++kb) {
      gemm(tiled_mma, tCrA(_, _, kb, stage), tCrB(_, _, kb, stage), accum);
    }
    warpgroup_commit_batch();
    // Every warp group must be done with k-tile j - 1 before its stage is
    // refilled: B is read by all three, so a warp group's own wait is not enough.
    warpgroup_wait<1>();
    __syncthreads();
    if (j + 1 < ktiles) load_ktile(j + 1, (j + 1) % Config::kStages);
    const bool slice_done = j % 2 == 1;
    if (slice_done) {
      warpgroup_wait<0>();
      warpgroup_fence_operand(accum);
      const int s = (j - 1) / 2;
      if constexpr (store) {
        const uint32_t word = hop::fold_slice(accum);
        if (owns_cell && s < slices) {
          xored[hop::xored_entry(s, cell_R, cell_C, row_groups, col_groups)] = word;
        }
      }
    }
    publish_copies();
  }
  warpgroup_wait<0>();
  if constexpr (!store) {
    // The compiler drops MMAs whose products nobody reads; this store, which
    // never happens, keeps the compute-only flavour multiplying.
    warpgroup_fence_operand(accum);
    if (k_blocks < 0) reinterpret_cast<uint32_t*>(smem)[threadIdx.x] = hop::fold_slice(accum);
  }
#endif
}

}  // namespace QK_BUILD_NS
