#include "quorl_ref/grid.hpp"

namespace quorl::ref {

std::vector<int32_t> standard_row_groups(int m) {
  std::vector<int32_t> labels(static_cast<size_t>(m));
  for (int r = 0; r < m; ++r) labels[r] = standard_row_label(r);
  return labels;
}

std::vector<int32_t> standard_col_groups(int n) {
  std::vector<int32_t> labels(static_cast<size_t>(n));
  for (int c = 0; c < n; ++c) labels[c] = standard_col_label(c);
  return labels;
}

}  // namespace quorl::ref
