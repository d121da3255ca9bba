// The hash-grid labellings a context accepts. Each 128 x 256 tile folds its
// groups into a table of 64 x 4 cells based at the labels of its first row and
// column, then writes every cell of that window that lies inside the grid. A
// relative label beyond the window would index past the table, and two tiles
// whose windows share a cell would both write it, so qk_init refuses such
// labellings. Checked in O(m + n) before touching the device.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorl {

enum class LabelFault {
  kNone,
  kGridSize,    // row_groups or col_groups not positive, or more cells than a result can name
  kRowWindow,   // a taking-part row label 64 or more above its tile's base label
  kColWindow,   // a taking-part column label 4 or more above its tile's base label
  kRowOverlap,  // two tile rows' windows share grid rows
  kColOverlap,  // two tile columns' windows share grid columns
};

namespace labels {

constexpr int kTileRows = 128, kTileCols = 256;
constexpr int64_t kWindowRows = 64, kWindowCols = 4;

// One dimension of the labelling, tile by tile: whether any representative
// takes part, the largest relative label that does, and the tile's window
// clipped to [0, groups).
struct Axis {
  bool any_part = false;
  bool beyond_window = false;
  std::vector<std::pair<int64_t, int64_t>> windows;  // [begin, end), non-empty only
};

// `is_rep(i)` says whether offset i inside a tile is a fold group's
// representative (the only labels the kernel reads).
template <class IsRep>
Axis scan_axis(const int32_t* label, int count, int tile, int64_t window, int32_t groups,
               IsRep is_rep) {
  Axis axis;
  for (int first = 0; first + tile <= count; first += tile) {
    const int64_t base = label[first];
    for (int i = 0; i < tile; ++i) {
      if (!is_rep(i) || label[first + i] < 0) continue;
      const int64_t rel = label[first + i] - base;
      if (rel < 0) continue;
      axis.any_part = true;
      if (rel >= window) axis.beyond_window = true;
    }
    const int64_t begin = std::max<int64_t>(base, 0);
    const int64_t end = std::min<int64_t>(base + window, groups);
    if (begin < end) axis.windows.emplace_back(begin, end);
  }
  return axis;
}

inline bool windows_overlap(std::vector<std::pair<int64_t, int64_t>> windows) {
  std::sort(windows.begin(), windows.end());
  for (size_t i = 1; i < windows.size(); ++i) {
    if (windows[i].first < windows[i - 1].second) return true;
  }
  return false;
}

}  // namespace labels

// m and n are whole tiles (the shape check runs first).
inline LabelFault check_labels(int m, int n, int32_t row_groups, int32_t col_groups,
                               const int32_t* row_group, const int32_t* col_group) {
  using namespace labels;
  if (row_groups <= 0 || col_groups <= 0) return LabelFault::kGridSize;
  // A search reports a cell by its grid index in a signed 32-bit result.
  if (int64_t(row_groups) * col_groups > INT32_MAX) return LabelFault::kGridSize;
  // Representatives: rows 16i + q (q < 8) and columns 2p (p < 8) of a tile.
  const Axis rows = scan_axis(row_group, m, kTileRows, kWindowRows, row_groups,
                              [](int i) { return i % 16 < 8; });
  const Axis cols = scan_axis(col_group, n, kTileCols, kWindowCols, col_groups,
                              [](int i) { return i < 16 && i % 2 == 0; });
  // A group takes part only when its row and its column both do.
  if (rows.beyond_window && cols.any_part) return LabelFault::kRowWindow;
  if (cols.beyond_window && rows.any_part) return LabelFault::kColWindow;
  if (!cols.windows.empty() && windows_overlap(rows.windows)) return LabelFault::kRowOverlap;
  if (!rows.windows.empty() && windows_overlap(cols.windows)) return LabelFault::kColOverlap;
  return LabelFault::kNone;
}

}  // namespace quorl
