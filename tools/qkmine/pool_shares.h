// The record sink of a `qkmine mine --pool` run: every confirmed share is
// printed as today (records stay what `qkmine verify` reads) and submitted
// to the pool with the job it was mined on.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "pool_job.h"
#include "pool_work.h"
#include "record_sink.h"

namespace qkmine {

class PoolShares : public RecordSink {
 public:
  using Submit = std::function<void(pool::Share share)>;
  // `finish` runs once after the last record (the client's drain and stop).
  PoolShares(FILE* out, const PoolWork& work, Submit submit, std::function<void()> finish)
      : lines_(out), work_(work), submit_(std::move(submit)), finish_(std::move(finish)) {}

  void accept(const QvRecord& record, const std::string& device, uint64_t job_id) override;
  void finish() override;

 private:
  RecordLines lines_;
  const PoolWork& work_;
  Submit submit_;
  std::function<void()> finish_;
};

// The share a record claims, for `job`.
pool::Share share_of(const QvRecord& record, std::shared_ptr<const pool::PoolJob> job);

// The line an accepted share gets on stderr, as the client words the
// other ends: "pool URL: share accepted (job 7, cell 12)".
std::string accepted_text(const pool::ShareOutcome& outcome, const std::string& pool_url);

}  // namespace qkmine
