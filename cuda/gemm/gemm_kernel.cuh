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
#include "tile_table.h"

namespace QK_BUILD_NS {

// The k-tiles of one tile row of A (or column of B) in a thread's copy
// partition (CPY, CPY_M, CPY_K, tiles, k): (CPY, CPY_M, CPY_K, k).
template <class Source>
__host__ __device__ auto k_tiles_of(const Source& source, int tile) {
  return source(cute::_, cute::_, cute::_, tile, cute::_);
}

// The steps of the k-tile schedule (gemm_schedule.h) as the GPU runs them.
template <bool kFused, bool kStore, class Parts, class Form, class Storage, class SourceA,
          class SourceB>
struct GemmSteps {
  quorl::gemm::GemmThread<Parts>& me;
  Storage& smem;
  SourceA source_a;  // the thread's pieces of A's k-tiles, (CPY, CPY_M, CPY_K, tiles_m, k)
  SourceB source_b;  // of B's, (CPY, CPY_N, CPY_K, tiles_n, k)
  quorl::gemm::CtaTiles walk;
  int tiles_m;
  const int32_t* row_group;
  const int32_t* col_group;
  quorl::gemm::GemmEpilogue out;
  quorl::gemm::TileBase base{};  // of the tile being multiplied
  // The k-tiles of the tile being copied (the next one near a tile's end),
  // (CPY, CPY_M, CPY_K, k) and (CPY, CPY_N, CPY_K, k), sliced once a tile
  // so the copies of a k-tile do no division.
  int copied = -1;
  decltype(k_tiles_of(source_a, 0)) copied_a = k_tiles_of(source_a, 0);
  decltype(k_tiles_of(source_b, 0)) copied_b = k_tiles_of(source_b, 0);

  __device__ quorl::gemm::TileCoord tile_at(int n) const {
    return quorl::gemm::nth_tile<Form::standard_grid>(walk, n, blockIdx.x, blockIdx.y, tiles_m);
  }

  // Copies k-tile `k_tile` of the CTA's n-th tile (the next one near a
  // tile's end) into `stage`.
  __device__ void load_stage(int n, int k_tile, int stage) {
    using namespace cute;
    if (n != copied) {
      const quorl::gemm::TileCoord tile = tile_at(n);
      copied = n;
      copied_a = k_tiles_of(source_a, tile.row);
      copied_b = k_tiles_of(source_b, tile.col);
    }
    copy(typename Parts::CopyA{}, copied_a(_, _, _, k_tile), me.copy_dest_a()(_, _, _, stage));
    copy(typename Parts::CopyB{}, copied_b(_, _, _, k_tile), me.copy_dest_b()(_, _, _, stage));
    cute::cp_async_fence();
  }
  __device__ void skip_stage() { cute::cp_async_fence(); }  // an empty group
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
    quorl::gemm::fold_slice<Form>(me.acc, me.acc_coords(), me.thread, slice, row_labels(),
                                  col_labels(), smem.table);
  }

  __device__ void begin_tile(int n) {
    const quorl::gemm::TileCoord tile = tile_at(n);
    base = quorl::gemm::tile_base<Form>(tile, row_group, col_group);
    quorl::gemm::start_tile_table<Form>(me.thread, tile, base, row_group, col_group, smem.table,
                                        row_labels(), col_labels());
    cute::clear(me.acc);
  }
  __device__ void finish_tile(int) {
    quorl::gemm::finish_tile_slots<Form, kFused, kStore>(me.thread, smem.table, base, out);
  }

 private:
  __device__ int32_t* row_labels() {
    if constexpr (Form::standard_grid) return nullptr;
    else return smem.row_labels;
  }
  __device__ int32_t* col_labels() {
    if constexpr (Form::standard_grid) return nullptr;
    else return smem.col_labels;
  }
};

template <bool kFused, bool kStore, class Form, class ProblemShape, class CtaTiler, class AStride,
          class ASmemLayout, class TiledCopyA, class S2RAtomA, class BStride, class BSmemLayout,
          class TiledCopyB, class S2RAtomB, class TiledMma>
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
  using Storage = g::GemmSharedStorage<ASmemLayout, BSmemLayout, !Form::standard_grid>;
  static_assert(size(TiledMma{}) == g::kThreads && size(TiledCopyA{}) == g::kThreads &&
                    size(TiledCopyB{}) == g::kThreads,
                "every thread of the block multiplies and copies");
  static_assert(size<0>(ASmemLayout{}) == size<0>(CtaTiler{}) &&
                    size<0>(BSmemLayout{}) == size<1>(CtaTiler{}) &&
                    size<1>(ASmemLayout{}) == size<2>(CtaTiler{}) &&
                    size<1>(BSmemLayout{}) == size<2>(CtaTiler{}),
                "each stage holds one (BM, BK) and one (BN, BK) k-tile");
  (void)sA_layout, (void)sB_layout;

  extern __shared__ __align__(128) unsigned char gemm_smem[];
  Storage& smem = *reinterpret_cast<Storage*>(gemm_smem);

  Tensor mA = make_tensor(make_gmem_ptr(A), select<0, 2>(shape_mnk), dA);  // (M, K)
  Tensor mB = make_tensor(make_gmem_ptr(B), select<1, 2>(shape_mnk), dB);  // (N, K)
  Tensor gA = g::a_tiles(mA, cta_tiler);  // (BM, BK, tiles_m, k)
  Tensor gB = g::b_tiles(mB, cta_tiler);  // (BN, BK, tiles_n, k)

  g::GemmThread<Parts> me(threadIdx.x, smem.a.data(), smem.b.data());
  auto source_a = me.copy_source_a(gA);  // (CPY, CPY_M, CPY_K, tiles_m, k)
  auto source_b = me.copy_source_b(gB);  // (CPY, CPY_N, CPY_K, tiles_n, k)

  // sm120a walks the tiles persistently, column by column, so CTAs running
  // together share the B tile; the label-driven builds run one tile per CTA.
  const int tiles_m = int(size<2>(gA));
  const int tiles_n = int(size<2>(gB));
  const g::CtaTiles walk = g::cta_tiles<Form::standard_grid>(blockIdx.x, gridDim.x, tiles_m, tiles_n);
  const g::GemmEpilogue out{xored, key, target, found, k_blocks, row_groups, col_groups};
  GemmSteps<kFused, kStore, Parts, Form, Storage, decltype(source_a), decltype(source_b)> steps{
      me, smem, source_a, source_b, walk, tiles_m, row_group, col_group, out};
  g::run_tiles<Form::walk>(steps, walk.count(), int(size<3>(gA)));
}

}  // namespace QK_BUILD_NS
