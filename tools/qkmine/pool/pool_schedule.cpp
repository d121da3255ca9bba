#include "pool_schedule.h"

#include <algorithm>

namespace qkmine::pool {

std::chrono::milliseconds PoolSchedule::failed() {
  ++failures_;
  if (++pool_failures_ >= policy_.failures_before_failover && pools_ > 1) {
    pool_ = (pool_ + 1) % pools_;
    pool_failures_ = 0;
    return std::chrono::milliseconds(0);
  }
  std::chrono::milliseconds delay = policy_.first_delay;
  for (int i = 1; i < failures_ && delay < policy_.max_delay; ++i) delay *= 2;
  return std::min(delay, policy_.max_delay);
}

}  // namespace qkmine::pool
