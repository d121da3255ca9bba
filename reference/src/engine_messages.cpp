#include "quorl_ref/engine_messages.hpp"

#include <algorithm>

#include "quorl_ref/grid.hpp"

namespace quorl::ref {
namespace {

constexpr int kSlice = 128;
constexpr int kWords = 16;

// Word s covers k positions [0, depth(s)); words with depth 0 stay 0.
template <class Depth>
std::vector<Block> messages_by_depth(const int8_t* a, const int8_t* b, int m, int n, int k,
                                     Depth depth) {
  const int cols = standard_grid_cols(n);
  std::vector<Block> messages(size_t(standard_grid_rows(m)) * cols, Block{});
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < n; ++c) {
      Block& cell = messages[size_t(standard_row_label(r)) * cols + standard_col_label(c)];
      const int8_t* row_a = a + size_t(r) * k;
      const int8_t* row_b = b + size_t(c) * k;
      int32_t sum = 0;
      int done = 0;
      for (int s = 0; s < kWords; ++s) {
        const int until = depth(s);
        if (until == 0) continue;
        for (; done < until; ++done) sum += int32_t(row_a[done]) * int32_t(row_b[done]);
        cell[s] ^= uint32_t(sum);
      }
    }
  }
  return messages;
}

}  // namespace

std::vector<Block> standard_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k) {
  const int slices = std::min(k / kSlice, kWords);
  return messages_by_depth(a, b, m, n, k, [&](int s) { return s < slices ? kSlice * (s + 1) : 0; });
}

std::vector<Block> tma_engine_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k) {
  return messages_by_depth(a, b, m, n, k, [&](int s) { return std::min(kSlice * (s + 1), k); });
}

bool meets_target(const Cv& hash, const Cv& target) {
  for (int i = 7; i >= 0; --i) {
    if (hash[i] != target[i]) return hash[i] < target[i];
  }
  return true;
}

std::vector<int> qualifying_cells(const std::vector<Block>& messages, const Cv& key,
                                  const Cv& target) {
  std::vector<int> cells;
  for (size_t i = 0; i < messages.size(); ++i) {
    if (meets_target(keyed_hash_block(key, messages[i]), target)) cells.push_back(int(i));
  }
  return cells;
}

}  // namespace quorl::ref
