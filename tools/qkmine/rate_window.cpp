#include "rate_window.h"

#include <algorithm>

namespace qkmine {

void RateWindow::add(double t, int64_t count) {
  if (!samples_.empty() && t - samples_.back().t < spacing_) return;
  samples_.push_back({t, count});
  // One sample older than the horizon stays: the longest window starts there.
  while (samples_.size() > 2 && samples_[1].t <= t - horizon_) samples_.pop_front();
}

double RateWindow::rate(double now, int64_t count_now, double window_s) const {
  const auto oldest = std::lower_bound(samples_.begin(), samples_.end(), now - window_s,
                                       [](const Sample& s, double t) { return s.t < t; });
  if (oldest == samples_.end() || now - oldest->t <= 0) return 0.0;
  return double(count_now - oldest->count) / (now - oldest->t);
}

std::array<double, 3> RateWindow::rates(double now, int64_t count_now) const {
  std::array<double, 3> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = rate(now, count_now, kRateWindowsSeconds[i]);
  return out;
}

}  // namespace qkmine
