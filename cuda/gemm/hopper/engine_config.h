// CuTe configuration of the two Hopper engines: tiles, shared-memory stages
// and the warp-group MMA. Host code (the launchers and the tests) and the
// kernels take every type from here, so the host proofs see the very types
// the kernels run.
#pragma once

#include <cstdint>

#include <cute/tensor.hpp>  // first: the atom headers build on it
#include <cute/atom/mma_atom.hpp>
#include <cute/container/array_aligned.hpp>

#include "../../common/host_device.h"
#include "../gemm_schedule.h"

namespace quorl::hopper {

// s8 x s8 + s32, both operands K-major in shared memory.
using CellMmaAtom = cute::SM90_64x256x32_S32S8S8_SS_TN;

// `groups` warp groups stacked along M, each computing 64 x 256.
template <int groups>
using WarpGroupMma = decltype(cute::make_tiled_mma(
    CellMmaAtom{}, cute::Layout<cute::Shape<cute::Int<groups>, cute::_1, cute::_1>>{}));

// One CTA per 192 x 256 tile, 64-deep k-tiles in two cp.async stages.
struct GmmaCtaConfig {
  static constexpr int kRows = 192;
  static constexpr int kCols = 256;
  static constexpr int kDepth = 64;
  static constexpr int kStages = 2;
  static constexpr int kThreads = 384;
  static constexpr int kCopyRows = 96;  // rows one pass of 16-byte copies covers
  // What the launcher requests; the two stages use the first 57344 bytes.
  static constexpr int kSmemBytes = 100096;

  using Tile = cute::Shape<cute::Int<kRows>, cute::Int<kCols>, cute::Int<kDepth>>;
  using TiledMma = WarpGroupMma<3>;
  // 64-byte k-rows under Swizzle<2, 4, 3>: byte o becomes o ^ ((o >> 3) & 0x30).
  using SmemLayoutA = decltype(cute::tile_to_shape(
      cute::GMMA::Layout_K_SW64_Atom<int8_t>{},
      cute::Shape<cute::Int<kRows>, cute::Int<kDepth>, cute::Int<kStages>>{}));
  using SmemLayoutB = decltype(cute::tile_to_shape(
      cute::GMMA::Layout_K_SW64_Atom<int8_t>{},
      cute::Shape<cute::Int<kCols>, cute::Int<kDepth>, cute::Int<kStages>>{}));
  static constexpr int kStageBytesA = kRows * kDepth;
  static constexpr int kStageBytesB = kCols * kDepth;

  static_assert(cute::size(TiledMma{}) == kThreads, "every thread multiplies");
  static_assert(cute::tile_size<0>(TiledMma{}) == kRows && cute::tile_size<1>(TiledMma{}) == kCols,
                "one warp-group MMA row block per 64 rows covers the tile");
  static_assert(cute::size<0>(SmemLayoutA{}) == kRows && cute::size<0>(SmemLayoutB{}) == kCols &&
                    cute::size<1>(SmemLayoutA{}) == kDepth && cute::size<1>(SmemLayoutB{}) == kDepth &&
                    cute::size<2>(SmemLayoutA{}) == kStages && cute::size<2>(SmemLayoutB{}) == kStages,
                "stages of (rows, depth)");
  static_assert(cute::cosize(SmemLayoutA{}) == kStages * kStageBytesA &&
                    cute::cosize(SmemLayoutB{}) == kStages * kStageBytesB,
                "the stages are packed");
  static_assert(kThreads / 4 == kCopyRows, "a copy pass: 4 threads of 16 bytes a 64-byte row");

