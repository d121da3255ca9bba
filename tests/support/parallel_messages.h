// The reference's standard-grid cell messages of a large product, computed
// in slices of 128 rows on every host core: on one core the device tests'
// large shapes would spend seconds of a short GPU session on the host.
// Rows r of a slice belong to cell rows r / 2 (16-row groups map to 8 cell
// rows), so each slice fills its own range of cells.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "quorl_ref/engine_messages.hpp"

namespace quorl::test {

enum class MessageForm { kStandard, kTmaEngine };

inline std::vector<ref::Block> cell_messages_in_parallel(const int8_t* a, const int8_t* b, int m,
                                                         int n, int k, MessageForm form) {
  constexpr int kSlice = 128;
  const int cols = n / 64, slices = (m + kSlice - 1) / kSlice;
  std::vector<ref::Block> messages(size_t(m / 2) * cols);
  std::atomic<int> next{0};
  auto work = [&] {
    for (int s = next++; s < slices; s = next++) {
      const int rows = std::min(kSlice, m - s * kSlice);
      const int8_t* slice = a + size_t(s) * kSlice * k;
      const std::vector<ref::Block> part =
          form == MessageForm::kStandard ? ref::standard_cell_messages(slice, b, rows, n, k)
                                         : ref::tma_engine_cell_messages(slice, b, rows, n, k);
      std::copy(part.begin(), part.end(), messages.begin() + size_t(s) * (kSlice / 2) * cols);
    }
  };
  const unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), unsigned(slices)));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  return messages;
}

}  // namespace quorl::test
