#include "driver_timing.h"

#include <algorithm>
#include <chrono>

#include "search_timing.h"

namespace quorl::bench {
namespace {

constexpr uint32_t kKey[8] = {0x01234567, 0x89ABCDEF, 3, 4, 5, 6, 7, 8};
constexpr uint32_t kTarget[8] = {};  // nothing qualifies: every cell is hashed

}  // namespace

// A failed profile returns -1 with every time 0; one that worked has a
// positive total (the zero target makes -1 the normal outcome).
bool full_stage_ms(QkHandle* h, int attempts, double ms[kFullStages]) {
  std::fill(ms, ms + kFullStages, 0.0);
  float times[kFullStages];
  qk_mine_full_profile(h, kKey, 0, 1, kTarget, times);  // warm-up
  for (int i = 0; i < attempts; ++i) {
    qk_mine_full_profile(h, kKey, 2 * uint64_t(i), 2 * uint64_t(i) + 1, kTarget, times);
    if (!(times[kFullStages - 1] > 0)) {
      std::fill(ms, ms + kFullStages, 0.0);
      return false;
    }
    for (int j = 0; j < kFullStages; ++j) ms[j] += times[j] / attempts;
  }
  return attempts > 0;
}

bool bonly_stage_ms(QkHandle* h, int attempts, double ms[kBonlyStages]) {
  std::fill(ms, ms + kBonlyStages, 0.0);
  if (qk_prepare_a(h, kKey, kTarget, 7) != 0) return false;
  float times[kBonlyStages];
  qk_mine_full_bonly_profile(h, 1, times);  // warm-up
  for (int i = 0; i < attempts; ++i) {
    qk_mine_full_bonly_profile(h, 100 + uint64_t(i), times);
    if (!(times[kBonlyStages - 1] > 0)) {
      std::fill(ms, ms + kBonlyStages, 0.0);
      return false;
    }
    for (int j = 0; j < kBonlyStages; ++j) ms[j] += times[j] / attempts;
  }
  return attempts > 0;
}

double full_attempts_per_s(QkHandle* h, int attempts) {
  if (attempts <= 0) return -1.0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < attempts; ++i) qk_mine_full(h, kKey, 2 * uint64_t(i), 2 * uint64_t(i) + 1, kTarget);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint32_t roots[2][8];
  // The attempts report no failure themselves: the status after them does.
  if (qk_get_hashes(h, roots[0], roots[1]) != 0 || !(s > 0)) return -1.0;
  return attempts / s;
}

double bonly_batch_per_s(QkHandle* h, int attempts) {
  float ms = 0;
  if (qk_bench_bonly_batch(h, attempts, &ms) < 0 || !(ms > 0)) return -1.0;
  return 1000.0 * attempts / ms;
}

double bonly_pipeline_per_s(QkHandle* h, int attempts) {
  float ms = 0;
  if (qk_bench_bonly_pipeline(h, attempts, &ms) < 0 || !(ms > 0)) return -1.0;
  return 1000.0 * attempts / ms;
}

double search_ms(QkHandle* h, const std::vector<int8_t>& a, const std::vector<int8_t>& b, int reps) {
  qk_mine(h, a.data(), b.data(), kKey, kTarget);  // uploads, warms up
  return search_pass_ms(h, reps);
}

}  // namespace quorl::bench
