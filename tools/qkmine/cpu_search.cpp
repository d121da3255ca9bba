#include "cpu_search.h"

#include <algorithm>
#include <vector>

#include "quorl_ref/grid.hpp"

namespace qkmine {
namespace {

constexpr int kSlice = 128;  // values of k per message word

// One slice of a dot product; written plainly so the compiler vectorises it.
inline int32_t dot_slice(const int8_t* a, const int8_t* b) {
  int32_t sum = 0;
  for (int j = 0; j < kSlice; ++j) sum += int32_t(a[j]) * int32_t(b[j]);
  return sum;
}

bool meets(const quorl::ref::Cv& hash, const quorl::ref::Cv& target) {
  for (int w = 7; w >= 0; --w) {
    if (hash[w] != target[w]) return hash[w] < target[w];
  }
  return true;
}

}  // namespace

CpuHit cpu_search(const quorl::ref::AttemptOperands& op, quorl::ref::Dims d,
                  const quorl::ref::Cv& target) {
  const int grid_cols = quorl::ref::standard_grid_cols(d.n);
  const int cells = quorl::ref::standard_grid_rows(d.m) * grid_cols;
  const int slices = std::min(d.k / kSlice, 16);
  std::vector<std::array<uint32_t, 16>> messages(size_t(cells), std::array<uint32_t, 16>{});
  for (int r = 0; r < d.m; ++r) {
    const int8_t* a = op.a.data() + int64_t(r) * d.k;
    const int row_cell = quorl::ref::standard_row_label(r) * grid_cols;
    for (int c = 0; c < d.n; ++c) {
      const int8_t* b = op.b.data() + int64_t(c) * d.k;
      std::array<uint32_t, 16>& message = messages[size_t(row_cell + quorl::ref::standard_col_label(c))];
      uint32_t sum = 0;  // int32 with wrap-around, as the tensor cores accumulate
      for (int s = 0; s < slices; ++s) {
        sum += uint32_t(dot_slice(a + s * kSlice, b + s * kSlice));
        message[s] ^= sum;
      }
    }
  }
  CpuHit hit;
  for (int cell = 0; cell < cells; ++cell) {
    quorl::ref::Block block;
    std::copy(messages[cell].begin(), messages[cell].end(), block.begin());
    const quorl::ref::Cv hash = quorl::ref::keyed_hash_block(op.seeds.a_seed, block);
    if (meets(hash, target)) {
      hit.found = cell;
      hit.message = messages[cell];
      hit.hash = hash;
      break;
    }
  }
  return hit;
}

}  // namespace qkmine
