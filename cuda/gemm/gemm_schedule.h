// The k-tile schedule of one gemm_g tile: which k-tile is copied into which
// shared stage and when, what each k-step reads and when a slice is folded.
// `Steps` performs each step: in the kernel with cp.async, ldmatrix and the
// int8 MMA, in the host emulation by those instructions' semantics. A change
// of this order is therefore proved on the host before it runs on a GPU.
#pragma once

#include "../common/host_device.h"
#include "fold_schedule.h"

namespace quorl::gemm {

struct MainloopShape {
  static constexpr int kStages = 3;      // shared stages
  static constexpr int kTileDepth = 64;  // k per k-tile
  static constexpr int kKSteps = 2;      // 32-wide MMA k-steps per k-tile
};

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
};
template <bool persistent>
QK_HD CtaTiles cta_tiles(int block_x, int grid_x, int tiles_m, int tiles_n) {
  return persistent ? CtaTiles{block_x, tiles_m * tiles_n, grid_x} : CtaTiles{0, 1, 1};
}
template <bool persistent>
QK_HD TileCoord cta_tile(int t, int block_x, int block_y, int tiles_m) {
  return persistent ? TileCoord{t % tiles_m, t / tiles_m} : TileCoord{block_x, block_y};
}

template <class Steps>
QK_HD void run_k_tiles(Steps& steps, int k_tiles) {
  using S = MainloopShape;
  // Two k-tiles in flight. Past the end the last k-tile is loaded again, so
  // every iteration commits exactly one copy group.
  steps.load_stage(0, 0);
  steps.load_stage(k_tiles > 1 ? 1 : 0, 1);
  for (int j = 0; j < k_tiles; ++j) {
    steps.template wait_copies<S::kStages - 2>();  // k-tile j has landed
    steps.barrier();                               // ... for every thread, and stage j - 1 is free
    const int stage = j % S::kStages;
    QK_UNROLL
    for (int ks = 0; ks < S::kKSteps; ++ks) {
      steps.load_fragments(stage, ks);
      if (ks == 0) {
        steps.load_stage(j + 2 < k_tiles ? j + 2 : k_tiles - 1, (j + 2) % S::kStages);
      }
      steps.multiply(ks);
    }
    const int slice = completed_slice<S::kTileDepth>(j);
    if (slice >= 0) steps.fold(slice);
  }
  steps.template wait_copies<0>();
  steps.barrier();
}

}  // namespace quorl::gemm
