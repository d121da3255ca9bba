#include "quorl_ref/engine_messages.hpp"

#include <algorithm>

#include "quorl_ref/grid.hpp"
#include "quorl_ref/search.hpp"

namespace quorl::ref {
namespace {

constexpr int kSlice = kSliceWidth;
constexpr int kWords = kMessageWords;

}  // namespace

// The label-driven reduction under the standard labelling, as blocks.
std::vector<Block> standard_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k) {
  const std::vector<uint32_t> words = cell_messages(a, b, m, n, k, standard_labelling(m, n));
  std::vector<Block> messages(words.size() / kWords);
  for (size_t cell = 0; cell < messages.size(); ++cell) {
    std::copy(words.begin() + cell * kWords, words.begin() + (cell + 1) * kWords,
              messages[cell].begin());
  }
  return messages;
}

// Word s of every standard cell covers k positions [0, min(128 (s + 1), k)):
// the fused TMA engine's form, written directly over the standard grid.
std::vector<Block> tma_engine_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k) {
  const int cols = standard_grid_cols(n);
  std::vector<Block> messages(size_t(standard_grid_rows(m)) * cols, Block{});
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < n; ++c) {
      Block& cell = messages[size_t(standard_row_label(r)) * cols + standard_col_label(c)];
      const int8_t* row_a = a + size_t(r) * k;
      const int8_t* row_b = b + size_t(c) * k;
      uint32_t sum = 0;  // wraps like the int32 accumulators
      int done = 0;
      for (int s = 0; s < kWords; ++s) {
        const int until = std::min(kSlice * (s + 1), k);
        for (; done < until; ++done) sum += uint32_t(int32_t(row_a[done]) * int32_t(row_b[done]));
        cell[s] ^= sum;
      }
    }
  }
  return messages;
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
