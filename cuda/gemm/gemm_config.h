// The CuTe configuration of the int8 GEMM: a 128 x 256 x 64 CTA tile, three
// swizzled shared stages, 16-byte asynchronous copies, ldmatrix loads and the
// m16n8k32 int8 tensor-core MMA on 8 warps, and the shared storage they fill.
// Host code (launcher, tests) sees the very types the kernel is built from.
#pragma once

// cute/tensor.hpp first: the atom headers rely on what it declares.
#include <cute/tensor.hpp>
#include <cute/atom/copy_atom.hpp>
#include <cute/atom/mma_atom.hpp>
#include <cute/container/array_aligned.hpp>

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

// What tells the gemm_g instantiations of one flavour apart: the grid they
// fold into (sm120a's standard grid, or the caller's labels) and the forms
// of two choices whose old forms only the benchmark builds, to time them
// against the new ones in one run.
template <bool kStandardGrid, TableOrder kTable = TableOrder::kSliceMajor,
          TileWalk kWalk = TileWalk::kStreamed>
struct GemmForm {
  static constexpr bool standard_grid = kStandardGrid;
  static constexpr TableOrder table = kTable;
  static constexpr TileWalk walk = kWalk;
};

// `AtomLayout` places the 8 warps: (4, 2, 1) tiles the CTA as 2 row blocks
// 64 apart by 16 column blocks 16 apart, so each thread's accumulators of one
// row block are one label-driven fold group; (2, 4, 1) gives 4 row blocks 32
// apart by 8 column blocks 32 apart, so each row block is a quarter of one
// standard cell.
template <class AtomLayout, class Form_>
struct GemmConfig {
  using Form = Form_;
  static constexpr bool standard_grid = Form::standard_grid;

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

  // The layouts agree with the tile and with each other: the stages hold
  // (BM, BK) and (BN, BK) per stage, the copy and the MMA each take the
  // block's every thread, and their tiles divide the CTA tile.
  static_assert(cute::size(TiledMma{}) == kThreads, "every thread multiplies");
  static_assert(cute::size(GlobalToShared{}) == kThreads, "every thread copies");
  static_assert(cute::size<0>(SmemLayoutA{}) == kTileM && cute::size<0>(SmemLayoutB{}) == kTileN &&
                    cute::size<1>(SmemLayoutA{}) == kTileK && cute::size<1>(SmemLayoutB{}) == kTileK &&
                    cute::size<2>(SmemLayoutA{}) == kStages && cute::size<2>(SmemLayoutB{}) == kStages,
                "stages of (BM, BK) and (BN, BK)");
  static_assert(kTileM % cute::size<0>(typename GlobalToShared::Tiler_MN{}) == 0 &&
                    kTileN % cute::size<0>(typename GlobalToShared::Tiler_MN{}) == 0 &&
                    kTileK == cute::size<1>(typename GlobalToShared::Tiler_MN{}),
                "the copy covers whole k-tiles in slabs of rows");
  static_assert(kTileM % cute::tile_size<0>(TiledMma{}) == 0 &&
                    kTileN % cute::tile_size<1>(TiledMma{}) == 0 &&
                    kTileK % cute::tile_size<2>(TiledMma{}) == 0,
                "the MMA tiles the CTA tile");
};

template <TableOrder kTable = TableOrder::kSliceMajor, TileWalk kWalk = TileWalk::kStreamed>
using LabelledGemmOf =
    GemmConfig<cute::Layout<cute::Shape<cute::_4, cute::_2, cute::_1>>, GemmForm<false, kTable, kWalk>>;
template <TableOrder kTable = TableOrder::kSliceMajor, TileWalk kWalk = TileWalk::kStreamed>
using StandardGemmOf =
    GemmConfig<cute::Layout<cute::Shape<cute::_2, cute::_4, cute::_1>>, GemmForm<true, kTable, kWalk>>;
using LabelledGemm = LabelledGemmOf<>;  // sm89, fallback
using StandardGemm = StandardGemmOf<>;  // sm120a

// Shared memory of one CTA, in this order: the A and B stages, the digest
// table, and (label-driven grid only) the tile's relative labels.
template <class SmemLayoutA, class SmemLayoutB, bool kLabels>
struct GemmSharedStorage {
  cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutA>, 128> a;  // (BM, BK, stage)
  cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutB>, 128> b;  // (BN, BK, stage)
  uint32_t table[kTableWords];  // kSlots slots of kMessageWords words
  int32_t row_labels[kTileM];   // relative to the tile's first row label, -1: excluded
  int32_t col_labels[kTileN];   // relative to its first column label
};
template <class SmemLayoutA, class SmemLayoutB>
struct GemmSharedStorage<SmemLayoutA, SmemLayoutB, false> {
  cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutA>, 128> a;  // (BM, BK, stage)
  cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutB>, 128> b;  // (BN, BK, stage)
  uint32_t table[kTableWords];
};

template <class Config>
using GemmStorageOf = GemmSharedStorage<typename Config::SmemLayoutA, typename Config::SmemLayoutB,
                                        !Config::standard_grid>;
template <class Config>
constexpr int smem_bytes_of = int(sizeof(GemmStorageOf<Config>));

// What the launchers request and the library documents.
static_assert(smem_bytes_of<LabelledGemm> == 91648, "sm89/fallback shared memory");
static_assert(smem_bytes_of<StandardGemm> == 90112, "sm120a shared memory");
static_assert(smem_bytes_of<LabelledGemmOf<TableOrder::kSlotMajor>> == 91648 &&
                  smem_bytes_of<StandardGemmOf<TableOrder::kSlotMajor>> == 90112,
              "the old table order takes the same bytes");

}  // namespace quorl::gemm
