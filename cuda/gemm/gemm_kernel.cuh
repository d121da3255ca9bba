// gemm_g: the int8 tensor-core GEMM that never stores its product. Every 128
// values of k it folds the running int32 dot products into a per-tile digest
// table of hash-grid cell messages; its epilogue hashes them against the
// target (kFused), stores them to `xored` (kStore) or drops them.
#pragma once

#include <cute/tensor.hpp>

#include "../common/build_name.h"
#include "gemm_config.h"

namespace QK_BUILD_NS {

template <bool kFused, bool kStore, bool kStandardGrid, class ProblemShape, class CtaTiler,
          class AStride, class ASmemLayout, class TiledCopyA, class S2RAtomA, class BStride,
          class BSmemLayout, class TiledCopyB, class S2RAtomB, class TiledMma>
__global__ __launch_bounds__(quorl::gemm::kThreads) void gemm_g(
    ProblemShape shape_mnk, CtaTiler cta_tiler, const int8_t* A, AStride dA,
    ASmemLayout sA_layout, TiledCopyA copy_a, S2RAtomA s2r_atom_a, const int8_t* B, BStride dB,
    BSmemLayout sB_layout, TiledCopyB copy_b, S2RAtomB s2r_atom_b, TiledMma mma,
    uint32_t* xored, const int32_t* row_group, const int32_t* col_group, const uint32_t* key,
    const uint32_t* target, int32_t* found, int /*slice_width: always 128*/, int k_blocks,
    int row_groups, int col_groups) {
  using namespace cute;
  namespace g = quorl::gemm;

  extern __shared__ __align__(128) unsigned char smem[];
  int8_t* smem_a = reinterpret_cast<int8_t*>(smem);
  int8_t* smem_b = smem_a + cosize(sA_layout);
  uint32_t* table = reinterpret_cast<uint32_t*>(smem_b + cosize(sB_layout));
  int32_t* row_labels = reinterpret_cast<int32_t*>(table + g::kTableWords);
  int32_t* col_labels = row_labels + g::kTileM;

  Tensor mA = make_tensor(make_gmem_ptr(A), select<0, 2>(shape_mnk), dA);  // (M, K)
  Tensor mB = make_tensor(make_gmem_ptr(B), select<1, 2>(shape_mnk), dB);  // (N, K)
  Tensor sA = make_tensor(make_smem_ptr(smem_a), sA_layout);               // (BM, BK, PIPE)
  Tensor sB = make_tensor(make_smem_ptr(smem_b), sB_layout);               // (BN, BK, PIPE)

  const int thread = threadIdx.x;
  ThrCopy thr_copy_a = copy_a.get_slice(thread);
  ThrCopy thr_copy_b = copy_b.get_slice(thread);
  Tensor tAsA = thr_copy_a.partition_D(sA);
  Tensor tBsB = thr_copy_b.partition_D(sB);

  ThrMMA thr_mma = mma.get_slice(thread);
  Tensor tCrA = thr_mma.partition_fragment_A(sA(_, _, 0));  // (MMA, MMA_M, MMA_K)
  Tensor tCrB = thr_mma.partition_fragment_B(sB(_, _, 0));  // (MMA, MMA_N, MMA_K)
  Tensor acc = partition_fragment_C(mma, select<0, 1>(cta_tiler));  // (MMA, MMA_M, MMA_N)
  Tensor tCcC = thr_mma.partition_C(make_identity_tensor(select<0, 1>(cta_tiler)));

  auto s2r_copy_a = make_tiled_copy_A(s2r_atom_a, mma);
  auto s2r_copy_b = make_tiled_copy_B(s2r_atom_b, mma);
  ThrCopy s2r_thr_a = s2r_copy_a.get_slice(thread);
  ThrCopy s2r_thr_b = s2r_copy_b.get_slice(thread);
  Tensor tXsA = s2r_thr_a.partition_S(sA);  // (CPY, MMA_M, MMA_K, PIPE)
  Tensor tXrA = s2r_thr_a.retile_D(tCrA);
  Tensor tXsB = s2r_thr_b.partition_S(sB);
  Tensor tXrB = s2r_thr_b.retile_D(tCrB);
  constexpr int k_steps = size<2>(tCrA);  // 32-wide k-steps per k-tile

  // sm120a walks the tiles persistently, column by column, so CTAs running
  // together share the B tile; the label-driven builds run one tile per CTA.
  const int tiles_m = (int(get<0>(shape_mnk)) + g::kTileM - 1) / g::kTileM;
  const int tiles_n = (int(get<1>(shape_mnk)) + g::kTileN - 1) / g::kTileN;
  const int tile_end = kStandardGrid ? tiles_m * tiles_n : 1;
  const int tile_step = kStandardGrid ? int(gridDim.x) : 1;
  for (int tile = kStandardGrid ? int(blockIdx.x) : 0; tile < tile_end; tile += tile_step) {
    const int tr = kStandardGrid ? tile % tiles_m : int(blockIdx.x);
    const int tc = kStandardGrid ? tile / tiles_m : int(blockIdx.y);

    int32_t base_row, base_col;
    if constexpr (kStandardGrid) {
      base_row = g::kSlotRows * tr;
      base_col = g::kSlotCols * tc;
    } else {
      base_row = row_group[g::kTileM * tr];
      base_col = col_group[g::kTileN * tc];
      if (thread < g::kTileM) {
        row_labels[thread] = g::relative_label(row_group[g::kTileM * tr + thread], base_row);
      }
      col_labels[thread] = g::relative_label(col_group[g::kTileN * tc + thread], base_col);
    }
    for (int w = thread; w < g::kTableWords; w += g::kThreads) table[w] = 0;

    Tensor gA = local_tile(mA, cta_tiler, make_coord(tr, tc, _), Step<_1, X, _1>{});
    Tensor gB = local_tile(mB, cta_tiler, make_coord(tr, tc, _), Step<X, _1, _1>{});
    Tensor tAgA = thr_copy_a.partition_S(gA);  // (CPY, CPY_M, CPY_K, k)
    Tensor tBgB = thr_copy_b.partition_S(gB);
    const int k_tiles = size<3>(tAgA);

    auto load_stage = [&](int k_tile, int stage) {
      copy(copy_a, tAgA(_, _, _, k_tile), tAsA(_, _, _, stage));
      copy(copy_b, tBgB(_, _, _, k_tile), tBsB(_, _, _, stage));
      cp_async_fence();
    };
    // Two k-tiles in flight; past the end the last one is loaded again so
    // every iteration commits one group.
    load_stage(0, 0);
    load_stage(min(1, k_tiles - 1), 1);
    clear(acc);

    for (int j = 0; j < k_tiles; ++j) {
      cp_async_wait<1>();
      __syncthreads();
      const int stage = j % g::kStages;
      CUTE_UNROLL
      for (int ks = 0; ks < k_steps; ++ks) {
        copy(s2r_copy_a, tXsA(_, _, ks, stage), tXrA(_, _, ks));
        copy(s2r_copy_b, tXsB(_, _, ks, stage), tXrB(_, _, ks));
        if (ks == 0) load_stage(min(j + 2, k_tiles - 1), (j + 2) % g::kStages);
        gemm(mma, tCrA(_, _, ks), tCrB(_, _, ks), acc);
      }
      const int slice = j >> 1;  // two k-tiles per 128-wide slice
      if ((j & 1) && slice < g::kMessageWords) {
        g::fold_slice<kStandardGrid>(acc, tCcC, thread, slice, row_labels, col_labels, table);
      }
    }
    cp_async_wait<0>();
    __syncthreads();

    for (int t = thread; t < g::kSlots; t += g::kThreads) {
      g::finish_slot<kFused, kStore>(t, table + t * g::kMessageWords, base_row, base_col,
                                     k_blocks, row_groups, col_groups, xored, key, target, found);
    }
    __syncthreads();  // the next tile reuses the table and the labels
  }
}

}  // namespace QK_BUILD_NS
