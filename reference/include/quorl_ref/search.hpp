// What a search computes: the product A·Bᵀ reduced slice by slice into one
// 16-word message per hash-grid cell, the xored planes, the bound hash and
// rule, and the set of qualifying cells.
//
// Labels work per 128 x 256 tile (first row 128 tr, first column 256 tc). A
// fold group is rows {r0, r0 + 8} with r0 = 128 tr + 16 i + q (i, q < 8) by
// the 32 columns {c0 + 16 j, c0 + 16 j + 1} with c0 = 256 tc + 2 p (p < 8); it
// joins cell (row_group[r0], col_group[c0]) when both labels are
// non-negative and not below the tile's base labels Lr = row_group[128 tr],
// Lc = col_group[256 tc]. Each tile hashes the cells (Lr + 0..63,
// Lc + 0..3) that lie inside the grid.
#pragma once

#include <cstdint>
#include <vector>

#include "blake3.hpp"
#include "engine_messages.hpp"  // meets_target, the bound rule

namespace quorl::ref {

constexpr int kMessageWords = 16;
constexpr int kSliceWidth = 128;

struct Labelling {
  int row_groups = 0;
  int col_groups = 0;
  std::vector<int32_t> row_group;  // m labels
  std::vector<int32_t> col_group;  // n labels
};

// The standard labelling of an m x n product (m/2 x n/64 cells).
Labelling standard_labelling(int m, int n);

// Messages of every cell, cell (R, C) at words [(R col_groups + C) 16, +16):
// word s (s < min(k/128, 16)) is the XOR of the members' dot products over
// the first 128 (s + 1) values of k; the other words are 0. `a` is m x k and
// `b` n x k, both row-major.
std::vector<uint32_t> cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k,
                                    const Labelling& labels);

// Whether some tile hashes each cell (index R col_groups + C).
std::vector<bool> hashed_cells(int m, int n, const Labelling& labels);

// The xored buffer after a separate-bound pass: k_blocks planes of
// row_groups x col_groups words, planes 16 and above zero.
std::vector<uint32_t> xored_planes(const std::vector<uint32_t>& messages, int k_blocks,
                                   const Labelling& labels);

// Keyed BLAKE3 of one 16-word message.
Cv bound_hash(const Cv& key, const uint32_t* message);

// Grid indices R col_groups + C of the cells whose bound hash meets the
// target, in increasing order; only cells marked in `hashed` when given.
std::vector<int32_t> qualifying_cells(const std::vector<uint32_t>& messages, const Cv& key,
                                      const Cv& target, const std::vector<bool>* hashed = nullptr);

}  // namespace quorl::ref
