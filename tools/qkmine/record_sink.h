// Where confirmed records of a `qkmine mine` run go: one JSON line each on
// a stream here; another sink (a pool's share submission) takes the same
// calls.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "quorl_verify.h"

namespace qkmine {

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // A record that stands: a share the host confirmed, or with --all an
  // attempt that found nothing. `device` is "gpu:N" or "cpu".
  // `job_id` is Job::id of the job it was mined on.
  virtual void accept(const QvRecord& record, const std::string& device, uint64_t job_id) = 0;
  // After the run's last record: whatever the sink still owes is settled.
  virtual void finish() {}
};

// Each record as the line `qkmine verify` reads, flushed at once so a
// reader of a long run sees every share as soon as it stands.
class RecordLines : public RecordSink {
 public:
  explicit RecordLines(FILE* out) : out_(out) {}
  void accept(const QvRecord& record, const std::string& device, uint64_t job_id = 0) override;

 private:
  FILE* out_;
  std::mutex lock_;
};

}  // namespace qkmine
