// The schedule of the fused engine's ring: one producer thread fills the
// stages with TMA loads, the consumer warp groups multiply and release them,
// both walking the CTA's tiles in the same order. They meet only through the
// stages' full and empty barriers, whose phases run on across tiles. The
// kernel performs the steps on the device; the host emulation records them
// and replays them against emulated barriers, TMA and warp-group MMA.
#pragma once

#include <cstdint>

#include "../../common/host_device.h"
#include "../fold_schedule.h"
#include "engine_config.h"

namespace quorl::hopper {

// Stage and barrier phase parity of a walk around the ring.
struct RingState {
  int stage = 0;
  uint32_t phase = 0;

  QK_HD void advance() {
    if (++stage == TmaBoundConfig::kStages) {
      stage = 0;
      phase ^= 1;
    }
  }
};

template <class Producer>
QK_HD void produce_tiles(Producer& producer, int block, int grid, int tiles_m, int tiles) {
  RingState ring;
  // CTA `block` of `grid` takes every grid-th tile, walked column-major.
  for (int t = block; t < tiles; t += grid) {
    const TileCoord tile = persistent_tile(t, tiles_m);
    CUTE_NO_UNROLL
    for (int i = 0; i < TmaBoundConfig::kKTiles; ++i) {
      // A fresh barrier counts as having completed the phase before phase 0,
      // so the first pass over the ring does not wait.
      producer.wait_empty(ring.stage, ring.phase ^ 1);
      producer.load(ring.stage, tile.row, tile.col, i);  // A's and B's boxes of k-tile i
      ring.advance();
    }
  }
}

template <class Consumer>
QK_HD void consume_tiles(Consumer& consumer, int block, int grid, int tiles_m, int tiles) {
  RingState ring;
  for (int t = block; t < tiles; t += grid) {
    const TileCoord tile = persistent_tile(t, tiles_m);
    consumer.begin_tile();
    // Unrolled, so the message words stay in registers.
    CUTE_UNROLL
    for (int i = 0; i < TmaBoundConfig::kKTiles; ++i) {
      consumer.wait_full(ring.stage, ring.phase);
      consumer.multiply(ring.stage);
      consumer.release(ring.stage);
      consumer.fold(gemm::completed_slice<TmaBoundConfig::kDepth>(i));
      ring.advance();
    }
    consumer.finish_tile(tile);
  }
}

}  // namespace quorl::hopper
