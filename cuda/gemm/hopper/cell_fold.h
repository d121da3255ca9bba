// What one consumer thread of the Hopper engines does with its accumulators.
//
// A 64 x 256 warp-group MMA leaves each of its 128 threads 128 int32 values:
// rows 16w + lane/4 and 8 more (w = warp of the warp group), columns
// 8j + 2(lane % 4) + {0, 1} for j = 0..31. Those are exactly the members of
// one standard-grid cell, so a slice folds to one word without any exchange
// between threads, and the 16-word message never leaves registers.
#pragma once

#include <cstdint>

#include "../../blake3/modes.h"
#include "../../common/host_device.h"
#include "../digest_table.h"

namespace quorl::hopper {

constexpr int kMessageWords = gemm::kMessageWords;  // one word per 128-wide slice of k
constexpr int kCellValues = 128;   // accumulators of one thread, members of one cell

// First of the thread's two rows, relative to the tile, for `thread` counted
// from the first thread of the tiled MMA (warp group g covers rows 64g..).
QK_HD int fragment_row(int thread) {
  const int group = thread / 128;
  const int warp = (thread / 32) % 4;
  const int lane = thread % 32;
  return 64 * group + 16 * warp + lane / 4;
}

// The thread's cell relative to the tile's base labels (rho, gamma).
QK_HD int cell_row_offset(int fragment_row) { return 8 * (fragment_row / 16) + fragment_row % 8; }
QK_HD int cell_col_offset(int thread) { return thread % 4; }

// XOR of the thread's 128 accumulators: four independent chains, then a
// short tree, so the fold is not one 127-long dependency.
template <class Fragment>
QK_HD uint32_t fold_slice(const Fragment& acc) {
  uint32_t x0 = 0, x1 = 0, x2 = 0, x3 = 0;
  QK_UNROLL
  for (int i = 0; i < kCellValues; i += 4) {
    x0 ^= uint32_t(acc[i]);
    x1 ^= uint32_t(acc[i + 1]);
    x2 ^= uint32_t(acc[i + 2]);
    x3 ^= uint32_t(acc[i + 3]);
  }
  return (x0 ^ x1) ^ (x2 ^ x3);
}

// Grid index of cell (R, C), or -1 for a cell outside the grid: such a cell
// is neither stored nor reported, whatever the labels say.
QK_HD int grid_index(int R, int C, int row_groups, int col_groups) {
  if (R < 0 || R >= row_groups || C < 0 || C >= col_groups) return -1;
  return R * col_groups + C;
}

// Whether the thread stores or reports its cell: its rows lie inside the
// matrix (a tile may hang past row m; those rows read as zeros) and the cell
// inside the grid. Tiles start at multiples of 16 rows and m is a multiple of
// 16, so the first row decides for both.
QK_HD bool owns_cell(int tile_first_row, int fragment_row, int m, int grid_index) {
  return tile_first_row + fragment_row < m && grid_index >= 0;
}

// Entry of word `s` of cell (R, C) in `xored` (k_blocks planes of the grid).
QK_HD int64_t xored_entry(int s, int R, int C, int row_groups, int col_groups) {
  return (int64_t(s) * row_groups + R) * col_groups + C;
}

// Keyed single-block hash of a cell message, compared with the target by
// the bound rule every search path shares.
QK_HD bool message_meets_target(const uint32_t key[8], const uint32_t words[kMessageWords],
                                const uint32_t target[8]) {
  uint32_t hash[8];
  blake3::hash_keyed_block(key, words, hash);
  return gemm::meets_target(hash, target);
}

}  // namespace quorl::hopper
