// The standard hash grid: product element (r, c) belongs to cell
// R = 8*(r/16) + r%8, C = 4*(c/256) + (c%8)/2, so the grid has m/2 rows and
// n/64 columns and every cell lies inside one 128 x 256 tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorl::ref {

inline int32_t standard_row_label(int64_t r) { return int32_t(8 * (r / 16) + r % 8); }
inline int32_t standard_col_label(int64_t c) { return int32_t(4 * (c / 256) + (c % 8) / 2); }

std::vector<int32_t> standard_row_groups(int m);
std::vector<int32_t> standard_col_groups(int n);

inline int standard_grid_rows(int m) { return m / 2; }
inline int standard_grid_cols(int n) { return n / 64; }

}  // namespace quorl::ref
