// Attempt rates as miners show them: over the last 10 s, 60 s and 15 min.
// A window keeps the cumulative count sampled about once a second over its
// horizon; a rate is the count added since the oldest sample inside the
// window, over the time since that sample. Early in a run a window covers
// what there is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace qkmine {

constexpr std::array<double, 3> kRateWindowsSeconds = {10, 60, 900};
constexpr std::array<const char*, 3> kRateWindowNames = {"10s", "60s", "15m"};

class RateWindow {
 public:
  explicit RateWindow(double horizon_s = 900, double spacing_s = 1) : horizon_(horizon_s), spacing_(spacing_s) {}

  // The count at time `t` (seconds, never decreasing). Kept when it is at
  // least `spacing` after the last sample kept.
  void add(double t, int64_t count);
  // Per second over the last `window_s` before `now`, where the count is
  // `count_now`; 0 before any sample or over no time.
  double rate(double now, int64_t count_now, double window_s) const;
  std::array<double, 3> rates(double now, int64_t count_now) const;
  size_t samples() const { return samples_.size(); }

 private:
  struct Sample {
    double t;
    int64_t count;
  };
  double horizon_, spacing_;
  std::deque<Sample> samples_;
};

}  // namespace qkmine