  // The two stages, 1024-byte aligned as the 64-byte swizzle's descriptors
  // need; the launcher requests more (kSmemBytes), which the kernel leaves.
  struct SharedStorage {
    cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutA>, 1024> a;  // (192, 64, 2)
    cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutB>, 1024> b;  // (256, 64, 2)
  };
  static_assert(sizeof(SharedStorage) == 57344 && sizeof(SharedStorage) <= kSmemBytes,
                "the stages fit what the launcher requests");
};

// The persistent fused engine: 128 x 256 tiles, 128-deep k-tiles (one slice
// each) in a four-stage TMA ring, one producer and two consumer warp groups.
struct TmaBoundConfig {
  static constexpr int kRows = 128;
  static constexpr int kCols = 256;
  static constexpr int kDepth = 128;
  static constexpr int kStages = 4;
  static constexpr int kKTiles = 16;  // always k positions 0..2047
  static constexpr int kThreads = 384;
  static constexpr int kProducerRegs = 24;
  static constexpr int kConsumerRegs = 240;
  static constexpr int kStageBytesA = kRows * kDepth;  // 16384
  static constexpr int kStageBytesB = kCols * kDepth;  // 32768
  static constexpr int kStageBytes = kStageBytesA + kStageBytesB;
  static constexpr int kRingBytes = kStages * kStageBytes;
  static constexpr int kProducerThreads = 128;  // warp group 0
  static constexpr int kConsumerThreads = kThreads - kProducerThreads;
  // A stage is full once the producer has armed it and its bytes have landed,
  // empty once every consumer thread has released it.
  static constexpr int kFullArrivals = 1;
  static constexpr int kEmptyArrivals = kConsumerThreads;
  static constexpr int kSmemBytes = 197632;  // what the launcher requests

  using TiledMma = WarpGroupMma<2>;
  // 128-byte k-rows under Swizzle<3, 4, 3>, the TMA's 128-byte swizzle.
  using StageLayoutA =
      decltype(cute::tile_to_shape(cute::GMMA::Layout_K_SW128_Atom<int8_t>{},
                                   cute::Shape<cute::Int<kRows>, cute::Int<kDepth>>{}));
  using StageLayoutB =
      decltype(cute::tile_to_shape(cute::GMMA::Layout_K_SW128_Atom<int8_t>{},
                                   cute::Shape<cute::Int<kCols>, cute::Int<kDepth>>{}));
  using SmemLayoutA = decltype(cute::tile_to_shape(
      cute::GMMA::Layout_K_SW128_Atom<int8_t>{},
      cute::Shape<cute::Int<kRows>, cute::Int<kDepth>, cute::Int<kStages>>{}));
  using SmemLayoutB = decltype(cute::tile_to_shape(
      cute::GMMA::Layout_K_SW128_Atom<int8_t>{},
      cute::Shape<cute::Int<kCols>, cute::Int<kDepth>, cute::Int<kStages>>{}));

  static_assert(cute::size(TiledMma{}) == kConsumerThreads && kEmptyArrivals == kConsumerThreads,
                "the consumer warp groups are the tiled MMA's threads, and each releases a stage");
  static_assert(cute::tile_size<0>(TiledMma{}) == kRows && cute::tile_size<1>(TiledMma{}) == kCols,
                "the consumer warp groups cover the tile");
  static_assert(cute::size<0>(SmemLayoutA{}) == kRows && cute::size<0>(SmemLayoutB{}) == kCols &&
                    cute::size<1>(SmemLayoutA{}) == kDepth && cute::size<1>(SmemLayoutB{}) == kDepth &&
                    cute::size<2>(SmemLayoutA{}) == kStages && cute::size<2>(SmemLayoutB{}) == kStages,
                "a ring of (rows, depth) stages");
  static_assert(cute::cosize(StageLayoutA{}) == kStageBytesA &&
                    cute::cosize(StageLayoutB{}) == kStageBytesB &&
                    cute::cosize(SmemLayoutA{}) == kStages * kStageBytesA &&
                    cute::cosize(SmemLayoutB{}) == kStages * kStageBytesB,
                "one TMA box fills one stage, and the stages are packed");

  // The ring, aligned to the 1024-byte repeat of the 128-byte swizzle, then
  // the stages' full and empty barriers.
  struct SharedStorage {
    cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutA>, 1024> a;  // (128, 128, 4)
    cute::array_aligned<int8_t, cute::cosize_v<SmemLayoutB>, 1024> b;  // (256, 128, 4)
    uint64_t full[kStages];
    uint64_t empty[kStages];
  };
  static_assert(sizeof(SharedStorage) == kSmemBytes, "what the launcher requests");
};

// Tile walk of the persistent engine: column-major, so CTAs running together
// share one B tile and walk down A (the walk of sm120a's label GEMM).
using TileCoord = gemm::TileCoord;
QK_HD TileCoord persistent_tile(int t, int tiles_m) { return gemm::cta_tile<true>(t, 0, 0, tiles_m); }

}  // namespace quorl::hopper
