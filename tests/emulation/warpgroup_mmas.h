// The asynchronous warp-group MMAs of one emulated warp group, shared by the
// emulations of both Hopper engines. wgmma.mma_async reads its shared-memory
// operands at some time between its issue and the wait that retires its
// group: reading at issue exposes a stage read before it is filled, reading
// at the wait a stage refilled while still being read.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "ptx_semantics.h"
#include "shared_window.h"

namespace quorl::emu {

// Committed groups of (A, B) descriptor pairs, each carried out on the 128
// threads' accumulator registers when it reads shared memory.
template <class Thread>
class WarpGroupMmas {
 public:
  WarpGroupMmas(SharedWindow& window, Thread* threads, bool reads_early)
      : window_(&window), threads_(threads), early_(reads_early) {}

  void issue(uint64_t desc_a, uint64_t desc_b) {
    if (early_) {
      run(desc_a, desc_b);
    } else {
      open_.push_back({desc_a, desc_b});
    }
  }
  void commit() {
    groups_.push_back(std::move(open_));
    open_.clear();
  }
  void wait(int pending) {
    while (int(groups_.size()) > pending) {
      for (const auto& [a, b] : groups_.front()) run(a, b);
      groups_.pop_front();
    }
  }
  bool idle() const { return open_.empty() && groups_.empty(); }

 private:
  // Registers d0..d127 of a thread are its accumulator fragment in order, as
  // CuTe hands them to the instruction.
  void run(uint64_t desc_a, uint64_t desc_b) {
    static int32_t d[128][128];
    for (int t = 0; t < 128; ++t) {
      for (int i = 0; i < 128; ++i) d[t][i] = threads_[t].accum(i);
    }
    wgmma_m64n256k32_s8(desc_a, desc_b, *window_, d);
    for (int t = 0; t < 128; ++t) {
      for (int i = 0; i < 128; ++i) threads_[t].accum(i) = d[t][i];
    }
  }

  SharedWindow* window_;
  Thread* threads_;
  bool early_;
  std::vector<std::pair<uint64_t, uint64_t>> open_;
  std::deque<std::vector<std::pair<uint64_t, uint64_t>>> groups_;
};

// The descriptors of k-block `kb` of `stage`, which every thread of the warp
// group must give alike.
template <class Thread>
std::pair<uint64_t, uint64_t> warp_group_descriptors(Thread* threads, int kb, int stage) {
  const uint64_t a = threads[0].frag_a(0, 0, kb, stage), b = threads[0].frag_b(0, 0, kb, stage);
  for (int t = 1; t < 128; ++t) {
    expect_hw(uint64_t(threads[t].frag_a(0, 0, kb, stage)) == a &&
                  uint64_t(threads[t].frag_b(0, 0, kb, stage)) == b,
              "a warp group's threads give different descriptors");
  }
  return {a, b};
}

}  // namespace quorl::emu
