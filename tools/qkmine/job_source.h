// Where the attempts of a `qkmine mine` run come from. The built-in source
// is the one job of the command line; a source that switches jobs mid-run
// (a pool's) hands out its jobs the same way, each with its own `id`, and
// the devices re-prepare when the id changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "mine_job.h"

namespace qkmine {

// Attempts first .. first + count - 1 of `job` (full mode: seeds + number;
// B-only: the device's own nonce run, so only the count matters).
struct Work {
  std::shared_ptr<const Job> job;
  int64_t first = 0, count = 0;
};

class JobSource {
 public:
  virtual ~JobSource() = default;
  // At most `count` (> 0) attempts of the job to mine now; count 0 only
  // when the source has no more work.
  virtual Work take(int64_t count) = 0;
  // Attempts taken by a device that failed before running them: they are
  // handed out again, so the run's numbering has no gaps.
  virtual void give_back(const Work& work) = 0;
  // Whether a job is there to take, waiting up to `wait` for one (a pool's
  // first job); the run asks again until it is over.
  virtual bool ready(std::chrono::milliseconds wait) { (void)wait; return true; }
  // The seed device `device` prepares B-only job `job` with, each time it
  // prepares it: by default the job's own seed + the device's place.
  virtual uint64_t prepare_seed(const Job& job, size_t device) { return job.prepare_seed + device; }
};

// The attempt numbers of one job, 0, 1, ... up to `end`, those given back
// handed out first. Not thread-safe: its owner locks.
class AttemptNumbers {
 public:
  explicit AttemptNumbers(int64_t end = INT64_MAX) : end_(end) {}
  // At most `count` attempts of `job`; count 0 once every number is out.
  Work take(const std::shared_ptr<const Job>& job, int64_t count);
  void give_back(const Work& work);
  bool spent() const { return returned_.empty() && next_ >= end_; }

 private:
  int64_t end_;
  int64_t next_ = 0;
  std::vector<Work> returned_;
};

// The job of the command line, its attempts numbered 0, 1, ... across all
// devices; attempts given back go out first.
class FixedJob : public JobSource {
 public:
  explicit FixedJob(const Job& job) : job_(std::make_shared<const Job>(job)) {}
  Work take(int64_t count) override;
  void give_back(const Work& work) override;

 private:
  std::shared_ptr<const Job> job_;
  std::mutex lock_;
  AttemptNumbers numbers_;
};

}  // namespace qkmine
