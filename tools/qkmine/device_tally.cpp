#include "device_tally.h"

#include <chrono>

namespace qkmine {

Health DeviceTally::health() const {
  std::lock_guard<std::mutex> lock(lock_);
  return health_;
}

std::string DeviceTally::error() const {
  std::lock_guard<std::mutex> lock(lock_);
  return error_;
}

bool DeviceTally::settle(Health to, const std::string& why) {
  std::lock_guard<std::mutex> lock(lock_);
  if (health_ != Health::kMining) return false;
  health_ = to;
  error_ = why;
  return true;
}

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace qkmine
