// The jobs of a `qkmine mine --pool` run: the devices mine the newest job a
// pool sent, each in the seed space of the connection it came on.
//
// Full mode: attempt i of a job has seed_a = E << 32 | i and seed_b = lane
// << 32 | i, so no pair repeats across devices. When the 2^32 values of the
// low half run out the job goes on in the next lane, as a new Job (a new
// id), so every pair stays unique within the pool's job. A job handed out
// again (the same id and seed space, e.g. after moving to another pool and
// back) goes on in a lane of its own, not from the start.
// B-only mode: each preparation gets its own prepare seed E << 32 | serial,
// and a device prepares afresh before its nonces reach the job's max_nonces.
#pragma once

#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "job_source.h"
#include "pool_job.h"

namespace qkmine {

class PoolWork : public JobSource {
 public:
  // The newest job after `after_serial`, waiting up to `wait` for one (null
  // while none came): StratumClient::wait_job, or a test's fake.
  using Feed = std::function<std::shared_ptr<const pool::PoolJob>(uint64_t after_serial,
                                                                  std::chrono::milliseconds wait)>;
  // `base` gives the run's settings (limits, --all); the pool gives the rest.
  PoolWork(const Job& base, Feed feed) : base_(base), feed_(std::move(feed)) {}

  bool ready(std::chrono::milliseconds wait) override;
  Work take(int64_t count) override;
  void give_back(const Work& work) override;
  uint64_t prepare_seed(const Job& job, size_t device) override;

  // The pool's job a Job::id came from (null once forgotten: it is long gone).
  std::shared_ptr<const pool::PoolJob> pool_job(uint64_t job_id) const;
  // The pool's job mined now; null before the first.
  std::shared_ptr<const pool::PoolJob> current() const;

  static constexpr int64_t kLane = int64_t(1) << 32;  // attempts of one lane

 private:
  void follow_newest();  // under lock_
  void start_job(std::shared_ptr<const pool::PoolJob> job, uint64_t lane);  // under lock_
  // The first lane no earlier start of this job has used; under lock_.
  uint64_t fresh_lane(const pool::PoolJob& job) const;

  const Job base_;
  const Feed feed_;
  mutable std::mutex lock_;
  std::shared_ptr<const pool::PoolJob> pool_job_;  // the newest
  std::shared_ptr<const Job> job_;                 // its current lane
  uint64_t lane_ = 0;
  AttemptNumbers numbers_;  // of the lane
  uint32_t preparations_ = 0;
  uint64_t last_id_ = 0;
  std::map<uint64_t, std::shared_ptr<const pool::PoolJob>> origins_;  // Job::id -> pool job, the newest few
  // (pool, extranonce, job id) -> the next lane a start of that job takes, the newest few.
  std::map<std::tuple<size_t, uint32_t, std::string>, uint64_t> next_lane_;
  std::deque<std::tuple<size_t, uint32_t, std::string>> lane_order_;
};

// The run's Job for a pool's job: its mode, dims, key, target, max_nonces
// and seed space, with the limits of `base`.
Job job_from_pool(const Job& base, const pool::PoolJob& job);

}  // namespace qkmine
