// Which pool the client connects to next, and after how long: exponential
// backoff over consecutive failures, and a move to the next pool after a few
// failures in a row on one.
#pragma once

#include <chrono>
#include <cstddef>

namespace qkmine::pool {

struct RetryPolicy {
  std::chrono::milliseconds first_delay{1000};  // after the first failure; doubles per failure
  std::chrono::milliseconds max_delay{60000};
  int failures_before_failover = 3;             // in a row on one pool
  std::chrono::milliseconds primary_retry{300000};  // while on another pool, how often the first is tried
};

class PoolSchedule {
 public:
  PoolSchedule(size_t pools, RetryPolicy policy) : pools_(pools), policy_(policy) {}

  size_t pool() const { return pool_; }

  // A connection attempt or a session failed: the wait before the next
  // attempt. After `failures_before_failover` in a row on one pool the next
  // attempt goes to the next pool, at once. The backoff itself runs on over
  // all pools until a session works, so a farm whose pools are all down does
  // not hammer them.
  std::chrono::milliseconds failed();

  // A session works (it delivered a job): the backoff starts over.
  void succeeded() { failures_ = 0, pool_failures_ = 0; }

  // Connect to pool `index` next (the first pool is back).
  void move_to(size_t index) { pool_ = index, pool_failures_ = 0; }

 private:
  size_t pools_;
  RetryPolicy policy_;
  size_t pool_ = 0;
  int failures_ = 0;       // in a row, over all pools
  int pool_failures_ = 0;  // in a row, on pool_
};

}  // namespace qkmine::pool
