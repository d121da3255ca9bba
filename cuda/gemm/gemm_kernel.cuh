// gemm_g: the int8 tensor-core GEMM that never stores its product. Every 128
// values of k it folds the running int32 dot products into a per-tile digest
// table of hash-grid cell messages; its epilogue hashes them against the
// target (kFused), stores them to `xored` (kStore) or drops them.
#pragma once

#include <cute/tensor.hpp>

#include "../common/build_name.h"
#include "gemm_config.h"
#include "gemm_partition.h"
#include "gemm_schedule.h"

namespace QK_BUILD_NS {

// The steps of the k-tile schedule (gemm_schedule.h) as the GPU runs them.
template <class Parts, bool kStandardGrid, class SourceA, class SourceB>
struct GemmSteps {
  quorl::gemm::GemmThread<Parts>& me;
  SourceA source_a;  // the thread's pieces of A's k-tiles (CPY, CPY_M, CPY_K, k)
  SourceB source_b;
  const int32_t* row_labels;
  const int32_t* col_labels;
  uint32_t* table;

  __device__ void load_stage(int k_tile, int stage) {
    using namespace cute;
    copy(typename Parts::CopyA{}, source_a(_, _, _, k_tile), me.copy_dest_a()(_, _, _, stage));
    copy(typename Parts::CopyB{}, source_b(_, _, _, k_tile), me.copy_dest_b()(_, _, _, stage));
    cp_async_fence();
  }
  template <int pending>
  __device__ void wait_copies() {
    cute::cp_async_wait<pending>();
  }
  __device__ void barrier() { __syncthreads(); }
  __device__ void load_fragments(int stage, int k_step) {
    using namespace cute;
    copy(me.load_copy_a(), me.load_source_a()(_, _, k_step, stage), me.load_dest_a()(_, _, k_step));
    copy(me.load_copy_b(), me.load_source_b()(_, _, k_step, stage), me.load_dest_b()(_, _, k_step));
  }
  __device__ void multiply(int k_step) {
    using namespace cute;
    gemm(typename Parts::TiledMma{}, me.frag_a(_, _, k_step), me.frag_b(_, _, k_step), me.acc);
  }
  __device__ void fold(int slice) {
    quorl::gemm::fold_slice<kStandardGrid>(me.acc, me.acc_coords(), me.thread, slice, row_labels,
                                           col_labels, table);
  }
};

template <bool kFused, bool kStore, bool kStandardGrid, class ProblemShape, class CtaTiler,
          class AStride, class ASmemLayout, class TiledCopyA, class S2RAtomA, class BStride,
          class BSmemLayout, class TiledCopyB, class S2RAtomB, class TiledMma>
__global__ __launch_bounds__(quorl::gemm::kThreads) void gemm_g(
    ProblemShape shape_mnk, CtaTiler cta_tiler, const int8_t* A, AStride dA, ASmemLayout sA_layout,
    TiledCopyA, S2RAtomA, const int8_t* B, BStride dB, BSmemLayout sB_layout, TiledCopyB, S2RAtomB,
    TiledMma, uint32_t* xored, const int32_t* row_group, const int32_t* col_group,
    const uint32_t* key, const uint32_t* target, int32_t* found, int /*slice_width: always 128*/,
    int k_blocks, int row_groups, int col_groups) {
  using namespace cute;
  namespace g = quorl::gemm;
  using Parts = g::GemmParts<CtaTiler, ASmemLayout, BSmemLayout, TiledCopyA, TiledCopyB, S2RAtomA,
                             S2RAtomB, TiledMma>;

  extern __shared__ __align__(128) unsigned char smem[];
  int8_t* smem_a = reinterpret_cast<int8_t*>(smem);
  int8_t* smem_b = smem_a + cosize(sA_layout);
  uint32_t* table = reinterpret_cast<uint32_t*>(smem_b + cosize(sB_layout));
  int32_t* row_labels = reinterpret_cast<int32_t*>(table + g::kTableWords);
  int32_t* col_labels = row_labels + g::kTileM;

  Tensor mA = make_tensor(make_gmem_ptr(A), select<0, 2>(shape_mnk), dA);  // (M, K)
  Tensor mB = make_tensor(make_gmem_ptr(B), select<1, 2>(shape_mnk), dB);  // (N, K)

  const int thread = threadIdx.x;
  g::GemmThread<Parts> me(thread, smem_a, smem_b);

  // sm120a walks the tiles persistently, column by column, so CTAs running
  // together share the B tile; the label-driven builds run one tile per CTA.
  const int tiles_m = (int(get<0>(shape_mnk)) + g::kTileM - 1) / g::kTileM;
  const int tiles_n = (int(get<1>(shape_mnk)) + g::kTileN - 1) / g::kTileN;
  const g::CtaTiles walk = g::cta_tiles<kStandardGrid>(blockIdx.x, gridDim.x, tiles_m, tiles_n);
  for (int t = walk.first; t < walk.end; t += walk.step) {
    const g::TileCoord tile = g::cta_tile<kStandardGrid>(t, blockIdx.x, blockIdx.y, tiles_m);
    const int tr = tile.row, tc = tile.col;

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

    Tensor gA = g::a_k_tiles(mA, cta_tiler, tr, tc);  // (BM, BK, k)
    Tensor gB = g::b_k_tiles(mB, cta_tiler, tr, tc);  // (BN, BK, k)
    auto source_a = me.copy_source_a(gA);
    auto source_b = me.copy_source_b(gB);
    GemmSteps<Parts, kStandardGrid, decltype(source_a), decltype(source_b)> steps{
        me, source_a, source_b, row_labels, col_labels, table};
    clear(me.acc);
    g::run_k_tiles(steps, int(size<3>(source_a)));

    for (int slot = thread; slot < g::kSlots; slot += g::kThreads) {
      g::finish_slot<kFused, kStore>(slot, table + slot * g::kMessageWords, base_row, base_col,
                                     k_blocks, row_groups, col_groups, xored, key, target, found);
    }
    __syncthreads();  // the next tile reuses the table and the labels
  }
}

}  // namespace QK_BUILD_NS
