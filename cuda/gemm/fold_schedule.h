// When a GEMM folds its running dot products into a message word. A slice is
// 128 values of k; the engines walk k in k-tiles 64 wide (label GEMM, 192-row
// Hopper engine) or 128 wide (fused Hopper engine). The kernels and the host
// emulation of their data paths both ask this one rule.
#pragma once

#include "../common/host_device.h"

namespace quorl::gemm {

constexpr int kSliceWidth = 128;   // values of k per slice
constexpr int kMessageWords = 16;  // one word per slice, at most 16 slices

// The slice that k-tile `k_tile` (k-tiles `depth` wide) completes, or -1 when
// the k-tile ends inside a slice or completes a slice past the sixteenth.
template <int depth>
QK_HD constexpr int completed_slice(int k_tile) {
  static_assert(depth > 0 && kSliceWidth % depth == 0, "k-tiles must divide a slice");
  constexpr int per_slice = kSliceWidth / depth;
  const int done = (k_tile + 1) / per_slice;  // slices complete after this k-tile
  return (k_tile + 1) % per_slice == 0 && done <= kMessageWords ? done - 1 : -1;
}

}  // namespace quorl::gemm
