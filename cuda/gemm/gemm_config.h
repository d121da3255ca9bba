// The CuTe configuration of the int8 GEMM: a 128 x 256 x 64 CTA tile, three
// swizzled shared stages, 16-byte asynchronous copies, ldmatrix loads and the
// m16n8k32 int8 tensor-core MMA on 8 warps. Host code (launcher, tests) sees
// the very types the kernel is built from.
#pragma once

// cute/tensor.hpp first: the atom headers rely on what it declares.
#include <cute/tensor.hpp>
#include <cute/atom/copy_atom.hpp>
#include <cute/atom/mma_atom.hpp>

#include "digest_table.h"
#include "gemm_schedule.h"

namespace quorl::gemm {

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 64;
constexpr int kStages = 3;
constexpr int kThreads = 256;
static_assert(kStages == MainloopShape::kStages && kTileK == MainloopShape::kTileDepth &&
                  kTileK == 32 * MainloopShape::kKSteps,
              "the k-tile schedule walks these stages and k-tiles");

// `AtomLayout` places the 8 warps: (4, 2, 1) tiles the CTA as 2 row blocks
// 64 apart by 16 column blocks 16 apart, so each thread's accumulators of one
// row block are one label-driven fold group; (2, 4, 1) gives 4 row blocks 32
// apart by 8 column blocks 32 apart, so each row block is a quarter of one
// standard cell.
template <class AtomLayout, bool kStandardGrid>
struct GemmConfig {
  static constexpr bool standard_grid = kStandardGrid;

  using Tile = cute::Shape<cute::Int<kTileM>, cute::Int<kTileN>, cute::Int<kTileK>>;

  // 64-byte K rows; Swizzle<2, 4, 3> turns byte offset o into
  // o ^ ((o >> 3) & 0x30), so ldmatrix rows hit distinct banks.
  using SmemAtom = decltype(cute::composition(
      cute::Swizzle<2, 4, 3>{},
      cute::Layout<cute::Shape<cute::_8, cute::Int<kTileK>>, cute::Stride<cute::Int<kTileK>, cute::_1>>{}));
  using SmemLayoutA = decltype(cute::tile_to_shape(
      SmemAtom{}, cute::Shape<cute::Int<kTileM>, cute::Int<kTileK>, cute::Int<kStages>>{}));
  using SmemLayoutB = decltype(cute::tile_to_shape(
      SmemAtom{}, cute::Shape<cute::Int<kTileN>, cute::Int<kTileK>, cute::Int<kStages>>{}));

  // Thread t copies the 16 bytes at row t/4, byte column 16 (t % 4) of a
  // 64-row slab (cp.async.cg with a 128-byte L2 prefetch).
  using GlobalToShared = decltype(cute::make_tiled_copy(
      cute::Copy_Atom<cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, int8_t>{},
      cute::Layout<cute::Shape<cute::_64, cute::_4>, cute::Stride<cute::_4, cute::_1>>{},
      cute::Layout<cute::Shape<cute::_1, cute::_16>>{}));

  using SharedToRegA = cute::Copy_Atom<cute::SM75_U32x4_LDSM_N, int8_t>;
  using SharedToRegB = cute::Copy_Atom<cute::SM75_U32x2_LDSM_N, int8_t>;

  using TiledMma = decltype(cute::make_tiled_mma(
      cute::MMA_Atom<cute::SM80_16x8x32_S32S8S8S32_TN>{}, AtomLayout{}));

  static constexpr int a_stage_bytes = kTileM * kTileK;
  static constexpr int b_stage_bytes = kTileN * kTileK;
  static constexpr int table_bytes = kTableWords * 4;
  // Relative labels of the tile's rows and columns (label-driven grid only).
  static constexpr int label_bytes = kStandardGrid ? 0 : (kTileM + kTileN) * 4;
  static constexpr int smem_bytes =
      kStages * (a_stage_bytes + b_stage_bytes) + table_bytes + label_bytes;
};

using LabelledGemm = GemmConfig<cute::Layout<cute::Shape<cute::_4, cute::_2, cute::_1>>, false>;
using StandardGemm = GemmConfig<cute::Layout<cute::Shape<cute::_2, cute::_4, cute::_1>>, true>;

static_assert(LabelledGemm::smem_bytes == 91648, "sm89/fallback shared memory");
static_assert(StandardGemm::smem_bytes == 90112, "sm120a shared memory");

// Folds slice `slice` of one thread's accumulators into the digest table.
// Row block mi of the fragment is one fold group: its word is the XOR of the
// block's values. `coords` is the thread's partition of the tile's identity
// tensor; element (0, mi, 0) is the group's representative row and column.
template <bool kStandardGrid, class Acc, class Coords>
QK_HD void fold_slice(const Acc& acc, const Coords& coords, int thread, int slice,
                      const int32_t* row_labels, const int32_t* col_labels, uint32_t* table) {
  QK_UNROLL
  for (int mi = 0; mi < cute::size<1>(acc); ++mi) {
    uint32_t word = 0;
    QK_UNROLL
    for (int ni = 0; ni < cute::size<2>(acc); ++ni) {
      QK_UNROLL
      for (int v = 0; v < cute::size<0>(acc); ++v) word ^= uint32_t(acc(v, mi, ni));
    }
    int slot;
    if constexpr (kStandardGrid) {
      slot = standard_slot(mi, thread);
    } else {
      const auto rc = coords(0, mi, 0);
      slot = labelled_slot(row_labels[cute::get<0>(rc)], col_labels[cute::get<1>(rc)]);
    }
    if (slot >= 0) xor_into(&table[slot * kMessageWords + slice], word);
  }
}

}  // namespace quorl::gemm
