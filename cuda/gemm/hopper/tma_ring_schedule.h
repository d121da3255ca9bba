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
#include "../gemm_schedule.h"
#include "../pipeline_state.h"
#include "engine_config.h"

namespace quorl::hopper {

using RingState = gemm::PipelineState<TmaBoundConfig::kStages>;
using gemm::TileWalk;

template <class Producer>
QK_HD void produce_tiles(Producer& producer, int block, int grid, int tiles_m, int tiles) {
  RingState ring;
  // CTA `block` of `grid` takes every grid-th tile, walked column-major.
  for (int t = block; t < tiles; t += grid) {
    const TileCoord tile = persistent_tile(t, tiles_m);
    if (t + grid >= tiles) producer.begin_last_tile();
    CUTE_NO_UNROLL
    for (int i = 0; i < TmaBoundConfig::kKTiles; ++i) {
      // A fresh barrier counts as having completed the phase before phase 0,
      // so the first pass over the ring does not wait.
      producer.wait_empty(ring.index, ring.phase ^ 1);
      producer.load(ring.index, tile.row, tile.col, i);  // A's and B's boxes of k-tile i
      ring.advance();
    }
  }
}

// Waits for the stage `ring` names and starts its MMAs.
template <class Consumer>
QK_HD void start_k_tile(Consumer& consumer, const RingState& ring) {
  consumer.wait_full(ring.index, ring.phase);
  consumer.issue_mma(ring.index);
}

// The 16 k-tiles of one tile, its first already started: multiply, release
// each stage once its MMAs are done, fold each slice.
template <class Consumer>
QK_HD void consume_k_tiles(Consumer& consumer, RingState& ring) {
  // Unrolled, so the message words stay in registers.
  CUTE_UNROLL
  for (int i = 0; i < TmaBoundConfig::kKTiles; ++i) {
    if (i > 0) start_k_tile(consumer, ring);
    consumer.wait_mma();           // the k-tile's products are in the accumulators
    consumer.release(ring.index);  // ... and its stage is read
    consumer.fold(gemm::completed_slice<TmaBoundConfig::kDepth>(i));
    ring.advance();
  }
}

// Streamed: once a tile's last slice is folded, the first k-tile of the
// CTA's next tile starts multiplying before this tile's cells are hashed,
// so the tensor cores work through the hash. Every pass round the loop
// starts with that k-tile in flight (the compiler keeps the accumulators of
// an MMA in flight in place only where every path agrees). Drained (the old
// form, kept for the benchmark's comparison): the hash comes first.
template <TileWalk walk, class Consumer>
QK_HD void consume_tiles(Consumer& consumer, int block, int grid, int tiles_m, int tiles) {
  RingState ring;
  if constexpr (walk == TileWalk::kStreamed) {
    if (block >= tiles) return;
    int t = block;
    consumer.begin_tile(persistent_tile(t, tiles_m));
    start_k_tile(consumer, ring);
    for (;;) {
      const TileCoord tile = persistent_tile(t, tiles_m);
      consume_k_tiles(consumer, ring);
      t += grid;
      if (t >= tiles) {
        consumer.finish_tile(tile);
        return;
      }
      // The accumulators are folded; the hash reads only the message words.
      consumer.begin_tile(persistent_tile(t, tiles_m));
      start_k_tile(consumer, ring);
      consumer.finish_tile(tile);
    }
  } else {
    for (int t = block; t < tiles; t += grid) {
      const TileCoord tile = persistent_tile(t, tiles_m);
      consumer.begin_tile(tile);
      start_k_tile(consumer, ring);
      consume_k_tiles(consumer, ring);
      consumer.finish_tile(tile);
    }
  }
}

}  // namespace quorl::hopper
