// The separate bound check: one thread per hash-grid cell hashes the cell's
// message from the xored planes under the search key and reports the cell if
// the hash meets the target.
#pragma once

#include <cstdint>

#include "../common/launch_shape.h"
#include "../gemm/digest_table.h"

namespace quorl::search {

constexpr uint32_t kBoundBlock = 256;

inline LaunchShape bound_shape(int row_groups, int col_groups) {
  const int64_t cells = int64_t(row_groups) * col_groups;
  const int64_t blocks = cells > 0 ? (cells + kBoundBlock - 1) / kBoundBlock : 0;
  return {uint32_t(blocks), kBoundBlock};
}

QK_HD void bound_thread(Thread1D th, const uint32_t* xored, const uint32_t* key,
                        const uint32_t* target, int32_t* found, int k_blocks, int row_groups,
                        int col_groups) {
  const uint64_t t = th.global();
  const int64_t cells = int64_t(row_groups) * col_groups;
  if (cells <= 0 || t >= uint64_t(cells)) return;
  if (*found != -1) return;  // a cell is already reported: skip the hash
  const int32_t row = int32_t(t / uint64_t(col_groups));
  const int32_t col = int32_t(t % uint64_t(col_groups));
  const int slices = gemm::message_slices(k_blocks);
  uint32_t message[gemm::kMessageWords];
  QK_UNROLL
  for (int s = 0; s < gemm::kMessageWords; ++s) {
    message[s] = s < slices
                     ? load_ro(xored + gemm::xored_index(s, row, col, row_groups, col_groups))
                     : 0u;
  }
  gemm::bound_check(message, key, target, found, int32_t(t));
}

}  // namespace quorl::search
