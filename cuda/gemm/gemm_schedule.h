// The k-tile schedules of gemm_g: which k-tile is copied into which shared
// stage and when, what each k-step reads, when a slice is folded and where
// each tile's epilogue falls. `Steps` performs each step: in the kernel with
// cp.async, ldmatrix and the int8 MMA, in the host emulation by those
// instructions' semantics. A change of this order is therefore proved on
// the host before it runs on a GPU.
#pragma once

#include "../common/host_device.h"
#include "fold_schedule.h"
#include "pipeline_state.h"

namespace quorl::gemm {

struct MainloopShape {
  static constexpr int kStages = 3;      // shared stages
  static constexpr int kTileDepth = 64;  // k per k-tile
  static constexpr int kKSteps = 2;      // 32-wide MMA k-steps per k-tile
};
using StagePosition = PipelineState<MainloopShape::kStages>;

// The tiles a CTA takes. Label-driven builds: the one at (block x, block y).
// sm120a's persistent grid: tiles t = block x, block x + grid x, ... below
// tiles_m tiles_n, walked column-major so that CTAs running together share
// one B tile and walk down A.
struct TileCoord {
  int row;  // tr
  int col;  // tc
};
struct CtaTiles {
  int first, end, step;

  // How many tiles the CTA takes.
  QK_HD int count() const { return first < end ? (end - first + step - 1) / step : 0; }
};
template <bool persistent>
QK_HD CtaTiles cta_tiles(int block_x, int grid_x, int tiles_m, int tiles_n) {
  return persistent ? CtaTiles{block_x, tiles_m * tiles_n, grid_x} : CtaTiles{0, 1, 1};
}
template <bool persistent>
QK_HD TileCoord cta_tile(int t, int block_x, int block_y, int tiles_m) {
  return persistent ? TileCoord{t % tiles_m, t / tiles_m} : TileCoord{block_x, block_y};
}
// The CTA's n-th tile.
template <bool persistent>
QK_HD TileCoord nth_tile(const CtaTiles& walk, int n, int block_x, int block_y, int tiles_m) {
  return cta_tile<persistent>(walk.first + n * walk.step, block_x, block_y, tiles_m);
}

// How the copies meet a tile boundary. Streamed: the k-tiles of all the
// CTA's tiles form one stream with two k-tiles in flight throughout, so the
// next tile's first two are copied while the current tile multiplies its
// last two and hashes its cells. Drained: every tile starts its own
// pipeline after the previous epilogue (the old form, kept for the
// benchmark's comparison).
enum class TileWalk { kStreamed, kDrained };

// A position of the k-tile stream: the CTA's `tile`-th tile, its k-tile
// `k_tile`.
struct StreamPosition {
  int tile = 0;
  int k_tile = 0;

  QK_HD void advance(int k_tiles) {
    if (++k_tile == k_tiles) {
      k_tile = 0;
      ++tile;
    }
  }
};

// Copies the next position of the stream into the next stage; past the
// CTA's last k-tile an empty group keeps the count of one group per position
// (and copies nothing that no tile reads).
template <class Steps>
QK_HD void fill_next(Steps& steps, StreamPosition& next, StagePosition& write, int tiles,
                     int k_tiles) {
  if (next.tile < tiles) {
    steps.load_stage(next.tile, next.k_tile, write.index);
  } else {
    steps.skip_stage();
  }
  next.advance(k_tiles);
  write.advance();
}

template <class Steps>
QK_HD void run_tiles_streamed(Steps& steps, int tiles, int k_tiles) {
  using S = MainloopShape;
  static_assert(S::kStages == 3, "two k-tiles in flight while a third is read");
  StreamPosition next;        // the next k-tile to copy
  StagePosition read, write;  // the stage multiplied, the stage filled next
  fill_next(steps, next, write, tiles, k_tiles);
  fill_next(steps, next, write, tiles, k_tiles);
  for (int tile = 0; tile < tiles; ++tile) {
    steps.begin_tile(tile);  // each thread clears the slots its last epilogue read
    for (int j = 0; j < k_tiles; ++j) {
      steps.template wait_copies<S::kStages - 2>();  // the k-tile of `read` has landed
      steps.barrier();  // ... for every thread, and no thread reads the stage `write` names
      QK_UNROLL
      for (int ks = 0; ks < S::kKSteps; ++ks) {
        steps.load_fragments(read.index, ks);
        if (ks == 0) fill_next(steps, next, write, tiles, k_tiles);
        steps.multiply(ks);
      }
      const int slice = completed_slice<S::kTileDepth>(j);
      if (slice >= 0) steps.fold(slice);
      read.advance();
    }
    steps.barrier();  // every fold is in the table
    steps.finish_tile(tile);
  }
  steps.template wait_copies<0>();  // only empty groups are left in flight
}

template <class Steps>
QK_HD void run_tiles_drained(Steps& steps, int tiles, int k_tiles) {
  using S = MainloopShape;
  for (int tile = 0; tile < tiles; ++tile) {
    steps.begin_tile(tile);
    StagePosition read, write;
    // Past the end the last k-tile is loaded again, so every iteration
    // commits exactly one copy group.
    auto fill = [&](int k_tile) {
      steps.load_stage(tile, k_tile < k_tiles ? k_tile : k_tiles - 1, write.index);
      write.advance();
    };
    fill(0);
    fill(k_tiles > 1 ? 1 : 0);
    for (int j = 0; j < k_tiles; ++j) {
      steps.template wait_copies<S::kStages - 2>();
      steps.barrier();
      QK_UNROLL
      for (int ks = 0; ks < S::kKSteps; ++ks) {
        steps.load_fragments(read.index, ks);
        if (ks == 0) fill(j + 2);
        steps.multiply(ks);
      }
      const int slice = completed_slice<S::kTileDepth>(j);
      if (slice >= 0) steps.fold(slice);
      read.advance();
    }
    steps.template wait_copies<0>();
    steps.barrier();
    steps.finish_tile(tile);
    steps.barrier();
  }
}

template <TileWalk walk, class Steps>
QK_HD void run_tiles(Steps& steps, int tiles, int k_tiles) {
  if constexpr (walk == TileWalk::kStreamed) {
    run_tiles_streamed(steps, tiles, k_tiles);
  } else {
    run_tiles_drained(steps, tiles, k_tiles);
  }
}

}  // namespace quorl::gemm
