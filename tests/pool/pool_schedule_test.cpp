// When and where the client reconnects: backoff doubling from the first delay
// to the cap, failover after a few failures in a row, a fresh start after a
// working session.
#include <gtest/gtest.h>

#include <vector>

#include "pool_schedule.h"

namespace {

using qkmine::pool::PoolSchedule;
using qkmine::pool::RetryPolicy;
using std::chrono::milliseconds;

struct Step {
  size_t pool;       // where the next attempt goes
  long long wait_ms; // after how long
};

std::vector<Step> failures(PoolSchedule& s, int n) {
  std::vector<Step> out;
  for (int i = 0; i < n; ++i) {
    const milliseconds wait = s.failed();
    out.push_back({s.pool(), wait.count()});
  }
  return out;
}

void expect_steps(const std::vector<Step>& got, const std::vector<Step>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].pool, want[i].pool) << "failure " << i + 1;
    EXPECT_EQ(got[i].wait_ms, want[i].wait_ms) << "failure " << i + 1;
  }
}

TEST(PoolSchedule, OnePoolBacksOffFromOneSecondToAMinute) {
  PoolSchedule s(1, RetryPolicy{});
  expect_steps(failures(s, 9), {{0, 1000}, {0, 2000}, {0, 4000}, {0, 8000}, {0, 16000}, {0, 32000}, {0, 60000},
                                {0, 60000}, {0, 60000}});
  s.succeeded();
  expect_steps(failures(s, 2), {{0, 1000}, {0, 2000}});
}

TEST(PoolSchedule, SeveralPoolsFailOverAndKeepTheBackoffGoing) {
  RetryPolicy p;
  p.failures_before_failover = 3;
  PoolSchedule s(3, p);
  // Two waits on a pool, then the next one at once; the backoff runs on.
  expect_steps(failures(s, 10), {{0, 1000}, {0, 2000}, {1, 0}, {1, 8000}, {1, 16000}, {2, 0}, {2, 60000},
                                 {2, 60000}, {0, 0}, {0, 60000}});
  s.succeeded();
  expect_steps(failures(s, 3), {{0, 1000}, {0, 2000}, {1, 0}});
  s.move_to(0);
  expect_steps(failures(s, 1), {{0, 8000}});
}

TEST(PoolSchedule, AHugeFailureCountDoesNotOverflowTheDelay) {
  RetryPolicy p;
  p.first_delay = milliseconds(1);
  p.max_delay = milliseconds(5);
  PoolSchedule s(1, p);
  milliseconds wait{};
  for (int i = 0; i < 200; ++i) wait = s.failed();
  EXPECT_EQ(wait.count(), 5);
}

}  // namespace
