#include "quorl_ref/search.hpp"

#include <algorithm>

#include "quorl_ref/grid.hpp"

namespace quorl::ref {
namespace {

constexpr int kTileRows = 128, kTileCols = 256;
constexpr int kWindowRows = 64, kWindowCols = 4;

bool in_grid(int64_t row, int64_t col, const Labelling& g) {
  return row >= 0 && col >= 0 && row < g.row_groups && col < g.col_groups;
}

// Dot products of row r of A and row c of B after each of the first
// `slices` 128-wide slices, wrapping like the int32 accumulators.
void prefix_dots(const int8_t* a, const int8_t* b, int k, int r, int c, int slices,
                 uint32_t out[kMessageWords]) {
  const int8_t* x = a + int64_t(r) * k;
  const int8_t* y = b + int64_t(c) * k;
  uint32_t sum = 0;
  for (int s = 0; s < slices; ++s) {
    for (int j = s * kSliceWidth; j < (s + 1) * kSliceWidth; ++j) {
      sum += uint32_t(int32_t(x[j]) * int32_t(y[j]));
    }
    out[s] = sum;
  }
}

}  // namespace

Labelling standard_labelling(int m, int n) {
  return {standard_grid_rows(m), standard_grid_cols(n), standard_row_groups(m),
          standard_col_groups(n)};
}

std::vector<uint32_t> cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k,
                                    const Labelling& g) {
  std::vector<uint32_t> messages(size_t(g.row_groups) * g.col_groups * kMessageWords, 0);
  const int slices = std::min(k / kSliceWidth, kMessageWords);
  for (int r0 = 0; r0 < m; ++r0) {
    if (r0 % 16 >= 8) continue;  // rows r0 + 8 ride with r0
    const int64_t row_base = g.row_group[r0 / kTileRows * kTileRows];
    const int64_t row = g.row_group[r0];
    if (row < 0 || row < row_base || row - row_base >= kWindowRows) continue;
    for (int c0 = 0; c0 < n; ++c0) {
      if (c0 % kTileCols >= 16 || c0 % 2 != 0) continue;  // representatives only
      const int64_t col_base = g.col_group[c0 / kTileCols * kTileCols];
      const int64_t col = g.col_group[c0];
      if (col < 0 || col < col_base || col - col_base >= kWindowCols) continue;
      if (!in_grid(row, col, g)) continue;
      uint32_t* message = &messages[size_t(row * g.col_groups + col) * kMessageWords];
      for (int dr : {0, 8}) {
        for (int j = 0; j < 16; ++j) {
          for (int dc : {0, 1}) {
            uint32_t dots[kMessageWords];
            prefix_dots(a, b, k, r0 + dr, c0 + 16 * j + dc, slices, dots);
            for (int s = 0; s < slices; ++s) message[s] ^= dots[s];
          }
        }
      }
    }
  }
  return messages;
}

std::vector<bool> hashed_cells(int m, int n, const Labelling& g) {
  std::vector<bool> hashed(size_t(g.row_groups) * g.col_groups, false);
  for (int tr = 0; tr < m / kTileRows; ++tr) {
    for (int tc = 0; tc < n / kTileCols; ++tc) {
      const int64_t row_base = g.row_group[tr * kTileRows];
      const int64_t col_base = g.col_group[tc * kTileCols];
      for (int64_t row = row_base; row < row_base + kWindowRows; ++row) {
        for (int64_t col = col_base; col < col_base + kWindowCols; ++col) {
          if (in_grid(row, col, g)) hashed[size_t(row * g.col_groups + col)] = true;
        }
      }
    }
  }
  return hashed;
}

std::vector<uint32_t> xored_planes(const std::vector<uint32_t>& messages, int k_blocks,
                                   const Labelling& g) {
  const size_t cells = size_t(g.row_groups) * g.col_groups;
  std::vector<uint32_t> planes(size_t(k_blocks) * cells, 0);
  for (int s = 0; s < std::min(k_blocks, kMessageWords); ++s) {
    for (size_t cell = 0; cell < cells; ++cell) {
      planes[s * cells + cell] = messages[cell * kMessageWords + s];
    }
  }
  return planes;
}

Cv bound_hash(const Cv& key, const uint32_t* message) {
  Block block;
  std::copy(message, message + kMessageWords, block.begin());
  return keyed_hash_block(key, block);
}

std::vector<int32_t> qualifying_cells(const std::vector<uint32_t>& messages, const Cv& key,
                                      const Cv& target, const std::vector<bool>* hashed) {
  std::vector<int32_t> cells;
  const size_t count = messages.size() / kMessageWords;
  for (size_t cell = 0; cell < count; ++cell) {
    if (hashed != nullptr && !(*hashed)[cell]) continue;
    if (meets_target(bound_hash(key, &messages[cell * kMessageWords]), target)) {
      cells.push_back(int32_t(cell));
    }
  }
  return cells;
}

}  // namespace quorl::ref
