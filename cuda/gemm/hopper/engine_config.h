// CuTe configuration of the two Hopper engines: tiles, shared-memory stages
// and the warp-group MMA. Host code (the launchers and the tests) and the
// kernels take every type from here, so the host proofs see the very types
// the kernels run.
#pragma once

#include <cstdint>

#include <cute/tensor.hpp>  // first: the atom headers build on it
#include <cute/atom/mma_atom.hpp>

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
  static constexpr int kBarrierBytes = 2 * kStages * 8;  // full and empty mbarriers
  // A stage is full once the producer has armed it and its bytes have landed,
  // empty once every consumer thread has released it.
  static constexpr int kFullArrivals = 1;
  static constexpr int kEmptyArrivals = kThreads - 128;
  // The ring and the barriers, and 1 KB of room for the ring's alignment.
  static constexpr int kSmemBytes = 197632;
  static_assert(kRingBytes + kBarrierBytes <= kSmemBytes, "ring and barriers must fit");

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
};

// Tile walk of the persistent engine: column-major, so CTAs running together
// share one B tile and walk down A (the walk of sm120a's label GEMM).
using TileCoord = gemm::TileCoord;
QK_HD TileCoord persistent_tile(int t, int tiles_m) { return gemm::cta_tile<true>(t, 0, 0, tiles_m); }

}  // namespace quorl::hopper
