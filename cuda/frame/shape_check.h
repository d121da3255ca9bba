// The shapes a context accepts. The kernels read whole tiles and whole 64-byte
// k-tiles, and the commitment trees need a power-of-two count of 1024-byte
// chunks, so anything else would read or write out of bounds: qk_init refuses
// it before touching the device. The label-driven GEMM and the 192-row
// engine launch one CTA row per 256 columns, and a grid's y extent stops at
// 65535, so n is bounded too.
#pragma once

#include <cstdint>

namespace quorl {

enum class ShapeFault {
  kNone,
  kRows,        // m not a positive multiple of 128
  kCols,        // n not a positive multiple of 256, or more tile columns than a grid holds
  kDepth,       // k not a positive multiple of 64
  kChunksA,     // m*k not 1024 * 2^L bytes
  kChunksB,     // n*k not 1024 * 2^L bytes
  kNullLabels,  // row_group or col_group missing
};

constexpr int64_t kMaxTileColumns = 65535;  // a launch grid's y extent

inline bool is_power_of_two_chunks(int64_t bytes) {
  if (bytes < 1024 || bytes % 1024 != 0) return false;
  const int64_t chunks = bytes / 1024;
  return (chunks & (chunks - 1)) == 0;
}

inline ShapeFault check_shape(int m, int n, int k, const int32_t* row_group,
                              const int32_t* col_group) {
  if (m <= 0 || m % 128 != 0) return ShapeFault::kRows;
  if (n <= 0 || n % 256 != 0 || n / 256 > kMaxTileColumns) return ShapeFault::kCols;
  if (k <= 0 || k % 64 != 0) return ShapeFault::kDepth;
  if (!is_power_of_two_chunks(int64_t(m) * k)) return ShapeFault::kChunksA;
  if (!is_power_of_two_chunks(int64_t(n) * k)) return ShapeFault::kChunksB;
  if (row_group == nullptr || col_group == nullptr) return ShapeFault::kNullLabels;
  return ShapeFault::kNone;
}

}  // namespace quorl
